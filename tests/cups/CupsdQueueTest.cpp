// A whole print queue: a private cupsd (own configuration, spool, logs and
// loopback port, nothing shared with the system's CUPS), a queue made with
// lpadmin from the shipped PPD and a file: device, jobs sent with lp and
// followed over IPP until they complete, and the printer stream they leave
// in the device file checked like the cupsfilter output.
#include "CupsTestSupport.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = cupstest::fs;

// A free loopback port: bind to port 0 and ask which one the kernel gave.
int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

class PrivateCupsd {
 public:
  PrivateCupsd() : scratch_("cupsd") {
    const fs::path& b = scratch_.path();
    for (const char* d : {"etc", "spool", "tmp", "cache", "state", "log", "out"}) {
      fs::create_directories(b / d);
      fs::permissions(b / d, fs::perms(0755));
    }
    // Filters run as lp and make their temporary files in TempDir.
    fs::permissions(b / "tmp", fs::perms(01777));
    const fs::path serverBin = cupstest::makeServerBin(b);
    port_ = freePort();
    cupstest::writeFile(b / "etc" / "cups-files.conf",
                        "ServerRoot " + (b / "etc").string() + "\n" +
                        "RequestRoot " + (b / "spool").string() + "\n" +
                        "TempDir " + (b / "tmp").string() + "\n" +
                        "CacheDir " + (b / "cache").string() + "\n" +
                        "StateDir " + (b / "state").string() + "\n" +
                        "ServerBin " + serverBin.string() + "\n" +
                        "AccessLog " + (b / "log" / "access_log").string() + "\n" +
                        "ErrorLog " + (b / "log" / "error_log").string() + "\n" +
                        "PageLog " + (b / "log" / "page_log").string() + "\n" +
                        "LogFilePerm 0644\n"
                        "FileDevice Yes\n");
    // No authentication anywhere: the daemon only listens on loopback and
    // lives for one test.
    cupstest::writeFile(b / "etc" / "cupsd.conf",
                        "LogLevel debug\n"
                        "MaxLogSize 0\n"
                        "Listen 127.0.0.1:" + std::to_string(port_) + "\n" +
                        "Browsing No\n"
                        "BrowseLocalProtocols none\n"
                        "DefaultShared No\n"
                        "WebInterface No\n"
                        "DefaultAuthType None\n"
                        "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                        "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");

    pid_ = fork();
    if (pid_ == 0) {
      const std::string conf = (b / "etc" / "cupsd.conf").string();
      const std::string files = (b / "etc" / "cups-files.conf").string();
      const fs::path log = b / "log" / "cupsd.out";
      if (!freopen(log.c_str(), "w", stdout) || !freopen(log.c_str(), "a", stderr)) _exit(126);
      execlp("cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline && !accepts(port_) && !exited()) std::this_thread::sleep_for(10ms);
  }

  ~PrivateCupsd() {
    if (pid_ > 0 && !exited()) {
      kill(pid_, SIGTERM);
      const auto deadline = Clock::now() + 10s;
      while (Clock::now() < deadline && !exited()) std::this_thread::sleep_for(10ms);
      if (!exited()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }

  bool running() { return pid_ > 0 && !exited() && accepts(port_); }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  const fs::path& base() const { return scratch_.path(); }
  std::string errorLog() const {
    const auto bytes = cupstest::readFile(base() / "log" / "error_log");
    const auto out = cupstest::readFile(base() / "log" / "cupsd.out");
    return std::string(bytes.begin(), bytes.end()) + std::string(out.begin(), out.end());
  }

 private:
  bool exited() {
    if (reaped_) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) reaped_ = true;
    return reaped_;
  }

  cupstest::ScratchDir scratch_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

struct JobState {
  int state = 0;
  std::string reasons;
  std::string message;
};

// Get-Job-Attributes over IPP: a job that stops never leaves the queue, so
// its state is what tells whether it completed.
std::optional<JobState> jobState(int port, int jobId) {
  std::unique_ptr<http_t, decltype(&httpClose)> http(
      httpConnect2("127.0.0.1", port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr), &httpClose);
  if (!http) return std::nullopt;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  const std::string uri = "ipp://127.0.0.1:" + std::to_string(port) + "/jobs/" + std::to_string(jobId);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  std::unique_ptr<ipp_t, decltype(&ippDelete)> response(cupsDoRequest(http.get(), request, "/"), &ippDelete);
  if (!response) return std::nullopt;
  JobState js;
  if (auto* a = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM)) js.state = ippGetInteger(a, 0);
  if (auto* a = ippFindAttribute(response.get(), "job-state-reasons", IPP_TAG_KEYWORD))
    for (int i = 0; i < ippGetCount(a); ++i) js.reasons += std::string(i ? "," : "") + ippGetString(a, i, nullptr);
  if (auto* a = ippFindAttribute(response.get(), "job-printer-state-message", IPP_TAG_TEXT))
    js.message = ippGetString(a, 0, nullptr);
  return js;
}

// Waits until the job has left the pending/held/processing states.
JobState waitForJob(int port, int jobId, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  JobState last;
  while (Clock::now() < deadline) {
    if (auto js = jobState(port, jobId)) {
      last = *js;
      if (last.state >= IPP_JSTATE_STOPPED) return last;
    }
    std::this_thread::sleep_for(20ms);
  }
  return last;
}

int submit(const PrivateCupsd& cupsd, const std::vector<std::string>& options, std::string& diagnostics) {
  std::vector<std::string> argv = {"lp", "-h", cupsd.server(), "-d", "receipt"};
  for (const auto& o : options) {
    argv.push_back("-o");
    argv.push_back(o);
  }
  argv.push_back(cupstest::samplePdf().string());
  const auto r = cupstest::run(argv);
  diagnostics = r.out + r.err;
  // "request id is receipt-7 (1 file(s))"
  const auto at = r.out.find("receipt-");
  if (r.status != 0 || at == std::string::npos) return -1;
  return std::stoi(r.out.substr(at + 8));
}

std::optional<std::pair<time_t, long>> mtimeOf(const char* file) {
  struct stat st{};
  if (stat(file, &st) != 0) return std::nullopt;
  return std::make_pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

TEST(CupsdQueue, TwoJobsThroughAPrivateSchedulerComplete) {
  if (geteuid() != 0) GTEST_SKIP() << "cupsd runs filters as lp only when started as root";
  const auto started = Clock::now();
  const auto systemPrinters = mtimeOf("/etc/cups/printers.conf");
  {
    PrivateCupsd cupsd;
    ASSERT_TRUE(cupsd.running()) << cupsd.errorLog();

    const fs::path device = cupsd.base() / "out" / "receipt.escpos";
    const auto admin = cupstest::run({"lpadmin", "-h", cupsd.server(), "-p", "receipt", "-E", "-v",
                                      "file://" + device.string(), "-P", cupstest::ppdPath("lf80mm.ppd").string()});
    ASSERT_EQ(admin.status, 0) << admin.out << admin.err << cupsd.errorLog();

    struct Job {
      const char* name;
      std::vector<std::string> options;
      const char* cutting;
    };
    const Job jobs[] = {{"defaults", {}, "2"}, {"cut every page", {"Cutting=1", "Dithering=ErrorDiffusion"}, "1"}};
    // The file: device is rewritten by each job, so every job is collected
    // before the next one is sent.
    for (const Job& job : jobs) {
      std::string diagnostics;
      const int id = submit(cupsd, job.options, diagnostics);
      ASSERT_GT(id, 0) << job.name << ": " << diagnostics << cupsd.errorLog();
      const JobState state = waitForJob(cupsd.port(), id, 60s);
      ASSERT_EQ(state.state, IPP_JSTATE_COMPLETED)
          << job.name << ": job " << id << " state " << state.state << " (" << state.reasons << ") "
          << state.message << "\n"
          << cupsd.errorLog();
      const auto stream = cupstest::readFile(device);
      ASSERT_FALSE(stream.empty()) << job.name;
      const auto paper = escpos::decode(stream);
      cupstest::expectSampleReceipt(paper, job.name);
      cupstest::expectCuts(paper, stream.size(), job.cutting, job.name);
    }
    // The filter really ran under this scheduler, as user lp.
    const std::string log = cupsd.errorLog();
    EXPECT_NE(log.find("labelfilter"), std::string::npos);
  }
  // The system's queues are as they were.
  EXPECT_EQ(mtimeOf("/etc/cups/printers.conf"), systemPrinters) << "system CUPS was touched";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  RecordProperty("elapsed_ms", std::to_string(ms));
  std::cout << "[ timing   ] private cupsd, queue and two jobs: " << ms << " ms\n";
}

}  // namespace
