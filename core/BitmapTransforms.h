// Geometric transforms of 1-bit pictures: rows of one bit per pixel, the
// most significant bit of a row's first byte its leftmost pixel. The
// transforms do not care which polarity a set bit has; the pipeline keeps
// pictures with set bit = dot, so that "nothing" is a zero byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using Bitmap = std::vector<uint8_t>;

// A picture in a buffer: `rows` rows of `width` pixels, `stride` bytes apart.
struct BitmapView {
  std::span<uint8_t> bits;
  size_t width = 0;
  size_t rows = 0;
  size_t stride = 0;
};

// Where every pixel of a picture goes, as the composition of at most one
// clockwise quarter turn (out(r, p) = in(H - 1 - p, r), applied first) and a
// flip of the rows and a mirror of the columns (applied after it).
struct Orientation {
  bool quarterTurn = false;
  bool flipRows = false;
  bool mirror = false;

  // This orientation followed by `next`.
  constexpr Orientation Then(Orientation next) const {
    if (!next.quarterTurn) return {quarterTurn, flipRows != next.flipRows, mirror != next.mirror};
    // A quarter turn after flips becomes a turn before them, with the flips
    // swapped between rows and columns: Q.V = H.Q and Q.H = V.Q.
    // Two quarter turns never meet in this pipeline; callers must not ask.
    return {true, mirror != next.flipRows, flipRows != next.mirror};
  }
};

// Bits of each byte in reverse order.
inline constexpr std::array<uint8_t, 256> kReversedBits = [] {
  std::array<uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
    t[b] = static_cast<uint8_t>(r);
  }
  return t;
}();

// Bytes of a row that hold pixels of a picture `width` pixels wide.
constexpr size_t PixelBytes(size_t width) { return (width + 7) / 8; }

// Writes row `src` (width pixels) into `dst` mirrored within the width:
// dst(p) = src(width - 1 - p). dst holds at least PixelBytes(width) bytes;
// its bits past the width come out clear. src and dst may not overlap.
void MirrorRowInto(std::span<const uint8_t> src, size_t width, std::span<uint8_t> dst);

// Inverts n bytes at p, eight at a time.
void InvertBytes(uint8_t* p, size_t n);

// Clears the bits of a row past `width` pixels, up to `stride` bytes.
void ClearPadding(std::span<uint8_t> row, size_t width, size_t stride);

// A row of a flipped and/or mirrored picture: `src` (a row of `width`
// pixels) into `dst`, mirrored within the width when `mirror`, every bit
// past the width clear up to dst.size() bytes. Both hold at least
// PixelBytes(width) bytes and do not overlap. A flip only picks the rows.
void OrientRowInto(std::span<const uint8_t> src, size_t width, bool mirror, std::span<uint8_t> dst);

// The clockwise quarter turn, then the flips, into a new picture of
// picture.width rows of picture.rows pixels, BitmapStride(picture.rows) bytes
// each; bits past the width are clear. Throws std::bad_alloc when the
// picture cannot be allocated.
Bitmap Rotate90Degrees(const BitmapView& picture, bool flipRows, bool mirror);
