#!/usr/bin/env bash
# Where the output time goes: runs the output benchmark's child under
# valgrind --tool=callgrind, collecting only its write loop
# (--toggle-collect=qxb_output_loop: the lines written after the screen is
# full, so that every one scrolls), and prints
#   - user-space instructions per character for the floor, bare curses and
#     the module (ASCII at 80x24), and for the module with the UTF-8 mix and
#     at 200x60;
#   - the module's top functions by inclusive instructions (ASCII, 80x24),
#     then by their own (exclusive) instructions.
# The kernel's share (the write to the terminal) is not counted.
#
#   bench/callgrind_output.sh [--lines N] [--top N] [--build DIR] [--keep DIR]
# --keep DIR leaves the callgrind output files in DIR (for callgrind_annotate).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build-perf
lines=20
top=30
keep=
while [ $# -gt 0 ]; do
  case $1 in
    --lines) lines=$2; shift ;;
    --top) top=$2; shift ;;
    --build) build=$2; shift ;;
    --keep) keep=$2; shift ;;
    *) echo "callgrind_output: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
command -v valgrind >/dev/null || { echo "callgrind_output: valgrind is not installed" >&2; exit 2; }
bin=$build/bench/qx_bench_output
[ -x "$bin" ] || { echo "callgrind_output: $bin not built (bench/run.sh builds it)" >&2; exit 2; }
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  work=$(cd "$keep" && pwd)
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# Runs one child under callgrind: variant, text, size; prints "name instr/char".
measure() {
  local name=$1 variant=$2 text=$3 size=$4
  local out=$work/output-$name.out
  local chars
  chars=$("$bin" --callgrind "$out" --variant "$variant" --text "$text" --size "$size" \
    --lines "$lines" | awk '$1 == "chars" { print $2 }')
  local total
  total=$(awk '$1 == "summary:" || $1 == "totals:" { print $2; exit }' "$out")
  awk -v n="$name" -v t="$total" -v c="$chars" \
    'BEGIN { printf "%-22s %12.0f %10d\n", n, t / c, c }'
}

echo "output (callgrind): user-space instructions per character, $lines lines of 79 columns + newline"
printf '%-22s %12s %10s\n' run instr/char chars
measure floor-ascii-80x24 floor ascii 80x24
measure curses-ascii-80x24 curses ascii 80x24
measure module-ascii-80x24 module ascii 80x24
measure module-utf8-80x24 module utf8 80x24
measure curses-ascii-200x60 curses ascii 200x60
measure module-ascii-200x60 module ascii 200x60

# The function lines of an annotated listing from the write loop on, at most $top.
functions() {
  awk '/^-+$/ { rule++; next } rule >= 5 && NF && !/file:function/' "$1" |
    awk '/qxb_output_loop/ { on = 1 } on || !inclusive' inclusive="$2" | head -n "$top" || true
}

profile=$work/output-module-ascii-80x24.out
callgrind_annotate --inclusive=yes --threshold=100 "$profile" >"$work/inclusive.txt"
callgrind_annotate --threshold=100 "$profile" >"$work/self.txt"
echo
echo "module, ascii, 80x24: top $top functions by inclusive instructions (of the write loop)"
functions "$work/inclusive.txt" 1
echo
echo "module, ascii, 80x24: top $top functions by their own instructions"
functions "$work/self.txt" 0
