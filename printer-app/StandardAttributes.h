// Printer attributes that IPP Everywhere clients require and PAPPL 1.3.1
// leaves to the driver: fixed ones among the driver's attributes, and the
// paper roll as the printer's supply, from its paper sensors.
#pragma once

#include <pappl/pappl.h>

#include <optional>

#include "PrinterStatus.h"

// Adds them to the driver's attributes, which PAPPL appends to its own: only
// attributes PAPPL does not report itself, or a response carries them twice.
// The driver's data gets the web interface's supplies page.
void AddStandardAttributes(ipp_t* attrs, pappl_pr_driver_data_t* data);

// The roll's level as PAPPL's supply level: the sensors tell paper present,
// near its end or out (nullopt: the printer did not say).
int PaperLevel(const std::optional<PrinterStatus>& status);

// Shows the roll as the printer's one supply (printer-supply, marker-levels,
// the web interface's supplies page) when its level has changed.
void ShowPaperSupply(pappl_printer_t* printer, const std::optional<PrinterStatus>& status);
