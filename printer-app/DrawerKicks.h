// Drawer kicks out of raw ESC/POS jobs, for sites that want only their
// point-of-sale software's own printer settings to open the cash drawer:
// any client that can print raw ESC/POS can otherwise open it.
//
// The stream is walked command by command with the lengths the ESC/POS
// command set gives (so bytes inside picture data, barcodes or NV images are
// never taken for commands), and ESC p and DLE DC4 1 are left out. A command
// the walker does not know could hide a kick in its arguments: the job is
// refused then.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class DrawerKickFilter {
 public:
  // Appends the bytes of `in` that are not drawer kicks to `out`; false (and
  // error() says why) on a command of unknown length. Commands may be split
  // across calls.
  bool Pass(std::span<const uint8_t> in, std::vector<uint8_t>& out);
  // False when the stream ended inside a command: its start was held back
  // (the next job's first bytes could otherwise complete it).
  bool Finish() const { return pending_.empty() && data_ == 0 && !untilNul_; }
  const std::string& error() const { return error_; }
  size_t kicksDropped() const { return kicks_; }

 private:
  std::vector<uint8_t> pending_;  // the start of a command not yet complete
  uint64_t data_ = 0;             // bytes of command data still to pass as they are
  bool untilNul_ = false;         // passing data up to and including a NUL
  uint64_t offset_ = 0;           // of the next byte in the whole stream
  size_t kicks_ = 0;
  std::string error_;
};
