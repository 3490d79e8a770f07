#include "TestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <cctype>
#include <stdexcept>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>


cups_page_header2_t MakeHeader(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned bytesPerLine) {
  cups_page_header2_t h{};
  std::snprintf(h.MediaClass, sizeof h.MediaClass, "PwgRaster");
  std::snprintf(h.MediaType, sizeof h.MediaType, "Receipt");
  h.HWResolution[0] = h.HWResolution[1] = 203;
  h.ImagingBoundingBox[2] = h.PageSize[0] = width * 72 / 203;
  h.ImagingBoundingBox[3] = h.PageSize[1] = height * 72 / 203;
  h.NumCopies = 1;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsBitsPerPixel = bitsPerPixel;
  h.cupsBitsPerColor = bitsPerPixel == 24 ? 8 : bitsPerPixel;
  h.cupsBytesPerLine = bytesPerLine ? bytesPerLine : (width * bitsPerPixel + 7) / 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = bitsPerPixel == 24 ? CUPS_CSPACE_RGB : CUPS_CSPACE_K;
  h.cupsRowCount = h.cupsRowStep = h.cupsRowFeed = 1;
  return h;
}

static Bytes WriteRasterIn(cups_mode_t mode, const std::vector<RasterPage>& pages) {
  Bytes out;
  const auto append = [](void* ctx, unsigned char* buffer, size_t length) {
    static_cast<Bytes*>(ctx)->insert(static_cast<Bytes*>(ctx)->end(), buffer, buffer + length);
    return static_cast<ssize_t>(length);
  };
  cups_raster_t* ras = cupsRasterOpenIO(append, &out, mode);
  if (!ras) throw std::runtime_error("cupsRasterOpenIO failed");
  for (const RasterPage& page : pages) {
    cups_page_header2_t header = page.header;
    if (!cupsRasterWriteHeader2(ras, &header)) throw std::runtime_error("cupsRasterWriteHeader2 failed");
    Bytes lines = page.lines;
    const size_t bpl = header.cupsBytesPerLine;
    // libcups' writer compresses whole lines; pad a short last line.
    if (bpl && lines.size() % bpl) lines.resize(lines.size() + bpl - lines.size() % bpl, 0);
    if (!lines.empty() && cupsRasterWritePixels(ras, lines.data(), static_cast<unsigned>(lines.size())) == 0)
      throw std::runtime_error("cupsRasterWritePixels failed");
  }
  cupsRasterClose(ras);
  return out;
}

Bytes WriteRaster(const std::vector<RasterPage>& pages) { return WriteRasterIn(CUPS_RASTER_WRITE, pages); }
Bytes WriteCompressedRaster(const std::vector<RasterPage>& p) { return WriteRasterIn(CUPS_RASTER_WRITE_COMPRESSED, p); }

Bytes WriteRawRaster(const std::vector<RasterPage>& pages) {
  // The sync word "RaS3" as a native-order integer: same byte order as the header.
  const uint32_t sync = 0x52615333;
  Bytes out(reinterpret_cast<const uint8_t*>(&sync), reinterpret_cast<const uint8_t*>(&sync) + 4);
  for (const RasterPage& page : pages) {
    static_assert(sizeof(cups_page_header2_t) == 1796);
    auto* h = reinterpret_cast<const uint8_t*>(&page.header);
    out.insert(out.end(), h, h + sizeof page.header);
    out.insert(out.end(), page.lines.begin(), page.lines.end());
  }
  return out;
}

std::string MakePpd(const std::vector<PpdOption>& options) {
  std::ostringstream ppd;
  ppd << "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
         "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"TEST.PPD\"\n"
         "*Manufacturer: \"Test\"\n*Product: \"(Test Receipt)\"\n*ModelName: \"Test Receipt\"\n"
         "*ShortNickName: \"Test Receipt\"\n*NickName: \"Test Receipt\"\n*ColorDevice: False\n"
         "*cupsVersion: 2.4\n*cupsModelNumber: 0\n*cupsFilter: \"application/vnd.cups-raster 0 labelfilter\"\n";
  for (const PpdOption& o : options) {
    ppd << "*OpenUI *" << o.keyword << "/" << o.keyword << ": PickOne\n";
    ppd << "*Default" << o.keyword << ": " << (o.defaultChoice.empty() ? o.choices.front() : o.defaultChoice) << "\n";
    for (const std::string& c : o.choices) ppd << "*" << o.keyword << " " << c << "/" << c << ": \"\"\n";
    ppd << "*CloseUI: *" << o.keyword << "\n";
  }
  return ppd.str();
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/labelfilter-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  chmod(tmpl, 0755);  // mkdtemp makes 0700; filters running as lp must pass
}

TempDir::~TempDir() { std::error_code ec; std::filesystem::remove_all(dir_, ec); }

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream(Path(name), std::ios::binary) << content;
  return Path(name);
}

std::string TempDir::Write(const std::string& name, const Bytes& content) const { return Write(name, ToString(content)); }

std::string TempDir::MakeTmp(const std::string& name) const {
  const std::string path = Path(name);
  mkdir(path.c_str(), 0700);
  chmod(path.c_str(), 01777);  // like /tmp, whatever the umask
  return path;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string ToString(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t c : b) s.append(buf, std::snprintf(buf, sizeof buf, s.empty() ? "%02X" : " %02X", c));
  return s;
}

std::string SourcePath(const std::string& relative) { return LABELFILTER_SOURCE_DIR "/" + relative; }
std::string BuildPath(const std::string& relative) { return LABELFILTER_BINARY_DIR "/" + relative; }
std::string PpdPath(const std::string& name) { return LABELFILTER_PPD_DIR "/" + name; }
const char* const kPreviewBinary = ESCPOS_PREVIEW_BINARY;
const char* const kCmakeCommand = LABELFILTER_CMAKE_COMMAND;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool EnterPrivateTmp(const std::vector<std::string>& reachable, const std::string& tmpDir) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  // The old /tmp, held open (in the new namespace, which a bind source must
  // belong to): its entries are bound into the new one through it.
  const int oldTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (oldTmp < 0) return false;
  if (tmpDir.empty() ? mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0
                     : mount(tmpDir.c_str(), "/tmp", nullptr, MS_BIND, nullptr) != 0)
    return false;
  for (const std::string& path : reachable) {
    if (path.rfind("/tmp/", 0) != 0) continue;
    const std::string first = path.substr(5, path.find('/', 5) - 5);
    const std::string target = "/tmp/" + first;
    struct stat old {}, now {};
    if (first.empty() || first == "." || first == ".." || fstatat(oldTmp, first.c_str(), &old, 0) != 0) continue;
    if (lstat(target.c_str(), &now) == 0) {
      if (now.st_dev == old.st_dev && now.st_ino == old.st_ino) continue;  // reachable already
    } else {
      // A mount point: left behind in `tmpDir`, where a later run finds it.
      const int made = S_ISDIR(old.st_mode) ? mkdir(target.c_str(), 0755)
                                            : open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      if (made < 0) return false;
      if (!S_ISDIR(old.st_mode)) close(made);
    }
    const std::string source = "/proc/self/fd/" + std::to_string(oldTmp) + "/" + first;
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
  }
  close(oldTmp);
  return true;
}

bool PrivateTmpAvailable() {
  static const bool available = [] {
    const pid_t pid = fork();
    if (pid == 0) _exit(EnterPrivateTmp({}) ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return available;
}

FilterProcess::FilterProcess(const FilterRun& run, const std::vector<std::string>& wrapper) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
  std::vector<std::string> args = wrapper;
  if (run.filter) args.push_back(LABELFILTER_BINARY);
  args.insert(args.end(), run.args.begin(), run.args.end());
  std::vector<std::string> reachable = args;
  for (const auto& [name, value] : run.env) reachable.push_back(value);
  if (run.ppd) reachable.push_back(*run.ppd);
  if (char* cwd = getcwd(nullptr, 0)) reachable.push_back(cwd), free(cwd);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    run.ppd ? setenv("PPD", run.ppd->c_str(), 1) : unsetenv("PPD");
    for (const auto& [name, value] : run.env) setenv(name.c_str(), value.c_str(), 1);
    signal(SIGPIPE, run.outputClosed ? SIG_IGN : SIG_DFL);
    if (!run.output.empty()) {
      const int fd = open(run.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    }
    if (run.privateTmp && !EnterPrivateTmp(reachable, run.tmp)) {
      std::fprintf(stderr, "test: no private /tmp for the filter: %s\n", std::strerror(errno));
      _exit(125);
    }
    if (run.inChild) run.inChild();
    execvp(argv[0], argv.data());
    _exit(127);
  }
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  in_ = in[1], out_ = out[0], err_ = err[0];
  // Writes take what the pipe has room for, so that the output is read
  // while a large input goes in.
  fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);
  if (run.outputClosed) close(std::exchange(out_, -1));
  signal(SIGPIPE, SIG_IGN);
  Write(run.input);
}

FilterProcess::~FilterProcess() {
  if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  for (int fd : {in_, out_, err_}) if (fd >= 0) close(fd);
}

void FilterProcess::Pump(int timeoutMs) {
  pollfd fds[3];
  int n = 0;
  if (out_ >= 0 && readOutput_) fds[n++] = {out_, POLLIN, 0};
  if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
  if (n == 0) return;
  if (poll(fds, n, timeoutMs) <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[65536];
    ssize_t got = read(fds[i].fd, buf, sizeof buf);
    const bool isOut = fds[i].fd == out_;
    if (got <= 0) {
      close(fds[i].fd);
      (isOut ? out_ : err_) = -1;
    } else if (isOut) {
      result_.out.insert(result_.out.end(), buf, buf + got);
    } else {
      result_.err.append(buf, static_cast<size_t>(got));
    }
  }
}

void FilterProcess::Write(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size() && in_ >= 0) {
    pollfd fd = {in_, POLLOUT, 0};
    Pump(0);
    if (poll(&fd, 1, 10) <= 0) continue;
    ssize_t n = write(in_, bytes.data() + done, std::min<size_t>(bytes.size() - done, 65536));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;  // the filter stopped reading
    }
    done += static_cast<size_t>(n);
  }
}

void FilterProcess::CloseInput() { if (in_ >= 0) close(std::exchange(in_, -1)); }

bool FilterProcess::WaitUntilBlockedOnOutput(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    Pump(10);
    // The system call it sleeps in and that call's first argument.
    std::ifstream in("/proc/" + std::to_string(pid_) + "/syscall");
    long number = -1, fd = -1;
    if (in >> number >> std::hex >> fd && number == SYS_write && fd == 1) return true;
  }
  return false;
}

void FilterProcess::Signal(int sig) { kill(pid_, sig); }

FilterResult FilterProcess::Wait() {
  CloseInput();
  readOutput_ = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((out_ >= 0 || err_ >= 0) && std::chrono::steady_clock::now() < deadline) Pump(100);
  int status = 0;
  if (std::chrono::steady_clock::now() >= deadline) kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  result_.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result_;
}

FilterResult RunFilter(const FilterRun& run, const std::vector<std::string>& wrapper) {
  return FilterProcess(run, wrapper).Wait();
}

FilterResult RunCommand(const std::vector<std::string>& argv, std::vector<std::pair<std::string, std::string>> env,
                        const std::string& stdoutFile, bool privateTmp) {
  return RunFilter({.output = stdoutFile, .filter = false, .privateTmp = privateTmp, .env = std::move(env)}, argv);
}

std::string MaskVolatile(const std::string& log) {
  // key=value fields whose value changes from run to run; a value of 0 (no
  // buffer, no stream) is kept, anything else becomes ADDR.
  static const char* const kKeys[] = {"time=", "pData=", "pMirror=", "pBuf180=", "pBuf90=", "pDataBuf=",
                                      " options=", " f=", "ImageFile=", "ppdClose fd="};
  std::string s = log;
  for (const std::string k : kKeys) {
    for (size_t at = s.find(k); at != std::string::npos; at = s.find(k, at + 1)) {
      const size_t from = at + k.size();
      size_t to = from;
      while (to < s.size() && (std::isxdigit(static_cast<unsigned char>(s[to])) || s[to] == '-')) ++to;
      const std::string value = s.substr(from, to - from);
      if (value.empty() || (value == "0" && k != "time=")) continue;
      s.replace(from, to - from, k == "time=" ? "T" : "ADDR");
    }
  }
  return s;
}

void CopyFilterTo(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> copies = {{LABELFILTER_BINARY, path}};
  if (kEmulated) copies.emplace_back(LABELFILTER_BUILT_BINARY, path + ".real");
  for (const auto& [from, to] : copies) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, std::filesystem::perms(0755));
  }
}
