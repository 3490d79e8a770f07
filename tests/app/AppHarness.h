// Real parts for the printer application's tests: a private network and
// mount namespace, a fake ESC/POS printer on loopback, the real server, its
// own command line, CUPS's ipptool, and documents written by libpng, libjpeg
// and libcups' raster writer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
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

// A TCP listener on 127.0.0.1 that records every connection's bytes.
class FakePrinter {
 public:
  enum class Mode { Record, Refuse, HangUpAfter };
  FakePrinter();
  ~FakePrinter();
  int port() const { return port_; }
  std::string uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  // Refuse: nothing listens on the port. HangUpAfter: a connection is reset
  // after `bytes` bytes.
  void SetMode(Mode mode, size_t bytes = 0);
  // Connections accepted so far.
  size_t Connections();
  // The bytes of connection `index` once the sender has closed it.
  Bytes WaitForConnection(size_t index);

 private:
  void Listen();
  void Serve();
  int port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  Mode mode_ = Mode::Record;
  size_t hangUpAfter_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  struct Connection {
    Bytes bytes;
    bool closed = false;
  };
  std::vector<Connection> connections_;
  std::thread thread_;
};

struct RunResult {
  int status = -1;  // exit code, or 128 + signal
  std::string output;  // standard output and error
};

// Runs a program with the environment given on top of ours.
RunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});

// The environment of a command that runs PAPPL's "status".
std::map<std::string, std::string> StatusLeakTolerated();

// The real `labelfilter-printer-app server` with a private state.
class AppServer {
 public:
  static constexpr int kPort = 8631;
  explicit AppServer(std::string dir);
  ~AppServer();
  void Start(std::vector<std::string> extraArgs = {});
  void Stop();
  bool Alive();
  // The app's own command line against this server.
  RunResult Cli(std::vector<std::string> args);
  std::string Log();
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  int pid_ = -1;
};

struct JobEnd {
  int state = 0;  // IPP job-state
  std::string message;
  std::string reasons;
};

// Waits (within a generous limit) for a job to stop, over IPP.
JobEnd WaitForJob(const std::string& printer, int jobId);
// The job id in `submit` output ("receipt-12"), or -1.
int SubmittedJobId(const std::string& output);
// Runs ipptool with a one-test file made of `body`; returns its output.
RunResult IppTool(const std::string& printer, const std::string& body, const std::string& file = "");
int IppToolJobId(const RunResult& result);
// A page of the server's web interface: status line, then the body.
std::string HttpGet(const std::string& path);

// A grey picture, 0 = black as in PNG and sGray.
struct Picture {
  uint32_t width = 0, rows = 0;
  std::vector<uint8_t> grey;
};
// White, with a black block at the top left and one at the bottom right:
// upright and unmirrored printing can be read from where the blocks land.
Picture MarkedPicture(uint32_t width, uint32_t rows, uint32_t gapRows = 0);
void WritePng(const std::string& path, const Picture& picture);
void WriteJpeg(const std::string& path, const Picture& picture);
// PWG raster, 8-bit sGray at 203 dpi, through libcups' writer. `rows` may
// exceed the rows written, for pages whose data never comes.
void WritePwg(const std::string& path, const Picture& picture, std::optional<uint32_t> declaredRows = {});
void WritePwg(const std::string& path, const std::vector<Picture>& pages);

std::string TestDir(const std::string& name);
