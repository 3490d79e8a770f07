#include "TestPage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "Font5x7.h"

namespace {

// 5 x 7 glyphs, one byte per row, bit 4 the leftmost column.

const Glyph& GlyphOf(char c) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Glyph& g : kFont5x7)
    if (g.c == upper) return g;
  return GlyphOf('?');
}

// A strip of the page in the core's polarity (0 white, 255 black).
struct Canvas {
  uint32_t width, rows;
  std::vector<uint8_t> pixels;
  Canvas(uint32_t w, uint32_t h) : width(w), rows(h), pixels(size_t{w} * h, 0) {}
  void Set(uint32_t x, uint32_t y, uint8_t v) {
    if (x < width && y < rows) pixels[size_t{y} * width + x] = v;
  }
  // Text from (x, y), each font pixel `scale` dots square; what does not fit
  // the width is left out.
  void Text(uint32_t x, uint32_t y, std::string_view text, uint32_t scale) {
    for (char c : text) {
      const Glyph& g = GlyphOf(c);
      for (uint32_t r = 0; r < 7; ++r)
        for (uint32_t col = 0; col < 5; ++col)
          if (g.rows[r] & (0x10 >> col))
            for (uint32_t dy = 0; dy < scale; ++dy)
              for (uint32_t dx = 0; dx < scale; ++dx) Set(x + col * scale + dx, y + r * scale + dy, 255);
      x += 6 * scale;
    }
  }
};

// Blank rows at the top of each strip; trailing blank rows are dropped by the
// core, leading ones are kept, so this is the gap between strips.
constexpr uint32_t kGap = 16;

Canvas Title(std::string_view name, std::string_view model, uint32_t width) {
  Canvas c(width, kGap + 7 * 2 + 8 + 7 * 3 + 8 + 7 * 2);
  uint32_t y = kGap;
  c.Text(0, y, "LABELFILTER TEST PAGE", 2);
  c.Text(0, y += 7 * 2 + 8, name, 3);
  c.Text(0, y += 7 * 3 + 8, std::string(model) + " - " + std::to_string(width) + " DOTS", 2);
  return c;
}

// Ticks every millimetre, longer every 5 and 10 mm, numbered every 10 mm:
// the last tick shows how much of the paper the head reaches.
Canvas Ruler(uint32_t width, uint32_t dotsPer254Mm) {
  Canvas c(width, kGap + 24 + 4 + 7);
  for (uint32_t x = 0; x < width; ++x) c.Set(x, kGap, 255);
  const auto dotOf = [dotsPer254Mm](uint32_t mm) { return (mm * dotsPer254Mm + 127) / 254; };
  for (uint32_t mm = 0; dotOf(mm) < width; ++mm) {
    const uint32_t x = dotOf(mm);
    const uint32_t length = mm % 10 == 0 ? 24 : mm % 5 == 0 ? 16 : 8;
    for (uint32_t y = 0; y < length; ++y) c.Set(x, kGap + y, 255);
    if (mm % 10 == 0 && mm > 0) c.Text(x + 2, kGap + 28, std::to_string(mm), 1);
  }
  return c;
}

// White to black, left to right, under the name of the mode that prints it.
Canvas Ramp(std::string_view label, uint32_t width) {
  constexpr uint32_t kRampRows = 48;
  Canvas c(width, kGap + 7 * 2 + 6 + kRampRows);
  c.Text(0, kGap, label, 2);
  for (uint32_t y = kGap + 7 * 2 + 6; y < c.rows; ++y)
    for (uint32_t x = 0; x < width; ++x) c.Set(x, y, static_cast<uint8_t>(x * 255 / (width - 1)));
  return c;
}

// Bars 1 to 4 dots wide with gaps as wide, as a barcode scanner would see
// them: every dot column of the head must fire cleanly.
Canvas Bars(uint32_t width) {
  constexpr uint32_t kBarRows = 80;
  Canvas c(width, kGap + 7 * 2 + 6 + kBarRows);
  c.Text(0, kGap, "BARS 1 2 3 4 DOTS", 2);
  uint32_t x = 0;
  for (uint32_t bar = 1; x < width; bar = bar % 4 + 1) {
    for (uint32_t dx = 0; dx < bar && x < width; ++dx, ++x)
      for (uint32_t y = kGap + 7 * 2 + 6; y < c.rows; ++y) c.Set(x, y, 255);
    x += bar;
  }
  return c;
}

// Appends the strip's stream to `out` (RenderPage builds a page's stream
// afresh).
void Render(Canvas& canvas, const PrintSettings& settings, PageWorkspace& workspace, Stream& out) {
  PageHooks hooks;
  PageLayout layout{canvas.width, canvas.rows, 8, canvas.width, 1};
  Stream strip;
  RenderPage(layout, canvas.pixels, settings, hooks, workspace, strip);
  out.insert(out.end(), strip.begin(), strip.end());
}

}  // namespace

Stream TestPageStream(std::string_view printerName, std::string_view model, uint32_t headWidth,
                      uint32_t dotsPer254Mm, const PrintSettings& defaults) {
  // Between the strips: no commands at all, upright, unmirrored, positive.
  PrintSettings plain;
  plain.dwDithering = Dithering::Threshold;

  PrintSettings first = plain;
  first.density = defaults.density;
  PrintSettings last = plain;
  last.nDistance = defaults.nDistance;
  if (defaults.cut != Cut::None) last.cut = Cut::EveryPage;

  Stream out;
  PageWorkspace workspace;
  Canvas title = Title(printerName, model, headWidth);
  Render(title, first, workspace, out);
  Canvas ruler = Ruler(headWidth, dotsPer254Mm);
  Render(ruler, plain, workspace, out);
  constexpr std::pair<Dithering, std::string_view> kModes[] = {{Dithering::Threshold, "THRESHOLD"},
                                                               {Dithering::Halftone, "HALFTONE 3X3"},
                                                               {Dithering::Bayer8x8, "ORDERED 8X8"},
                                                               {Dithering::ErrorDiffusion, "ERROR DIFFUSION"}};
  for (auto [mode, label] : kModes) {
    PrintSettings ramp = plain;
    ramp.dwDithering = mode;
    Canvas canvas = Ramp(label, headWidth);
    Render(canvas, ramp, workspace, out);
  }
  Canvas bars = Bars(headWidth);
  Render(bars, last, workspace, out);
  return out;
}
