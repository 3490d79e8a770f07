// Real parts for the tests: raster streams written by libcups, PPD files
// opened by libcups, the built filter run as the scheduler runs it, and other
// programs (CUPS's own, the preview tool) run with their output captured.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cups/raster.h>
#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

// A page header with the geometry filled in and everything else as a RIP
// for a 203 dpi receipt printer would leave it.
cups_page_header2_t MakeHeader(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned bytesPerLine = 0);

struct RasterPage {
  cups_page_header2_t header;
  Bytes lines;  // the page's lines back to back (may be short: a cut stream)
};

// A raster stream written through libcups' own writer.
Bytes WriteRaster(const std::vector<RasterPage>& pages);
// The same byte by byte in the uncompressed "RaS3" format, for headers that
// libcups' writer would refuse or crash on.
Bytes WriteRawRaster(const std::vector<RasterPage>& pages);
// Through libcups' compressed writer ("RaS2"): huge uniform pages stay cheap.
Bytes WriteCompressedRaster(const std::vector<RasterPage>& pages);

// A PPD that offers `options` (keyword -> choices, the first is the default
// unless one is named) on top of a minimal receipt printer description.
struct PpdOption {
  PpdOption(std::string k, std::vector<std::string> c, std::string d = "")
      : keyword(std::move(k)), choices(std::move(c)), defaultChoice(std::move(d)) {}
  std::string keyword;
  std::vector<std::string> choices;
  std::string defaultChoice;
};
std::string MakePpd(const std::vector<PpdOption>& options);

// A fresh directory under /tmp, mode 0755 so that filters running as lp get
// through it, removed with its contents at the end of its scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const;
  std::string Write(const std::string& name, const Bytes& content) const;
  // A subdirectory made like /tmp (mode 1777), to be a run's /tmp.
  std::string MakeTmp(const std::string& name) const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

Bytes ReadFile(const std::string& path);
std::string ToString(const Bytes& b);
Bytes ToBytes(const std::string& s);
std::string Hex(const Bytes& b);

// Where the build put things.
std::string SourcePath(const std::string& relative);
std::string BuildPath(const std::string& relative);
std::string PpdPath(const std::string& name);  // "lf80mm.ppd"
extern const char* const kPreviewBinary;
extern const char* const kCmakeCommand;

struct FilterResult {
  int exitStatus = -1;  // exit code, or 128 + signal
  Bytes out;
  std::string err;
};

// One run of the built filter: argv = labelfilter job user title copies
// options [file]; `ppd` unset when nullopt; `input` goes to standard input.
// With `filter` false the wrapper given to RunFilter is the whole command.
//
// Every run of the filter gets a /tmp of its own (a private mount namespace):
// its dumps have fixed paths that every job on the machine shares, and a test
// must neither clobber nor read another job's.
struct FilterRun {
  std::vector<std::string> args{};  // after the program name
  std::optional<std::string> ppd{};
  Bytes input{};
  std::string tmp{};             // directory the filter sees as /tmp; empty: a fresh tmpfs
  std::string output{};          // file written instead of the output pipe (e.g. /dev/full)
  bool outputClosed = false;     // the output pipe has no reader; SIGPIPE ignored
  std::function<void()> inChild{};  // runs in the child just before exec (limits, closed descriptors)
  bool filter = true;
  bool privateTmp = true;
  std::vector<std::pair<std::string, std::string>> env{};
};

// Whether this machine lets a test give the filter a /tmp of its own.
bool PrivateTmpAvailable();

// In a child between fork and exec: a private mount namespace whose /tmp is
// `tmpDir` (bind-mounted) or, when empty, a fresh tmpfs. Each path under the
// old /tmp named in `reachable` stays reachable under its own name (the first
// directory below /tmp is bind-mounted into the new one). False on failure.
bool EnterPrivateTmp(const std::vector<std::string>& reachable, const std::string& tmpDir = "");

// Base of the tests that run the filter: without a private /tmp they are
// skipped, never let loose on the machine's.
class FilterTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PrivateTmpAvailable()) GTEST_SKIP() << "no private mount namespace here (unshare needs root)";
  }
};

// Runs the filter, started through `wrapper` when one is given: a command
// (looked up in PATH) that gets the filter's path and arguments after its
// own, e.g. a shell that sets up a private mount namespace first.
FilterResult RunFilter(const FilterRun& run, const std::vector<std::string>& wrapper = {});
// Runs any program, with standard input empty.
FilterResult RunCommand(const std::vector<std::string>& argv, std::vector<std::pair<std::string, std::string>> env = {},
                        const std::string& stdoutFile = "", bool privateTmp = false);

// The filter as a running process, for tests that act while it runs.
class FilterProcess {
 public:
  FilterProcess(const FilterRun& run, const std::vector<std::string>& wrapper = {});
  ~FilterProcess();
  void Write(const Bytes& bytes);
  void CloseInput();
  // Stops reading the output pipe, until Wait().
  void HoldOutput() { readOutput_ = false; }
  // With the output held, waits until the filter sleeps in a write to it,
  // the pipe full.
  bool WaitUntilBlockedOnOutput(int timeoutMs = 10000);
  void Signal(int sig);
  FilterResult Wait();
  int pid() const { return pid_; }

 private:
  void Pump(int timeoutMs);
  int pid_ = -1, in_ = -1, out_ = -1, err_ = -1;
  bool readOutput_ = true;
  FilterResult result_;
};

// Replaces what changes from run to run in trace lines (times, addresses)
// by fixed marks, so that whole logs can be compared.
std::string MaskVolatile(const std::string& log);

// Occurrences of `what` in `text`.
size_t Count(const std::string& text, const std::string& what);

// True when the tests and the filter are built with AddressSanitizer, which
// cannot run under an address-space limit.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

// True when the filter runs under an emulator (qemu-user, for a build of
// another architecture). Address-space limits, signal dispositions and the
// system call a process sleeps in are then the emulator's, not the
// filter's: the cases that set or read them cannot run.
constexpr bool kEmulated = LABELFILTER_EMULATED;

// Copies the filter to `path` (mode 0755), for a process that cannot reach
// the build tree. Under an emulator the filter is a launcher that runs the
// program beside it, `path`.real, which is copied there too.
void CopyFilterTo(const std::string& path);
