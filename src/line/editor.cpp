// The line editor: reads one line from the keyboard into line_buf with echo,
// guarded against SIGINT, and acts on an interrupt by input mode.
#include "module.h"

#include <ctype.h>

LineEdit edit; // the line being edited

// SIGINT while the editor waits: puts the engine's action back and records
// the interrupt, and that the partial line is to be logged and the interrupt
// character shown.  Those two are left to the reader (CheckInterrupt), which
// acts as soon as its read returns: done here they would re-enter curses and
// stdio from a signal that may have come in the middle of either.
void OnIntrLine(int) {
  sigaction(SIGINT, &old_inp, NULL);
  intr_echo = 1;
  intr_pending = 1;
}

enum LineEnd { BY_ENTER, BY_EOF, BY_LIMIT };

// Ends the line: offers it to the history at the top level, logs it, adds the
// terminator (31 for Enter, the end-of-file byte, none at the limit), ends the
// echoed line, and puts the engine's SIGINT action back.
static void EndLine(ConsoleState *con, QxStream stream, enum LineEnd how) {
  if (con->input_mode == TOPLEVEL) StoreHistoryLine(con);
  LogInputLine(con);
  if (how == BY_ENTER) con->line_buf[con->line_len++] = 31;
  if (how == BY_EOF) {
    int byte = con->eof_char & 0xff;
    con->line_buf[con->line_len++] = (unsigned char)byte;
    PrintCharVisible(stream, byte);
  }
  Stream__sputc(31, stream);
  DisarmReader(&old_inp);
  intr_saved = NULL;
}

// The byte index just past the characters that fill row y up to its right
// edge (where the cursor stands after echoing into the last column).
static int RowEdge(ConsoleState *con, int y) {
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns, col = 0;
  for (int i = 0; i < len;) {
    int n = 1, w = 1;
    if (Type_is_kanji1(row[i])) {
      unsigned char buf[4]; // no byte before it: asked about as index 0
      for (int k = 0; k < 4; k++)
        buf[k] = i + k < len ? row[i + k] : 0;
      n = CharLength(buf, 0, &w);
    }
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

// Erases the last character of the line, n bytes shown in w columns: the
// bytes beyond one per column leave the shadow silently, then each column is
// erased on the terminal.  For two-byte characters and three-byte ones of two
// columns this is one silent drop and two erased columns (or one of each for
// a one-column character); it also keeps the shadow and the cursor exact for
// four-byte characters and for three-byte ones of one column.  A character
// reported longer than the line removes the whole line, never more; a length
// of 0 or 1 removes one byte.  On an empty top-level line ERASE steps back
// through the template.
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
  int n = 1, w = 1;
  if (old >= 2) n = Stream_isn_mbchar(con->line_buf + old - 2, old - 2, &w);
  BackToRowAbove(con);
  if (old == 1 || n <= 1) {
    con->line_len = old - 1;
    EraseColumn(con);
  } else {
    if (n > old) n = old;
    con->line_len = old - n;
    int columns = w < 1 ? 1 : (w > n ? n : w);
    for (int i = columns; i < n; i++)
      DropShadowByte(con);
    for (int i = 0; i < columns; i++)
      EraseColumn(con);
  }
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
  con->line_buf[con->line_len++] = (unsigned char)key;
  EchoChar(con, key & 0xff);
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
    int key = NextKey(con, stream);
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
  intr_saved = NULL;
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
  if (setjmp(line_jmp)) {
    DisarmReader(&old_inp); // the handler may not have run: never arm over it
    Recover(ctx, con, stream);
    return;
  }
  edit.advanced = 0;
  edit.insert_mode = 0;
  edit.typed_tail = 0;
  intr_console = con;
  edit.tmpl = con->history[head];
  intr_stream = stream;
  ArmReader(OnIntrLine, &old_inp);
  edit.first_recall = 1;
  edit.browse = 0;
  KeyLoop(con, stream);
}
