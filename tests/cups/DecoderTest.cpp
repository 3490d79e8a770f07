// The ESC/POS decoder that the preview tool and the CUPS tests rely on:
// every command the filter writes, the paper it makes, and the failures.
#include "EscPosDecoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using escpos::EventKind;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// GS v 0 m, width in bytes, height in rows, then the data.
Bytes band(int widthBytes, int rows, const Bytes& data, std::uint8_t mode = 0) {
  Bytes out = {0x1D, 0x76, 0x30, mode, static_cast<std::uint8_t>(widthBytes & 0xFF),
               static_cast<std::uint8_t>(widthBytes >> 8), static_cast<std::uint8_t>(rows & 0xFF),
               static_cast<std::uint8_t>(rows >> 8)};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes blankBand() { return band(1, 24, Bytes(24, 0)); }

const Bytes kFeed30 = {0x1B, 0x4A, 0x1E};
const Bytes kCut = {0x1D, 0x56, 0x00};
const Bytes kFormFeed = {0x1D, 0x0C};
const Bytes kDrawer = {0x1B, 0x70, 0x00, 0x80, 0x80};
const Bytes kWarning = {0x1B, 0x43, 0x04, 0x02, 0x03};
const Bytes kDensity8 = {0x1B, 0x1F, 0x12, 0x13, 0x14, 0x08};

std::string rowText(const escpos::Paper& paper, int y) {
  std::string s;
  for (int x = 0; x < paper.width(); ++x) s += paper.dot(x, y) ? '#' : '.';
  return s;
}

TEST(EscPosDecoder, BandBitsBecomeDotsMostSignificantBitLeft) {
  const auto paper = escpos::decode(band(2, 3, {0x80, 0x01, 0xF0, 0x0F, 0x00, 0xFF}));
  ASSERT_FALSE(paper.error);
  EXPECT_EQ(paper.width(), 16);
  EXPECT_EQ(paper.height(), 3);
  EXPECT_EQ(rowText(paper, 0), "#..............#");
  EXPECT_EQ(rowText(paper, 1), "####........####");
  EXPECT_EQ(rowText(paper, 2), "........########");
}

TEST(EscPosDecoder, WidthIsTheWidestBandAndNarrowBandsSitLeft) {
  const auto paper = escpos::decode(cat({band(1, 1, {0xFF}), band(3, 1, {0x00, 0x00, 0x01}), band(2, 1, {0xAA, 0})}));
  ASSERT_FALSE(paper.error);
  EXPECT_EQ(paper.width(), 24);
  EXPECT_EQ(rowText(paper, 0), "########................");
  EXPECT_EQ(rowText(paper, 1), ".......................#");
  EXPECT_EQ(rowText(paper, 2), "#.#.#.#.................");
}

TEST(EscPosDecoder, ScaledBandModesDoubleWidthAndHeight) {
  struct Case {
    std::uint8_t mode;
    int width, height;
  };
  for (const Case c : {Case{0, 8, 1}, Case{1, 16, 1}, Case{2, 8, 2}, Case{3, 16, 2}, Case{48, 8, 1}, Case{51, 16, 2}}) {
    const auto paper = escpos::decode(band(1, 1, {0xC0}, c.mode));
    ASSERT_FALSE(paper.error) << int(c.mode);
    EXPECT_EQ(paper.width(), c.width) << int(c.mode);
    EXPECT_EQ(paper.height(), c.height) << int(c.mode);
    EXPECT_EQ(paper.dotsIn(0, 0, 16, 2), 2L * (c.width / 8) * c.height) << int(c.mode);
  }
}

TEST(EscPosDecoder, EveryCommandIsRecordedWithOffsetRowAndValue) {
  const Bytes stream = cat({kWarning, kDensity8, kDrawer, kFormFeed, blankBand(), band(1, 24, Bytes(24, 0x18)),
                            kWarning, kDrawer, {0x1B, 0x4A, 0xFF}, {0x1B, 0x4A, 0x0F}, kCut});
  const auto paper = escpos::decode(stream);
  ASSERT_FALSE(paper.error);
  struct Expected {
    EventKind kind;
    std::size_t offset, length;
    int row, value;
    bool blank;
  };
  const std::vector<Expected> expected = {
      {EventKind::Warning, 0, 5, 0, 0, false},     {EventKind::Density, 5, 6, 0, 8, false},
      {EventKind::DrawerPulse, 11, 5, 0, 0, false}, {EventKind::FormFeed, 16, 2, 0, 0, false},
      {EventKind::Band, 18, 32, 0, 8, true},        {EventKind::Band, 50, 32, 24, 8, false},
      {EventKind::Warning, 82, 5, 48, 0, false},    {EventKind::DrawerPulse, 87, 5, 48, 0, false},
      {EventKind::Feed, 92, 3, 48, 255, false},     {EventKind::Feed, 95, 3, 303, 15, false},
      {EventKind::Cut, 98, 3, 318, 0, false},
  };
  ASSERT_EQ(paper.events.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& e = paper.events[i];
    EXPECT_EQ(e.kind, expected[i].kind) << i;
    EXPECT_EQ(e.offset, expected[i].offset) << i;
    EXPECT_EQ(e.length, expected[i].length) << i;
    EXPECT_EQ(e.row, expected[i].row) << i;
    EXPECT_EQ(e.value, expected[i].value) << i;
    EXPECT_EQ(e.blank, expected[i].blank) << i;
  }
  EXPECT_EQ(paper.height(), 318);  // 48 band rows + 270 fed rows
  EXPECT_EQ(paper.fedRows(), 270);
  EXPECT_EQ(paper.cutRows(), std::vector<int>{318});
  EXPECT_EQ(paper.blankBands(), 1u);
  EXPECT_EQ(paper.count(EventKind::Band), 2u);
  EXPECT_EQ(paper.dotsIn(0, 0, 8, 318), 24L * 2);
  EXPECT_EQ(rowText(paper, 30), "...##...");
}

TEST(EscPosDecoder, CutVariants) {
  struct Case {
    Bytes bytes;
    int value;
    int row;
  };
  for (const Case& c : {Case{{0x1D, 0x56, 0x00}, 0, 0}, Case{{0x1D, 0x56, 0x01}, 1, 0},
                        Case{{0x1D, 0x56, 0x30}, 48, 0}, Case{{0x1D, 0x56, 0x31}, 49, 0},
                        Case{{0x1D, 0x56, 0x41, 0x05}, 65, 5}, Case{{0x1D, 0x56, 0x42, 0x00}, 66, 0}}) {
    const auto paper = escpos::decode(c.bytes);
    ASSERT_FALSE(paper.error) << int(c.bytes[2]);
    ASSERT_EQ(paper.events.size(), 1u);
    EXPECT_EQ(paper.events[0].kind, EventKind::Cut);
    EXPECT_EQ(paper.events[0].value, c.value);
    EXPECT_EQ(paper.events[0].row, c.row) << "a feeding cut cuts after its feed";
    EXPECT_EQ(paper.events[0].length, c.bytes.size());
  }
}

TEST(EscPosDecoder, EmptyStreamIsBlankPaper) {
  const auto paper = escpos::decode({});
  EXPECT_FALSE(paper.error);
  EXPECT_EQ(paper.width(), 0);
  EXPECT_EQ(paper.height(), 0);
  EXPECT_TRUE(paper.events.empty());
}

struct Broken {
  const char* name;
  Bytes bytes;
  std::size_t offset;
  const char* message;
  std::size_t eventsBefore;
};

void PrintTo(const Broken& c, std::ostream* os) { *os << c.name; }

class EscPosDecoderErrors : public ::testing::TestWithParam<Broken> {};

TEST_P(EscPosDecoderErrors, StopAtTheFaultyCommandWithItsOffset) {
  const Broken& c = GetParam();
  const auto paper = escpos::decode(c.bytes);
  ASSERT_TRUE(paper.error);
  EXPECT_EQ(paper.error->offset, c.offset);
  EXPECT_EQ(paper.error->message, c.message);
  EXPECT_EQ(paper.events.size(), c.eventsBefore) << "commands before the fault are kept";
}

INSTANTIATE_TEST_SUITE_P(
    Streams, EscPosDecoderErrors,
    ::testing::Values(
        Broken{"StrayByte", cat({kFeed30, {0x0A}}), 3, "unknown byte 0A outside a command", 1},
        Broken{"EscAt", cat({kCut, {0x1B, 0x40}}), 3, "unknown command 1B 40", 1},
        Broken{"LoneEsc", {0x1B}, 0, "truncated command: needs 2 bytes, 1 left", 0},
        Broken{"BandHeaderShort", {0x1D, 0x76, 0x30, 0x00, 0x01}, 0, "truncated GS v 0 header: needs 8 bytes, 5 left",
               0},
        Broken{"BandDataShort", cat({kFeed30, {0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x18, 0x00}, Bytes(47, 0)}), 3,
               "truncated GS v 0 image: 2 x 24 needs 48 data bytes, 47 left", 1},
        Broken{"GsV1", {0x1D, 0x76, 0x31, 0x00}, 0, "unknown command 1D 76 31", 0},
        Broken{"BandMode", cat({{0x1D, 0x76, 0x30, 0x04, 0x01, 0x00, 0x01, 0x00, 0x00}}), 0,
               "GS v 0 with unknown mode 4", 0},
        Broken{"FeedShort", {0x1B, 0x4A}, 0, "truncated ESC J feed: needs 3 bytes, 2 left", 0},
        Broken{"CutShort", cat({kFormFeed, {0x1D, 0x56}}), 2, "truncated GS V cut: needs 3 bytes, 2 left", 1},
        Broken{"CutMode", {0x1D, 0x56, 0x02}, 0, "GS V with unknown mode 2", 0},
        Broken{"FeedingCutShort", {0x1D, 0x56, 0x41}, 0, "truncated GS V cut with feed: needs 4 bytes, 3 left", 0},
        Broken{"DrawerShort", {0x1B, 0x70, 0x00, 0x80}, 0, "truncated ESC p drawer pulse: needs 5 bytes, 4 left", 0},
        Broken{"DrawerPin", {0x1B, 0x70, 0x02, 0x80, 0x80}, 0, "ESC p with unknown drawer pin 2", 0},
        Broken{"WarningShort", {0x1B, 0x43, 0x04, 0x02}, 0, "truncated warning sequence: needs 5 bytes, 4 left", 0},
        Broken{"WarningOther", {0x1B, 0x43, 0x04, 0x09, 0x03}, 0, "unknown command 1B 43 04 09 (not the warning sequence)",
               0},
        Broken{"DensityShort", cat({kWarning, {0x1B, 0x1F, 0x12, 0x13, 0x14}}), 5,
               "truncated density command: needs 6 bytes, 5 left", 1},
        Broken{"DensityOther", {0x1B, 0x1F, 0x12, 0x00, 0x14, 0x01}, 0,
               "unknown command 1B 1F 12 00 (not the density command)", 0}),
    [](const ::testing::TestParamInfo<Broken>& info) { return std::string(info.param.name); });

TEST(EscPosDecoderSummary, ListsSizeBandsFeedsCutsAndSettings) {
  const auto paper = escpos::decode(cat({kDensity8, kDrawer, blankBand(), band(72, 24, Bytes(72 * 24, 0xFF)),
                                         {0x1B, 0x4A, 0x78}, kCut, band(72, 24, Bytes(72 * 24, 0x01)), kCut}));
  ASSERT_FALSE(paper.error);
  EXPECT_EQ(escpos::summary(paper),
            "paper: 576 x 192 dots (72.1 x 24.0 mm at 203 dpi)\n"
            "bands: 3 (1 blank)\n"
            "feeds: 1 ESC J, 120 rows; 0 GS FF\n"
            "cuts: 2 at rows 168, 192\n"
            "drawer pulses: 1\n"
            "warnings: 0\n"
            "density: 8\n");
}

TEST(EscPosDecoderRender, CutRowsAreInsertedAsDashedRedLines) {
  const auto paper = escpos::decode(cat({band(1, 2, {0xF0, 0x0F}), kCut, kFeed30, kCut}));
  const auto img = escpos::render(paper);
  ASSERT_EQ(img.width, 8);
  ASSERT_EQ(img.height, 2 + 30 + 2);
  auto px = [&](int x, int y) {
    const auto* p = &img.pixels[(static_cast<std::size_t>(y) * img.width + x) * 3];
    return (p[0] << 16) | (p[1] << 8) | p[2];
  };
  const int black = 0x000000, white = 0xFFFFFF, red = 0xFF0000;
  for (int x = 0; x < 8; ++x) {
    EXPECT_EQ(px(x, 0), x < 4 ? black : white) << x;
    EXPECT_EQ(px(x, 1), x < 4 ? white : black) << x;
    EXPECT_EQ(px(x, 2), x < 4 ? red : white) << "first cut after row 2, x " << x;
    EXPECT_EQ(px(x, 3), white) << x;
    EXPECT_EQ(px(x, 33), x < 4 ? red : white) << "second cut after the feed, x " << x;
  }
}

}  // namespace
