#include "StandardAttributes.h"

#include <cstdio>

namespace {

// The levels the sensors can tell apart. A roll that is not near its end
// counts as full; near its end it sits at PAPPL's low mark for consumed
// supplies (marker-low-levels 10), so clients warn when media-low shows.
constexpr int kLevelPresent = 100;
constexpr int kLevelNearEnd = 10;
constexpr int kLevelOut = 0;
constexpr int kLevelUnknown = -1;  // PAPPL's "unknown"

constexpr const char* kRollDescription = "Paper roll";

}  // namespace

void AddStandardAttributes(ipp_t* attrs, pappl_pr_driver_data_t* data) {
  data->has_supplies = true;
  // Validate-Job proposes no alternative attributes. The two overrides
  // members are the ones IPP Everywhere requires a printer to name; PAPPL
  // accepts a job's overrides and no page of ours applies them.
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  const char* overrides[] = {"document-number", "pages"};
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "overrides-supported", 2, nullptr, overrides);
  // One grey channel turned into dots: there is no colour conversion to choose.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
  // One-sided: PAPPL names the back side only for duplex printers, and
  // clients still need it to lay out PWG raster.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "normal");
}

int PaperLevel(const std::optional<PrinterStatus>& status) {
  if (!status) return kLevelUnknown;
  if (status->reasons & PAPPL_PREASON_MEDIA_EMPTY) return kLevelOut;
  if (status->reasons & PAPPL_PREASON_MEDIA_LOW) return kLevelNearEnd;
  return kLevelPresent;
}

void ShowPaperSupply(pappl_printer_t* printer, const std::optional<PrinterStatus>& status) {
  pappl_supply_t roll{};
  roll.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::snprintf(roll.description, sizeof roll.description, "%s", kRollDescription);
  roll.is_consumed = true;
  roll.level = PaperLevel(status);
  // Receipt paper is no marker supply: the printer MIB's supply types have
  // none for it.
  roll.type = PAPPL_SUPPLY_TYPE_OTHER;
  // Setting the supplies changes printer-state-change-time: only on a change.
  pappl_supply_t shown{};
  if (papplPrinterGetSupplies(printer, 1, &shown) == 1 && shown.level == roll.level) return;
  papplPrinterSetSupplies(printer, 1, &roll);
}
