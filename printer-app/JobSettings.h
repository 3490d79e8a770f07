// From the IPP attributes of a job to the core's print settings, through the
// option table: each keyword gives its typed value directly, the same value
// the CUPS filter's PPD choice gives, so that a choice sends the same bytes
// through either front-end.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OptionTable.h"

// The standard attributes of a job that shape its bytes, as PAPPL resolved
// them (job value, else printer default), named by their keywords.
struct StandardOptions {
  int printDarkness = 0;                       // -100..100; 0 leaves the printer's density
  std::string contentOptimize = "auto";        // print-content-optimize
  std::string orientation = "portrait";        // orientation-requested; portrait for composed pages
  std::string mediaTracking = "continuous";    // media-col's media-tracking
  bool trim = false;                           // finishings "trim"
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

// In the printer's units (its head and feed): millimetres stay millimetres.
JobSettings SettingsForJob(const StandardOptions& standard, const VendorLookup& vendor, HeadUnits units);

// The printer application's own attributes (NAME-default, NAME-supported),
// in the table's order.
std::vector<const JobOption*> VendorOptions();

// The English labels of the application's own options and their keywords,
// in the strings format PAPPL's pages read ("cutter" = "Paper Cut";).
std::string OptionStrings();
