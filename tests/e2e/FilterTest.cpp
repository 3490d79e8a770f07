// The built filter run as the scheduler runs it, on raster streams written
// with libcups and PPD files opened by libcups.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"

namespace {

const std::vector<std::string> kArgs = {"42", "alice", "receipt", "1", ""};

std::vector<std::string> Args(const std::string& options) {
  auto a = kArgs;
  a[4] = options;
  return a;
}

// Every option the filter reads, each defaulting to "no command".
std::vector<PpdOption> AllOptions() {
  return {{"Dithering", {"None", "Halftone", "OrderDithering", "ErrorDiffusion"}},
          {"MirrorImage", {"False", "True"}},
          {"NegativeImage", {"False", "True"}},
          {"Origin", {"Rotation0", "Rotation90", "Rotation180", "Rotation270"}},
          {"Warning", {"0", "1", "2"}},
          {"PrintDensity", {"0", "5", "8", "300", "Default"}},
          {"CashDrawer", {"None", "0", "1", "2"}},
          {"PageEnd", {"0", "1", "2"}},
          {"FeedAfterPrinting", {"0", "1", "2", "9", "13", "14"}},
          {"Cutting", {"0", "1", "2"}}};
}

// A 1-bit page whose raster has a dot wherever `dots` says (row, column).
RasterPage OneBitPage(unsigned width, unsigned height, std::vector<std::pair<unsigned, unsigned>> dots,
                      unsigned bytesPerLine = 0) {
  RasterPage p{MakeHeader(width, height, 1, bytesPerLine), {}};
  p.lines.assign(size_t{p.header.cupsBytesPerLine} * height, 0);
  for (auto [r, c] : dots) p.lines[r * p.header.cupsBytesPerLine + c / 8] |= 0x80 >> (c % 8);
  return p;
}

// An image band of `stride` bytes per row whose rows are given in `rows`
// (row index -> bytes); every other row is `pad`.
Bytes ImageBand(size_t stride, std::map<size_t, Bytes> rows, uint8_t pad = 0) {
  Bytes b = {0x1D, 0x76, 0x30, 0x00, uint8_t(stride % 256), uint8_t(stride / 256), 0x18, 0x00};
  for (size_t r = 0; r < 24; ++r) {
    Bytes row = rows.count(r) ? rows[r] : Bytes(stride, pad);
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kBlankBand = [] {
  Bytes b = {0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x18, 0x00};
  b.resize(32, 0);
  return b;
}();

class Filter : public FilterTestBase {
 protected:
  // The filter's /tmp is tmp_, where the test can look at its dumps.
  FilterResult Run(const std::vector<RasterPage>& pages, const std::string& options = "",
                   const std::vector<PpdOption>& ppdOptions = AllOptions()) {
    return RunFilter({.args = Args(options), .ppd = dir_.Write("printer.ppd", MakePpd(ppdOptions)),
                      .input = WriteRaster(pages), .tmp = tmp_});
  }
  TempDir dir_;
  const std::string tmp_ = dir_.MakeTmp("tmp");
};

using FilterArguments = FilterTestBase;

// The trace of one page through ProcessData with no command-producing option.
std::string ProcessDataTrace(int stride, int rows, const std::string& extraAfterDirection = "",
                             const std::string& nDirectionLine = "nInverse=0 nDirection=0",
                             const std::string& mirrorLines = "", const std::string& cashDrawer = "") {
  std::string t = "ERROR: call ProcessData\n";
  t += "ERROR: ProcessData nImageWidth=" + std::to_string(stride) + " biHeight=" + std::to_string(rows) + "\n";
  t += "ERROR: ProcessData nMirror=" + std::string(mirrorLines.empty() ? "0" : "1") + "\n";
  t += "ERROR: ProcessData " + nDirectionLine + "\n";
  t += "ERROR: ProcessDatan Direction == 1 || nDirection == 3\n" + extraAfterDirection;
  t += "ERROR: ProcessDatan nMirror\n" + mirrorLines;
  t += "ERROR: ProcessData nInverse=0\nERROR: ProcessData nInverse\n";
  t += "ERROR: ProcessData malloc pData=ADDR\n";
  if (!cashDrawer.empty()) t += "ERROR: ProcessData CashDrawer=" + cashDrawer + "\n";
  return t;
}

}  // namespace

TEST_F(FilterArguments, WrongCountsExitWithoutAWord) {
  TempDir dir;
  const std::string ppd = dir.Write("p.ppd", MakePpd({}));
  for (size_t n : {0u, 1u, 4u, 7u, 9u}) {
    std::vector<std::string> args(n, "x");
    FilterResult r = RunFilter({args, ppd, {}});
    EXPECT_EQ(r.exitStatus, 1) << n + 1 << " arguments";
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(FilterArguments, MissingRasterFileIsReportedAndFails) {
  TempDir dir;
  auto args = kArgs;
  args.push_back(dir.Path("missing.ras"));
  FilterResult r = RunFilter({args, dir.Write("p.ppd", MakePpd({})), {}});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(r.out.empty());
  ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
  // libcups words the line; the scheduler takes anything after "ERROR:".
  EXPECT_EQ(r.ErrLines()[0].rfind("ERROR:", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("Unable to open raster file"), std::string::npos) << r.err;
}

TEST_F(FilterArguments, UnusablePpdGivesOneDebugLine) {
  TempDir dir;
  const Bytes raster = WriteRaster({OneBitPage(8, 1, {{0, 0}})});
  struct { std::optional<std::string> ppd; std::string line; } cases[] = {
      {std::nullopt, "DEBUG: NULL PPD file pointer on line 0."},
      {dir.Path("missing.ppd"), "DEBUG: Unable to open PPD file on line 0."},
      {dir.Write("bad.ppd", std::string("not a ppd\n")), "DEBUG: Missing asterisk in column 1 on line 1."},
  };
  for (const auto& c : cases) {
    FilterResult r = RunFilter({kArgs, c.ppd, raster});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, c.line + "\n");
  }
}

TEST_F(Filter, EmptyStreamRunsTheJobEndAndFails) {
  const std::string ppd = dir_.Write("p.ppd", MakePpd(AllOptions()));
  FilterResult r = RunFilter({Args("Cutting=2"), ppd, {}});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(Hex(r.out), "1D 56 00");
  EXPECT_EQ(MaskVolatile(r.err),
            "ERROR: free pDataBuf=0\n"
            "ERROR: cupsFreeOptions options=ADDR num_options=1\n"
            "ERROR: cupsRasterClose\n"
            "ERROR: close fd=0\n"
            "ERROR: ppdClose fd=ADDR\n"
            "ERROR: Dovrel-filter return\n");
  // Any other choice: nothing at the job end.
  for (std::string cut : {"0", "1"}) EXPECT_TRUE(RunFilter({Args("Cutting=" + cut), ppd, {}}).out.empty());
  EXPECT_TRUE(RunFilter({Args("Cutting=2"), ppd, ToBytes("this is not a raster stream")}).out.size() == 3);
}

TEST_F(Filter, OneBitPageLogsEveryStepInOrder) {
  RasterPage page = OneBitPage(16, 40, {{0, 0}});
  page.header.NumCopies = 1;
  FilterResult r = Run({page}, "", {});
  EXPECT_EQ(r.exitStatus, 0);
  std::string expected =
      "ERROR: Starting page = 1 1 time=T\n"
      "ERROR: StartPage...\n"
      "DEBUG: MediaClass = \"PwgRaster\"\nDEBUG: MediaColor = \"\"\nDEBUG: MediaType = \"Receipt\"\n"
      "DEBUG: OutputType = \"\"\nDEBUG: AdvanceDistance = 0\nDEBUG: AdvanceMedia = 0\nDEBUG: Collate = 0\n"
      "DEBUG: CutMedia = 0\nDEBUG: Duplex = 0\nDEBUG: HWResolution = [ 203 203 ]\n"
      "DEBUG: ImagingBoundingBox = [ 0 0 5 14 ]\nDEBUG: InsertSheet = 0\nDEBUG: Jog = 0\nDEBUG: LeadingEdge = 0\n"
      "DEBUG: Margins = [ 0 0 ]\nDEBUG: ManualFeed = 0\nDEBUG: MediaPosition = 0\nDEBUG: MediaWeight = 0\n"
      "DEBUG: MirrorPrint = 0\nDEBUG: NegativePrint = 0\nDEBUG: NumCopies = 1\nERROR: Orientation = 0\n"
      "DEBUG: OutputFaceUp = 0\nERROR: PageSize = [ 5 14 ]\nDEBUG: Separations = 0\nDEBUG: TraySwitch = 0\n"
      "DEBUG: Tumble = 0\nERROR: cupsWidth = 16\nERROR: cupsHeight = 40\nDEBUG: cupsMediaType = 0\n"
      "DEBUG: cupsBitsPerColor = 1\nERROR: cupsBitsPerPixel = 1\nDEBUG: cupsBytesPerLine = 2\n"
      "DEBUG: cupsColorOrder = 0\nDEBUG: cupsColorSpace = 3\nDEBUG: cupsCompression = 0\n"
      "DEBUG: cupsRowCount = 1\nDEBUG: cupsRowFeed = 1\nDEBUG: cupsRowStep = 1\n"
      "ATTR: job-media-progress=0\nATTR: job-media-progress=40\nATTR: job-media-progress=80\n" +
      ProcessDataTrace(2, 40) +
      "ERROR: ProcessData nOffset=0 j=0 nImageHeight=40\n"
      "ERROR: ProcessData FeedAfterPrinting\n"
      "ERROR: ProcessData Cutting\n"
      "ERROR: cupsWritePrintData\n"
      "ERROR: save data to K7QX-filter DataLength=" + std::to_string(32 + 8 + 48) + " sizeof(nOffset)=4\n"
      "ERROR: fopen K7QX.data f=ADDR errno=0 desc=Success\n"
      "ERROR: free pzlibBuf=0\nERROR: free pMirror=0\nERROR: free pBuf180=ADDR\nERROR: free pBuf90=0\n"
      "ERROR: free pData=ADDR\nERROR: ProcessData return\n"
      "ERROR: call EndPage\nERROR: Enter EndPage\nERROR: EndPage Out Canceled=0\nERROR: EndPage return\n"
      "ERROR: free pDataBuf=0\nERROR: cupsFreeOptions options=0 num_options=0\nERROR: cupsRasterClose\n"
      "ERROR: close fd=0\nERROR: ppdClose fd=ADDR\nERROR: Dovrel-filter return\n";
  EXPECT_EQ(MaskVolatile(r.err), expected);
  // The half turn puts the top-left dot at the bottom right: row 39, band 24..47.
  EXPECT_EQ(Hex(r.out), Hex(Cat({kBlankBand, ImageBand(2, {{15, {0x00, 0x01}}})})));
  EXPECT_EQ(ReadFile(tmp_ + "/Brantelix"), r.out);
}

TEST_F(Filter, OriginTurnsThePicture) {
  // 16 x 3 page, one dot at row 0 column 1.
  const RasterPage page = OneBitPage(16, 3, {{0, 1}});
  struct { std::string origin; Bytes out; } cases[] = {
      {"Rotation180", ImageBand(2, {{0, {0x40, 0x00}}})},
      {"Rotation0", ImageBand(2, {{2, {0x00, 0x02}}})},
      {"Bogus", ImageBand(2, {{2, {0x00, 0x02}}})},
      // Quarter turn: 3 pixels wide, 16 rows; out(r, p) = in(2 - p, r).
      {"Rotation90", ImageBand(4, {{1, {0x20, 0, 0, 0}}})},
      {"Rotation270", ImageBand(4, {{1, {0x20, 0, 0, 0}}})},
  };
  for (const auto& c : cases) {
    std::vector<PpdOption> o = AllOptions();
    o[3].choices.push_back("Bogus");
    FilterResult r = Run({page}, "Origin=" + c.origin, o);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(Hex(r.out), Hex(c.out)) << c.origin;
  }
}

TEST_F(Filter, QuarterTurnReadsOneBitRowsAtTheirRasterStride) {
  // 8 pixels wide but 3 bytes per line: rows lie 3 bytes apart, and the
  // padding bytes (full of dots here) must not be taken for pixels.
  RasterPage page = OneBitPage(8, 2, {{1, 7}}, 3);
  page.lines[1] = page.lines[2] = page.lines[4] = page.lines[5] = 0xFF;
  FilterResult r = Run({page}, "Origin=Rotation90");
  // out(r, p) = in(1 - p, r): the dot at (1, 7) goes to row 7, column 0.
  EXPECT_EQ(Hex(r.out), Hex(ImageBand(4, {{7, {0x80, 0, 0, 0}}})));
}

TEST_F(Filter, MirrorFollowsTheQuarterTurn) {
  const RasterPage page = OneBitPage(16, 3, {{0, 1}});
  FilterResult r = Run({page}, "Origin=Rotation90 MirrorImage=True");
  // Turned: row 1, column 2 of a 3-pixel-wide picture; mirrored: column 0.
  EXPECT_EQ(Hex(r.out), Hex(ImageBand(4, {{1, {0x80, 0, 0, 0}}})));
  EXPECT_NE(r.err.find("ERROR: ProcessData Rotate90Degrees\nERROR: ProcessDatan nMirror\n"
                       "ERROR: ProcessData MirrorPicture\n"), std::string::npos);
}

TEST_F(Filter, NegativePrintSendsWhiteAsDots) {
  // 8 x 2 page, one dot at row 0 column 0, unturned.
  FilterResult r = Run({OneBitPage(8, 2, {{0, 0}})}, "Origin=Rotation180 NegativeImage=True");
  EXPECT_EQ(r.err.find("ERROR: ProcessData nInverse\n"), std::string::npos);
  EXPECT_EQ(Hex(r.out), Hex(ImageBand(1, {{0, {0x7F}}}, 0xFF)));
  // A page that is all dots is all blank in negative print.
  RasterPage black = OneBitPage(8, 30, {});
  std::fill(black.lines.begin(), black.lines.end(), 0xFF);
  EXPECT_TRUE(Run({black}, "Origin=Rotation180 NegativeImage=True").out.empty());
}

TEST_F(Filter, HeadAndTailFrameThePicture) {
  const RasterPage page = OneBitPage(8, 1, {{0, 0}});
  FilterResult r = Run({page}, "Origin=Rotation180 Warning=1 PrintDensity=5 CashDrawer=1 PageEnd=2");
  EXPECT_EQ(Hex(r.out), Hex(Cat({{0x1B, 0x43, 0x04, 0x02, 0x03, 0x1B, 0x1F, 0x12, 0x13, 0x14, 0x05, 0x1B, 0x70,
                                  0x00, 0x80, 0x80, 0x1D, 0x0C},
                                 ImageBand(1, {{0, {0x80}}})})));
  EXPECT_NE(r.err.find("ERROR: ProcessData CashDrawer=1\nERROR: ProcessData nOffset=18 j=0 nImageHeight=1\n"),
            std::string::npos);

  r = Run({page}, "Origin=Rotation180 Warning=2 CashDrawer=2 FeedAfterPrinting=2 Cutting=1");
  EXPECT_EQ(Hex(r.out), Hex(Cat({ImageBand(1, {{0, {0x80}}}),
                                 {0x1B, 0x43, 0x04, 0x02, 0x03, 0x1B, 0x70, 0x00, 0x80, 0x80, 0x1B, 0x4A, 0x3C, 0x1D,
                                  0x56, 0x00}})));
  EXPECT_NE(r.err.find("ERROR: ProcessData CashDrawer=2 fuck you\nERROR: ProcessData CashDrawer after fuck you\n"
                       "ERROR: ProcessData FeedAfterPrinting\nERROR: ProcessData Cutting\n"),
            std::string::npos);
}

TEST_F(Filter, CopiesRepeatTheStream) {
  for (int copies : {0, 1, 2}) {
    RasterPage page = OneBitPage(8, 1, {{0, 0}});
    page.header.NumCopies = copies;
    FilterResult r = Run({page}, "Origin=Rotation180 Cutting=1");
    const Bytes one = Cat({ImageBand(1, {{0, {0x80}}}), {0x1D, 0x56, 0x00}});
    Bytes all;
    for (int i = 0; i < copies; ++i) all = Cat({all, one});
    EXPECT_EQ(Hex(r.out), Hex(all)) << copies << " copies";
    EXPECT_EQ(ReadFile(tmp_ + "/Brantelix"), one);
    EXPECT_EQ(r.exitStatus, 0);
  }
}

TEST_F(Filter, JobEndCutFollowsTheLastPage) {
  const RasterPage page = OneBitPage(8, 1, {{0, 0}});
  FilterResult r = Run({page, page}, "Origin=Rotation180 Cutting=2");
  const Bytes band = ImageBand(1, {{0, {0x80}}});
  EXPECT_EQ(Hex(r.out), Hex(Cat({band, band, {0x1D, 0x56, 0x00}})));
  EXPECT_NE(r.err.find("ERROR: Starting page = 2 1"), std::string::npos);
  EXPECT_EQ(r.exitStatus, 0);
}

TEST_F(Filter, ReadsTheRasterFromAFileArgument) {
  auto args = Args("Origin=Rotation180");
  args.push_back(dir_.Write("job.ras", WriteRaster({OneBitPage(8, 1, {{0, 0}})})));
  FilterResult r = RunFilter({args, dir_.Write("p.ppd", MakePpd(AllOptions())), {}});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(Hex(r.out), Hex(ImageBand(1, {{0, {0x80}}})));
  // The file's descriptor is closed at the job end (its number depends on
  // what the test runner left open).
  const size_t at = r.err.find("ERROR: close fd=");
  ASSERT_NE(at, std::string::npos);
  EXPECT_GT(std::atoi(r.err.c_str() + at + 16), 2);
}

TEST_F(Filter, TruncatedPageIsPrintedWithTheLinesRead) {
  RasterPage page = OneBitPage(8, 100, {{0, 0}, {1, 1}});
  Bytes stream = WriteRawRaster({page});
  stream.resize(stream.size() - 97);  // three lines arrive
  FilterResult r = RunFilter({Args("Origin=Rotation180"), dir_.Write("p.ppd", MakePpd(AllOptions())), stream});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.err.find("ERROR: ProcessData nImageWidth=1 biHeight=3\n"), std::string::npos);
  EXPECT_EQ(Hex(r.out), Hex(ImageBand(1, {{0, {0x80}}, {1, {0x40}}})));
}

TEST_F(Filter, CancelWhileReadingAPageStillPrintsIt) {
  RasterPage page = OneBitPage(8, 10000, {{0, 0}});
  const Bytes stream = WriteRawRaster({page});
  const size_t headerBytes = 4 + sizeof(cups_page_header2_t);
  FilterProcess p({Args("Origin=Rotation180 Cutting=2"), dir_.Write("p.ppd", MakePpd(AllOptions())),
                   Bytes(stream.begin(), stream.begin() + headerBytes + 40)});
  ASSERT_TRUE(p.WaitUntilBlockedOnInput());  // on line 41
  p.Signal(SIGTERM);
  ASSERT_TRUE(p.WaitForErr("ERROR: EndPage Out Canceled=1\n"));
  FilterResult r = p.Wait();  // the pipe is still open until here
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.err.find("ERROR: ProcessData nImageWidth=1 biHeight=40\n"), std::string::npos);
  EXPECT_EQ(r.err.find("ERROR: EndPage return"), std::string::npos);
  EXPECT_EQ(Hex(r.out), Hex(Cat({ImageBand(1, {{0, {0x80}}}), {0x1D, 0x56, 0x00}})));
}
