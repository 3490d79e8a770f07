#include "CupsTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace cupstest {

ScratchDir::ScratchDir(const std::string& tag) {
  std::string pattern = "/tmp/labelfilter-" + tag + ".XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
  // mkdtemp makes 0700; filters running as lp must be able to pass.
  fs::permissions(path_, fs::perms(0755));
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const fs::path& stdoutFile, bool privateTmp) {
  RunResult result;
  ScratchDir capture("run");
  const fs::path outPath = stdoutFile.empty() ? capture.path() / "stdout" : stdoutFile;
  const fs::path errPath = capture.path() / "stderr";

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> reachable = argv;
  for (const auto& [name, value] : env) reachable.push_back(value);
  reachable.push_back(fs::current_path().string());

  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    if (privateTmp && !EnterPrivateTmp(reachable)) _exit(125);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (stdoutFile.empty()) {
    const auto bytes = readFile(outPath);
    result.out.assign(bytes.begin(), bytes.end());
  }
  const auto errBytes = readFile(errPath);
  result.err.assign(errBytes.begin(), errBytes.end());
  return result;
}

std::vector<std::uint8_t> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

fs::path makeServerBin(const fs::path& base) {
  const fs::path serverBin = base / "serverbin";
  const fs::path system = "/usr/lib/cups";
  fs::create_directories(serverBin / "filter");
  for (const auto& entry : fs::directory_iterator(system)) {
    if (entry.path().filename() != "filter") fs::create_symlink(entry.path(), serverBin / entry.path().filename());
  }
  for (const auto& entry : fs::directory_iterator(system / "filter")) {
    if (entry.path().filename() != "labelfilter")
      fs::create_symlink(entry.path(), serverBin / "filter" / entry.path().filename());
  }
  const fs::path filter = serverBin / "filter" / "labelfilter";
  fs::copy_file(filterBinary(), filter, fs::copy_options::overwrite_existing);
  fs::permissions(filter, fs::perms(0755));
  fs::permissions(serverBin, fs::perms(0755));
  fs::permissions(serverBin / "filter", fs::perms(0755));
  return serverBin;
}

fs::path filterBinary() { return LABELFILTER_FILTER_PATH; }
fs::path ppdPath(const std::string& name) { return fs::path(LABELFILTER_PPD_DIR) / name; }
fs::path samplePdf() { return fs::path(LABELFILTER_SOURCE_ROOT) / "samples" / "receipt.pdf"; }
fs::path previewBinary() { return ESCPOS_PREVIEW_PATH; }
fs::path sourceDir() { return LABELFILTER_SOURCE_ROOT; }
fs::path buildDir() { return LABELFILTER_BUILD_ROOT; }
fs::path cmakeCommand() { return LABELFILTER_CMAKE_COMMAND; }

std::vector<PageSlice> splitPages(const escpos::Paper& paper) {
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

namespace {

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
    {"logo disc", 22, 10, 38, 19, 0.8, 1.0},
    {"shop name", 60, 17, 170, 24, 0.1, 0.9},
    {"address line", 60, 31, 150, 36, 0.05, 0.9},
    {"phone line", 60, 41, 130, 46, 0.05, 0.9},
    {"gap under the heading", 55, 49, 204.3, 62, 0.0, 0.0},
    {"first rule", 10, 63.7, 194, 64.3, 0.8, 1.0},
    {"gap under the rule", 0, 66, 204.3, 71.5, 0.0, 0.0},
    {"item 1", 10, 75, 110, 80, 0.05, 0.9},
    {"price 1", 165, 75, 194, 80, 0.05, 0.9},
    {"item 2", 10, 89, 130, 94, 0.05, 0.9},
    {"item 3", 10, 103, 100, 108, 0.05, 0.9},
    {"item 4", 10, 117, 120, 122, 0.05, 0.9},
    {"second rule", 10, 131.7, 194, 132.3, 0.8, 1.0},
    {"total", 10, 142, 50, 150, 0.2, 0.95},
    {"total amount", 130, 142, 194, 150, 0.2, 0.95},
    {"paid by", 10, 161, 160, 166, 0.03, 0.9},
    {"ramp, dark end", 10, 183, 40, 205, 0.6, 1.0},
    {"ramp, light end", 180, 183, 194, 205, 0.0, 0.3},
    {"thank you", 10, 220, 140, 226, 0.05, 0.9},
    {"receipt number", 10, 233, 120, 238, 0.05, 0.9},
    {"below the last line", 0, 244, 204.3, 566.93, 0.0, 0.0},
    {"left margin", 0, 0, 6.5, 566.93, 0.0, 0.0},
    {"right margin", 198.5, 0, 204.3, 566.93, 0.0, 0.0},
};

const std::vector<Box> kPage2 = {
    {"frame top", 10, 11.6, 194, 12.4, 0.8, 1.0},
    {"frame left", 7.4, 20, 8.6, 150, 0.8, 1.0},
    {"frame right", 195.4, 20, 196.6, 150, 0.8, 1.0},
    {"frame bottom", 10, 161.6, 194, 162.4, 0.8, 1.0},
    {"COUPON", 16, 30, 100, 44, 0.2, 0.95},
    {"offer line", 16, 59, 120, 66, 0.05, 0.9},
    {"code line", 16, 79, 110, 84, 0.05, 0.9},
    {"valid line", 16, 91, 120, 96, 0.05, 0.9},
    {"gap above the ramp", 10, 100, 194, 114, 0.0, 0.0},
    {"ramp, dark end", 152, 117, 184, 124, 0.6, 1.0},
    {"small print", 16, 135, 100, 140, 0.03, 0.9},
    {"below the frame", 0, 165, 204.3, 566.93, 0.0, 0.0},
    {"left margin", 0, 0, 6.5, 566.93, 0.0, 0.0},
    {"right margin", 198.5, 0, 204.3, 566.93, 0.0, 0.0},
};

// `top` is the paper row where the page's top edge would be: its first dot
// row less the rows the sample has above its first dot.
void expectPage(const escpos::Paper& paper, const PageSlice& page, int top, const std::vector<Box>& boxes,
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
    EXPECT_GE(fill, box.minFill) << context << ": too few dots in " << box.what << " (" << dots << " of " << area
                                 << ", columns " << x0 << "-" << x1 << ", rows " << y0 << "-" << y1 << ")";
    EXPECT_LE(fill, box.maxFill) << context << ": too many dots in " << box.what << " (" << dots << " of "
                                 << area << ", columns " << x0 << "-" << x1 << ", rows " << y0 << "-" << y1 << ")";
  }
}

}  // namespace

void expectSampleReceipt(const escpos::Paper& paper, const std::string& context, std::size_t copies) {
  ASSERT_FALSE(paper.error) << context << ": stream does not decode at offset " << paper.error->offset << ": "
                            << paper.error->message;
  EXPECT_EQ(paper.width(), 576) << context;
  const auto pages = splitPages(paper);
  ASSERT_EQ(pages.size(), 2 * copies) << context;
  for (const auto& page : pages) {
    // Every band of a 576-dot page is 72 bytes wide, blank bands excepted.
    for (const auto& e : page.events)
      if (e.kind == escpos::EventKind::Band && !e.blank) {
        EXPECT_EQ(e.value, 576) << context;
      }
  }
  for (std::size_t i = 0; i < pages.size(); ++i) {
    // Rows above the first dot in the sample as rendered: 22 on page 1 (the
    // logo), 31 on page 2 (the frame). The PPD's LeadingBlank keeps at most
    // 24 of them.
    const int above = i % 2 ? 31 : 22;
    int first = pages[i].firstRow;
    while (first < pages[i].endRow && paper.dotsIn(0, first, paper.width(), first + 1) == 0) ++first;
    EXPECT_LE(first - pages[i].firstRow, std::min(above, 24)) << context << ": blank rows above sheet " << i + 1;
    expectPage(paper, pages[i], first - above, i % 2 ? kPage2 : kPage1, context + ", sheet " + std::to_string(i + 1));
  }
}

void expectCuts(const escpos::Paper& paper, std::size_t streamSize, const std::string& cutting,
                const std::string& context) {
  ASSERT_FALSE(paper.error) << context;
  const auto pages = splitPages(paper);
  ASSERT_FALSE(pages.empty()) << context;
  ASSERT_FALSE(paper.events.empty()) << context;
  const auto& last = paper.events.back();
  EXPECT_EQ(last.kind, escpos::EventKind::Cut) << context << ": the stream must end with a cut";
  EXPECT_EQ(last.offset + last.length, streamSize) << context;
  EXPECT_EQ(last.length, 3u) << context << ": a full cut is GS V 0, three bytes";
  EXPECT_EQ(last.value, 0) << context;
  if (cutting == "1") {
    EXPECT_EQ(paper.count(escpos::EventKind::Cut), pages.size()) << context;
    for (std::size_t i = 0; i < pages.size(); ++i) {
      ASSERT_FALSE(pages[i].events.empty());
      EXPECT_EQ(pages[i].events.back().kind, escpos::EventKind::Cut) << context << ": page " << i + 1;
      EXPECT_EQ(pages[i].events.back().value, 0) << context << ": page " << i + 1;
    }
  } else {
    EXPECT_EQ(paper.count(escpos::EventKind::Cut), 1u) << context << ": one cut at the end of the job";
    for (std::size_t i = 0; i + 1 < pages.size(); ++i)
      for (const auto& e : pages[i].events)
        EXPECT_NE(e.kind, escpos::EventKind::Cut) << context << ": page " << i + 1 << " must not be cut";
  }
}

}  // namespace cupstest
