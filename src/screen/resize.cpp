// Following the window: the console takes a new terminal size at safe points
// only.  SIGWINCH merely records that the size changed (term/termio.cpp);
// the size is taken before the next character is written (never between the
// bytes of one character), when a wait for a key starts or wakes, and when
// the terminal is entered again.  Taking it reallocates the shadow, resizes
// curses, brings the cursor and the scroll line inside the screen, redraws
// the screen from the shadow, and shows the line being edited again.
#include "module.h"

// Takes the terminal's size when SIGWINCH recorded a change, or, with
// `read_always`, whenever it differs from the record's (a change made while
// curses was ended, or whose signal went to another handler).  Left for a
// later safe point while curses is not active or a multibyte character is
// open.  A burst of signals costs one resize: the flag is cleared before the
// size is read, so a change during the resize is taken at the next safe
// point and none is lost.  A size of 0, or a shadow that cannot be had,
// keeps the current size.  Returns whether the size changed (the screen was
// then redrawn).
int TakeWindowSize(int read_always) {
  ConsoleState *con = Console;
  if (!read_always && !window_changed) return 0;
  if (term_mode == COOKED || con == NULL || con->shadow == NULL || CharOpen()) return 0;
  window_changed = 0;
  int columns, rows;
  if (!ReadWindowSize(&columns, &rows)) return 0;
  if (columns == con->columns && rows == con->rows) return 0;
  if (!ResizeShadow(con, columns, rows)) return 0;
  ScrResize(rows, columns);
  S_redisplay();
  ReshowLine(con);
  return 1;
}
