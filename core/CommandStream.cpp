#include "CommandStream.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "PagePipeline.h"  // AppendJobEnd, declared with the rest of the core's interface
#include "SizeMath.h"

namespace {

// ESC/POS commands, byte for byte.
constexpr uint8_t kWarning[] = {0x1B, 0x43, 0x04, 0x02, 0x03};
constexpr uint8_t kDensity[] = {0x1B, 0x1F, 0x12, 0x13, 0x14};  // followed by n
constexpr uint8_t kDrawerPulse[] = {0x1B, 0x70, 0x00, 0x80, 0x80};
constexpr uint8_t kFeedToMark[] = {0x1D, 0x0C};
constexpr uint8_t kFeed[] = {0x1B, 0x4A};  // followed by n
constexpr uint8_t kCut[] = {0x1D, 0x56, 0x00};
constexpr uint8_t kBlankBand[] = {0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x18, 0x00};

// The head holds at most warning, density, drawer pulse and GS FF; the tail
// warning, drawer pulse, three feeds and the cut.
constexpr size_t kHeadTailBytes = 18 + 22;

void Append(Stream& out, std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
void Append(Stream& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }

// Whether n bytes at p all equal `value` (0x00 or 0xFF), eight at a time:
// blank stretches are most of a receipt.
bool AllBytes(const uint8_t* p, size_t n, uint8_t value) {
  const uint64_t word = value ? ~uint64_t{0} : 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    if (w != word) return false;
  }
  for (; i < n; ++i)
    if (p[i] != value) return false;
  return true;
}

void AppendBlankBand(Stream& out) {
  Append(out, kBlankBand);
  out.insert(out.end(), kBandRows, 0x00);
}

}  // namespace

size_t StreamCapacity(size_t stride, size_t rows) {
  try {
    const size_t bands = rows / kBandRows + 1;
    const size_t band = std::max(CheckedAdd(8, CheckedMul(kBandRows, stride)), sizeof kBlankBand + kBandRows);
    return CheckedAdd(CheckedMul(bands, band), kHeadTailBytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void AppendHead(Stream& out, const PrintSettings& s) {
  if (s.warning == Placement::Head) Append(out, kWarning);
  if (s.density) {
    Append(out, kDensity);
    out.push_back(*s.density);
  }
  if (s.drawerPulse == Placement::Head) Append(out, kDrawerPulse);
  if (s.feedToMark) Append(out, kFeedToMark);
}

bool BandSource::RowIsBlank(size_t r, bool asSent) const {
  const uint8_t* row = bits.data() + (flipRows ? rows - 1 - r : r) * stride;
  const uint8_t blank = asSent && invert ? 0xFF : 0x00;  // the bytes of a blank row, before inversion
  if (!flipRows && !mirror) return AllBytes(row, stride, blank);
  // Oriented: only the pixels count, and mirroring keeps their number. The
  // padding goes out clear, so an inverted row with padding is never blank.
  const size_t bytes = PixelBytes(width);
  if (blank && (width % 8 || bytes < stride)) return false;
  if (width % 8 == 0) return AllBytes(row, bytes, blank);
  const auto lastMask = static_cast<uint8_t>(0xFF00u >> (width % 8));
  return AllBytes(row, bytes - 1, 0) && (row[bytes - 1] & lastMask) == 0;
}

void BandSource::RowInto(size_t r, uint8_t* dst) const {
  const auto row = bits.subspan((flipRows ? rows - 1 - r : r) * stride, stride);
  if (flipRows || mirror)
    OrientRowInto(row, width, mirror, std::span(dst, stride));
  else
    std::memcpy(dst, row.data(), stride);
  if (invert) InvertBytes(dst, stride);
}

void BandSource::RowsInto(size_t r, size_t count, uint8_t* dst) const {
  if (flipRows && mirror && width == stride * 8) {
    // Turned half round, rows without padding are one long row mirrored:
    // the whole block's bytes in reverse order, each reversed.
    const size_t bytes = count * stride;
    MirrorRowInto(bits.subspan((rows - r - count) * stride, bytes), bytes * 8, std::span(dst, bytes));
    if (invert) InvertBytes(dst, bytes);
    return;
  }
  for (size_t i = 0; i < count; ++i) RowInto(r + i, dst + i * stride);
}

void AppendBands(Stream& out, const BandSource& picture, size_t first, size_t end, uint8_t padByte) {
  const size_t stride = picture.stride;
  size_t nStartRow = first;  // first row not yet covered by a band
  size_t j = first;
  while (j < end) {
    if (picture.RowIsBlank(j)) {
      ++j;
      continue;
    }
    // Row j is the first row to print: skip whole blank bands up to its band.
    const size_t skip = (j - nStartRow) / kBandRows * kBandRows;
    for (size_t k = 0; k < skip / kBandRows; ++k) AppendBlankBand(out);
    nStartRow += skip;
    AppendBandHeader(out, stride);
    // The band's rows are written where they go: the stream's capacity is
    // reserved, so growing it moves nothing.
    const size_t at = out.size();
    out.resize(at + kBandRows * stride, padByte);
    picture.RowsInto(nStartRow, std::min(nStartRow + kBandRows, end) - nStartRow, out.data() + at);
    nStartRow += kBandRows;
    j = nStartRow;
  }
}

void AppendTail(Stream& out, const PrintSettings& s) {
  if (s.warning == Placement::Tail) Append(out, kWarning);
  if (s.drawerPulse == Placement::Tail) Append(out, kDrawerPulse);
  for (int left = s.nDistance; left > 0; left -= 255) {
    Append(out, kFeed);
    out.push_back(static_cast<uint8_t>(std::min(left, 255)));
  }
  if (s.cut == Cut::EveryPage) Append(out, kCut);
}

void AppendJobEnd(Stream& out, const PrintSettings& s) {
  if (s.cut == Cut::JobEnd) Append(out, kCut);
}

size_t FirstInkedRow(const BandSource& picture) {
  size_t row = 0;
  while (row < picture.rows && picture.RowIsBlank(row, false)) ++row;
  return row;
}

size_t InkedRowsEnd(const BandSource& picture) {
  size_t end = picture.rows;
  while (end > 0 && picture.RowIsBlank(end - 1, false)) --end;
  return end;
}

bool IsBlankRow(std::span<const uint8_t> row) { return AllBytes(row.data(), row.size(), 0x00); }

void AppendBlankBands(Stream& out, size_t count) {
  for (size_t k = 0; k < count; ++k) AppendBlankBand(out);
}

void AppendBandHeader(Stream& out, size_t stride) {
  Append(out, {0x1D, 0x76, 0x30, 0x00, static_cast<uint8_t>(stride % 256), static_cast<uint8_t>(stride / 256),
               kBandRows, 0x00});
}
