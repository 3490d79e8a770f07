// make_raster: writes one receipt-like CUPS raster page for the benchmarks.
//
// Usage: make_raster [--compressed] DEPTH WIDTH HEIGHT OUTPUT
//   DEPTH 1 (dots), 8 (grey, 0 = white) or 24 (RGB)
//   --compressed  libcups' compressed writer (as CUPS's own filters write
//                 rasters), instead of the plain one
//
// The page alternates lines of "text" (short dark bars with gaps, like glyph
// runs) with a grey ramp band, so that every conversion mode has edges,
// flat areas and mid-tones to work on, as a real receipt with a logo has.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <cups/raster.h>

#include "TestSupport.h"

namespace {

// Darkness 0 (paper) to 255 (black) of pixel (x, y).
unsigned Darkness(unsigned x, unsigned y, unsigned width) {
  const unsigned block = y % 400;
  if (block < 120) return (x * 255) / (width ? width : 1);  // logo-like ramp
  if (block < 140 || block >= 380) return 0;                // margins
  const unsigned lineInRow = (block - 140) % 30;            // 30-row text lines
  if (lineInRow >= 24) return 0;
  const unsigned glyph = (x / 12 + y / 30) % 7;             // 12-dot glyph cells
  return (glyph != 0 && (x % 12) < 9 && ((x / 3 + lineInRow) % 4) != 0) ? 255 : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool compressed = argc > 1 && std::strcmp(argv[1], "--compressed") == 0;
  if (compressed) {
    --argc;
    ++argv;
  }
  if (argc != 5) {
    std::fprintf(stderr, "usage: make_raster [--compressed] DEPTH WIDTH HEIGHT OUTPUT\n");
    return 2;
  }
  const unsigned depth = static_cast<unsigned>(std::atoi(argv[1]));
  const unsigned width = static_cast<unsigned>(std::atoi(argv[2]));
  const unsigned height = static_cast<unsigned>(std::atoi(argv[3]));
  if ((depth != 1 && depth != 8 && depth != 24) || width == 0 || height == 0) {
    std::fprintf(stderr, "%s: DEPTH must be 1, 8 or 24, WIDTH and HEIGHT above 0\n", argv[0]);
    return 2;
  }

  // The same header the tests write: K for 1 and 8 bits (ink is high), RGB
  // for 24 (0 is black).
  cups_page_header2_t h = MakeHeader(width, height, depth);

  std::FILE* out = std::fopen(argv[4], "wb");
  if (!out) {
    std::perror(argv[4]);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpenIO(
      [](void* ctx, unsigned char* buffer, size_t length) -> ssize_t {
        return static_cast<ssize_t>(std::fwrite(buffer, 1, length, static_cast<std::FILE*>(ctx)));
      },
      out, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
  if (!ras || !cupsRasterWriteHeader2(ras, &h)) {
    std::fprintf(stderr, "%s: libcups refused the header\n", argv[0]);
    return 1;
  }
  std::vector<unsigned char> line(h.cupsBytesPerLine);
  for (unsigned y = 0; y < height; ++y) {
    std::fill(line.begin(), line.end(), 0);
    for (unsigned x = 0; x < width; ++x) {
      const unsigned d = Darkness(x, y, width);
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
