// A grey page turned into its command stream while it arrives: rows go in at
// the top, and each 24-row band goes out as soon as its rows are converted,
// instead of the page being held whole first. The bytes are RenderPage's for
// the same page and settings, head to tail.
//
// Every grey conversion reads only a few rows around the one it decides
// (the threshold rules and the edge snap a row above and below, the
// diffusion the row below), so rows leave the conversion one or two rows
// after they arrive. What cannot stream is a page whose picture is turned:
// a half turn or a quarter turn needs its last row first. Blank rows are
// held back as a count until ink follows them, because whole-page rendering
// drops the blank paper at a page's end and cuts its lead-in to the margin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ErrorDiffusion.h"
#include "GreyPlane.h"
#include "PagePipeline.h"

class GreyPageStream {
 public:
  // Whether a grey page `width` levels wide goes out row by row with these
  // settings: its picture keeps the rows' order, and its rows fit a band.
  static bool Streams(const PrintSettings& settings, uint32_t width);

  // A page of `rows` rows of `width` levels (0 black, 255 white), which
  // Streams() accepts. The head commands are output at once; everything
  // later is appended to Output() as it is settled, and the caller takes the
  // bytes away (sends and clears them) when it likes. Throws std::bad_alloc
  // when its few rows of working space cannot be had.
  GreyPageStream(const PrintSettings& settings, uint32_t width, uint32_t rows);
  GreyPageStream(const GreyPageStream&) = delete;
  GreyPageStream& operator=(const GreyPageStream&) = delete;

  // The next row of the page, `width` levels (a shorter row is white to the
  // right); rows beyond the page's are ignored.
  void PutRow(std::span<const uint8_t> levels);

  // The rows not given are white; the page's last rows, last band and tail
  // commands are output. Rows put after it are ignored.
  void Finish();

  Stream& Output() { return out_; }

 private:
  // The last few rows of the page, oldest first, in one block so that a
  // window of them is a GreyPlane as the whole-page conversion sees the page.
  class RowWindow {
   public:
    RowWindow(size_t width, size_t capacity);
    uint8_t* Push();  // storage for the next row, dropping the oldest when full
    uint8_t* Row(size_t y) { return bytes_.data() + (y - first_) * width_; }
    size_t End() const { return first_ + count_; }
    // Rows [from, End()) as a plane of a grey page `width_` levels wide.
    GreyPlane Plane(size_t from);

   private:
    size_t width_, capacity_;
    size_t first_ = 0, count_ = 0;
    std::vector<uint8_t> bytes_;
  };

  // Blank-paper rules and the band grid of StreamPicture and AppendBands,
  // fed one 1-bit row (set bit = dot) at a time.
  class BandWriter {
   public:
    BandWriter(const PrintSettings& settings, size_t stride, Stream& out);
    void PutRow(std::span<const uint8_t> bits);
    void Finish();

   private:
    void PlaceBlankRows(size_t count);
    void Place(std::span<const uint8_t> sent);
    void CloseBand();

    bool negative_;
    std::optional<uint32_t> topMargin_;
    size_t stride_;
    Stream& out_;
    bool sawInk_ = false;
    size_t heldBlank_ = 0;       // blank rows not yet known to be followed by ink
    std::vector<uint8_t> band_;  // the rows of the band being filled, as sent
    std::vector<uint8_t> sent_;  // one row as sent (inverted on a negative page)
    size_t bandRows_ = 0;
    bool bandInked_ = false;
    size_t blankBands_ = 0;  // blank bands not yet followed by an inked one
  };

  void Converted(const uint8_t* levels);  // a row whose conversion is complete
  void Decide(size_t y);            // threshold mode: row y, once y + 1 has arrived or the page ended
  void Snap(size_t y);              // the dithers: row y's edge snaps, then the dither
  void Dither(size_t y, std::vector<uint8_t>& row);

  PrintSettings settings_;
  size_t width_;
  uint32_t rows_;
  bool mirror_;
  Stream out_;
  RowWindow reference_, page_;  // levels as they came; decided (threshold) or unused
  std::vector<EdgeSnap> snaps_;
  std::vector<uint8_t> snapped_, carried_;  // the dithers' row, and the diffused row awaiting the next
  bool carrying_ = false;
  std::vector<uint8_t> bits_, scratch_;  // a packed row, and room to mirror it
  BandWriter bands_;
  uint32_t rowsIn_ = 0;
  bool finished_ = false;
};
