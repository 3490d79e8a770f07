// The print settings a page takes from the PPD's marked choices.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <cups/ppd.h>

// Orientation of the picture on the paper, from the "Origin" choice.
enum class Direction : int { HalfTurn = 0, QuarterTurn = 1, Unturned = 2, QuarterTurn270 = 3 };

// Where a command that may go before or after the picture goes.
enum class Placement { None, Head, Tail };

// Feed count table of "FeedAfterPrinting" choices 1 to 13, in 30-unit steps.
inline constexpr std::array<int, 13> nNum = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 18, 24};

struct PrintSettings {
  int nMirror = 0;    // 1: mirror left to right
  int nInverse = 0;   // 1: negative print (bits sent as they are)
  int nDirection = 0; // see Direction
  Placement warning = Placement::None;
  std::optional<uint8_t> density;           // density command argument
  std::optional<std::string> cashDrawer;    // marked "CashDrawer" choice
  Placement drawerPulse = Placement::None;
  bool feedToMark = false;                  // GS FF before the picture
  int nDistance = 0;                        // feed after printing, ESC J units
  bool cutEveryPage = false;                // "Cutting" "1"
};

// The marked choice string of `keyword`, if the PPD has the option and one
// of its choices is marked.
std::optional<std::string> MarkedChoice(ppd_file_t* ppd, const char* keyword);

// Feed distance of a "FeedAfterPrinting" number: 0 for 0 or less, the table
// entry times 30 for 1 to 13, and the distance of 13 above that.
int FeedDistance(int nFeed);

// All settings of one page, read afresh from the marked choices.
PrintSettings ReadPrintSettings(ppd_file_t* ppd);

// True when the job ends with one cut ("Cutting" "2").
bool CutAtJobEnd(ppd_file_t* ppd);
