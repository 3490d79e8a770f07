// Geometric transforms of 1-bit bitmaps (set bit = white paper). Each returns
// a new buffer filled with 0xFF in which only the bits of clear input pixels
// are cleared, and leaves its input alone. Allocation failure throws
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

using Bitmap = std::vector<uint8_t>;

// Clockwise quarter turn of nBitmapCY rows of nBitmapCX pixels read
// nStride bytes apart: out(r, p) = in(nBitmapCY - 1 - p, r). The result has
// BitmapStride(nBitmapCY) bytes per row; rows 0 .. nBitmapCX - 1 are the
// picture, the rest of the buffer is white.
Bitmap Rotate90Degrees(std::span<const uint8_t> pImage, int nBitmapCX, int nBitmapCY, size_t nStride);

// Left-right mirror within the picture's width: out(j, p) = in(j, W - 1 - p),
// same stride; bits past the width come out set.
Bitmap MirrorPicture(int nPictureW, int nPictureH, int nBytePerRow, std::span<const uint8_t> pImage);

// Half turn: rows in reverse order, each mirrored within the width. The
// buffer holds twice the rows; the second half is white.
Bitmap HalfTurn(std::span<const uint8_t> pImage, int nWidth, int nHeight, int nBytePerRow);
