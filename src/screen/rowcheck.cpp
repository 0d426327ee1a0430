// Whether curses' screen already shows a shadow row exactly as a redraw would
// draw it.  A redraw then skips drawing that row again and only has curses
// repaint the terminal, which is what a redraw after a shell escape or a
// garbled terminal needs; rows that differ, or hold anything this check does
// not model exactly, are drawn from the shadow as before.
#include "module.h"

#include <curses.h>
#include <langinfo.h>
#include <string.h>
#include <wchar.h>

// Decodes the n bytes of a UTF-8 character; -1 unless they are exactly one
// well-formed character.
static long DecodeUtf8(const unsigned char *b, int n) {
  static const unsigned char lead_mask[5] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  if (n < 2 || n > 4) return -1;
  long wc = b[0] & lead_mask[n];
  for (int k = 1; k < n; k++) {
    if ((b[k] & 0xc0) != 0x80) return -1;
    wc = (wc << 6) | (b[k] & 0x3f);
  }
  static const long least[5] = {0, 0, 0x80, 0x800, 0x10000};
  return wc < least[n] || wc > 0x10ffff ? -1 : wc;
}

// The wide character curses makes of the n bytes of one multibyte
// character, as the locale decodes them; -1 unless they are one character.
static long DecodeChar(const unsigned char *b, int n) {
  if (strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return DecodeUtf8(b, n);
  mbstate_t st;
  memset(&st, 0, sizeof st);
  wchar_t wc;
  size_t used = mbrtowc(&wc, (const char *)b, n, &st);
  return used == (size_t)n ? (long)wc : -1;
}

// True when `cell` holds exactly the character `wc` with no attributes and
// no colour.  (The bits that count columns inside a wide character are no
// attribute: curses keeps them in the same field.)
static int CellIs(const cchar_t *cell, long wc) {
  return cell->chars[0] == (wchar_t)wc && cell->chars[1] == 0 &&
         (cell->attr & A_ATTRIBUTES) == 0 && cell->ext_color == 0;
}

// Steps through shadow row y as the redraw draws it (same character lengths,
// widths and stopping rule) and compares each character with curses' cell
// for it; everything after the last drawn character must be blank.
int RowShownAsShadow(ConsoleState *con, int y, int skip_corner) {
  static cchar_t cells[1025];
  cchar_t blank;
  if (con->columns > 1024 || wgetbkgrnd(stdscr, &blank) != OK) return 0;
  if (mvwin_wchnstr(stdscr, y, 0, cells, con->columns) == ERR) return 0;
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns, col = 0, e = 0;
  for (int x = 0; x < len;) {
    int n, w;
    if (!DrawnChar(con, row, x, col, skip_corner, &n, &w)) break;
    long wc = row[x];
    if (n > 1) wc = x + n <= len ? DecodeChar(row + x, n) : -1;
    if (row[x] == ' ') {
      if (memcmp(&cells[e], &blank, sizeof blank) != 0) return 0;
    } else if (n == 1 ? (wc < 0x21 || wc > 0x7e)
                      : (wc < 0 || wcwidth((wchar_t)wc) != w)) {
      return 0; // controls, stray bytes, zero widths: left to the redraw
    } else if (!CellIs(&cells[e], wc)) {
      return 0;
    }
    e++;
    col += w;
    x += n;
  }
  for (; col < con->columns; col++, e++)
    if (memcmp(&cells[e], &blank, sizeof blank) != 0) return 0;
  return 1;
}
