// How soon a long page reaches the printer through the printer application,
// and how much memory the server takes for it. One receipt-like picture,
// 576 dots wide and --rows long, goes as a PWG raster page and as a PNG to a
// fake ESC/POS printer on loopback, upright (it goes out band by band while
// the page arrives) and turned upside down (orientation-requested 6: a
// picture is held whole to be turned; raster pages come composed by the
// client, are not turned, and stream either way).
//
// Each run has a fresh server (real binary, private namespaces, the tests'
// harness) that has printed one small page: a server that printed the long
// page before keeps the freed pages in its allocator, so a second long job
// would barely raise its peak. Timings start when the client sends the
// Print-Job request and stop when the bytes reach the fake printer.
//
// Exit status 0 whatever the figures, 1 when a run could not be made (the
// job failed, nothing printed, or runs of one setting printed different
// bytes), 77 when the namespaces are not available (needs root).

#include <cups/cups.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "AppHarness.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kWidth = 576;
constexpr const char* kPrinter = "bench";
// Targets of the streaming settings.
constexpr double kFirstByteShare = 0.10;
constexpr double kPeakMiB = 8;
constexpr int kSkipped = 77;

struct Options {
  uint32_t rows = 24000;
  int runs = 3;
  bool markdown = false;
  std::string out = "/var/tmp/labelfilter-app-streaming-bench";
};

constexpr const char* kUsage =
    "Usage: app_streaming_bench [--rows N] [--runs N] [--markdown] [--out DIR]\n"
    "Needs root (private network and mount namespaces). DIR (default\n"
    "/var/tmp/labelfilter-app-streaming-bench) keeps the documents and each run's server log.\n";

// sGray, 0 = black: a receipt made of 1200-row sections: 16 lines of item
// text (a ragged left column and a price on the right), a 240-row photo-like
// band, 4 more lines, then 360 rows of blank paper.
uint8_t Glyph(uint32_t seed, uint32_t gx, uint32_t gy) {  // a 5 x 11 cell of a glyph, inked or not
  uint32_t h = seed * 2654435761u ^ (gx * 97 + gy * 31) * 40503u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return ((h >> 7) % 5) < 2 ? 0 : 255;
}

uint8_t TextShade(uint32_t line, uint32_t x, uint32_t rowInLine) {
  if (rowInLine >= 22) return 255;  // between lines
  const uint32_t cell = x / 12, inCell = x % 12;
  if (inCell >= 10) return 255;  // between glyphs
  const uint32_t cells = kWidth / 12, leftLength = 8 + (line * 7) % 23;
  if (cell >= leftLength && cell < cells - 7) return 255;
  return Glyph(line * cells + cell, inCell / 2, rowInLine / 2);
}

uint8_t PhotoShade(uint32_t x, uint32_t y) {
  const double v = 128 + 90 * std::sin(x / 37.0) * std::cos(y / 23.0) + 30 * std::sin((x + 2 * y) / 71.0);
  return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
}

Picture ReceiptPicture(uint32_t rows) {
  Picture p{kWidth, rows, std::vector<uint8_t>(size_t{kWidth} * rows, 255)};
  for (uint32_t y = 0; y < rows; ++y) {
    const uint32_t section = y / 1200, at = y % 1200;
    uint8_t* row = p.grey.data() + size_t{y} * kWidth;
    for (uint32_t x = 0; x < kWidth; ++x) {
      if (at < 480) row[x] = TextShade(section * 20 + at / 30, x, at % 30);
      else if (at < 720) row[x] = PhotoShade(x, at - 480);
      else if (at < 840) row[x] = TextShade(section * 20 + 16 + (at - 720) / 30, x, at % 30);
    }
  }
  return p;
}

struct Document {
  const char* name;
  const char* format;
  std::string file, small;  // the long page, and a small page of the same kind
};

struct Setting {
  const char* label;
  const char* name;      // in file names
  int orientation;       // orientation-requested, 0 to leave it out
  bool streams;          // may go out band by band
};
constexpr Setting kSettings[] = {{"upright (streaming)", "upright", 0, true},
                                 {"reverse-portrait (whole picture)", "reverse", 6, false}};

struct Run {
  double firstByteMs = 0, firstBandMs = 0, lastByteMs = 0, peakMiB = 0;
  Bytes stream;
};

// Sends `file` as a Print-Job with error diffusion and `orientation`
// (when not 0); returns the job id, or -1.
// `sent` is when the request started going out.
int PrintJob(const std::string& file, const char* format, int orientation, Clock::time_point& sent,
             std::string& error) {
  const std::unique_ptr<http_t, decltype(&httpClose)> http(
      httpConnect2("localhost", AppServer::kPort, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr), httpClose);
  if (!http) {
    error = "cannot connect to the server";
    return -1;
  }
  const std::string resource = std::string("/ipp/print/") + kPrinter;
  const std::string uri = "ipp://localhost:" + std::to_string(AppServer::kPort) + resource;
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> request(ippNewRequest(IPP_OP_PRINT_JOB), ippDelete);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "bench");
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
  ippAddString(request.get(), IPP_TAG_JOB, IPP_TAG_KEYWORD, "dithering", nullptr, "error-diffusion");
  if (orientation) ippAddInteger(request.get(), IPP_TAG_JOB, IPP_TAG_ENUM, "orientation-requested", orientation);
  std::ifstream in(file, std::ios::binary);
  const auto size = static_cast<size_t>(fs::file_size(file));
  sent = Clock::now();
  // The length covers the request's attributes and the document.
  http_status_t status = cupsSendRequest(http.get(), request.get(), resource.c_str(), ippLength(request.get()) + size);
  std::vector<char> chunk(65536);
  while (status == HTTP_STATUS_CONTINUE && in.read(chunk.data(), chunk.size()).gcount() > 0)
    status = cupsWriteRequestData(http.get(), chunk.data(), static_cast<size_t>(in.gcount()));
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> response(cupsGetResponse(http.get(), resource.c_str()), ippDelete);
  if (ipp_attribute_t* a = response ? ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER) : nullptr)
    return ippGetInteger(a, 0);
  error = std::string("Print-Job failed: ") + cupsLastErrorString();
  return -1;
}

class Bench {
 public:
  explicit Bench(Options o) : o_(std::move(o)) {}
  int Main();

 private:
  std::optional<Run> Measure(const Document& doc, const Setting& setting, int index);
  void Report();

  Options o_;
  std::string dir_;
  std::vector<Document> docs_;
  // Medians per document and setting, in the order of kSettings.
  std::vector<std::vector<Run>> medians_;
  std::vector<std::string> failures_;
};

double Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::optional<Run> Bench::Measure(const Document& doc, const Setting& setting, int index) {
  const std::string label = std::string(doc.name) + " " + setting.label + " run " + std::to_string(index + 1);
  auto fail = [&](const std::string& why) {
    failures_.push_back(label + ": " + why + " (logs in " + dir_ + ")");
    return std::nullopt;
  };
  const std::string serverDir = dir_ + "/server-" + doc.name + "-" + setting.name + "-" + std::to_string(index + 1);
  fs::remove_all(serverDir);
  AppServer server(serverDir);
  server.Start();
  FakePrinter printer;
  printer.Prompt();
  if (server.Cli(std::string("add -d ") + kPrinter + " -m escpos-80mm-203dpi -v " + printer.uri()).status != 0)
    return fail("the printer could not be added");
  // A small page first, so that the job thread, its allocator arena and the
  // libraries' first-use state are already there when the idle figure is taken.
  Clock::time_point sent;
  std::string error;
  const int warm = PrintJob(doc.small, doc.format, setting.orientation, sent, error);
  if (warm < 0 || WaitForJob(kPrinter, warm).state != IPP_JSTATE_COMPLETED || printer.WaitForConnection(0).empty())
    return fail("the small page did not print " + error);
  WaitForIdle(kPrinter);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // The peak (VmHWM) starts again from the resident memory of now.
  const long idleKiB = Figures(server.Pid()).rssKiB;
  std::ofstream clear("/proc/" + std::to_string(server.Pid()) + "/clear_refs");
  if (!(clear << "5" << std::flush)) return fail("cannot reset the server's peak memory (/proc/PID/clear_refs)");
  const int id = PrintJob(doc.file, doc.format, setting.orientation, sent, error);
  if (id < 0) return fail(error);
  Run run;
  run.stream = printer.WaitForConnection(1);
  const JobEnd end = WaitForJob(kPrinter, id);
  const long peakKiB = Figures(server.Pid()).hwmKiB;
  if (end.state != IPP_JSTATE_COMPLETED)
    return fail(std::string("the job ended ") + (end.state ? ippEnumString("job-state", end.state) : "unseen") + ": " +
                end.message);
  const FakePrinter::Arrival at = printer.ArrivalOf(1);
  if (run.stream.empty() || at.firstBand == Clock::time_point()) return fail("no picture band reached the printer");
  if (idleKiB < 0 || peakKiB < 0) return fail("no memory figures in /proc for the server");
  run.firstByteMs = Ms(sent, at.firstByte);
  run.firstBandMs = Ms(sent, at.firstBand);
  run.lastByteMs = Ms(sent, at.lastByte);
  run.peakMiB = (peakKiB - idleKiB) / 1024.0;
  if (server.Stop() != 0) return fail("the server did not exit cleanly");
  return run;
}

// The median of each figure on its own.
Run Median(std::vector<Run> runs) {
  auto median = [&](double Run::*field) {
    std::sort(runs.begin(), runs.end(), [&](const Run& a, const Run& b) { return a.*field < b.*field; });
    return runs[runs.size() / 2].*field;
  };
  Run m;
  m.firstByteMs = median(&Run::firstByteMs);
  m.firstBandMs = median(&Run::firstBandMs);
  m.lastByteMs = median(&Run::lastByteMs);
  m.peakMiB = median(&Run::peakMiB);
  return m;
}

std::string Fixed(double v, int digits) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(digits) << v;
  return s.str();
}

void Bench::Report() {
  using Row = std::vector<std::string>;
  const Row head = {"document", "setting", "first byte ms", "first band ms", "last byte ms", "first/last",
                    "peak above idle MB", "result"};
  std::vector<Row> rows;
  for (size_t d = 0; d < docs_.size(); ++d) {
    const Run& s = medians_[d][0];
    const Run& w = medians_[d][1];
    for (size_t k = 0; k < std::size(kSettings); ++k) {
      const Run& r = medians_[d][k];
      const double share = r.lastByteMs > 0 ? r.firstByteMs / r.lastByteMs : 1;
      std::string result = "-";
      if (kSettings[k].streams) {
        std::string bad;
        if (share > kFirstByteShare) bad = "first byte";
        if (r.peakMiB > kPeakMiB) bad += (bad.empty() ? "" : ", ") + std::string("memory");
        result = bad.empty() ? "PASS" : "FAIL (" + bad + ")";
      }
      rows.push_back({docs_[d].name, kSettings[k].label, Fixed(r.firstByteMs, 0), Fixed(r.firstBandMs, 0),
                      Fixed(r.lastByteMs, 0), Fixed(share, 2), Fixed(r.peakMiB, 1), result});
    }
    auto ratio = [](double a, double b) { return b > 0 ? Fixed(a / b, 2) : std::string("-"); };
    rows.push_back({docs_[d].name, "streaming / whole page", ratio(s.firstByteMs, w.firstByteMs),
                    ratio(s.firstBandMs, w.firstBandMs), ratio(s.lastByteMs, w.lastByteMs), "-",
                    ratio(s.peakMiB, w.peakMiB), "-"});
  }
  const std::string title = std::to_string(kWidth) + " x " + std::to_string(o_.rows) +
                            " page, medians of " + std::to_string(o_.runs) +
                            " runs; times from the start of the Print-Job request to the bytes at the printer";
  const std::string targets = "targets (streaming): first byte <= " + Fixed(kFirstByteShare * 100, 0) +
                              " % of the time to the last byte, peak <= " + Fixed(kPeakMiB, 0) + " MB above idle";
  if (o_.markdown) {
    std::cout << "| Document | Setting | First byte (ms) | First band (ms) | Last byte (ms) | First / last "
                 "| Peak above idle (MB) | Result |\n|---|---|---:|---:|---:|---:|---:|---|\n";
    for (const Row& r : rows) {
      for (const std::string& cell : r) std::cout << "| " << cell << " ";
      std::cout << "|\n";
    }
    return;
  }
  std::cout << title << "\n" << targets << "\n\n";
  const int widths[] = {9, 28, 14, 14, 13, 11, 19, 0};
  rows.insert(rows.begin(), head);
  for (const Row& r : rows)
    for (size_t c = 0; c < r.size(); ++c)
      std::cout << (c < 2 ? std::left : std::right) << std::setw(widths[c]) << r[c] << (c + 1 < r.size() ? "  " : "\n");
}

int Bench::Main() {
  dir_ = fs::absolute(o_.out).string();
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  if (const std::string why = EnterPrivateWorld(); !why.empty()) {
    std::cerr << "app_streaming_bench: cannot run here: " << why << "\n";
    return kSkipped;
  }
  const Picture picture = ReceiptPicture(o_.rows), small = ReceiptPicture(100);
  docs_ = {{"PWG", "image/pwg-raster", dir_ + "/receipt.pwg", dir_ + "/small.pwg"},
           {"PNG", "image/png", dir_ + "/receipt.png", dir_ + "/small.png"}};
  WritePwg(docs_[0].file, {picture});
  WritePwg(docs_[0].small, {small});
  WritePng(docs_[1].file, picture);
  WritePng(docs_[1].small, small);
  for (const Document& doc : docs_) {
    medians_.emplace_back();
    for (const Setting& setting : kSettings) {
      std::cerr << "app_streaming_bench: " << doc.name << ", " << setting.label << "\n";
      std::vector<Run> runs;
      for (int i = 0; i < o_.runs; ++i) {
        std::optional<Run> run = Measure(doc, setting, i);
        if (!run) break;
        // Same document, same setting: the same bytes every time.
        if (!runs.empty() && run->stream != runs[0].stream) {
          failures_.push_back(std::string(doc.name) + " " + setting.label + ": run " + std::to_string(i + 1) +
                              " printed other bytes than run 1");
          break;
        }
        runs.push_back(std::move(*run));
      }
      if (!failures_.empty()) break;
      medians_.back().push_back(Median(runs));
    }
    if (!failures_.empty()) break;
  }
  if (failures_.empty()) Report();
  for (const std::string& f : failures_) std::cerr << "app_streaming_bench: FAIL " << f << "\n";
  return failures_.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    try {
      auto number = [&](long lowest, long highest) {
        const long v = i + 1 < argc ? std::stol(argv[++i]) : lowest - 1;
        if (v < lowest || v > highest)
          throw std::invalid_argument(a + " takes a number from " + std::to_string(lowest) + " to " + std::to_string(highest));
        return v;
      };
      if (a == "--rows") o.rows = static_cast<uint32_t>(number(200, 24000));  // the longest page a printer takes: 3 m
      else if (a == "--runs") o.runs = static_cast<int>(number(1, 99));
      else if (a == "--markdown") o.markdown = true;
      else if (a == "--out" && i + 1 < argc) o.out = argv[++i];
      else {
        std::cerr << kUsage;
        return a == "--help" || a == "-h" ? 0 : 1;
      }
    } catch (const std::exception& e) {
      std::cerr << "app_streaming_bench: " << e.what() << "\n" << kUsage;
      return 1;
    }
  }
  return RunProgram("app_streaming_bench", [&] { return Bench(o).Main(); });
}
