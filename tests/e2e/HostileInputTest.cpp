// Headers and streams that no RIP should send, and conditions no job should
// meet: each gets one clear log line and a defined exit status.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

const std::vector<std::string> kArgs = {"7", "mallory", "hostile", "1", "Origin=Rotation180"};

class HostileInput : public ::testing::Test {
 protected:
  FilterResult Run(const Bytes& stream, size_t addressSpaceLimit = 0) {
    return RunFilter({kArgs, dir_.Write("p.ppd", MakePpd({{"Origin", {"Rotation0", "Rotation180"}}})), stream,
                      addressSpaceLimit});
  }
  TempDir dir_;
};

RasterPage Page(unsigned width, unsigned height, unsigned bpp, unsigned bpl, size_t lineBytes = 0) {
  RasterPage p{MakeHeader(width, height, bpp, bpl), {}};
  p.lines.assign(lineBytes, 0x55);
  return p;
}

}  // namespace

TEST_F(HostileInput, HeadersThatCannotBePrintedSafelyAreRefused) {
  struct Case {
    const char* name;
    RasterPage page;
    std::string line;
  } cases[] = {
      {"line too short for the width", Page(100, 2, 8, 50, 100),
       "ERROR: Page 1 refused: cupsBytesPerLine is smaller than cupsWidth pixels at cupsBitsPerPixel need "
       "(cupsWidth=100 cupsHeight=2 cupsBitsPerPixel=8 cupsBytesPerLine=50)"},
      {"24-bit line one byte short", Page(10, 1, 24, 27, 27),
       "ERROR: Page 1 refused: cupsBytesPerLine is smaller than cupsWidth pixels at cupsBitsPerPixel need "
       "(cupsWidth=10 cupsHeight=1 cupsBitsPerPixel=24 cupsBytesPerLine=27)"},
      {"1-bit width near 2^31", Page(0x7FFFFFF8u, 1, 1, 0x10000000u, 0),
       "ERROR: Page 1 refused: cupsWidth is larger than 16777216 "
       "(cupsWidth=2147483640 cupsHeight=1 cupsBitsPerPixel=1 cupsBytesPerLine=268435455)"},
      {"height of 2^32 - 1 (32-bit size wraps to 0)", Page(8, 0xFFFFFFFFu, 8, 8, 16),
       "ERROR: Page 1 refused: cupsHeight is larger than 16777216 "
       "(cupsWidth=8 cupsHeight=4294967295 cupsBitsPerPixel=8 cupsBytesPerLine=8)"},
  };
  cases[2].page.header.cupsBytesPerLine = 0x0FFFFFFF;
  for (auto& c : cases) {
    FilterResult r = Run(WriteRawRaster({c.page}));
    EXPECT_EQ(r.exitStatus, 1) << c.name;
    EXPECT_TRUE(r.out.empty()) << c.name;
    EXPECT_NE(r.err.find(c.line + "\n"), std::string::npos) << c.name << "\n" << r.err;
    // The job end still runs.
    EXPECT_NE(r.err.find("ERROR: Dovrel-filter return\n"), std::string::npos) << c.name;
    EXPECT_EQ(r.err.find("call ProcessData"), std::string::npos) << c.name;
  }
}

TEST_F(HostileInput, UnsupportedDepthsAreReadCountedAndEndedButNotPrinted) {
  for (unsigned bpp : {2u, 4u, 16u, 32u, 48u}) {
    RasterPage p = Page(16, 3, bpp, 16 * bpp / 8, 3 * 16 * bpp / 8);
    p.header.cupsBitsPerColor = bpp > 16 ? bpp / 3 : bpp;
    if (bpp == 32) p.header.cupsBitsPerColor = 8;
    RasterPage one{MakeHeader(8, 1, 1), {0x80}};
    FilterResult r = Run(WriteRawRaster({p, one}));
    EXPECT_EQ(r.exitStatus, 0) << bpp;
    EXPECT_NE(r.err.find("ERROR: Page 1 not printed: " + std::to_string(bpp) +
                         " bits per pixel are not supported (only 1, 8 and 24)\n"),
              std::string::npos)
        << bpp << r.err;
    EXPECT_NE(r.err.find("ERROR: Starting page = 2 1"), std::string::npos) << bpp;
    // Only the 1-bit page reaches the printer.
    EXPECT_EQ(r.out.size(), 8u + 24u) << bpp;
  }
}

TEST_F(HostileInput, StreamCutInsideAHeaderEndsTheJob) {
  Bytes stream = WriteRawRaster({Page(8, 1, 1, 1, 1), Page(8, 1, 1, 1, 1)});
  stream.erase(stream.end() - 901, stream.end());  // the second header breaks off
  FilterResult r = Run(stream);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err.find("Starting page = 2"), std::string::npos);
  EXPECT_EQ(r.out.size(), 32u);
}

TEST_F(HostileInput, GarbageAfterAValidPageIsIgnored) {
  Bytes stream = WriteRaster({Page(8, 1, 1, 1, 1)});
  for (int i = 0; i < 5000; ++i) stream.push_back(static_cast<uint8_t>(i * 131));
  FilterResult r = Run(stream);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.size(), 32u);
}

TEST_F(HostileInput, PageBufferThatCannotBeAllocatedIsRefused) {
  if (kSanitized) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  // 16 million rows of 576 bytes: 9.6 GB, far over the 512 MiB the filter may use.
  FilterResult r = Run(WriteRawRaster({Page(576, 1u << 24, 8, 576, 576 * 4)}), size_t{512} << 20);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("ERROR: Page 1 refused: no memory for cupsBytesPerLine=576 x (cupsHeight=16777216 + 1) = "
                       "9663676992 bytes\n"),
            std::string::npos)
      << r.err;
}
