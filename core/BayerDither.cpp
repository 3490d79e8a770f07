#include "BayerDither.h"

#include "ErrorDiffusion.h"

// 255 * k / 9 for k = 1..9, spread so that neighbouring cells light up apart.
constexpr Matrix3 aryOrderedDither = {{
    {28, 255, 57},
    {142, 113, 227},
    {170, 198, 85},
}};

// Four times the recursive 8 x 8 Bayer index matrix.
constexpr Matrix8 BAYER_PATTERN_8X8 = {{
    {0, 128, 32, 160, 8, 136, 40, 168},
    {192, 64, 224, 96, 200, 72, 232, 104},
    {48, 176, 16, 144, 56, 184, 24, 152},
    {240, 112, 208, 80, 248, 120, 216, 88},
    {12, 140, 44, 172, 4, 132, 36, 164},
    {204, 76, 236, 108, 196, 68, 228, 100},
    {60, 188, 28, 156, 52, 180, 20, 148},
    {252, 124, 220, 92, 244, 116, 212, 84},
}};

namespace {

uint8_t OrderedLevel(int intGray, int entry) {
  if (intGray > 224) return 255;
  if (intGray < 50) return 0;
  return entry < intGray ? 255 : 0;
}

// OrderedLevel of every level, for each cell of the 3 x 3 matrix.
using CellTable = std::array<uint8_t, 256>;
const std::array<std::array<CellTable, 3>, 3> kOrderedLevels = [] {
  std::array<std::array<CellTable, 3>, 3> t{};
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) t[r][c][static_cast<size_t>(v)] = OrderedLevel(v, aryOrderedDither[r][c]);
  return t;
}();

}  // namespace

void OrderedDitherRow(uint8_t* row, size_t y, size_t width, size_t rows) {
  // Only whole blocks starting strictly before the last three rows/columns are
  // dithered; the margin keeps its grey level.
  const size_t by = y - y % 3;
  if (rows < 3 || by >= rows - 3) return;
  const auto& cells = kOrderedLevels[y % 3];
  for (size_t bx = 0; bx + 3 < width; bx += 3) {
    uint8_t* block = row + bx;
    block[0] = cells[0][block[0]];
    block[1] = cells[1][block[1]];
    block[2] = cells[2][block[2]];
  }
}

void OrderedDither(const GreyPlane& page, int nLight) {
  EdgeSnapPass(page, BrightnessOffset(nLight));
  // Grey pixels have no colour for the brightness offset to reach: the
  // colour-to-grey pass changes nothing on a grey page.
  for (size_t y = 0; y < page.rows; ++y) OrderedDitherRow(page.Row(y), y, page.width, page.rows);
}

void Bayer8Row(uint8_t* row, size_t y, size_t width, int nBrightness) {
  for (size_t x = 0; x < width; ++x) {
    const int grey = row[x] <= 229 ? 0 : row[x];  // the hard threshold of grey pixels
    const int v = (3 * grey + nBrightness) / 3;
    uint8_t out;
    if (v < 50)
      out = 0;
    else if (v > 225)
      out = 255;
    else
      out = BAYER_PATTERN_8X8[x % 8][y % 8] <= v ? 255 : 0;
    row[x] = out;
  }
}

void Bayer8x8Row(uint8_t* row, size_t y, size_t width) {
  const auto& cells = BAYER_PATTERN_8X8[y % 8];
  for (size_t x = 0; x < width; ++x) row[x] = row[x] > cells[x % 8] ? 255 : 0;
}

void makeDitherBayer8(const GreyPlane& page, int nLight) {
  const int nBrightness = BrightnessOffset(nLight);
  EdgeSnapPass(page, nBrightness);
  for (size_t y = 0; y < page.rows; ++y) Bayer8Row(page.Row(y), y, page.width, nBrightness);
}
