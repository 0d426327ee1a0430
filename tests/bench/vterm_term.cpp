// The bench's terminal: libvterm, which models terminals that wait to wrap (or,
// with DECAWM off, never wrap).  For a terminal that wraps at once (`am`
// without `xenl`) a character that fills the last column is followed by a CR LF
// fed to libvterm: the cursor goes to column 0 of the next row at once,
// scrolling at the bottom of the scroll region, as on such a terminal.  To know
// where a character starts, the bytes are followed through a small parser of
// the sequence classes (ESC, CSI, strings) and of UTF-8.
#include "bench.h"

#include <cstdint>
#include <cstdlib>
#include <vterm.h>

namespace bench {

// Sets up a new emulator as Setup describes.
Terminal::Terminal(int rows, int cols, Wrap wrap)
    : vt_(vterm_new(rows, cols)), rows_(rows), cols_(cols), wrap_(wrap) {
  Setup();
}

Terminal::~Terminal() {
  vterm_free(vt_);
}

// UTF-8 input, the alternate screen, the sinks of replies and of the cursor's
// visibility and the alternate screen, and DECAWM off for a terminal without
// automatic margins.
void Terminal::Setup() {
  static VTermScreenCallbacks callbacks = [] {
    VTermScreenCallbacks cb{};
    cb.settermprop = [](VTermProp prop, VTermValue *val, void *user) {
      auto *t = static_cast<Terminal *>(user);
      if (prop == VTERM_PROP_CURSORVISIBLE) t->cursor_visible_ = val->boolean != 0;
      if (prop == VTERM_PROP_ALTSCREEN) t->alt_on_ = val->boolean != 0;
      return 1;
    };
    return cb;
  }();
  vterm_set_utf8(vt_, 1);
  vterm_output_set_callback(
      vt_,
      [](const char *s, size_t len, void *user) {
        static_cast<Terminal *>(user)->replies_.append(s, len);
      },
      this);
  screen_ = vterm_obtain_screen(vt_);
  vterm_screen_set_callbacks(screen_, &callbacks, this);
  vterm_screen_enable_altscreen(screen_, 1);
  vterm_screen_reset(screen_, 1);
  if (wrap_ == Wrap::None) Write("\x1b[?7l");
}

void Terminal::Write(const std::string &bytes) {
  vterm_input_write(vt_, bytes.data(), bytes.size());
}

// Follows one byte of output; true when it completes a printable character.
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

// Feeds libvterm byte by byte, adding the wrap of a terminal that wraps at once.
void Terminal::Feed(const std::string &bytes) {
  if (wrap_ != Wrap::Immediate) return Write(bytes);
  for (unsigned char b : bytes) {
    char32_t cp = 0;
    int col = Cursor().col;
    Write(std::string(1, static_cast<char>(b)));
    int w = Printable(b, &cp) ? CharWidth(cp) : 0;
    if (w > 0 && autowrap_ && (col + w > cols_ ? w : col + w) >= cols_) Write("\r\n");
  }
}

// A window of the new size, in the same modes (alternate screen, cursor shown,
// automatic margins), blank: libvterm's own resize crashes now and then while a
// double-width character stands at the edge.  Forgetting what was shown is a
// stricter test: whatever follows a resize on the screen must come from the
// program's repaint.  libvterm writes past a row of one column for a
// double-width character; such a window is two columns wide inside and shown
// as its first column.
void Terminal::Resize(int rows, int cols) {
  bool visible = cursor_visible_, wraps = autowrap_;
  vterm_free(vt_);
  vt_ = vterm_new(rows, cols < 2 ? 2 : cols);
  rows_ = rows, cols_ = cols;
  Setup();
  if (alt_on_) Write("\x1b[?1049h");
  if (!visible) Write("\x1b[?25l");
  if (!wraps && wrap_ != Wrap::None) Write("\x1b[?7l");
  autowrap_ = wraps;
}

// One row in the common format: blank cells as spaces, the continuation cell
// of a wide character (chars[0] == -1) contributes nothing.  libvterm keeps the
// surviving half when half of a double-width character is overwritten, deleted
// or shifted; a terminal shows no half characters, so such a half is shown
// blank here.
std::string Terminal::RowText(int row) const {
  std::string out;
  bool after_wide = false;
  for (int col = 0; col < cols_; ++col) {
    VTermScreenCell cell;
    vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
    bool cont = cell.chars[0] == static_cast<uint32_t>(-1);
    bool wide = !cont && cell.chars[0] && CharWidth(cell.chars[0]) == 2;
    if (cont && after_wide) {
      after_wide = false;
      continue;
    }
    after_wide = wide && cell.width == 2;
    if (cont || cell.chars[0] == 0 || (wide && !after_wide)) {
      out += ' ';
      continue;
    }
    for (int k = 0; k < VTERM_MAX_CHARS_PER_CELL && cell.chars[k]; ++k)
      out += EncodeUtf8(cell.chars[k]);
  }
  return out;
}

// All rows, top to bottom.
std::vector<std::string> Terminal::Rows() const {
  std::vector<std::string> rows;
  for (int r = 0; r < rows_; ++r)
    rows.push_back(RowText(r));
  return rows;
}

// The emulator's cursor (in the last column while a wrap is pending).
Pos Terminal::Cursor() const {
  VTermPos p;
  vterm_state_get_cursorpos(vterm_obtain_state(vt_), &p);
  return Pos{p.row, p.col};
}

bool Terminal::CursorVisible() const {
  return cursor_visible_;
}

std::string Terminal::TakeReplies() {
  std::string r;
  r.swap(replies_);
  return r;
}

std::unique_ptr<Terminal> MakeVTerm(int rows, int cols, Wrap wrap) {
  return std::make_unique<Terminal>(rows, cols, wrap);
}

} // namespace bench
