#!/usr/bin/env bash
# Differential check: runs an older labelfilter and the one in a build tree on
# the same random jobs and compares everything they produce: standard output
# byte for byte, standard error line by line, the exit status, and the files
# each run leaves in its /tmp (Buffer.data, pBuf.data, Brantelix, anything
# else). A change that must not alter the filter's output (a refactor, a
# speed-up) should leave every job the same.
#
# Usage: bash bench/differential.sh [--jobs N] [--seed S] [--baseline COMMIT]
#                                   [--parallel P] [--failures DIR] [BUILD_DIR]
#   --jobs N           number of jobs (default 2000)
#   --seed S           series of jobs (default 1); the same seed gives the same jobs
#   --baseline COMMIT  the older filter, built from this commit in a temporary
#                      git worktree (default ed857bd, the last commit before the
#                      conversion core was split out)
#   --parallel P       jobs run side by side (default: the number of cores)
#   --failures DIR     where differing jobs are kept (default BUILD_DIR/differential-failures)
#   BUILD_DIR          configured tree with the filter to check (default build);
#                      its labelfilter and differential_jobs targets are built
#
# In standard error, heap and stream addresses (printed with %x, and the PPD's
# as a decimal) and the start time of each page differ between two runs of
# the same program: a non-zero address is masked, 0 is kept. Three differences
# are accepted: "free pBuf180=" may be 0 in the old filter and an address in
# the new one for an empty picture (0 rows or 0 bytes wide: the new filter
# keeps a buffer), a job that printed nothing because all its pages had
# depths the filter cannot print exits 1 instead of 0, and a negative page
# (NegativeImage) does not send the solid black bands after its last dot.
#
# The filter writes diagnostic files at fixed paths that every process on the
# machine shares: its dumps in /tmp and its dithering picture in
# /Users/quorle/Desktop/Work (when that directory exists). So every run sees
# a root of its own (bound from the real one, in a private mount namespace)
# with a fresh /tmp and, for some jobs, the picture's directory; this needs
# root. What the run leaves in both is compared too.
# A differing job's raster, PPD, options and both runs' results are kept in
# the failures directory, with a one-line summary printed. Exit status 1 when
# any job differs, 2 when the check could not run.
set -euo pipefail

# make_root: a root of the worker's own, with its own /tmp and /Users.
source "$(dirname "${BASH_SOURCE[0]}")/private-root.sh"

# One worker, inside its own mount namespace: runs jobs FIRST .. FIRST+COUNT-1.
# Everything it needs comes from the DIFF_* variables exported below.
worker() {
  local first=$1 count=$2 id=$3
  local dir=$DIFF_WORK/worker$id
  local jobs=$dir/jobs runs=$dir/runs
  local end=$((first + count)) batch n index copies input ppdmode bmpmode summary options result status
  mkdir -p "$dir"
  local root=$dir/root  # binds of the real root: never rm -r it from inside
  make_root "$root"
  : >"$dir/results"
  for ((batch = first; batch < end; batch += DIFF_BATCH)); do
    n=$((end - batch < DIFF_BATCH ? end - batch : DIFF_BATCH))
    rm -rf "$jobs"
    mkdir -p "$jobs"
    "$DIFF_BIN/differential_jobs" write "$DIFF_SEED" "$batch" "$n" "$jobs"
    while IFS=$'\t' read -r -u 3 index copies input ppdmode bmpmode summary options; do
      run_filter old "$DIFF_BIN/old-labelfilter"
      run_filter new "$DIFF_BIN/new-labelfilter"
      result=$("$DIFF_BIN/differential_jobs" compare "$runs/old" "$runs/new") && status=0 || status=$?
      case $status:$result in
        0:same-but-accepted) echo accepted >>"$dir/results" ;;
        0:*) echo same >>"$dir/results" ;;
        *)
          echo differ >>"$dir/results"
          keep_failure
          echo "job $index differs ($summary; options \"$options\"): $result"
          ;;
      esac
    done 3<"$jobs/jobs.tsv"
  done
  rm -rf "$jobs" "$runs"
}

# Runs one filter on the current job into $runs/SIDE: out, err, status, tmp/
# and bmp/ (what the run left in its /tmp, a fresh tmpfs for each run, and in
# the dithering picture's directory).
run_filter() {
  local side=$1 filter=$2 status
  local run=$runs/$side
  local stdin=/dev/null args=("$index" user "job $index" "$copies" "$options")
  rm -rf "$run"
  mkdir -p "$run/tmp"
  case $input in
    file) args+=("$jobs/$index.ras") ;;
    stdin) stdin=$jobs/$index.ras ;;
    *) args+=("$jobs/$index.missing") ;;
  esac
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  if [ "$bmpmode" = bmp ]; then mkdir -p "$root$DIFF_BMP_DIR"; fi
  (
    if [ "$ppdmode" = ppd ]; then export PPD=$jobs/$index.ppd; else unset PPD; fi
    ulimit -t 120  # a runaway conversion ends the run, not the check
    # CUPS passes the queue name as argv[0].
    exec chroot "$root" /bin/bash -c 'cd "$1" && shift && exec -a receipt "$@"' run "$run" \
      "$filter" "${args[@]}" <"$stdin" >"$run/out" 2>"$run/err"
  ) && status=0 || status=$?
  echo "$status" >"$run/status"
  cp -a "$root/tmp/." "$run/tmp/"
  umount "$root/tmp"
  if [ -d "$root/Users" ]; then
    mkdir -p "$run/bmp"
    if [ -d "$root$DIFF_BMP_DIR" ]; then cp -a "$root$DIFF_BMP_DIR/." "$run/bmp/"; fi
    rm -rf "$root/Users"
  fi
}

keep_failure() {
  local keep=$DIFF_FAILURES/job-$index
  rm -rf "$keep"
  mkdir -p "$keep"
  cp "$jobs/$index.ras" "$keep/job.ras"
  cp "$jobs/$index.ppd" "$keep/job.ppd"
  printf '%s\n' "$options" >"$keep/options"
  mv "$runs/old" "$keep/old"
  mv "$runs/new" "$keep/new"
  {
    echo "# job $index of seed $DIFF_SEED: $summary"
    echo "# $result"
    echo "# each filter ran with a private /tmp; old/ and new/ hold out, err, status, tmp/ and bmp/"
    if [ "$bmpmode" = bmp ]; then echo "# $DIFF_BMP_DIR existed (bmp/ holds what the filter left there)"; fi
    if [ "$ppdmode" = ppd ]; then printf 'PPD=job.ppd '; else printf 'env -u PPD '; fi
    printf 'FILTER %s user "job %s" %s %q' "$index" "$index" "$copies" "$options"
    case $input in
      file) echo " job.ras" ;;
      stdin) echo " < job.ras" ;;
      *) echo " job.missing  # a raster file that does not exist" ;;
    esac
  } >"$keep/command"
  echo "$result" >"$keep/difference"
}

if [ "${1:-}" = --worker ]; then
  shift
  worker "$@"
  exit 0
fi

usage() { sed -n '9,20s/^# \{0,1\}//p' "$0"; }

script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
repo=$(cd "$(dirname "$0")/.." && pwd)
jobs=2000 seed=1 baseline=ed857bd build='' failures='' parallel=$(nproc)
while [ $# -gt 0 ]; do
  case $1 in
    --jobs) jobs=${2:?}; shift 2 ;;
    --seed) seed=${2:?}; shift 2 ;;
    --baseline) baseline=${2:?}; shift 2 ;;
    --parallel) parallel=${2:?}; shift 2 ;;
    --failures) failures=${2:?}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    -*) usage >&2; exit 2 ;;
    *) [ -z "$build" ] || { usage >&2; exit 2; }; build=$1; shift ;;
  esac
done
build=${build:-$repo/build}
for n in "$jobs" "$seed" "$parallel"; do
  case $n in '' | *[!0-9]*) echo "differential.sh: not a number: $n" >&2; exit 2 ;; esac
done
[ "$parallel" -ge 1 ] || parallel=1
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "differential.sh: $build is not a configured build tree (cmake -S . -B $build)" >&2
  exit 2
fi
build=$(cd "$build" && pwd)
failures=${failures:-$build/differential-failures}
if [ "$(id -u)" != 0 ] || ! unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
  echo "differential.sh: needs root and mount namespaces (unshare -m) for the private /tmp of each run" >&2
  exit 2
fi

# Outside /tmp, which each run covers with its own.
work=$(mktemp -d -p /var/tmp labelfilter-differential.XXXXXX)
worktree=$work/baseline-src
cleanup() {
  if [ -d "$worktree" ]; then git -C "$repo" worktree remove --force "$worktree" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$(date +%s)
mkdir -p "$work/bin"
echo "building labelfilter and differential_jobs in $build"
if ! cmake --build "$build" --target labelfilter differential_jobs -j2 >"$work/new-build.log" 2>&1; then
  tail -n 30 "$work/new-build.log" >&2
  echo "differential.sh: the build in $build failed (differential_jobs needs the tests: LABELFILTER_TESTS=ON)" >&2
  exit 2
fi
# Copies, so that a rebuild of the tree during the check changes nothing.
cp "$build/labelfilter" "$work/bin/new-labelfilter"
cp "$build/bench/differential_jobs" "$work/bin/differential_jobs"

commit=$(git -C "$repo" rev-parse --verify --quiet "$baseline^{commit}") || {
  echo "differential.sh: no commit $baseline" >&2
  exit 2
}
echo "building labelfilter of $baseline (${commit:0:12}) in a temporary worktree"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
git -C "$repo" worktree add --detach --quiet "$worktree" "$commit"
if ! { cmake -S "$worktree" -B "$work/baseline-build" -DCMAKE_BUILD_TYPE="${build_type:-RelWithDebInfo}" \
         -DLABELFILTER_TESTS=OFF &&
       cmake --build "$work/baseline-build" --target labelfilter -j2; } >"$work/old-build.log" 2>&1; then
  tail -n 30 "$work/old-build.log" >&2
  echo "differential.sh: the build of $baseline failed" >&2
  exit 2
fi
cp "$work/baseline-build/labelfilter" "$work/bin/old-labelfilter"
git -C "$repo" worktree remove --force "$worktree"

mkdir -p "$failures"
rm -rf "$failures"/job-*  # a previous run's
export DIFF_WORK=$work DIFF_BIN=$work/bin DIFF_SEED=$seed DIFF_FAILURES=$failures DIFF_BATCH=20
export DIFF_BMP_DIR=/Users/quorle/Desktop/Work
echo "running $jobs jobs (seed $seed) on $parallel workers"
share=$(((jobs + parallel - 1) / parallel))
pids=()
for ((w = 0; w < parallel; ++w)); do
  first=$((w * share))
  count=$((jobs - first < share ? jobs - first : share))
  [ "$count" -gt 0 ] || break
  unshare -m --propagation private bash "$script" --worker "$first" "$count" "$w" &
  pids+=($!)
done
broken=0
for pid in "${pids[@]}"; do wait "$pid" || broken=1; done

total=$(cat "$work"/worker*/results | wc -l)
differ=$(cat "$work"/worker*/results | grep -c '^differ$' || true)
accepted=$(cat "$work"/worker*/results | grep -c '^accepted$' || true)
[ "$differ" -gt 0 ] || rmdir "$failures" 2>/dev/null || true
echo "$accepted jobs had only accepted differences (pBuf180 of an empty picture, exit 1 for nothing printable, a negative page's black end); $(($(date +%s) - start)) s"
[ "$differ" -eq 0 ] || echo "differing jobs kept in $failures"
echo "$total jobs, $differ differ"
if [ "$broken" -ne 0 ] || [ "$total" -ne "$jobs" ]; then
  echo "differential.sh: a worker failed; only $total of $jobs jobs ran" >&2
  exit 2
fi
[ "$differ" -eq 0 ]
