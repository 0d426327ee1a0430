#!/usr/bin/env bash
# Sets up what is missing, builds, and starts qxtop on this terminal.
# Arguments are passed to qxtop (try --help).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target qxtop qxcurses >/dev/null
exec "$root/build/host/qxtop" "$@"
