// The shipped PPDs and the filter among CUPS's own programs: cupstestppd,
// the sample receipt through cupsfilter's chain (pdftopdf -> gstoraster ->
// labelfilter) decoded back into paper and checked dot area by dot area, and
// a whole queue under a private cupsd run from the README's commands.
// Nothing is installed: the chain runs from a private ServerBin.
#include <cups/cups.h>
#include <cups/ppd.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "EscPosDecoder.h"
#include "Models.h"
#include "OptionTable.h"
#include "PagePipeline.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kSample = SourcePath("samples/receipt.pdf");

// A ServerBin for cupsfilter and cupsd: links to the system's filters,
// backends and helpers, plus a copy of the built labelfilter. CUPS runs a
// filter only when it and its directory are owned by root and not writable
// by others, which a build tree does not promise.
std::string MakeServerBin(const std::string& base) {
  const fs::path serverBin = base + "/serverbin", system = "/usr/lib/cups";
  fs::create_directories(serverBin / "filter");
  for (const auto& dir : {fs::path(), fs::path("filter")})
    for (const auto& entry : fs::directory_iterator(system / dir))
      if (entry.path().filename() != "filter" && entry.path().filename() != "labelfilter")
        fs::create_symlink(entry.path(), serverBin / dir / entry.path().filename());
  // The scheduler's filter user need not reach the build tree.
  CopyFilterTo(serverBin / "filter" / "labelfilter");
  for (const auto& p : {serverBin, serverBin / "filter"}) fs::permissions(p, fs::perms(0755));
  return serverBin;
}

// One page's share of a decoded job: its first dot row on the paper, the
// row after its last, and its commands. A page ends with its tail (feeds
// and cut); the next band starts the next page.
struct PageSlice {
  int firstRow = 0, endRow = 0;
  std::vector<escpos::Event> events;
};

std::vector<PageSlice> SplitPages(const escpos::Paper& paper) {
  std::vector<PageSlice> pages;
  bool inTail = true;  // so that the first command opens page 1
  for (const auto& e : paper.events) {
    const bool tailCommand = e.kind == escpos::EventKind::Feed || e.kind == escpos::EventKind::Cut;
    if (!tailCommand && inTail) {
      if (!pages.empty()) pages.back().endRow = e.row;
      pages.push_back(PageSlice{pages.empty() ? 0 : e.row, 0, {}});
      inTail = false;
    }
    if (tailCommand) inTail = true;
    if (pages.empty()) pages.push_back(PageSlice{});
    pages.back().events.push_back(e);
  }
  if (!pages.empty()) pages.back().endRow = paper.height();
  return pages;
}

constexpr double kDotsPerPoint = 203.0 / 72.0;

// A rectangle of the sample in points from its page's top-left corner, and
// the share of its dots that must be set (minFill) or may be set (maxFill).
struct Box {
  const char* what;
  double left, top, right, bottom;
  double minFill, maxFill;
};

// Where samples/receipt.ps draws; boxes sit a little inside the shapes so
// that a dot of rounding in the renderer does not matter.
const std::vector<Box> kPage1 = {
    {"logo disc", 22, 10, 38, 19, 0.8, 1.0}, {"shop name", 60, 17, 170, 24, 0.1, 0.9},
    {"address line", 60, 31, 150, 36, 0.05, 0.9}, {"phone line", 60, 41, 130, 46, 0.05, 0.9},
    {"gap under the heading", 55, 49, 204.3, 62, 0.0, 0.0}, {"first rule", 10, 63.7, 194, 64.3, 0.8, 1.0},
    {"gap under the rule", 0, 66, 204.3, 71.5, 0.0, 0.0}, {"item 1", 10, 75, 110, 80, 0.05, 0.9},
    {"price 1", 165, 75, 194, 80, 0.05, 0.9}, {"item 2", 10, 89, 130, 94, 0.05, 0.9},
    {"item 3", 10, 103, 100, 108, 0.05, 0.9}, {"item 4", 10, 117, 120, 122, 0.05, 0.9},
    {"second rule", 10, 131.7, 194, 132.3, 0.8, 1.0}, {"total", 10, 142, 50, 150, 0.2, 0.95},
    {"total amount", 130, 142, 194, 150, 0.2, 0.95}, {"paid by", 10, 161, 160, 166, 0.03, 0.9},
    {"ramp, dark end", 10, 183, 40, 205, 0.6, 1.0}, {"ramp, light end", 180, 183, 194, 205, 0.0, 0.3},
    {"thank you", 10, 220, 140, 226, 0.05, 0.9}, {"receipt number", 10, 233, 120, 238, 0.05, 0.9},
    {"below the last line", 0, 244, 204.3, 566.93, 0.0, 0.0}, {"left margin", 0, 0, 6.5, 566.93, 0.0, 0.0},
    {"right margin", 198.5, 0, 204.3, 566.93, 0.0, 0.0},
};

const std::vector<Box> kPage2 = {
    {"frame top", 10, 11.6, 194, 12.4, 0.8, 1.0}, {"frame left", 7.4, 20, 8.6, 150, 0.8, 1.0},
    {"frame right", 195.4, 20, 196.6, 150, 0.8, 1.0}, {"frame bottom", 10, 161.6, 194, 162.4, 0.8, 1.0},
    {"COUPON", 16, 30, 100, 44, 0.2, 0.95}, {"offer line", 16, 59, 120, 66, 0.05, 0.9},
    {"code line", 16, 79, 110, 84, 0.05, 0.9}, {"valid line", 16, 91, 120, 96, 0.05, 0.9},
    {"gap above the ramp", 10, 100, 194, 114, 0.0, 0.0}, {"ramp, dark end", 152, 117, 184, 124, 0.6, 1.0},
    {"small print", 16, 135, 100, 140, 0.03, 0.9}, {"below the frame", 0, 165, 204.3, 566.93, 0.0, 0.0},
    {"left margin", 0, 0, 6.5, 566.93, 0.0, 0.0}, {"right margin", 198.5, 0, 204.3, 566.93, 0.0, 0.0},
};

// `top` is the paper row where the page's top edge would be: its first dot
// row less the rows the sample has above its first dot.
void ExpectPage(const escpos::Paper& paper, const PageSlice& page, int top, const std::vector<Box>& boxes,
                const std::string& context) {
  for (const Box& box : boxes) {
    const int x0 = static_cast<int>(std::floor(box.left * kDotsPerPoint));
    const int x1 = static_cast<int>(std::ceil(box.right * kDotsPerPoint));
    const int y0 = std::max(page.firstRow, top + static_cast<int>(std::floor(box.top * kDotsPerPoint)));
    // Rows past the page's end were never sent (trailing blank rows are
    // dropped), so they count as blank paper, not as part of the box.
    const int y1 = std::min(page.endRow, top + static_cast<int>(std::ceil(box.bottom * kDotsPerPoint)));
    const long area = static_cast<long>(x1 - x0) * std::max(0, y1 - y0);
    const long dots = area > 0 ? paper.dotsIn(x0, y0, x1, y1) : 0;
    const double fill = area > 0 ? static_cast<double>(dots) / static_cast<double>(area) : 0.0;
    if (box.minFill > 0) {
      ASSERT_GT(area, 0) << context << ": " << box.what << " lies past the end of the printed page";
    }
    const std::string where = context + ": " + box.what + " (" + std::to_string(dots) + " dots of " +
                              std::to_string(area) + ", columns " + std::to_string(x0) + "-" + std::to_string(x1) +
                              ", rows " + std::to_string(y0) + "-" + std::to_string(y1) + ")";
    EXPECT_GE(fill, box.minFill) << where << ": too few dots";
    EXPECT_LE(fill, box.maxFill) << where << ": too many dots";
  }
}

// Checks that `paper` holds `copies` collated copies (1 2 1 2 ...) of the two
// pages of samples/receipt.pdf on 576 dots, each with `feed` rows fed after
// it, and cut as the "Cutting" choice says: "0" never, "1" after every page,
// "2" once, as the stream's last command.
void ExpectSampleReceipt(const escpos::Paper& paper, const std::string& context, const std::string& cutting = "2",
                         int feed = 120, std::size_t copies = 1) {
  ASSERT_FALSE(paper.error) << context << ": stream does not decode at offset " << paper.error->offset << ": "
                            << paper.error->message;
  EXPECT_EQ(paper.width(), 576) << context;
  const auto pages = SplitPages(paper);
  ASSERT_EQ(pages.size(), 2 * copies) << context;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    int fed = 0;
    std::size_t cuts = 0;
    for (const auto& e : pages[i].events) {
      // Every band of a 576-dot page is 72 bytes wide, blank bands excepted.
      if (e.kind == escpos::EventKind::Band && !e.blank) { EXPECT_EQ(e.value, 576) << context; }
      if (e.kind == escpos::EventKind::Feed) fed += e.value;
      cuts += e.kind == escpos::EventKind::Cut;
    }
    EXPECT_EQ(fed, feed) << context << ", sheet " << i + 1;
    const bool last = i + 1 == pages.size();
    EXPECT_EQ(cuts, cutting == "1" || (cutting == "2" && last) ? 1u : 0u) << context << ", sheet " << i + 1;
    if (cuts) { EXPECT_EQ(pages[i].events.back().kind, escpos::EventKind::Cut) << context; }
    // Rows above the first dot in the sample as rendered: 22 on page 1 (the
    // logo), 31 on page 2 (the frame). The PPD's LeadingBlank keeps at most
    // 24 of them.
    const int above = i % 2 ? 31 : 22;
    int first = pages[i].firstRow;
    while (first < pages[i].endRow && paper.dotsIn(0, first, paper.width(), first + 1) == 0) ++first;
    EXPECT_LE(first - pages[i].firstRow, std::min(above, 24)) << context << ": blank rows above sheet " << i + 1;
    ExpectPage(paper, pages[i], first - above, i % 2 ? kPage2 : kPage1, context + ", sheet " + std::to_string(i + 1));
  }
}

using PpdPtr = std::unique_ptr<ppd_file_t, decltype(&ppdClose)>;

// The shipped PPDs as CUPS reads them, one per row of the model table and
// nothing else: cupstestppd's verdict, the filter line, the options and
// choices the filter looks up (keywords and choice strings exactly as it
// compares them), the raster headers that CUPS derives from the colour and
// page size choices (the model's resolution and head width), and a page
// through the filter with each PPD: the feed and the blank paper kept above
// the print come out as the same millimetres on every head.
class ShippedPpd : public FilterTestBase {};

TEST_F(ShippedPpd, OffersWhatTheFilterReadsAtTheModelsWidthAndUnits) {
  // Keyword: choices as `lpoptions -l` lists them, the default starred, and
  // their labels; all from the option table but the colour mode.
  struct Offered { std::string keyword, label, choices; std::vector<std::string> choiceLabels; };
  std::vector<Offered> options = {{"ColorModel", "Colour Mode", "*Gray", {"Grayscale, halftoned by the driver"}}};
  for (const JobOption& option : kJobOptions) {
    if (option.ppdKeyword.empty()) continue;
    Offered o{std::string(option.ppdKeyword), std::string(option.label), "", {}};
    const auto add = [&](std::string_view choice, std::string_view label) {
      o.choices += (o.choices.empty() ? "" : " ") + std::string(choice == option.ppdDefault ? "*" : "") +
                   std::string(choice);
      o.choiceLabels.emplace_back(label);
    };
    switch (option.kind) {
      case JobOption::Kind::Choices:
        for (const OptionChoice& c : option.choices)
          if (!c.ppd.empty()) add(c.ppd, c.label);
        break;
      case JobOption::Kind::Number:
        for (int n = option.lower; n <= option.upper; ++n) add(std::to_string(n), "");
        break;
      case JobOption::Kind::Boolean: add("False", "Off"), add("True", "On"); break;
    }
    options.push_back(o);
  }
  std::set<std::string> built;
  for (const auto& entry : fs::directory_iterator(PpdPath("")))
    if (entry.path().extension() == ".ppd") built.insert(entry.path().filename());
  std::set<std::string> rows;
  for (const PrinterModel& model : kModels) rows.insert(std::string(model.ppdFile));
  EXPECT_EQ(built, rows) << "labelfilter.drv and ppd/CMakeLists.txt must list the model table's PPDs";

  for (const PrinterModel& model : kModels) {
    const std::string name(model.ppdFile);
    SCOPED_TRACE(name);
    // -I filters: the filter is not installed on the build machine.
    const auto check = RunCommand({"cupstestppd", "-I", "filters", PpdPath(name)});
    EXPECT_EQ(check.exitStatus, 0) << ToString(check.out) << check.err;
    EXPECT_NE(ToString(check.out).find(": PASS"), std::string::npos) << ToString(check.out);
    PpdPtr ppd(ppdOpenFile(PpdPath(name).c_str()), &ppdClose);
    ASSERT_TRUE(ppd);
    EXPECT_EQ(std::string(ppd->modelname), "labelfilter " + std::string(model.makeAndModel));  // ppdc adds the maker
    ASSERT_EQ(ppd->num_filters, 1);
    EXPECT_STREQ(ppd->filters[0], "application/vnd.cups-raster 0 labelfilter");
    for (const Offered& offered : options) {
      const std::string& keyword = offered.keyword;
      ppd_option_t* option = ppdFindOption(ppd.get(), keyword.c_str());
      ASSERT_NE(option, nullptr) << keyword;
      EXPECT_EQ(option->ui, PPD_UI_PICKONE) << keyword;
      EXPECT_EQ(option->text, offered.label) << keyword;
      std::string choices;
      for (int i = 0; i < option->num_choices; ++i) {
        const std::string choice = option->choices[i].choice;
        choices += (i ? " " : "") + std::string(choice == option->defchoice ? "*" : "") + choice;
        EXPECT_NE(choice, option->choices[i].text) << keyword;
        // Number choices have texts of their own (the feed in millimetres);
        // the others are the table's labels.
        if (size_t(i) < offered.choiceLabels.size() && !offered.choiceLabels[size_t(i)].empty()) {
          EXPECT_EQ(option->choices[i].text, offered.choiceLabels[size_t(i)]) << keyword << " " << choice;
        }
      }
      EXPECT_EQ(choices, offered.choices) << keyword;
    }
    // Only 8-bit grey prints upright with the default orientation; jobs and
    // queues that name the colour modes of earlier PPDs fall back to it.
    // Every roll length of the row has its own page size with the head's
    // width and no margins.
    const double widthPoints = model.headDots * 72.0 / model.dpi;
    std::vector<std::pair<const char*, std::string>> marks = {{"ColorModel", "Mono"}, {"ColorModel", "RGB"}};
    std::vector<std::string> sizes, expectedSizes;
    for (uint16_t length : model.ppdLengthsMm)
      expectedSizes.push_back("R" + std::to_string(model.rollMm) + "x" + std::to_string(length) + "mm");
    for (int i = 0; i < ppd->num_sizes; ++i) {
      const ppd_size_t& size = ppd->sizes[i];
      if (std::string(size.name) == "Custom") continue;
      sizes.push_back(size.name);
      EXPECT_NEAR(size.width, widthPoints, 0.1) << size.name;
      EXPECT_EQ(size.left, 0.0f) << size.name;
      EXPECT_NEAR(size.right, size.width, 0.01) << size.name << " has no margins";
      marks.push_back({"PageSize", size.name});
    }
    EXPECT_EQ(sizes, expectedSizes);
    EXPECT_TRUE(ppd->variable_sizes) << "custom lengths must be possible";
    EXPECT_NEAR(ppd->custom_max[0], widthPoints, 0.1);
    for (const auto& [keyword, choice] : marks) {
      ppdMarkDefaults(ppd.get());
      ppdMarkOption(ppd.get(), keyword, choice.c_str());
      cups_page_header2_t header{};
      ASSERT_EQ(cupsRasterInterpretPPD(&header, ppd.get(), 0, nullptr, nullptr), 0) << cupsRasterErrorString();
      EXPECT_EQ(header.cupsColorSpace, CUPS_CSPACE_K) << choice;
      EXPECT_EQ(header.cupsBitsPerPixel, 8u) << choice;
      EXPECT_EQ(std::pair(header.HWResolution[0], header.HWResolution[1]), std::pair(model.dpi, model.dpi));
      EXPECT_EQ(header.cupsWidth, model.headDots) << choice;
      EXPECT_EQ(header.cupsBytesPerLine, model.headDots) << choice;
      const float length = ppdPageLength(ppd.get(), choice.c_str());  // 0 for the colour modes
      if (length > 0) {
        EXPECT_EQ(header.cupsHeight, static_cast<unsigned>(std::lround(length * model.dpi / 72.0))) << choice;
      }
    }
    // 200 blank rows, then 16 black ones. 6 feed steps are 180 dot rows of
    // a 203 dpi head, 22.5 mm; the 3 mm kept above the print, 24 rows there.
    cups_page_header2_t header = MakeHeader(model.headDots, 216, 8);
    header.HWResolution[0] = header.HWResolution[1] = model.dpi;
    Bytes lines(size_t{model.headDots} * 216, 0);
    std::fill(lines.begin() + size_t{model.headDots} * 200, lines.end(), 255);
    const FilterResult run = RunFilter({{"1", "user", "title", "1", "FeedAfterPrinting=6 LeadingBlank=3mm Cutting=0"},
                                        PpdPath(name), WriteRaster({{header, lines}})});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const escpos::Paper paper = escpos::decode(run.out);
    ASSERT_FALSE(paper.error) << paper.error->message;
    // Bands carry whole 32-dot words: a 360-dot head gets 24 white dots past its edge.
    EXPECT_EQ(paper.width(), static_cast<int>(BitmapStride(model.headDots) * 8));
    EXPECT_EQ(paper.dotsIn(0, 0, static_cast<int>(model.headDots), paper.height()), long{16} * model.headDots);
    const double motionMm = 254.0 / model.motionPer254Mm, dotMm = 254.0 / DotsPer254Mm(model);
    EXPECT_NEAR(paper.fedRows() * motionMm, 180 / 8.0, motionMm / 2) << paper.fedRows() << " feed units";
    int above = 0;
    while (above < paper.height() && paper.dotsIn(0, above, paper.width(), above + 1) == 0) ++above;
    EXPECT_NEAR(above * dotMm, 3.0, dotMm / 2) << above << " blank rows";
  }
}

class CupsFilterChain : public FilterTestBase {
 protected:
  // Runs the chain; returns the printer stream and leaves the log in `log`.
  Bytes Print(const std::string& ppd, const std::vector<std::string>& options, std::string& log) {
    std::vector<std::string> argv = {"cupsfilter", "-e", "-p", PpdPath(ppd), "-m", "printer/labelfilter"};
    for (const auto& o : options) argv.insert(argv.end(), {"-o", o});
    argv.push_back(kSample);
    const std::string out = dir_.Path("out.escpos");
    const auto r = RunCommand(argv, {{"CUPS_SERVERBIN", serverBin_}}, out, true);
    log = r.err;
    EXPECT_EQ(r.exitStatus, 0) << log;
    return ReadFile(out);
  }
  TempDir dir_;
  const std::string serverBin_ = MakeServerBin(dir_.dir());
};

TEST_F(CupsFilterChain, SampleReceiptPrintsAtFullWidthWithItsCuts) {
  struct Case {
    std::vector<std::string> options;
    std::string cutting;  // the "Cutting" choice in effect (PPD default "2")
  } const cases[] = {
      {{}, "2"}, {{"Dithering=None"}, "2"}, {{"Dithering=Halftone"}, "2"}, {{"Dithering=OrderDithering"}, "2"},
      {{"Dithering=ErrorDiffusion"}, "2"}, {{"Cutting=0"}, "0"}, {{"Cutting=1", "Dithering=None"}, "1"},
      // Colour modes of earlier PPDs, which printed turned and mirrored:
      // grey now, upright.
      {{"ColorModel=Mono"}, "2"}, {{"ColorModel=RGB"}, "2"},
  };
  for (const Case& c : cases) {
    std::string log, name;
    for (const auto& o : c.options) name += o + " ";
    const Bytes stream = Print("lf80mm.ppd", c.options, log);
    // The chain really went through the renderer and our filter, with the
    // raster the PPD asks for.
    EXPECT_NE(log.find("INFO: gstoraster (PID"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: labelfilter (PID"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: cupsWidth = 576\nERROR: cupsHeight"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: cupsBitsPerPixel = 8\n"), std::string::npos) << log;
    ExpectSampleReceipt(escpos::decode(stream), name, c.cutting);
  }
}

// With port 0, a free loopback port (bound, then let go); otherwise whether
// something accepts connections on that port.
int Loopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)),
                   .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t len = sizeof addr;
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  const int result = port ? connect(fd, a, len) == 0
                          : bind(fd, a, len) == 0 && getsockname(fd, a, &len) == 0 ? ntohs(addr.sin_port) : 0;
  close(fd);
  return result;
}

// A scheduler of the test's own in a private mount namespace: its /tmp is
// its own (the filter's dumps have fixed paths shared by every job on the
// machine), and /usr/local is `usrLocal`, a staged install, so that its
// cups-driverd lists the PPDs at their real installed path.
class PrivateCupsd {
 public:
  explicit PrivateCupsd(const fs::path& usrLocal) {
    const fs::path b = scratch_.dir();
    for (const char* d : {"etc", "spool", "tmp", "cache", "state", "log", "out"}) {
      fs::create_directories(b / d);
      fs::permissions(b / d, fs::perms(0755));
    }
    // Filters run as lp and make their temporary files in TempDir.
    fs::permissions(b / "tmp", fs::perms(01777));
    const std::string serverBin = MakeServerBin(b);
    port_ = Loopback(0);
    const std::string d = b.string();
    scratch_.Write("etc/cups-files.conf", "ServerRoot " + d + "/etc\nRequestRoot " + d + "/spool\nTempDir " + d +
                                              "/tmp\nCacheDir " + d + "/cache\nStateDir " + d + "/state\nServerBin " +
                                              serverBin + "\nAccessLog " + d + "/log/access_log\nErrorLog " + d +
                                              "/log/error_log\nPageLog " + d +
                                              "/log/page_log\nLogFilePerm 0644\nFileDevice Yes\n");
    // No authentication anywhere: the daemon only listens on loopback and
    // lives for one test.
    scratch_.Write("etc/cupsd.conf", "LogLevel debug\nMaxLogSize 0\nListen 127.0.0.1:" + std::to_string(port_) +
                                         "\nBrowsing No\nBrowseLocalProtocols none\nDefaultShared No\n"
                                         "WebInterface No\nDefaultAuthType None\n"
                                         "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                         "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");

    pid_ = fork();
    if (pid_ == 0) {
      const std::string conf = (b / "etc" / "cupsd.conf").string();
      const std::string files = (b / "etc" / "cups-files.conf").string();
      const fs::path log = b / "log" / "cupsd.out";
      if (!freopen(log.c_str(), "w", stdout) || !freopen(log.c_str(), "a", stderr)) _exit(126);
      if (!EnterPrivateTmp({b.string(), usrLocal.string()}) ||
          mount(usrLocal.c_str(), "/usr/local", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        std::perror("private /tmp and /usr/local");
        _exit(125);
      }
      execlp("cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline && !Loopback(port_) && !exited()) std::this_thread::sleep_for(10ms);
  }

  ~PrivateCupsd() {
    if (pid_ > 0 && !exited()) {
      kill(pid_, SIGTERM);
      const auto deadline = Clock::now() + 10s;
      while (Clock::now() < deadline && !exited()) std::this_thread::sleep_for(10ms);
      if (!exited()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }

  bool running() { return pid_ > 0 && !exited() && Loopback(port_); }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  std::string base() const { return scratch_.dir(); }
  std::string errorLog() const {
    return ToString(ReadFile(scratch_.Path("log/error_log"))) + ToString(ReadFile(scratch_.Path("log/cupsd.out")));
  }

 private:
  bool exited() {
    if (reaped_) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
    return reaped_;
  }

  TempDir scratch_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The job's state over IPP once it has left the pending, held and
// processing states (a job that stops never leaves the queue), or the last
// one seen within a minute.
int WaitForJob(int port, int id) {
  int state = 0;
  for (auto deadline = Clock::now() + 60s; state < IPP_JSTATE_STOPPED && Clock::now() < deadline;
       std::this_thread::sleep_for(20ms)) {
    http_t* http = httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
    if (!http) continue;
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + "/jobs/" + std::to_string(id);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(http, request, "/");
    if (ipp_attribute_t* a = ippFindAttribute(response, "job-state", IPP_TAG_ENUM)) state = ippGetInteger(a, 0);
    ippDelete(response);
    httpClose(http);
  }
  return state;
}

// Lines of the first fenced block after `marker` in the README, with
// continued lines ("\" at the end) joined.
std::vector<std::string> readmeBlock(const std::string& marker) {
  const std::string readme = ToString(ReadFile(SourcePath("README.md")));
  std::vector<std::string> lines;
  const auto at = readme.find(marker);
  if (at == std::string::npos) return lines;
  const auto open = readme.find("```", at);
  const auto body = readme.find('\n', open) + 1;
  const auto close = readme.find("\n```", body);
  std::istringstream in(readme.substr(body, close - body));
  std::string pending;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    lines.push_back(pending + line);
    pending.clear();
  }
  return lines;
}

// First and last row with a dot, or -1.
std::pair<int, int> inkedRows(const escpos::Paper& paper) {
  int first = -1, last = -1;
  for (int y = 0; y < paper.height(); ++y)
    if (paper.dotsIn(0, y, paper.width(), y + 1) > 0) {
      if (first < 0) first = y;
      last = y;
    }
  return {first, last};
}

// The short receipt on a longer roll: at most 3 mm (24 dot rows) of blank
// paper before its first dot, and after its last only the rest of its band
// and the feed after printing (choice 4, 120 rows).
void expectShortReceipt(const escpos::Paper& paper, const std::string& context) {
  const auto [first, last] = inkedRows(paper);
  ASSERT_GE(first, 0) << context << ": nothing printed";
  EXPECT_LE(first, 24) << context << ": blank paper before the first dot";
  // Both bars: 75 mm (599 rows at 203 dpi) from the top of one to the bottom of the other.
  EXPECT_NEAR(last - first, 599, 4) << context;
  int feedAt = paper.height();
  for (const auto& e : paper.events)
    if (e.kind == escpos::EventKind::Feed) feedAt = std::min(feedAt, e.row);
  EXPECT_LT(feedAt - (last + 1), 24) << context << ": blank paper after the last dot";
  EXPECT_EQ(paper.fedRows(), 120) << context;
}

struct Job {
  std::string command;  // as the README shows it, or a line of the test's own
  std::function<void(const escpos::Paper&, const std::string& context)> check;
};

std::optional<std::pair<time_t, long>> mtimeOf(const char* file) {
  struct stat st{};
  if (stat(file, &st) != 0) return std::nullopt;
  return std::make_pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

// The README's commands, verbatim, against a scheduler of the test's own
// whose cups-driverd sees the PPDs where `cmake --install` puts them; then
// the jobs they print, and a short receipt on the default roll, decoded
// from the queue's device file.
TEST(CupsdQueue, ReadmeCommandsAndTheirJobsThroughAPrivateScheduler) {
  if (geteuid() != 0) GTEST_SKIP() << "cupsd runs filters as lp only when started as root";
  if (!PrivateTmpAvailable()) GTEST_SKIP() << "no private mount namespace for the scheduler here";
  const auto systemPrinters = mtimeOf("/etc/cups/printers.conf");
  TempDir stage, work;
  const auto install = RunCommand({kCmakeCommand, "--install", BuildPath("")}, {{"DESTDIR", stage.dir()}});
  ASSERT_EQ(install.exitStatus, 0) << ToString(install.out) << install.err;
  // The printer application, where it is built, comes with a unit that starts it.
  const std::string unit = stage.Path("usr/local/lib/systemd/system/labelfilter-printer-app.service");
  if (fs::exists(BuildPath("printer-app/labelfilter-printer-app"))) {
    EXPECT_NE(ToString(ReadFile(unit)).find("ExecStart=/usr/local/bin/labelfilter-printer-app server"), std::string::npos);
  }
  {
    PrivateCupsd cupsd(stage.Path("usr/local"));
    ASSERT_TRUE(cupsd.running()) << cupsd.errorLog();
    auto shell = [&](const std::string& line) {
      const auto r = RunCommand({"sh", "-c", "cd \"$0\" && " + line, work.dir()}, {{"CUPS_SERVER", cupsd.server()}});
      return std::pair(r.exitStatus, ToString(r.out) + r.err);
    };
    const auto models = readmeBlock("`lpinfo -m | grep labelfilter`");
    ASSERT_EQ(models.size(), std::size(kModels)) << "the README's lpinfo output: a line per model";
    std::string listed;
    for (const std::string& line : models) listed += line + "\n";
    EXPECT_EQ(shell("lpinfo -m | grep labelfilter").second, listed) << cupsd.errorLog();
    const auto queue = readmeBlock("## Adding a queue");
    ASSERT_FALSE(queue.empty());
    for (const auto& line : queue) ASSERT_EQ(shell(line).first, 0) << line << "\n" << cupsd.errorLog();
    // The README's queue prints to a printer this machine has not got.
    const std::string device = cupsd.base() + "/out/receipt.escpos";
    ASSERT_EQ(shell("lpadmin -p receipt -v file://" + device).first, 0);

    fs::copy_file(kSample, work.Path("receipt.pdf"));
    fs::copy_file(kSample, work.Path("ticket.pdf"));
    fs::copy_file(SourcePath("samples/label.pdf"), work.Path("label.pdf"));
    auto sample = [](const std::string& cutting, int feed, std::size_t copies = 1) {
      return [=](const escpos::Paper& paper, const std::string& context) {
        ExpectSampleReceipt(paper, context, cutting, feed, copies);
      };
    };
    const std::vector<Job> jobs = {
        {"lp -d receipt receipt.pdf", sample("2", 120)},
        {"lp -d receipt -o Cutting=1 -o Dithering=None -o FeedAfterPrinting=6 receipt.pdf", sample("1", 180)},
        {"lp -d receipt -n 2 receipt.pdf", sample("2", 120, 2)},  // collated: 1 2 1 2
        {"lp -d receipt -o PageSize=R80x100mm label.pdf", expectShortReceipt},
        {"lp -d receipt -o PageSize=Custom.204.3x300 ticket.pdf     # width x length in points",
         [](const escpos::Paper& paper, const std::string& context) {
           EXPECT_EQ(paper.width(), 576) << context;
           EXPECT_EQ(SplitPages(paper).size(), 2u) << context;
         }},
        {"lpoptions -p receipt -l                                     # every option and choice", nullptr},
        {"lp -d receipt label.pdf", expectShortReceipt},  // on the default 200 mm roll
    };
    for (const auto& line : readmeBlock("## Printing"))
      EXPECT_TRUE(std::any_of(jobs.begin(), jobs.end(), [&](const Job& j) { return j.command == line; }))
          << "a README line the test does not run: " << line;
    for (const Job& job : jobs) {
      const auto [status, out] = shell(job.command);
      ASSERT_EQ(status, 0) << job.command << "\n" << out << cupsd.errorLog();
      if (!job.check) {
        EXPECT_NE(out.find("LeadingBlank/Blank Paper Before the Print: Keep 0mm *3mm 6mm"), std::string::npos) << out;
        continue;
      }
      const auto at = out.find("request id is receipt-");  // "request id is receipt-7 (1 file(s))"
      ASSERT_NE(at, std::string::npos) << job.command << ": " << out;
      const int id = std::stoi(out.substr(at + 22));
      ASSERT_EQ(WaitForJob(cupsd.port(), id), IPP_JSTATE_COMPLETED) << job.command << "\n" << cupsd.errorLog();
      // The file: device is rewritten by each job.
      const escpos::Paper paper = escpos::decode(ReadFile(device));
      ASSERT_FALSE(paper.error) << job.command;
      job.check(paper, job.command);
    }
    // The README's example of a queue default.
    EXPECT_EQ(shell("lpadmin -p receipt -o Cutting-default=1").first, 0);
    // The filter really ran under this scheduler, as user lp.
    EXPECT_NE(cupsd.errorLog().find("labelfilter"), std::string::npos);
  }
  // The system's queues are as they were.
  EXPECT_EQ(mtimeOf("/etc/cups/printers.conf"), systemPrinters) << "system CUPS was touched";
}

}  // namespace
