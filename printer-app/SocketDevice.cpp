#include "SocketDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "Guard.h"

namespace {

constexpr int kDefaultPort = 9100;
// A printer that is switched off or rebooting gets this many tries, this far
// apart, before the job is given up.
constexpr int kConnectAttempts = 4;
constexpr auto kRetryPause = std::chrono::seconds(2);
constexpr int kConnectTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 60000;
constexpr int kReadTimeoutMs = 10000;
// A write to a printer that stopped reading looks this often whether its job
// was cancelled.
constexpr int kCancelPollMs = 200;
// How long the end of a job waits for the printer to close its side, as the
// CUPS socket backend does: it reads the rest of the job from its buffer as
// it prints, so this is about the longest receipt's printing time.
constexpr int kEndOfJobMs = 60000;
// Closing the device outside a job (identify, a status query, a failed job)
// reads what the printer still sends for this long at most: PAPPL holds the
// printer's lock meanwhile.
constexpr int kCloseDrainMs = 100;
// How long a printer that closed its side may take to acknowledge the last
// bytes sent.
constexpr int kAckWaitMs = 500;

struct Connection {
  std::string host;
  std::string port;
  int fd = -1;
  std::string error;
  // The connection failed during the current job: the rest of that job must
  // not go to a new connection (the printer would print half a receipt as if
  // whole). The next job connects afresh.
  bool broken = false;
  std::weak_ptr<const std::function<bool()>> cancelled;
};

Connection* ConnectionOf(pappl_device_t* device) { return static_cast<Connection*>(papplDeviceGetData(device)); }

// One connection attempt to any address of the host, or the reason it failed.
int ConnectOnce(const Connection& c, std::string& error, int timeoutMs = kConnectTimeoutMs) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(c.host.c_str(), c.port.c_str(), &hints, &found); rc != 0) {
    error = "cannot find " + c.host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int rc = connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      rc = poll(&p, 1, timeoutMs);
      int soerr = rc == 0 ? ETIMEDOUT : 0;
      socklen_t len = sizeof soerr;
      if (rc > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
      rc = soerr ? -1 : 0;
      errno = soerr;
    }
    if (rc == 0) {
      // A status query is a few bytes after a lot of picture: with Nagle's
      // algorithm it waits for the printer to acknowledge the picture, which
      // a printer that delays its acknowledgements does some 40 ms later,
      // at every query of a long job.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return fd;
    }
    error = std::string(std::strerror(errno));
    close(fd);
  }
  return -1;
}

bool Connect(Connection& c) {
  std::string why = "no address";
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    if (attempt) std::this_thread::sleep_for(kRetryPause);
    c.fd = ConnectOnce(c, why);
    if (c.fd >= 0) return true;
  }
  c.error = "the printer at " + c.host + ":" + c.port + " cannot be reached (" + why + ", " +
            std::to_string(kConnectAttempts) + " tries)";
  return false;
}

bool Open(pappl_device_t* device, const char* uri, const char*) {
  char scheme[32], userpass[256], host[256], resource[256];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass, host, sizeof host,
                      &port, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
    papplDeviceError(device, "Bad device URI \"%s\".", uri);
    return false;
  }
  auto c = std::make_unique<Connection>();
  c->host = host;
  c->port = std::to_string(port > 0 ? port : kDefaultPort);
  papplDeviceSetData(device, c.release());
  return true;
}

bool Cancelled(const Connection& c) {
  const auto check = c.cancelled.lock();
  return check && *check && (*check)();
}

// Whether the printer acknowledged every byte sent: one that closes early
// gets the rest of the job after its close, and answers it with a reset.
bool Delivered(const Connection& c) {
  for (int waited = 0; waited <= kAckWaitMs; waited += 10) {
    int unacknowledged = 0;
    if (ioctl(c.fd, SIOCOUTQ, &unacknowledged) != 0) return true;  // cannot tell
    if (unacknowledged == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Reads and discards what the printer sends until it closes its side (true),
// resets the connection or the job is cancelled (false). Unread bytes in the
// receive buffer would make close() send a reset, and a printer drops what it
// has not printed yet when it gets one. A printer that keeps its side open
// for `timeoutMs` has the job when it acknowledged every byte.
bool DrainUntilClosed(Connection& c, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t discard[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (Cancelled(c)) return false;
    if (left <= 0) return Delivered(c);
    pollfd pfd{c.fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, kCancelPollMs)));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    const ssize_t n = recv(c.fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n == 0) return Delivered(c);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
  }
}

// Gives the connection up; the next job connects afresh. `abort`: with a
// reset, so that a printer that stopped reading drops the rest of a job that
// failed or was cancelled, instead of printing it when it wakes up.
void Drop(Connection& c, bool abort = false) {
  if (c.fd < 0) return;
  if (abort) {
    linger reset{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  close(c.fd);
  c.fd = -1;
}

// Whether the printer has closed or reset the connection.
bool HungUp(const Connection& c) {
  pollfd pfd{c.fd, POLLIN, 0};
  if (poll(&pfd, 1, 0) <= 0) return false;
  char byte;
  const ssize_t n = recv(c.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void Close(pappl_device_t* device) {
  std::unique_ptr<Connection> c(ConnectionOf(device));
  if (!c || c->fd < 0) return;
  if (!c->broken && shutdown(c->fd, SHUT_WR) == 0) DrainUntilClosed(*c, kCloseDrainMs);
  Drop(*c);
}

ssize_t Fails(pappl_device_t* device, Connection& c, const std::string& why) {
  c.error = why;
  c.broken = true;
  Drop(c, true);
  papplDeviceError(device, "%s", c.error.c_str());
  return -1;
}

ssize_t Write(pappl_device_t* device, const void* buffer, size_t bytes) {
  Connection* c = ConnectionOf(device);
  if (c->broken) {
    if (!c->error.empty()) papplDeviceError(device, "%s", c->error.c_str());
    return -1;
  }
  if (c->fd < 0 && !Connect(*c)) {
    papplDeviceError(device, "%s", c->error.c_str());
    return -1;
  }
  const std::string where = "the printer at " + c->host + ":" + c->port;
  // Bytes the printer sent are left for the status queries; only its end of
  // the connection is looked for.
  if (HungUp(*c)) return Fails(device, *c, where + " closed the connection before the job ended");
  const char* p = static_cast<const char*>(buffer);
  size_t left = bytes;
  auto progress = std::chrono::steady_clock::now();
  while (left > 0) {
    ssize_t n = send(c->fd, p, left, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A printer that stops reading holds the job here: a cancel ends it.
      if (Cancelled(*c)) return Fails(device, *c, "the job was cancelled while " + where + " was not reading");
      pollfd pfd{c->fd, POLLOUT, 0};
      if (std::chrono::steady_clock::now() - progress < std::chrono::milliseconds(kWriteTimeoutMs) &&
          poll(&pfd, 1, kCancelPollMs) >= 0)
        continue;
      errno = ETIMEDOUT;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fails(device, *c, where + " dropped the connection (" + std::strerror(errno) + ")");
    progress = std::chrono::steady_clock::now();
    p += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(bytes);
}

// What the printer sent within `timeoutMs`; -1 when nothing came.
ssize_t ReadWithin(Connection& c, void* buffer, size_t bytes, int timeoutMs) {
  pollfd pfd{c.fd, POLLIN, 0};
  if (c.fd < 0 || poll(&pfd, 1, timeoutMs) <= 0) return -1;
  const ssize_t n = recv(c.fd, buffer, bytes, MSG_DONTWAIT);
  return n > 0 ? n : -1;
}

ssize_t Read(pappl_device_t* device, void* buffer, size_t bytes) {
  Connection* c = ConnectionOf(device);
  if (c->fd < 0 && !Connect(*c)) return -1;
  return ReadWithin(*c, buffer, bytes, kReadTimeoutMs);
}

}  // namespace

// PAPPL adds its own schemes (file, usb, socket, dnssd, snmp) only when no
// scheme has been added before its first use of devices: registering ours
// first leaves file:// and usb:// printers with "Unsupported device URI
// scheme". Its adders are called here after ours, which keeps ours for
// socket://; they are internal to PAPPL, hence looked up weakly.
extern "C" {
void _papplDeviceAddFileScheme() __attribute__((weak));
void _papplDeviceAddNetworkSchemes() __attribute__((weak));
void _papplDeviceAddUSBScheme() __attribute__((weak));
}

void AddSocketScheme() {
  papplDeviceAddScheme("socket", PAPPL_DEVTYPE_SOCKET, nullptr, Guarded<Open>, Guarded<Close>, Guarded<Read>,
                      Guarded<Write>, nullptr, nullptr);
  for (void (*add)() : {_papplDeviceAddFileScheme, _papplDeviceAddNetworkSchemes, _papplDeviceAddUSBScheme})
    if (add) add();
}

bool IsSocketUri(const char* uri) { return uri && std::strncmp(uri, "socket://", 9) == 0; }

bool SocketConnectOnce(pappl_device_t* device, const char* device_uri, int timeoutMs) {
  Connection* c = IsSocketUri(device_uri) ? ConnectionOf(device) : nullptr;
  if (!c) return false;
  std::string why;
  if (c->fd < 0) c->fd = ConnectOnce(*c, why, timeoutMs);
  return c->fd >= 0;
}

ssize_t SocketReadWithin(pappl_device_t* device, const char* device_uri, void* buffer, size_t bytes, int timeoutMs) {
  Connection* c = IsSocketUri(device_uri) ? ConnectionOf(device) : nullptr;
  return c ? ReadWithin(*c, buffer, bytes, timeoutMs) : -1;
}

std::string SocketDeviceError(pappl_device_t* device, const char* device_uri) {
  if (!IsSocketUri(device_uri) || !ConnectionOf(device)) return {};
  return ConnectionOf(device)->error;
}

std::shared_ptr<const std::function<bool()>> SocketStartJob(pappl_device_t* device, const char* device_uri,
                                                           std::function<bool()> cancelled) {
  Connection* c = IsSocketUri(device_uri) ? ConnectionOf(device) : nullptr;
  if (!c) return nullptr;
  // PAPPL keeps what a failed write could not send in the device's buffer,
  // and would send it ahead of this job: flushed while the connection is
  // still marked broken, it goes nowhere.
  c->error.clear();
  if (c->broken) papplDeviceFlush(device);
  Drop(*c, c->broken);
  c->broken = false;
  auto token = std::make_shared<const std::function<bool()>>(std::move(cancelled));
  c->cancelled = token;
  return token;
}

bool SocketEndJob(pappl_device_t* device, const char* device_uri) {
  Connection* c = IsSocketUri(device_uri) ? ConnectionOf(device) : nullptr;
  if (!c || c->fd < 0) return !c || !c->broken;
  const bool whole = shutdown(c->fd, SHUT_WR) == 0 && DrainUntilClosed(*c, kEndOfJobMs);
  if (!whole)
    c->error = Cancelled(*c) ? "the job was cancelled before the printer at " + c->host + ":" + c->port + " took all of it"
                             : "the printer at " + c->host + ":" + c->port + " did not take the whole job (it reset or closed the connection)";
  Drop(*c, !whole);
  return whole;
}
