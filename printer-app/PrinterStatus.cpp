#include "PrinterStatus.h"

#include <array>
#include <chrono>
#include <memory>
#include <thread>

#include "JobTurns.h"
#include "Server.h"
#include "SocketDevice.h"
#include "StandardAttributes.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// DLE EOT 1 (printer), 2 (offline cause), 3 (error cause), 4 (paper sensor).
constexpr uint8_t kQueries[] = {0x10, 0x04, 0x01, 0x10, 0x04, 0x02, 0x10, 0x04, 0x03, 0x10, 0x04, 0x04};
// A printer that answers does so within milliseconds; one that says nothing
// in this time is taken as one that never answers.
constexpr int kAnswerMs = 500;
// While the paper is there a job asks when this much time has passed or
// this much data (about 11 cm of an 80 mm receipt) has gone out since the
// last answer, whichever comes first: a round trip per query, so a healthy
// receipt is not slowed, and a long one still finds out in the middle.
constexpr auto kQueryEvery = 250ms;
constexpr size_t kQueryEveryBytes = size_t{64} << 10;
// How often a waiting job asks again, and looks whether it was cancelled.
constexpr auto kWaitPoll = 1s;
constexpr auto kCancelPoll = 100ms;

constexpr bool Bit(uint8_t byte, int bit) { return (byte >> bit) & 1; }

// Bits 1 and 4 are always set in an answer, bits 0 and 7 always clear.
constexpr bool IsStatusByte(uint8_t byte) { return (byte & 0x93) == 0x12; }

enum class Asked { Answered, Silent, WriteFailed };

struct Answer {
  Asked asked = Asked::Silent;
  std::optional<PrinterStatus> status;  // nullopt also for an answer that was not a status byte
};

// Sends the four queries and reads their answers within `timeoutMs`.
Answer Ask(pappl_device_t* device, const char* uri, int timeoutMs) {
  if (!IsSocketUri(uri)) return {};
  // A late answer to an earlier question must not be read as this one's.
  uint8_t stale[64];
  while (SocketReadWithin(device, uri, stale, sizeof stale, 0) > 0) {
  }
  if (papplDeviceWrite(device, kQueries, sizeof kQueries) != static_cast<ssize_t>(sizeof kQueries))
    return {Asked::WriteFailed, std::nullopt};
  papplDeviceFlush(device);
  std::array<uint8_t, 4> answers{};
  size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got < answers.size()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const ssize_t n = left < 0 ? -1 : SocketReadWithin(device, uri, answers.data() + got, answers.size() - got,
                                                       static_cast<int>(left));
    if (n <= 0) return {};
    got += static_cast<size_t>(n);
  }
  return {Asked::Answered, DecodeStatus(answers)};
}

// Shows a status on the printer: the reasons it gives are set, the other
// reasons of ours cleared; an unknown status clears them all.
void Show(pappl_printer_t* printer, const std::optional<PrinterStatus>& status) {
  const pappl_preason_t set = status ? status->reasons : static_cast<pappl_preason_t>(PAPPL_PREASON_NONE);
  papplPrinterSetReasons(printer, set, static_cast<pappl_preason_t>(kStatusReasons & ~set));
  ShowPaperSupply(printer, status);
}

// Printers that are not asked (USB, files): nothing known, also when the
// device was changed from one that answered.
bool ShowUnknownStatus(pappl_printer_t* printer) {
  Show(printer, std::nullopt);
  return true;
}

// Where the next GS v 0 band header lies, from `from` on; the stream's size
// when there is none. Our streams carry no other command that could hold the
// bytes 1D 76 30, and picture data is skipped by the caller.
size_t NextBandStart(std::span<const uint8_t> bytes, size_t from) {
  for (size_t at = from; at + 8 <= bytes.size(); ++at)
    if (bytes[at] == 0x1D && bytes[at + 1] == 0x76 && bytes[at + 2] == 0x30) return at;
  return bytes.size();
}

// The end of the band whose header is at `at`: its header and picture data.
size_t BandEnd(std::span<const uint8_t> bytes, size_t at) {
  const size_t rowBytes = bytes[at + 4] + size_t{bytes[at + 5]} * 256;
  const size_t rows = bytes[at + 6] + size_t{bytes[at + 7]} * 256;
  return std::min(bytes.size(), at + 8 + rowBytes * rows);
}


// One job's conversation with the printer.
class StatusWatch {
 public:
  StatusWatch(pappl_job_t* job, pappl_device_t* device)
      : job_(job), device_(device), printer_(papplJobGetPrinter(job)), uri_(DeviceUri(printer_)) {}
  StatusWatch(const StatusWatch&) = delete;
  StatusWatch& operator=(const StatusWatch&) = delete;

  // Sends a piece of the job's stream, asking at its start and at the
  // starts of its bands when a question is due.
  bool Send(std::span<const uint8_t> bytes) {
    for (size_t from = 0;;) {
      // `from` is the piece's start or a band's: a command boundary.
      if (!AskIfDue()) return false;
      const size_t band = NextBandStart(bytes, from);
      const size_t next = band == from && band < bytes.size() ? NextBandStart(bytes, BandEnd(bytes, band)) : band;
      if (!Write(bytes.subspan(from, next - from))) return false;
      if (next == bytes.size()) return true;
      from = next;
    }
  }

  // Asks, and while the printer is stopped waits, asking again every
  // second. False when the job was cancelled or the query could not be sent.
  bool AskNow() {
    Answer answer = Ask(device_, uri_.c_str(), kAnswerMs);
    bool waited = false;
    while (answer.asked == Asked::Answered && answer.status && answer.status->stopped) {
      Show(printer_, answer.status);
      if (!waited)
        papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "Waiting: %s.", answer.status->text.c_str());
      papplJobSetReasons(job_, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
      papplJobSetMessage(job_, "Waiting: %s.", answer.status->text.c_str());
      waited = true;
      for (auto slept = 0ms; slept < kWaitPoll; slept += kCancelPoll) {
        // A server that shuts down ends the wait too: PAPPL waits for its jobs.
        if (papplJobIsCanceled(job_) || ServerStopping(papplPrinterGetSystem(printer_))) return false;
        // PAPPL deletes a busy printer once its job ends, and leaves the job
        // be: one waiting for paper would keep the printer for ever.
        if (papplPrinterIsDeleted(printer_)) {
          papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "The printer was deleted while the job waited: cancelled.");
          papplJobCancel(job_);
          return false;
        }
        std::this_thread::sleep_for(kCancelPoll);
      }
      answer = Ask(device_, uri_.c_str(), kAnswerMs);
    }
    if (waited) {
      papplJobSetReasons(job_, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
      papplJobSetMessage(job_, "Job printing.");
      papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "The printer is ready again; printing goes on.");
    }
    if (answer.asked == Asked::WriteFailed) return false;
    if (answer.asked == Asked::Answered && !answer.status)
      papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "The printer's answer to a status query is not a status byte.");
    // A printer that never answered in this job is not asked again in it; one
    // that answered before and falls silent while waiting prints on.
    if (answer.asked == Asked::Silent && !answered_) {
      silent_ = true;
      papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "The printer does not answer status queries: status unknown.");
    }
    answered_ |= answer.asked == Asked::Answered;
    Show(printer_, answer.asked == Asked::Answered ? answer.status : std::nullopt);
    lastAsked_ = Clock::now();
    sentSinceAsked_ = 0;
    asked_ = true;
    return true;
  }

 private:
  bool Write(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    sentSinceAsked_ += bytes.size();
    return papplDeviceWrite(device_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  bool AskIfDue() {
    const bool due = !asked_ || sentSinceAsked_ >= kQueryEveryBytes ||
                     (sentSinceAsked_ > 0 && Clock::now() - lastAsked_ >= kQueryEvery);
    return silent_ || !IsSocketUri(uri_.c_str()) || !due || AskNow();
  }

  pappl_job_t* job_;
  pappl_device_t* device_;
  pappl_printer_t* printer_;
  const std::string uri_;  // a copy: the printer's may be changed while the job runs
  bool asked_ = false, answered_ = false, silent_ = false;
  Clock::time_point lastAsked_;
  size_t sentSinceAsked_ = 0;
};

}  // namespace

std::optional<PrinterStatus> DecodeStatus(std::span<const uint8_t, 4> answers) {
  for (uint8_t a : answers)
    if (!IsStatusByte(a)) return std::nullopt;
  const uint8_t printer = answers[0], cause = answers[1], error = answers[2], paper = answers[3];
  const bool out = Bit(paper, 5) || Bit(paper, 6) || Bit(cause, 5);
  const bool cover = Bit(cause, 2);
  const bool failed = Bit(cause, 6);
  PrinterStatus s;
  // Offline only where no cause of ours explains it (the feed button, say):
  // the cause itself is what a user must see.
  const bool offline = Bit(printer, 3) && !out && !cover && !failed;
  s.stopped = Bit(printer, 3) || out || cover || failed;
  s.reasons = static_cast<pappl_preason_t>(
      (out ? PAPPL_PREASON_MEDIA_EMPTY : 0) | (!out && (Bit(paper, 2) || Bit(paper, 3)) ? PAPPL_PREASON_MEDIA_LOW : 0) |
      (cover ? PAPPL_PREASON_COVER_OPEN : 0) | (failed ? PAPPL_PREASON_OTHER : 0) |
      (offline ? PAPPL_PREASON_OFFLINE : 0));
  s.text = out             ? "the printer is out of paper"
           : cover         ? "the printer's cover is open"
           : !failed       ? "the printer is offline"
           : Bit(error, 3) ? "the printer reports a cutter error"
           : Bit(error, 5) ? "the printer reports an unrecoverable error"
           : Bit(error, 6) ? "the printer reports an error it recovers from by itself"
                           : "the printer reports an error";
  return s;
}

std::string DeviceUri(pappl_printer_t* printer) {
  const char* uri = papplPrinterGetDeviceURI(printer);
  return uri ? uri : "";
}

OwnDevice OpenOwnDevice(pappl_printer_t* printer, const std::string& uri, const char* name) {
  return OwnDevice(papplDeviceOpen(uri.c_str(), name, papplLogDevice, papplPrinterGetSystem(printer)), papplDeviceClose);
}

bool PrinterStatusCallback(pappl_printer_t* printer) {
  const std::string copy = DeviceUri(printer);
  const char* uri = copy.c_str();
  if (!IsSocketUri(uri)) return ShowUnknownStatus(printer);
  // PAPPL calls this only while no job is processing; a job that starts
  // meanwhile waits for the answer (the printer's turn is the query's).
  StatusTurn turn(printer);
  if (!turn.granted()) return true;
  OwnDevice device = OpenOwnDevice(printer, copy, "status");
  if (!device) return true;
  std::optional<PrinterStatus> status;
  if (SocketConnectOnce(device.get(), uri, kAnswerMs)) {
    Answer answer = Ask(device.get(), uri, kAnswerMs);
    if (answer.asked == Asked::Answered) status = answer.status;
  }
  device.reset();
  Show(printer, status);
  return true;
}

ByteSink StatusWatchingSink(pappl_job_t* job, pappl_device_t* device) {
  auto watch = std::make_shared<StatusWatch>(job, device);
  return [watch](std::span<const uint8_t> bytes) { return watch->Send(bytes); };
}

bool WaitUntilPrinterReady(pappl_job_t* job, pappl_device_t* device) {
  if (!IsSocketUri(DeviceUri(papplJobGetPrinter(job)).c_str())) return true;
  return StatusWatch(job, device).AskNow();
}
