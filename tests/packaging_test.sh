#!/usr/bin/env bash
# What engine developers get: the modes install, deb and deb-install, which
# packaging_tests.cmake describes and registers (each mode names its arguments
# below).  Work files stay in a directory under ${TMPDIR:-/tmp} when a check fails.
set -euo pipefail
mode="$1"
shift
work="$(mktemp -d "${TMPDIR:-/tmp}/qxcurses-packaging.XXXXXX")"
trap '[ "$?" = 0 ] && rm -rf "$work" || echo "work files kept in $work" >&2' EXIT
fail() { echo "FAIL: $*" >&2 && exit 1; }
# Expects the files (not directories) under $1 to be the lines of stdin.
same_files() { # dir what
  diff -u <(sort) <(cd "$1" && find . ! -type d | sed 's|^\./||; s/Targets-[a-z]*\./Targets-C./' | sort) ||
    fail "$2: other files than expected (- expected, + actual)"
}
dev_files() {
  printf "${1:-}%s\n" include/qxcurses/console.h "$libdir"/{pkgconfig/qxcurses.pc,libqxcurses.so} \
    "$libdir"/cmake/qxcurses/qxcurses{Config,ConfigVersion,Targets,Targets-C}.cmake
}
rt_files() { printf "${1:-}%s\n" "$libdir"/libqxcurses.so.1{,.0.0}; }

# Builds the consumer in $work/$label both ways, checks that it loads $lib
# and runs it on a terminal made by script(1).
consumer() { # label lib [prefix]
  local d="$work/$1" lib="$2" args=(-S "$src" -G "$gen" -DQX_ENGINE_LIBRARY="$host" ${3:+-DCMAKE_PREFIX_PATH="$3"})
  mkdir -p "$d"
  # shellcheck disable=SC2046
  "$cc" -std=c99 -pedantic-errors -Wall -Wextra -Werror "$src/consumer.c" $("$pc" --cflags --libs qxcurses) \
    "$host" -Wl,-rpath,"$(dirname "$lib")":"$(dirname "$host")" -o "$d/pc" || fail "$1: no build with pkg-config"
  { "$cmake" "${args[@]}" -B "$d/cm" && "$cmake" --build "$d/cm"; } >"$d/cm.log" 2>&1 ||
    { cat "$d/cm.log" >&2 && fail "$1: the CMake consumer does not build"; }
  for bin in "$d/pc" "$d/cm/consumer"; do
    [ "$(readlink -f "$("$bin" | sed -n 's/^module //p')")" = "$(readlink -f "$lib")" ] || fail "$bin did not load $lib"
  done
  env -u TERMINFO TERM=xterm script -qec "$d/cm/consumer --terminal" "$d/typescript" </dev/null >/dev/null ||
    fail "$1: the consumer failed on a terminal"
  grep -q 'hello from the consumer' "$d/typescript" || fail "$1: the line did not reach the terminal"
}
make_debs() { # build cpack
  (cd "$1" && "$2" -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2 && fail cpack; }
  rt="$(echo "$work"/deb/libqxcurses1_"${VERSION}"_*.deb)" dev="$(echo "$work"/deb/libqxcurses-dev_"${VERSION}"_*.deb)"
  [ -f "$rt" ] && [ -f "$dev" ] || fail "cpack did not make both packages"
}

case "$mode" in
install)
  build="$1" src="$2" libdir="$3" host="$4" VERSION="$5" cmake="$6" cc="$7" pc="$8" gen="$9" p="$work/prefix"
  "$cmake" --install "$build" --prefix "$p" >"$work/install.log" || fail "cmake --install"
  { dev_files && rt_files; } | same_files "$p" installed
  echo '#include <console.h>' | "${CXX:-c++}" -x c++ -std=c++11 -pedantic-errors -Wall -Wextra -Werror \
    -fsyntax-only -I"$p/include/qxcurses" - || fail "console.h alone is not C++11"
  PKG_CONFIG_PATH="$p/$libdir/pkgconfig" consumer prefix "$p/$libdir/libqxcurses.so.1" "$p"
  ;;
deb)
  build="$1" libdir="$2" VERSION="$3"
  make_debs "$build" "$4"
  dpkg-deb -x "$rt" "$work/rt" && dpkg-deb -x "$dev" "$work/dev"
  rt_files usr/ | same_files "$work/rt" libqxcurses1
  dev_files usr/ | same_files "$work/dev" libqxcurses-dev
  dpkg-deb -f "$rt" Depends | grep -Eq 'libncursesw6 \(>= [0-9]' || fail "no versioned libncursesw6"
  dpkg-deb -e "$rt" "$work/ctl"
  [ "$(cat "$work/ctl/shlibs")" = "libqxcurses 1 libqxcurses1 (>= $VERSION)" ] || fail shlibs
  grep -q '^prefix=/usr$' "$work/dev/usr/$libdir/pkgconfig/qxcurses.pc" || fail "qxcurses.pc's prefix"
  ! grep -rqE "_CPack_Packages|$(readlink -f "$build")" "$work/dev" || fail "a build directory named"
  ;;
deb-install)
  build="$1" src="$2" host="$3" VERSION="$4" cmake="$5" cc="$7" pc="$8" gen="$9"
  [ "$(id -u)" -eq 0 ] || fail "deb-install must run as root"
  make_debs "$build" "$6"
  dpkg -i "$rt" "$dev" >"$work/dpkg.log" || fail "dpkg -i"
  files="$(dpkg -L libqxcurses1 libqxcurses-dev | grep -E '\.(so.*|h|pc|cmake)$')"
  (unset PKG_CONFIG_PATH && consumer usr "$(echo "$files" | grep 'libqxcurses.so.1$')")
  dpkg -P libqxcurses-dev libqxcurses1 >"$work/dpkg.log" || fail "dpkg -P"
  for f in $files; do [ ! -e "$f" ] || fail "$f left after dpkg -P"; done
  ! ldconfig -p | grep -q 'libqxcurses\.so\.1 ' || fail "ldconfig still knows libqxcurses.so.1"
  ! compgen -G "/var/lib/dpkg/info/libqxcurses*" >/dev/null || fail "dpkg keeps a record"
  ;;
esac
echo "packaging_test $mode: passed"
