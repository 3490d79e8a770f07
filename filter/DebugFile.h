// Diagnostic files written by the filter at fixed paths under world-writable
// directories such as /tmp. They hold print job data, so they are opened
// defensively: never through a symbolic link, only as regular files owned by
// us, and private (mode 0600).
#pragma once

#include <cstdio>
#include <memory>

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { if (f) std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens (creating or truncating) a diagnostic file for binary writing.
// Returns null with errno set when the path is a symbolic link, is not a
// regular file, belongs to another user or cannot be opened. errno is 0 after
// a successful open, so that trace lines that print it are reproducible.
UniqueFile OpenDiagnosticFile(const char* path);
