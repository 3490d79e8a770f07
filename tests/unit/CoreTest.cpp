// Where a wrong page would not say which part went wrong: the neighbourhood
// rules (also at a row's end), Otsu's search, the dithers' tables, the
// diffusion shares, the edge classifier and the transforms' identities.
// Whole pages and option choices are pinned end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "BayerDither.h"
#include "BilevelConversion.h"
#include "BitmapTransforms.h"
#include "CommandStream.h"
#include "ErrorDiffusion.h"
#include "Models.h"
#include "PagePipeline.h"
#include "ostu.h"

namespace {

using Row = std::vector<int>;
using Grid = std::vector<Row>;

// A grey page as the conversion sees it: one level a pixel, read by the
// rules as a page of three bytes a pixel.
struct Page {
  std::vector<uint8_t> bytes;
  size_t width, rows;

  explicit Page(const Grid& g) : width(g[0].size()), rows(g.size()) {
    for (const Row& row : g) bytes.insert(bytes.end(), row.begin(), row.end());
  }
  GreyPlane Plane() { return {bytes, width, rows, width, width, 3 * width}; }
  Grid Levels() const {
    Grid out(rows);
    for (size_t y = 0; y < rows; ++y) out[y].assign(bytes.begin() + y * width, bytes.begin() + (y + 1) * width);
    return out;
  }
};

// One ProcessLine call at (x, y), with the decisions already taken above and
// to the left of it on the page (-1: still the reference level).
std::vector<int> Decide(const Grid& reference, int x, int y, int above, int left) {
  Page ref(reference), page(reference);
  if (above >= 0) page.bytes[(y - 1) * page.width + x] = static_cast<uint8_t>(above);
  if (left >= 0) page.bytes[y * page.width + x - 1] = static_cast<uint8_t>(left);
  EXPECT_EQ(ProcessLine(page.Plane(), ref.Plane(), x, y), 1);
  return page.Levels()[static_cast<size_t>(y)];
}

TEST(ProcessLine, RowZeroRuleAndRuns) {
  struct Case { Row row, expected; } const cases[] = {
      {{220, 250}, {255, 250}},            // 220 and lighter: white, and no run up the 30-level step
      {{219, 250}, {255, 255}},            // row 0 under 220: white from 200, and the run takes 31
      {{200, 229, 240}, {255, 229, 240}},  // a white run needs a 30-level rise
      {{199, 250}, {0, 250}},              // black below 200
      {{190, 210, 234}, {0, 0, 0}},        // a black run goes on up to 234 ...
      {{190, 210, 235}, {0, 0, 235}},
      {{100, 125, 151, 160}, {0, 0, 151, 160}},  // ... and by rises of 25 at most
  };
  for (const Case& c : cases) EXPECT_EQ(Decide({c.row}, 0, 0, -1, -1), c.expected) << "row from " << c.row[0];
}

// The target is the centre of a 3 x 3 page (x = 1, y = 1) unless x says 0;
// the row is the target's row after the call. Rule set A applies when the
// pixel is nearer the one above than the one below, else B1 (lighter than
// above) or B2 (darker). Every centre case is decided again at the end of a
// row, where the neighbours are read through the flat offsets instead of
// directly, with the right neighbour moved to the next row's first pixel.
TEST(ProcessLine, RuleSets) {
  constexpr int W = 255;
  struct Case {
    const char* what;
    Grid ref;
    int above, left;  // decisions on the page, -1: still the reference level
    Row row;
    int x = 1;
  } const cases[] = {
      {"220 and lighter: white, no run", {{W, 100, W}, {100, 220, 250}, {W, 100, W}}, -1, -1, {100, W, 250}},
      {"A1 dark like its left neighbour: the left decision", {{W, 80, W}, {71, 90, 90}, {W, W, W}}, -1, W, {W, W, 90}},
      {"A1 dark between darker rows: a gap, white", {{W, 40, W}, {50, 90, 50}, {W, 10, W}}, -1, -1, {50, W, 50}},
      {"A1 gap right of a white lighter pixel: black", {{W, 40, W}, {200, 90, 90}, {W, 10, W}}, -1, W, {W, 0, 0}},
      {"A1 ... of a black one: white", {{W, 40, W}, {200, 90, 90}, {W, 10, W}}, -1, 0, {0, W, 90}},
      {"A2 between dark rows, right rises 36: black", {{W, 90, W}, {140, 140, 176}, {W, 90, W}}, -1, -1, {140, 0, 176}},
      {"A2 ... 35: white, and the run takes it", {{W, 90, W}, {140, 140, 175}, {W, 90, W}}, -1, -1, {140, W, W}},
      {"A3 200 under lighter: an edge, black", {{W, 225, W}, {200, 200, 200}, {W, 235, W}}, -1, -1, {200, 0, 0}},
      {"A3 light grey follows the decision above", {{W, 205, W}, {210, 210, W}, {W, 240, W}}, 0, -1, {210, 0, W}},
      {"A3 lighter above and left: the above's", {{W, 240, W}, {240, 205, 205}, {W, 160, W}}, W, -1, {240, W, 205}},
      {"A4 20 lighter than above, over dark: white", {{W, 130, W}, {150, 150, 150}, {W, 50, W}}, 0, -1, {150, W, 150}},
      {"A4 within 19 of the left: its decision", {{W, 150, W}, {131, 150, W}, {W, 160, W}}, W, 0, {0, 0, W}},
      {"A4 mid grey between white rows: black", {{W, 210, W}, {100, 150, 150}, {W, W, W}}, W, -1, {100, 0, 0}},
      {"A5.1 over 20 darker than both sides: black", {{W, 100, W}, {190, 150, 175}, {W, 100, W}}, -1, -1, {190, 0, 0}},
      {"A5.1 by 20 on the right: stays white", {{W, 100, W}, {190, 150, 170}, {W, 100, W}}, -1, -1, {190, W, 170}},
      {"A5.2 35 below white left, dark above: white", {{W, 99, W}, {200, 165, 165}, {W, 231, W}}, 0, -1, {200, W, 165}},
      {"A5.2 ... 36 darker: black", {{W, 99, W}, {201, 165, 165}, {W, 231, W}}, 0, -1, {201, 0, 0}},
      {"B1 column 0, within 19 of above: its decision", {{131, W, W}, {150, W, W}, {140, W, W}}, 0, -1, {0, W, W}, 0},
      {"B1 column 0, 20 lighter than above: white", {{130, W, W}, {150, W, W}, {140, W, W}}, 0, -1, {W, W, W}, 0},
      {"B1 within 19 of above: its black", {{W, 131, W}, {150, 150, 150}, {W, 140, W}}, 0, -1, {150, 0, 0}},
      {"B1 lighter than above: its white", {{W, 131, W}, {150, 150, 150}, {W, 140, W}}, W, -1, {150, W, 150}},
      {"B1 light grey by white, under black: white", {{W, 180, W}, {220, 210, 210}, {W, 205, W}}, 0, -1, {220, W, 210}},
      {"B1.4 mid grey by white, under black: black", {{W, 110, W}, {230, 140, 140}, {W, 140, W}}, 0, -1, {230, 0, 0}},
      {"B1.4 ... under white: white", {{W, 110, W}, {230, 140, 140}, {W, 140, W}}, W, -1, {230, W, 140}},
      {"B2 under black: black", {{W, 200, W}, {150, 150, 150}, {W, 150, W}}, 0, -1, {150, 0, 0}},
      {"B2 darker than above: the left white", {{W, 200, W}, {150, 150, 150}, {W, 150, W}}, W, W, {W, W, 150}},
      {"B2 darker than above: the left black", {{W, 200, W}, {150, 150, 150}, {W, 150, W}}, W, 0, {0, 0, 0}},
      {"B2.3 50 over the left, under black: white", {{W, 200, W}, {100, 150, 150}, {W, 150, W}}, 0, -1, {100, W, 150}},
      {"B2.4 just under above, white left: black", {{W, 160, W}, {210, 150, 150}, {W, 150, W}}, W, -1, {210, 0, 0}},
      {"B2 ... right of grey: white", {{W, 160, W}, {150, 150, 150}, {W, 150, W}}, W, -1, {150, W, 150}},
      {"A1 99 is dark: black, and the run goes on", {{W, 150, W}, {200, 99, 119}, {W, 150, W}}, W, -1, {200, 0, 0}},
      {"A3 over 35 lighter than above: white", {{W, 170, W}, {210, 210, 210}, {W, 130, W}}, -1, -1, {210, W, 210}},
      {"A3 over 19 lighter than both: white, not the black above", {{W, 190, W}, {215, 215, 215}, {W, 190, W}}, 0, -1,
       {215, W, 215}},
      {"A4 over 30 lighter than both: white", {{W, 110, W}, {150, 150, 150}, {W, 110, W}}, 0, -1, {150, W, 150}},
      {"A4 mid grey right of dark, under dark: white", {{W, 90, W}, {80, 130, 130}, {W, 200, W}}, 0, -1, {80, W, 130}},
      {"B1 right of a very light pixel, above 100: black", {{W, 100, W}, {230, 150, 150}, {W, 140, W}}, 0, -1,
       {230, 0, 0}},
      {"B1 ... above 99: white", {{W, 99, W}, {230, 150, 150}, {W, 140, W}}, 0, -1, {230, W, 150}},
      {"B1 right of dark, under dark: white", {{W, 60, W}, {80, 120, 120}, {W, 110, W}}, 0, -1, {80, W, 120}},
      {"B2 over 199, darker than above: white", {{W, 240, W}, {205, 205, 205}, {W, 200, W}}, -1, -1, {205, W, 205}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decide(c.ref, c.x, 1, c.above, c.left), c.row) << c.what;
    if (c.x != 1) continue;
    const Grid& g = c.ref;
    const Grid atRowEnd = {{g[0][0], g[0][1]}, {g[1][0], g[1][1]}, {g[1][2], g[2][1]}};
    EXPECT_EQ(Decide(atRowEnd, 1, 1, c.above, c.left)[1], c.row[1]) << c.what << ", at the row end";
  }
}

TEST(Otsu, SearchesInSinglePrecisionOverTheStrideScaledHistogram) {
  struct Case { std::vector<std::pair<int, int>> histogram; int expected; } const cases[] = {  // (level, pixels)
      {{{40, 4}, {200, 4}}, 40},  // every split between two levels ties: the first wins
      {{{3, 1}, {200, 7}}, 3},
      {{{10, 8}, {60, 1}, {240, 7}}, 60},
      // Normalised by the pixel count, the split would fall at 10.
      {{{10, 3}, {33, 2}, {56, 3}}, 33},
      // Near-equal candidates: running class sums would round their way to 72.
      {{{24, 8}, {72, 8}, {120, 8}}, 24},
      // A split leaving one class empty never qualifies, float residue or not.
      {{{223, 12}, {224, 12}}, 223},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> row;
    for (auto [level, n] : c.histogram) row.insert(row.end(), 3 * static_cast<size_t>(n), static_cast<uint8_t>(level));
    EXPECT_EQ(otsu(row, static_cast<int>(row.size()), 1, 24, 100), c.expected) << c.histogram[0].first;
  }
}

TEST(Dithers, BayerOnGreyIsAThresholdAt230) {
  for (auto [level, expected] : {std::pair{229, 0}, {230, 255}, {1, 0}, {255, 255}}) {
    Page page(Grid(9, std::vector<int>(9, level)));
    makeDitherBayer8(page.Plane(), 100);
    EXPECT_EQ(page.Levels(), Grid(9, std::vector<int>(9, expected))) << level;
  }
  // Only a brightness change brings grey into the table's range, which is
  // indexed column first: 230 at nLight 110 meets 240 at (3, 0), 160 at (0, 3).
  Page page(Grid(4, std::vector<int>(4, 230)));
  makeDitherBayer8(page.Plane(), 110);
  EXPECT_EQ(page.Levels()[0][3], 0);
  EXPECT_EQ(page.Levels()[3][0], 255);
}

// The printer application's 8 x 8 ordered dither: every 8 x 8 block of an
// even grey has as many white dots as the grey's share of 64 (so 64 greys
// print 64 different ways), none in black and all in white.
TEST(Dithers, TrueBayerLightsTheGreysShareOfEachBlock) {
  for (auto [level, white] : {std::pair{0, 0}, {3, 1}, {5, 2}, {64, 16}, {128, 32}, {200, 50}, {252, 63}, {255, 64}}) {
    std::vector<uint8_t> row(16);
    int count = 0;
    for (size_t y = 8; y < 16; ++y) {
      std::fill(row.begin(), row.end(), static_cast<uint8_t>(level));
      Bayer8x8Row(row.data(), y, row.size());
      count += static_cast<int>(std::count(row.begin(), row.begin() + 8, 255));
      EXPECT_TRUE(std::equal(row.begin(), row.begin() + 8, row.begin() + 8)) << "the pattern repeats every 8 dots";
    }
    EXPECT_EQ(count, white) << level;
  }
}

TEST(Dithers, OrderedThreeByThreeBlocks) {
  // The block of a uniform 4 x 4 page, whose margin keeps its level: a cell
  // is white when its threshold is below the level, all white from 225,
  // all black under 50.
  struct Case { int level; Grid block; } const levels[] = {
      {49, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {50, {{255, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {57, {{255, 0, 0}, {0, 0, 0}, {0, 0, 0}}},
      {143, {{255, 0, 255}, {255, 255, 0}, {0, 0, 255}}},
      {224, {{255, 0, 255}, {255, 255, 0}, {255, 255, 255}}},
      {225, {{255, 255, 255}, {255, 255, 255}, {255, 255, 255}}},
  };
  for (const Case& c : levels) {
    Page page(Grid(4, std::vector<int>(4, c.level)));
    OrderedDither(page.Plane(), 100);
    Grid expected = c.block;
    for (auto& row : expected) row.push_back(c.level);
    expected.push_back(std::vector<int>(4, c.level));
    EXPECT_EQ(page.Levels(), expected) << c.level;
  }
  // Blocks start strictly before the last three columns and rows.
  struct Size { size_t width, height, blockColumns, blockRows; } const sizes[] = {
      {9, 9, 6, 6}, {10, 9, 9, 6}, {4, 4, 3, 3}, {3, 9, 0, 0}, {1, 1, 0, 0}};
  for (const Size& s : sizes) {
    Page page(Grid(s.height, std::vector<int>(s.width, 100)));
    OrderedDither(page.Plane(), 100);
    for (size_t y = 0; y < s.height; ++y)
      for (size_t x = 0; x < s.width; ++x)
        EXPECT_EQ(page.Levels()[y][x] != 100, x < s.blockColumns && y < s.blockRows)
            << s.width << "x" << s.height << " at " << x << "," << y;
  }
}

TEST(IsBorder, Kinds) {
  struct Case { Grid page; int x, y, expected; } const cases[] = {
      {{{255, 49, 0}}, 1, 0, -1}, {{{255, 50, 0}}, 1, 0, 0},  // only mid-tones 50..229 are classified
      {{{255, 229, 0}}, 1, 0, 0}, {{{255, 230, 0}}, 1, 0, -1},
      {{{0, 255, 0}, {255, 150, 0}}, 1, 1, 1},
      {{{0, 255, 0}, {0, 150, 100}, {0, 0, 0}}, 1, 1, 2},
      {{{0, 255, 0}, {0, 150, 255}, {0, 0, 0}}, 1, 1, 3},
      {{{0, 150, 255}}, 1, 0, 4},
      {{{0, 150, 255}, {0, 255, 0}}, 1, 0, 5},
      {{{0, 0, 0}, {0, 150, 0}, {0, 255, 0}}, 1, 1, 6},
      {{{229, 150, 0}}, 1, 0, -1},  // the light left side needs 230, the others 225
      {{{0, 150, 225}}, 1, 0, 4}, {{{0, 150, 224}}, 1, 0, -1},
      {{{0, 229, 0}, {255, 150, 0}}, 1, 1, 0},  // the extra side of 1, 3, 5 needs 230
      {{{0, 225, 0}, {0, 150, 229}, {0, 0, 0}}, 1, 1, 2},
      {{{255, 150, 100}}, 1, 0, -1},  // the dark side must be under 100
      {{{255}, {150}, {0}}, 0, 1, 2}, {{{0}, {150}, {255}}, 0, 1, 6},  // missing neighbours fail their tests
      {{{150}}, 0, 0, -1}, {{{255, 150, 0}}, 3, 0, -1}, {{{255, 150, 0}}, -1, 0, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBorder(Page(c.page).Plane(), c.x, c.y), c.expected) << "case " << &c - cases;
}

TEST(EdgeSnapPass, TakesTheNeighboursSideAt150FromTheUntouchedPage) {
  struct Case { Grid page; int nBrightness; Grid expected; } const cases[] = {
      {{{0, 151, 0}, {255, 150, 0}}, 0, {{0, 151, 0}, {255, 255, 0}}},  // kind 0: the level above
      {{{0, 150, 0}, {255, 150, 0}}, 0, {{0, 150, 0}, {255, 0, 0}}},
      {{{0, 149, 0}, {255, 150, 0}}, 2, {{0, 149, 0}, {255, 255, 0}}},
      {{{0, 0}, {200, 150}, {0, 255}}, 0, {{0, 0}, {200, 255}, {0, 255}}},  // kind 6: the level to the left
      {{{0, 0}, {150, 150}, {0, 255}}, 0, {{0, 0}, {150, 0}, {0, 255}}},
      {{{255, 150, 0}}, 0, {{255, 150, 0}}},  // kind 0 in row 0 and kind 2 in column 0 stay
      {{{255}, {150}, {0}}, 0, {{255}, {150}, {0}}},
      // The pixel at row 2 reads the 140 above it, not the 255 it became.
      {{{255, 200, 0}, {255, 140, 0}, {255, 160, 0}}, 0, {{255, 200, 0}, {255, 255, 0}, {255, 0, 0}}},
      // Light sides from 225, dark ones under 100, past the pixels skipped
      // as black and white, and a row that differs only in its last pixel.
      {{{0, 225, 0}, {200, 150, 0}, {0, 0, 0}}, 0, {{0, 225, 0}, {200, 255, 0}, {0, 0, 0}}},
      {{{0, 150, 0}, {99, 150, 225}, {0, 150, 0}}, 0, {{0, 150, 0}, {99, 0, 225}, {0, 150, 0}}},
      {{{0, 0, 0, 0, 0, 0, 0, 0, 255, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 150, 0}, Row(10, 0)}, 0,
       {{0, 0, 0, 0, 0, 0, 0, 0, 255, 0}, Row(10, 0), Row(10, 0)}},
      {{{200, 0}, {200, 0}, {200, 150}, {200, 255}}, 0, {{200, 0}, {200, 0}, {200, 255}, {200, 255}}},
  };
  for (const Case& c : cases) {
    Page page(c.page);
    EdgeSnapPass(page.Plane(), c.nBrightness);
    EXPECT_EQ(page.Levels(), c.expected) << "case " << (&c - cases);
  }
}

// Each row isolates one neighbour of the source pixel (1, 0): the other
// pixels are black and outside every window. The neighbour's level sits on
// either side of the value that its share moves across 128.
TEST(ErrorDiffusion, SharesAreFlooredSixteenths) {
  // The neighbour (nx, ny) ends black at level `below`, white at `above`.
  struct Case { int source, nx, ny, below, above; } const cases[] = {
      {127, 2, 0, 72, 73},   {127, 0, 1, 104, 105}, {127, 1, 1, 88, 89},   {127, 2, 1, 120, 121},  // +55 +23 +39 +7
      {128, 2, 0, 183, 184}, {128, 0, 1, 151, 152}, {128, 1, 1, 167, 168}, {128, 2, 1, 135, 136},  // -56 -24 -40 -8
  };
  for (const Case& c : cases)
    for (int level : {c.below, c.above}) {
      Page page({{0, c.source, 0}, {0, 0, 0}});
      page.bytes[c.ny * 3 + c.nx] = static_cast<uint8_t>(level);
      EXPECT_EQ(ErrorDiffusion(page.Plane(), 100), 0);
      Grid expected = {{0, c.source >= 128 ? 255 : 0, 0}, {0, 0, 0}};
      expected[c.ny][c.nx] = level == c.above ? 255 : 0;
      EXPECT_EQ(page.Levels(), expected) << c.source << " to " << c.nx << "," << c.ny << " at " << level;
    }
}

// Pictures as pixel grids, for transforms done the obvious way.
using Pixels = std::vector<std::vector<bool>>;

// The pixels of a packed picture; with `clearPadding`, fails the test when a
// bit past the width is set.
Pixels Unpack(std::span<const uint8_t> bytes, size_t width, size_t rows, size_t stride, bool clearPadding = true) {
  Pixels p(rows, std::vector<bool>(width));
  for (size_t y = 0; y < rows; ++y)
    for (size_t x = 0; x < 8 * stride; ++x) {
      const bool set = bytes[y * stride + x / 8] & (0x80 >> x % 8);
      if (x < width) p[y][x] = set;
      else EXPECT_FALSE(set && clearPadding) << "padding bit " << x << " of row " << y;
    }
  return p;
}

Pixels Apply(Orientation o, Pixels p) {
  if (o.quarterTurn) {  // clockwise: out(r, c) = in(H - 1 - c, r)
    Pixels turned(p.empty() ? 0 : p[0].size(), std::vector<bool>(p.size()));
    for (size_t r = 0; r < turned.size(); ++r)
      for (size_t c = 0; c < p.size(); ++c) turned[r][c] = p[p.size() - 1 - c][r];
    p = turned;
  }
  if (o.flipRows) std::reverse(p.begin(), p.end());
  if (o.mirror) std::ranges::for_each(p, [](auto& row) { std::reverse(row.begin(), row.end()); });
  return p;
}

// Flips and mirrors happen as the rows are copied into the bands (a half
// turn of rows without padding as one block), a quarter turn (first) into a
// new picture of BitmapStride(rows) bytes a row; bits past the width come
// out clear, and an unchanged picture is copied as it is.
TEST(Transforms, EveryOrientationMatchesPixelByPixel) {
  std::mt19937 rng(3);
  for (int round = 0; round < 600; ++round) {
    // Widths past 16 bytes take the word and shuffle paths, whole bytes
    // without padding the block path.
    size_t width = 1 + rng() % 200;
    if (round % 3 == 0) width = (width + 7) / 8 * 8;
    const size_t rows = 1 + rng() % 40, stride = PixelBytes(width) + (round % 2 ? rng() % 4 : 0);
    const Orientation o{(round & 4) != 0, (round & 8) != 0, (round & 16) != 0};
    std::vector<uint8_t> bits(stride * rows);  // random bits past the width too
    for (auto& b : bits) b = static_cast<uint8_t>(rng());
    const Pixels p = Unpack(bits, width, rows, stride, false);
    if (o.quarterTurn) {
      const Bitmap out = Rotate90Degrees({bits, width, rows, stride}, o.flipRows, o.mirror);
      ASSERT_EQ(out.size(), BitmapStride(rows) * width);
      EXPECT_EQ(Unpack(out, rows, width, BitmapStride(rows)), Apply(o, p)) << width << "x" << rows << " turned";
    } else {
      const BandSource source{bits, width, stride, rows, o.flipRows, o.mirror};
      std::vector<uint8_t> out(bits.size());
      const size_t split = rng() % (rows + 1);  // two calls, as two bands would make
      source.RowsInto(0, split, out.data());
      source.RowsInto(split, rows - split, out.data() + split * stride);
      if (o.flipRows || o.mirror)
        EXPECT_EQ(Unpack(out, width, rows, stride), Apply(o, p)) << width << "x" << rows << " round " << round;
      else
        EXPECT_EQ(out, bits);
    }
  }
}

// A USB printer's IEEE 1284 device ID picks the printer application's driver:
// a known make and model its row, any other ESC/POS printer the default
// (guessed, so the application says so), anything else no driver.
TEST(ModelForDeviceId, MakeAndModelFirstThenCommandSet) {
  struct Case { const char *id, *driver; bool guessed; } const cases[] = {
      {"MFG:EPSON;CMD:ESC/POS;MDL:TM-T88V;CLS:PRINTER;DES:TM-T88V;", "escpos-80mm-180dpi", false},
      {"MANUFACTURER:Epson;MODEL:tm-t20ii;COMMAND SET:ESC/POS;", "escpos-80mm-203dpi", false},
      {" MFG : EPSON ; MDL : TM-T88VI ", "escpos-80mm-180dpi", false},
      {"MFG:ESC/POS;MDL:58mm Receipt Printer;CMD:ESC/POS;", "escpos-58mm-203dpi", false},
      {"MFG:ESC/POS;MDL:58mm 180dpi Receipt Printer;", "escpos-58mm-180dpi", false},  // no CMD: the name suffices
      {"MFG:ESC/POS;MDL:112mm Receipt Printer;CMD:ESC/POS;", "escpos-112mm-203dpi", false},
      {"MFG:ESC/POS;MDL:80mm Full Width Receipt Printer;CMD:ESC/POS;", "escpos-80mm-full-203dpi", false},
      {"MFG:Acme;MDL:POS-58 USB;CMD:ESCPOS,STAR;", "escpos-80mm-203dpi", true},  // "58" in a name decides nothing
      {"MFG:EPSON;MDL:TM-U220;CMD:ESC/POS;", "escpos-80mm-203dpi", true},        // a known maker alone neither
      {"MDL:TM-T88V;CMD:esc/pos;", "escpos-80mm-203dpi", true},
      {"MFG:HP;MDL:LaserJet 4;CMD:PCL,PJL,POSTSCRIPT;", nullptr, false},
      {"MFG:EPSON;MDL:TM-T88V", "escpos-80mm-180dpi", false},
      {"no pairs at all", nullptr, false},
      {"", nullptr, false},
  };
  for (const Case& c : cases) {
    bool guessed = !c.guessed;
    const PrinterModel* model = ModelForDeviceId(c.id, guessed);
    EXPECT_EQ(model ? std::string(model->driver) : "(none)", c.driver ? c.driver : "(none)") << c.id;
    EXPECT_EQ(guessed, c.guessed) << c.id;
  }
}

}  // namespace
