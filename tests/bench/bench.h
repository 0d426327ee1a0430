// The terminal test bench (tests/README.md): a Scenario runs a function in a child on a
// fresh pseudo-terminal, renders its output with libvterm, types keys and talks to the
// child over a side channel.  A screen row has exactly `cols` display columns: a blank
// cell is a space, a wide character appears once, combining ones follow their base.
#ifndef QX_BENCH_BENCH_H
#define QX_BENCH_BENCH_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ConsoleState; // console.h; only pointers are used here
struct VTerm;

namespace bench {

using testing::AssertionResult;

// A cursor position, 0-based.
struct Pos {
  int row = 0, col = 0; // from the top, from the left
  bool operator==(const Pos &o) const {
    return row == o.row && col == o.col;
  }
};

// How a terminal behaves when a character is written in its last column.
enum class Wrap {
  Delayed,   // cursor stays in the last column; the next character wraps
  Immediate, // cursor moves to the next row at once (scrolls at the bottom)
  None       // no automatic margins: the last column is overwritten
};

// libvterm with UTF-8 input and the alternate screen, wrapping as `wrap` says.
class Terminal {
public:
  Terminal(int rows, int cols, Wrap wrap);
  // Interprets output bytes (split anywhere); returns the answers owed to the
  // program.  Wrapping at once (`am` without `xenl`), a character that fills the
  // last column is followed by a CR LF, scrolling at the bottom of the region.
  std::string Feed(const std::string &bytes);
  std::vector<std::string> Rows() const;
  Pos Cursor() const;
  void Resize(int rows, int cols);

private:
  void Setup(int rows, int cols);
  void Write(const std::string &bytes);
  bool Printable(unsigned char b, char32_t *cp);

  std::unique_ptr<VTerm, void (*)(VTerm *)> vt_; // the emulator
  int rows_, cols_;                              // the window's size
  const Wrap wrap_;                              // the terminal's kind of wrap
  bool alt_on_ = false;                          // the alternate screen is shown
  bool autowrap_ = true;                         // DECAWM as the program set it
  std::string replies_;                          // answers not yet taken
  char state_ = 'g';       // byte parser: g(round), e(sc), c(si), s(tring)
  std::string seq_, utf8_; // the CSI sequence, a partial UTF-8 character
};

// Display width under C.UTF-8 whatever this process's locale: 0, 1, 2; -1 for
// control characters.
int CharWidth(char32_t cp);
// Decodes the character at s[i], advancing i; a bad byte, truncation, an overlong
// form, a surrogate or a value past U+10FFFF give U+FFFD for one byte.
char32_t DecodeUtf8(const std::string &s, size_t &i);
std::string EncodeUtf8(char32_t cp);
// Element c is what column c of a row shows: "" right of a wide character; a
// zero-width character joins the cell before it.
std::vector<std::string> SplitCells(const std::string &row);
std::string TrimRight(const std::string &s);
// Printable ASCII as is, ESC as \e, backslash as \\, others as \xNN.
std::string Printable(const std::string &bytes);
Wrap TerminfoWrap(const std::string &term);

// ---- In the child (ordinary code, not signal handlers) -----------------------
namespace wire {
// Writes all of `data`, waiting on a full descriptor; false on an error.
bool WriteAll(int fd, const std::string &data);
} // namespace wire
// Sends key = value (any bytes) to the parent; the latest value wins.
void Report(const std::string &key, const std::string &value);
void Report(const std::string &key, long long value);
// The child reached `name`; WaitStep sees it after all output written so far.
void Step(const std::string &name);
// Blocks until the parent calls Scenario::Go; exits if the parent has gone.
std::string WaitParent();
// A test failure in the parent; the child exits with status 97.
[[noreturn]] void Fail(const std::string &what);
// Reports the shadow (shadow.rows, .columns, .cur_x, .cur_y, .row.<r>: row r's 4 *
// columns bytes, .col: the cursor's display column by _Curses_num_cur_x) or
// shadow.missing = 1.
void ReportShadow(const ConsoleState *con, int (*num_cur_x)(int x, int y));

// ---- In the parent -----------------------------------------------------------
enum class Stdin {
  Terminal, // the slave, like standard output
  Closed,   // descriptor 0 closed
  DevNull   // /dev/null: reads give end of file at once
};

struct Options {
  Options(int rows = 24, int cols = 80, std::string term = "xterm")
      : rows(rows), cols(cols), term(std::move(term)) {}
  int rows, cols;                     // the window
  std::string term;                   // TERM; the emulator wraps as it says
  std::string locale = "C.UTF-8";     // LC_ALL
  std::map<int, unsigned char> cc;    // termios c_cc set on the slave first
  Stdin stdin_mode = Stdin::Terminal; // standard input of the child
  int timeout_ms = 10000;             // for every wait
};

// A child on a fresh pseudo-terminal whose output the parent renders.  Waits fail (with
// the screen, steps and stderr) after timeout_ms, or at once when the child has died.
class Scenario {
public:
  // Opens the terminal with the options' size and characters, starts `child`.
  Scenario(const Options &opt, std::function<void()> child);
  // Kills a child (group) still running; an unreported crash or exit != 0 fails.
  ~Scenario();

  // Keys typed at the terminal.
  void Send(const std::string &bytes);
  // Renders what came, then the emulator and the terminal (SIGWINCH) resize;
  // without `emulator` only the terminal's size changes, nothing is read.
  void Resize(int rows, int cols, bool emulator = true);
  // Lets the child's WaitParent return `data`.
  void Go(const std::string &data = "go");
  // The next not yet awaited Step(name).
  [[nodiscard]] AssertionResult WaitStep(const std::string &name);
  // Some row contains `text` (a match cannot span rows).
  [[nodiscard]] AssertionResult WaitForScreenText(const std::string &text);
  // Pumps until `done` holds, the child is gone, or the deadline passes.
  [[nodiscard]] AssertionResult WaitFor(const std::function<bool()> &done,
                                        const std::string &what);
  // The child has exited and all its output is read.
  [[nodiscard]] AssertionResult WaitExit();
  // After WaitExit: the exit status, or 128 + the signal; -1 before.
  int ExitCode() const;
  // The latest reported value; a missing key is a test failure and gives "".
  std::string Get(const std::string &key) const;
  bool Has(const std::string &key) const {
    return reports_.count(key) != 0;
  }
  std::vector<std::string> Screen() const {
    return term_->Rows();
  }
  // The rows without trailing spaces, joined by '\n', without blank rows at the end.
  std::string ScreenText() const;
  Pos Cursor() const {
    return term_->Cursor();
  }

  // Read-only outside: the options as given, the child, all terminal output
  // but step markers (a possible marker start waits), all the child's stderr.
  Options opt;
  pid_t pid = -1;
  std::string raw, stderr_text;

private:
  void Pump(int timeout_ms);
  void Reap(bool block);
  void OnTerminalBytes(const std::string &got, bool end);
  void Emit(const std::string &bytes);
  void MaybeRelease();
  void OnMessage(const std::string &msg);
  bool Gone() const;
  void Push(const int &fd, const std::string &bytes, const std::string &what);
  std::string ChildState() const;
  std::string Describe() const;

  std::unique_ptr<Terminal> term_;                      // renders the output
  int master_ = -1, side_ = -1, err_ = -1, pidfd_ = -1; // our ends; -1 once closed
  int writing_ = -1;                                    // a write waits for room here
  int status_ = 0;                                      // the wait status once reaped
  bool reaped_ = false, reported_ = false;     // a wait or the child reported its end
  std::string term_buf_;                       // output held back (a marker's start?)
  std::map<std::string, std::string> reports_; // the latest values
  std::vector<std::pair<unsigned, std::string>> steps_; // announced: marker, name
  std::map<std::string, int> taken_;                    // consumed by WaitStep
  unsigned marker_seen_ = 0, last_marker_ = 0;          // the highest arrived, announced
  bool release_wanted_ = false; // the child waits to exit once all markers are in
};

// The shadow as the child reported it with ReportShadow.
struct Shadow {
  int rows = 0, columns = 0, cur_x = 0, cur_y = 0; // as in the module
  int col = 0;                                     // the cursor's display column
  std::vector<std::string> row_bytes;              // each row's 4 * columns bytes
};
// The reported shadow, or why it cannot be read.
[[nodiscard]] AssertionResult ReadShadow(const Scenario &s, Shadow *out);
// A shadow row as the terminal shows it in `columns` display columns (a
// control, DEL or invalid byte as '?'; what would cross the edge is dropped).
std::string ShadowRowToText(const std::string &bytes, int columns);
// The terminal shows `sh` (by default the reported shadow) row by row in
// display cells, and its cursor where the shadow puts it.
[[nodiscard]] AssertionResult ShowsShadow(const Scenario &s,
                                          std::optional<Shadow> sh = {});

} // namespace bench

#endif // QX_BENCH_BENCH_H
