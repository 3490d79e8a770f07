#!/usr/bin/env bash
# Mutation check of the test suite: small faults planted in core/ and filter/, one at a
# time, in a scratch copy of a tree; each is built and the tree's own ctest
# suite is run against it. A mutant is "killed" when a test fails (or the
# build does), "survived" when the whole suite passes.
#
#   bash bench/mutants.sh [--only N[,N...]] [TREE]     (TREE: default this repository)
#
# Prints one line per mutant and a summary; the scratch copy goes to
# ${MUTANTS_DIR:-/tmp/labelfilter-mutants}. Run it before and after changing
# the tests: every mutant killed before must still be killed.
set -uo pipefail

only=""
if [ "${1:-}" = --only ]; then only=",$2,"; shift 2; fi
tree=$(cd "${1:-$(dirname "$0")/..}" && pwd)
work=${MUTANTS_DIR:-/tmp/labelfilter-mutants}

# file ^ text as it stands (exactly once in the file) ^ replacement ^ the fault
MUTANTS=$(cat <<'EOF'
core/CommandStream.cpp^kDrawerPulse[] = {0x1B, 0x70, 0x00^kDrawerPulse[] = {0x1B, 0x70, 0x01^drawer pulse on the wrong pin
core/CommandStream.cpp^kCut[] = {0x1D, 0x56, 0x00}^kCut[] = {0x1D, 0x56, 0x01}^partial cut instead of full
core/CommandStream.cpp^kFeed[] = {0x1B, 0x4A}^kFeed[] = {0x1B, 0x64}^feed in lines instead of dots
core/CommandStream.cpp^std::min(left, 255)^std::min(left, 256)^feed chunk of 256 wraps to 0
core/CommandStream.cpp^(j - nStartRow) / kBandRows * kBandRows^(j - nStartRow + 1) / kBandRows * kBandRows^band grid off by one row
core/CommandStream.cpp^std::min(nStartRow + kBandRows, end) - nStartRow^std::min(nStartRow + kBandRows, end - 1) - nStartRow^last row of the picture dropped
core/CommandStream.cpp^for (; i < n; ++i)^for (; i + 1 < n; ++i)^blank-row test ignores the last byte
core/CommandStream.cpp^if (s.feedToMark) Append(out, kFeedToMark);^if (false) Append(out, kFeedToMark);^feed to mark never sent
core/CommandStream.cpp^if (s.cut == Cut::JobEnd) Append(out, kCut);^if (s.cut == Cut::EveryPage) Append(out, kCut);^job-end cut follows the wrong choice
core/OptionTable.cpp^Rescale(static_cast<uint32_t>(nNum[index] * 30)^Rescale(static_cast<uint32_t>(nNum[index] * 24)^feed table scaled wrong
core/OptionTable.cpp^strncasecmp(a.data(), b.data(), a.size()) == 0^std::memcmp(a.data(), b.data(), a.size()) == 0^choices become case-sensitive
core/OptionTable.cpp^Rescale(static_cast<uint32_t>(mm), units.dotsPer254Mm, 254)^Rescale(static_cast<uint32_t>(mm), units.dotsPer254Mm - 254, 254)^leading blank measured at 7 dots/mm
core/OptionTable.cpp^"After each page", kTail^"After each page", kHead^tail placement sent at the head
core/OptionTable.cpp^{"0", "", "Printer default", kPrinterDensity}^{"0", "", "Printer default", 0}^density 0 sends a density command
core/OptionTable.cpp^"Normal", static_cast<int>(Rotation::HalfTurn)^"Normal", static_cast<int>(Rotation::Unturned)^half turn taken as unturned
filter/DebugFile.cpp^O_CREAT | O_NOFOLLOW | O_CLOEXEC^O_CREAT | O_CLOEXEC^dump follows a planted link
filter/DebugFile.cpp^else if (st.st_nlink > 1)^else if (st.st_nlink > 2)^dump rewrites a hard-linked file
filter/DebugFile.cpp^PutLE(out, static_cast<uint32_t>(-static_cast<int64_t>(cy)), 4);^PutLE(out, static_cast<uint32_t>(cy), 4);^dithering BMP stored upside down
core/PagePipeline.cpp^flipRows, mirror, negative};^flipRows, mirror, false};^negative image never inverted
core/BitmapTransforms.cpp^for (; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);^for (; i + 1 < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);^grey inversion skips the last pixel
core/PagePipeline.cpp^case Rotation::HalfTurn: return kHalfTurn;^case Rotation::HalfTurn: return {false, true, false};^half turn without its mirror
core/PagePipeline.cpp^case Rotation::QuarterTurnBack: return kQuarterTurn.Then(kHalfTurn);^case Rotation::QuarterTurnBack: return kQuarterTurn;^reverse landscape turned as landscape
core/BayerDither.cpp^row[x] = row[x] > cells[x % 8] ? 255 : 0;^row[x] = row[x] >= cells[x % 8] ? 255 : 0;^8 x 8 dither lights a dot in solid black
core/PagePipeline.cpp^if (depth == 24) return {false, true, false};^if (depth == 24) return {false, false, false};^colour pages not flipped
core/PagePipeline.cpp^first = inked - *settings.topMarginRows;^first = inked - *settings.topMarginRows + 1;^one row less of leading blank
core/PagePipeline.cpp^negative ? 0xFF : 0x00^negative ? 0x00 : 0x00^negative band padding printed white
core/PagePipeline.cpp^end = negative ? InkedRowsEnd(^end = false ? InkedRowsEnd(^a negative page's black end sent
core/PagePipeline.cpp^copy < std::min(copies, kMaxCopies)^copy + 1 < std::min(copies, kMaxCopies)^one copy too few
core/BitmapTransforms.cpp^row[used - 1] &= static_cast<uint8_t>(0xFF00u >> (width % 8));^row[used - 1] &= static_cast<uint8_t>(0xFF80u >> (width % 8));^padding bit kept after a flip
core/BitmapTransforms.cpp^const size_t p = mirror ? s : srcRows - 1 - s;^const size_t p = mirror ? srcRows - 1 - s : s;^quarter turn mirrored
core/ErrorDiffusion.cpp^Spread(row[x + 1], 51, 229, (error * 7) >> 4);^Spread(row[x + 1], 51, 229, (error * 5) >> 4);^wrong error share to the right
core/BilevelConversion.cpp^if (g <= 99) {  // A1^if (g < 99) {  // A1^dark-grey bound off by one
core/BilevelConversion.cpp^} else if (g - u <= 19) {  // B1.2^} else if (g - u < 19) {  // B1.2^similar-to-above bound off by one
core/ostu.cpp^if (deltaTmp > deltaMax) {^if (deltaTmp >= deltaMax) {^otsu takes the last of equal maxima
filter/labelfilter.cpp^uint64_t{h.cupsBytesPerLine} * 8 < uint64_t^uint64_t{h.cupsBytesPerLine} * 4 < uint64_t^short rows accepted as whole ones
filter/labelfilter.cpp^if (printed == 0 && skipped > 0) failed = true;^if (printed == 0 && skipped > 1) failed = true;^a job of one unprintable page reported as printed
core/CommandStream.cpp^if (blank && (width % 8 || bytes < stride)) return false;^if (blank && width % 8) return false;^inverted turned row with spare bytes taken as blank
core/CommandStream.cpp^return AllBytes(row, bytes - 1, 0) && (row[bytes - 1] & lastMask) == 0;^return AllBytes(row, bytes, 0);^spare bits of a turned row taken as ink
core/CommandStream.cpp^if (flipRows && mirror && width == stride * 8) {^if (flipRows && mirror && width <= stride * 8) {^half turn in one block over rows with spare bytes
core/BitmapTransforms.cpp^_mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)^_mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 0, 1)^shuffled mirror swaps two bytes
EOF
)

echo "Copying $tree to $work/src"
mkdir -p "$work"
rm -rf "$work/src" && mkdir -p "$work/src" &&
  tar -C "$tree" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/src" -xf - || exit 2
build="$work/build"
cmake -S "$work/src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLABELFILTER_TESTS=ON >/dev/null || exit 2
cmake --build "$build" -j"$(nproc)" >/dev/null || { echo "the unmutated tree does not build"; exit 2; }

killed=0 survived=0 n=0
while IFS='^' read -r file from to fault; do
  n=$((n + 1))
  [ -n "$only" ] && [[ "$only" != *",$n,"* ]] && continue
  target="$work/src/$file"
  cp "$target" "$target.orig"
  if ! FROM="$from" TO="$to" perl -0777 -i -pe '
        my ($f, $t) = ($ENV{FROM}, $ENV{TO}); s/\\n/\n/g for $f, $t;
        my $c = () = /\Q$f\E/g; die "found $c times\n" if $c != 1; s/\Q$f\E/$t/' "$target"; then
    echo "mutant $n: cannot be applied ($file: $from)"; mv "$target.orig" "$target"; exit 2
  fi
  if ! cmake --build "$build" -j"$(nproc)" >/dev/null 2>&1; then
    verdict=killed detail=" (the build)"
  elif (cd "$build" && ctest --stop-on-failure -j"$(nproc)" >"$work/mutant-$n.log" 2>&1); then
    verdict=survived detail=""
  else
    verdict=killed detail=" (first by $(grep -m1 -oE '[0-9]+ - [^ ]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$work/mutant-$n.log" | sed 's/^[0-9]* - //'))"
  fi
  mv "$target.orig" "$target"
  touch "$target"
  if [ $verdict = killed ]; then killed=$((killed + 1)); else survived=$((survived + 1)); fi
  printf 'mutant %2d %-8s %s: %s%s\n' "$n" "$verdict" "$file" "$fault" "$detail"
done <<<"$MUTANTS"
cmake --build "$build" -j"$(nproc)" >/dev/null 2>&1
echo "$killed killed, $survived survived"
