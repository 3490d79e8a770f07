// Decoder for the ESC/POS byte streams that labelfilter writes.
//
// It understands exactly the commands the filter emits (GS v 0 raster
// bands, ESC J feeds, GS FF, GS V cuts, ESC p drawer pulses, the warning
// sequence and the density command) and turns a stream back into the paper
// a receipt printer would produce, so tests can look at dots instead of
// bytes and people can look at a PNG.
//
// Paper model: rows of dots, top to bottom, in the order they leave the
// print head.  A GS v 0 band appends its rows; ESC J n appends n blank rows,
// taking one motion unit as one dot row (1/203 inch) as on 203 dpi heads;
// GS FF feeds to a mark whose distance is unknown, so it only records an
// event.  Cuts are recorded at the row they happen after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace escpos {

enum class EventKind { Band, Feed, FormFeed, Cut, DrawerPulse, Warning, Density };

struct Event {
  EventKind kind;
  std::size_t offset;  // byte offset of the command's first byte
  std::size_t length;  // bytes the command occupies, data included
  int row;             // paper rows printed before the command took effect
  // Band: width in dots; Feed: dot rows; Cut: mode byte (m);
  // DrawerPulse: pin (m); Density: n; otherwise 0.
  int value;
  bool blank;  // Band only: every data byte is zero
};

struct DecodeError {
  std::size_t offset;
  std::string message;
};

struct Paper {
  std::vector<Event> events;
  std::optional<DecodeError> error;  // set when decoding stopped early

  int width() const { return widest; }  // widest band in dots (0 when no band was printed)
  int height() const { return rowCount; }
  bool dot(int x, int y) const;

  std::size_t count(EventKind kind) const;
  std::size_t blankBands() const;
  int fedRows() const;  // sum of ESC J distances
  std::vector<int> cutRows() const;
  // Dots inside the rectangle [x0, x1) x [y0, y1), clipped to the paper.
  long dotsIn(int x0, int y0, int x1, int y1) const;

  // The printed bands as the stream carries them: their data bytes in
  // `bits` (one bit per dot, most significant bit leftmost) and where each
  // starts on the paper. Rows no band covers are blank; a feed only moves
  // the end of the paper. So the paper holds the band data and one record
  // per command, at most 20 bytes per byte of stream (a 2-byte GS FF makes
  // a 40-byte event on 64-bit machines), however far the stream feeds.
  struct Band {
    int firstRow;  // paper row of the band's first row
    int rows;      // paper rows it covers (its height, doubled in modes 2 and 3)
    int widthBytes;
    int xScale, yScale;
    std::size_t data;  // offset of its first byte in `bits`
  };
  std::vector<Band> bands;
  std::vector<std::uint8_t> bits;
  int rowCount = 0;
  int widest = 0;
};

// Decodes a whole stream.  On an unknown or truncated command the paper
// holds everything before it and `error` says where and why.
Paper decode(std::span<const std::uint8_t> stream);

// A human-readable digest: size, bands, feeds, cuts, pulses, settings.
std::string summary(const Paper& paper);

// Image of the paper: `width()` columns, rows as printed, and
// one extra dashed red row inserted at every cut.  Three bytes (R, G, B)
// per pixel, black dots on white paper.  PNG needs a pixel, so paper with
// no band is 8 columns wide and paper with no row gets one white row.
// render() holds the whole image, for small papers; the writers below make
// the same image one row at a time.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};
RgbImage render(const Paper& paper);

// Writers; they return an error text, empty on success.  Both hold one row
// of the image at a time.  PNG readers refuse images taller than libpng's
// limit (1000000 rows, 125 m of paper), so a longer paper is refused before
// the file is made; PBM has no such limit.
std::string writePng(const Paper& paper, const std::string& path);
// The same PNG into `out`, for a server to send.
std::string encodePng(const Paper& paper, std::vector<std::uint8_t>& out);
// Why `paper` cannot be written as a PNG, or an empty text.
std::string pngRefusal(const Paper& paper);
// Plain dots as a binary PBM (P4), without cut marks; set bit = dot.
std::string writePbm(const Paper& paper, const std::string& path);

}  // namespace escpos
