// make_raster: writes one receipt-sized CUPS raster page for the benchmarks.
//
// Usage: make_raster [--writer plain|compressed|pwg] [--kind KIND] DEPTH WIDTH HEIGHT OUTPUT
//   DEPTH     1 (dots), 8 (grey, 0 = white) or 24 (RGB)
//   --writer  libcups' writer: plain (CUPS_RASTER_WRITE, uncompressed "RaS3",
//             what Ghostscript's cups device, and so gstoraster, sends;
//             the default), compressed (CUPS_RASTER_WRITE_COMPRESSED,
//             "RaS2") or pwg (CUPS_RASTER_WRITE_PWG)
//   --kind    what is on the page:
//     mixed    (the default) bands of a grey ramp and of bar "text", so
//              that every conversion mode has edges, flat areas and
//              mid-tones to work on
//     receipt  a till receipt: a logo, then lines of 5 x 7 font text
//              (glyphs drawn 2 x 3 in 12 x 24 cells, 30-row line pitch):
//              items, prices, separators, totals, blank lines
//     short    the receipt's first 40 lines, the rest of the page blank
//     dots     random dots, half of them set: nothing repeats
//     black    every pixel black

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <cups/raster.h>

#include "Font5x7.h"
#include "TestSupport.h"

namespace {

enum class Kind { Mixed, Receipt, Short, Dots, Black };

// 5 x 7 glyphs, one row per byte, bit 4 the leftmost column.

// The glyph row of `c`, 0 for a space or an unknown character.
unsigned GlyphRow(char c, unsigned row) {
  for (const Glyph& g : kFont5x7)
    if (g.c == c) return g.rows[row];
  return 0;
}

constexpr unsigned kCell = 12, kCellRows = 24, kLinePitch = 30, kLogoRows = 192;
constexpr std::string_view kItems[] = {"COFFEE LATTE", "CROISSANT", "ORANGE JUICE", "BAGEL CREAM CHEESE",
                                       "MINERAL WATER", "CHOC MUFFIN", "TEA", "SANDWICH HAM CHEESE",
                                       "FRUIT SALAD", "ESPRESSO DOUBLE", "SOUP OF THE DAY", "COOKIE"};

// Text line n of the receipt, at most `columns` characters.
std::string ReceiptLine(unsigned n, unsigned columns) {
  std::string line;
  switch (n % 40) {
    case 0: line.assign(columns, '-'); break;
    case 1: line = "SUBTOTAL"; break;
    case 2: line = "TAX 7.7"; break;
    case 3: line = "TOTAL CHF"; break;
    case 4: line = "CARD: VISA 4242"; break;
    case 5: line.assign(columns, '-'); break;
    case 6: break;  // a blank line
    default: {
      const unsigned h = n * 2654435761u;
      line = std::to_string(1 + (h >> 7) % 3) + " X " + std::string(kItems[(h >> 11) % std::size(kItems)]);
      break;
    }
  }
  if ((n % 40 >= 1 && n % 40 <= 4) || n % 40 > 6) {  // a price, right-aligned
    const unsigned cents = (n * 7919u) % 9000 + 100;
    char price[16];
    std::snprintf(price, sizeof price, "%u.%02u", cents / 100, cents % 100);
    const size_t at = columns > std::strlen(price) ? columns - std::strlen(price) : 0;
    if (line.size() + 1 < at) line.resize(at, ' ');
    line += price;
  }
  if (line.size() > columns) line.resize(columns);
  return line;
}

// Darkness 0 (paper) to 255 (black) of the receipt's pixels on row y.
void ReceiptRow(unsigned y, unsigned width, std::vector<unsigned>& dark) {
  std::fill(dark.begin(), dark.end(), 0);
  if (y < kLogoRows) {  // a round logo in graded grey, centred
    const int cx = static_cast<int>(width / 2), cy = kLogoRows / 2, r = kLogoRows / 2 - 8;
    for (unsigned x = 0; x < width; ++x) {
      const int dx = static_cast<int>(x) - cx, dy = static_cast<int>(y) - cy;
      if (dx * dx + dy * dy <= r * r) dark[x] = 80 + static_cast<unsigned>(std::abs(dx) + std::abs(dy)) * 175 / (2 * r);
    }
    return;
  }
  const unsigned line = (y - kLogoRows) / kLinePitch, inLine = (y - kLogoRows) % kLinePitch;
  if (inLine >= 3 + 21) return;
  if (inLine < 3) return;
  const unsigned glyphRow = (inLine - 3) / 3;  // each font row three rows high
  const std::string text = ReceiptLine(line, width / kCell);
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned bits = GlyphRow(text[i], glyphRow);
    for (unsigned col = 0; col < 5; ++col)
      if (bits & (0x10u >> col)) dark[i * kCell + 1 + 2 * col] = dark[i * kCell + 2 + 2 * col] = 255;
  }
}

// The mixed page's darkness of pixel (x, y).
unsigned MixedDarkness(unsigned x, unsigned y, unsigned width) {
  const unsigned block = y % 400;
  if (block < 120) return (x * 255) / (width ? width : 1);  // logo-like ramp
  if (block < 140 || block >= 380) return 0;                // margins
  const unsigned lineInRow = (block - 140) % 30;            // 30-row text lines
  if (lineInRow >= 24) return 0;
  const unsigned glyph = (x / 12 + y / 30) % 7;             // 12-dot glyph cells
  return (glyph != 0 && (x % 12) < 9 && ((x / 3 + lineInRow) % 4) != 0) ? 255 : 0;
}

void PageRow(Kind kind, unsigned y, unsigned width, std::vector<unsigned>& dark) {
  switch (kind) {
    case Kind::Mixed:
      for (unsigned x = 0; x < width; ++x) dark[x] = MixedDarkness(x, y, width);
      return;
    case Kind::Receipt: ReceiptRow(y, width, dark); return;
    case Kind::Short:
      if (y < kLogoRows + 40 * kLinePitch)
        ReceiptRow(y, width, dark);
      else
        std::fill(dark.begin(), dark.end(), 0);
      return;
    case Kind::Dots:
      for (unsigned x = 0; x < width; ++x) {
        unsigned h = (y * 0x9E3779B1u) ^ (x * 0x85EBCA77u);
        h ^= h >> 15;
        h *= 0xC2B2AE3Du;
        h ^= h >> 13;
        dark[x] = (h >> 7) & 1 ? 255 : 0;
      }
      return;
    case Kind::Black: std::fill(dark.begin(), dark.end(), 255); return;
  }
}

bool ParseKind(const char* s, Kind& kind) {
  constexpr std::pair<const char*, Kind> kKinds[] = {{"mixed", Kind::Mixed}, {"receipt", Kind::Receipt},
                                                     {"short", Kind::Short}, {"dots", Kind::Dots},
                                                     {"black", Kind::Black}};
  for (const auto& [name, k] : kKinds)
    if (std::strcmp(s, name) == 0) {
      kind = k;
      return true;
    }
  return false;
}

bool ParseWriter(const char* s, cups_mode_t& mode) {
  if (std::strcmp(s, "plain") == 0) mode = CUPS_RASTER_WRITE;
  else if (std::strcmp(s, "compressed") == 0) mode = CUPS_RASTER_WRITE_COMPRESSED;
  else if (std::strcmp(s, "pwg") == 0) mode = CUPS_RASTER_WRITE_PWG;
  else return false;
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* usage = "usage: make_raster [--writer plain|compressed|pwg] "
                      "[--kind mixed|receipt|short|dots|black] DEPTH WIDTH HEIGHT OUTPUT\n";
  Kind kind = Kind::Mixed;
  cups_mode_t mode = CUPS_RASTER_WRITE;
  int arg = 1;
  for (; arg + 1 < argc && std::strncmp(argv[arg], "--", 2) == 0; arg += 2) {
    const bool ok = std::strcmp(argv[arg], "--kind") == 0     ? ParseKind(argv[arg + 1], kind)
                    : std::strcmp(argv[arg], "--writer") == 0 ? ParseWriter(argv[arg + 1], mode)
                                                              : false;
    if (!ok) {
      std::fputs(usage, stderr);
      return 2;
    }
  }
  if (argc - arg != 4) {
    std::fputs(usage, stderr);
    return 2;
  }
  const unsigned depth = static_cast<unsigned>(std::atoi(argv[arg]));
  const unsigned width = static_cast<unsigned>(std::atoi(argv[arg + 1]));
  const unsigned height = static_cast<unsigned>(std::atoi(argv[arg + 2]));
  if ((depth != 1 && depth != 8 && depth != 24) || width == 0 || height == 0) {
    std::fprintf(stderr, "%s: DEPTH must be 1, 8 or 24, WIDTH and HEIGHT above 0\n", argv[0]);
    return 2;
  }

  // The same header the tests write: K for 1 and 8 bits (ink is high), RGB
  // for 24 (0 is black).
  cups_page_header2_t h = MakeHeader(width, height, depth);

  std::FILE* out = std::fopen(argv[arg + 3], "wb");
  if (!out) {
    std::perror(argv[arg + 3]);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpenIO(
      [](void* ctx, unsigned char* buffer, size_t length) -> ssize_t {
        return static_cast<ssize_t>(std::fwrite(buffer, 1, length, static_cast<std::FILE*>(ctx)));
      },
      out, mode);
  if (!ras || !cupsRasterWriteHeader2(ras, &h)) {
    std::fprintf(stderr, "%s: libcups refused the header\n", argv[0]);
    return 1;
  }
  std::vector<unsigned char> line(h.cupsBytesPerLine);
  std::vector<unsigned> dark(width);
  for (unsigned y = 0; y < height; ++y) {
    std::fill(line.begin(), line.end(), 0);
    PageRow(kind, y, width, dark);
    for (unsigned x = 0; x < width; ++x) {
      const unsigned d = dark[x];
      if (depth == 1) {
        // Ordered threshold, as a renderer that halftones itself would send.
        if (d > ((x ^ y) & 3) * 64 + 32) line[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
      } else if (depth == 8) {
        line[x] = static_cast<unsigned char>(d);
      } else {
        std::memset(&line[3 * x], 255 - static_cast<int>(d), 3);
      }
    }
    if (cupsRasterWritePixels(ras, line.data(), static_cast<unsigned>(line.size())) == 0) {
      std::fprintf(stderr, "%s: write failed\n", argv[0]);
      return 1;
    }
  }
  cupsRasterClose(ras);
  return std::fclose(out) == 0 ? 0 : 1;
}
