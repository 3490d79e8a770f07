#include "Liveness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Guard.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// --- systemd's notify protocol: one datagram per message to the socket
// named by NOTIFY_SOCKET ('@' for the abstract namespace). Never waits: a
// listener that does not read must not stop the main loop. ---

bool Notify(const char* message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool sent = sendto(fd, message, std::strlen(message), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length)) >= 0;
  close(fd);
  return sent;
}

// The watchdog's period in seconds as systemd gives it (for this process),
// or 0.
long WatchdogSeconds() {
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid && std::atol(pid) != static_cast<long>(getpid())) return 0;
  const char* usec = std::getenv("WATCHDOG_USEC");
  return usec ? std::atol(usec) / 1000000 : 0;
}

// --- Saves in a child process. Only the main loop's thread saves (PAPPL
// calls the save callback and the timers there), so this needs no lock. ---

// A state file takes milliseconds to write: a child that takes longer met a
// lock held at the moment it was forked, which it would wait for in vain. It
// is killed and the save done again, a few times. The main loop waits for
// its child, so that PAPPL counts a change as saved only once it is on disk
// (it saves at exit only what it has not counted); it never takes the
// server's locks itself, which is what matters.
constexpr auto kSaveDeadline = 3s;
constexpr int kSaveAttempts = 4;

struct Saving {
  bool (*save)(pappl_system_t*, void*) = nullptr;
  void* data = nullptr;
  bool pending = false;  // every attempt failed: the timer tries again
};
Saving Save;

enum class Outcome { Saved, Failed, Stuck };

Outcome SaveOnce(pappl_system_t* system) {
  const pid_t pid = fork();
  if (pid < 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state: %s", std::strerror(errno));
    return Outcome::Failed;
  }
  if (pid == 0) {
    // Never outlives the server, nor waits for ever on a lock its copy holds.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGALRM, SIG_DFL);
    alarm(static_cast<unsigned>(std::chrono::seconds(kSaveDeadline).count()) * 2);
    _exit(Save.save(system, Save.data) ? 0 : 1);
  }
  const auto started = Clock::now();
  int status = 0;
  pid_t ended;
  while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() - started < kSaveDeadline)
    std::this_thread::sleep_for(2ms);
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return Outcome::Stuck;
  }
  return ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Outcome::Saved : Outcome::Failed;
}

bool SaveNow(pappl_system_t* system) {
  for (int attempt = 0; attempt < kSaveAttempts; ++attempt) {
    switch (SaveOnce(system)) {
      case Outcome::Saved: Save.pending = false; return true;
      case Outcome::Failed:
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state was not saved (the reason is logged above).");
        Save.pending = false;  // a disk that refuses is not helped by asking again at once
        return false;
      case Outcome::Stuck:
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Saving the state waited for a lock held when it began; saving again.");
        break;
    }
  }
  Save.pending = true;
  return false;
}

// The main loop's timer: the watchdog, and saves to finish or do again.
bool Tick(pappl_system_t* system, void*) {
  static bool told = false;
  if (!told) {
    told = true;
    if (Notify("READY=1"))
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Told systemd the server is ready; watchdog every %ld s.", WatchdogSeconds());
  }
  if (WatchdogSeconds() > 0) Notify("WATCHDOG=1");
  if (Save.pending && Save.save) SaveNow(system);
  return true;
}

}  // namespace

void StartLiveness(pappl_system_t* system) {
  // systemd asks for half the period; once a second also keeps saves prompt.
  papplSystemAddTimerCallback(system, 0, 1, Guarded<Tick>, nullptr);
}

bool SaveApart(pappl_system_t* system, bool (*save)(pappl_system_t*, void*), void* data) {
  Save.save = save;
  Save.data = data;
  return SaveNow(system);
}
