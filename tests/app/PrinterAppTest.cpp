// The printer application end to end: the real server in a private network,
// jobs sent with its own command line, with ipptool and through a CUPS
// queue, and what fake ESC/POS printers on loopback received, decoded back
// into paper and compared with what the core makes of the same page.

#include <gtest/gtest.h>

#include <cups/cups.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "AppHarness.h"
#include "EscPosDecoder.h"
#include "JobSettings.h"
#include "Models.h"
#include "PagePipeline.h"
#include "ReceiptJob.h"

namespace {

std::string SkipReason;  // set when the private namespaces are not available

constexpr uint32_t kHead80 = 576, kHead58 = 384;
constexpr int kDefaultFeed = 120;  // "FeedAfterPrinting" 4: 4 x 30 rows
constexpr uint32_t kWide = 1000;   // wider than every head

enum class Via { App, IppTool };

struct Printed {
  JobEnd end;
  Bytes bytes;
};

// Where the top block of a MarkedPicture landed, and the blank paper around
// the print.
struct Reading {
  bool blockLeft = false;
  int blockRows = 0;
  int leadingBlank = 0;
  int trailingBlank = 0;
};

Reading Read(const escpos::Paper& paper) {
  Reading r;
  const int w = paper.width();
  int first = -1, last = -1;
  for (int y = 0; y < paper.height(); ++y)
    if (paper.dotsIn(0, y, w, y + 1) > 0) (first < 0 ? first : last) = y, last = y;
  if (first < 0) return r;
  r.blockLeft = paper.dot(2, first);
  while (paper.dot(r.blockLeft ? 2 : w - 3, first + r.blockRows)) ++r.blockRows;
  r.leadingBlank = first;
  r.trailingBlank = paper.height() - paper.fedRows() - 1 - last;
  return r;
}

// The pages through the core with the PPD choices the CUPS filter would be
// given (over the PPD's defaults), then `typed` values set directly: what
// the application must send, byte for byte.
using TypedValue = std::pair<const JobOption*, int>;

PrintSettings CoreSettings(const std::map<std::string, std::string>& choices, const std::vector<TypedValue>& typed = {}) {
  std::map<std::string, std::string> all;
  for (const JobOption& option : kJobOptions)
    if (!option.ppdKeyword.empty()) all[std::string(option.ppdKeyword)] = option.ppdDefault;
  for (const auto& [k, v] : choices) all[k] = v;
  PrintSettings settings = ParsePrintSettings([&](std::string_view k) -> std::optional<std::string> {
    auto it = all.find(std::string(k));
    return it == all.end() ? std::nullopt : std::optional(it->second);
  });
  for (const auto& [option, value] : typed) option->apply(settings, value, HeadUnits{});
  return settings;
}

Bytes CoreBytes(const std::vector<Picture>& pages, const std::map<std::string, std::string>& choices = {},
                uint32_t copies = 1, const std::vector<TypedValue>& typed = {}) {
  const PrintSettings settings = CoreSettings(choices, typed);
  PageHooks hooks;
  PageWorkspace workspace;
  Stream job, page;
  for (const Picture& picture : pages) {
    std::vector<uint8_t> k(picture.grey.size());
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(255 - picture.grey[i]);
    RenderPage(PageLayout{picture.width, picture.rows, 8, picture.width, 1}, k, settings, hooks, workspace, page);
    job.insert(job.end(), page.begin(), page.end());
  }
  AppendJobEnd(job, settings);
  Bytes repeated;
  for (uint32_t c = 0; c < copies; ++c) repeated.insert(repeated.end(), job.begin(), job.end());
  return repeated;
}

class PrinterApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!SkipReason.empty()) return;
    fake_ = new FakePrinter();
    dying_ = new FakePrinter(Fault::ResetEach, 4096);
    flaky_ = new FakePrinter(Fault::ResetFirst, 8192);
    chatty_ = new FakePrinter(Fault::Chatty);
    stalled_ = new FakePrinter(Fault::StallFirst, 8192);
    status_ = new FakePrinter();
    server_ = new AppServer(TestDir("server"));
    server_->Start();
    // Nothing listens on port 1 of the private loopback: connections are refused.
    const std::pair<const char*, std::string> printers[] = {
        {"receipt -m escpos-80mm-203dpi", fake_->uri()}, {"narrow -m escpos-58mm-203dpi", fake_->uri()},
        {"offline -m escpos-80mm-203dpi", "socket://127.0.0.1:1"}, {"dying -m escpos-80mm-203dpi", dying_->uri()},
        {"watched -m escpos-80mm-203dpi", status_->uri()}, {"flaky -m escpos-80mm-203dpi", flaky_->uri()},
        {"chatty -m escpos-80mm-203dpi", chatty_->uri()},  {"stalled -m escpos-80mm-203dpi", stalled_->uri()}};
    for (const auto& [printer, uri] : printers)
      ASSERT_EQ(server_->Cli(std::string("add -d ") + printer + " -v " + uri).status, 0);
    // One printer per model, named after its driver.
    for (const PrinterModel& m : kModels)
      ASSERT_EQ(server_->Cli("add -d " + std::string(m.driver) + " -m " + std::string(m.driver) + " -v " + fake_->uri())
                    .status, 0);
    WritePng(File("wide.png"), MarkedPicture(kWide, 200));
    WritePdf(File("wide.pdf"), {MarkedPicture(kWide, 200)});
    WritePdf(File("small.pdf"), {MarkedPicture(300, 200)});
    WritePng(File("marked.png"), picture_);
    WritePng(File("framed.png"), framed_);
    WritePwg(File("marked.pwg"), {picture_});
    WritePwg(File("gapped.pwg"), {gapped_});
    WritePdf(File("marked.pdf"), {picture_});
    // The JPEG: Ghostscript's rendering of that PDF at the printer's resolution.
    ASSERT_EQ(Shell("gs -q -sDEVICE=jpeggray -r203 -o " + File("marked.jpg") + " " + File("marked.pdf")).status, 0);
    // Only an owner password: opens without one, so it prints.
    ASSERT_EQ(Shell("qpdf --encrypt '' owner 256 -- " + File("marked.pdf") + " " + File("owner.pdf")).status, 0);
  }
  static void TearDownTestSuite() {
    if (server_) {
      const auto stopping = std::chrono::steady_clock::now();
      EXPECT_EQ(server_->Stop(), 0) << ReadText(TestDir("server") + "/stdout");
      // PAPPL waits up to a minute for jobs in progress.
      EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(30)) << "the job held the server";
    }
    delete server_;
    delete fake_;
    delete dying_;
    delete status_;
    delete flaky_;
    delete chatty_;
    delete stalled_;
  }
  void SetUp() override {
    if (!SkipReason.empty()) GTEST_SKIP() << SkipReason;
  }

  static std::string File(const std::string& name) { return TestDir("docs") + "/" + name; }

  // Submits a document and returns how the job ended and what the printer
  // received on the job's connection.
  static Printed Print(Via via, const std::string& printer, const std::string& file, const std::string& appOptions = "",
                       const std::string& ippAttrs = "", FakePrinter* device = fake_) {
    WaitForIdle(printer);
    const size_t before = device->Connections();
    const std::string path = File(file);
    constexpr std::pair<const char*, const char*> kFormats[] = {
        {".png", "image/png"}, {".jpg", "image/jpeg"}, {".pdf", "application/pdf"},
        {".bin", "application/vnd.escpos"}, {".pwg", "image/pwg-raster"}};
    std::string format;
    for (auto [extension, type] : kFormats)
      if (file.ends_with(extension)) format = type;
    const RunResult r = via == Via::App ? server_->Cli("submit -d " + printer + " " + appOptions + " " + path)
                                        : IppTool(printer,
                                                  "  OPERATION Print-Job\n  ATTR mimeMediaType document-format " +
                                                      format + "\n  GROUP job-attributes-tag\n" + ippAttrs +
                                                      "\n  FILE $filename",
                                                  path);
    EXPECT_EQ(r.status, 0) << r.output;
    Printed p{WaitForJob(printer, JobIdIn(r.output)), {}};
    if (device->Connections() > before || p.end.state == IPP_JSTATE_COMPLETED) p.bytes = device->WaitForConnection(before);
    return p;
  }

  static inline FakePrinter* fake_ = nullptr;
  static inline FakePrinter* dying_ = nullptr;
  static inline FakePrinter* status_ = nullptr;  // answers status queries as a test sets
  static inline FakePrinter *flaky_ = nullptr, *chatty_ = nullptr, *stalled_ = nullptr;
  static inline AppServer* server_ = nullptr;
  static inline const Picture picture_ = MarkedPicture(kHead80, 400);
  // picture_ on a 200 mm page: 400 white rows above it, 800 below.
  static inline const Picture framed_ = [] {
    Picture p{kHead80, 1600, std::vector<uint8_t>(size_t{kHead80} * 1600, 255)};
    std::copy(picture_.grey.begin(), picture_.grey.end(), p.grey.begin() + 400 * kHead80);
    return p;
  }();
  // Blank runs off the band grid before, between and after two pictures.
  static inline const Picture gapped_ = [] {
    Picture p{kHead80, 2903, std::vector<uint8_t>(size_t{kHead80} * 2903, 255)};
    for (size_t at : {size_t{701}, size_t{1917}})
      std::copy(picture_.grey.begin(), picture_.grey.end(), p.grey.begin() + at * kHead80);
    return p;
  }();
};

// --- Every format and both widths print upright, unmirrored and as long as
// their content; lossless pages at the head width give the core's bytes. ---

TEST_F(PrinterApp, DocumentsPrintUprightAtContentLength) {
  // blockRows: 48 at full size; exact: the core's bytes for the picture;
  // head: the dots that print (the bands are whole 32-dot words); feed: the
  // default feed, 15 mm, to the nearest of the model's feed units.
  struct Case { Via via; std::string printer; const char* file; uint32_t head; int blockRows; bool exact;
                const PrinterModel& model = kDefaultModel; };
  std::vector<Case> cases = {
      {Via::App, "receipt", "marked.png", 576, 48, true},    {Via::IppTool, "receipt", "marked.png", 576, 48, true},
      {Via::App, "receipt", "marked.jpg", 576, 48, false},   {Via::App, "receipt", "marked.pwg", 576, 48, true},
      {Via::IppTool, "receipt", "marked.pwg", 576, 48, true},
      {Via::App, "receipt", "marked.pdf", 576, 48, true},    {Via::IppTool, "receipt", "owner.pdf", 576, 48, true},
      {Via::App, "narrow", "marked.png", 384, 32, false},    // scaled down to the head
      {Via::IppTool, "narrow", "marked.pwg", 384, 48, false},  // cut to the middle of the head
  };
  // Every model: a picture and a PDF page wider than its head, fitted to it.
  for (const PrinterModel& m : kModels)
    for (const char* file : {"wide.png", "wide.pdf"})
      cases.push_back({Via::App, std::string(m.driver), file, m.headDots,
                       static_cast<int>(48 * m.headDots / kWide), false, m});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printer + " " + c.file + (c.via == Via::App ? " submit" : " ipptool"));
    const Printed p = Print(c.via, c.printer, c.file);
    ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
    const escpos::Paper paper = escpos::decode(p.bytes);
    ASSERT_FALSE(paper.error) << paper.error->message;
    EXPECT_EQ(paper.width(), static_cast<int>(BitmapStride(c.head) * 8));
    // The picture reaches the head's last dot and not one dot past it.
    EXPECT_GT(paper.dotsIn(c.head - 1, 0, c.head, paper.height()), 0);
    EXPECT_EQ(paper.dotsIn(c.head, 0, paper.width(), paper.height()), 0);
    const Reading r = Read(paper);
    EXPECT_TRUE(r.blockLeft) << "mirrored or turned";
    EXPECT_NEAR(r.blockRows, c.blockRows, 3) << "turned upside down or shrunk";
    EXPECT_LE(r.leadingBlank, 3 * 8 + 23);
    EXPECT_LE(r.trailingBlank, 23);
    const double motionMm = 254.0 / c.model.motionPer254Mm;
    EXPECT_NEAR(paper.fedRows() * motionMm, kDefaultFeed / 8.0, motionMm / 2) << paper.fedRows() << " feed units";
    if (c.exact) {
      EXPECT_EQ(p.bytes, CoreBytes({picture_}));
    }
  }
  // A page narrower than the head keeps its size in millimetres (centred):
  // 300 dots at 203 dpi are 266 at 180.
  const Printed small = Print(Via::App, "escpos-80mm-180dpi", "small.pdf");
  ASSERT_EQ(small.end.state, IPP_JSTATE_COMPLETED) << small.end.message;
  const escpos::Paper smallPaper = escpos::decode(small.bytes);
  const auto inked = [&](int x) { return smallPaper.dotsIn(x, 0, x + 1, smallPaper.height()) > 0; };
  int left = 0, right = smallPaper.width() - 1;
  while (left < right && !inked(left)) ++left;
  while (right > left && !inked(right)) --right;
  EXPECT_NEAR(right + 1 - left, 300 * 180 / 203, 1);
  // Only the raster type that prints right is offered.
  const std::string types = AttributeOnce("receipt", "pwg-raster-document-type-supported", "sgray_8");
  EXPECT_EQ(types, "pwg-raster-document-type-supported (keyword) = sgray_8");
  // A PDF of text and lines: the same bytes from the command line and from an
  // IPP client, each of its two 200 mm pages cut to its content.
  std::filesystem::copy_file(std::string(LABELFILTER_SOURCE_DIR) + "/samples/receipt.pdf", File("receipt.pdf"),
                             std::filesystem::copy_options::overwrite_existing);
  const Printed submitted = Print(Via::App, "receipt", "receipt.pdf");
  ASSERT_EQ(submitted.end.state, IPP_JSTATE_COMPLETED) << submitted.end.message;
  EXPECT_EQ(submitted.bytes, Print(Via::IppTool, "receipt", "receipt.pdf").bytes);
  const escpos::Paper paper = escpos::decode(submitted.bytes);
  EXPECT_EQ(paper.width(), 576);
  EXPECT_GT(paper.height(), 600);
  EXPECT_LT(paper.height(), 2 * 1598);
}

// --- Each option gives the bytes of the PPD choice it stands for. ---

TEST_F(PrinterApp, EachOptionSendsTheFiltersBytes) {
  // ippAttrs: sent with ipptool when set; choices: the PPD choices it stands
  // for; typed: the values of choices the PPD does not offer; paperRows: the
  // paper's length, feed included, when it is checked.
  struct Case { std::string appOptions; const char* ippAttrs; std::map<std::string, std::string> choices;
                uint32_t copies = 1; const char* file = "marked.png"; int paperRows = 0;
                std::vector<TypedValue> typed = {}; };
  std::vector<Case> cases = {
      {"", nullptr, {}},
      {"", "ATTR keyword print-content-optimize text", {{"Dithering", "None"}}},
      {"", "ATTR keyword print-content-optimize graphic", {{"Dithering", "Halftone"}}},
      {"", "ATTR keyword print-content-optimize text ATTR keyword dithering error-diffusion", {}},
      {"", "ATTR enum finishings 11", {{"Cutting", "1"}}},  // trim
      {"", "ATTR keyword cash-drawer after", {{"CashDrawer", "2"}}},
      {"", "ATTR integer feed-after 0", {{"FeedAfterPrinting", "0"}}},
      {"", "ATTR boolean negative-image true", {{"NegativeImage", "True"}}},
      // The 3 mm lead-in prints black as the rest of the background; the 800
      // rows below the picture are not sent.
      {"-o negative-image=true", nullptr, {{"NegativeImage", "True"}}, 1, "framed.png", 432 + kDefaultFeed},
      {"", "ATTR integer print-darkness 100", {{"PrintDensity", "8"}}},
      {"-o print-darkness=30", nullptr, {{"PrintDensity", "3"}}},
      {"", "ATTR collection media-col { MEMBER keyword media-tracking mark }", {{"PageEnd", "2"}}},
      {"", "ATTR enum orientation-requested 6", {{"Origin", "Rotation180"}}},
      // A picture turned a quarter prints across the roll.
      {"", "ATTR enum orientation-requested 4", {{"Origin", "Rotation90"}}},
      {"", "ATTR enum orientation-requested 5", {}, 1, "marked.png", 0,
       {{OptionByIppName("orientation-requested"), static_cast<int>(Rotation::QuarterTurnBack)}}},
      {"-o copies=2", nullptr, {}, 2},
      {"-o cutter=sideways", nullptr, {}},  // unknown: the default, and a log line
      // Streamed raster pages, blank runs and all.
      {"-o dithering=threshold -o negative-image=true -o mirror-image=true", nullptr,
       {{"Dithering", "None"}, {"NegativeImage", "True"}, {"MirrorImage", "True"}}, 1, "gapped.pwg"},
      {"-o dithering=halftone -o leading-blank=keep -o copies=2", nullptr,
       {{"Dithering", "Halftone"}, {"LeadingBlank", "Keep"}}, 2, "gapped.pwg"},
      {"-o dithering=ordered-8x8", nullptr, {}, 1, "gapped.pwg", 0,
       {{OptionByIppName("dithering"), static_cast<int>(Dithering::Bayer8x8)}}},
  };
  // Every keyword of the application's own options: the PPD choice it
  // shares, or the value of its own.
  for (const JobOption* option : VendorOptions()) {
    const std::string name(option->ippName);
    const auto add = [&](std::string_view ipp, std::string_view ppd, int value) {
      if (ppd.empty())
        cases.push_back({"-o " + name + "=" + std::string(ipp), nullptr, {}, 1, "marked.png", 0, {{option, value}}});
      else
        cases.push_back({"-o " + name + "=" + std::string(ipp), nullptr, {{std::string(option->ppdKeyword), std::string(ppd)}}});
    };
    if (!option->apply || option->ppdKeyword.empty()) continue;  // raw jobs' setting
    switch (option->kind) {
      case JobOption::Kind::Choices:
        for (const OptionChoice& c : option->choices)
          if (!c.ipp.empty() && c.value != kDitheringFollowsContent) add(c.ipp, c.ppd, c.value);
        break;
      case JobOption::Kind::Number:
        for (int n : {option->lower, 6, option->upper}) add(std::to_string(n), std::to_string(n), n);
        break;
      case JobOption::Kind::Boolean:
        add("true", "True", 1), add("false", "False", 0);
        break;
    }
  }
  Bytes landscape, reverseLandscape;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ippAttrs ? c.ippAttrs : c.appOptions);
    std::string attrs = c.ippAttrs ? c.ippAttrs : "";
    for (size_t at; (at = attrs.find(" ATTR ")) != std::string::npos;) attrs[at] = '\n';
    const Printed p = Print(c.ippAttrs ? Via::IppTool : Via::App, "receipt", c.file, c.appOptions, "  " + attrs);
    ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
    const std::string file = c.file;
    EXPECT_EQ(p.bytes, CoreBytes({file == "framed.png" ? framed_ : file == "gapped.pwg" ? gapped_ : picture_}, c.choices,
                                 c.copies, c.typed));
    if (c.ippAttrs && std::string(c.ippAttrs).ends_with("orientation-requested 4")) landscape = p.bytes;
    if (c.ippAttrs && std::string(c.ippAttrs).ends_with("orientation-requested 5")) reverseLandscape = p.bytes;
    if (c.paperRows) {
      const escpos::Paper paper = escpos::decode(p.bytes);
      EXPECT_EQ(paper.height(), c.paperRows);
      EXPECT_EQ(paper.dotsIn(0, 0, paper.width(), 24), long{24 * kHead80});
    }
  }
  EXPECT_NE(server_->Log().find("cutter=sideways is not supported; using job"), std::string::npos);
  // Reverse landscape is landscape turned half round, dot for dot.
  const escpos::Paper turned = escpos::decode(landscape), back = escpos::decode(reverseLandscape);
  const auto inkedBox = [](const escpos::Paper& paper) {
    int x0 = paper.width(), y0 = paper.height(), x1 = -1, y1 = -1;
    for (int y = 0; y < paper.height(); ++y)
      for (int x = 0; x < paper.width(); ++x)
        if (paper.dot(x, y)) x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    return std::array<int, 4>{x0, y0, x1, y1};
  };
  const auto a = inkedBox(turned), b = inkedBox(back);
  ASSERT_EQ(a[2] - a[0], b[2] - b[0]);
  ASSERT_EQ(a[3] - a[1], b[3] - b[1]);
  ASSERT_GT(a[2], a[0]);
  long differing = 0;
  for (int y = 0; y <= a[3] - a[1]; ++y)
    for (int x = 0; x <= a[2] - a[0]; ++x) differing += turned.dot(a[0] + x, a[1] + y) != back.dot(b[2] - x, b[3] - y);
  EXPECT_EQ(differing, 0);
}

// Copies are collated: the whole two-page job, then the whole job again,
// each copy ending as the cutter says.
TEST_F(PrinterApp, CopiesRepeatTheWholeJob) {
  const Picture second = MarkedPicture(kHead80, 200);
  WritePwg(File("two-pages.pwg"), {picture_, second});
  const Printed twice = Print(Via::App, "receipt", "two-pages.pwg", "-o copies=2");
  EXPECT_EQ(twice.bytes, CoreBytes({picture_, second}, {}, 2));
  const Printed thrice = Print(Via::App, "receipt", "two-pages.pwg", "-o copies=3 -o cutter=page");
  EXPECT_EQ(thrice.bytes, CoreBytes({picture_, second}, {{"Cutting", "1"}}, 3));
  EXPECT_EQ(escpos::decode(thrice.bytes).cutRows().size(), 6u);
}

// --- Printer defaults: modify and Set-Printer-Attributes both reach jobs
// that do not choose, and survive a restart. ---

TEST_F(PrinterApp, DefaultsChangeLaterJobsAndSurviveRestart) {
  auto setDefaults = [](const std::string& attrs) {
    const RunResult r = IppTool("receipt", "  OPERATION Set-Printer-Attributes\n  GROUP printer-attributes-tag\n" + attrs);
    ASSERT_EQ(r.status, 0) << r.output;
  };
  // Two defaults from the command line, two over IPP.
  ASSERT_EQ(server_->Cli("modify -d receipt -o cutter-default=none -o cash-drawer-default=after").status, 0);
  setDefaults("  ATTR keyword dithering-default threshold\n  ATTR integer feed-after-default 2");
  const std::map<std::string, std::string> changed = {
      {"Cutting", "0"}, {"CashDrawer", "2"}, {"Dithering", "None"}, {"FeedAfterPrinting", "2"}};
  EXPECT_EQ(Print(Via::IppTool, "receipt", "marked.pwg").bytes, CoreBytes({picture_}, changed));

  EXPECT_EQ(server_->Stop(), 0) << "crashed, or leaked in a sanitizer build:\n" << ReadText(TestDir("server") + "/stdout");
  server_->Start();
  EXPECT_EQ(Print(Via::App, "receipt", "marked.png").bytes, CoreBytes({picture_}, changed));

  const std::string reset = "-o cutter-default=job -o cash-drawer-default=none -o dithering-default=auto";
  ASSERT_EQ(server_->Cli("modify -d receipt " + reset + " -o feed-after-default=4").status, 0);
  // The standard attributes' defaults, which PAPPL resolves itself.
  setDefaults("  ATTR keyword print-content-optimize-default text\n  ATTR integer print-darkness-default 50");
  EXPECT_EQ(Print(Via::App, "receipt", "marked.png").bytes,
            CoreBytes({picture_}, {{"Dithering", "None"}, {"PrintDensity", "4"}}));
  setDefaults("  ATTR keyword print-content-optimize-default auto\n  ATTR integer print-darkness-default 0");
  EXPECT_EQ(Print(Via::App, "receipt", "marked.png").bytes, CoreBytes({picture_}));

  // Values a default does not offer are not kept: PAPPL stores them, and they
  // are set back to the driver's default within a second or two.
  const std::pair<std::string, const char*> unsupported[] = {
      {"ATTR integer feed-after-default 99", "feed-after-default (integer) = 4"},
      {"ATTR keyword dithering-default bogus", "dithering-default (keyword) = auto"},
      {"ATTR keyword cutter-default " + std::string(250, 'x'), "cutter-default (keyword) = job"},
      {"ATTR keyword raw-drawer-kicks-default sometimes", "raw-drawer-kicks-default (keyword) = keep"}};
  for (const auto& [attr, reset] : unsupported) {
    SCOPED_TRACE(attr.substr(0, 50));
    setDefaults("  " + attr);
    const std::string name = std::string(reset).substr(0, std::string(reset).find(' '));
    EXPECT_EQ(AttributeOnce("receipt", name, reset), reset);
    EXPECT_NE(server_->Log().find(name + "=\"" + attr.substr(attr.rfind(' ') + 1, 40) + "\" is not one of the values"),
              std::string::npos);
  }
}

// --- labelfilter's printer page in headless Chromium, driven over
// WebDriver by chromedriver (its HTTP API, spoken with curl). ---

// The string (escapes kept as they are) or number after "key": in a JSON
// text, or "".
std::string JsonField(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  at = json.find_first_not_of(' ', at + key.size() + 3);
  if (at == std::string::npos) return "";
  if (json[at] != '"') return json.substr(at, json.find_first_of(",}", at) - at);
  size_t end = at + 1;
  while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
  return json.substr(at + 1, end - at - 1);
}

class Browser {
 public:
  explicit Browser(std::string dir) : dir_(std::move(dir)) {
    Shell("HOME=" + dir_ + " chromedriver --port=9515 >" + dir_ + "/chromedriver.log 2>&1 & echo $! >" + dir_ +
          "/pid; for i in $(seq 100); do curl -sf http://127.0.0.1:9515/status >/dev/null && break; sleep 0.1; done");
    session_ = JsonField(Call("POST", "", R"({"capabilities": {"alwaysMatch": {"goog:chromeOptions": {"binary": )"
                                          R"("/usr/bin/chromium", "args": ["--headless=new", "--no-sandbox", )"
                                          R"("--window-size=1200,1250", "--user-data-dir=)" + dir_ + "/profile\"]}}}}"),
                         "sessionId");
  }
  ~Browser() {
    if (!session_.empty()) Call("DELETE", "", "");
    Shell("kill $(cat " + dir_ + "/pid)");
  }
  bool Started() const { return !session_.empty(); }
  std::string Call(const std::string& method, const std::string& path, const std::string& body) {
    std::ofstream(dir_ + "/request.json") << body;
    return Shell("curl -s -m 120 -X " + method + " -H 'Content-Type: application/json' " +
                 (body.empty() ? "" : "--data-binary @" + dir_ + "/request.json ") + "http://127.0.0.1:9515/session" +
                 (session_.empty() ? "" : "/" + session_) + path)
        .output;
  }
  void Go(const std::string& url) { Call("POST", "/url", "{\"url\": \"" + url + "\"}"); }
  // Clicks the element a CSS selector finds, as a user would.
  void Click(const std::string& css) {
    const std::string found = Call("POST", "/element", "{\"using\": \"css selector\", \"value\": \"" + css + "\"}");
    Call("POST", "/element/" + JsonField(found, "element-6066-11e4-a52e-4f735466cecf") + "/click", "{}");
  }
  std::string Run(const std::string& script) {
    return JsonField(Call("POST", "/execute/sync", "{\"script\": \"" + script + "\", \"args\": []}"), "value");
  }
  void Screenshot(const std::string& png) {
    std::ofstream(dir_ + "/shot.b64") << JsonField(Call("GET", "/screenshot", ""), "value");
    Shell("base64 -d " + dir_ + "/shot.b64 >" + png);
  }

 private:
  std::string dir_, session_;
};

// The drawer default set through the page's form reaches the next job, and
// the page shows that job. Printers loaded from the state file have the
// page too. Forms the page did not make change nothing.
TEST_F(PrinterApp, BrowserSetsDrawerDefaultAndShowsPreview) {
  if (access("/usr/bin/chromedriver", X_OK) != 0) GTEST_SKIP() << "chromedriver is not installed (chromium-driver)";
  EXPECT_EQ(server_->Stop(), 0);
  server_->Start();
  const std::string home = "http://localhost:" + std::to_string(AppServer::kPort) + "/receipt/";
  const std::pair<std::string, const char*> forged[] = {
      {Shell("curl -s -d cash-drawer=after " + home + "labelfilter").output, "Invalid form submission."},
      {HttpGet("/receipt/labelfilter", "cash-drawer=sideways"), "&quot;sideways&quot; is not one of the choices"}};
  for (const auto& [page, banner] : forged) EXPECT_NE(page.find(banner), std::string::npos) << page;
  EXPECT_NE(forged[0].first.find("No job has been printed since the server started."), std::string::npos);

  Browser browser(TestDir("browser"));
  ASSERT_TRUE(browser.Started()) << ReadText(TestDir("browser") + "/chromedriver.log");
  browser.Go(home);
  browser.Click("a[href='/receipt/labelfilter']");
  EXPECT_EQ(browser.Run("return document.querySelector('#cash-drawer').value"), "none");
  browser.Click("#cash-drawer option[value=after]");
  browser.Click("#form input[type=submit]");
  EXPECT_NE(browser.Run("return document.body.innerText").find("Changes saved."), std::string::npos) << browser.Run("return document.body.innerText");

  const Printed p = Print(Via::App, "receipt", "marked.png");
  EXPECT_EQ(escpos::decode(p.bytes).count(escpos::EventKind::DrawerPulse), 1u);
  EXPECT_NE(ReadText(TestDir("server") + "/state").find("cash-drawer-default after"), std::string::npos);
  browser.Go(home + "labelfilter");
  EXPECT_EQ(browser.Run("return document.querySelector('#preview').naturalWidth"), std::to_string(kHead80));
  browser.Screenshot(LABELFILTER_BINARY_DIR "/tests/app/printer-page.png");
  ASSERT_EQ(server_->Cli("modify -d receipt -o cash-drawer-default=none").status, 0);
}

// --- Faults: each job ends aborted with a clear message, the server lives
// on and the next job prints. ---

TEST_F(PrinterApp, FaultsAbortTheJobOnly) {
  std::ofstream(File("corrupt.png")) << "\x89PNG\r\n\x1a\n" << std::string(64, 'x');
  WritePwg(File("endless.pwg"), {MarkedPicture(kHead80, 50)}, 100000);
  Picture noise{kHead80, 6000, std::vector<uint8_t>(kHead80 * 6000)};
  for (size_t i = 0; i < noise.grey.size(); ++i) noise.grey[i] = static_cast<uint8_t>(i * 7919 % 251);
  WritePwg(File("noise.pwg"), {noise});
  WritePwg(File("one-bit.pwg"), {picture_}, {}, true);
  std::ofstream(File("corrupt.pdf")) << "%PDF-1.4\n" << std::string(64, 'x');
  const std::string pdfs = "qpdf --encrypt user owner 256 -- " + File("marked.pdf") + " " + File("locked.pdf") +
                           " && gs -q -o " + File("long.pdf") + " -sDEVICE=pdfwrite -dDEVICEWIDTHPOINTS=204 "
                           "-dDEVICEHEIGHTPOINTS=400 -c 'showpage <</PageSize [204 11400]>> setpagedevice showpage'";
  ASSERT_EQ(Shell(pdfs).status, 0);
  // message: part of the job's state message; silent: nothing at all reaches the printer.
  struct Case { const char *printer, *file; FakePrinter* device; const char* message; bool silent; };
  const Case cases[] = {
      {"receipt", "corrupt.png", fake_, "the PNG file is damaged", true},
      {"receipt", "endless.pwg", fake_, "page 1 is 100000 rows long", true},
      {"receipt", "one-bit.pwg", fake_, "page 1 is not 8-bit grey (sgray_8)", true},  // not stripes
      {"receipt", "corrupt.pdf", fake_, "the PDF file is damaged", true},
      {"receipt", "locked.pdf", fake_, "the PDF is protected by a password", true},
      {"receipt", "long.pdf", fake_, "page 2 is 32142 rows long", false},  // 4 m: the first page prints
      {"offline", "marked.png", fake_, "127.0.0.1:1 cannot be reached (Connection refused, 4 tries)", true},
      {"dying", "noise.pwg", dying_, "the printer at 127.0.0.1:", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const size_t before = c.device->Connections();
    const Printed p = Print(Via::App, c.printer, c.file, "", "", c.device);
    EXPECT_EQ(p.end.state, IPP_JSTATE_ABORTED);
    EXPECT_EQ(c.device->Connections() == before, c.silent);
    EXPECT_NE(p.end.message.find(c.message), std::string::npos) << p.end.message;
    EXPECT_NE(server_->Log().find(c.message), std::string::npos);
    ASSERT_TRUE(server_->Alive());
    EXPECT_EQ(Print(Via::App, "receipt", "marked.png").bytes, CoreBytes({picture_}));
  }
}

// --- A Cancel-Job that meets a job as it starts ends that job, cancelled,
// and nothing else: PAPPL 1.3 may have taken the document away by then. The
// pairs are sent back to back on one connection, each format a few times. ---

TEST_F(PrinterApp, CancelAsTheJobStartsEndsOnlyThatJob) {
  const std::string cancel =
      "  STATUS successful-ok\n  DISPLAY job-id\n}\n{\n  OPERATION Cancel-Job\n  GROUP operation-attributes-tag\n"
      "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
      "  ATTR uri printer-uri $uri\n  ATTR integer job-id $job-id\n  ATTR name requesting-user-name tester\n"
      "  STATUS client-error-not-possible";  // too late: the job has ended
  constexpr std::pair<const char*, const char*> kDocuments[] = {
      {"marked.jpg", "image/jpeg"}, {"marked.png", "image/png"}, {"marked.pdf", "application/pdf"},
      {"marked.pwg", "image/pwg-raster"}};
  for (int round = 0; round < 6; ++round)
    for (const auto& [file, format] : kDocuments) {
      SCOPED_TRACE(std::string(file) + ", round " + std::to_string(round));
      WaitForIdle("receipt");
      const RunResult r = IppTool(
          "receipt", std::string("  OPERATION Print-Job\n  ATTR mimeMediaType document-format ") + format +
                         "\n  FILE $filename\n" + cancel, File(file));
      EXPECT_EQ(r.status, 0) << r.output;
      const JobEnd end = WaitForJob("receipt", JobIdIn(r.output));
      EXPECT_TRUE(end.state == IPP_JSTATE_CANCELED || end.state == IPP_JSTATE_COMPLETED) << end.state << end.message;
      ASSERT_TRUE(server_->Alive()) << server_->Log();
    }
  EXPECT_EQ(server_->Log().find("Internal error"), std::string::npos);
  EXPECT_EQ(Print(Via::App, "receipt", "marked.png").bytes, CoreBytes({picture_}));
}

// --- A printer that misbehaves on the wire: a long job, and a short one
// queued behind it while PAPPL keeps the device open. Every byte of a job
// that completes reaches the printer; a reset or a cancel ends only its own
// job, which ends within seconds of the cancel even when the printer has
// stopped reading; the job behind it prints whole. ---

TEST_F(PrinterApp, SocketFaultsLoseNoByteAndSpareTheNextJob) {
  const Picture longer{kHead80, 6000, std::vector<uint8_t>(size_t{kHead80} * 6000, 0)};
  WritePng(File("long.png"), longer);
  const Bytes longBytes = CoreBytes({longer});
  struct Case { const char* printer; FakePrinter* device; bool cancel; ipp_jstate_t first; const char* message; };
  const Case cases[] = {
      {"flaky", flaky_, false, IPP_JSTATE_ABORTED, "the printer at 127.0.0.1:"},
      {"chatty", chatty_, false, IPP_JSTATE_COMPLETED, ""},
      {"stalled", stalled_, true, IPP_JSTATE_CANCELED, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printer);
    WaitForIdle(c.printer);
    const size_t before = c.device->Connections();
    const RunResult first = server_->Cli(std::string("submit -d ") + c.printer + " " + File("long.png"));
    const RunResult second = server_->Cli(std::string("submit -d ") + c.printer + " " + File("marked.png"));
    ASSERT_EQ(first.status + second.status, 0) << first.output << second.output;
    auto cancelled = std::chrono::steady_clock::now();
    if (c.cancel) {
      for (int i = 0; i < 300 && c.device->Received() < 8192; ++i) usleep(100000);
      sleep(1);  // the job's writes now wait for the printer
      // Counted from the answer to the cancel: starting the client is no
      // part of the job's ending, and takes seconds in a loaded sanitizer build.
      EXPECT_EQ(server_->Cli(std::string("cancel -d ") + c.printer + " -j " + std::to_string(JobIdIn(first.output))).status, 0);
      cancelled = std::chrono::steady_clock::now();
    }
    const JobEnd end = WaitForJob(c.printer, JobIdIn(first.output));
    EXPECT_EQ(end.state, c.first) << end.message;
    if (c.cancel) {
      EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(5));
    }
    EXPECT_NE(end.message.find(c.message), std::string::npos) << end.message;
    if (c.first == IPP_JSTATE_COMPLETED) {
      EXPECT_EQ(c.device->WaitForConnection(before), longBytes);
    }
    EXPECT_EQ(WaitForJob(c.printer, JobIdIn(second.output)).state, IPP_JSTATE_COMPLETED);
    EXPECT_EQ(c.device->WaitForConnection(before + 1), CoreBytes({picture_}));
  }
}

// --- Printer status: the answers to DLE EOT show as printer-state-reasons
// and clear again; silence shows nothing and prints as before; a job that
// meets the end of the roll waits, and resumes without losing or repeating
// a band. ---

// Whether printer-state-reasons comes to show `want` (PAPPL asks an idle
// printer at most every 2 s).
bool Shows(const char* want) {
  return AttributeOnce("watched", "printer-state-reasons", want).find(want) != std::string::npos;
}

// Whether the roll shows as the printer's supply at `level` (printer-supply).
bool RollAt(int level) {
  const std::string want = "level=" + std::to_string(level) + ";";
  return AttributeOnce("watched", "printer-supply", want).find(want) != std::string::npos;
}

TEST_F(PrinterApp, PrinterStatusShowsAndPaperOutWaits) {
  constexpr StatusAnswers kReady = kPrinterReady, kPaperOut = {0x1A, 0x32, 0x12, 0x72};
  // shows: the reason; level: the paper roll's supply level, from the paper sensors.
  struct Case { StatusAnswers answers; const char* shows; int level; };
  const Case cases[] = {
      {kPaperOut, "= media-empty", 0},                 {{0x12, 0x12, 0x12, 0x1E}, "= media-low", 10},
      {{0x1A, 0x16, 0x12, 0x12}, "= cover-open", 100}, {{0x1A, 0x12, 0x12, 0x12}, "= offline", 100},
      {{0x1A, 0x52, 0x1A, 0x12}, "= other", 100},  // a cutter error
      {kReady, "= none", 100},
  };
  // Each reason replaces the one before it.
  for (const Case& c : cases) {
    status_->Answer(c.answers);
    EXPECT_TRUE(Shows(c.shows)) << c.shows;
    EXPECT_TRUE(RollAt(c.level)) << c.shows;
  }

  // A dense page: 100 bands, far more than a job sends between questions.
  const Picture black{kHead80, 2400, std::vector<uint8_t>(kHead80 * 2400, 0)};
  WritePng(File("black.png"), black);
  const Bytes expected = CoreBytes({black});
  // Silence clears what was shown, and a job asks once and prints as before.
  status_->Answer(kPaperOut);
  Shows("media-empty");
  status_->Answer(std::nullopt);
  EXPECT_TRUE(Shows("= none"));
  EXPECT_TRUE(RollAt(-1));  // unknown
  const size_t silentJob = status_->Connections();
  EXPECT_EQ(Print(Via::App, "watched", "black.png", "", "", status_).bytes, expected);
  EXPECT_EQ(status_->QueriesIn(silentJob), 4u);

  // The roll runs out at the 10th band; then a job is cancelled while it
  // waits, and one waits until the paper is back.
  status_->Answer(kReady);
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled" : "paper back");
    Shows("= none");  // the last job's media-empty has gone
    status_->Answer(kPaperOut, 10);
    WaitForIdle("watched");
    const size_t connection = status_->Connections();
    // PNG: submit returns once the file is spooled (a PWG job is printed while it is sent).
    const RunResult r = server_->Cli("submit -d watched " + File("black.png"));
    ASSERT_EQ(r.status, 0) << r.output;
    const int job = JobIdIn(r.output);
    EXPECT_TRUE(Shows("media-empty"));
    const size_t received = status_->Received();
    sleep(2);
    EXPECT_EQ(status_->Received(), received) << "sent on without paper";
    EXPECT_LT(received, expected.size());
    const std::string waiting = "job-state-message (textWithoutLanguage) = Waiting: the printer is out of paper.";
    EXPECT_EQ(AttributeOnce("watched", "job-state-message", "Waiting", job), waiting);
    if (cancel) {
      ASSERT_EQ(server_->Cli("cancel -d watched -j " + std::to_string(job)).status, 0);
    }
    status_->Answer(kReady);
    EXPECT_EQ(WaitForJob("watched", job).state, cancel ? IPP_JSTATE_CANCELED : IPP_JSTATE_COMPLETED);
    EXPECT_EQ(status_->WaitForConnection(connection) == expected, !cancel);
  }
  EXPECT_TRUE(Shows("= none"));
}

// A system operation (Get-Printers, Delete-Printer) with `attrs` added.
RunResult SystemOperation(const std::string& operation, const std::string& attrs) {
  const std::string path = TestDir("ipptool") + "/system.test";
  std::ofstream(path) << "{\n  OPERATION " << operation << "\n  GROUP operation-attributes-tag\n"
                         "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
                         "  ATTR uri system-uri $uri\n  ATTR name requesting-user-name tester\n"
                      << attrs << "\n  STATUS successful-ok\n  DISPLAY printer-name\n}\n";
  return Shell("ipptool -tv ipp://localhost:" + std::to_string(AppServer::kPort) + "/ipp/system " + path);
}

// A job that waits for paper ends when its printer is deleted, and when the
// server shuts down; the server stops cleanly and brings its printers back.
TEST_F(PrinterApp, DeletedPrinterOrStoppedServerEndsAWaitingJob) {
  constexpr StatusAnswers kPaperOut = {0x1A, 0x32, 0x12, 0x72};
  // Delete-Printer names a printer by its printer-id, which PAPPL 1.3.1
  // reports as 0 for printers added since the start. IDs are given in turn
  // and none has been deleted yet: the next is one more than the printers.
  const std::string listed = SystemOperation("Get-Printers", "").output;
  int printerId = 1;
  for (size_t at = listed.find("printer-name ("); at != std::string::npos; at = listed.find("printer-name (", at + 1))
    ++printerId;
  for (const bool deletePrinter : {false, true}) {
    SCOPED_TRACE(deletePrinter ? "printer deleted" : "server stopped");
    ASSERT_EQ(server_->Cli("add -d doomed -m escpos-80mm-203dpi -v " + status_->uri()).status, 0);
    status_->Answer(kPaperOut);
    const RunResult r = server_->Cli("submit -d doomed " + File("marked.png"));
    ASSERT_EQ(r.status, 0) << r.output;
    const int job = JobIdIn(r.output);
    const std::string waiting = AttributeOnce("doomed", "job-state-message", "Waiting", job);
    EXPECT_NE(waiting.find("out of paper"), std::string::npos) << waiting << r.output;
    if (deletePrinter) {
      // Over IPP: the web page refuses a busy printer, and PAPPL 1.3.1's
      // "delete" command finds no printer-id.
      EXPECT_EQ(SystemOperation("Delete-Printer", "  ATTR integer printer-id " + std::to_string(printerId++)).status, 0);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (IppTool("doomed", "  OPERATION Get-Printer-Attributes").status == 0 &&
             std::chrono::steady_clock::now() < deadline)
        usleep(200000);
      EXPECT_NE(IppTool("doomed", "  OPERATION Get-Printer-Attributes").status, 0) << "the printer is still there";
    } else {
      const auto stopping = std::chrono::steady_clock::now();
      EXPECT_EQ(server_->Stop(), 0) << ReadText(TestDir("server") + "/stdout");
      // PAPPL waits up to a minute for jobs in progress.
      EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(30)) << "the job held the server";
      server_->Start();
      EXPECT_EQ(SystemOperation("Delete-Printer", "  ATTR integer printer-id " + std::to_string(printerId++)).status, 0);
    }
    status_->Answer(kPrinterReady);
    ASSERT_TRUE(server_->Alive());
  }
  EXPECT_EQ(Print(Via::App, "receipt", "marked.png").bytes, CoreBytes({picture_}));
}

// PAPPL's own device schemes stay beside the application's socket://: a
// file:// printer (a folder, one file a job) gets the job's bytes.
TEST_F(PrinterApp, FileDeviceGetsTheJob) {
  const std::string dir = TestDir("file-device");
  ASSERT_EQ(server_->Cli("add -d filed -m escpos-80mm-203dpi -v file://" + dir).status, 0);
  const RunResult r = server_->Cli("submit -d filed " + File("marked.png"));
  ASSERT_EQ(r.status, 0) << r.output;
  const JobEnd end = WaitForJob("filed", JobIdIn(r.output));
  EXPECT_EQ(end.state, IPP_JSTATE_COMPLETED) << end.message;
  std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(dir), {});
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = ReadText(files[0]);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), CoreBytes({picture_}));
}

// ESC/POS that point-of-sale software writes itself goes to the printer as
// it is, whatever it holds: typed by its first bytes from the command line,
// named application/vnd.escpos from IPP clients.
TEST_F(PrinterApp, RawEscposGoesOutUntouched) {
  const std::string formats = AttributeOnce("receipt", "document-format-supported", "application/vnd.escpos");
  EXPECT_NE(formats.find("application/pdf"), std::string::npos) << formats;
  Bytes raw = CoreBytes({picture_});
  for (int b = 0; b < 256; ++b) raw.push_back(static_cast<uint8_t>(b));
  std::ofstream(File("raw.bin"), std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
  for (Via via : {Via::App, Via::IppTool}) {
    const Printed p = Print(via, "receipt", "raw.bin");
    EXPECT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
    EXPECT_EQ(p.bytes, raw);
  }

  // A printer set to drop drawer kicks leaves out ESC p and DLE DC4 1, and
  // only those: the same bytes in picture data and barcodes stay. A command
  // whose length is unknown could hide one: the job is refused whole.
  ASSERT_EQ(server_->Cli("modify -d receipt -o raw-drawer-kicks-default=drop").status, 0);
  const Bytes kick = {0x1B, 0x70, 0x00, 0x19, 0xFA}, dle = {0x10, 0x14, 0x01, 0x00, 0x05};
  Bytes band = {0x1D, 0x76, 0x30, 0x00, 0x05, 0x00, 0x02, 0x00};
  band.insert(band.end(), kick.begin(), kick.end());
  band.insert(band.end(), dle.begin(), dle.end());
  Bytes barcode = {0x1D, 0x6B, 0x49, 0x05};  // CODE128, 5 bytes
  barcode.insert(barcode.end(), kick.begin(), kick.end());
  const Bytes text = {0x1B, 0x40, 'T', 'o', 't', 'a', 'l', 0x0A, 0x1D, 0x56, 0x42, 0x03};
  struct Case { std::vector<Bytes> parts; Bytes expected; const char* refusal; };
  const Case cases[] = {
      {{text, kick, band, dle, barcode, text}, {}, nullptr},
      {{text, {0x1B, 0x28}}, {}, "the document ends inside an ESC/POS command"},
      {{text, {0x1D, 0x99, 0x01}, kick}, {}, "byte 12: the command 1D 99 is not one whose length is known"},
  };
  for (const Case& c : cases) {
    Bytes document, expected;
    for (const Bytes& part : c.parts) {
      document.insert(document.end(), part.begin(), part.end());
      if (part != kick && part != dle) expected.insert(expected.end(), part.begin(), part.end());
    }
    std::ofstream(File("kicks.bin"), std::ios::binary).write(reinterpret_cast<const char*>(document.data()), document.size());
    const Printed p = Print(Via::IppTool, "receipt", "kicks.bin");
    if (c.refusal) {
      EXPECT_EQ(p.end.state, IPP_JSTATE_ABORTED);
      EXPECT_NE(p.end.message.find(c.refusal), std::string::npos) << p.end.message;
      EXPECT_TRUE(p.bytes.empty());
    } else {
      EXPECT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
      EXPECT_EQ(p.bytes, expected);
    }
  }
  ASSERT_EQ(server_->Cli("modify -d receipt -o raw-drawer-kicks-default=keep").status, 0);
}

// --- Identify, the web interface, the command line ---

TEST_F(PrinterApp, IdentifyMovesPaperOrSoundsAndNothingElse) {
  const std::pair<const char*, int> cases[] = {{"", 24}, {"ATTR keyword identify-actions sound", 0}};
  for (const auto& [actions, fed] : cases) {
    SCOPED_TRACE(actions);
    const size_t before = fake_->Connections();
    ASSERT_EQ(IppTool("receipt", std::string("  OPERATION Identify-Printer\n  ") + actions).status, 0);
    const escpos::Paper paper = escpos::decode(fake_->WaitForConnection(before));
    EXPECT_EQ(paper.fedRows(), fed);
    EXPECT_EQ(paper.count(escpos::EventKind::Warning), fed ? 0u : 1u);
    EXPECT_EQ(paper.count(escpos::EventKind::Band) + paper.cutRows().size() + paper.count(escpos::EventKind::DrawerPulse), 0u);
  }
}

// Pages a user opens with no avahi-daemon (the tmpfs over /run hides it),
// and commands a user types: labels show, and nothing aborts.
TEST_F(PrinterApp, WebAndCommandLineAnswerWithoutAvahi) {
  const std::pair<const char*, const char*> pages[] = {{"/", "narrow"},
                                                       {"/receipt/printing", "At the end of the job"},
                                                       {"/receipt/printing", "Error diffusion (photos, logos)"},
                                                       {"/addprinter", "avahi-daemon"},
                                                       {"/receipt/supplies", "<tr><th>Paper roll</th>"}};
  for (const auto& [path, shows] : pages) EXPECT_NE(HttpGet(path).find(shows), std::string::npos) << path;
  // The test page, from its button on the printer's page: the head's full
  // width, title, ruler, four ramps and bars one after the other, one cut.
  const size_t before = fake_->Connections();
  EXPECT_NE(HttpGet("/narrow", "action=print-test-page").find("Test page printed."), std::string::npos);
  const escpos::Paper testPage = escpos::decode(fake_->WaitForConnection(before));
  EXPECT_EQ(testPage.width(), static_cast<int>(kHead58));
  EXPECT_GE(testPage.height() - testPage.fedRows(), 600);
  EXPECT_EQ(testPage.cutRows().size(), 1u);
  const std::pair<const char*, const char*> commands[] = {
      {"--help", "server"},    {"--version", "1.0"},      {"drivers", "escpos-58mm-203dpi"},
      {"devices", "avahi-daemon is not running"},          {"status", "Running"}};
  for (const auto& [args, shows] : commands) {
    const RunResult r = server_->Cli(args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.output;
    EXPECT_NE(r.output.find(shows), std::string::npos) << args << ": " << r.output;
  }
  ASSERT_TRUE(server_->Alive());
}

// --- CUPS's conformance suites (ipptool's ipp-1.1, ipp-2.0 and
// ipp-everywhere) against a printer, with a JPEG and with a PDF: every test
// passes or is skipped, but for the failures PAPPL 1.3.1 causes itself. ---

// A failure of PAPPL's own, as the README lists it: a test (any test when
// empty) and part of a line ipptool reports against it; `always`: shows in
// every run of these suites, so it must still show.
struct PapplFailure { const char *test, *detail; bool always; };
constexpr const char* kDefaultAttributes = "RFC 8011 section 4.2.5: Get-Printer-Attributes Operation (default)";
constexpr PapplFailure kPapplFailures[] = {
    // Each full Get-Printer-Attributes adds it to the printer's own attributes
    // once more: the third response and later ones repeat it.
    {"", "Duplicate \"printer-strings-languages-supported\" attribute", true},
    // Two values for every client, but no ipps URI for one on loopback.
    {kDefaultAttributes, "EXPECTED: printer-uri-supported (1 values) SAME-COUNT-AS uri-security-supported", true},
    {kDefaultAttributes, "EXPECTED: uri-security-supported (2 values) SAME-COUNT-AS uri-authentication-supported", true},
    // 0 in the printer's first second.
    {kDefaultAttributes, "printer-up-time", false},
    // job-hold-until-specified lies past the last reason PAPPL lists.
    {"Print-Job with job-hold-until", "EXPECTED: job-state-reasons", true},
};

struct IppFailure { std::string test, detail; };
// Passed, failed, skipped.
using Tally = std::array<int, 3>;

// ipptool's test report (-t): the results counted per suite file, and the
// lines reported against each failed test but the response's size, status
// and displayed attributes ("name (type) = value"). Messages of ipptool
// itself count as failures.
std::vector<IppFailure> ReadReport(const std::string& report, const std::string& run, std::map<std::string, Tally>& tally) {
  constexpr const char* kResults[] = {"[PASS]", "[FAIL]", "[SKIP]"};
  const std::string indent(8, ' ');
  std::vector<IppFailure> failures;
  std::string suite, failed;  // the failed test whose lines follow
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    const auto result = std::find_if(std::begin(kResults), std::end(kResults), [&](const char* r) { return line.ends_with(r); });
    if (line.starts_with('"') && line.ends_with(".test\":")) {
      suite = line.substr(line.rfind('/') + 1, line.size() - 8 - line.rfind('/'));
    } else if (line.starts_with("    ") && line[4] != ' ' && result != std::end(kResults)) {
      ++tally[run + " " + suite][result - std::begin(kResults)];
      const std::string test = line.substr(4, line.find_last_not_of(' ', line.size() - 7) - 3);
      failed = result == std::begin(kResults) + 1 ? test : "";
    } else if (line.starts_with("ipptool:")) {
      failures.push_back({"ipptool", line});
    } else if (!failed.empty() && line.starts_with(indent)) {
      const std::string detail = line.substr(indent.size());
      const size_t space = detail.find(' ');
      const bool attribute = space != std::string::npos && detail.compare(space, 2, " (") == 0 &&
                             detail.find(") = ", space) != std::string::npos;
      if (!attribute && !detail.starts_with("RECEIVED: ") && !detail.starts_with("status-code = "))
        failures.push_back({failed, detail});
    }
  }
  return failures;
}

TEST_F(PrinterApp, ConformanceSuitesFailOnlyWherePapplDoes) {
  // Debian ships the suites without the documents they name (PWG's sample
  // rasters, color.jpg, ...), and ipptool refuses a suite that names a
  // missing file even in a test it skips. Unchanged copies of the suites get
  // empty stand-ins: every test naming one is skipped on this printer (A4,
  // Letter and 4x6 media, PostScript, resolutions other than 203 dpi), and
  // one that were not would fail on its empty document.
  const std::string suites = TestDir("ipp-suites");
  for (const std::string suite : {"ipp-1.1.test", "ipp-2.0.test", "ipp-everywhere.test"}) {
    std::filesystem::copy_file("/usr/share/cups/ipptool/" + suite, suites + "/" + suite,
                               std::filesystem::copy_options::overwrite_existing);
    std::istringstream lines(ReadText(suites + "/" + suite));
    for (std::string directive, name; lines >> directive;) {
      if (directive != "FILE" && directive != "SKIP-IF-MISSING") continue;
      lines >> name;
      if (name.starts_with('$')) continue;  // the document given with -f
      const std::filesystem::path standIn = suites + "/" + name;
      std::filesystem::create_directories(standIn.parent_path());
      std::ofstream{standIn};
    }
  }
  // ipp-everywhere holds ipp-2.0, which holds ipp-1.1 (run as an IPP/2.0
  // client there). Each run waits 5 s for its first job to complete: the
  // four run side by side, each on a printer of its own.
  struct Run { const char *document, *suite, *version; };
  constexpr Run runs[] = {{"marked.jpg", "ipp-1.1", "1.1"}, {"marked.jpg", "ipp-everywhere", "2.0"},
                          {"marked.pdf", "ipp-1.1", "1.1"}, {"marked.pdf", "ipp-everywhere", "2.0"}};
  FakePrinter printers[std::size(runs)];
  std::string reports[std::size(runs)];
  std::vector<std::jthread> threads;
  for (size_t i = 0; i < std::size(runs); ++i) {
    const std::string name = "conformance-" + std::to_string(i);
    ASSERT_EQ(server_->Cli("add -d " + name + " -m escpos-80mm-203dpi -v " + printers[i].uri()).status, 0);
    threads.emplace_back([&, i, name] {
      reports[i] = Shell("ipptool -I -t -V " + std::string(runs[i].version) + " -f " + File(runs[i].document) +
                         " ipp://localhost:" + std::to_string(AppServer::kPort) + "/ipp/print/" + name + " " + suites +
                         "/" + runs[i].suite + ".test")
                       .output;
    });
  }
  threads.clear();  // joins them
  ASSERT_TRUE(server_->Alive()) << ReadText(TestDir("server") + "/stdout");
  std::map<std::string, Tally> tally;
  std::vector<IppFailure> failures;
  for (size_t i = 0; i < std::size(runs); ++i) {
    for (IppFailure& f : ReadReport(reports[i], std::string(runs[i].document) + " IPP/" + runs[i].version, tally))
      failures.push_back(std::move(f));
    WaitForIdle("conformance-" + std::to_string(i));  // before its printer goes
  }
  std::vector<bool> shown(std::size(kPapplFailures));
  for (const IppFailure& f : failures) {
    const auto known = std::find_if(std::begin(kPapplFailures), std::end(kPapplFailures), [&](const PapplFailure& p) {
      return f.test.starts_with(p.test) && f.detail.find(p.detail) != std::string::npos;
    });
    if (known == std::end(kPapplFailures))
      ADD_FAILURE() << f.test << ": " << f.detail;
    else
      shown[known - std::begin(kPapplFailures)] = true;
  }
  for (size_t i = 0; i < shown.size(); ++i)
    EXPECT_TRUE(shown[i] || !kPapplFailures[i].always)
        << "PAPPL's failure no longer shows (update the README): " << kPapplFailures[i].test << ": " << kPapplFailures[i].detail;
  for (const auto& [run, t] : tally) {
    std::printf("%s: %d passed, %d failed, %d skipped\n", run.c_str(), t[0], t[1], t[2]);
  }
  EXPECT_EQ(tally.size(), 8u) << "every suite in every run";
}

// A damaged state file: a printer definition PAPPL cannot read (it drops
// that printer and every one after it) and a default no driver offers. The
// log names each printer and default that did not come back, the damaged
// file is kept, and the mended file brings everything back.
TEST_F(PrinterApp, DamagedStateFileIsReported) {
  EXPECT_EQ(server_->Stop(), 0) << ReadText(TestDir("server") + "/stdout");
  const std::string state = TestDir("server") + "/state", good = ReadText(state);
  std::string damaged = good;
  // PAPPL writes its printers in no fixed order: the last one is damaged,
  // the first one gets the bad default.
  const size_t last = damaged.rfind("<Printer ");
  ASSERT_NE(last, std::string::npos) << good;
  const size_t name = damaged.find(" name=\"", last) + 7;
  const std::string lost = damaged.substr(name, damaged.find('"', name) - name);
  damaged.insert(last, "<Printer half a line\n");
  const size_t feed = damaged.find("feed-after-default ");
  ASSERT_LT(feed, last);
  damaged.replace(feed, damaged.find('\n', feed) - feed, "feed-after-default 77");
  std::ofstream(state) << damaged;
  server_->Start();
  const std::string log = server_->Log();
  EXPECT_NE(log.find("names printer '" + lost + "', which could not be restored"), std::string::npos) << lost;
  EXPECT_NE(log.find("The state file's feed-after-default \"77\" was not restored: it is 4."), std::string::npos);
  EXPECT_EQ(ReadText(state + ".damaged"), damaged);
  EXPECT_EQ(server_->Stop(), 0);
  std::ofstream(state) << good;
  server_->Start();
  EXPECT_EQ(AttributeOnce("stalled", "printer-state", "= idle"), "printer-state (enum) = idle");

  // A disk too full for the next save keeps the last state whole.
  EXPECT_EQ(server_->Stop(), 0);
  const std::string full = TestDir("full");
  ASSERT_EQ(Shell("mount -t tmpfs -o size=64k tmpfs " + full).status, 0);
  std::ofstream(full + "/state") << good;
  Shell("cat /dev/zero >" + full + "/filler 2>/dev/null");
  server_->Start("-o state-file=" + full + "/state");
  ASSERT_EQ(server_->Cli("modify -d receipt -o feed-after-default=9").status, 0);
  const std::string failed = "The state could not be saved to '" + full + "/state'";
  for (int tries = 0; tries < 50 && server_->Log().find(failed) == std::string::npos; ++tries) usleep(200000);
  EXPECT_NE(server_->Log().find(failed), std::string::npos);
  EXPECT_EQ(ReadText(full + "/state"), good);
  EXPECT_EQ(server_->Stop(), 0);
  Shell("umount " + full);
  server_->Start();
}

// --- A server open to the network: from a second network namespace over a
// veth pair, the pages that change anything ask for the admin password, and
// PAPPL's administrative operations are refused; printing stays open. ---

constexpr const char* kRemote = "ip netns exec lf-remote ";
constexpr const char* kServerAddress = "10.218.18.1";

// A page from the other namespace over HTTPS (PAPPL marks its login cookie
// secure: browsers send it back over HTTPS only), with the cookies of
// earlier calls; with `form`, the page's form is then sent with these fields.
std::string RemoteHttp(const std::string& path, const std::string& form = "") {
  const std::string get = std::string(kRemote) + "curl -s -c " + TestDir("remote") + "/jar -b " + TestDir("remote") +
                          "/jar -k -H 'Accept-Language: en' https://" + kServerAddress + ":" +
                          std::to_string(AppServer::kPort) + path;
  const std::string page = Shell(get).output, field = "name=\"session\" value=\"";
  const size_t at = page.find(field) + field.size();
  if (form.empty() || at < field.size()) return page;
  return Shell(get + " -d 'session=" + page.substr(at, page.find('"', at) - at) + "&" + form + "'").output;
}

TEST_F(PrinterApp, RemoteChangesNeedThePasswordPrintingDoesNot) {
  const RunResult veth = Shell(
      "ip link add lf-veth0 type veth peer name lf-veth1 && ip netns add lf-remote && "
      "ip link set lf-veth1 netns lf-remote && ip addr add 10.218.18.1/24 dev lf-veth0 && ip link set lf-veth0 up && " +
      std::string(kRemote) + "sh -c 'ip addr add 10.218.18.2/24 dev lf-veth1 && ip link set lf-veth1 up && ip link set lo up'");
  if (veth.status != 0) GTEST_SKIP() << "no veth pair: " << veth.output;
  // PAPPL makes its TLS certificate in /etc/cups/ssl when it runs as root:
  // a tmpfs of this test's mount namespace keeps it off the machine.
  ASSERT_EQ(Shell("mount -t tmpfs tmpfs /etc/cups/ssl").status, 0);
  const std::string dir = TestDir("server"), everywhere = "-o listen-hostname='*'";
  // Without a password: a warning on the terminal.
  EXPECT_EQ(server_->Stop(), 0);
  server_->Start(everywhere);
  EXPECT_NE(ReadText(dir + "/stdout").find("WARNING: listening beyond this machine without an admin password"),
            std::string::npos);
  EXPECT_EQ(server_->Stop(), 0);
  std::ofstream(dir + "/password") << "counter-7 secret\n";
  server_->Start(everywhere + " -o admin-password-file=" + dir + "/password");

  const std::string printer = std::string("ipp://") + kServerAddress + ":" + std::to_string(AppServer::kPort) + "/ipp/print/receipt";
  auto remoteIpp = [&](const std::string& body) {
    std::ofstream(TestDir("remote") + "/op.test") << "{\n  GROUP operation-attributes-tag\n  ATTR charset attributes-charset utf-8\n"
        "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
        "  ATTR name requesting-user-name tester\n" << body << "\n  STATUS successful-ok\n  DISPLAY job-id\n}\n";
    return Shell(kRemote + std::string("ipptool -tv -f ") + File("marked.png") + " " + printer + " " + TestDir("remote") + "/op.test");
  };
  // Refused without the password.
  EXPECT_NE(RemoteHttp("/receipt/labelfilter", "cash-drawer=after").find("name=\"password\""), std::string::npos);
  EXPECT_NE(RemoteHttp("/receipt/delete").find("name=\"password\""), std::string::npos);
  EXPECT_NE(RemoteHttp("/receipt/printing").find("name=\"password\""), std::string::npos);
  const RunResult set = remoteIpp("  OPERATION Set-Printer-Attributes\n  GROUP printer-attributes-tag\n"
                                  "  ATTR keyword cash-drawer-default after");
  EXPECT_NE(set.output.find("forbidden"), std::string::npos) << set.output;
  EXPECT_EQ(AttributeOnce("receipt", "cash-drawer-default", "none"), "cash-drawer-default (keyword) = none");
  // Printing stays open.
  const RunResult job = remoteIpp("  OPERATION Print-Job\n  ATTR mimeMediaType document-format image/png\n  FILE $filename");
  ASSERT_EQ(job.status, 0) << job.output;
  EXPECT_EQ(WaitForJob("receipt", JobIdIn(job.output)).state, IPP_JSTATE_COMPLETED);
  // Allowed with it: the login sets a cookie, and the form then saves.
  EXPECT_NE(RemoteHttp("/receipt/labelfilter", "password=counter-7%20secret").find("Receipt Options"), std::string::npos);
  EXPECT_NE(RemoteHttp("/receipt/labelfilter", "cash-drawer=after").find("Changes saved."), std::string::npos);
  EXPECT_EQ(AttributeOnce("receipt", "cash-drawer-default", "after"), "cash-drawer-default (keyword) = after");

  // Back as the other tests found it: no password, loopback only.
  EXPECT_EQ(server_->Stop(), 0);
  std::string state = ReadText(dir + "/state");
  state.erase(state.find("Password "), state.find('\n', state.find("Password ")) + 1 - state.find("Password "));
  std::ofstream(dir + "/state") << state;
  server_->Start();
  ASSERT_EQ(server_->Cli("modify -d receipt -o cash-drawer-default=none").status, 0);
  Shell("ip netns del lf-remote; ip link del lf-veth0");
}

// --- Concurrency: several clients and printers at once, raw and raster
// jobs, cancels. Each printer receives each job's bytes exactly once and
// whole. The server runs with tests/app/RaceShim.c preloaded, which makes
// PAPPL's races happen on every run; it also reports to a systemd-style
// notify socket, which must hear from it while it answers. ---

// The notify socket systemd would give the service.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path), fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() { close(fd_); }
  // Whether `message` arrives within `seconds` (earlier ones are dropped).
  bool Hears(const std::string& message, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (char buffer[256]; std::chrono::steady_clock::now() < deadline;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0 && std::string(buffer, static_cast<size_t>(n)).find(message) != std::string::npos) return true;
    }
    return false;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_;
};

size_t Occurrences(const Bytes& haystack, const Bytes& needle) {
  size_t count = 0;
  for (auto at = haystack.begin(); (at = std::search(at, haystack.end(), needle.begin(), needle.end())) != haystack.end();
       at += static_cast<std::ptrdiff_t>(needle.size()))
    ++count;
  return count;
}

TEST_F(PrinterApp, ConcurrentJobsPrintEachOnceAndWhole) {
  FakePrinter one, two, slow;
  // A server that hangs is stopped (and killed) before the fake printers it
  // holds connections to.
  struct Stopper {
    ~Stopper() {
      if (!::testing::Test::HasFailure()) return;
      server_->Stop();
      server_->Start();
    }
  } stopper;
  const std::pair<const char*, FakePrinter*> printers[] = {{"race1", &one}, {"race2", &two}, {"race3", &slow}};
  for (const auto& [name, device] : printers)
    ASSERT_EQ(server_->Cli(std::string("add -d ") + name + " -m escpos-80mm-203dpi -v " + device->uri()).status, 0);
  std::map<std::string, Bytes> expected = {{"marked.pwg", CoreBytes({picture_})}};
  for (const char* name : {"a.bin", "b.bin", "c.bin", "slow.bin"}) {
    std::string text = "\x1b@";  // 600 KB: many writes, which jobs sent at once interleave
    // slow.bin: 20 KB, which PAPPL sends in one write past its 8 KB buffer,
    // and which the shim holds in send() until a cancel has been answered.
    if (name == std::string("slow.bin")) text += "labelfilter-slow-send\n";
    for (int line = 0; line < (name == std::string("slow.bin") ? 1200 : 40000); ++line)
      text += std::string(name) + " line " + std::to_string(line) + "\n";
    std::ofstream(File(name)) << text << "\x1dV\x42";
    expected[name] = Bytes(text.begin(), text.end());
    expected[name].insert(expected[name].end(), {0x1D, 'V', 0x42});
  }
  const std::string slowSave = TestDir("docs") + "/slow-save";
  NotifySocket notify(TestDir("docs") + "/notify");
  EXPECT_EQ(server_->Stop(), 0);
  server_->Start("", std::string("LD_PRELOAD=") + LABELFILTER_RACE_SHIM + " LABELFILTER_SLOW_SAVE=" + slowSave +
                 " LABELFILTER_SLOW_SEND_RELEASE=" + TestDir("docs") + "/sent-cancel" +
                 " NOTIFY_SOCKET=" + notify.path() + " WATCHDOG_USEC=3000000" +
                 " ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0");
  EXPECT_TRUE(notify.Hears("READY=1", 10));

  // pause: seconds before the client starts (within the 700 ms the shim holds a job's thread).
  // cancel: at once; Cancel::SecondStart: once the job was started a second time.
  enum class Cancel { No, AtOnce, SecondStart };
  struct Send { const char *printer, *file; Cancel cancel = Cancel::No; const char* pause = "0"; };
  // later: sent once the first ones wait for race3's paper, which then comes back.
  struct Case { const char* what; std::vector<Send> sends, later = {}; };
  const Case cases[] = {
      {"a raster job streamed while a raw job's thread starts", {{"race3", "a.bin"}, {"race3", "marked.pwg", Cancel::No, "0.3"}}},
      {"two jobs that end together start the next one twice", {{"race3", "a.bin"}, {"race3", "b.bin"}},
       {{"race3", "c.bin"}}},
      // PAPPL closes the device when the second start ends: the first must
      // have ended by then, or it goes on sending through the freed device.
      {"a job started twice is cancelled while its first start sends", {{"race3", "a.bin"}, {"race3", "b.bin"}},
       {{"race3", "slow.bin", Cancel::SecondStart}}},
      {"two printers, three clients each, one job cancelled",
       {{"race1", "a.bin"}, {"race1", "b.bin", Cancel::AtOnce}, {"race1", "c.bin"},
        {"race2", "c.bin"}, {"race2", "marked.pwg"}, {"race2", "a.bin"}}},
  };
  const StatusAnswers kPaperOut = {0x1A, 0x32, 0x12, 0x72};
  int outputs = 0;
  // All clients at once; a cancel follows its own submission, at once or
  // once the server's log (from here on: it is not rotated) tells of the
  // job's second start.
  auto sendAll = [&](const std::vector<Send>& sends) {
    const std::string log = TestDir("server") + "/log";
    std::string script = "cd " + TestDir("docs") + " && export HOME=" + TestDir("server") + " || exit 1; from=$(($(stat -c %s " + log + ") + 1)); ";
    for (const Send& s : sends) {
      const std::string submit = AppServer::Binary() + " submit -d " + s.printer + " " + s.file;
      const std::string secondStart = "timeout 30 sh -c 'until tail -c +$0 " + log +
                                      " | grep -q \"Job $1 was started a second time\"; do sleep 0.05; done' $from ${id##*-}; ";
      script += std::string("{ sleep ") + s.pause + "; " +
                (s.cancel == Cancel::No ? submit
                                        : "id=$(" + submit + ") && { " + (s.cancel == Cancel::SecondStart ? secondStart : "") +
                                              AppServer::Binary() + " cancel -d " + s.printer + " -j ${id##*-}; touch sent-cancel; echo $id; }") +
                " >out" + std::to_string(outputs++) + " 2>&1; } & ";
    }
    return std::thread([script] { Shell(script + "wait"); });
  };
  // A server that died would have PAPPL's submit start one of its own, and
  // the test wait on it for ever.
  auto alive = [&] { return server_->Alive() ? "" : "the server died: " + ReadText(TestDir("server") + "/stdout"); };
  for (const Case& c : cases) {
    ASSERT_EQ(alive(), "");
    SCOPED_TRACE(c.what);
    std::map<FakePrinter*, size_t> before;
    for (const auto& [name, device] : printers) before[device] = device->Connections();
    const int first = outputs;
    const bool paper = std::any_of(c.sends.begin(), c.sends.end(), [](const Send& s) { return s.printer == std::string("race3"); });
    if (paper) slow.Answer(kPaperOut);
    std::thread clients = sendAll(c.sends);
    if (paper) {
      sleep(2);
      std::thread more = sendAll(c.later);
      sleep(1);
      slow.Answer(kPrinterReady);
      more.join();
    }
    clients.join();
    std::vector<Send> all = c.sends;
    all.insert(all.end(), c.later.begin(), c.later.end());
    std::map<std::string, std::vector<const Send*>> byPrinter;
    std::set<const Send*> refused;
    for (size_t i = 0; i < all.size(); ++i) {
      const Send& s = all[i];
      const std::string out = ReadText(TestDir("docs") + "/out" + std::to_string(first + static_cast<int>(i)));
      const int id = JobIdIn(out);
      const JobEnd end = WaitForJob(s.printer, id);
      // A streamed raster job that reaches a printer already printing is
      // turned away (server-error-busy) before it is processed, which a slow
      // client meets: it is aborted and none of it may print.
      if (s.cancel == Cancel::No && std::string(s.file).ends_with(".pwg") && end.state == IPP_JSTATE_ABORTED &&
          AttributeOnce(s.printer, "time-at-processing", "", id).find("(integer)") == std::string::npos) {
        refused.insert(&s);
        continue;
      }
      // A cancel may come once the job has ended: then it is completed. One
      // that waits for the second start meets the first still sending (the
      // shim holds it): that job ends cancelled, or the race was not run.
      EXPECT_TRUE(s.cancel == Cancel::SecondStart ? end.state == IPP_JSTATE_CANCELED
                  : end.state == IPP_JSTATE_COMPLETED || (s.cancel == Cancel::AtOnce && end.state == IPP_JSTATE_CANCELED))
          << s.file << ": " << out << end.state << " " << end.message;
    }
    for (const Send& s : all) byPrinter[s.printer].push_back(&s);
    for (const auto& [name, device] : printers) {
      if (!byPrinter.count(name)) continue;
      WaitForIdle(name);
      Bytes received;
      for (size_t i = before[device]; i < device->Connections(); ++i) {
        const Bytes b = device->WaitForConnection(i);
        received.insert(received.end(), b.begin(), b.end());
      }
      size_t whole = 0;
      for (const Send* s : byPrinter[name]) {
        // A cancel that comes once the data has gone out ends a job that
        // printed whole: at most once, and never in part.
        const size_t times = Occurrences(received, expected[s->file]);
        if (refused.count(s)) EXPECT_EQ(times, 0u) << name << ": " << s->file << " was refused";
        else if (s->cancel != Cancel::No) EXPECT_LE(times, 1u) << name << ": " << s->file;
        else EXPECT_EQ(times, 1u) << name << ": " << s->file;
        whole += times * expected[s->file].size();
      }
      EXPECT_EQ(received.size(), whole) << name << ": more or less than the jobs sent";
    }
  }

  ASSERT_EQ(alive(), "");

  // Raster jobs turned away as busy while the state is being saved: each
  // submission wakes the main loop, which saves the record of the job
  // before it, slowly, while this one is refused.
  slow.Answer(kPaperOut);
  const size_t waitingConnection = slow.Connections();
  std::ofstream(slowSave) << "";
  const RunResult waiting = server_->Cli("submit -d race3 " + File("a.bin"));
  ASSERT_EQ(waiting.status, 0) << waiting.output;
  AttributeOnce("race3", "job-state-message", "Waiting", JobIdIn(waiting.output));
  std::ofstream(File("busy.test")) << "{\n  OPERATION Print-Job\n  GROUP operation-attributes-tag\n"
                                       "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage "
                                       "attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
                                       "  ATTR mimeMediaType document-format image/pwg-raster\n"
                                       "  FILE $filename\n  STATUS server-error-busy\n}\n";
  for (int i = 0; i < 3; ++i) {
    const RunResult busy = Shell("timeout 30 ipptool -t -f " + File("marked.pwg") + " ipp://localhost:" +
                                 std::to_string(AppServer::kPort) + "/ipp/print/race3 " + File("busy.test"));
    EXPECT_EQ(busy.status, 0) << busy.output;
  }
  const RunResult after = Shell("HOME=" + TestDir("server") + " timeout 30 " + AppServer::Binary() +
                                " submit -d race1 " + File("b.bin"));
  EXPECT_TRUE(notify.Hears("WATCHDOG=1", 5)) << "the watchdog is no longer fed";
  ASSERT_EQ(after.status, 0) << "the server hangs: " << after.output;
  std::filesystem::remove(slowSave);
  slow.Answer(kPrinterReady);
  EXPECT_EQ(WaitForJob("race3", JobIdIn(waiting.output)).state, IPP_JSTATE_COMPLETED);
  EXPECT_EQ(slow.WaitForConnection(waitingConnection), expected["a.bin"]);

  EXPECT_EQ(server_->Stop(), 0) << ReadText(TestDir("server") + "/stdout");
  server_->Start();  // without the shim
}

}  // namespace

// Runs after the suite above has stopped its server: the README's commands (its own and ipptool's)
// word for word, the server on its default port and state as a user's would
// be. Its printer's address is not reachable from here, so its jobs end
// aborted; that the commands work is what is checked.
// --- A long page streams: its bands reach the printer while it arrives, a
// cancel stops them within a band and the page still ends fed and cut; a
// page turned upside down, or a job of copies, goes out at its end. ---

TEST(ReceiptJobStreaming, BandsLeaveEarlyAndStopWithinABandOfACancel) {
  constexpr uint32_t kRows = 2400, kNever = kRows + 1;
  struct Case { const char* origin; uint32_t copies, cancelAt; bool early; } const cases[] = {
      {"Rotation0", 1, kNever, true}, {"Rotation0", 1, 1000, true},
      {"Rotation180", 1, kNever, false}, {"Rotation0", 2, kNever, false}};
  const Picture page{kHead80, kRows, std::vector<uint8_t>(size_t{kHead80} * kRows, 100)};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.origin) + ", copies " + std::to_string(c.copies) + ", cancel at " +
                 std::to_string(c.cancelAt));
    const std::map<std::string, std::string> choices = {{"Origin", c.origin}, {"Cutting", "1"}};
    uint32_t rowsPut = 0, rowsAtFirstWrite = 0;
    Bytes sent;
    ReceiptJob job(CoreSettings(choices), kHead80, c.copies, [&](std::span<const uint8_t> bytes) {
      if (sent.empty()) rowsAtFirstWrite = rowsPut;
      sent.insert(sent.end(), bytes.begin(), bytes.end());
      return true;
    }, [&] { return rowsPut >= c.cancelAt; });
    ASSERT_EQ(job.StartPage(kHead80, kRows), "");
    for (; rowsPut < kRows; ++rowsPut) job.PutRow(rowsPut, std::span(page.grey).subspan(size_t{rowsPut} * kHead80, kHead80));
    EXPECT_EQ(job.EndPage(), "");
    EXPECT_EQ(job.Finish(), "");
    if (c.early)
      EXPECT_LT(rowsAtFirstWrite, 100u);
    else
      EXPECT_EQ(rowsAtFirstWrite, kRows);
    const escpos::Paper paper = escpos::decode(sent);
    ASSERT_FALSE(paper.error) << paper.error->message;
    EXPECT_EQ(paper.cutRows().size(), c.copies);
    if (c.cancelAt == kNever) {
      EXPECT_EQ(sent, CoreBytes({page}, choices, c.copies));
      continue;
    }
    // Bands settled but not yet written when the cancel came are dropped:
    // at most a write's worth (4 KB, three bands) before it, one band after.
    const int printed = paper.height() - paper.fedRows();
    EXPECT_LE(printed, static_cast<int>(c.cancelAt) + 24);
    EXPECT_GE(printed, static_cast<int>(c.cancelAt) - 4 * 24);
  }
}

TEST(ReadmeCommands, RunAsWritten) {
  if (!SkipReason.empty()) GTEST_SKIP() << SkipReason;
  const std::string text = ReadText(std::string(LABELFILTER_SOURCE_DIR) + "/README.md");
  const size_t section = text.find("## Printer application");
  ASSERT_NE(section, std::string::npos);
  std::vector<std::string> commands;
  std::istringstream lines(text.substr(section, text.find("\n## ", section + 1) - section));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("labelfilter-printer-app ", 0) == 0)
      commands.push_back(AppServer::Binary() + line.substr(23));
    else if (line.rfind("ipptool ", 0) == 0)
      commands.push_back(line);
  ASSERT_GE(commands.size(), 5u);
  ASSERT_EQ(commands[0], AppServer::Binary() + " server");

  const std::string dir = TestDir("readme");
  WritePng(dir + "/receipt.png", MarkedPicture(kHead80, 100));
  WritePwg(dir + "/receipt.pwg", {MarkedPicture(kHead80, 100)});
  WritePdf(dir + "/receipt.pdf", {MarkedPicture(kHead80, 100)});
  std::ofstream(dir + "/receipt.bin") << "\x1b@receipt\n\x1dV\x42";
  std::string script = "cd " + dir + " && export HOME=" + dir + " ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 && { " +
                       AppServer::Binary() + " server > server.out 2>&1 & } && server=$! && for i in $(seq 100); do "
                       "[ -S /run/labelfilter-printer-app.sock ] && break; sleep 0.1; done";
  for (size_t i = 1; i < commands.size(); ++i) script += " && " + commands[i];
  const RunResult r = Shell("timeout 120 sh -c '" + script + "; status=$?; kill $server; wait $server; exit $status'");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("receipt"), std::string::npos) << r.output;
  EXPECT_NE(ReadText(dir + "/server.out").find("listening on http://localhost:8000/"), std::string::npos);
}

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
  if (!listing && !(SkipReason = EnterPrivateWorld()).empty())
    SkipReason = "no private network namespace for the server: " + SkipReason;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
