// 8-bit grey and 24-bit colour pages through the built filter: conversion,
// orientation on paper, diagnostic dumps and the BMP.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "EscPosDecoder.h"
#include "TestSupport.h"

namespace {

const std::vector<PpdOption> kOptions = {
    // libcups matches choices without regard to case, taking the first: the
    // filter gets "errordiffusion" for either spelling.
    {"Dithering", {"None", "Halftone", "OrderDithering", "errordiffusion", "ErrorDiffusion", "Sharpen"}},
    {"Origin", {"Rotation0", "Rotation90", "Rotation180", "Rotation270"}},
    {"MirrorImage", {"False", "True"}}};

std::vector<std::string> Args(const std::string& options) { return {"9", "bob", "label", "1", options}; }

class GreyColourPage : public FilterTestBase {
 protected:
  // The filter's /tmp is tmp_, where the test can look at its dumps.
  FilterResult Run(const std::vector<RasterPage>& pages, const std::string& options = "") {
    return RunFilter({.args = Args(options), .ppd = dir_.Write("p.ppd", MakePpd(kOptions)),
                      .input = WriteRaster(pages), .tmp = tmp_});
  }
  TempDir dir_;
  const std::string tmp_ = dir_.MakeTmp("tmp");
};

}  // namespace

// The dumps hold the last grey page, as read and as the conversion sees it
// (three inverted bytes a pixel, rows padded with white to whole words).
TEST_F(GreyColourPage, GreyPagesLeaveTheLastInTheDumps) {
  RasterPage page{MakeHeader(10, 2, 8), {}};
  for (unsigned i = 0; i < 20; ++i) page.lines.push_back(static_cast<uint8_t>(i * 13));
  page.lines[0] = 0x00;
  page.lines[1] = 0xFF;
  page.lines[2] = 0x40;
  FilterResult r = Run({RasterPage{MakeHeader(8, 1, 8), Bytes(8, 0x11)}, page});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.err.find("ERROR: Starting page = 2 1"), std::string::npos);
  EXPECT_NE(r.err.find("ERROR: BytePerLine =32 \n"), std::string::npos);
  EXPECT_EQ(ReadFile(tmp_ + "/Buffer.data"), page.lines);
  Bytes expanded;
  for (unsigned row = 0; row < 2; ++row) {
    for (unsigned i = 0; i < 10; ++i) expanded.insert(expanded.end(), 3, static_cast<uint8_t>(~page.lines[row * 10 + i]));
    expanded.insert(expanded.end(), 2, 0xFF);
  }
  EXPECT_EQ(Hex(Bytes(expanded.begin(), expanded.begin() + 9)), "FF FF FF 00 00 00 BF BF BF");
  EXPECT_EQ(ReadFile(tmp_ + "/pBuf.data"), expanded);
  // The last page's conversion buffer is released at the job end.
  EXPECT_NE(MaskVolatile(r.err).find("ERROR: free pDataBuf=ADDR\nERROR: cupsFreeOptions"), std::string::npos);
  // The picture's directory is outside /tmp and shared by the whole machine,
  // so the tests never create it; bench/differential.sh compares the picture
  // itself inside a root of its own.
  if (!std::filesystem::exists("/Users/quorle/Desktop/Work")) {
    EXPECT_NE(r.err.find("ERROR: fopen ImageDithering.bmp ImageFile=0 err=No such file or directory\n"),
              std::string::npos);
  }
}

namespace {

// A small receipt-like page: two lines of "text" strokes in dark and mid
// grey, a blank stretch of more than a band, then a left-to-right ramp.
RasterPage StructuredPage(unsigned bpp) {
  constexpr unsigned w = 96, h = 100;
  RasterPage p{MakeHeader(w, h, bpp), {}};
  const unsigned bpl = p.header.cupsBytesPerLine;
  p.lines.assign(size_t{bpl} * h, 0);
  for (unsigned y = 0; y < h; ++y)
    for (unsigned x = 0; x < w; ++x) {
      uint8_t ink = 0;  // 0 = paper, 255 = full ink
      if (y >= 4 && y < 14 && x % 6 < 2 && x < 90) ink = 230;              // upright strokes
      if (y >= 16 && y < 20 && x >= 6 && x < 70) ink = 160;                // a grey rule
      if (y >= 22 && y < 30 && (x + y) % 7 < 3 && x < 60) ink = 120;       // slanted strokes
      if (y >= 72) ink = static_cast<uint8_t>(x * 255 / (w - 1));        // ramp
      if (bpp == 8) p.lines[y * bpl + x] = ink;
      if (bpp == 24) {
        p.lines[y * bpl + 3 * x] = static_cast<uint8_t>(255 - ink);
        p.lines[y * bpl + 3 * x + 1] = static_cast<uint8_t>(255 - ink / 2);
        p.lines[y * bpl + 3 * x + 2] = static_cast<uint8_t>(255 - ink);
      }
    }
  return p;
}

uint64_t Fnv1a(const Bytes& b) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t v : b) h = (h ^ v) * 1099511628211ull;
  return h;
}

}  // namespace

TEST_F(GreyColourPage, StructuredPagePrintsByteExactlyInEveryMode) {
  struct Case {
    unsigned bpp;
    std::string options;
    size_t size;
    uint64_t digest;
  } cases[] = {
      {8, "Dithering=None", 1216, 0x6ab3dfea12d9eb74ull},
      {8, "Dithering=Halftone", 1216, 0x121e64723e7426e4ull},
      {8, "Dithering=OrderDithering", 1216, 0x15a8cda6b7e52a09ull},
      {8, "Dithering=ErrorDiffusion", 1216, 0xab26631cd630d776ull},
      // Unknown choices take the threshold.
      {8, "Dithering=Sharpen", 1216, 0x6ab3dfea12d9eb74ull},
      // Turned a quarter: the grey raster as turned by half, then clockwise.
      {8, "Origin=Rotation90", 1568, 0x25019be69408fe15ull},
      // Colour pages always take the threshold mode, and print mirrored.
      {24, "Dithering=ErrorDiffusion", 920, 0x60a68cb979ab8e28ull},
  };
  for (const auto& c : cases) {
    FilterResult r = Run({StructuredPage(c.bpp)}, c.options);
    ASSERT_EQ(r.exitStatus, 0);
    escpos::Paper paper = escpos::decode(r.out);
    ASSERT_FALSE(paper.error);
    EXPECT_EQ(r.out.size(), c.size) << c.options;
    EXPECT_EQ(Fnv1a(r.out), c.digest) << c.options;
  }
}
