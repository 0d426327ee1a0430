// The console's primitive screen writers: one character to the terminal,
// echo with wrapping, erasing one byte position, and scrolling the region
// below the scroll line with output flow control.
#include "module.h"

#include <string.h>

// Puts one character on the terminal and refreshes at once.  Carriage return
// and line feed go raw through standard output; everything else through
// curses (see ScrPutChar for the last column).
int IQX_PUTCHAR(int ch) {
  if (ch == 10 || ch == 13) {
    RawPut(ch);
    return Refresh();
  }
  return ScrPutChar(ch);
}

// Returns scroll_line kept inside the screen; the stored value is left alone.
static int ScrollTop(ConsoleState *con) {
  if (con->scroll_line < 0) return 0;
  if (con->scroll_line > con->rows - 1) return con->rows - 1;
  return con->scroll_line;
}

// Waits while output is stopped.  Each further stop character lets one row
// through; the start character resumes.  When the terminal's input has ended
// or keeps failing, a waiting poll returns at once with nothing: output then
// resumes rather than spinning on the dead input or waiting for ever.
static void FlowControlWait(ConsoleState *con) {
  int k = PollKey(con, 0);
  if (!con->output_stopped) {
    if (k != con->stop_char) return;
    con->output_stopped = 1;
    k = PollKey(con, 0);
    if (!con->output_stopped) return;
  }
  for (;;) {
    if (k == con->start_char) {
      con->output_stopped = 0;
      return;
    }
    if (k == con->stop_char) return;
    k = PollKey(con, 1);
    if (!con->output_stopped) return;
    if (k == -1) {
      con->output_stopped = 0;
      return;
    }
  }
}

// Draws shadow rows top..rows-1 over curses' screen, for a terminal that
// cannot delete a line: the region then moves by being redrawn.
static void RepaintRegion(ConsoleState *con, int top) {
  int wraps_at_once = TermWrapsAtOnce();
  for (int y = top; y < con->rows; y++) {
    ScrMove(y, 0);
    ScrClearToEol();
    DrawShadowRow(con, y, wraps_at_once && y == con->rows - 1);
  }
}

// Rotates the shadow's row pointers of the region up by one; the old top row
// becomes the bottom row.
static void RotateRows(ConsoleState *con, int top) {
  unsigned char *old_top = con->shadow[top];
  for (int i = top; i < con->rows - 1; i++)
    con->shadow[i] = con->shadow[i + 1];
  con->shadow[con->rows - 1] = old_top;
}

// Scrolls rows scroll_line..rows-1 up by one in the shadow and on the
// terminal, after honouring flow control when `wait` is set.  Leaves the
// cursor at column 0 of the bottom row, which is blank.
void ScrollUp(ConsoleState *con, int wait) {
  con->cur_y = con->rows - 1;
  if (wait) FlowControlWait(con);
  int top = ScrollTop(con);
  memset(con->shadow[top], ' ', con->columns);
  RotateRows(con, top);
  if (top == 0) {
    IQX_PUTCHAR(13);
    IQX_PUTCHAR(10);
  } else {
    ScrMove(top, 0);
    Refresh();
    if (TermString("dl1")) {
      PutTermString("dl1");
      ModelScrollRegion(top);
    } else {
      RepaintRegion(con, top);
    }
    Refresh();
  }
  ScrMove(con->rows - 1, CursorColumn(con));
  RefreshSoon(); // the clearing below refreshes at once
  P0_d_cleol();
}

// Moves curses to the display column of the record's cursor and refreshes.
void MoveToCursor(ConsoleState *con) {
  ScrMove(con->cur_y, _Curses_num_cur_x(con->cur_x, con->cur_y));
  Refresh();
}

// Steps the cursor back one byte position and blanks it, on the terminal and
// in the shadow, also across the start of a row.  curses is left aiming at the
// record's cursor, where the next character goes.
void EraseColumn(ConsoleState *con) {
  int col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  if (col >= con->columns) {
    con->cur_x--;
    if (TermFlag("am")) IQX_PUTCHAR(13);
    MoveToCursor(con); // without margins curses' own cursor went on to the next row
    IQX_PUTCHAR(' ');
    if (TermFlag("am")) IQX_PUTCHAR(13), MoveToCursor(con);
  } else if (col > 0) {
    con->cur_x--;
    MoveToCursor(con);
    IQX_PUTCHAR(' ');
    MoveToCursor(con);
  } else if (con->cur_y > 0) {
    con->cur_y--;
    con->cur_x = con->columns - 1;
    MoveToCursor(con);
    IQX_PUTCHAR(' ');
    if (TermFlag("am") && TermFlag("xenl"))
      IQX_PUTCHAR(13), MoveToCursor(con);
    else if (TermWrapsAtOnce())
      MoveToCursor(con);
  }
  con->shadow[con->cur_y][con->cur_x] = ' ';
  ScrMove(con->cur_y, _Curses_num_cur_x(con->cur_x, con->cur_y));
}

// Echoes one byte: written at the cursor like output, a scroll never waiting.
// Like output, a byte that leads a multibyte character with only the last
// column of the row left starts the next row, leaving that column blank: the
// terminal puts a double-width character there anyway, so an echo that kept
// it at the end of the row would part the shadow from the screen, and the
// next byte would be written over the character.
void EchoChar(ConsoleState *con, int byte) {
  WriteByte(con, byte & 0xff, 0, 1);
}
