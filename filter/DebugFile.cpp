#include "DebugFile.h"

#include <cerrno>
#include <limits>
#include <stdexcept>
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
  else if (st.st_nlink > 1)
    failure = EMLINK;  // another name may be a file of ours that must not be rewritten
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

namespace {

void PutLE(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> DitheringBmp(std::span<const uint8_t> page, int cx, int cy) {
  if (cx < 0 || cy < 0) throw std::invalid_argument("DitheringBmp: negative size");
  const uint64_t rowBytes = ((uint64_t{static_cast<uint32_t>(cx)} + 31) >> 5) << 2;
  const uint64_t m = rowBytes * static_cast<uint32_t>(cy);
  if (m > std::numeric_limits<int32_t>::max() - 62u) throw std::length_error("DitheringBmp: page too large");
  if (page.size() < m) throw std::invalid_argument("DitheringBmp: page shorter than its rows");

  constexpr uint32_t kHeaders = 14 + 40 + 8;
  constexpr uint32_t kPixelsPerMetre = 203;  // the printer's dpi, stored as is
  const auto imageBytes = static_cast<uint32_t>(m);
  std::vector<uint8_t> out;
  out.reserve(kHeaders + imageBytes);
  // BITMAPFILEHEADER
  PutLE(out, 0x4D42, 2);
  PutLE(out, kHeaders + imageBytes, 4);
  PutLE(out, 0, 2);
  PutLE(out, 0, 2);
  PutLE(out, kHeaders, 4);
  // BITMAPINFOHEADER; a negative height stores the rows top-down
  PutLE(out, 40, 4);
  PutLE(out, static_cast<uint32_t>(cx), 4);
  PutLE(out, static_cast<uint32_t>(-static_cast<int64_t>(cy)), 4);
  PutLE(out, 1, 2);
  PutLE(out, 1, 2);
  PutLE(out, 0, 4);
  PutLE(out, imageBytes, 4);
  PutLE(out, kPixelsPerMetre, 4);
  PutLE(out, kPixelsPerMetre, 4);
  PutLE(out, 0, 4);
  PutLE(out, 0, 4);
  // Palette: index 0 black, index 1 white
  PutLE(out, 0x00000000, 4);
  PutLE(out, 0x00FFFFFF, 4);
  out.insert(out.end(), page.begin(), page.begin() + static_cast<std::ptrdiff_t>(m));
  return out;
}
