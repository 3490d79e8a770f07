// The ESC/POS command stream of one page: the commands the settings ask for
// around the picture, and the picture as GS v 0 raster bands.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "BitmapTransforms.h"
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

// A picture as the bands carry it, oriented and inverted on the way rather
// than in a pass of its own: row r is `bits`' row rows - 1 - r when flipRows,
// mirrored within the width when mirror (bits past the width then clear),
// and inverted when invert. An unflipped, unmirrored row goes out as it
// is, padding included.
struct BandSource {
  std::span<const uint8_t> bits;  // rows of `stride` bytes
  size_t width = 0;
  size_t stride = 0;
  size_t rows = 0;
  bool flipRows = false;
  bool mirror = false;
  bool invert = false;

  // Whether row r holds no dot, as sent (inverted) or as a positive.
  bool RowIsBlank(size_t r, bool asSent = true) const;
  // Row r as sent, into dst (stride bytes).
  void RowInto(size_t r, uint8_t* dst) const;
  // Rows [r, r + count) as sent, into dst (count x stride bytes).
  void RowsInto(size_t r, size_t count, uint8_t* dst) const;
};

// Rows [first, end) of the picture (set bit = dot) as 24-row GS v 0 bands
// on the band grid that starts at `first`: all-blank bands before the last
// non-blank one as one-byte blank bands, trailing blank rows dropped. Rows
// of the last band past `end` are sent as `padByte`.
void AppendBands(Stream& out, const BandSource& picture, size_t first, size_t end, uint8_t padByte);

// The pieces AppendBands is made of, for a picture that arrives band by
// band: whether a row (all its stride bytes) holds no dot, `count` blank
// bands, and the header of an image band of kBandRows rows of `stride`
// bytes, which the rows follow.
bool IsBlankRow(std::span<const uint8_t> row);
void AppendBlankBands(Stream& out, size_t count);
void AppendBandHeader(Stream& out, size_t stride);

// Commands after the picture.
void AppendTail(Stream& out, const PrintSettings& settings);

// The first row holding a dot (`rows` when none), and one past the last (0
// when none), of the picture as oriented, before any inversion.
size_t FirstInkedRow(const BandSource& picture);
size_t InkedRowsEnd(const BandSource& picture);
