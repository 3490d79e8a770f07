#include "ostu.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "ErrorDiffusion.h"

size_t GreyPass(std::span<uint8_t> image, size_t rowBytes, size_t rows, int nBrightness) {
  if (rowBytes == 0) return 0;
  if (rows > image.size() / rowBytes) rows = image.size() / rowBytes;
  const size_t groups = rowBytes / 3;
  uint8_t* out = image.data();
  for (size_t row = 0; row < rows; ++row) {
    const uint8_t* line = image.data() + row * rowBytes;
    // A padding of exactly three bytes forms one more group and counts like
    // a pixel; one or two stray bytes do not.
    if (nBrightness == 0) {  // the filter's case: no clamping needed
      for (size_t i = 0; i < groups; ++i, line += 3)
        *out++ = static_cast<uint8_t>((unsigned{line[0]} + line[1] + line[2]) / 3);
      continue;
    }
    for (size_t i = 0; i < groups; ++i) {
      const int level = (line[3 * i] + line[3 * i + 1] + line[3 * i + 2]) / 3 + nBrightness;
      *out++ = static_cast<uint8_t>(level < 0 ? 0 : level > 255 ? 255 : level);
    }
  }
  return groups * rows;
}

namespace {

// The histogram of grey levels.
std::array<long long, 256> Histogram(std::span<const uint8_t> levels) {
  std::array<long long, 256> counts{};
  for (uint8_t level : levels) ++counts[level];
  return counts;
}

// Otsu's criterion searched in single precision. The class sums are rebuilt
// from scratch for every candidate on purpose: the accumulation order fixes
// the rounding, and with it the winner between near-equal candidates.
int SearchThreshold(const std::array<float, 256>& pixelPro) {
  float deltaMax = 0.0f;
  int threshold = 0;
  for (int i = 0; i < 256; ++i) {
    float w0 = 0.0f, w1 = 0.0f, u0tmp = 0.0f, u1tmp = 0.0f;
    for (int j = 0; j < 256; ++j) {
      const float p = pixelPro[static_cast<size_t>(j)];
      if (j <= i) {
        w0 += p;
        u0tmp += static_cast<float>(j) * p;
      } else {
        w1 += p;
        u1tmp += static_cast<float>(j) * p;
      }
    }
    // An empty class has no mean; such a split never qualifies.
    if (w0 == 0.0f || w1 == 0.0f) continue;
    const float u0 = u0tmp / w0;
    const float u1 = u1tmp / w1;
    const float u = u0tmp + u1tmp;
    const float deltaTmp = (u0 - u) * w0 * (u0 - u) + (u1 - u) * ((u1 - u) * w1);
    if (deltaTmp > deltaMax) {
      deltaMax = deltaTmp;
      threshold = i;
    }
  }
  return threshold;
}

}  // namespace

int otsu(std::span<uint8_t> image, int nImageWidth, int nImageHeight, int nPixelNum, int nLight) {
  const int nBrightness = BrightnessOffset(nLight);
  // The normaliser is deliberately the stride over the pixel depth in bits,
  // not the pixel count; the criterion below is tuned to this scale.
  const long long pixelSum =
      nPixelNum > 0 ? static_cast<long long>(nImageWidth / nPixelNum) * nImageHeight : 0;

  const size_t rowBytes = nImageWidth > 0 ? static_cast<size_t>(nImageWidth) : 0;
  const size_t rows = nImageHeight > 0 ? static_cast<size_t>(nImageHeight) : 0;
  const size_t levels = GreyPass(image, rowBytes, rows, nBrightness);
  const std::array<long long, 256> pixelCount = Histogram(image.first(levels));

  if (pixelSum <= 0) return 0;
  std::array<float, 256> pixelPro{};
  for (size_t k = 0; k < pixelPro.size(); ++k)
    pixelPro[k] = static_cast<float>(pixelCount[k]) / static_cast<float>(pixelSum);
  return SearchThreshold(pixelPro);
}
