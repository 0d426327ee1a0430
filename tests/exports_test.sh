#!/bin/sh
# exports_test.sh <libqxcurses.so>: the library defines exactly the names
# console.h marks QX_EXPORT; every unversioned name it leaves undefined is
# one console.h asks the engine to define (so the loading process supplies
# it); its SONAME is libqxcurses.so.1 and it needs no library of the engine.
set -u
lib="$1"
header="$(dirname "$0")/../src/console/console.h"
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT
fail=0
problem() { echo "FAIL: $*" && fail=1; }
sed -n 's/^QX_EXPORT[^(;]*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)[[(;].*/\1/p' "$header" | sort -u >"$tmp/want"
[ -s "$tmp/want" ] || problem "no QX_EXPORT names in $header"
${NM:-nm} -D --defined-only "$lib" | awk '{ sub(/@.*/, "", $3); print $3 }' |
  grep -Ev '^(_init|_fini|_edata|_end|__bss_start|__odr_asan\..*)$' | sort -u >"$tmp/have"
diff "$tmp/want" "$tmp/have" >"$tmp/diff" || problem "exports (< only in console.h, > only in the library):
$(cat "$tmp/diff")"
sed -n '/Names the host engine must define/,/Exported by the module/p' "$header" >"$tmp/engine"
# (not in a sanitizer build, where the runtime's interceptors leave libc's
# names unversioned; an engine name defined there is an extra export above)
${NM:-nm} -D --undefined-only "$lib" | awk '$1 == "U" && $2 !~ /@/ { print $2 }' >"$tmp/undef"
grep -q '^__asan_init$' "$tmp/undef" && : >"$tmp/undef"
for name in $(cat "$tmp/undef"); do
  grep -Eq "(^|[^A-Za-z0-9_])$name(\(|\[|;)" "$tmp/engine" || problem "$name is undefined but not an engine name"
done
${READELF:-readelf} -d "$lib" >"$tmp/dyn"
grep -q 'SONAME.*\[libqxcurses\.so\.1\]' "$tmp/dyn" || problem "SONAME is not libqxcurses.so.1"
! grep -q 'NEEDED.*qxhost' "$tmp/dyn" || problem "the module needs the engine's library"
exit $fail
