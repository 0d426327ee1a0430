// The line editor: reads one line from the keyboard into line_buf with echo,
// guarded against SIGINT, and acts on an interrupt by input mode.
#include "module.h"

#include <ctype.h>
#include <string.h>

LineEdit edit; // the line being edited

enum LineEnd { BY_ENTER, BY_EOF, BY_LIMIT };

// Ends the line: offers it to the history at the top level, logs it, adds the
// terminator (31 for Enter, the end-of-file byte, none at the limit), ends the
// echoed line, and puts the engine's SIGINT action back.
static void EndLine(ConsoleState *con, QxStream stream, enum LineEnd how) {
  edit.editing = 0;
  if (con->input_mode == TOPLEVEL) StoreHistoryLine(con);
  LogInputLine(con);
  if (how == BY_ENTER) con->line_buf[con->line_len++] = 31;
  if (how == BY_EOF) {
    int byte = con->eof_char & 0xff;
    con->line_buf[con->line_len++] = (unsigned char)byte;
    PrintCharVisible(stream, byte);
  }
  Stream__sputc(31, stream);
  DisarmGuard();
}

// The byte index just past the characters that fill row y up to its right
// edge (where the cursor stands after echoing into the last column).
static int RowEdge(ConsoleState *con, int y) {
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns, col = 0;
  for (int i = 0; i < len;) {
    int w, n = RowChar(row, len, i, &w);
    col += w;
    i += n;
    if (col >= con->columns) return i < len ? i : len;
  }
  return len;
}

// Puts the cursor at the right edge of the row above when it stands at the
// start of a row the line continues on, so that erasing works on the last
// character of that row by its bytes (a fixed column there could fall inside
// a multibyte character).
static void BackToRowAbove(ConsoleState *con) {
  if (con->cur_x != 0 || con->cur_y == 0) return;
  con->cur_y--;
  con->cur_x = RowEdge(con, con->cur_y);
}

// Drops the last byte position of the shadow without any output.
static void DropShadowByte(ConsoleState *con) {
  if (con->cur_x == 0) return;
  con->shadow[con->cur_y][--con->cur_x] = ' ';
}

// After the line's last character went, puts the cursor back where the line
// now ends when that character had started a new row before the right edge:
// at the blank last column of the row above, where the next byte goes (and
// where erasing goes on from), as after echoing the shorter line.
static void StepOverGap(ConsoleState *con) {
  int x = edit.gap_x[con->line_len];
  if (x < 0 || con->cur_x != 0 || con->cur_y == 0) return;
  con->cur_y--;
  con->cur_x = x;
  MoveToCursor(con);
}

// Appends one byte to the line and echoes it, noting where the row above
// ends when the echo starts a new row before the right edge (a character
// that does not fit in the last column).  The row it left must now be the
// row above: a one-row scroll region clears its row instead of moving it
// up, and leaves no gap to step over; what the line held before the echoed
// character is then gone from the screen (shown_from), and erasing it later
// only shortens the line.
void AppendEchoed(ConsoleState *con, int byte) {
  int at = con->line_len, x = con->cur_x;
  int col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  const unsigned char *row = con->shadow[con->cur_y];
  con->line_buf[con->line_len++] = (unsigned char)byte;
  EchoChar(con, byte & 0xff);
  int moved_up = con->cur_y > 0 && con->shadow[con->cur_y - 1] == row;
  edit.gap_x[at] = x > 0 && col < con->columns && con->cur_x == 1 && moved_up ? x : -1;
  if (con->shadow[con->cur_y] == row && con->cur_x <= x)
    edit.shown_from = at + 1 - con->cur_x; // the row was cleared under the line
}

// Shows the line being edited again, whole, after the window changed size
// while the editor waited for a key: from where its echo began (moved with
// its row by the resize, or the region's top row when that row is gone) to
// the end of the screen everything is cleared, and the line's bytes are
// echoed again at the new width.  Echoing them as typed keeps the wrap-gap
// bookkeeping right, so that erasing, the template and the history keys go on
// working across the new wrap.
void ReshowLine(ConsoleState *con) {
  if (!edit.editing || !edit.reading) return;
  int y = edit.start_y < con->rows ? edit.start_y : con->rows - 1;
  int x = edit.start_x < 4 * con->columns ? edit.start_x : 4 * con->columns;
  con->cur_y = y;
  con->cur_x = x;
  memset(con->shadow[y] + x, ' ', (size_t)(4 * con->columns - x));
  for (int r = y + 1; r < con->rows; r++)
    memset(con->shadow[r], ' ', (size_t)(4 * con->columns));
  int col = _Curses_num_cur_x(x, y);
  if (col < con->columns)
    ScrMove(y, col), ScrClearToBottom();
  else if (y + 1 < con->rows)
    ScrMove(y + 1, 0), ScrClearToBottom();
  ScrMove(y, CursorColumn(con));
  Refresh();
  int n = con->line_len;
  con->line_len = 0;
  edit.shown_from = 0;
  for (int i = 0; i < n; i++)
    AppendEchoed(con, con->line_buf[i]);
}

// Removes the line's last character, n bytes shown in w columns, from the
// line, the shadow and the terminal: the bytes beyond one per column leave
// the shadow silently, then each column is erased on the terminal.  For
// two-byte characters and three-byte ones of two columns this is one silent
// drop and two erased columns (or one of each for a one-column character);
// it also keeps the shadow and the cursor exact for four-byte characters and
// for three-byte ones of one column.  A width below 1 erases one column.
// The character is found back across the start of a row and across the
// blank that a character too wide for the last column left, so that every
// caller (ERASE, KILL_LINE, the recalls) can erase a whole line this way from
// its end.
void EraseLastChar(ConsoleState *con, int n, int w) {
  if (n > con->line_len) n = con->line_len;
  if (n < 1) return;
  con->line_len -= n;
  if (con->line_len < edit.shown_from) { // cleared from the screen already
    edit.shown_from = con->line_len;
    return;
  }
  BackToRowAbove(con);
  int columns = w < 1 ? 1 : (w > n ? n : w);
  for (int i = columns; i < n; i++)
    DropShadowByte(con);
  for (int i = 0; i < columns; i++)
    EraseColumn(con);
  StepOverGap(con);
}

// ERASE: removes the line's last character, found by walking the line from
// its start with the engine's lengths (a length of 0 or 1 takes one byte; one
// longer than the rest of the line takes the rest).  Asking the engine about
// the second-to-last byte instead would misjudge EUC-JP, whose trail bytes
// look like lead bytes: あb would lose its last two bytes, and a three-byte
// kanji only two.  On an empty top-level line ERASE steps back through the
// template instead.
static void EraseKey(ConsoleState *con) {
  edit.advanced = 0;
  edit.typed_tail = 0;
  int old = con->line_len;
  if (old == 0) {
    if (con->input_mode != TOPLEVEL || edit.tmpl_pos == 0)
      C_BELL();
    else
      StepBackTemplate(con);
    return;
  }
  int from = 0, w = 1;
  for (int i = 0; i < old;) {
    from = i;
    i += CharLength(con->line_buf + i, i, &w);
  }
  EraseLastChar(con, old - from, w);
  if (con->input_mode == TOPLEVEL && edit.tmpl_pos > con->line_len) StepBackTemplate(con);
}

// Appends a typed byte, echoes it, walks the template at the top level, and
// reports whether the line has reached its 256-byte limit.
static int OrdinaryByte(ConsoleState *con, int key) {
  int is_tail = edit.typed_tail > 0;
  if (is_tail) {
    edit.typed_tail--;
  } else if (Type_is_kanji1(key & 0xff)) {
    unsigned char buf[4] = {(unsigned char)key, 0, 0, 0};
    int w;
    int n = CharLength(buf, 0, &w);
    edit.typed_tail = n > 4 ? 3 : n - 1;
  }
  AppendEchoed(con, key);
  if (con->input_mode == TOPLEVEL && !edit.insert_mode) AdvanceTemplate(con, is_tail);
  return con->line_len >= QX_LINE_MAX;
}

// Runs a template or history key at the top level; returns 0 when the key is
// none of them.
static int TopLevelKey(ConsoleState *con, QxStream stream, int key) {
  const int32_t *k = con->edit_keys;
  if (key == k[COPY_CHAR])
    CopyCharKey(con);
  else if (key == k[COPY_REST])
    edit.insert_mode = 0, edit.advanced = 0, CopyFromTemplate(con);
  else if (key == k[SKIP_CHAR])
    SkipCharKey(con);
  else if (key == k[KILL_LINE])
    KillLineKey(con);
  else if (key == k[INSERT_TOGGLE])
    edit.insert_mode = !edit.insert_mode, edit.advanced = 0;
  else if (key == k[HIST_PREV])
    HistPrevKey(con);
  else if (key == k[HIST_NEXT])
    HistNextKey(con);
  else if (key == k[HIST_STORE])
    HistStoreKey(con);
  else if (key == k[HIST_LIST])
    HistListKey(con, stream);
  else
    return 0;
  edit.typed_tail = 0;
  return 1;
}

// Takes keys until the line ends.  End of standard input (-1) ends the line
// as the end-of-file key does: the reader gets what was typed, then end of
// file, once for each time it asks; the editor never makes bytes up.
static void KeyLoop(ConsoleState *con, QxStream stream) {
  for (;;) {
    edit.reading = 1;
    int key = NextKey(con, stream);
    edit.reading = 0;
    if (con->input_mode == TOPLEVEL && TopLevelKey(con, stream, key)) continue;
    if (key == con->edit_keys[ERASE]) {
      EraseKey(con);
    } else if (key == 13 || key == 10) {
      return EndLine(con, stream, BY_ENTER);
    } else if (key == con->eof_char || key == -1) {
      return EndLine(con, stream, BY_EOF);
    } else if (key >= 0 && key <= 127 && iscntrl(key)) {
      C_BELL();
      edit.advanced = 0;
    } else if (OrdinaryByte(con, key)) {
      return EndLine(con, stream, BY_LIMIT);
    }
  }
}

// The landing after an interrupt: the line is dropped and the input mode
// decides what the reader sees (an empty line, end of file, or the interrupt
// character).  The engine's SIGINT action is back in force.
static void Recover(void *ctx, ConsoleState *con, QxStream stream) {
  con->line_len = 0;
  switch (con->input_mode) {
  case TOPLEVEL:
    C_FlushTypeahead(1);
    Stream_sprntln(stream, " ABORT");
    Main_Quit();
    [[fallthrough]]; // then as in NORMAL mode
  case NORMAL:
    f_intr(ctx);
    con->line_len = 0;
    con->line_pos = con->line_buf;
    con->input_mode = NORMAL;
    break;
  case NOPROMPT:
    f_intr(ctx);
    con->line_pos = con->line_buf;
    con->input_mode = NOPROMPT;
    con->line_buf[0] = (unsigned char)con->eof_char;
    con->line_len = 1;
    break;
  default:
    C_FlushTypeahead(1);
    con->line_buf[0] = (unsigned char)con->intr_char;
    con->line_len = 1;
    break;
  }
}

// Reads one line into line_buf; afterwards line_len bytes from line_pos are
// the line for the reader (0 after some interrupts: the reader asks again).
void EditLine(void *ctx, ConsoleState *con, QxStream stream) {
  static int head;
  con->line_len = 0;
  con->line_pos = con->line_buf;
  edit.tmpl_pos = 0;
  head = con->history_head;
  edit.editing = edit.reading = 0;
  if (setjmp(line_jmp)) {
    edit.editing = edit.reading = 0;
    DisarmGuard(); // the handler may not have run: never arm over it
    Recover(ctx, con, stream);
    return;
  }
  edit.advanced = 0;
  edit.insert_mode = 0;
  edit.typed_tail = 0;
  edit.shown_from = 0;
  edit.tmpl = con->history[head];
  ArmLineGuard(con, stream);
  edit.first_recall = 1;
  edit.browse = 0;
  edit.start_y = con->cur_y;
  edit.start_x = con->cur_x;
  edit.editing = 1;
  KeyLoop(con, stream);
}
