#!/usr/bin/env bash
# Sets up what is missing, then builds and runs the whole test suite twice:
# once as released, once with AddressSanitizer and UndefinedBehaviorSanitizer.
# Exits non-zero when any test fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
jobs="$(nproc)"
export LC_ALL=C.UTF-8

run_suite() { # build-dir extra-cmake-args...
  local dir="$1"; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

echo "== test suite"
run_suite "$root/build-test"
echo "== test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build-asan" -DQX_SANITIZE=ON
