// Writes the fuzzers' seed corpus: small valid jobs of every depth with every
// option choice, in each harness's input format.
//
// Usage: make_fuzz_corpus RASTER_DIR PIPELINE_DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "TestSupport.h"

namespace {

Bytes Lines(unsigned width, unsigned height, unsigned bpp, unsigned bpl) {
  Bytes lines(size_t{bpl} * height);
  for (unsigned y = 0; y < height; ++y)
    for (unsigned i = 0; i < bpl; ++i) {
      const unsigned x = bpp >= 8 ? i / (bpp / 8) : i * 8;
      // A dark disc on a grey ramp: strokes, mid-tones and blank paper.
      const int dx = int(x) - int(width / 2), dy = int(y) - int(height / 2);
      const bool disc = dx * dx + dy * dy < int(width * width / 9);
      lines[size_t{y} * bpl + i] = bpp == 1 ? (disc ? 0xF0 : 0x00)
                                   : static_cast<uint8_t>(disc ? (bpp == 24 ? 0x10 : 0xE0) : (x * 255 / (width + 1)));
    }
  return lines;
}

void Save(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void Word16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string rasterDir = argv[1], pipelineDir = argv[2];
  struct Shape { unsigned w, h, bpp; } shapes[] = {{8, 3, 1}, {40, 30, 1}, {10, 2, 8}, {33, 30, 8}, {64, 50, 8},
                                                   {10, 2, 24}, {33, 26, 24}, {16, 4, 16}};
  int n = 0;
  for (const Shape& s : shapes) {
    // Every choice of every option once, the others left at their defaults.
    const auto& options = FuzzOptions();
    for (size_t option = 0; option < options.size(); ++option)
      for (size_t choice = 0; choice < options[option].choices.size(); ++choice) {
        if ((option + choice + s.w) % 3 != 0 && !(option == 0 && s.bpp == 8)) continue;  // keep it small
        Bytes picks(options.size(), 0xFF);
        picks[option] = static_cast<uint8_t>(choice);
        cups_page_header2_t h = MakeHeader(s.w, s.h, s.bpp);
        const Bytes lines = Lines(s.w, s.h, s.bpp, h.cupsBytesPerLine);

        Bytes raster = picks;
        const Bytes stream = WriteRaster({{h, lines}});
        raster.insert(raster.end(), stream.begin(), stream.end());
        Save(rasterDir + "/seed-" + std::to_string(n), raster);

        const unsigned need = (s.w * s.bpp + 7) / 8;
        Bytes pipeline = {static_cast<uint8_t>(s.bpp == 1 ? 0 : s.bpp == 8 ? 1 : s.bpp == 24 ? 2 : 3)};
        if (pipeline[0] == 3) pipeline.push_back(static_cast<uint8_t>(s.bpp));
        Word16(pipeline, s.w);
        pipeline.push_back(static_cast<uint8_t>(h.cupsBytesPerLine - need));
        Word16(pipeline, s.h);
        pipeline.push_back(1);  // copies
        pipeline.insert(pipeline.end(), picks.begin(), picks.end());
        pipeline.insert(pipeline.end(), lines.begin(), lines.end());
        Save(pipelineDir + "/seed-" + std::to_string(n), pipeline);
        ++n;
      }
  }
  std::printf("%d seeds\n", n);
  return 0;
}
