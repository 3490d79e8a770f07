#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "ErrorDiffusion.h"

namespace {

using Grid = std::vector<std::vector<int>>;

size_t Stride24(size_t width) { return ((width * 24 + 31) / 32) * 4; }

// A grey page laid out at the padded 24-bit stride of its width.
std::vector<uint8_t> GreyPage(const Grid& levels) {
  const size_t width = levels.empty() ? 0 : levels[0].size();
  std::vector<uint8_t> page(Stride24(width) * levels.size(), 0);
  for (size_t y = 0; y < levels.size(); ++y)
    for (size_t x = 0; x < width; ++x)
      for (size_t b = 0; b < 3; ++b) page[y * Stride24(width) + 3 * x + b] = static_cast<uint8_t>(levels[y][x]);
  return page;
}

Grid Levels(const std::vector<uint8_t>& page, size_t width, size_t height) {
  Grid out(height, std::vector<int>(width));
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x) out[y][x] = page[y * Stride24(width) + 3 * x];
  return out;
}

int Border(const Grid& levels, int x, int y) {
  const std::vector<uint8_t> page = GreyPage(levels);
  return IsBorder(page, x, y, static_cast<int>(levels[0].size()), static_cast<int>(levels.size()));
}

Grid Diffuse(const Grid& levels, int nLight = 100) {
  std::vector<uint8_t> page = GreyPage(levels);
  const size_t w = levels[0].size();
  EXPECT_EQ(ErrorDiffusion(page, static_cast<int>(w), static_cast<int>(levels.size()),
                           static_cast<int>(Stride24(w)), nLight),
            0);
  return Levels(page, w, levels.size());
}

TEST(PlusTruncate, ClampsTheSum) {
  struct Case {
    int a, b, expected;
  };
  const Case cases[] = {{250, 10, 255}, {3, -7, 0}, {0, 0, 0},       {255, 0, 255},
                        {100, -100, 0}, {100, 155, 255}, {100, -101, 0}, {0, 1000, 255}};
  for (const Case& c : cases) EXPECT_EQ(PlusTruncate(static_cast<uint8_t>(c.a), c.b), c.expected) << c.a << "+" << c.b;
}

TEST(FindNearestColor, BlackWhiteSplitAndTies) {
  const std::array<uint32_t, 2> bw = {0x000000, 0xFFFFFF};
  struct Case {
    uint32_t color;
    uint32_t expected;
  };
  const Case cases[] = {
      {0x80807F, 0xFFFFFF},  // bytes (128, 128, 127): sum 383
      {0x807F7F, 0x000000},  // bytes (128, 127, 127): sum 382
      {0x7F7F7F, 0x000000},
      {0x808080, 0xFFFFFF},
      {0xFF000000, 0x000000},  // bits 24..31 play no part
  };
  for (const Case& c : cases) EXPECT_EQ(FindNearestColor(c.color, bw), c.expected) << std::hex << c.color;

  // Equal distances: the earlier entry wins, in either order.
  const std::array<uint32_t, 2> ab = {0x000000, 0x000002};
  const std::array<uint32_t, 2> ba = {0x000002, 0x000000};
  EXPECT_EQ(FindNearestColor(0x000001, ab), 0x000000u);
  EXPECT_EQ(FindNearestColor(0x000001, ba), 0x000002u);
  const std::array<uint32_t, 2> sameColour = {0x01000000, 0x00000000};
  EXPECT_EQ(FindNearestColor(0x0, sameColour), 0x01000000u);
  EXPECT_EQ(FindNearestColor(0x123456, std::span<const uint32_t>()), 0x123456u);
}

TEST(ColorToGreyPass, LumaOfColourAndGreyKeptAsIs) {
  struct Case {
    std::array<uint8_t, 3> in;
    int nBrightness;
    uint8_t expected;
  };
  const Case cases[] = {
      {{0, 0, 255}, 0, 76},      {{0, 255, 0}, 0, 149},      {{255, 0, 0}, 0, 29},
      {{128, 128, 128}, 127, 128}, {{128, 128, 128}, -50, 128}, {{0, 0, 255}, 200, 255},
      {{255, 0, 0}, -30, 0},     {{0, 0, 255}, 127, 203},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page = {c.in[0], c.in[1], c.in[2], 0};
    ColorToGreyPass(page, 1, 1, 4, c.nBrightness);
    EXPECT_EQ(page, (std::vector<uint8_t>{c.expected, c.expected, c.expected, 0}))
        << int{c.in[0]} << "," << int{c.in[1]} << "," << int{c.in[2]} << " +" << c.nBrightness;
  }
}

TEST(IsBorder, MidToneLimits) {
  struct Case {
    int level, expected;
  };
  const Case cases[] = {{49, -1}, {50, 0}, {229, 0}, {230, -1}};
  for (const Case& c : cases) EXPECT_EQ(Border({{255, c.level, 0}}, 1, 0), c.expected) << c.level;
}

TEST(IsBorder, EveryKind) {
  struct Case {
    Grid page;
    int x, y, expected;
  };
  const Case cases[] = {
      {{{255, 150, 0}}, 1, 0, 0},
      {{{0, 255, 0}, {255, 150, 0}}, 1, 1, 1},
      {{{0, 255, 0}, {0, 150, 100}, {0, 0, 0}}, 1, 1, 2},
      {{{0, 255, 0}, {0, 150, 255}, {0, 0, 0}}, 1, 1, 3},
      {{{0, 150, 255}}, 1, 0, 4},
      {{{0, 150, 255}, {0, 255, 0}}, 1, 0, 5},
      {{{0, 0, 0}, {0, 150, 0}, {0, 255, 0}}, 1, 1, 6},
      // The left side needs 230, the other light sides 225.
      {{{229, 150, 0}}, 1, 0, -1},
      {{{0, 150, 225}}, 1, 0, 4},
      {{{0, 150, 224}}, 1, 0, -1},
      // Extra conditions test 230.
      {{{0, 229, 0}, {255, 150, 0}}, 1, 1, 0},
      {{{0, 225, 0}, {0, 150, 229}, {0, 0, 0}}, 1, 1, 2},
      {{{0, 150, 225}, {0, 229, 0}}, 1, 0, 4},
      // Dark side must be under 100.
      {{{255, 150, 100}}, 1, 0, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(Border(c.page, c.x, c.y), c.expected) << "case " << (&c - cases);
}

TEST(IsBorder, OnePixelWidePageOnlyHasVerticalEdges) {
  EXPECT_EQ(Border({{255}, {150}, {0}}, 0, 1), 2);
  EXPECT_EQ(Border({{0}, {150}, {255}}, 0, 1), 6);
  EXPECT_EQ(Border({{255}, {150}, {255}}, 0, 1), -1);
  EXPECT_EQ(Border({{150}}, 0, 0), -1);
}

TEST(IsBorder, ReadsOutsideTheBufferCountAsMissing) {
  // Three pixels at 9 bytes a row where the classifier expects 12: the last
  // row's derived offsets run past the buffer.
  const std::vector<uint8_t> page = {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 150, 150, 150, 0, 0, 0};
  EXPECT_EQ(IsBorder(page, 2, 1, 3, 2), -1);  // the pixel itself would start at byte 18
  EXPECT_EQ(IsBorder(page, 0, 1, 3, 2), -1);  // byte 12 is 150 but its right neighbour is missing
  EXPECT_EQ(IsBorder(page, 3, 0, 3, 2), -1);
  EXPECT_EQ(IsBorder(page, -1, 0, 3, 2), -1);
}

TEST(EdgeSnapPass, TakesTheNeighboursSideAt150) {
  struct Case {
    Grid page;
    int nBrightness;
    Grid expected;
  };
  const Case cases[] = {
      // Kind 0 below row 0 takes the pixel above.
      {{{0, 151, 0}, {255, 150, 0}}, 0, {{0, 151, 0}, {255, 255, 0}}},
      {{{0, 150, 0}, {255, 150, 0}}, 0, {{0, 150, 0}, {255, 0, 0}}},
      {{{0, 149, 0}, {255, 150, 0}}, 2, {{0, 149, 0}, {255, 255, 0}}},
      // Kind 6 right of column 0 takes the pixel to the left.
      {{{0, 0}, {200, 150}, {0, 255}}, 0, {{0, 0}, {200, 255}, {0, 255}}},
      {{{0, 0}, {150, 150}, {0, 255}}, 0, {{0, 0}, {150, 0}, {0, 255}}},
      // Kind 0 in row 0 and kind 2 in column 0 stay.
      {{{255, 150, 0}}, 0, {{255, 150, 0}}},
      {{{255}, {150}, {0}}, 0, {{255}, {150}, {0}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page = GreyPage(c.page);
    const size_t w = c.page[0].size();
    EdgeSnapPass(page, static_cast<int>(w), static_cast<int>(c.page.size()), static_cast<int>(Stride24(w)),
                 c.nBrightness);
    EXPECT_EQ(Levels(page, w, c.page.size()), c.expected) << "case " << (&c - cases);
  }
}

// Each row isolates one neighbour of the source pixel (1, 0): the other
// pixels are black and outside every window. The neighbour's level sits on
// either side of the value that its share moves across 128.
TEST(ErrorDiffusion, SharesAreFlooredSixteenths) {
  struct Case {
    int source;
    int nx, ny;        // neighbour
    int below, above;  // neighbour levels that end black / white
  };
  const Case cases[] = {
      {127, 2, 0, 72, 73},   {127, 0, 1, 104, 105}, {127, 1, 1, 88, 89},   {127, 2, 1, 120, 121},  // +55 +23 +39 +7
      {128, 2, 0, 183, 184}, {128, 0, 1, 151, 152}, {128, 1, 1, 167, 168}, {128, 2, 1, 135, 136},  // -56 -24 -40 -8
  };
  for (const Case& c : cases) {
    for (int level : {c.below, c.above}) {
      Grid page = {{0, c.source, 0}, {0, 0, 0}};
      page[static_cast<size_t>(c.ny)][static_cast<size_t>(c.nx)] = level;
      Grid expected = {{0, c.source >= 128 ? 255 : 0, 0}, {0, 0, 0}};
      expected[static_cast<size_t>(c.ny)][static_cast<size_t>(c.nx)] = level == c.above ? 255 : 0;
      EXPECT_EQ(Diffuse(page), expected) << "source " << c.source << " neighbour (" << c.nx << "," << c.ny
                                         << ") level " << level;
    }
  }
}

TEST(ErrorDiffusion, WindowBoundaries) {
  // A right neighbour of 225 takes -56 (169, error -86): its below share
  // -27 plus the source's -8 turn 150 black. Untaken, the share would be -10.
  EXPECT_EQ(Diffuse({{0, 128, 225}, {0, 0, 150}}), (Grid{{0, 255, 255}, {0, 0, 0}}));
  // A neighbour below at 225 takes nothing: its error -30 sends -14 right,
  // which with the source's -8 leaves 150 white (taken, -31 would not).
  EXPECT_EQ(Diffuse({{0, 128, 0}, {0, 225, 150}}), (Grid{{0, 255, 0}, {0, 255, 255}}));
  // A right neighbour of 50 takes nothing, one of 51 does; seen through its
  // below share (15 against 33) on a pixel of 100 that also gets +7.
  EXPECT_EQ(Diffuse({{0, 127, 50}, {0, 0, 100}}), (Grid{{0, 0, 0}, {0, 0, 0}}));
  EXPECT_EQ(Diffuse({{0, 127, 51}, {0, 0, 100}}), (Grid{{0, 0, 0}, {0, 0, 255}}));
}

TEST(ErrorDiffusion, BrightnessReachesColourOnly) {
  // nLight 50: the coloured pixel of luma 76 becomes 203 and white; the grey
  // 76 keeps its level, takes the right share -23 and ends black.
  std::vector<uint8_t> page = {0, 0, 255, 76, 76, 76, 0, 0};
  EXPECT_EQ(ErrorDiffusion(page, 2, 1, 8, 50), 0);
  EXPECT_EQ(page, (std::vector<uint8_t>{255, 255, 255, 0, 0, 0, 0, 0}));
}

TEST(ErrorDiffusion, GeometryThatDoesNotFitLeavesThePage) {
  std::vector<uint8_t> page(20, 100);
  const std::vector<uint8_t> before = page;
  EXPECT_EQ(ErrorDiffusion(page, 3, 2, 12, 100), 0);  // needs 24 bytes
  EXPECT_EQ(ErrorDiffusion(page, 4, 1, 9, 100), 0);   // row too short
  EXPECT_EQ(page, before);
}

TEST(ErrorDiffusion, RandomPagesEndPureBlackAndWhite) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> byte(0, 255), size(1, 23), colour(0, 3);
  for (int round = 0; round < 60; ++round) {
    const int w = size(rng), h = size(rng);
    const size_t stride = Stride24(static_cast<size_t>(w));
    std::vector<uint8_t> page(stride * static_cast<size_t>(h));
    for (size_t y = 0; y < static_cast<size_t>(h); ++y)
      for (size_t x = 0; x < static_cast<size_t>(w); ++x) {
        const auto v = static_cast<uint8_t>(byte(rng));
        const bool coloured = colour(rng) == 0;
        page[y * stride + 3 * x] = coloured ? static_cast<uint8_t>(byte(rng)) : v;
        page[y * stride + 3 * x + 1] = v;
        page[y * stride + 3 * x + 2] = v;
      }
    ErrorDiffusion(page, w, h, static_cast<int>(stride), 100 - 10 * (round % 3));
    for (size_t y = 0; y < static_cast<size_t>(h); ++y)
      for (size_t x = 0; x < static_cast<size_t>(w); ++x) {
        const size_t o = y * stride + 3 * x;
        ASSERT_TRUE(page[o] == 0 || page[o] == 255) << w << "x" << h << " at " << x << "," << y;
        ASSERT_EQ(page[o], page[o + 1]);
        ASSERT_EQ(page[o], page[o + 2]);
      }
  }
}

}  // namespace
