// Helpers for the tests that drive labelfilter through CUPS's own programs:
// scratch directories that user lp can reach, running a program with its
// output captured, a private filter directory, and the layout of the
// bundled sample receipt for checking decoded output.
#pragma once

#include "EscPosDecoder.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace cupstest {

namespace fs = std::filesystem;

// A directory under /tmp, mode 0755 so that filters running as lp can get
// through it, removed with everything in it at the end of its scope.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output (when not sent to a file)
  std::string err;
};

// Runs argv[0] (looked up in PATH) with extra environment variables, and
// with standard output written to `stdoutFile` when one is given. With
// `privateTmp` it runs with a /tmp of its own (see EnterPrivateTmp), as every
// command that runs the filter must: the filter's dumps are shared by every
// job on the machine.
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
              const fs::path& stdoutFile = {}, bool privateTmp = false);

std::vector<std::uint8_t> readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& text);

// A ServerBin for cupsfilter and cupsd: links to the system's filters,
// backends and helpers, plus a copy of the built labelfilter.  CUPS runs a
// filter only when it and its directory are owned by root and not writable
// by others, which a build tree does not promise.
fs::path makeServerBin(const fs::path& base);

// Paths of the built artefacts, from the build system.
fs::path filterBinary();
fs::path ppdPath(const std::string& name);  // "lf80mm.ppd"
fs::path samplePdf();
fs::path previewBinary();
fs::path sourceDir();
fs::path buildDir();
fs::path cmakeCommand();

// One page's share of a decoded job: its first dot row on the paper, the
// row after its last, and its commands.  A page ends with its tail (feeds
// and cut); the next band starts the next page.
struct PageSlice {
  int firstRow = 0;
  int endRow = 0;
  std::vector<escpos::Event> events;
};
std::vector<PageSlice> splitPages(const escpos::Paper& paper);

// Checks that `paper` holds `copies` collated copies (1 2 1 2 ...) of the two
// pages of samples/receipt.pdf on 576 dots: ink on every text line, logo,
// frame and ramp where the sample puts them, and none in the gaps and
// margins.  Reports through gtest.
void expectSampleReceipt(const escpos::Paper& paper, const std::string& context, std::size_t copies = 1);

// Checks the cut commands for a "Cutting" choice: "1" = every page ends with
// a full cut, "2" = one cut, as the stream's last command.
void expectCuts(const escpos::Paper& paper, std::size_t streamSize, const std::string& cutting,
                const std::string& context);

}  // namespace cupstest
