// Conversion of a 24-bit page into the filter's 1-bit page.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Where every conversion leaves a picture of its result.
inline constexpr const char* kDitheringBmpPath = "/Users/quorle/Desktop/Work/ImageDithering.bmp";

// Row stride of a 1-bit page of `width` pixels: whole 32-bit words.
constexpr size_t BitmapStride(size_t width) { return ((width + 31) >> 5) << 2; }

// Decides the mid-grey pixel (x, y) of the grey page pPixel (stride nWidth,
// nHeight rows) from its neighbourhood in the reference copy pOrgPixel (the
// page before any decision, followed by nHeight rows of white), then carries
// the decision to the right along the row. Always returns 1.
int ProcessLine(std::span<uint8_t> pPixel, std::span<const uint8_t> pOrgPixel, int x, int y,
                int nWidth, int nHeight);

// Reduces the 24-bit page pvBits (cy rows of nBytePerRow bytes) to black and
// white by mode dwDithering (0 threshold, 1 ordered 3 x 3, 2 Bayer 8 x 8,
// 3 error diffusion, other: unconverted), clears in pDataBuf the bit of every
// black pixel, last row first, and writes the diagnostic BMP. Throws
// std::bad_alloc, with pvBits and pDataBuf untouched, when the threshold mode
// cannot have its reference copy. Does nothing at all (no conversion, no BMP)
// when the geometry does not fit the buffers: negative sizes, nBytePerRow
// under 3 * cx, pvBits shorter than cy * nBytePerRow, or pDataBuf shorter than
// cy * BitmapStride(cx).
void Color2BW(std::span<uint8_t> pvBits, std::span<uint8_t> pDataBuf, int cx, int cy,
              int nBytePerRow, int nLight, int dwDithering);

// Writes the diagnostic BMP of a 1-bit page to `path` and logs the outcome of
// the open on stderr (a handle of 0 and the error text when it failed).
void SaveDitheringBmp(const char* path, std::span<const uint8_t> page, int cx, int cy);

// The diagnostic BMP of a 1-bit page of cx x cy pixels: 62 header bytes and
// the page's rows, top-down. Throws std::invalid_argument for negative sizes
// or a page shorter than cy rows of BitmapStride(cx) bytes, and
// std::length_error when the file would not fit the format's size fields.
std::vector<uint8_t> DitheringBmp(std::span<const uint8_t> page, int cx, int cy);
