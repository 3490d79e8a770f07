// Drives the page pipeline in-process from fuzzed header fields, pixel bytes
// and option choices. The header never passes libcups' own checks, so the
// filter's checks are what stands between it and the conversion.
//
// Input: width, height, cupsBytesPerLine and NumCopies as big-endian 32-bit
// words, cupsBitsPerPixel as one byte, one byte per PPD option, then the
// page's lines back to back.
#include "FuzzSupport.h"

namespace {
ppd_file_t* fuzzPpd = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzPpd = ppdOpenFile(WriteFuzzPpd().c_str());
  return fuzzPpd ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in({data, size});
  cups_page_header2_t header{};
  header.cupsWidth = in.Word();
  header.cupsHeight = in.Word();
  header.cupsBytesPerLine = in.Word();
  header.NumCopies = in.Word() % 4;  // copies only repeat the same bytes
  header.cupsBitsPerPixel = in.Byte();
  header.HWResolution[0] = header.HWResolution[1] = 203;

  ppdMarkDefaults(fuzzPpd);
  cups_option_t* options = nullptr;
  std::string job = JobOptions(in);
  int num_options = cupsParseOptions(job.c_str(), 0, &options);
  cupsMarkOptions(fuzzPpd, num_options, options);
  cupsFreeOptions(num_options, options);

  // Page buffers past 1 GiB are refused or allowed by the filter just as
  // smaller ones are (the end-to-end tests run them under an address-space
  // limit); here their shadow memory would only exhaust the fuzzer's.
  if (uint64_t{header.cupsBytesPerLine} * (uint64_t{header.cupsHeight} + 1) > (uint64_t{1} << 30)) return 0;

  Page = 1;
  Canceled = 0;
  if (StartPage(fuzzPpd, header)) {
    // The lines the input holds, as the page loop would have read them.
    const size_t bpl = header.cupsBytesPerLine;
    const size_t available = bpl ? in.Rest().size() / bpl : 0;
    const unsigned y = static_cast<unsigned>(std::min<size_t>(header.cupsHeight, available));
    if (y > 0) std::memcpy(Buffer.get(), in.Rest().data(), size_t{y} * bpl);
    Bitmap pDataBuf;
    PrintPage(fuzzPpd, header, y, pDataBuf);
  }
  Buffer.reset();
  BufferSize = 0;
  std::clearerr(stdout);
  return 0;
}
