#include "DebugFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

UniqueFile OpenDiagnosticFile(const char* path) {
  errno = 0;
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the job.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;

  struct stat st {};
  int failure = 0;
  if (::fstat(fd, &st) != 0)
    failure = errno;
  else if (!S_ISREG(st.st_mode))
    failure = EINVAL;
  else if (st.st_uid != ::geteuid())
    failure = EPERM;  // someone else's file: they could read the job data
  else if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, 0) != 0)
    failure = errno;
  if (failure == 0) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (std::FILE* f = ::fdopen(fd, "wb")) {
      errno = 0;
      return UniqueFile(f);
    }
    failure = errno;
  }
  ::close(fd);
  errno = failure;
  return nullptr;
}
