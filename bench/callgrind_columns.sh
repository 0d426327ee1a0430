#!/usr/bin/env bash
# Instructions per character written at column 1 and at column 200 of a
# 250-column terminal, counted by callgrind (repeatable, unlike time).
#
# Runs qx_bench_columns' six cases (ascii, mb2 and wide rows; column 1 and
# column 200; see columns_bench.cpp for the method) in one child under
# valgrind --tool=callgrind.  Each case is a function of its own, collected
# alone (--toggle-collect=qxb_col_*), so its inclusive instruction count
# divided by the writes it made is the instructions per character written:
# the module, curses and the C library, in user space (the kernel's share of
# the write to the terminal is not counted).
#
#   bench/callgrind_columns.sh [--iterations N] [--build DIR] [--strict] [--blank-below]
#                              [--run N]
# (--blank-below and --run N as for qx_bench_columns.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build-perf
iterations=500
strict=0
run=1
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --iterations) iterations=$2; shift ;;
    --build) build=$2; shift ;;
    --strict) strict=1 ;;
    --blank-below) extra+=(--blank-below) ;;
    --run) extra+=(--run "$2"); run=$2; shift ;;
    *) echo "callgrind_columns: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
command -v valgrind >/dev/null || { echo "callgrind_columns: valgrind is not installed" >&2; exit 2; }
bin=$build/bench/qx_bench_columns
[ -x "$bin" ] || { echo "callgrind_columns: $bin not built (bench/run.sh builds it)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

iterations=$("$bin" --callgrind "$work/columns.out" --iterations "$iterations" "${extra[@]}" |
  awk '$1 == "iterations" { print $2 }')
callgrind_annotate --inclusive=yes --threshold=100 "$work/columns.out" >"$work/annotated.txt"

# The inclusive instructions of function $1, from the annotated listing.
inclusive() {
  awk -v fn=":$1 " 'index($0, fn) { gsub(",", "", $1); print $1; exit }' "$work/annotated.txt"
}

echo "columns (callgrind): instructions per character written, 250x24, runs of $run," \
  "$iterations writes per case"
printf '%-6s %12s %12s %8s\n' row "col 1" "col 200" "200/1"
miss=0
for kind in ascii mb2 wide; do
  c1=$(inclusive "qxb_col_${kind}_1")
  c200=$(inclusive "qxb_col_${kind}_200")
  if [ -z "$c1" ] || [ -z "$c200" ]; then
    echo "callgrind_columns: no count for $kind" >&2
    exit 2
  fi
  awk -v a="$c1" -v b="$c200" -v n="$iterations" -v k="$kind" \
    'BEGIN { printf "%-6s %12.0f %12.0f %7.2fx\n", k, a / n, b / n, b / a }'
  ratio=$(awk -v a="$c1" -v b="$c200" 'BEGIN { printf "%.2f", b / a }')
  verdict=$(awk -v a="$c1" -v b="$c200" 'BEGIN { print (b <= 1.1 * a ? "PASS" : "MISS") }')
  echo "$verdict columns $kind (instructions): column 200 costs ${ratio}x column 1 (goal <= 1.1x)"
  [ "$verdict" = PASS ] || miss=1
done
[ "$strict" = 1 ] && [ "$miss" = 1 ] && exit 1
exit 0
