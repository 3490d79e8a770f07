// Otsu's global grey threshold over a 24-bit page, with the page rewritten to
// grey levels in place on the way.
#pragma once

#include <cstdint>
#include <span>

// Turns every whole three-byte group of each row of `image` (nImageHeight rows
// of nImageWidth bytes) into its grey level plus the brightness offset, kept
// one byte per group at the start of the buffer (nImageWidth / 3 levels per
// row, rows back to back), and returns the Otsu threshold of the levels'
// histogram (0 when undefined). Stray bytes past a row's last whole group are
// dropped.
int otsu(std::span<uint8_t> image, int nImageWidth, int nImageHeight, int nPixelNum, int nLight);

// The grey pass alone: compacts the page into levels as otsu does and returns
// how many levels it wrote. Writing level k of a row never overtakes the
// bytes still to be read, so it runs in place; only rows lying wholly inside
// `image` are read.
size_t GreyPass(std::span<uint8_t> image, size_t rowBytes, size_t rows, int nBrightness);
