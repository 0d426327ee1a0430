// The console stream's put-character callback: control characters, tab
// stops, backspace, the bell, output errors and the log copy.
#include "module.h"

#include <stdio.h>

// Rings the terminal's bell through standard output; the bell goes out in
// order with the next refresh, which flushes standard output first.
int C_BELL(void) {
  return putc(7, stdout);
}

// Moves curses to the record's cursor and refreshes.
static void ShowCursor(ConsoleState *con) {
  ScrMove(con->cur_y, _Curses_num_cur_x(con->cur_x, con->cur_y));
  Refresh();
}

// Moves the cursor one byte position back without erasing, across the start
// of a row; on row 0 column 0 nothing happens.
static void Backspace(ConsoleState *con) {
  int col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  if (col >= con->columns) {
    con->cur_x--;
    if (TermFlag("am")) IQX_PUTCHAR(13), ShowCursor(con);
  } else if (col <= 0) {
    if (con->cur_y == 0) return;
    con->cur_y--;
    con->cur_x = con->columns - 1;
    ShowCursor(con);
  } else {
    con->cur_x--;
    ShowCursor(con);
  }
}

// Writes spaces up to the next tab stop (every 8 byte positions), never into
// the last column and never past the row's bytes.
static void Tab(ConsoleState *con) {
  do {
    if (_Curses_num_cur_x(con->cur_x, con->cur_y) >= con->columns - 1) return;
    if (con->cur_x >= 4 * con->columns - 1) return;
    ScrMove(con->cur_y, _Curses_num_cur_x(con->cur_x, con->cur_y));
    IQX_PUTCHAR(' ');
    con->shadow[con->cur_y][con->cur_x++] = ' ';
  } while (con->cur_x % 8 != 0);
}

// Ends the line: carriage return, then a line feed or a scroll at the bottom.
static void NewLine(ConsoleState *con) {
  con->cur_x = 0;
  IQX_PUTCHAR(13);
  if (++con->cur_y >= con->rows)
    ScrollUp(con, 1);
  else
    IQX_PUTCHAR(10);
}

// Moves one row down keeping the byte index; scrolls at the bottom.
static void VerticalTab(ConsoleState *con) {
  if (++con->cur_y >= con->rows) {
    ScrollUp(con, 1);
    return;
  }
  ScrMove(con->cur_y, CursorColumn(con));
  Refresh();
}

// Clears the terminal and the shadow and homes the cursor.
static void FormFeed(ConsoleState *con) {
  ClearTerminal();
  Refresh();
  con->cur_y = 0;
  con->cur_x = 0;
  BlankShadow(con);
}

// Acts on one character written to the console.  A control character ends
// a multibyte character whose bytes are still arriving.
static void Interpret(ConsoleState *con, int ch) {
  if ((unsigned)ch > 31) { // the common case first
    WriteByte(con, ch, 1, 1);
    return;
  }
  if ((ch >= 7 && ch <= 13) || ch == 31) EndOpenChar(con);
  switch (ch) {
  case 7:
    C_BELL();
    break;
  case 8:
    Backspace(con);
    break;
  case 9:
    Tab(con);
    break;
  case 10:
  case 31:
    NewLine(con);
    break;
  case 11:
    VerticalTab(con);
    break;
  case 12:
    FormFeed(con);
    break;
  case 13:
    con->cur_x = 0;
    IQX_PUTCHAR(13);
    break;
  default:
    WriteByte(con, ch, 1, 1);
    break;
  }
}

// Reports an error of standard output once (unless the engine is handling an
// interrupt) and clears it, so that output goes on.
static void CheckStdout(void) {
  if (!ferror(stdout)) return;
  if (!Interrupt) fprintf(stderr, "\a%s: stdout: %s\n", Argv[0], Stream_errmes());
  clearerr(stdout);
}

// Closes and forgets a log whose write failed, saying so on standard error.
void DropLog(ConsoleState *con) {
  fprintf(stderr, "\a%s: logfile: %s\n", Argv[0], Stream_errmes());
  fprintf(stderr, "nolog'ed.\n");
  Stream_sclose(con->log_stream);
  con->log_stream = 0;
}

// Copies a character to the log; values with bits 8..15 set are not logged.
static void CopyToLog(ConsoleState *con, int ch) {
  if (con->log_stream == 0 || (ch & 0xff00)) return;
  if (Stream__sputc(ch, con->log_stream) == -1 && !Interrupt) DropLog(con);
}

// The put-character callback of `user`: shows the character, keeps the
// shadow and cursor in step, checks standard output and copies to the log.
// A window size change recorded since the last character is taken first.
// Returns the character; the engine never sees an error from here.
int S_ConPutc(int ch, QxStream stream) {
  if (e_disp_flag) {
    IQX_PUTCHAR(ch);
    return ch;
  }
  FollowWindow(); // before a character's first byte only (see TakeWindowSize)
  ConsoleState *con = (ConsoleState *)Stream_GetStreamCon(stream);
  Interpret(con, ch);
  CheckStdout();
  CopyToLog(con, ch);
  return ch;
}
