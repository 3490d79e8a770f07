// Conversion of a grey page into black and white: the threshold with its
// neighbourhood rules, or one of the dithers, chosen by the conversion mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "GreyPlane.h"

// Decides the mid-grey pixel (x, y) of `page` from its neighbourhood in
// `reference` (the page before any decision), then carries the decision to
// the right along the row while the reference levels continue the same
// stroke. Always returns 1.
int ProcessLine(const GreyPlane& page, const GreyPlane& reference, int x, int y);

// The threshold mode's decisions for row y alone, as Color2BW takes them
// row after row: it reads rows y - 1 to y + 1 of `reference` (the levels
// before any decision) and row y - 1 of `page` (decided), and writes row y of
// `page`. So a page can be decided while it arrives, a row behind, in a
// window of rows whose first and last rows stand for the page's edges only
// when they are its edges.
void ThresholdRow(const GreyPlane& page, const GreyPlane& reference, size_t y);

// Reduces the page to black (0) and white (255) by mode dwDithering (0
// threshold, 1 ordered 3 x 3, 2 Bayer 8 x 8 after a hard threshold of grey,
// 3 error diffusion, 4 a true 8 x 8 ordered dither of grey; other modes
// leave the levels as they are, so that only pure black prints). One
// exception in the threshold mode: a colour row whose padding holds a whole
// pixel slot lends that slot's undecided level to the next row's first pixel
// as its left decision, which may then stay grey (and print as paper). The
// threshold mode's reference copy may throw std::bad_alloc; the page is then
// unchanged.
void Color2BW(const GreyPlane& page, int nLight, int dwDithering);
