#include "JobSettings.h"

#include <algorithm>
#include <strings.h>

namespace {

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// What "auto" dithering becomes for each print-content-optimize value; the
// last entry, for "auto" and mixed content, is the PPD's default conversion.
constexpr std::pair<std::string_view, Dithering> kContentDithering[] = {{"text", Dithering::Threshold},
                                                                        {"graphic", Dithering::Halftone},
                                                                        {"photo", Dithering::ErrorDiffusion},
                                                                        {"", Dithering::ErrorDiffusion}};

int DitheringForContent(std::string_view content) {
  for (auto [keyword, dithering] : kContentDithering)
    if (SameWord(keyword, content)) return static_cast<int>(dithering);
  return static_cast<int>(kContentDithering[std::size(kContentDithering) - 1].second);
}

// The value of a standard attribute's option, from the job's keywords.
std::optional<int> StandardValue(const JobOption& option, const StandardOptions& standard) {
  if (option.ippName == "print-darkness") {
    const int level = DensityLevel(standard.printDarkness);
    return level == 0 ? kPrinterDensity : level;
  }
  if (option.ippName == "orientation-requested") return ValueOfIppValue(option, standard.orientation);
  if (option.ippName == "media-tracking") return ValueOfIppValue(option, standard.mediaTracking);
  return std::nullopt;
}

// The value of a vendor option: the job's or printer's when offered, else
// the default with a note saying so.
int VendorValue(const JobOption& option, const VendorLookup& vendor, std::vector<std::string>& notes) {
  if (const std::optional<std::string> text = vendor(option.ippName)) {
    if (const std::optional<int> value = ValueOfIppValue(option, *text)) return *value;
    notes.push_back(std::string(option.ippName) + "=" + *text + " is not supported; using " +
                    std::string(option.ippDefault));
  }
  return *ValueOfIppValue(option, option.ippDefault);
}

}  // namespace

int DensityLevel(int printDarkness) {
  if (printDarkness == 0) return 0;
  // Lighter than the printer's own setting is as light as it goes.
  if (printDarkness < 0) return 1;
  // 1-12 -> 1, 13-25 -> 2, ..., 88-100 -> 8.
  return std::clamp((std::min(printDarkness, 100) * 8 + 99) / 100, 1, 8);
}

JobSettings SettingsForJob(const StandardOptions& standard, const VendorLookup& vendor, HeadUnits units) {
  JobSettings job;
  for (const JobOption& option : kJobOptions) {
    if (!option.apply) continue;
    std::optional<int> value = option.vendor ? VendorValue(option, vendor, job.notes) : StandardValue(option, standard);
    if (option.ippName == "dithering" && value == kDitheringFollowsContent)
      value = DitheringForContent(standard.contentOptimize);
    // finishings "trim" asks for a cut after every page whatever the cutter says.
    if (option.ippName == "cutter" && standard.trim) value = static_cast<int>(Cut::EveryPage);
    if (value) option.apply(job.settings, *value, units);
  }
  return job;
}

std::vector<const JobOption*> VendorOptions() {
  std::vector<const JobOption*> options;
  for (const JobOption& option : kJobOptions)
    if (option.vendor) options.push_back(&option);
  return options;
}

std::string OptionStrings() {
  const auto quoted = [](std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  std::string strings;
  for (const JobOption* option : VendorOptions()) {
    const std::string name(option->ippName);
    strings += quoted(name) + " = " + quoted(option->label) + ";\n";
    for (const OptionChoice& c : option->choices)
      if (!c.ipp.empty()) strings += quoted(name + "." + std::string(c.ipp)) + " = " + quoted(c.label) + ";\n";
  }
  return strings;
}
