#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "BayerDither.h"

namespace {

using Grid = std::vector<std::vector<int>>;

size_t Stride24(size_t width) { return ((width * 24 + 31) / 32) * 4; }

std::vector<uint8_t> GreyPage(size_t width, size_t height, uint8_t level) {
  std::vector<uint8_t> page(Stride24(width) * height, 0xFF);
  for (size_t y = 0; y < height; ++y)
    for (size_t b = 0; b < 3 * width; ++b) page[y * Stride24(width) + b] = level;
  return page;
}

void SetPixel(std::vector<uint8_t>& page, size_t width, size_t x, size_t y, std::array<uint8_t, 3> bytes) {
  for (size_t b = 0; b < 3; ++b) page[y * Stride24(width) + 3 * x + b] = bytes[b];
}

int LevelAt(const std::vector<uint8_t>& page, size_t width, size_t x, size_t y) {
  return page[y * Stride24(width) + 3 * x];
}

// Luma truncates to `level`: the red byte one higher adds only 0.299.
std::array<uint8_t, 3> ColourOfLuma(int level) {
  const auto l = static_cast<uint8_t>(level);
  return {l, l, static_cast<uint8_t>(l + 1)};
}

TEST(BayerTables, Values) {
  EXPECT_EQ(aryOrderedDither, (Matrix3{{{28, 255, 57}, {142, 113, 227}, {170, 198, 85}}}));
  // Four times the recursively built index matrix: M(2n) from M(n) as
  // [[4M, 4M+2], [4M+3, 4M+1]].
  std::vector<std::vector<int>> m = {{0}};
  for (size_t n = 1; n < 8; n *= 2) {
    std::vector<std::vector<int>> next(2 * n, std::vector<int>(2 * n));
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < n; ++j) {
        next[i][j] = 4 * m[i][j];
        next[i][j + n] = 4 * m[i][j] + 2;
        next[i + n][j] = 4 * m[i][j] + 3;
        next[i + n][j + n] = 4 * m[i][j] + 1;
      }
    m = next;
  }
  for (size_t i = 0; i < 8; ++i)
    for (size_t j = 0; j < 8; ++j) EXPECT_EQ(BAYER_PATTERN_8X8[i][j], 4 * m[i][j]) << i << "," << j;
}

TEST(OrderedDither, BlockPatternsByLevel) {
  struct Case {
    uint8_t level;
    Grid block;
  };
  const Case cases[] = {
      {100, {{255, 0, 255}, {0, 0, 0}, {0, 0, 255}}},
      {50, {{255, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {225, {{255, 255, 255}, {255, 255, 255}, {255, 255, 255}}},
      {224, {{255, 0, 255}, {255, 255, 0}, {255, 255, 255}}},
      {49, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {28, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page = GreyPage(4, 4, c.level);
    OrderedDither(page, 4, 4, static_cast<int>(Stride24(4)), 100);
    for (size_t y = 0; y < 3; ++y)
      for (size_t x = 0; x < 3; ++x) EXPECT_EQ(LevelAt(page, 4, x, y), c.block[y][x]) << int{c.level};
    EXPECT_EQ(LevelAt(page, 4, 3, 3), c.level);
  }
}

TEST(OrderedDither, BlocksStartStrictlyBeforeTheLastThree) {
  struct Case {
    size_t width, height, blockColumns, blockRows;
  };
  const Case cases[] = {
      {9, 9, 6, 6}, {10, 9, 9, 6}, {10, 10, 9, 9}, {4, 4, 3, 3}, {3, 9, 0, 0}, {9, 3, 0, 0}, {1, 1, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page = GreyPage(c.width, c.height, 100);
    OrderedDither(page, static_cast<int>(c.width), static_cast<int>(c.height), static_cast<int>(Stride24(c.width)),
                  100);
    for (size_t y = 0; y < c.height; ++y)
      for (size_t x = 0; x < c.width; ++x) {
        const bool inBlock = x < c.blockColumns && y < c.blockRows;
        const int expected = inBlock ? (aryOrderedDither[y % 3][x % 3] < 100 ? 255 : 0) : 100;
        EXPECT_EQ(LevelAt(page, c.width, x, y), expected) << c.width << "x" << c.height << " at " << x << "," << y;
      }
  }
}

TEST(OrderedDither, BrightnessReachesColourOnly) {
  // In the margin of a 4 x 4 page: grey keeps 128 under nLight 50, the
  // coloured pixel of luma 76 gets +127.
  std::vector<uint8_t> page = GreyPage(4, 4, 128);
  SetPixel(page, 4, 3, 3, {0, 0, 255});
  OrderedDither(page, 4, 4, static_cast<int>(Stride24(4)), 50);
  EXPECT_EQ(LevelAt(page, 4, 3, 0), 128);
  EXPECT_EQ(LevelAt(page, 4, 3, 3), 203);
}

TEST(MakeDitherBayer8, GreyIsAThresholdAt230) {
  struct Case {
    uint8_t level;
    int expected;
  };
  const Case cases[] = {{229, 0}, {230, 255}, {100, 0}, {1, 0}, {255, 255}};
  for (const Case& c : cases) {
    std::vector<uint8_t> page = GreyPage(9, 9, c.level);
    makeDitherBayer8(page, 9, 9, static_cast<int>(Stride24(9)), 100);
    for (size_t y = 0; y < 9; ++y)
      for (size_t x = 0; x < 9; ++x) ASSERT_EQ(LevelAt(page, 9, x, y), c.expected) << int{c.level};
  }
}

TEST(MakeDitherBayer8, ColouredPixelsMeetTheTableByColumnThenRow) {
  struct Case {
    size_t x, y;
    int luma, nLight, expected;
  };
  const Case cases[] = {
      {1, 0, 128, 100, 0},    // entry [1][0] = 192
      {0, 1, 128, 100, 255},  // entry [0][1] = 128
      {3, 0, 225, 100, 0},    // entry [3][0] = 240: v = 225 is still dithered
      {3, 0, 226, 100, 255},  // v > 225
      {0, 0, 49, 100, 0},     // entry 0, but v < 50
      {0, 0, 50, 100, 255},
      // nLight 90 (+25) enters twice: grey 125, then v = (375 + 25) / 3 = 133.
      {4, 5, 100, 90, 255},  // entry 132
      {0, 5, 100, 90, 0},    // entry 136
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page = GreyPage(8, 8, 255);
    SetPixel(page, 8, c.x, c.y, ColourOfLuma(c.luma));
    makeDitherBayer8(page, 8, 8, static_cast<int>(Stride24(8)), c.nLight);
    EXPECT_EQ(LevelAt(page, 8, c.x, c.y), c.expected) << c.x << "," << c.y << " luma " << c.luma;
  }
}

TEST(Dithers, RandomPagesKeepTheirPromises) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> byte(0, 255), size(1, 21), colour(0, 4);
  for (int round = 0; round < 60; ++round) {
    const size_t w = static_cast<size_t>(size(rng)), h = static_cast<size_t>(size(rng));
    std::vector<uint8_t> page = GreyPage(w, h, 0);
    for (size_t y = 0; y < h; ++y)
      for (size_t x = 0; x < w; ++x) {
        const auto v = static_cast<uint8_t>(byte(rng));
        SetPixel(page, w, x, y, {colour(rng) == 0 ? static_cast<uint8_t>(byte(rng)) : v, v, v});
      }
    const int nLight = 100 - 20 * (round % 3);
    std::vector<uint8_t> bayer = page;
    makeDitherBayer8(bayer, static_cast<int>(w), static_cast<int>(h), static_cast<int>(Stride24(w)), nLight);
    std::vector<uint8_t> ordered = page;
    OrderedDither(ordered, static_cast<int>(w), static_cast<int>(h), static_cast<int>(Stride24(w)), nLight);
    const size_t blockCols = w > 3 ? 3 * ((w - 4) / 3 + 1) : 0;
    const size_t blockRows = h > 3 ? 3 * ((h - 4) / 3 + 1) : 0;
    for (size_t y = 0; y < h; ++y)
      for (size_t x = 0; x < w; ++x) {
        const size_t o = y * Stride24(w) + 3 * x;
        ASSERT_TRUE(bayer[o] == 0 || bayer[o] == 255);
        ASSERT_TRUE(bayer[o] == bayer[o + 1] && bayer[o] == bayer[o + 2]);
        ASSERT_TRUE(ordered[o] == ordered[o + 1] && ordered[o] == ordered[o + 2]) << "grey everywhere";
        if (x < blockCols && y < blockRows) {
          ASSERT_TRUE(ordered[o] == 0 || ordered[o] == 255);
        }
      }
  }
}

}  // namespace
