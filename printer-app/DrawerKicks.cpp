#include "DrawerKicks.h"

#include <cstdio>
#include <optional>

namespace {

constexpr uint8_t DLE = 0x10, ESC = 0x1B, FS = 0x1C, GS = 0x1D;

// The size of the command at the start of `b`: `head` bytes of command and
// arguments, then `data` bytes passed as they are (or data up to a NUL).
struct Size {
  size_t head = 0;
  uint64_t data = 0;
  bool untilNul = false;
  bool kick = false;
};
struct Measured {
  enum { NeedMore, Unknown, Known } state;
  Size size{};
};

constexpr Measured kNeedMore{Measured::NeedMore};
constexpr Measured kUnknown{Measured::Unknown};
constexpr Measured Fixed(size_t head, bool kick = false) { return {Measured::Known, {head, 0, false, kick}}; }

uint64_t Le(std::span<const uint8_t> b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v * 256 + b[at + i];
  return v;
}

// Argument bytes of the ESC and GS commands with a fixed length.
struct Args {
  uint8_t command, args;
};
constexpr Args kEscArgs[] = {
    {0x0C, 0}, {0x20, 1}, {0x21, 1}, {0x24, 2}, {0x25, 1}, {0x2D, 1}, {0x32, 0}, {0x33, 1}, {0x3C, 0},
    {0x3D, 1}, {0x3F, 1}, {0x40, 0}, {0x43, 3}, {0x45, 1}, {0x47, 1}, {0x4A, 1}, {0x4B, 1}, {0x4C, 0},
    {0x4D, 1}, {0x52, 1}, {0x53, 0}, {0x54, 1}, {0x55, 1}, {0x56, 1}, {0x57, 8}, {0x5C, 2}, {0x61, 1},
    {0x64, 1}, {0x65, 1}, {0x69, 0}, {0x6D, 0}, {0x72, 1}, {0x74, 1}, {0x75, 1}, {0x76, 0}, {0x7B, 1},
    {0x1F, 4},  // density: ESC 1F 12 13 14 n
};
constexpr Args kGsArgs[] = {
    {0x0C, 0}, {0x21, 1}, {0x24, 2}, {0x2F, 1}, {0x3A, 0}, {0x42, 1}, {0x48, 1}, {0x49, 1}, {0x4C, 2},
    {0x50, 2}, {0x57, 2}, {0x5C, 2}, {0x5E, 3}, {0x61, 1}, {0x62, 1}, {0x66, 1}, {0x68, 1}, {0x72, 1},
    {0x77, 1},
};
constexpr Args kFsArgs[] = {{0x21, 1}, {0x26, 0}, {0x2D, 1}, {0x2E, 0}, {0x43, 1}, {0x53, 2}, {0x57, 1}, {0x70, 2}};

std::optional<size_t> FixedArgs(std::span<const Args> table, uint8_t command) {
  for (const Args& a : table)
    if (a.command == command) return a.args;
  return std::nullopt;
}

Measured MeasureDle(std::span<const uint8_t> b) {
  if (b.size() < 2) return kNeedMore;
  switch (b[1]) {
    case 0x04:  // DLE EOT n [a]: status
      if (b.size() < 3) return kNeedMore;
      return Fixed(b[2] == 7 || b[2] == 8 ? 4 : 3);
    case 0x05: return Fixed(3);  // DLE ENQ n
    case 0x14:                   // DLE DC4 fn ...
      if (b.size() < 3) return kNeedMore;
      switch (b[2]) {
        case 1: return Fixed(5, true);  // pulse a drawer pin
        case 2: return Fixed(5);
        case 7: return Fixed(4);
        case 8: return Fixed(10);
        default: return kUnknown;
      }
    default: return Fixed(1);  // a lone DLE is a control character the printer ignores
  }
}

Measured MeasureEsc(std::span<const uint8_t> b) {
  if (b.size() < 2) return kNeedMore;
  const uint8_t c = b[1];
  if (c == 0x70) return Fixed(5, true);  // ESC p m t1 t2
  if (auto args = FixedArgs(kEscArgs, c)) return Fixed(2 + *args);
  switch (c) {
    case 0x63:  // ESC c 3|4|5 n
      return Fixed(4);
    case 0x28:  // ESC ( fn pL pH data
      if (b.size() < 5) return kNeedMore;
      return {Measured::Known, {5, Le(b, 3, 2)}};
    case 0x2A: {  // ESC * m nL nH: bit image, 1 or 3 bytes a column
      if (b.size() < 5) return kNeedMore;
      const uint64_t columns = Le(b, 3, 2);
      if (b[2] == 0 || b[2] == 1) return {Measured::Known, {5, columns}};
      if (b[2] == 32 || b[2] == 33) return {Measured::Known, {5, columns * 3}};
      return kUnknown;
    }
    case 0x44:  // ESC D n1 ... NUL: tab stops
      return {Measured::Known, {2, 0, true}};
    default: return kUnknown;
  }
}

Measured MeasureGs(std::span<const uint8_t> b) {
  if (b.size() < 2) return kNeedMore;
  const uint8_t c = b[1];
  if (auto args = FixedArgs(kGsArgs, c)) return Fixed(2 + *args);
  switch (c) {
    case 0x28:  // GS ( fn pL pH data
      if (b.size() < 5) return kNeedMore;
      return {Measured::Known, {5, Le(b, 3, 2)}};
    case 0x38:  // GS 8 L p1 p2 p3 p4 data
      if (b.size() < 7) return kNeedMore;
      return b[2] == 0x4C ? Measured{Measured::Known, {7, Le(b, 3, 4)}} : kUnknown;
    case 0x2A:  // GS * x y: downloaded bit image, x * y * 8 bytes
      if (b.size() < 4) return kNeedMore;
      return {Measured::Known, {4, uint64_t{b[2]} * b[3] * 8}};
    case 0x56:  // GS V m [n]
      if (b.size() < 3) return kNeedMore;
      return Fixed(b[2] == 0 || b[2] == 1 || b[2] == 48 || b[2] == 49 ? 3 : 4);
    case 0x6B:  // GS k m: barcode, NUL-terminated (m 0-6) or counted (m 65-79)
      if (b.size() < 3) return kNeedMore;
      if (b[2] <= 6) return {Measured::Known, {3, 0, true}};
      if (b[2] < 65 || b[2] > 79) return kUnknown;
      if (b.size() < 4) return kNeedMore;
      return {Measured::Known, {4, b[3]}};
    case 0x76:  // GS v 0 m xL xH yL yH: raster picture
      if (b.size() < 8) return kNeedMore;
      return b[2] == 0x30 ? Measured{Measured::Known, {8, Le(b, 4, 2) * Le(b, 6, 2)}} : kUnknown;
    default: return kUnknown;
  }
}

Measured MeasureFs(std::span<const uint8_t> b) {
  if (b.size() < 2) return kNeedMore;
  if (auto args = FixedArgs(kFsArgs, b[1])) return Fixed(2 + *args);
  if (b[1] == 0x28) {  // FS ( fn pL pH data
    if (b.size() < 5) return kNeedMore;
    return {Measured::Known, {5, Le(b, 3, 2)}};
  }
  return kUnknown;
}

Measured Measure(std::span<const uint8_t> b) {
  switch (b[0]) {
    case DLE: return MeasureDle(b);
    case ESC: return MeasureEsc(b);
    case GS: return MeasureGs(b);
    case FS: return MeasureFs(b);
    default: return Fixed(1);  // text, and control characters of one byte
  }
}

}  // namespace

bool DrawerKickFilter::Pass(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  if (!error_.empty()) return false;
  size_t at = 0;
  while (at < in.size()) {
    if (data_ > 0) {  // command data: never read as commands
      const size_t take = static_cast<size_t>(std::min<uint64_t>(data_, in.size() - at));
      out.insert(out.end(), in.begin() + at, in.begin() + at + take);
      data_ -= take;
      at += take;
      offset_ += take;
      continue;
    }
    if (untilNul_) {
      untilNul_ = in[at] != 0;
      out.push_back(in[at++]);
      ++offset_;
      continue;
    }
    pending_.push_back(in[at++]);
    const Measured m = Measure(pending_);
    if (m.state == Measured::NeedMore) continue;
    if (m.state == Measured::Unknown) {
      char hex[8];
      std::string bytes;
      for (uint8_t b : pending_) std::snprintf(hex, sizeof hex, "%s%02X", bytes.empty() ? "" : " ", b), bytes += hex;
      error_ = "byte " + std::to_string(offset_) + ": the command " + bytes +
               " is not one whose length is known, so drawer kicks cannot be told apart from its data "
               "(raw-drawer-kicks is drop)";
      return false;
    }
    if (pending_.size() < m.size.head) continue;
    if (m.size.kick)
      ++kicks_;
    else
      out.insert(out.end(), pending_.begin(), pending_.end());
    offset_ += pending_.size();
    pending_.clear();
    data_ = m.size.data;
    untilNul_ = m.size.untilNul;
  }
  return true;
}
