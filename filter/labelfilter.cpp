// labelfilter: CUPS raster to ESC/POS filter for thermal receipt and label
// printers.
//
// Usage: labelfilter job-id user title copies options [raster-file]
//
// The scheduler starts it once per job with the printer's PPD in $PPD. This
// file is the CUPS front-end of the conversion core: it reads the print
// settings from the PPD's marked choices, each raster page whole into memory,
// hands the page to RenderPage and writes the stream it returns to standard
// output once per copy. Standard error carries the scheduler's log lines and
// a trace of each step, which the core reports through PageHooks.

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <span>
#include <string_view>
#include <unistd.h>

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include "DebugFile.h"
#include "Models.h"
#include "OptionTable.h"
#include "PagePipeline.h"

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

// Diagnostic dumps: the last 8-bit page as read and as expanded to three
// bytes per pixel, the last page's stream, and the last converted picture.
static constexpr const char* kRasterDumpPath = "/tmp/Buffer.data";
static constexpr const char* kExpandedDumpPath = "/tmp/pBuf.data";
static constexpr const char* kStreamCopyPath = "/tmp/Brantelix";
static constexpr const char* kDitheringBmpPath = "/Users/quorle/Desktop/Work/ImageDithering.bmp";

static unsigned Low32(uintptr_t p) { return static_cast<unsigned>(p); }
static unsigned Low32(const void* p) { return Low32(reinterpret_cast<uintptr_t>(p)); }

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
  // One line more than the page has, as the buffer always had. The product
  // is taken in 64 bits: on 32-bit systems it may not fit in size_t.
  const uint64_t size = uint64_t{header.cupsBytesPerLine} * (uint64_t{header.cupsHeight} + 1);
  if (size <= PTRDIFF_MAX) Buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
  if (!Buffer) {
    std::fprintf(stderr,
                 "ERROR: Page %d refused: no memory for cupsBytesPerLine=%u x (cupsHeight=%u + 1) = %llu bytes\n",
                 Page, header.cupsBytesPerLine, header.cupsHeight, static_cast<unsigned long long>(size));
    return false;
  }
  BufferSize = static_cast<size_t>(size);
  return true;
}

// Tells the scheduler how far the page has been read. Formatted by hand and
// written in one call, as fprintf to the unbuffered stderr would write it,
// for a tenth of fprintf's instructions: it runs every 16 rows.
static void ReportProgress(unsigned percent) {
  static constexpr std::string_view kPrefix = "ATTR: job-media-progress=";
  char line[kPrefix.size() + 12];
  std::memcpy(line, kPrefix.data(), kPrefix.size());
  char* end = std::to_chars(line + kPrefix.size(), line + sizeof line - 1, percent).ptr;
  *end++ = '\n';
  for (const char* p = line; p < end;) {
    const ssize_t n = ::write(STDERR_FILENO, p, static_cast<size_t>(end - p));
    if (n > 0) p += n;
    else if (n < 0 && errno == EINTR) continue;
    else return;  // as fprintf, a log line that cannot be written is dropped
  }
}

// Ends the page; the printer needs nothing between pages.
static void EndPage(ppd_file_t*, const cups_page_header2_t&) { std::fputs("ERROR: Enter EndPage\n", stderr); }

// SIGTERM handler: the scheduler cancels the job.
static void CancelJob(int) { Canceled = 1; }

// Reads the raster stream. A read interrupted by the cancel signal ends the
// stream instead of waiting for data that may never come; a non-blocking
// input is waited for, not taken as its end.
static ssize_t ReadRaster(void* ctx, unsigned char* buffer, size_t length) {
  const int fd = *static_cast<int*>(ctx);
  for (;;) {
    const ssize_t n = ::read(fd, buffer, length);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd input{fd, POLLIN, 0};
      if (::poll(&input, 1, -1) >= 0) continue;
      if (errno != EINTR) return -1;  // the input cannot be waited for: its end
    } else if (errno != EINTR) {
      return n;
    }
    if (Canceled) {
      errno = ECANCELED;
      return -1;
    }
  }
}

// Writes all of `bytes` to standard output, restarting after signals. On
// failure logs one line; later writes are then skipped, since the printer is
// gone.
static bool OutputFailed = false;
static bool WriteOutput(std::span<const uint8_t> bytes) {
  if (OutputFailed) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "ERROR: Unable to write print data: %s\n", std::strerror(n < 0 ? errno : EIO));
      OutputFailed = true;
      return false;
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return true;
}

// Writes a diagnostic dump; a dump that cannot be written is skipped.
static void Dump(const char* path, std::span<const uint8_t> bytes) {
  if (UniqueFile f = OpenDiagnosticFile(path)) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
}

// The trace lines and diagnostic files of each step of a page.
class FilterTrace : public PageHooks {
 public:
  // `cashDrawer`: the "CashDrawer" choice as the PPD gives it, which the
  // trace names.
  explicit FilterTrace(const std::optional<std::string>& cashDrawer) : cashDrawer_(cashDrawer) {}

  void GreyPage(std::span<const uint8_t> raster, const PageLayout& page, size_t stride24) override {
    std::fprintf(stderr, "ERROR: BytePerLine =%d \n", static_cast<int>(stride24));
    Dump(kRasterDumpPath, raster);
    // The page as the grey conversion sees it: three inverted bytes per
    // pixel, rows padded with white to whole words; written row by row.
    UniqueFile f = OpenDiagnosticFile(kExpandedDumpPath);
    if (!f) return;
    // Two pixels at a time through a table of their six bytes (stored as
    // eight, the last two overwritten next or landing in the padding or in
    // spare bytes).
    static const std::vector<uint64_t> kPairs = [] {
      std::vector<uint64_t> t(65536);
      for (unsigned pair = 0; pair < t.size(); ++pair) {
        const auto a = static_cast<uint8_t>(~pair), b = static_cast<uint8_t>(~(pair >> 8));
        const uint8_t bytes[8] = {a, a, a, b, b, b, 0xFF, 0xFF};
        std::memcpy(&t[pair], bytes, 8);
      }
      return t;
    }();
    std::vector<uint8_t> row(stride24 + 8, 0xFF);
    for (size_t y = 0; y < page.rows; ++y) {
      const uint8_t* grey = raster.data() + y * page.stride;
      uint8_t* out = row.data();
      const size_t width = page.width;
      size_t x = 0;
      const uint64_t* pairs = kPairs.data();
      for (; x + 2 <= width; x += 2, out += 6) std::memcpy(out, &pairs[grey[x] | grey[x + 1] << 8], 8);
      if (x < width) std::memcpy(out, &pairs[grey[x]], 8);  // the second pixel of the pair is padding: white
      if (std::fwrite(row.data(), 1, stride24, f.get()) != stride24) return;
    }
  }

  void Converted(const std::function<Bitmap()>& packedPage, uint32_t width, uint32_t rows) override {
    UniqueFile file = OpenDiagnosticFile(kDitheringBmpPath);
    const int err = errno;
    std::fprintf(stderr, "ERROR: fopen ImageDithering.bmp ImageFile=%x err=%s\n", Low32(file.get()),
                 std::strerror(err));
    if (!file) return;
    try {
      const Bitmap page = packedPage();
      const std::vector<uint8_t> bmp = DitheringBmp(page, static_cast<int>(width), static_cast<int>(rows));
      (void)std::fwrite(bmp.data(), 1, bmp.size(), file.get());  // write errors only lose the picture
    } catch (const std::exception&) {
      // too large for the format, or no memory for it: no picture
    }
  }

  void Orienting(const OrientPlan& plan) override {
    const PrintSettings& s = plan.settings;
    std::fputs("ERROR: call ProcessData\n", stderr);
    std::fprintf(stderr, "ERROR: ProcessData nImageWidth=%d biHeight=%d\n", static_cast<int>(plan.rowBytes),
                 static_cast<int>(plan.rows));
    std::fprintf(stderr, "ERROR: ProcessData nMirror=%d\n", static_cast<int>(s.nMirror));
    std::fprintf(stderr, "ERROR: ProcessData nInverse=%d nDirection=%d\n", static_cast<int>(s.nInverse),
                 static_cast<int>(s.nDirection));
    std::fputs("ERROR: ProcessDatan Direction == 1 || nDirection == 3\n", stderr);
    if (IsQuarterTurn(s.nDirection)) std::fputs("ERROR: ProcessData Rotate90Degrees\n", stderr);
    std::fputs("ERROR: ProcessDatan nMirror\n", stderr);
    if (s.nMirror) std::fputs("ERROR: ProcessData MirrorPicture\n", stderr);
    std::fprintf(stderr, "ERROR: ProcessData nInverse=%d\n", static_cast<int>(s.nInverse));
    if (!s.nInverse) std::fputs("ERROR: ProcessData nInverse\n", stderr);
  }

  void StreamBuilt(const StreamTrace& t) override {
    const auto& drawer = cashDrawer_;
    std::fprintf(stderr, "ERROR: ProcessData malloc pData=%x\n", Low32(t.buffer));
    if (drawer) std::fprintf(stderr, "ERROR: ProcessData CashDrawer=%s\n", drawer->c_str());
    std::fprintf(stderr, "ERROR: ProcessData nOffset=%d j=%d nImageHeight=%d\n", static_cast<int>(t.headBytes), 0,
                 static_cast<int>(t.pictureRows));
    if (drawer) std::fprintf(stderr, "ERROR: ProcessData CashDrawer=%s fuck you\n", drawer->c_str());
    if (drawer) std::fputs("ERROR: ProcessData CashDrawer after fuck you\n", stderr);
    std::fputs("ERROR: ProcessData FeedAfterPrinting\n", stderr);
    std::fputs("ERROR: ProcessData Cutting\n", stderr);
  }

 private:
  const std::optional<std::string>& cashDrawer_;
};

// Sends a page's stream once per copy and leaves one copy in /tmp/Brantelix.
static void SendPage(const Stream& pData, uint32_t copies, const PageReport& report) {
  std::fputs("ERROR: cupsWritePrintData\n", stderr);
  SendCopies(pData, copies, WriteOutput);

  const int nOffset = static_cast<int>(pData.size());
  std::fprintf(stderr, "ERROR: save data to K7QX-filter DataLength=%d sizeof(nOffset)=%d\n", nOffset,
               static_cast<int>(sizeof(int32_t)));
  UniqueFile f = OpenDiagnosticFile(kStreamCopyPath);
  const int openErrno = errno;
  std::fprintf(stderr, "ERROR: fopen K7QX.data f=%x errno=%d desc=%s\n", Low32(f.get()), openErrno,
               std::strerror(openErrno));
  if (f) std::fwrite(pData.data(), 1, pData.size(), f.get());
  f.reset();

  std::fprintf(stderr, "ERROR: free pzlibBuf=%x\n", 0u);
  std::fprintf(stderr, "ERROR: free pMirror=%x\n", Low32(report.mirrored));
  std::fprintf(stderr, "ERROR: free pBuf180=%x\n", Low32(report.halfTurned));
  std::fprintf(stderr, "ERROR: free pBuf90=%x\n", Low32(report.quarterTurned));
  std::fprintf(stderr, "ERROR: free pData=%x\n", Low32(pData.data()));
  std::fputs("ERROR: ProcessData return\n", stderr);
}

// What became of one page.
enum class PageResult { Printed, SkippedForDepth, Lost };

// Prints the page whose y lines are in Buffer, logging why when it cannot.
static PageResult PrintPage(const PrintSettings& settings, const std::optional<std::string>& cashDrawer,
                            const cups_page_header2_t& header, unsigned y, PageWorkspace& workspace) {
  // NumCopies holds a signed count; negative ones print nothing.
  const uint32_t copies = static_cast<int32_t>(header.NumCopies) < 0 ? 0 : header.NumCopies;
  const PageLayout page{header.cupsWidth, y, header.cupsBitsPerPixel, header.cupsBytesPerLine, copies};
  FilterTrace trace(cashDrawer);
  Stream pData;
  PageReport report;
  try {
    report = RenderPage(page, std::span(Buffer.get(), BufferSize), settings, trace, workspace, pData);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ERROR: Page %d not printed: %s\n", Page, e.what());
    return PageResult::Lost;
  }
  switch (report.outcome) {
    case PageOutcome::Printed:
      SendPage(pData, copies, report);
      return OutputFailed ? PageResult::Lost : PageResult::Printed;
    case PageOutcome::UnsupportedDepth:
      std::fprintf(stderr, "ERROR: Page %d not printed: %u bits per pixel are not supported (only 1, 8 and 24)\n",
                   Page, header.cupsBitsPerPixel);
      return PageResult::SkippedForDepth;
    case PageOutcome::NoMemoryToConvert:
      std::fprintf(stderr, "ERROR: Page %d not printed: not enough memory to convert %u x %u pixels at %u bits\n",
                   Page, header.cupsWidth, y, header.cupsBitsPerPixel);
      return PageResult::Lost;
    case PageOutcome::NoMemoryToStream:
      std::fprintf(stderr, "ERROR: Page not printed: not enough memory for a %d x %d picture\n",
                   static_cast<int>(header.cupsWidth), static_cast<int>(y));
      return PageResult::Lost;
    case PageOutcome::TooWide:
      std::fprintf(stderr, "ERROR: Page not printed: its rows are %zu bytes wide, more than a raster band can carry (%zu)\n",
                   report.rowBytes, size_t{0xFFFF});
      return PageResult::Lost;
  }
  return PageResult::Lost;
}

// The units of the printer the PPD describes: our PPDs' model names are the
// model table's, after the manufacturer ppdc puts in front. Any other PPD (an
// older copy, one written by hand) keeps the 8-dots-per-mm units every PPD of
// this filter had before there were others.
static HeadUnits UnitsFromPpd(const ppd_file_t* ppd) {
  constexpr std::string_view kMaker = "labelfilter ";
  const std::string_view name = ppd && ppd->modelname ? ppd->modelname : "";
  const PrinterModel* model = name.starts_with(kMaker) ? ModelByMakeAndModel(name.substr(kMaker.size())) : nullptr;
  return model ? UnitsOf(*model) : HeadUnits{};
}

// The choice the PPD has marked for an option (its default, then the job's).
static std::optional<std::string> MarkedChoice(ppd_file_t* ppd, std::string_view keyword) {
  const std::string key(keyword);
  ppd_choice_t* choice = ppdFindMarkedChoice(ppd, key.c_str());
  if (!choice) return std::nullopt;
  return std::string(choice->choice);
}

// The print settings from the PPD's marked choices, in the printer's units.
static PrintSettings SettingsFromPpd(ppd_file_t* ppd) {
  return ParsePrintSettings([ppd](std::string_view keyword) { return MarkedChoice(ppd, keyword); },
                            UnitsFromPpd(ppd));
}

// Descriptors 0-2 closed by whoever started us are opened on /dev/null, so
// that no file opened later (a dump) takes their place and receives log
// lines or print data.
static void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) ::close(opened);  // fd was taken meanwhile
    }
}

// Runs the job: arguments, raster stream, PPD, the page loop and the job end.
int main(int argc, char* argv[]) {
  OpenStandardDescriptors();
  std::setbuf(stderr, nullptr);
  // A file size limit inherited from the caller must cost a dump, not the job.
  std::signal(SIGXFSZ, SIG_IGN);
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
  const PrintSettings settings = SettingsFromPpd(ppd);
  const std::optional<std::string> cashDrawer = MarkedChoice(ppd, "CashDrawer");

  Page = 0;
  bool failed = false;         // a page was refused or lost
  int printed = 0, skipped = 0;  // pages printed, pages of a depth we cannot print
  PageWorkspace workspace;     // the last 8-bit or 24-bit page's 1-bit picture
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
      if ((y & 15) == 0) ReportProgress(static_cast<unsigned>(uint64_t{y} * 100 / header.cupsHeight));
      if (cupsRasterReadPixels(ras, Buffer.get() + nOffset, header.cupsBytesPerLine) == 0) break;
      nOffset += header.cupsBytesPerLine;
    }

    switch (PrintPage(settings, cashDrawer, header, y, workspace)) {
      case PageResult::Printed: ++printed; break;
      case PageResult::SkippedForDepth: ++skipped; break;
      case PageResult::Lost: failed = true; break;
    }

    std::fputs("ERROR: call EndPage\n", stderr);
    EndPage(ppd, header);
    std::fprintf(stderr, "ERROR: EndPage Out Canceled=%d\n", static_cast<int>(Canceled));
    if (Canceled || OutputFailed) break;
    std::fputs("ERROR: EndPage return\n", stderr);
  }

  // Nothing printed, and only because of the pages' depth: the job failed.
  if (printed == 0 && skipped > 0) failed = true;

  Stream jobEnd;
  AppendJobEnd(jobEnd, settings);
  if (!jobEnd.empty() && !WriteOutput(jobEnd)) failed = true;
  Buffer.reset();
  std::fprintf(stderr, "ERROR: free pDataBuf=%x\n", Low32(workspace.converted.data()));
  workspace = PageWorkspace();
  std::fprintf(stderr, "ERROR: cupsFreeOptions options=%x num_options=%d\n", Low32(options), num_options);
  cupsFreeOptions(num_options, options);
  std::fputs("ERROR: cupsRasterClose\n", stderr);
  cupsRasterClose(ras);
  std::fprintf(stderr, "ERROR: close fd=%d\n", fd);
  if (fd != 0) ::close(fd);
  std::fprintf(stderr, "ERROR: ppdClose fd=%d\n", static_cast<int>(Low32(ppd)));
  ppdClose(ppd);
  std::fputs("ERROR: Dovrel-filter return\n", stderr);
  return Page > 0 && !failed && !OutputFailed ? 0 : 1;
}
