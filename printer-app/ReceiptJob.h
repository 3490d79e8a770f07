// One job on its way to the printer: pages are gathered row by row, each
// whole page goes through the core, and the bytes leave through a sink.
// Nothing here knows PAPPL, so the tests can drive it directly.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "PagePipeline.h"

// 3 m of paper at 8 dots per mm: the longest roll length the drivers offer.
inline constexpr uint32_t kMaxPageRows = 3000 * kDotsPerMm;

// Copies beyond the first are sent from the kept job stream, which may not
// grow beyond this.
inline constexpr size_t kMaxKeptStream = size_t{16} << 20;

class ReceiptJob {
 public:
  // `headWidth` dots per row reach the core whatever the page width;
  // `copies` is how often the whole job is sent (collated); once `cancelled`
  // says so, no further copy starts.
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
};
