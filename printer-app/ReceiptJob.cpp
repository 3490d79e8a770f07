#include "ReceiptJob.h"

#include <algorithm>
#include <new>

#include "CommandStream.h"

namespace {

const char* OutcomeText(PageOutcome outcome) {
  switch (outcome) {
    case PageOutcome::Printed: return "printed";
    case PageOutcome::UnsupportedDepth: return "its depth is not supported";
    case PageOutcome::NoMemoryToConvert: return "not enough memory to convert it";
    case PageOutcome::NoMemoryToStream: return "not enough memory to build its printer data";
    case PageOutcome::TooWide: return "it is too wide for a raster band";
  }
  return "unknown outcome";
}

// Streamed bytes are sent in pieces of at least this much (a page's last
// piece excepted): a few bands of a full-width page, few enough writes.
constexpr size_t kFlushBytes = 4096;

}  // namespace

ReceiptJob::ReceiptJob(const PrintSettings& settings, uint32_t headWidth, uint32_t copies, ByteSink sink,
                       std::function<bool()> cancelled)
    : settings_(settings), headWidth_(headWidth), copies_(std::clamp<uint32_t>(copies, 1, kMaxCopies)),
      sink_(std::move(sink)), cancelled_(std::move(cancelled)) {}

std::string ReceiptJob::StartPage(uint32_t width, uint32_t rows) {
  const uint32_t page = pages_ + 1;
  if (width == 0 || rows == 0)
    return "page " + std::to_string(page) + " is empty (" + std::to_string(width) + " x " + std::to_string(rows) + ")";
  if (rows > kMaxPageRows)
    return "page " + std::to_string(page) + " is " + std::to_string(rows) + " rows long; the longest page is " +
           std::to_string(kMaxPageRows) + " rows (3 m)";
  // A page turned a quarter is printed across: its rows become the width.
  const bool across = IsQuarterTurn(settings_.nDirection);
  if (across && rows > headWidth_)
    return "page " + std::to_string(page) + " turned a quarter would be " + std::to_string(rows) +
           " dots wide; the print head has " + std::to_string(headWidth_);
  if (across && width > kMaxPageRows)
    return "page " + std::to_string(page) + " turned a quarter would be " + std::to_string(width) +
           " rows long; the longest page is " + std::to_string(kMaxPageRows) + " rows (3 m)";
  pageWidth_ = width;
  pageRows_ = rows;
  // Across pages keep their own width (it becomes the paper's length).
  storedWidth_ = across ? width : headWidth_;
  stream_.reset();
  std::vector<uint8_t>().swap(page_);
  nextRow_ = 0;
  pageSent_ = cancelledPage_ = false;
  failure_.clear();
  try {
    if (GreyPageStream::Streams(settings_, storedWidth_)) {
      stream_ = std::make_unique<GreyPageStream>(settings_, storedWidth_, rows);
      row_.assign(storedWidth_, 255);
    } else {
      page_.assign(size_t{storedWidth_} * rows, 0);
    }
  } catch (const std::bad_alloc&) {
    stream_.reset();
    return "not enough memory for page " + std::to_string(page) + " (" + std::to_string(storedWidth_) + " x " +
           std::to_string(rows) + ")";
  }
  return {};
}

void ReceiptJob::PutRow(uint32_t y, std::span<const uint8_t> sgray) {
  if (y >= pageRows_ || (page_.empty() && !stream_)) return;
  const size_t n = std::min<size_t>(sgray.size(), pageWidth_);
  // Centre the row on the stored width, cutting what lies outside it.
  const size_t from = n > storedWidth_ ? (n - storedWidth_) / 2 : 0;
  const size_t to = n < storedWidth_ ? (storedWidth_ - n) / 2 : 0;
  const size_t count = std::min<size_t>(n - from, storedWidth_ - to);
  if (stream_) {
    // Rows come top to bottom; one that comes again cannot be taken back,
    // and rows skipped are white, as on a gathered page.
    if (y < nextRow_) return;
    while (nextRow_ < y && StreamRow({})) {
    }
    std::copy_n(sgray.data() + from, count, row_.data() + to);
    StreamRow(row_);
    std::fill_n(row_.data() + to, count, 255);
    return;
  }
  uint8_t* row = page_.data() + size_t{y} * storedWidth_ + to;
  for (size_t i = 0; i < count; ++i) row[i] = static_cast<uint8_t>(255 - sgray[from + i]);
}

bool ReceiptJob::Send(std::span<const uint8_t> bytes) {
  sentAnything_ = true;
  return sink_(bytes);
}

bool ReceiptJob::StreamRow(std::span<const uint8_t> levels) {
  if (cancelledPage_ || !failure_.empty()) return false;
  // Once a band: a cancelled job sends no further band.
  if (nextRow_ % kBandRows == 0 && cancelled_ && cancelled_()) {
    cancelledPage_ = true;
    return false;
  }
  stream_->PutRow(levels);
  ++nextRow_;
  return Deliver(false);
}

bool ReceiptJob::Deliver(bool pageEnd) {
  Stream& out = stream_->Output();
  if (out.empty() || (!pageEnd && out.size() < kFlushBytes)) return true;
  const std::string page = std::to_string(pages_ + 1);
  if (copies_ == 1) {
    if (!Send(out)) failure_ = "the printer connection failed while page " + page + " was sent";
  } else if (kept_.size() + out.size() > kMaxKeptStream) {
    failure_ = TooLargeToRepeat();
  } else {
    kept_.insert(kept_.end(), out.begin(), out.end());
  }
  pageSent_ = true;
  out.clear();
  return failure_.empty();
}

std::string ReceiptJob::TooLargeToRepeat() const {
  return "the job is too large to repeat for " + std::to_string(copies_) + " copies (more than " +
         std::to_string(kMaxKeptStream >> 20) + " MiB of printer data)";
}

std::string ReceiptJob::EndStreamedPage() {
  // Rows that never came are white.
  while (nextRow_ < pageRows_ && StreamRow({})) {
  }
  if (failure_.empty()) {
    if (!cancelledPage_) {
      stream_->Finish();
    } else {
      // Bands settled since the last write are dropped; a page of which
      // something went out gets its tail, so that it is fed and cut off.
      stream_->Output().clear();
      if (pageSent_) AppendTail(stream_->Output(), settings_);
    }
    Deliver(true);
  }
  stream_.reset();
  ++pages_;
  return failure_;
}

std::string ReceiptJob::EndPage() {
  if (stream_) return EndStreamedPage();
  const uint32_t page = ++pages_;
  PageLayout layout{storedWidth_, pageRows_, 8, storedWidth_, 1};
  PageHooks hooks;
  Stream out;
  const PageReport report = RenderPage(layout, page_, settings_, hooks, workspace_, out);
  std::vector<uint8_t>().swap(page_);  // the grey page is the largest buffer: give it back now
  if (report.outcome != PageOutcome::Printed)
    return "page " + std::to_string(page) + " not printed: " + OutcomeText(report.outcome);
  if (copies_ == 1) {
    // One copy: send each page at once, so the printer starts early.
    if (!Send(out)) return "the printer connection failed while page " + std::to_string(page) + " was sent";
    return {};
  }
  if (kept_.size() + out.size() > kMaxKeptStream) return TooLargeToRepeat();
  kept_.insert(kept_.end(), out.begin(), out.end());
  return {};
}

std::string ReceiptJob::Finish() {
  Stream end;
  AppendJobEnd(end, settings_);
  if (copies_ == 1)
    return Send(end) ? std::string() : "the printer connection failed at the end of the job";
  // Each copy is the whole job with its own job-end cut.
  kept_.insert(kept_.end(), end.begin(), end.end());
  const Stream job = std::move(kept_);
  for (uint32_t copy = 0; copy < copies_; ++copy) {
    // A cancel ends the job after the copy being sent, which has its own cut.
    if (copy > 0 && cancelled_ && cancelled_()) break;
    if (!Send(job)) return "the printer connection failed while the copies were sent";
  }
  return {};
}
