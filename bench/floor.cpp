// raster_floor: the least any filter must do with a raster stream: open it
// with libcups, read every page header and every line into a line buffer,
// nothing else. bench/run.sh measures it as the floor the filter's
// instruction counts are compared with.
//
// It is as cheap as an honest reader gets: C library calls only, so that the
// program loads libcups and libc and nothing else (CMake links it with
// --as-needed, which drops the C++ runtime a C++ program would otherwise load
// and relocate: about 2.2 million instructions, more than a 576 x 20000 page
// of uncompressed raster costs to read). It reads line by line, as a filter
// must: libcups reports a read of many lines only as failed or complete, so
// a reader of whole pages could not print the lines of a cut-off page, nor
// report progress or stop on a cancel between them. Whole pages in one call
// save libcups' per-call work, about 100 instructions a line.
//
// Usage: raster_floor [FILE]   (standard input when no FILE)
// Prints the number of pages and lines read.

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include <cups/raster.h>

int main(int argc, char* argv[]) {
  const int fd = argc > 1 ? ::open(argv[1], O_RDONLY) : 0;
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  unsigned char* line = nullptr;
  cups_page_header2_t header;
  unsigned long pages = 0, lines = 0;
  while (cupsRasterReadHeader2(ras, &header)) {
    ++pages;
    std::free(line);
    line = static_cast<unsigned char*>(std::malloc(header.cupsBytesPerLine));
    if (!line) break;
    for (unsigned y = 0; y < header.cupsHeight; ++y, ++lines)
      if (cupsRasterReadPixels(ras, line, header.cupsBytesPerLine) == 0) break;
  }
  std::free(line);
  cupsRasterClose(ras);
  if (fd != 0) ::close(fd);
  std::printf("%lu pages, %lu lines\n", pages, lines);
  return pages > 0 ? 0 : 1;
}
