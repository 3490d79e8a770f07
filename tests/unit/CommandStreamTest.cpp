#include <gtest/gtest.h>

#include "CommandStream.h"
#include "PrintSettings.h"
#include "TestSupport.h"

namespace {

// Describes a stream made only of bands: "B" for a blank band, "I<first row>"
// for an image band, checking every band's bytes on the way.
std::string Bands(const Stream& s, const Bytes& picture, size_t stride, size_t rows, uint8_t pad) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    if (!out.empty()) out += " ";
    const Bytes head(s.begin() + i, s.begin() + i + 8);
    if (head == Bytes{0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x18, 0x00}) {
      for (size_t k = 0; k < 24; ++k) EXPECT_EQ(s[i + 8 + k], 0);
      out += "B";
      i += 32;
      continue;
    }
    EXPECT_EQ(Hex(head), Hex({0x1D, 0x76, 0x30, 0x00, uint8_t(stride % 256), uint8_t(stride / 256), 0x18, 0x00}));
    // Find which grid band this is by matching its rows.
    size_t first = SIZE_MAX;
    for (size_t b = 0; b * 24 < rows && first == SIZE_MAX; ++b) {
      bool same = true;
      for (size_t r = 0; r < 24 && same; ++r)
        for (size_t c = 0; c < stride && same; ++c) {
          const size_t row = b * 24 + r;
          const uint8_t want = row < rows ? picture[row * stride + c] : pad;
          same = s[i + 8 + r * stride + c] == want;
        }
      if (same) first = b * 24;
    }
    out += "I" + std::to_string(first);
    i += 8 + 24 * stride;
  }
  return out;
}

Bytes PictureWithDots(size_t rows, size_t stride, std::initializer_list<size_t> dotRows) {
  Bytes p(rows * stride, 0);
  for (size_t r : dotRows) p[r * stride] = static_cast<uint8_t>(0x80 | r);  // distinct rows
  return p;
}

}  // namespace

TEST(AppendBands, FollowsTheBandGrid) {
  struct Case {
    size_t rows;
    std::initializer_list<size_t> dots;
    std::string bands;
  } cases[] = {
      {100, {30}, "B I24"},
      {100, {23}, "I0"},
      {100, {24}, "B I24"},
      {100, {70}, "B B I48"},
      {100, {5, 60}, "I0 B I48"},
      {100, {}, ""},
      {0, {}, ""},
      {30, {29}, "B I24"},
      {1, {0}, "I0"},
      {200, {0, 199}, "I0 B B B B B B B I192"},
      {48, {23, 24}, "I0 I24"},
  };
  for (const auto& c : cases) {
    const size_t stride = 4;
    Bytes pic = PictureWithDots(c.rows, stride, c.dots);
    Stream s;
    AppendBands(s, pic, stride, c.rows, 0x00);
    EXPECT_EQ(Bands(s, pic, stride, c.rows, 0x00), c.bands) << c.rows << " rows";
  }
}

TEST(AppendBands, PadsTheLastBandWithWhiteRowsOfThePolarity) {
  Bytes pic(30 * 2, 0xFF);  // negative print: white rows are FF and not blank
  Stream s;
  AppendBands(s, pic, 2, 30, 0xFF);
  ASSERT_EQ(s.size(), 2 * (8 + 24 * 2u));
  EXPECT_TRUE(std::all_of(s.begin() + 8 + 48 + 8, s.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST(AppendBands, DeclaresTheStrideInTheBandHeader) {
  for (auto [stride, header] : {std::pair<size_t, std::string>{72, "1D 76 30 00 48 00 18 00"},
                                {300, "1D 76 30 00 2C 01 18 00"},
                                {256, "1D 76 30 00 00 01 18 00"}}) {
    Bytes pic(stride, 0x01);
    Stream s;
    AppendBands(s, pic, stride, 1, 0x00);
    EXPECT_EQ(Hex(Bytes(s.begin(), s.begin() + 8)), header);
    EXPECT_EQ(s.size(), 8 + 24 * stride);
  }
}

TEST(HeadAndTail, AppendCommandsInTheirOrder) {
  PrintSettings head;
  head.warning = Placement::Head;
  head.density = 5;
  head.drawerPulse = Placement::Head;
  head.feedToMark = true;
  head.nDistance = 60;
  Stream s;
  AppendHead(s, head);
  EXPECT_EQ(Hex(s), "1B 43 04 02 03 1B 1F 12 13 14 05 1B 70 00 80 80 1D 0C");
  s.clear();
  AppendTail(s, head);
  EXPECT_EQ(Hex(s), "1B 4A 3C");

  PrintSettings tail;
  tail.warning = Placement::Tail;
  tail.drawerPulse = Placement::Tail;
  tail.nDistance = FeedDistance(2);
  tail.cutEveryPage = true;
  s.clear();
  AppendHead(s, tail);
  EXPECT_TRUE(s.empty());
  AppendTail(s, tail);
  EXPECT_EQ(Hex(s), "1B 43 04 02 03 1B 70 00 80 80 1B 4A 3C 1D 56 00");
}

TEST(HeadAndTail, FeedsInStepsOf255) {
  struct { int choice; std::string bytes; } cases[] = {
      {1, "1B 4A 1E"},
      {9, "1B 4A FF 1B 4A 0F"},
      {13, "1B 4A FF 1B 4A FF 1B 4A D2"},
      {14, "1B 4A FF 1B 4A FF 1B 4A D2"},  // past the table: as far as 13
      {2147483647, "1B 4A FF 1B 4A FF 1B 4A D2"},
      {0, ""},
      {-3, ""},
  };
  for (const auto& c : cases) {
    PrintSettings p;
    p.nDistance = FeedDistance(c.choice);
    Stream s;
    AppendTail(s, p);
    EXPECT_EQ(Hex(s), c.bytes) << "choice " << c.choice;
  }
}

TEST(StreamCapacity, HoldsTheLongestStreamOfAnyPicture) {
  // Worst case: every band of the grid an image band, all head and tail commands.
  for (auto [stride, rows] : {std::pair<size_t, size_t>{0, 0}, {1, 1}, {1, 0}, {72, 23}, {72, 24}, {72, 25}, {3, 1000}}) {
    const size_t bands = (rows + 23) / 24;
    EXPECT_GE(StreamCapacity(stride, rows), 18 + 22 + bands * std::max<size_t>(32, 8 + 24 * stride));
  }
  EXPECT_EQ(StreamCapacity(SIZE_MAX / 2, 48), 0u);
}

// Settings read through libcups from a real PPD with marked choices.
class PrintSettingsFromPpd : public ::testing::Test {
 protected:
  PrintSettings Read(const std::vector<PpdOption>& options, const std::string& jobOptions = "") {
    const std::string path = dir_.Write("test.ppd", MakePpd(options));
    ppd_file_t* ppd = ppdOpenFile(path.c_str());
    EXPECT_NE(ppd, nullptr);
    ppdMarkDefaults(ppd);
    cups_option_t* opts = nullptr;
    int n = cupsParseOptions(jobOptions.c_str(), 0, &opts);
    cupsMarkOptions(ppd, n, opts);
    cupsFreeOptions(n, opts);
    PrintSettings s = ReadPrintSettings(ppd);
    cutAtEnd_ = CutAtJobEnd(ppd);
    ppdClose(ppd);
    return s;
  }
  TempDir dir_;
  bool cutAtEnd_ = false;
};

TEST_F(PrintSettingsFromPpd, AbsentOptionsGiveNormalPrintWithAHalfTurn) {
  PrintSettings s = Read({});
  EXPECT_EQ(s.nMirror, 0);
  EXPECT_EQ(s.nInverse, 0);
  EXPECT_EQ(s.nDirection, 0);
  EXPECT_FALSE(s.density || s.cashDrawer || s.feedToMark || s.cutEveryPage || cutAtEnd_);
  EXPECT_EQ(s.nDistance, 0);
}

TEST_F(PrintSettingsFromPpd, ChoicesCompareWithoutCase) {
  std::vector<PpdOption> o = {{"MirrorImage", {"False", "true", "TRUE"}, "TRUE"},
                              {"NegativeImage", {"False", "True"}, "true"},
                              {"Origin", {"Rotation0", "Rotation90", "Rotation180", "Rotation270", "Other"}, "ROTATION180"}};
  PrintSettings s = Read(o);
  EXPECT_EQ(s.nMirror, 1);
  EXPECT_EQ(s.nDirection, 2);
  EXPECT_EQ(Read(o, "MirrorImage=False Origin=Rotation270").nDirection, 3);
  EXPECT_EQ(Read(o, "MirrorImage=False").nMirror, 0);
  EXPECT_EQ(Read(o, "Origin=Other").nDirection, 0);
  EXPECT_EQ(Read(o, "Origin=Rotation90").nDirection, 1);
}

TEST_F(PrintSettingsFromPpd, DensityTakesTheLowByteOfTheNumber) {
  std::vector<PpdOption> o = {{"PrintDensity", {"0", "8", "300", "Default", "99999999999"}}};
  EXPECT_FALSE(Read(o).density);
  EXPECT_EQ(Read(o, "PrintDensity=8").density, 8);
  EXPECT_EQ(Read(o, "PrintDensity=300").density, 0x2C);
  EXPECT_EQ(Read(o, "PrintDensity=Default").density, 0);
  EXPECT_EQ(Read(o, "PrintDensity=99999999999").density, 0xFF);
}

TEST_F(PrintSettingsFromPpd, PlacesDrawerWarningAndCut) {
  std::vector<PpdOption> o = {{"CashDrawer", {"0", "1", "2"}}, {"Warning", {"0", "1", "2"}},
                              {"Cutting", {"0", "1", "2"}}, {"PageEnd", {"0", "1", "2"}},
                              {"FeedAfterPrinting", {"0", "5", "13", "20", "none"}}};
  PrintSettings s = Read(o);
  EXPECT_EQ(s.cashDrawer, "0");
  EXPECT_EQ(s.drawerPulse, Placement::None);
  s = Read(o, "CashDrawer=2 Warning=1 Cutting=1 PageEnd=2 FeedAfterPrinting=5");
  EXPECT_EQ(s.drawerPulse, Placement::Tail);
  EXPECT_EQ(s.warning, Placement::Head);
  EXPECT_TRUE(s.cutEveryPage && s.feedToMark);
  EXPECT_FALSE(cutAtEnd_);
  EXPECT_EQ(s.nDistance, 150);
  s = Read(o, "Cutting=2 FeedAfterPrinting=20");
  EXPECT_FALSE(s.cutEveryPage);
  EXPECT_TRUE(cutAtEnd_);
  EXPECT_EQ(s.nDistance, 720);
  EXPECT_EQ(Read(o, "FeedAfterPrinting=none").nDistance, 0);
}
