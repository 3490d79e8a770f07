#!/usr/bin/env bash
# labelfilter set-up: "bash run.sh demo" builds the driver and prints the
# bundled sample receipt through it; "bash run.sh test" runs every test.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ make pkg-config libcups2-dev libcupsimage2-dev libgtest-dev libpng-dev
          cups cups-filters cups-ppdc cups-client cups-bsd cups-ipp-utils ghostscript
          clang-14 libclang-rt-14-dev libpappl-dev libjpeg-dev)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

case "${1:-}" in
  demo)
    install_missing
    build build
    exec bash tools/demo.sh build
    ;;
  test)
    install_missing
    build build
    (cd build && ctest --output-on-failure -j"$(nproc)")
    build build-asan -DLABELFILTER_SANITIZE=ON
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
       ctest --output-on-failure -j"$(nproc)")
    if [ -x fuzz/run.sh ]; then bash fuzz/run.sh; fi
    ;;
  *)
    echo "usage: bash run.sh demo | bash run.sh test" >&2
    exit 2
    ;;
esac
