// labelfilter: CUPS raster to ESC/POS filter for thermal receipt and label
// printers.
//
// Usage: labelfilter job-id user title copies options [raster-file]
//
// The scheduler starts it once per job with the printer's PPD in $PPD. Each
// raster page is read whole, turned into a 1-bit page (1-bit rasters as they
// are, 8-bit grey and 24-bit colour through the bilevel conversion) and sent
// as GS v 0 raster bands framed by the commands the PPD options ask for.
// Standard error carries the scheduler's log lines and a trace of each step.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <new>
#include <span>
#include <strings.h>
#include <unistd.h>

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include "BilevelConversion.h"
#include "BitmapTransforms.h"
#include "CommandStream.h"
#include "DebugFile.h"
#include "PrintSettings.h"
#include "SizeMath.h"

// libcups' localised error reporter, exported for filters but not declared
// in its public headers.
extern "C" int _cupsLangPrintError(const char* prefix, const char* message);

// Pages started in this job; decides the exit status.
static int Page = 0;

// Set by CancelJob when the scheduler cancels the job; polled by the page
// loop after each header, before each line and after each page.
static volatile sig_atomic_t Canceled = 0;

// The current page's raster lines, back to back; lives until the next page
// starts or the job ends.
static std::unique_ptr<uint8_t[]> Buffer;
static size_t BufferSize = 0;

// Longest page accepted, in rows: two kilometres of paper at 203 dpi. Longer
// headers are damaged, and their row counts would overflow the progress
// arithmetic.
static constexpr uint32_t kMaxPageRows = 1u << 24;

// Diagnostic dumps of the last 8-bit page, as read and as expanded.
static constexpr const char* kRasterDumpPath = "/tmp/Buffer.data";
static constexpr const char* kExpandedDumpPath = "/tmp/pBuf.data";

static unsigned Low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// A header field as the number the stream carries. Enumerated fields come
// straight from the stream and may hold values outside their enumeration,
// which must not be loaded as the enumeration type.
template <typename Field>
static int Raw(const Field& field) {
  static_assert(sizeof(Field) == sizeof(int));
  int value;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// Job set-up hook: nothing to prepare for these printers.
static void Setup(ppd_file_t*) {}

// Why a page header cannot be printed safely, or null when it can.
static const char* HeaderFault(const cups_page_header2_t& h) {
  if (uint64_t{h.cupsBytesPerLine} * 8 < uint64_t{h.cupsWidth} * h.cupsBitsPerPixel)
    return "cupsBytesPerLine is smaller than cupsWidth pixels at cupsBitsPerPixel need";
  if (h.cupsBytesPerLine > INT32_MAX) return "cupsBytesPerLine is larger than 2147483647";
  if (h.cupsWidth > kMaxPageRows) return "cupsWidth is larger than 16777216";
  if (h.cupsHeight > kMaxPageRows) return "cupsHeight is larger than 16777216";
  return nullptr;
}

// Logs the page header and allocates its page buffer; false when the page
// is refused (with one log line saying why).
static bool StartPage(ppd_file_t*, const cups_page_header2_t& header) {
  std::fputs("ERROR: StartPage...\n", stderr);
  std::fprintf(stderr, "DEBUG: MediaClass = \"%s\"\n", header.MediaClass);
  std::fprintf(stderr, "DEBUG: MediaColor = \"%s\"\n", header.MediaColor);
  std::fprintf(stderr, "DEBUG: MediaType = \"%s\"\n", header.MediaType);
  std::fprintf(stderr, "DEBUG: OutputType = \"%s\"\n", header.OutputType);
  std::fprintf(stderr, "DEBUG: AdvanceDistance = %d\n", Raw(header.AdvanceDistance));
  std::fprintf(stderr, "DEBUG: AdvanceMedia = %d\n", Raw(header.AdvanceMedia));
  std::fprintf(stderr, "DEBUG: Collate = %d\n", Raw(header.Collate));
  std::fprintf(stderr, "DEBUG: CutMedia = %d\n", Raw(header.CutMedia));
  std::fprintf(stderr, "DEBUG: Duplex = %d\n", Raw(header.Duplex));
  std::fprintf(stderr, "DEBUG: HWResolution = [ %d %d ]\n", Raw(header.HWResolution[0]),
               Raw(header.HWResolution[1]));
  std::fprintf(stderr, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n",
               Raw(header.ImagingBoundingBox[0]), Raw(header.ImagingBoundingBox[1]),
               Raw(header.ImagingBoundingBox[2]), Raw(header.ImagingBoundingBox[3]));
  std::fprintf(stderr, "DEBUG: InsertSheet = %d\n", Raw(header.InsertSheet));
  std::fprintf(stderr, "DEBUG: Jog = %d\n", Raw(header.Jog));
  std::fprintf(stderr, "DEBUG: LeadingEdge = %d\n", Raw(header.LeadingEdge));
  std::fprintf(stderr, "DEBUG: Margins = [ %d %d ]\n", Raw(header.Margins[0]),
               Raw(header.Margins[1]));
  std::fprintf(stderr, "DEBUG: ManualFeed = %d\n", Raw(header.ManualFeed));
  std::fprintf(stderr, "DEBUG: MediaPosition = %d\n", Raw(header.MediaPosition));
  std::fprintf(stderr, "DEBUG: MediaWeight = %d\n", Raw(header.MediaWeight));
  std::fprintf(stderr, "DEBUG: MirrorPrint = %d\n", Raw(header.MirrorPrint));
  std::fprintf(stderr, "DEBUG: NegativePrint = %d\n", Raw(header.NegativePrint));
  std::fprintf(stderr, "DEBUG: NumCopies = %d\n", Raw(header.NumCopies));
  std::fprintf(stderr, "ERROR: Orientation = %d\n", Raw(header.Orientation));
  std::fprintf(stderr, "DEBUG: OutputFaceUp = %d\n", Raw(header.OutputFaceUp));
  std::fprintf(stderr, "ERROR: PageSize = [ %d %d ]\n", Raw(header.PageSize[0]),
               Raw(header.PageSize[1]));
  std::fprintf(stderr, "DEBUG: Separations = %d\n", Raw(header.Separations));
  std::fprintf(stderr, "DEBUG: TraySwitch = %d\n", Raw(header.TraySwitch));
  std::fprintf(stderr, "DEBUG: Tumble = %d\n", Raw(header.Tumble));
  std::fprintf(stderr, "ERROR: cupsWidth = %d\n", Raw(header.cupsWidth));
  std::fprintf(stderr, "ERROR: cupsHeight = %d\n", Raw(header.cupsHeight));
  std::fprintf(stderr, "DEBUG: cupsMediaType = %d\n", Raw(header.cupsMediaType));
  std::fprintf(stderr, "DEBUG: cupsBitsPerColor = %d\n", Raw(header.cupsBitsPerColor));
  std::fprintf(stderr, "ERROR: cupsBitsPerPixel = %d\n", Raw(header.cupsBitsPerPixel));
  std::fprintf(stderr, "DEBUG: cupsBytesPerLine = %d\n", Raw(header.cupsBytesPerLine));
  std::fprintf(stderr, "DEBUG: cupsColorOrder = %d\n", Raw(header.cupsColorOrder));
  std::fprintf(stderr, "DEBUG: cupsColorSpace = %d\n", Raw(header.cupsColorSpace));
  std::fprintf(stderr, "DEBUG: cupsCompression = %d\n", Raw(header.cupsCompression));
  std::fprintf(stderr, "DEBUG: cupsRowCount = %d\n", Raw(header.cupsRowCount));
  std::fprintf(stderr, "DEBUG: cupsRowFeed = %d\n", Raw(header.cupsRowFeed));
  std::fprintf(stderr, "DEBUG: cupsRowStep = %d\n", Raw(header.cupsRowStep));

  Buffer.reset();
  BufferSize = 0;
  if (const char* fault = HeaderFault(header)) {
    std::fprintf(stderr,
                 "ERROR: Page %d refused: %s (cupsWidth=%u cupsHeight=%u cupsBitsPerPixel=%u cupsBytesPerLine=%u)\n",
                 Page, fault, header.cupsWidth, header.cupsHeight, header.cupsBitsPerPixel, header.cupsBytesPerLine);
    return false;
  }
  // One line more than the page has, as the buffer always had.
  const size_t size = size_t{header.cupsBytesPerLine} * (size_t{header.cupsHeight} + 1);
  Buffer.reset(new (std::nothrow) uint8_t[size]);
  if (!Buffer) {
    std::fprintf(stderr,
                 "ERROR: Page %d refused: no memory for cupsBytesPerLine=%u x (cupsHeight=%u + 1) = %zu bytes\n",
                 Page, header.cupsBytesPerLine, header.cupsHeight, size);
    return false;
  }
  BufferSize = size;
  return true;
}

// Ends the page; the printer needs nothing between pages.
static void EndPage(ppd_file_t*, const cups_page_header2_t&) { std::fputs("ERROR: Enter EndPage\n", stderr); }

// SIGTERM handler: the scheduler cancels the job.
static void CancelJob(int) { Canceled = 1; }

// Reads the raster stream; a read interrupted by the cancel signal ends the
// stream instead of waiting for more data that may never come.
static ssize_t ReadRaster(void* ctx, unsigned char* buffer, size_t length) {
  const int fd = *static_cast<int*>(ctx);
  for (;;) {
    ssize_t n = ::read(fd, buffer, length);
    if (n >= 0 || errno != EINTR) return n;
    if (Canceled) {
      errno = ECANCELED;
      return -1;
    }
  }
}

// Gives a buffer's memory back (clear() alone keeps its capacity).
static void Release(Bitmap& buffer) { Bitmap().swap(buffer); }

// Writes a diagnostic dump; a dump that cannot be written is skipped.
static void Dump(const char* path, std::span<const uint8_t> bytes) {
  if (UniqueFile f = OpenDiagnosticFile(path)) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
}

// Conversion mode selected by the "Dithering" choice.
static int DitheringMode(ppd_file_t* ppd) {
  const auto choice = MarkedChoice(ppd, "Dithering");
  if (!choice) return 0;
  constexpr const char* kModes[] = {"None", "Halftone", "OrderDithering", "ErrorDiffusion"};
  for (int mode = 0; mode < 4; ++mode)
    if (strcasecmp(choice->c_str(), kModes[mode]) == 0) return mode;
  return 0;
}

// Turns a 24-bit page, converted in place, into the 1-bit page in pDataBuf.
static void NormalizeColorPage(const cups_page_header2_t& header, std::span<uint8_t> page, unsigned y,
                               Bitmap& pDataBuf) {
  const size_t bytesPerLine = header.cupsBytesPerLine;
  Release(pDataBuf);  // before the new page's buffer, as the old one may be large
  // The 1-bit rows outgrow the raster rows of very narrow pages.
  pDataBuf.assign(CheckedMul(std::max(bytesPerLine, BitmapStride(header.cupsWidth)), y), 0xFF);
  Color2BW(page.first(bytesPerLine * y), pDataBuf, static_cast<int>(header.cupsWidth), static_cast<int>(y),
           static_cast<int>(bytesPerLine), 100, 0);
}

// Expands an 8-bit grey page into an inverted 24-bit page, converts it by the
// "Dithering" choice and mirrors the 1-bit result into pDataBuf.
static void NormalizeGreyPage(ppd_file_t* ppd, const cups_page_header2_t& header, std::span<const uint8_t> page,
                              unsigned y, Bitmap& pDataBuf) {
  const size_t width = header.cupsWidth, bytesPerLine = header.cupsBytesPerLine;
  const size_t BytePerLine = ((width * 24 + 31) >> 5) << 2;
  std::fprintf(stderr, "ERROR: BytePerLine =%d \n", static_cast<int>(BytePerLine));
  Dump(kRasterDumpPath, page.first(bytesPerLine * y));

  Release(pDataBuf);  // before the new page's buffer, as the old one may be large
  pDataBuf.assign(CheckedMul(std::max(bytesPerLine, BitmapStride(width)), y), 0xFF);

  // 256 white bytes after the last row, as the conversion always had.
  std::vector<uint8_t> pBuf(CheckedAdd(CheckedMul(BytePerLine, y), 256), 0xFF);
  for (size_t j = 0; j < y; ++j) {
    const uint8_t* grey = page.data() + j * bytesPerLine;
    uint8_t* rgb = pBuf.data() + j * BytePerLine;
    for (size_t i = 0; i < width; ++i) std::fill_n(rgb + 3 * i, 3, static_cast<uint8_t>(~grey[i]));
  }
  Dump(kExpandedDumpPath, std::span(pBuf).first(BytePerLine * y));

  Color2BW(pBuf, pDataBuf, static_cast<int>(width), static_cast<int>(y), static_cast<int>(BytePerLine), 100,
           DitheringMode(ppd));
  Release(pBuf);  // the 24-bit page is done with before the mirror is made
  const int bitmapStride = static_cast<int>(BitmapStride(width));
  pDataBuf = MirrorPicture(static_cast<int>(width), static_cast<int>(y), bitmapStride, pDataBuf);
}

// Prints one page whose y lines are in Buffer: normalises it by depth and
// hands it to ProcessData. False when the page was lost (memory, geometry);
// a depth the printer cannot take is skipped, not lost.
static bool PrintPage(ppd_file_t* ppd, const cups_page_header2_t& header, unsigned y, Bitmap& pDataBuf) {
  const std::span<uint8_t> page(Buffer.get(), BufferSize);
  const int biWidth = static_cast<int>(header.cupsWidth);
  try {
    switch (header.cupsBitsPerPixel) {
      case 1:
        // Raster set bits are dots; the 1-bit page's set bits are paper.
        for (uint8_t& b : page.first(size_t{header.cupsBytesPerLine} * y)) b = static_cast<uint8_t>(~b);
        return ProcessData(ppd, header, page, biWidth, static_cast<int>(y));
      case 24:
        NormalizeColorPage(header, page, y, pDataBuf);
        break;
      case 8:
        NormalizeGreyPage(ppd, header, page, y, pDataBuf);
        break;
      default:
        std::fprintf(stderr, "ERROR: Page %d not printed: %u bits per pixel are not supported (only 1, 8 and 24)\n",
                     Page, header.cupsBitsPerPixel);
        return true;
    }
  } catch (const std::bad_alloc&) {
    Release(pDataBuf);  // now, not at the next page
    std::fprintf(stderr, "ERROR: Page %d not printed: not enough memory to convert %u x %u pixels at %u bits\n",
                 Page, header.cupsWidth, y, header.cupsBitsPerPixel);
    return false;
  }
  return ProcessData(ppd, header, pDataBuf, biWidth, static_cast<int>(y));
}

// Runs the job: arguments, raster stream, PPD, the page loop and the job end.
int main(int argc, char* argv[]) {
  std::setbuf(stderr, nullptr);
  if (argc < 6 || argc > 7) return 1;

  int fd = 0;
  if (argc == 7 && (fd = ::open(argv[6], O_RDONLY | O_CLOEXEC)) < 0) {
    _cupsLangPrintError("ERROR", "Unable to open raster file");
    ::sleep(1);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpenIO(ReadRaster, &fd, CUPS_RASTER_READ);

  Canceled = 0;
  struct sigaction action {};
  action.sa_handler = CancelJob;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);  // no SA_RESTART: a blocked read must notice

  cups_option_t* options = nullptr;
  int num_options = cupsParseOptions(argv[5], 0, &options);

  ppd_file_t* ppd = ppdOpenFile(std::getenv("PPD"));
  if (!ppd) {
    int linenum = 0;
    ppd_status_t status = ppdLastError(&linenum);
    std::fprintf(stderr, "DEBUG: %s on line %d.\n", ppdErrorString(status), linenum);
    cupsFreeOptions(num_options, options);
    cupsRasterClose(ras);
    if (fd != 0) ::close(fd);
    return 1;
  }
  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, num_options, options);
  Setup(ppd);

  Page = 0;
  bool failed = false;  // a page was refused or could not be printed
  Bitmap pDataBuf;      // the last 8-bit or 24-bit page's 1-bit picture
  cups_page_header2_t header;
  while (cupsRasterReadHeader2(ras, &header)) {
    if (Canceled) break;
    ++Page;
    std::fprintf(stderr, "ERROR: Starting page = %d 1 time=%lld\n", Page, static_cast<long long>(std::time(nullptr)));
    if (!StartPage(ppd, header)) {
      failed = true;  // its lines cannot be skipped safely: end the job
      break;
    }

    size_t nOffset = 0;
    unsigned y = 0;
    for (; y < header.cupsHeight && !Canceled; ++y) {
      if ((y & 15) == 0)
        std::fprintf(stderr, "ATTR: job-media-progress=%u\n",
                     static_cast<unsigned>(uint64_t{y} * 100 / header.cupsHeight));
      if (cupsRasterReadPixels(ras, Buffer.get() + nOffset, header.cupsBytesPerLine) == 0) break;
      nOffset += header.cupsBytesPerLine;
    }

    if (!PrintPage(ppd, header, y, pDataBuf)) failed = true;

    std::fputs("ERROR: call EndPage\n", stderr);
    EndPage(ppd, header);
    std::fprintf(stderr, "ERROR: EndPage Out Canceled=%d\n", static_cast<int>(Canceled));
    if (Canceled) break;
    std::fputs("ERROR: EndPage return\n", stderr);
  }

  if (CutAtJobEnd(ppd)) {
    static constexpr uint8_t kCut[] = {0x1D, 0x56, 0x00};
    std::fwrite(kCut, 1, sizeof kCut, stdout);
  }
  Buffer.reset();
  std::fprintf(stderr, "ERROR: free pDataBuf=%x\n", Low32(pDataBuf.data()));
  Release(pDataBuf);
  std::fprintf(stderr, "ERROR: cupsFreeOptions options=%x num_options=%d\n", Low32(options), num_options);
  cupsFreeOptions(num_options, options);
  std::fputs("ERROR: cupsRasterClose\n", stderr);
  cupsRasterClose(ras);
  std::fprintf(stderr, "ERROR: close fd=%d\n", fd);
  if (fd != 0) ::close(fd);
  std::fprintf(stderr, "ERROR: ppdClose fd=%d\n", static_cast<int>(Low32(ppd)));
  ppdClose(ppd);
  std::fputs("ERROR: Dovrel-filter return\n", stderr);
  return Page > 0 && !failed ? 0 : 1;
}
