// Real parts for the printer application's tests: a private network and
// mount namespace, fake ESC/POS printers on loopback, the real server, its
// own command line, ipptool, and documents written by libpng,
// libcups' raster writer and a small PDF writer.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Enters a private network namespace (only loopback, up) and a private
// mount namespace with fresh tmpfs over /run, /var/lib and /tmp, keeping
// the source and build trees visible when they lie under /tmp. Must run
// before any thread starts. Returns why it failed, or "".
std::string EnterPrivateWorld();

// The answers of a printer to DLE EOT 1, 2, 3 and 4.
using StatusAnswers = std::array<uint8_t, 4>;
// Online, cover closed, no error, paper present.
inline constexpr StatusAnswers kPrinterReady = {0x12, 0x12, 0x12, 0x12};

// How a fake printer misbehaves; `after` is a byte count of the connection.
enum class Fault {
  None,
  ResetEach,   // resets every connection after `after` bytes: switched off mid-job
  ResetFirst,  // stops reading after `after` bytes of its first connection, resets it a second later
  StallFirst,  // stops reading after `after` bytes of its first connection, until the sender gives up
  Chatty,      // reads slowly, and sends a byte nobody asked for after every read
};

// A TCP listener on 127.0.0.1 that records each connection, one at a time,
// misbehaving as `fault` says. Status queries (DLE EOT n outside GS v 0
// picture data) are answered as set (ready at first) or not at all, and
// left out of the recorded bytes; a connection that carried nothing else is
// not recorded.
class FakePrinter {
 public:
  explicit FakePrinter(Fault fault = Fault::None, size_t after = 0);
  ~FakePrinter();
  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  size_t Connections();
  // The bytes of connection `index` once it has ended.
  Bytes WaitForConnection(size_t index);
  // Status queries seen on connection `index`.
  size_t QueriesIn(size_t index);
  // Answers from now on, or from the `fromBand`th band of a connection on
  // (a roll that runs out in the middle of a job); nullopt: silence.
  void Answer(std::optional<StatusAnswers> answers, size_t fromBand = 0);
  // Bytes other than status queries received so far on the connection in
  // progress.
  size_t Received() { return received_; }
  // When connection `index` brought its first byte, the header of its first
  // picture band and its last byte (status queries left out; the epoch when
  // none came): what a benchmark of the time to paper reads.
  struct Arrival {
    std::chrono::steady_clock::time_point firstByte, firstBand, lastByte;
  };
  Arrival ArrivalOf(size_t index);
  // From the next connection on, acknowledges every read and sends each
  // answer at once (TCP_QUICKACK, TCP_NODELAY), as a printer with a small
  // TCP stack does. Otherwise Linux's delayed acknowledgement holds the
  // status queries that follow picture data, and the answers to them, for
  // about 40 ms each: right for the tests, but such waits would drown what
  // a benchmark of the server's own time measures.
  void Prompt() { prompt_ = true; }

 private:
  struct Connection {
    Bytes bytes;
    size_t queries = 0;
    Arrival arrival;
  };
  int listener_;
  int port_;
  Fault fault_;
  size_t after_;
  std::atomic<bool> stopping_ = false, prompt_ = false;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<Connection> connections_;
  std::optional<StatusAnswers> answers_ = kPrinterReady, nextAnswers_ = kPrinterReady;
  size_t nextFromBand_ = 0;
  std::atomic<size_t> received_ = 0;
  std::thread thread_;
};

struct RunResult {
  int status = -1;
  std::string output;  // standard output and error
};

// Runs a shell command line.
RunResult Shell(const std::string& command);

// The real `labelfilter-printer-app server` with a private state.
class AppServer {
 public:
  static constexpr int kPort = 8631;
  static std::string Binary() { return LABELFILTER_PRINTER_APP; }
  explicit AppServer(std::string dir);
  ~AppServer() { Stop(); }
  // `options`: more of the server's -o options; `environment`: variable
  // assignments for the server, as a shell takes them.
  void Start(const std::string& options = "", const std::string& environment = "");
  // The server's exit status after SIGTERM: 0 unless it crashed or, in
  // sanitizer builds, leaked.
  int Stop();
  bool Alive();
  int Pid() const { return pid_; }
  // The app's own command line against this server.
  RunResult Cli(const std::string& args);
  std::string Log();

 private:
  std::string dir_;
  int pid_ = -1;
};

struct JobEnd {
  int state = 0;  // IPP job-state
  std::string message;
};

// The line "attr (type) = value" ipptool shows for the printer, or for job
// `jobId`, once it contains one of the '|'-separated parts of `want` (within
// a generous limit); else the last line seen.
std::string AttributeOnce(const std::string& printer, const std::string& attr, const std::string& want, int jobId = 0);
// Waits (within a generous limit) for a job to stop, over IPP.
JobEnd WaitForJob(const std::string& printer, int jobId);
// Waits for the printer to have no job in progress: a streamed raster job
// sent to a busy printer is turned away, and CUPS retries it only later.
void WaitForIdle(const std::string& printer);
// The number after the last '-' ("receipt-12" from submit) or after
// "job-id (integer) = " (ipptool), or -1.
int JobIdIn(const std::string& output);
// Runs ipptool on one test made of `body` against the printer.
RunResult IppTool(const std::string& printer, const std::string& body, const std::string& file = "");
// A page of the web interface as a browser set to English gets it; with
// `form`, the page's form is then sent with these fields.
std::string HttpGet(const std::string& path, const std::string& form = "");

// A grey picture, 0 = black as in PNG and sGray.
struct Picture {
  uint32_t width = 0, rows = 0;
  std::vector<uint8_t> grey;
};
// White, with a 48-row black block at the top left and one at the bottom
// right, and a grey ramp under the top block:
// upright and unmirrored printing can be read from where the blocks land.
Picture MarkedPicture(uint32_t width, uint32_t rows);
void WritePng(const std::string& path, const Picture& picture);
// PWG raster, 8-bit sGray at 203 dpi; `declaredRows` may exceed the rows
// written, for a page whose data never comes.
// `oneBit`: black_1 pages (grey below 128 is a dot) instead of sgray_8.
void WritePwg(const std::string& path, const std::vector<Picture>& pages, std::optional<uint32_t> declaredRows = {},
              bool oneBit = false);
// A PDF of one picture a page, each page as large as its picture at 203 dpi.
void WritePdf(const std::string& path, const std::vector<Picture>& pages);
// Ends a PDF whose objects 1.. start at `offsets` (object 1 the catalog):
// its cross-reference table and trailer, then writes it to `path`.
void WritePdfEnd(const std::string& path, std::string& pdf, const std::vector<size_t>& offsets);

// The server's open descriptors, threads and memory (KiB), from /proc; -1
// where unknown.
struct ProcessFigures {
  long fds = -1, threads = -1, rssKiB = -1, hwmKiB = -1;
};
ProcessFigures Figures(int pid);

std::string ReadText(const std::string& path);

// The body of a program that drives the server (the soak, the benchmarks):
// a client that hangs up must not kill it, and what stops it is said under
// its name, with exit status 1.
template <class Body>
int RunProgram(const char* name, Body body) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return body();
  } catch (const std::exception& e) {
    std::cerr << name << ": " << e.what() << "\n";
    return 1;
  }
}
std::string TestDir(const std::string& name);
