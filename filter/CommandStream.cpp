#include "CommandStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <stdexcept>

#include "BilevelConversion.h"
#include "BitmapTransforms.h"
#include "DebugFile.h"
#include "SizeMath.h"

namespace {

// ESC/POS commands, byte for byte.
constexpr uint8_t kWarning[] = {0x1B, 0x43, 0x04, 0x02, 0x03};
constexpr uint8_t kDensity[] = {0x1B, 0x1F, 0x12, 0x13, 0x14};  // followed by n
constexpr uint8_t kDrawerPulse[] = {0x1B, 0x70, 0x00, 0x80, 0x80};
constexpr uint8_t kFeedToMark[] = {0x1D, 0x0C};
constexpr uint8_t kFeed[] = {0x1B, 0x4A};  // followed by n
constexpr uint8_t kCut[] = {0x1D, 0x56, 0x00};
constexpr uint8_t kBlankBand[] = {0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x18, 0x00};

// GS v 0 declares the band width in two bytes.
constexpr size_t kMaxBandBytes = 0xFFFF;

// The head holds at most warning, density, drawer pulse and GS FF; the tail
// warning, drawer pulse, three feeds and the cut.
constexpr size_t kHeadTailBytes = 18 + 22;

// Copies beyond this are taken as a damaged header rather than a request.
constexpr int kMaxCopies = 9999;

void Append(Stream& out, std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
void Append(Stream& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }

unsigned Low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

bool RowIsBlank(std::span<const uint8_t> picture, size_t row, size_t stride) {
  auto bytes = picture.subspan(row * stride, stride);
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

void AppendImageBand(Stream& out, std::span<const uint8_t> picture, size_t stride, size_t rows,
                     size_t firstRow, uint8_t padByte) {
  Append(out, {0x1D, 0x76, 0x30, 0x00, static_cast<uint8_t>(stride % 256), static_cast<uint8_t>(stride / 256),
               kBandRows, 0x00});
  for (size_t row = firstRow; row < firstRow + kBandRows; ++row) {
    if (row < rows)
      Append(out, picture.subspan(row * stride, stride));
    else
      out.insert(out.end(), stride, padByte);
  }
}

void AppendBlankBand(Stream& out) {
  Append(out, kBlankBand);
  out.insert(out.end(), kBandRows, 0x00);
}

}  // namespace

size_t StreamCapacity(size_t stride, size_t rows) {
  try {
    const size_t bands = rows / kBandRows + 1;
    const size_t band = std::max(CheckedAdd(8, CheckedMul(kBandRows, stride)), sizeof kBlankBand + kBandRows);
    return CheckedAdd(CheckedMul(bands, band), kHeadTailBytes);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void AppendHead(Stream& out, const PrintSettings& s) {
  if (s.warning == Placement::Head) Append(out, kWarning);
  if (s.density) {
    Append(out, kDensity);
    out.push_back(*s.density);
  }
  if (s.drawerPulse == Placement::Head) Append(out, kDrawerPulse);
  if (s.feedToMark) Append(out, kFeedToMark);
}

void AppendBands(Stream& out, std::span<const uint8_t> picture, size_t stride, size_t rows, uint8_t padByte) {
  size_t nStartRow = 0;  // first row not yet covered by a band
  size_t j = 0;
  while (j < rows) {
    if (RowIsBlank(picture, j, stride)) {
      ++j;
      continue;
    }
    // Row j is the first row to print: skip whole blank bands up to its band.
    const size_t skip = (j - nStartRow) / kBandRows * kBandRows;
    for (size_t k = 0; k < skip / kBandRows; ++k) AppendBlankBand(out);
    AppendImageBand(out, picture, stride, rows, nStartRow + skip, padByte);
    nStartRow += skip + kBandRows;
    j = nStartRow;
  }
}

void AppendTail(Stream& out, const PrintSettings& s) {
  if (s.warning == Placement::Tail) Append(out, kWarning);
  if (s.drawerPulse == Placement::Tail) Append(out, kDrawerPulse);
  for (int left = s.nDistance; left > 0; left -= 255) {
    Append(out, kFeed);
    out.push_back(static_cast<uint8_t>(std::min(left, 255)));
  }
  if (s.cutEveryPage) Append(out, kCut);
}

bool ProcessData(ppd_file_t* ppd, const cups_page_header2_t& header, std::span<uint8_t> pDataBuf,
                 int biWidth, int biHeight) {
  std::fputs("ERROR: call ProcessData\n", stderr);

  // A 1-bit raster page is the page buffer itself, rows cupsBytesPerLine apart.
  size_t nImageWidth = header.cupsBitsPerPixel == 1 ? header.cupsBytesPerLine : BitmapStride(std::max(biWidth, 0));
  size_t nImageHeight = static_cast<size_t>(std::max(biHeight, 0));
  int width = biWidth;
  const int dwCopies = static_cast<int>(header.NumCopies);
  std::fprintf(stderr, "ERROR: ProcessData nImageWidth=%d biHeight=%d\n", static_cast<int>(nImageWidth), biHeight);

  const PrintSettings settings = ReadPrintSettings(ppd);
  std::fprintf(stderr, "ERROR: ProcessData nMirror=%d\n", settings.nMirror);
  std::fprintf(stderr, "ERROR: ProcessData nInverse=%d nDirection=%d\n", settings.nInverse, settings.nDirection);

  Bitmap pBuf180, pBuf90, pMirror;
  Stream pData;
  std::span<uint8_t> pBuf = pDataBuf;
  try {
    if (settings.nDirection == static_cast<int>(Direction::HalfTurn)) {
      pBuf180 = HalfTurn(pBuf, biWidth, biHeight, static_cast<int>(nImageWidth));
      pBuf = pBuf180;
    }
    std::fputs("ERROR: ProcessDatan Direction == 1 || nDirection == 3\n", stderr);
    if (settings.nDirection == static_cast<int>(Direction::QuarterTurn) ||
        settings.nDirection == static_cast<int>(Direction::QuarterTurn270)) {
      nImageHeight = static_cast<size_t>(std::max(biWidth, 0));
      nImageWidth = BitmapStride(static_cast<size_t>(std::max(biHeight, 0)));
      width = biHeight;
      std::fputs("ERROR: ProcessData Rotate90Degrees\n", stderr);
      // Rows of a 1-bit raster page lie cupsBytesPerLine apart, not at the
      // stride of its width.
      const size_t inputStride =
          header.cupsBitsPerPixel == 1 ? header.cupsBytesPerLine : BitmapStride(std::max(biWidth, 0));
      pBuf90 = Rotate90Degrees(pBuf, biWidth, biHeight, inputStride);
      pBuf = pBuf90;
    }
    std::fputs("ERROR: ProcessDatan nMirror\n", stderr);
    if (settings.nMirror == 1) {
      std::fputs("ERROR: ProcessData MirrorPicture\n", stderr);
      try {
        pMirror = MirrorPicture(width, static_cast<int>(nImageHeight), static_cast<int>(nImageWidth), pBuf);
        pBuf = pMirror;
      } catch (const std::bad_alloc&) {
        // Printing the page unmirrored beats losing it.
      }
    }
    std::fprintf(stderr, "ERROR: ProcessData nInverse=%d\n", settings.nInverse);
    const size_t pictureBytes = CheckedMul(nImageWidth, nImageHeight);
    if (pictureBytes > pBuf.size()) throw std::invalid_argument("picture smaller than its geometry");
    if (settings.nInverse == 0) {
      std::fputs("ERROR: ProcessData nInverse\n", stderr);
      for (uint8_t& b : pBuf.first(pictureBytes)) b = static_cast<uint8_t>(~b);
    }

    if (nImageWidth > kMaxBandBytes) {
      std::fprintf(stderr, "ERROR: Page not printed: its rows are %zu bytes wide, more than a raster band can carry (%zu)\n",
                   nImageWidth, kMaxBandBytes);
      return false;
    }
    const size_t capacity = StreamCapacity(nImageWidth, nImageHeight);
    if (capacity == 0) throw std::bad_alloc();
    pData.reserve(capacity);
    std::fprintf(stderr, "ERROR: ProcessData malloc pData=%x\n", Low32(pData.data()));

    AppendHead(pData, settings);
    if (settings.cashDrawer) std::fprintf(stderr, "ERROR: ProcessData CashDrawer=%s\n", settings.cashDrawer->c_str());
    std::fprintf(stderr, "ERROR: ProcessData nOffset=%d j=%d nImageHeight=%d\n", static_cast<int>(pData.size()), 0,
                 static_cast<int>(nImageHeight));

    AppendBands(pData, pBuf.first(pictureBytes), nImageWidth, nImageHeight, settings.nInverse == 0 ? 0x00 : 0xFF);

    if (settings.cashDrawer)
      std::fprintf(stderr, "ERROR: ProcessData CashDrawer=%s fuck you\n", settings.cashDrawer->c_str());
    AppendTail(pData, settings);
    if (settings.cashDrawer) std::fputs("ERROR: ProcessData CashDrawer after fuck you\n", stderr);
    std::fputs("ERROR: ProcessData FeedAfterPrinting\n", stderr);
    std::fputs("ERROR: ProcessData Cutting\n", stderr);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "ERROR: Page not printed: not enough memory for a %d x %d picture\n", biWidth, biHeight);
    return false;
  } catch (const std::invalid_argument&) {
    std::fprintf(stderr, "ERROR: Page not printed: its picture holds fewer bytes than %d rows of %d pixels need\n",
                 biHeight, biWidth);
    return false;
  }

  std::fputs("ERROR: cupsWritePrintData\n", stderr);
  const int copies = std::min(dwCopies, kMaxCopies);
  for (int copy = 0; copy < copies; ++copy) std::fwrite(pData.data(), 1, pData.size(), stdout);

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
  std::fprintf(stderr, "ERROR: free pMirror=%x\n", Low32(pMirror.data()));
  std::fprintf(stderr, "ERROR: free pBuf180=%x\n", Low32(pBuf180.data()));
  std::fprintf(stderr, "ERROR: free pBuf90=%x\n", Low32(pBuf90.data()));
  std::fprintf(stderr, "ERROR: free pData=%x\n", Low32(pData.data()));
  std::fputs("ERROR: ProcessData return\n", stderr);
  return true;
}
