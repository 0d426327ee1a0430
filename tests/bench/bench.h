// The terminal test bench.
//
// A Scenario runs a test-supplied function in a fresh child process whose
// standard input and output are the slave of a fresh pseudo-terminal of a
// chosen size, with the slave as its controlling terminal (so a Ctrl-C written
// to the master raises SIGINT in it).  The parent renders everything the child
// writes with a terminal emulator, types keys, and talks to the child over a
// side channel.
//
//   bench::Options opt;
//   opt.term = "xterm"; opt.rows = 5; opt.cols = 12;
//   bench::Scenario s(opt, [] {                      // runs in the child
//     setlocale(LC_ALL, "");
//     initscr(); cbreak(); noecho();
//     addstr("hi"); refresh();
//     bench::Step("ready");                          // child -> parent
//     int ch = getch();
//     bench::Report("key", std::to_string(ch));
//     endwin();
//   });
//   ASSERT_TRUE(s.WaitStep("ready"));                // parent side
//   EXPECT_EQ(bench::TrimRight(s.Screen()[0]), "hi");
//   s.Send("x");
//   ASSERT_TRUE(s.WaitExit());
//   EXPECT_EQ(s.Get("key"), "120");
//
// Synchronisation is by events only.  Every wait pumps the terminal, the side
// channel and standard error, and fails (returns a failed AssertionResult that
// explains what was awaited and shows the screen, the steps seen and standard
// error) after Options::timeout_ms, or at once when the child has died.  When
// WaitStep returns, everything the child wrote to the terminal before calling
// Step has been rendered.
//
// In the child:
//   - descriptors 0 and 1 are the slave, 2 is a pipe the parent captures,
//     3 is the side channel and 4 a second handle on the slave (both reserved);
//   - TERM is Options::term, TERMINFO the bench's compiled test entries,
//     LC_ALL Options::locale; LINES, COLUMNS and TERMINFO_DIRS are unset;
//   - signals have their default actions and none is blocked;
//   - the function must not use GoogleTest assertions (they would be lost):
//     report values and check them in the parent, or call bench::Fail;
//   - when the function returns the child flushes stdio and calls _exit(0);
//     it never returns into GoogleTest.
// Keys typed before the child has switched echo off are echoed by the
// terminal, as on a real one: wait for a step first.
#ifndef QX_BENCH_BENCH_H
#define QX_BENCH_BENCH_H

#include "terminal.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ConsoleState; // console.h; only pointers are used here

namespace bench {

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
// shadow.cur_x, shadow.cur_y, shadow.row.<r> (the 4 * columns bytes of row r,
// hex) and, when `num_cur_x` is given (pass _Curses_num_cur_x), shadow.col, the
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

  // The rendered screen, one UTF-8 string per row (see terminal.h for the format).
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

// A shadow row as the terminal shows it, in the row format of terminal.h: UTF-8 is
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
