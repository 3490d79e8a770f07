#include "BilevelConversion.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BayerDither.h"
#include "ErrorDiffusion.h"

namespace {

// What one call sees: the pixel's level, its neighbours in the reference copy
// and the decisions already taken above and to the left.
struct Neighbourhood {
  int g, u, d, l, r;  // reference levels
  int U, L;           // page decisions
  int x, y;
  int width, height;  // stride in bytes, rows
  int lastSlot;       // width / 3 - 1: the last whole pixel slot of a row
};

[[gnu::always_inline]] inline int RuleSetA(const Neighbourhood& n) {
  const auto& [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
  const bool notLastRow = y < height - 1;
  if (g <= 99) {  // A1
    if (x > 0 && std::abs(g - l) <= 19) return L;
    if (notLastRow && g - u > 35 && g - d > 35) {
      if (x > 0 && l - g > 35 && L == kWhite) return kBlack;
      if (x > 0 && x < lastSlot && l - g > 35 && r - g > 35) return kBlack;
      return kWhite;
    }
    return kBlack;
  }
  if (u <= 99 && d <= 99)  // A2
    return (r - g > 35 && g <= 149) ? kBlack : kWhite;

  int color = U;
  if (g >= 200) {  // A3
    if (g - u > 35) {
      color = kWhite;
    } else if (u - g > 20) {
      if (x == 0)
        color = kBlack;
      else if (l - g > 30 && u - g > 30)
        color = (notLastRow && std::abs(g - d) > std::abs(g - u)) ? U : kBlack;
      else if (x < lastSlot && r - g > 30 && u - g > 30)
        color = kBlack;
      else if (g - l > 35)
        color = kWhite;
      else if (notLastRow && g - d > 35)
        color = kWhite;
      else
        color = kBlack;
    } else if (g - u > 19 && g - d > 19) {
      color = kWhite;
    }
  } else {  // A4, 100..199
    if (d <= 99 && g - d > 30)
      color = (g - u > 19) ? kWhite : U;
    else if (g - u > 30 && g - d > 30)
      color = kWhite;
    else if (std::abs(g - l) <= 19)  // also in column 0: l and L come from the row above's end
      color = L;
    else if (u > 200 && d > 200)
      color = kBlack;
    else if (x > 0 && l <= 99 && u <= 99 && g > 100)
      color = kWhite;
    else if (g - u > 35 || (notLastRow && d - g > 35 && d > 200))
      color = kBlack;
    else
      color = U;
  }

  if (x > 0) {
    if (3 * x < width - 1 && l - g > 20 && r - g > 20) color = kBlack;  // A5.1
    if (l > 199 && g <= 199) {                                          // A5.2
      if (g > 100 && u <= 99) {
        color = (l - g > 35) ? kBlack : kWhite;
      } else if (notLastRow && g > 100 && d <= 99) {
        color = kWhite;
      } else if (notLastRow && g > u && g > d && g > 100) {
        if (g - u > 30 && g - d > 30)
          color = kWhite;
        else if (l > 200 && l - g > 35)
          color = kBlack;
        else if (std::abs(g - u) <= 19)
          color = U;
        else if (L == kWhite && l - g > 35)
          color = kBlack;
      }
    }
  }
  return color;
}

[[gnu::always_inline]] inline int RuleSetB1(const Neighbourhood& n) {
  const auto& [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
  const bool notLastRow = y < height - 1;
  int color;
  if (g <= 99) {  // B1.1
    if (x > 0 && std::abs(g - l) <= 19)
      color = L;
    else if (x > 0 && l - g > 35 && L == kWhite)
      color = kBlack;
    else if (notLastRow && g - u > 35 && g - d > 35)
      color = kWhite;
    else
      color = kBlack;
  } else if (g - u <= 19) {  // B1.2
    color = U;
  } else if (x == 0) {
    color = kWhite;
  } else if (l > 219) {
    if (u <= 99 && g > 100)
      color = kWhite;
    else if (U == kWhite)
      color = kWhite;
    else if (g <= 149)
      color = kBlack;
    else
      color = kWhite;
  } else if (l <= 99 && u <= 99) {
    color = kWhite;
  } else if (l - g > 30 && r - g > 30) {
    color = kBlack;
  } else if (g - u > 30 && g - d > 30 && (std::abs(g - l) <= 34 || std::abs(g - r) <= 34)) {
    color = kWhite;
  } else if (g - l > 30 && L == kBlack && g > 100) {
    color = kWhite;
  } else if (L == kWhite && l - g > 35) {
    color = (g - u > 30 && g - d > 30 && g > 100) ? kWhite : kBlack;
  } else {
    color = L;
  }

  if (x == 0) return color;
  if (3 * x < width - 1) {  // B1.3
    if (l - g > 20 && r - g > 20) {
      color = (g > 200 && u <= 99) ? kWhite : kBlack;
    } else if (l - g > 19 && r - g > 19) {
      color = kBlack;
    } else if (g > u && U == kWhite) {
      color = kWhite;
    } else if (std::abs(g - l) < std::abs(g - r) && std::abs(g - r) > 35) {
      color = L;
    } else if (std::abs(g - u) <= 19) {
      color = U;
    } else if (L == kWhite && l - g > 35) {
      if (l > 199 && g <= 199)
        color = (g > 100 && u <= 99) ? kWhite : kBlack;
      else if (g - u > 35 && g > 150)
        color = kWhite;
    }
  }
  if (l > 199 && g <= 199) {  // B1.4
    if (g > u && U == kWhite)
      color = kWhite;
    else if (l - g > 35)
      color = (g > 100 && u <= 99) ? kWhite : kBlack;
    else if (g > 100 && u <= 99)
      color = kWhite;
    else if (notLastRow && g > 100 && d <= 99)
      color = kWhite;
    else if (U == kWhite && g >= u)
      color = kWhite;
  }
  return color;
}

[[gnu::always_inline]] inline int RuleSetB2(const Neighbourhood& n) {
  const auto& [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
  (void)lastSlot;
  const bool notLastRow = y < height - 1;
  int color;
  if (U == kBlack) {  // B2.1
    color = kBlack;
  } else if (u - g > 19 && g <= 199) {
    if (x > 0 && std::abs(g - l) <= 19)
      color = L;
    else if (notLastRow && std::abs(g - d) > std::abs(g - u))
      color = U;
    else
      color = kBlack;
  } else if (u - g > 19) {
    color = kWhite;
  } else {
    color = (l > 200 && g <= 199) ? kBlack : kWhite;  // l read in column 0 too
  }

  if (x == 0) return color;
  if (3 * x < width - 1 && l - g > 20 && r - g > 20) color = kBlack;  // B2.2
  if (g > 100 && g - l > 35) color = kWhite;                         // B2.3
  if (l > 199 && g <= 199) {                                         // B2.4
    if (U == kBlack)
      color = kBlack;
    else if (notLastRow && g > 100 && d <= 99)
      color = (g - d > u - g) ? kWhite : kBlack;
    else
      color = kBlack;
  }
  return color;
}

// The page and its reference copy as plain values, so that writing a level
// cannot be taken by the compiler for a change of the geometry.
struct Planes {
  uint8_t* page;
  const uint8_t* reference;
  size_t stride, slots, rows;
  int width24, lastSlot;
};

// Carries the decision right along the row while the reference levels
// continue the same stroke (black) or keep rising steeply (white).
[[gnu::always_inline]] inline void Run(const Planes p, const GreyPlane& reference, const Neighbourhood& n,
                                       int color) {
  int i = n.x;
  const uint8_t* ref = p.reference + static_cast<size_t>(n.y) * p.stride;
  const int stored = static_cast<int>(std::min<size_t>(p.slots, INT32_MAX));
  auto level = [&](int slot) {  // stored slots are read directly
    return slot < stored ? ref[slot] : reference.LevelAt(slot, n.y);
  };
  int here = level(i);
  while (i < n.lastSlot) {
    const int next = level(i + 1);
    if (color == kBlack ? (next - here > 25 || next > 234) : (next - here < 30)) break;
    here = next;
    ++i;
  }
  // Slots past the stored ones are padding, which is white and stays so.
  const size_t last = std::min(static_cast<size_t>(i) + 1, p.slots);
  uint8_t* row = p.page + static_cast<size_t>(n.y) * p.stride;
  for (size_t col = static_cast<size_t>(n.x); col < last; ++col)
    if (row[col] != kWhite) row[col] = static_cast<uint8_t>(color);
}

// Decides pixel (x, y), which the caller has checked is a real pixel.
[[gnu::always_inline]] inline void Decide(const Planes p, const GreyPlane& page, const GreyPlane& reference,
                                          size_t px, size_t py, bool innerRow) {
  Neighbourhood n;
  if (innerRow && px >= 1 && px + 1 < p.slots) {
    // Inside the page: every neighbour is a stored level of the same column
    // or row, so the flat-offset reads reduce to plain ones.
    const uint8_t* ref = p.reference + py * p.stride + px;
    n.g = ref[0];
    if (n.g >= 220) {  // very light: white, and no run
      p.page[py * p.stride + px] = kWhite;
      return;
    }
    const uint8_t* mine = p.page + py * p.stride + px;
    n.u = *(ref - p.stride);
    n.d = ref[p.stride];
    n.l = ref[-1];
    n.r = ref[1];
    n.U = *(mine - p.stride);
    n.L = mine[-1];
  } else {
    const auto x = static_cast<long long>(px), y = static_cast<long long>(py);
    n.g = reference.LevelAt(x, y);
    if (n.g >= 220) {
      p.page[py * p.stride + px] = kWhite;
      return;
    }
    n.u = reference.LevelAt(x, y - 1);
    n.d = reference.LevelAt(x, y + 1);
    n.l = reference.LevelAt(x - 1, y);
    n.r = reference.LevelAt(x + 1, y);
    n.U = page.LevelAt(x, y - 1);
    n.L = page.LevelAt(x - 1, y);
  }
  n.x = static_cast<int>(px);
  n.y = static_cast<int>(py);
  n.width = p.width24;
  n.height = static_cast<int>(p.rows);
  n.lastSlot = p.lastSlot;

  int color;
  if (py == 0)
    color = n.g >= 200 ? kWhite : kBlack;
  else if (std::abs(n.g - n.u) <= std::abs(n.g - n.d))
    color = RuleSetA(n);
  else if (n.g >= n.u)
    color = RuleSetB1(n);
  else
    color = RuleSetB2(n);

  Run(p, reference, n, color);
}

Planes PlanesOf(const GreyPlane& page, const GreyPlane& reference) {
  return {page.levels.data(), reference.levels.data(), page.stride, page.slots, page.rows,
          static_cast<int>(page.stride24), static_cast<int>(page.stride24 / 3) - 1};
}

// True when all eight levels at p are black or all are white: nothing to
// decide there.
inline bool Settled8(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word == 0 || word == ~uint64_t{0};
}

// Decides the undecided pixels of row y, left to right.
[[gnu::always_inline]] inline void DecideRow(const Planes planes, const GreyPlane& page, const GreyPlane& reference, size_t y) {
  const uint8_t* row = planes.page + y * planes.stride;
  const bool innerRow = y >= 1 && y + 1 < planes.rows;
  const size_t width = page.width;
  for (size_t x = 0; x < width;) {
    if (x % 8 == 0 && x + 8 <= width && Settled8(row + x)) {
      x += 8;
      continue;
    }
    // Black and white are settled (possibly by a run): 0 and 255 both
    // wrap to 0 or 1 here, in one comparison.
    if (static_cast<uint8_t>(row[x] + 1) > 1) Decide(planes, page, reference, x, y, innerRow);
    ++x;
  }
}

void ThresholdMode(const GreyPlane& original) {
  // The reference copy: every decision reads the page as it was.
  std::vector<uint8_t> copy(original.levels.begin(), original.levels.end());
  const GreyPlane page = original;
  GreyPlane reference = original;
  reference.levels = copy;
  const Planes planes = PlanesOf(page, reference);
  // Every decision in a row depends only on the reference rows above, at and
  // below it, on the decisions of the row above and on those already taken
  // to its left. So where four reference rows in a row are equal and the two
  // rows above came out equal, this row comes out as the one above: a
  // vertically uniform stretch (blank paper, a bar, a ramp) is decided once.
  auto refRow = [&](size_t y) { return planes.reference + y * planes.stride; };
  auto pageRow = [&](size_t y) { return planes.page + y * planes.stride; };
  auto equalRows = [&](const uint8_t* a, const uint8_t* b) {
    return planes.slots == 0 || std::memcmp(a, b, planes.slots) == 0;
  };
  bool aboveEqual = false, belowEqual = false;  // reference rows y-2 = y-1, y-1 = y
  for (size_t y = 0; y < page.rows; ++y) {
    const bool nextEqual = y + 1 < planes.rows && equalRows(refRow(y), refRow(y + 1));
    const bool repeat = y >= 2 && aboveEqual && belowEqual && nextEqual && equalRows(pageRow(y - 2), pageRow(y - 1));
    aboveEqual = belowEqual;
    belowEqual = nextEqual;
    if (repeat) {
      if (planes.slots) std::memcpy(pageRow(y), pageRow(y - 1), planes.slots);
      continue;
    }
    DecideRow(planes, page, reference, y);
  }
}

}  // namespace

int ProcessLine(const GreyPlane& page, const GreyPlane& reference, int x, int y) {
  // Only real pixels of a row are decided; anything else is a caller error
  // that must not turn into a write outside the row.
  if (x < 0 || y < 0 || static_cast<size_t>(y) >= page.rows || 3 * static_cast<size_t>(x) + 3 > page.stride24 ||
      static_cast<size_t>(x) >= page.slots)
    return 1;
  Decide(PlanesOf(page, reference), page, reference, static_cast<size_t>(x), static_cast<size_t>(y),
         y >= 1 && static_cast<size_t>(y) + 1 < page.rows);
  return 1;
}

void ThresholdRow(const GreyPlane& page, const GreyPlane& reference, size_t y) {
  if (y >= page.rows || reference.rows != page.rows || reference.stride != page.stride) return;
  DecideRow(PlanesOf(page, reference), page, reference, y);
}

void Color2BW(const GreyPlane& page, int nLight, int dwDithering) {
  switch (dwDithering) {
    case 0: ThresholdMode(page); break;
    case 1: OrderedDither(page, nLight); break;
    case 2: makeDitherBayer8(page, nLight); break;
    case 3: ErrorDiffusion(page, nLight); break;
    case 4:
      for (size_t y = 0; y < page.rows; ++y) Bayer8x8Row(page.Row(y), y, page.width);
      break;
    default: break;  // left as it came: only pure black prints
  }
}
