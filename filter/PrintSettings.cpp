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

Placement HeadOrTail(const std::optional<std::string>& choice) {
  if (Is(choice, "1")) return Placement::Head;
  if (Is(choice, "2")) return Placement::Tail;
  return Placement::None;
}

}  // namespace

std::optional<std::string> MarkedChoice(ppd_file_t* ppd, const char* keyword) {
  ppd_choice_t* choice = ppd ? ppdFindMarkedChoice(ppd, keyword) : nullptr;
  if (!choice) return std::nullopt;
  return std::string(choice->choice);
}

int FeedDistance(int nFeed) {
  if (nFeed <= 0) return 0;
  // Choices past the table feed as far as the last entry.
  const size_t index = std::min<size_t>(static_cast<size_t>(nFeed), nNum.size()) - 1;
  return nNum[index] * 30;
}

PrintSettings ReadPrintSettings(ppd_file_t* ppd) {
  PrintSettings s;
  s.nMirror = Is(MarkedChoice(ppd, "MirrorImage"), "True") ? 1 : 0;
  s.nInverse = Is(MarkedChoice(ppd, "NegativeImage"), "True") ? 1 : 0;

  const auto origin = MarkedChoice(ppd, "Origin");
  constexpr const char* kOrigins[] = {"Rotation0", "Rotation90", "Rotation180", "Rotation270"};
  for (int i = 0; i < 4; ++i)
    if (Is(origin, kOrigins[i])) { s.nDirection = i; break; }

  s.warning = HeadOrTail(MarkedChoice(ppd, "Warning"));

  if (auto density = MarkedChoice(ppd, "PrintDensity"); density && !Is(density, "0"))
    s.density = static_cast<uint8_t>(ChoiceNumber(*density) & 0xFF);

  s.cashDrawer = MarkedChoice(ppd, "CashDrawer");
  s.drawerPulse = HeadOrTail(s.cashDrawer);
  s.feedToMark = Is(MarkedChoice(ppd, "PageEnd"), "2");

  if (auto feed = MarkedChoice(ppd, "FeedAfterPrinting")) s.nDistance = FeedDistance(ChoiceNumber(*feed));

  s.cutEveryPage = Is(MarkedChoice(ppd, "Cutting"), "1");
  return s;
}

bool CutAtJobEnd(ppd_file_t* ppd) { return Is(MarkedChoice(ppd, "Cutting"), "2"); }
