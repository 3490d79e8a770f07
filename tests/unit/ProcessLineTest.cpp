#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "BilevelConversion.h"

namespace {

using Grid = std::vector<std::vector<int>>;

// A grey page as the Otsu pass leaves it, and its reference copy with the
// white tail.
struct Scene {
  std::vector<uint8_t> page;
  std::vector<uint8_t> ref;
  size_t width, height, stride;

  Scene(const Grid& levels, size_t rowStride = 0, uint8_t pad = 0xFF)
      : width(levels[0].size()), height(levels.size()), stride(rowStride ? rowStride : 3 * levels[0].size()) {
    page.assign(stride * height, pad);
    for (size_t y = 0; y < height; ++y)
      for (size_t x = 0; x < width; ++x)
        for (size_t b = 0; b < 3; ++b) page[y * stride + 3 * x + b] = static_cast<uint8_t>(levels[y][x]);
    ref = page;
    ref.resize(2 * page.size(), 255);
  }

  int Call(size_t x, size_t y) {
    return ProcessLine(page, ref, static_cast<int>(x), static_cast<int>(y), static_cast<int>(stride),
                       static_cast<int>(height));
  }

  // The threshold mode's scan: settled pixels are skipped by their level.
  Grid Scan() {
    for (size_t y = 0; y < height; ++y)
      for (size_t x = 0; x < width; ++x) {
        const size_t o = y * stride + 3 * x;
        const int level = (page[o] + page[o + 1] + page[o + 2]) / 3;
        if (level != 0 && level != 255) {
          EXPECT_EQ(Call(x, y), 1);
        }
      }
    return Levels();
  }

  Grid Levels() const {
    Grid out(height, std::vector<int>(width));
    for (size_t y = 0; y < height; ++y)
      for (size_t x = 0; x < width; ++x) {
        const size_t o = y * stride + 3 * x;
        EXPECT_TRUE(page[o] == page[o + 1] && page[o] == page[o + 2]);
        out[y][x] = page[o];
      }
    return out;
  }
};

TEST(ProcessLine, SingleCallsAndTheirRuns) {
  struct Case {
    Grid page;
    size_t x, y;
    Grid expected;
  };
  const Case cases[] = {
      // 220 and lighter: white with no run, though 250 is a 30-level step.
      {{{220, 250}}, 0, 0, {{255, 250}}},
      // Row 0 below 220: white from 200 and the run takes the step to 250.
      {{{219, 250}}, 0, 0, {{255, 255}}},
      {{{199, 250}}, 0, 0, {{0, 250}}},
      {{{150, 160, 170, 255}}, 0, 0, {{0, 0, 0, 255}}},
      {{{210, 240, 255}}, 0, 0, {{255, 255, 255}}},
      // A black run stops at a 26-level step and before a level over 234.
      {{{100, 125, 151, 160}}, 0, 0, {{0, 0, 151, 160}}},
      {{{190, 210, 235}}, 0, 0, {{0, 0, 235}}},
      {{{190, 210, 234}}, 0, 0, {{0, 0, 0}}},
  };
  for (const Case& c : cases) {
    Scene s(c.page);
    EXPECT_EQ(s.Call(c.x, c.y), 1);
    EXPECT_EQ(s.Levels(), c.expected) << "case " << (&c - cases);
  }
}

TEST(ProcessLine, PagesDecidedInScanOrder) {
  struct Case {
    Grid page;
    size_t stride;
    Grid expected;
  };
  const Case cases[] = {
      {{{255, 150, 255}}, 0, {{255, 0, 255}}},
      {{{100, 130, 160, 190, 255}}, 0, {{0, 0, 0, 0, 255}}},
      {{{255, 150, 255}, {255, 160, 255}}, 0, {{255, 0, 255}, {255, 0, 255}}},
      {{{200, 200, 200}, {200, 120, 200}, {200, 200, 200}}, 0, {{255, 255, 255}, {255, 0, 255}, {255, 255, 255}}},
      // One pixel wide: row 0 rule, B1.2 at x = 0, then U through A4.
      {{{100}, {200}, {150}}, 3, {{0}, {255}, {255}}},
      // Column 0 reads l from the end of the row above (stride 6).
      {{{255, 210}, {199, 255}}, 6, {{255, 255}, {255, 255}}},
      // Two padding bytes: l is still the last pixel's byte.
      {{{255, 210}, {199, 255}}, 8, {{255, 255}, {255, 255}}},
      // Three: l is the white padding slot, 56 levels off, and u, d > 200
      // make it black (A4.4).
      {{{255, 210}, {199, 255}}, 9, {{255, 255}, {0, 255}}},
      {{{1, 254}}, 0, {{0, 255}}},
  };
  for (const Case& c : cases) {
    Scene s(c.page, c.stride);
    EXPECT_EQ(s.Scan(), c.expected) << "case " << (&c - cases);
  }
}

TEST(ProcessLine, RunMayFillAThreeBytePaddingSlot) {
  // Two pixels at stride 9: the padding slot is the run's limit and is
  // written like a pixel when it is not already white.
  Scene s({{150, 160}}, 9, 0xFF);
  s.page[6] = s.page[7] = s.page[8] = 170;
  s.ref[6] = 170;
  EXPECT_EQ(s.Call(0, 0), 1);
  EXPECT_EQ(s.page, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ProcessLine, CallsOutsideThePageChangeNothing) {
  Scene s({{150, 160}, {170, 180}});
  const std::vector<uint8_t> before = s.page;
  const auto w = static_cast<int>(s.stride);
  EXPECT_EQ(ProcessLine(s.page, s.ref, 2, 0, w, 2), 1);
  EXPECT_EQ(ProcessLine(s.page, s.ref, -1, 0, w, 2), 1);
  EXPECT_EQ(ProcessLine(s.page, s.ref, 0, 2, w, 2), 1);
  EXPECT_EQ(ProcessLine(std::span<uint8_t>(s.page).first(6), s.ref, 0, 1, w, 2), 1);
  EXPECT_EQ(s.page, before);
}

TEST(ProcessLine, ReferenceWithoutItsTailReadsWhiteBelow) {
  // The rows of [255, 150, 255] / [255, 160, 255] need d = 255 below the last
  // row; a reference copy cut at the page's end must give the same.
  Scene s({{255, 150, 255}, {255, 160, 255}});
  s.ref.resize(s.page.size());
  EXPECT_EQ(s.Scan(), (Grid{{255, 0, 255}, {255, 0, 255}}));
}

TEST(ProcessLine, RandomPagesEndBlackOrWhite) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> level(0, 255), size(1, 19), extra(0, 3);
  for (int round = 0; round < 200; ++round) {
    const size_t w = static_cast<size_t>(size(rng)), h = static_cast<size_t>(size(rng));
    Grid g(h, std::vector<int>(w));
    for (auto& row : g)
      for (int& v : row) v = level(rng);
    // The filter's strides: exact (24-bit raster) and padded to 4 bytes with
    // white (expanded 8-bit pages), plus a few wider exact-multiple rows.
    const size_t strides[] = {3 * w, ((w * 24 + 31) >> 5) << 2, 3 * w + 3 * static_cast<size_t>(extra(rng))};
    for (size_t stride : strides) {
      Scene s(g, stride, 0xFF);
      for (const auto& row : s.Scan())
        for (int v : row) ASSERT_TRUE(v == 0 || v == 255) << w << "x" << h << " stride " << stride;
    }
  }
}

}  // namespace
