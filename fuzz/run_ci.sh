#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for
# a short time on the kept corpus and regression inputs; the output target
# runs in several processes, one per screen size and terminal type, since the
# console takes its size once per process.  Exits non-zero when a target
# crashes, hangs (10 s per input) or breaks an invariant; the input that did
# it is left in the work directory printed at the end: keep it in
# fuzz/regressions/<target>/ once understood.
#
#   fuzz/run_ci.sh                      # 30 s per target
#   QX_FUZZ_SECONDS=600 fuzz/run_ci.sh  # longer runs
#   QX_FUZZ_BUILD=build-fuzz            # build directory (default build-fuzz-ci)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_FUZZ_BUILD:-$root/build-fuzz-ci}"
secs="${QX_FUZZ_SECONDS:-30}"
work="$(mktemp -d /tmp/qxfuzz.XXXXXX)"

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# run TARGET SECONDS SIZE TERM: one fuzzing process; new inputs go to the work
# directory, never into the kept corpus.
run() {
  local target="$1" t="$2" size="$3" term="$4"
  local dir="$work/$target-$size-$term"
  mkdir -p "$dir/new"
  local dict=()
  [ -f "$root/fuzz/$target.dict" ] && dict=("-dict=$root/fuzz/$target.dict")
  local kept=()
  for d in "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"; do
    [ -d "$d" ] && kept+=("$d")
  done
  echo "== fuzz_$target ${t}s at $size on $term"
  # -jobs=1 runs the fuzzer in a child that logs to fuzz-0.log in the
  # current directory: the run directory.
  (cd "$dir" && QX_FUZZ_SIZE="$size" QX_FUZZ_TERM="$term" "$build/fuzz_$target" \
    -max_total_time="$t" -timeout=10 -workers=1 -jobs=1 -print_final_stats=1 \
    -artifact_prefix="$dir/" "${dict[@]}" "$dir/new" "${kept[@]}" \
    >"$dir/log" 2>&1) || { tail -60 "$dir/fuzz-0.log"; echo "crash input in $dir"; exit 1; }
  grep -E "^stat::number_of_executed_units|Done [0-9]+ runs" "$dir/fuzz-0.log" | tail -2
}

run keys "$secs" 80x24 xterm
run builtins "$secs" 80x24 xterm
third=$(( secs / 3 > 1 ? secs / 3 : 1 ))
run output "$third" 80x24 xterm
run output "$third" 1x1 vt100
run output "$third" 300x100 xterm-noxenl
echo "fuzz: no crash; work directory $work"
