// Terminal modes and the curses screen: three termios snapshots taken once,
// the switch between cooked and the two raw modes, start-up and exit.
#include "module.h"

#include <curses.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int term_ready;                     // 0 until the snapshots are taken
static struct termios term_snap[3]; // the snapshots, indexed by TermMode
int term_mode;                      // TermMode last applied; 0: curses not active

// The console keeps the screen size it read at start (the shadow is
// allocated once).  curses, left to itself, would follow a window-size change
// at its next refresh and resize its screens under the module; so the action
// for SIGWINCH that curses installs where it found the default one is taken
// back, and curses keeps the size it started with, like the console.  An
// engine's own SIGWINCH handler is left alone (curses installs none then).
static void KeepWindowSize(const struct sigaction *before) {
  if (before->sa_handler == SIG_DFL && !(before->sa_flags & SA_SIGINFO))
    sigaction(SIGWINCH, before, NULL);
}

// Takes the three snapshots: the cooked terminal, the raw one curses makes
// with the stop and start characters disabled, and that without tty signals.
static void TakeSnapshots(void) {
  tcgetattr(0, &term_snap[COOKED]);
  struct sigaction winch;
  sigaction(SIGWINCH, NULL, &winch);
  initscr();
  ModelResumed(); // curses' set-up strings wait for its first refresh
  KeepWindowSize(&winch);
  term_mode = RAW;
  setvbuf(stdout, NULL, _IOLBF, 8192);
  cbreak();
  nonl();
  noecho();
  typeahead(-1); // the module reads the keyboard itself: curses never polls it
  tcgetattr(0, &term_snap[RAW]);
  term_snap[RAW].c_cc[VSTART] = 255;
  term_snap[RAW].c_cc[VSTOP] = 255;
  term_ready = 1;
  term_snap[RAW_NOSIG] = term_snap[RAW];
  term_snap[RAW_NOSIG].c_cc[VINTR] = 255;
  term_snap[RAW_NOSIG].c_cc[VSUSP] = 255;
  term_snap[RAW_NOSIG].c_cc[VLNEXT] = 255;
}

// Applies a terminal mode, ending or re-entering curses where needed.  A mode
// outside 0..2 is ignored: no snapshot exists for it.  In the raw modes the
// applied snapshot also becomes curses' own program mode, so that curses,
// when it resumes after endwin, restores our attributes and not its own
// (which would give Ctrl-S and Ctrl-Q back to the terminal driver).
void SetTermMode(int mode) {
  if (mode < COOKED || mode > RAW_NOSIG) return;
  if (!term_ready) TakeSnapshots();
  if (mode == COOKED) {
    if (term_mode != COOKED) endwin();
    tcsetattr(0, TCSAFLUSH, &term_snap[COOKED]);
  } else {
    if (term_mode == COOKED) {
      initscr();
      ModelResumed();
    }
    tcsetattr(0, TCSAFLUSH, &term_snap[mode]);
    def_prog_mode();
  }
  fflush(stdout);
  fflush(stderr);
  term_mode = mode;
}

// Takes the terminal's characters, enters RAW, clears the screen and
// allocates the shadow.  Curses sends its own set-up strings (alternate
// screen, scroll region, its clear) only at its first refresh, which is
// therefore a real one (its work is marked pending when curses starts); that
// refresh is made before the clear_screen string, so the clear reaches the
// screen the console will use and not the one about to be left.  When descriptor 0 is no
// terminal, the usual characters are assumed: ^C, ^D and DEL.
void InitTermIO(void) {
  struct termios t;
  ConsoleState *con = Console;
  int have = tcgetattr(0, &t) == 0;
  con->stop_char = 19;
  con->start_char = 17;
  con->intr_char = have ? (unsigned char)t.c_cc[VINTR] : 3;
  con->eof_char = have ? (unsigned char)t.c_cc[VEOF] : 4;
  con->edit_keys[ERASE] = have ? (unsigned char)t.c_cc[VERASE] : 127;
  SetTermMode(RAW);
  Refresh();
  ClearTerminal();
  Refresh();
  con->columns = (int16_t)tigetnum((char *)"cols");
  con->rows = (int16_t)tigetnum((char *)"lines");
  fflush(stdout);
  AllocShadow();
}

// Leaves the curses screen for the cooked terminal, flushing output first
// when asked.
void SaveTermIO(int flush) {
  if (flush) fflush(stdout);
  SetTermMode(COOKED);
}

// Leaves the curses screen, flushing output first.
void ResetTermIO(void) {
  SaveTermIO(1);
}

// Puts the terminal back as it was found (starting curses once first, if it
// never ran, so that the snapshots exist).
void C_Sane(void) {
  SetTermMode(COOKED);
}

// Comes back to the curses screen in the raw mode in use, redrawing it from
// the shadow when asked.
void RestoreTermIO(int redraw) {
  SetTermMode(1 + Console->sig_state);
  if (redraw) S_redisplay();
}

// Chooses whether the interrupt, suspend and literal-next keys are special
// (0) or arrive as ordinary bytes (1); any non-zero state counts as 1, so the
// mode applied always exists.
void C_SetSigState(int state) {
  Console->sig_state = state ? 1 : 0;
  SetTermMode(Console->sig_state + 1);
}

// Resets the terminal and says goodbye on standard error in one write.
void ExittingMessage(void) {
  ResetTermIO();
  fwrite("Exit from Prolog\n", 1, 17, stderr);
}

// Stores the curses screen's width and height, or -1 twice before curses ever
// started.
void Curses_getTerminalWH(int *width, int *height) {
  if (stdscr == NULL) {
    *height = -1;
    *width = -1;
    return;
  }
  *height = getmaxy(stdscr);
  *width = getmaxx(stdscr);
}
