#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ostu.h"

namespace {

// A page of `levels` grey pixels per row at `stride` bytes, padding `pad`.
std::vector<uint8_t> Page(const std::vector<std::vector<uint8_t>>& levels, size_t stride, uint8_t pad = 0xEE) {
  std::vector<uint8_t> page(stride * levels.size(), pad);
  for (size_t y = 0; y < levels.size(); ++y)
    for (size_t x = 0; x < levels[y].size(); ++x)
      for (size_t b = 0; b < 3; ++b) page[y * stride + 3 * x + b] = levels[y][x];
  return page;
}

TEST(Otsu, UniformPageYieldsZeroAndIsRewrittenGrey) {
  std::vector<uint8_t> page = Page({std::vector<uint8_t>(8, 20), std::vector<uint8_t>(8, 20)}, 24);
  page[3] = 10, page[4] = 20, page[5] = 31;  // mean 61 / 3 truncates to 20
  EXPECT_EQ(otsu(page, 24, 2, 24, 100), 0);
  EXPECT_EQ(page, Page({std::vector<uint8_t>(8, 20), std::vector<uint8_t>(8, 20)}, 24));
}

TEST(Otsu, ThresholdIsTheLowerOfTwoLevelsAndSeparatesClusters) {
  struct Case {
    std::vector<uint8_t> row;
    int expected;
  };
  const Case cases[] = {
      {{40, 200, 40, 200, 40, 200, 40, 200}, 40},
      {{200, 200, 200, 200, 200, 200, 200, 3}, 3},
      {{254, 1, 1, 1, 1, 1, 1, 1}, 1},
      // {10 x8, 60, 240 x7}: 60 belongs with the dark cluster.
      {{10, 10, 10, 10, 10, 10, 10, 10, 60, 240, 240, 240, 240, 240, 240, 240}, 60},
  };
  for (const Case& c : cases) {
    const size_t stride = 3 * c.row.size();
    std::vector<uint8_t> page = Page({c.row, c.row}, stride);
    EXPECT_EQ(otsu(page, static_cast<int>(stride), 2, 24, 100), c.expected);
  }
}

TEST(Otsu, BrightnessOffsetIsAddedAndClamped) {
  struct Case {
    int nLight;
    uint8_t level;
    uint8_t expected;
  };
  const Case cases[] = {
      {100, 37, 37}, {50, 100, 227}, {50, 128, 255}, {0, 3, 255}, {110, 10, 0}, {110, 100, 75},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page = Page({std::vector<uint8_t>(8, c.level)}, 24);
    EXPECT_EQ(otsu(page, 24, 1, 24, c.nLight), 0) << c.nLight;
    for (uint8_t byte : page) EXPECT_EQ(byte, c.expected) << "nLight " << c.nLight << " level " << int{c.level};
  }
}

TEST(Otsu, ThreePaddingBytesFormAGroupOneOrTwoDoNot) {
  // 10 pixels, stride 32: two padding bytes stay, nothing else is counted,
  // so a uniform row yields 0.
  std::vector<uint8_t> ten = Page({std::vector<uint8_t>(10, 200)}, 32);
  ten[30] = 30, ten[31] = 31;
  EXPECT_EQ(otsu(ten, 32, 1, 24, 100), 0);
  EXPECT_EQ(ten[30], 30);
  EXPECT_EQ(ten[31], 31);

  // 11 pixels, stride 36: the padding is converted and counted as a twelfth
  // pixel of level 30, which becomes the threshold.
  std::vector<uint8_t> eleven = Page({std::vector<uint8_t>(11, 200)}, 36);
  eleven[33] = 0, eleven[34] = 30, eleven[35] = 60;
  EXPECT_EQ(otsu(eleven, 36, 1, 24, 100), 30);
  EXPECT_EQ(eleven[33], 30);
  EXPECT_EQ(eleven[34], 30);
  EXPECT_EQ(eleven[35], 30);
}

TEST(Otsu, ZeroNormaliserYieldsZeroButStillConverts) {
  // 6 pixels need 18 bytes, padded to 20: 20 / 24 is 0.
  std::vector<uint8_t> page = Page({{0, 255, 0, 255, 0, 255}, {0, 255, 0, 255, 0, 255}}, 20);
  page[3] = 100, page[4] = 101, page[5] = 105;
  EXPECT_EQ(otsu(page, 20, 2, 24, 100), 0);
  EXPECT_EQ(page[4], 102);
  EXPECT_EQ(otsu(page, 24, 0, 24, 100), 0);
}

TEST(Otsu, OnlyRowsInsideTheBufferAreTouched) {
  std::vector<uint8_t> page = Page({std::vector<uint8_t>(8, 90)}, 24);
  page.resize(36, 7);  // half a second row
  EXPECT_EQ(otsu(page, 24, 2, 24, 50), 0);
  EXPECT_EQ(page[0], 217);
  for (size_t i = 24; i < page.size(); ++i) EXPECT_EQ(page[i], 7);
}

}  // namespace
