// Terminal modes and the curses screen: three termios snapshots taken once,
// the switch between cooked and the two raw modes, start-up and exit.
#include "module.h"

#include <curses.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int term_ready;                     // 0 until the snapshots are taken
static struct termios term_snap[3]; // the snapshots, indexed by TermMode
int term_mode;                      // TermMode last applied; 0: curses not active

volatile sig_atomic_t window_changed; // SIGWINCH came: the size is to be read
static struct sigaction engine_winch; // the engine's SIGWINCH action, chained to

// Records that the window changed size, and nothing more: the console takes
// the new size at its next safe point (output before a character, a wait for
// a key, re-entering the terminal), never here, where the shadow and curses
// may be half way through a change.  The engine's own handler, if it had one,
// runs after.
static void OnWindowSize(int signo, siginfo_t *info, void *context) {
  window_changed = 1;
  if (engine_winch.sa_flags & SA_SIGINFO) {
    if (engine_winch.sa_sigaction) engine_winch.sa_sigaction(signo, info, context);
  } else if (engine_winch.sa_handler != SIG_DFL && engine_winch.sa_handler != SIG_IGN) {
    engine_winch.sa_handler(signo);
  }
}

// Puts the console's own SIGWINCH handler in place of whatever curses
// installed when it started (its handler would resize curses' screens at a
// refresh, under the shadow); `before` is the engine's action from before
// curses, which the handler chains to.  SA_RESTART, so that no write of
// output breaks off for a window change; a wait for a key still ends with
// EINTR (ppoll is never restarted).  curses installs its handler only when it
// first starts: re-entering it after endwin leaves this one alone.
static void FollowWindowSize(const struct sigaction *before) {
  engine_winch = *before;
  struct sigaction act;
  memset(&act, 0, sizeof act);
  act.sa_sigaction = OnWindowSize;
  act.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&act.sa_mask);
  sigaction(SIGWINCH, &act, NULL);
}

// Reads the terminal's size (standard output first, then standard input);
// false when neither is a terminal or the size reads as zero.
int ReadWindowSize(int *columns, int *rows) {
  struct winsize ws;
  for (int fd = 1; fd >= 0; fd--) {
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
      *columns = ws.ws_col;
      *rows = ws.ws_row;
      return 1;
    }
  }
  return 0;
}

// Takes the three snapshots: the cooked terminal, the raw one curses makes
// with the stop and start characters disabled, and that without tty signals.
static void TakeSnapshots(void) {
  tcgetattr(0, &term_snap[COOKED]);
  struct sigaction winch;
  sigaction(SIGWINCH, NULL, &winch);
  initscr();
  ModelResumed(); // curses' set-up strings wait for its first refresh
  FollowWindowSize(&winch);
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
// the shadow when asked, and at the terminal's size if that changed.
void RestoreTermIO(int redraw) {
  SetTermMode(1 + Console->sig_state);
  // The window may have changed while the engine had the terminal (curses
  // was not there to see it): the size is read here whatever the flag says.
  if (TakeWindowSize(1)) return; // the screen was redrawn at the new size
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
