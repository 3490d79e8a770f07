// The road of one page, from raster rows to its ESC/POS command stream:
// normalise, convert, orient, stream. No PPD, no standard streams, no global
// state: settings come in as a value, bytes leave as a Stream, and whatever a
// front-end wants to log or keep along the way it gets through PageHooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "BitmapTransforms.h"
#include "PrintSettings.h"

using Bitmap = std::vector<uint8_t>;
using Stream = std::vector<uint8_t>;

// One page as a raster source hands it over.
struct PageLayout {
  uint32_t width = 0;   // pixels per row
  uint32_t rows = 0;    // rows present (a truncated page has fewer than announced)
  uint32_t depth = 0;   // bits per pixel: 1 (set = dot), 8 (0 = white) or 24 (blue, green, red; 0 = black)
  uint32_t stride = 0;  // bytes from one row to the next
  uint32_t copies = 1;  // times the page's stream is sent
};

// What became of a page.
enum class PageOutcome {
  Printed,            // the stream is complete
  UnsupportedDepth,   // not 1, 8 or 24 bits per pixel: nothing to print
  NoMemoryToConvert,  // the grey or colour conversion could not have its buffers
  NoMemoryToStream,   // the turned picture or the stream could not be allocated
  TooWide,            // rows wider than a raster band can declare (65535 bytes)
};

struct PageReport {
  PageOutcome outcome = PageOutcome::Printed;
  size_t rowBytes = 0;  // the picture's row stride, as the bands would declare it
  // Where the results of the half turn, the quarter turn and the mirror lie,
  // or 0 where the page did not take that step. For trace lines only.
  uintptr_t halfTurned = 0;
  uintptr_t quarterTurned = 0;
  uintptr_t mirrored = 0;
};

// The steps of the page's road, as a trace would tell them.
struct OrientPlan {
  size_t rowBytes;  // stride of the 1-bit picture before it is turned
  uint32_t rows;
  const PrintSettings& settings;
};

struct StreamTrace {
  uintptr_t buffer;  // where the stream is built
  size_t headBytes;  // commands before the first band
  size_t pictureRows;
  const PrintSettings& settings;
};

// Observation points along the road. The CUPS filter turns them into its log
// lines and diagnostic files; the printer application leaves them empty.
class PageHooks {
 public:
  virtual ~PageHooks() = default;
  // A grey page is about to be converted. `raster` is the page as read;
  // `stride24` is the row stride of its three-bytes-per-pixel form.
  virtual void GreyPage(std::span<const uint8_t> /*raster*/, const PageLayout& /*page*/, size_t /*stride24*/) {}
  // A grey or colour page has been converted. `packedPage` builds the 1-bit
  // page (set bit = paper) with its rows bottom first, BitmapStride(width)
  // bytes each: the historical diagnostic picture. It may throw
  // std::bad_alloc.
  virtual void Converted(const std::function<Bitmap()>& /*packedPage*/, uint32_t /*width*/, uint32_t /*rows*/) {}
  // The picture is about to be turned, mirrored and inverted as planned.
  virtual void Orienting(const OrientPlan& /*plan*/) {}
  // The page's stream is complete.
  virtual void StreamBuilt(const StreamTrace& /*trace*/) {}
};

// Retained between the pages of a job: the 1-bit result of the last grey or
// colour conversion.
struct PageWorkspace {
  Bitmap converted;
};

// Row stride of a 1-bit picture of `width` pixels: whole 32-bit words.
constexpr size_t BitmapStride(size_t width) { return ((width + 31) >> 5) << 2; }

// Builds the page's command stream (head commands, bands, tail commands) into
// `out`. `rows` holds page.rows rows of page.stride bytes and is used as
// working space: its contents are undefined afterwards.
PageReport RenderPage(const PageLayout& page, std::span<uint8_t> rows, const PrintSettings& settings,
                      PageHooks& hooks, PageWorkspace& workspace, Stream& out);

// Where a page of `depth` bits per pixel ends up on paper, relative to the
// raster as it arrived: its conversion, the settings' turn and mirror.
Orientation PictureOrientation(uint32_t depth, const PrintSettings& settings);

// One row of grey levels (0 black) as a 1-bit picture row of
// BitmapStride(width) bytes (set bit = dot, padding clear), mirrored if
// asked, as the whole-page conversion packs it. `scratch` holds a row when
// mirroring. Does nothing when `dst` or `scratch` is too short.
void PackDotsRow(std::span<const uint8_t> levels, bool mirror, std::span<uint8_t> dst, std::span<uint8_t> scratch);

// Commands that end the job (the cut of "Cutting" "2"), appended to `out`.
void AppendJobEnd(Stream& out, const PrintSettings& settings);

// Takes bytes for the printer; false when they could not all be delivered.
using ByteSink = std::function<bool(std::span<const uint8_t>)>;

// Copies beyond this are taken as a damaged header rather than a request.
inline constexpr uint32_t kMaxCopies = 9999;

// Sends the stream `copies` times (at most kMaxCopies); false on the first
// failed write.
bool SendCopies(std::span<const uint8_t> stream, uint32_t copies, const ByteSink& sink);
