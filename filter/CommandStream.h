// The ESC/POS command stream of one page.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <cups/ppd.h>
#include <cups/raster.h>

#include "PrintSettings.h"

using Stream = std::vector<uint8_t>;

inline constexpr int kBandRows = 24;

// Diagnostic copy of the last page's stream.
inline constexpr const char* kStreamCopyPath = "/tmp/Brantelix";

// Upper bound of the stream of a picture of `rows` rows of `stride` bytes;
// 0 when it does not fit in size_t.
size_t StreamCapacity(size_t stride, size_t rows);

// Commands before the picture.
void AppendHead(Stream& out, const PrintSettings& settings);

// The picture as 24-row GS v 0 bands on the band grid: all-blank bands before
// the last non-blank one as one-byte blank bands, trailing blank rows
// dropped. Rows past `rows` are sent as `padByte`.
void AppendBands(Stream& out, std::span<const uint8_t> picture, size_t stride, size_t rows, uint8_t padByte);

// Commands after the picture.
void AppendTail(Stream& out, const PrintSettings& settings);

// Turns, mirrors and inverts the page's 1-bit picture as the PPD asks, and
// writes its command stream to standard output once per copy. The picture's
// rows are cupsBytesPerLine apart for 1-bit raster pages, BitmapStride(biWidth)
// otherwise; it may be left inverted. False when the page could not be
// printed (no memory, or too wide for a raster band), with a log line.
bool ProcessData(ppd_file_t* ppd, const cups_page_header2_t& header, std::span<uint8_t> pDataBuf,
                 int biWidth, int biHeight);
