// The bench's terminal (libvterm; the wrap of a terminal that wraps at once is
// added here) and the UTF-8 and display-width helpers.
#include "bench.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <utility>
#include <vterm.h>
#include <wchar.h>

namespace bench {

Terminal::Terminal(int rows, int cols, Wrap wrap)
    : vt_(nullptr, vterm_free), wrap_(wrap) {
  Setup(rows, cols);
}

// A new emulator; a window of one column is two wide inside, since libvterm
// writes past it for a double-width character.
void Terminal::Setup(int rows, int cols) {
  static VTermScreenCallbacks callbacks{};
  callbacks.settermprop = [](VTermProp prop, VTermValue *val, void *user) {
    if (prop == VTERM_PROP_ALTSCREEN)
      static_cast<Terminal *>(user)->alt_on_ = val->boolean;
    return 1;
  };
  vt_.reset(vterm_new(rows, cols < 2 ? 2 : cols));
  rows_ = rows, cols_ = cols;
  vterm_set_utf8(vt_.get(), 1);
  vterm_output_set_callback(
      vt_.get(),
      [](const char *s, size_t len, void *user) {
        static_cast<Terminal *>(user)->replies_.append(s, len);
      },
      this);
  VTermScreen *screen = vterm_obtain_screen(vt_.get());
  vterm_screen_set_callbacks(screen, &callbacks, this);
  vterm_screen_enable_altscreen(screen, 1);
  vterm_screen_reset(screen, 1);
  if (wrap_ == Wrap::None) Write("\x1b[?7l");
}

// libvterm loses a character whose bytes a write cuts after text, as a real terminal
// never does: the last character, whole or not, starts a write of its own.
void Terminal::Write(const std::string &bytes) {
  size_t at = bytes.size();
  while (at > 0 && (bytes[at - 1] & 0xC0) == 0x80)
    at--;
  at -= at > 0 && (bytes[at - 1] & 0xC0) == 0xC0;
  vterm_input_write(vt_.get(), bytes.data(), at);
  vterm_input_write(vt_.get(), bytes.data() + at, bytes.size() - at);
}

// Follows one byte of output through the sequence classes (ESC, CSI, strings)
// and UTF-8; true when it completes a printable character.
bool Terminal::Printable(unsigned char b, char32_t *cp) {
  if (b == 0x1b) return state_ = 'e', seq_.clear(), utf8_.clear(), false;
  if (state_ == 'e') {
    state_ = b == '['                                         ? 'c'
             : (b == ']' || b == 'P' || b == '_' || b == '^') ? 's'
             : (b >= 0x20 && b < 0x30)                        ? 'e'
                                                              : 'g';
    if (b == 'c') autowrap_ = true;
  } else if (state_ == 'c') {
    if (b < 0x40 || b > 0x7e) return seq_ += static_cast<char>(b), false;
    // libvterm takes only the first mode of a DEC private set or reset (s[0]
    // of an empty string is 0)
    if (seq_[0] == '?' && (b == 'h' || b == 'l') && std::atoi(seq_.c_str() + 1) == 7)
      autowrap_ = b == 'h';
    state_ = 'g';
  } else if (state_ == 's') {
    if (b == 0x07) state_ = 'g';
  } else if (b >= 0xC0) {
    utf8_.assign(1, static_cast<char>(b));
  } else if (b >= 0x80 && !utf8_.empty()) {
    utf8_ += static_cast<char>(b);
    unsigned char lead = static_cast<unsigned char>(utf8_[0]);
    if (utf8_.size() < (lead >= 0xF0 ? 4u : lead >= 0xE0 ? 3u : 2u)) return false;
    size_t i = 0;
    *cp = DecodeUtf8(utf8_, i);
    return utf8_.clear(), *cp != 0xFFFD;
  } else if (b >= 0x20 && b < 0x7f) {
    return *cp = b, utf8_.clear(), true;
  }
  return false;
}

std::string Terminal::Feed(const std::string &bytes) {
  if (wrap_ != Wrap::Immediate) Write(bytes);
  for (size_t i = 0; wrap_ == Wrap::Immediate && i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    char32_t cp = 0;
    int col = Cursor().col;
    Write(std::string(1, static_cast<char>(b)));
    int w = Printable(b, &cp) ? CharWidth(cp) : 0;
    if (w > 0 && autowrap_ && (col + w > cols_ ? w : col + w) >= cols_) Write("\r\n");
  }
  return std::exchange(replies_, std::string());
}

// Blank, in the same modes: libvterm's resize crashes now and then with a wide
// character at the edge, and all shown after a resize must be a repaint.
void Terminal::Resize(int rows, int cols) {
  Setup(rows, cols); // keeps autowrap_
  if (alt_on_) Write("\x1b[?1049h");
  if (!autowrap_ && wrap_ != Wrap::None) Write("\x1b[?7l");
}

// A wide character's continuation cell (chars[0] == -1) adds nothing; a half that
// libvterm keeps of an overwritten or shifted wide character shows blank, as on a
// terminal.
std::vector<std::string> Terminal::Rows() const {
  std::vector<std::string> rows(static_cast<size_t>(rows_));
  VTermScreen *screen = vterm_obtain_screen(vt_.get());
  for (int row = 0; row < rows_; ++row) {
    std::string &out = rows[static_cast<size_t>(row)];
    bool after_wide = false;
    for (int col = 0; col < cols_; ++col) {
      VTermScreenCell cell;
      vterm_screen_get_cell(screen, VTermPos{row, col}, &cell);
      bool cont = cell.chars[0] == static_cast<uint32_t>(-1);
      bool wide = !cont && cell.chars[0] && CharWidth(cell.chars[0]) == 2;
      bool skip = cont && after_wide; // the right half of a whole wide character
      after_wide = wide && cell.width == 2;
      bool shown = !cont && cell.chars[0] && (!wide || after_wide);
      out += shown || skip ? "" : " ";
      for (int k = 0; shown && k < VTERM_MAX_CHARS_PER_CELL && cell.chars[k]; ++k)
        out += EncodeUtf8(cell.chars[k]);
    }
  }
  return rows;
}

// The emulator's cursor (in the last column while a wrap is pending).
Pos Terminal::Cursor() const {
  VTermPos p;
  vterm_state_get_cursorpos(vterm_obtain_state(vt_.get()), &p);
  return Pos{p.row, p.col};
}

int CharWidth(char32_t cp) {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  if (loc == (locale_t)0) return cp < 0x20 || cp == 0x7f ? -1 : 1;
  locale_t old = uselocale(loc);
  int w = wcwidth(static_cast<wchar_t>(cp));
  uselocale(old);
  return w;
}

char32_t DecodeUtf8(const std::string &s, size_t &i) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  int ones = __builtin_clz(~(unsigned{b} << 24)); // leading one bits: the length or bad
  size_t len = ones == 0 ? 1 : ones == 1 || ones > 4 ? 0 : static_cast<size_t>(ones);
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
