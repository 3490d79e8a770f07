#!/usr/bin/env bash
# Benchmark: instructions and peak memory of the filter on receipt-sized
# pages, next to the least any raster filter must do ("the floor": reading the
# raster through libcups) and next to CUPS's own rastertolabel on the same
# page. Not run by CI: run it by hand after a build.
#
# Usage: bash bench/run.sh [--markdown] [BUILD_DIR] [HEIGHT]
#   BUILD_DIR   a configured build tree (default: build); labelfilter,
#               make_raster and raster_floor are built in it
#   HEIGHT      rows of each page (default 20000: an 80 mm receipt 2.5 m long)
#   --markdown  print the table in Markdown, as README.md shows it
#
# The pages are 576 dots wide (make_raster's kinds and writers): 8-bit, in
# each Dithering mode, and 24-bit, of the "mixed" page (ramps and bar text)
# from libcups' compressed writer; 1-bit, where the filter does least beside
# the reading and so stands closest to the floor, six pages:
#   mixed      the same mixed page, compressed
#   receipt    a till receipt (logo, 5 x 7 font text lines, separators),
#              from the plain writer, CUPS_RASTER_WRITE, which is what
#              Ghostscript's cups device, and so gstoraster, writes: reading
#              it is a copy, so the floor is lowest and the ratio worst
#   receipt    the same, compressed (CUPS_RASTER_WRITE_COMPRESSED)
#   short      the receipt's first 40 lines, then blank paper, compressed
#   dots       random dots (no blank row, nothing repeats), plain
#   black      all black (every row a repeat: the cheapest full page to
#              read compressed, every row to print), compressed
# The bench PPD keeps the printer's default Origin (Rotation0, the half turn)
# and Cutting.
#
# For each run:
#   instructions   valgrind --tool=callgrind, total Ir of the whole process
#   x floor        instructions / those of raster_floor on the same file:
#                  libcups and libc only (no C++ runtime), line by line,
#                  as every filter reads (see floor.cpp)
#   memory         /usr/bin/time -v "Maximum resident set size" minus that of
#                  the same program on an empty job (medians of three runs)
#   x raster       memory / the page's raster bytes (cupsBytesPerLine x rows)
# Targets: 1-bit <= 1.5 x floor, 24-bit <= 2.5 x, 8-bit <= 3 x in every mode;
# memory <= 3 x raster bytes everywhere. The floor and rastertolabel rows are
# references without targets. Each run has a root of its own with an empty
# /tmp and no /Users (the filter writes diagnostic files at fixed paths
# there; see private-root.sh), which needs root. The table goes to
# standard output, progress to standard error. Exit status 0 whatever the
# figures, 1 when a run could not be made or failed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
script=$here/$(basename "$0")
repo=$(cd "$(dirname "$0")/.." && pwd)
markdown=0 build='' height=''
for arg in "$@"; do
  case $arg in
    --markdown) markdown=1 ;;
    -h|--help) sed -n '7,11s/^# \{0,1\}//p' "$script"; exit 0 ;;
    -*) echo "run.sh: unknown option $arg" >&2; exit 1 ;;
    *)
      if [ -z "$build" ]; then build=$arg
      elif [ -z "$height" ]; then height=$arg
      else echo "run.sh: too many arguments" >&2; exit 1
      fi ;;
  esac
done
build=${build:-$repo/build}
height=${height:-20000}
width=576
case $height in '' | *[!0-9]* | 0) echo "run.sh: HEIGHT must be a number above 0" >&2; exit 1 ;; esac

rastertolabel=/usr/lib/cups/filter/rastertolabel
sample_drv=/usr/share/cups/drv/sample.drv
for tool in valgrind /usr/bin/time ppdc "$rastertolabel" "$sample_drv"; do
  if ! command -v "$tool" >/dev/null && [ ! -e "$tool" ]; then
    echo "run.sh: $tool is missing (Debian packages valgrind, time, cups-ppdc, cups)" >&2
    exit 1
  fi
done
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "run.sh: $build is not a configured build tree (cmake -S . -B $build)" >&2
  exit 1
fi
if [ "$(id -u)" != 0 ] || ! unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
  echo "run.sh: needs root and mount namespaces (unshare -m) for the private /tmp of each run" >&2
  exit 1
fi

# Outside /tmp, which each run covers with its own.
work=$(mktemp -d -p /var/tmp labelfilter-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/bin" "$work/ppd" "$work/runs"

echo "building labelfilter, make_raster and raster_floor in $build" >&2
if ! cmake --build "$build" --target labelfilter make_raster raster_floor -j2 >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log" >&2
  echo "run.sh: the build failed (make_raster needs the tests: LABELFILTER_TESTS=ON)" >&2
  exit 1
fi
# Copies: the build tree may lie under /tmp, and may be rebuilt meanwhile.
cp "$build/labelfilter" "$build/bench/make_raster" "$build/bench/raster_floor" "$work/bin/"

# CUPS's sample label printers: the DYMO LabelWriter ("DYMO Label Printer")
# and the Zebra ZPL printer.
ppdc -d "$work/ppd" "$sample_drv" >"$work/ppdc.log" 2>&1 || { cat "$work/ppdc.log" >&2; exit 1; }
for p in dymo zebra; do
  [ -f "$work/ppd/$p.ppd" ] || { echo "run.sh: ppdc made no $p.ppd from $sample_drv" >&2; exit 1; }
done

# The filter's options with the printer's defaults; the default Origin,
# Rotation0, is the half turn.
cat >"$work/bench.ppd" <<'PPD'
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
*OpenUI *Origin/Origin: PickOne
*DefaultOrigin: Rotation0
*Origin Rotation0/Rotation0: ""
*Origin Rotation90/Rotation90: ""
*Origin Rotation180/Rotation180: ""
*Origin Rotation270/Rotation270: ""
*CloseUI: *Origin
*OpenUI *FeedAfterPrinting/FeedAfterPrinting: PickOne
*DefaultFeedAfterPrinting: 4
*FeedAfterPrinting 0/0: ""
*FeedAfterPrinting 4/4: ""
*CloseUI: *FeedAfterPrinting
*OpenUI *Cutting/Cutting: PickOne
*DefaultCutting: 2
*Cutting 0/0: ""
*Cutting 1/1: ""
*Cutting 2/2: ""
*CloseUI: *Cutting
PPD

echo "writing the $width x $height pages" >&2
for depth in 1 8 24; do
  "$work/bin/make_raster" --writer compressed "$depth" "$width" "$height" "$work/page$depth.ras"
done
for page in receipt-plain receipt short dots-plain black; do
  kind=${page%-plain} writer=compressed
  [ "$kind" = "$page" ] || writer=plain
  "$work/bin/make_raster" --writer "$writer" --kind "$kind" 1 "$width" "$height" "$work/page1-$page.ras"
done
: >"$work/empty.ras"
# rastertolabel takes the 1-bit pages as they are: the header (1 bit, K
# colour space, chunked, 203 dpi) is what it expects; nothing was changed for it.

# The runs: id, label, program, PPD, options, raster, depth ("-" when none).
runs=(
  "filter8-none|labelfilter 8-bit None|filter|$work/bench.ppd|Dithering=None|page8|8"
  "filter8-halftone|labelfilter 8-bit Halftone|filter|$work/bench.ppd|Dithering=Halftone|page8|8"
  "filter8-order|labelfilter 8-bit OrderDithering|filter|$work/bench.ppd|Dithering=OrderDithering|page8|8"
  "filter8-diffusion|labelfilter 8-bit ErrorDiffusion|filter|$work/bench.ppd|Dithering=ErrorDiffusion|page8|8"
  "filter24|labelfilter 24-bit|filter|$work/bench.ppd||page24|24"
  "floor8|floor 8-bit|floor|||page8|-"
  "floor24|floor 24-bit|floor|||page24|-"
  "filter1|labelfilter 1-bit mixed|filter|$work/bench.ppd||page1|1"
  "dymo|rastertolabel DYMO LabelWriter 1-bit mixed|label|$work/ppd/dymo.ppd||page1|-"
  "zebra|rastertolabel Zebra ZPL 1-bit mixed|label|$work/ppd/zebra.ppd||page1|-"
  "floor1|floor 1-bit mixed|floor|||page1|-"
)
for page in receipt-plain receipt short dots-plain black; do
  label=${page%-plain}
  [ "$label" = "$page" ] || label="$label, plain writer"
  runs+=(
    "filter1-$page|labelfilter 1-bit $label|filter|$work/bench.ppd||page1-$page|1"
    "dymo-$page|rastertolabel DYMO 1-bit $label|label|$work/ppd/dymo.ppd||page1-$page|-"
    "floor1-$page|floor 1-bit $label|floor|||page1-$page|-"
  )
done
# The same programs on an empty job, for the memory they hold whatever the page.
empties=(
  "empty-filter|filter|$work/bench.ppd"
  "empty-dymo|label|$work/ppd/dymo.ppd"
  "empty-zebra|label|$work/ppd/zebra.ppd"
  "empty-floor|floor|"
)


# Runs "$@" with an empty /tmp and no /Users of the machine's (see private-root.sh).
private_root() { bash "$here/private-root.sh" "$@"; }

# measure ID KIND PPD OPTIONS RASTER TOOL: one run under callgrind or time.
measure() {
  local id=$1 kind=$2 ppd=$3 options=$4 raster=$5 tool=$6
  local dir=$work/runs/$id.$tool args=()
  mkdir -p "$dir"
  case $kind in
    filter) args=("$work/bin/labelfilter" 1 bench bench 1 "$options" "$raster") ;;
    label) args=("$rastertolabel" 1 bench bench 1 "$options" "$raster") ;;
    floor) args=("$work/bin/raster_floor" "$raster") ;;
  esac
  local status=0 i
  if [ "$tool" = callgrind ]; then
    args=(valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.out" --log-file="$dir/valgrind.log" "${args[@]}")
    (cd "$dir" && export PPD=$ppd && private_root "$dir/root" "${args[@]}" >"$dir/out" 2>"$dir/err") || status=$?
  else
    # Three times: the peak moves by a few hundred KiB from run to run.
    for i in 1 2 3; do
      status=0
      (cd "$dir" && export PPD=$ppd &&
         private_root "$dir/root" /usr/bin/time -v -o "$dir/time.$i.txt" "${args[@]}" >"$dir/out" 2>"$dir/err") ||
        status=$?
    done
  fi
  echo "$status" >"$dir/status"
}

# Runs the queued measurements two at a time (the callgrind ones are long).
queue=()
for r in "${runs[@]}"; do
  IFS='|' read -r id label kind ppd options raster depth <<<"$r"
  queue+=("$id|$kind|$ppd|$options|$work/$raster.ras|callgrind")
done
for r in "${runs[@]}"; do
  IFS='|' read -r id label kind ppd options raster depth <<<"$r"
  queue+=("$id|$kind|$ppd|$options|$work/$raster.ras|time")
done
for e in "${empties[@]}"; do
  IFS='|' read -r id kind ppd <<<"$e"
  queue+=("$id|$kind|$ppd||$work/empty.ras|time")
done
parallel=$(nproc)
[ "$parallel" -le 2 ] || parallel=2
echo "measuring ${#queue[@]} runs, $parallel at a time (callgrind takes a few minutes)" >&2
running=0
for q in "${queue[@]}"; do
  IFS='|' read -r id kind ppd options raster tool <<<"$q"
  measure "$id" "$kind" "$ppd" "$options" "$raster" "$tool" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

# ------------------------------------------------------------------ results

failed=0
problem() {
  echo "run.sh: $*" >&2
  failed=1
}
instructions() { sed -n 's/^summary: //p' "$work/runs/$1.callgrind/callgrind.out" 2>/dev/null | head -n 1 || true; }
# The median of the three runs' peaks.
peak() {
  cat "$work/runs/$1.time"/time.*.txt 2>/dev/null |
    sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' | sort -n | sed -n 2p || true
}

# Did run ID (under TOOL) do the whole job?
check() {
  local id=$1 kind=$2 tool=$3 dir=$work/runs/$1.$3
  local status
  status=$(cat "$dir/status" 2>/dev/null || echo missing)
  case $kind in
    filter) [ "$status" = 0 ] && grep -q 'Dovrel-filter return' "$dir/err" && [ -s "$dir/out" ] ;;
    label) [ "$status" = 0 ] && [ -s "$dir/out" ] ;;
    floor) [ "$status" = 0 ] && grep -qx "1 pages, $height lines" "$dir/out" ;;
  esac || { problem "$id did not finish under $tool (status $status)"; keep=1; }
}

keep=0
for r in "${runs[@]}"; do
  IFS='|' read -r id label kind ppd options raster depth <<<"$r"
  check "$id" "$kind" callgrind
  check "$id" "$kind" time
done
declare -A empty_peak
for e in "${empties[@]}"; do
  IFS='|' read -r id kind ppd <<<"$e"
  empty_peak[$kind:$ppd]=$(peak "$id")
  [ -n "${empty_peak[$kind:$ppd]}" ] || problem "no peak memory for $id"
done

bytes_of() {  # raster bytes of a page: cupsBytesPerLine x rows
  case $1 in page1*) echo $(((width + 7) / 8 * height)) ;; page8) echo $((width * height)) ;; page24) echo $((3 * width * height)) ;; esac
}

if [ "$markdown" = 1 ]; then
  echo "| Run | Instructions | × floor | Target | Peak RSS (KiB) | Empty job (KiB) | Raster bytes | × raster | Target | Result |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"
else
  echo "$width x $height pages (libcups compressed rasters); instructions: callgrind total Ir;"
  echo "memory: peak RSS - empty-job RSS, as a multiple of the page's raster bytes"
  echo
  printf '%-38s %14s %8s %7s %10s %10s %12s %9s %7s  %s\n' run instructions "x floor" target "peak KiB" "empty KiB" "raster bytes" "x raster" target result
fi
for r in "${runs[@]}"; do
  IFS='|' read -r id label kind ppd options raster depth <<<"$r"
  ir=$(instructions "$id")
  floor_ir=$(instructions "floor${raster#page}")
  kib=$(peak "$id")
  base=${empty_peak[$kind:$ppd]:-}
  bytes=$(bytes_of "$raster")
  [ -n "$ir" ] || problem "no instruction count for $id"
  [ -n "$kib" ] || problem "no peak memory for $id"
  case $depth in 1) ir_target=1.5 ;; 24) ir_target=2.5 ;; 8) ir_target=3 ;; *) ir_target=- ;; esac
  mem_target=-
  [ "$kind" = filter ] && mem_target=3
  line=$(awk -v ir="${ir:-}" -v fir="${floor_ir:-}" -v kib="${kib:-}" -v base="${base:-}" -v bytes="$bytes" \
             -v irt="$ir_target" -v memt="$mem_target" -v label="$label" -v md="$markdown" '
    BEGIN {
      xf = (ir != "" && fir != "" && fir > 0) ? sprintf("%.2f", ir / fir) : "?"
      xr = (kib != "" && base != "") ? sprintf("%.2f", (kib - base) * 1024 / bytes) : "?"
      if (xr == "-0.00") xr = "0.00"
      result = "-"
      if (irt != "-" || memt != "-") {
        bad = ""
        if (irt != "-" && (xf == "?" || xf + 0 > irt + 0)) bad = "instructions"
        if (memt != "-" && (xr == "?" || xr + 0 > memt + 0)) bad = bad (bad != "" ? ", " : "") "memory"
        result = bad == "" ? "PASS" : "FAIL (" bad ")"
      }
      irs = irt == "-" ? "-" : "≤ " irt
      mems = memt == "-" ? "-" : "≤ " memt
      if (md == 1)
        printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", label, ir, xf, irs, kib, base, bytes, xr, mems, result
      else
        printf "%-38s %14s %8s %7s %10s %10s %12s %9s %7s  %s\n", label, ir, xf, (irt == "-" ? "-" : "<=" irt), kib, base, bytes, xr, (memt == "-" ? "-" : "<=" memt), result
    }')
  echo "$line"
done
if [ "$keep" = 1 ]; then
  kept=/var/tmp/labelfilter-bench-failed
  rm -rf "$kept"
  cp -a "$work" "$kept"
  echo "run.sh: the runs (runs/ID.TOOL: out, err, status) are kept in $kept" >&2
fi
# The printer application's streaming benchmark, when the build has the
# printer application: a table of its own (README.md, "Benchmarks").
if cmake --build "$build" --target app_streaming_bench -j2 >"$work/app-build.log" 2>&1; then
  echo
  "$build/bench/app_streaming_bench" $([ "$markdown" = 1 ] && echo --markdown) ||
    problem "app_streaming_bench could not make its runs"
else
  echo "run.sh: no app_streaming_bench in $build (no printer application): its table is left out" >&2
fi
exit "$failed"
