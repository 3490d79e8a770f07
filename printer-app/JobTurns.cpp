#include "JobTurns.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "Server.h"

namespace {

using namespace std::chrono_literals;

// Jobs remembered per printer: a second start follows the first within
// moments, so the last few hundred are plenty.
constexpr size_t kRemembered = 512;

struct Run {
  bool running = true;
  bool sent = false;
};

// The holder while a status query has the printer.
constexpr int kStatusQuery = -1;

struct Printer {
  int holder = 0;            // the job being sent, kStatusQuery, 0 for none
  std::map<int, Run> runs;   // by job id, which PAPPL counts up
};

std::mutex Mutex;
std::condition_variable Changed;
std::map<pappl_printer_t*, Printer> Printers;

bool Stopped(pappl_job_t* job) { return papplJobIsCanceled(job) || ServerStopping(papplPrinterGetSystem(papplJobGetPrinter(job))); }

// How the first run of a job ended, once it has; nullopt while it runs or if
// it never started (a raster job whose stream failed before its first page).
std::optional<bool> Outcome(Printer& printer, int job) {
  const auto it = printer.runs.find(job);
  if (it == printer.runs.end() || it->second.running) return std::nullopt;
  return it->second.sent;
}

// Waits for the first run of `job` to end (`patience`: for a first run
// that has not begun), then a moment more for PAPPL to end the job after
// it, since the second run's end would close the device under the first.
// A first run that has begun is waited for even when the job is cancelled
// or the server stops (it then ends within a band): PAPPL closes the
// printer's device when this run ends, and the first run would go on
// writing to the freed device.
bool AwaitFirstRun(pappl_job_t* job, Printer& printer, std::chrono::seconds patience) {
  const int id = papplJobGetID(job);
  std::optional<bool> outcome;
  for (auto waited = 0ms; !outcome; waited += 250ms) {
    bool begun;
    {
      std::unique_lock lock(Mutex);
      if (Changed.wait_for(lock, 250ms, [&] { return (outcome = Outcome(printer, id)).has_value(); })) break;
      begun = printer.runs.count(id) > 0;
    }
    if (begun) continue;
    if (Stopped(job)) return false;
    if (waited > patience) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job's pages never arrived.");
      return false;
    }
  }
  for (int i = 0; i < 20 && papplJobGetState(job) < IPP_JSTATE_CANCELED; ++i) std::this_thread::sleep_for(100ms);
  return *outcome;
}

}  // namespace

JobTurn JobTurn::Take(pappl_job_t* job) {
  pappl_printer_t* key = papplJobGetPrinter(job);
  const int id = papplJobGetID(job);
  Printer* printer;
  bool repeated;
  {
    std::lock_guard lock(Mutex);
    printer = &Printers[key];
    repeated = !printer->runs.emplace(id, Run{}).second;
    if (printer->runs.size() > kRemembered) printer->runs.erase(printer->runs.begin());
  }
  if (repeated) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Job %d was started a second time: it is not sent again.", id);
    return JobTurn(nullptr, id, AwaitFirstRun(job, *printer, 0s));
  }
  for (bool told = false;;) {
    {
      std::unique_lock lock(Mutex);
      if (Changed.wait_for(lock, 250ms, [&] { return printer->holder == 0; })) {
        printer->holder = id;
        return JobTurn(key, id, false);
      }
    }
    if (Stopped(job)) {
      std::lock_guard lock(Mutex);
      printer->runs[id] = Run{false, false};
      Changed.notify_all();
      return JobTurn(nullptr, id, false);
    }
    if (!told && printer->holder == kStatusQuery)
      papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Waiting for the printer's answer to a status query.");
    else if (!told)
      papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Waiting for job %d to finish on this printer.", printer->holder);
    told = true;
  }
}

bool JobTurn::Repeat(pappl_job_t* job) {
  Printer* printer;
  {
    std::lock_guard lock(Mutex);
    printer = &Printers[papplJobGetPrinter(job)];
  }
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Job %d was started a second time: its pages print as they arrive, not again.",
              papplJobGetID(job));
  return AwaitFirstRun(job, *printer, 60s);
}

JobTurn::JobTurn(JobTurn&& other) noexcept : printer_(other.printer_), job_(other.job_), answer_(other.answer_) {
  other.printer_ = nullptr;
}

JobTurn::~JobTurn() {
  if (printer_) End(false);
}

bool JobTurn::End(bool sent) {
  if (!printer_) return sent;
  std::lock_guard lock(Mutex);
  Printer& printer = Printers[printer_];
  printer.holder = 0;
  printer.runs[job_] = Run{false, sent};
  printer_ = nullptr;
  Changed.notify_all();
  return sent;
}

StatusTurn::StatusTurn(pappl_printer_t* printer) {
  std::lock_guard lock(Mutex);
  Printer& p = Printers[printer];
  if (p.holder != 0) return;
  p.holder = kStatusQuery;
  printer_ = printer;
}

StatusTurn::~StatusTurn() {
  if (!printer_) return;
  std::lock_guard lock(Mutex);
  Printers[printer_].holder = 0;
  Changed.notify_all();
}
