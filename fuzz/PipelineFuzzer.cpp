// Drives RenderPage directly: a fuzzed page layout and rows, settings parsed
// from fuzzed choices, the default hooks. Besides what the sanitizers catch,
// it checks the stream's framing: the head commands, then GS v 0 bands whose
// declared rows are all present, then the tail commands. A grey page whose
// settings let it stream must give the same bytes row by row.
//
// Input: depth selector (0: 1 bit, 1: 8, 2: 24, 3: the next byte as the
// depth), width (16 bits, at most 2048), extra bytes per row beyond the
// depth's need, rows (16 bits), copies, one byte per option (an index into
// FuzzOptions' choices; 0xFE: the next byte's length of raw input as the
// choice; anything else: no choice), then the rows back to back.
#include <cstdlib>
#include <optional>
#include <string>

#include "CommandStream.h"
#include "FuzzSupport.h"
#include "OptionTable.h"
#include "PagePipeline.h"
#include "PageStream.h"

namespace {

// The checks stay on in release builds.
void Require(bool condition) {
  if (!condition) std::abort();
}

PrintSettings FuzzedSettings(FuzzInput& in) {
  std::vector<std::pair<std::string, std::optional<std::string>>> choices;
  for (const FuzzOption& o : FuzzOptions()) {
    const uint8_t pick = in.Byte();
    std::optional<std::string> choice;
    if (pick < o.choices.size()) {
      choice = o.choices[pick];
    } else if (pick == 0xFE) {
      const auto raw = in.Take(in.Byte() % 24);
      choice = std::string(raw.begin(), raw.end());
    }
    choices.emplace_back(o.keyword, choice);
  }
  return ParsePrintSettings([&](std::string_view keyword) -> std::optional<std::string> {
    for (const auto& [k, v] : choices)
      if (k == keyword) return v;
    return std::nullopt;
  });
}

// The stream is head, bands, tail; every band declares 24 rows of its width
// and carries them all; no band lies wholly past the picture.
void CheckStream(const Stream& out, const PrintSettings& settings, size_t rowBytes, size_t pictureRows) {
  Stream head, tail;
  AppendHead(head, settings);
  AppendTail(tail, settings);
  Require(out.size() >= head.size() + tail.size());
  Require(std::equal(head.begin(), head.end(), out.begin()));
  Require(std::equal(tail.rbegin(), tail.rend(), out.rbegin()));
  size_t at = head.size(), bands = 0;
  const size_t end = out.size() - tail.size();
  while (at < end) {
    Require(end - at >= 8);
    const uint8_t* band = out.data() + at;
    Require(band[0] == 0x1D && band[1] == 0x76 && band[2] == 0x30 && band[3] == 0x00);
    const size_t width = band[4] | size_t{band[5]} << 8, rows = band[6] | size_t{band[7]} << 8;
    Require(rows == kBandRows && (width == rowBytes || width == 1));
    Require(end - at - 8 >= width * rows);
    at += 8 + width * rows;
    ++bands;
  }
  Require(bands * kBandRows < pictureRows + kBandRows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in({data, size});
  static constexpr uint32_t kDepths[] = {1, 8, 24};
  const uint8_t depthPick = in.Byte() % 4;
  const uint32_t depth = depthPick < 3 ? kDepths[depthPick] : in.Byte();
  const uint32_t width = in.Word16() % 2049;
  const size_t need = (size_t{width} * depth + 7) / 8;  // the filter refuses narrower rows
  const size_t stride = need + in.Byte() % 8;
  const uint32_t wantedRows = in.Word16();
  const uint32_t copies = in.Byte() % 4;
  const PrintSettings settings = FuzzedSettings(in);

  // The rows the input holds; a page whose rows take no bytes is kept short.
  const size_t rows = stride ? std::min<size_t>(wantedRows, in.Rest().size() / stride) : wantedRows % 300;
  // Exactly the page's bytes, so that any read or write past them is caught.
  std::vector<uint8_t> buffer(in.Rest().begin(), in.Rest().begin() + static_cast<std::ptrdiff_t>(rows * stride));

  const PageLayout page{width, static_cast<uint32_t>(rows), depth, static_cast<uint32_t>(stride), copies};
  // The grey page's levels (the raster inverted), before RenderPage works
  // in the buffer.
  const bool streams = depth == 8 && GreyPageStream::Streams(settings, width);
  std::vector<uint8_t> levels(streams ? buffer.size() : 0);
  for (size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<uint8_t>(255 - buffer[i]);
  PageHooks hooks;
  static PageWorkspace workspace;  // carried from page to page, as in a job
  Stream out;
  const PageReport report = RenderPage(page, buffer, settings, hooks, workspace, out);

  if (depth != 1 && depth != 8 && depth != 24) {
    Require(report.outcome == PageOutcome::UnsupportedDepth && out.empty());
    return 0;
  }
  Require(report.outcome == PageOutcome::Printed);
  const bool quarterTurn = IsQuarterTurn(settings.nDirection);
  CheckStream(out, settings, report.rowBytes, quarterTurn ? width : rows);
  if (streams) {
    GreyPageStream streamed(settings, width, static_cast<uint32_t>(rows));
    for (size_t y = 0; y < rows; ++y) streamed.PutRow(std::span(levels).subspan(y * stride, width));
    streamed.Finish();
    Require(streamed.Output() == out);
  }

  size_t sent = 0;
  Require(SendCopies(out, copies, [&](std::span<const uint8_t> bytes) {
    sent += bytes.size();
    return true;
  }));
  Require(sent == out.size() * copies);
  return 0;
}
