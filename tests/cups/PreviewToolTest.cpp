// escpos-preview run as a program: the PNG it writes, read back pixel by
// pixel with libpng, its PBM, its summary, and its refusals.
#include "CupsTestSupport.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using cupstest::fs::path;
using Bytes = std::vector<std::uint8_t>;

struct Png {
  int width = 0, height = 0, colorType = -1, bitDepth = 0;
  std::vector<std::uint8_t> rgb;
  int at(int x, int y) const {
    const auto* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    return (p[0] << 16) | (p[1] << 8) | p[2];
  }
};

Png readPng(const path& file) {
  Png out;
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(file.c_str(), "rb"), &std::fclose);
  if (!f) return out;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    out.width = 0;
    return out;
  }
  png_init_io(png, f.get());
  png_read_info(png, info);
  out.width = static_cast<int>(png_get_image_width(png, info));
  out.height = static_cast<int>(png_get_image_height(png, info));
  out.colorType = png_get_color_type(png, info);
  out.bitDepth = png_get_bit_depth(png, info);
  out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
  if (out.colorType == PNG_COLOR_TYPE_RGB && out.bitDepth == 8)
    for (int y = 0; y < out.height; ++y) png_read_row(png, &out.rgb[static_cast<std::size_t>(y) * out.width * 3], nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return out;
}

class PreviewTool : public ::testing::Test {
 protected:
  cupstest::ScratchDir dir{"preview"};

  path input(const Bytes& bytes) {
    const path p = dir.path() / "in.escpos";
    cupstest::writeFile(p, std::string(bytes.begin(), bytes.end()));
    return p;
  }
  cupstest::RunResult preview(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {cupstest::previewBinary().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return cupstest::run(argv);
  }
};

constexpr int kBlack = 0x000000, kWhite = 0xFFFFFF, kRed = 0xFF0000;

TEST_F(PreviewTool, PngHasOneBlackPixelPerDotAndRedDashesAtCuts) {
  // Two bands of different width, a 3-row feed and a cut:
  //   band 2 bytes x 2 rows: 80 01 / FF 00;  band 1 byte x 1 row: 0F.
  const Bytes stream = {0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x02, 0x00, 0x80, 0x01, 0xFF, 0x00,
                        0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x01, 0x00, 0x0F,
                        0x1B, 0x4A, 0x03, 0x1D, 0x56, 0x00};
  const path png = dir.path() / "out.png";
  const auto r = preview({"--png", png.string(), input(stream).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Png img = readPng(png);
  ASSERT_EQ(img.colorType, PNG_COLOR_TYPE_RGB);
  ASSERT_EQ(img.bitDepth, 8);
  ASSERT_EQ(img.width, 16);
  ASSERT_EQ(img.height, 2 + 1 + 3 + 1);
  const std::vector<std::string> expected = {
      "#..............#",  // 80 01
      "########........",  // FF 00
      "....####........",  // 0F, one byte wide band, rest is paper
      "................",  // three fed rows
      "................",
      "................",
      "rrrr....rrrr....",  // the cut
  };
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const char c = expected[y][x];
      EXPECT_EQ(img.at(x, y), c == '#' ? kBlack : c == 'r' ? kRed : kWhite) << "x " << x << " y " << y;
    }
  EXPECT_EQ(r.out,
            "stream: 27 bytes\n"
            "paper: 16 x 6 dots (2.0 x 0.8 mm at 203 dpi)\n"
            "bands: 2 (0 blank)\n"
            "feeds: 1 ESC J, 3 rows; 0 GS FF\n"
            "cuts: 1 at rows 6\n"
            "drawer pulses: 0\n"
            "warnings: 0\n"
            "density: printer default\n");
}

TEST_F(PreviewTool, PbmHoldsTheDotsWithoutCutMarks) {
  const Bytes stream = {0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x01, 0x00, 0xA5, 0x5A, 0x1D, 0x56, 0x00,
                        0x1B, 0x4A, 0x01};
  const path pbm = dir.path() / "out.pbm";
  const auto r = preview({"--quiet", "--pbm", pbm.string(), input(stream).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const Bytes expected = {'P', '4', '\n', '1', '6', ' ', '2', '\n', 0xA5, 0x5A, 0x00, 0x00};
  EXPECT_EQ(cupstest::readFile(pbm), expected);
}

TEST_F(PreviewTool, ReadsStandardInputWhenNoFileIsGiven) {
  const Bytes stream = {0x1B, 0x4A, 0x02, 0x1D, 0x0C};
  const path png = dir.path() / "stdin.png";
  const auto r = cupstest::run({"sh", "-c",
                                "exec \"$0\" --png \"$1\" < \"$2\"", cupstest::previewBinary().string(),
                                png.string(), input(stream).string()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("feeds: 1 ESC J, 2 rows; 1 GS FF\n"), std::string::npos) << r.out;
  const Png img = readPng(png);
  ASSERT_EQ(img.width, 8);  // no band: the narrowest paper PNG allows
  ASSERT_EQ(img.height, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(img.at(x, y), kWhite);
}

struct BadStream {
  const char* name;
  Bytes bytes;
  std::string message;  // what follows the file name in the report
};

// One dot row, then 40000 feeds of 255 rows: 120 KB that make 10200001 rows,
// 17 GB of picture at 576 dots, more than a PNG may hold.
Bytes longFeed() {
  Bytes out = {0x1D, 0x76, 0x30, 0x00, 0x48, 0x00, 0x01, 0x00};
  out.resize(out.size() + 72, 0xFF);
  for (int i = 0; i < 40000; ++i) out.insert(out.end(), {0x1B, 0x4A, 0xFF});
  return out;
}

void PrintTo(const BadStream& c, std::ostream* os) { *os << c.name; }

class PreviewToolRefuses : public PreviewTool, public ::testing::WithParamInterface<BadStream> {};

TEST_P(PreviewToolRefuses, ReportsTheOffsetWritesNoImageAndFails) {
  const auto& c = GetParam();
  const path in = input(c.bytes);
  const path png = dir.path() / "bad.png";
  const auto r = preview({"--png", png.string(), in.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "escpos-preview: " + in.string() + ": " + c.message + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(cupstest::fs::exists(png));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PreviewToolRefuses,
    ::testing::Values(
        BadStream{"TruncatedBandData",
                  {0x1B, 0x4A, 0x01, 0x1D, 0x76, 0x30, 0x00, 0x48, 0x00, 0x18, 0x00, 0xFF, 0xFF},
                  "offset 3: truncated GS v 0 image: 72 x 24 needs 1728 data bytes, 2 left"},
        BadStream{"TruncatedBandHeader", {0x1D, 0x76, 0x30}, "offset 0: truncated GS v 0 header: needs 8 bytes, 3 left"},
        BadStream{"TruncatedCut", {0x1B, 0x4A, 0x01, 0x1D, 0x56}, "offset 3: truncated GS V cut: needs 3 bytes, 2 left"},
        BadStream{"UnknownEscCommand", {0x1D, 0x0C, 0x1B, 0x40}, "offset 2: unknown command 1B 40"},
        BadStream{"TextInsteadOfCommands", {'h', 'i'}, "offset 0: unknown byte 68 outside a command"},
        BadStream{"PaperLongerThanAPng", longFeed(),
                  "paper of 10200001 image rows is longer than a PNG may be (1000000 rows); --pbm writes any length"}),
    [](const ::testing::TestParamInfo<BadStream>& info) { return std::string(info.param.name); });

TEST_F(PreviewTool, MissingInputAndBadArgumentsAreUsageErrors) {
  const auto missing = preview({(dir.path() / "nope.escpos").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
  const auto bad = preview({"--frobnicate"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("usage:"), std::string::npos) << bad.err;
}

}  // namespace
