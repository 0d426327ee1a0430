#!/usr/bin/env bash
# Tests of what engine developers get: the installed files, the pkg-config
# file and the CMake package (used by a consumer program built out of tree),
# and the Debian packages.  Registered with CTest by packaging_tests.cmake.
#
#   packaging_test.sh install BUILD CONSUMER_DIR LIBDIR HOSTLIB VERSION CMAKE CC PKG_CONFIG GENERATOR
#       cmake --install BUILD into a temporary prefix; check the file list,
#       the SONAME, the exported and the undefined names, that console.h
#       compiles alone as C and C++; build CONSUMER_DIR/consumer.c with
#       pkg-config and with find_package(qxcurses), run both (also on a
#       terminal made by script(1)) and check what they print.
#   packaging_test.sh deb BUILD LIBDIR VERSION CPACK
#       cpack -G DEB in BUILD; check both packages' file lists, control
#       fields, dependencies, shlibs file and the packaged library's SONAME.
#   packaging_test.sh deb-install BUILD CONSUMER_DIR HOSTLIB VERSION CMAKE CPACK CC PKG_CONFIG GENERATOR
#       as root: dpkg -i both packages, build and run the consumer against
#       /usr with pkg-config and with find_package, dpkg -r both, check that
#       none of their files is left, then dpkg -P so that dpkg keeps no record
#       of them either (libqxcurses1 has ldconfig maintainer scripts, so
#       dpkg -r leaves it in the config-files state, without files).
#
# LIBDIR is CMAKE_INSTALL_LIBDIR (relative to the prefix); HOSTLIB is the
# engine stand-in libqxhost.so, which defines the engine names for the
# consumer.  Work files go to a fresh directory under ${TMPDIR:-/tmp}, removed
# when the test passes and kept (and named) when it fails.
set -euo pipefail

mode="${1:-}"
[ -n "$mode" ] && shift

work="$(mktemp -d "${TMPDIR:-/tmp}/qxcurses-packaging.XXXXXX")"
passed=0
cleanup_hooks=()
on_exit() {
  local hook
  for hook in "${cleanup_hooks[@]+"${cleanup_hooks[@]}"}"; do "$hook" || true; done
  if [ "$passed" = 1 ]; then
    rm -rf "$work"
  else
    echo "packaging_test: work files kept in $work" >&2
  fi
}
trap on_exit EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
note() { echo "-- $*"; }

# Compares two newline-separated lists given as files; fails with a diff.
same_list() { # expected-file actual-file what
  if ! diff -u "$1" "$2" >"$work/diff.txt"; then
    cat "$work/diff.txt" >&2
    fail "$3 differs from what is expected (- expected, + actual)"
  fi
}

# ---- Checks of a library file and of the header --------------------------------

check_soname() { # library
  local soname
  soname="$(readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
  [ "$soname" = "libqxcurses.so.1" ] || fail "SONAME of $1 is '$soname', not libqxcurses.so.1"
  note "SONAME of $(basename "$1"): $soname"
}

# The names console.h exports (QX_EXPORT) are exactly the library's defined
# dynamic symbols; every name the library leaves undefined without a version
# (the engine's names) is declared in console.h's engine section.
check_symbols() { # library header
  local lib="$1" header="$2"
  grep '^QX_EXPORT' "$header" |
    sed -E 's/\(.*//; s/;.*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)$/\1/' |
    sort -u >"$work/exports-header.txt"
  [ -s "$work/exports-header.txt" ] || fail "no QX_EXPORT declarations found in $header"
  nm -D --defined-only "$lib" | awk '{print $3}' | sort -u >"$work/exports-library.txt"
  same_list "$work/exports-header.txt" "$work/exports-library.txt" \
    "the library's exported names (against console.h's QX_EXPORT names)"
  note "exports: $(wc -l <"$work/exports-library.txt") names, as console.h declares"

  sed -n '/Names the host engine must define/,/Exported by the module/p' "$header" \
    >"$work/engine-section.h"
  [ -s "$work/engine-section.h" ] || fail "no engine section found in $header"
  nm -D --undefined-only "$lib" | awk '$1 == "U" && $2 !~ /@/ {print $2}' | sort -u \
    >"$work/undefined.txt"
  [ -s "$work/undefined.txt" ] || fail "the library leaves no engine name undefined"
  local name missing=()
  while read -r name; do
    grep -Eq "(^|[^A-Za-z0-9_])${name}(\(|\[|;)" "$work/engine-section.h" || missing+=("$name")
  done <"$work/undefined.txt"
  [ "${#missing[@]}" -eq 0 ] ||
    fail "the library needs engine names console.h does not declare: ${missing[*]}"
  note "engine names left undefined: $(wc -l <"$work/undefined.txt"), all declared in console.h"
}

check_header_alone() { # cc include-dir
  local cc="$1" inc="$2" std
  for std in c99 c11; do
    printf '#include <console.h>\n' |
      "$cc" -x c -std=$std -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I"$inc" - ||
      fail "console.h does not compile alone as C ($std)"
  done
  for std in c++11 c++17; do
    printf '#include <console.h>\n' |
      "${CXX:-c++}" -x c++ -std=$std -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I"$inc" - ||
      fail "console.h does not compile alone as C++ ($std)"
  done
  note "console.h compiles alone as C99, C11, C++11 and C++17"
}

# ---- The consumer ---------------------------------------------------------------

# Runs a consumer and checks its line: the prompt set and read back, the
# screen size before InitTermIO (0x0), and the file the module was loaded from.
run_consumer() { # binary expected-module-file label
  local bin="$1" expected="$2" label="$3" out module
  out="$("$bin")" || fail "$label: the consumer failed (status $?)"
  echo "   $out"
  case "$out" in
  'qxcurses consumer: prompt "consumer> " screen 0x0 module '*) ;;
  *) fail "$label: unexpected output: $out" ;;
  esac
  module="${out##* module }"
  [ "$(readlink -f "$module")" = "$(readlink -f "$expected")" ] ||
    fail "$label: the module was loaded from $module, not $expected"

  # On a terminal: script(1) gives the consumer a pseudo-terminal, which
  # InitTermIO needs.  COLUMNS and LINES fix the size curses reports.
  local report="$work/$label-terminal.txt" typescript="$work/$label-typescript.txt"
  env -u TERMINFO TERM=xterm COLUMNS=100 LINES=30 \
    script -qec "'$bin' --terminal '$report'" "$typescript" </dev/null >/dev/null ||
    fail "$label: the consumer failed on a terminal; see $typescript"
  printf 'screen 100x30\nrow0 ok\ncursor 0,1\nsigint engine\n' >"$work/$label-expected.txt"
  [ -f "$report" ] || fail "$label: no report from the consumer on a terminal"
  same_list "$work/$label-expected.txt" "$report" "$label: the consumer's report on a terminal"
  grep -q 'hello from the consumer' "$typescript" ||
    fail "$label: the line written to user did not reach the terminal"
  grep -q 'Exit from Prolog' "$typescript" ||
    fail "$label: ExittingMessage's text did not reach the terminal"
  note "$label: consumer ran, also on a terminal (100x30, line shown, engine's SIGINT handler kept)"
}

build_with_pkg_config() { # cc pkg-config consumer-dir hostlib out-binary expected-prefix libdir
  local cc="$1" pc="$2" src="$3" hostlib="$4" bin="$5" prefix="$6" libdir="$7"
  local version cflags libs
  version="$("$pc" --modversion qxcurses)" || fail "pkg-config does not find qxcurses"
  cflags="$("$pc" --cflags qxcurses)"
  libs="$("$pc" --libs qxcurses)"
  note "pkg-config: version $version, cflags '$cflags', libs '$libs'"
  [ "$version" = "$VERSION" ] || fail "pkg-config version $version, not $VERSION"
  local -a cf lb
  read -ra cf <<<"$cflags"
  read -ra lb <<<"$libs"
  [ "${cf[*]}" = "-I$prefix/include/qxcurses" ] ||
    fail "pkg-config --cflags gives '$cflags', not -I$prefix/include/qxcurses"
  local want=(-lqxcurses) flag w
  # pkg-config leaves out -L of the system's own library directory.
  if [ "$prefix" != /usr ]; then want+=("-L$prefix/$libdir"); fi
  for w in "${want[@]}"; do
    for flag in "${lb[@]}"; do [ "$flag" = "$w" ] && continue 2; done
    fail "pkg-config --libs gives '$libs', without $w"
  done
  # The program finds the libraries where they are, by its run path.
  local rpath=("-Wl,-rpath,$(dirname "$hostlib")")
  for flag in "${lb[@]}"; do
    case "$flag" in -L*) rpath+=("-Wl,-rpath,${flag#-L}") ;; esac
  done
  mkdir -p "$(dirname "$bin")"
  "$cc" -std=c99 -pedantic-errors -Wall -Wextra -Werror "$src/consumer.c" "${cf[@]}" "${lb[@]}" \
    "$hostlib" "${rpath[@]}" -o "$bin" ||
    fail "the consumer does not build with pkg-config's flags"
}

build_with_cmake() { # cmake generator consumer-dir hostlib build-dir prefix-path|"" expected-config-dir
  local cmake="$1" gen="$2" src="$3" hostlib="$4" dir="$5" prefix="$6" configdir="$7"
  local args=(-S "$src" -G "$gen" -DQX_ENGINE_LIBRARY="$hostlib")
  if [ -n "$prefix" ]; then args+=(-DCMAKE_PREFIX_PATH="$prefix"); fi
  "$cmake" "${args[@]}" -B "$dir" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; fail "the CMake consumer does not configure"; }
  "$cmake" --build "$dir" >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log" >&2; fail "the CMake consumer does not build"; }
  local found
  found="$(sed -n 's/^qxcurses_DIR:PATH=//p' "$dir/CMakeCache.txt")"
  [ "$(readlink -f "$found")" = "$(readlink -f "$configdir")" ] ||
    fail "find_package(qxcurses) used $found, not $configdir"
  note "find_package(qxcurses 1.0) found $found"

  # A version the package cannot give is refused.
  local refused="$dir-2.0"
  if "$cmake" "${args[@]}" -B "$refused" -DQX_WANT_VERSION=2.0 >"$refused.log" 2>&1; then
    fail "find_package(qxcurses 2.0) was satisfied by version $VERSION"
  fi
  grep -q 'compatible with requested version' "$refused.log" ||
    { cat "$refused.log" >&2; fail "find_package(qxcurses 2.0) failed for another reason"; }
  note "find_package(qxcurses 2.0) is refused"
}

# ---- install ---------------------------------------------------------------------

do_install() {
  [ $# -eq 9 ] || fail "install: 9 arguments expected, $# given"
  local build="$1" src="$2" libdir="$3" hostlib="$4"
  VERSION="$5"
  local cmake="$6" cc="$7" pc="$8" gen="$9"
  local prefix="$work/prefix"

  "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }

  # Exactly these files and links, nothing of host/ or the tests.
  (cd "$prefix" && find . -mindepth 1 ! -type d | sed 's|^\./||' | sort) >"$work/files.txt"
  sed -E 's/qxcursesTargets-[a-z]+\.cmake$/qxcursesTargets-<config>.cmake/' \
    "$work/files.txt" >"$work/files-normal.txt"
  sort >"$work/files-expected.txt" <<EOF
include/qxcurses/console.h
$libdir/cmake/qxcurses/qxcursesConfig.cmake
$libdir/cmake/qxcurses/qxcursesConfigVersion.cmake
$libdir/cmake/qxcurses/qxcursesTargets-<config>.cmake
$libdir/cmake/qxcurses/qxcursesTargets.cmake
$libdir/libqxcurses.so
$libdir/libqxcurses.so.1
$libdir/libqxcurses.so.1.0.0
$libdir/pkgconfig/qxcurses.pc
EOF
  same_list "$work/files-expected.txt" "$work/files-normal.txt" "the installed files"
  note "installed: $(tr '\n' ' ' <"$work/files.txt")"

  local lib="$prefix/$libdir"
  if [ -L "$lib/libqxcurses.so.1.0.0" ] || [ ! -f "$lib/libqxcurses.so.1.0.0" ]; then
    fail "libqxcurses.so.1.0.0 is not a regular file"
  fi
  [ "$(readlink "$lib/libqxcurses.so.1")" = libqxcurses.so.1.0.0 ] ||
    fail "libqxcurses.so.1 does not link to libqxcurses.so.1.0.0"
  [ "$(readlink "$lib/libqxcurses.so")" = libqxcurses.so.1 ] ||
    fail "libqxcurses.so does not link to libqxcurses.so.1"
  check_soname "$lib/libqxcurses.so.1.0.0"
  check_symbols "$lib/libqxcurses.so.1.0.0" "$prefix/include/qxcurses/console.h"
  check_header_alone "$cc" "$prefix/include/qxcurses"
  grep -q "^prefix=$prefix\$" "$lib/pkgconfig/qxcurses.pc" ||
    fail "qxcurses.pc does not name the install prefix $prefix"

  PKG_CONFIG_PATH="$lib/pkgconfig" build_with_pkg_config "$cc" "$pc" "$src" "$hostlib" \
    "$work/pc/consumer" "$prefix" "$libdir"
  run_consumer "$work/pc/consumer" "$lib/libqxcurses.so.1" pkg-config

  build_with_cmake "$cmake" "$gen" "$src" "$hostlib" "$work/cmake" "$prefix" \
    "$lib/cmake/qxcurses"
  run_consumer "$work/cmake/consumer" "$lib/libqxcurses.so.1" find_package
}

# ---- deb -------------------------------------------------------------------------

# Builds both packages from BUILD into $work/deb; sets RUNTIME_DEB and DEV_DEB.
make_debs() { # build cpack
  local build="$1" cpack="$2" arch
  (cd "$build" && "$cpack" -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
  arch="$(dpkg --print-architecture)"
  RUNTIME_DEB="$work/deb/libqxcurses1_${VERSION}_${arch}.deb"
  DEV_DEB="$work/deb/libqxcurses-dev_${VERSION}_${arch}.deb"
  [ -f "$RUNTIME_DEB" ] || fail "cpack made no $(basename "$RUNTIME_DEB")"
  [ -f "$DEV_DEB" ] || fail "cpack made no $(basename "$DEV_DEB")"
  local count
  count="$(find "$work/deb" -maxdepth 1 -name '*.deb' | wc -l)"
  [ "$count" -eq 2 ] || fail "cpack made $count packages, not 2"
}

# The files and links of a package (no directories), as "path" or "path -> target".
deb_files() { # deb
  dpkg-deb -c "$1" | grep -v '^d' | sed -E 's/^([^ ]+ +){5}//; s|^\./||' | sort
}

field() { # deb field
  dpkg-deb -f "$1" "$2"
}

# The package that holds a shared library the packaged library needs.
owner_of() { # soname library
  local path alt pkg
  path="$(ldd "$2" | awk -v n="$1" '$1 == n {print $3}')"
  [ -n "$path" ] || fail "ldd does not resolve $1 for $2"
  pkg="$(dpkg -S "$path" 2>/dev/null | head -n1 | cut -d: -f1)" || true
  if [ -z "$pkg" ]; then # /lib and /usr/lib are one directory on merged-/usr systems
    case "$path" in /usr/*) alt="${path#/usr}" ;; *) alt="/usr$path" ;; esac
    pkg="$(dpkg -S "$alt" 2>/dev/null | head -n1 | cut -d: -f1)" || true
  fi
  [ -n "$pkg" ] || fail "no package holds $path"
  echo "$pkg"
}

do_deb() {
  [ $# -eq 4 ] || fail "deb: 4 arguments expected, $# given"
  local build="$1" libdir="$2" cpack="$4"
  VERSION="$3"
  make_debs "$build" "$cpack"
  local arch
  arch="$(dpkg --print-architecture)"

  # File lists.
  deb_files "$RUNTIME_DEB" >"$work/runtime-files.txt"
  sort >"$work/runtime-expected.txt" <<EOF
usr/$libdir/libqxcurses.so.1 -> libqxcurses.so.1.0.0
usr/$libdir/libqxcurses.so.1.0.0
EOF
  same_list "$work/runtime-expected.txt" "$work/runtime-files.txt" "libqxcurses1's files"
  deb_files "$DEV_DEB" | sed -E 's/qxcursesTargets-[a-z]+\.cmake$/qxcursesTargets-<config>.cmake/' \
    >"$work/dev-files.txt"
  sort >"$work/dev-expected.txt" <<EOF
usr/include/qxcurses/console.h
usr/$libdir/cmake/qxcurses/qxcursesConfig.cmake
usr/$libdir/cmake/qxcurses/qxcursesConfigVersion.cmake
usr/$libdir/cmake/qxcurses/qxcursesTargets-<config>.cmake
usr/$libdir/cmake/qxcurses/qxcursesTargets.cmake
usr/$libdir/libqxcurses.so -> libqxcurses.so.1
usr/$libdir/pkgconfig/qxcurses.pc
EOF
  same_list "$work/dev-expected.txt" "$work/dev-files.txt" "libqxcurses-dev's files"
  note "libqxcurses1: $(tr '\n' ';' <"$work/runtime-files.txt")"
  note "libqxcurses-dev: $(tr '\n' ';' <"$work/dev-files.txt")"

  # Control fields.
  local deb pkg section
  for deb in "$RUNTIME_DEB" "$DEV_DEB"; do
    pkg="$(field "$deb" Package)"
    [ "$(field "$deb" Version)" = "$VERSION" ] || fail "$pkg: Version is not $VERSION"
    [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$pkg: Architecture is not $arch"
    [ -n "$(field "$deb" Maintainer)" ] || fail "$pkg: no Maintainer"
    [ "$(field "$deb" Description | wc -l)" -ge 2 ] ||
      fail "$pkg: no extended Description"
  done
  [ "$(field "$RUNTIME_DEB" Package)" = libqxcurses1 ] || fail "runtime package name"
  [ "$(field "$DEV_DEB" Package)" = libqxcurses-dev ] || fail "development package name"
  section="$(field "$RUNTIME_DEB" Section)"
  [ "$section" = libs ] || fail "libqxcurses1: Section is '$section', not libs"
  section="$(field "$DEV_DEB" Section)"
  [ "$section" = libdevel ] || fail "libqxcurses-dev: Section is '$section', not libdevel"

  # The packaged library: SONAME, and Depends naming exactly the packages that
  # hold the libraries it needs (as dpkg-shlibdeps computes them).
  dpkg-deb -x "$RUNTIME_DEB" "$work/runtime"
  local packaged="$work/runtime/usr/$libdir/libqxcurses.so.1.0.0"
  check_soname "$packaged"
  [ -e "$work/runtime/usr/$libdir/libqxcurses.so.1" ] || fail "libqxcurses.so.1 link is dangling"
  local depends needed
  depends="$(field "$RUNTIME_DEB" Depends)"
  note "libqxcurses1 Depends: $depends"
  [ -n "$depends" ] || fail "libqxcurses1 has no Depends"
  echo "$depends" | tr ',' '\n' | sed -E 's/^ *//; s/ *\(.*//; s/ *$//' | sed '/^$/d' |
    sort -u >"$work/depends.txt"
  readelf -d "$packaged" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' >"$work/needed.txt"
  [ -s "$work/needed.txt" ] || fail "the packaged library needs no library"
  grep -q '^libncursesw\.so\.' "$work/needed.txt" || fail "the packaged library does not need libncursesw"
  while read -r needed; do owner_of "$needed" "$packaged"; done <"$work/needed.txt" |
    sort -u >"$work/owners.txt"
  same_list "$work/owners.txt" "$work/depends.txt" \
    "libqxcurses1's Depends (against the packages holding its NEEDED libraries)"
  echo "$depends" | grep -Eq 'libncursesw6 \(>= [0-9]' ||
    fail "libqxcurses1's Depends has no versioned libncursesw6"

  local shlibs
  dpkg-deb -e "$RUNTIME_DEB" "$work/runtime-control"
  shlibs="$(cat "$work/runtime-control/shlibs" 2>/dev/null || true)"
  [ "$shlibs" = "libqxcurses 1 libqxcurses1 (>= $VERSION)" ] ||
    fail "libqxcurses1's shlibs file is '$shlibs'"

  depends="$(field "$DEV_DEB" Depends)"
  note "libqxcurses-dev Depends: $depends"
  [ "$depends" = "libqxcurses1 (= $VERSION), libncurses-dev" ] ||
    fail "libqxcurses-dev's Depends is '$depends'"

  # The development files name /usr, never the build or staging directories.
  dpkg-deb -x "$DEV_DEB" "$work/dev"
  grep -q '^prefix=/usr$' "$work/dev/usr/$libdir/pkgconfig/qxcurses.pc" ||
    fail "the packaged qxcurses.pc does not have prefix=/usr"
  if grep -rlE "_CPack_Packages|$work|$(readlink -f "$build")" "$work/dev"; then
    fail "development files name a build or staging directory"
  fi
}

# ---- deb-install (root) -------------------------------------------------------------

status() { # package: dpkg's status of it, empty when dpkg does not know it
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true
}
installed() { # package
  [ "$(status "$1")" = "install ok installed" ]
}

# Clean-up after a failed run: purge whatever dpkg still knows of the packages.
purge_packages() {
  local p known=()
  for p in libqxcurses-dev libqxcurses1; do [ -n "$(status "$p")" ] && known+=("$p"); done
  if [ "${#known[@]}" -gt 0 ]; then dpkg -P "${known[@]}" >/dev/null; fi
}

do_deb_install() {
  [ $# -eq 9 ] || fail "deb-install: 9 arguments expected, $# given"
  local build="$1" src="$2" hostlib="$3"
  VERSION="$4"
  local cmake="$5" cpack="$6" cc="$7" pc="$8" gen="$9"
  [ "$(id -u)" -eq 0 ] || fail "deb-install must run as root (dpkg -i)"
  local p
  for p in libqxcurses1 libqxcurses-dev; do
    ! installed "$p" || fail "$p is already installed; remove it first (dpkg -r $p)"
  done
  make_debs "$build" "$cpack"

  cleanup_hooks+=(purge_packages)
  dpkg -i "$RUNTIME_DEB" "$DEV_DEB" >"$work/dpkg-i.log" 2>&1 ||
    { cat "$work/dpkg-i.log" >&2; fail "dpkg -i failed"; }
  for p in libqxcurses1 libqxcurses-dev; do installed "$p" || fail "$p is not installed"; done
  dpkg -L libqxcurses1 libqxcurses-dev | grep '^/' | sort -u >"$work/owned.txt"
  local path files=()
  while read -r path; do
    [ -d "$path" ] && [ ! -L "$path" ] && continue
    files+=("$path")
  done <"$work/owned.txt"
  note "installed by dpkg: ${files[*]}"
  [ "${#files[@]}" -eq 9 ] || fail "dpkg installed ${#files[@]} files and links, not 9"
  local sofile=""
  for path in "${files[@]}"; do
    case "$path" in */libqxcurses.so.1) sofile="$path" ;; esac
  done
  [ -n "$sofile" ] || fail "libqxcurses1 installs no libqxcurses.so.1"
  ldconfig -p | grep -q 'libqxcurses\.so\.1 ' || fail "ldconfig does not know libqxcurses.so.1"

  (
    unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR
    build_with_pkg_config "$cc" "$pc" "$src" "$hostlib" "$work/pc/consumer" /usr ""
  )
  run_consumer "$work/pc/consumer" "$sofile" pkg-config-usr
  build_with_cmake "$cmake" "$gen" "$src" "$hostlib" "$work/cmake" "" \
    "$(dirname "$sofile")/cmake/qxcurses"
  run_consumer "$work/cmake/consumer" "$sofile" find_package-usr

  dpkg -r libqxcurses-dev libqxcurses1 >"$work/dpkg-r.log" 2>&1 ||
    { cat "$work/dpkg-r.log" >&2; fail "dpkg -r failed"; }
  for p in libqxcurses1 libqxcurses-dev; do
    ! installed "$p" || fail "$p is still installed after dpkg -r"
    if dpkg -L "$p" 2>/dev/null | grep -q '^/'; then fail "dpkg -L $p still lists files"; fi
  done
  local left=()
  for path in "${files[@]}"; do
    if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
  done
  for path in /usr/include/qxcurses "$(dirname "$sofile")/cmake/qxcurses"; do
    [ -e "$path" ] && left+=("$path")
  done
  [ "${#left[@]}" -eq 0 ] || fail "left after dpkg -r: ${left[*]}"
  if ldconfig -p | grep -q 'libqxcurses\.so\.1 '; then
    fail "ldconfig still lists libqxcurses.so.1 after dpkg -r"
  fi
  note "dpkg -r removed both packages; none of their files is left"

  # libqxcurses1 has maintainer scripts (CPack's ldconfig calls), so dpkg keeps
  # its record, without files, in the config-files state; a purge ends that.
  for p in libqxcurses1 libqxcurses-dev; do
    case "$(status "$p")" in
    "" | "unknown ok not-installed" | "deinstall ok config-files" | "purge ok not-installed") ;;
    *) fail "$p is in state '$(status "$p")' after dpkg -r" ;;
    esac
  done
  note "after dpkg -r: libqxcurses1 '$(status libqxcurses1)', libqxcurses-dev '$(status libqxcurses-dev)'"
  purge_packages
  for p in libqxcurses1 libqxcurses-dev; do
    case "$(status "$p")" in
    "" | *" not-installed") ;;
    *) fail "dpkg still knows $p after dpkg -P: $(status "$p")" ;;
    esac
    if compgen -G "/var/lib/dpkg/info/$p.*" >/dev/null ||
      compgen -G "/var/lib/dpkg/info/$p:*" >/dev/null; then
      fail "dpkg's records of $p are left after dpkg -P"
    fi
  done
  note "dpkg -P: dpkg keeps no record of either package"
}

case "$mode" in
install) do_install "$@" ;;
deb) do_deb "$@" ;;
deb-install) do_deb_install "$@" ;;
*)
  echo "usage: $0 install|deb|deb-install ARGS... (see the comment at the top)" >&2
  exit 2
  ;;
esac
passed=1
echo "packaging_test $mode: passed"
