#include "AppHarness.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cups/cups.h>
#include <cups/raster.h>
#include <png.h>

namespace fs = std::filesystem;

namespace {

// Waits that end a hung test rather than measure anything.
constexpr auto kPatience = std::chrono::seconds(60);

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool Mount(const std::string& source, const char* target, const char* type, unsigned long flags) {
  return mount(source.c_str(), target, type, flags, nullptr) == 0;
}

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

bool Answers(int port) {
  const sockaddr_in addr = Loopback(port);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return up;
}

}  // namespace

std::string EnterPrivateWorld() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return Errno("unshare (needs root)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Errno("making / private");
  // The trees this test needs may lie under /tmp: the old /tmp stays in
  // view under /run while they are bound back into the new one.
  const std::string hostTmp = "/run/host-tmp";
  if (!Mount("tmpfs", "/run", "tmpfs", 0) || mkdir(hostTmp.c_str(), 0700) != 0 ||
      !Mount("/tmp", hostTmp.c_str(), nullptr, MS_BIND | MS_REC) || !Mount("tmpfs", "/tmp", "tmpfs", 0) ||
      chmod("/tmp", 01777) != 0 || !Mount("tmpfs", "/var/lib", "tmpfs", 0))
    return Errno("private /run, /tmp and /var/lib");
  for (std::string dir : {LABELFILTER_SOURCE_DIR, LABELFILTER_BINARY_DIR}) {
    dir = fs::weakly_canonical(dir).string();
    if (dir.rfind("/tmp/", 0) != 0) continue;
    fs::create_directories(dir);
    if (!Mount(hostTmp + dir.substr(4), dir.c_str(), nullptr, MS_BIND | MS_REC)) return Errno("binding " + dir);
  }
  const RunResult up = Shell("ip link set lo up");
  return up.status == 0 ? "" : "bringing loopback up: " + up.output;
}

// --- FakePrinter ---

FakePrinter::FakePrinter(Fault fault, size_t after)
    : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), fault_(fault), after_(after) {
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  // A printer that stops reading must soon stop the sender too, not after
  // megabytes of socket buffers.
  const int small = 4096;
  if (fault == Fault::ResetFirst || fault == Fault::StallFirst)
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 8) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error(Errno("fake printer"));
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] {
    // The first connection that gets `after_` bytes is the one that fails.
    bool failedOnce = false;
    for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      const int one = 1;
      if (prompt_) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const bool chatty = fault_ == Fault::Chatty;
      const size_t limit =
          fault_ == Fault::ResetEach || (!failedOnce && (fault_ == Fault::ResetFirst || fault_ == Fault::StallFirst))
              ? after_ : 0;
      Bytes raw;
      Connection c;
      // Follows the stream's framing: `imageEnd` is where the picture data
      // of the last band header ends.
      size_t at = 0, imageEnd = 0, bands = 0;
      uint8_t buffer[65536];
      ssize_t n;
      received_ = 0;
      while ((limit == 0 || raw.size() < limit) && (n = read(fd, buffer, chatty ? 1024 : sizeof buffer)) > 0) {
        // A late status answer, or whatever else a printer says unasked:
        // left unread, the sender's close would reset the connection.
        // MSG_NOSIGNAL: a server that has hung up must not kill the test with SIGPIPE.
        if (chatty && (send(fd, "\0", 1, MSG_NOSIGNAL) != 1 || usleep(5000) != 0)) break;
        // The kernel clears quick acknowledgement again by itself.
        if (prompt_) setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        raw.insert(raw.end(), buffer, buffer + n);
        const size_t had = c.bytes.size(), hadBands = bands;
        while (at < raw.size()) {
          const size_t left = raw.size() - at;
          if (at < imageEnd) {
            const size_t take = std::min(imageEnd, raw.size()) - at;
            c.bytes.insert(c.bytes.end(), raw.begin() + at, raw.begin() + at + take);
            at += take;
            continue;
          }
          if ((raw[at] == 0x10 && left < 3) || (raw[at] == 0x1D && left < 8)) break;  // the rest is still coming
          if (raw[at] == 0x10 && raw[at + 1] == 0x04 && raw[at + 2] >= 1 && raw[at + 2] <= 4) {
            std::unique_lock lock(mutex_);
            if (nextFromBand_ <= bands) answers_ = nextAnswers_;
            const std::optional<StatusAnswers> answers = answers_;
            lock.unlock();
            if (answers && send(fd, &(*answers)[raw[at + 2] - 1], 1, MSG_NOSIGNAL) != 1) break;
            ++c.queries;
            at += 3;
            continue;
          }
          if (raw[at] == 0x1D && raw[at + 1] == 0x76 && raw[at + 2] == 0x30) {
            ++bands;
            imageEnd = at + 8 + (raw[at + 4] + size_t{raw[at + 5]} * 256) * (raw[at + 6] + size_t{raw[at + 7]} * 256);
          }
          c.bytes.push_back(raw[at++]);
        }
        if (c.bytes.size() > had) {
          const auto now = std::chrono::steady_clock::now();
          if (had == 0) c.arrival.firstByte = now;
          if (hadBands == 0 && bands > 0) c.arrival.firstBand = now;
          c.arrival.lastByte = now;
        }
        received_ = c.bytes.size();
      }
      c.bytes.insert(c.bytes.end(), raw.begin() + std::min(at, raw.size()), raw.end());
      const bool failing = limit && raw.size() >= limit;
      failedOnce |= failing;
      if (failing && fault_ == Fault::StallFirst)
        for (pollfd p{fd, POLLRDHUP, 0}; !stopping_ && poll(&p, 1, 100) >= 0 && !(p.revents & (POLLRDHUP | POLLHUP | POLLERR));)
          p.revents = 0;
      if (failing && fault_ == Fault::ResetFirst) sleep(1);
      if (failing) {
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      close(fd);
      std::lock_guard lock(mutex_);
      if (c.bytes.empty() && c.queries > 0) continue;  // a status check, not a job
      connections_.push_back(std::move(c));
      ended_.notify_all();
    }
  });
}

FakePrinter::~FakePrinter() {
  stopping_ = true;
  shutdown(listener_, SHUT_RDWR);  // ends the accept loop
  thread_.join();
  close(listener_);
}

size_t FakePrinter::Connections() {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

Bytes FakePrinter::WaitForConnection(size_t index) {
  std::unique_lock lock(mutex_);
  ended_.wait_for(lock, kPatience, [&] { return index < connections_.size(); });
  return index < connections_.size() ? connections_[index].bytes : Bytes();
}

size_t FakePrinter::QueriesIn(size_t index) {
  std::lock_guard lock(mutex_);
  return index < connections_.size() ? connections_[index].queries : 0;
}

FakePrinter::Arrival FakePrinter::ArrivalOf(size_t index) {
  std::lock_guard lock(mutex_);
  return index < connections_.size() ? connections_[index].arrival : Arrival();
}

void FakePrinter::Answer(std::optional<StatusAnswers> answers, size_t fromBand) {
  std::lock_guard lock(mutex_);
  nextAnswers_ = answers;
  nextFromBand_ = fromBand;
  if (fromBand == 0) answers_ = answers;
}

// --- Processes ---

RunResult Shell(const std::string& command) {
  RunResult result;
  FILE* pipe = popen(("{ " + command + "\n} 2>&1 </dev/null").c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

AppServer::AppServer(std::string dir) : dir_(std::move(dir)) { fs::create_directories(dir_ + "/spool"); }

void AppServer::Start(const std::string& options, const std::string& environment) {
  // The options given come last: a later -o of the same name wins. The log
  // is never rotated: the tests look for lines in it.
  const std::string command = environment + " exec " + Binary() + " server -o server-port=" + std::to_string(kPort) +
                              " -o log-file=" + dir_ + "/log -o log-level=debug -o log-max-size=0" +
                              " -o spool-directory=" + dir_ +
                              "/spool -o state-file=" + dir_ + "/state " + options + " >>" + dir_ + "/stdout 2>&1";
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // no server outlives a test that dies
    setenv("HOME", dir_.c_str(), 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Ready when both the IPP port and the command line's socket answer.
  struct stat info;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline && Alive() &&
         !(Answers(kPort) && stat("/run/labelfilter-printer-app.sock", &info) == 0))
    usleep(20000);
}

int AppServer::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  // PAPPL itself waits up to a minute for the jobs in progress; a server
  // that has not stopped well after that hangs, and is killed.
  int status = 0;
  for (int tenths = 0; waitpid(pid_, &status, WNOHANG) == 0; ++tenths) {
    if (tenths == 900) kill(pid_, SIGKILL);
    usleep(100000);
  }
  pid_ = -1;
  // PAPPL leaves its socket behind, and a command that finds a dead socket
  // starts a server of its own.
  unlink("/run/labelfilter-printer-app.sock");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool AppServer::Alive() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

RunResult AppServer::Cli(const std::string& args) {
  // PAPPL 1.3.1's "status" never closes its connection to the server: in
  // sanitizer builds the leak check at its exit would fail the command.
  const std::string leaks = args.rfind("status", 0) == 0 ? "ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 " : "";
  return Shell("HOME=" + dir_ + " " + leaks + Binary() + " " + args);
}

// PAPPL starts a new log at 1 MB and keeps the previous one as log.O.
std::string AppServer::Log() { return ReadText(dir_ + "/log.O") + ReadText(dir_ + "/log"); }

// --- IPP and HTTP ---

RunResult IppTool(const std::string& printer, const std::string& body, const std::string& file) {
  static int count = 0;
  const std::string path = TestDir("ipptool") + "/" + std::to_string(++count) + ".test";
  std::ofstream(path) << "{\n  GROUP operation-attributes-tag\n  ATTR charset attributes-charset utf-8\n"
                         "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
                         "  ATTR name requesting-user-name tester\n"
                      << body << "\n  STATUS successful-ok\n  DISPLAY job-id\n}\n";
  return Shell("ipptool -tv " + (file.empty() ? "" : "-f " + file + " ") + "ipp://localhost:" +
               std::to_string(AppServer::kPort) + "/ipp/print/" + printer + " " + path);
}

std::string AttributeOnce(const std::string& printer, const std::string& attr, const std::string& want, int jobId) {
  const std::string operation = jobId > 0 ? "Get-Job-Attributes\n  ATTR integer job-id " + std::to_string(jobId)
                                          : "Get-Printer-Attributes";
  // Only the one attribute: after a restart PAPPL 1.3.1 repeats another, which ipptool fails.
  const std::string body = "  OPERATION " + operation + "\n  ATTR keyword requested-attributes " + attr + "\n  DISPLAY " + attr;
  auto matches = [&](const std::string& line) {
    for (size_t from = 0, bar;; from = bar + 1) {
      bar = want.find('|', from);
      if (line.find(want.substr(from, bar - from)) != std::string::npos) return true;
      if (bar == std::string::npos) return false;
    }
  };
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string out = IppTool(printer, body).output;
    const size_t at = out.find(attr + " (");
    line = at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
    if (matches(line)) break;
    usleep(100000);
  }
  return line;
}

JobEnd WaitForJob(const std::string& printer, int jobId) {
  const std::string state = AttributeOnce(printer, "job-state", "= completed|= aborted|= canceled", jobId);
  const std::string message = AttributeOnce(printer, "job-state-message", "", jobId);
  const size_t at = message.find(" = "), stateAt = state.find(" = ");
  if (stateAt == std::string::npos) return {0, "no answer about job " + std::to_string(jobId)};
  return {ippEnumValue("job-state", state.substr(stateAt + 3).c_str()),
          at == std::string::npos ? "" : message.substr(at + 3)};
}

void WaitForIdle(const std::string& printer) { AttributeOnce(printer, "printer-state", "= idle"); }

int JobIdIn(const std::string& output) {
  const size_t ipp = output.find("job-id (integer) = ");
  if (ipp != std::string::npos) return std::atoi(output.c_str() + ipp + 19);
  const size_t dash = output.rfind('-');
  return dash == std::string::npos ? -1 : std::atoi(output.c_str() + dash + 1);
}

std::string HttpGet(const std::string& path, const std::string& form) {
  const std::string get = "curl -s -H 'Accept-Language: en-US,en;q=0.9' http://localhost:" +
                          std::to_string(AppServer::kPort) + path;
  const std::string page = Shell(get).output, field = "name=\"session\" value=\"";
  const size_t at = page.find(field) + field.size();
  if (form.empty() || at < field.size()) return page;
  return Shell(get + " -d 'session=" + page.substr(at, page.find('"', at) - at) + "&" + form + "'").output;
}

Picture MarkedPicture(uint32_t width, uint32_t rows) {
  Picture p{width, rows, std::vector<uint8_t>(size_t{width} * rows, 255)};
  auto fill = [&](uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, auto shade) {
    for (uint32_t y = y0; y < std::min(y1, rows); ++y)
      for (uint32_t x = x0; x < x1; ++x) p.grey[size_t{y} * width + x] = shade(x);
  };
  fill(0, 0, width / 4, 48, [](uint32_t) { return 0; });
  fill(width / 8, 56, width * 7 / 8, 88, [&](uint32_t x) { return static_cast<uint8_t>(255 - x * 255 / width); });
  if (rows > 96) fill(width - width / 4, rows - 48, width, rows, [](uint32_t) { return 0; });
  return p;
}

void WritePng(const std::string& path, const Picture& p) {
  FILE* f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, p.width, p.rows, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < p.rows; ++y) png_write_row(png, p.grey.data() + size_t{y} * p.width);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

void WritePwg(const std::string& path, const std::vector<Picture>& pages, std::optional<uint32_t> declaredRows,
              bool oneBit) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  for (const Picture& p : pages) {
    cups_page_header2_t h;
    cupsRasterInitPWGHeader(&h, pwgMediaForPWG("om_80mm-receipt-2m_72.08x2000mm"), oneBit ? "black_1" : "sgray_8", 203,
                            203, "one-sided", nullptr);
    h.cupsWidth = p.width;
    h.cupsBytesPerLine = oneBit ? (p.width + 7) / 8 : p.width;
    h.cupsHeight = declaredRows.value_or(p.rows);
    cupsRasterWriteHeader2(ras, &h);
    std::vector<uint8_t> row(h.cupsBytesPerLine);
    for (uint32_t y = 0; y < p.rows; ++y) {
      const uint8_t* grey = p.grey.data() + size_t{y} * p.width;
      if (oneBit) {
        std::fill(row.begin(), row.end(), 0);
        for (uint32_t x = 0; x < p.width; ++x)
          if (grey[x] < 128) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      } else {
        row.assign(grey, grey + p.width);
      }
      cupsRasterWritePixels(ras, row.data(), h.cupsBytesPerLine);
    }
  }
  cupsRasterClose(ras);
  close(fd);
}

void WritePdfEnd(const std::string& path, std::string& pdf, const std::vector<size_t>& offsets) {
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t at : offsets) {
    char entry[24];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", at);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  std::ofstream(path, std::ios::binary) << pdf;
}

void WritePdf(const std::string& path, const std::vector<Picture>& pages) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  auto object = [&](const std::string& body) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  std::string kids;
  for (size_t i = 0; i < pages.size(); ++i) kids += std::to_string(3 + 3 * i) + " 0 R ";
  object("<< /Type /Catalog /Pages 2 0 R >>");
  object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  for (size_t i = 0; i < pages.size(); ++i) {
    const Picture& p = pages[i];
    char size[64], draw[96];  // points, for one pixel a dot at 203 dpi
    const double w = p.width * 72.0 / 203, h = p.rows * 72.0 / 203;
    std::snprintf(size, sizeof size, "%.4f %.4f", w, h);
    std::snprintf(draw, sizeof draw, "q %.4f 0 0 %.4f 0 0 cm /I Do Q", w, h);
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::string(size) + "] /Resources << /XObject << /I " +
           std::to_string(5 + 3 * i) + " 0 R >> >> /Contents " + std::to_string(4 + 3 * i) + " 0 R >>");
    object("<< /Length " + std::to_string(std::strlen(draw)) + " >>\nstream\n" + draw + "\nendstream");
    object("<< /Type /XObject /Subtype /Image /Width " + std::to_string(p.width) + " /Height " +
           std::to_string(p.rows) + " /ColorSpace /DeviceGray /BitsPerComponent 8 /Length " +
           std::to_string(p.grey.size()) + " >>\nstream\n" + std::string(p.grey.begin(), p.grey.end()) +
           "\nendstream");
  }
  WritePdfEnd(path, pdf, offsets);
}

ProcessFigures Figures(int pid) {
  ProcessFigures f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    auto value = [&](const char* key, long& into) {
      if (line.rfind(key, 0) == 0) into = std::atol(line.c_str() + std::strlen(key));
    };
    value("Threads:", f.threads);
    value("VmRSS:", f.rssKiB);
    value("VmHWM:", f.hwmKiB);
  }
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    f.fds = 0;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++f.fds;
    closedir(d);
  }
  return f;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string TestDir(const std::string& name) {
  const std::string dir = "/tmp/printer-app-tests/" + name;
  fs::create_directories(dir);
  return dir;
}
