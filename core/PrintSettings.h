// The print settings of a job: the conversion mode and the options that shape
// the command stream, as typed values. The option table (OptionTable.h) says
// which PPD choice and which IPP keyword gives each value.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Orientation of the picture on the paper ("Origin"). The first four are the
// filter's choices, Rotation0 to Rotation270, which turn Rotation270 as
// Rotation90; the printer application turns reverse-landscape pictures the
// other way round, with QuarterTurnBack.
enum class Rotation : int { HalfTurn = 0, QuarterTurn = 1, Unturned = 2, QuarterTurn270 = 3, QuarterTurnBack = 4 };

constexpr bool IsQuarterTurn(Rotation r) {
  return r == Rotation::QuarterTurn || r == Rotation::QuarterTurn270 || r == Rotation::QuarterTurnBack;
}

// Where a command that may go before or after the picture goes.
enum class Placement { None, Head, Tail };

// When the paper is cut.
enum class Cut { None, EveryPage, JobEnd };

// Conversion of grey pages ("Dithering"); colour pages always take Threshold.
// Ordered8x8 is the filter's "OrderDithering": grey pixels are thresholded
// hard before its 8 x 8 table, so on a grey page it is a threshold at 90 %.
// Bayer8x8 is a true 8 x 8 ordered dither of the grey levels, which the
// printer application offers as "ordered-8x8". Values past these pack the
// page unconverted (only pure black prints).
enum class Dithering : int { Threshold = 0, Halftone = 1, Ordered8x8 = 2, ErrorDiffusion = 3, Bayer8x8 = 4 };

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
  Dithering dwDithering = Dithering::Threshold;
  bool nMirror = false;                   // mirror left to right
  bool nInverse = false;                  // negative print (bits sent as they are)
  Rotation nDirection = Rotation::HalfTurn;
  Placement warning = Placement::None;
  std::optional<uint8_t> density;         // density command argument
  Placement drawerPulse = Placement::None;
  bool feedToMark = false;                // GS FF before the picture
  int nDistance = 0;                      // feed after printing, ESC J units of the printer
  Cut cut = Cut::None;
  // Blank rows kept before a page's first dot; unset keeps them all.
  std::optional<uint32_t> topMarginRows;
};
