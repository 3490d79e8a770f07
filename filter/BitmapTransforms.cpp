#include "BitmapTransforms.h"

#include <algorithm>
#include <stdexcept>

#include "BilevelConversion.h"
#include "SizeMath.h"

namespace {

constexpr bool IsClear(std::span<const uint8_t> bits, size_t byte, unsigned bit) {
  return (bits[byte] & (0x80u >> bit)) == 0;
}

inline void ClearPixel(Bitmap& out, size_t rowStart, size_t p) {
  out[rowStart + p / 8] &= static_cast<uint8_t>(~(0x80u >> (p % 8)));
}

// Bytes of a row that hold pixels of a picture `width` pixels wide.
constexpr size_t PixelBytes(size_t width) { return (width + 7) / 8; }

// Throws unless `image` holds `rows` rows of `rowBytes` bytes at `stride`.
void RequireRows(std::span<const uint8_t> image, size_t rows, size_t stride, size_t rowBytes) {
  if (rows == 0 || rowBytes == 0) return;
  if (stride < rowBytes || CheckedAdd(CheckedMul(rows - 1, stride), rowBytes) > image.size())
    throw std::invalid_argument("bitmap smaller than its geometry");
}

// Walks one source row from its last pixel to its first, clearing in the
// destination row the pixel at the mirrored position of every clear pixel.
void MirrorRow(std::span<const uint8_t> src, size_t srcStart, size_t width, Bitmap& out, size_t dstStart) {
  size_t p = 0;
  for (size_t c = width; c-- > 0; ++p)
    if (IsClear(src, srcStart + c / 8, c % 8)) ClearPixel(out, dstStart, p);
}

size_t Dimension(int v) { return v > 0 ? static_cast<size_t>(v) : 0; }

}  // namespace

Bitmap Rotate90Degrees(std::span<const uint8_t> pImage, int nBitmapCX, int nBitmapCY, size_t nStride) {
  const size_t cx = Dimension(nBitmapCX), cy = Dimension(nBitmapCY);
  const size_t linebyte = BitmapStride(cy);
  RequireRows(pImage, cy, nStride, PixelBytes(cx));
  // The historical size, twice the turned picture and some; it also covers
  // the turned rows we write, since the walk stops at the picture's width.
  Bitmap out(CheckedMul(CheckedAdd(CheckedMul(cx, linebyte), 512), 2), 0xFF);
  for (size_t r = 0; r < cx; ++r) {
    const size_t dst = r * linebyte;
    for (size_t p = 0; p < cy; ++p)
      if (IsClear(pImage, (cy - 1 - p) * nStride + r / 8, r % 8)) ClearPixel(out, dst, p);
  }
  return out;
}

Bitmap MirrorPicture(int nPictureW, int nPictureH, int nBytePerRow, std::span<const uint8_t> pImage) {
  const size_t w = Dimension(nPictureW), h = Dimension(nPictureH), stride = Dimension(nBytePerRow);
  RequireRows(pImage, h, stride, PixelBytes(w));
  // Narrow, tall pictures need more than width x height + 1024 bytes.
  Bitmap out(std::max(CheckedAdd(CheckedMul(w, h), 1024), CheckedMul(h, stride)), 0xFF);
  for (size_t j = 0; j < h; ++j) MirrorRow(pImage, j * stride, w, out, j * stride);
  return out;
}

Bitmap HalfTurn(std::span<const uint8_t> pImage, int nWidth, int nHeight, int nBytePerRow) {
  const size_t w = Dimension(nWidth), h = Dimension(nHeight), stride = Dimension(nBytePerRow);
  RequireRows(pImage, h, stride, PixelBytes(w));
  Bitmap out(CheckedMul(CheckedMul(stride, h), 2), 0xFF);
  for (size_t row = 0; row < h; ++row) MirrorRow(pImage, row * stride, w, out, (h - 1 - row) * stride);
  return out;
}
