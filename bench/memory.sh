#!/bin/sh
# Peak memory of the filter on a receipt-sized page, per depth and per grey
# conversion mode.  Not run by CI: run it by hand after a build.
#
# Usage: bench/memory.sh [BUILD_DIR] [HEIGHT]
#   BUILD_DIR  a configured and built tree (default: build); make_raster and
#              labelfilter are built in it if missing
#   HEIGHT     rows of the page (default 8000: a 1 m receipt at 203 dpi)
#
# For each run: the raster's page bytes (cupsBytesPerLine x rows), the peak
# resident set (GNU time's "Maximum resident set size"), the baseline (the
# same filter on an empty job) and the factor (peak - baseline) / raster
# bytes: how many bytes of memory the filter holds per byte of page.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
height=${2:-8000}
width=576

if [ ! -x /usr/bin/time ]; then
  echo "memory.sh: /usr/bin/time (Debian package 'time') is needed" >&2
  exit 1
fi
cmake --build "$build" --target make_raster labelfilter >/dev/null
filter=$build/labelfilter
make_raster=$build/bench/make_raster

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A PPD with the options the filter reads; the default half turn is kept,
# as the printer ships.
cat > "$work/bench.ppd" <<'PPD'
*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "BENCH.PPD"
*Manufacturer: "Bench"
*Product: "(Bench Receipt)"
*ModelName: "Bench Receipt"
*ShortNickName: "Bench Receipt"
*NickName: "Bench Receipt"
*PSVersion: "(3010.000) 0"
*LanguageLevel: "3"
*ColorDevice: False
*DefaultColorSpace: Gray
*FileSystem: False
*Throughput: "1"
*LandscapeOrientation: Plus90
*TTRasterizer: Type42
*cupsVersion: 2.4
*cupsModelNumber: 0
*cupsFilter: "application/vnd.cups-raster 0 labelfilter"
*OpenUI *PageSize/Media Size: PickOne
*DefaultPageSize: X80MMY100MM
*PageSize X80MMY100MM/80 x 100 mm: "<</PageSize[204.3 283.5]/ImagingBBox null>>setpagedevice"
*CloseUI: *PageSize
*OpenUI *Dithering/Dithering: PickOne
*DefaultDithering: ErrorDiffusion
*Dithering None/None: ""
*Dithering Halftone/Halftone: ""
*Dithering OrderDithering/OrderDithering: ""
*Dithering ErrorDiffusion/ErrorDiffusion: ""
*CloseUI: *Dithering
*OpenUI *Cutting/Cutting: PickOne
*DefaultCutting: 2
*Cutting 0/0: ""
*Cutting 1/1: ""
*Cutting 2/2: ""
*CloseUI: *Cutting
PPD

# Runs the filter on $1 with the options $2; prints "peak-KiB seconds".
run() {
  PPD=$work/bench.ppd /usr/bin/time -v -o "$work/time.txt" \
    "$filter" 1 bench memory 1 "$2" "$1" >"$work/out.bin" 2>"$work/err.txt" || true
  peak=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/time.txt")
  wall=$(sed -n 's/^[[:space:]]*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time.txt")
  echo "$peak $wall"
}

: > "$work/empty.ras"
set -- $(run "$work/empty.ras" "")
baseline=$1

printf '%-5s  %-14s  %12s  %13s  %13s  %7s  %8s\n' depth mode "raster bytes" "peak RSS KiB" "baseline KiB" factor "wall"
for job in 1:- 24:- 8:None 8:Halftone 8:OrderDithering 8:ErrorDiffusion; do
  depth=${job%%:*}
  mode=${job#*:}
  raster=$work/page$depth.ras
  [ -f "$raster" ] || "$make_raster" "$depth" "$width" "$height" "$raster"
  bytes=$(( (width * depth + 7) / 8 * height ))
  options=""
  [ "$mode" = - ] || options="Dithering=$mode"
  set -- $(run "$raster" "$options")
  peak=$1
  wall=$2
  if ! grep -q 'Dovrel-filter return' "$work/err.txt"; then
    echo "memory.sh: the filter did not finish the $depth-bit $mode job" >&2
    exit 1
  fi
  factor=$(awk -v p="$peak" -v b="$baseline" -v n="$bytes" 'BEGIN { printf "%.2f", (p - b) * 1024 / n }')
  printf '%-5s  %-14s  %12s  %13s  %13s  %7s  %8s\n' "$depth" "$mode" "$bytes" "$peak" "$baseline" "$factor" "$wall"
done
