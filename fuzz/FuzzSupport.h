// Shared by the fuzz harnesses and their corpus writer: every option the
// filter reads with ordinary and odd choices, the PPD that offers them, and
// a reader of values off the front of a fuzz input.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

struct FuzzOption {
  const char* keyword;
  std::vector<const char*> choices;
};

// Every option the filter reads; the last choices of each are ones a PPD
// author might get wrong.
inline const std::vector<FuzzOption>& FuzzOptions() {
  static const std::vector<FuzzOption> options = {
      {"Dithering", {"None", "Halftone", "OrderDithering", "ErrorDiffusion", "errordiffusion", "Bogus"}},
      {"MirrorImage", {"False", "True", "TRUE"}},
      {"NegativeImage", {"False", "True"}},
      {"Origin", {"Rotation0", "Rotation90", "Rotation180", "Rotation270", "Rotation45"}},
      {"Warning", {"0", "1", "2", "3"}},
      {"PrintDensity", {"0", "5", "8", "300", "Default", "-7", "99999999999999999999"}},
      {"CashDrawer", {"0", "1", "2", "Both"}},
      {"PageEnd", {"0", "1", "2"}},
      {"FeedAfterPrinting", {"0", "1", "9", "12", "13", "14", "255", "-1", "99999999999", "x"}},
      {"Cutting", {"0", "1", "2", "3"}},
      {"LeadingBlank", {"Keep", "0mm", "1mm", "3mm", "10mm", "1000mm", "1001mm", "99999999999mm", "mm3"}},
  };
  return options;
}

// Writes the fuzzing PPD and returns its path.
inline std::string WriteFuzzPpd() {
  const std::string path = "/tmp/labelfilter-fuzz-" + std::to_string(getpid()) + ".ppd";
  std::ofstream ppd(path);
  ppd << "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
         "*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n*Manufacturer: \"Fuzz\"\n"
         "*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n*ShortNickName: \"Fuzz\"\n*NickName: \"Fuzz\"\n"
         "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n*DefaultColorSpace: Gray\n"
         "*FileSystem: False\n*Throughput: \"1\"\n*LandscapeOrientation: Plus90\n*TTRasterizer: Type42\n"
         "*cupsVersion: 2.4\n*cupsFilter: \"application/vnd.cups-raster 0 labelfilter\"\n";
  for (const FuzzOption& o : FuzzOptions()) {
    ppd << "*OpenUI *" << o.keyword << ": PickOne\n*Default" << o.keyword << ": " << o.choices[0] << "\n";
    for (const char* c : o.choices) ppd << "*" << o.keyword << " " << c << ": \"\"\n";
    ppd << "*CloseUI: *" << o.keyword << "\n";
  }
  return path;
}

// Reads values off the front of a fuzz input; past its end every value is 0.
class FuzzInput {
 public:
  explicit FuzzInput(std::span<const uint8_t> data) : data_(data) {}
  uint8_t Byte() { return data_.empty() ? 0 : Take(1)[0]; }
  uint32_t Word16() { return uint32_t{Byte()} << 8 | Byte(); }
  std::span<const uint8_t> Take(size_t n) {
    n = std::min(n, data_.size());
    auto head = data_.first(n);
    data_ = data_.subspan(n);
    return head;
  }
  std::span<const uint8_t> Rest() const { return data_; }

 private:
  std::span<const uint8_t> data_;
};

// The job options a run of option bytes selects, one byte per option.
inline std::string JobOptions(FuzzInput& in) {
  std::string options;
  for (const FuzzOption& o : FuzzOptions()) {
    const uint8_t pick = in.Byte();
    if (pick >= o.choices.size()) continue;  // leave the PPD default
    options += std::string(options.empty() ? "" : " ") + o.keyword + "=" + o.choices[pick];
  }
  return options;
}
