// One job on its way to the printer: pages arrive row by row and leave
// through a sink. A page whose settings keep its rows in order streams: its
// bands go out while it arrives, and it never takes more than a few rows of
// memory. Any other page (turned a half or a quarter) is gathered whole
// first. Nothing here knows PAPPL, so the tests can drive it directly.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include <memory>

#include "PagePipeline.h"
#include "PageStream.h"

// 3 m of paper at 8 dots per mm: the longest roll length the drivers offer.
inline constexpr uint32_t kMaxPageRows = 3000 * kDotsPerMm;

// Copies beyond the first are sent from the kept job stream, which may not
// grow beyond this.
inline constexpr size_t kMaxKeptStream = size_t{16} << 20;

class ReceiptJob {
 public:
  // `headWidth` dots per row reach the core whatever the page width;
  // `copies` is how often the whole job is sent (collated); once `cancelled`
  // says so, no further copy starts, and a streaming page sends no further
  // band (it still ends with its page and job commands, so that what
  // printed is fed and cut off).
  ReceiptJob(const PrintSettings& settings, uint32_t headWidth, uint32_t copies, ByteSink sink,
             std::function<bool()> cancelled = {});

  // Each returns an empty string on success, else why the job cannot go on.
  // `width` x `rows` is the page as it will be handed over. A page the
  // settings turn a quarter is printed across, so its rows must fit the head.
  std::string StartPage(uint32_t width, uint32_t rows);
  // An sGray row (0 = black) of the page's width; wider pages are cut to the
  // middle of the head width, narrower ones centred on it.
  void PutRow(uint32_t y, std::span<const uint8_t> sgray);
  std::string EndPage();
  std::string Finish();

  uint32_t PagesSent() const { return pages_; }
  // Whether any byte of the job has gone to the sink.
  bool SentAnything() const { return sentAnything_; }

 private:
  PrintSettings settings_;
  uint32_t headWidth_;
  uint32_t copies_;
  ByteSink sink_;
  std::function<bool()> cancelled_;
  uint32_t pageWidth_ = 0, pageRows_ = 0, storedWidth_ = 0;
  std::vector<uint8_t> page_;  // K polarity: 0 white, 255 black
  PageWorkspace workspace_;
  Stream kept_;  // the whole job, when it goes out more than once
  uint32_t pages_ = 0;
  bool sentAnything_ = false;

  // The streaming page: its converter, the next row it expects, one row of
  // levels, and why it stopped taking rows (cancelled, or a failure).
  bool Send(std::span<const uint8_t> bytes);
  bool StreamRow(std::span<const uint8_t> levels);  // false once the page takes no more rows
  bool Deliver(bool pageEnd);                       // the settled bytes, once enough or at the page's end
  std::string EndStreamedPage();
  std::string TooLargeToRepeat() const;
  std::unique_ptr<GreyPageStream> stream_;
  uint32_t nextRow_ = 0;
  std::vector<uint8_t> row_;  // levels of the row being put: white where the page has no pixel
  bool pageSent_ = false;     // some of the page went to the sink (or the kept job)
  bool cancelledPage_ = false;
  std::string failure_;
};
