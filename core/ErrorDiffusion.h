// Floyd-Steinberg error diffusion for grey pages, plus the pieces the
// ordered dithers share with it: the edge classifier and the edge snap pass.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "GreyPlane.h"

// Brightness offset derived from the light setting (100 = no change).
constexpr int BrightnessOffset(int nLight) { return ((100 - nLight) * 255) / 100; }

// a + b clamped to 0..255.
constexpr uint8_t PlusTruncate(uint8_t a, int b) {
  const int sum = a + b;
  return static_cast<uint8_t>(sum < 0 ? 0 : sum > 255 ? 255 : sum);
}

// The palette entry nearest to `color` (packed 0x00BBGGRR by byte 0/1/2 in
// bits 16/8/0); the earlier entry wins a tie. An empty palette has no entry
// to offer and returns `color` itself.
constexpr uint32_t FindNearestColor(uint32_t color, std::span<const uint32_t> palette) {
  if (palette.empty()) return color;
  int minDistanceSquared = 3 * 255 * 255 + 1;
  size_t bestIndex = 0;
  for (size_t i = 0; i < palette.size(); ++i) {
    int distance = 0;
    for (int shift : {0, 8, 16}) {
      const int diff = static_cast<int>((color >> shift) & 0xFF) - static_cast<int>((palette[i] >> shift) & 0xFF);
      distance += diff * diff;
    }
    if (distance < minDistanceSquared) {
      minDistanceSquared = distance;
      bestIndex = i;
    }
  }
  return palette[bestIndex];
}

// Border kind of pixel (x, y) of the page: -1 (none) or 0..6, from the
// levels of its four neighbours. Pixels outside the page are no border.
int IsBorder(const GreyPlane& page, int x, int y);

// A level the edge snap pass gives pixel x of a row.
struct EdgeSnap {
  size_t x;
  uint8_t value;
};

// The snaps of row y into `snaps`, as EdgeSnapPass takes them row after row:
// they read rows y - 1 to y + 1 of the page as it was before the pass, and
// nothing else. So a page can be snapped while it arrives, in a window of
// rows whose first and last rows stand for the page's edges only when they
// are its edges.
void EdgeSnapsOfRow(const GreyPlane& page, size_t y, int nBrightness, std::vector<EdgeSnap>& snaps);

// Mid-tone pixels on a sharp light/dark edge take black or white from a
// neighbour. Every decision reads the page as it was before the pass.
void EdgeSnapPass(const GreyPlane& page, int nBrightness);

// One row of the diffusion: `row` (width levels, its earlier errors already
// received) becomes black and white and spreads its errors to its right and
// into `below`, the next row, or nowhere when `below` is null (the last row).
void DiffuseRow(uint8_t* row, uint8_t* below, size_t width);

// Turns the page into pure black and white in place. Always returns 0.
int ErrorDiffusion(const GreyPlane& page, int nLight);
