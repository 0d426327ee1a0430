#!/bin/sh
# exports_test.sh <libqxcurses.so>: the library defines exactly the names
# console.h marks QX_EXPORT; every unversioned name it leaves undefined is
# one console.h asks the engine to define (so the loading process supplies
# it); its SONAME is libqxcurses.so.1 and it needs no library of the engine.
set -u
lib="$1" header="$(dirname "$0")/../src/console/console.h" fail=0
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
problem() { echo "FAIL: $*" && fail=1; }
sed -n 's/^QX_EXPORT[^(;]*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)[[(;].*/\1/p' "$header" | sort -u >"$tmp/want"
${NM:-nm} -D --defined-only "$lib" | awk '{ sub(/@.*/, "", $3); print $3 }' |
  grep -Ev '^(_init|_fini|_edata|_end|__bss_start|__odr_asan\..*)$' | sort -u >"$tmp/have"
[ -s "$tmp/want" ] && diff "$tmp/want" "$tmp/have" || problem "exports (< only in console.h, > only in the library)"
engine=$(sed -n '/Names the host engine must define/,/Exported by the module/p' "$header")
undef=$(${NM:-nm} -D --undefined-only "$lib" | awk '$1 == "U" && $2 !~ /@/ { print $2 }')
# (none in a sanitizer build, where the runtime's interceptors leave libc's
# names unversioned; an engine name defined there is an extra export above)
case " $undef " in *[[:space:]]__asan_init[[:space:]]*) undef= ;; esac
for name in $undef; do
  echo "$engine" | grep -Eq "(^|[^A-Za-z0-9_])$name(\(|\[|;)" || problem "$name is undefined but not an engine name"
done
dyn=$(${READELF:-readelf} -d "$lib")
echo "$dyn" | grep -q 'SONAME.*\[libqxcurses\.so\.1\]' || problem "SONAME is not libqxcurses.so.1"
! echo "$dyn" | grep -q 'NEEDED.*qxhost' || problem "the module needs the engine's library"
exit $fail
