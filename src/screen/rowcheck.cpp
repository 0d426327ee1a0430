// How a character of the shadow shows on the terminal, and whether curses'
// screen already shows a shadow row exactly as a redraw would draw it.  A
// redraw then skips drawing that row again and only has curses repaint the
// terminal, which is what a redraw after a shell escape or a garbled terminal
// needs; rows that differ are drawn from the shadow as before.
#include "module.h"

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
  if (wc >= 0xd800 && wc <= 0xdfff) return -1;
  return wc < least[n] || wc > 0x10ffff ? -1 : wc;
}

// The wide character curses makes of the n bytes of one character, as the
// locale decodes them; -1 unless they are exactly one character.
static long DecodeChar(const unsigned char *b, int n) {
  if (strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return n == 1 ? -1 : DecodeUtf8(b, n);
  mbstate_t st;
  memset(&st, 0, sizeof st);
  wchar_t wc;
  size_t used = mbrtowc(&wc, (const char *)b, n, &st);
  return used == (size_t)n ? (long)wc : -1;
}

// What the terminal shows for a character of the shadow: n bytes (a byte
// that leads no multibyte character is one) to which the shadow gives w
// display columns.  The character itself, as its wide-character code, when
// the locale reads the bytes as exactly one printable character that takes
// w columns, 1 or 2; otherwise -1, meaning w cells of '?'.  So a control
// byte, DEL, a stray byte, an incomplete or invalid multibyte sequence, and a
// byte of a single-byte set the locale cannot show, each take the columns the
// shadow counts for them and show as '?', always printable, never sent raw.
// (A character that takes no column is not shown: w is then 0.)  The live
// output, the redraw and the row check all ask here, so they cannot disagree.
long ShownCode(const unsigned char *b, int n, int w) {
  if (n == 1 && b[0] >= 0x20 && b[0] <= 0x7e) return w == 1 ? b[0] : -1;
  if (n == 1 && b[0] < 0x80) return -1;
  long wc = DecodeChar(b, n);
  if (wc < 0 || w < 1 || w > 2) return -1;
  return wcwidth((wchar_t)wc) == w ? wc : -1; // -1 when not printable
}

// Steps through shadow row y as the redraw draws it (same character lengths,
// widths, shown forms and stopping rule) and compares each character with
// curses' cell for it; everything after the last drawn character must be
// blank.  Returns 0 when the row is not shown so, 1 when it is and every
// character shows as itself, 2 when some show as '?'.
int RowShownAsShadow(ConsoleState *con, int y, int skip_corner) {
  static long cells[1025];
  int have = ScrReadRow(y, cells, con->columns);
  if (have < 0) return 0;
  const unsigned char *row = con->shadow[y];
  int len = 4 * con->columns, col = 0, e = 0, shown = 1;
  for (int x = 0; x < len;) {
    int n, w;
    if (!DrawnChar(con, row, x, col, skip_corner, &n, &w)) break;
    long code = ShownCodeOf(row + x, n, w);
    if (code < 0) shown = 2;
    for (int k = 0; k < (code < 0 ? w : 1); k++, e++)
      if (e >= have || cells[e] != (code < 0 ? '?' : code)) return 0;
    col += w;
    x += n;
  }
  for (; e < have; e++)
    if (cells[e] != ' ') return 0;
  return shown;
}
