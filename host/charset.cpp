// Character sets: which bytes lead a multibyte character, and how long and
// how wide that character is.  The engine works in one of three sets, chosen
// at start-up (host_set_charset): UTF-8 (the default), EUC-JP, or single
// bytes.  The globals kanji and charset_mode tell the module which.
#include "internal.h"

#include <cwchar>

namespace {

int charset = HOST_UTF8;
HostMbcharFn mbchar_override = nullptr;

bool is_cont(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Byte length of a UTF-8 character from its lead byte, 0 if not a lead.
int utf8_len(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

// Display width of the `len`-byte character at p (p[0] a lead byte).  A
// caller that measures part of a row puts 0 where the row is cut off: from
// the first byte that is not a continuation byte on, the bytes are missing
// and are not read.  They are taken as 0x80 and up, and the width is that of
// the first assigned character the bytes present can begin (E3 81 cut off
// gives U+3041, width 2; U+3040 itself is unassigned).
int utf8_width(const unsigned char *p, int len) {
  static const unsigned char lead_mask[5] = {0, 0, 0x1F, 0x0F, 0x07};
  wchar_t cp = p[0] & lead_mask[len];
  int missing = 0;
  for (int k = 1; k < len; k++) {
    if (missing == 0 && is_cont(p[k]))
      cp = (cp << 6) | (p[k] & 0x3F);
    else
      cp <<= 6, missing++;
  }
  // wcwidth needs a UTF-8 LC_CTYPE: host_init sees to that.
  wchar_t fills = missing > 2 ? 4096 : wchar_t(1) << (6 * missing);
  for (wchar_t fill = 0; fill < fills; fill++) {
    int w = wcwidth(cp | fill);
    if (w >= 0) return w;
    if (missing == 0) break;
  }
  return 1; // unassigned or not printable: one column
}

int utf8_mbchar(unsigned char *p, int index, int *width) {
  int len = utf8_len(p[0]);
  if (len > 0) {
    *width = utf8_width(p, len);
    return len;
  }
  if (is_cont(p[0]) && is_cont(p[1])) {
    // A continuation byte followed by another: when both belong to one
    // character whose lead lies at most `index` bytes back, answer for that
    // whole character.  (The line editor asks about the byte two before the
    // end of the line, which for a 3-byte character is its middle byte.)
    // Only continuation bytes are looked back over, so a lead byte never
    // makes us read before the caller's buffer.
    for (int k = 1; k <= index && k <= 3; k++) {
      unsigned char b = p[-k];
      if (is_cont(b)) continue;
      int lead_len = utf8_len(b);
      if (lead_len >= k + 2) { // the character p[-k].. reaches p[1]
        *width = utf8_width(p - k, lead_len);
        return lead_len;
      }
      break;
    }
  }
  *width = 1; // ASCII, or a stray byte: one byte, one column
  return 1;
}

// EUC-JP.  JIS X 0208 A1..FE xx is 2 bytes, 2 columns; half-width kana
// 8E xx is 2 bytes, 1 column; JIS X 0212 8F xx xx is 3 bytes, 2 columns.
// Every byte after the first is a trail byte A1..FE.
bool eucjp_trail(unsigned char b) {
  return b >= 0xA1 && b <= 0xFE;
}

// Byte length of the character that b opens when it is a lead byte (1 when
// it opens none: ASCII and stray bytes).
int eucjp_lead_len(unsigned char b) {
  if (eucjp_trail(b) || b == 0x8E) return 2;
  return b == 0x8F ? 3 : 1;
}

// The character that starts at p: its length, and its width through
// `width`.  A byte of it that is 0 is missing (the caller cut its copy of a
// row off there, or knows only the lead byte) and the character counts
// whole; any other byte that is no trail byte makes the lead a stray byte,
// one byte of one column.  Reads no further than the character.
int eucjp_at_start(const unsigned char *p, int *width) {
  int len = eucjp_lead_len(p[0]);
  for (int k = 1; k < len && p[k] != 0; k++) {
    if (!eucjp_trail(p[k])) len = 1;
  }
  *width = len == 1 || p[0] == 0x8E ? 1 : 2;
  return len;
}

// How many bytes of its character lie before the trail-range byte p[0]: 0
// when p[0] starts a character.  Trail bytes look like lead bytes, so the
// boundaries are found from the run of bytes A1..FE that ends at p[0]: the
// byte before the run (read only when it lies within `index` bytes) is an
// ASCII or stray byte, the buffer's start, or an 8E / 8F lead whose
// character takes the first one or two bytes of the run.  Past those the run
// is made of two-byte characters, so p[0] starts one when it is an even
// number of bytes into them.
int eucjp_offset(const unsigned char *p, int index) {
  int run = 0; // bytes A1..FE just before p
  while (run < index && eucjp_trail(p[-1 - run]))
    run++;
  if (run < index) {
    const unsigned char *lead = p - 1 - run;
    int len = eucjp_lead_len(lead[0]), w;
    if (len > 1 && eucjp_at_start(lead, &w) == len) {
      if (run + 1 < len) return run + 1; // p[0] is inside the 8E / 8F character
      return (run + 1 - len) % 2;
    }
  }
  return run % 2;
}

// Asked about a lead byte (or ASCII, or a stray byte), the character that
// starts there.  Asked about a trail byte, it answers as for UTF-8: for the
// whole character when more of it follows (the middle byte of an 8F
// character: the line editor asks about the byte two before the end of the
// line), and one byte of one column when it is the character's last byte.
int eucjp_mbchar(unsigned char *p, int index, int *width) {
  int offset = eucjp_trail(p[0]) ? eucjp_offset(p, index) : 0;
  if (offset == 0) return eucjp_at_start(p, width);
  int len = eucjp_at_start(p - offset, width);
  if (offset < len - 1) return len;
  *width = 1;
  return 1;
}

} // namespace

extern "C" {

// True when the byte leads a multibyte character of the engine's set: in
// EUC-JP the kana lead 8E and the JIS X 0212 lead 8F as well as A1..FE, so
// that every character Stream_isn_mbchar answers for starts with a lead.
int Type_is_kanji1(int byte) {
  unsigned b = unsigned(byte) & 0xFF;
  if (kanji == 0) return 0;
  if (charset == HOST_UTF8) return b >= 0xC2 && b <= 0xF4;
  if (charset == HOST_EUCJP) return eucjp_lead_len((unsigned char)b) > 1;
  return 0;
}

// True when the byte leads a half-width kana (EUC-JP 8E).
int Type_iskana1(int byte) {
  return kanji != 0 && charset == HOST_EUCJP && (unsigned(byte) & 0xFF) == 0x8E;
}

// `bytes` points AT the byte asked about and `index` is its index in the
// caller's buffer, so at most `index` bytes before it may be looked at.
int Stream_isn_mbchar(unsigned char *bytes, int index, int *width) {
  if (mbchar_override != nullptr) return mbchar_override(bytes, index, width);
  return host_isn_mbchar_default(bytes, index, width);
}

int host_isn_mbchar_default(unsigned char *bytes, int index, int *width) {
  int dummy;
  if (width == nullptr) width = &dummy;
  if (kanji == 0 || bytes[0] < 0x80) {
    *width = 1;
    return 1;
  }
  if (charset == HOST_UTF8) return utf8_mbchar(bytes, index, width);
  if (charset == HOST_EUCJP) return eucjp_mbchar(bytes, index, width);
  *width = 1;
  return 1;
}

void host_set_mbchar_override(HostMbcharFn fn) {
  mbchar_override = fn;
}

void host_set_charset(int set) {
  switch (set) {
  case HOST_EUCJP:
    kanji = 1;
    charset_mode = 1;
    break;
  case HOST_SINGLE:
    kanji = 0;
    charset_mode = 0;
    break;
  default:
    set = HOST_UTF8;
    kanji = 1;
    charset_mode = 0;
    break;
  }
  charset = set;
}

int host_charset(void) {
  return charset;
}

} // extern "C"
