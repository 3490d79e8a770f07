#include "EscPosDecoder.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>

namespace escpos {
namespace {

constexpr std::uint8_t ESC = 0x1B;
constexpr std::uint8_t GS = 0x1D;

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> in) : in_(in) {}

  Paper run() {
    while (pos_ < in_.size() && !paper_.error) step();
    return std::move(paper_);
  }

 private:
  std::size_t left() const { return in_.size() - pos_; }
  std::uint8_t at(std::size_t i) const { return in_[pos_ + i]; }

  // Records a failure at the current command; the stream is not read further.
  void fail(std::string message) { paper_.error = DecodeError{pos_, std::move(message)}; }

  bool need(std::size_t n, const char* what) {
    if (left() >= n) return true;
    fail(std::string("truncated ") + what + ": needs " + std::to_string(n) + " bytes, " +
         std::to_string(left()) + " left");
    return false;
  }

  void emit(EventKind kind, std::size_t length, int value, bool blank = false) {
    paper_.events.push_back(Event{kind, pos_, length, paper_.height(), value, blank});
    pos_ += length;
  }

  // Whether the paper can grow by n rows; past the longest paper an int
  // counts, the decoding stops there.
  bool roomFor(int n) {
    if (n <= std::numeric_limits<int>::max() - paper_.rowCount) return true;
    fail("paper longer than " + std::to_string(std::numeric_limits<int>::max()) + " dot rows");
    return false;
  }

  void step() {
    const std::uint8_t b = at(0);
    if (b != ESC && b != GS) {
      fail("unknown byte " + hexBytes(in_.subspan(pos_, 1)) + " outside a command");
      return;
    }
    if (!need(2, "command")) return;
    const std::uint8_t c = at(1);
    if (b == GS && c == 0x76) return rasterBand();
    if (b == GS && c == 0x0C) return emit(EventKind::FormFeed, 2, 0);
    if (b == GS && c == 0x56) return cut();
    if (b == ESC && c == 0x4A) {
      if (!need(3, "ESC J feed")) return;
      const int n = at(2);
      if (!roomFor(n)) return;
      emit(EventKind::Feed, 3, n);
      paper_.rowCount += n;
      return;
    }
    if (b == ESC && c == 0x70) {
      if (!need(5, "ESC p drawer pulse")) return;
      const int pin = at(2);
      if (pin != 0 && pin != 1 && pin != 48 && pin != 49) {
        fail("ESC p with unknown drawer pin " + std::to_string(pin));
        return;
      }
      return emit(EventKind::DrawerPulse, 5, pin & 1);
    }
    if (b == ESC && c == 0x43) return fixed({ESC, 0x43, 0x04, 0x02, 0x03}, EventKind::Warning, "warning sequence");
    if (b == ESC && c == 0x1F) return density();
    fail("unknown command " + hexBytes(in_.subspan(pos_, 2)));
  }

  // Commands with a fixed byte sequence: the whole sequence must match.
  void fixed(std::initializer_list<std::uint8_t> bytes, EventKind kind, const char* what) {
    if (!need(bytes.size(), what)) return;
    std::size_t i = 0;
    for (std::uint8_t expected : bytes) {
      if (at(i) != expected) {
        fail(std::string("unknown command ") + hexBytes(in_.subspan(pos_, i + 1)) + " (not the " + what + ")");
        return;
      }
      ++i;
    }
    emit(kind, bytes.size(), 0);
  }

  void density() {
    if (!need(6, "density command")) return;
    const std::uint8_t expected[] = {ESC, 0x1F, 0x12, 0x13, 0x14};
    for (std::size_t i = 0; i < 5; ++i) {
      if (at(i) != expected[i]) {
        fail("unknown command " + hexBytes(in_.subspan(pos_, i + 1)) + " (not the density command)");
        return;
      }
    }
    emit(EventKind::Density, 6, at(5));
  }

  void cut() {
    if (!need(3, "GS V cut")) return;
    const int m = at(2);
    if (m == 0 || m == 1 || m == 48 || m == 49) return emit(EventKind::Cut, 3, m);
    if (m == 65 || m == 66) {  // feed n rows, then cut
      if (!need(4, "GS V cut with feed") || !roomFor(at(3))) return;
      paper_.rowCount += at(3);
      return emit(EventKind::Cut, 4, m);
    }
    fail("GS V with unknown mode " + std::to_string(m));
  }

  // GS v 0 m xL xH yL yH d1...dk, k = (xL + 256 xH) * (yL + 256 yH).
  void rasterBand() {
    if (!need(3, "GS v command")) return;
    if (at(2) != 0x30) {
      fail("unknown command " + hexBytes(in_.subspan(pos_, 3)));
      return;
    }
    if (!need(8, "GS v 0 header")) return;
    const int m = at(3);
    if (!(m <= 3 || (m >= 48 && m <= 51))) {
      fail("GS v 0 with unknown mode " + std::to_string(m));
      return;
    }
    const std::size_t widthBytes = at(4) + 256u * at(5);
    const std::size_t height = at(6) + 256u * at(7);
    const std::size_t dataLen = widthBytes * height;
    if (left() - 8 < dataLen) {
      fail("truncated GS v 0 image: " + std::to_string(widthBytes) + " x " + std::to_string(height) +
           " needs " + std::to_string(dataLen) + " data bytes, " + std::to_string(left() - 8) + " left");
      return;
    }
    // Modes 1 and 3 double the width, 2 and 3 the height.
    const int xScale = (m & 1) ? 2 : 1;
    const int yScale = (m & 2) ? 2 : 1;
    const auto data = in_.subspan(pos_ + 8, dataLen);
    const bool blank = std::all_of(data.begin(), data.end(), [](std::uint8_t v) { return v == 0; });
    const int widthDots = static_cast<int>(widthBytes) * 8 * xScale;
    const int firstRow = paper_.rowCount;
    const int rows = static_cast<int>(height) * yScale;
    if (!roomFor(rows)) return;
    emit(EventKind::Band, 8 + dataLen, widthDots, blank);
    paper_.rowCount += rows;
    if (rows == 0) return;
    paper_.widest = std::max(paper_.widest, widthDots);
    paper_.bands.push_back({firstRow, rows, static_cast<int>(widthBytes), xScale, yScale, paper_.bits.size()});
    paper_.bits.insert(paper_.bits.end(), data.begin(), data.end());
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  Paper paper_;
};

}  // namespace

namespace {

// The band covering paper row y, or null.
const Paper::Band* bandAt(const Paper& paper, int y) {
  const auto after = std::upper_bound(paper.bands.begin(), paper.bands.end(), y,
                                      [](int row, const Paper::Band& b) { return row < b.firstRow; });
  if (after == paper.bands.begin()) return nullptr;
  const Paper::Band& b = *std::prev(after);
  return y < b.firstRow + b.rows ? &b : nullptr;
}

bool bandDot(const Paper& paper, const Paper::Band& b, int x, int y) {
  const int column = x / b.xScale;
  if (column >= b.widthBytes * 8) return false;
  const std::size_t row = static_cast<std::size_t>((y - b.firstRow) / b.yScale);
  const std::uint8_t byte = paper.bits[b.data + row * static_cast<std::size_t>(b.widthBytes) + column / 8];
  return (byte >> (7 - column % 8)) & 1;
}

// The dots of one paper row after another, top to bottom, in `dots` (one
// byte per dot, 1 = dot, width() long).
class RowWalker {
 public:
  explicit RowWalker(const Paper& paper) : paper_(paper), dots(static_cast<std::size_t>(paper.width())) {}
  void row(int y) {
    while (next_ < paper_.bands.size() && paper_.bands[next_].firstRow + paper_.bands[next_].rows <= y) ++next_;
    std::fill(dots.begin(), dots.end(), 0);
    if (next_ == paper_.bands.size() || paper_.bands[next_].firstRow > y) return;
    const Paper::Band& b = paper_.bands[next_];
    const int bandWidth = std::min(paper_.width(), b.widthBytes * 8 * b.xScale);
    for (int x = 0; x < bandWidth; ++x) dots[static_cast<std::size_t>(x)] = bandDot(paper_, b, x, y);
  }

 private:
  const Paper& paper_;
  std::size_t next_ = 0;

 public:
  std::vector<std::uint8_t> dots;
};

}  // namespace

bool Paper::dot(int x, int y) const {
  if (y < 0 || y >= height() || x < 0) return false;
  const Band* b = bandAt(*this, y);
  return b && bandDot(*this, *b, x, y);
}

std::size_t Paper::count(EventKind kind) const {
  return static_cast<std::size_t>(
      std::count_if(events.begin(), events.end(), [kind](const Event& e) { return e.kind == kind; }));
}

std::size_t Paper::blankBands() const {
  return static_cast<std::size_t>(std::count_if(
      events.begin(), events.end(), [](const Event& e) { return e.kind == EventKind::Band && e.blank; }));
}

int Paper::fedRows() const {
  int total = 0;
  for (const auto& e : events)
    if (e.kind == EventKind::Feed) total += e.value;
  return total;
}

std::vector<int> Paper::cutRows() const {
  std::vector<int> out;
  for (const auto& e : events)
    if (e.kind == EventKind::Cut) out.push_back(e.row);
  return out;
}

long Paper::dotsIn(int x0, int y0, int x1, int y1) const {
  long n = 0;
  for (int y = std::max(0, y0); y < std::min(y1, height()); ++y) {
    const Band* b = bandAt(*this, y);
    if (!b) continue;
    for (int x = std::max(0, x0); x < std::min(x1, b->widthBytes * 8 * b->xScale); ++x) n += bandDot(*this, *b, x, y);
  }
  return n;
}

Paper decode(std::span<const std::uint8_t> stream) { return Decoder(stream).run(); }

std::string summary(const Paper& paper) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(1);
  const double mmPerDot = 25.4 / 203.0;
  out << "paper: " << paper.width() << " x " << paper.height() << " dots (" << paper.width() * mmPerDot
      << " x " << paper.height() * mmPerDot << " mm at 203 dpi)\n";
  out << "bands: " << paper.count(EventKind::Band) << " (" << paper.blankBands() << " blank)\n";
  out << "feeds: " << paper.count(EventKind::Feed) << " ESC J, " << paper.fedRows() << " rows; "
      << paper.count(EventKind::FormFeed) << " GS FF\n";
  out << "cuts: " << paper.count(EventKind::Cut);
  const auto cuts = paper.cutRows();
  for (std::size_t i = 0; i < cuts.size(); ++i) out << (i ? ", " : " at rows ") << cuts[i];
  out << "\n";
  out << "drawer pulses: " << paper.count(EventKind::DrawerPulse) << "\n";
  out << "warnings: " << paper.count(EventKind::Warning) << "\n";
  out << "density: ";
  bool any = false;
  for (const auto& e : paper.events) {
    if (e.kind != EventKind::Density) continue;
    out << (any ? ", " : "") << e.value;
    any = true;
  }
  out << (any ? "\n" : "printer default\n");
  return out.str();
}

namespace {

// The image of the paper, row by row: paper rows with a dashed red row
// before each row a cut happens at (and after the last for cuts at the end).
class ImageWalker {
 public:
  explicit ImageWalker(const Paper& paper)
      : paper_(paper), cuts_(paper.cutRows()), walker_(paper), width(std::max(8, paper.width())),
        height(std::max<long>(1, long{paper.height()} + static_cast<long>(cuts_.size()))),
        pixels(static_cast<std::size_t>(width) * 3) {}
  // Fills `pixels` with the next image row.
  void next() {
    std::fill(pixels.begin(), pixels.end(), 0xFF);
    if (nextCut_ < cuts_.size() && cuts_[nextCut_] == paperRow_) {
      // Dashes of four red pixels, four white: visible on any content.
      for (int x = 0; x < width; ++x)
        if (x % 8 < 4) pixels[static_cast<std::size_t>(x) * 3 + 1] = pixels[static_cast<std::size_t>(x) * 3 + 2] = 0;
      ++nextCut_;
      return;
    }
    if (paperRow_ >= paper_.height()) return;  // the white row of an empty paper
    walker_.row(paperRow_++);
    for (std::size_t x = 0; x < walker_.dots.size(); ++x)
      if (walker_.dots[x]) pixels[x * 3] = pixels[x * 3 + 1] = pixels[x * 3 + 2] = 0;
  }

 private:
  const Paper& paper_;
  std::vector<int> cuts_;
  RowWalker walker_;
  std::size_t nextCut_ = 0;
  int paperRow_ = 0;

 public:
  const int width;
  const long height;
  std::vector<std::uint8_t> pixels;
};

}  // namespace

RgbImage render(const Paper& paper) {
  ImageWalker walker(paper);
  RgbImage img;
  img.width = walker.width;
  img.height = static_cast<int>(walker.height);
  img.pixels.reserve(static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height) * 3);
  for (int y = 0; y < img.height; ++y) {
    walker.next();
    img.pixels.insert(img.pixels.end(), walker.pixels.begin(), walker.pixels.end());
  }
  return img;
}

namespace {

struct PngWriter {
  PngWriter() : png(png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr)) {
    if (png) info = png_create_info_struct(png);
  }
  ~PngWriter() { png_destroy_write_struct(&png, &info); }
  png_structp png;
  png_infop info = nullptr;
};

std::string tooLong(const ImageWalker& image, png_structp png) {
  const auto limit = png_get_user_height_max(png);
  if (image.height <= static_cast<long>(limit)) return {};
  return "paper of " + std::to_string(image.height) + " image rows is longer than a PNG may be (" +
         std::to_string(limit) + " rows)";
}

}  // namespace

std::string pngRefusal(const Paper& paper) {
  PngWriter w;
  return w.png ? tooLong(ImageWalker(paper), w.png) : "libpng: out of memory";
}

namespace {

// The image rows of `paper` through `png`, whose output is already set up;
// `what` names the output in errors.
std::string writeImage(const Paper& paper, png_structp png, png_infop info, const std::string& what) {
  ImageWalker walker(paper);
  if (auto why = tooLong(walker, png); !why.empty()) return why;
  // libpng reports errors by longjmp; nothing with a destructor is created
  // between here and the end of the writes.
  if (setjmp(png_jmpbuf(png))) return "libpng: write failed for " + what;
  png_set_IHDR(png, info, static_cast<png_uint_32>(walker.width), static_cast<png_uint_32>(walker.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (long y = 0; y < walker.height; ++y) {
    walker.next();
    png_write_row(png, walker.pixels.data());
  }
  png_write_end(png, nullptr);
  return {};
}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

// Memory needs no flush; libpng's default would take the vector for a FILE.
void noFlush(png_structp) {}

}  // namespace

std::string writePng(const Paper& paper, const std::string& path) {
  if (auto why = pngRefusal(paper); !why.empty()) return why;
  PngWriter w;
  if (!w.png || !w.info) return "libpng: out of memory";
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) return "cannot create " + path;
  png_init_io(w.png, file.get());
  if (auto err = writeImage(paper, w.png, w.info, path); !err.empty()) return err;
  if (std::fflush(file.get()) != 0) return "cannot write " + path;
  return {};
}

std::string encodePng(const Paper& paper, std::vector<std::uint8_t>& out) {
  out.clear();
  PngWriter w;
  if (!w.png || !w.info) return "libpng: out of memory";
  png_set_write_fn(w.png, &out, appendBytes, noFlush);
  return writeImage(paper, w.png, w.info, "the image in memory");
}

std::string writePbm(const Paper& paper, const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) return "cannot create " + path;
  const int w = paper.width();
  const int h = paper.height();
  std::fprintf(file.get(), "P4\n%d %d\n", w, h);
  RowWalker walker(paper);
  std::vector<std::uint8_t> line(static_cast<std::size_t>((w + 7) / 8));
  for (int y = 0; y < h; ++y) {
    walker.row(y);
    std::fill(line.begin(), line.end(), 0);
    for (std::size_t x = 0; x < walker.dots.size(); ++x)
      if (walker.dots[x]) line[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    std::fwrite(line.data(), 1, line.size(), file.get());
  }
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) return "cannot write " + path;
  return {};
}

}  // namespace escpos
