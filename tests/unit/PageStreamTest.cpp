// The streaming road against the whole-page one: for every setting that
// streams and pages shaped to meet each rule at a band's or the page's edge,
// GreyPageStream's bytes must be RenderPage's. The printer application's
// tables check the same through the server; a difference is found here.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "PageStream.h"

namespace {

struct Shape {
  const char* name;
  uint32_t width, rows;
  std::vector<uint8_t> levels;  // sGray: 0 black
};

// Text-like lines of mid and dark grey between blank runs, a grey bar
// (vertically uniform, the conversions' shortcut) and noise, at rows that are
// not on the band grid.
Shape Receipt(uint32_t width, uint32_t rows, uint32_t seed) {
  Shape s{"receipt", width, rows, std::vector<uint8_t>(size_t{width} * rows, 255)};
  std::mt19937 rng(seed);
  auto at = [&](uint32_t x, uint32_t y) -> uint8_t& { return s.levels[size_t{y} * width + x]; };
  for (uint32_t y = 0; y < rows; ++y) {
    const uint32_t band = y * 10 / rows;  // 0..9: blank, text, blank, bar, noise, blank, text, blank ...
    for (uint32_t x = 0; x < width; ++x) {
      if (band == 1 || band == 6) at(x, y) = (x / 3 + y / 2) % 5 == 0 ? static_cast<uint8_t>(rng() % 160) : 255;
      if (band == 3 && x > width / 4 && x < width / 2) at(x, y) = 140;
      if (band == 4) at(x, y) = static_cast<uint8_t>(rng());
    }
  }
  return s;
}

Shape Filled(const char* name, uint32_t width, uint32_t rows, uint8_t level) {
  return {name, width, rows, std::vector<uint8_t>(size_t{width} * rows, level)};
}

// Random levels repeated down the page: uniform from row 0, where the
// threshold rules differ, so a shortcut must compare the decided rows too.
Shape Columns(uint32_t width, uint32_t rows) {
  Shape s{"columns", width, rows, {}};
  std::mt19937 rng(7);
  std::vector<uint8_t> row(width);
  for (auto& level : row) level = static_cast<uint8_t>(rng());
  for (uint32_t y = 0; y < rows; ++y) s.levels.insert(s.levels.end(), row.begin(), row.end());
  return s;
}

// One dot at row `y` of an otherwise blank page.
Shape Dot(const char* name, uint32_t width, uint32_t rows, uint32_t y) {
  Shape s = Filled(name, width, rows, 255);
  s.levels[size_t{y} * width + width / 2] = 0;
  return s;
}

Stream WholePage(const Shape& s, const PrintSettings& settings) {
  std::vector<uint8_t> k(s.levels.size());
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(255 - s.levels[i]);
  PageHooks hooks;
  PageWorkspace workspace;
  Stream out;
  EXPECT_EQ(RenderPage({s.width, s.rows, 8, s.width, 1}, k, settings, hooks, workspace, out).outcome,
            PageOutcome::Printed);
  return out;
}

// The stream's bytes, taken away every `drain` rows; only `given` rows are
// put, the rest left to Finish.
Stream Streamed(const Shape& s, const PrintSettings& settings, uint32_t drain, uint32_t given) {
  GreyPageStream page(settings, s.width, s.rows);
  Stream got;
  auto take = [&] {
    got.insert(got.end(), page.Output().begin(), page.Output().end());
    page.Output().clear();
  };
  for (uint32_t y = 0; y < given; ++y) {
    page.PutRow(std::span(s.levels).subspan(size_t{y} * s.width, s.width));
    if (y % drain == 0) take();
  }
  page.Finish();
  take();
  return got;
}

TEST(GreyPageStream, SameBytesAsTheWholePage) {
  const Shape shapes[] = {
      Receipt(576, 1000, 1), Receipt(100, 301, 2), Receipt(37, 95, 3), Receipt(64, 48, 4), Columns(576, 30),
      Filled("blank", 576, 500, 255), Filled("black", 576, 75, 0), Filled("black, padded", 100, 30, 0),
      Filled("one row", 576, 1, 90), Filled("two rows", 8, 2, 150), Filled("three rows", 9, 3, 100),
      Dot("dot in row 0", 576, 200, 0), Dot("dot in the last row", 576, 200, 199),
      Dot("dot after a long lead-in", 384, 2000, 1500), Dot("dot on a band's last row", 384, 100, 47),
  };
  int checked = 0;
  for (int dithering : {0, 1, 2, 3, 4, 7})  // 7: no conversion, only pure black prints
    for (int variant = 0; variant < 8; ++variant) {
      PrintSettings settings;
      settings.dwDithering = static_cast<Dithering>(dithering);
      settings.nMirror = variant & 1;
      settings.nInverse = (variant >> 1) & 1;
      if (variant & 4) settings.topMarginRows = 24;
      // The commands around the picture, in turn.
      if (variant == 1) settings.warning = Placement::Head, settings.density = 5, settings.cut = Cut::EveryPage;
      if (variant == 2) settings.drawerPulse = Placement::Tail, settings.nDistance = 300;
      if (variant == 5) settings.feedToMark = true, settings.drawerPulse = Placement::Head;
      ASSERT_TRUE(GreyPageStream::Streams(settings, 576));
      for (const Shape& s : shapes) {
        SCOPED_TRACE(std::string(s.name) + " " + std::to_string(s.width) + "x" + std::to_string(s.rows) +
                     ", dithering " + std::to_string(dithering) + ", variant " + std::to_string(variant));
        const Stream whole = WholePage(s, settings);
        ASSERT_EQ(Streamed(s, settings, 1 + (checked % 7), s.rows), whole);
        ++checked;
      }
    }
  // A page cut short: the missing rows are white, as RenderPage has them.
  Shape shortPage = Receipt(576, 400, 5);
  const Stream whole = [&] {
    Shape white = shortPage;
    std::fill(white.levels.begin() + 250 * 576, white.levels.end(), 255);
    return WholePage(white, PrintSettings{});
  }();
  EXPECT_EQ(Streamed(shortPage, PrintSettings{}, 5, 250), whole);
}

// Only a turned picture waits for the whole page; rows too wide for a band
// never stream.
TEST(GreyPageStream, WhichPagesStream) {
  struct Case { Rotation direction; int mirror; uint32_t width; bool streams; } const cases[] = {
      {Rotation::HalfTurn, 0, 576, true},     {Rotation::HalfTurn, 1, 576, true},
      {Rotation::Unturned, 0, 576, false},    {Rotation::Unturned, 1, 576, false},
      {Rotation::QuarterTurn, 0, 576, false}, {Rotation::QuarterTurn270, 1, 576, false},
      {Rotation::QuarterTurnBack, 0, 576, false},
      {Rotation::HalfTurn, 0, 8 * 0xFFFF, false}, {Rotation::HalfTurn, 0, 0, false},
  };
  for (const Case& c : cases) {
    PrintSettings settings;
    settings.nDirection = c.direction;
    settings.nMirror = c.mirror;
    EXPECT_EQ(GreyPageStream::Streams(settings, c.width), c.streams) << static_cast<int>(c.direction) << c.mirror;
  }
}

}  // namespace
