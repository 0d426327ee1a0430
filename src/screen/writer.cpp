// Writing one byte of a character at the cursor: the shadow and the cursor
// are kept in step, long lines wrap, the bottom row scrolls, and curses is
// told exactly where each character goes.
//
// Multibyte characters arrive one byte per call.  Their bytes are stored in
// the shadow as they arrive and shown when the last one is there, at the
// shadow position of the first byte (a scroll may have moved its row
// meanwhile), as ShownCode says the terminal shows the shadow's character:
// so the live screen and a redraw from the shadow cannot differ.
//
// A character that goes where the terminal's cursor already is, ends before
// the last column, and finds curses with no work pending, is written raw: its
// bytes go through stdio and curses' two screens take the same character
// without a refresh (see WriteRawByte).  The terminal then receives exactly
// what a refresh would have sent, at the cost of one write per character.
#include "module.h"

#include <string.h>

// The character whose bytes are still arriving, or the last one written.
static struct {
  int left;           // bytes still to come; 0: no character is open
  unsigned char *row; // shadow row holding its first byte
  int x;              // byte index of its first byte in that row
  int col, col_y;     // its display column while its row is at index col_y;
                      // col -1: not known
} open_char;

// Returns the current index of a shadow row (rows move when the region
// scrolls), looking near the cursor first; -1 when it is gone.
static int RowIndex(ConsoleState *con, const unsigned char *row) {
  for (int d = 0; d < 2; d++) {
    int y = con->cur_y - d;
    if (y >= 0 && con->shadow[y] == row) return y;
  }
  for (int y = 0; y < con->rows; y++)
    if (con->shadow[y] == row) return y;
  return -1;
}

// True while the bytes of a multibyte character are still arriving: the
// shadow must then keep its size until the character is whole.
int CharOpen(void) {
  return open_char.left > 0;
}

// The row index of the last character written, for a resize; -1: none.
int LastCharRow(ConsoleState *con) {
  return open_char.row == NULL ? -1 : RowIndex(con, open_char.row);
}

// The byte index of the last character written in its row.
int LastCharX(void) {
  return open_char.x;
}

// After a resize: the last character written is now in `row` (NULL: it went
// with its row), so that no pointer into the freed shadow is kept; its
// column is counted again when it is next needed.
void LastCharMoved(unsigned char *row) {
  open_char.row = row;
  open_char.col = -1;
  if (row == NULL) open_char.x = 0;
}

// Starts a character at the stored byte, at display column col of row y (-1:
// not known): multibyte when its first byte leads one of more than one byte.
// Returns whether it does.
static int OpenChar(unsigned char *row, int x, int ch, int col, int y) {
  open_char.left = 0;
  open_char.row = row;
  open_char.x = x;
  open_char.col = col;
  open_char.col_y = y;
  if (!Type_is_kanji1(ch)) return 0;
  unsigned char buf[4] = {(unsigned char)ch, 0, 0, 0};
  int width;
  int n = CharLength(buf, 0, &width);
  open_char.left = n > 4 ? 3 : n - 1;
  return 1;
}

// The row and display column where the open character's first byte now is;
// false when its row has scrolled away.  The column found when the character
// was opened holds while its row has not moved (nothing is written before
// the character in its row meanwhile); it saves counting the row again.
static int OpenCharPlace(ConsoleState *con, int *y, int *col) {
  *y = RowIndex(con, open_char.row);
  if (*y < 0) return 0;
  if (open_char.col >= 0 && *y == open_char.col_y)
    *col = open_char.col;
  else
    *col = _Curses_num_cur_x(open_char.x, *y);
  return 1;
}

// Shows the single byte `ch` just written (its low 8 bits stored in the
// shadow): printable ASCII raw when it ends before the last column and the
// terminal's cursor is there or can be put there; otherwise through curses,
// as itself when the terminal can show it and as '?' when not.
static void ShowSingle(ConsoleState *con, int ch) {
  int y, col;
  if (!OpenCharPlace(con, &y, &col)) return;
  if (ch >= 0x20 && ch <= 0x7e && col + 1 < con->columns && CanWriteRaw(y, col)) {
    WriteRawByte(y, col, ch, 1);
    return;
  }
  unsigned char b = (unsigned char)ch;
  ScrMove(y, col < con->columns ? col : con->columns - 1);
  IQX_PUTCHAR(ShownCode(&b, 1, 1) < 0 ? '?' : ch);
}

// Shows the multibyte character just completed (or ended early) as the
// shadow holds it: raw when the terminal can show it and it ends before the
// last column, otherwise through curses, its bytes or its '?' cells after
// one move to its column.
static void ShowMultibyte(ConsoleState *con) {
  int y, col;
  if (!OpenCharPlace(con, &y, &col)) return;
  const unsigned char *b = open_char.row + open_char.x;
  int n, w;
  DrawnChar(con, open_char.row, open_char.x, 0, 0, &n, &w);
  long code = ShownCode(b, n, w);
  if (code >= 0 && col + w < con->columns && CanWriteRaw(y, col)) {
    WriteRawChar(y, col, b, n, code);
    return;
  }
  ScrMove(y, col < con->columns ? col : con->columns - 1);
  int count = code < 0 ? w : n;
  if (count == 0) Refresh();
  for (int i = 0; i < count; i++) {
    int shown = code < 0 ? '?' : b[i];
    if (i < count - 1)
      ScrAddByte(shown);
    else
      IQX_PUTCHAR(shown);
  }
}

// Ends a multibyte character whose bytes stopped arriving (a control
// character came first): it is shown as the shadow now holds it, and the
// next byte starts a character of its own.
void EndOpenChar(ConsoleState *con) {
  if (open_char.left == 0) return;
  open_char.left = 0;
  open_char.col = -1;
  ShowMultibyte(con);
}

// Moves the cursor to the start of the next row, scrolling when it leaves the
// bottom row.
static void WrapCursor(ConsoleState *con, int wait) {
  con->cur_x = 0;
  if (++con->cur_y >= con->rows) ScrollUp(con, wait);
}

// True when the cursor, at display column col, must move to the next row
// before a character's first byte: at the right edge, or (with lead_wrap) for
// a byte that leads a multibyte character when only the last column is left.
static int WrapsFirst(ConsoleState *con, int ch, int lead_wrap, int col) {
  return col >= con->columns ||
         (lead_wrap && Type_is_kanji1(ch) && col == con->columns - 1);
}

// True when the scrolling region is the bottom row alone.
static int OneRowRegion(ConsoleState *con) {
  return (con->scroll_line > 0 ? con->scroll_line : 0) >= con->rows - 1;
}

// A terminal that wraps at once can never show the bottom-right cell: writing
// it scrolls.  In a region of two rows or more the region scrolls first and
// the character goes into the last column of the row that moved up; in a
// region of one row no row moves up to take it, so the character that would
// fill the bottom-right cell wraps first instead: the region is scrolled
// (cleared) and the character starts it at column 0.  Nothing is lost and
// nothing is written into the corner.  Returns 0 when the character alone
// fills the whole row (it can then never be shown, and the scroll cleared it).
static int WrapBeforeCorner(ConsoleState *con, int wait) {
  unsigned char bytes[4];
  int n = con->cur_x - open_char.x;
  if (n < 1 || n > 4 || open_char.x == 0) {
    WrapCursor(con, wait);
    return 0;
  }
  memcpy(bytes, open_char.row + open_char.x, (size_t)n);
  WrapCursor(con, wait);
  open_char.row = con->shadow[con->cur_y];
  open_char.x = 0;
  memcpy(open_char.row, bytes, (size_t)n);
  con->cur_x = n;
  open_char.col = 0, open_char.col_y = con->cur_y;
  return 1;
}

// Writes one byte at the cursor.  Before a character's first byte it wraps at
// the right edge (and, with lead_wrap, before a multibyte character that has
// only the last column left); the bytes that follow in the same character
// stay with it.  It also wraps when the row has no byte left (characters that
// take no column can fill a row's 4 * columns bytes before its columns).
// After a character's last byte it wraps at once on a terminal that does so,
// scrolling first at the bottom so that the bottom-right cell never scrolls
// the terminal a second time (see WrapBeforeCorner).  Scrolls honour flow
// control when `wait` is set.
void WriteByte(ConsoleState *con, int ch, int wait, int lead_wrap) {
  int continues = open_char.left > 0, col = -1;
  if (!continues && con->cur_x < 4 * con->columns)
    col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  if (con->cur_x >= 4 * con->columns ||
      (!continues && WrapsFirst(con, ch, lead_wrap, col))) {
    WrapCursor(con, wait);
    continues = 0;
    col = 0;
  }
  unsigned char *row = con->shadow[con->cur_y];
  int x = con->cur_x;
  row[con->cur_x++] = (unsigned char)ch;
  int multibyte = 1;
  if (continues)
    open_char.left--;
  else
    multibyte = OpenChar(row, x, ch, col, con->cur_y);
  if (open_char.left > 0) return; // shown when its last byte is there
  // A single byte takes one column (see _Curses_num_cur_x).
  if (TermWrapsAtOnce() &&
      (!multibyte ? col + 1 : _Curses_num_cur_x(con->cur_x, con->cur_y)) >=
          con->columns) {
    if (con->cur_y == con->rows - 1 && OneRowRegion(con)) {
      if (!WrapBeforeCorner(con, wait)) return;
    } else {
      con->cur_x = 0;
      if (++con->cur_y >= con->rows) {
        ScrollUp(con, wait);
        ScrMove(con->rows - 2, con->columns - 1);
        Refresh();
      }
    }
  }
  if (multibyte)
    ShowMultibyte(con);
  else
    ShowSingle(con, ch);
}
