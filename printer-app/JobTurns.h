// One job at a time on a printer's device, and each job once. PAPPL 1.3
// decides which job runs in _papplPrinterCheckJobs(), which reads the
// printer's "processing" mark without a lock and starts a thread for the
// first pending job; the job is marked as processing only once that thread
// runs. Two checks in that gap (two jobs submitted together, a job ending as
// another arrives) start the same job twice, and a PWG or Apple raster job
// streamed in that gap runs next to the job being started. So the driver
// takes the printer's turn before it sends anything, and remembers which
// jobs have had theirs.
#pragma once

#include <pappl/pappl.h>

class JobTurn {
 public:
  // Waits until no other job is being sent to the job's printer (or until
  // the job is cancelled, or the server stops). A job that has had its turn
  // already is not given another: the second start is logged, and waits for
  // the first one to end, so that PAPPL ends the job after it.
  static JobTurn Take(pappl_job_t* job);
  // A second start of a raster job whose pages arrive with its request:
  // never sent from here; waits for the streamed run to end and answers as
  // it ended.
  static bool Repeat(pappl_job_t* job);

  JobTurn(JobTurn&& other) noexcept;
  JobTurn& operator=(JobTurn&&) = delete;
  ~JobTurn();

  // The job is to be sent now; the printer is its own until End().
  bool granted() const { return printer_ != nullptr; }
  // Not granted: what the callback answers PAPPL (how the first run of the
  // job ended; false when cancelled or stopped).
  bool answer() const { return answer_; }
  // Gives the printer to the next job, with how this one ended; returns `sent`.
  bool End(bool sent);

 private:
  JobTurn(pappl_printer_t* printer, int job, bool answer) : printer_(printer), job_(job), answer_(answer) {}
  pappl_printer_t* printer_;
  int job_;
  bool answer_;
};

// A status query between jobs. It has the printer only when no job has it,
// and never waits: a job that starts meanwhile waits for its answer instead.
class StatusTurn {
 public:
  explicit StatusTurn(pappl_printer_t* printer);
  StatusTurn(const StatusTurn&) = delete;
  StatusTurn& operator=(const StatusTurn&) = delete;
  ~StatusTurn();
  bool granted() const { return printer_ != nullptr; }

 private:
  pappl_printer_t* printer_ = nullptr;
};
