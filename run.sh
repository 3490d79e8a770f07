#!/usr/bin/env bash
# labelfilter set-up: "bash run.sh demo" builds the driver and prints the
# bundled sample receipt through it; "bash run.sh test" runs every test.
set -euo pipefail
cd "$(dirname "$0")"

# What the demo needs: the build without its tests, and the CUPS chain
# (cupsfilter, pdftopdf and gstoraster, Ghostscript) it prints through.
DEMO_PACKAGES=(cmake g++ make libcups2-dev libcupsimage2-dev libpng-dev cups-ppdc
               cups cups-filters ghostscript)
# The tests add GoogleTest, CUPS's clients and IPP tools, clang for the
# fuzzers, and on amd64 the i386 libraries of the 32-bit build.
M32_PACKAGES=()
if [ "$(dpkg --print-architecture)" = amd64 ]; then
  M32_PACKAGES=(g++-multilib libcups2-dev:i386 libcupsimage2-dev:i386 libgtest-dev:i386 libpng-dev:i386)
fi
# The packages: Debian's packaging tools, the build dependencies for the
# host and, on amd64, the cross compilers and the arm64 and armhf libraries
# of the Raspberry Pi packages (32- and 64-bit Raspberry Pi OS).
DEB_ARCHES=("$(dpkg --print-architecture)")
CROSS_PACKAGES=()
if [ "${DEB_ARCHES[0]}" = amd64 ]; then
  DEB_ARCHES+=(arm64 armhf)
  for a in arm64 armhf; do
    CROSS_PACKAGES+=(crossbuild-essential-$a libcups2-dev:$a libcupsimage2-dev:$a libpng-dev:$a libgtest-dev:$a
                     libpappl-dev:$a libjpeg-dev:$a libpoppler-cpp-dev:$a)
  done
fi
PACKAGE_PACKAGES=(dpkg-dev debhelper lintian fakeroot cmake g++ make pkgconf cups-ppdc libcups2-dev libcupsimage2-dev
                  libpng-dev libjpeg-dev libpappl-dev libpoppler-cpp-dev "${CROSS_PACKAGES[@]}")
# The printer application adds PAPPL, libjpeg and poppler's C++ library (PDF
# jobs), and its tests iproute2 for their private network, qpdf for a
# password-protected PDF and a browser driven over WebDriver with curl. The
# package test adds the packaging tools, mmdebstrap and systemd-nspawn for a
# clean root, the DNS-SD test avahi and D-Bus, the arm64 and armhf tests
# qemu-user.
TEST_PACKAGES=("${DEMO_PACKAGES[@]}" pkg-config libgtest-dev cups-client cups-bsd cups-ipp-utils
               clang-14 libclang-rt-14-dev libpappl-dev libjpeg-dev libpoppler-cpp-dev qpdf iproute2
               chromium chromium-driver curl
               "${M32_PACKAGES[@]}"
               "${PACKAGE_PACKAGES[@]}" mmdebstrap systemd-container avahi-daemon avahi-utils dbus qemu-user)

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    for a in i386 arm64 armhf; do
      if [[ " ${missing[*]}" == *:$a* ]] && ! dpkg --print-foreign-architectures | grep -qx $a; then
        dpkg --add-architecture $a
      fi
    done
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# How the tests of a build for another architecture run: natively where this
# kernel executes its programs, else under qemu-user, which CMake then puts in
# front of every test program (gtest's test discovery included). Prints the
# CMake option for the build; LABELFILTER_EMULATE=1 takes the emulator even
# where the kernel would do.
emulator_option() {  # emulator_option QEMU COMPILER [FLAGS...]
  local qemu=$1; shift
  local probe status=0
  probe=$(mktemp -d)
  echo 'int main() { return 0; }' >"$probe/probe.cpp"
  "$@" "$probe/probe.cpp" -o "$probe/probe" >&2 || status=$?
  if ((status == 0)) && [ -z "${LABELFILTER_EMULATE:-}" ] && "$probe/probe" 2>/dev/null; then
    echo "$*: programs run natively" >&2
    echo "-DCMAKE_CROSSCOMPILING_EMULATOR="
  elif ((status == 0)); then
    echo "$*: this kernel cannot run the programs (or LABELFILTER_EMULATE is set): tests run under $qemu" >&2
    install_missing qemu-user >&2
    echo "-DCMAKE_CROSSCOMPILING_EMULATOR=$(command -v "$qemu")"
  fi
  rm -rf "$probe"
  return "$status"
}

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# cross_test ARCH TRIPLET QEMU PROCESSOR: the core's unit tests and the
# filter's end-to-end tests, built with Debian's cross compiler for ARCH and
# its multiarch libraries, run under qemu-user (natively where this kernel
# can). The printer application is left out: its tests need a server per
# test under the emulator, and the package build already compiles it.
cross_test() {
  local arch=$1 triplet=$2 qemu=$3 processor=$4 emulator
  emulator=$(emulator_option "$qemu" "$triplet-g++")
  PKG_CONFIG_LIBDIR=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig \
    cmake -S . -B "build-$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SYSTEM_NAME=Linux \
      -DCMAKE_SYSTEM_PROCESSOR="$processor" -DCMAKE_CXX_COMPILER="$triplet-g++" \
      -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON "$emulator" >/dev/null
  cmake --build "build-$arch" -j"$(nproc)" --target unit_tests e2e_tests
  (cd "build-$arch" && ctest --output-on-failure -j"$(nproc)" -R '^(unit|Filter|HostileInput)[.]')
}

# package_debs DIR ARCH...: the .debs of each architecture into DIR/ARCH,
# built by dpkg-buildpackage from a copy of the sources (it writes next to
# them). One folder per architecture, so that `apt install ./*.deb` there
# takes the right ones.
package_debs() {
  local dir=$1; shift
  rm -rf "$dir" && mkdir -p "$dir"
  for arch; do
    local src=$dir/build-$arch/labelfilter
    mkdir -p "$src"
    tar -c --exclude-vcs --exclude='./build*' --exclude="./$dir" --exclude=./out . | tar -x -C "$src"
    local host=()
    [ "$arch" = "$(dpkg --print-architecture)" ] || host=(-a"$arch" -Pnocheck)
    (cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck noautodbgsym" \
       dpkg-buildpackage -b -us -uc "${host[@]}" >../build.log 2>&1) ||
      { tail -40 "$dir/build-$arch/build.log"; echo "dpkg-buildpackage for $arch failed" >&2; return 1; }
    mkdir -p "$dir/$arch" && mv "$dir/build-$arch"/*.deb "$dir/$arch"/
    rm -rf "$dir/build-$arch"
  done
  ls -l "$dir"/*
}

case "${1:-}" in
  demo)
    install_missing "${DEMO_PACKAGES[@]}"
    build build -DLABELFILTER_TESTS=OFF
    exec bash tools/demo.sh build
    ;;
  package)
    install_missing "${PACKAGE_PACKAGES[@]}"
    package_debs "${LABELFILTER_DIST:-dist}" "${DEB_ARCHES[@]}"
    ;;
  test)
    install_missing "${TEST_PACKAGES[@]}"
    build build -DLABELFILTER_TESTS=ON -DLABELFILTER_PACKAGE_TESTS=ON
    # The plain suite spends most of its time waiting on servers and timers:
    # the sanitizer build is compiled meanwhile, and its log shown after.
    (cd build && ctest --output-on-failure -j"$(nproc)" >ctest.log 2>&1) &
    plain=$!
    trap 'kill "$plain" 2>/dev/null || true' EXIT
    build build-asan -DLABELFILTER_SANITIZE=ON
    plain_status=0
    wait "$plain" || plain_status=$?
    trap - EXIT
    cat build/ctest.log
    if ((plain_status)); then exit "$plain_status"; fi
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
       ctest --output-on-failure -j"$(nproc)")
    # 32-bit: the filter and its tests, where size_t has 32 bits. pkg-config
    # looks at the i386 libraries only, so the host's 64-bit PAPPL is not
    # taken for the printer application.
    if ((${#M32_PACKAGES[@]})); then
      emulator=$(emulator_option qemu-i386 g++ -m32)
      PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig \
        build build-32 -DCMAKE_CXX_FLAGS=-m32 "$emulator"
      (cd build-32 && ctest --output-on-failure -j"$(nproc)")
    else
      echo "32-bit build skipped: it needs an amd64 host with i386 multiarch"
    fi
    # The Raspberry Pi's architectures (Raspberry Pi OS 64- and 32-bit).
    if ((${#CROSS_PACKAGES[@]})); then
      cross_test arm64 aarch64-linux-gnu qemu-aarch64 aarch64
      cross_test armhf arm-linux-gnueabihf qemu-arm arm
    fi
    if [ -x fuzz/run.sh ]; then bash fuzz/run.sh; fi
    ;;
  *)
    echo "usage: bash run.sh demo | bash run.sh test | bash run.sh package" >&2
    exit 2
    ;;
esac
