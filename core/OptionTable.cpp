#include "OptionTable.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>
#include <strings.h>

namespace {

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// value * to / from, rounded to the nearest; the callers' values stay far
// below 2^32 / to (1000 mm), so no product overflows 64 bits.
uint32_t Rescale(uint32_t value, uint32_t to, uint32_t from) {
  return static_cast<uint32_t>((uint64_t{value} * to + from / 2) / from);
}

// --- What each value does ---

void SetDithering(PrintSettings& s, int v, HeadUnits) { s.dwDithering = static_cast<Dithering>(v); }
void SetMirror(PrintSettings& s, int v, HeadUnits) { s.nMirror = v != 0; }
void SetNegative(PrintSettings& s, int v, HeadUnits) { s.nInverse = v != 0; }
void SetRotation(PrintSettings& s, int v, HeadUnits) { s.nDirection = static_cast<Rotation>(v); }
void SetWarning(PrintSettings& s, int v, HeadUnits) { s.warning = static_cast<Placement>(v); }
void SetDrawer(PrintSettings& s, int v, HeadUnits) { s.drawerPulse = static_cast<Placement>(v); }
void SetFeedToMark(PrintSettings& s, int v, HeadUnits) { s.feedToMark = v != 0; }
void SetCut(PrintSettings& s, int v, HeadUnits) { s.cut = static_cast<Cut>(v); }

void SetDensity(PrintSettings& s, int v, HeadUnits) {
  if (v == kPrinterDensity)
    s.density.reset();
  else
    s.density = static_cast<uint8_t>(v & 0xFF);
}

// Feed steps in the printer's own motion unit: the same paper on every head.
void SetFeed(PrintSettings& s, int steps, HeadUnits units) { s.nDistance = FeedDistance(steps, units.motionPer254Mm); }

// Millimetres in the head's own dot rows.
void SetTopMargin(PrintSettings& s, int mm, HeadUnits units) {
  if (mm == kKeepAllBlank)
    s.topMarginRows.reset();
  else
    s.topMarginRows = Rescale(static_cast<uint32_t>(mm), units.dotsPer254Mm, 254);
}

// --- PPD choices outside the offered ones ---

// Any other density number is sent as it is, in one byte.
std::optional<int> OtherDensity(std::string_view choice) { return ChoiceNumber(choice) & 0xFF; }

// "4mm" and the like: at most that much paper, when it is a plain number of
// millimetres; anything else changes nothing.
std::optional<int> OtherMillimetres(std::string_view choice) {
  if (choice.empty() || !std::isdigit(static_cast<unsigned char>(choice[0]))) return std::nullopt;
  const int mm = ChoiceNumber(choice);
  if (mm > 1000) return std::nullopt;  // a metre of blank paper is no margin
  return mm;
}

// --- The table ---

constexpr auto kNone = static_cast<int>(Placement::None);
constexpr auto kHead = static_cast<int>(Placement::Head);
constexpr auto kTail = static_cast<int>(Placement::Tail);

constexpr OptionChoice kDithering[] = {
    {"None", "threshold", "Threshold (sharpest text)", static_cast<int>(Dithering::Threshold)},
    {"Halftone", "halftone", "Halftone 3x3", static_cast<int>(Dithering::Halftone)},
    // The filter's 8 x 8 table sees grey pages already thresholded; the
    // printer application offers a true 8 x 8 ordered dither instead.
    {"OrderDithering", "", "Threshold at 10 % grey", static_cast<int>(Dithering::Ordered8x8)},
    {"", "ordered-8x8", "Ordered dither 8x8", static_cast<int>(Dithering::Bayer8x8)},
    {"ErrorDiffusion", "error-diffusion", "Error diffusion (photos, logos)", static_cast<int>(Dithering::ErrorDiffusion)},
    {"", "auto", "Follow the content type", kDitheringFollowsContent},
};

constexpr OptionChoice kOrigin[] = {
    {"Rotation0", "portrait", "Normal", static_cast<int>(Rotation::HalfTurn)},
    {"Rotation90", "landscape", "Quarter turn", static_cast<int>(Rotation::QuarterTurn)},
    {"Rotation180", "reverse-portrait", "Half turn", static_cast<int>(Rotation::Unturned)},
    {"Rotation270", "", "Quarter turn (same as Rotation90)", static_cast<int>(Rotation::QuarterTurn270)},
    {"", "reverse-landscape", "Quarter turn the other way", static_cast<int>(Rotation::QuarterTurnBack)},
};

constexpr OptionChoice kDensity[] = {
    {"0", "", "Printer default", kPrinterDensity}, {"1", "", "Level 1 (lightest)", 1}, {"2", "", "Level 2", 2},
    {"3", "", "Level 3", 3},  {"4", "", "Level 4", 4}, {"5", "", "Level 5", 5}, {"6", "", "Level 6", 6},
    {"7", "", "Level 7", 7},  {"8", "", "Level 8 (darkest)", 8},
};

constexpr OptionChoice kWarning[] = {
    {"0", "none", "Off", kNone}, {"1", "before", "Before each page", kHead}, {"2", "after", "After each page", kTail}};

constexpr OptionChoice kDrawer[] = {{"0", "none", "Do not open", kNone},
                                    {"1", "before", "Open before each page", kHead},
                                    {"2", "after", "Open after each page", kTail}};

constexpr OptionChoice kPageEnd[] = {{"0", "continuous", "Continuous roll", 0},
                                     {"1", "", "Continuous roll (reserved)", 0},
                                     {"2", "mark", "Feed to the next mark before each page", 1}};

constexpr OptionChoice kLeadingBlank[] = {
    {"Keep", "keep", "All, as the page lays it out", kKeepAllBlank},
    {"0mm", "0mm", "None (start at the first dot)", 0},
    {"", "1mm", "At most 1 mm", 1},
    {"", "2mm", "At most 2 mm", 2},
    {"3mm", "3mm", "At most 3 mm", 3},
    {"", "5mm", "At most 5 mm", 5},
    {"6mm", "", "At most 6 mm", 6},
    {"", "10mm", "At most 10 mm", 10},
};

constexpr OptionChoice kCut[] = {{"0", "none", "No cut", static_cast<int>(Cut::None)},
                                 {"1", "page", "After every page", static_cast<int>(Cut::EveryPage)},
                                 {"2", "job", "At the end of the job", static_cast<int>(Cut::JobEnd)}};

constexpr OptionChoice kRawDrawerKicks[] = {{"", "keep", "Send them", 0}, {"", "drop", "Leave them out", 1}};

using K = JobOption::Kind;

// PPD options in the order the PPD lists them; the printer application's
// form follows the same order.
constexpr JobOption kTable[] = {
    {"Dithering", "dithering", true, "Grey Conversion", K::Choices, kDithering, 0, 0, "ErrorDiffusion", "auto",
     SetDithering},
    {"MirrorImage", "mirror-image", true, "Mirror Image", K::Boolean, {}, 0, 0, "False", "false", SetMirror},
    {"NegativeImage", "negative-image", true, "Negative Print", K::Boolean, {}, 0, 0, "False", "false", SetNegative},
    {"Origin", "orientation-requested", false, "Print Orientation", K::Choices, kOrigin, 0, 0, "Rotation0", "portrait",
     SetRotation},
    {"PrintDensity", "print-darkness", false, "Print Density", K::Choices, kDensity, 0, 0, "0", "", SetDensity,
     OtherDensity},
    {"Warning", "warning", true, "Warning Signal", K::Choices, kWarning, 0, 0, "0", "none", SetWarning},
    {"CashDrawer", "cash-drawer", true, "Cash Drawer", K::Choices, kDrawer, 0, 0, "0", "none", SetDrawer},
    {"PageEnd", "media-tracking", false, "Marked Paper", K::Choices, kPageEnd, 0, 0, "0", "continuous", SetFeedToMark},
    {"FeedAfterPrinting", "feed-after", true, "Feed After Printing (steps of 3.75 mm)", K::Number, {}, 0, 13, "4", "4",
     SetFeed},
    {"LeadingBlank", "leading-blank", true, "Blank Paper Before the Print", K::Choices, kLeadingBlank, 0, 0, "3mm",
     "3mm", SetTopMargin, OtherMillimetres},
    {"Cutting", "cutter", true, "Paper Cut", K::Choices, kCut, 0, 0, "2", "job", SetCut},
    // Raw ESC/POS jobs only (the filter has no raw jobs): whether drawer
    // kicks in them reach the printer. Read from the printer's default only.
    {"", "raw-drawer-kicks", true, "Cash Drawer Kicks in Raw ESC/POS Jobs", K::Choices, kRawDrawerKicks, 0, 0, "",
     "keep"},
};

std::optional<int> ParseInt(std::string_view s) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

const std::span<const JobOption> kJobOptions = kTable;

int FeedDistance(int nFeed, uint32_t motionPer254Mm) {
  if (nFeed <= 0) return 0;
  // Choices past the table feed as far as the last entry.
  const size_t index = std::min<size_t>(static_cast<size_t>(nFeed), nNum.size()) - 1;
  constexpr uint32_t kRowsPer254Mm = 2032;  // the table's rows: 8 per mm
  return static_cast<int>(Rescale(static_cast<uint32_t>(nNum[index] * 30), motionPer254Mm, kRowsPer254Mm));
}

PrintSettings ParsePrintSettings(const ChoiceLookup& choiceOf, HeadUnits units) {
  PrintSettings s;
  for (const JobOption& option : kJobOptions) {
    if (option.ppdKeyword.empty() || !option.apply) continue;
    const std::optional<std::string> choice = choiceOf(option.ppdKeyword);
    if (!choice) continue;
    if (const std::optional<int> value = ValueOfPpdChoice(option, *choice)) option.apply(s, *value, units);
  }
  return s;
}

int ChoiceNumber(std::string_view s) {
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

const JobOption* OptionByPpdKeyword(std::string_view keyword) {
  for (const JobOption& option : kTable)
    if (!option.ppdKeyword.empty() && option.ppdKeyword == keyword) return &option;
  return nullptr;
}

const JobOption* OptionByIppName(std::string_view name) {
  for (const JobOption& option : kTable)
    if (option.ippName == name) return &option;
  return nullptr;
}

std::optional<int> ValueOfPpdChoice(const JobOption& option, std::string_view choice) {
  switch (option.kind) {
    case JobOption::Kind::Choices:
      for (const OptionChoice& c : option.choices)
        if (!c.ppd.empty() && SameWord(c.ppd, choice)) return c.value;
      return option.readOtherPpdChoice ? option.readOtherPpdChoice(choice) : std::nullopt;
    case JobOption::Kind::Number: return ChoiceNumber(choice);
    case JobOption::Kind::Boolean: return SameWord(choice, "True") ? 1 : 0;
  }
  return std::nullopt;
}

std::optional<int> ValueOfIppValue(const JobOption& option, std::string_view value) {
  switch (option.kind) {
    case JobOption::Kind::Choices:
      for (const OptionChoice& c : option.choices)
        if (!c.ipp.empty() && SameWord(c.ipp, value)) return c.value;
      return std::nullopt;
    case JobOption::Kind::Number:
      if (auto n = ParseInt(value); n && *n >= option.lower && *n <= option.upper) return n;
      return std::nullopt;
    case JobOption::Kind::Boolean:
      if (SameWord(value, "true")) return 1;
      if (SameWord(value, "false")) return 0;
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> OfferedIppValue(const JobOption& option, std::string_view value) {
  const std::optional<int> v = ValueOfIppValue(option, value);
  if (!v) return std::nullopt;
  switch (option.kind) {
    case JobOption::Kind::Choices:
      for (const OptionChoice& c : option.choices)
        if (!c.ipp.empty() && SameWord(c.ipp, value)) return std::string(c.ipp);
      break;
    case JobOption::Kind::Number: return std::to_string(*v);
    case JobOption::Kind::Boolean: return *v ? "true" : "false";
  }
  return std::nullopt;
}
