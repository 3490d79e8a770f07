// Headers, streams and PPDs that no RIP should send, and conditions no job
// should meet: each gets one clear log line and a defined exit status.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EscPosDecoder.h"
#include "TestSupport.h"

namespace {

constexpr auto npos = std::string::npos;
const std::vector<std::string> kArgs = {"7", "mallory", "hostile", "1", "Origin=Rotation180"};
const std::string kPpd = MakePpd({{"Origin", {"Rotation0", "Rotation180"}}, {"Cutting", {"0", "1", "2"}}});

class HostileInput : public FilterTestBase {
 protected:
  FilterResult Run(const Bytes& stream) { return RunFilter({kArgs, dir_.Write("p.ppd", kPpd), stream}); }
  TempDir dir_;
};

// What every run must show, however hostile its input: a normal exit (no
// signal), and an output the printer can execute, made of whole commands
// only.
void ExpectWholeCommands(const FilterResult& r, const std::string& what) {
  EXPECT_LT(r.exitStatus, 128) << what << ": killed by signal " << r.exitStatus - 128 << "\n" << r.err;
  const escpos::Paper paper = escpos::decode(r.out);
  EXPECT_FALSE(paper.error.has_value()) << what << ": " << (paper.error ? paper.error->message : "") << " at byte "
                                        << (paper.error ? paper.error->offset : 0) << " of " << r.out.size();
}

// ...and, for every run that got past the PPD, the job end.
void ExpectSoundJob(const FilterResult& r, const std::string& what) {
  ExpectWholeCommands(r, what);
  EXPECT_NE(r.err.find("ERROR: Dovrel-filter return\n"), npos) << what << "\n" << r.err;
}

// A page of `lineCount` lines whose bytes are all `fill`.
RasterPage Filled(cups_page_header2_t header, uint8_t fill, size_t lineCount) {
  RasterPage p{header, {}};
  p.lines.assign(size_t{header.cupsBytesPerLine} * lineCount, fill);
  return p;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Sets a resource limit (0: none) in the child that runs the filter.
std::function<void()> Limit(int resource, rlim_t bytes) {
  return [=] {
    const rlimit limit = {bytes, bytes};
    if (bytes) setrlimit(resource, &limit);
  };
}

// The line of a page refused for `why`; `fields` are its cupsWidth,
// cupsHeight, cupsBitsPerPixel and cupsBytesPerLine.
const std::string kWide = "cupsWidth is larger than 16777216", kLong = "cupsHeight is larger than 16777216",
                  kShort = "cupsBytesPerLine is smaller than cupsWidth pixels at cupsBitsPerPixel need";

std::string Refused(const std::string& why, const std::string& fields) {
  std::istringstream in(fields);
  std::string w, h, bpp, bpl;
  in >> w >> h >> bpp >> bpl;
  return "ERROR: Page 1 refused: " + why + " (cupsWidth=" + w + " cupsHeight=" + h + " cupsBitsPerPixel=" + bpp +
         " cupsBytesPerLine=" + bpl + ")";
}

}  // namespace

// Wrong arguments, unreadable rasters and damaged PPDs: the job fails (or,
// for a PPD libcups can still read, prints) with the one line that says why.
TEST_F(HostileInput, JobsThatCannotStartOrHaveNothingToPrint) {
  Bytes binary;
  for (int i = 0; i < 2048; ++i) binary.push_back(static_cast<uint8_t>((i * 7919) >> 3));
  binary[100] = 0;
  Bytes withBreaks = binary;
  for (size_t i = 40; i < withBreaks.size(); i += 41) withBreaks[i] = '\n';
  const std::string header = "*PPD-Adobe: \"4.3\"\n";
  // The same option twice, each with its own default: one of them wins.
  const std::string twice =
      kPpd + "*OpenUI *Cutting/Cutting again: PickOne\n*DefaultCutting: 2\n*Cutting 2/2: \"\"\n*CloseUI: *Cutting\n";
  const Bytes page = WriteRaster({Filled(MakeHeader(8, 1, 1), 0x80, 1)});
  const std::string missing = dir_.Path("missing");
  // ppd nullopt: no PPD variable; err: the whole log (masked), or "~" and a part of it.
  struct Case { std::string name; std::vector<std::string> args; std::optional<Bytes> ppd; Bytes input;
                int exitStatus; std::string out, err; } const cases[] = {
      {"no arguments", {}, ToBytes(kPpd), page, 1, "", ""},
      {"four arguments", {"1", "2", "3", "4"}, ToBytes(kPpd), page, 1, "", ""},
      {"seven arguments", {"1", "2", "3", "4", "5", "6", "7"}, ToBytes(kPpd), page, 1, "", ""},
      {"missing raster file", {"7", "m", "h", "1", "", missing}, ToBytes(kPpd), {}, 1, "", "~ERROR:Unable to open raster file"},
      {"no PPD", kArgs, std::nullopt, page, 1, "", "DEBUG: NULL PPD file pointer on line 0.\n"},
      {"missing PPD", kArgs, ToBytes("<missing>"), page, 1, "", "DEBUG: Unable to open PPD file on line 0.\n"},
      {"empty PPD", kArgs, Bytes{}, page, 1, "", "DEBUG: Missing PPD-Adobe-4.x header on line 0.\n"},
      {"text PPD", kArgs, ToBytes("not a ppd\n"), page, 1, "", "DEBUG: Missing asterisk in column 1 on line 1.\n"},
      {"binary PPD", kArgs, binary, page, 1, "", "DEBUG: Line longer than the maximum allowed (255 characters) on line 1.\n"},
      {"binary after a good header", kArgs, Cat(ToBytes(header), withBreaks), page, 1, "",
       "DEBUG: Missing asterisk in column 1 on line 3.\n"},
      {"a PPD line of 300 KB", kArgs, ToBytes(kPpd + "*Foo: \"" + std::string(300000, 'x') + "\"\n"), page, 1, "",
       "DEBUG: Line longer than the maximum allowed (255 characters) on line " + std::to_string(Count(kPpd, "\n") + 1) +
           ".\n"},
      {"PPD header only", kArgs, ToBytes(header), page, 0, "band", "~ERROR: Dovrel-filter return\n"},
      {"an option defined twice", kArgs, ToBytes(twice), page, 0, "band", "~ERROR: Dovrel-filter return\n"},
      {"empty stream, cut at the job end", {"7", "m", "h", "1", "Cutting=2"}, ToBytes(kPpd), {}, 1, "1D 56 00",
       "ERROR: free pDataBuf=0\nERROR: cupsFreeOptions options=ADDR num_options=1\nERROR: cupsRasterClose\n"
       "ERROR: close fd=0\nERROR: ppdClose fd=ADDR\nERROR: Dovrel-filter return\n"},
      {"text stream, cut at the job end", {"7", "m", "h", "1", "Cutting=2"}, ToBytes(kPpd), ToBytes("no raster"), 1,
       "1D 56 00", "~ERROR: Dovrel-filter return\n"},
      {"empty stream, no cut", {"7", "m", "h", "1", "Cutting=1"}, ToBytes(kPpd), {}, 1, "", "~ERROR: Dovrel-filter return"},
  };
  for (const Case& c : cases) {
    std::optional<std::string> ppd;
    if (c.ppd) ppd = *c.ppd == ToBytes("<missing>") ? missing + ".ppd" : dir_.Write("p.ppd", *c.ppd);
    const FilterResult r = RunFilter({c.args, ppd, c.input});
    ExpectWholeCommands(r, c.name);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << c.name << "\n" << r.err;
    if (c.out == "band")
      EXPECT_EQ(escpos::decode(r.out).count(escpos::EventKind::Band), 1u) << c.name;
    else
      EXPECT_EQ(Hex(r.out), c.out) << c.name;
    if (c.err[0] == '~')
      EXPECT_NE(r.err.find(c.err.substr(1)), npos) << c.name << "\n" << r.err;
    else
      EXPECT_EQ(MaskVolatile(r.err), c.err) << c.name;
  }
}

// Page geometries at and past every boundary the filter has: zero, one, the
// limits it sets itself, the widest band, products that wrap 32 bits, and
// headers libcups' reader turns away before the filter sees them; then
// streams cut short or followed by garbage.
TEST_F(HostileInput, PageGeometriesAtTheLimits) {
  // pages: starting lines; lines: each must appear whole; dots on paper and the widest band, -1: not checked.
  struct Case { std::string name; Bytes stream; int exitStatus; size_t pages; std::vector<std::string> lines;
                long dots = -1; int width = -1; };
  const unsigned kBig = 1u << 24;
  auto oneDot = [](cups_page_header2_t h, size_t lineCount) {
    RasterPage p = Filled(h, 0, lineCount);
    p.lines[0] = h.cupsBitsPerPixel == 1 ? 0x80 : h.cupsBitsPerPixel == 8 ? 0xFF : 0x00;
    if (h.cupsBitsPerPixel == 24) std::fill_n(p.lines.begin() + 3, h.cupsBytesPerLine - 3, 0xFF);
    return p;
  };
  RasterPage wide = Filled(MakeHeader(kBig, 1, 1), 0, 1);
  RasterPage band = Filled(MakeHeader(65535 * 8, 2, 1), 0, 2);
  band.lines[65535 + 65534] = 0x01;  // the last dot of the last row
  RasterPage huge8 = Filled(MakeHeader(65536, 65536, 8), 0, 3);
  huge8.lines[2 * 65536 + 65535] = 0xFF;  // one black pixel at the end of row 2
  RasterPage padded1 = Filled(MakeHeader(8, 2, 1, 9), 0, 2);
  padded1.lines[0] = 0x80;
  padded1.lines[9] = 0x01;
  // Padding bytes that would print as dots if the filter took them for pixels.
  RasterPage padded8 = Filled(MakeHeader(8, 2, 8, 12), 0xFF, 2);
  RasterPage padded24 = Filled(MakeHeader(8, 2, 24, 30), 0x00, 2);
  RasterPage zeroHeight = Filled(MakeHeader(8, 1, 1), 0xFF, 1);
  zeroHeight.header.cupsHeight = 0;
  RasterPage zeroDepth = Filled(MakeHeader(8, 1, 1), 0xFF, 1);
  zeroDepth.header.cupsBitsPerPixel = zeroDepth.header.cupsBitsPerColor = 0;
  RasterPage bplPast31 = Filled(MakeHeader(8, 1, 8), 0xFF, 1);
  bplPast31.header.cupsBytesPerLine = 0x80000000u;
  RasterPage bplNotWholePixels = Filled(MakeHeader(8, 1, 24, 25), 0xFF, 1);
  RasterPage good = oneDot(MakeHeader(8, 1, 1), 1);
  RasterPage height31 = Filled(MakeHeader(8, 0x80000000u, 1), 0, 2);
  RasterPage width31 = Filled(MakeHeader(0x7FFFFFFF, 1, 8, 0x7FFFFFFF), 0, 0);
  RasterPage overflow64 = Filled(MakeHeader(0xFFFFFFFFu, 0xFFFFFFFFu, 24, 0x7FFFFFFE), 0, 0);
  RasterPage cut = Filled(MakeHeader(16, 4, 1), 0, 4);
  for (size_t i = 0; i < cut.lines.size(); i += 2) cut.lines[i] = 0x80;
  const Bytes raw = WriteRawRaster({cut}), packed = WriteCompressedRaster({cut}), twice = WriteRawRaster({cut, cut});
  Bytes noise;
  for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<uint8_t>(i * 131 + 7));

  std::vector<Case> cases = {
      {"1-bit width 0", WriteRawRaster({Filled(MakeHeader(0, 2, 1, 1), 0, 2)}), 0, 1,
       {"ERROR: cupsWidth = 0", "ERROR: ProcessData nImageWidth=1 biHeight=2"}, 0, 0},
      {"8-bit width 0", WriteRawRaster({Filled(MakeHeader(0, 2, 8, 1), 0xFF, 2)}), 0, 1,
       {"ERROR: ProcessData nImageWidth=0 biHeight=2"}, 0, 0},
      {"24-bit width 0", WriteRawRaster({Filled(MakeHeader(0, 2, 24, 3), 0, 2)}), 0, 1,
       {"ERROR: ProcessData nImageWidth=0 biHeight=2"}, 0, 0},
      {"1-bit 1 x 1", WriteRaster({oneDot(MakeHeader(1, 1, 1), 1)}), 0, 1,
       {"ERROR: ProcessData nImageWidth=1 biHeight=1"}, 1, 8},
      {"height 0 (libcups reads it as the end of the stream)", WriteRawRaster({zeroHeight}), 1, 0, {}, 0},
      {"height 0 after a good page", WriteRawRaster({good, zeroHeight, good}), 0, 1, {}, 1},
      {"depth 0 (libcups reads it as the end of the stream)", WriteRawRaster({good, zeroDepth}), 0, 1, {}, 1},
      {"cupsBytesPerLine 2^31 (libcups reads it as the end)", WriteRawRaster({bplPast31}), 1, 0, {}, 0},
      {"cupsBytesPerLine not whole pixels (libcups reads it as the end)", WriteRawRaster({good, bplNotWholePixels}),
       0, 1, {}, 1},
      {"width 2^24, the widest accepted, is wider than a band", WriteRawRaster({wide}), 1, 1,
       {"ERROR: Page not printed: its rows are 2097152 bytes wide, more than a raster band can carry (65535)"}, 0},
      {"width 2^24 + 1", WriteRawRaster({Filled(MakeHeader(kBig + 1, 1, 1), 0, 1)}), 1, 1,
       {Refused(kWide, "16777217 1 1 2097153")}, 0},
      {"8-bit width 2^31 - 1", WriteRawRaster({width31}), 1, 1, {Refused(kWide, "2147483647 1 8 2147483647")}, 0},
      {"rows of 65535 bytes, the widest band", WriteRaster({band}), 0, 1,
       {"ERROR: ProcessData nImageWidth=65535 biHeight=2"}, 1, 65535 * 8},
      {"height 2^24, the longest accepted, cut after 2 lines",
       WriteRawRaster({oneDot(MakeHeader(8, kBig, 1), 2)}), 0, 1,
       {"ERROR: cupsHeight = 16777216", "ATTR: job-media-progress=0", "ERROR: ProcessData nImageWidth=1 biHeight=2"},
       1, 8},
      {"height 2^31 (logged negative)", WriteRawRaster({height31}), 1, 1,
       {"ERROR: cupsHeight = -2147483648", Refused(kLong, "8 2147483648 1 1")}, 0},
      {"24-bit 2^32-1 x 2^32-1, whose size overflows 64 bits", WriteRawRaster({overflow64}), 1, 1,
       {Refused(kShort, "4294967295 4294967295 24 2147483646")}, 0},
      // 4 GiB of page buffer: a 64-bit machine reserves it and prints the 3
      // lines; for a 32-bit size_t the size does not exist.
      sizeof(size_t) > 4
          ? Case{"8-bit 65536 x 65536, whose size wraps 32 bits to 64 KiB, 3 lines", WriteRaster({huge8}), 0, 1,
                 {"ERROR: ProcessData nImageWidth=8192 biHeight=3"}, 1, 65536}
          : Case{"8-bit 65536 x 65536 with a 32-bit size_t", WriteRaster({huge8}), 1, 1,
                 {"ERROR: Page 1 refused: no memory for cupsBytesPerLine=65536 x (cupsHeight=65536 + 1) = 4295032832 "
                  "bytes"},
                 0, 0},
      {"1-bit width 8, 9 bytes per line", WriteRaster({padded1}), 0, 1,
       {"ERROR: ProcessData nImageWidth=9 biHeight=2"}, 2, 72},
      {"8-bit width 8, 12 bytes per line, black padding", WriteRaster({padded8}), 0, 1,
       {"ERROR: ProcessData nImageWidth=4 biHeight=2"}, 16, 32},
      {"24-bit width 8, 30 bytes per line, black padding", WriteRaster({padded24}), 0, 1,
       {"ERROR: ProcessData nImageWidth=4 biHeight=2"}, 16, 32},
      {"1-bit width 9, 1 byte per line", WriteRawRaster({Filled(MakeHeader(9, 1, 1, 1), 0, 1)}), 1, 1,
       {Refused(kShort, "9 1 1 1")}, 0},
      {"8-bit line too short for the width", WriteRawRaster({Filled(MakeHeader(100, 2, 8, 50), 0x55, 2)}), 1, 1,
       {Refused(kShort, "100 2 8 50")}, 0},
      {"24-bit line one byte short", WriteRawRaster({Filled(MakeHeader(10, 1, 24, 27), 0x55, 1)}), 1, 1,
       {Refused(kShort, "10 1 24 27")}, 0},
      {"1-bit width near 2^31", WriteRawRaster({Filled(MakeHeader(0x7FFFFFF8u, 1, 1, 0x0FFFFFFF), 0, 0)}), 1, 1,
       {Refused(kWide, "2147483640 1 1 268435455")}, 0},
      {"height of 2^32 - 1 (32-bit size wraps to 0)", WriteRawRaster({Filled(MakeHeader(8, 0xFFFFFFFFu, 8), 0x55, 2)}),
       1, 1, {Refused(kLong, "8 4294967295 8 8")}, 0},
      // One raster byte a line, four bytes a packed row: the conversion's
      // buffer must be big enough.
      {"8-bit 1 x 300", WriteRaster({Filled(MakeHeader(1, 300, 8), 0xFF, 300)}), 0, 1,
       {"ERROR: ProcessData nImageWidth=4 biHeight=300"}, 300, 32},
      {"24-bit 1 x 300", WriteRaster({Filled(MakeHeader(1, 300, 24), 0x00, 300)}), 0, 1,
       {"ERROR: ProcessData nImageWidth=4 biHeight=300"}, 300, 32},
      // Streams cut short or followed by garbage.
      {"half a sync word", Bytes(raw.begin(), raw.begin() + 2), 1, 0, {}, 0},
      {"no raster at all", noise, 1, 0, {}, 0},
      {"cut inside the header", Bytes(raw.begin(), raw.begin() + 4 + 900), 1, 0, {}, 0},
      {"cut inside the second header", Bytes(twice.begin(), twice.end() - 4 * 2 - 900), 0, 1, {}, 4},
      {"cut inside line 3", Bytes(raw.begin(), raw.end() - 3), 0, 1, {"ERROR: ProcessData nImageWidth=2 biHeight=2"}, 2},
      {"compressed, cut inside a line", Bytes(packed.begin(), packed.end() - 2), 0, 1, {}},
      {"garbage after a whole page", Cat(raw, noise), 0, 1, {"ERROR: ProcessData nImageWidth=2 biHeight=4"}, 4},
      {"a second sync word after a page", Cat(raw, raw), 0, 1, {}, 4},
      // A header and no line: the conversion still runs, on nothing.
      {"8-bit page without lines", WriteRawRaster({{MakeHeader(10, 5, 8), {}}}), 0, 1,
       {"ERROR: ProcessData nImageWidth=4 biHeight=0"}, 0},
      {"24-bit page without lines", WriteRawRaster({{MakeHeader(10, 5, 24), {}}}), 0, 1,
       {"ERROR: ProcessData nImageWidth=4 biHeight=0"}, 0},
  };
  // Depths the filter cannot print: read, counted and ended, then the next
  // page; alone, a page that leaves nothing printed fails the job.
  for (unsigned bpp : {2u, 4u, 16u, 32u, 48u}) {
    RasterPage p = Filled(MakeHeader(16, 3, bpp), 0x55, 3);
    p.header.cupsBitsPerColor = bpp == 32 ? 8 : bpp > 16 ? bpp / 3 : bpp;
    const std::string line =
        "ERROR: Page 1 not printed: " + std::to_string(bpp) + " bits per pixel are not supported (only 1, 8 and 24)";
    cases.push_back({std::to_string(bpp) + "-bit page, then a 1-bit one", WriteRawRaster({p, good}), 0, 2, {line}, 1, 8});
    cases.push_back({std::to_string(bpp) + "-bit page alone", WriteRawRaster({p}), 1, 1, {line}, 0});
  }
  for (const Case& c : cases) {
    FilterResult r = Run(c.stream);
    ExpectSoundJob(r, c.name);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << c.name << "\n" << r.err;
    EXPECT_EQ(Count(r.err, "ERROR: Starting page = "), c.pages) << c.name;
    for (const std::string& line : c.lines) EXPECT_NE(r.err.find(line + "\n"), npos) << c.name << ": " << line;
    const escpos::Paper paper = escpos::decode(r.out);
    if (c.dots >= 0) { EXPECT_EQ(paper.dotsIn(0, 0, paper.width(), paper.height()), c.dots) << c.name; }
    if (c.width >= 0) { EXPECT_EQ(paper.width(), c.width) << c.name; }
  }
}

// Pages that need more memory than the job can have: refused before they
// are read, or lost in their conversion or turn, never wrapped or crashed.
TEST_F(HostileInput, PagesWithoutMemoryAreNotPrinted) {
  // 1-bit 576 x 2^20 with the default half turn: the 72 MiB page fits under
  // 160 MiB and is turned in place; its 76 MiB stream does not fit beside it.
  RasterPage turn = Filled(MakeHeader(576, 1u << 20, 1), 0, 1u << 20);
  turn.lines[0] = 0x80;
  // limit: address space, MiB; 0: none, but allocations that fail return null.
  struct Case { Bytes stream; size_t limit; std::string options, line; } const cases[] = {
      // 2^24 x 2^24 colour pixels: a 768 TiB page buffer that no machine has.
      {WriteRawRaster({Filled(MakeHeader(1u << 24, 1u << 24, 24), 0, 0)}), 0, "",
       "Page 1 refused: no memory for cupsBytesPerLine=50331648 x (cupsHeight=16777216 + 1) = 844424980463616 bytes"},
      // 65536 x 65537 bytes wraps to 65536 in 32 bits.
      {WriteRaster({Filled(MakeHeader(65536, 65536, 8), 0, 3)}), 512, "",
       "Page 1 refused: no memory for cupsBytesPerLine=65536 x (cupsHeight=65536 + 1) = 4295032832 bytes"},
      // Just past 4 GiB: a 32-bit size wraps to 4096 bytes.
      {WriteRaster({Filled(MakeHeader(32768, 1048576, 1), 0, 3)}), 512, "",
       "Page 1 refused: no memory for cupsBytesPerLine=4096 x (cupsHeight=1048576 + 1) = 4294971392 bytes"},
      // The 64 MiB grey page fits; the threshold's 64 MiB reference copy does not.
      {WriteCompressedRaster({Filled(MakeHeader(2048, 32768, 8), 0, 32768)}), 112, "",
       "Page 1 not printed: not enough memory to convert 2048 x 32768 pixels at 8 bits"},
      {WriteCompressedRaster({turn}), 160, "Origin=Rotation0",
       "Page not printed: not enough memory for a 576 x 1048576 picture"},
  };
  // ASan hands null to an allocation it cannot serve instead of aborting, as
  // the C library does; later settings win.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::vector<std::string> nullOnFailure = {
      "env", std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan ? ":" : "") + "allocator_may_return_null=1"};
  for (const Case& c : cases) {
    if ((kSanitized || kEmulated) && c.limit) continue;  // ASan cannot run under an address-space limit
    std::vector<std::string> args = kArgs;
    args[4] = c.options;
    FilterResult r = RunFilter({.args = args, .ppd = dir_.Write("p.ppd", kPpd), .input = c.stream,
                                .inChild = Limit(RLIMIT_AS, c.limit << 20)},
                               c.limit ? std::vector<std::string>{} : nullOnFailure);
    ExpectSoundJob(r, c.line);
    EXPECT_EQ(r.exitStatus, 1) << c.line;
    EXPECT_TRUE(r.out.empty()) << c.line;
    EXPECT_NE(r.err.find("ERROR: " + c.line + "\n"), npos) << r.err;
    // A page that was started is still ended, and the job with it.
    if (c.line.find("refused") == npos) { EXPECT_NE(r.err.find("ERROR: Enter EndPage\n"), npos) << c.line; }
  }
}

namespace {

// Runs the filter with a /tmp that `mountTmp` (shell commands, run in a
// mount namespace of its own) fills or makes read-only. The PPD is given
// relative to `cwd`, which stays reachable when /tmp is covered.
std::vector<std::string> MountTmpFirst(const std::string& cwd, const std::string& mountTmp) {
  // The checkout, and so the built filter, may itself lie under /tmp, which
  // the mount hides: run a copy from the working directory, which stays
  // reachable through the shell's open cwd.
  CopyFilterTo(cwd + "/labelfilter");
  // sh -c SCRIPT CWD BINARY ARGS...: $0 is the directory, $1 the built filter.
  return {"unshare", "-m", "--propagation", "private", "sh", "-c",
          "cd \"$0\" && { " + mountTmp + "; } >/dev/null && shift && exec ./labelfilter \"$@\"", cwd};
}

// What is at `path`: "absent", or its type and mode, owner and content (a
// link's target).
std::string StateOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "absent";
  const std::string s = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " ";
  if (S_ISLNK(st.st_mode)) return s + std::filesystem::read_symlink(path).string();
  return s + (S_ISREG(st.st_mode) ? ToString(ReadFile(path)) : "");
}

// An 8-bit page, which writes all three dumps.
RasterPage GreyPage() {
  RasterPage p = Filled(MakeHeader(32, 24, 8), 0, 24);
  for (size_t row = 4; row < 20; ++row) std::fill_n(p.lines.begin() + row * 32 + 8, 16, 0xFF);
  return p;
}

const std::string kFopenLine = "ERROR: fopen K7QX.data f=";

// A job's run with its /tmp in `tmp`, the PPD written by the caller.
FilterRun DumpRun(const TempDir& dir, const std::string& tmp, const Bytes& stream) {
  return {.args = {"9", "mallory", "dumps", "1", ""}, .ppd = dir.Path("p.ppd"), .input = stream, .tmp = tmp};
}

}  // namespace

TEST_F(HostileInput, PlantedDumpPathsAreNeitherFollowedNorWritten) {
  dir_.Write("p.ppd", kPpd);
  const Bytes stream = WriteRaster({GreyPage()});

  // A clean /tmp: the reference output and the three dumps as they should be.
  const std::string clean = dir_.MakeTmp("clean");
  const FilterResult reference = RunFilter(DumpRun(dir_, clean, stream));
  ASSERT_EQ(reference.exitStatus, 0) << reference.err;
  ASSERT_FALSE(reference.out.empty());
  EXPECT_NE(MaskVolatile(reference.err).find(kFopenLine + "ADDR errno=0 desc=Success\n"), npos);
  const std::map<std::string, size_t> dumpSizes = {
      {"Brantelix", reference.out.size()}, {"Buffer.data", 32 * 24}, {"pBuf.data", 96 * 24}};
  // Every dump but `skip` in `tmp` is a private regular file of its size.
  const auto expectDumps = [&](const std::string& tmp, const std::string& skip, const std::string& what) {
    for (const auto& [name, size] : dumpSizes) {
      struct stat st {};
      if (name == skip) continue;
      EXPECT_TRUE(lstat((tmp + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600 &&
                  static_cast<size_t>(st.st_size) == size)
          << what << ": " << name;
    }
  };
  expectDumps(clean, "", "clean /tmp");

  // plant: shell commands in the run's /tmp, with $P the dump's name; errnoTexts: what the trace line may
  // report for /tmp/Brantelix.
  struct Kind { std::string name, plant; std::vector<std::string> errnoTexts; };
  const std::vector<Kind> kinds = {
      {"symbolic link to a file", "echo keep me >victim && chmod 644 victim && ln -s victim $P",
       {"errno=40 desc=Too many levels of symbolic links"}},
      {"dangling symbolic link", "ln -s made-by-filter $P", {"errno=40 desc=Too many levels of symbolic links"}},
      {"directory", "mkdir $P && echo keep me >$P/inside", {"errno=21 desc=Is a directory"}},
      {"FIFO without a reader", "mkfifo -m 600 $P", {"errno=6 desc=No such device or address"}},
      // EACCES where the kernel protects regular files in sticky directories.
      {"another user's file", "echo theirs >$P && chmod 644 $P && chown 65534:65534 $P",
       {"errno=1 desc=Operation not permitted", "errno=13 desc=Permission denied"}},
      // Our own file, which a second name must not let the filter rewrite.
      {"hard link to our own file", "echo keep me >victim && chmod 644 victim && ln victim $P",
       {"errno=31 desc=Too many links"}},
  };
  int n = 0;
  for (const Kind& kind : kinds) {
    for (const auto& [planted, size] : dumpSizes) {
      const std::string what = kind.name + " at /tmp/" + planted;
      const std::string tmp = dir_.MakeTmp("case" + std::to_string(n++));
      const std::string path = tmp + "/" + planted;
      if (std::system(("cd '" + tmp + "' && P=" + planted + " && " + kind.plant).c_str()) != 0) {
        ADD_FAILURE() << what << ": cannot plant it";
        continue;
      }
      const std::string before = StateOf(path), victim = StateOf(tmp + "/victim"), inside = StateOf(path + "/inside");
      FilterResult r = RunFilter(DumpRun(dir_, tmp, stream));
      ExpectSoundJob(r, what);
      EXPECT_EQ(r.exitStatus, 0) << what << "\n" << r.err;
      EXPECT_EQ(Hex(r.out), Hex(reference.out)) << what;
      EXPECT_EQ(StateOf(path), before) << what << ": the planted path changed";
      EXPECT_EQ(StateOf(tmp + "/victim"), victim) << what << ": the link target changed";
      EXPECT_EQ(StateOf(path + "/inside"), inside) << what;
      EXPECT_EQ(StateOf(tmp + "/made-by-filter"), "absent") << what << ": the link was followed";
      if (planted == "Brantelix") {
        bool found = false;
        for (const std::string& e : kind.errnoTexts) found |= r.err.find(kFopenLine + "0 " + e + "\n") != npos;
        EXPECT_TRUE(found) << what << "\n" << r.err;
      } else {
        EXPECT_NE(MaskVolatile(r.err).find(kFopenLine + "ADDR errno=0 desc=Success\n"), npos) << what;
      }
      expectDumps(tmp, planted, what);  // the other dumps are still written as usual
      EXPECT_EQ(StateOf(tmp + "/Brantelix") == StateOf(clean + "/Brantelix"), planted != "Brantelix") << what;
    }
  }
}

// What the job's surroundings may do to it: a /tmp that is read-only or
// full or a file size limit only cost the dumps; an output that fails stops
// the job with one line and exit status 1; a cancel, a non-blocking input or
// a closed standard error lose nothing.
TEST_F(HostileInput, HostileSurroundingsLoseNoOutputSilently) {
  dir_.Write("p.ppd", kPpd);
  // A grey page, which writes all three dumps, then two 1-bit pages whose
  // 86 KB streams overfill a pipe.
  RasterPage wide = Filled(MakeHeader(576, 1200, 1), 0, 1200);
  for (size_t row = 0; row < 1200; row += 7) wide.lines[row * 72 + row % 72] = 0x81;
  const std::vector<RasterPage> pages = {GreyPage(), wide, wide};
  const Bytes stream = WriteRaster(pages);
  const size_t twoPages = WriteRaster({pages[0], pages[1]}).size();
  std::vector<FilterResult> first(4);  // clean runs of the first N pages
  for (size_t n = 1; n <= 3; ++n) {
    const std::vector<RasterPage> head(pages.begin(), pages.begin() + static_cast<long>(n));
    first[n] = RunFilter(DumpRun(dir_, dir_.MakeTmp("clean" + std::to_string(n)), WriteRaster(head)));
    ASSERT_EQ(first[n].exitStatus, 0) << first[n].err;
  }
  const Bytes lastDump = ReadFile(dir_.Path("clean3/Brantelix"));
  ASSERT_FALSE(lastDump.empty());

  // A stale dump of ours in the read-only /tmp, which must survive.
  const std::string readOnly = dir_.MakeTmp("ro");
  std::ofstream(readOnly + "/Brantelix") << "stale";
  chmod((readOnly + "/Brantelix").c_str(), 0644);
  const std::string stale = StateOf(readOnly + "/Brantelix");
  const std::string fillBlocks = "dd if=/dev/zero of=/tmp/fill bs=4k 2>/dev/null; true";
  const std::string fillInodes = "i=0; while touch /tmp/f$i 2>/dev/null; do i=$((i+1)); done";
  const std::string writeFailed = "ERROR: Unable to write print data: ";
  // mountTmp: shell commands that make /tmp; adjust: the run's conditions; during: what happens while it runs;
  // started: pages started; whole: leading pages that must arrive whole; line: a line that must appear (masked).
  struct Case { std::string name, mountTmp; std::function<void(FilterRun&)> adjust;
                std::function<void(FilterProcess&)> during; int exitStatus; size_t started, whole;
                std::string line; bool lastDumpWhole = false; };
  const std::vector<Case> cases = {
      {"read-only /tmp", "mount --bind '" + readOnly + "' /tmp && mount -o remount,bind,ro /tmp", {}, {}, 0, 3, 3,
       kFopenLine + "0 errno=30 desc=Read-only file system"},
      {"/tmp without space and inodes",
       "mount -t tmpfs -o size=16k,nr_inodes=8,mode=1777 tmpfs /tmp && { " + fillBlocks + "; " + fillInodes + "; }",
       {}, {}, 0, 3, 3, kFopenLine + "0 errno=28 desc=No space left on device"},
      // The dump opens but its writes fail: the job must not notice.
      {"/tmp without space, inodes left", "mount -t tmpfs -o size=16k,mode=1777 tmpfs /tmp && { " + fillBlocks + "; }",
       {}, {}, 0, 3, 3, kFopenLine + "ADDR errno=0 desc=Success"},
      {"file size limit of 4 KiB (SIGXFSZ)", "", [](FilterRun& r) { r.inChild = Limit(RLIMIT_FSIZE, 4096); }, {}, 0, 3, 3, ""},
      {"output on a full device", "", [](FilterRun& r) { r.output = "/dev/full"; }, {}, 1, 1, 0,
       writeFailed + "No space left on device"},
      {"output pipe without a reader, SIGPIPE ignored", "", [](FilterRun& r) { r.outputClosed = true; }, {}, 1, 1, 0,
       writeFailed + "Broken pipe"},
      // Pages 1 and 2 and the start of page 3, which must not be printed.
      {"cancel while a write waits on the full output pipe", "", [](FilterRun& r) { r.input.clear(); },
       [&](FilterProcess& p) {
         p.HoldOutput();
         p.Write(Bytes(stream.begin(), stream.begin() + static_cast<long>(twoPages + 32768)));
         ASSERT_TRUE(p.WaitUntilBlockedOnOutput());
         p.Signal(SIGTERM);
       },
       0, 2, 2, "ERROR: EndPage Out Canceled=1"},
      {"non-blocking input that runs dry", "",
       [&](FilterRun& r) {
         r.inChild = [] { fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK); };
         r.input.resize(stream.size() / 2);
       },
       [&](FilterProcess& p) {
         usleep(300000);
         p.Write(Bytes(stream.begin() + static_cast<long>(stream.size() / 2), stream.end()));
       },
       0, 3, 3, "", true},
      // Descriptor 2 must not be reused for a dump, which would take the log.
      {"standard error closed", "", [](FilterRun& r) { r.inChild = [] { close(2); }; }, {}, 0, 0, 3, "", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    // The system call an emulated filter sleeps in is the emulator's.
    if (kEmulated && std::string_view(c.name).starts_with("cancel while a write waits")) continue;
    const std::string tmp = dir_.MakeTmp("case" + std::to_string(n++));
    FilterRun run = DumpRun(dir_, tmp, stream);
    std::vector<std::string> wrapper;
    if (!c.mountTmp.empty()) {
      run.ppd = "p.ppd";
      wrapper = MountTmpFirst(dir_.dir(), c.mountTmp);
    }
    if (c.adjust) c.adjust(run);
    FilterProcess process(run, wrapper);
    if (c.during) c.during(process);
    FilterResult r = process.Wait();
    ExpectWholeCommands(r, c.name);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << c.name << "\n" << r.err;
    EXPECT_EQ(Count(r.err, "ERROR: Starting page = "), c.started) << c.name;
    EXPECT_EQ(Count(r.err, writeFailed), c.exitStatus ? 1u : 0u) << c.name << "\n" << r.err;
    EXPECT_EQ(Hex(r.out), Hex(c.whole ? first[c.whole].out : Bytes{})) << c.name;
    if (!c.line.empty()) { EXPECT_NE(MaskVolatile(r.err).find(c.line + "\n"), npos) << c.name << "\n" << r.err; }
    if (c.lastDumpWhole) { EXPECT_EQ(Hex(ReadFile(tmp + "/Brantelix")), Hex(lastDump)) << c.name; }
  }
  EXPECT_EQ(StateOf(readOnly + "/Brantelix"), stale);
}

TEST_F(HostileInput, CancelAtRandomMomentsEndsTheJobCleanly) {
  if (kEmulated) GTEST_SKIP() << "an emulator catches every signal itself: when the filter does cannot be seen";
  // Whether the process has a handler for SIGTERM.
  const auto catchesTerm = [](int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigCgt:", 0) == 0) return ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) != 0;
    return false;
  };
  const int kPages = 6;
  RasterPage page = Filled(MakeHeader(576, 1000, 1), 0, 1000);
  for (size_t row = 0; row < 1000; row += 100) page.lines[row * 72 + row % 72] = 0x80;
  const Bytes stream = WriteRaster(std::vector<RasterPage>(kPages, page));
  const std::string ppd = dir_.Write("p.ppd", kPpd);
  const size_t kChunk = 8192, chunks = (stream.size() + kChunk - 1) / kChunk;
  std::mt19937 random(20261207);  // fixed: a failing run can be replayed
  size_t whole = 0, cancelled = 0;
  for (int run = 0; run < 20; ++run) {
    // Signal after `at` chunks; past the end, `at - chunks` ms after the
    // input closed, while the last pages are still being printed or after.
    const size_t at = std::uniform_int_distribution<size_t>(1, chunks + 10)(random);
    const std::string what = "run " + std::to_string(run) + ", signal after chunk " + std::to_string(at);
    // The handler is installed once libcups has read the sync word; a
    // cancel before that ends the process by default, as for any filter.
    FilterProcess p({{"7", "mallory", "hostile", "1", "Origin=Rotation180 Cutting=1"}, ppd,
                     Bytes(stream.begin(), stream.begin() + 4)});
    for (int i = 0; i < 5000 && !catchesTerm(p.pid()); ++i) usleep(1000);
    ASSERT_TRUE(catchesTerm(p.pid())) << what;
    p.Write(Bytes(stream.begin() + 4, stream.begin() + std::min(stream.size(), kChunk)));
    for (size_t i = 1; i < std::min(at, chunks); ++i) {
      p.Write(Bytes(stream.begin() + i * kChunk, stream.begin() + std::min(stream.size(), (i + 1) * kChunk)));
      usleep(500);
    }
    if (at >= chunks) {
      p.CloseInput();
      usleep(static_cast<useconds_t>(at - chunks) * 1000);
    }
    p.Signal(SIGTERM);
    FilterResult r = p.Wait();
    ExpectSoundJob(r, what);
    const size_t pages = Count(r.err, "ERROR: Starting page = ");
    EXPECT_LE(pages, size_t{kPages}) << what;
    EXPECT_EQ(r.exitStatus, pages > 0 ? 0 : 1) << what;
    EXPECT_EQ(Count(r.err, "ERROR: Enter EndPage\n"), pages) << what << "\n" << r.err;
    const size_t canceledAt = r.err.find("ERROR: EndPage Out Canceled=1\n");
    EXPECT_LE(Count(r.err, "Canceled=1"), 1u) << what;
    if (canceledAt != npos) { EXPECT_EQ(r.err.find("ERROR: Starting page = ", canceledAt), npos) << what; }
    // Every started page reached the printer whole, with its cut.
    EXPECT_EQ(escpos::decode(r.out).count(escpos::EventKind::Cut), pages) << what;
    (pages == kPages && canceledAt == npos ? whole : cancelled)++;
  }
  // Both outcomes must have been met, or the delays missed the job.
  EXPECT_GT(cancelled, 0u);
}
