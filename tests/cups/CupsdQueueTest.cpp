// A whole print queue: a private cupsd (own configuration, spool, logs and
// loopback port, nothing shared with the system's CUPS), a queue made with
// lpadmin from the shipped PPD and a file: device, jobs sent with lp and
// followed over IPP until they complete, and the printer stream they leave
// in the device file checked like the cupsfilter output.
#include "CupsTestSupport.h"
#include "TestSupport.h"

#include <cups/cups.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
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

// A scheduler of the test's own in a private mount namespace: its /tmp is
// its own (the filter's dumps have fixed paths shared by every job on the
// machine), and /usr/local is `usrLocal`, a staged install, so that its
// cups-driverd lists the PPDs at their real installed path.
class PrivateCupsd {
 public:
  explicit PrivateCupsd(const fs::path& usrLocal) : scratch_("cupsd") {
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
      if (!EnterPrivateTmp({b.string(), usrLocal.string()}) ||
          mount(usrLocal.c_str(), "/usr/local", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        std::perror("private /tmp and /usr/local");
        _exit(125);
      }
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

// Lines of the first fenced block after `marker` in the README, with
// continued lines ("\" at the end) joined.
std::vector<std::string> readmeBlock(const std::string& marker) {
  const auto bytes = cupstest::readFile(cupstest::sourceDir() / "README.md");
  const std::string readme(bytes.begin(), bytes.end());
  std::vector<std::string> lines;
  const auto at = readme.find(marker);
  if (at == std::string::npos) return lines;
  const auto open = readme.find("```", at);
  const auto body = readme.find('\n', open) + 1;
  const auto close = readme.find("\n```", body);
  std::istringstream in(readme.substr(body, close - body));
  std::string pending;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    lines.push_back(pending + line);
    pending.clear();
  }
  return lines;
}

// An 80 x 100 mm PDF with two black bars 5 mm high, 10 mm and 80 mm from
// the top: a receipt half as long as the default roll.
std::string shortPdf() {
  const std::string content = "0 g 20 240.94 164.3 14.17 re f 20 42.52 164.3 14.17 re f\n";
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 204.3 283.46] /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t offset : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

// First and last row with a dot, or -1.
std::pair<int, int> inkedRows(const escpos::Paper& paper) {
  int first = -1, last = -1;
  for (int y = 0; y < paper.height(); ++y)
    if (paper.dotsIn(0, y, paper.width(), y + 1) > 0) {
      if (first < 0) first = y;
      last = y;
    }
  return {first, last};
}

// The short receipt on a longer roll: at most 3 mm (24 dot rows) of blank
// paper before its first dot, and after its last only the rest of its band
// and the feed after printing (choice 4, 120 rows).
void expectShortReceipt(const escpos::Paper& paper, std::size_t, const std::string& context) {
  ASSERT_FALSE(paper.error) << context << ": " << paper.error->message;
  const auto [first, last] = inkedRows(paper);
  ASSERT_GE(first, 0) << context << ": nothing printed";
  EXPECT_LE(first, 24) << context << ": blank paper before the first dot";
  // Both bars: 75 mm (599 rows at 203 dpi) from the top of one to the bottom of the other.
  EXPECT_NEAR(last - first, 599, 4) << context;
  int feedAt = paper.height();
  for (const auto& e : paper.events)
    if (e.kind == escpos::EventKind::Feed) feedAt = std::min(feedAt, e.row);
  EXPECT_LT(feedAt - (last + 1), 24) << context << ": blank paper after the last dot";
  EXPECT_EQ(paper.fedRows(), 120) << context;
}

struct Job {
  std::string command;  // as the README shows it, or a line of the test's own
  std::function<void(const escpos::Paper&, std::size_t streamSize, const std::string& context)> check;
};

std::optional<int> jobId(const std::string& lpOutput) {
  // "request id is receipt-7 (1 file(s))"
  const auto at = lpOutput.find("receipt-");
  if (at == std::string::npos) return std::nullopt;
  return std::stoi(lpOutput.substr(at + 8));
}

std::optional<std::pair<time_t, long>> mtimeOf(const char* file) {
  struct stat st{};
  if (stat(file, &st) != 0) return std::nullopt;
  return std::make_pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

// The README's commands, verbatim, against a scheduler of the test's own
// whose cups-driverd sees the PPDs where `cmake --install` puts them; then
// the jobs they print, and a short receipt on the default roll, decoded
// from the queue's device file.
TEST(CupsdQueue, ReadmeCommandsAndTheirJobsThroughAPrivateScheduler) {
  if (geteuid() != 0) GTEST_SKIP() << "cupsd runs filters as lp only when started as root";
  if (!PrivateTmpAvailable()) GTEST_SKIP() << "no private mount namespace for the scheduler here";
  const auto started = Clock::now();
  const auto systemPrinters = mtimeOf("/etc/cups/printers.conf");
  cupstest::ScratchDir stage("install"), work("jobs");
  const auto install = cupstest::run({cupstest::cmakeCommand().string(), "--install", cupstest::buildDir().string()},
                                     {{"DESTDIR", stage.path().string()}});
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  {
    PrivateCupsd cupsd(stage.path() / "usr" / "local");
    ASSERT_TRUE(cupsd.running()) << cupsd.errorLog();
    const std::map<std::string, std::string> env = {{"CUPS_SERVER", cupsd.server()}};
    auto shell = [&](const std::string& line) {
      return cupstest::run({"sh", "-c", "cd \"$0\" && " + line, work.path().string()}, env);
    };

    const auto models = readmeBlock("`lpinfo -m | grep labelfilter`");
    ASSERT_EQ(models.size(), 2u) << "the README's lpinfo output";
    const auto listed = shell("lpinfo -m | grep labelfilter");
    EXPECT_EQ(listed.out, models[0] + "\n" + models[1] + "\n") << listed.err << cupsd.errorLog();

    const auto queue = readmeBlock("## Adding a queue");
    ASSERT_FALSE(queue.empty());
    for (const auto& line : queue) {
      const auto r = shell(line);
      ASSERT_EQ(r.status, 0) << line << "\n" << r.out << r.err << cupsd.errorLog();
    }
    // The README's queue prints to a printer this machine has not got.
    const fs::path device = cupsd.base() / "out" / "receipt.escpos";
    const auto moved = shell("lpadmin -p receipt -v file://" + device.string());
    ASSERT_EQ(moved.status, 0) << moved.out << moved.err;

    std::filesystem::copy_file(cupstest::samplePdf(), work.path() / "receipt.pdf");
    std::filesystem::copy_file(cupstest::samplePdf(), work.path() / "ticket.pdf");
    cupstest::writeFile(work.path() / "label.pdf", shortPdf());
    auto sample = [](const std::string& cutting, int feed, std::size_t copies = 1) {
      return [=](const escpos::Paper& paper, std::size_t size, const std::string& context) {
        cupstest::expectSampleReceipt(paper, context, copies);
        cupstest::expectCuts(paper, size, cutting, context);
        EXPECT_EQ(paper.fedRows(), feed * static_cast<int>(2 * copies)) << context;
      };
    };
    auto pages = [](std::size_t n) {
      return [=](const escpos::Paper& paper, std::size_t, const std::string& context) {
        ASSERT_FALSE(paper.error) << context;
        EXPECT_EQ(paper.width(), 576) << context;
        EXPECT_EQ(cupstest::splitPages(paper).size(), n) << context;
      };
    };
    const std::vector<Job> jobs = {
        {"lp -d receipt receipt.pdf", sample("2", 120)},
        {"lp -d receipt -o Cutting=1 -o Dithering=None -o FeedAfterPrinting=6 receipt.pdf", sample("1", 180)},
        {"lp -d receipt -n 2 receipt.pdf", sample("2", 120, 2)},  // collated: 1 2 1 2
        {"lp -d receipt -o PageSize=R80x100mm label.pdf", expectShortReceipt},
        {"lp -d receipt -o PageSize=Custom.204.3x300 ticket.pdf     # width x length in points", pages(2)},
        {"lpoptions -p receipt -l                                     # every option and choice", nullptr},
        {"lp -d receipt label.pdf", expectShortReceipt},  // on the default 200 mm roll
    };
    const auto readme = readmeBlock("## Printing");
    for (const auto& line : readme)
      EXPECT_TRUE(std::any_of(jobs.begin(), jobs.end(), [&](const Job& j) { return j.command == line; }))
          << "a README line the test does not run: " << line;
    for (const Job& job : jobs) {
      const auto r = shell(job.command);
      ASSERT_EQ(r.status, 0) << job.command << "\n" << r.out << r.err << cupsd.errorLog();
      if (!job.check) {
        EXPECT_NE(r.out.find("LeadingBlank/Blank Paper Before the Print: Keep 0mm *3mm 6mm"), std::string::npos)
            << r.out;
        continue;
      }
      const auto id = jobId(r.out);
      ASSERT_TRUE(id) << job.command << ": " << r.out << r.err;
      const JobState state = waitForJob(cupsd.port(), *id, 60s);
      ASSERT_EQ(state.state, IPP_JSTATE_COMPLETED) << job.command << ": job " << *id << " state " << state.state
                                                   << " (" << state.reasons << ") " << state.message << "\n"
                                                   << cupsd.errorLog();
      // The file: device is rewritten by each job.
      const auto stream = cupstest::readFile(device);
      ASSERT_FALSE(stream.empty()) << job.command;
      job.check(escpos::decode(stream), stream.size(), job.command);
    }
    // The README's example of a queue default.
    EXPECT_EQ(shell("lpadmin -p receipt -o Cutting-default=1").status, 0);
    // The filter really ran under this scheduler, as user lp.
    EXPECT_NE(cupsd.errorLog().find("labelfilter"), std::string::npos);
  }
  // The system's queues are as they were.
  EXPECT_EQ(mtimeOf("/etc/cups/printers.conf"), systemPrinters) << "system CUPS was touched";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  RecordProperty("elapsed_ms", std::to_string(ms));
  std::cout << "[ timing   ] private cupsd, README queue and its jobs: " << ms << " ms\n";
}

}  // namespace
