// The print settings of a job: the conversion mode and the options that shape
// the command stream, parsed from their choice strings in one place. No PPD
// here: a front-end hands in a look-up from option keyword to chosen string
// (the CUPS filter asks the PPD's marked choices, the printer application
// maps its IPP attributes onto the same strings).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Orientation of the picture on the paper, from the "Origin" choice.
enum class Direction : int { HalfTurn = 0, QuarterTurn = 1, Unturned = 2, QuarterTurn270 = 3 };

// Where a command that may go before or after the picture goes.
enum class Placement { None, Head, Tail };

// Conversion of grey pages ("Dithering"); colour pages always take Threshold.
// Values outside these four pack the page unconverted (only pure black prints).
enum class Dithering : int { Threshold = 0, Halftone = 1, Ordered8x8 = 2, ErrorDiffusion = 3 };

// Feed count table of "FeedAfterPrinting" choices 1 to 13, in 30-unit steps.
inline constexpr std::array<int, 13> nNum = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 18, 24};

// Dots per millimetre of the printers' 203 dpi heads, for margins given in mm.
inline constexpr uint32_t kDotsPerMm = 8;

// A printer's units, per 254 mm (10 inches) so that both kinds of head are
// whole numbers: dots of its head (2032 at 8 dots per mm, 1800 at 180 dpi)
// and the ESC J feed unit. Choices in millimetres and the feed table (made in
// dot rows of 8 per mm) become these.
struct HeadUnits {
  uint32_t dotsPer254Mm = 2032;
  uint32_t motionPer254Mm = 2032;
};

struct PrintSettings {
  int dwDithering = 0;                    // see Dithering
  int nMirror = 0;                        // 1: mirror left to right
  int nInverse = 0;                       // 1: negative print (bits sent as they are)
  int nDirection = 0;                     // see Direction
  Placement warning = Placement::None;
  std::optional<uint8_t> density;         // density command argument
  std::optional<std::string> cashDrawer;  // the "CashDrawer" choice as given
  Placement drawerPulse = Placement::None;
  bool feedToMark = false;                // GS FF before the picture
  int nDistance = 0;                      // feed after printing, ESC J units of the printer
  bool cutEveryPage = false;              // "Cutting" "1"
  bool cutAtJobEnd = false;               // "Cutting" "2"
  // Blank rows kept before a page's first dot; unset keeps them all.
  std::optional<uint32_t> topMarginRows;
};

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
