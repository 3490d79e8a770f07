// differential_jobs: random print jobs for bench/differential.sh, and the
// comparison of two filters' results on one job.
//
// Usage:
//   differential_jobs write SEED FIRST COUNT DIR
//     Writes jobs FIRST .. FIRST+COUNT-1 of series SEED into DIR: N.ras (the
//     raster stream), N.ppd, and one line per job appended to DIR/jobs.tsv:
//       N <tab> copies <tab> file|stdin|missing <tab> ppd|noppd <tab> bmp|nobmp
//         <tab> summary <tab> options
//     ("bmp": the directory of the filter's dithering picture exists)
//     A job depends only on SEED and N, never on how the series is batched.
//   differential_jobs compare OLD NEW
//     OLD and NEW are the run directories of one job (out, err, status,
//     tmp/ and bmp/, the files the filter left in its /tmp and in the
//     directory of its dithering picture). Prints "same",
//     "same-but-accepted" (the accepted differences: "free pBuf180=" is 0 in
//     OLD and an address in NEW for an empty picture, 0 rows or 0 bytes
//     wide; and exit status 0 in OLD, 1 in NEW, for a job that printed
//     nothing because all its pages had depths the filter cannot print;
//     and on a negative page, solid black raster bands after its last dot
//     that NEW does not send, with the stream length it logs) or one line
//     naming what differs; exits 0 when the runs match, 1 when they differ.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "TestSupport.h"

namespace {

// ---------------------------------------------------------------- randomness

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A generator whose sequence is the same on every platform and library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() { return SplitMix(state_++ * 0xD1B54A32D192ED03ull); }
  unsigned Below(size_t n) { return n ? static_cast<unsigned>(Next() % n) : 0; }
  unsigned Range(unsigned lo, unsigned hi) { return lo + Below(size_t{hi} - lo + 1); }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& v) { return v[Below(v.size())]; }

 private:
  uint64_t state_;
};

// A pixel's own random number: noise that costs no sequence state.
unsigned Hash(uint64_t seed, unsigned x, unsigned y) {
  return static_cast<unsigned>(SplitMix(seed ^ (uint64_t{x} << 32 | y)) >> 16);
}

// ------------------------------------------------------------------- options

struct OptionDef {
  const char* keyword;
  std::vector<std::string> choices;  // what the printer's PPD offers
  std::vector<std::string> odd;      // unknown choices, odd spellings of numbers
};

const std::vector<OptionDef>& Options() {
  static const std::vector<OptionDef> options = {
      {"Dithering", {"None", "Halftone", "OrderDithering", "ErrorDiffusion"}, {"Floyd", "ErrorDiffusion2", "0", "3"}},
      {"MirrorImage", {"True", "False"}, {"Yes", "1", "Truee"}},
      {"NegativeImage", {"True", "False"}, {"Yes", "1", "on"}},
      {"Origin", {"Rotation0", "Rotation90", "Rotation180", "Rotation270"}, {"Rotation45", "Rotation", "180", "0"}},
      {"Warning", {"0", "1", "2"}, {"3", "-1", "01", "On"}},
      {"PrintDensity",
       {"0", "1", "2", "3", "4", "5", "6", "7", "8"},
       {"-7", "9", "255", "256", "300", "+3", "007", "12abc", "99999999999", "-0", "x"}},
      {"CashDrawer", {"0", "1", "2"}, {"3", "01", "02", "Open"}},
      {"PageEnd", {"0", "1", "2"}, {"3", "02", "Mark"}},
      {"FeedAfterPrinting",
       {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13"},
       {"14", "20", "100", "-1", "-300", "2147483648", "4x", "013", "+2"}},
      {"Cutting", {"0", "1", "2"}, {"3", "01", "Full", "-2"}},
  };
  return options;
}

// `s` in another case: all lower, all upper or mixed.
std::string OddCase(Rng& rng, std::string s) {
  const unsigned how = rng.Below(3);
  for (char& c : s) {
    const bool upper = how == 1 || (how == 2 && rng.Chance(50));
    c = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(c)) : std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// The PPD options of a job, each with its choices and default, and the
// job's own options as the scheduler passes them in argv[5].
void MakeOptions(Rng& rng, std::string& ppd, std::string& jobOptions) {
  std::vector<PpdOption> ppdOptions;
  std::vector<std::string> argv5;
  for (const OptionDef& def : Options()) {
    if (!rng.Chance(7)) {
      std::vector<std::string> choices = def.choices;
      if (rng.Chance(15))  // a PPD that spells its choices in another case
        for (std::string& c : choices) c = OddCase(rng, c);
      if (rng.Chance(30))
        for (unsigned n = rng.Range(1, 2); n > 0; --n) {
          const std::string extra = rng.Pick(def.odd);
          if (std::none_of(choices.begin(), choices.end(), [&](const std::string& c) { return SameIgnoringCase(c, extra); }))
            choices.push_back(extra);
        }
      std::string defaultChoice = rng.Pick(choices);
      const unsigned d = rng.Below(100);
      if (d < 5)
        defaultChoice = OddCase(rng, rng.Pick(def.choices));  // found by libcups regardless of case, or not at all
      else if (d < 10)
        defaultChoice = rng.Pick(def.odd);  // usually not a choice: nothing is marked
      ppdOptions.emplace_back(def.keyword, choices, defaultChoice);
    }
    if (rng.Chance(25)) {
      std::string keyword = rng.Chance(10) ? OddCase(rng, def.keyword) : def.keyword;
      const std::string key = def.keyword;
      if ((key == "MirrorImage" || key == "NegativeImage") && rng.Chance(10)) {
        argv5.push_back(rng.Chance(50) ? keyword : "no" + keyword);  // boolean forms: "true", "false"
        continue;
      }
      const unsigned v = rng.Below(100);
      const std::string value = v < 45 ? rng.Pick(def.choices) : v < 70 ? OddCase(rng, rng.Pick(def.choices)) : rng.Pick(def.odd);
      argv5.push_back(keyword + "=" + value);
      if (rng.Chance(5)) argv5.push_back(keyword + "=" + rng.Pick(def.choices));  // given twice: the last one counts
    }
  }
  if (rng.Chance(10))
    argv5.push_back(rng.Pick(std::vector<std::string>{"PageSize=X80MMY100MM", "media=X80MMY100MM", "job-sheets=none",
                                                      "Resolution=203dpi", "foo=bar", "copies=2"}));
  for (size_t i = argv5.size(); i > 1; --i) std::swap(argv5[i - 1], argv5[rng.Below(i)]);
  ppd = MakePpd(ppdOptions);
  for (const std::string& o : argv5) jobOptions += (jobOptions.empty() ? "" : " ") + o;
}

// --------------------------------------------------------------------- pages

// Grey levels where the filter's decisions change (as RGB levels: 255 is
// paper), with their neighbours.
const std::vector<int> kCriticalLevels = {0,   1,   20,  35,  36,  64,  80,  99,  100, 101, 120, 128, 149, 150,
                                          151, 170, 199, 200, 201, 210, 219, 220, 221, 234, 235, 240, 254, 255};

// A darkness (0 paper, 255 black) to start a pattern from.
int Level(Rng& rng) {
  const unsigned r = rng.Below(100);
  if (r < 25) return rng.Chance(50) ? 0 : 255;
  if (r < 60) return std::clamp(255 - rng.Pick(kCriticalLevels) + (rng.Chance(30) ? int(rng.Below(5)) - 2 : 0), 0, 255);
  return static_cast<int>(rng.Below(256));
}

enum class Pattern { Flat, HRamp, VRamp, Noise, NoiseAround, Text, Stripes, Checker, Disc, Dots, Critical, Blurred, kCount };

// A rectangle of the page filled with one pattern.
struct Cell {
  unsigned x0, y0, w, h;
  Pattern pattern;
  int a, b;          // the two darknesses the pattern works with
  unsigned period;   // stripe, checker, block size
  unsigned spread;   // noise amplitude, dot density, stripe direction
  unsigned cx, cy, radius;
  uint64_t seed;
  int tint[3];       // RGB offsets of a coloured cell
  unsigned ditherKind;  // 1-bit pages: 0 threshold, 1 ordered, 2 random
};

Cell MakeCell(Rng& rng, unsigned x0, unsigned y0, unsigned w, unsigned h, bool colour) {
  Cell c{};
  c.x0 = x0;
  c.y0 = y0;
  c.w = w;
  c.h = h;
  c.pattern = static_cast<Pattern>(rng.Below(static_cast<size_t>(Pattern::kCount)));
  c.a = Level(rng);
  c.b = Level(rng);
  c.period = rng.Chance(50) ? rng.Range(1, 3) : rng.Range(4, 24);
  c.spread = rng.Range(1, 60);
  c.cx = rng.Below(w);
  c.cy = rng.Below(h);
  c.radius = rng.Range(1, std::max(2u, std::max(w, h) / 2));
  c.seed = rng.Next();
  if (colour && rng.Chance(40))
    for (int& t : c.tint) t = static_cast<int>(rng.Below(161)) - 80;
  c.ditherKind = rng.Below(3);
  return c;
}

int Darkness(const Cell& c, unsigned x, unsigned y) {
  const int a = c.a, b = c.b;
  switch (c.pattern) {
    case Pattern::Flat: return a;
    case Pattern::HRamp: return c.w > 1 ? a + (b - a) * static_cast<int>(x) / static_cast<int>(c.w - 1) : a;
    case Pattern::VRamp: return c.h > 1 ? a + (b - a) * static_cast<int>(y) / static_cast<int>(c.h - 1) : a;
    case Pattern::Noise: return static_cast<int>(Hash(c.seed, x, y) & 0xFF);
    case Pattern::NoiseAround:
      return std::clamp(a + static_cast<int>(Hash(c.seed, x, y) % (2 * c.spread + 1)) - static_cast<int>(c.spread), 0, 255);
    case Pattern::Text: {  // glyph-like strokes of `b` on `a`, as receipt text
      const unsigned cell = c.period + 4, line = y % (2 * cell);
      if (line >= cell + 2) return a;
      const bool glyph = Hash(c.seed, x / cell, y / (2 * cell)) % 7 != 0;
      return glyph && x % cell < cell - 2 && ((x / 2 + line) % 3) != 0 ? b : a;
    }
    case Pattern::Stripes: {
      const unsigned along = c.spread % 3 == 0 ? x : c.spread % 3 == 1 ? y : x + y;
      return (along / c.period) % 2 ? a : b;
    }
    case Pattern::Checker: return ((x / c.period) + (y / c.period)) % 2 ? a : b;
    case Pattern::Disc: {
      const long long dx = static_cast<long long>(x) - c.cx, dy = static_cast<long long>(y) - c.cy;
      return dx * dx + dy * dy < static_cast<long long>(c.radius) * c.radius ? a : b;
    }
    case Pattern::Dots: return Hash(c.seed, x, y) % 100 < c.spread / 4 ? a : b;
    case Pattern::Critical: {
      const unsigned h = Hash(c.seed, x / c.period, y / c.period);
      return 255 - kCriticalLevels[h % kCriticalLevels.size()];
    }
    case Pattern::Blurred: {
      // Blobs of `b` on `a`, averaged over 3 x 3 like an anti-aliased render:
      // soft edges next to hard ones, at every distance from the threshold.
      unsigned inked = 0;
      for (unsigned dy = 0; dy < 3; ++dy)
        for (unsigned dx = 0; dx < 3; ++dx)
          inked += Hash(c.seed, (x + dx) / c.period, (y + dy) / c.period) % 60 < c.spread;
      return a + (b - a) * static_cast<int>(inked) / 9;
    }
    case Pattern::kCount: break;
  }
  return 0;
}

struct PageSpec {
  unsigned depth, width, height, bytesPerLine, copies;
  bool headerExtras;
};

// The page's raster lines: bands of cells of different patterns; bytes past
// the width (padding bits, spare bytes) sometimes hold garbage.
Bytes PaintPage(Rng& rng, const PageSpec& p, bool receipt) {
  const unsigned w = std::max(p.width, 1u), h = p.height;
  std::vector<Cell> cells;
  const unsigned bands = receipt ? rng.Range(4, 14) : rng.Range(1, 5);
  std::vector<unsigned> cuts = {0, h};
  for (unsigned i = 1; i < bands && h > 1; ++i) cuts.push_back(rng.Range(1, h - 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (size_t band = 0; band + 1 < cuts.size(); ++band) {
    const unsigned columns = std::min(rng.Range(1, 3), w);
    std::vector<unsigned> xs = {0, w};
    for (unsigned i = 1; i < columns; ++i) xs.push_back(rng.Range(1, w - 1));
    std::sort(xs.begin(), xs.end());
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
    for (size_t col = 0; col + 1 < xs.size(); ++col)
      cells.push_back(MakeCell(rng, xs[col], cuts[band], xs[col + 1] - xs[col], cuts[band + 1] - cuts[band], p.depth == 24));
  }

  const size_t bpl = p.bytesPerLine;
  Bytes lines(bpl * h, 0);
  const bool garbage = rng.Chance(30);
  const uint64_t garbageSeed = rng.Next();
  if (garbage)
    for (size_t i = 0; i < lines.size(); ++i)
      lines[i] = static_cast<uint8_t>(Hash(garbageSeed, static_cast<unsigned>(i % bpl), static_cast<unsigned>(i / bpl)));
  static constexpr uint8_t kBayer4[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};

  for (const Cell& c : cells)
    for (unsigned y = c.y0; y < c.y0 + c.h; ++y) {
      uint8_t* row = lines.data() + size_t{y} * bpl;
      for (unsigned x = c.x0; x < c.x0 + c.w && x < p.width; ++x) {
        const int d = Darkness(c, x - c.x0, y - c.y0);
        switch (p.depth) {
          case 1: {
            if (size_t{x} / 8 >= bpl) break;  // a header whose lines are too short
            const int threshold = c.ditherKind == 0 ? 127
                                  : c.ditherKind == 1 ? kBayer4[(y % 4) * 4 + x % 4] * 16 + 8
                                                      : static_cast<int>(Hash(c.seed, y, x) & 0xFF);
            const uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
            row[x / 8] = static_cast<uint8_t>(d > threshold ? row[x / 8] | bit : row[x / 8] & ~bit);
            break;
          }
          case 2:
          case 4: {
            const size_t bit = size_t{x} * p.depth;
            if (bit / 8 >= bpl) break;
            const unsigned shift = 8 - p.depth - bit % 8;
            const unsigned mask = ((1u << p.depth) - 1) << shift;
            row[bit / 8] = static_cast<uint8_t>((row[bit / 8] & ~mask) | ((unsigned(d) >> (8 - p.depth)) << shift));
            break;
          }
          case 8:
            if (x < bpl) row[x] = static_cast<uint8_t>(d);
            break;
          case 16:
            if (2 * size_t{x} + 1 < bpl) {
              row[2 * x] = static_cast<uint8_t>(d);
              row[2 * x + 1] = static_cast<uint8_t>(Hash(c.seed, x, y));
            }
            break;
          case 24:
            for (unsigned k = 0; k < 3; ++k)
              if (3 * size_t{x} + k < bpl) row[3 * x + k] = static_cast<uint8_t>(std::clamp(255 - d + c.tint[k], 0, 255));
            break;
        }
      }
    }
  return lines;
}

PageSpec MakePageSpec(Rng& rng, unsigned depth, bool receipt) {
  PageSpec p{};
  p.depth = depth;
  if (receipt) {
    p.width = 576;
    p.height = rng.Range(2000, 5000);
  } else {
    const unsigned r = rng.Below(100);
    p.width = r < 8 ? rng.Range(1, 16) : r < 16 ? 8 * rng.Range(1, 88) : r < 24 ? rng.Pick(std::vector<unsigned>{576, 384, 512, 640, 700})
              : r < 25 ? 0 : rng.Range(1, 700);
    const unsigned s = rng.Below(100);
    p.height = s < 10 ? rng.Range(1, 4) : s < 85 ? rng.Range(1, 120) : rng.Range(121, 300);
  }
  const unsigned unit = depth >= 8 ? depth / 8 : 1;
  const unsigned need = std::max((p.width * depth + 7) / 8, unit);
  p.bytesPerLine = need;
  const unsigned b = rng.Below(1000);
  if (depth == 1 && b < 5 && !receipt) {  // rows wider than a raster band can carry
    p.bytesPerLine = rng.Range(65536, 66000);
    p.height = rng.Range(1, 30);
  } else if (b < 25 && need > unit)
    p.bytesPerLine = need - unit * rng.Range(1, need / unit - 1);  // shorter than the width needs
  else if (depth == 1 ? b < 320 : b < 120)
    p.bytesPerLine = need + unit * rng.Range(1, depth == 1 ? 8 : 4);
  const unsigned c = rng.Below(100);
  p.copies = c < 10 ? 0 : c < 70 ? 1 : c < 88 ? 2 : 3;
  p.headerExtras = rng.Chance(15);
  return p;
}

cups_page_header2_t Header(Rng& rng, const PageSpec& p) {
  cups_page_header2_t h = MakeHeader(p.width, p.height, p.depth, p.bytesPerLine);
  h.NumCopies = p.copies;
  if (p.headerExtras) {  // fields the filter only logs
    h.Orientation = static_cast<cups_orient_t>(rng.Below(4));
    h.MirrorPrint = static_cast<cups_bool_t>(rng.Below(2));
    h.NegativePrint = static_cast<cups_bool_t>(rng.Below(2));
    h.CutMedia = static_cast<cups_cut_t>(rng.Below(5));
    h.HWResolution[0] = h.HWResolution[1] = rng.Pick(std::vector<unsigned>{180, 203, 300});
    h.Margins[0] = rng.Below(20);
    std::snprintf(h.MediaColor, sizeof h.MediaColor, "%s", rng.Chance(50) ? "White" : "Yellow");
    std::snprintf(h.OutputType, sizeof h.OutputType, "%s", rng.Chance(50) ? "Receipt" : "Label");
  }
  return h;
}

unsigned JobDepth(Rng& rng) {
  const unsigned r = rng.Below(100);
  if (r < 28) return 1;
  if (r < 63) return 8;
  if (r < 88) return 24;
  return rng.Pick(std::vector<unsigned>{2, 4, 16});
}

struct Job {
  Bytes raster;
  std::string ppd, options, copies, summary;
  std::string input;  // "file", "stdin", or "missing": a raster file that cannot be opened
  bool withPpd = true;
  bool bmpDir = false;  // the dithering picture's directory exists
};

Job MakeJob(uint64_t seed, uint64_t index) {
  Rng rng(SplitMix(SplitMix(seed) ^ index));
  Job job;
  MakeOptions(rng, job.ppd, job.options);
  job.copies = rng.Pick(std::vector<std::string>{"1", "1", "2", "0"});
  const unsigned in = rng.Below(1000);
  job.input = in < 3 ? "missing" : in < 250 ? "stdin" : "file";
  job.withPpd = !rng.Chance(1);
  job.bmpDir = rng.Chance(20);

  const bool receipt = rng.Chance(2);
  const unsigned pages = receipt ? 1 : rng.Chance(60) ? 1 : rng.Chance(60) ? 2 : 3;
  const unsigned depth = receipt ? rng.Pick(std::vector<unsigned>{1, 8, 8, 24}) : JobDepth(rng);
  std::vector<RasterPage> raster;
  std::string summary;
  for (unsigned i = 0; i < pages; ++i) {
    const PageSpec spec = MakePageSpec(rng, rng.Chance(80) ? depth : JobDepth(rng), receipt);
    RasterPage page{Header(rng, spec), PaintPage(rng, spec, receipt)};
    raster.push_back(std::move(page));
    char part[96];
    std::snprintf(part, sizeof part, "%s%ub:%ux%u", i ? "," : "", spec.depth, spec.width, spec.height);
    summary += part;
    if (spec.bytesPerLine != (spec.width * spec.depth + 7) / 8) summary += "/bpl" + std::to_string(spec.bytesPerLine);
    if (spec.copies != 1) summary += "/c" + std::to_string(spec.copies);
  }
  const bool compressed = rng.Chance(receipt ? 80 : 50);
  auto write = [&](const std::vector<RasterPage>& p) { return compressed ? WriteCompressedRaster(p) : WriteRaster(p); };
  job.raster = write(raster);
  if (compressed) summary += " compressed";

  if (rng.Chance(12) && !job.raster.empty()) {  // a stream cut short
    size_t cut = rng.Below(job.raster.size());
    if (rng.Chance(50)) {
      // Near a page's start: inside its header, right after it (a page of
      // 0 rows) or inside its last line.
      const unsigned k = rng.Below(raster.size());
      const size_t start = write({raster.begin(), raster.begin() + k}).size();
      const size_t end = k + 1 < raster.size() ? write({raster.begin(), raster.begin() + k + 1}).size() : job.raster.size();
      const size_t headerEnd = start + sizeof(cups_page_header2_t);
      const size_t bpl = std::max<size_t>(raster[k].header.cupsBytesPerLine, 1);
      const unsigned where = rng.Below(100);
      cut = where < 40 ? headerEnd + rng.Below(std::min<size_t>(bpl, 4))
            : where < 70 ? start + rng.Below(sizeof(cups_page_header2_t))
                         : end - std::min<size_t>(end - headerEnd, rng.Range(1, static_cast<unsigned>(std::min<size_t>(bpl, 1u << 20))));
      cut = std::min(cut, job.raster.size() - 1);
    }
    job.raster.resize(cut);
    summary += " cut@" + std::to_string(cut);
  }
  if (job.input != "file") summary += " " + job.input;
  if (!job.withPpd) summary += " noppd";
  if (job.bmpDir) summary += " bmpdir";
  job.summary = summary;
  return job;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int WriteJobs(uint64_t seed, uint64_t first, uint64_t count, const std::string& dir) {
  std::ofstream tsv(dir + "/jobs.tsv", std::ios::app);
  for (uint64_t i = first; i < first + count; ++i) {
    const Job job = MakeJob(seed, i);
    const std::string base = dir + "/" + std::to_string(i);
    if (!WriteFile(base + ".ras", ToString(job.raster)) || !WriteFile(base + ".ppd", job.ppd)) {
      std::fprintf(stderr, "differential_jobs: cannot write %s\n", base.c_str());
      return 2;
    }
    tsv << i << '\t' << job.copies << '\t' << job.input << '\t'
        << (job.withPpd ? "ppd" : "noppd") << '\t' << (job.bmpDir ? "bmp" : "nobmp") << '\t' << job.summary << '\t' << job.options << '\n';
  }
  return tsv ? 0 : 2;
}

// ---------------------------------------------------------------- comparison

std::string Read(const std::filesystem::path& path) { return ToString(ReadFile(path.string())); }

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t nl; (nl = s.find('\n', from)) != std::string::npos; from = nl + 1) lines.push_back(s.substr(from, nl - from));
  lines.push_back(s.substr(from));  // empty when the text ends with a newline
  return lines;
}

// Trace fields whose values differ between two runs of the same program:
// heap and stream addresses printed with %x (and the PPD's as a decimal),
// and the clock. A value of 0 (no buffer, a failed open) is kept.
std::string Mask(const std::string& line) {
  static const char* const kKeys[] = {" pData=",  " pMirror=", " pBuf180=",   " pBuf90=",       " pDataBuf=", " pzlibBuf=",
                                      " options=", " f=",      " ImageFile=", "ppdClose fd=", " time="};
  std::string s = line;
  for (const char* key : kKeys) {
    const size_t keyLength = std::strlen(key);
    for (size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + 1)) {
      const size_t from = at + keyLength;
      size_t to = from;
      while (to < s.size() && (std::isxdigit(static_cast<unsigned char>(s[to])) || s[to] == '-')) ++to;
      const std::string value = s.substr(from, to - from);
      if (value.empty() || (value == "0" && std::strcmp(key, " time=") != 0)) continue;
      s.replace(from, to - from, std::strcmp(key, " time=") == 0 ? "T" : "ADDR");
    }
  }
  return s;
}

std::string Show(const std::string& s) {
  std::string out;
  for (unsigned char c : s.substr(0, 90))
    if (std::isprint(c)) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  return s.size() > 90 ? out + "..." : out;
}

std::string CompareBytes(const std::string& what, const std::string& a, const std::string& b) {
  if (a == b) return "";
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return what + " differs at byte " + std::to_string(i) + " (old " + std::to_string(a.size()) + " bytes, new " +
         std::to_string(b.size()) + ")";
}

// The third accepted difference: a negative page no longer sends the black
// background after its last dot (blank rows were looked for after the
// inversion, where there were none). Its stream is the old one less some
// raster bands that are solid black; everything else is the same, byte for byte.
bool OnlyBlackBandsDropped(const std::string& old, const std::string& now) {
  size_t i = 0, j = 0;
  while (i < old.size()) {
    const auto byte = [&](size_t k) { return size_t{static_cast<uint8_t>(old[i + k])}; };
    const size_t length = i + 8 <= old.size() && old.compare(i, 3, "\x1D\x76\x30") == 0
                              ? 8 + (byte(4) | byte(5) << 8) * (byte(6) | byte(7) << 8)
                              : 0;
    if (length && i + length <= old.size()) {
      if (now.compare(j, length, old, i, length) == 0) {
        j += length;
      } else if (length == 8 || old.find_first_not_of('\xFF', i + 8) < i + length) {
        return false;
      }
      i += length;
      continue;
    }
    if (j >= now.size() || old[i] != now[j]) return false;
    ++i, ++j;
  }
  return j == now.size();
}

// The files a run left in a directory: name -> content ("<directory>" etc. for
// anything that is not a regular file).
std::map<std::string, std::string> FilesIn(const std::filesystem::path& dir) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_symlink())
      files[name] = "<symbolic link>";
    else if (e.is_regular_file())
      files[name] = Read(e.path());
    else
      files[name] = "<not a regular file>";
  }
  return files;
}

int Compare(const std::filesystem::path& oldRun, const std::filesystem::path& newRun) {
  std::vector<std::string> differences;
  auto note = [&](const std::string& d) {
    if (!d.empty()) differences.push_back(d);
  };

  std::string oldStatus = Read(oldRun / "status"), newStatus = Read(newRun / "status");
  while (!oldStatus.empty() && std::isspace(static_cast<unsigned char>(oldStatus.back()))) oldStatus.pop_back();
  while (!newStatus.empty() && std::isspace(static_cast<unsigned char>(newStatus.back()))) newStatus.pop_back();
  // The second accepted difference: a job that printed nothing because every
  // page had a depth the filter cannot print now fails (exit 1) instead of
  // reporting success.
  const std::string oldErrText = Read(oldRun / "err");
  const bool onlyUnprintableDepths = oldErrText.find("bits per pixel are not supported") != std::string::npos &&
                                     oldErrText.find("ERROR: ProcessData return") == std::string::npos;
  bool depthStatus = false;
  if (oldStatus != newStatus) {
    if (onlyUnprintableDepths && oldStatus == "0" && newStatus == "1")
      depthStatus = true;
    else
      note("exit status old " + oldStatus + ", new " + newStatus);
  }

  const bool negative = oldErrText.find("ERROR: ProcessData nInverse=1") != std::string::npos;
  bool blackEnd = false;
  const auto compareStream = [&](const std::string& what, const std::string& a, const std::string& b) {
    if (a != b && negative && OnlyBlackBandsDropped(a, b))
      blackEnd = true;
    else
      note(CompareBytes(what, a, b));
  };
  compareStream("stdout", Read(oldRun / "out"), Read(newRun / "out"));

  const std::vector<std::string> oldErr = Lines(Read(oldRun / "err")), newErr = Lines(Read(newRun / "err"));
  int rows = -1, rowBytes = -1;  // size of the current page's picture, from its ProcessData line
  bool pbuf180 = false;
  for (size_t i = 0; i < std::max(oldErr.size(), newErr.size()); ++i) {
    if (i >= oldErr.size() || i >= newErr.size()) {
      note("stderr: old has " + std::to_string(oldErr.size()) + " lines, new " + std::to_string(newErr.size()) +
           "; first extra: \"" + Show(i < oldErr.size() ? oldErr[i] : newErr[i]) + "\"");
      break;
    }
    const std::string& o = oldErr[i];
    if (o.rfind("ERROR: Starting page", 0) == 0) rows = rowBytes = -1;
    if (int width, height; std::sscanf(o.c_str(), "ERROR: ProcessData nImageWidth=%d biHeight=%d", &width, &height) == 2) {
      rows = height;
      rowBytes = width;
    }
    if (Mask(o) == Mask(newErr[i])) continue;
    static const std::string kPBuf180 = "ERROR: free pBuf180=";
    const std::string& n = newErr[i];
    if ((rows == 0 || rowBytes == 0) && o == kPBuf180 + "0" && n.rfind(kPBuf180, 0) == 0 && Mask(n) == kPBuf180 + "ADDR") {
      pbuf180 = true;  // the new filter keeps a buffer for an empty picture
      continue;
    }
    static const std::string kSaved = "ERROR: save data to K7QX-filter DataLength=";
    if (negative && o.rfind(kSaved, 0) == 0 && n.rfind(kSaved, 0) == 0) {
      blackEnd = true;  // the length of the stream, which /tmp/Brantelix holds
      continue;
    }
    note("stderr line " + std::to_string(i + 1) + ": old \"" + Show(o) + "\", new \"" + Show(n) + "\"");
    break;
  }

  for (const char* dir : {"tmp", "bmp"}) {
    const auto oldFiles = FilesIn(oldRun / dir), newFiles = FilesIn(newRun / dir);
    std::vector<std::string> names;
    for (const auto& [name, content] : oldFiles) names.push_back(name);
    for (const auto& [name, content] : newFiles)
      if (!oldFiles.count(name)) names.push_back(name);
    for (const std::string& name : names) {
      const std::string path = (std::strcmp(dir, "tmp") == 0 ? "/tmp/" : "the picture's directory: ") + name;
      const auto o = oldFiles.find(name), n = newFiles.find(name);
      if (o == oldFiles.end() || n == newFiles.end())
        note(path + " left by " + (o == oldFiles.end() ? "new" : "old") + " only");
      else if (path == "/tmp/Brantelix")  // the last page's stream
        compareStream(path, o->second, n->second);
      else
        note(CompareBytes(path, o->second, n->second));
    }
  }

  if (differences.empty()) {
    std::puts(pbuf180 || depthStatus || blackEnd ? "same-but-accepted" : "same");
    return 0;
  }
  std::string line;
  for (const std::string& d : differences) line += (line.empty() ? "" : "; ") + d;
  std::puts(line.c_str());
  return 1;
}

uint64_t Number(const char* s) {
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (!*s || *end) {
    std::fprintf(stderr, "differential_jobs: not a number: %s\n", s);
    std::exit(2);
  }
  return v;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 6) return WriteJobs(Number(argv[2]), Number(argv[3]), Number(argv[4]), argv[5]);
  if (mode == "compare" && argc == 4) return Compare(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: %s write SEED FIRST COUNT DIR\n"
               "       %s compare OLD_RUN NEW_RUN\n",
               argv[0], argv[0]);
  return 2;
}
