// Feeds arbitrary bytes to the whole filter as a raster stream read through
// libcups, with job options drawn from the input: the filter's own
// translation unit, compiled in with its entry point renamed.
//
// Input: one byte per PPD option (see FuzzOptions), then the raster stream.
#define main LabelfilterMain
#include "../filter/labelfilter.cpp"
#undef main

#include "FuzzSupport.h"

namespace {
std::string ppdPath, rasterPath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ppdPath = WriteFuzzPpd();
  rasterPath = "/tmp/labelfilter-fuzz-" + std::to_string(getpid()) + ".ras";
  setenv("PPD", ppdPath.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in({data, size});
  std::string options = JobOptions(in);
  {
    std::ofstream raster(rasterPath, std::ios::binary | std::ios::trunc);
    raster.write(reinterpret_cast<const char*>(in.Rest().data()), static_cast<std::streamsize>(in.Rest().size()));
  }
  char* argv[] = {const_cast<char*>("labelfilter"), const_cast<char*>("1"), const_cast<char*>("fuzz"),
                  const_cast<char*>("fuzz"), const_cast<char*>("1"), options.data(), rasterPath.data(), nullptr};
  OutputFailed = false;  // as in a fresh process: one job's dead printer is not the next one's
  LabelfilterMain(7, argv);
  return 0;
}
