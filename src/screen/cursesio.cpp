// The curses screen kept in step with what the console sends raw.
//
// Carriage return, line feed, the bell, terminfo strings and plain characters
// written on the fast path go to standard output through stdio; curses writes
// through a buffer of its own with write(2) and knows nothing of bytes sent
// behind its back.  Three rules keep the terminal equal to the shadow screen:
//  - order: stdio is flushed before every curses refresh, so bytes reach the
//    terminal in call order (an empty flush makes no system call);
//  - content: curses' picture of the terminal (curscr) is only ever changed by
//    curses itself.  What was sent raw is put into stdscr, and a "silent"
//    refresh, whose output is thrown away because the terminal already shows
//    it, lets curses bring its picture (and the line hashes it keeps to spot
//    scrolling) up to date.  Characters written on the fast path are caught up
//    this way in one go, before curses is next asked to change anything;
//  - cursor: curses' idea of where the physical cursor is (it moves
//    relatively from there) is set to the truth before each real refresh.
// The content rule rests on every change to stdscr being announced
// (BeginChange) before it is made; so the drawing operations at the end of
// this file are the only way to curses' screen, and no other file of the
// module includes curses (term/termio.cpp starts and ends it; the test
// curses_confined checks this).
// A write that a signal interrupts while the terminal has no room loses
// bytes (stdio drops its buffer); the screen is then repainted whole.
#include "module.h"

#include <curses.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>
#include <term.h>
#include <unistd.h>

static int term_y, term_x;         // where the terminal's cursor really is
static int belief_stale;           // curses' idea of the physical cursor is wrong
static int curses_pending;         // curses has work that only a refresh does
static int curses_behind;          // stdscr holds raw-written text curscr lacks
static int content_changed;        // stdscr holds changes the terminal lacks
static int repaint_wanted;         // the terminal lost bytes: repaint it whole
static int wrap_term = -1;         // the terminal wraps at once (-1: not yet read)
static int motion_read;            // cup_cap and cub1_cap are read for this entry
static const char *cup_cap;        // the terminal's cursor_address, or NULL
static const char *cub1_cap;       // its cursor_left, or NULL
static int cub1_padded;            // cub1_cap asks for padding
static char cup_sent[64];          // the last cursor_address string sent ...
static int cup_y = -1, cup_x = -1; // ... the place it addressed ...
static int cup_padded;             // ... and whether it asks for padding
static int at_edge;                // a raw repaint filled the last column of term_y
static FILE *discard_sink;         // a stream whose output goes nowhere
static int null_fd = -1;           // /dev/null, where silent refreshes write

// Returns a terminfo boolean of the current terminal (0 when absent).
int TermFlag(const char *cap) {
  return tigetflag((char *)cap) > 0;
}

// Returns a terminfo string of the current terminal, NULL when it has none.
const char *TermString(const char *cap) {
  char *s = tigetstr((char *)cap);
  return (s == NULL || s == (char *)-1) ? NULL : s;
}

// True when writing the last column moves the terminal's cursor on at once.
// Read from the terminal's entry once each time curses is entered (the entry
// does not change while curses runs), since it is asked for every character.
int TermWrapsAtOnce(void) {
  if (wrap_term < 0) wrap_term = TermFlag("am") && !TermFlag("xenl");
  return wrap_term;
}

// A write function that throws bytes away without a system call.
static ssize_t DiscardWrite(void *, const char *, size_t n) {
  return (ssize_t)n;
}

// Called where a stdio call on standard output has just failed.  A SIGINT
// whose action lacks SA_RESTART, arriving while the terminal has no room,
// makes the write fail with EINTR before it sends anything; stdio then drops
// the buffered bytes and sets the error indicator.  That is no failure of
// the terminal, so it is not reported: the indicator is cleared and the next
// refresh repaints the whole screen from stdscr, which still holds what the
// lost bytes would have shown.  Other errors are left for the console's
// report.
static void NoteFailedWrite(void) {
  if (errno != EINTR) return;
  clearerr(stdout);
  repaint_wanted = 1;
  curses_pending = 1;
}

// Flushes standard output; see NoteFailedWrite for a flush that fails.
static void FlushOut(void) {
  if (fflush(stdout) == EOF) NoteFailedWrite();
}

// Sends what stdio holds for the terminal now (a bell, a cursor move left to
// go out with the next refresh), before the module waits for a key.
void SendOutputNow(void) {
  FlushOut();
}

// Writes one byte to standard output through stdio; a line feed flushes the
// line-buffered stream, and a failure is treated as by FlushOut.
static void PutOut(int byte) {
  if (putc(byte, stdout) == EOF) NoteFailedWrite();
}

// Holds SIGINT off (a handler may write to the terminal) or lets it in again.
static void HoldInterrupts(int hold, sigset_t *old) {
  if (!hold) {
    sigprocmask(SIG_SETMASK, old, NULL);
    return;
  }
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, old);
}

// Makes curses believe the physical cursor is where it really is.  curses'
// cursor-motion routine records its target as the physical position and
// writes its motion through stdio's stdout; pointed at a sink, the motion goes
// nowhere.
static void SyncBelief(void) {
  if (discard_sink == NULL) {
    cookie_io_functions_t io;
    memset(&io, 0, sizeof io);
    io.write = DiscardWrite;
    discard_sink = fopencookie(NULL, "w", io);
    if (discard_sink == NULL) return;
  }
  sigset_t old;
  HoldInterrupts(1, &old);
  FILE *real = stdout;
  stdout = discard_sink;
  mvcur(-1, -1, term_y, term_x);
  __fpurge(discard_sink);
  stdout = real;
  HoldInterrupts(0, &old);
  belief_stale = 0;
}

// Lets curses update its picture of the terminal to stdscr while everything it
// writes goes to /dev/null: the terminal already shows stdscr, because the
// bytes were sent raw.  Afterwards curses' idea of the physical cursor is
// wherever its discarded moves went, so it is marked stale.
static void SilentRefresh(void) {
  FlushOut();
  if (null_fd < 0) null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  sigset_t old;
  HoldInterrupts(1, &old);
  int out = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (null_fd < 0 || out < 0) {
    HoldInterrupts(0, &old);
    return;
  }
  dup2(null_fd, 1);
  wrefresh(stdscr);
  dup2(out, 1);
  close(out);
  HoldInterrupts(0, &old);
  curses_behind = 0;
  belief_stale = 1;
}

// Brings curses' picture up to date with characters written on the fast path.
static void CatchUp(void) {
  if (curses_behind) SilentRefresh();
}

// Called before stdscr is changed in a way the terminal does not show yet:
// first the fast-path characters are caught up, so that the silent refresh
// never swallows such a change.  Only the drawing operations below call it:
// they are the one way in for every change to curses' picture, so that none
// can be made without it.
static void BeginChange(void) {
  CatchUp();
  content_changed = 1;
}

// Sends one byte of a terminfo string to standard output.
static int OutByte(int byte) {
  PutOut(byte);
  return byte;
}

// Sends a terminfo string raw: byte by byte, or through tputs when it asks
// for padding (`padded`, found once when the string is read).
static void PutCap(const char *cap, int padded) {
  if (padded) {
    tputs(cap, 1, OutByte);
    return;
  }
  while (*cap)
    PutOut((unsigned char)*cap++);
}

// True when a terminfo string asks for padding.
static int Padded(const char *cap) {
  return cap != NULL && strstr(cap, "$<") != NULL;
}

// Sends the terminal's cursor_address string for (y, x); the string for the
// last place addressed is kept, since characters written over one another
// address the same place again and again.  False when there is none.
static int SendCursorAddress(int y, int x) {
  if (cup_cap == NULL) return 0;
  if (y != cup_y || x != cup_x) {
    const char *s = tiparm(cup_cap, y, x);
    if (s == NULL || strlen(s) >= sizeof cup_sent) return 0;
    strcpy(cup_sent, s);
    cup_y = y, cup_x = x;
    cup_padded = Padded(s);
  }
  PutCap(cup_sent, cup_padded);
  return 1;
}

// Reads the cursor motion strings of the terminal once for each time curses
// is entered.
static void ReadMotion(void) {
  if (motion_read) return;
  cup_cap = TermString("cup");
  cub1_cap = TermString("cub1");
  cub1_padded = Padded(cub1_cap);
  cup_y = cup_x = -1;
  motion_read = 1;
}

// Moves the terminal's cursor to (y, x) by itself, when that is the only
// difference between stdscr and the terminal: a carriage return to column 0
// of its row, cursor_left one column back (not from the last column, where
// terminals that wait to wrap disagree on where it goes), otherwise the
// terminal's cursor_address.  curses is not asked, so it need not first
// catch up with what was sent raw (after a scroll that meant comparing the
// whole screen for a cursor move).  False, with nothing sent, when the
// terminal cannot address the cursor.  Unless `flush` is set the move waits
// in stdio for what is sent next.
static int MoveCursorRaw(int y, int x, int flush) {
  ReadMotion();
  if (y == term_y && x == 0) {
    PutOut(13);
  } else if (y == term_y && x == term_x - 1 && term_x < COLS - 1 && cub1_cap) {
    PutCap(cub1_cap, cub1_padded);
  } else if (!SendCursorAddress(y, x)) {
    return 0;
  }
  if (flush) FlushOut();
  term_y = y;
  term_x = x;
  belief_stale = 1;
  return 1;
}

// Does a refresh whose only work is the cursor, without curses: true when
// stdscr holds nothing the terminal lacks and the terminal's cursor is, or
// has been sent (flushed when `flush` is set), where stdscr's is.
static int CursorOnlyRefresh(int flush) {
  if (curses_pending || content_changed) return 0;
  int y, x;
  getyx(stdscr, y, x);
  return (y == term_y && x == term_x) || MoveCursorRaw(y, x, flush);
}

// Refreshes stdscr after everything written through stdio, and records where
// the terminal's cursor now is (curses leaves it at the window's cursor).
// When stdscr holds nothing the terminal lacks and its cursor is where the
// terminal's is, there is nothing for curses to send and it is not asked.
int Refresh(void) {
  FlushOut();
  if (CursorOnlyRefresh(1)) return OK;
  CatchUp();
  FlushOut();
  if (belief_stale) SyncBelief();
  if (repaint_wanted) clearok(curscr, TRUE);
  repaint_wanted = 0;
  int r = wrefresh(stdscr);
  getyx(stdscr, term_y, term_x);
  curses_pending = content_changed = 0;
  return r;
}

// Like Refresh, except that a change of the cursor alone stays in stdio, to
// go out with the refresh the caller makes next (one write for a cursor
// that passes through a place on its way).
int RefreshSoon(void) {
  return CursorOnlyRefresh(0) ? OK : Refresh();
}

// Before a byte goes raw: nothing may be pending that only a real refresh
// would show.  (Fast-path characters may stay behind: the terminal shows
// them, and the next silent refresh catches them up together.)
static void Settle(void) {
  if (curses_pending || content_changed) Refresh();
}

// True when a byte may go raw to the terminal at (y, col): curses is active
// with nothing pending, and the terminal's cursor is there, or has just been
// sent there (the move goes out with the byte).  A character written away
// from the cursor then costs no curses refresh, whose search for the
// cheapest cursor motion grows with the column.
int CanWriteRaw(int y, int col) {
  if (term_mode == COOKED || curses_pending) return 0;
  if (y == term_y && col == term_x) return 1;
  return !content_changed && MoveCursorRaw(y, col, 0);
}

// Writes one byte of a character raw at (y, col), the terminal's cursor, and
// puts it into stdscr there; curses' own picture catches up later, in one
// silent refresh.  A character goes out when its last byte is there (its
// first bytes alone show nothing); the terminal's cursor is then after it,
// where stdscr's cursor now is.
void WriteRawByte(int y, int col, int ch, int complete) {
  wmove(stdscr, y, col);
  waddch(stdscr, (chtype)ch);
  PutOut(ch);
  curses_behind = 1;
  if (!complete) return;
  FlushOut();
  getyx(stdscr, term_y, term_x);
  belief_stale = 1;
  if (repaint_wanted) Refresh();
}

// Writes the n bytes of one multibyte character raw at (y, col), the
// terminal's cursor, as WriteRawByte writes a single byte; stdscr takes the
// character `wc` (as the locale decodes the bytes) in one piece, which costs
// curses less than gathering the bytes one by one.
void WriteRawChar(int y, int col, const unsigned char *bytes, int n, long wc) {
  wchar_t text[2] = {(wchar_t)wc, 0};
  cchar_t cell;
  setcchar(&cell, text, A_NORMAL, 0, NULL);
  wmove(stdscr, y, col);
  wadd_wch(stdscr, &cell);
  for (int i = 0; i < n; i++)
    PutOut(bytes[i]);
  curses_behind = 1;
  FlushOut();
  getyx(stdscr, term_y, term_x);
  belief_stale = 1;
  if (repaint_wanted) Refresh();
}

// Sends one byte raw through stdio (without flushing: the next refresh does)
// and tells curses what a carriage return or a line feed did: the window's
// cursor follows the terminal's, and a line feed on the bottom row scrolls
// curses' screen as it scrolls the terminal.
void RawPut(int byte) {
  Settle();
  PutOut(byte);
  if (byte == 13) {
    term_x = 0;
  } else if (byte == 10) {
    if (term_y < LINES - 1)
      term_y++;
    else
      ModelScrollRegion(0);
  } else {
    return;
  }
  wmove(stdscr, term_y, term_x);
  belief_stale = 1;
}

// Sends a terminfo string of the current terminal raw; nothing when the
// terminal lacks it.
void PutTermString(const char *cap) {
  const char *s = TermString(cap);
  if (s == NULL) return;
  Settle();
  FlushOut();
  putp(s);
  FlushOut();
}

// Starts repainting a terminal whose curses screen is right already, by
// sending it that screen raw: clear_screen first.  curses' own repaint would
// send much the same bytes, at a cost that grows with every cell.  curses'
// picture first catches up with stdscr, which the repaint is about to show.
// False, with nothing sent, when curses has work pending or the terminal
// lacks clear_screen or cursor_address.
int BeginRawRepaint(void) {
  if (term_mode == COOKED || curses_pending) return 0;
  ReadMotion();
  const char *clear = TermString("clear");
  if (clear == NULL || cup_cap == NULL) return 0;
  CatchUp();
  FlushOut();
  PutCap(clear, Padded(clear));
  term_y = term_x = at_edge = 0;
  return 1;
}

// Moves the cursor for a raw repaint: cursor_address after the last column
// was filled (terminals that wait to wrap differ there), carriage return and
// line feeds down to the start of a row close below, otherwise as any raw
// move.
static void RepaintGoto(int y, int x) {
  if (at_edge) {
    at_edge = 0;
    SendCursorAddress(y, x);
    term_y = y, term_x = x;
  } else if (x == 0 && y > term_y && y - term_y <= 4) {
    if (term_x != 0) PutOut(13);
    for (int k = term_y; k < y; k++)
      PutOut(10);
    term_y = y, term_x = 0;
  } else if (y != term_y || x != term_x) {
    MoveCursorRaw(y, x, 0);
  }
}

// Sends `n` bytes of row y raw, from display column `col` on, where the
// terminal is blank; they take `cols` columns and never the bottom-right
// cell of a terminal that wraps at once.
void RepaintRun(int y, int col, const unsigned char *bytes, int n, int cols) {
  RepaintGoto(y, col);
  for (int i = 0; i < n; i++)
    PutOut(bytes[i]);
  term_x = col + cols;
  if (term_x < COLS) return;
  if (TermWrapsAtOnce()) {
    term_y++, term_x = 0;
  } else {
    term_x = COLS - 1, at_edge = 1;
  }
}

// Ends a raw repaint: the cursor goes to stdscr's and everything is sent;
// stdscr, curses' picture and the terminal agree again.
int EndRawRepaint(void) {
  int y, x;
  getyx(stdscr, y, x);
  RepaintGoto(y, x);
  FlushOut();
  content_changed = 0;
  belief_stale = 1;
  return OK;
}

// Scrolls stdscr's rows top..bottom up by one, as the terminal did.  A region
// of one row (curses refuses it as a scroll region) is blanked.
static void ScrollStdscr(int top) {
  int bottom = LINES - 1;
  if (top >= bottom) {
    wmove(stdscr, bottom, 0);
    wclrtoeol(stdscr);
    return;
  }
  wsetscrreg(stdscr, top, bottom);
  scrollok(stdscr, TRUE);
  wscrl(stdscr, 1);
  scrollok(stdscr, FALSE);
  wsetscrreg(stdscr, 0, bottom);
}

// Tells curses that the terminal scrolled rows top..bottom up by one (a raw
// line feed on the bottom row, or a deleted line).  Only stdscr is scrolled:
// like text sent raw, the scroll is on the terminal already, so curses'
// picture may catch up later, once for any number of lines (a refresh after
// each scroll compared the whole screen for every line written).
void ModelScrollRegion(int top) {
  int y, x;
  getyx(stdscr, y, x);
  ScrollStdscr(top);
  wmove(stdscr, y, x);
  curses_behind = 1;
}

// True when stdscr's row holds nothing but blanks from its cursor to the
// right edge, so that clearing there would change nothing.
int RowBlankFromCursor(void) {
  static cchar_t cells[1024];
  cchar_t blank;
  int n = COLS - getcurx(stdscr);
  if (n <= 0 || n > (int)(sizeof cells / sizeof cells[0])) return 0;
  if (wgetbkgrnd(stdscr, &blank) != OK) return 0;
  if (win_wchnstr(stdscr, cells, n) == ERR) return 0;
  for (int i = 0; i < n; i++)
    if (memcmp(&cells[i], &blank, sizeof blank) != 0) return 0;
  return 1;
}

// Tells curses that the terminal was cleared and its cursor homed.
void ModelCleared(void) {
  werase(stdscr);
  wmove(stdscr, 0, 0);
  SilentRefresh();
  term_y = term_x = 0;
  belief_stale = 1;
}

// Clears the terminal and homes its cursor: with its clear_screen string,
// sent raw, when it has one; otherwise curses clears it by the means the
// terminal has, so that the terminal still ends up blank like the shadow.
void ClearTerminal(void) {
  if (TermString("clear") == NULL) {
    BeginChange();
    wclear(stdscr);
    Refresh();
    return;
  }
  PutTermString("clear");
  ModelCleared();
}

// After curses is entered or re-entered it rebuilds its idea of the cursor
// itself, and its set-up strings (or its resume) are the next refresh's work:
// that refresh must be a real one, sent to the terminal.
void ModelResumed(void) {
  belief_stale = 0;
  wrap_term = -1;
  motion_read = 0;
  curses_behind = 0;
  curses_pending = 1;
}

// Gives curses' screens the new size of the window (curses keeps what fits
// of stdscr) and has the next refresh clear the terminal and paint all of
// stdscr: what the terminal shows after a size change is not known.  The
// bookkeeping starts again as after curses is entered: the cursor motion
// strings and the wrap flag are read again, the raw writer's idea of the
// terminal's cursor is the home the repaint's clear leaves it at.
void ScrResize(int height, int width) {
  CatchUp(); // curses resizes its picture as it is: what the fast path wrote first
  FlushOut();
  resizeterm(height, width);
  ModelResumed();
  repaint_wanted = 1;
  content_changed = 1;
  term_y = term_x = 0;
}

// ---- The one way in for every change to curses' screen ----------------------
// No other file draws on curses' screen: each operation below does the
// bookkeeping (BeginChange) itself, so that no change can reach stdscr
// without it and be taken for one the terminal shows already.

// Moves curses' cursor, where the next character goes and where the next
// refresh puts the terminal's cursor.  A move changes no content: a refresh
// compares the cursor with the terminal's by itself.
void ScrMove(int y, int x) {
  wmove(stdscr, y, x);
}

// Adds one byte at curses' cursor; the bytes of a multibyte character go
// one by one, in order, at the place of its first byte.
void ScrAddByte(int ch) {
  BeginChange();
  waddch(stdscr, (chtype)ch);
}

// Clears curses' screen from its cursor to the end of that row.
void ScrClearToEol(void) {
  BeginChange();
  wclrtoeol(stdscr);
}

// Clears curses' screen from its cursor to the end of the screen.
void ScrClearToBottom(void) {
  BeginChange();
  wclrtobot(stdscr);
}

// Clears curses' screen; the terminal is cleared at the next refresh, and
// nothing goes raw before that refresh.
void ScrClearAll(void) {
  BeginChange();
  wclear(stdscr);
  curses_pending = 1;
}

// Has the next refresh clear the terminal and draw all of curses' screen.
void ScrRepaintAll(void) {
  BeginChange();
  clearok(stdscr, TRUE);
}

// Adds one character at curses' cursor and refreshes at once.  When it fills
// the last column of a terminal that does not wrap at once, the terminal's
// cursor stays on that column (the record's right edge) while curses goes on
// writing at the start of the next row.
int ScrPutChar(int ch) {
  BeginChange();
  int y0, x0, y1, x1;
  getyx(stdscr, y0, x0);
  int added = waddch(stdscr, (chtype)ch);
  getyx(stdscr, y1, x1);
  int wrapped = (y1 == y0 + 1 && x1 == 0) ||
                (added == ERR && y0 == LINES - 1 && y1 == y0 && x1 == COLS - 1);
  if (!wrapped || TermWrapsAtOnce()) return Refresh();
  wmove(stdscr, y0, COLS - 1);
  int r = Refresh();
  wmove(stdscr, y1, x1);
  return r;
}

// Reads what curses' screen holds in row y: one code for each character (the
// second cell of a double-width one is not counted), at most n: ' ' for a
// blank cell, the character for a cell holding one character without
// attributes or colour, -2 for anything else.  Returns how many were read, or
// -1 when the row cannot be read.  (The bits that count columns inside a wide
// character are no attribute: curses keeps them in the same field.)
int ScrReadRow(int y, long *codes, int n) {
  static cchar_t cells[1025];
  cchar_t blank;
  if (n > 1024 || wgetbkgrnd(stdscr, &blank) != OK) return -1;
  int cy, cx;
  getyx(stdscr, cy, cx);
  int read = mvwin_wchnstr(stdscr, y, 0, cells, n);
  wmove(stdscr, cy, cx);
  if (read == ERR) return -1;
  int i = 0;
  for (; i < n && cells[i].chars[0] != 0; i++) {
    const cchar_t *c = &cells[i];
    int plain = c->chars[1] == 0 && (c->attr & A_ATTRIBUTES) == 0 && c->ext_color == 0;
    if (plain && c->chars[0] != ' ')
      codes[i] = c->chars[0];
    else
      codes[i] = memcmp(c, &blank, sizeof blank) == 0 ? ' ' : -2;
  }
  return i;
}
