// A page of grey levels, one byte per pixel, 0 black to 255 white: the form
// in which grey and colour pages are converted to black and white.
//
// The neighbourhood rules of the threshold conversion were written against a
// page of three bytes per pixel whose rows are `stride24` bytes long, and they
// read their neighbours at flat byte offsets: the pixel left of column 0 is
// the end of the previous row, the pixel right of the last one may be the
// row's padding or the next row's first pixel. A GreyPlane keeps the levels
// compact and answers those reads as the three-byte page would: every pass
// leaves a pixel's three bytes equal, so one byte per pixel is enough.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int kBlack = 0;
inline constexpr int kWhite = 255;

struct GreyPlane {
  std::span<uint8_t> levels;  // rows x stride bytes
  size_t width = 0;           // pixels to convert in each row
  size_t rows = 0;
  size_t stride = 0;          // bytes between rows of `levels`
  size_t slots = 0;           // stored levels per row (>= width): the row's whole three-byte groups
  size_t stride24 = 0;        // row length of the three-byte page the rules read

  uint8_t* Row(size_t y) const { return levels.data() + y * stride; }
  uint8_t& At(size_t x, size_t y) const { return levels[y * stride + x]; }

  // Level at the flat three-byte offset of slot i in row j. Offsets before
  // the page, past its last row, or on padding that is not stored read as
  // white, which is what the three-byte page holds there.
  int LevelAt(long long i, long long j) const {
    const long long s = static_cast<long long>(stride24);
    if (i >= 0 && 3 * i < s) return LevelInRow(static_cast<size_t>(i), j);
    const long long offset = j * s + 3 * i;
    if (offset < 0) return kWhite;
    return LevelInRow(static_cast<size_t>(offset % s) / 3, offset / s);
  }

 private:
  int LevelInRow(size_t slot, long long j) const {
    if (j < 0 || static_cast<unsigned long long>(j) >= rows || slot >= slots) return kWhite;
    return levels[static_cast<size_t>(j) * stride + slot];
  }
};
