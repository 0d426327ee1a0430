// The curses screen kept in step with what the console sends raw.
//
// Carriage return, line feed, the bell and terminfo strings go to standard
// output through stdio; curses writes through a buffer of its own with
// write(2) and knows nothing of bytes sent behind its back.  Two rules keep
// the terminal equal to the shadow screen:
//  - order: stdio is flushed before every curses refresh, so bytes reach the
//    terminal in call order (an empty flush makes no system call);
//  - model: after each raw byte curses is told what the terminal did: its
//    window cursor, its idea of the physical cursor (which it uses for
//    relative moves), and both of its screens when the terminal scrolls or is
//    cleared.  Nothing extra is sent for this.
#include "module.h"

#include <curses.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>

static int term_y, term_x; // where the terminal's cursor really is
static int belief_stale;   // curses' idea of the physical cursor is wrong
static int curses_pending; // curses has work that only a refresh does
static FILE *discard_sink; // a stream whose output goes nowhere

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
int TermWrapsAtOnce(void) {
  return TermFlag("am") && !TermFlag("xenl");
}

// A write function that throws bytes away without a system call.
static ssize_t DiscardWrite(void *, const char *, size_t n) {
  return (ssize_t)n;
}

// Makes curses believe the physical cursor is where it really is.  curses'
// cursor-motion routine records its target as the physical position and
// writes its motion through stdio's stdout; pointed at a sink, the motion goes
// nowhere.  SIGINT is held off meanwhile, since a handler may write to the
// terminal.
static void SyncBelief(void) {
  if (discard_sink == NULL) {
    cookie_io_functions_t io;
    memset(&io, 0, sizeof io);
    io.write = DiscardWrite;
    discard_sink = fopencookie(NULL, "w", io);
    if (discard_sink == NULL) return;
  }
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, &old);
  FILE *real = stdout;
  stdout = discard_sink;
  mvcur(-1, -1, term_y, term_x);
  __fpurge(discard_sink);
  stdout = real;
  sigprocmask(SIG_SETMASK, &old, NULL);
  belief_stale = 0;
}

// Refreshes stdscr after everything written through stdio, and records where
// the terminal's cursor now is (curses leaves it at the window's cursor).
int Refresh(void) {
  fflush(stdout);
  if (belief_stale) SyncBelief();
  int r = wrefresh(stdscr);
  getyx(stdscr, term_y, term_x);
  curses_pending = 0;
  return r;
}

// Notes that curses has work only a refresh does (a clear, a resume), so that
// nothing is written raw before it.
void MarkCursesPending(void) {
  curses_pending = 1;
}

// True when a byte may go raw to the terminal at (y, col): curses is active
// with nothing pending, and the terminal's cursor is there.
int CanWriteRaw(int y, int col) {
  return term_mode != COOKED && !curses_pending && y == term_y && col == term_x;
}

// Writes one byte of a character raw at (y, col), the terminal's cursor, and
// puts the same byte into both of curses' screens there, so that curses'
// next refresh finds nothing to send for it.  When the character is
// complete, the terminal's cursor is after it, where curses' window cursor
// now is; curses' idea of the physical cursor is corrected at the next
// refresh.
void WriteRawByte(int y, int col, int ch, int complete) {
  wmove(stdscr, y, col);
  waddch(stdscr, (chtype)ch);
  wmove(curscr, y, col);
  waddch(curscr, (chtype)ch);
  putc(ch, stdout);
  fflush(stdout);
  if (!complete) return;
  getyx(stdscr, term_y, term_x);
  belief_stale = 1;
}

// Sends one byte raw through stdio (without flushing: the next refresh does)
// and tells curses what a carriage return or a line feed did: the window's
// cursor follows the terminal's, and a line feed on the bottom row scrolls
// both of curses' screens as it scrolls the terminal.
void RawPut(int byte) {
  putc(byte, stdout);
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
  fflush(stdout);
  putp(s);
  fflush(stdout);
}

// Scrolls one window's rows top..bottom up by one, as the terminal did.  A
// region of one row (curses refuses it as a scroll region) is blanked.
static void ScrollWindow(WINDOW *w, int top) {
  int bottom = LINES - 1;
  if (top >= bottom) {
    wmove(w, bottom, 0);
    wclrtoeol(w);
    return;
  }
  wsetscrreg(w, top, bottom);
  scrollok(w, TRUE);
  wscrl(w, 1);
  scrollok(w, FALSE);
  wsetscrreg(w, 0, bottom);
}

// Tells curses that the terminal scrolled rows top..bottom up by one.
void ModelScrollRegion(int top) {
  int y, x;
  getyx(stdscr, y, x);
  ScrollWindow(curscr, top);
  ScrollWindow(stdscr, top);
  wmove(stdscr, y, x);
}

// Tells curses that the terminal was cleared and its cursor homed.
void ModelCleared(void) {
  werase(curscr);
  werase(stdscr);
  wmove(stdscr, 0, 0);
  term_y = term_x = 0;
  belief_stale = 1;
}

// After curses is re-entered its idea of the cursor is rebuilt by curses
// itself; ours follows at the next refresh.
void ModelResumed(void) {
  belief_stale = 0;
  curses_pending = 1;
}
