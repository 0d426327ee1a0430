#!/usr/bin/env bash
# Builds the benchmarks (Release, -DQX_BENCH=ON, no tests) into build-perf
# when needed, runs every benchmark, then the callgrind scripts.  Not part of
# the test command.
#
#   bench/run.sh [--quick] [--rounds N] [--strict] [--no-callgrind] [--build DIR]
#
# --quick        fewer rounds and less work (a smoke run; figures are rougher)
# --rounds N     repetitions per benchmark (default 5); medians are taken
# --strict       exit 1 when a goal is missed (otherwise misses only print MISS)
# --no-callgrind skip the callgrind scripts (they take a minute or two)
# --build DIR    use this build directory instead of build-perf (configured
#                here when it has no CMakeCache.txt)
# Exit status: 0, 1 (--strict and a goal missed) or 2 (a run failed or timed out).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-perf
args=()
callgrind=1
quick=0
strict=0
while [ $# -gt 0 ]; do
  case $1 in
    --no-callgrind) callgrind=0 ;;
    --build) build=$(mkdir -p "$2" && cd "$2" && pwd); shift ;;
    --quick) quick=1; args+=("$1") ;;
    --strict) strict=1; args+=("$1") ;;
    *) args+=("$1") ;;
  esac
  shift
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQX_BENCH=ON -DQX_TESTS=OFF >/dev/null ||
    exit 2
fi
cmake --build "$build" -j2 >/dev/null || { echo "run.sh: the build failed" >&2; exit 2; }

status=0
# Runs one step with a deadline (the harness has its own; this is a backstop)
# and keeps the worst exit status.
step() {
  local limit=$1
  shift
  echo
  timeout --kill-after=10 "$limit" "$@"
  local rc=$?
  if [ "$rc" -ge 124 ]; then
    echo "run.sh: $1 did not finish in $limit" >&2
    rc=2
  fi
  [ "$rc" -gt "$status" ] && status=$rc
}

date -u '+benchmarks run at %Y-%m-%d %H:%M UTC'
for b in output echo redraw columns; do
  step 600 "$build/bench/qx_bench_$b" "${args[@]}"
done
if [ "$callgrind" = 1 ]; then
  cg_columns=()
  cg_output=()
  [ "$quick" = 1 ] && cg_columns=(--iterations 200) && cg_output=(--lines 10)
  [ "$strict" = 1 ] && cg_columns+=(--strict)
  step 900 "$root/bench/callgrind_columns.sh" --build "$build" "${cg_columns[@]}"
  step 900 "$root/bench/callgrind_output.sh" --build "$build" "${cg_output[@]}"
fi
exit "$status"
