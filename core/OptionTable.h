// The job options of both front-ends, one row each: the PPD option and its
// choice strings, the IPP attribute and its keywords, the labels, the
// defaults, and the typed setting each choice gives. The CUPS filter reads
// PPD choices through it, the printer application IPP keywords, the
// printer application's form and strings and the shipped PPDs' checks are
// made from it.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "PrintSettings.h"

// One choice: its PPD choice string and its IPP keyword (empty where that
// front-end does not offer it), its label, and the value it gives.
struct OptionChoice {
  std::string_view ppd;
  std::string_view ipp;
  std::string_view label;
  int value;
};

struct JobOption {
  // Choices: one of `choices`. Number: an integer from `lower` to `upper`
  // (the PPD offers each as a choice string). Boolean: "True"/"False" in
  // the PPD, true/false in IPP.
  enum class Kind { Choices, Number, Boolean };
  std::string_view ppdKeyword;  // empty: not a PPD option
  std::string_view ippName;     // the IPP attribute (or collection member) it comes from
  // ippName is the application's own attribute (NAME-default,
  // NAME-supported); otherwise a standard attribute PAPPL resolves, which
  // the application names by the keyword of its value.
  bool vendor;
  std::string_view label;
  Kind kind;
  std::span<const OptionChoice> choices;
  int lower = 0, upper = 0;
  std::string_view ppdDefault;  // the PPD's default choice
  std::string_view ippDefault;  // the printer application's default keyword or number
  // What a value does to the settings; null when the option does not shape
  // the page stream (the application reads it itself).
  void (*apply)(PrintSettings& settings, int value, HeadUnits units) = nullptr;
  // The value of a PPD choice string that is not one of `choices`; null
  // when such a choice changes nothing.
  std::optional<int> (*readOtherPpdChoice)(std::string_view choice) = nullptr;
};

// "auto" dithering: the printer application picks the conversion from the
// job's print-content-optimize.
inline constexpr int kDitheringFollowsContent = -1;
// "Keep" blank paper before the print: every blank row.
inline constexpr int kKeepAllBlank = -1;
// "0" print density: the printer's own setting.
inline constexpr int kPrinterDensity = -1;

extern const std::span<const JobOption> kJobOptions;

const JobOption* OptionByPpdKeyword(std::string_view keyword);
const JobOption* OptionByIppName(std::string_view name);

// The value of a PPD choice: choice strings compare without regard to case;
// nothing when the choice changes nothing.
std::optional<int> ValueOfPpdChoice(const JobOption& option, std::string_view choice);

// The value of an IPP keyword, integer or boolean as text ("after", "6",
// "true"); nothing when the option does not offer it.
std::optional<int> ValueOfIppValue(const JobOption& option, std::string_view value);

// `value` as the printer application stores and announces it ("after",
// "6", "true"), or nothing when the option does not offer it.
std::optional<std::string> OfferedIppValue(const JobOption& option, std::string_view value);

// atoi's reading of a choice (blanks, optional sign, leading digits; 0 when
// there are none), saturating instead of overflowing on absurd numbers.
int ChoiceNumber(std::string_view s);

// Feed count table of "FeedAfterPrinting" choices 1 to 13, in 30-unit steps.
inline constexpr std::array<int, 13> nNum = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 18, 24};

// The chosen string of an option keyword, or nothing when the option is not
// offered or nothing is chosen.
using ChoiceLookup = std::function<std::optional<std::string>(std::string_view keyword)>;

// Every setting, read from the choices. Choice strings compare without regard
// to case; unknown choices leave a setting at its default.
// `units` are the printer's: the same choice feeds the same paper on every head.
PrintSettings ParsePrintSettings(const ChoiceLookup& choiceOf, HeadUnits units = {});

// Feed distance of a "FeedAfterPrinting" number: 0 for 0 or less, the table
// entry times 30 for 1 to 13, and the distance of 13 above that; in dot rows
// of 8 per mm, turned into `motionPer254Mm` units (rounded to the nearest).
int FeedDistance(int nFeed, uint32_t motionPer254Mm = 2032);
