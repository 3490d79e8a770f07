#include "ImageInput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace {

// Both libraries report fatal errors through a callback that must not return;
// it throws this, which unwinds back into ReadImagePage.
struct ImageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Area-average downscaling, one input row at a time, so that memory follows
// the output page and not the (possibly huge) input image.
class RowScaler {
 public:
  RowScaler(uint32_t inWidth, uint32_t inRows, PageSize out, const ImagePage& page)
      : inWidth_(inWidth), inRows_(inRows), out_(out), page_(page), column_(inWidth), sums_(out.width),
        counts_(out.width), row_(out.width) {
    for (uint32_t x = 0; x < inWidth; ++x) column_[x] = static_cast<uint32_t>(uint64_t{x} * out.width / inWidth);
  }

  void Add(uint32_t y, const uint8_t* grey) {
    const uint32_t target = static_cast<uint32_t>(uint64_t{y} * out_.rows / inRows_);
    if (target != current_) Flush();
    current_ = target;
    for (uint32_t x = 0; x < inWidth_; ++x) {
      sums_[column_[x]] += grey[x];
      ++counts_[column_[x]];
    }
  }

  void Flush() {
    if (current_ >= out_.rows || counts_[0] == 0) return;
    for (uint32_t x = 0; x < out_.width; ++x) row_[x] = counts_[x] ? static_cast<uint8_t>(sums_[x] / counts_[x]) : 255;
    page_.row(current_, row_);
    std::fill(sums_.begin(), sums_.end(), 0);
    std::fill(counts_.begin(), counts_.end(), 0);
  }

 private:
  uint32_t inWidth_, inRows_;
  PageSize out_;
  const ImagePage& page_;
  std::vector<uint32_t> column_;
  std::vector<uint64_t> sums_, counts_;
  std::vector<uint8_t> row_;
  uint32_t current_ = 0;
};

void CheckSize(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide ||
      uint64_t{width} * height > kMaxImagePixels)
    throw ImageError("the image is " + std::to_string(width) + " x " + std::to_string(height) +
                     " pixels, outside 1 x 1 to " + std::to_string(kMaxImageSide) + " x " +
                     std::to_string(kMaxImageSide) + " (at most " + std::to_string(kMaxImagePixels >> 20) +
                     " megapixels)");
}

void StartPage(const ImagePage& page, PageSize size) {
  if (std::string refusal = page.start(size.width, size.rows); !refusal.empty()) throw ImageError(refusal);
}

// --- PNG ---

[[noreturn]] void PngError(png_structp, png_const_charp message) {
  throw ImageError(std::string("the PNG file is damaged: ") + message);
}
void PngWarning(png_structp, png_const_charp) {}

struct PngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

void ReadPng(FILE* f, uint32_t headWidth, bool across, const ImagePage& page) {
  PngReader r;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (!r.png) throw ImageError("not enough memory to read the PNG file");
  r.info = png_create_info_struct(r.png);
  if (!r.info) throw ImageError("not enough memory to read the PNG file");
  png_init_io(r.png, f);
  png_set_user_limits(r.png, kMaxImageSide, kMaxImageSide);
  png_read_info(r.png, r.info);

  const uint32_t width = png_get_image_width(r.png, r.info), height = png_get_image_height(r.png, r.info);
  CheckSize(width, height);
  png_set_expand(r.png);
  png_set_strip_16(r.png);
  png_set_rgb_to_gray_fixed(r.png, 1, -1, -1);
  png_set_add_alpha(r.png, 0xFF, PNG_FILLER_AFTER);  // grey and alpha, whatever the file holds
  const int passes = png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  if (png_get_rowbytes(r.png, r.info) != size_t{width} * 2)
    throw ImageError("the PNG file has a pixel format that cannot be read as grey");

  const PageSize size = FitToHead(width, height, headWidth, across);
  StartPage(page, size);
  RowScaler scaler(width, height, size, page);
  std::vector<uint8_t> grey(width);
  // Transparent pixels lie on white paper.
  auto composite = [&](const uint8_t* ga) {
    for (uint32_t x = 0; x < width; ++x) {
      const unsigned g = ga[2 * x], a = ga[2 * x + 1];
      grey[x] = static_cast<uint8_t>((g * a + 255 * (255 - a) + 127) / 255);
    }
  };
  if (passes == 1) {
    std::vector<uint8_t> row(size_t{width} * 2);
    for (uint32_t y = 0; y < height; ++y) {
      png_read_row(r.png, row.data(), nullptr);
      composite(row.data());
      scaler.Add(y, grey.data());
    }
  } else {
    // Interlaced rows are complete only after the last pass: keep them all.
    if (uint64_t{width} * height > kMaxInterlacedPixels)
      throw ImageError("the PNG file is interlaced and " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels; interlaced images are taken up to " + std::to_string(kMaxInterlacedPixels >> 20) +
                       " megapixels");
    std::vector<uint8_t> image(size_t{width} * 2 * height);
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = image.data() + size_t{y} * width * 2;
    png_read_image(r.png, rows.data());
    for (uint32_t y = 0; y < height; ++y) {
      composite(rows[y]);
      scaler.Add(y, grey.data());
    }
  }
  scaler.Flush();
}

// --- JPEG ---

[[noreturn]] void JpegError(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  throw ImageError(std::string("the JPEG file is damaged: ") + text);
}
void JpegMessage(j_common_ptr) {}

struct JpegReader {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  ~JpegReader() { jpeg_destroy_decompress(&cinfo); }
};

void ReadJpeg(FILE* f, uint32_t headWidth, bool across, const ImagePage& page) {
  JpegReader r;
  r.cinfo.err = jpeg_std_error(&r.err);
  r.err.error_exit = JpegError;
  r.err.output_message = JpegMessage;
  jpeg_create_decompress(&r.cinfo);
  jpeg_stdio_src(&r.cinfo, f);
  jpeg_read_header(&r.cinfo, TRUE);
  CheckSize(r.cinfo.image_width, r.cinfo.image_height);

  const bool cmyk = r.cinfo.jpeg_color_space == JCS_CMYK || r.cinfo.jpeg_color_space == JCS_YCCK;
  r.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
  // Let the decoder shrink large photos (by 1/2, 1/4 or 1/8) as long as the
  // result is still at least as large as the page needs.
  const PageSize full = FitToHead(r.cinfo.image_width, r.cinfo.image_height, headWidth, across);
  for (unsigned denom = 8; denom > 1; denom /= 2) {
    if (r.cinfo.image_width / denom >= full.width && r.cinfo.image_height / denom >= full.rows) {
      r.cinfo.scale_num = 1;
      r.cinfo.scale_denom = denom;
      break;
    }
  }
  jpeg_start_decompress(&r.cinfo);
  const uint32_t width = r.cinfo.output_width, height = r.cinfo.output_height;
  const PageSize size = FitToHead(width, height, headWidth, across);
  StartPage(page, size);
  RowScaler scaler(width, height, size, page);
  std::vector<uint8_t> row(size_t{width} * r.cinfo.output_components), grey(width);
  for (uint32_t y = 0; y < height; ++y) {
    JSAMPROW rows[] = {row.data()};
    if (jpeg_read_scanlines(&r.cinfo, rows, 1) != 1) throw ImageError("the JPEG file ends early");
    if (cmyk) {
      // Adobe's inverted CMYK: the ink is what remains below 255.
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* p = &row[4 * x];
        const unsigned k = p[3];
        const unsigned luminance = (299 * p[0] + 587 * p[1] + 114 * p[2]) / 1000;
        grey[x] = static_cast<uint8_t>(luminance * k / 255);
      }
    } else {
      std::memcpy(grey.data(), row.data(), width);
    }
    scaler.Add(y, grey.data());
  }
  scaler.Flush();
  jpeg_finish_decompress(&r.cinfo);
}

}  // namespace

PageSize FitToHead(uint32_t width, uint32_t height, uint32_t headWidth, bool across) {
  const uint32_t side = across ? height : width;
  if (side <= headWidth) return {width, height};
  // Round to nearest, never to 0.
  auto scale = [&](uint32_t n) {
    return std::max<uint32_t>(1, static_cast<uint32_t>((uint64_t{n} * headWidth + side / 2) / side));
  };
  return across ? PageSize{scale(width), headWidth} : PageSize{headWidth, scale(height)};
}

std::string ReadImagePage(const std::string& path, uint32_t headWidth, bool across, const ImagePage& page) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return "the document cannot be opened: " + std::string(std::strerror(errno));
  unsigned char magic[8] = {};
  const size_t n = std::fread(magic, 1, sizeof magic, f.get());
  std::rewind(f.get());
  try {
    if (n == 8 && png_sig_cmp(magic, 0, 8) == 0)
      ReadPng(f.get(), headWidth, across, page);
    else if (n >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
      ReadJpeg(f.get(), headWidth, across, page);
    else
      return "the document is neither a PNG nor a JPEG image";
  } catch (const ImageError& e) {
    return e.what();
  } catch (const std::bad_alloc&) {
    return "not enough memory to read the image";
  }
  return {};
}
