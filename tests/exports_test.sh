#!/bin/sh
# The export check of the console module: exports_test.sh <path to libqxcurses>
#
# - the library's dynamic symbol table defines exactly the module's exported
#   names (console.h, "Exported by the module"): nothing missing, nothing extra;
#   the four struct sigaction records are data objects, every other name a
#   function;
# - its SONAME is libqxcurses.so.1;
# - the engine's names it uses are undefined in it (they are resolved from the
#   process that loads it), and it does not depend on a library of the engine.
#
# Uses nm and readelf from binutils ($NM and $READELF when set).  Exits 0 when
# every check passes, 1 otherwise, 2 on a usage or tool error.
set -u

lib=${1:-}
if [ -z "$lib" ] || [ ! -f "$lib" ]; then
  echo "usage: $0 <libqxcurses.so>  (got '${lib}')" >&2
  exit 2
fi
NM=${NM:-nm}
READELF=${READELF:-readelf}
for tool in "$NM" "$READELF"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "exports_test: $tool not found" >&2
    exit 2
  fi
done

expected_functions="SetTerminal C_GetStream C_SetPrompt C_GetPrompt
C_SetPromptPostfix C_GetPromptPostfix C_SetLog C_GetLog C_TOPLEVEL C_NORMAL
C_NOPROMPT C_COMMAND C_Unlock C_GetBS C_Screen C_SetScrollLine C_NewLine
C_FlushInput flush_stream InitTermIO SaveTermIO ResetTermIO RestoreTermIO
C_Sane C_SetSigState ExittingMessage Curses_getTerminalWH _Curses_num_cur_x
S_redisplay C_SetCursor P0_d_clear P0_d_cleol P0_d_cleos IQX_PUTCHAR C_BELL
C_keyback C_FlushTypeahead key_scan P0_d_redisp P1_d_cursor B1_d_cursor
P2_d_cursor B2_d_cursor P2_d_pos B2_d_pos P2_d_screen B2_d_screen P2_d_scroll
B2_d_scroll P1_d_keyin B1_d_keyin P1_d_keypeek B1_d_keypeek P1_d_keylength
B1_d_keylength P1_d_keyback B1_d_keyback"
expected_objects="sa old_inp old_dk old_hand"

# Engine names that the module must take from the process (used by
# SetTerminal, the console output, the caret forms, the display columns).
engine_names="Console Stream_sprnt Stream_MakeConStreamInstance
Stream_GetStreamCon Stream__sputc Type_is_kanji1 Stream_isn_mbchar PutAtom
Main_DefaultPrompt"

# Names that are not the module's own and are left out of the comparison:
# the markers some linkers put in every shared object, and the ODR indicators
# that AddressSanitizer adds for exported data (only for the expected names).
linker_markers="_init _fini _edata _end __bss_start"

tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT

fail=0
problem() {
  echo "FAIL: $*"
  fail=1
}

words() { # the words of $1, one a line, sorted
  printf '%s\n' $1 | sort -u
}

# Defined dynamic symbols, without version suffixes.
if ! "$NM" -D --defined-only "$lib" >"$tmp/nm-defined" 2>"$tmp/nm-err"; then
  echo "exports_test: $NM -D --defined-only failed:" >&2
  cat "$tmp/nm-err" >&2
  exit 2
fi
awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' "$tmp/nm-defined" | sort -u >"$tmp/defined-all"

words "$expected_functions $expected_objects" >"$tmp/expected"
words "$linker_markers" >"$tmp/markers"
sed 's/^/__odr_asan./' "$tmp/expected" >"$tmp/asan-indicators"
cat "$tmp/markers" "$tmp/asan-indicators" | sort -u >"$tmp/ignored"
comm -23 "$tmp/defined-all" "$tmp/ignored" >"$tmp/defined"

missing=$(comm -23 "$tmp/expected" "$tmp/defined")
extra=$(comm -13 "$tmp/expected" "$tmp/defined")
[ -n "$missing" ] && problem "expected names not exported: $(echo $missing)"
[ -n "$extra" ] && problem "names exported that must stay hidden: $(echo $extra)"

# Kinds: functions and data objects, from readelf's dynamic symbol table
# (columns: Num Value Size Type Bind Vis Ndx Name).
if ! "$READELF" -W --dyn-syms "$lib" >"$tmp/dynsyms" 2>"$tmp/re-err"; then
  echo "exports_test: $READELF --dyn-syms failed:" >&2
  cat "$tmp/re-err" >&2
  exit 2
fi
kind_of() {
  awk -v n="$1" '$7 != "UND" && NF >= 8 { name = $8; sub(/@.*/, "", name);
                 if (name == n) { print $4 " " $5; exit } }' "$tmp/dynsyms"
}
for name in $expected_functions; do
  kind=$(kind_of "$name")
  [ -z "$kind" ] && continue # already reported as missing
  case "$kind" in
  "FUNC GLOBAL") ;;
  *) problem "$name is '$kind', not a global function" ;;
  esac
done
for name in $expected_objects; do
  kind=$(kind_of "$name")
  [ -z "$kind" ] && continue
  case "$kind" in
  "OBJECT GLOBAL") ;;
  *) problem "$name is '$kind', not a global data object (struct sigaction)" ;;
  esac
done

# SONAME and dependencies.
"$READELF" -d "$lib" >"$tmp/dynamic" 2>/dev/null
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p' "$tmp/dynamic")
[ "$soname" = "libqxcurses.so.1" ] || problem "SONAME is '$soname', not libqxcurses.so.1"
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p' "$tmp/dynamic")
for lib_needed in $needed; do
  case "$lib_needed" in
  *qxhost*) problem "the module depends on the engine's library $lib_needed" ;;
  esac
done

# The engine's names: undefined here, so that the process supplies them.
"$NM" -D --undefined-only "$lib" | awk '{ sub(/@.*/, "", $NF); print $NF }' |
  sort -u >"$tmp/undefined"
for name in $engine_names; do
  if grep -qx "$name" "$tmp/defined-all"; then
    problem "the engine's name $name is defined in the module"
  elif ! grep -qx "$name" "$tmp/undefined"; then
    problem "the engine's name $name is not an undefined reference of the module"
  fi
done

if [ "$fail" -ne 0 ]; then
  echo "exported by $lib:"
  sed 's/^/  /' "$tmp/defined-all"
  exit 1
fi
echo "exports_test: $(wc -l <"$tmp/expected") names exported exactly, SONAME $soname," \
  "engine names undefined"
exit 0
