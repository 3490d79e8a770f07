#!/usr/bin/env bash
# The 32-bit part of "bash run.sh test" as a machine without IA-32 execution
# runs it: every process of the run that makes a 32-bit x86 system call is
# killed (seccomp), so the kernel-side probe fails and the tests must pass
# under qemu-i386 alone. Run by hand, as root, after "bash run.sh test" has
# installed the packages.
#
# Usage: bash bench/no-ia32.sh [BUILD_DIR]   (default build-32-noia32)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-32-noia32}
mkdir -p "$dir"
g++ -O2 -o "$dir/no-ia32" bench/NoIa32.cpp
# The same steps as run.sh, inside the sandbox.
"$dir/no-ia32" bash -c '
  set -euo pipefail
  source <(sed -n "/^install_missing()/,/^}/p;/^emulator_option()/,/^}/p;/^build()/,/^}/p" run.sh)
  emulator=$(emulator_option qemu-i386 g++ -m32)
  PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig build "$0" -DCMAKE_CXX_FLAGS=-m32 "$emulator"
  cd "$0" && ctest --output-on-failure -j"$(nproc)"' "$dir"
