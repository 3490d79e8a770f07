#include "BayerDither.h"

#include "ErrorDiffusion.h"

// 255 * k / 9 for k = 1..9, spread so that neighbouring cells light up apart.
constexpr Matrix3 aryOrderedDither = {{
    {28, 255, 57},
    {142, 113, 227},
    {170, 198, 85},
}};

// Four times the recursive 8 x 8 Bayer index matrix.
constexpr Matrix8 BAYER_PATTERN_8X8 = {{
    {0, 128, 32, 160, 8, 136, 40, 168},
    {192, 64, 224, 96, 200, 72, 232, 104},
    {48, 176, 16, 144, 56, 184, 24, 152},
    {240, 112, 208, 80, 248, 120, 216, 88},
    {12, 140, 44, 172, 4, 132, 36, 164},
    {204, 76, 236, 108, 196, 68, 228, 100},
    {60, 188, 28, 156, 52, 180, 20, 148},
    {252, 124, 220, 92, 244, 116, 212, 84},
}};

namespace {

void SetPixel(std::span<uint8_t> px, size_t offset, uint8_t value) {
  px[offset] = px[offset + 1] = px[offset + 2] = value;
}

uint8_t OrderedLevel(int intGray, int entry) {
  if (intGray > 224) return 255;
  if (intGray < 50) return 0;
  return entry < intGray ? 255 : 0;
}

// Grey pixels are thresholded hard at 230 rather than dithered: only colour
// reaches the Bayer table with a mid level.
void BayerGreyPass(std::span<uint8_t> px, size_t width, size_t height, size_t stride, int nBrightness) {
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      const size_t o = y * stride + 3 * x;
      if (px[o] == px[o + 1] && px[o + 1] == px[o + 2]) {
        if (px[o] <= 229) SetPixel(px, o, 0);
      } else {
        SetPixel(px, o, LumaLevel(px[o], px[o + 1], px[o + 2], nBrightness));
      }
    }
  }
}

uint8_t BayerLevel(int v, size_t x, size_t y) {
  if (v < 50) return 0;
  if (v > 225) return 255;
  return BAYER_PATTERN_8X8[x % 8][y % 8] <= v ? 255 : 0;
}

}  // namespace

void OrderedDither(std::span<uint8_t> pixels, int width, int height, int nByteWidth, int nLight) {
  if (!PageBytes(pixels.size(), width, height, nByteWidth)) return;
  const int nBrightness = BrightnessOffset(nLight);
  EdgeSnapPass(pixels, width, height, nByteWidth, nBrightness);
  ColorToGreyPass(pixels, width, height, nByteWidth, nBrightness);

  // Only whole blocks starting strictly before the last three rows/columns are
  // dithered; the margin keeps its grey level.
  const auto stride = static_cast<size_t>(nByteWidth);
  for (int by = 0; by < height - 3; by += 3) {
    for (int bx = 0; bx < width - 3; bx += 3) {
      for (size_t r = 0; r < 3; ++r) {
        for (size_t c = 0; c < 3; ++c) {
          const size_t o = (static_cast<size_t>(by) + r) * stride + 3 * (static_cast<size_t>(bx) + c);
          SetPixel(pixels, o, OrderedLevel(pixels[o], aryOrderedDither[r][c]));
        }
      }
    }
  }
}

void makeDitherBayer8(std::span<uint8_t> pixels, int width, int height, int nByteWidth, int nLight) {
  if (!PageBytes(pixels.size(), width, height, nByteWidth)) return;
  const int nBrightness = BrightnessOffset(nLight);
  EdgeSnapPass(pixels, width, height, nByteWidth, nBrightness);

  const auto w = static_cast<size_t>(width);
  const auto h = static_cast<size_t>(height);
  const auto stride = static_cast<size_t>(nByteWidth);
  BayerGreyPass(pixels, w, h, stride, nBrightness);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      const size_t o = y * stride + 3 * x;
      const int v = (pixels[o + 2] + pixels[o + 1] + pixels[o] + nBrightness) / 3;
      SetPixel(pixels, o, BayerLevel(v, x, y));
    }
  }
}
