// Diagnostic files written by the filter at fixed paths under world-writable
// directories such as /tmp. They hold print job data, so they are opened
// defensively: never through a symbolic link, only as regular files owned by
// us with no other name, and private (mode 0600).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { if (f) std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens (creating or truncating) a diagnostic file for binary writing.
// Returns null with errno set when the path is a symbolic link, is not a
// regular file, belongs to another user, has other hard links (EMLINK) or
// cannot be opened; such a file is left untouched. errno is 0 after a
// successful open, so that trace lines that print it are reproducible.
UniqueFile OpenDiagnosticFile(const char* path);

// The diagnostic BMP of a 1-bit page of cx x cy pixels (set bit = paper,
// rows of ((cx + 31) / 32) * 4 bytes): 62 header bytes and the rows as given.
// Throws std::invalid_argument for negative sizes or a page shorter than its
// rows, and std::length_error when the file would not fit the format's size
// fields.
std::vector<uint8_t> DitheringBmp(std::span<const uint8_t> page, int cx, int cy);
