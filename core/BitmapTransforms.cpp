#include "BitmapTransforms.h"

#include <algorithm>
#include <bit>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "PagePipeline.h"
#include "SizeMath.h"

void ClearPadding(std::span<uint8_t> row, size_t width, size_t stride) {
  const size_t used = PixelBytes(width);
  if (used > stride) return;
  if (width % 8) row[used - 1] &= static_cast<uint8_t>(0xFF00u >> (width % 8));
  std::fill(row.begin() + static_cast<std::ptrdiff_t>(used), row.begin() + static_cast<std::ptrdiff_t>(stride), 0);
}

namespace {

// The 64 bits of a word in reverse order.
constexpr uint64_t ReverseBits(uint64_t w) {
  w = __builtin_bswap64(w);
  w = ((w >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((w & 0x0F0F0F0F0F0F0F0Full) << 4);
  w = ((w >> 2) & 0x3333333333333333ull) | ((w & 0x3333333333333333ull) << 2);
  return ((w >> 1) & 0x5555555555555555ull) | ((w & 0x5555555555555555ull) << 1);
}

// Mirrors `bytes` whole bytes (at least 16) from src into dst: dst[k] is
// src[bytes - 1 - k] with its bits reversed. Every row of a turned 1-bit
// page comes through here, and byte shuffles do sixteen bytes in about ten
// instructions where 64-bit code needs twenty-odd for eight: on x86
// processors with SSSE3 (all made since 2008), the byte order and the bits
// of each nibble are reversed by table shuffles.
#if defined(__x86_64__) || defined(__i386__)
#define LABELFILTER_MIRROR_SHUFFLE 1
// Sixteen bytes in reverse order, each with its bits reversed.
__attribute__((target("ssse3"))) __m128i Mirror16(__m128i v) {
  const __m128i reverseBytes = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  // Nibble n reversed, in the high half of a byte (for a low nibble) and in
  // the low half (for a high nibble).
  const __m128i toHigh = _mm_setr_epi8(0x00, -0x80, 0x40, -0x40, 0x20, -0x60, 0x60, -0x20, 0x10, -0x70, 0x50,
                                       -0x30, 0x30, -0x50, 0x70, -0x10);
  const __m128i toLow = _mm_setr_epi8(0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF);
  const __m128i lowNibbles = _mm_set1_epi8(0x0F);
  v = _mm_shuffle_epi8(v, reverseBytes);
  const __m128i low = _mm_and_si128(v, lowNibbles), high = _mm_and_si128(_mm_srli_epi16(v, 4), lowNibbles);
  return _mm_or_si128(_mm_shuffle_epi8(toHigh, low), _mm_shuffle_epi8(toLow, high));
}

__attribute__((target("ssse3"))) void MirrorWholeBytesShuffled(const uint8_t* src, size_t bytes, uint8_t* dst) {
  // dst[k, k + 16) comes from src[bytes - 16 - k, bytes - k).
  for (size_t k = 0;; k += 16) {
    // The last sixteen overlap bytes already written, with the same values.
    if (k + 16 > bytes) k = bytes - 16;
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + (bytes - 16 - k)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k), Mirror16(v));
    if (k + 16 == bytes) return;
  }
}
#endif

}  // namespace

void InvertBytes(uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    word = ~word;
    std::memcpy(p + i, &word, 8);
  }
  for (; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

void MirrorRowInto(std::span<const uint8_t> src, size_t width, std::span<uint8_t> dst) {
  const size_t bytes = PixelBytes(width);
  if (bytes == 0) return;
  // Reversing the bytes and the bits in each byte mirrors the row within
  // whole bytes; a width that ends inside a byte then leaves `shift` unused
  // bits in front, which a left shift across the row removes.
  const unsigned shift = static_cast<unsigned>(bytes * 8 - width);
  if (shift == 0) {
#ifdef LABELFILTER_MIRROR_SHUFFLE
    static const bool shuffles = __builtin_cpu_supports("ssse3");
    if (shuffles && bytes >= 16) {
      MirrorWholeBytesShuffled(src.data(), bytes, dst.data());
      return;
    }
#endif
    size_t k = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // Eight bytes at a time: a word read little-endian and reversed bit
      // for bit is its eight bytes in reverse order, each reversed.
      for (; k + 8 <= bytes; k += 8) {
        uint64_t word;
        std::memcpy(&word, src.data() + (bytes - 8 - k), 8);
        word = ReverseBits(word);
        std::memcpy(dst.data() + k, &word, 8);
      }
    }
    for (; k < bytes; ++k) dst[k] = kReversedBits[src[bytes - 1 - k]];
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

void OrientRowInto(std::span<const uint8_t> src, size_t width, bool mirror, std::span<uint8_t> dst) {
  const size_t bytes = PixelBytes(width);
  if (mirror)
    MirrorRowInto(src, width, dst);
  else if (bytes > 0)
    std::memcpy(dst.data(), src.data(), bytes);
  if (width % 8 || bytes < dst.size()) ClearPadding(dst, width, dst.size());
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
