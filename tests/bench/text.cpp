// UTF-8 and display-width helpers shared by the emulators and the comparisons.
#include "bench.h"

#include <clocale>
#include <cstdio>
#include <locale.h>
#include <wchar.h>

namespace bench {

// The C.UTF-8 character-type locale, made once; wcwidth consults it through
// uselocale so that the process's own locale does not matter.
static locale_t Utf8Locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  return loc;
}

// wcwidth under C.UTF-8.
int CharWidth(char32_t cp) {
  locale_t loc = Utf8Locale();
  if (loc == (locale_t)0) return cp < 0x20 || cp == 0x7f ? -1 : 1;
  locale_t old = uselocale(loc);
  int w = wcwidth(static_cast<wchar_t>(cp));
  uselocale(old);
  return w;
}

// Strict UTF-8 decoding: overlong forms, surrogates and truncation give U+FFFD
// for one byte, as terminals do.
char32_t DecodeUtf8(const std::string &s, size_t &i) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80         ? 1
            : (b >> 5) == 6  ? 2
            : (b >> 4) == 14 ? 3
            : (b >> 3) == 30 ? 4
                             : 0;
  if (len == 1) return s[i++] & 0x7f;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = b & (0x7f >> len);
  for (int k = 1; k < len; ++k) {
    unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3f);
  }
  static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return cp;
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
  size_t i = 0;
  while (i < row.size()) {
    size_t start = i;
    char32_t cp = DecodeUtf8(row, i);
    int w = CharWidth(cp);
    std::string ch = row.substr(start, i - start);
    if (w == 0 && !cells.empty()) {
      size_t last = cells.size() - 1;
      if (cells[last].empty() && last > 0) --last;
      cells[last] += ch;
      continue;
    }
    cells.push_back(ch);
    if (w == 2) cells.emplace_back();
  }
  return cells;
}

// s without its trailing spaces.
std::string TrimRight(const std::string &s) {
  size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

// A readable rendering of raw terminal bytes for failure messages.
std::string Printable(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == 0x1b) {
      out += "\\e";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

} // namespace bench
