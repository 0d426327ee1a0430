// The terminal test bench.  A Scenario runs a function in a fresh child
// process whose descriptors 0 and 1 are the slave of a fresh pseudo-terminal
// of a chosen size (its controlling terminal: a Ctrl-C typed raises SIGINT).
// The parent renders all the child writes with libvterm, types keys, and
// talks to the child over a side channel (Report, Step, WaitParent in the
// child; Get, WaitStep, Go in the parent).
//
// Synchronisation is by events only.  Every wait pumps the terminal, the side
// channel and standard error, and fails (explaining what it awaited, with the
// screen, the steps seen and standard error) after Options::timeout_ms, or at
// once when the child has died.  When WaitStep returns, everything the child
// wrote before that Step has been rendered.
//
// In the child: descriptor 2 is a pipe the parent captures, 3 and 4 are the
// bench's; TERM, TERMINFO (the test entries) and LC_ALL come from the
// options; signals have their default actions; GoogleTest assertions would be
// lost (report values, or call Fail); when the function returns, the child
// flushes stdio and exits 0.
#ifndef QX_BENCH_BENCH_H
#define QX_BENCH_BENCH_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ConsoleState; // console.h; only pointers are used here

namespace bench {

// ---- The terminal ------------------------------------------------------------
// Row format: exactly `cols` display columns; a blank cell is a space, a
// double-width character appears once, combining characters follow their base.

// A cursor position, 0-based.
struct Pos {
  int row = 0;
  int col = 0;
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

// ---- Child side ------------------------------------------------------------
// These run in the child only, from ordinary code (not from signal handlers).
// Nothing they allocate outlives the call.

// Sends key = value to the parent (the latest value of a key wins).  Any bytes
// are allowed in the value.
void Report(const std::string &key, const std::string &value);
void Report(const std::string &key, long long value);

// Tells the parent that the child reached `name`, after making sure that all
// terminal output written so far will be rendered before the parent sees it.
void Step(const std::string &name);

// Blocks until the parent calls Scenario::Go and returns its data.  Exits the
// child if the parent has gone.
std::string WaitParent();

// Reports a failure to the parent (recorded there as a test failure) and ends
// the child with status 97.
[[noreturn]] void Fail(const std::string &what);

// Reports the module's shadow screen and cursor: shadow.rows, shadow.columns,
// shadow.cur_x, shadow.cur_y, shadow.row.<r> (the 4 * columns bytes of row r)
// and, when `num_cur_x` is given (pass _Curses_num_cur_x), shadow.col, the
// cursor's display column.  Reports shadow.missing = 1 when there is no shadow.
void ReportShadow(const ConsoleState *con, int (*num_cur_x)(int x, int y));

// ---- Terminfo ----------------------------------------------------------------

// How a terminal of the test terminfo directory wraps, read by setupterm in a
// short-lived child (the calling process's curses state is not touched):
// am && !xenl -> Immediate; !am -> None; otherwise (or not found) Delayed.
Wrap TerminfoWrap(const std::string &term);

// ---- Parent side -------------------------------------------------------------

// What standard input of the child is.
enum class Stdin {
  Terminal, // the slave, like standard output
  Closed,   // descriptor 0 closed
  DevNull   // /dev/null: reads give end of file at once
};

struct Options {
  int rows = 24;
  int cols = 80;
  std::string term = "xterm";
  std::string locale = "C.UTF-8";
  // The emulator follows the entry's wrap behaviour (TerminfoWrap).
  // termios c_cc entries set on the slave before the child starts, e.g.
  // {{VINTR, 0x18}, {VERASE, 0x08}}.
  std::map<int, unsigned char> cc;
  Stdin stdin_mode = Stdin::Terminal;
  int timeout_ms = 10000; // for every wait
};

class Scenario {
public:
  // Starts the child; `child` runs there and must not return into the caller.
  Scenario(const Options &opt, std::function<void()> child);
  // Kills the child (and its process group) if it still runs.  A child that
  // died of a signal, or exited non-zero, without any wait having reported it
  // is recorded as a test failure.
  ~Scenario();
  Scenario(const Scenario &) = delete;
  Scenario &operator=(const Scenario &) = delete;

  // Writes bytes to the master, as keys typed at the terminal.
  void Send(const std::string &bytes);
  // Changes the window's size: what the child wrote so far is rendered at the
  // old size, then the emulator and the terminal (TIOCSWINSZ on the master,
  // which sends SIGWINCH to the child) take the new one.
  void Resize(int rows, int cols);
  // Lets the child's WaitParent return `data` (one line; any bytes).
  void Go(const std::string &data = "go");

  // Waits for the next not yet awaited Step(name).
  [[nodiscard]] testing::AssertionResult WaitStep(const std::string &name);
  // Waits until some row of the rendered screen contains `text`.
  [[nodiscard]] testing::AssertionResult WaitForScreenText(const std::string &text);
  // Waits until `done()` holds; `what` names it in the failure message.
  [[nodiscard]] testing::AssertionResult WaitFor(const std::function<bool()> &done,
                                                 const std::string &what);
  // Waits until the child has exited and all its output is read.
  [[nodiscard]] testing::AssertionResult WaitExit();

  // After WaitExit: the exit status, or 128 + the signal that killed it.
  int ExitCode() const;
  // The latest reported value of `key`; a missing key is a test failure and
  // gives "".
  std::string Get(const std::string &key) const;
  bool Has(const std::string &key) const;

  // The rendered screen, one UTF-8 string per row (the row format above).
  std::vector<std::string> Screen() const;
  // The rows with trailing spaces removed, joined by '\n'.
  std::string ScreenText() const;
  Pos Cursor() const;
  bool CursorVisible() const;
  // Every byte the child wrote to the terminal, in order, without the step
  // markers.  A trailing ESC (or ESC _ ...) that could begin a marker is held
  // back until the next output, step or exit.
  const std::string &RawOutput() const;
  // Everything the child wrote to descriptor 2.
  const std::string &Stderr() const;

  pid_t Pid() const;
  const Options &options() const;
  // The wrap behaviour the emulator models.
  Wrap wrap() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- Shadow screen comparisons ----------------------------------------------

// The module's shadow screen as the child reported it with ReportShadow.
struct Shadow {
  int rows = 0, columns = 0, cur_x = 0, cur_y = 0;
  int col = -1; // display column of the cursor; -1 when not reported
  std::vector<std::string> row_bytes;
};
[[nodiscard]] testing::AssertionResult ReadShadow(const Scenario &s, Shadow *out);

// A shadow row as the terminal shows it, in the row format above: UTF-8 is
// decoded (a control, DEL or an invalid byte becomes '?'), a character of
// width 2 takes two columns, a space is an empty cell, and bytes past
// `columns` display columns (or a wide character that would cross that edge)
// are ignored.
std::string ShadowRowToText(const std::string &bytes, int columns);

// The rendered screen equals the shadow, row by row; on failure the first
// differing row and column are named with both texts.
[[nodiscard]] testing::AssertionResult ScreenEqualsShadow(const Scenario &s);
// The same against a shadow obtained otherwise (e.g. read from a blocked child).
[[nodiscard]] testing::AssertionResult ScreenEqualsShadow(const Scenario &s,
                                                          const Shadow &sh);
// The terminal's cursor is where the shadow says: row cur_y, display column
// shadow.col (columns - 1 when the cursor is at the right edge).
[[nodiscard]] testing::AssertionResult CursorEqualsShadow(const Scenario &s);
[[nodiscard]] testing::AssertionResult CursorEqualsShadow(const Scenario &s,
                                                          const Shadow &sh);
// EXPECT_TRUE(ScreenEqualsShadow(s)), for brevity.
void ExpectScreenEqualsShadow(const Scenario &s);

} // namespace bench

#endif // QX_BENCH_BENCH_H
