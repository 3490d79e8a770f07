#!/usr/bin/env bash
# Builds the libFuzzer harnesses with ASan and UBSan and runs each on a copy
# of the committed seed corpus. Any crash, leak, sanitizer report or timeout
# fails the run.
#
#   bash fuzz/run.sh                    # about 60 s per harness (CI)
#   FUZZ_SECONDS=1800 bash fuzz/run.sh  # a longer campaign
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_HARNESS=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
WORK=${FUZZ_WORK:-$BUILD/fuzz-work}

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
      -DLABELFILTER_FUZZ=ON -DLABELFILTER_SANITIZE=ON -DLABELFILTER_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target RasterFuzzer PipelineFuzzer >/dev/null

# Page buffers the filter asks for with new(nothrow) may be refused, which
# is how the filter learns that a header is too large.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The harnesses run the filter's code, which writes its dumps to fixed paths
# in /tmp shared by every job on the machine: each runs with a /tmp of its
# own, and nothing runs where none can be made.
if ! sh tools/private-tmp.sh true; then
  echo "fuzz: skipped: no private /tmp for the harnesses here"
  exit 0
fi

status=0
for harness in RasterFuzzer PipelineFuzzer; do
  name=$(echo "$harness" | sed 's/Fuzzer$//' | tr 'A-Z' 'a-z')
  corpus="$WORK/$name"
  rm -rf "$corpus" && mkdir -p "$corpus" "$WORK/artifacts"
  cp fuzz/corpus/"$name"/* "$corpus"/
  echo "== $harness: ${SECONDS_PER_HARNESS}s"
  if ! sh tools/private-tmp.sh --keep "$BUILD" --keep "$WORK" \
        "$BUILD/fuzz/$harness" "$corpus" -max_total_time="$SECONDS_PER_HARNESS" -timeout=30 \
        -rss_limit_mb=8192 -malloc_limit_mb=1048576 -max_len=262144 -close_fd_mask=3 \
        -artifact_prefix="$WORK/artifacts/$name-" -print_final_stats=1 2>"$WORK/$name.log"; then
    echo "$harness FAILED; its report:"
    grep -v '^#' "$WORK/$name.log" | tail -60
    status=1
  fi
  grep -E '^#[0-9]+' "$WORK/$name.log" | tail -1 || true
done
exit $status
