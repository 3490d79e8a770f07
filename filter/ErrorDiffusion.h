// Floyd-Steinberg error diffusion for 24-bit pages, plus the pieces the
// ordered dithers share with it: the edge classifier, the edge snap pass and
// the colour-to-grey pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Brightness offset derived from the light setting (100 = no change).
constexpr int BrightnessOffset(int nLight) { return ((100 - nLight) * 255) / 100; }

// Bytes covered by `height` rows of `nByteWidth` bytes holding `width` pixels
// of three bytes, or nothing when the geometry is negative, a row cannot hold
// its pixels, the product overflows or the page does not fit in `bufferSize`.
// Every pass over a whole page checks it first and leaves a page that fails
// it alone.
std::optional<size_t> PageBytes(size_t bufferSize, int width, int height, int nByteWidth);

// Border kind of pixel (x, y) of a page nWidth pixels wide and nHeight rows
// high laid out at the 24-bit page stride of nWidth: -1 or 0..6. A neighbour
// whose bytes would lie outside pColorBuf counts as missing, and a pixel
// outside the page or the buffer is no border (-1).
int IsBorder(std::span<const uint8_t> pColorBuf, int x, int y, int nWidth, int nHeight);

// a + b clamped to 0..255.
uint8_t PlusTruncate(uint8_t a, int b);

// The palette entry nearest to `color` (packed 0x00BBGGRR by byte 0/1/2 in
// bits 16/8/0); the earlier entry wins a tie. An empty palette has no entry
// to offer and returns `color` itself.
uint32_t FindNearestColor(uint32_t color, std::span<const uint32_t> palette);

// Luma of a pixel (bytes blue, green, red) truncated, plus nBrightness,
// clamped to 0..255.
uint8_t LumaLevel(uint8_t b0, uint8_t b1, uint8_t b2, int nBrightness);

// Mid-tone pixels on a sharp light/dark edge take black or white from a
// neighbour. Leaves the page unchanged when its working copy cannot be had.
void EdgeSnapPass(std::span<uint8_t> pixels, int width, int height, int nByteWidth, int nBrightness);

// Every pixel whose three bytes differ becomes its luma plus nBrightness.
void ColorToGreyPass(std::span<uint8_t> pixels, int width, int height, int nByteWidth, int nBrightness);

// Turns the page into pure black and white pixels in place. Always returns 0.
int ErrorDiffusion(std::span<uint8_t> pBits, int cx, int cy, int nByteWidth, int nLight);
