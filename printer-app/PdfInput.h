// PDF documents as receipt pages, drawn by poppler one page at a time and
// in bands of rows, so that memory follows one page of the head's width and
// not the document: PDF pages are fitted as pictures are (FitToHead), only
// ever scaled down, and keep their own length.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Pages are drawn at the printer's resolution, before any fitting. A side
// beyond this many dots (8 m at 203 dpi) is taken as a damaged page box.
inline constexpr double kMaxPdfSide = 65535;
// Poppler draws a page in bands of at most this many rows of the head's
// width (4 bytes a pixel while drawing).
inline constexpr uint64_t kPdfBandRows = 2048;

// Where the pages go. `pages` is told the page count first; then for each
// page `start` gets its size (empty result to go on, else why not), `row`
// its sGray rows (0 = black) top to bottom, and `end` closes it (empty
// result to go on). `stop` is asked before each page and each band of a
// page: true ends the document there, as a cancelled job does (a page
// stopped in the middle is still closed by `end`). `note` gets poppler's messages.
struct PdfPages {
  std::function<void(int count)> pages;
  std::function<std::string(uint32_t width, uint32_t rows)> start;
  std::function<void(uint32_t y, std::span<const uint8_t> sgray)> row;
  std::function<std::string()> end;
  std::function<bool()> stop;
  std::function<void(const std::string& message)> note;
};

// Reads the PDF at `path` for a head `headWidth` dots wide at `dpi` (`across`:
// pages are turned a quarter, so their height is fitted to the head). Returns an
// empty string when every page went through, else what stopped the document.
std::string ReadPdfPages(const std::string& path, uint32_t headWidth, uint32_t dpi, bool across,
                         const PdfPages& out);
