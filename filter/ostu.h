// Otsu's global grey threshold over a 24-bit page, with the page rewritten to
// grey in place on the way.
#pragma once

#include <cstdint>
#include <span>

// Rewrites every whole three-byte group of each row of `image` (nImageHeight
// rows of nImageWidth bytes) as its grey level plus the brightness offset, and
// returns the Otsu threshold of the resulting histogram (0 when undefined).
int otsu(std::span<uint8_t> image, int nImageWidth, int nImageHeight, int nPixelNum, int nLight);
