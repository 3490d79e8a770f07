#include <gtest/gtest.h>

#include <random>

#include "BilevelConversion.h"
#include "BitmapTransforms.h"
#include "TestSupport.h"

namespace {

bool Pixel(std::span<const uint8_t> bits, size_t stride, size_t row, size_t col) {
  return bits[row * stride + col / 8] & (0x80 >> (col % 8));
}

Bytes Slice(const Bitmap& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

Bytes RandomBits(size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

}  // namespace

TEST(Rotate90Degrees, TurnsTheThreeByTwoExampleClockwise) {
  const Bytes in = {0xBF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF};
  Bitmap out = Rotate90Degrees(in, 3, 2, 4);
  ASSERT_EQ(out.size(), (3u * 4 + 512) * 2);
  EXPECT_EQ(Hex(Slice(out, 0, 12)), "7F FF FF FF BF FF FF FF FF FF FF FF");
  for (size_t i = 12; i < out.size(); ++i) ASSERT_EQ(out[i], 0xFF) << "spare byte " << i;
}

TEST(Rotate90Degrees, EmptyBitmapsGiveAWhiteBuffer) {
  EXPECT_EQ(Rotate90Degrees({}, 0, 5, 0), Bitmap(1024, 0xFF));
  EXPECT_EQ(Rotate90Degrees({}, 5, 0, 4), Bitmap((5 * 0 + 512) * 2, 0xFF));
}

TEST(Rotate90Degrees, NarrowTallBitmapsFitTheirBuffer) {
  // One pixel wide, 4000 rows: the turned row is 500 bytes long.
  Bytes in(4000 * 4, 0x7F);
  Bitmap out = Rotate90Degrees(in, 1, 4000, 4);
  for (size_t b = 0; b < 500; ++b) ASSERT_EQ(out[b], 0x00);
}

TEST(Rotate90Degrees, ReadsRowsAtTheGivenStride) {
  // A 1-bit raster row may be longer than the bitmap stride of its width.
  std::mt19937 rng(7);
  for (auto [cx, cy, stride] : {std::tuple{9, 5, 7}, {17, 33, 3}, {64, 3, 8}, {70, 41, 12}}) {
    Bytes in = RandomBits(static_cast<size_t>(cy) * stride, rng);
    Bitmap out = Rotate90Degrees(in, cx, cy, stride);
    const size_t linebyte = BitmapStride(cy);
    for (int r = 0; r < cx; ++r)
      for (int p = 0; p < cy; ++p)
        ASSERT_EQ(Pixel(out, linebyte, r, p), Pixel(in, stride, cy - 1 - p, r)) << cx << "x" << cy;
  }
}

TEST(Rotate90Degrees, RefusesAnInputShorterThanItsGeometry) {
  Bytes in(4);  // two rows 4 bytes apart need 5
  EXPECT_THROW(Rotate90Degrees(in, 8, 2, 4), std::invalid_argument);
}

struct MirrorCase {
  int width;
  Bytes in;
  std::string out;
};

TEST(MirrorPicture, MirrorsWithinThePictureWidth) {
  const MirrorCase cases[] = {
      {12, {0xAB, 0xC0, 0x00, 0x00}, "3D 5F FF FF"},
      {8, {0xC0, 0x00, 0x00, 0x00}, "03 FF FF FF"},
      {16, {0xAB, 0xCD, 0x00, 0x00}, "B3 D5 FF FF"},
      {1, {0x00, 0x00, 0x00, 0x00}, "7F FF FF FF"},
  };
  for (const auto& c : cases) {
    Bitmap out = MirrorPicture(c.width, 1, 4, c.in);
    EXPECT_EQ(out.size(), static_cast<size_t>(c.width) + 1024);
    EXPECT_EQ(Hex(Slice(out, 0, 4)), c.out) << "width " << c.width;
  }
}

TEST(MirrorPicture, IsItsOwnInverseOnRandomPictures) {
  std::mt19937 rng(11);
  for (int w : {1, 7, 8, 9, 31, 32, 33, 100}) {
    const int h = 5, stride = static_cast<int>(BitmapStride(w));
    Bytes in = RandomBits(static_cast<size_t>(h) * stride, rng);
    Bitmap once = MirrorPicture(w, h, stride, in);
    for (int j = 0; j < h; ++j)
      for (int p = 0; p < stride * 8; ++p)
        ASSERT_EQ(Pixel(once, stride, j, p), p < w ? Pixel(in, stride, j, w - 1 - p) : true);
  }
}

TEST(MirrorPicture, NarrowTallPicturesFitTheirBuffer) {
  Bytes in(3000 * 4, 0x00);
  Bitmap out = MirrorPicture(1, 3000, 4, in);
  ASSERT_GE(out.size(), 3000u * 4);
  EXPECT_EQ(out[2999 * 4], 0x7F);
  EXPECT_EQ(MirrorPicture(0, 3, 4, Bytes(12)), Bitmap(1024, 0xFF));
}

TEST(HalfTurn, ReversesRowsAndMirrorsEachRow) {
  const Bytes in = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  Bitmap out = HalfTurn(in, 8, 2, 4);
  EXPECT_EQ(Hex(out), "00 FF FF FF 01 FF FF FF FF FF FF FF FF FF FF FF");
}

TEST(HalfTurn, MatchesItsDefiningIdentity) {
  std::mt19937 rng(3);
  for (auto [w, h, stride] : {std::tuple{5, 3, 4}, {576, 30, 72}, {577, 2, 80}, {13, 9, 2}}) {
    Bytes in = RandomBits(static_cast<size_t>(h) * stride, rng);
    Bitmap out = HalfTurn(in, w, h, stride);
    ASSERT_EQ(out.size(), static_cast<size_t>(stride) * h * 2);
    for (int r = 0; r < h; ++r)
      for (int p = 0; p < stride * 8; ++p)
        ASSERT_EQ(Pixel(out, stride, h - 1 - r, p), p < w ? Pixel(in, stride, r, w - 1 - p) : true);
  }
}
