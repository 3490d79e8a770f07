// PNG and JPEG documents as receipt pages. PAPPL fits an image to the whole
// page of the chosen media, so a small receipt on a 2 m roll would come out
// 2 m long; here an image keeps its own length: it is only ever scaled down,
// to the width of the head, and pages are as long as the picture.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Sides beyond this are taken as a damaged or hostile header.
inline constexpr uint32_t kMaxImageSide = 65535;
inline constexpr uint64_t kMaxImagePixels = uint64_t{1} << 28;
// An interlaced PNG is held whole (two bytes a pixel) until its last pass:
// 16 megapixels, 32 MiB at most.
inline constexpr uint64_t kMaxInterlacedPixels = uint64_t{1} << 24;

// Where the rows go: `start` gets the page size (empty result to go on, or
// why not), then `row` gets each sGray row (0 = black) top to bottom.
struct ImagePage {
  std::function<std::string(uint32_t width, uint32_t rows)> start;
  std::function<void(uint32_t y, std::span<const uint8_t> sgray)> row;
};

// The page size of a `width` x `height` image on a head `headWidth` dots
// wide: scaled down so that its width fits, or with `across`, so that its
// height fits (it is printed turned a quarter).
struct PageSize {
  uint32_t width, rows;
};
PageSize FitToHead(uint32_t width, uint32_t height, uint32_t headWidth, bool across);

// Reads a PNG or JPEG file (told apart by its first bytes) and hands it over
// as one page. Returns an empty string on success, else a message saying
// what is wrong with the file.
std::string ReadImagePage(const std::string& path, uint32_t headWidth, bool across, const ImagePage& page);
