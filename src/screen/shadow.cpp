// The shadow screen: one byte string per row holding what was written to each
// position, display columns of byte positions, cursor placement, clearing and
// the redraw of the whole screen.
#include "module.h"

#include <curses.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Used when the shadow cannot be allocated: a one-cell screen, so that output
// goes on (everything scrolls through one cell) instead of failing later.
static unsigned char fallback_cells[4];
static unsigned char *fallback_rows[1] = {fallback_cells};

// Allocates the shadow: `rows` rows of 4 * `columns` bytes in one block, all
// spaces.  A size that is not positive, overflows 32 bits or cannot be
// allocated leaves a one-cell screen and says so on standard error.
void AllocShadow(void) {
  ConsoleState *con = Console;
  long long bytes = (long long)con->rows * 4 * con->columns;
  unsigned char **rows = NULL;
  unsigned char *block = NULL;
  if (con->rows > 0 && con->columns > 0 && bytes <= 0x7fffffff) {
    rows = (unsigned char **)malloc(sizeof(unsigned char *) * con->rows);
    block = (unsigned char *)malloc((size_t)bytes);
  }
  if (rows == NULL || block == NULL) {
    free(rows);
    free(block);
    fprintf(stderr, "\a%s: screen: cannot keep a %dx%d screen\n", Argv[0], con->columns,
            con->rows);
    con->rows = con->columns = 1;
    con->shadow = fallback_rows;
  } else {
    for (int r = 0; r < con->rows; r++)
      rows[r] = block + (size_t)r * 4 * con->columns;
    con->shadow = rows;
  }
  BlankShadow(con);
}

// Makes every byte of every shadow row a space.
void BlankShadow(ConsoleState *con) {
  for (int r = 0; r < con->rows; r++)
    memset(con->shadow[r], ' ', 4 * con->columns);
}

// Returns the byte length of the character at bytes[0] (never below 1, so no
// walk can stand still) and stores its display width.
int CharLength(unsigned char *bytes, int index, int *width) {
  *width = 1;
  int n = Stream_isn_mbchar(bytes, index, width);
  return n < 1 ? 1 : n;
}

// The display column of byte index x in shadow row y, counted from byte 0: a
// lead byte that is the last byte before x counts one column; a character
// that starts before x and reaches past it counts whole.  x is taken no
// further than the row's end.
int _Curses_num_cur_x(int x, int y) {
  ConsoleState *con = Console;
  if (x <= 0 || con->shadow == NULL || y < 0 || y >= con->rows) return 0;
  int len = 4 * con->columns;
  if (x > len) x = len;
  const unsigned char *row = con->shadow[y];
  int i = 0, count = 0;
  while (i < x) {
    unsigned char b = row[i];
    if (!Type_is_kanji1(b) || i + 1 >= x) {
      count++;
      i++;
      continue;
    }
    unsigned char buf[4];
    for (int k = 0; k < 4; k++)
      buf[k] = (i + k < x) ? row[i + k] : 0;
    int width = 1;
    int n = CharLength(buf, i, &width);
    count += width;
    i += n;
  }
  return count;
}

// The terminal column that shows the record's cursor: its display column, or
// the last column when the cursor is at the right edge.
int CursorColumn(ConsoleState *con) {
  int col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  return col >= con->columns ? con->columns - 1 : col;
}

// Draws shadow row y onto curses' screen, character by character: each run
// of non-space bytes after one move to the display column of its first byte,
// every byte of a multibyte character in order.  Drawing stops at the first
// character that would pass the right edge; with `skip_corner` (the bottom row
// of a terminal that wraps at once) it also stops before a character that
// would cover the bottom-right cell, which such a terminal cannot show
// without scrolling.  Columns are counted as _Curses_num_cur_x counts them.
void DrawShadowRow(ConsoleState *con, int y, int skip_corner) {
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns;
  int move_needed = 1, col = 0;
  for (int x = 0; x < len;) {
    int n = 1, w = 1;
    if (Type_is_kanji1(row[x]) && x + 1 < len) {
      unsigned char buf[4];
      for (int k = 0; k < 4; k++)
        buf[k] = x + k < len ? row[x + k] : 0;
      n = CharLength(buf, x, &w);
    }
    if (col + w > con->columns || (skip_corner && col + w >= con->columns)) return;
    if (row[x] == ' ') {
      move_needed = 1;
    } else {
      if (move_needed) wmove(stdscr, y, col);
      for (int k = 0; k < n && x + k < len; k++)
        waddch(stdscr, row[x + k]);
      move_needed = 0;
    }
    col += w;
    x += n;
  }
}

// Redraws the terminal from the shadow; the shadow and the cursor stay as
// they are.  Returns the result of the final refresh.
int S_redisplay(void) {
  ConsoleState *con = Console;
  int wraps_at_once = TermWrapsAtOnce();
  wclear(stdscr);
  for (int y = 0; y < con->rows; y++)
    DrawShadowRow(con, y, wraps_at_once && y == con->rows - 1);
  wmove(stdscr, con->cur_y, CursorColumn(con));
  return Refresh();
}

// Clamps a 1-based coordinate to 1..limit and makes it 0-based.
static int Clamp1(int v, int limit) {
  if (v < 1) return 0;
  if (v >= limit) return limit - 1;
  return v - 1;
}

// Moves the cursor to a 1-based column and row, clamped to the screen, by way
// of the bottom-right cell; the column itself becomes the byte index.
void C_SetCursor(int column, int row) {
  ConsoleState *con = Console;
  int x = Clamp1(column, con->columns);
  int y = Clamp1(row, con->rows);
  wmove(stdscr, con->rows - 1, con->columns - 1);
  Refresh();
  wmove(stdscr, y, x);
  Refresh();
  con->cur_y = y;
  con->cur_x = x;
}

// Clears curses' screen (the terminal follows at the next refresh) and the
// shadow, and homes the cursor.
int P0_d_clear(void) {
  ConsoleState *con = Console;
  wclear(stdscr);
  con->cur_y = 0;
  con->cur_x = 0;
  BlankShadow(con);
  return 1;
}

// Writes spaces from the cursor's display column to the end of its row,
// starting at curses' own cursor.
static void SpacesToRowEnd(ConsoleState *con) {
  for (int col = _Curses_num_cur_x(con->cur_x, con->cur_y); col < con->columns; col++)
    waddch(stdscr, ' ');
}

// Clears from the cursor to the end of its row, then puts the cursor at the
// start of that row; the whole shadow row is blanked.
int P0_d_cleol(void) {
  ConsoleState *con = Console;
  SpacesToRowEnd(con);
  C_SetCursor(0, con->cur_y + 1);
  memset(con->shadow[con->cur_y] + con->cur_x, ' ', 4 * con->columns - con->cur_x);
  return 1;
}

// Clears from the cursor to the end of the screen, then homes the cursor; the
// whole shadow is blanked.
int P0_d_cleos(void) {
  ConsoleState *con = Console;
  SpacesToRowEnd(con);
  for (int r = con->cur_y + 1; r < con->rows; r++)
    for (int c = 0; c < con->columns; c++)
      waddch(stdscr, ' ');
  C_SetCursor(0, 0);
  BlankShadow(con);
  return 1;
}
