#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "BilevelConversion.h"

namespace {

size_t Stride24(size_t width) { return ((width * 24 + 31) >> 5) << 2; }

struct Page {
  size_t width, height, stride;
  std::vector<uint8_t> bytes;
  Page(size_t w, size_t h, uint8_t level = 255, size_t rowStride = 0)
      : width(w), height(h), stride(rowStride ? rowStride : Stride24(w)), bytes(stride * h, level) {}
  void Set(size_t x, size_t y, std::array<uint8_t, 3> px) {
    for (size_t b = 0; b < 3; ++b) bytes[y * stride + 3 * x + b] = px[b];
  }
};

// Converts with the diagnostic line captured; returns the 1-bit page.
std::vector<uint8_t> Convert(Page& page, int mode, std::string* log = nullptr) {
  std::vector<uint8_t> out(BitmapStride(page.width) * page.height, 0xFF);
  testing::internal::CaptureStderr();
  Color2BW(page.bytes, out, static_cast<int>(page.width), static_cast<int>(page.height),
           static_cast<int>(page.stride), 100, mode);
  const std::string captured = testing::internal::GetCapturedStderr();
  if (log) *log = captured;
  return out;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(Color2BW, PackingPositions) {
  struct Case {
    size_t width, height, x, y;
    int mode;
    size_t byte;
    uint8_t value;
  };
  const Case cases[] = {
      // Rows are stored bottom first: the top-left pixel lands in the last row.
      {4, 3, 0, 0, 0, 2 * 4 + 0, 0x7F},
      {4, 3, 0, 0, 4, 2 * 4 + 0, 0x7F},
      {4, 3, 0, 2, 4, 0, 0x7F},
      {10, 1, 9, 0, 4, 1, 0xBF},
      {10, 1, 8, 0, 4, 1, 0x7F},
      {10, 1, 7, 0, 4, 0, 0xFE},
      {40, 2, 39, 1, 7, 4, 0xFE},
      {40, 2, 32, 0, -1, 8 + 4, 0x7F},
  };
  for (const Case& c : cases) {
    Page page(c.width, c.height);
    page.Set(c.x, c.y, {0, 0, 0});
    const std::vector<uint8_t> out = Convert(page, c.mode);
    std::vector<uint8_t> expected(out.size(), 0xFF);
    expected[c.byte] = c.value;
    EXPECT_EQ(out, expected) << "pixel " << c.x << "," << c.y << " mode " << c.mode;
  }
}

TEST(Color2BW, ThirtyThreePixelRowsTouchOnlyTheirBits) {
  Page page(33, 2, 0);
  const std::vector<uint8_t> out = Convert(page, 4);
  const std::vector<uint8_t> row = {0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF};
  std::vector<uint8_t> expected = row;
  expected.insert(expected.end(), row.begin(), row.end());
  EXPECT_EQ(out, expected);
}

TEST(Color2BW, UnknownModePacksOnlyPureBlackAndLeavesThePage) {
  Page page(2, 1);
  page.Set(0, 0, {0, 0, 1});
  page.Set(1, 0, {0, 0, 0});
  const std::vector<uint8_t> before = page.bytes;
  EXPECT_EQ(Convert(page, 4), (std::vector<uint8_t>{0xBF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(page.bytes, before);
}

TEST(Color2BW, ThresholdModeHandsMidGreyToTheRules) {
  // (10, 20, 31) is level 20 after the grey pass: black by the row-0 rule.
  Page page(1, 1);
  page.Set(0, 0, {10, 20, 31});
  EXPECT_EQ(Convert(page, 0), (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(page.bytes, (std::vector<uint8_t>{0, 0, 0, 255}));
}

TEST(Color2BW, ModesSelectTheirConversion) {
  // A uniform 9 x 9 page of level 100: mode 0 settles row 0 black by the
  // row-0 rule; mode 1 whitens the cells of entries 28, 57 and 85 in the
  // blocks only; mode 2 turns every grey pixel under 230 black; mode 3
  // quantises the first pixel black.
  struct Case {
    int mode;
    size_t x, y;
    bool black;
  };
  const Case cases[] = {
      {0, 0, 0, true}, {1, 0, 0, false}, {1, 1, 0, true}, {1, 2, 2, false},
      {1, 6, 6, false}, {2, 0, 0, true},  {2, 8, 8, true}, {3, 0, 0, true},
      {4, 0, 0, false},
  };
  for (const Case& c : cases) {
    Page page(9, 9, 100);
    const std::vector<uint8_t> out = Convert(page, c.mode);
    const size_t at = (8 - c.y) * 4 + c.x / 8;
    const bool black = (out[at] & (0x80 >> (c.x % 8))) == 0;
    EXPECT_EQ(black, c.black) << "mode " << c.mode << " at " << c.x << "," << c.y;
  }
}

TEST(Color2BW, ThresholdModeOnRandomPagesAgreesWithItsPacking) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> byte(0, 255), size(1, 40);
  for (int round = 0; round < 40; ++round) {
    const size_t w = static_cast<size_t>(size(rng)), h = static_cast<size_t>(size(rng));
    // Alternate between the expanded 8-bit layout and a 24-bit raster's.
    Page page(w, h, 0xFF, round % 2 ? 3 * w : 0);
    for (size_t y = 0; y < h; ++y)
      for (size_t x = 0; x < w; ++x) {
        const auto v = static_cast<uint8_t>(byte(rng));
        page.Set(x, y, {v, static_cast<uint8_t>(byte(rng) % 2 ? v : byte(rng)), v});
      }
    const std::vector<uint8_t> out = Convert(page, 0);
    for (size_t y = 0; y < h; ++y)
      for (size_t x = 0; x < w; ++x) {
        const uint8_t v = page.bytes[y * page.stride + 3 * x];
        ASSERT_TRUE(v == 0 || v == 255);
        const bool clear = (out[(h - 1 - y) * BitmapStride(w) + x / 8] & (0x80 >> (x % 8))) == 0;
        ASSERT_EQ(clear, v == 0);
      }
  }
}

TEST(Color2BW, GeometryThatDoesNotFitChangesNothing) {
  struct Case {
    int cx, cy, stride;
    size_t pageBytes, outBytes;
  };
  const Case cases[] = {
      {4, 2, 12, 23, 8},  // page one byte short
      {4, 2, 11, 22, 8},  // row shorter than its pixels
      {4, 2, 12, 24, 7},  // 1-bit page one byte short
      {-1, 2, 12, 24, 8},
      {4, -2, 12, 24, 8},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> page(c.pageBytes, 0), out(c.outBytes, 0xFF);
    testing::internal::CaptureStderr();
    Color2BW(page, out, c.cx, c.cy, c.stride, 100, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(page, std::vector<uint8_t>(c.pageBytes, 0));
    EXPECT_EQ(out, std::vector<uint8_t>(c.outBytes, 0xFF));
  }
}

TEST(Color2BW, UnopenableBmpPathIsLoggedAndThePageStillProduced) {
  if (std::filesystem::exists("/Users")) GTEST_SKIP() << "/Users exists here";
  Page page(3, 2);
  page.Set(1, 1, {0, 0, 0});
  std::string log;
  EXPECT_EQ(Convert(page, 4, &log), (std::vector<uint8_t>{0xBF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(log, "ERROR: fopen ImageDithering.bmp ImageFile=0 err=No such file or directory\n");
}

TEST(DitheringBmp, TenByTwoWhitePage) {
  const std::vector<uint8_t> page(8, 0xFF);
  const std::vector<uint8_t> bmp = DitheringBmp(page, 10, 2);
  const std::vector<uint8_t> header = {
      'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0,                // file header
      40, 0, 0, 0, 10, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 1, 0,  // size, width, height -2, planes, bits
      0, 0, 0, 0, 8, 0, 0, 0, 203, 0, 0, 0, 203, 0, 0, 0,            // compression, image size, resolution
      0, 0, 0, 0, 0, 0, 0, 0,                                        // colours used / important
      0, 0, 0, 0, 255, 255, 255, 0,                                  // black, white
  };
  ASSERT_EQ(bmp.size(), 70u);
  EXPECT_EQ(std::vector<uint8_t>(bmp.begin(), bmp.begin() + 62), header);
  EXPECT_EQ(std::vector<uint8_t>(bmp.begin() + 62, bmp.end()), page);
  EXPECT_EQ(U32(bmp, 2), 70u);
  EXPECT_EQ(U32(bmp, 34), 8u);
  EXPECT_EQ(static_cast<int32_t>(U32(bmp, 22)), -2);
}

TEST(DitheringBmp, EmptyPagesAndBadArguments) {
  struct Case {
    int cx, cy;
  };
  for (const Case c : {Case{0, 5}, Case{7, 0}, Case{0, 0}}) {
    const std::vector<uint8_t> bmp = DitheringBmp({}, c.cx, c.cy);
    ASSERT_EQ(bmp.size(), 62u);
    EXPECT_EQ(U32(bmp, 2), 62u);
    EXPECT_EQ(U32(bmp, 34), 0u);
    EXPECT_EQ(static_cast<int32_t>(U32(bmp, 18)), c.cx);
    EXPECT_EQ(static_cast<int32_t>(U32(bmp, 22)), -c.cy);
  }
  const std::vector<uint8_t> shortPage(7, 0xFF);
  EXPECT_THROW(DitheringBmp(shortPage, 10, 2), std::invalid_argument);
  EXPECT_THROW(DitheringBmp(shortPage, -1, 2), std::invalid_argument);
}

TEST(SaveDitheringBmp, WritesTheFileAndLogsTheHandle) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("dithering-bmp-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / "ImageDithering.bmp";
  const std::vector<uint8_t> page = {0x7F, 0xFF, 0xFF, 0xFF};

  testing::internal::CaptureStderr();
  SaveDitheringBmp(file.c_str(), page, 1, 1);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.rfind("ERROR: fopen ImageDithering.bmp ImageFile=", 0), 0u) << log;
  EXPECT_EQ(log.find("ImageFile=0 "), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with(" err=Success\n")) << log;

  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, DitheringBmp(page, 1, 1));
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::remove_all(dir);
}

}  // namespace
