#include "PagePipeline.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "BilevelConversion.h"
#include "BitmapTransforms.h"
#include "CommandStream.h"
#include "ErrorDiffusion.h"
#include "SizeMath.h"
#include "ostu.h"

// How each depth ends up on paper
// --------------------------------
// The picture is oriented once, by the composition of three steps, each
// relative to the raster as it arrived:
//
//   conversion   1-bit: as is. 8-bit: rows reversed and mirrored (the grey
//                conversion packs the page bottom row first, and the grey
//                path mirrors it). 24-bit: rows reversed only.
//   "Origin"     Rotation0: a half turn (rows reversed and mirrored).
//                Rotation90 and Rotation270: a clockwise quarter turn.
//                Rotation180: nothing.
//   "MirrorImage" True: a mirror.
//
// So with the default Rotation0 an 8-bit page prints exactly as the raster
// has it (the half turn undoes the conversion), a 24-bit page prints
// mirrored, and a 1-bit page turned by a half turn; Rotation180 prints a
// 1-bit page as it is. The steps are composed first and the work is done in
// one pass: while packing a converted page, or while a 1-bit page is copied
// into its bands; only a quarter turn needs a second picture.

namespace {

constexpr Orientation ConversionOrientation(uint32_t depth) {
  if (depth == 8) return {false, true, true};
  if (depth == 24) return {false, true, false};
  return {};
}

constexpr Orientation DirectionOrientation(Rotation nDirection) {
  constexpr Orientation kHalfTurn = {false, true, true}, kQuarterTurn = {true, false, false};
  switch (nDirection) {
    case Rotation::HalfTurn: return kHalfTurn;
    case Rotation::QuarterTurn:
    case Rotation::QuarterTurn270: return kQuarterTurn;
    case Rotation::QuarterTurnBack: return kQuarterTurn.Then(kHalfTurn);
    case Rotation::Unturned: break;
  }
  return {};
}

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// The grey page of an 8-bit raster (0 = white), in place: levels are the
// raster bytes inverted, rows keep the raster's stride.
GreyPlane GreyFromGrey(const PageLayout& page, std::span<uint8_t> rows) {
  GreyPlane plane;
  plane.width = page.width;
  plane.rows = page.rows;
  plane.stride = page.stride;
  plane.slots = page.width;  // the three-byte page's padding is white
  plane.stride24 = ((size_t{page.width} * 24 + 31) >> 5) << 2;
  plane.levels = rows.first(size_t{page.stride} * page.rows);
  for (size_t y = 0; y < plane.rows; ++y) InvertBytes(plane.Row(y), plane.width);
  return plane;
}

// Eight levels as eight bits of a picture row, set where the level is black.
inline uint8_t BlackBits(const uint8_t* levels) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t v;
    std::memcpy(&v, levels, 8);
    // The top bit of each byte that is zero, without borrows between bytes,
    // then the eight top bits gathered (first level, the leftmost pixel, into
    // the most significant bit) by one multiplication.
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t zero = ~(((v & kLow7) + kLow7) | v | kLow7);
    return static_cast<uint8_t>(((zero >> 7) * 0x8040201008040201ull) >> 56);
  } else {
    unsigned byte = 0;
    for (unsigned i = 0; i < 8; ++i) byte |= unsigned{levels[i] == kBlack} << (7 - i);
    return static_cast<uint8_t>(byte);
  }
}

// The grey page of a 24-bit raster, in place: otsu's grey pass compacts
// every three-byte group, padding groups included, into one level.
GreyPlane GreyFromColour(const PageLayout& page, std::span<uint8_t> rows) {
  GreyPlane plane;
  plane.width = page.width;
  plane.rows = page.rows;
  plane.slots = page.stride / 3;
  plane.stride = plane.slots;
  plane.stride24 = page.stride;
  // Otsu's threshold itself is not used: the neighbourhood rules decide.
  GreyPass(rows, page.stride, page.rows, BrightnessOffset(100));
  plane.levels = rows.first(plane.slots * plane.rows);
  return plane;
}

// One row of PackDots: `width` levels into `dst` (its bits past the width
// left as they are unless mirrored); `upright` is scratch of the row's size
// when mirroring.
[[gnu::always_inline]] inline void PackDotsRowInline(const uint8_t* src, size_t width, bool mirror, uint8_t* dst, size_t stride,
                              uint8_t* upright) {
  uint8_t* bits = mirror ? upright : dst;
  size_t x = 0;
  for (; x + 8 <= width; x += 8) bits[x / 8] = BlackBits(src + x);
  if (x < width) {
    unsigned byte = 0;
    for (unsigned i = 0; x + i < width; ++i) byte |= unsigned{src[x + i] == kBlack} << (7 - i);
    bits[x / 8] = static_cast<uint8_t>(byte);
  }
  if (mirror) MirrorRowInto(std::span(upright, stride), width, std::span(dst, stride));
}

// The page's black pixels as a 1-bit picture (set bit = dot), rows of
// BitmapStride(width) bytes, flipped and mirrored as asked.
Bitmap PackDots(const GreyPlane& plane, bool flipRows, bool mirror) {
  const size_t stride = BitmapStride(plane.width), width = plane.width;
  Bitmap out(CheckedMul(stride, plane.rows), 0);
  std::vector<uint8_t> upright(mirror ? stride : 0);
  for (size_t y = 0; y < plane.rows; ++y)
    PackDotsRowInline(plane.Row(y), width, mirror, out.data() + (flipRows ? plane.rows - 1 - y : y) * stride, stride,
                      upright.data());
  return out;
}

// The historical diagnostic picture: set bit = paper, bottom row first.
Bitmap PaperBottomFirst(const GreyPlane& plane) {
  Bitmap page = PackDots(plane, true, false);
  for (uint8_t& b : page) b = static_cast<uint8_t>(~b);
  return page;
}

GreyPlane GreyPlaneOf(const PageLayout& page, std::span<uint8_t> rows) {
  return page.depth == 8 ? GreyFromGrey(page, rows) : GreyFromColour(page, rows);
}

// Builds the stream of a picture, flipped and mirrored as asked on its way
// into the bands: inversion into negative print if asked, head, bands, tail.
//
// Blank paper is told by the positive picture, whatever the polarity: a
// negative page's blank paper is its black background, and it is trimmed
// just as the positive's white would be (lead-in cut to "LeadingBlank", the
// end after the last dot not sent), the rows that remain printing black.
// Judged after the inversion, no row of such a page was blank and the whole
// roll length went out black.
void StreamPicture(const BitmapView& picture, bool flipRows, bool mirror, const PrintSettings& settings,
                   PageHooks& hooks, Stream& out) {
  const bool negative = settings.nInverse;
  const BandSource source{picture.bits, picture.width, picture.stride, picture.rows, flipRows, mirror, negative};
  const size_t inked = settings.topMarginRows || negative ? FirstInkedRow(source) : picture.rows;
  // A positive page's trailing blank rows are dropped by AppendBands itself.
  const size_t end = negative ? InkedRowsEnd(source) : picture.rows;

  const size_t capacity = StreamCapacity(picture.stride, picture.rows);
  if (capacity == 0) throw std::bad_alloc();
  out.clear();
  out.reserve(capacity);
  AppendHead(out, settings);
  const size_t headBytes = out.size();

  size_t first = 0;
  if (settings.topMarginRows && inked < end && inked > *settings.topMarginRows) first = inked - *settings.topMarginRows;
  // The last band's rows past `end` are padding: black on a negative page.
  AppendBands(out, source, first, end, negative ? 0xFF : 0x00);
  AppendTail(out, settings);
  hooks.StreamBuilt({Address(out.data()), headBytes, picture.rows, settings});
}

}  // namespace

PageReport RenderPage(const PageLayout& page, std::span<uint8_t> rows, const PrintSettings& settings,
                      PageHooks& hooks, PageWorkspace& workspace, Stream& out) {
  PageReport report;
  if (page.depth != 1 && page.depth != 8 && page.depth != 24) {
    report.outcome = PageOutcome::UnsupportedDepth;
    return report;
  }
  const bool isConverted = page.depth != 1;
  const Orientation orientation = ConversionOrientation(page.depth)
                                      .Then(DirectionOrientation(settings.nDirection))
                                      .Then({false, false, settings.nMirror});
  // The stride of the picture as converted (a 1-bit page keeps its raster
  // stride), and as the bands will carry it.
  const size_t convertedStride = isConverted ? BitmapStride(page.width) : page.stride;
  const size_t pictureRows = orientation.quarterTurn ? page.width : page.rows;
  report.rowBytes = orientation.quarterTurn ? BitmapStride(page.rows) : convertedStride;
  const OrientPlan plan{convertedStride, page.rows, settings};

  if (page.depth == 8)
    hooks.GreyPage(rows.first(size_t{page.stride} * page.rows), page, ((size_t{page.width} * 24 + 31) >> 5) << 2);

  // A page whose rows no band can declare is not converted at all; the
  // diagnostic picture is made only if someone asks for it.
  if (report.rowBytes > kMaxBandBytes) {
    if (isConverted) {
      workspace.converted = Bitmap();
      hooks.Converted(
          [&] {
            const GreyPlane plane = GreyPlaneOf(page, rows);
            Color2BW(plane, 100, page.depth == 8 ? static_cast<int>(settings.dwDithering) : 0);
            return PaperBottomFirst(plane);
          },
          page.width, page.rows);
    }
    hooks.Orienting(plan);
    report.outcome = PageOutcome::TooWide;
    return report;
  }

  // Normalise and convert: a converted page is packed straight into its
  // final orientation unless a quarter turn is still to come.
  BitmapView picture{rows, page.width, page.rows, page.stride};
  if (isConverted) {
    workspace.converted = Bitmap();  // before the new page's buffers, as the old one may be large
    try {
      const GreyPlane plane = GreyPlaneOf(page, rows);
      Color2BW(plane, 100, page.depth == 8 ? static_cast<int>(settings.dwDithering) : 0);
      workspace.converted = orientation.quarterTurn ? PackDots(plane, false, false)
                                                    : PackDots(plane, orientation.flipRows, orientation.mirror);
      // An 8-bit page always has a picture of its own, a 24-bit page one as
      // soon as it has a row, even when it holds no pixel.
      if (page.depth == 8 || page.rows > 0) workspace.converted.reserve(1);
      hooks.Converted([&] { return PaperBottomFirst(plane); }, page.width, page.rows);
    } catch (const std::bad_alloc&) {
      workspace.converted = Bitmap();
      report.outcome = PageOutcome::NoMemoryToConvert;
      return report;
    }
    picture = {workspace.converted, page.width, page.rows, convertedStride};
  }

  // Orient and stream.
  hooks.Orienting(plan);
  try {
    Bitmap turned;
    // A 1-bit page is flipped and mirrored row by row on its way into the
    // bands; the other pictures are oriented by now.
    bool flipRows = false, mirror = false;
    if (orientation.quarterTurn) {
      turned = Rotate90Degrees(picture, orientation.flipRows, orientation.mirror);
      picture = {turned, page.rows, page.width, report.rowBytes};
      report.quarterTurned = Address(turned.data());
    } else if (!isConverted) {
      flipRows = orientation.flipRows;
      mirror = orientation.mirror;
    }
    // Trace lines name the buffer that holds each step's result; a step
    // over an empty picture still has one.
    Bitmap emptyResult;
    const uint8_t* result = picture.bits.data();
    if (!result) {
      emptyResult.reserve(1);
      result = emptyResult.data();
    }
    if (settings.nDirection == Rotation::HalfTurn) report.halfTurned = Address(result);
    if (settings.nMirror) report.mirrored = Address(result);
    picture.rows = pictureRows;
    StreamPicture(picture, flipRows, mirror, settings, hooks, out);
  } catch (const std::bad_alloc&) {
    report.outcome = PageOutcome::NoMemoryToStream;
    return report;
  }
  return report;
}

Orientation PictureOrientation(uint32_t depth, const PrintSettings& settings) {
  return ConversionOrientation(depth)
      .Then(DirectionOrientation(settings.nDirection))
      .Then({false, false, settings.nMirror});
}

void PackDotsRow(std::span<const uint8_t> levels, bool mirror, std::span<uint8_t> dst, std::span<uint8_t> scratch) {
  const size_t width = levels.size(), stride = BitmapStride(width);
  if (dst.size() < stride || (mirror && scratch.size() < stride)) return;
  std::fill(dst.begin(), dst.begin() + static_cast<std::ptrdiff_t>(stride), 0);
  PackDotsRowInline(levels.data(), width, mirror, dst.data(), stride, scratch.data());
}

bool SendCopies(std::span<const uint8_t> stream, uint32_t copies, const ByteSink& sink) {
  for (uint32_t copy = 0; copy < std::min(copies, kMaxCopies); ++copy)
    if (!sink(stream)) return false;
  return true;
}
