#include "ErrorDiffusion.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <vector>

namespace {

constexpr std::array<uint32_t, 2> kBlackWhite = {0x000000u, 0xFFFFFFu};

// Byte offset of pixel (x, y), or nothing when it does not fit in size_t.
std::optional<size_t> PixelOffset(size_t x, size_t y, size_t stride) {
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  if (y != 0 && stride > kMax / y) return std::nullopt;
  const size_t rowStart = y * stride;
  if (x > (kMax - rowStart) / 3) return std::nullopt;
  return rowStart + 3 * x;
}

int Level(std::span<const uint8_t> px, size_t offset) {
  return (px[offset] + px[offset + 1] + px[offset + 2]) / 3;
}

void SetPixel(std::span<uint8_t> px, size_t offset, uint8_t value) {
  px[offset] = px[offset + 1] = px[offset + 2] = value;
}

// Adds the shares of one error to a neighbour whose level, taken before the
// change, lies in [lo, hi]. Shares are floored (arithmetic shift), each on its
// own, so they need not add up to the error.
void Spread(std::span<uint8_t> px, size_t offset, int lo, int hi, int weight, int errorB, int errorG,
            int errorR) {
  const int level = Level(px, offset);
  if (level < lo || level > hi) return;
  px[offset] = PlusTruncate(px[offset], (errorB * weight) >> 4);
  px[offset + 1] = PlusTruncate(px[offset + 1], (errorG * weight) >> 4);
  px[offset + 2] = PlusTruncate(px[offset + 2], (errorR * weight) >> 4);
}

void DiffusionPass(std::span<uint8_t> px, size_t cx, size_t cy, size_t stride) {
  for (size_t y = 0; y < cy; ++y) {
    for (size_t x = 0; x < cx; ++x) {
      const size_t o = y * stride + 3 * x;
      const uint32_t currentPixel = (uint32_t{px[o]} << 16) | (uint32_t{px[o + 1]} << 8) | px[o + 2];
      const uint32_t bestColor = FindNearestColor(currentPixel, kBlackWhite);
      px[o] = static_cast<uint8_t>(bestColor >> 16);
      px[o + 1] = static_cast<uint8_t>(bestColor >> 8);
      px[o + 2] = static_cast<uint8_t>(bestColor);
      const int errorR = static_cast<int>(currentPixel & 0xFF) - static_cast<int>(bestColor & 0xFF);
      const int errorG = static_cast<int>((currentPixel >> 8) & 0xFF) - static_cast<int>((bestColor >> 8) & 0xFF);
      const int errorB = static_cast<int>((currentPixel >> 16) & 0xFF) - static_cast<int>((bestColor >> 16) & 0xFF);

      // The windows keep settled black/white pixels and near-white ones out
      // of the exchange; the rows below take a narrower window.
      const bool hasRight = x + 1 < cx;
      const bool hasBelow = y + 1 < cy;
      if (hasRight) Spread(px, o + 3, 51, 229, 7, errorB, errorG, errorR);
      if (hasBelow && x >= 1) Spread(px, o + stride - 3, 51, 229, 3, errorB, errorG, errorR);
      if (hasBelow) Spread(px, o + stride, 51, 224, 5, errorB, errorG, errorR);
      if (hasBelow && hasRight) Spread(px, o + stride + 3, 51, 224, 1, errorB, errorG, errorR);
    }
  }
}

}  // namespace

std::optional<size_t> PageBytes(size_t bufferSize, int width, int height, int nByteWidth) {
  if (width < 0 || height < 0 || nByteWidth < 0) return std::nullopt;
  const auto stride = static_cast<size_t>(nByteWidth);
  const auto rows = static_cast<size_t>(height);
  if (static_cast<size_t>(width) > stride / 3) return std::nullopt;
  if (rows != 0 && stride > std::numeric_limits<size_t>::max() / rows) return std::nullopt;
  const size_t bytes = stride * rows;
  if (bytes > bufferSize) return std::nullopt;
  return bytes;
}

int IsBorder(std::span<const uint8_t> pColorBuf, int x, int y, int nWidth, int nHeight) {
  if (x < 0 || y < 0 || x >= nWidth || y >= nHeight) return -1;
  // The classifier assumes the padded 24-bit layout of the page's width.
  const size_t stride = ((static_cast<size_t>(nWidth) * 24 + 31) / 32) * 4;
  // A neighbour that does not exist, or whose bytes would lie outside the
  // buffer, reads as kMissing and fails every test that names it.
  constexpr int kMissing = -1;
  auto level = [&](int px, int py) {
    const auto o = PixelOffset(static_cast<size_t>(px), static_cast<size_t>(py), stride);
    if (!o || *o > pColorBuf.size() || pColorBuf.size() - *o < 3) return kMissing;
    return Level(pColorBuf, *o);
  };
  auto has = [](int v) { return v != kMissing; };
  const int M = level(x, y);
  if (!has(M)) return -1;
  const int L = x > 0 ? level(x - 1, y) : kMissing;
  const int R = x < nWidth - 1 ? level(x + 1, y) : kMissing;
  const int U = y > 0 ? level(x, y - 1) : kMissing;
  const int D = y < nHeight - 1 ? level(x, y + 1) : kMissing;

  if (M < 50 || M >= 230) return -1;
  if (has(L) && L >= 230 && has(R) && R < 100) return (has(U) && U >= 230) ? 1 : 0;
  if (has(U) && U >= 225 && has(D) && D < 100) return (has(R) && R >= 230) ? 3 : 2;
  if (has(R) && R >= 225 && has(L) && L < 100) return (has(D) && D >= 230) ? 5 : 4;
  if (has(D) && D >= 225 && has(U) && U < 100) return 6;
  return -1;
}

uint8_t PlusTruncate(uint8_t a, int b) {
  const int sum = a + b;
  return static_cast<uint8_t>(std::clamp(sum, 0, 255));
}

uint32_t FindNearestColor(uint32_t color, std::span<const uint32_t> palette) {
  if (palette.empty()) return color;
  auto channel = [](uint32_t c, int shift) { return static_cast<int>((c >> shift) & 0xFF); };
  int minDistanceSquared = 3 * 255 * 255 + 1;
  size_t bestIndex = 0;
  for (size_t i = 0; i < palette.size(); ++i) {
    int distance = 0;
    for (int shift : {0, 8, 16}) {
      const int diff = channel(color, shift) - channel(palette[i], shift);
      distance += diff * diff;
    }
    if (distance < minDistanceSquared) {
      minDistanceSquared = distance;
      bestIndex = i;
    }
  }
  return palette[bestIndex];
}

uint8_t LumaLevel(uint8_t b0, uint8_t b1, uint8_t b2, int nBrightness) {
  const double luma = 0.299 * b2 + 0.587 * b1 + 0.114 * b0;
  return static_cast<uint8_t>(std::clamp(static_cast<int>(luma) + nBrightness, 0, 255));
}

void EdgeSnapPass(std::span<uint8_t> pixels, int width, int height, int nByteWidth, int nBrightness) {
  const auto bytes = PageBytes(pixels.size(), width, height, nByteWidth);
  if (!bytes) return;
  std::vector<uint8_t> snapped;
  try {
    snapped.assign(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(*bytes));
  } catch (const std::bad_alloc&) {
    return;  // no working copy: the page goes on without the snap
  }
  // Decisions and neighbour levels all come from the untouched page; only the
  // copy is written, so one snap cannot trigger another.
  const std::span<const uint8_t> page = pixels.first(*bytes);
  const auto stride = static_cast<size_t>(nByteWidth);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const size_t o = static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x);
      const int k = IsBorder(page, x, y, width, height);
      int value = 0;
      if ((k == 0 || k == 4) && y > 0)
        value = Level(page, o - stride) + nBrightness;
      else if ((k == 2 || k == 6) && x > 0)
        value = Level(page, o - 3) + nBrightness;
      else
        continue;
      SetPixel(snapped, o, value > 150 ? 255 : 0);
    }
  }
  std::copy(snapped.begin(), snapped.end(), pixels.begin());
}

void ColorToGreyPass(std::span<uint8_t> pixels, int width, int height, int nByteWidth, int nBrightness) {
  if (!PageBytes(pixels.size(), width, height, nByteWidth)) return;
  const auto stride = static_cast<size_t>(nByteWidth);
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    for (size_t x = 0; x < static_cast<size_t>(width); ++x) {
      const size_t o = y * stride + 3 * x;
      // Grey pixels keep their level: the offset only reaches colour.
      if (pixels[o] == pixels[o + 1] && pixels[o + 1] == pixels[o + 2]) continue;
      SetPixel(pixels, o, LumaLevel(pixels[o], pixels[o + 1], pixels[o + 2], nBrightness));
    }
  }
}

int ErrorDiffusion(std::span<uint8_t> pBits, int cx, int cy, int nByteWidth, int nLight) {
  if (!PageBytes(pBits.size(), cx, cy, nByteWidth)) return 0;
  const int nBrightness = BrightnessOffset(nLight);
  EdgeSnapPass(pBits, cx, cy, nByteWidth, nBrightness);
  ColorToGreyPass(pBits, cx, cy, nByteWidth, nBrightness);
  DiffusionPass(pBits, static_cast<size_t>(cx), static_cast<size_t>(cy), static_cast<size_t>(nByteWidth));
  return 0;
}
