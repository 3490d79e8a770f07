// The built filter run as the scheduler runs it, on raster streams written
// with libcups and PPD files opened by libcups: what each option choice
// sends, the trace of a page, copies, a raster read from a file, and grey
// and colour pages in every mode with their dumps.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "EscPosDecoder.h"
#include "TestSupport.h"

namespace {

constexpr auto npos = std::string::npos;
std::vector<std::string> Args(const std::string& options) { return {"42", "alice", "receipt", "1", options}; }

// Every option the filter reads, with odd choices among them; each defaults
// to no command, the picture unturned. libcups matches choices without
// regard to case, taking the first: the filter gets "errordiffusion" for
// either spelling.
std::vector<PpdOption> AllOptions() {
  return {{"Origin", {"Rotation180", "Rotation0", "Rotation90", "Rotation270"}},
          {"Dithering", {"None", "Halftone", "OrderDithering", "errordiffusion", "ErrorDiffusion", "Sharpen"}},
          {"MirrorImage", {"False", "True"}},
          {"NegativeImage", {"False", "True"}},
          {"Warning", {"0", "1", "2"}},
          {"PrintDensity", {"0", "1", "5", "8", "Default", "300", "-7", "99999999999"}},
          {"CashDrawer", {"0", "None", "1", "2"}},
          {"PageEnd", {"0", "1", "2"}},
          {"FeedAfterPrinting", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14",
                                 "99999999999", "-5", "x"}},
          {"Cutting", {"0", "1", "2"}},
          {"LeadingBlank", {"Keep", "0mm", "3mm", "6mm", "1000mm", "1001mm", "-3mm", "mm"}}};
}

// AllOptions changed by `overrides`: "Keyword=Choice" makes that the only
// choice (so that libcups cannot match another spelling), "-Keyword" drops
// the option.
std::string PpdWith(const std::string& overrides) {
  std::vector<PpdOption> options = AllOptions();
  std::istringstream in(overrides);
  for (std::string word; in >> word;) {
    const size_t eq = word.find('='), from = word[0] == '-';
    const std::string keyword = word.substr(from, eq == npos ? eq : eq - from);
    std::erase_if(options, [&](const PpdOption& o) { return o.keyword == keyword; });
    if (eq != npos) options.push_back({keyword, {word.substr(eq + 1)}});
  }
  return MakePpd(options);
}

// A 1-bit page whose raster has a dot wherever `dots` says (row, column).
RasterPage OneBitPage(unsigned width, unsigned height, std::vector<std::pair<unsigned, unsigned>> dots,
                      unsigned bytesPerLine = 0) {
  RasterPage p{MakeHeader(width, height, 1, bytesPerLine), {}};
  p.lines.assign(size_t{p.header.cupsBytesPerLine} * height, 0);
  for (auto [r, c] : dots) p.lines[r * p.header.cupsBytesPerLine + c / 8] |= 0x80 >> (c % 8);
  return p;
}

// " 00" n times, to follow other hex bytes.
std::string Zeros(size_t n) { return n ? " " + Hex(Bytes(n, 0)) : ""; }

class Filter : public FilterTestBase {
 protected:
  // The filter's /tmp is tmp_, where the test can look at its dumps.
  FilterResult Run(const std::vector<RasterPage>& pages, const std::string& options = "",
                   const std::string& ppd = MakePpd(AllOptions())) {
    return RunFilter({.args = Args(options), .ppd = dir_.Write("printer.ppd", ppd), .input = WriteRaster(pages),
                      .tmp = tmp_});
  }
  TempDir dir_;
  const std::string tmp_ = dir_.MakeTmp("tmp");
};

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

// Each choice as the printer gets it: the commands before the picture (head)
// and after it (tail, with the job end), and where the picture's one dot
// lands: an 8 x 100 page with its dot at column 0, row 95, the last row of
// its band.
TEST_F(Filter, ChoicesFrameAndPlaceThePicture) {
  std::string many;
  for (int i = 0; i < 400; ++i) many += "k" + std::to_string(i) + "=v" + std::to_string(i) + " ";
  // The first dot at (x, y); `line`: lines that must appear in the log.
  struct Row { std::string ppd, job, head, tail; int x = 0, y = 95; long dots = 1; std::string line = ""; };
  std::vector<Row> rows = {
      {"", "", "", ""},
      {"", "FeedAfterPrinting=-5", "", ""},
      {"", "FeedAfterPrinting=x", "", ""},
      {"", "FeedAfterPrinting=15", "", ""},              // a choice the PPD does not offer
      {"-FeedAfterPrinting", "FeedAfterPrinting=9", "", ""},  // an option it does not offer
      {"", "Bogus=1 Frobnicate NoSuchOption=yes Cutting=3", "", ""},
      {"", "FeedAfterPrinting=" + std::string(5000, '9'), "", ""},
      {"", "FeedAfterPrinting='" + std::string(5000, ' ') + "13'", "", ""},
      {"", std::string(5000, 'K') + "=1 " + many + "=== '\"unbalanced", "", ""},
      {"FeedAfterPrinting=4", "", "", "1B 4A 78"},         // the PPD's default
      {"", "PrintDensity=1", "1B 1F 12 13 14 01", ""},
      {"", "PrintDensity=8", "1B 1F 12 13 14 08", ""},
      {"", "PrintDensity=Default", "1B 1F 12 13 14 00", ""},
      {"", "PrintDensity=300", "1B 1F 12 13 14 2C", ""},
      {"", "PrintDensity=-7", "1B 1F 12 13 14 F9", ""},
      {"", "PrintDensity=99999999999", "1B 1F 12 13 14 FF", ""},  // saturates, does not wrap
      {"", "Warning=1 PrintDensity=5 CashDrawer=1 PageEnd=2",
       "1B 43 04 02 03 1B 1F 12 13 14 05 1B 70 00 80 80 1D 0C", "", 0, 95, 1,
       "ERROR: ProcessData CashDrawer=1\nERROR: ProcessData nOffset=18 j=0 nImageHeight=100\n"},
      {"", "Warning=2 CashDrawer=2 FeedAfterPrinting=2 Cutting=1", "", "1B 43 04 02 03 1B 70 00 80 80 1B 4A 3C 1D 56 00",
       0, 95, 1,
       "ERROR: ProcessData CashDrawer=2 fuck you\nERROR: ProcessData CashDrawer after fuck you\n"
       "ERROR: ProcessData FeedAfterPrinting\nERROR: ProcessData Cutting\n"},
      {"", "CashDrawer=None PageEnd=1 Cutting=0", "", ""},
      {"", "FeedAfterPrinting=1 Cutting=2", "", "1B 4A 1E 1D 56 00"},  // the job end follows the tail
      {"", "Origin=Rotation0", "", "", 7, 4},
      {"Origin=Rotation45", "", "", "", 7, 4},  // unknown: Rotation0
      {"", "Origin=Rotation90", "", "", 4, 0},  // clockwise: out(r, c) = in(H - 1 - c, r)
      {"", "Origin=Rotation270", "", "", 4, 0},
      {"Origin=ROTATION270", "", "", "", 4, 0},
      {"", "MirrorImage=True", "", "", 7, 95},
      {"MirrorImage=tRUE", "", "", "", 7, 95},
      {"MirrorImage=yes", "", "", "", 0, 95},
      {"", "Origin=Rotation90 MirrorImage=True", "", "", 95, 0, 1,
       "ERROR: ProcessData Rotate90Degrees\nERROR: ProcessDatan nMirror\nERROR: ProcessData MirrorPicture\n"},
      // Blank paper is told by the positive: the page ends at the dot's band
      // (rows 96 to 99 not sent), and the lead-in kept prints black.
      {"", "NegativeImage=True", "", "", 0, 0, 4 * 24 * 8 - 1},
      {"", "NegativeImage=True LeadingBlank=3mm", "", "", 0, 0, 2 * 24 * 8 - 1},  // rows 71 to 94, then 95 and padding
      {"", "LeadingBlank=0mm", "", "", 0, 0},
      {"", "LeadingBlank=3mm", "", "", 0, 24},
      {"", "LeadingBlank=6mm", "", "", 0, 48},
      {"", "LeadingBlank=1000mm", "", "", 0, 95},
      {"LeadingBlank=6mm", "", "", "", 0, 48},  // the PPD's default
      {"LeadingBlank=1001mm", "", "", "", 0, 95},
      {"LeadingBlank=-3mm", "", "", "", 0, 95},
      {"LeadingBlank=mm", "", "", "", 0, 95},
  };
  // Each feed choice in 30-row steps, as ESC J commands of at most 255 rows;
  // 14 and past the table feed as far as 13.
  const char* const feeds[] = {"", "1E", "3C", "5A", "78", "96", "B4", "D2", "F0", "FF 1B 4A 0F", "FF 1B 4A 2D",
                               "FF 1B 4A 69", "FF 1B 4A FF 1B 4A 1E", "FF 1B 4A FF 1B 4A D2"};
  for (int i = 0; i <= 14; ++i)
    rows.push_back({"", "FeedAfterPrinting=" + std::to_string(i), "", i ? "1B 4A " + std::string(feeds[std::min(i, 13)])
                                                                          : ""});
  rows.push_back({"", "FeedAfterPrinting=99999999999", "", "1B 4A FF 1B 4A FF 1B 4A D2"});
  const RasterPage page = OneBitPage(8, 100, {{95, 0}});
  for (const Row& row : rows) {
    const std::string what = "PPD '" + row.ppd + "', job '" + row.job + "'";
    const FilterResult r = Run({page}, row.job, PpdWith(row.ppd));
    ASSERT_EQ(r.exitStatus, 0) << what << "\n" << r.err;
    const escpos::Paper paper = escpos::decode(r.out);
    ASSERT_FALSE(paper.error) << what;
    const auto isBand = [](const escpos::Event& e) { return e.kind == escpos::EventKind::Band; };
    const auto first = std::find_if(paper.events.begin(), paper.events.end(), isBand);
    const auto last = std::find_if(paper.events.rbegin(), paper.events.rend(), isBand);
    ASSERT_NE(first, paper.events.end()) << what;
    EXPECT_EQ(Hex(Bytes(r.out.begin(), r.out.begin() + static_cast<long>(first->offset))), row.head) << what;
    EXPECT_EQ(Hex(Bytes(r.out.begin() + static_cast<long>(last->offset + last->length), r.out.end())), row.tail) << what;
    int x = -1, y = 0;
    for (; y < paper.height() && x < 0; ++y)
      for (int c = 0; c < paper.width() && x < 0; ++c)
        if (paper.dot(c, y)) x = c;
    EXPECT_EQ(std::pair(x, y - 1), std::pair(row.x, row.y)) << what << ": first dot";
    EXPECT_EQ(paper.dotsIn(0, 0, paper.width(), paper.height()), row.dots) << what;
    EXPECT_NE(r.err.find(row.line), npos) << what << "\n" << r.err;
  }
}

TEST_F(Filter, QuarterTurnReadsOneBitRowsAtTheirRasterStride) {
  // 8 pixels wide but 3 bytes per line: rows lie 3 bytes apart, and the
  // padding bytes (full of dots here) must not be taken for pixels.
  RasterPage page = OneBitPage(8, 2, {{1, 7}}, 3);
  page.lines[1] = page.lines[2] = page.lines[4] = page.lines[5] = 0xFF;
  const escpos::Paper paper = escpos::decode(Run({page}, "Origin=Rotation90").out);
  // out(r, p) = in(1 - p, r): the dot at (1, 7) goes to row 7, column 0.
  EXPECT_EQ(paper.dotsIn(0, 0, paper.width(), paper.height()), 1);
  EXPECT_TRUE(paper.dot(0, 7));
}

// Bits past the width of 1-bit rows (the last byte's spare bits, spare
// bytes) are no dots once the page is turned or mirrored: they neither
// print nor count as ink when blank paper is told, and an inverted turned
// row with spare bytes is never blank (they go out black). Unturned and
// unmirrored, rows go out as the raster has them. The output's length and
// digest.
TEST_F(Filter, BitsPastTheWidthOfOneBitRows) {
  struct Case { unsigned width, bytesPerLine; uint8_t ink, spare; std::string options; size_t size; uint64_t digest; };
  const Case cases[] = {
      // Spare bits only, and one dot: a blank band, then the dot's band.
      {13, 2, 0x00, 0x07, "Origin=Rotation0", 88, 0xa63c37f7d1e737f0ull},
      {13, 2, 0x00, 0x07, "Origin=Rotation180", 112, 0x4f15bc0e75bb17bfull},
      // Solid rows; with nothing spare, inverted they are blank: nothing sent.
      {8, 2, 0xFF, 0x5A, "Origin=Rotation0 NegativeImage=True", 112, 0x63a402673e4164ffull},
      {8, 2, 0xFF, 0x5A, "Origin=Rotation180 NegativeImage=True", 112, 0x6aa3314c6ad0887full},
      {16, 2, 0xFF, 0x00, "Origin=Rotation0 NegativeImage=True", 0, 0x14650fb0739d0383ull},
      {13, 3, 0x00, 0xFF, "Origin=Rotation180 MirrorImage=True", 80, 0xf476920e5ef500b7ull},
  };
  for (const Case& c : cases) {
    RasterPage page = OneBitPage(c.width, 48, {{0, 0}}, c.bytesPerLine);
    const size_t pixelBytes = (c.width + 7) / 8;
    for (size_t y = 0; y < 48; ++y) {
      uint8_t* row = page.lines.data() + y * c.bytesPerLine;
      for (size_t x = 0; x < c.bytesPerLine; ++x) row[x] |= x < pixelBytes ? c.ink : c.spare;
      if (c.width % 8) row[pixelBytes - 1] |= c.spare & (0xFF >> c.width % 8);
    }
    const FilterResult r = Run({page}, c.options);
    ASSERT_EQ(r.exitStatus, 0) << c.options;
    EXPECT_EQ(r.out.size(), c.size) << c.width << "/" << c.bytesPerLine << " " << c.options;
    EXPECT_EQ(Fnv1a(r.out), c.digest) << c.width << "/" << c.bytesPerLine << " " << c.options;
  }
}

// The log is the product's own trace, line for line (tests/e2e/OneBitPage.log).
TEST_F(Filter, OneBitPageLogsEveryStepInOrder) {
  FilterResult r = Run({OneBitPage(16, 40, {{0, 0}})}, "", MakePpd({}));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(MaskVolatile(r.err), ToString(ReadFile(SourcePath("tests/e2e/OneBitPage.log"))));
  // The half turn puts the top-left dot at the bottom right: row 39, band 24..47.
  EXPECT_EQ(Hex(r.out), "1D 76 30 00 01 00 18 00" + Zeros(24) + " 1D 76 30 00 02 00 18 00" + Zeros(31) + " 01" + Zeros(16));
  EXPECT_EQ(ReadFile(tmp_ + "/Brantelix"), r.out);
}

// NumCopies repeats the page's whole stream, cut and all; the dump holds one
// copy. Past 9999 the count is a damaged header, and negative as the signed
// count it is.
TEST_F(Filter, CopiesRepeatTheStreamWithinBounds) {
  const std::pair<unsigned, size_t> cases[] = {{0, 0},         {1, 1},           {2, 2},           {9999, 9999},
                                               {10000, 9999}, {0x7FFFFFFF, 9999}, {0x80000000u, 0}, {0xFFFFFFFFu, 0}};
  const std::string one = "1D 76 30 00 01 00 18 00 80" + Zeros(23) + " 1D 56 00";
  for (auto [copies, expected] : cases) {
    RasterPage page = OneBitPage(8, 1, {{0, 0}});
    page.header.NumCopies = copies;
    FilterResult r = Run({page}, "Cutting=1");
    EXPECT_EQ(r.exitStatus, 0) << copies;
    std::string all;
    for (size_t i = 0; i < expected; ++i) all += (i ? " " : "") + one;
    EXPECT_EQ(Hex(r.out), all) << copies;
    if (expected) { EXPECT_EQ(Hex(ReadFile(tmp_ + "/Brantelix")), one) << copies; }
  }
}

TEST_F(Filter, ReadsTheRasterFromAFileArgument) {
  auto args = Args("");
  args.push_back(dir_.Write("job.ras", WriteRaster({OneBitPage(8, 1, {{0, 0}})})));
  FilterResult r = RunFilter({args, dir_.Write("p.ppd", MakePpd(AllOptions())), {}});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(escpos::decode(r.out).dotsIn(0, 0, 8, 1), 1);
  // The file's descriptor is closed at the job end (its number depends on
  // what the test runner left open).
  const size_t at = r.err.find("ERROR: close fd=");
  ASSERT_NE(at, npos);
  EXPECT_GT(std::atoi(r.err.c_str() + at + 16), 2);
}

// The dumps hold the last grey page, as read and as the conversion sees it
// (three inverted bytes a pixel, rows padded with white to whole words).
TEST_F(Filter, GreyPagesLeaveTheLastInTheDumps) {
  RasterPage page{MakeHeader(10, 2, 8), {}};
  for (unsigned i = 0; i < 20; ++i) page.lines.push_back(static_cast<uint8_t>(i * 13));
  std::ranges::copy(Bytes{0x00, 0xFF, 0x40}, page.lines.begin());
  FilterResult r = Run({RasterPage{MakeHeader(8, 1, 8), Bytes(8, 0x11)}, page}, "Origin=Rotation0");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.err.find("ERROR: Starting page = 2 1"), npos);
  EXPECT_NE(r.err.find("ERROR: BytePerLine =32 \n"), npos);
  EXPECT_EQ(ReadFile(tmp_ + "/Buffer.data"), page.lines);
  Bytes expanded;
  for (unsigned row = 0; row < 2; ++row) {
    for (unsigned i = 0; i < 10; ++i) expanded.insert(expanded.end(), 3, static_cast<uint8_t>(~page.lines[row * 10 + i]));
    expanded.insert(expanded.end(), 2, 0xFF);
  }
  EXPECT_EQ(Hex(Bytes(expanded.begin(), expanded.begin() + 9)), "FF FF FF 00 00 00 BF BF BF");
  EXPECT_EQ(ReadFile(tmp_ + "/pBuf.data"), expanded);
  // The last page's conversion buffer is released at the job end.
  EXPECT_NE(MaskVolatile(r.err).find("ERROR: free pDataBuf=ADDR\nERROR: cupsFreeOptions"), npos);
  // The picture's directory is outside /tmp and shared by the whole machine,
  // so the tests never create it; bench/differential.sh compares the picture
  // itself inside a root of its own.
  if (!std::filesystem::exists("/Users/quorle/Desktop/Work")) {
    EXPECT_NE(r.err.find("ERROR: fopen ImageDithering.bmp ImageFile=0 err=No such file or directory\n"), npos);
  }
}

TEST_F(Filter, StructuredPagePrintsByteExactlyInEveryMode) {
  // The output's length and digest.
  struct Case { unsigned bpp; std::string options; size_t size; uint64_t digest; } cases[] = {
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
    FilterResult r = Run({StructuredPage(c.bpp)}, "Origin=Rotation0 " + c.options);
    ASSERT_EQ(r.exitStatus, 0);
    ASSERT_FALSE(escpos::decode(r.out).error);
    EXPECT_EQ(r.out.size(), c.size) << c.options;
    EXPECT_EQ(Fnv1a(r.out), c.digest) << c.options;
  }
}
