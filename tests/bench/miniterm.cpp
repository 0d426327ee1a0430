// MiniTerm: the bench's own terminal emulator.
//
// It interprets the subset of ECMA-48 / DEC sequences that curses emits for the
// test entries (xterm and its variants, vt100, ansi) and renders them like
// libvterm does, except that the wrap behaviour is chosen: delayed (as libvterm
// and xterm), immediate (writing the last column moves the cursor to column 0 of
// the next row, scrolling at the bottom of the scroll region), or none.
// Cursor motions follow libvterm: they are clamped to the screen, not to the
// scroll region.  Attributes and colours are ignored.
#include "terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bench {
namespace {

// One display cell: its text ("" = blank), or the second column of a wide
// character.
struct Cell {
  std::string text;
  bool cont = false;
};
using Line = std::vector<Cell>;
using Grid = std::vector<Line>;

class MiniTerm : public Terminal {
public:
  MiniTerm(int rows, int cols, Wrap wrap);
  void Feed(const std::string &bytes) override;
  std::vector<std::string> Rows() const override;
  Pos Cursor() const override {
    return cur_;
  }
  bool CursorVisible() const override {
    return cursor_visible_;
  }
  std::string TakeReplies() override {
    std::string r;
    r.swap(replies_);
    return r;
  }
  void Resize(int rows, int cols) override;

private:
  enum class State { Ground, Utf8, Esc, EscInter, Csi, Str, StrEsc };

  void Reset();
  void Byte(unsigned char b);
  void GroundByte(unsigned char b);
  void Utf8Byte(unsigned char b);
  void EscByte(unsigned char b);
  void CsiByte(unsigned char b);
  void StrByte(unsigned char b);
  void Control(unsigned char b);
  void EscFinal(unsigned char b);
  void CsiDispatch(unsigned char final);
  void CsiPlain(unsigned char final);
  bool CsiMove(unsigned char final);
  bool CsiEdit(unsigned char final);
  void CsiPrivate(unsigned char final);
  void DecMode(int mode, bool on);
  void Reply(unsigned char final);
  int Arg(size_t i, int def) const;
  int Count(size_t i) const {
    return std::max(1, Arg(i, 1));
  }

  void Print(char32_t cp);
  void PrintDelayed(const std::string &text, int w);
  void PrintImmediate(const std::string &text, int w);
  void Put(const std::string &text, int w);
  void Cut(int row, int col);
  void Blank(int row, int from, int to);
  void LineFeed();
  void ReverseIndex();
  void ScrollUp(int top, int bottom, int n);
  void ScrollDown(int top, int bottom, int n);
  void InsertBlanks(int n);
  void DeleteChars(int n);
  void EraseDisplay(int how);
  void EraseLine(int how);
  void SaveCursor() {
    saved_ = cur_;
  }
  void RestoreCursor() {
    MoveTo(saved_.row, saved_.col);
  }
  void MoveTo(int row, int col);
  Grid &G() {
    return alt_on_ ? alt_ : main_;
  }
  const Grid &G() const {
    return alt_on_ ? alt_ : main_;
  }

  int rows_, cols_;
  const Wrap wrap_;
  Grid main_, alt_;
  bool alt_on_ = false;
  Pos cur_, saved_, last_glyph_;
  bool pending_ = false; // delayed wrap: the last column was written
  bool autowrap_ = true; // DECAWM
  bool insert_ = false;  // IRM
  bool cursor_visible_ = true;
  int top_ = 0, bottom_ = 0;
  char32_t last_cp_ = 0;
  State state_ = State::Ground;
  std::string seq_;
  std::string utf8_;
  size_t utf8_need_ = 0;
  std::string replies_;
};

// A blank screen.
MiniTerm::MiniTerm(int rows, int cols, Wrap wrap)
    : rows_(rows), cols_(cols), wrap_(wrap) {
  Reset();
}

// Keeps what fits of both screens top-left, pads with blanks, and brings the
// cursor and the scroll region inside (a wide character cut in half goes).
void MiniTerm::Resize(int rows, int cols) {
  for (Grid *g : {&main_, &alt_}) {
    g->resize(rows, Line(cols));
    for (Line &l : *g) {
      l.resize(cols);
      size_t i = 0;
      if (cols < cols_ && !l.back().text.empty() &&
          CharWidth(DecodeUtf8(l.back().text, i)) == 2)
        l.back() = Cell{};
    }
  }
  rows_ = rows, cols_ = cols;
  cur_.row = std::min(cur_.row, rows_ - 1);
  cur_.col = std::min(cur_.col, cols_ - 1);
  pending_ = false;
  top_ = 0, bottom_ = rows_ - 1;
}

// Power-on state: blank screens, home cursor, full scroll region, modes reset.
void MiniTerm::Reset() {
  main_.assign(rows_, Line(cols_));
  alt_.assign(rows_, Line(cols_));
  alt_on_ = false;
  cur_ = saved_ = last_glyph_ = Pos{};
  pending_ = false;
  autowrap_ = wrap_ != Wrap::None;
  insert_ = false;
  cursor_visible_ = true;
  top_ = 0;
  bottom_ = rows_ - 1;
  last_cp_ = 0;
}

// Feeds every byte through the parser; state survives between calls.
void MiniTerm::Feed(const std::string &bytes) {
  for (unsigned char b : bytes)
    Byte(b);
}

// Dispatches a byte by parser state.
void MiniTerm::Byte(unsigned char b) {
  switch (state_) {
  case State::Ground:
    return GroundByte(b);
  case State::Utf8:
    return Utf8Byte(b);
  case State::Esc:
  case State::EscInter:
    return EscByte(b);
  case State::Csi:
    return CsiByte(b);
  case State::Str:
  case State::StrEsc:
    return StrByte(b);
  }
}

// Text and control characters outside any sequence.
void MiniTerm::GroundByte(unsigned char b) {
  if (b == 0x1b) {
    state_ = State::Esc;
    seq_.clear();
  } else if (b < 0x20 || b == 0x7f) {
    Control(b);
  } else if (b < 0x80) {
    Print(b);
  } else {
    utf8_.assign(1, static_cast<char>(b));
    utf8_need_ = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (utf8_need_ == 1) return Print(0xFFFD);
    state_ = State::Utf8;
  }
}

// Continuation bytes of a UTF-8 character; a stray byte ends it as U+FFFD.
void MiniTerm::Utf8Byte(unsigned char b) {
  if ((b & 0xC0) != 0x80) {
    state_ = State::Ground;
    Print(0xFFFD);
    return GroundByte(b);
  }
  utf8_ += static_cast<char>(b);
  if (utf8_.size() < utf8_need_) return;
  state_ = State::Ground;
  size_t i = 0;
  Print(DecodeUtf8(utf8_, i));
}

// After ESC: intermediates, then a final byte or the start of CSI / a string.
void MiniTerm::EscByte(unsigned char b) {
  if (b == 0x1b) {
    seq_.clear();
    state_ = State::Esc;
  } else if (b < 0x20) {
    Control(b);
  } else if (b < 0x30) {
    seq_ += static_cast<char>(b);
    state_ = State::EscInter;
  } else if (state_ == State::Esc && b == '[') {
    state_ = State::Csi;
  } else if (state_ == State::Esc &&
             (b == ']' || b == 'P' || b == '_' || b == '^' || b == 'X')) {
    state_ = State::Str;
  } else {
    state_ = State::Ground;
    if (seq_.empty()) EscFinal(b); // designations like ESC ( B are ignored
  }
}

// Parameters, intermediates and the final byte of a CSI sequence.  Control
// characters inside the sequence are executed, as terminals do.
void MiniTerm::CsiByte(unsigned char b) {
  if (b == 0x1b) {
    seq_.clear();
    state_ = State::Esc;
  } else if (b < 0x20) {
    Control(b);
  } else if (b < 0x40) {
    seq_ += static_cast<char>(b);
  } else {
    state_ = State::Ground;
    if (b < 0x7f) CsiDispatch(b);
  }
}

// OSC, DCS, APC, PM and SOS strings are skipped up to BEL or ST.
void MiniTerm::StrByte(unsigned char b) {
  if (b == 0x07 && state_ == State::Str) {
    state_ = State::Ground;
  } else if (b == 0x1b) {
    state_ = State::StrEsc;
  } else if (state_ == State::StrEsc) {
    state_ = b == '\\' ? State::Ground : State::Str;
  }
}

// C0 controls.  A motion that changes the position cancels a pending wrap.
void MiniTerm::Control(unsigned char b) {
  Pos old = cur_;
  switch (b) {
  case 0x08:
    if (cur_.col > 0) --cur_.col;
    break;
  case 0x09:
    while (cur_.col < cols_ - 1 && (++cur_.col % 8) != 0) {
    }
    break;
  case 0x0a:
  case 0x0b:
  case 0x0c:
    LineFeed();
    break;
  case 0x0d:
    cur_.col = 0;
    break;
  default: // NUL, BEL, SO, SI and the rest change nothing on the screen
    break;
  }
  if (cur_ != old) pending_ = false;
}

// ESC sequences without intermediates.
void MiniTerm::EscFinal(unsigned char b) {
  switch (b) {
  case '7':
    return SaveCursor();
  case '8':
    return RestoreCursor();
  case 'D':
    return LineFeed();
  case 'E':
    cur_.col = 0;
    pending_ = false;
    return LineFeed();
  case 'M':
    return ReverseIndex();
  case 'c':
    return Reset();
  default: // ESC = and ESC > (keypad), tab set and others: no visible effect
    return;
  }
}

// Numeric parameter i of the current CSI sequence; def when absent or 0.
int MiniTerm::Arg(size_t i, int def) const {
  size_t pos = (!seq_.empty() && seq_[0] >= 0x3c) ? 1 : 0;
  for (size_t k = 0; k < i && pos != std::string::npos; ++k) {
    pos = seq_.find_first_of(";:", pos);
    if (pos != std::string::npos) ++pos;
  }
  if (pos == std::string::npos || pos >= seq_.size() || seq_[pos] < '0' ||
      seq_[pos] > '9')
    return def;
  int v = std::atoi(seq_.c_str() + pos);
  return v == 0 ? def : std::min(v, 9999);
}

// Routes a CSI sequence by its prefix; ones with intermediates are ignored.
void MiniTerm::CsiDispatch(unsigned char final) {
  if (seq_.find_first_of(" !\"#$%&'()*+,-./") != std::string::npos) return;
  if (!seq_.empty() && seq_[0] == '?') return CsiPrivate(final);
  if (!seq_.empty() && seq_[0] >= 0x3c) return; // > = < : not modelled
  CsiPlain(final);
}

// Non-private CSI sequences.
void MiniTerm::CsiPlain(unsigned char final) {
  if (CsiMove(final) || CsiEdit(final)) return;
  switch (final) {
  case 'h':
  case 'l':
    if (Arg(0, 0) == 4) insert_ = final == 'h';
    return;
  case 'n':
  case 'c':
    return Reply(final);
  case 'b':
    for (int n = Count(0); n > 0 && last_cp_; --n)
      Print(last_cp_);
    return;
  default: // SGR, window operations and the rest: nothing visible
    return;
  }
}

// Cursor motions; true when `final` was one.  They always cancel a pending wrap.
bool MiniTerm::CsiMove(unsigned char final) {
  switch (final) {
  case 'A':
    MoveTo(cur_.row - Count(0), cur_.col);
    return true;
  case 'B':
  case 'e':
    MoveTo(cur_.row + Count(0), cur_.col);
    return true;
  case 'C':
  case 'a':
    MoveTo(cur_.row, cur_.col + Count(0));
    return true;
  case 'D':
    MoveTo(cur_.row, cur_.col - Count(0));
    return true;
  case 'E':
    MoveTo(cur_.row + Count(0), 0);
    return true;
  case 'F':
    MoveTo(cur_.row - Count(0), 0);
    return true;
  case 'G':
  case '`':
    MoveTo(cur_.row, Arg(0, 1) - 1);
    return true;
  case 'd':
    MoveTo(Arg(0, 1) - 1, cur_.col);
    return true;
  case 'H':
  case 'f':
    MoveTo(Arg(0, 1) - 1, Arg(1, 1) - 1);
    return true;
  default:
    return false;
  }
}

// Erasing, inserting, deleting and scrolling; true when `final` was one.
bool MiniTerm::CsiEdit(unsigned char final) {
  bool in_region = cur_.row >= top_ && cur_.row <= bottom_;
  switch (final) {
  case 'J':
    EraseDisplay(Arg(0, 0));
    return true;
  case 'K':
    EraseLine(Arg(0, 0));
    return true;
  case 'L':
    if (in_region) ScrollDown(cur_.row, bottom_, Count(0));
    return true;
  case 'M':
    if (in_region) ScrollUp(cur_.row, bottom_, Count(0));
    return true;
  case 'P':
    DeleteChars(Count(0));
    return true;
  case '@':
    InsertBlanks(Count(0));
    return true;
  case 'X':
    Blank(cur_.row, cur_.col, std::min(cols_, cur_.col + Count(0)));
    return true;
  case 'S':
    ScrollUp(top_, bottom_, Count(0));
    return true;
  case 'T':
    if (seq_.find(';') == std::string::npos) ScrollDown(top_, bottom_, Count(0));
    return true;
  case 'r':
    top_ = Arg(0, 1) - 1;
    bottom_ = std::min(rows_, Arg(1, rows_)) - 1;
    if (top_ >= bottom_) top_ = 0, bottom_ = rows_ - 1;
    MoveTo(0, 0);
    return true;
  default:
    return false;
  }
}

// DEC private sequences: modes, and selective erase taken as plain erase.
void MiniTerm::CsiPrivate(unsigned char final) {
  if (final == 'J') return EraseDisplay(Arg(0, 0));
  if (final == 'K') return EraseLine(Arg(0, 0));
  if (final != 'h' && final != 'l') return;
  for (size_t i = 0; i < 16; ++i) {
    int mode = Arg(i, 0);
    if (mode) DecMode(mode, final == 'h');
  }
}

// One DEC private mode: autowrap, cursor visibility, alternate screen.
void MiniTerm::DecMode(int mode, bool on) {
  switch (mode) {
  case 7:
    autowrap_ = on;
    if (!on) pending_ = false;
    break;
  case 25:
    cursor_visible_ = on;
    break;
  case 1048:
    on ? SaveCursor() : RestoreCursor();
    break;
  case 47:
  case 1047:
  case 1049:
    if (on && mode == 1049) SaveCursor();
    if (on && !alt_on_) alt_.assign(rows_, Line(cols_));
    alt_on_ = on;
    if (!on && mode == 1049) RestoreCursor();
    break;
  default: // keypad, mouse, meta, blink and others: nothing visible
    break;
  }
}

// Device status and attribute reports.
void MiniTerm::Reply(unsigned char final) {
  char buf[32];
  if (final == 'c' && Arg(0, 0) == 0) {
    replies_ += "\x1b[?1;2c";
  } else if (final == 'n' && Arg(0, 0) == 5) {
    replies_ += "\x1b[0n";
  } else if (final == 'n' && Arg(0, 0) == 6) {
    std::snprintf(buf, sizeof buf, "\x1b[%d;%dR", cur_.row + 1, cur_.col + 1);
    replies_ += buf;
  }
}

// Absolute motion clamped to the screen; cancels a pending wrap.
void MiniTerm::MoveTo(int row, int col) {
  cur_.row = std::clamp(row, 0, rows_ - 1);
  cur_.col = std::clamp(col, 0, cols_ - 1);
  pending_ = false;
}

// Writes one character at the cursor according to the wrap mode.
void MiniTerm::Print(char32_t cp) {
  int w = CharWidth(cp);
  if (w < 0) return;
  std::string text = EncodeUtf8(cp);
  if (w == 0) {
    Cell &c = G()[last_glyph_.row][last_glyph_.col];
    if (!c.text.empty()) c.text += text;
    return;
  }
  last_cp_ = cp;
  if (wrap_ == Wrap::Immediate && autowrap_)
    PrintImmediate(text, w);
  else
    PrintDelayed(text, w);
}

// Delayed wrap, or no wrap at all when DECAWM is off.
void MiniTerm::PrintDelayed(const std::string &text, int w) {
  if (autowrap_ && (pending_ || cur_.col + w > cols_)) {
    cur_.col = 0;
    LineFeed();
  }
  pending_ = false;
  if (cur_.col + w > cols_) cur_.col = cols_ - w;
  Put(text, w);
  if (cur_.col + w >= cols_)
    pending_ = autowrap_;
  else
    cur_.col += w;
}

// Immediate wrap: the cursor never rests past the last column.
void MiniTerm::PrintImmediate(const std::string &text, int w) {
  if (cur_.col + w > cols_) {
    cur_.col = 0;
    LineFeed();
  }
  Put(text, w);
  cur_.col += w;
  if (cur_.col >= cols_) {
    cur_.col = 0;
    LineFeed();
  }
}

// Stores a glyph at the cursor (shifting the row first in insert mode).
void MiniTerm::Put(const std::string &text, int w) {
  if (insert_) InsertBlanks(w);
  Blank(cur_.row, cur_.col, std::min(cols_, cur_.col + w));
  Line &line = G()[cur_.row];
  line[cur_.col] = Cell{text, false};
  if (w == 2 && cur_.col + 1 < cols_) line[cur_.col + 1] = Cell{"", true};
  last_glyph_ = cur_;
}

// Prepares a cut between columns col - 1 and col: a wide character lying
// across it is blanked whole, so that no half character remains.
void MiniTerm::Cut(int row, int col) {
  Line &line = G()[row];
  if (col <= 0 || col >= cols_ || !line[col].cont) return;
  line[col - 1] = Cell{};
  line[col] = Cell{};
}

// Blanks columns [from, to) of a row.
void MiniTerm::Blank(int row, int from, int to) {
  Cut(row, from);
  Cut(row, to);
  for (int c = from; c < to; ++c)
    G()[row][c] = Cell{};
}

// LF / IND: down one row, scrolling the region when at its bottom.
void MiniTerm::LineFeed() {
  if (cur_.row == bottom_)
    ScrollUp(top_, bottom_, 1);
  else if (cur_.row < rows_ - 1)
    ++cur_.row;
}

// RI: up one row, scrolling the region down when at its top.
void MiniTerm::ReverseIndex() {
  Pos old = cur_;
  if (cur_.row == top_)
    ScrollDown(top_, bottom_, 1);
  else if (cur_.row > 0)
    --cur_.row;
  if (cur_ != old) pending_ = false;
}

// Rows top..bottom move up by n; n blank rows appear at the bottom.
void MiniTerm::ScrollUp(int top, int bottom, int n) {
  n = std::min(n, bottom - top + 1);
  Grid &g = G();
  std::rotate(g.begin() + top, g.begin() + top + n, g.begin() + bottom + 1);
  for (int r = bottom - n + 1; r <= bottom; ++r)
    g[r] = Line(cols_);
}

// Rows top..bottom move down by n; n blank rows appear at the top.
void MiniTerm::ScrollDown(int top, int bottom, int n) {
  n = std::min(n, bottom - top + 1);
  Grid &g = G();
  std::rotate(g.begin() + top, g.begin() + bottom + 1 - n, g.begin() + bottom + 1);
  for (int r = top; r < top + n; ++r)
    g[r] = Line(cols_);
}

// ICH: n blanks at the cursor; the rest of the row moves right.
void MiniTerm::InsertBlanks(int n) {
  Line &line = G()[cur_.row];
  n = std::min(n, cols_ - cur_.col);
  Cut(cur_.row, cur_.col);
  Cut(cur_.row, cols_ - n);
  line.insert(line.begin() + cur_.col, n, Cell{});
  line.resize(cols_);
}

// DCH: n characters at the cursor go; blanks come in at the right.
void MiniTerm::DeleteChars(int n) {
  Line &line = G()[cur_.row];
  n = std::min(n, cols_ - cur_.col);
  Cut(cur_.row, cur_.col);
  Cut(cur_.row, cur_.col + n);
  line.erase(line.begin() + cur_.col, line.begin() + cur_.col + n);
  line.resize(cols_);
}

// ED 0 (to the end), 1 (from the start, cursor included), 2 and 3 (all).
void MiniTerm::EraseDisplay(int how) {
  if (how == 0) {
    EraseLine(0);
    for (int r = cur_.row + 1; r < rows_; ++r)
      Blank(r, 0, cols_);
  } else if (how == 1) {
    for (int r = 0; r < cur_.row; ++r)
      Blank(r, 0, cols_);
    EraseLine(1);
  } else {
    for (int r = 0; r < rows_; ++r)
      Blank(r, 0, cols_);
  }
}

// EL 0 (to the end), 1 (from the start, cursor included), 2 (whole row).
void MiniTerm::EraseLine(int how) {
  if (how == 0) Blank(cur_.row, cur_.col, cols_);
  if (how == 1) Blank(cur_.row, 0, cur_.col + 1);
  if (how == 2) Blank(cur_.row, 0, cols_);
}

// Rows in the common format.
std::vector<std::string> MiniTerm::Rows() const {
  std::vector<std::string> out;
  for (const Line &line : G()) {
    std::string row;
    for (const Cell &c : line)
      if (!c.cont) row += c.text.empty() ? std::string(" ") : c.text;
    out.push_back(row);
  }
  return out;
}

} // namespace

// Factory for the bench's own emulator.
std::unique_ptr<Terminal> MakeMiniTerm(int rows, int cols, Wrap wrap) {
  return std::make_unique<MiniTerm>(rows, cols, wrap);
}

} // namespace bench
