#!/usr/bin/env bash
# Prints the bundled sample receipt through the real CUPS filter chain
# (pdftopdf -> gstoraster -> labelfilter) with the shipped 80 mm PPD, then
# turns the printer stream into a PNG with escpos-preview.
#
#   bash tools/demo.sh [BUILD_DIR] [-o Option=Choice ...]
#
# Output goes to out/ in the checkout (or $LABELFILTER_DEMO_OUT):
# receipt.escpos (the bytes the printer would get), receipt.png (the paper)
# and receipt.log (the filters' log lines).  Nothing is installed: the chain
# runs from a private filter directory.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
[ $# -gt 0 ] && shift
BUILD=$(cd "$BUILD" && pwd)
OUT=${LABELFILTER_DEMO_OUT:-$ROOT/out}
SAMPLE=$ROOT/samples/receipt.pdf
PPD=$BUILD/ppd/lf80mm.ppd
FILTER=$BUILD/labelfilter
PREVIEW=$BUILD/escpos/escpos-preview

for f in "$PPD" "$FILTER" "$PREVIEW" "$SAMPLE"; do
  if [ ! -e "$f" ]; then
    echo "demo: $f is missing; build first (cmake --build $BUILD)" >&2
    exit 1
  fi
done

# cupsfilter, like cupsd, runs a filter only when it and its directory are
# owned by root and writable by nobody else, so the freshly built filter is
# copied next to links to the system's own filters instead of being run
# from the build tree.
WORK=$(mktemp -d /tmp/labelfilter-demo.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
chmod 755 "$WORK"
mkdir -p "$WORK/serverbin/filter"
SYSTEM_FILTERS=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)/filter
for f in "$SYSTEM_FILTERS"/*; do
  [ "$(basename "$f")" = labelfilter ] || ln -s "$f" "$WORK/serverbin/filter/"
done
install -m 755 "$FILTER" "$WORK/serverbin/filter/labelfilter"
chmod 755 "$WORK/serverbin" "$WORK/serverbin/filter"

mkdir -p "$OUT"
echo "Printing $SAMPLE through pdftopdf -> gstoraster -> labelfilter ..."
# With a /tmp of its own: the filter leaves its dumps at fixed paths in /tmp
# that every print job on the machine shares.
status=0
CUPS_SERVERBIN="$WORK/serverbin" sh "$ROOT/tools/private-tmp.sh" --keep "$WORK" \
  cupsfilter -e -p "$PPD" -m printer/labelfilter "$@" "$SAMPLE" >"$OUT/receipt.escpos" 2>"$OUT/receipt.log" ||
  status=$?
if [ "$status" -ne 0 ]; then
  [ "$status" -eq 77 ] && cat "$OUT/receipt.log" >&2 && exit 77
  echo "demo: cupsfilter failed; see $OUT/receipt.log" >&2
  exit 1
fi

echo
"$PREVIEW" --png "$OUT/receipt.png" "$OUT/receipt.escpos"
echo
echo "ESC/POS stream: $OUT/receipt.escpos"
echo "Preview image:  $OUT/receipt.png"
echo "Filter log:     $OUT/receipt.log"
