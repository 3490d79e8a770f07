#include "PageStream.h"

#include <algorithm>
#include <cstring>

#include "BayerDither.h"
#include "BilevelConversion.h"
#include "CommandStream.h"
#include "SizeMath.h"

namespace {

// Rows kept for the conversion: it decides row y once row y + 1 is in, and
// its shortcut over vertically uniform stretches compares rows y - 2 to
// y + 1.
constexpr size_t kWindowRows = 4;

bool SameRow(const uint8_t* a, const uint8_t* b, size_t width) { return std::memcmp(a, b, width) == 0; }

}  // namespace

GreyPageStream::RowWindow::RowWindow(size_t width, size_t capacity)
    : width_(width), capacity_(capacity), bytes_(CheckedMul(width, capacity)) {}

uint8_t* GreyPageStream::RowWindow::Push() {
  if (count_ == capacity_) {
    std::memmove(bytes_.data(), bytes_.data() + width_, (capacity_ - 1) * width_);
    ++first_;
    --count_;
  }
  return bytes_.data() + count_++ * width_;
}

GreyPlane GreyPageStream::RowWindow::Plane(size_t from) {
  // As GreyFromGrey lays a grey page out: one level a pixel, and the
  // three-byte rows the threshold rules read through.
  GreyPlane plane;
  plane.width = width_;
  plane.rows = End() - from;
  plane.stride = width_;
  plane.slots = width_;
  plane.stride24 = ((width_ * 24 + 31) >> 5) << 2;
  plane.levels = std::span(bytes_).subspan((from - first_) * width_, plane.rows * width_);
  return plane;
}

GreyPageStream::BandWriter::BandWriter(const PrintSettings& settings, size_t stride, Stream& out)
    : negative_(settings.nInverse), topMargin_(settings.topMarginRows), stride_(stride), out_(out),
      band_(CheckedMul(stride, kBandRows)), sent_(stride) {}

void GreyPageStream::BandWriter::PutRow(std::span<const uint8_t> bits) {
  // Blank paper is told by the positive picture, whatever the polarity.
  if (IsBlankRow(bits)) {
    ++heldBlank_;
    return;
  }
  // The lead-in before the first dot is cut to the margin; blank rows
  // between dots all go.
  size_t keep = heldBlank_;
  if (!sawInk_ && topMargin_) keep = std::min<size_t>(keep, *topMargin_);
  sawInk_ = true;
  heldBlank_ = 0;
  PlaceBlankRows(keep);
  if (!negative_) return Place(bits);
  for (size_t i = 0; i < stride_; ++i) sent_[i] = static_cast<uint8_t>(~bits[i]);
  Place(sent_);
}

void GreyPageStream::BandWriter::PlaceBlankRows(size_t count) {
  // A positive page's whole blank bands need no rows: they go out as blank
  // bands if ink follows them. A negative page's blank rows print black.
  if (!negative_ && bandRows_ == 0) {
    blankBands_ += count / kBandRows;
    count %= kBandRows;
  }
  std::fill(sent_.begin(), sent_.end(), negative_ ? 0xFF : 0x00);
  for (; count > 0; --count) Place(sent_);
}

void GreyPageStream::BandWriter::Place(std::span<const uint8_t> sent) {
  std::memcpy(band_.data() + bandRows_ * stride_, sent.data(), stride_);
  bandInked_ = bandInked_ || !IsBlankRow(sent.first(stride_));
  if (++bandRows_ == kBandRows) CloseBand();
}

void GreyPageStream::BandWriter::CloseBand() {
  if (bandInked_) {
    AppendBlankBands(out_, blankBands_);
    blankBands_ = 0;
    AppendBandHeader(out_, stride_);
    out_.insert(out_.end(), band_.begin(), band_.end());
  } else {
    ++blankBands_;
  }
  bandRows_ = 0;
  bandInked_ = false;
}

void GreyPageStream::BandWriter::Finish() {
  // Blank rows still held end the page: they are not sent, nor are blank
  // bands not followed by ink. The last inked band is padded as the
  // background of the page.
  if (bandRows_ == 0 || !bandInked_) return;
  std::fill(band_.begin() + static_cast<std::ptrdiff_t>(bandRows_ * stride_), band_.end(), negative_ ? 0xFF : 0x00);
  bandRows_ = kBandRows;
  CloseBand();
}

bool GreyPageStream::Streams(const PrintSettings& settings, uint32_t width) {
  const Orientation o = PictureOrientation(8, settings);
  return !o.quarterTurn && !o.flipRows && width > 0 && BitmapStride(width) <= kMaxBandBytes;
}

GreyPageStream::GreyPageStream(const PrintSettings& settings, uint32_t width, uint32_t rows)
    : settings_(settings), width_(width), rows_(rows), mirror_(PictureOrientation(8, settings).mirror),
      reference_(width, kWindowRows), page_(width, settings.dwDithering == Dithering::Threshold ? kWindowRows : 0),
      bits_(BitmapStride(width)), scratch_(BitmapStride(width)), bands_(settings, BitmapStride(width), out_) {
  // Rows and snaps never outgrow a row: nothing is allocated once rows flow.
  snaps_.reserve(width);
  snapped_.reserve(width);
  carried_.reserve(width);
  AppendHead(out_, settings_);
}

void GreyPageStream::PutRow(std::span<const uint8_t> levels) {
  if (finished_ || rowsIn_ >= rows_) return;
  const size_t y = rowsIn_++;
  uint8_t* row = reference_.Push();
  const size_t n = std::min(levels.size(), width_);
  if (n) std::memcpy(row, levels.data(), n);
  std::memset(row + n, kWhite, width_ - n);
  switch (settings_.dwDithering) {
    case Dithering::Threshold:
      std::memcpy(page_.Push(), row, width_);
      if (y >= 1) Decide(y - 1);
      break;
    case Dithering::Halftone:
    case Dithering::Ordered8x8:
    case Dithering::ErrorDiffusion:
      if (y >= 1) Snap(y - 1);
      break;
    case Dithering::Bayer8x8:  // each dot from its own level alone
      Bayer8x8Row(row, y, width_);
      Converted(row);
      break;
    default:  // not converted: only pure black prints
      Converted(row);
  }
}

void GreyPageStream::Finish() {
  if (finished_) return;
  while (rowsIn_ < rows_) PutRow({});
  finished_ = true;
  if (rows_ > 0) {
    if (settings_.dwDithering == Dithering::Threshold) Decide(rows_ - 1);
    if (settings_.dwDithering == Dithering::Halftone || settings_.dwDithering == Dithering::Ordered8x8 ||
        settings_.dwDithering == Dithering::ErrorDiffusion)
      Snap(rows_ - 1);
  }
  if (carrying_) {
    DiffuseRow(carried_.data(), nullptr, width_);
    Converted(carried_.data());
    carrying_ = false;
  }
  bands_.Finish();
  AppendTail(out_, settings_);
}

void GreyPageStream::Decide(size_t y) {
  // Row y sees the rows above and below it as the whole page has them; the
  // window's first row stands for the page's top only when it is row 0, and
  // its last for the bottom only once the page has ended.
  const size_t from = y == 0 ? 0 : y - 1;
  const bool below = reference_.End() > y + 1;
  // The whole-page shortcut: inside a vertically uniform stretch whose two
  // rows above came out alike, a row comes out as the one above it.
  const bool repeat = y >= 2 && below && SameRow(reference_.Row(y - 2), reference_.Row(y - 1), width_) &&
                      SameRow(reference_.Row(y - 1), reference_.Row(y), width_) &&
                      SameRow(reference_.Row(y), reference_.Row(y + 1), width_) &&
                      SameRow(page_.Row(y - 2), page_.Row(y - 1), width_);
  if (repeat)
    std::memcpy(page_.Row(y), page_.Row(y - 1), width_);
  else
    ThresholdRow(page_.Plane(from), reference_.Plane(from), y - from);
  Converted(page_.Row(y));
}

void GreyPageStream::Snap(size_t y) {
  const size_t from = y == 0 ? 0 : y - 1;
  const bool below = reference_.End() > y + 1;
  // Inside a vertically uniform stretch a row snaps as the one above did,
  // whose snaps are still in snaps_.
  const bool repeat = y >= 2 && below && SameRow(reference_.Row(y - 2), reference_.Row(y - 1), width_) &&
                      SameRow(reference_.Row(y - 1), reference_.Row(y), width_) &&
                      SameRow(reference_.Row(y), reference_.Row(y + 1), width_);
  if (!repeat) EdgeSnapsOfRow(reference_.Plane(from), y - from, BrightnessOffset(100), snaps_);
  snapped_.assign(reference_.Row(y), reference_.Row(y) + width_);
  for (const EdgeSnap& s : snaps_) snapped_[s.x] = s.value;
  Dither(y, snapped_);
}

void GreyPageStream::Dither(size_t y, std::vector<uint8_t>& row) {
  switch (settings_.dwDithering) {
    case Dithering::Halftone:
      OrderedDitherRow(row.data(), y, width_, rows_);
      return Converted(row.data());
    case Dithering::Ordered8x8:
      Bayer8Row(row.data(), y, width_, BrightnessOffset(100));
      return Converted(row.data());
    default:
      // Error diffusion: a row is done once it has spread its error into
      // the next, which must have its snaps by then.
      if (carrying_) {
        DiffuseRow(carried_.data(), row.data(), width_);
        Converted(carried_.data());
      }
      carried_.swap(row);
      carrying_ = true;
  }
}

void GreyPageStream::Converted(const uint8_t* levels) {
  PackDotsRow({levels, width_}, mirror_, bits_, scratch_);
  bands_.PutRow(bits_);
}
