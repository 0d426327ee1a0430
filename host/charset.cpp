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

// EUC-JP, judged from the byte alone as a lead byte (as the engine does):
// JIS X 0208 A1..FE is 2 bytes, 2 columns; half-width kana 8E xx is 2 bytes,
// 1 column; JIS X 0212 8F xx xx is 3 bytes, 2 columns.
int eucjp_mbchar(const unsigned char *p, int *width) {
  unsigned char b = p[0];
  if (b >= 0xA1 && b <= 0xFE) {
    *width = 2;
    return 2;
  }
  if (b == 0x8E) {
    *width = 1;
    return 2;
  }
  if (b == 0x8F) {
    *width = 2;
    return 3;
  }
  *width = 1;
  return 1;
}

} // namespace

extern "C" {

int Type_is_kanji1(int byte) {
  unsigned b = unsigned(byte) & 0xFF;
  if (kanji == 0) return 0;
  if (charset == HOST_UTF8) return b >= 0xC2 && b <= 0xF4;
  if (charset == HOST_EUCJP) return (b >= 0xA1 && b <= 0xFE) || b == 0x8F;
  return 0;
}

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
  if (charset == HOST_EUCJP) return eucjp_mbchar(bytes, width);
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
