#!/usr/bin/env bash
# Applies each one-line fault below alone to a copy of the tree, builds it and
# runs the suite (no packaging tests); prints what caught it, SURVIVED, or not
# applicable (text not found exactly once, or no build), then the totals.
#   tests/mutate.sh [ID...]     every mutant, or those listed
#   QX_MUTATE_DIR=/tmp/m        where the copy is built (default /tmp/qx-mutate)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="${QX_MUTATE_DIR:-/tmp/qx-mutate}"
export LC_ALL=C.UTF-8

# id | file | text | replacement | the fault
mutants() {
  cat <<'EOF'
1|src/screen/writer.cpp|  return col >= con->columns \|\||  return col > con->columns \|\||right edge: wraps one column late
2|src/screen/writer.cpp|(lead_wrap && Type_is_kanji1(ch) && col == con->columns - 1)|(lead_wrap && Type_is_kanji1(ch) && col == con->columns - 2)|lead byte wraps with two columns left
3|src/screen/scroll.cpp|  for (int i = top; i < con->rows - 1; i++)|  for (int i = top; i < con->rows - 2; i++)|scroll region rotates one row short
4|src/screen/scroll.cpp|  if (con->scroll_line > con->rows - 1) return con->rows - 1;|  if (con->scroll_line > con->rows - 1) return con->rows - 2;|scroll line clamped one row high
5|src/screen/scroll.cpp|    if (k == con->stop_char) return;|    if (k == con->stop_char) continue;|a further Ctrl-S does not let one row through
6|src/screen/scroll.cpp|    if (k == -1) {|    if (k == -2) {|flow-control wait at end of input never resumes
7|src/keys/keys.cpp|        con->output_stopped = 1;\n        continue;|        con->output_stopped = 0;\n        continue;|Ctrl-S read by the editor does not stop output
8|src/keys/keys.cpp|  case 'A':\n    return con->edit_keys[HIST_PREV];|  case 'A':\n    return con->edit_keys[HIST_NEXT];|up arrow mapped to the wrong key
9|src/keys/keys.cpp|  if (con->keyback_count != 0) return con->keyback[--con->keyback_count];|  if (con->keyback_count != 0) return con->keyback[0 * --con->keyback_count];|keyback stack read from the bottom
10|src/keys/keys.cpp|  if (con->typeahead_count >= QX_LINE_MAX) return;|  if (con->typeahead_count > QX_LINE_MAX) return;|typeahead ring overflows by one
11|src/keys/keys.cpp|  if (kanji) n = (v >> 24) ? 4 : (v >> 16) ? 3 : (v >> 8) ? 2 : 1;|  if (kanji) n = (v >> 24) ? 4 : (v >> 16) ? 3 : 1;|a two-byte key pushed back as one byte
12|src/term/interrupt.cpp|  intr_pending = guard != NULL ? INTR_PASSED_ON : INTR_NONE;|  intr_pending = guard != NULL ? INTR_RECORDED : INTR_NONE;|the scan takes a passed-on interrupt again (spins)
13|src/term/interrupt.cpp|  SendOutputNow();\n  sigset_t waiting = old;|  sigset_t waiting = old;|no flush before a blocking wait (late bell)
14|src/term/interrupt.cpp|  if (guard != NULL) sigaction(SIGINT, guard, NULL);|  (void)0;|the engine's SIGINT action not restored
15|src/term/interrupt.cpp|static void OnIntrLine(int) {\n  sigaction(SIGINT, &old_inp, NULL);|static void OnIntrLine(int) {|the editor's handler leaves itself installed
16|src/term/interrupt.cpp|  int echo = intr_echo && guard == &old_inp;|  int echo = 0;|the interrupt character not shown
17|src/term/interrupt.cpp|  sa.sa_flags = SA_NODEFER;|  sa.sa_flags = SA_NODEFER \| SA_RESTART;|a guard that restarts the read instead of breaking it
18|src/term/interrupt.cpp|    fcntl(0, F_SETFL, flags & ~O_NONBLOCK);|    fcntl(0, F_SETFL, flags);|O_NONBLOCK left on standard input after an interrupt
19|src/line/editor.cpp|  if (how == BY_ENTER) con->line_buf[con->line_len++] = 31;|  if (how == BY_ENTER) con->line_buf[con->line_len++] = 10;|the line ends in 10, not 31
20|src/line/editor.cpp|  if (con->input_mode == TOPLEVEL) StoreHistoryLine(con);\n  LogInputLine(con);|  if (con->input_mode == TOPLEVEL) StoreHistoryLine(con);|a finished line missing from the log
21|src/line/editor.cpp|    Stream_sprntln(stream, " ABORT");|    Stream_sprntln(stream, " ABORTED");|wrong abort text
22|src/line/editor.cpp|    } else if (key >= 0 && key <= 127 && iscntrl(key)) {|    } else if (key >= 0 && key < 27 && iscntrl(key)) {|control keys above 26 taken as text
23|src/line/editor.cpp|  return con->line_len >= QX_LINE_MAX;|  return con->line_len >= QX_LINE_MAX - 1;|the line ends one byte early
24|src/line/editor.cpp|  case NOPROMPT:\n    f_intr(ctx);|  case NOPROMPT:|NOPROMPT interrupt skips the engine's handler
25|src/line/template.cpp|  if (con->line_len + TemplateCharLength(edit.tmpl_pos) > QX_LINE_MAX - 1) {\n    C_BELL();\n    return;\n  }\n  CopyOneChar(con);|  if (con->line_len + TemplateCharLength(edit.tmpl_pos) > QX_LINE_MAX) {\n    C_BELL();\n    return;\n  }\n  CopyOneChar(con);|COPY_CHAR makes a 256-byte line
26|src/line/template.cpp|    con->template_mark[edit.tmpl_pos + i] = 0;|    (void)i;|SKIP_CHAR leaves the marks set
27|src/line/template.cpp|  edit.tmpl_pos += TemplateCharLength(edit.tmpl_pos);\n  edit.advanced = 1;|  edit.tmpl_pos += 1;\n  edit.advanced = 1;|the template advances by a byte, not a character
28|src/line/history.cpp|  if (n == 0 \|\| (n == 1 && b[0] == '?') \|\| (n == 2 && b[0] == '?' && b[1] == '-')) return;|  if (n == 0 \|\| (n == 1 && b[0] == '?')) return;|"?-" stored in the history
29|src/line/history.cpp|  if (edit.browse == 0) return NoRecall();|  if (edit.browse < 0) return NoRecall();|HIST_NEXT past the newest entry
30|src/line/conread.cpp|static const char *const toplevel_prompts[4] = {"!!", "\|\|", "! ", "\| "};|static const char *const toplevel_prompts[4] = {"!!", "\|\|", "! ", "\|"};|wrong top-level prompt
31|src/screen/output.cpp|  } while (con->cur_x % 8 != 0);|  } while (con->cur_x % 4 != 0);|tab stops every 4
32|src/screen/output.cpp|    con->cur_x = con->columns - 1;\n    ShowCursor(con);|    con->cur_x = con->columns;\n    ShowCursor(con);|backspace at a row start lands past the last column
33|src/screen/output.cpp|  if (con->log_stream == 0 \|\| (ch & 0xff00)) return;|  if (con->log_stream == 0 \|\| (ch & 0xff80)) return;|bytes above 127 missing from the log
34|src/screen/output.cpp|    ScrollUp(con, 1);\n  else\n    IQX_PUTCHAR(10);|    ScrollUp(con, 0);\n  else\n    IQX_PUTCHAR(10);|a newline's scroll ignores flow control
35|src/screen/output.cpp|  clearerr(stdout);\n}|}|stdout's error reported for every later character
36|src/screen/shadow.cpp|    if (!lead \|\| i + 1 >= x) {|    if (!lead \|\| i + 1 > x) {|a lead byte just before x counted whole
37|src/screen/shadow.cpp|  if (v >= limit) return limit - 1;|  if (v >= limit) return limit;|d_cursor past the edge clamped one past it
38|src/screen/shadow.cpp|    int skip_corner = wraps_at_once && y == con->rows - 1;|    int skip_corner = 0;|redraw writes the bottom-right cell of a terminal that wraps at once
39|src/screen/cursesio.cpp|int Refresh(void) {\n  FlushOut();|int Refresh(void) {|raw bytes and curses' output out of order
40|src/screen/cursesio.cpp|  CatchUp();\n  content_changed = 1;|  CatchUp();|a change to curses' picture not noted (refresh taken as cursor-only)
41|src/screen/cursesio.cpp|  } else if (y == term_y && x == term_x - 1 && term_x < COLS - 1 && cub1_cap) {|  } else if (y == term_y && x == term_x - 1 && term_x < COLS && cub1_cap) {|cursor_left from the last column
42|src/term/termio.cpp|  term_snap[RAW].c_cc[VSTOP] = 255;|  (void)0;|the tty driver keeps Ctrl-S
43|src/term/termio.cpp|  con->edit_keys[ERASE] = have ? (unsigned char)t.c_cc[VERASE] : 127;|  con->edit_keys[ERASE] = have ? (unsigned char)t.c_cc[VKILL] : 127;|erase key taken from the wrong character
44|src/term/termio.cpp|    if (term_mode != COOKED) endwin();|    (void)0;|leaving curses without endwin
45|src/builtins/key_builtins.cpp|  return Stream_isn_mbchar(buf, 0, &width) == 3;|  return Stream_isn_mbchar(buf, 0, &width) == 2;|d_keyin takes a three-byte key as two
46|src/console/console.cpp|  static const int32_t keys[10] = {0, 6, 1, 5, 17, 23, 21, 14, 20, 24};|  static const int32_t keys[10] = {0, 6, 1, 5, 18, 23, 21, 14, 20, 24};|wrong default KILL_LINE key
47|host/charset.cpp|  if (b >= 0xC2 && b <= 0xDF) return 2;|  if (b >= 0xC2 && b <= 0xDE) return 2;|a two-byte UTF-8 lead taken as a stray byte
48|src/screen/linelog.cpp|    Stream_sprnt(stream, "^%c", code + 64);|    Stream_sprnt(stream, "^%c", code + 63);|wrong caret form
49|src/screen/shadow.cpp|    if (con->cur_y + 1 < con->rows) ScrMove(con->cur_y + 1, 0), ScrClearToBottom();\n  } else {\n    ScrClearToBottom();|    if (con->cur_y + 1 < con->rows) ScrMove(con->cur_y + 1, 0), ScrClearToBottom();\n  } else {\n    ScrClearToEol();|d_cleos clears only its own row (old fault)
50|src/screen/scroll.cpp|  WriteByte(con, byte & 0xff, 0, 1);|  WriteByte(con, byte & 0xff, 0, 0);|echo keeps a wide character in the last column (old fault)
51|src/term/termio.cpp|  ModelResumed(); // curses' set-up strings wait for its first refresh|  (void)0;|curses' set-up strings never sent at start (old fault)
52|src/screen/writer.cpp|    if (con->cur_y == con->rows - 1 && OneRowRegion(con)) {|    if (0) {|one-row region writes above itself (old fault)
53|src/screen/rowcheck.cpp|  if (n == 1 && b[0] < 0x80) return -1;|  if (n == 1 && b[0] < 0x80) return b[0];|control bytes drawn as curses shows them (old fault)
54|src/line/template.cpp|    EraseLastChar(con, con->line_len - from, width);|    EraseLastChar(con, width, width);|kill line and recall erase a byte per column (old fault)
55|src/line/template.cpp|    k = PrevCharStart(k);|    k = k - 1;|template step-back searches byte by byte (old fault)
56|host/charset.cpp|  if (charset == HOST_EUCJP) return eucjp_lead_len((unsigned char)b) > 1;|  if (charset == HOST_EUCJP) return eucjp_lead_len((unsigned char)b) > 1 && b != 0x8E;|EUC-JP kana lead not a lead byte (old fault)
57|host/streams.cpp|    stream_error = errno != 0 ? std::strerror(errno) : "output error";|    (void)0;|stdout failure reported without its reason (old fault)
58|host/qxtop.cpp|  s.m.C_SetLog(0);\n  s.m.C_SetPrompt(PutAtom(0, ""));|  s.m.C_SetPrompt(PutAtom(0, ""));|the quit action's Enter logged as an empty line (old fault)
59|src/term/interrupt.cpp|  sigaddset(&block, SIGWINCH);|  (void)0;|a size change during the repaint for the last left for the next key
60|src/screen/cursesio.cpp|  CatchUp(); // curses resizes its picture as it is: what the fast path wrote first|  (void)0;|the repaint after a resize paints curses' stale picture
EOF
}

# Applies table line $2 to the tree $1: the one occurrence of its text (\n a
# new line, \| a bar) is replaced; exits 3 when it is not there exactly once.
apply() { # tree line
  python3 - "$@" <<'PY'
import re, sys
tree, line = sys.argv[1:3]
un = lambda f: f.replace('\\n', '\n').replace('\\|', '|')
_, path, frm, to, _ = map(un, re.split(r'(?<!\\)\|', line))
text = open(tree + '/' + path).read()
if text.count(frm) != 1:
    sys.exit(3)
open(tree + '/' + path, 'w').write(text.replace(frm, to))
PY
}

prepare() {
  rm -rf "$work/src-tree" "$work/clean" && mkdir -p "$work/src-tree"
  (cd "$root" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/src-tree")
  cp -a "$work/src-tree" "$work/clean" # the tree as it was: each mutant is undone from it
  cmake -S "$work/src-tree" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$work/build" -j"$(nproc)" >/dev/null || { echo "the clean tree does not build"; exit 1; }
  (cd "$work/build" && ctest -j"$(nproc)" -LE packaging --timeout 120 >/dev/null) ||
    { echo "the suite fails on the clean tree"; exit 1; }
}

# One mutant: applied, built, run until the first failing test, undone.
run_one() { # line
  local file what verdict=SURVIVED out
  IFS='|' read -r id file _ <<<"$1"
  what="${1##*|}"
  if ! apply "$work/src-tree" "$1"; then
    printf '%3s  not applicable  %s\n' "$id" "$what"; return 2
  fi
  if ! cmake --build "$work/build" -j"$(nproc)" >/dev/null 2>&1; then
    verdict="does not build"
  else
    out=$(cd "$work/build" && ctest -j"$(nproc)" -LE packaging --timeout 120 --stop-on-failure 2>&1)
    out=$(printf '%s\n' "$out" | sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*\(Failed\|Timeout\|Exception\).*/\1/p' | head -n 1)
    [ -n "$out" ] && verdict="caught by $out"
  fi
  cp "$work/clean/$file" "$work/src-tree/$file"
  printf '%3s  %-48s %s\n' "$id" "$verdict" "$what"
  case $verdict in caught*) return 0 ;; SURVIVED) return 1 ;; *) return 2 ;; esac
}

prepare
caught=0 survived=0 na=0
while IFS= read -r line; do
  if [ $# -gt 0 ] && ! printf ' %s ' "$@" | grep -q " ${line%%|*} "; then continue; fi
  run_one "$line"
  case $? in 0) caught=$((caught + 1)) ;; 1) survived=$((survived + 1)) ;; *) na=$((na + 1)) ;; esac
done < <(mutants)
cmake --build "$work/build" -j"$(nproc)" >/dev/null 2>&1 # back to the clean tree
echo "total: $((caught + survived + na)) mutants, $caught caught, $survived survived, $na not applicable"
