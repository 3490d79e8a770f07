// escpos-preview: shows what a receipt printer would make of an ESC/POS
// stream written by labelfilter.
//
//   escpos-preview [--png OUT.png] [--pbm OUT.pbm] [--quiet] [INPUT | -]
//
// Reads the stream (standard input when INPUT is missing or "-"), prints a
// summary on standard output and writes the paper as a PNG (dashed red rows
// mark the cuts) and/or a plain PBM of the dots.  An unknown or truncated
// command is reported on standard error with its byte offset, a paper too
// long for a PNG with its length; the tool then writes no image and exits
// with status 1.  Usage and I/O errors exit 2.  Memory: the stream, at most 20
// bytes per byte of it for the decoded paper, and one row of the image.
#include "EscPosDecoder.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int usage() {
  std::cerr << "usage: escpos-preview [--png OUT.png] [--pbm OUT.pbm] [--quiet] [INPUT | -]\n";
  return 2;
}

bool readAll(const std::string& path, std::vector<std::uint8_t>& out) {
  if (path == "-") {
    std::cin.unsetf(std::ios::skipws);
    out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::string input = "-", pngPath, pbmPath;
  bool quiet = false, haveInput = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--png" || arg == "--pbm") && i + 1 < argc) {
      (arg == "--png" ? pngPath : pbmPath) = argv[++i];
    } else if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      usage();
      return 0;
    } else if ((arg == "-" || arg[0] != '-') && !haveInput) {
      input = arg;
      haveInput = true;
    } else {
      return usage();
    }
  }

  std::vector<std::uint8_t> stream;
  if (!readAll(input, stream)) {
    std::cerr << "escpos-preview: cannot read " << input << ": " << std::strerror(errno) << "\n";
    return 2;
  }

  const escpos::Paper paper = escpos::decode(stream);
  if (paper.error) {
    std::cerr << "escpos-preview: " << input << ": offset " << paper.error->offset << ": "
              << paper.error->message << "\n";
    return 1;
  }
  if (const auto why = pngPath.empty() ? "" : escpos::pngRefusal(paper); !why.empty()) {
    std::cerr << "escpos-preview: " << input << ": " << why << "; --pbm writes any length\n";
    return 1;
  }
  if (!quiet) std::cout << "stream: " << stream.size() << " bytes\n" << escpos::summary(paper);

  if (!pngPath.empty()) {
    if (auto err = escpos::writePng(paper, pngPath); !err.empty()) {
      std::cerr << "escpos-preview: " << err << "\n";
      return 2;
    }
  }
  if (!pbmPath.empty()) {
    if (auto err = escpos::writePbm(paper, pbmPath); !err.empty()) {
      std::cerr << "escpos-preview: " << err << "\n";
      return 2;
    }
  }
  return 0;
}
