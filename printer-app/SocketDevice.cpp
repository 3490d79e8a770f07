#include "SocketDevice.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
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
// How long the end of a job waits for a reset from a printer that died.
constexpr int kHangUpGraceMs = 100;

struct Connection {
  std::string host;
  std::string port;
  int fd = -1;
  std::string error;
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
    if (rc == 0) return fd;
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

void Close(pappl_device_t* device) {
  std::unique_ptr<Connection> c(ConnectionOf(device));
  if (c && c->fd >= 0) close(c->fd);
}

ssize_t Write(pappl_device_t* device, const void* buffer, size_t bytes) {
  Connection* c = ConnectionOf(device);
  if (c->fd < 0 && !Connect(*c)) {
    papplDeviceError(device, "%s", c->error.c_str());
    return -1;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t left = bytes;
  while (left > 0) {
    ssize_t n = send(c->fd, p, left, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{c->fd, POLLOUT, 0};
      if (poll(&pfd, 1, kWriteTimeoutMs) > 0) continue;
      errno = ETIMEDOUT;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      c->error = "the printer at " + c->host + ":" + c->port + " dropped the connection (" + std::strerror(errno) + ")";
      papplDeviceError(device, "%s", c->error.c_str());
      return -1;
    }
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

bool SocketStillConnected(pappl_device_t* device, const char* device_uri) {
  if (!IsSocketUri(device_uri)) return true;
  Connection* c = ConnectionOf(device);
  if (!c || c->fd < 0) return true;
  // A printer never hangs up while it is being sent a job: end of stream or
  // a reset now means part of the job went nowhere.
  pollfd pfd{c->fd, POLLIN, 0};
  if (poll(&pfd, 1, kHangUpGraceMs) <= 0) return true;
  char byte;
  const ssize_t n = recv(c->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return true;
  c->error = "the printer at " + c->host + ":" + c->port + " closed the connection before the job ended";
  return false;
}
