// Screen built-ins: cursor query, show and hide, placement and position,
// screen size, scroll line and redraw.
#include "module.h"

// d_redisp/0: redraws the screen from the shadow.
int P0_d_redisp(void) {
  S_redisplay();
  return 1;
}

// Sends a cursor visibility string and records the state.
static void ShowCursorState(const char *cap, int shown) {
  PutTermString(cap);
  Refresh();
  Console->cursor_shown = shown;
}

// d_cursor/1: an unbound argument is unified with the show or hide atom;
// those atoms show or hide the cursor; anything else is an argument error.
int B1_d_cursor(BuiltinFrame *frame, TermCell *a1) {
  TermCell *t = Dereference(a1);
  if (t->tag == QX_TAG_UNBOUND || t->tag == QX_TAG_UNBOUND2) {
    Prologue(frame);
    QxAtom answer = Console->cursor_shown ? QX_ATOM_CURSOR_ON : QX_ATOM_CURSOR_OFF;
    return unify_atomE_ex(frame, t, answer);
  }
  if (t->tag == QX_TAG_ATOM && t->value == QX_ATOM_CURSOR_ON) {
    ShowCursorState("cvvis", 1);
  } else if (t->tag == QX_TAG_ATOM && t->value == QX_ATOM_CURSOR_OFF) {
    ShowCursorState("civis", 0);
  } else {
    ArgError();
  }
  return 1;
}

// Entries read next_var_cell once: argument i of n lies n - i + 1 cells
// below it.

// Entry of d_cursor/1.
int64_t P1_d_cursor(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B1_d_cursor(frame, top - 1);
}

// d_cursor/2: moves the cursor to a 1-based column and row, clamped.
int B2_d_cursor(BuiltinFrame *, TermCell *a1, TermCell *a2) {
  int column = (int)Numeric_s_num_eval_int(a1);
  int row = (int)Numeric_s_num_eval_int(a2);
  C_SetCursor(column, row);
  return 1;
}

// Entry of d_cursor/2.
int64_t P2_d_cursor(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B2_d_cursor(frame, top - 2, top - 1);
}

// Unifies two integers in order, then runs the woken goals.
static int UnifyTwo(BuiltinFrame *frame, TermCell *a1, int64_t v1, TermCell *a2,
                    int64_t v2) {
  if (!unify_intE(frame, a1, v1)) return 0;
  if (!unify_intE(frame, a2, v2)) return 0;
  return Epilogue(frame);
}

// d_pos/2: the cursor's 1-based display column and row.
int B2_d_pos(BuiltinFrame *frame, TermCell *a1, TermCell *a2) {
  Prologue(frame);
  ConsoleState *con = Console;
  return UnifyTwo(frame, a1, _Curses_num_cur_x(con->cur_x, con->cur_y) + 1, a2,
                  con->cur_y + 1);
}

// Entry of d_pos/2.
int64_t P2_d_pos(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B2_d_pos(frame, top - 2, top - 1);
}

// d_screen/2: the screen's columns and rows, after taking a window size
// change that was signalled since the last safe point.
int B2_d_screen(BuiltinFrame *frame, TermCell *a1, TermCell *a2) {
  Prologue(frame);
  FollowWindow();
  return UnifyTwo(frame, a1, Console->columns, a2, Console->rows);
}

// Entry of d_screen/2.
int64_t P2_d_screen(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B2_d_screen(frame, top - 2, top - 1);
}

// d_scroll/2: unifies the old 1-based scroll line, then sets it from the
// second argument, kept inside the screen.
int B2_d_scroll(BuiltinFrame *frame, TermCell *a1, TermCell *a2) {
  ConsoleState *con = Console;
  Prologue(frame);
  if (!unify_intE(frame, a1, (int64_t)con->scroll_line + 1)) return 0; // any stored value
  int64_t line =
      (int64_t)(int32_t)Numeric_s_num_eval_int(a2) - 1; // no overflow at INT_MIN
  if (line < 0) line = 0;
  if (line >= con->rows) line = con->rows - 1;
  con->scroll_line = (int32_t)line;
  return Epilogue(frame);
}

// Entry of d_scroll/2.
int64_t P2_d_scroll(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B2_d_scroll(frame, top - 2, top - 1);
}
