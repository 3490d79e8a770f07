// escpos-preview, and the decoder under it, on hand-made streams: the
// summary of every command it knows, the offset and reason of every fault,
// and the pixels of the PNG it draws, read back with libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "TestSupport.h"

namespace {

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// GS v 0 m, width in bytes, height in rows, then the data.
Bytes Band(int widthBytes, int rows, const Bytes& data, uint8_t mode = 0) {
  return Cat({{0x1D, 0x76, 0x30, mode, static_cast<uint8_t>(widthBytes & 0xFF), static_cast<uint8_t>(widthBytes >> 8),
               static_cast<uint8_t>(rows & 0xFF), static_cast<uint8_t>(rows >> 8)},
              data});
}

const Bytes kFeed30 = {0x1B, 0x4A, 0x1E}, kCut = {0x1D, 0x56, 0x00}, kFormFeed = {0x1D, 0x0C},
            kDrawer = {0x1B, 0x70, 0x00, 0x80, 0x80}, kWarning = {0x1B, 0x43, 0x04, 0x02, 0x03},
            kDensity8 = {0x1B, 0x1F, 0x12, 0x13, 0x14, 0x08};

class Preview : public ::testing::Test {
 protected:
  TempDir dir_;
};

// Exit 0: a part of the summary; exit 1: the report after the file name,
// with no image written.
TEST_F(Preview, SummariesAndRefusals) {
  Bytes longFeed = Band(72, 1, Bytes(72, 0xFF));  // then 40000 feeds of 255 rows
  for (int i = 0; i < 40000; ++i) longFeed.insert(longFeed.end(), {0x1B, 0x4A, 0xFF});
  struct Case {
    Bytes stream;
    int exitStatus;
    std::string text;
  } const cases[] = {
      {{}, 0, "stream: 0 bytes\npaper: 0 x 0 dots"},
      {Band(2, 3, Bytes(6, 1)), 0, "paper: 16 x 3 dots"},
      // Mode 1 doubles the width, 2 the height, 3 both; 48 to 51 are 0 to 3 again.
      {Band(1, 1, {0xC0}, 1), 0, "paper: 16 x 1 dots"}, {Band(1, 1, {0xC0}, 2), 0, "paper: 8 x 2 dots"},
      {Band(1, 1, {0xC0}, 3), 0, "paper: 16 x 2 dots"}, {Band(1, 1, {0xC0}, 48), 0, "paper: 8 x 1 dots"},
      {Band(1, 1, {0xC0}, 51), 0, "paper: 16 x 2 dots"},
      {{0x1D, 0x56, 0x01}, 0, "cuts: 1 at rows 0"}, {{0x1D, 0x56, 0x30}, 0, "cuts: 1 at rows 0"},
      {{0x1D, 0x56, 0x31}, 0, "cuts: 1 at rows 0"}, {{0x1D, 0x56, 0x42, 0x00}, 0, "cuts: 1 at rows 0"},
      {{0x1D, 0x56, 0x41, 0x05}, 0, "cuts: 1 at rows 5"},  // a feeding cut cuts after its feed
      {Cat({kWarning, kDensity8, kDrawer, kFormFeed, Band(1, 24, Bytes(24, 0)), Band(72, 24, Bytes(72 * 24, 0x18)),
            kWarning, kDrawer, {0x1B, 0x4A, 0xFF}, {0x1B, 0x4A, 0x0F}, kCut, Band(72, 24, Bytes(72 * 24, 1)), kCut}),
       0,
       "stream: 3544 bytes\npaper: 576 x 342 dots (72.1 x 42.8 mm at 203 dpi)\nbands: 3 (1 blank)\n"
       "feeds: 2 ESC J, 270 rows; 1 GS FF\ncuts: 2 at rows 318, 342\ndrawer pulses: 2\nwarnings: 2\ndensity: 8\n"},
      {Cat({kFeed30, {0x0A}}), 1, "offset 3: unknown byte 0A outside a command"},
      {{'h', 'i'}, 1, "offset 0: unknown byte 68 outside a command"},
      {Cat({kCut, {0x1B, 0x40}}), 1, "offset 3: unknown command 1B 40"},
      {{0x1B}, 1, "offset 0: truncated command: needs 2 bytes, 1 left"},
      {{0x1D, 0x76, 0x30, 0x00, 0x01}, 1, "offset 0: truncated GS v 0 header: needs 8 bytes, 5 left"},
      {Cat({kFeed30, Band(2, 24, Bytes(47, 0))}), 1, "offset 3: truncated GS v 0 image: 2 x 24 needs 48 data bytes, 47 left"},
      {{0x1D, 0x76, 0x31, 0x00}, 1, "offset 0: unknown command 1D 76 31"},
      {Band(1, 1, {0}, 4), 1, "offset 0: GS v 0 with unknown mode 4"},
      {{0x1B, 0x4A}, 1, "offset 0: truncated ESC J feed: needs 3 bytes, 2 left"},
      {Cat({kFormFeed, {0x1D, 0x56}}), 1, "offset 2: truncated GS V cut: needs 3 bytes, 2 left"},
      {{0x1D, 0x56, 0x02}, 1, "offset 0: GS V with unknown mode 2"},
      {{0x1D, 0x56, 0x41}, 1, "offset 0: truncated GS V cut with feed: needs 4 bytes, 3 left"},
      {{0x1B, 0x70, 0x00, 0x80}, 1, "offset 0: truncated ESC p drawer pulse: needs 5 bytes, 4 left"},
      {{0x1B, 0x70, 0x02, 0x80, 0x80}, 1, "offset 0: ESC p with unknown drawer pin 2"},
      {{0x1B, 0x43, 0x04, 0x02}, 1, "offset 0: truncated warning sequence: needs 5 bytes, 4 left"},
      {{0x1B, 0x43, 0x04, 0x09, 0x03}, 1, "offset 0: unknown command 1B 43 04 09 (not the warning sequence)"},
      {Cat({kWarning, {0x1B, 0x1F, 0x12, 0x13, 0x14}}), 1, "offset 5: truncated density command: needs 6 bytes, 5 left"},
      {{0x1B, 0x1F, 0x12, 0x00, 0x14, 0x01}, 1, "offset 0: unknown command 1B 1F 12 00 (not the density command)"},
      // 10200001 rows, 17 GB of picture at 576 dots.
      {longFeed, 1, "paper of 10200001 image rows is longer than a PNG may be (1000000 rows); --pbm writes any length"},
  };
  for (const Case& c : cases) {
    const std::string in = dir_.Write("in.escpos", c.stream), png = dir_.Path("out.png");
    const FilterResult r = RunCommand({kPreviewBinary, "--png", png, in});
    EXPECT_EQ(r.exitStatus, c.exitStatus) << c.text << r.err;
    if (c.exitStatus == 0) {
      EXPECT_NE(ToString(r.out).find(c.text), std::string::npos) << ToString(r.out);
    } else {
      EXPECT_EQ(r.err, "escpos-preview: " + in + ": " + c.text + "\n");
      EXPECT_TRUE(r.out.empty()) << c.text;
      EXPECT_FALSE(std::filesystem::exists(png)) << c.text;
    }
    std::filesystem::remove(png);
  }
  EXPECT_EQ(RunCommand({kPreviewBinary, dir_.Path("nope.escpos")}).exitStatus, 2);
  const FilterResult usage = RunCommand({kPreviewBinary, "--frobnicate"});
  EXPECT_EQ(usage.exitStatus, 2);
  EXPECT_NE(usage.err.find("usage:"), std::string::npos) << usage.err;
}

TEST_F(Preview, PngHasOneBlackPixelPerDotAndRedDashesAtCutsPbmTheDotsAlone) {
  // Bands of 2 bytes x 2 rows (80 01 / FF 00) and 1 byte x 1 row (0F), a
  // 3-row feed and a cut, read from standard input.
  const Bytes stream = Cat({Band(2, 2, {0x80, 0x01, 0xFF, 0x00}), Band(1, 1, {0x0F}), {0x1B, 0x4A, 0x03}, kCut});
  const std::string png = dir_.Path("out.png"), pbm = dir_.Path("out.pbm");
  const auto r = RunCommand({"sh", "-c", "exec \"$0\" --png \"$1\" --pbm \"$2\" - < \"$3\"", kPreviewBinary, png, pbm,
                             dir_.Write("in.escpos", stream)});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(ToString(r.out),
            "stream: 27 bytes\npaper: 16 x 6 dots (2.0 x 0.8 mm at 203 dpi)\nbands: 2 (0 blank)\n"
            "feeds: 1 ESC J, 3 rows; 0 GS FF\ncuts: 1 at rows 6\ndrawer pulses: 0\nwarnings: 0\n"
            "density: printer default\n");
  EXPECT_EQ(ReadFile(pbm), Cat({ToBytes("P4\n16 6\n"), {0x80, 0x01, 0xFF, 0x00, 0x0F, 0x00}, Bytes(6, 0)}));

  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(png.c_str(), "rb"), &std::fclose);
  ASSERT_TRUE(f);
  png_structp read = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(read);
  ASSERT_FALSE(setjmp(png_jmpbuf(read)));
  png_init_io(read, f.get());
  png_read_info(read, info);
  ASSERT_EQ(png_get_color_type(read, info), PNG_COLOR_TYPE_RGB);
  ASSERT_EQ(png_get_bit_depth(read, info), 8);
  ASSERT_EQ(png_get_image_width(read, info), 16u);
  ASSERT_EQ(png_get_image_height(read, info), 7u);  // the cut is a row of its own
  const char* const expected[] = {"#..............#", "########........", "....####........", "................",
                                  "................", "................", "rrrr....rrrr...."};
  Bytes row(16 * 3);
  for (int y = 0; y < 7; ++y) {
    png_read_row(read, row.data(), nullptr);
    for (int x = 0; x < 16; ++x) {
      const char c = expected[y][x];
      const Bytes rgb = c == '#' ? Bytes{0, 0, 0} : c == 'r' ? Bytes{0xFF, 0, 0} : Bytes{0xFF, 0xFF, 0xFF};
      EXPECT_EQ(Bytes(row.begin() + 3 * x, row.begin() + 3 * x + 3), rgb) << "x " << x << " y " << y;
    }
  }
  png_destroy_read_struct(&read, &info, nullptr);
}

}  // namespace
