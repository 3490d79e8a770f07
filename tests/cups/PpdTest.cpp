// The shipped PPDs as CUPS reads them: cupstestppd's verdict, the options
// and choices the filter looks up, and the raster headers that CUPS derives
// from the colour and page size choices.
#include "CupsTestSupport.h"

#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Model {
  const char* ppd;
  unsigned dots;  // head width
  double widthPoints;
};
const Model kModels[] = {{"lf80mm.ppd", 576, 204.3}, {"lf58mm.ppd", 384, 136.2}};

using PpdPtr = std::unique_ptr<ppd_file_t, decltype(&ppdClose)>;

PpdPtr openPpd(const char* name) {
  return PpdPtr(ppdOpenFile(cupstest::ppdPath(name).c_str()), &ppdClose);
}

void PrintTo(const Model& m, std::ostream* os) { *os << m.ppd; }

class ShippedPpd : public ::testing::TestWithParam<Model> {};

TEST_P(ShippedPpd, CupstestppdFindsNoErrors) {
  // -I filters: the filter is not installed on the build machine.
  const auto r = cupstest::run({"cupstestppd", "-I", "filters", cupstest::ppdPath(GetParam().ppd).string()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(": PASS"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
}

TEST_P(ShippedPpd, RunsLabelfilterOnCupsRaster) {
  auto ppd = openPpd(GetParam().ppd);
  ASSERT_TRUE(ppd);
  ASSERT_EQ(ppd->num_filters, 1);
  EXPECT_STREQ(ppd->filters[0], "application/vnd.cups-raster 0 labelfilter");
}

struct OfferedOption {
  const char* keyword;
  std::vector<const char*> choices;
  const char* defaultChoice;
};

// Keywords and choice strings exactly as the filter compares them.
const std::vector<OfferedOption> kOptions = {
    {"Dithering", {"None", "Halftone", "OrderDithering", "ErrorDiffusion"}, "ErrorDiffusion"},
    {"MirrorImage", {"False", "True"}, "False"},
    {"NegativeImage", {"False", "True"}, "False"},
    {"Origin", {"Rotation0", "Rotation90", "Rotation180", "Rotation270"}, "Rotation0"},
    {"Warning", {"0", "1", "2"}, "0"},
    {"PrintDensity", {"0", "1", "2", "3", "4", "5", "6", "7", "8"}, "0"},
    {"CashDrawer", {"0", "1", "2"}, "0"},
    {"PageEnd", {"0", "1", "2"}, "0"},
    {"FeedAfterPrinting", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13"}, "4"},
    {"Cutting", {"0", "1", "2"}, "2"},
    {"ColorModel", {"Gray"}, "Gray"},
    {"LeadingBlank", {"Keep", "0mm", "3mm", "6mm"}, "3mm"},
};

TEST_P(ShippedPpd, OffersEveryFilterOptionWithReadableTexts) {
  auto ppd = openPpd(GetParam().ppd);
  ASSERT_TRUE(ppd);
  for (const auto& offered : kOptions) {
    ppd_option_t* option = ppdFindOption(ppd.get(), offered.keyword);
    ASSERT_NE(option, nullptr) << offered.keyword;
    EXPECT_EQ(option->ui, PPD_UI_PICKONE) << offered.keyword;
    EXPECT_STREQ(option->defchoice, offered.defaultChoice) << offered.keyword;
    EXPECT_STRNE(option->text, offered.keyword) << offered.keyword << " needs a human-readable name";
    ASSERT_EQ(option->num_choices, static_cast<int>(offered.choices.size())) << offered.keyword;
    for (int i = 0; i < option->num_choices; ++i) {
      EXPECT_STREQ(option->choices[i].choice, offered.choices[i]) << offered.keyword;
      EXPECT_STRNE(option->choices[i].text, option->choices[i].choice) << offered.keyword << " " << offered.choices[i];
    }
  }
}

TEST_P(ShippedPpd, DefaultsMarkTheExpectedChoices) {
  auto ppd = openPpd(GetParam().ppd);
  ASSERT_TRUE(ppd);
  ppdMarkDefaults(ppd.get());
  for (const auto& offered : kOptions) {
    ppd_choice_t* marked = ppdFindMarkedChoice(ppd.get(), offered.keyword);
    ASSERT_NE(marked, nullptr) << offered.keyword;
    EXPECT_STREQ(marked->choice, offered.defaultChoice) << offered.keyword;
  }
}

struct ColourCase {
  const char* colorModel;
  unsigned colorSpace, bitsPerColor, bitsPerPixel;
};

// Only 8-bit grey prints upright with the default orientation; jobs and
// queues that name the colour modes of earlier PPDs fall back to it.
TEST_P(ShippedPpd, ColourModelsGiveTheRasterTheFilterExpects) {
  const Model& model = GetParam();
  for (const ColourCase c : {ColourCase{"Gray", CUPS_CSPACE_K, 8, 8}, ColourCase{"Mono", CUPS_CSPACE_K, 8, 8},
                             ColourCase{"RGB", CUPS_CSPACE_K, 8, 8}}) {
    auto ppd = openPpd(model.ppd);
    ASSERT_TRUE(ppd);
    ppdMarkDefaults(ppd.get());
    ppdMarkOption(ppd.get(), "ColorModel", c.colorModel);
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    ASSERT_EQ(cupsRasterInterpretPPD(&header, ppd.get(), 0, nullptr, nullptr), 0) << cupsRasterErrorString();
    EXPECT_EQ(header.cupsColorSpace, c.colorSpace) << c.colorModel;
    EXPECT_EQ(header.cupsBitsPerColor, c.bitsPerColor) << c.colorModel;
    EXPECT_EQ(header.cupsBitsPerPixel, c.bitsPerPixel) << c.colorModel;
    EXPECT_EQ(header.HWResolution[0], 203u);
    EXPECT_EQ(header.HWResolution[1], 203u);
    EXPECT_EQ(header.cupsWidth, model.dots) << c.colorModel;
    EXPECT_EQ(header.cupsBytesPerLine, model.dots * c.bitsPerPixel / 8) << c.colorModel;
  }
}

TEST_P(ShippedPpd, EveryRollSizeIsExactlyTheHeadWidth) {
  const Model& model = GetParam();
  auto ppd = openPpd(model.ppd);
  ASSERT_TRUE(ppd);
  ASSERT_GE(ppd->num_sizes, 5);
  int rolls = 0;
  for (int i = 0; i < ppd->num_sizes; ++i) {
    const ppd_size_t& size = ppd->sizes[i];
    if (std::strcmp(size.name, "Custom") == 0) continue;
    ++rolls;
    EXPECT_NEAR(size.width, model.widthPoints, 0.01) << size.name;
    EXPECT_EQ(std::lround(size.width * 203.0 / 72.0), static_cast<long>(model.dots)) << size.name;
    EXPECT_EQ(size.left, 0.0f) << size.name;
    EXPECT_NEAR(size.right, size.width, 0.01) << size.name << " has no margins";
    // Every roll size has its own page size code with the exact width, so
    // that the renderer makes a raster of exactly the head width.
    auto* choice = ppdFindChoice(ppdFindOption(ppd.get(), "PageSize"), size.name);
    ASSERT_NE(choice, nullptr) << size.name;
    ppdMarkDefaults(ppd.get());
    ppdMarkOption(ppd.get(), "PageSize", size.name);
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    ASSERT_EQ(cupsRasterInterpretPPD(&header, ppd.get(), 0, nullptr, nullptr), 0) << size.name;
    EXPECT_EQ(header.cupsWidth, model.dots) << size.name;
    EXPECT_EQ(header.cupsHeight, static_cast<unsigned>(std::lround(size.length * 203.0 / 72.0))) << size.name;
  }
  EXPECT_EQ(rolls, 5);
  EXPECT_TRUE(ppd->variable_sizes) << "custom lengths must be possible";
  EXPECT_NEAR(ppd->custom_max[0], model.widthPoints, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Models, ShippedPpd, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<Model>& info) {
                           return std::string(info.param.ppd[2] == '8' ? "Roll80mm" : "Roll58mm");
                         });

}  // namespace
