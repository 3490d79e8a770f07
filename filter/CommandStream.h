// The ESC/POS command stream of one page: the commands the settings ask for
// around the picture, and the picture as GS v 0 raster bands.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "PrintSettings.h"

using Stream = std::vector<uint8_t>;

inline constexpr int kBandRows = 24;

// GS v 0 declares the band width in two bytes.
inline constexpr size_t kMaxBandBytes = 0xFFFF;

// Upper bound of the stream of a picture of `rows` rows of `stride` bytes;
// 0 when it does not fit in size_t.
size_t StreamCapacity(size_t stride, size_t rows);

// Commands before the picture.
void AppendHead(Stream& out, const PrintSettings& settings);

// The picture (set bit = dot) as 24-row GS v 0 bands on the band grid:
// all-blank bands before the last non-blank one as one-byte blank bands,
// trailing blank rows dropped. Rows past `rows` are sent as `padByte`.
void AppendBands(Stream& out, std::span<const uint8_t> picture, size_t stride, size_t rows, uint8_t padByte);

// The pieces AppendBands is made of, for a picture that arrives band by
// band: whether a row (all its stride bytes) holds no dot, `count` blank
// bands, and the header of an image band of kBandRows rows of `stride`
// bytes, which the rows follow.
bool IsBlankRow(std::span<const uint8_t> row);
void AppendBlankBands(Stream& out, size_t count);
void AppendBandHeader(Stream& out, size_t stride);

// Commands after the picture.
void AppendTail(Stream& out, const PrintSettings& settings);

// The first row holding a dot, or `rows` when there is none.
size_t FirstInkedRow(std::span<const uint8_t> picture, size_t stride, size_t rows);
// One past the last row holding a dot, or 0 when there is none.
size_t InkedRowsEnd(std::span<const uint8_t> picture, size_t stride, size_t rows);
