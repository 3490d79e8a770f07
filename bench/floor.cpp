// raster_floor: the least any filter must do with a raster stream: open it
// with libcups, read every page header and every line into a line buffer,
// nothing else. bench/run.sh measures it as the floor the filter's
// instruction counts are compared with.
//
// Usage: raster_floor [FILE]   (standard input when no FILE)
// Prints the number of pages and lines read.

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <cups/raster.h>

int main(int argc, char* argv[]) {
  const int fd = argc > 1 ? ::open(argv[1], O_RDONLY) : 0;
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  std::vector<unsigned char> line;
  cups_page_header2_t header;
  unsigned long pages = 0, lines = 0;
  while (cupsRasterReadHeader2(ras, &header)) {
    ++pages;
    line.resize(header.cupsBytesPerLine);
    for (unsigned y = 0; y < header.cupsHeight; ++y, ++lines)
      if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) == 0) break;
  }
  cupsRasterClose(ras);
  if (fd != 0) ::close(fd);
  std::printf("%lu pages, %lu lines\n", pages, lines);
  return pages > 0 ? 0 : 1;
}
