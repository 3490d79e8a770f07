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

bool RowIsBlank(std::span<const uint8_t> picture, size_t row, size_t stride) {
  const uint8_t* p = picture.data() + row * stride;
  // Eight bytes at a time: blank stretches are most of a receipt.
  size_t i = 0;
  for (; i + 8 <= stride; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if (word) return false;
  }
  for (; i < stride; ++i)
    if (p[i]) return false;
  return true;
}

void AppendImageBand(Stream& out, std::span<const uint8_t> picture, size_t stride, size_t rows,
                     size_t firstRow, uint8_t padByte) {
  Append(out, {0x1D, 0x76, 0x30, 0x00, static_cast<uint8_t>(stride % 256), static_cast<uint8_t>(stride / 256),
               kBandRows, 0x00});
  for (size_t row = firstRow; row < firstRow + kBandRows; ++row) {
    if (row < rows)
      Append(out, picture.subspan(row * stride, stride));
    else
      out.insert(out.end(), stride, padByte);
  }
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

void AppendBands(Stream& out, std::span<const uint8_t> picture, size_t stride, size_t rows, uint8_t padByte) {
  size_t nStartRow = 0;  // first row not yet covered by a band
  size_t j = 0;
  while (j < rows) {
    if (RowIsBlank(picture, j, stride)) {
      ++j;
      continue;
    }
    // Row j is the first row to print: skip whole blank bands up to its band.
    const size_t skip = (j - nStartRow) / kBandRows * kBandRows;
    for (size_t k = 0; k < skip / kBandRows; ++k) AppendBlankBand(out);
    AppendImageBand(out, picture, stride, rows, nStartRow + skip, padByte);
    nStartRow += skip + kBandRows;
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
  if (s.cutEveryPage) Append(out, kCut);
}

void AppendJobEnd(Stream& out, const PrintSettings& s) {
  if (s.cutAtJobEnd) Append(out, kCut);
}

size_t FirstInkedRow(std::span<const uint8_t> picture, size_t stride, size_t rows) {
  size_t row = 0;
  while (row < rows && RowIsBlank(picture, row, stride)) ++row;
  return row;
}

size_t InkedRowsEnd(std::span<const uint8_t> picture, size_t stride, size_t rows) {
  size_t end = rows;
  while (end > 0 && RowIsBlank(picture, end - 1, stride)) --end;
  return end;
}

bool IsBlankRow(std::span<const uint8_t> row) { return RowIsBlank(row, 0, row.size()); }

void AppendBlankBands(Stream& out, size_t count) {
  for (size_t k = 0; k < count; ++k) AppendBlankBand(out);
}

void AppendBandHeader(Stream& out, size_t stride) {
  Append(out, {0x1D, 0x76, 0x30, 0x00, static_cast<uint8_t>(stride % 256), static_cast<uint8_t>(stride / 256),
               kBandRows, 0x00});
}
