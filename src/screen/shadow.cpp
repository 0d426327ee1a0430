// The shadow screen: one byte string per row holding what was written to each
// position, display columns of byte positions, cursor placement, clearing and
// the redraw of the whole screen.
#include "module.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Used when the shadow cannot be allocated: a one-cell screen, so that output
// goes on (everything scrolls through one cell) instead of failing later.
static unsigned char fallback_cells[4];
static unsigned char *fallback_rows[1] = {fallback_cells};
static unsigned char fallback_copy[4];

// What the last column count learnt about a row: the display columns of its
// first `len` bytes (which end on a character boundary), and a copy of those
// bytes to tell whether the row still starts with them.  Counting a column
// then walks only the bytes after them, so that the cost of a character does
// not grow with its column.
static struct {
  const unsigned char *row; // the row the count belongs to; NULL: none
  int len;                  // bytes counted
  int count;                // their display columns
  unsigned char *copy;      // the bytes counted (4 * columns bytes of room)
} walk_cache;

static unsigned char *shadow_block; // the block of the rows now in use; NULL: none

// Allocates the rows of a `rows` x `columns` shadow, 4 * `columns` bytes each,
// in one block followed by the walk cache's copy area, all spaces.  NULL (and
// nothing allocated) when the size is not positive, overflows 32 bits or
// cannot be had.
static unsigned char **NewShadow(int rows, int columns) {
  long long bytes = (long long)rows * 4 * columns;
  if (rows <= 0 || columns <= 0 || bytes + 4LL * columns > 0x7fffffff) return NULL;
  unsigned char **ptrs = (unsigned char **)malloc(sizeof(unsigned char *) * rows);
  unsigned char *block = (unsigned char *)malloc((size_t)(bytes + 4LL * columns));
  if (ptrs == NULL || block == NULL) {
    free(ptrs);
    free(block);
    return NULL;
  }
  memset(block, ' ', (size_t)bytes);
  for (int r = 0; r < rows; r++)
    ptrs[r] = block + (size_t)r * 4 * columns;
  return ptrs;
}

// Makes `ptrs` (from NewShadow, rows of the record's size) the shadow, with
// the walk cache's copy area after its rows, and frees the shadow it
// replaces.  The rows' order changes as the region scrolls, so the block is
// kept apart from them.
static void UseShadow(ConsoleState *con, unsigned char **ptrs) {
  if (con->shadow != NULL && con->shadow != fallback_rows) {
    free(shadow_block);
    free(con->shadow);
  }
  shadow_block = ptrs[0];
  con->shadow = ptrs;
  walk_cache.copy = ptrs[0] + (size_t)con->rows * 4 * con->columns;
  walk_cache.row = NULL;
}

// Allocates the shadow: `rows` rows of 4 * `columns` bytes in one block, all
// spaces.  A size that is not positive, overflows 32 bits or cannot be
// allocated leaves a one-cell screen and says so on standard error.
void AllocShadow(void) {
  ConsoleState *con = Console;
  unsigned char **ptrs = NewShadow(con->rows, con->columns);
  if (ptrs == NULL) {
    fprintf(stderr, "\a%s: screen: cannot keep a %dx%d screen\n", Argv[0], con->columns,
            con->rows);
    con->rows = con->columns = 1;
    con->shadow = fallback_rows;
    shadow_block = NULL;
    walk_cache.copy = fallback_copy;
    walk_cache.row = NULL;
  } else {
    UseShadow(con, ptrs);
  }
  BlankShadow(con);
}

// The bytes of a shadow row of `len` bytes that fit `columns` display
// columns and `room` bytes: the row is cut after its last whole character
// that does, counted as _Curses_num_cur_x counts.
static int CutRow(const unsigned char *row, int len, int columns, int room) {
  int col = 0, i = 0;
  while (i < len) {
    int w, n = RowChar(row, len, i, &w);
    if (col + w > columns || i + n > room) break;
    col += w;
    i += n;
  }
  return i;
}

// Where old row y goes in a shadow of `rows` rows when `drop` rows go: the
// rows above the scroll line `top` stay where they are when they fit (they
// are the engine's fixed rows, a status line, and output never scrolls
// them), and the rows that go are taken from the top of the scrolling region,
// as the scrolls that would have taken them; with no such fixed rows, or too
// many to fit, from the top of the screen.  -1: the row goes.
static int NewRowIndex(int y, int top, int drop, int rows) {
  int fixed = top > 0 && top < rows ? top : 0;
  int to = y < fixed ? y : y - drop;
  return to < fixed && y >= fixed ? -1 : (to < 0 || to >= rows ? -1 : to);
}

// Gives the shadow a new size: what fits of the old rows is kept, each row
// cut at the last whole character that fits the new width and padded with
// spaces.  The rows stay top-aligned unless the cursor's row would fall
// below the new bottom row; then just enough rows go (see NewRowIndex) for
// the cursor's row to become the bottom row, so that the cursor, and the line
// the user is typing at it, stay in view.  The cursor, the scroll line, the
// last character written and the line editor's start follow their rows.  The
// old block is freed: nothing may keep a row pointer across a call of the
// module.  False, with nothing changed, when the new shadow cannot be had.
int ResizeShadow(ConsoleState *con, int columns, int rows) {
  unsigned char **ptrs = NewShadow(rows, columns);
  if (ptrs == NULL) return 0;
  int top = con->scroll_line < 0 ? 0 : con->scroll_line;
  if (top > con->rows - 1) top = con->rows - 1;
  int drop = con->cur_y - (rows - 1);
  if (drop < 0) drop = 0;
  int char_y = LastCharRow(con), char_x = LastCharX(), char_row = -1;
  int cur_row = -1, cur_cut = 0, start_row = -1, start_cut = 0;
  for (int y = 0; y < con->rows; y++) {
    int to = NewRowIndex(y, top, drop, rows);
    if (to < 0) continue;
    int cut = CutRow(con->shadow[y], 4 * con->columns, columns, 4 * columns);
    memcpy(ptrs[to], con->shadow[y], (size_t)cut);
    if (y == con->cur_y) cur_row = to, cur_cut = cut;
    if (edit.editing && y == edit.start_y) start_row = to, start_cut = cut;
    if (y == char_y && char_x < cut) char_row = to;
  }
  int old_y = con->cur_y, old_x = con->cur_x;
  con->columns = columns;
  con->rows = rows;
  UseShadow(con, ptrs);
  con->cur_y = cur_row >= 0 ? cur_row : (old_y < rows ? old_y : rows - 1);
  con->cur_x = cur_row >= 0 && old_x < cur_cut ? old_x : (cur_row >= 0 ? cur_cut : 0);
  if (con->scroll_line > rows - 1) con->scroll_line = rows - 1;
  LastCharMoved(char_row >= 0 ? ptrs[char_row] : NULL);
  if (edit.editing) {
    edit.start_y = start_row >= 0 ? start_row : (top > 0 && top < rows ? top : 0);
    edit.start_x = start_row >= 0 && edit.start_x < start_cut ? edit.start_x
                   : start_row >= 0                           ? start_cut
                                                              : 0;
  }
  return 1;
}

// Makes every byte of every shadow row a space.
void BlankShadow(ConsoleState *con) {
  for (int r = 0; r < con->rows; r++)
    memset(con->shadow[r], ' ', 4 * con->columns);
}

// Returns the byte length of the character at bytes[0] (never below 1, so no
// walk can stand still) and stores its display width.  `index` is how many
// bytes of the same buffer lie before bytes[0]: the engine may read back that
// far to find where bytes[0] stands in its character (EUC-JP trail bytes look
// like lead bytes), so a copy of part of a row is asked about as index 0.
int CharLength(unsigned char *bytes, int index, int *width) {
  *width = 1;
  int n = Stream_isn_mbchar(bytes, index, width);
  return n < 1 ? 1 : n;
}

// The character at byte i of a shadow row of `len` bytes: returns its byte
// length (at least 1, never past the row's end) and stores its width.  A
// lead byte is measured on a copy of at most four bytes of the row, with 0
// where the row ends, asked about as index 0 (no byte of the copy lies
// before it); a lead byte that ends the row counts one byte, one column.
int RowChar(const unsigned char *row, int len, int i, int *w) {
  *w = 1;
  if (!Type_is_kanji1(row[i]) || i + 1 >= len) return 1;
  unsigned char buf[4];
  for (int k = 0; k < 4; k++)
    buf[k] = i + k < len ? row[i + k] : 0;
  int n = CharLength(buf, 0, w);
  return n > len - i ? len - i : n;
}

// Starts a column count of `row` up to x from what the last count learnt,
// when the row still begins with the bytes it counted; returns whether it
// could.
static int ResumeWalk(const unsigned char *row, int x, int *i, int *count) {
  *i = *count = 0;
  if (walk_cache.row != row || walk_cache.len > x) return 0;
  if (memcmp(row, walk_cache.copy, walk_cache.len) != 0) return 0;
  *i = walk_cache.len;
  *count = walk_cache.count;
  return 1;
}

// Remembers that the first `len` bytes of `row` take `count` columns; when
// the count resumed from what was learnt, only the new bytes are copied.
static void LearnWalk(const unsigned char *row, int len, int count, int resumed) {
  if (walk_cache.copy == NULL) return;
  int from = resumed ? walk_cache.len : 0;
  memcpy(walk_cache.copy + from, row + from, len - from);
  walk_cache.row = row;
  walk_cache.len = len;
  walk_cache.count = count;
}

// The display column of byte index x in shadow row y, counted from byte 0: a
// lead byte that is the last byte before x counts one column; a character
// that starts before x and reaches past it counts whole.  x is taken no
// further than the row's end.  Characters that end before x count the same
// whatever follows them, so a count resumes from the last one learnt.
int _Curses_num_cur_x(int x, int y) {
  ConsoleState *con = Console;
  if (x <= 0 || con->shadow == NULL || y < 0 || y >= con->rows) return 0;
  int len = 4 * con->columns;
  if (x > len) x = len;
  const unsigned char *row = con->shadow[y];
  int i, count;
  int resumed = ResumeWalk(row, x, &i, &count);
  int known = i, known_count = count;
  while (i < x) {
    unsigned char b = row[i];
    int lead = Type_is_kanji1(b);
    if (!lead || i + 1 >= x) {
      count++;
      i++;
      if (!lead) known = i, known_count = count;
      continue;
    }
    unsigned char buf[4]; // no byte before it: asked about as index 0
    for (int k = 0; k < 4; k++)
      buf[k] = (i + k < x) ? row[i + k] : 0;
    int width = 1;
    int n = CharLength(buf, 0, &width);
    count += width;
    i += n;
    if (i <= x) known = i, known_count = count;
  }
  if (!resumed || known > walk_cache.len) LearnWalk(row, known, known_count, resumed);
  return count;
}

// The terminal column that shows the record's cursor: its display column, or
// the last column when the cursor is at the right edge.
int CursorColumn(ConsoleState *con) {
  int col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  return col >= con->columns ? con->columns - 1 : col;
}

// The character at byte x of a shadow row, drawn from display column col:
// stores its byte length (no further than the row's end) and width, and
// returns 0 when a redraw stops before it (it would pass the right edge, or
// with `skip_corner` cover the bottom-right cell).
int DrawnChar(ConsoleState *con, const unsigned char *row, int x, int col,
              int skip_corner, int *n, int *w) {
  *n = RowChar(row, 4 * con->columns, x, w);
  return !(col + *w > con->columns || (skip_corner && col + *w >= con->columns));
}

// Draws shadow row y onto curses' screen, character by character, each as
// ShownCode says the terminal shows it: each run of non-space bytes after one
// move to the display column of its first byte, every byte of a multibyte
// character in order.  Drawing stops at the first
// character that would pass the right edge; with `skip_corner` (the bottom row
// of a terminal that wraps at once) it also stops before a character that
// would cover the bottom-right cell, which such a terminal cannot show
// without scrolling.  Columns are counted as _Curses_num_cur_x counts them.
void DrawShadowRow(ConsoleState *con, int y, int skip_corner) {
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns;
  int move_needed = 1, col = 0;
  for (int x = 0; x < len;) {
    int n, w;
    if (!DrawnChar(con, row, x, col, skip_corner, &n, &w)) return;
    if (row[x] == ' ') {
      move_needed = 1;
    } else {
      if (move_needed) ScrMove(y, col);
      if (ShownCodeOf(row + x, n, w) < 0) {
        for (int k = 0; k < w; k++)
          ScrAddByte('?');
      } else {
        for (int k = 0; k < n; k++)
          ScrAddByte(row[x + k]);
      }
      move_needed = 0;
    }
    col += w;
    x += n;
  }
}

// Copies shadow row y into `out` as the terminal shows it: each character
// the redraw draws (same stopping rule) as itself or as its '?' cells, and
// spaces after them up to the row's length.  A character shown as '?' never
// has fewer bytes than columns, so the copy fits.
static void ShownRow(ConsoleState *con, int y, int skip_corner, unsigned char *out) {
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns, col = 0, used = 0;
  for (int x = 0; x < len;) {
    int n, w;
    if (!DrawnChar(con, row, x, col, skip_corner, &n, &w)) break;
    if (ShownCodeOf(row + x, n, w) < 0) {
      memset(out + used, '?', (size_t)w);
      used += w;
    } else {
      memcpy(out + used, row + x, (size_t)n);
      used += n;
    }
    col += w;
    x += n;
  }
  if (used < len) memset(out + used, ' ', (size_t)(len - used));
}

// Sends shadow row y raw onto a blank terminal as DrawShadowRow draws it
// (same characters, same shown forms, same stopping rule): runs of
// characters, with blank runs of up to eight columns inside them sent as
// spaces and longer ones jumped.  Unless `as_itself` says the row check found
// every character shown as itself, the row is first copied as shown.
static void RepaintShadowRow(ConsoleState *con, int y, int skip_corner, int as_itself) {
  static unsigned char shown_row[4 * 1024];
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns, col = 0;
  if (!as_itself && len <= (int)sizeof shown_row) {
    ShownRow(con, y, skip_corner, shown_row);
    row = shown_row;
  }
  int run_x = -1, run_col = 0, end_x = 0, end_col = 0; // the run being gathered
  for (int x = 0; x < len;) {
    int n, w;
    if (!DrawnChar(con, row, x, col, skip_corner, &n, &w)) break;
    if (row[x] != ' ') {
      if (run_x >= 0 && col - end_col > 8) {
        RepaintRun(y, run_col, row + run_x, end_x - run_x, end_col - run_col);
        run_x = -1;
      }
      if (run_x < 0) run_x = x, run_col = col;
      end_x = x + n < len ? x + n : len;
      end_col = col + w;
    }
    col += w;
    x += n;
  }
  if (run_x >= 0) RepaintRun(y, run_col, row + run_x, end_x - run_x, end_col - run_col);
}

// Redraws the terminal from the shadow; the shadow and the cursor stay as
// they are.  Returns the result of the final refresh.  Each row curses' screen
// does not already show as the shadow says is cleared and drawn again; then
// the whole terminal is cleared and repainted from curses' screen, as after
// clearing that screen.  When every row was shown already, the shadow itself
// is sent raw instead (curses' picture is that screen already), which costs
// a fraction of curses' repaint.
int S_redisplay(void) {
  static unsigned char as_itself[1024]; // row y shows every character as itself
  ConsoleState *con = Console;
  int wraps_at_once = TermWrapsAtOnce(), shown = 1;
  for (int y = 0; y < con->rows; y++) {
    int skip_corner = wraps_at_once && y == con->rows - 1;
    int row_shown = RowShownAsShadow(con, y, skip_corner);
    if (y < 1024) as_itself[y] = row_shown == 1;
    if (row_shown) continue;
    shown = 0;
    ScrMove(y, 0);
    ScrClearToEol();
    DrawShadowRow(con, y, skip_corner);
  }
  ScrMove(con->cur_y, CursorColumn(con));
  if (shown && BeginRawRepaint()) {
    for (int y = 0; y < con->rows; y++)
      RepaintShadowRow(con, y, wraps_at_once && y == con->rows - 1,
                       y < 1024 && as_itself[y]);
    return EndRawRepaint();
  }
  ScrRepaintAll();
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
  ScrMove(con->rows - 1, con->columns - 1);
  RefreshSoon();
  ScrMove(y, x);
  Refresh();
  con->cur_y = y;
  con->cur_x = x;
}

// Clears curses' screen (the terminal follows at the next refresh) and the
// shadow, and homes the cursor.
int P0_d_clear(void) {
  ConsoleState *con = Console;
  ScrClearAll();
  con->cur_y = 0;
  con->cur_x = 0;
  BlankShadow(con);
  return 1;
}

// Writes spaces from the cursor's display column to the end of its row,
// starting at curses' own cursor.
// (The spaces are written by clearing stdscr to the end of the row from
// curses' cursor, which leaves the same cells blank.  A row that is blank
// there already, as after a scroll, is left untouched: stdscr shows what the
// terminal will, and curses need not compare it.)
static void SpacesToRowEnd(ConsoleState *con) {
  if (RowBlankFromCursor()) return;
  if (_Curses_num_cur_x(con->cur_x, con->cur_y) < con->columns) ScrClearToEol();
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
// whole shadow is blanked, while the terminal keeps the rows above the cursor
// and the part of its row left of it.  The spaces start at curses' own
// cursor, like d_cleol's; at the right edge the row has no column left and
// they start at the next row.
int P0_d_cleos(void) {
  ConsoleState *con = Console;
  if (_Curses_num_cur_x(con->cur_x, con->cur_y) >= con->columns) {
    if (con->cur_y + 1 < con->rows) ScrMove(con->cur_y + 1, 0), ScrClearToBottom();
  } else {
    ScrClearToBottom();
  }
  C_SetCursor(0, 0);
  BlankShadow(con);
  return 1;
}
