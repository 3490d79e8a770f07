#include "BilevelConversion.h"

#include <algorithm>
#include <cstdlib>
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

int RuleSetA(const Neighbourhood& n) {
  const auto [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
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

int RuleSetB1(const Neighbourhood& n) {
  const auto [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
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

int RuleSetB2(const Neighbourhood& n) {
  const auto [g, u, d, l, r, U, L, x, y, width, height, lastSlot] = n;
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

// Carries the decision right along the row while the reference levels
// continue the same stroke (black) or keep rising steeply (white).
void Run(const GreyPlane& page, const GreyPlane& reference, const Neighbourhood& n, int color) {
  int i = n.x;
  while (i < n.lastSlot) {
    const int here = reference.LevelAt(i, n.y);
    const int next = reference.LevelAt(i + 1, n.y);
    if (color == kBlack ? (next - here > 25 || next > 234) : (next - here < 30)) break;
    ++i;
  }
  // Slots past the stored ones are padding, which is white and stays so.
  const size_t last = std::min(static_cast<size_t>(i) + 1, page.slots);
  uint8_t* row = page.Row(static_cast<size_t>(n.y));
  for (size_t col = static_cast<size_t>(n.x); col < last; ++col)
    if (row[col] != kWhite) row[col] = static_cast<uint8_t>(color);
}

void ThresholdMode(const GreyPlane& page) {
  // The reference copy: every decision reads the page as it was.
  std::vector<uint8_t> copy(page.levels.begin(), page.levels.end());
  GreyPlane reference = page;
  reference.levels = copy;
  for (size_t y = 0; y < page.rows; ++y) {
    const uint8_t* row = page.Row(y);
    for (size_t x = 0; x < page.width; ++x) {
      if (row[x] == kBlack || row[x] == kWhite) continue;  // settled, possibly by a run
      ProcessLine(page, reference, static_cast<int>(x), static_cast<int>(y));
    }
  }
}

}  // namespace

int ProcessLine(const GreyPlane& page, const GreyPlane& reference, int x, int y) {
  // Only real pixels of a row are decided; anything else is a caller error
  // that must not turn into a write outside the row.
  const long long stride24 = static_cast<long long>(page.stride24);
  if (x < 0 || y < 0 || static_cast<size_t>(y) >= page.rows || 3LL * x + 3 > stride24 ||
      static_cast<size_t>(x) >= page.slots)
    return 1;

  Neighbourhood n{};
  n.g = reference.LevelAt(x, y);
  n.u = reference.LevelAt(x, y - 1LL);
  n.d = reference.LevelAt(x, y + 1LL);
  n.l = reference.LevelAt(x - 1LL, y);
  n.r = reference.LevelAt(x + 1LL, y);
  n.U = page.LevelAt(x, y - 1LL);
  n.L = page.LevelAt(x - 1LL, y);
  n.x = x;
  n.y = y;
  n.width = static_cast<int>(stride24);
  n.height = static_cast<int>(page.rows);
  n.lastSlot = static_cast<int>(stride24 / 3) - 1;

  if (n.g >= 220) {  // very light: white, and no run
    page.At(static_cast<size_t>(x), static_cast<size_t>(y)) = kWhite;
    return 1;
  }

  int color;
  if (y == 0)
    color = n.g >= 200 ? kWhite : kBlack;
  else if (std::abs(n.g - n.u) <= std::abs(n.g - n.d))
    color = RuleSetA(n);
  else if (n.g >= n.u)
    color = RuleSetB1(n);
  else
    color = RuleSetB2(n);

  Run(page, reference, n, color);
  return 1;
}

void Color2BW(const GreyPlane& page, int nLight, int dwDithering) {
  switch (dwDithering) {
    case 0: ThresholdMode(page); break;
    case 1: OrderedDither(page, nLight); break;
    case 2: makeDitherBayer8(page, nLight); break;
    case 3: ErrorDiffusion(page, nLight); break;
    default: break;  // left as it came: only pure black prints
  }
}
