#include "ErrorDiffusion.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::array<uint32_t, 2> kBlackWhite = {0x000000u, 0xFFFFFFu};

// The level each grey level diffuses to: the nearer of black and white.
constexpr std::array<uint8_t, 256> kNearest = [] {
  std::array<uint8_t, 256> t{};
  for (uint32_t v = 0; v < 256; ++v)
    t[v] = static_cast<uint8_t>(FindNearestColor(v * 0x010101u, kBlackWhite) & 0xFF);
  return t;
}();

// Adds a share of the error to a neighbour whose level, taken before the
// change, lies in [lo, hi]. Shares are floored (arithmetic shift).
inline void Spread(uint8_t& level, int lo, int hi, int share) {
  if (level < lo || level > hi) return;
  level = PlusTruncate(level, share);
}

inline void DiffuseRowInline(uint8_t* row, uint8_t* below, size_t cx) {
  for (size_t x = 0; x < cx; ++x) {
    const int current = row[x];
    const int best = kNearest[static_cast<size_t>(current)];
    row[x] = static_cast<uint8_t>(best);
    const int error = current - best;
    if (error == 0) continue;  // every share would be 0
    // The windows keep settled black/white pixels and near-white ones out
    // of the exchange; the row below takes a narrower window.
    const bool hasRight = x + 1 < cx;
    if (hasRight) Spread(row[x + 1], 51, 229, (error * 7) >> 4);
    if (!below) continue;
    if (x >= 1) Spread(below[x - 1], 51, 229, (error * 3) >> 4);
    Spread(below[x], 51, 224, (error * 5) >> 4);
    if (hasRight) Spread(below[x + 1], 51, 224, error >> 4);
  }
}

void DiffusionPass(const GreyPlane& page) {
  const size_t cy = page.rows;
  for (size_t y = 0; y < cy; ++y) DiffuseRowInline(page.Row(y), y + 1 < cy ? page.Row(y + 1) : nullptr, page.width);
}

// True when all eight levels at p are black or all are white: no mid-grey.
inline bool AllBlackOrWhite(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word == 0 || word == ~uint64_t{0};
}

}  // namespace

int IsBorder(const GreyPlane& page, int x, int y) {
  if (x < 0 || y < 0 || static_cast<size_t>(x) >= page.width || static_cast<size_t>(y) >= page.rows) return -1;
  const size_t px = static_cast<size_t>(x), py = static_cast<size_t>(y);
  const int M = page.At(px, py);
  if (M < 50 || M >= 230) return -1;  // not mid-grey: nothing to classify
  // A neighbour that does not exist fails every test that names it.
  constexpr int kMissing = -1;
  auto has = [](int v) { return v != kMissing; };
  const int L = px > 0 ? page.At(px - 1, py) : kMissing;
  const int R = px + 1 < page.width ? page.At(px + 1, py) : kMissing;
  const int U = py > 0 ? page.At(px, py - 1) : kMissing;
  const int D = py + 1 < page.rows ? page.At(px, py + 1) : kMissing;

  if (has(L) && L >= 230 && has(R) && R < 100) return (has(U) && U >= 230) ? 1 : 0;
  if (has(U) && U >= 225 && has(D) && D < 100) return (has(R) && R >= 230) ? 3 : 2;
  if (has(R) && R >= 225 && has(L) && L < 100) return (has(D) && D >= 230) ? 5 : 4;
  if (has(D) && D >= 225 && has(U) && U < 100) return 6;
  return -1;
}

void EdgeSnapsOfRow(const GreyPlane& plane, size_t y, int nBrightness, std::vector<EdgeSnap>& snaps) {
  snaps.clear();
  // A copy: the snaps written cannot be taken for a change of the geometry.
  const GreyPlane page = plane;
  const size_t width = page.width;
  if (y >= page.rows) return;
  const uint8_t* row = page.Row(y);
  const bool inner = y > 0 && y + 1 < page.rows;
  for (size_t x = 0; x < width; ++x) {
    if (x % 8 == 0 && x + 8 <= width && AllBlackOrWhite(row + x)) {
      x += 7;
      continue;
    }
    if (row[x] < 50 || row[x] >= 230) continue;  // IsBorder's first test, without the call
    if (inner && x > 0 && x + 1 < width) {
      // Every border has a neighbour of 225 or more and one under 100; on
      // smooth grey neither holds, and the classifier need not run.
      const uint8_t l = row[x - 1], r = row[x + 1], u = page.Row(y - 1)[x], d = page.Row(y + 1)[x];
      if (std::max({l, r, u, d}) < 225 || std::min({l, r, u, d}) >= 100) continue;
    }
    const int k = IsBorder(page, static_cast<int>(x), static_cast<int>(y));
    int value;
    if ((k == 0 || k == 4) && y > 0)
      value = page.At(x, y - 1) + nBrightness;
    else if ((k == 2 || k == 6) && x > 0)
      value = row[x - 1] + nBrightness;
    else
      continue;
    snaps.push_back({x, static_cast<uint8_t>(value > 150 ? 255 : 0)});
  }
}

void DiffuseRow(uint8_t* row, uint8_t* below, size_t width) { DiffuseRowInline(row, below, width); }

void EdgeSnapPass(const GreyPlane& page, int nBrightness) {
  // Decisions and neighbour levels all come from the untouched page, so a
  // row's snaps wait until the row below has been classified (the last row
  // that reads it); one snap cannot trigger another.
  std::vector<EdgeSnap> pending, current;
  auto commit = [&](const std::vector<EdgeSnap>& snaps, size_t y) {
    for (const EdgeSnap& s : snaps) page.At(s.x, y) = s.value;
  };
  // A row's snaps depend only on it and its two neighbours, so a row inside
  // a vertically uniform stretch snaps exactly as the row above it did.
  auto equalRows = [&](size_t a, size_t b) {
    return page.width == 0 || std::memcmp(page.Row(a), page.Row(b), page.width) == 0;
  };
  bool aboveEqual = false, belowEqual = false;  // rows y-2 = y-1, y-1 = y (before any snap)
  for (size_t y = 0; y < page.rows; ++y) {
    const bool nextEqual = y + 1 < page.rows && equalRows(y, y + 1);
    const bool repeat = y >= 2 && aboveEqual && belowEqual && nextEqual;
    aboveEqual = belowEqual;
    belowEqual = nextEqual;
    if (repeat) {
      current = pending;
      commit(pending, y - 1);
      std::swap(pending, current);
      continue;
    }
    EdgeSnapsOfRow(page, y, nBrightness, current);
    if (y > 0) commit(pending, y - 1);
    std::swap(pending, current);
  }
  if (page.rows > 0) commit(pending, page.rows - 1);
}

int ErrorDiffusion(const GreyPlane& page, int nLight) {
  EdgeSnapPass(page, BrightnessOffset(nLight));
  // Grey pixels have no colour for the brightness offset to reach, so the
  // colour-to-grey pass that precedes the diffusion changes nothing here.
  DiffusionPass(page);
  return 0;
}
