#include "BitmapTransforms.h"

#include <algorithm>
#include <cstring>

#include "PagePipeline.h"
#include "SizeMath.h"

void ClearPadding(std::span<uint8_t> row, size_t width, size_t stride) {
  const size_t used = PixelBytes(width);
  if (used > stride) return;
  if (width % 8) row[used - 1] &= static_cast<uint8_t>(0xFF00u >> (width % 8));
  std::fill(row.begin() + static_cast<std::ptrdiff_t>(used), row.begin() + static_cast<std::ptrdiff_t>(stride), 0);
}

void MirrorRowInto(std::span<const uint8_t> src, size_t width, std::span<uint8_t> dst) {
  const size_t bytes = PixelBytes(width);
  if (bytes == 0) return;
  // Reversing the bytes and the bits in each byte mirrors the row within
  // whole bytes; a width that ends inside a byte then leaves `shift` unused
  // bits in front, which a left shift across the row removes.
  const unsigned shift = static_cast<unsigned>(bytes * 8 - width);
  if (shift == 0) {
    for (size_t k = 0; k < bytes; ++k) dst[k] = kReversedBits[src[bytes - 1 - k]];
    return;
  }
  // Bits of the last source byte past the width must not come in.
  const uint8_t lastMask = static_cast<uint8_t>(0xFF00u >> (width % 8));
  auto reversed = [&](size_t k) -> unsigned {  // byte k of the whole-byte mirror
    const size_t from = bytes - 1 - k;
    return kReversedBits[from == bytes - 1 ? src[from] & lastMask : src[from]];
  };
  unsigned current = reversed(0);
  for (size_t k = 0; k + 1 < bytes; ++k) {
    const unsigned next = reversed(k + 1);
    dst[k] = static_cast<uint8_t>((current << shift) | (next >> (8 - shift)));
    current = next;
  }
  dst[bytes - 1] = static_cast<uint8_t>(current << shift);
}

void FlipAndMirrorInPlace(BitmapView picture, bool flipRows, bool mirror) {
  if (!flipRows && !mirror) return;
  const size_t stride = picture.stride, bytes = PixelBytes(picture.width);
  auto row = [&](size_t r) { return picture.bits.subspan(r * stride, stride); };
  if (!mirror) {
    for (size_t top = 0, bottom = picture.rows; top + 1 < bottom; ++top, --bottom)
      std::swap_ranges(row(top).begin(), row(top).begin() + static_cast<std::ptrdiff_t>(bytes), row(bottom - 1).begin());
    for (size_t r = 0; r < picture.rows; ++r) ClearPadding(row(r), picture.width, stride);
    return;
  }
  std::vector<uint8_t> a(bytes), b(bytes);
  auto mirrorPair = [&](size_t top, size_t bottom) {  // top <= bottom
    MirrorRowInto(row(top), picture.width, a);
    if (top == bottom) {
      std::copy(a.begin(), a.end(), row(top).begin());
    } else {
      MirrorRowInto(row(bottom), picture.width, b);
      std::copy(a.begin(), a.end(), row(flipRows ? bottom : top).begin());
      std::copy(b.begin(), b.end(), row(flipRows ? top : bottom).begin());
    }
    ClearPadding(row(top), picture.width, stride);
    ClearPadding(row(bottom), picture.width, stride);
  };
  for (size_t top = 0, bottom = picture.rows; top < bottom; ++top, --bottom) mirrorPair(top, bottom - 1);
}

Bitmap Rotate90Degrees(const BitmapView& picture, bool flipRows, bool mirror) {
  const size_t srcRows = picture.rows, srcWidth = picture.width;
  const size_t stride = BitmapStride(srcRows);
  Bitmap out(CheckedMul(stride, srcWidth), 0);
  out.reserve(1);  // a buffer exists even for an empty picture
  const size_t bytes = PixelBytes(srcWidth);
  for (size_t s = 0; s < srcRows; ++s) {
    const uint8_t* src = picture.bits.data() + s * picture.stride;
    const size_t p = mirror ? s : srcRows - 1 - s;  // column in the turned picture
    const uint8_t bit = static_cast<uint8_t>(0x80u >> (p % 8));
    for (size_t k = 0; k < bytes; ++k) {
      if (src[k] == 0) continue;
      for (unsigned i = 0; i < 8; ++i) {
        const size_t c = 8 * k + i;
        if (c >= srcWidth || !(src[k] & (0x80u >> i))) continue;
        const size_t r = flipRows ? srcWidth - 1 - c : c;
        out[r * stride + p / 8] |= bit;
      }
    }
  }
  return out;
}
