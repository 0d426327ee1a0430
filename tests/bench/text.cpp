// UTF-8 and display-width helpers shared by the terminal and the comparisons.
#include "bench.h"

#include <cstdio>
#include <locale.h>
#include <wchar.h>

namespace bench {

// wcwidth under the C.UTF-8 character types, made once and consulted through
// uselocale so that the process's own locale does not matter.
int CharWidth(char32_t cp) {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  if (loc == (locale_t)0) return cp < 0x20 || cp == 0x7f ? -1 : 1;
  locale_t old = uselocale(loc);
  int w = wcwidth(static_cast<wchar_t>(cp));
  uselocale(old);
  return w;
}

// Strict UTF-8 decoding: a bad lead or continuation byte, truncation, an
// overlong form, a surrogate or a value past U+10FFFF give U+FFFD for one byte,
// as terminals do.
char32_t DecodeUtf8(const std::string &s, size_t &i) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  size_t len = b < 0x80         ? 1
               : (b >> 5) == 6  ? 2
               : (b >> 4) == 14 ? 3
               : (b >> 3) == 30 ? 4
                                : 0;
  char32_t cp = len == 1 ? b : b & (0x7f >> len);
  size_t k = 1;
  for (; k < len && i + k < s.size() && (s[i + k] & 0xC0) == 0x80; ++k)
    cp = (cp << 6) | (s[i + k] & 0x3f);
  static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  bool ok = k == len && cp >= kMin[len] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
  i += ok ? len : 1;
  return ok ? cp : 0xFFFD;
}

// Encodes one code point as UTF-8.
std::string EncodeUtf8(char32_t cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  std::string out(1, static_cast<char>((0xF00 >> n) | (cp >> (6 * (n - 1)))));
  for (int k = n - 2; k >= 0; k--)
    out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3f));
  return out;
}

// One cell per display column; wide characters leave an empty second cell and
// zero-width characters join the cell before them.
std::vector<std::string> SplitCells(const std::string &row) {
  std::vector<std::string> cells;
  for (size_t i = 0, start = 0; i < row.size(); start = i) {
    int w = CharWidth(DecodeUtf8(row, i));
    std::string ch = row.substr(start, i - start);
    size_t last = cells.size() - 1;
    if (w == 0 && !cells.empty())
      cells[cells[last].empty() && last > 0 ? last - 1 : last] += ch;
    else
      cells.push_back(ch);
    if (w == 2) cells.emplace_back();
  }
  return cells;
}

// s without its trailing spaces.
std::string TrimRight(const std::string &s) {
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

// A readable rendering of raw terminal bytes for failure messages.
std::string Printable(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char buf[8];
    std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
    out += c == 0x1b ? "\\e" : c == '\\' ? "\\\\" : buf;
  }
  return out;
}

} // namespace bench
