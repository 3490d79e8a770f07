// The printer's built-in test page, as ESC/POS bytes: the printer's name, a
// width ruler, a grey ramp in each dithering mode and a bar pattern. Each
// part goes through the core on its own, so each ramp shows the mode it
// names, and the whole prints as one receipt.
#pragma once

#include <cstdint>
#include <string_view>

#include "PagePipeline.h"

// `defaults` are the printer's settings: the density goes before the page,
// the feed and one cut after it. The drawer is never opened. The ruler is
// drawn in millimetres of a head with `dotsPer254Mm` dots in 254 mm.
Stream TestPageStream(std::string_view printerName, std::string_view model, uint32_t headWidth,
                      uint32_t dotsPer254Mm, const PrintSettings& defaults);
