// A bounded soak of the printer application: the real server in private
// namespaces, several printers on fake ESC/POS printers on loopback (healthy
// ones, one that stops reading, one that resets the connection mid-job, one
// that answers nonsense to status queries), several concurrent clients
// (the application's own `submit` and ipptool) sending a few hundred mixed
// jobs, some cancelled at random. The randomness comes from one seed, so a
// run can be repeated.
//
// It reports jobs per second, the server's peak memory and its open file
// descriptors and threads when idle before and after, and checks that every
// job not cancelled (and not sent to a faulty printer) completed with its
// whole stream at its printer, that nothing leaked, that the server never
// died and that nothing hung. Run by hand: see --help.

#include <cups/cups.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>

#include "AppHarness.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// --- Options ---

struct Options {
  unsigned seed = 1;
  int jobs = 300;
  int clients = 4;
  int cancelPercent = 15;
  int stallJobs = 3;           // jobs sent to the printer that stops reading
  bool rasterConcurrent = false;  // PWG jobs one at a time, to an idle printer; else like any other
  bool markdown = false;
  int stuckSeconds = 150;  // no job changed state for this long: a hang
  std::string out = "/var/tmp/labelfilter-soak";
  std::string logLevel = "info";
};

constexpr const char* kUsage =
    "Usage: soak [--seed N] [--jobs N] [--clients N] [--cancel-percent P] [--stall-jobs N]\n"
    "            [--raster serial|concurrent] [--stuck-seconds N] [--out DIR] [--log-level L]\n"
    "            [--markdown]\n"
    "Needs root (private network and mount namespaces). Logs, documents and any\n"
    "backtraces of a hung server are kept in DIR (default /var/tmp/labelfilter-soak).\n"
    "Exit status 0 when every check passed, 1 otherwise, 77 when it cannot run here.\n";

// --- Fake printers the harness does not have ---

// A printer that takes the first `limit` bytes of a connection and then
// stops reading (paper jam, frozen firmware), keeping the connection open.
// A small receive buffer keeps the kernel from taking the job for it.
class StallingPrinter {
 public:
  explicit StallingPrinter(size_t limit) : limit_(limit), listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int small = 4096;
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("stalling printer: " + std::string(std::strerror(errno)));
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        size_t got = 0;
        uint8_t buffer[4096];
        for (ssize_t n; got < limit_ && (n = read(fd, buffer, std::min(sizeof buffer, limit_ - got))) > 0;) got += n;
        std::lock_guard lock(mutex_);
        held_.push_back(fd);  // never read again, closed at the end
      }
    });
  }
  ~StallingPrinter() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    for (int fd : held_) close(fd);
  }
  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  size_t Connections() {
    std::lock_guard lock(mutex_);
    return held_.size();
  }

 private:
  size_t limit_;
  int listener_, port_ = 0;
  std::mutex mutex_;
  std::vector<int> held_;
  std::thread thread_;
};

// --- The documents and printers of a run ---

struct Doc {
  std::string name, file, format, appOptions, ippAttrs;
};

enum class Fault { None, Stall, Reset, Nonsense };

struct Printer {
  std::string name, driver;
  Fault fault = Fault::None;
  bool wide = true;  // 80 mm; else 58 mm
  std::unique_ptr<FakePrinter> fake;
  std::unique_ptr<StallingPrinter> stall;
  std::shared_mutex submitting;  // held exclusively by a raster job in the serial mode
};

constexpr const char* FaultName(Fault f) {
  switch (f) {
    case Fault::Stall: return "stops reading";
    case Fault::Reset: return "resets mid-job";
    case Fault::Nonsense: return "nonsense status";
    default: return "healthy";
  }
}

// Resets each connection after this many bytes: every document's stream is
// longer, so every job to it must end aborted.
constexpr size_t kResetAfter = 2048;
constexpr size_t kStallAfter = 16384;

struct Job {
  int printer = 0, doc = 0;
  bool viaIpp = false, cancel = false, cancelViaIpp = false;
  int cancelDelayMs = 0;
  // Results.
  int id = -1;
  bool refused = false;  // server-error-busy: a streamed raster job to a busy printer
  std::string failure;   // the client failed or hung
  int state = 0;
  std::string message;
  bool started = false;  // PAPPL began to process it
  double endedAt = -1;  // seconds into the run when it was first seen ended
};

// A PDF of `pages` pages, `width` x `rows` dots at 203 dpi, each filled with
// 50 % grey: a few hundred bytes that print as solid picture data.
void WriteGreyPdf(const std::string& path, int pages, int width, int rows) {
  std::string pdf = "%PDF-1.4\n", kids;
  std::vector<size_t> offsets;
  auto object = [&](const std::string& body) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  const std::string w = std::to_string(width * 72.0 / 203), h = std::to_string(rows * 72.0 / 203);
  const std::string draw = "0.5 g 0 0 " + w + " " + h + " re f";
  for (int i = 0; i < pages; ++i) kids += std::to_string(4 + i) + " 0 R ";
  object("<< /Type /Catalog /Pages 2 0 R >>");
  object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
  object("<< /Length " + std::to_string(draw.size()) + " >>\nstream\n" + draw + "\nendstream");
  for (int i = 0; i < pages; ++i)
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + w + " " + h + "] /Contents 3 0 R >>");
  WritePdfEnd(path, pdf, offsets);
}

bool Terminal(int state) { return state >= IPP_JSTATE_CANCELED; }

// --- The server's process ---

// Alive and not a zombie; never reaps it (the harness does, when it stops it).
bool Running(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

// When the server is gone, PAPPL's `submit` starts a private server of its
// own and waits for it: those of this run (HOME is the run's) are stopped,
// or the clients would never end and the run would not report the death.
void StopPrivateServers(const std::string& home) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = ReadText(entry.path() / "cmdline"), environ = ReadText(entry.path() / "environ");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find("private-server=true") != std::string::npos &&
        environ.find(std::string("HOME=") + home + '\0') != std::string::npos)
      kill(std::stoi(pid), SIGKILL);
  }
}

// --- Job states over IPP, in-process (cheap enough to poll often) ---

// (printer, job-id) -> (job-state, job-state-message) of the jobs of every
// printer, or of printer `only`: PAPPL numbers each printer's jobs on their
// own. `which` is "all" or "not-completed" (much less to send and log).
using JobKey = std::pair<int, int>;
// A job as the server lists it. `started`: PAPPL began to process it (it
// has a time-at-processing); a raster job refused as busy never does.
struct Listed {
  int state = 0;
  std::string message;
  bool started = false;
};

std::map<JobKey, Listed> AllJobs(const std::vector<std::unique_ptr<Printer>>& printers, const char* which = "all",
                                 int only = -1, bool* answered = nullptr) {
  std::map<JobKey, Listed> jobs;
  if (answered) *answered = false;
  http_t* http = httpConnect2("localhost", AppServer::kPort, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr);
  if (!http) return jobs;
  if (answered) *answered = true;
  // A server that stopped answering: give up the request after 20 s.
  httpSetTimeout(http, 20.0, [](http_t*, void*) { return 0; }, nullptr);
  for (size_t pi = 0; pi < printers.size(); ++pi) {
    if (only >= 0 && int(pi) != only) continue;
    const auto& p = printers[pi];
    const std::string uri = "ipp://localhost:" + std::to_string(AppServer::kPort) + "/ipp/print/" + p->name;
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "soak");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, which);
    static const char* const kWanted[] = {"job-id", "job-state", "job-state-message", "time-at-processing"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, kWanted);
    ipp_t* response = cupsDoRequest(http, request, ("/ipp/print/" + p->name).c_str());
    if (!response) {  // one unanswered request is enough: the next would wait as long
      if (answered) *answered = false;
      break;
    }
    int id = 0;
    Listed job;
    auto flush = [&] {
      if (id > 0) jobs[{int(pi), id}] = job;
      id = 0;
      job = Listed{};
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
      const char* name = ippGetName(a);
      if (!name) {
        flush();
        continue;
      }
      if (!std::strcmp(name, "job-id")) id = ippGetInteger(a, 0);
      if (!std::strcmp(name, "job-state")) job.state = ippGetInteger(a, 0);
      if (!std::strcmp(name, "job-state-message") && ippGetString(a, 0, nullptr))
        job.message = ippGetString(a, 0, nullptr);
      if (!std::strcmp(name, "time-at-processing")) job.started = ippGetValueTag(a) == IPP_TAG_INTEGER;
    }
    flush();
    ippDelete(response);
  }
  httpClose(http);
  return jobs;
}

std::string Tail(const std::string& text, size_t lines) {
  size_t at = text.size();
  while (lines-- > 0 && at > 0) {
    const size_t line = text.rfind('\n', at - 1);
    if (line == std::string::npos) return text;
    at = line;
  }
  return text.substr(std::min(at + 1, text.size()));
}

// A cancelled job sends whole bands, then its job end (feed, cut).
constexpr size_t kJobEndSlack = 64;

// The exit status of a run that could not be made here (no root or no
// namespaces), as CTest's SKIP_RETURN_CODE.
constexpr int kSkipped = 77;

class Soak {
 public:
  explicit Soak(Options o) : o_(std::move(o)), random_(o_.seed) {}
  int Run();

 private:
  void WriteDocuments();
  void AddPrinters();
  bool References();
  void Plan();
  void Client();
  void RunJob(Job& job);
  std::string PrintCommand(const Job& job) const;
  std::string CancelCommand(const Job& job) const;
  bool WaitForEnd();
  void Verify();
  void Report();
  void Log(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::ofstream(dir_ + "/clients.log", std::ios::app) << text << "\n";
  }
  void Fail(const std::string& what) {
    std::lock_guard lock(mutex_);
    failures_.push_back(what);
  }

  Options o_;
  std::mt19937 random_;
  std::string dir_, docs_;
  std::vector<Doc> docs;
  std::vector<std::unique_ptr<Printer>> printers_;
  std::unique_ptr<AppServer> server_;
  int pid_ = -1;
  // The stream of each document printed alone, on an 80 mm and a 58 mm printer.
  std::map<std::pair<int, bool>, Bytes> reference_;
  std::vector<Job> jobs_;
  std::atomic<size_t> next_ = 0, done_ = 0;  // jobs taken by a client, and finished with
  std::mutex mutex_, rasterMutex_;
  std::vector<std::string> failures_, notes_;
  std::set<std::string> seenTogether_;  // printer:ids seen processing at once
  int changedEnds_ = 0;                 // jobs whose end changed after it was seen
  ProcessFigures before_, after_;
  Clock::time_point start_;
  double seconds_ = 0;
  bool died_ = false, hung_ = false;
};

void Soak::WriteDocuments() {
  docs_ = dir_ + "/docs";
  fs::create_directories(docs_);
  auto file = [&](const std::string& name) { return docs_ + "/" + name; };
  const Picture marked = MarkedPicture(576, 400);
  WritePng(file("marked.png"), marked);
  WritePng(file("narrow.png"), MarkedPicture(384, 300));
  WritePwg(file("marked.pwg"), {marked});
  WritePdf(file("marked.pdf"), {marked, MarkedPicture(576, 200)});
  // Four pages of 50 % grey, each 2.9 m long: 6.6 MB of picture data, more
  // than the socket buffers of both ends hold (4 MB at most for the
  // sender), for the printer that stops reading.
  WriteGreyPdf(file("long.pdf"), 4, 576, 23000);
  if (Shell("gs -q -sDEVICE=jpeggray -r203 -o " + file("marked.jpg") + " " + file("marked.pdf") + " && test -s " +
            file("marked.jpg")).status != 0)
    throw std::runtime_error("gs could not write the JPEG");
  fs::copy_file(std::string(LABELFILTER_SOURCE_DIR) + "/samples/receipt.pdf", file("receipt.pdf"),
                fs::copy_options::overwrite_existing);
  // Raw ESC/POS as point-of-sale software writes it: text lines, a cut.
  std::string raw = "\x1b@";
  for (int line = 0; line < 150; ++line) raw += "Item " + std::to_string(line) + " ............ 1.00 EUR\n";
  raw += "\x1b" "d\x04\x1dV\x01";
  std::ofstream(file("receipt.bin"), std::ios::binary) << raw;

  docs = {
      {"png", file("marked.png"), "image/png", "", ""},
      {"png x2", file("narrow.png"), "image/png", "-o copies=2", "ATTR integer copies 2"},
      {"jpeg", file("marked.jpg"), "image/jpeg", "", ""},
      {"pdf", file("marked.pdf"), "application/pdf", "", ""},
      {"pdf cut/page", file("receipt.pdf"), "application/pdf", "-o cutter=page", "ATTR keyword cutter page"},
      {"pwg", file("marked.pwg"), "image/pwg-raster", "", ""},
      {"raw", file("receipt.bin"), "application/vnd.escpos", "", ""},
      {"long pdf", file("long.pdf"), "application/pdf", "", ""},
  };
  // One ipptool test per document, and one for cancelling.
  for (size_t d = 0; d < docs.size(); ++d)
    std::ofstream(docs_ + "/print" + std::to_string(d) + ".test")
        << "{\n  NAME \"print\"\n  OPERATION Print-Job\n  GROUP operation-attributes-tag\n"
           "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
           "  ATTR uri printer-uri $uri\n  ATTR name requesting-user-name soak\n"
           "  ATTR mimeMediaType document-format "
        << docs[d].format << "\n  GROUP job-attributes-tag\n  " << docs[d].ippAttrs
        << "\n  FILE $filename\n  STATUS successful-ok\n  DISPLAY job-id\n}\n";
  std::ofstream(docs_ + "/cancel.test")
      << "{\n  NAME \"cancel\"\n  OPERATION Cancel-Job\n  GROUP operation-attributes-tag\n"
         "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
         "  ATTR uri printer-uri $uri\n  ATTR integer job-id $jobid\n  ATTR name requesting-user-name soak\n"
         "  STATUS successful-ok\n  STATUS client-error-not-possible\n  STATUS client-error-not-found\n}\n";
}

void Soak::AddPrinters() {
  struct Def { const char* name; bool wide; Fault fault; };
  const Def defs[] = {{"ref80", true, Fault::None},   {"ref58", false, Fault::None},     {"p80a", true, Fault::None},
                      {"p80b", true, Fault::None},    {"p58a", false, Fault::None},      {"p58b", false, Fault::None},
                      {"nonsense", true, Fault::Nonsense}, {"reset", false, Fault::Reset}, {"stall", true, Fault::Stall}};
  for (const Def& d : defs) {
    auto p = std::make_unique<Printer>();
    p->name = d.name;
    p->wide = d.wide;
    p->fault = d.fault;
    p->driver = d.wide ? "escpos-80mm-203dpi" : "escpos-58mm-203dpi";
    std::string uri;
    if (d.fault == Fault::Stall) {
      p->stall = std::make_unique<StallingPrinter>(kStallAfter);
      uri = p->stall->uri();
    } else {
      p->fake = d.fault == Fault::Reset ? std::make_unique<FakePrinter>(::Fault::ResetEach, kResetAfter)
                                         : std::make_unique<FakePrinter>();
      // Not status bytes (bits 1 and 4 set, 0 and 7 clear): the status stays unknown.
      if (d.fault == Fault::Nonsense) p->fake->Answer(StatusAnswers{0xFF, 0x00, 0x81, 0x6D});
      uri = p->fake->uri();
    }
    const RunResult r = server_->Cli("add -d " + p->name + " -m " + p->driver + " -v " + uri);
    if (r.status != 0) throw std::runtime_error("adding " + p->name + ": " + r.output);
    printers_.push_back(std::move(p));
  }
}

// Each document printed alone on each width: what the same job must give
// under load. Raw ESC/POS must arrive byte for byte as sent.
bool Soak::References() {
  for (int wide = 0; wide < 2; ++wide) {
    Printer& p = *printers_[wide ? 0 : 1];
    for (size_t d = 0; d < docs.size(); ++d) {
      const size_t before = p.fake->Connections();
      const RunResult r = server_->Cli("submit -d " + p.name + " " + docs[d].appOptions + " " + docs[d].file);
      const JobEnd end = WaitForJob(p.name, r.status == 0 ? JobIdIn(r.output) : -1);
      if (end.state != IPP_JSTATE_COMPLETED) {
        Fail("reference: " + docs[d].name + " on " + p.name + " did not complete: " + end.message + r.output);
        return false;
      }
      reference_[{int(d), bool(wide)}] = p.fake->WaitForConnection(before);
      const Bytes& ref = reference_[{int(d), bool(wide)}];
      std::ofstream(dir_ + "/reference-" + std::to_string(d) + (wide ? "-80" : "-58"), std::ios::binary)
          .write(reinterpret_cast<const char*>(ref.data()), ref.size());
      if (reference_[{int(d), bool(wide)}].size() <= kResetAfter)
        Fail("reference: " + docs[d].name + " is too short for the resetting printer");
    }
  }
  const std::string raw = ReadText(docs[6].file);
  if (reference_[{6, true}] != Bytes(raw.begin(), raw.end())) Fail("reference: raw ESC/POS was changed on its way");
  return failures_.empty();
}

void Soak::Plan() {
  // Printers 2.. take the soak's jobs; weights: healthy ones most.
  std::vector<int> pool;
  for (size_t i = 2; i < printers_.size(); ++i) {
    const Fault f = printers_[i]->fault;
    const int weight = f == Fault::None ? 6 : f == Fault::Stall ? 0 : 3;
    for (int w = 0; w < weight; ++w) pool.push_back(int(i));
  }
  const int stall = int(printers_.size()) - 1;
  std::uniform_int_distribution<int> percent(0, 99), delay(0, 1500);
  const int longDoc = int(docs.size()) - 1;
  for (int i = 0; i < o_.jobs; ++i) {
    Job j;
    j.printer = pool[random_() % pool.size()];
    j.doc = int(random_() % (docs.size() - 1));
    if (percent(random_) < 3) j.doc = longDoc;
    j.viaIpp = random_() & 1;
    j.cancel = percent(random_) < o_.cancelPercent;
    j.cancelViaIpp = random_() & 1;
    // A third of the cancels come at once: the job is just starting.
    j.cancelDelayMs = percent(random_) < 33 ? 0 : delay(random_);
    jobs_.push_back(j);
  }
  // The printer that stops reading gets a few long jobs, spread over the run.
  for (int k = 0; k < o_.stallJobs && o_.jobs > 0; ++k) {
    Job& j = jobs_[size_t(o_.jobs) * (k + 1) / (o_.stallJobs + 1) % size_t(o_.jobs)];
    j.printer = stall;
    j.doc = longDoc;
    // One is cancelled while its stream is stuck: the cancel must still end it.
    j.cancel = k == 1;
    j.cancelDelayMs = 3000;
  }
}

std::string Soak::PrintCommand(const Job& job) const {
  const Printer& p = *printers_[job.printer];
  const Doc& d = docs[job.doc];
  // Every client call is bounded: a server that stops answering shows as a
  // client killed by timeout, not as a soak that never ends.
  if (job.viaIpp)
    return "timeout -k 5 120 ipptool -T 60 -tv -f " + d.file + " ipp://localhost:" + std::to_string(AppServer::kPort) +
           "/ipp/print/" + p.name + " " + docs_ + "/print" + std::to_string(job.doc) + ".test";
  return "HOME=" + dir_ + "/server timeout -k 5 120 " + AppServer::Binary() + " submit -d " + p.name + " " +
         d.appOptions + " " + d.file;
}

std::string Soak::CancelCommand(const Job& job) const {
  const std::string& name = printers_[job.printer]->name;
  if (job.cancelViaIpp)
    return "timeout -k 5 120 ipptool -T 60 -d jobid=" + std::to_string(job.id) + " ipp://localhost:" +
           std::to_string(AppServer::kPort) + "/ipp/print/" + name + " " + docs_ + "/cancel.test";
  return "HOME=" + dir_ + "/server timeout -k 5 120 " + AppServer::Binary() + " cancel -d " + name + " -j " +
         std::to_string(job.id);
}

void Soak::RunJob(Job& job) {
  Printer& p = *printers_[job.printer];
  const bool raster = docs[job.doc].format == "image/pwg-raster";
  std::unique_lock<std::mutex> one;
  std::shared_lock<std::shared_mutex> shared;
  std::unique_lock<std::shared_mutex> alone;
  if (raster && !o_.rasterConcurrent) {
    // One raster job at a time, sent when its printer has nothing else.
    one = std::unique_lock(rasterMutex_);
    alone = std::unique_lock(p.submitting);
    for (const auto deadline = Clock::now() + 120s; Clock::now() < deadline;) {
      if (AllJobs(printers_, "not-completed", job.printer).empty()) break;
      std::this_thread::sleep_for(200ms);
    }
  } else {
    shared = std::shared_lock(p.submitting);
  }
  const RunResult r = Shell(PrintCommand(job));
  Log("print " + printers_[job.printer]->name + " " + docs[job.doc].name + ": status " + std::to_string(r.status) + "\n" + r.output);
  if (r.status == 0 && JobIdIn(r.output) > 0) {
    job.id = JobIdIn(r.output);
  } else if (r.output.find("busy") != std::string::npos) {
    job.refused = true;
  } else {
    job.failure = (r.status == 124 || r.status == 137 ? "client hung (killed after 120 s): " : "client failed: ") +
                  Tail(r.output, 3);
  }
  if (job.id > 0 && job.cancel) {
    std::this_thread::sleep_for(std::chrono::milliseconds(job.cancelDelayMs));
    const RunResult c = Shell(CancelCommand(job));
    Log("cancel " + printers_[job.printer]->name + " " + std::to_string(job.id) + ": status " + std::to_string(c.status) + "\n" + c.output);
    if (c.status == 124 || c.status == 137) job.failure = "cancel hung (killed after 120 s)";
  }
  if (alone.owns_lock()) {  // the raster job ends before the next one starts
    for (const auto deadline = Clock::now() + 120s; job.id > 0 && Clock::now() < deadline;) {
      if (!AllJobs(printers_, "not-completed", job.printer).count({job.printer, job.id})) break;
      std::this_thread::sleep_for(200ms);
    }
  }
}

void Soak::Client() {
  for (size_t i; (i = next_++) < jobs_.size();) {
    if (Running(pid_)) RunJob(jobs_[i]);
    ++done_;
  }
}

// Waits until every job has ended, the server died, or nothing moved for
// too long (a hang: the jobs still open and the server's threads are kept).
bool Soak::WaitForEnd() {
  auto lastChange = Clock::now(), lastAnswer = Clock::now(), lastFull = Clock::time_point();
  std::map<JobKey, int> seen;
  while (true) {
    if (!Running(pid_)) {
      died_ = true;
      return false;
    }
    // The open jobs every half second; every job's end only now and then.
    bool answered = false;
    auto all = AllJobs(printers_, "not-completed", -1, &answered);
    if (Clock::now() - lastFull > 3s) {
      for (const auto& [key, value] : AllJobs(printers_, "all", -1, &answered)) all.emplace(key, value);
      lastFull = Clock::now();
    }
    if (answered) lastAnswer = Clock::now();
    // A printer prints one job at a time: two in processing is worth a line.
    std::map<int, std::string> processing;
    for (const auto& [key, value] : all)
      if (value.state == IPP_JSTATE_PROCESSING) processing[key.first] += " " + std::to_string(key.second);
    for (const auto& [printer, ids] : processing)
      if (ids.find(' ', 1) != std::string::npos && seenTogether_.insert(printers_[printer]->name + ":" + ids).second)
        Log("two jobs processing at once on " + printers_[printer]->name + ":" + ids);
    bool open = false;
    for (Job& j : jobs_) {
      if (j.id <= 0 || Terminal(j.state)) continue;
      auto it = all.find({j.printer, j.id});
      if (it == all.end()) {
        open = true;  // not listed yet
        continue;
      }
      j.state = it->second.state;
      j.message = it->second.message;
      j.started = it->second.started;
      if (Terminal(j.state) && j.endedAt < 0) j.endedAt = std::chrono::duration<double>(Clock::now() - start_).count();
      if (seen[{j.printer, j.id}] != j.state) seen[{j.printer, j.id}] = j.state, lastChange = Clock::now();
      open |= !Terminal(j.state);
    }
    const bool sending = done_ < jobs_.size();
    if (!open && !sending) {
      // PAPPL can run a job again after its end (it started it twice), and
      // the job then leaves that end: the last listing has the job's end.
      const auto listed = AllJobs(printers_, "all");
      for (Job& j : jobs_) {
        const auto it = listed.find({j.printer, j.id});
        if (it == listed.end()) continue;
        const Listed& last = it->second;
        if (j.state == last.state && j.started == last.started) continue;
        Log("job " + std::to_string(j.id) + " on " + printers_[j.printer]->name + " was seen " +
            ippEnumString("job-state", j.state) + " (" + j.message + "), then " +
            ippEnumString("job-state", last.state) + " (" + last.message + ")");
        ++changedEnds_;
        j.state = last.state, j.message = last.message, j.started = last.started;
      }
      return true;
    }
    // The server stopped answering IPP, or the last jobs stopped moving.
    if (Clock::now() - lastAnswer > 60s || (!sending && Clock::now() - lastChange > std::chrono::seconds(o_.stuckSeconds))) {
      hung_ = true;
      return false;
    }
    std::this_thread::sleep_for(500ms);
  }
}

void Soak::Verify() {
  // PAPPL's `submit` prints the job id of a streamed raster job the server
  // refused as busy (the answer carries the id of the job it aborted), and
  // exits 0: such a job is a refusal, not a job that failed. A refused job
  // was never processed; one aborted after it began is a failure, whatever
  // its message says.
  for (Job& j : jobs_)
    if (j.id > 0 && !j.viaIpp && docs[j.doc].format == "image/pwg-raster" && j.state == IPP_JSTATE_ABORTED &&
        !j.started)
      j.refused = true;
  // Jobs the clients could not send.
  for (const Job& j : jobs_)
    if (!j.failure.empty())
      Fail("job to " + printers_[j.printer]->name + " (" + docs[j.doc].name + (j.viaIpp ? ", ipptool" : ", submit") +
           "): " + j.failure);
  for (size_t pi = 2; pi < printers_.size(); ++pi) {
    Printer& p = *printers_[pi];
    std::vector<const Job*> mine;
    for (const Job& j : jobs_)
      if (j.printer == int(pi) && j.id > 0 && !j.refused) mine.push_back(&j);
    auto label = [&](const Job& j) {
      return "job " + std::to_string(j.id) + " (" + docs[j.doc].name + " to " + p.name +
             (j.cancel ? ", cancelled after " + std::to_string(j.cancelDelayMs) + " ms" : "") + ")";
    };
    {
      std::ofstream list(dir_ + "/jobs-" + p.name);
      for (const Job* j : mine)
        list << j->id << " " << docs[j->doc].name << " " << (j->viaIpp ? "ipptool" : "submit") << " "
             << ippEnumString("job-state", j->state) << (j->cancel ? " cancel" : "") << " " << j->message << "\n";
    }
    for (const Job* j : mine) {
      if (!Terminal(j->state)) {
        Fail(label(*j) + " never ended: " + std::string(ippEnumString("job-state", j->state)) + " " + j->message);
        continue;
      }
      const bool healthy = p.fault == Fault::None || p.fault == Fault::Nonsense;
      if (healthy && !j->cancel && j->state != IPP_JSTATE_COMPLETED)
        Fail(label(*j) + " ended " + ippEnumString("job-state", j->state) + ": " + j->message);
      if (healthy && j->cancel && j->state == IPP_JSTATE_ABORTED)
        Fail(label(*j) + " was aborted instead of cancelled: " + j->message);
      if (p.fault == Fault::Reset && j->state == IPP_JSTATE_COMPLETED)
        Fail(label(*j) + " completed although the printer reset the connection after " +
             std::to_string(kResetAfter) + " bytes (lost output reported as success)");
    }
    if (!p.fake || p.fault == Fault::Reset) continue;
    // Each job has a connection of its own, so what a connection carried
    // must be one job's stream: a completed job's whole, or the start of a
    // cancelled or aborted one (whole bands) and its job end. PAPPL starts a
    // job when its document is in, not in the order of the job ids, so
    // connections are matched to jobs by their document: no document may have
    // more whole streams than jobs (a job run twice), nor fewer than
    // completed jobs (a job lost or cut short), and every beginning must find
    // a job of its own among those that did not complete. A short beginning
    // (a first band, a job end) may fit several documents, and so may a
    // whole stream: a two-page PDF cancelled after a first page that is the
    // PNG's picture sends exactly the PNG's stream.
    // Documents that print alike (a picture and its raster) count as one.
    auto kind = [&](int d) {
      for (int k = 0; k < d; ++k)
        if (reference_.at({k, p.wide}) == reference_.at({d, p.wide})) return k;
      return d;
    };
    Bytes all;
    std::ofstream connections(dir_ + "/connections-" + p.name);  // what each connection was taken for
    std::map<int, std::vector<std::vector<int>>> whole;  // per document: what else each whole stream may begin
    std::vector<std::vector<int>> beginnings;            // the documents each other connection may begin
    for (size_t c = 0, n = p.fake->Connections(); c < n; ++c) {
      const Bytes got = p.fake->WaitForConnection(c);
      all.insert(all.end(), got.begin(), got.end());
      if (got.empty()) continue;
      std::vector<int> fits;
      int wholeOf = -1;
      size_t longest = 0;
      for (size_t d = 0; d < docs.size(); ++d) {
        if (kind(int(d)) != int(d)) continue;
        const Bytes& want = reference_.at({int(d), p.wide});
        const size_t same = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
        longest = std::max(longest, same);
        if (got == want) wholeOf = int(d);
        else if (got.size() - same <= kJobEndSlack) fits.push_back(int(d));
      }
      connections << c << " " << got.size() << " bytes: ";
      if (wholeOf >= 0) connections << "whole " << docs[wholeOf].name << (fits.empty() ? "\n" : ", ");
      for (int d : fits) connections << "begins " << docs[d].name << (d == fits.back() ? "\n" : ", ");
      if (wholeOf >= 0) {
        whole[wholeOf].push_back(std::move(fits));
      } else if (!fits.empty()) {
        beginnings.push_back(std::move(fits));
      } else {
        Fail(p.name + ": connection " + std::to_string(c) + " (" + std::to_string(got.size()) +
             " bytes) is no job's stream (jobs interleaved or changed); it parts from every document by byte " +
             std::to_string(longest));
      }
    }
    std::ofstream(dir_ + "/received-" + p.name, std::ios::binary).write(reinterpret_cast<const char*>(all.data()), all.size());
    std::map<int, size_t> unfinished;  // jobs per document that may have sent a beginning
    for (size_t d = 0; d < docs.size(); ++d) {
      if (kind(int(d)) != int(d)) continue;
      size_t jobs = 0, completed = 0;
      for (const Job* j : mine)
        if (kind(j->doc) == int(d)) ++jobs, completed += j->state == IPP_JSTATE_COMPLETED;
      // Whole streams beyond the jobs that may begin another document are
      // taken for those beginnings; a job sent twice finds no job there.
      auto& streams = whole[int(d)];
      for (auto s = streams.begin(); streams.size() > jobs && s != streams.end();)
        if (s->empty()) {
          ++s;
        } else {
          beginnings.push_back(std::move(*s));
          s = streams.erase(s);
        }
      if (streams.size() > jobs)
        Fail(p.name + ": " + std::to_string(streams.size()) + " whole streams of " + docs[d].name + " for " +
             std::to_string(jobs) + " jobs (a job sent twice)");
      if (streams.size() < completed)
        Fail(p.name + ": " + std::to_string(completed) + " " + docs[d].name + " jobs completed, but only " +
             std::to_string(streams.size()) + " whole streams arrived (lost output reported as success)");
      unfinished[int(d)] = jobs - std::min(jobs, std::max(streams.size(), completed));
    }
    // The beginnings that fit fewest documents take their jobs first.
    std::sort(beginnings.begin(), beginnings.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });
    for (const std::vector<int>& fits : beginnings) {
      const auto job = std::find_if(fits.begin(), fits.end(), [&](int d) { return unfinished[d] > 0; });
      if (job == fits.end()) {
        Fail(p.name + ": a connection began " + docs[fits.front()].name +
             " with no unfinished job of it left (a job sent twice)");
        continue;
      }
      --unfinished[*job];
    }
  }
  // Nothing leaked: the idle server holds what it held before the jobs.
  if (after_.fds > before_.fds)
    Fail("file descriptors: " + std::to_string(before_.fds) + " idle before, " + std::to_string(after_.fds) + " after");
  if (after_.threads > before_.threads)
    Fail("threads: " + std::to_string(before_.threads) + " idle before, " + std::to_string(after_.threads) + " after");
}

void Soak::Report() {
  int completed = 0, cancelled = 0, aborted = 0, refused = 0, sent = 0;
  for (const Job& j : jobs_) {
    refused += j.refused;
    sent += j.id > 0;
    completed += j.state == IPP_JSTATE_COMPLETED;
    cancelled += j.state == IPP_JSTATE_CANCELED;
    aborted += j.state == IPP_JSTATE_ABORTED;
  }
  // The rate leaves out the printer that stops reading: its jobs wait a
  // minute each for the write timeout, whatever the load.
  int flowing = 0;
  double flowSeconds = 0;
  for (const Job& j : jobs_)
    if (printers_[j.printer]->fault != Fault::Stall && j.endedAt >= 0) ++flowing, flowSeconds = std::max(flowSeconds, j.endedAt);
  std::ostringstream rate, mem;
  rate.precision(2);
  rate << std::fixed << (flowSeconds > 0 ? flowing / flowSeconds : 0.0) << " (" << flowing << " jobs in "
       << int(flowSeconds + 0.5) << " s)";
  mem << (after_.hwmKiB > 0 ? after_.hwmKiB / 1024 : -1) << " MB";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"seed, clients, raster jobs", std::to_string(o_.seed) + ", " + std::to_string(o_.clients) + ", " +
                                         (o_.rasterConcurrent ? "concurrent" : "one at a time")},
      {"jobs planned / created", std::to_string(jobs_.size()) + " / " + std::to_string(sent)},
      {"completed / cancelled / aborted", std::to_string(completed) + " / " + std::to_string(cancelled) + " / " +
                                              std::to_string(aborted)},
      {"refused busy (streamed raster)", std::to_string(refused)},
      {"time until every job ended (s)", std::to_string(int(seconds_ + 0.5))},
      {"jobs per second, but the stalled printer's", rate.str()},
      {"peak memory (VmHWM)", mem.str()},
      {"resident memory idle, before / after", std::to_string(before_.rssKiB / 1024) + " MB / " +
                                                    std::to_string(after_.rssKiB / 1024) + " MB"},
      {"open fds idle, before / after", std::to_string(before_.fds) + " / " + std::to_string(after_.fds)},
      {"threads idle, before / after", std::to_string(before_.threads) + " / " + std::to_string(after_.threads)},
      {"server", died_ ? "DIED" : hung_ ? "HUNG" : "alive"},
      {"checks", failures_.empty() ? "PASS" : "FAIL (" + std::to_string(failures_.size()) + ")"},
  };
  if (o_.markdown) {
    std::cout << "| Soak | |\n|---|---:|\n";
    for (const auto& [k, v] : rows) std::cout << "| " << k << " | " << v << " |\n";
  } else {
    for (const auto& [k, v] : rows) std::cout << std::left << std::setw(46) << k << v << "\n";
  }
  if (changedEnds_)
    notes_.push_back(std::to_string(changedEnds_) + " jobs left the end first seen (" + dir_ + "/clients.log)");
  if (!seenTogether_.empty())
    notes_.push_back(std::to_string(seenTogether_.size()) + " times two jobs of one printer were processing at once (" +
                     dir_ + "/clients.log)");
  for (const std::string& n : notes_) std::cerr << "soak: " << n << "\n";
  for (const std::string& f : failures_) std::cerr << "soak: FAIL " << f << "\n";
}

int Soak::Run() {
  dir_ = fs::absolute(o_.out).string();
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  if (const std::string why = EnterPrivateWorld(); !why.empty()) {
    std::cerr << "soak: skipped: " << why << "\n";
    return kSkipped;
  }
  WriteDocuments();
  server_ = std::make_unique<AppServer>(dir_ + "/server");
  server_->Start("-o log-level=" + o_.logLevel);  // the harness keeps the whole log, for a failure's why
  pid_ = server_->Pid();
  if (!Running(pid_)) throw std::runtime_error("the server did not start: " + ReadText(dir_ + "/server/stdout"));
  AddPrinters();
  std::cerr << "soak: printing each document alone for reference\n";
  if (!References()) {
    Report();
    return 1;
  }
  Plan();
  // Idle: the status checks of the idle printers come and go.
  std::this_thread::sleep_for(3s);
  before_ = Figures(pid_);
  const std::string fds = "ls -l /proc/" + std::to_string(pid_) + "/fd; ss -tanp";
  Shell("{ " + fds + "; } >" + dir_ + "/fds-before.txt 2>&1");
  std::cerr << "soak: " << jobs_.size() << " jobs from " << o_.clients << " clients\n";
  start_ = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < o_.clients; ++c) clients.emplace_back([this] { Client(); });
  const bool ended = WaitForEnd();
  seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
  if (!ended) {
    const std::string what = died_ ? "the server died" : "jobs stopped moving";
    Fail(what + "; server output: " + Tail(ReadText(dir_ + "/server/stdout"), 5));
    if (hung_) {
      after_ = Figures(pid_);
      for (const Job& j : jobs_)
        if (j.id > 0 && !Terminal(j.state))
          Fail("stuck: job " + std::to_string(j.id) + " (" + docs[j.doc].name + " to " + printers_[j.printer]->name +
               (j.viaIpp ? ", ipptool" : ", submit") + "), last seen " +
               (j.state ? ippEnumString("job-state", j.state) : "nowhere") + " " + j.message);
      // The threads of the hung server, for the report.
      Shell("timeout 120 gdb -p " + std::to_string(pid_) + " -batch -ex 'thread apply all bt' >" + dir_ +
            "/hang-backtrace.txt 2>&1");
      notes_.push_back("backtraces of the hung server: " + dir_ + "/hang-backtrace.txt");
      // Unblock the clients: the server is stopped, the clients' calls fail.
      kill(pid_, SIGKILL);
    }
  }
  // A client whose server died may be waiting on a private server started
  // after the death was seen.
  while (died_ && done_ < jobs_.size()) {
    StopPrivateServers(dir_ + "/server");
    std::this_thread::sleep_for(1s);
  }
  for (std::thread& t : clients) t.join();
  if (ended) {
    // Idle again: the job threads and the clients' connections end.
    for (const auto deadline = Clock::now() + 20s; Clock::now() < deadline; std::this_thread::sleep_for(500ms)) {
      after_ = Figures(pid_);
      if (after_.fds <= before_.fds && after_.threads <= before_.threads) break;
    }
  }
  after_ = ended ? Figures(pid_) : after_;
  // Where the idle server's memory lies, for a reader who wonders.
  std::ofstream(dir_ + "/server/smaps-after") << ReadText("/proc/" + std::to_string(pid_) + "/smaps");
  if (ended && after_.fds > before_.fds) {
    // Which descriptors: a socket shows its peer (ss), e.g. a printer's port.
    Shell("{ " + fds + "; } >" + dir_ + "/fds-after.txt 2>&1");
    notes_.push_back("descriptors of the idle server before and after: " + dir_ + "/fds-before.txt, fds-after.txt");
  }
  if (ended) {
    Verify();
    const int status = server_->Stop();
    if (status != 0) Fail("the server's exit status after SIGTERM was " + std::to_string(status));
  }
  notes_.push_back("server log: " + dir_ + "/server/log, output: " + dir_ + "/server/stdout");
  Report();
  return failures_.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--seed") o.seed = unsigned(std::stoul(value()));
      else if (a == "--jobs") o.jobs = std::stoi(value());
      else if (a == "--clients") o.clients = std::max(1, std::stoi(value()));
      else if (a == "--cancel-percent") o.cancelPercent = std::stoi(value());
      else if (a == "--stall-jobs") o.stallJobs = std::stoi(value());
      else if (a == "--stuck-seconds") o.stuckSeconds = std::stoi(value());
      else if (a == "--out") o.out = value();
      else if (a == "--log-level") o.logLevel = value();
      else if (a == "--markdown") o.markdown = true;
      else if (a == "--raster") {
        const std::string mode = value();
        if (mode != "serial" && mode != "concurrent") throw std::invalid_argument("--raster serial|concurrent");
        o.rasterConcurrent = mode == "concurrent";
      } else {
        std::cerr << kUsage;
        return a == "--help" || a == "-h" ? 0 : 1;
      }
    } catch (const std::exception& e) {
      std::cerr << "soak: " << e.what() << "\n" << kUsage;
      return 1;
    }
  }
  return RunProgram("soak", [&] { return Soak(o).Run(); });
}
