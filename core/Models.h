// The printers labelfilter drives: one row per model, read by both
// front-ends (the PPDs in ppd/labelfilter.drv are checked against it by the
// tests, the printer application builds its drivers, media and auto-add from
// it). Adding a printer is adding a row here (and its block to the .drv).
//
// Head widths come from the printers' public technical manuals and
// datasheets; each row names its source.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "PrintSettings.h"

// An IEEE 1284 device ID a model answers to: manufacturer and model exactly
// as the printer reports them (compared without regard to case).
struct DeviceIdKeys {
  std::string_view mfg;
  std::string_view mdl;
};

struct PrinterModel {
  std::string_view driver;        // printer application driver name
  std::string_view makeAndModel;  // PPD ModelName and printer-make-and-model
  std::string_view ppdFile;       // PPD PCFileName
  uint32_t rollMm;                // paper roll width
  uint32_t dpi;                   // resolution both ways, as sold (203 or 180)
  uint32_t headDots;              // dots across the head: the page width
  // ESC J feed units per 254 mm (10 inches): 2032 where the printer feeds in
  // dot rows of its 8-dots-per-mm head, 3600 where it feeds in the 1/360 inch
  // vertical motion unit of the 180 dpi mechanisms.
  uint32_t motionPer254Mm;
  std::span<const uint16_t> ppdLengthsMm;  // roll lengths the PPD names (plus any custom length)
  std::span<const uint16_t> appLengthsMm;  // the printer application's, after its 2 m default
  std::string_view commandSet;             // CMD a printer of this kind reports
  std::span<const DeviceIdKeys> deviceIds;  // the driver's own first, then real printers
  std::string_view widthSource;            // the public document of the head width
};

// A "203 dpi" head has 8 dots per mm (203.2 dpi): margins in mm are exact
// multiples of 8 dots there, as they always were.
constexpr uint32_t DotsPer254Mm(const PrinterModel& m) { return m.dpi == 203 ? 2032 : m.dpi * 10; }

// What settings parsing needs to turn millimetres into this printer's units.
constexpr HeadUnits UnitsOf(const PrinterModel& m) { return {DotsPer254Mm(m), m.motionPer254Mm}; }

inline constexpr std::array<uint16_t, 5> kPpdRollLengths = {100, 150, 200, 297, 500};
inline constexpr std::array<uint16_t, 4> kAppRollLengths = {100, 150, 200, 297};
inline constexpr std::string_view kEscPos = "ESC/POS";

// Each model's device IDs: its driver's own first (what the printer
// application lists), then printers that report that make and model and whose
// manual gives the row's head and resolution.
inline constexpr std::array<DeviceIdKeys, 3> kIds80mm203 = {
    {{"ESC/POS", "80mm Receipt Printer"}, {"EPSON", "TM-T20II"}, {"EPSON", "TM-m30"}}};
inline constexpr std::array<DeviceIdKeys, 1> kIds58mm203 = {{{"ESC/POS", "58mm Receipt Printer"}}};
inline constexpr std::array<DeviceIdKeys, 3> kIds80mm180 = {
    {{"ESC/POS", "80mm 180dpi Receipt Printer"}, {"EPSON", "TM-T88V"}, {"EPSON", "TM-T88VI"}}};
inline constexpr std::array<DeviceIdKeys, 1> kIds58mm180 = {{{"ESC/POS", "58mm 180dpi Receipt Printer"}}};
inline constexpr std::array<DeviceIdKeys, 1> kIds112mm203 = {{{"ESC/POS", "112mm Receipt Printer"}}};
inline constexpr std::array<DeviceIdKeys, 1> kIds80mmFull = {{{"ESC/POS", "80mm Full Width Receipt Printer"}}};

// The first row is the default: what an ESC/POS printer of unknown make gets.
// Every string is a literal, so .data() is NUL-terminated for PAPPL and CUPS.
inline constexpr PrinterModel kModels[] = {
    {"escpos-80mm-203dpi", "ESC/POS 80mm Receipt Printer", "lf80mm.ppd", 80, 203, 576, 2032, kPpdRollLengths,
     kAppRollLengths, kEscPos, kIds80mm203, "Epson TM-T20II and TM-m30 technical reference: 72 mm, 576 dots"},
    {"escpos-58mm-203dpi", "ESC/POS 58mm Receipt Printer", "lf58mm.ppd", 58, 203, 384, 2032, kPpdRollLengths,
     kAppRollLengths, kEscPos, kIds58mm203, "Epson TM-T20II technical reference, 58 mm paper: 48 mm, 384 dots"},
    {"escpos-80mm-180dpi", "ESC/POS 80mm 180dpi Receipt Printer", "lf80mm180.ppd", 80, 180, 512, 3600,
     kPpdRollLengths, kAppRollLengths, kEscPos, kIds80mm180,
     "Epson TM-T88V technical reference: 72.2 mm, 512 dots"},
    {"escpos-58mm-180dpi", "ESC/POS 58mm 180dpi Receipt Printer", "lf58mm180.ppd", 58, 180, 360, 3600,
     kPpdRollLengths, kAppRollLengths, kEscPos, kIds58mm180,
     "Epson TM-T88V technical reference, 58 mm paper: 50.8 mm, 360 dots"},
    {"escpos-112mm-203dpi", "ESC/POS 112mm Receipt Printer", "lf112mm.ppd", 112, 203, 832, 2032, kPpdRollLengths,
     kAppRollLengths, kEscPos, kIds112mm203, "Citizen CT-S4000 user's manual, 112 mm paper: 104 mm, 832 dots"},
    {"escpos-80mm-full-203dpi", "ESC/POS 80mm Full Width Receipt Printer", "lf80mmfull.ppd", 80, 203, 640, 2032,
     kPpdRollLengths, kAppRollLengths, kEscPos, kIds80mmFull,
     "80 mm printed edge to edge at 8 dots per mm: 640 dots"},
};

inline constexpr const PrinterModel& kDefaultModel = kModels[0];

// The row with this driver name or make and model; nullptr when none has it.
const PrinterModel* ModelByDriver(std::string_view driver);
const PrinterModel* ModelByMakeAndModel(std::string_view makeAndModel);

// The model an IEEE 1284 device ID ("MFG:EPSON;CMD:ESC/POS;MDL:TM-T88V;")
// names. A row whose manufacturer and model both match wins; a printer
// matching none whose command set includes ESC/POS (or ESCPOS) gets the
// default model with `guessed` set; anything else gets nullptr.
const PrinterModel* ModelForDeviceId(std::string_view deviceId, bool& guessed);

// The media width in hundredths of mm that a printer application, which
// truncates width x dpi / 2540 to whole dots, turns into exactly the head.
constexpr uint32_t AppMediaWidth(const PrinterModel& m) { return (m.headDots * 2540 + m.dpi - 1) / m.dpi; }
