// Writing one byte of a character at the cursor: the shadow and the cursor
// are kept in step, long lines wrap, the bottom row scrolls, and curses is
// told exactly where each character goes.
//
// Multibyte characters arrive one byte per call.  curses gathers the bytes of
// one character at the position of its first byte and shows the character
// when the last one arrives; the writer aims curses at the shadow position of
// each character's first byte, and when a scroll has moved that row before
// the character is complete, it aims again and gives curses the bytes so far
// once more.
//
// A character that goes where the terminal's cursor already is, ends before
// the last column, and finds curses with no work pending, is written raw: its
// bytes go through stdio and curses' two screens take the same character
// without a refresh (see WriteRawByte).  The terminal then receives exactly
// what a refresh would have sent, at the cost of one write per byte.
#include "module.h"

#include <curses.h>
#include <string.h>

// The character whose bytes are still arriving.
static struct {
  int left;           // bytes still to come; 0: no character is open
  unsigned char *row; // shadow row holding its first byte
  int x;              // byte index of its first byte in that row
  int aim_y, aim_col; // where curses is gathering it
  int have;           // bytes given to curses (or held back) so far
  int raw;            // SENT_RAW, HELD or 0: how its bytes are shown (see below)
  unsigned char bytes[4];
} open_char;

// A character's bytes go raw when that is decided at its first byte (SENT_RAW);
// one that starts two columns before the right edge fits before the last
// column only if it is one column wide, which its last byte tells: its bytes
// are held back until then (HELD), then shown raw or through curses.
enum { SENT_RAW = 1, HELD = 2 };

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

// Starts a character at the stored byte: multibyte when its first byte leads
// one of more than one byte.
static void OpenChar(unsigned char *row, int x, int ch) {
  open_char.left = 0;
  open_char.have = 0;
  open_char.row = row;
  open_char.x = x;
  if (Type_is_kanji1(ch)) {
    unsigned char buf[4] = {(unsigned char)ch, 0, 0, 0};
    int width;
    int n = CharLength(buf, 0, &width);
    open_char.left = n > 4 ? 3 : n - 1;
  }
}

// Aims curses at the current position of the open character's first byte;
// when that moved while the character was incomplete, gives curses its
// earlier bytes again at the new position.
static void AimOpenChar(ConsoleState *con) {
  int y = RowIndex(con, open_char.row);
  if (y < 0) y = con->cur_y;
  int col = _Curses_num_cur_x(open_char.x, y);
  if (col >= con->columns) col = con->columns - 1;
  if (open_char.have > 0 && y == open_char.aim_y && col == open_char.aim_col) return;
  wmove(stdscr, y, col);
  for (int i = 0; i < open_char.have && i < 4; i++)
    waddch(stdscr, open_char.bytes[i]);
  open_char.aim_y = y;
  open_char.aim_col = col;
}

// True when a character starting with `ch` at (y, col) can be written raw:
// printable ASCII or the first byte of a multibyte character, at the
// terminal's cursor, ending before the last column (so no wrap is involved).
static int RawCharFits(ConsoleState *con, int ch, int y, int col) {
  int multibyte = open_char.left > 0;
  if (!multibyte && (ch < 0x20 || ch > 0x7e)) return 0;
  return col + (multibyte ? 2 : 1) < con->columns && CanWriteRaw(y, col);
}

// Shows a held-back character once its last byte `ch` is stored: raw when
// it ends before the last column and the terminal's cursor can be put there,
// otherwise through curses, which is given the earlier bytes first.  Returns
// 1 when it went raw.
static int ShowHeldChar(ConsoleState *con, int ch) {
  open_char.bytes[open_char.have++] = (unsigned char)ch;
  int n = open_char.have, w = 1;
  unsigned char buf[4] = {0, 0, 0, 0};
  memcpy(buf, open_char.bytes, (size_t)n);
  CharLength(buf, 0, &w);
  int y = RowIndex(con, open_char.row);
  if (y < 0) y = con->cur_y;
  int col = _Curses_num_cur_x(open_char.x, y);
  open_char.have = n - 1;
  open_char.raw = 0;
  open_char.aim_y = open_char.aim_col = -1; // curses gets the earlier bytes
  if (w < 1 || col + w >= con->columns || !CanWriteRaw(y, col)) return 0;
  for (int i = 0; i < n; i++)
    WriteRawByte(y, col, open_char.bytes[i], i == n - 1);
  open_char.have = 0;
  return 1;
}

// Gives curses the byte just stored, aimed at its character's place, or
// writes it raw when the character qualifies (decided at its first byte, or
// at its last when it starts two columns before the right edge).
static void ShowStoredByte(ConsoleState *con, int ch) {
  if (open_char.have == 0) {
    int y = RowIndex(con, open_char.row);
    if (y < 0) y = con->cur_y;
    int col = _Curses_num_cur_x(open_char.x, y);
    open_char.raw = RawCharFits(con, ch, y, col) ? SENT_RAW : 0;
    if (!open_char.raw && open_char.left > 0 && col == con->columns - 2)
      open_char.raw = HELD;
    if (open_char.raw == SENT_RAW) open_char.aim_y = y, open_char.aim_col = col;
  }
  if (open_char.raw == HELD) {
    if (open_char.left > 0) {
      if (open_char.have < 4) open_char.bytes[open_char.have++] = (unsigned char)ch;
      return;
    }
    if (ShowHeldChar(con, ch)) return;
  }
  if (open_char.raw == SENT_RAW) {
    WriteRawByte(open_char.aim_y, open_char.aim_col, ch, open_char.left == 0);
    open_char.have = open_char.left == 0 ? 0 : open_char.have + 1;
    return;
  }
  BeginChange();
  AimOpenChar(con);
  if (open_char.have < 4) open_char.bytes[open_char.have] = (unsigned char)ch;
  open_char.have++;
  if (open_char.left == 0) open_char.have = 0;
  IQX_PUTCHAR(ch);
}

// Moves the cursor to the start of the next row, scrolling when it leaves the
// bottom row.
static void WrapCursor(ConsoleState *con, int wait) {
  con->cur_x = 0;
  if (++con->cur_y >= con->rows) ScrollUp(con, wait);
}

// True when the cursor must move to the next row before a character's first
// byte: at the right edge, or (with lead_wrap) for a byte that leads a
// multibyte character when only the last column is left.
static int WrapsFirst(ConsoleState *con, int ch, int lead_wrap) {
  int col = _Curses_num_cur_x(con->cur_x, con->cur_y);
  return col >= con->columns ||
         (lead_wrap && Type_is_kanji1(ch) && col == con->columns - 1);
}

// Writes one byte at the cursor.  Before a character's first byte it wraps at
// the right edge (and, with lead_wrap, before a multibyte character that has
// only the last column left); the bytes that follow in the same character
// stay with it.  It also wraps when the row has no byte left (characters that
// take no column can fill a row's 4 * columns bytes before its columns).
// After a character's last byte it wraps at once on a terminal that does so,
// scrolling first at the bottom so that the bottom-right cell never scrolls
// the terminal a second time.  Scrolls honour flow control when `wait` is set.
void WriteByte(ConsoleState *con, int ch, int wait, int lead_wrap) {
  int continues = open_char.left > 0;
  if (con->cur_x >= 4 * con->columns || (!continues && WrapsFirst(con, ch, lead_wrap))) {
    WrapCursor(con, wait);
    continues = 0;
  }
  unsigned char *row = con->shadow[con->cur_y];
  int x = con->cur_x;
  row[con->cur_x++] = (unsigned char)ch;
  if (continues)
    open_char.left--;
  else
    OpenChar(row, x, ch);
  if (open_char.left == 0 && TermWrapsAtOnce() &&
      _Curses_num_cur_x(con->cur_x, con->cur_y) >= con->columns) {
    con->cur_x = 0;
    if (++con->cur_y >= con->rows) {
      ScrollUp(con, wait);
      wmove(stdscr, con->rows - 2, con->columns - 1);
      Refresh();
    }
  }
  ShowStoredByte(con, ch);
}
