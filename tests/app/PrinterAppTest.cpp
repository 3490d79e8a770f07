// The printer application end to end: the real server in a private network,
// jobs sent with its own command line and with ipptool, and what a fake
// ESC/POS printer on loopback received, decoded back into paper.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <cups/cups.h>

#include "AppHarness.h"
#include "EscPosDecoder.h"
#include "ImageInput.h"
#include "JobSettings.h"
#include "PagePipeline.h"
#include "TestPage.h"

namespace {

std::string SkipReason;  // set when the private namespaces are not available

constexpr uint32_t kHead80 = 576, kHead58 = 384;
constexpr int kDefaultFeed = 120;  // "FeedAfterPrinting" 4: 4 x 30 rows

enum class Via { App, IppTool };

struct Printed {
  JobEnd end;
  Bytes bytes;
};

// Where the top block of a MarkedPicture landed, and how much blank paper
// surrounds the print.
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
  const int column = r.blockLeft ? 2 : w - 3;
  while (paper.dot(column, first + r.blockRows)) ++r.blockRows;
  r.leadingBlank = first;
  r.trailingBlank = paper.height() - paper.fedRows() - 1 - last;
  return r;
}

// The same pages through the core with the PPD choices the filter would be
// given: what the application must send, byte for byte.
Bytes CoreBytes(const std::vector<Picture>& pages, const std::map<std::string, std::string>& choices,
                uint32_t copies = 1) {
  std::map<std::string, std::string> all = {
      {"Dithering", "ErrorDiffusion"}, {"Cutting", "2"},          {"CashDrawer", "0"}, {"FeedAfterPrinting", "4"},
      {"Warning", "0"},                {"MirrorImage", "False"},  {"NegativeImage", "False"},
      {"LeadingBlank", "3mm"},         {"Origin", "Rotation0"},   {"PrintDensity", "0"}, {"PageEnd", "0"}};
  for (const auto& [k, v] : choices) all[k] = v;
  const PrintSettings settings = ParsePrintSettings([&](std::string_view k) -> std::optional<std::string> {
    auto it = all.find(std::string(k));
    return it == all.end() ? std::nullopt : std::optional(it->second);
  });
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
  Bytes all_copies;
  for (uint32_t c = 0; c < copies; ++c) all_copies.insert(all_copies.end(), job.begin(), job.end());
  return all_copies;
}

Bytes CoreBytes(const Picture& picture, const std::map<std::string, std::string>& choices, uint32_t copies = 1) {
  return CoreBytes(std::vector<Picture>{picture}, choices, copies);
}

class PrinterApp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!SkipReason.empty()) return;
    fake_ = new FakePrinter();
    server_ = new AppServer(TestDir("server"));
    server_->Start();
    for (auto [name, driver] : {std::pair{"receipt", "escpos-80mm-203dpi"}, std::pair{"narrow", "escpos-58mm-203dpi"}})
      ASSERT_EQ(server_->Cli({"add", "-d", name, "-m", driver, "-v", fake_->uri()}).status, 0);
    picture_ = MarkedPicture(kHead80, 400);
    WritePng(File("marked.png"), picture_);
    WriteJpeg(File("marked.jpg"), picture_);
    WritePwg(File("marked.pwg"), picture_);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete fake_;
    server_ = nullptr;
    fake_ = nullptr;
  }
  void SetUp() override {
    if (!SkipReason.empty()) GTEST_SKIP() << SkipReason;
  }

  static std::string File(const std::string& name) { return TestDir("docs") + "/" + name; }

  static std::string Format(const std::string& path) {
    return path.ends_with(".png") ? "image/png" : path.ends_with(".jpg") ? "image/jpeg" : "image/pwg-raster";
  }

  // Submits a document and returns how the job ended and what the printer
  // received on the job's connection.
  static Printed Print(Via via, const std::string& printer, const std::string& path,
                       const std::vector<std::string>& appOptions = {}, const std::string& ippAttrs = "") {
    const size_t before = fake_->Connections();
    int id = -1;
    if (via == Via::App) {
      std::vector<std::string> args = {"submit", "-d", printer};
      for (const auto& o : appOptions) args.insert(args.end(), {"-o", o});
      args.push_back(path);
      RunResult r = server_->Cli(args);
      EXPECT_EQ(r.status, 0) << r.output;
      id = SubmittedJobId(r.output);
    } else {
      RunResult r = IppTool(printer,
                            "  OPERATION Print-Job\n  ATTR mimeMediaType document-format " + Format(path) +
                                "\n  GROUP job-attributes-tag\n" + ippAttrs + "\n  FILE $filename",
                            path);
      EXPECT_EQ(r.status, 0) << r.output;
      id = IppToolJobId(r);
    }
    Printed p;
    p.end = WaitForJob(printer, id);
    if (fake_->Connections() > before) p.bytes = fake_->WaitForConnection(before);
    return p;
  }

  static FakePrinter* fake_;
  static AppServer* server_;
  static Picture picture_;
};

FakePrinter* PrinterApp::fake_ = nullptr;
AppServer* PrinterApp::server_ = nullptr;
Picture PrinterApp::picture_;

// --- Documents: every format and both widths print upright, unmirrored and
// as long as their content. ---

struct DocumentCase {
  const char* name;
  Via via;
  const char* printer;
  const char* file;
  int width;
  int blockRows;    // 48 rows at full size
  bool exactBytes;  // lossless and at the head width: the core's bytes exactly
};

TEST_F(PrinterApp, DocumentsPrintUprightAtContentLength) {
  const DocumentCase cases[] = {
      {"PNG with submit", Via::App, "receipt", "marked.png", 576, 48, true},
      {"PNG with ipptool", Via::IppTool, "receipt", "marked.png", 576, 48, true},
      {"JPEG with submit", Via::App, "receipt", "marked.jpg", 576, 48, false},
      {"PWG with submit", Via::App, "receipt", "marked.pwg", 576, 48, true},
      {"PWG with ipptool", Via::IppTool, "receipt", "marked.pwg", 576, 48, true},
      {"PNG on 58 mm, scaled down", Via::App, "narrow", "marked.png", 384, 32, false},
      {"PWG on 58 mm, cut to the head", Via::IppTool, "narrow", "marked.pwg", 384, 48, false},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Printed p = Print(c.via, c.printer, File(c.file));
    ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
    const escpos::Paper paper = escpos::decode(p.bytes);
    ASSERT_FALSE(paper.error) << paper.error->message;
    EXPECT_EQ(paper.width(), c.width);
    const Reading r = Read(paper);
    EXPECT_TRUE(r.blockLeft) << "mirrored or turned";
    EXPECT_NEAR(r.blockRows, c.blockRows, 3) << "turned upside down or shrunk";
    EXPECT_LE(r.leadingBlank, 3 * 8 + 23);
    EXPECT_LE(r.trailingBlank, 23);
    EXPECT_EQ(paper.fedRows(), kDefaultFeed);
    EXPECT_EQ(paper.cutRows().size(), 1u);
    if (c.exactBytes) {
      EXPECT_EQ(p.bytes, CoreBytes(picture_, {}));
    }
  }
}

TEST_F(PrinterApp, BlankStretchesGoOutAsNarrowBands) {
  const Picture tall = MarkedPicture(kHead80, 1600, 1400);
  WritePng(File("gap.png"), tall);
  const Printed p = Print(Via::App, "receipt", File("gap.png"));
  ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
  const escpos::Paper paper = escpos::decode(p.bytes);
  EXPECT_GE(paper.blankBands(), 1400u / 24 - 2);
  EXPECT_LT(p.bytes.size(), 300u * 72);  // the picture's few inked rows, not 1600
}

// --- Options: each attribute gives the bytes of the PPD choice it stands
// for, and the marks a printer would show. ---

struct Marks {
  size_t cuts = 1;
  size_t pulses = 0;
  size_t formFeeds = 0;
  size_t warnings = 0;
  int density = -1;  // -1: no density command
  int fed = kDefaultFeed;
  bool blockLeft = true;
};

struct OptionCase {
  const char* name;
  Via via;
  std::vector<std::string> appOptions;
  std::string ippAttrs;
  std::map<std::string, std::string> choices;
  Marks marks;
  uint32_t copies = 1;
};

void CheckMarks(const Bytes& bytes, const Marks& m) {
  const escpos::Paper paper = escpos::decode(bytes);
  ASSERT_FALSE(paper.error) << paper.error->message;
  EXPECT_EQ(paper.cutRows().size(), m.cuts);
  EXPECT_EQ(paper.count(escpos::EventKind::DrawerPulse), m.pulses);
  EXPECT_EQ(paper.count(escpos::EventKind::FormFeed), m.formFeeds);
  EXPECT_EQ(paper.count(escpos::EventKind::Warning), m.warnings);
  int density = -1;
  for (const escpos::Event& e : paper.events)
    if (e.kind == escpos::EventKind::Density) density = e.value;
  EXPECT_EQ(density, m.density);
  EXPECT_EQ(paper.fedRows(), m.fed);
  EXPECT_EQ(Read(paper).blockLeft, m.blockLeft);
}

TEST_F(PrinterApp, EachOptionSendsTheFiltersBytes) {
  const OptionCase cases[] = {
      {"defaults", Via::App, {}, "", {}, {}},
      {"dithering threshold", Via::App, {"dithering=threshold"}, "", {{"Dithering", "None"}}, {}},
      {"dithering halftone", Via::App, {"dithering=halftone"}, "", {{"Dithering", "Halftone"}}, {}},
      {"dithering ordered-8x8", Via::App, {"dithering=ordered-8x8"}, "", {{"Dithering", "OrderDithering"}}, {}},
      {"content text", Via::IppTool, {}, "  ATTR keyword print-content-optimize text", {{"Dithering", "None"}}, {}},
      {"content graphic", Via::IppTool, {}, "  ATTR keyword print-content-optimize graphic",
       {{"Dithering", "Halftone"}}, {}},
      {"dithering wins over content", Via::IppTool, {},
       "  ATTR keyword print-content-optimize text\n  ATTR keyword dithering error-diffusion", {}, {}},
      {"cutter page", Via::App, {"cutter=page"}, "", {{"Cutting", "1"}}, {}},
      {"cutter none", Via::App, {"cutter=none"}, "", {{"Cutting", "0"}}, {.cuts = 0}},
      {"finishings trim", Via::IppTool, {}, "  ATTR enum finishings 11", {{"Cutting", "1"}}, {}},
      {"cash drawer before", Via::App, {"cash-drawer=before"}, "", {{"CashDrawer", "1"}}, {.pulses = 1}},
      {"cash drawer after", Via::IppTool, {}, "  ATTR keyword cash-drawer after", {{"CashDrawer", "2"}},
       {.pulses = 1}},
      {"feed-after 13", Via::App, {"feed-after=13"}, "", {{"FeedAfterPrinting", "13"}}, {.fed = 720}},
      {"feed-after 0", Via::IppTool, {}, "  ATTR integer feed-after 0", {{"FeedAfterPrinting", "0"}}, {.fed = 0}},
      {"warning before", Via::App, {"warning=before"}, "", {{"Warning", "1"}}, {.warnings = 1}},
      {"mirror-image", Via::App, {"mirror-image=true"}, "", {{"MirrorImage", "True"}}, {.blockLeft = false}},
      // In negative the top-left block is the one patch of bare paper.
      {"negative-image", Via::IppTool, {}, "  ATTR boolean negative-image true", {{"NegativeImage", "True"}},
       {.blockLeft = false}},
      {"leading-blank keep", Via::App, {"leading-blank=keep"}, "", {{"LeadingBlank", "Keep"}}, {}},
      {"print-darkness 100", Via::IppTool, {}, "  ATTR integer print-darkness 100", {{"PrintDensity", "8"}},
       {.density = 8}},
      {"print-darkness 30", Via::App, {"print-darkness=30"}, "", {{"PrintDensity", "3"}}, {.density = 3}},
      {"media-tracking mark", Via::IppTool, {},
       "  ATTR collection media-col {\n    MEMBER keyword media-tracking mark\n  }", {{"PageEnd", "2"}},
       {.formFeeds = 1}},
      {"copies 2, each cut", Via::App, {"copies=2"}, "", {}, {.cuts = 2, .fed = 2 * kDefaultFeed}, 2},
      {"unknown keyword falls back to the default", Via::App, {"cutter=sideways"}, "", {}, {}},
  };
  for (const OptionCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Printed p = Print(c.via, "receipt", File("marked.png"), c.appOptions, c.ippAttrs);
    ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
    EXPECT_EQ(p.bytes, CoreBytes(picture_, c.choices, c.copies));
    CheckMarks(p.bytes, c.marks);
  }
}

TEST_F(PrinterApp, ReversePortraitImageTurnsUpsideDown) {
  const Printed p = Print(Via::IppTool, "receipt", File("marked.png"), {}, "  ATTR enum orientation-requested 6");
  ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
  EXPECT_EQ(p.bytes, CoreBytes(picture_, {{"Origin", "Rotation180"}}));
}

// Copies are collated: the whole two-page job, then the whole job again,
// each copy ending as the cutter says.
TEST_F(PrinterApp, CopiesRepeatTheWholeJob) {
  const Picture second = MarkedPicture(kHead80, 200);
  WritePwg(File("two-pages.pwg"), {picture_, second});
  struct Case {
    std::vector<std::string> options;
    std::map<std::string, std::string> choices;
    uint32_t copies;
    size_t cuts;
  };
  const Case cases[] = {{{"copies=2"}, {}, 2, 2}, {{"copies=3", "cutter=page"}, {{"Cutting", "1"}}, 3, 6}};
  for (const Case& c : cases) {
    const Printed p = Print(Via::App, "receipt", File("two-pages.pwg"), c.options);
    ASSERT_EQ(p.end.state, IPP_JSTATE_COMPLETED) << p.end.message;
    EXPECT_EQ(p.bytes, CoreBytes({picture_, second}, c.choices, c.copies));
    EXPECT_EQ(escpos::decode(p.bytes).cutRows().size(), c.cuts);
  }
}

// --- Printer defaults: modify and Set-Printer-Attributes both reach jobs
// that do not choose, and survive a restart. ---

TEST_F(PrinterApp, DefaultsChangeLaterJobsAndSurviveRestart) {
  ASSERT_EQ(server_->Cli({"modify", "-d", "receipt", "-o", "cutter-default=none", "-o", "cash-drawer-default=after"})
                .status,
            0);
  Printed p = Print(Via::App, "receipt", File("marked.png"));
  EXPECT_EQ(p.bytes, CoreBytes(picture_, {{"Cutting", "0"}, {"CashDrawer", "2"}}));

  RunResult set = IppTool("receipt",
                          "  OPERATION Set-Printer-Attributes\n  GROUP printer-attributes-tag\n"
                          "  ATTR keyword dithering-default threshold\n  ATTR integer feed-after-default 2");
  ASSERT_EQ(set.status, 0) << set.output;
  p = Print(Via::IppTool, "receipt", File("marked.pwg"));
  const std::map<std::string, std::string> changed = {
      {"Cutting", "0"}, {"CashDrawer", "2"}, {"Dithering", "None"}, {"FeedAfterPrinting", "2"}};
  EXPECT_EQ(p.bytes, CoreBytes(picture_, changed));

  server_->Stop();
  server_->Start();
  const RunResult printers = server_->Cli({"printers"});
  EXPECT_NE(printers.output.find("receipt"), std::string::npos) << printers.output;
  EXPECT_NE(printers.output.find("narrow"), std::string::npos) << printers.output;
  p = Print(Via::App, "receipt", File("marked.png"));
  EXPECT_EQ(p.bytes, CoreBytes(picture_, changed));

  ASSERT_EQ(server_->Cli({"modify", "-d", "receipt", "-o", "cutter-default=job", "-o", "cash-drawer-default=none",
                          "-o", "dithering-default=auto", "-o", "feed-after-default=4"})
                .status,
            0);
  p = Print(Via::App, "receipt", File("marked.png"));
  EXPECT_EQ(p.bytes, CoreBytes(picture_, {}));

  // The standard attributes' defaults, which PAPPL resolves itself.
  set = IppTool("receipt",
                "  OPERATION Set-Printer-Attributes\n  GROUP printer-attributes-tag\n"
                "  ATTR keyword print-content-optimize-default text\n  ATTR integer print-darkness-default 50");
  ASSERT_EQ(set.status, 0) << set.output;
  p = Print(Via::App, "receipt", File("marked.png"));
  EXPECT_EQ(p.bytes, CoreBytes(picture_, {{"Dithering", "None"}, {"PrintDensity", "4"}}));
  set = IppTool("receipt",
                "  OPERATION Set-Printer-Attributes\n  GROUP printer-attributes-tag\n"
                "  ATTR keyword print-content-optimize-default auto\n  ATTR integer print-darkness-default 0");
  ASSERT_EQ(set.status, 0) << set.output;
}

// --- Faults: each job ends with a clear message, the server lives on and
// the next job prints. ---

struct FaultCase {
  const char* name;
  const char* file;
  FakePrinter::Mode mode;
  const char* message;  // part of the job's state message
};

TEST_F(PrinterApp, FaultsAbortTheJobOnly) {
  std::ofstream(File("corrupt.png")) << "\x89PNG\r\n\x1a\n" << std::string(64, 'x');
  WritePwg(File("endless.pwg"), MarkedPicture(kHead80, 50), 100000);
  const Picture big = [] {
    Picture p{kHead80, 6000, std::vector<uint8_t>(kHead80 * 6000)};
    for (size_t i = 0; i < p.grey.size(); ++i) p.grey[i] = static_cast<uint8_t>(i * 7919 % 251);  // noise
    return p;
  }();
  WritePwg(File("big.pwg"), big);
  const FaultCase cases[] = {
      {"corrupt PNG", "corrupt.png", FakePrinter::Mode::Record, "PNG file is damaged"},
      {"100 000-row PWG page", "endless.pwg", FakePrinter::Mode::Record, "100000 rows long"},
      {"printer refuses the connection", "marked.png", FakePrinter::Mode::Refuse, "cannot be reached"},
      {"printer dies mid-job", "big.pwg", FakePrinter::Mode::HangUpAfter, "printer at 127.0.0.1"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake_->SetMode(c.mode, 4096);
    const Printed p = Print(Via::App, "receipt", File(c.file));
    fake_->SetMode(FakePrinter::Mode::Record);
    EXPECT_EQ(p.end.state, IPP_JSTATE_ABORTED);
    EXPECT_NE(p.end.message.find(c.message), std::string::npos) << p.end.message;
    EXPECT_NE(server_->Log().find(c.message), std::string::npos);
    ASSERT_TRUE(server_->Alive());
    const Printed next = Print(Via::App, "receipt", File("marked.png"));
    EXPECT_EQ(next.end.state, IPP_JSTATE_COMPLETED) << next.end.message;
    EXPECT_EQ(next.bytes, CoreBytes(picture_, {}));
  }
}

// --- Identify, the web interface ---

TEST_F(PrinterApp, IdentifyMovesPaperOrSoundsAndNothingElse) {
  struct Case {
    const char* actions;
    int fed;
    size_t warnings;
  };
  const Case cases[] = {{"", 24, 0}, {"  ATTR keyword identify-actions sound", 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.actions);
    const size_t before = fake_->Connections();
    const RunResult r = IppTool("receipt", std::string("  OPERATION Identify-Printer\n") + c.actions);
    ASSERT_EQ(r.status, 0) << r.output;
    const escpos::Paper paper = escpos::decode(fake_->WaitForConnection(before));
    EXPECT_EQ(paper.fedRows(), c.fed);
    EXPECT_EQ(paper.count(escpos::EventKind::Warning), c.warnings);
    EXPECT_EQ(paper.count(escpos::EventKind::Band) + paper.cutRows().size() +
                  paper.count(escpos::EventKind::DrawerPulse),
              0u);
  }
}

// Web pages a user opens, with no avahi-daemon (the tmpfs over /run hides
// it): the labels of the vendor options show, and nothing takes the server
// down.
TEST_F(PrinterApp, WebPagesShowLabelsWithoutAvahi) {
  struct Case {
    const char* path;
    const char* shows;
  };
  const Case cases[] = {{"/", "receipt"},
                        {"/receipt/printing", "Cut at end of job"},
                        {"/receipt/printing", "Error diffusion (photos and logos)"},
                        {"/addprinter", "avahi-daemon"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string page = HttpGet(c.path);
    EXPECT_NE(page.find(c.shows), std::string::npos) << page;
  }
  ASSERT_TRUE(server_->Alive());
}

// --- A driverless CUPS queue on top of the application ---

// A private cupsd (own configuration, loopback port, no authentication)
// with an IPP Everywhere queue on the application's printer: what CUPS
// renders reaches the printer upright and as long as its content.
TEST_F(PrinterApp, DriverlessCupsQueuePrints) {
  if (access("/usr/sbin/cupsd", X_OK) != 0) GTEST_SKIP() << "cupsd is not installed";
  const std::string c = TestDir("cupsd");
  for (const char* d : {"etc", "spool", "tmp", "cache", "state", "log"}) std::filesystem::create_directories(c + "/" + d);
  std::filesystem::permissions(c + "/tmp", std::filesystem::perms(01777));
  std::ofstream(c + "/etc/cups-files.conf") << "ServerRoot " << c << "/etc\nRequestRoot " << c << "/spool\nTempDir " << c
                                            << "/tmp\nCacheDir " << c << "/cache\nStateDir " << c << "/state\nErrorLog "
                                            << c << "/log/error_log\nAccessLog " << c << "/log/access_log\n";
  std::ofstream(c + "/etc/cupsd.conf") << "Listen 127.0.0.1:6310\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                                          "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                          "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
  const std::string script = "/usr/sbin/cupsd -f -c " + c + "/etc/cupsd.conf -s " + c +
                             "/etc/cups-files.conf & cupsd=$!; for i in $(seq 100); do lpstat -r >/dev/null 2>&1 && break; "
                             "sleep 0.1; done; lpadmin -p receipt -E -v ipp://localhost:" +
                             std::to_string(AppServer::kPort) + "/ipp/print/receipt -m everywhere && lp -d receipt \"$1\"; "
                             "status=$?; for i in $(seq 600); do [ -z \"$(lpstat -o receipt)\" ] && break; sleep 0.1; done; "
                             "kill $cupsd; wait $cupsd; exit $status";
  const std::pair<std::string, int> documents[] = {{std::string(LABELFILTER_SOURCE_DIR) + "/samples/receipt.pdf", 1400},
                                                   {File("marked.png"), 400 + 24 + kDefaultFeed}};
  for (const auto& [document, maxRows] : documents) {
    SCOPED_TRACE(document);
    const size_t before = fake_->Connections();
    const RunResult r = ::Run({"/usr/bin/timeout", "120", "/bin/sh", "-c", script, "sh", document},
                              {{"CUPS_SERVER", "127.0.0.1:6310"}});
    ASSERT_EQ(r.status, 0) << r.output;
    const escpos::Paper paper = escpos::decode(fake_->WaitForConnection(before));
    ASSERT_FALSE(paper.error) << paper.error->message;
    EXPECT_EQ(paper.width(), 576);
    EXPECT_TRUE(Read(paper).blockLeft || document.ends_with(".pdf"));
    EXPECT_GT(paper.height(), 300);
    EXPECT_LE(paper.height(), maxRows);  // the 2 m default page, cut to its content
    EXPECT_EQ(paper.cutRows().size(), 1u);
  }
}

// --- The command line, and the README's commands as written ---

TEST_F(PrinterApp, CommandLineAnswersWithoutAbort) {
  struct Case {
    std::vector<std::string> args;
    const char* shows;
  };
  const Case cases[] = {
      {{"--help"}, "server"},
      {{"--version"}, "1.0"},
      {{"drivers"}, "escpos-58mm-203dpi"},
      {{"devices"}, "avahi-daemon is not running"},  // PAPPL 1.3.1 aborts here without avahi
      {{"printers"}, "narrow"},
      {{"status"}, "Running"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const RunResult r = server_->Cli(c.args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(c.shows), std::string::npos) << r.output;
  }
}

}  // namespace

// Runs after the suite above has stopped its server: the README's server
// command takes the default port and state, as a user's would.
TEST(ReadmeCommands, RunAsWritten) {
  if (!SkipReason.empty()) GTEST_SKIP() << SkipReason;
  std::ifstream in(std::string(LABELFILTER_SOURCE_DIR) + "/README.md");
  std::stringstream readme;
  readme << in.rdbuf();
  const std::string text = readme.str();
  const size_t section = text.find("## Printer application");
  ASSERT_NE(section, std::string::npos);
  std::vector<std::string> commands;
  std::istringstream lines(text.substr(section, text.find("\n## ", section + 1) - section));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("labelfilter-printer-app ", 0) == 0) commands.push_back(line.substr(24));
  ASSERT_GE(commands.size(), 5u);

  const std::string dir = TestDir("readme");
  WritePng(dir + "/receipt.png", MarkedPicture(kHead80, 100));
  WritePwg(dir + "/receipt.pwg", MarkedPicture(kHead80, 100));
  const std::string app = LABELFILTER_PRINTER_APP;
  // The server runs in the background; everything else in turn, from a
  // shell, word for word.
  const std::string script = "cd " + dir + " && export HOME=" + dir + " && { " + app + " " + commands[0] +
                             " > server.out 2>&1 & } && server=$! && for i in $(seq 100); do [ -S /run/labelfilter-printer-app.sock ] && break; sleep 0.1; done";
  ASSERT_EQ(commands[0], "server");
  std::string all = script;
  for (size_t i = 1; i < commands.size(); ++i) all += " && echo '>>> " + commands[i] + "' && " + app + " " + commands[i];
  all += "; status=$?; kill $server; wait $server; exit $status";
  const RunResult r = ::Run({"/usr/bin/timeout", "120", "/bin/sh", "-c", all}, StatusLeakTolerated());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("receipt"), std::string::npos) << r.output;
  std::ifstream server(dir + "/server.out");
  std::stringstream started;
  started << server.rdbuf();
  EXPECT_NE(started.str().find("listening on http://localhost:8000/"), std::string::npos) << started.str();
}

// --- Pure parts ---

// The test page, decoded: the head's full width, four ramps that differ by
// dithering mode, and one cut at the end.
TEST(PrinterAppUnits, TestPageShowsEveryDitheringMode) {
  PrintSettings defaults;
  defaults.cutAtJobEnd = true;
  defaults.nDistance = 120;
  for (uint32_t head : {kHead80, kHead58}) {
    const escpos::Paper paper = escpos::decode(TestPageStream("receipt", "ESC/POS", head, defaults));
    ASSERT_FALSE(paper.error) << paper.error->message;
    EXPECT_EQ(paper.width(), static_cast<int>(head));
    // Title, ruler, four ramps and the bars, one after the other.
    EXPECT_GE(paper.height() - paper.fedRows(), 600);
    EXPECT_EQ(paper.cutRows().size(), 1u);
    EXPECT_EQ(paper.count(escpos::EventKind::DrawerPulse), 0u);
    EXPECT_EQ(paper.fedRows(), 120);
  }
}

TEST(PrinterAppUnits, DarknessMapsOntoEightLevels) {
  const std::pair<int, int> cases[] = {{0, 0}, {-100, 1}, {-1, 1},  {1, 1},  {12, 1},  {13, 2},
                                       {50, 4}, {87, 7},  {88, 8},  {100, 8}, {250, 8}};
  for (auto [darkness, level] : cases) EXPECT_EQ(DensityLevel(darkness), level) << darkness;
}

TEST(PrinterAppUnits, ImagesShrinkToTheHeadAndNeverGrow) {
  struct Case {
    uint32_t w, h;
    bool across;
    PageSize expected;
  };
  const Case cases[] = {{576, 400, false, {576, 400}},   {300, 50, false, {300, 50}},
                        {1152, 801, false, {576, 401}},  {4000, 3000, false, {576, 432}},
                        {65535, 1, false, {576, 1}},     {800, 1152, true, {400, 576}},
                        {2000, 300, true, {2000, 300}}};
  for (const Case& c : cases) {
    const PageSize s = FitToHead(c.w, c.h, 576, c.across);
    EXPECT_EQ(s.width, c.expected.width) << c.w << "x" << c.h;
    EXPECT_EQ(s.rows, c.expected.rows) << c.w << "x" << c.h;
  }
}

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
  if (!listing) {
    SkipReason = EnterPrivateWorld();
    if (!SkipReason.empty()) SkipReason = "no private network namespace for the server: " + SkipReason;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
