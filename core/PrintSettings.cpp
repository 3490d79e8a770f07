#include "PrintSettings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <strings.h>

namespace {

bool Is(const std::optional<std::string>& choice, const char* value) {
  return choice && strcasecmp(choice->c_str(), value) == 0;
}

// atoi's reading of a choice (blanks, optional sign, leading digits; 0 when
// there are none), saturating instead of overflowing on absurd numbers.
int ChoiceNumber(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
    v = std::min<long long>(v * 10 + (s[i] - '0'), 1LL + INT_MAX);
  if (negative) v = -v;
  return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

// value * to / from, rounded to the nearest; the callers' values stay far
// below 2^32 / to (1000 mm, 720 rows), so no product overflows 64 bits.
uint32_t Rescale(uint32_t value, uint32_t to, uint32_t from) {
  return static_cast<uint32_t>((uint64_t{value} * to + from / 2) / from);
}

Placement HeadOrTail(const std::optional<std::string>& choice) {
  if (Is(choice, "1")) return Placement::Head;
  if (Is(choice, "2")) return Placement::Tail;
  return Placement::None;
}

// "Keep" (or no choice) keeps every blank row; "3mm" and the like keep at
// most that much paper. A choice that is not a plain number of millimetres
// changes nothing.
std::optional<uint32_t> TopMargin(const std::optional<std::string>& choice, uint32_t dotsPer254Mm) {
  if (!choice || choice->empty() || !std::isdigit(static_cast<unsigned char>((*choice)[0]))) return std::nullopt;
  const int mm = ChoiceNumber(*choice);
  if (mm > 1000) return std::nullopt;  // a metre of blank paper is no margin
  return Rescale(static_cast<uint32_t>(mm), dotsPer254Mm, 254);
}

}  // namespace

int FeedDistance(int nFeed, uint32_t motionPer254Mm) {
  if (nFeed <= 0) return 0;
  // Choices past the table feed as far as the last entry.
  const size_t index = std::min<size_t>(static_cast<size_t>(nFeed), nNum.size()) - 1;
  constexpr uint32_t kRowsPer254Mm = 2032;  // the table's rows: 8 per mm
  return static_cast<int>(Rescale(static_cast<uint32_t>(nNum[index] * 30), motionPer254Mm, kRowsPer254Mm));
}

PrintSettings ParsePrintSettings(const ChoiceLookup& choiceOf, HeadUnits units) {
  PrintSettings s;
  if (auto dithering = choiceOf("Dithering")) {
    constexpr const char* kModes[] = {"None", "Halftone", "OrderDithering", "ErrorDiffusion"};
    for (int mode = 0; mode < 4; ++mode)
      if (Is(dithering, kModes[mode])) s.dwDithering = mode;
  }
  s.nMirror = Is(choiceOf("MirrorImage"), "True") ? 1 : 0;
  s.nInverse = Is(choiceOf("NegativeImage"), "True") ? 1 : 0;

  const auto origin = choiceOf("Origin");
  constexpr const char* kOrigins[] = {"Rotation0", "Rotation90", "Rotation180", "Rotation270"};
  for (int i = 0; i < 4; ++i)
    if (Is(origin, kOrigins[i])) s.nDirection = i;

  s.warning = HeadOrTail(choiceOf("Warning"));

  if (auto density = choiceOf("PrintDensity"); density && !Is(density, "0"))
    s.density = static_cast<uint8_t>(ChoiceNumber(*density) & 0xFF);

  s.cashDrawer = choiceOf("CashDrawer");
  s.drawerPulse = HeadOrTail(s.cashDrawer);
  s.feedToMark = Is(choiceOf("PageEnd"), "2");

  if (auto feed = choiceOf("FeedAfterPrinting")) s.nDistance = FeedDistance(ChoiceNumber(*feed), units.motionPer254Mm);

  const auto cutting = choiceOf("Cutting");
  s.cutEveryPage = Is(cutting, "1");
  s.cutAtJobEnd = Is(cutting, "2");
  s.topMarginRows = TopMargin(choiceOf("LeadingBlank"), units.dotsPer254Mm);
  return s;
}
