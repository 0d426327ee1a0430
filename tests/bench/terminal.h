// Terminal emulators for the test bench, and the text helpers they share.
//
// A Terminal turns the bytes a program wrote to its terminal into what a person
// would see: one UTF-8 string per row and a cursor (MakeVTerm: libvterm,
// plus the wrap of a terminal that wraps at once, which libvterm lacks).
//
// Row format: exactly `cols` display columns.  A blank cell is a space;
// a double-width character appears once and covers its two columns (the second
// column adds nothing to the string); combining characters follow their base.
#ifndef QX_BENCH_TERMINAL_H
#define QX_BENCH_TERMINAL_H

#include <memory>
#include <string>
#include <vector>

namespace bench {

// A cursor position, 0-based.
struct Pos {
  int row = 0;
  int col = 0;
  bool operator==(const Pos &o) const {
    return row == o.row && col == o.col;
  }
  bool operator!=(const Pos &o) const {
    return !(*this == o);
  }
};

// How a terminal behaves when a character is written in its last column.
enum class Wrap {
  Delayed,   // cursor stays in the last column; the next character wraps
  Immediate, // cursor moves to the next row at once (scrolls at the bottom)
  None       // no automatic margins: the last column is overwritten
};

const char *WrapName(Wrap w);

class Terminal {
public:
  virtual ~Terminal() = default;
  // Interprets bytes written to the terminal; sequences may be split anywhere.
  virtual void Feed(const std::string &bytes) = 0;
  // The rendered rows (see the row format above).
  virtual std::vector<std::string> Rows() const = 0;
  virtual Pos Cursor() const = 0;
  virtual bool CursorVisible() const = 0;
  // Answers the terminal owes the program (device status reports); cleared.
  virtual std::string TakeReplies() = 0;
  // The window changes size, as a terminal emulator's does: what fits stays
  // top-left, the cursor is kept inside, the scroll region is reset.
  virtual void Resize(int rows, int cols) = 0;
};

// libvterm with UTF-8 input and the alternate screen enabled, wrapping as
// `wrap` says (None: automatic margins off, as on a terminal without `am`).
std::unique_ptr<Terminal> MakeVTerm(int rows, int cols, Wrap wrap = Wrap::Delayed);

// ---- Text helpers ----------------------------------------------------------

// Display width of a code point under C.UTF-8 (wcwidth): 0, 1 or 2; -1 for
// control characters.  Independent of the calling process's locale.
int CharWidth(char32_t cp);

// Decodes one UTF-8 character at s[i], advancing i; an invalid or truncated
// sequence gives U+FFFD and consumes one byte.
char32_t DecodeUtf8(const std::string &s, size_t &i);
std::string EncodeUtf8(char32_t cp);

// Splits a row string into display cells: element c is what column c shows
// ("" for the second column of a double-width character).
std::vector<std::string> SplitCells(const std::string &row);

// Removes trailing spaces.
std::string TrimRight(const std::string &s);

// Bytes shown readably: printable ASCII as is, others as \xNN, ESC as \e.
std::string Printable(const std::string &bytes);

} // namespace bench

#endif // QX_BENCH_TERMINAL_H
