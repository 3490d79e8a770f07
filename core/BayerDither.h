// Ordered dithers for grey pages: a 3 x 3 block matrix and an 8 x 8 Bayer
// table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "GreyPlane.h"

using Matrix3 = std::array<std::array<int, 3>, 3>;
using Matrix8 = std::array<std::array<int, 8>, 8>;

extern const Matrix3 aryOrderedDither;
extern const Matrix8 BAYER_PATTERN_8X8;

// 3 x 3 ordered dither over whole blocks starting below width - 3 and
// height - 3; pixels outside every block keep their grey level.
void OrderedDither(const GreyPlane& page, int nLight);

// The two passes after the edge snap, one row at a time (row y of `rows`,
// `width` levels), as the whole-page dithers take them.
void OrderedDitherRow(uint8_t* row, size_t y, size_t width, size_t rows);
void Bayer8Row(uint8_t* row, size_t y, size_t width, int nBrightness);

// A true 8 x 8 ordered dither of one row of grey levels (255 white): each
// dot is white where its level is above its cell of the table, so 64
// levels of grey each light their own share of every 8 x 8 block.
void Bayer8x8Row(uint8_t* row, size_t y, size_t width);

// 8 x 8 Bayer dither of every pixel. Grey pixels are thresholded hard at 230
// before it, so on a grey page this is a threshold: only colour ever reached
// the table with a mid level.
void makeDitherBayer8(const GreyPlane& page, int nLight);
