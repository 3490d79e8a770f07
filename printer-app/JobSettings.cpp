#include "JobSettings.h"

#include <algorithm>
#include <charconv>
#include <strings.h>

namespace {

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// What "auto" dithering becomes for each print-content-optimize value; the
// last entry is the printer's default, which is the PPD's default choice.
constexpr std::pair<std::string_view, std::string_view> kContentDithering[] = {
    {"text", "None"}, {"graphic", "Halftone"}, {"photo", "ErrorDiffusion"}, {"", "ErrorDiffusion"}};

std::string_view DitheringForContent(std::string_view content) {
  for (auto [keyword, choice] : kContentDithering)
    if (SameWord(keyword, content)) return choice;
  return kContentDithering[std::size(kContentDithering) - 1].second;
}

std::optional<int> ParseInt(std::string_view s) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// The PPD choice for the vendor value, or nothing when the value is not one
// the attribute offers.
std::optional<std::string> ChoiceFor(const VendorOption& option, std::string_view value) {
  switch (option.kind) {
    case VendorOption::Kind::Keyword:
      for (const VendorKeyword& k : option.keywords)
        if (SameWord(k.keyword, value)) return std::string(k.choice);
      return std::nullopt;
    case VendorOption::Kind::Integer:
      if (auto n = ParseInt(value); n && *n >= option.lower && *n <= option.upper) return std::to_string(*n);
      return std::nullopt;
    case VendorOption::Kind::Boolean:
      if (SameWord(value, "true")) return "True";
      if (SameWord(value, "false")) return "False";
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

int DensityLevel(int printDarkness) {
  if (printDarkness == 0) return 0;
  // Lighter than the printer's own setting is as light as it goes.
  if (printDarkness < 0) return 1;
  // 1-12 -> 1, 13-25 -> 2, ..., 88-100 -> 8.
  return std::clamp((std::min(printDarkness, 100) * 8 + 99) / 100, 1, 8);
}

std::vector<std::pair<std::string, std::string>> JobChoices(const StandardOptions& standard,
                                                            const VendorLookup& vendor,
                                                            std::vector<std::string>* notes) {
  std::vector<std::pair<std::string, std::string>> choices;
  for (const VendorOption& option : kVendorOptions) {
    std::string choice = *ChoiceFor(option, option.defaultValue);
    if (auto value = vendor(option.name)) {
      if (auto chosen = ChoiceFor(option, *value))
        choice = *chosen;
      else if (notes)
        notes->push_back(std::string(option.name) + "=" + *value + " is not supported; using " +
                         std::string(option.defaultValue));
    }
    choices.emplace_back(option.ppdKeyword, choice);
  }
  for (auto& [keyword, choice] : choices)
    if (keyword == "Dithering" && choice.empty()) choice = DitheringForContent(standard.contentOptimize);
    // finishings "trim" asks for a cut after every page whatever the cutter says.
    else if (keyword == "Cutting" && standard.trim) choice = "1";

  const char* origin = standard.quarterTurn          ? "Rotation90"
                       : standard.quarterTurnReverse ? "Rotation270"
                       : standard.reversePortrait    ? "Rotation180"
                                                     : "Rotation0";
  choices.emplace_back("Origin", origin);
  choices.emplace_back("PrintDensity", std::to_string(DensityLevel(standard.printDarkness)));
  choices.emplace_back("PageEnd", standard.trackMarks ? "2" : "0");
  return choices;
}

JobSettings SettingsForJob(const StandardOptions& standard, const VendorLookup& vendor, HeadUnits units) {
  JobSettings job;
  const auto choices = JobChoices(standard, vendor, &job.notes);
  job.settings = ParsePrintSettings([&](std::string_view keyword) -> std::optional<std::string> {
    for (const auto& [k, v] : choices)
      if (k == keyword) return v;
    return std::nullopt;
  }, units);
  return job;
}

std::optional<std::string> OfferedValue(const VendorOption& option, std::string_view value) {
  if (!ChoiceFor(option, value)) return std::nullopt;
  switch (option.kind) {
    case VendorOption::Kind::Keyword:
      for (const VendorKeyword& k : option.keywords)
        if (SameWord(k.keyword, value)) return std::string(k.keyword);
      break;
    case VendorOption::Kind::Integer: return std::to_string(*ParseInt(value));
    case VendorOption::Kind::Boolean: return SameWord(value, "true") ? "true" : "false";
  }
  return std::nullopt;
}
