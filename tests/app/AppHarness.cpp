#include "AppHarness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cups/cups.h>
#include <cups/raster.h>
#include <jpeglib.h>
#include <png.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Waits that end a hung test rather than measure anything.
constexpr auto kPatience = std::chrono::seconds(60);

bool Mount(const char* source, const char* target, const char* type, unsigned long flags) {
  return mount(source, target, type, flags, nullptr) == 0;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool LoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  std::strcpy(ifr.ifr_name, "lo");
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string EnterPrivateWorld() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return Errno("unshare (needs root or user namespaces)");
  if (!Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE)) return Errno("making / private");
  if (!Mount("tmpfs", "/run", "tmpfs", 0)) return Errno("tmpfs on /run");
  // The trees this test needs may live under /tmp: keep a view of the old
  // /tmp and bind them back into the new one.
  const char* hostTmp = "/run/host-tmp";
  mkdir(hostTmp, 0700);
  if (!Mount("/tmp", hostTmp, nullptr, MS_BIND | MS_REC)) return Errno("keeping /tmp");
  if (!Mount("tmpfs", "/tmp", "tmpfs", 0)) return Errno("tmpfs on /tmp");
  chmod("/tmp", 01777);
  for (std::string dir : {std::string(LABELFILTER_SOURCE_DIR), std::string(LABELFILTER_BINARY_DIR)}) {
    dir = fs::weakly_canonical(dir).string();
    if (dir.rfind("/tmp/", 0) != 0) continue;
    fs::create_directories(dir);
    if (!Mount((hostTmp + dir.substr(4)).c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC))
      return Errno("binding " + dir);
  }
  if (!Mount("tmpfs", "/var/lib", "tmpfs", 0)) return Errno("tmpfs on /var/lib");
  if (!LoopbackUp()) return Errno("bringing loopback up");
  return {};
}

// --- FakePrinter ---

FakePrinter::FakePrinter() {
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error(Errno("pipe"));
  Listen();
  thread_ = std::thread([this] { Serve(); });
}

FakePrinter::~FakePrinter() {
  [[maybe_unused]] ssize_t n = write(wake_[1], "q", 1);
  thread_.join();
  if (listener_ >= 0) close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

void FakePrinter::Listen() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 8) != 0)
    throw std::runtime_error(Errno("fake printer listener"));
  socklen_t len = sizeof addr;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

void FakePrinter::SetMode(Mode mode, size_t bytes) {
  std::lock_guard lock(mutex_);
  if (mode == Mode::Refuse && listener_ >= 0) {
    close(listener_);
    listener_ = -1;
  } else if (mode != Mode::Refuse && listener_ < 0) {
    Listen();
  }
  mode_ = mode;
  hangUpAfter_ = bytes;
  [[maybe_unused]] ssize_t n = write(wake_[1], "m", 1);
}

size_t FakePrinter::Connections() {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

Bytes FakePrinter::WaitForConnection(size_t index) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, kPatience,
                         [&] { return index < connections_.size() && connections_[index].closed; }))
    return {};
  return connections_[index].bytes;
}

// One thread serves everything with poll(): the listener, the open
// connections and the wake-up pipe.
void FakePrinter::Serve() {
  struct Open {
    int fd;
    size_t index;
  };
  std::vector<Open> open;
  for (;;) {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    {
      std::lock_guard lock(mutex_);
      if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
    }
    const size_t first = fds.size();
    for (const Open& o : open) fds.push_back({o.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[0].revents) {
      char c;
      if (read(wake_[0], &c, 1) == 1 && c == 'q') break;
      continue;  // the listener may have changed
    }
    std::lock_guard lock(mutex_);
    const size_t polled = open.size();  // a connection accepted now was not polled
    if (first == 2 && fds[1].revents && listener_ == fds[1].fd) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        open.push_back({fd, connections_.size()});
        connections_.emplace_back();
      }
    }
    for (size_t i = 0; i < polled; ++i) {
      if (!fds[first + i].revents) continue;
      uint8_t buffer[65536];
      const ssize_t n = read(open[i].fd, buffer, sizeof buffer);
      Connection& c = connections_[open[i].index];
      if (n > 0) c.bytes.insert(c.bytes.end(), buffer, buffer + n);
      const bool hangUp = mode_ == Mode::HangUpAfter && c.bytes.size() >= hangUpAfter_;
      if (n <= 0 || hangUp) {
        if (hangUp) {
          linger reset{1, 0};  // a reset, as a printer that is switched off mid-job
          setsockopt(open[i].fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(open[i].fd);
        c.closed = true;
        open.erase(open.begin() + static_cast<long>(i));
        changed_.notify_all();
        break;  // the poll set no longer matches
      }
    }
  }
  for (const Open& o : open) close(o.fd);
}

// --- Processes ---

RunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!env.count(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
  }
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  RunResult result;
  if (rc != 0) {
    close(out[0]);
    result.output = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

AppServer::AppServer(std::string dir) : dir_(std::move(dir)) { fs::create_directories(dir_ + "/spool"); }

AppServer::~AppServer() { Stop(); }

void AppServer::Start(std::vector<std::string> extraArgs) {
  std::vector<std::string> argv = {LABELFILTER_PRINTER_APP,
                                   "server",
                                   "-o", "server-port=" + std::to_string(kPort),
                                   "-o", "log-file=" + dir_ + "/log",
                                   "-o", "log-level=debug",
                                   "-o", "spool-directory=" + dir_ + "/spool",
                                   "-o", "state-file=" + dir_ + "/state"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  setenv("HOME", dir_.c_str(), 1);
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  pid_ = pid;
  // Ready when both the IPP port and the command line's socket answer.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline && Alive()) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(kPort);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    struct stat info;
    if (up && stat("/run/labelfilter-printer-app.sock", &info) == 0) return;
    usleep(20000);
  }
}

void AppServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  // PAPPL leaves its socket behind, and a command that finds a dead socket
  // starts a server of its own.
  unlink("/run/labelfilter-printer-app.sock");
}

bool AppServer::Alive() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

std::map<std::string, std::string> StatusLeakTolerated() {
  // PAPPL 1.3.1's "status" never closes its connection to the server; in
  // sanitizer builds the leak check at its exit would fail the command.
  const char* asan = std::getenv("ASAN_OPTIONS");
  return {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0"}};
}

RunResult AppServer::Cli(std::vector<std::string> args) {
  std::map<std::string, std::string> env = args[0] == "status" ? StatusLeakTolerated() : std::map<std::string, std::string>{};
  env["HOME"] = dir_;
  args.insert(args.begin(), LABELFILTER_PRINTER_APP);
  return Run(args, env);
}

std::string AppServer::Log() {
  std::ifstream in(dir_ + "/log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// --- IPP ---

JobEnd WaitForJob(const std::string& printer, int jobId) {
  const std::string uri = "ipp://localhost:" + std::to_string(AppServer::kPort) + "/ipp/print/" + printer;
  http_t* http = httpConnect2("127.0.0.1", AppServer::kPort, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
  JobEnd end;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (http && std::chrono::steady_clock::now() < deadline) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    ipp_t* response = cupsDoRequest(http, request, "/ipp/print");
    ipp_attribute_t* attr;
    end.state = (attr = ippFindAttribute(response, "job-state", IPP_TAG_ENUM)) ? ippGetInteger(attr, 0) : 0;
    if ((attr = ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT))) end.message = ippGetString(attr, 0, nullptr);
    char reasons[1024] = "";
    if ((attr = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD)))
      ippAttributeString(attr, reasons, sizeof reasons);
    end.reasons = reasons;
    ippDelete(response);
    if (end.state >= IPP_JSTATE_CANCELED) break;
    usleep(20000);
  }
  httpClose(http);
  return end;
}

int SubmittedJobId(const std::string& output) {
  const size_t dash = output.rfind('-');
  return dash == std::string::npos ? -1 : std::atoi(output.c_str() + dash + 1);
}

RunResult IppTool(const std::string& printer, const std::string& body, const std::string& file) {
  static int count = 0;
  const std::string path = TestDir("ipptool") + "/t" + std::to_string(++count) + ".test";
  std::ofstream(path) << "{\n"
                         "  GROUP operation-attributes-tag\n"
                         "  ATTR charset attributes-charset utf-8\n"
                         "  ATTR naturalLanguage attributes-natural-language en\n"
                         "  ATTR uri printer-uri $uri\n"
                         "  ATTR name requesting-user-name tester\n"
                      << body << "\n  STATUS successful-ok\n  DISPLAY job-id\n}\n";
  std::vector<std::string> argv = {"/usr/bin/ipptool", "-tv"};
  if (!file.empty()) argv.insert(argv.end(), {"-f", file});
  argv.push_back("ipp://localhost:" + std::to_string(AppServer::kPort) + "/ipp/print/" + printer);
  argv.push_back(path);
  return Run(argv);
}

int IppToolJobId(const RunResult& result) {
  const size_t at = result.output.find("job-id (integer) = ");
  return at == std::string::npos ? -1 : std::atoi(result.output.c_str() + at + 19);
}

std::string HttpGet(const std::string& path) {
  http_t* http = httpConnect2("127.0.0.1", AppServer::kPort, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
  if (!http) return "no connection";
  std::string page;
  httpClearFields(http);
  // As a browser set to English asks.
  httpSetField(http, HTTP_FIELD_ACCEPT_LANGUAGE, "en-US,en;q=0.9");
  if (httpGet(http, path.c_str()) == 0) {
    http_status_t status;
    while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
    }
    page = std::to_string(status) + "\n";
    char buffer[8192];
    ssize_t n;
    while ((n = httpRead2(http, buffer, sizeof buffer)) > 0) page.append(buffer, static_cast<size_t>(n));
  }
  httpClose(http);
  return page;
}

// --- Documents ---

Picture MarkedPicture(uint32_t width, uint32_t rows, uint32_t gapRows) {
  Picture p{width, rows, std::vector<uint8_t>(size_t{width} * rows, 255)};
  const uint32_t blockW = width / 4, blockH = 48;
  for (uint32_t y = 0; y < blockH && y < rows; ++y) {
    for (uint32_t x = 0; x < blockW; ++x) p.grey[size_t{y} * width + x] = 0;
    for (uint32_t x = width - blockW; x < width && rows > blockH + gapRows; ++x)
      p.grey[size_t{rows - 1 - y} * width + x] = 0;
  }
  // A mid-grey stripe under the top block, so the dithering modes differ.
  for (uint32_t y = blockH + 8; y < blockH + 40 && y + blockH + gapRows < rows; ++y)
    for (uint32_t x = 0; x < width; ++x) p.grey[size_t{y} * width + x] = static_cast<uint8_t>(x * 255 / width);
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

void WriteJpeg(const std::string& path, const Picture& p) {
  FILE* f = std::fopen(path.c_str(), "wb");
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, f);
  cinfo.image_width = p.width;
  cinfo.image_height = p.rows;
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  for (uint32_t y = 0; y < p.rows; ++y) {
    JSAMPROW row = const_cast<uint8_t*>(p.grey.data() + size_t{y} * p.width);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(f);
}

namespace {

void WritePwgPages(const std::string& path, const std::vector<Picture>& pages, std::optional<uint32_t> declaredRows) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  for (const Picture& p : pages) {
    cups_page_header2_t h;
    cupsRasterInitPWGHeader(&h, pwgMediaForPWG("om_80mm-receipt-2m_72.08x2000mm"), "sgray_8", 203, 203, "one-sided",
                            nullptr);
    h.cupsWidth = p.width;
    h.cupsBytesPerLine = p.width;
    h.cupsHeight = declaredRows.value_or(p.rows);
    h.PageSize[1] = h.cupsHeight * 72 / 203;
    cupsRasterWriteHeader2(ras, &h);
    for (uint32_t y = 0; y < p.rows; ++y)
      cupsRasterWritePixels(ras, const_cast<uint8_t*>(p.grey.data() + size_t{y} * p.width), p.width);
  }
  cupsRasterClose(ras);
  close(fd);
}

}  // namespace

void WritePwg(const std::string& path, const Picture& p, std::optional<uint32_t> declaredRows) {
  WritePwgPages(path, {p}, declaredRows);
}

void WritePwg(const std::string& path, const std::vector<Picture>& pages) { WritePwgPages(path, pages, {}); }

std::string TestDir(const std::string& name) {
  const std::string dir = "/tmp/printer-app-tests/" + name;
  fs::create_directories(dir);
  return dir;
}
