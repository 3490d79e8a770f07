#include "BilevelConversion.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>

#include "BayerDither.h"
#include "DebugFile.h"
#include "ErrorDiffusion.h"
#include "ostu.h"

namespace {

constexpr int kBlack = 0;
constexpr int kWhite = 255;

// First byte of pixel (i, j) of a buffer laid out at `stride` bytes per row,
// read as a flat offset the way the rules are written: i = -1 lands at the end
// of the previous row and j = rows in the white tail of the reference copy.
// A byte outside the buffer reads as white, which is what the reference copy's
// tail holds past the page.
int ReadLevel(std::span<const uint8_t> buf, long long i, long long j, long long stride) {
  const long long offset = j * stride + 3 * i;
  if (offset < 0 || static_cast<unsigned long long>(offset) >= buf.size()) return kWhite;
  return buf[static_cast<size_t>(offset)];
}

// What one call sees: the pixel's level, its neighbours in the reference copy
// and the decisions already taken above and to the left.
struct Neighbourhood {
  int g, u, d, l, r;  // reference levels
  int U, L;           // page decisions
  int x, y;
  int width, height;  // stride in bytes, rows
  int lastSlot;       // width / 3 - 1: the last whole pixel slot of a row
};

int RuleSetA(const Neighbourhood& n) {
  const auto [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
  const bool notLastRow = y < height - 1;
  if (g <= 99) {  // A1
    if (x > 0 && std::abs(g - l) <= 19) return L;
    if (notLastRow && g - u > 35 && g - d > 35) {
      if (x > 0 && l - g > 35 && L == kWhite) return kBlack;
      if (x > 0 && x < lastSlot && l - g > 35 && r - g > 35) return kBlack;
      return kWhite;
    }
    return kBlack;
  }
  if (u <= 99 && d <= 99)  // A2
    return (r - g > 35 && g <= 149) ? kBlack : kWhite;

  int color = U;
  if (g >= 200) {  // A3
    if (g - u > 35) {
      color = kWhite;
    } else if (u - g > 20) {
      if (x == 0)
        color = kBlack;
      else if (l - g > 30 && u - g > 30)
        color = (notLastRow && std::abs(g - d) > std::abs(g - u)) ? U : kBlack;
      else if (x < lastSlot && r - g > 30 && u - g > 30)
        color = kBlack;
      else if (g - l > 35)
        color = kWhite;
      else if (notLastRow && g - d > 35)
        color = kWhite;
      else
        color = kBlack;
    } else if (g - u > 19 && g - d > 19) {
      color = kWhite;
    }
  } else {  // A4, 100..199
    if (d <= 99 && g - d > 30)
      color = (g - u > 19) ? kWhite : U;
    else if (g - u > 30 && g - d > 30)
      color = kWhite;
    else if (std::abs(g - l) <= 19)  // also in column 0: l and L come from the row above's end
      color = L;
    else if (u > 200 && d > 200)
      color = kBlack;
    else if (x > 0 && l <= 99 && u <= 99 && g > 100)
      color = kWhite;
    else if (g - u > 35 || (notLastRow && d - g > 35 && d > 200))
      color = kBlack;
    else
      color = U;
  }

  if (x > 0) {
    if (3 * x < width - 1 && l - g > 20 && r - g > 20) color = kBlack;  // A5.1
    if (l > 199 && g <= 199) {                                          // A5.2
      if (g > 100 && u <= 99) {
        color = (l - g > 35) ? kBlack : kWhite;
      } else if (notLastRow && g > 100 && d <= 99) {
        color = kWhite;
      } else if (notLastRow && g > u && g > d && g > 100) {
        if (g - u > 30 && g - d > 30)
          color = kWhite;
        else if (l > 200 && l - g > 35)
          color = kBlack;
        else if (std::abs(g - u) <= 19)
          color = U;
        else if (L == kWhite && l - g > 35)
          color = kBlack;
      }
    }
  }
  return color;
}

int RuleSetB1(const Neighbourhood& n) {
  const auto [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
  const bool notLastRow = y < height - 1;
  int color;
  if (g <= 99) {  // B1.1
    if (x > 0 && std::abs(g - l) <= 19)
      color = L;
    else if (x > 0 && l - g > 35 && L == kWhite)
      color = kBlack;
    else if (notLastRow && g - u > 35 && g - d > 35)
      color = kWhite;
    else
      color = kBlack;
  } else if (g - u <= 19) {  // B1.2
    color = U;
  } else if (x == 0) {
    color = kWhite;
  } else if (l > 219) {
    if (u <= 99 && g > 100)
      color = kWhite;
    else if (U == kWhite)
      color = kWhite;
    else if (g <= 149)
      color = kBlack;
    else
      color = kWhite;
  } else if (l <= 99 && u <= 99) {
    color = kWhite;
  } else if (l - g > 30 && r - g > 30) {
    color = kBlack;
  } else if (g - u > 30 && g - d > 30 && (std::abs(g - l) <= 34 || std::abs(g - r) <= 34)) {
    color = kWhite;
  } else if (g - l > 30 && L == kBlack && g > 100) {
    color = kWhite;
  } else if (L == kWhite && l - g > 35) {
    color = (g - u > 30 && g - d > 30 && g > 100) ? kWhite : kBlack;
  } else {
    color = L;
  }

  if (x == 0) return color;
  if (3 * x < width - 1) {  // B1.3
    if (l - g > 20 && r - g > 20) {
      color = (g > 200 && u <= 99) ? kWhite : kBlack;
    } else if (l - g > 19 && r - g > 19) {
      color = kBlack;
    } else if (g > u && U == kWhite) {
      color = kWhite;
    } else if (std::abs(g - l) < std::abs(g - r) && std::abs(g - r) > 35) {
      color = L;
    } else if (std::abs(g - u) <= 19) {
      color = U;
    } else if (L == kWhite && l - g > 35) {
      if (l > 199 && g <= 199)
        color = (g > 100 && u <= 99) ? kWhite : kBlack;
      else if (g - u > 35 && g > 150)
        color = kWhite;
    }
  }
  if (l > 199 && g <= 199) {  // B1.4
    if (g > u && U == kWhite)
      color = kWhite;
    else if (l - g > 35)
      color = (g > 100 && u <= 99) ? kWhite : kBlack;
    else if (g > 100 && u <= 99)
      color = kWhite;
    else if (notLastRow && g > 100 && d <= 99)
      color = kWhite;
    else if (U == kWhite && g >= u)
      color = kWhite;
  }
  return color;
}

int RuleSetB2(const Neighbourhood& n) {
  const auto [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
  (void)lastSlot;
  const bool notLastRow = y < height - 1;
  int color;
  if (U == kBlack) {  // B2.1
    color = kBlack;
  } else if (u - g > 19 && g <= 199) {
    if (x > 0 && std::abs(g - l) <= 19)
      color = L;
    else if (notLastRow && std::abs(g - d) > std::abs(g - u))
      color = U;
    else
      color = kBlack;
  } else if (u - g > 19) {
    color = kWhite;
  } else {
    color = (l > 200 && g <= 199) ? kBlack : kWhite;  // l read in column 0 too
  }

  if (x == 0) return color;
  if (3 * x < width - 1 && l - g > 20 && r - g > 20) color = kBlack;  // B2.2
  if (g > 100 && g - l > 35) color = kWhite;                         // B2.3
  if (l > 199 && g <= 199) {                                         // B2.4
    if (U == kBlack)
      color = kBlack;
    else if (notLastRow && g > 100 && d <= 99)
      color = (g - d > u - g) ? kWhite : kBlack;
    else
      color = kBlack;
  }
  return color;
}

// Carries the decision right along the row while the reference levels
// continue the same stroke (black) or keep rising steeply (white).
void Run(std::span<uint8_t> pPixel, std::span<const uint8_t> pOrgPixel, const Neighbourhood& n, int color) {
  const long long stride = n.width;
  int i = n.x;
  while (i < n.lastSlot) {
    const int here = ReadLevel(pOrgPixel, i, n.y, stride);
    const int next = ReadLevel(pOrgPixel, i + 1, n.y, stride);
    if (color == kBlack ? (next - here > 25 || next > 234) : (next - here < 30)) break;
    ++i;
  }
  for (int col = n.x; col <= i; ++col) {
    const long long offset = n.y * stride + 3LL * col;
    if (offset < 0 || static_cast<unsigned long long>(offset) + 3 > pPixel.size()) break;
    const auto o = static_cast<size_t>(offset);
    if (pPixel[o] == kWhite) continue;
    pPixel[o] = pPixel[o + 1] = pPixel[o + 2] = static_cast<uint8_t>(color);
  }
}

void SetWhite(std::span<uint8_t> pPixel, size_t offset) {
  pPixel[offset] = pPixel[offset + 1] = pPixel[offset + 2] = kWhite;
}

std::optional<size_t> CheckedProduct(size_t a, size_t b) {
  if (a != 0 && b > std::numeric_limits<size_t>::max() / a) return std::nullopt;
  return a * b;
}

void ThresholdMode(std::span<uint8_t> page, int cx, int cy, int nBytePerRow, int nLight) {
  // The reference copy, allocated before anything is changed so that a
  // failure leaves the page and the output as they came. Its white second
  // half is what the rules find below the last row.
  const auto doubled = CheckedProduct(page.size(), 2);
  if (!doubled || *doubled > std::vector<uint8_t>().max_size()) throw std::bad_alloc();
  std::vector<uint8_t> pBuf(*doubled, kWhite);

  otsu(page, nBytePerRow, cy, 24, nLight);
  std::copy(page.begin(), page.end(), pBuf.begin());

  const auto stride = static_cast<size_t>(nBytePerRow);
  for (int h = 0; h < cy; ++h) {
    for (int w = 0; w < cx; ++w) {
      const size_t o = static_cast<size_t>(h) * stride + 3 * static_cast<size_t>(w);
      const int level = (page[o] + page[o + 1] + page[o + 2]) / 3;
      if (level == 0 || level == 255) continue;  // already settled, possibly by a run
      ProcessLine(page, pBuf, w, h, nBytePerRow, cy);
    }
  }
}

// Clears the bit of every pure black pixel; the 1-bit page holds the rows
// bottom first.
void Pack(std::span<const uint8_t> page, std::span<uint8_t> out, size_t cx, size_t cy, size_t stride, size_t xx) {
  for (size_t h = cy; h-- > 0;) {
    const size_t dstRow = (cy - 1 - h) * xx;
    for (size_t w = 0; w < cx; ++w) {
      const size_t o = h * stride + 3 * w;
      if (page[o] == 0 && page[o + 1] == 0 && page[o + 2] == 0)
        out[dstRow + w / 8] &= static_cast<uint8_t>(~(0x80u >> (w % 8)));
    }
  }
}

void PutLE(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

int ProcessLine(std::span<uint8_t> pPixel, std::span<const uint8_t> pOrgPixel, int x, int y, int nWidth,
                int nHeight) {
  // Only real pixels of a row are decided; anything else is a caller error
  // that must not turn into a write outside the row.
  if (x < 0 || y < 0 || y >= nHeight || 3LL * x + 3 > nWidth) return 1;
  const long long stride = nWidth;
  const long long self = y * stride + 3LL * x;
  if (static_cast<unsigned long long>(self) + 3 > pPixel.size()) return 1;

  Neighbourhood n{};
  n.g = ReadLevel(pOrgPixel, x, y, stride);
  n.u = ReadLevel(pOrgPixel, x, y - 1LL, stride);
  n.d = ReadLevel(pOrgPixel, x, y + 1LL, stride);
  n.l = ReadLevel(pOrgPixel, x - 1LL, y, stride);
  n.r = ReadLevel(pOrgPixel, x + 1LL, y, stride);
  n.U = ReadLevel(pPixel, x, y - 1LL, stride);
  n.L = ReadLevel(pPixel, x - 1LL, y, stride);
  n.x = x;
  n.y = y;
  n.width = nWidth;
  n.height = nHeight;
  n.lastSlot = nWidth / 3 - 1;

  if (n.g >= 220) {  // very light: white, and no run
    SetWhite(pPixel, static_cast<size_t>(self));
    return 1;
  }

  int color;
  if (y == 0)
    color = n.g >= 200 ? kWhite : kBlack;
  else if (std::abs(n.g - n.u) <= std::abs(n.g - n.d))
    color = RuleSetA(n);
  else if (n.g >= n.u)
    color = RuleSetB1(n);
  else
    color = RuleSetB2(n);

  Run(pPixel, pOrgPixel, n, color);
  return 1;
}

void Color2BW(std::span<uint8_t> pvBits, std::span<uint8_t> pDataBuf, int cx, int cy, int nBytePerRow,
              int nLight, int dwDithering) {
  const auto pageBytes = PageBytes(pvBits.size(), cx, cy, nBytePerRow);
  if (!pageBytes) return;
  const size_t width = static_cast<size_t>(cx);
  const size_t rows = static_cast<size_t>(cy);
  const size_t xx = BitmapStride(width);
  const auto m = CheckedProduct(xx, rows);
  if (!m || *m > pDataBuf.size()) return;

  const std::span<uint8_t> page = pvBits.first(*pageBytes);
  switch (dwDithering) {
    case 0: ThresholdMode(page, cx, cy, nBytePerRow, nLight); break;
    case 1: OrderedDither(page, cx, cy, nBytePerRow, nLight); break;
    case 2: makeDitherBayer8(page, cx, cy, nBytePerRow, nLight); break;
    case 3: ErrorDiffusion(page, cx, cy, nBytePerRow, nLight); break;
    default: break;  // packed as it came: only pure black prints
  }
  Pack(page, pDataBuf, width, rows, static_cast<size_t>(nBytePerRow), xx);
  SaveDitheringBmp(kDitheringBmpPath, pDataBuf.first(*m), cx, cy);
}

void SaveDitheringBmp(const char* path, std::span<const uint8_t> page, int cx, int cy) {
  UniqueFile file = OpenDiagnosticFile(path);
  const int err = errno;
  const auto handle = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(file.get()));
  std::fprintf(stderr, "ERROR: fopen ImageDithering.bmp ImageFile=%x err=%s\n", handle, std::strerror(err));
  if (!file) return;
  std::vector<uint8_t> bytes;
  try {
    bytes = DitheringBmp(page, cx, cy);
  } catch (const std::length_error&) {
    return;  // too large for the format's 32-bit fields: no picture
  } catch (const std::invalid_argument&) {
    return;
  }
  // Write errors only lose the diagnostic picture.
  (void)std::fwrite(bytes.data(), 1, bytes.size(), file.get());
}

std::vector<uint8_t> DitheringBmp(std::span<const uint8_t> page, int cx, int cy) {
  if (cx < 0 || cy < 0) throw std::invalid_argument("DitheringBmp: negative size");
  const auto m = CheckedProduct(BitmapStride(static_cast<size_t>(cx)), static_cast<size_t>(cy));
  if (!m || *m > std::numeric_limits<int32_t>::max() - 62u) throw std::length_error("DitheringBmp: page too large");
  if (page.size() < *m) throw std::invalid_argument("DitheringBmp: page shorter than its rows");

  constexpr uint32_t kHeaders = 14 + 40 + 8;
  constexpr uint32_t kPixelsPerMetre = 203;  // the printer's dpi, stored as is
  const auto imageBytes = static_cast<uint32_t>(*m);
  std::vector<uint8_t> out;
  out.reserve(kHeaders + imageBytes);
  // BITMAPFILEHEADER
  PutLE(out, 0x4D42, 2);
  PutLE(out, kHeaders + imageBytes, 4);
  PutLE(out, 0, 2);
  PutLE(out, 0, 2);
  PutLE(out, kHeaders, 4);
  // BITMAPINFOHEADER; a negative height stores the rows top-down
  PutLE(out, 40, 4);
  PutLE(out, static_cast<uint32_t>(cx), 4);
  PutLE(out, static_cast<uint32_t>(-static_cast<int64_t>(cy)), 4);
  PutLE(out, 1, 2);
  PutLE(out, 1, 2);
  PutLE(out, 0, 4);
  PutLE(out, imageBytes, 4);
  PutLE(out, kPixelsPerMetre, 4);
  PutLE(out, kPixelsPerMetre, 4);
  PutLE(out, 0, 4);
  PutLE(out, 0, 4);
  // Palette: index 0 black, index 1 white
  PutLE(out, 0x00000000, 4);
  PutLE(out, 0x00FFFFFF, 4);
  out.insert(out.end(), page.begin(), page.begin() + static_cast<std::ptrdiff_t>(*m));
  return out;
}
