// From the IPP attributes of a job to the core's print settings. Every
// attribute is mapped onto the choice string the CUPS filter's PPD option
// would carry, so that a choice gives the same bytes through either front
// end: the bytes themselves are the core's business.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "PrintSettings.h"

// A keyword of a vendor attribute and the PPD choice it stands for.
struct VendorKeyword {
  std::string_view keyword;
  std::string_view choice;
};

// A vendor attribute offered by the drivers. Keyword attributes list their
// keywords; integer ones a range; boolean ones neither.
struct VendorOption {
  enum class Kind { Keyword, Integer, Boolean };
  std::string_view name;        // IPP attribute name (NAME-default, NAME-supported)
  std::string_view ppdKeyword;  // the filter's option it maps onto
  Kind kind;
  std::string_view defaultValue;
  std::span<const VendorKeyword> keywords;
  int lower = 0, upper = 0;  // Integer range
};

inline constexpr VendorKeyword kDitheringKeywords[] = {
    {"auto", ""},  // follows print-content-optimize
    {"threshold", "None"},
    {"halftone", "Halftone"},
    {"ordered-8x8", "OrderDithering"},
    {"error-diffusion", "ErrorDiffusion"},
};
inline constexpr VendorKeyword kCutterKeywords[] = {{"none", "0"}, {"page", "1"}, {"job", "2"}};
inline constexpr VendorKeyword kBeforeAfterKeywords[] = {{"none", "0"}, {"before", "1"}, {"after", "2"}};
inline constexpr VendorKeyword kLeadingBlankKeywords[] = {
    {"keep", "Keep"}, {"0mm", "0mm"}, {"1mm", "1mm"}, {"2mm", "2mm"}, {"3mm", "3mm"}, {"5mm", "5mm"}, {"10mm", "10mm"},
};
inline constexpr VendorKeyword kKeepDropKeywords[] = {{"keep", "Keep"}, {"drop", "Drop"}};

// Defaults follow the PPD's defaults, so a printer behaves the same whichever
// front end drives it.
inline constexpr VendorOption kVendorOptions[] = {
    {"dithering", "Dithering", VendorOption::Kind::Keyword, "auto", kDitheringKeywords},
    {"cutter", "Cutting", VendorOption::Kind::Keyword, "job", kCutterKeywords},
    {"cash-drawer", "CashDrawer", VendorOption::Kind::Keyword, "none", kBeforeAfterKeywords},
    {"feed-after", "FeedAfterPrinting", VendorOption::Kind::Integer, "4", {}, 0, 13},
    {"warning", "Warning", VendorOption::Kind::Keyword, "none", kBeforeAfterKeywords},
    {"mirror-image", "MirrorImage", VendorOption::Kind::Boolean, "false", {}},
    {"negative-image", "NegativeImage", VendorOption::Kind::Boolean, "false", {}},
    {"leading-blank", "LeadingBlank", VendorOption::Kind::Keyword, "3mm", kLeadingBlankKeywords},
    // Raw ESC/POS jobs only (the filter has no raw jobs): whether drawer
    // kicks in them reach the printer. Read from the printer's default only.
    {"raw-drawer-kicks", "RawDrawerKicks", VendorOption::Kind::Keyword, "keep", kKeepDropKeywords},
};

// The standard attributes of a job that shape its bytes, as PAPPL resolved
// them (job value, else printer default).
struct StandardOptions {
  int printDarkness = 0;                      // -100..100; 0 leaves the printer's density
  std::string contentOptimize = "auto";       // print-content-optimize keyword
  bool reversePortrait = false;               // orientation-requested 6
  bool quarterTurn = false;                   // orientation-requested 4 (landscape)
  bool quarterTurnReverse = false;            // orientation-requested 5
  bool trackMarks = false;                    // media-tracking "mark"
  bool trim = false;                          // finishings "trim"
};

// A vendor attribute's value for the job: the job's own, else the printer's
// NAME-default, else nothing.
using VendorLookup = std::function<std::optional<std::string>(std::string_view name)>;

struct JobSettings {
  PrintSettings settings;
  std::vector<std::string> notes;  // values that were not understood, and what was used
};

// One of the printer's 8 density levels for print-darkness, 0 for the
// printer's own setting.
int DensityLevel(int printDarkness);

// The PPD choices of a job, keyed by the filter's option keywords.
std::vector<std::pair<std::string, std::string>> JobChoices(const StandardOptions& standard,
                                                            const VendorLookup& vendor,
                                                            std::vector<std::string>* notes = nullptr);

// In the printer's units (its head and feed): millimetres stay millimetres.
JobSettings SettingsForJob(const StandardOptions& standard, const VendorLookup& vendor, HeadUnits units);

// `value` as the printer stores it ("after", "6", "true"), or nothing when
// the option does not offer it.
std::optional<std::string> OfferedValue(const VendorOption& option, std::string_view value);
