// The sample receipt through CUPS's standard filter chain as cupsfilter
// runs it (pdftopdf -> gstoraster -> labelfilter, picked by the shipped PPD's
// cupsFilter line), decoded back into paper and checked dot area by dot
// area.  Nothing is installed: the chain runs from a private ServerBin.
#include "CupsTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct ChainCase {
  const char* name;
  std::vector<std::string> options;
  const char* cutting;  // the "Cutting" choice in effect (PPD default "2")
  int bitsPerPixel;     // of the raster gstoraster hands the filter
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class CupsFilterChain : public ::testing::TestWithParam<ChainCase> {
 protected:
  static void SetUpTestSuite() {
    scratch_ = std::make_unique<cupstest::ScratchDir>("chain");
    serverBin_ = cupstest::makeServerBin(scratch_->path());
  }
  static void TearDownTestSuite() { scratch_.reset(); }
  void SetUp() override {
    if (!PrivateTmpAvailable()) GTEST_SKIP() << "no private mount namespace for the filter's /tmp here";
  }

  // Runs the chain; returns the printer stream and leaves the log in `log`.
  static std::vector<std::uint8_t> print(const std::string& ppd, const std::vector<std::string>& options,
                                         const std::string& tag, std::string& log, int& status) {
    std::vector<std::string> argv = {"cupsfilter", "-e", "-p", cupstest::ppdPath(ppd).string(), "-m",
                                     "printer/labelfilter"};
    for (const auto& o : options) {
      argv.push_back("-o");
      argv.push_back(o);
    }
    argv.push_back(cupstest::samplePdf().string());
    const auto out = scratch_->path() / (tag + ".escpos");
    const auto r = cupstest::run(argv, {{"CUPS_SERVERBIN", serverBin_.string()}}, out, true);
    log = r.err;
    status = r.status;
    return cupstest::readFile(out);
  }

  static std::unique_ptr<cupstest::ScratchDir> scratch_;
  static cupstest::fs::path serverBin_;
};

std::unique_ptr<cupstest::ScratchDir> CupsFilterChain::scratch_;
cupstest::fs::path CupsFilterChain::serverBin_;

TEST_P(CupsFilterChain, SampleReceiptPrintsAtFullWidthWithItsCuts) {
  const ChainCase& c = GetParam();
  std::string log;
  int status = -1;
  const auto stream = print("lf80mm.ppd", c.options, c.name, log, status);
  ASSERT_EQ(status, 0) << log;
  // The chain really went through the renderer and our filter, with the
  // raster the PPD asks for.
  EXPECT_NE(log.find("INFO: gstoraster (PID"), std::string::npos) << log;
  EXPECT_NE(log.find("INFO: labelfilter (PID"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR: cupsWidth = 576\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR: cupsBitsPerPixel = " + std::to_string(c.bitsPerPixel) + "\n"), std::string::npos)
      << log;
  ASSERT_FALSE(stream.empty());

  const auto paper = escpos::decode(stream);
  cupstest::expectSampleReceipt(paper, c.name);
  cupstest::expectCuts(paper, stream.size(), c.cutting, c.name);
  // The PPD's default feed after printing, "4", is 120 rows per page.
  for (const auto& page : cupstest::splitPages(paper)) {
    int fed = 0;
    for (const auto& e : page.events)
      if (e.kind == escpos::EventKind::Feed) fed += e.value;
    EXPECT_EQ(fed, 120) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, CupsFilterChain,
    ::testing::Values(ChainCase{"DefaultOptions", {}, "2", 8},
                      ChainCase{"DitheringNone", {"Dithering=None"}, "2", 8},
                      ChainCase{"DitheringHalftone", {"Dithering=Halftone"}, "2", 8},
                      ChainCase{"DitheringOrderDithering", {"Dithering=OrderDithering"}, "2", 8},
                      ChainCase{"DitheringErrorDiffusion", {"Dithering=ErrorDiffusion"}, "2", 8},
                      ChainCase{"CuttingEveryPage", {"Cutting=1"}, "1", 8},
                      ChainCase{"CuttingEndOfJob", {"Cutting=2"}, "2", 8},
                      ChainCase{"CuttingEveryPageThreshold", {"Cutting=1", "Dithering=None"}, "1", 8},
                      // Colour modes of earlier PPDs, which printed turned
                      // and mirrored: grey now, upright.
                      ChainCase{"MonoUpright", {"ColorModel=Mono"}, "2", 8},
                      ChainCase{"RgbUpright", {"ColorModel=RGB"}, "2", 8}),
    [](const ::testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

TEST_F(CupsFilterChain, NoCutChoiceLeavesTheStreamUncut) {
  std::string log;
  int status = -1;
  const auto stream = print("lf80mm.ppd", {"Cutting=0"}, "nocut", log, status);
  ASSERT_EQ(status, 0) << log;
  const auto paper = escpos::decode(stream);
  cupstest::expectSampleReceipt(paper, "Cutting=0");
  EXPECT_EQ(paper.count(escpos::EventKind::Cut), 0u);
}

TEST_F(CupsFilterChain, HeadAndTailOptionsReachThePrinter) {
  std::string log;
  int status = -1;
  const auto stream = print(
      "lf80mm.ppd", {"Warning=1", "PrintDensity=5", "CashDrawer=2", "PageEnd=2", "FeedAfterPrinting=9", "Cutting=1"},
      "headtail", log, status);
  ASSERT_EQ(status, 0) << log;
  const auto paper = escpos::decode(stream);
  ASSERT_FALSE(paper.error) << paper.error->message;
  const auto pages = cupstest::splitPages(paper);
  ASSERT_EQ(pages.size(), 2u);
  for (const auto& page : pages) {
    std::vector<escpos::EventKind> head, tail;
    bool body = false;
    std::vector<int> feeds;
    for (const auto& e : page.events) {
      if (e.kind == escpos::EventKind::Band) {
        body = true;
        continue;
      }
      (body ? tail : head).push_back(e.kind);
      if (e.kind == escpos::EventKind::Feed) feeds.push_back(e.value);
      if (e.kind == escpos::EventKind::Density) {
        EXPECT_EQ(e.value, 5);
      }
    }
    using K = escpos::EventKind;
    EXPECT_EQ(head, (std::vector<K>{K::Warning, K::Density, K::FormFeed}));
    EXPECT_EQ(tail, (std::vector<K>{K::DrawerPulse, K::Feed, K::Feed, K::Cut}));
    EXPECT_EQ(feeds, (std::vector<int>{255, 15}));  // choice 9 = 270 rows
  }
}

// The layout check must see a print that is turned or mirrored: these
// options move the sample's ink to the wrong side of the paper.
TEST_F(CupsFilterChain, LayoutCheckCatchesTurnedAndMirroredPrints) {
  for (const char* option : {"Origin=Rotation180", "MirrorImage=True"}) {
    std::string log;
    int status = -1;
    const auto stream = print("lf80mm.ppd", {option}, "wrong", log, status);
    ASSERT_EQ(status, 0) << log;
    const auto paper = escpos::decode(stream);
    ::testing::TestPartResultArray failures;
    {
      ::testing::ScopedFakeTestPartResultReporter reporter(
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
      cupstest::expectSampleReceipt(paper, option);
    }
    EXPECT_GT(failures.size(), 3) << option << " printed like the upright sample";
  }
}

TEST_F(CupsFilterChain, NarrowRollPrintsAt384Dots) {
  std::string log;
  int status = -1;
  const auto stream = print("lf58mm.ppd", {}, "narrow", log, status);
  ASSERT_EQ(status, 0) << log;
  EXPECT_NE(log.find("ERROR: cupsWidth = 384\n"), std::string::npos) << log;
  const auto paper = escpos::decode(stream);
  ASSERT_FALSE(paper.error) << paper.error->message;
  EXPECT_EQ(paper.width(), 384);
  ASSERT_EQ(cupstest::splitPages(paper).size(), 2u);
  // The 80 mm sample is scaled down to the narrow roll, not cut off: ink
  // on both halves and up to both sides' margins.
  EXPECT_GT(paper.dotsIn(0, 0, 192, paper.height()), 5000);
  EXPECT_GT(paper.dotsIn(192, 0, 384, paper.height()), 5000);
  EXPECT_GT(paper.dotsIn(0, 0, 24, paper.height()), 100);
  EXPECT_GT(paper.dotsIn(360, 0, 384, paper.height()), 100);
}

}  // namespace
