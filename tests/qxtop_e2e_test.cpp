// End-to-end tests of qxtop: the program runs in a private tmux server, which
// is the terminal emulator; keys are typed with send-keys and the screen is
// read back with capture-pane.  Every wait polls the screen against a
// deadline.  Each test has its own server (its own socket), so tests of two
// programs may run at the same time, and nothing depends on the invoking
// terminal: qxtop's TERM is set in the session's command.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef QXTOP_BINARY
#error "QXTOP_BINARY must name the qxtop program"
#endif
#ifndef QX_TMUX
#define QX_TMUX ""
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr auto kPoll = std::chrono::milliseconds(50);

// The tmux found at configuration time, else tmux on the PATH.
const char *TmuxProgram() {
  return QX_TMUX[0] != '\0' ? QX_TMUX : "tmux";
}

// Runs a program (no shell) with standard input from /dev/null; returns its
// exit status (-1 if it could not run) and, when `out` is given, its output.
int RunProgram(const std::vector<std::string> &args, std::string *out = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out != nullptr ? fds[1] : null, 1);
    dup2(null, 2);
    close(fds[0]);
    close(fds[1]);
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0 && out != nullptr) out->append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The screen as lines with trailing blanks removed (capture-pane keeps them
// for rows that held text).
Lines SplitScreen(const std::string &screen) {
  Lines lines;
  std::istringstream in(screen);
  std::string line;
  while (std::getline(in, line)) {
    line.erase(line.find_last_not_of(' ') + 1);
    lines.push_back(line);
  }
  return lines;
}

// True when some line is exactly `want`.
bool HasLine(const Lines &lines, const std::string &want) {
  for (const std::string &l : lines)
    if (l == want) return true;
  return false;
}

// How many lines are exactly `want`.
int CountLines(const Lines &lines, const std::string &want) {
  int n = 0;
  for (const std::string &l : lines)
    n += l == want;
  return n;
}

// True when some line contains `want`.
bool Contains(const Lines &lines, const std::string &want) {
  for (const std::string &l : lines)
    if (l.find(want) != std::string::npos) return true;
  return false;
}

// The last line that is not empty ("" when the screen is blank).
std::string LastLine(const Lines &lines) {
  for (size_t k = lines.size(); k-- > 0;)
    if (!lines[k].empty()) return lines[k];
  return "";
}

// The screen with row numbers, for failure messages.
std::string Show(const Lines &lines) {
  std::string out;
  for (size_t k = 0; k < lines.size(); k++)
    out += (k < 10 ? " " : "") + std::to_string(k) + "|" + lines[k] + "\n";
  return out;
}

// One tmux server of its own, 80 x 24, running qxtop with the given TERM.
// The server is killed when the object goes, whatever the test did.
class Terminal {
public:
  // With `report_exit`, a shell runs qxtop and then prints its exit status;
  // otherwise qxtop replaces the shell and gets the terminal's signals alone.
  Terminal(const std::string &term, bool report_exit) {
    static int counter = 0;
    socket_ = "qxtop-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    unsetenv("TMUX"); // started inside tmux, the tests still use their own server
    // The system's terminal descriptions, whatever TERMINFO the caller set.
    std::string command = "env -u TERMINFO -u TERMINFO_DIRS TERM=" + term + " '" +
                          std::string(QXTOP_BINARY) + "'";
    command = report_exit ? command + "; echo qxtop exit status $?" : "exec " + command;
    started_ =
        Tmux({"-f", "/dev/null", "new-session", "-d", "-x", "80", "-y", "24", "-s", "qx",
              command, ";", "set-option", "-g", "remain-on-exit", "on"}) == 0;
  }
  // Ends the server and removes its socket, which tmux leaves behind.
  ~Terminal() {
    std::string path;
    Tmux({"display-message", "-p", "#{socket_path}"}, &path);
    Tmux({"kill-server"});
    while (!path.empty() && path.back() == '\n')
      path.pop_back();
    if (path.find("/" + socket_) != std::string::npos) unlink(path.c_str());
  }
  // True when tmux started the session.
  bool started() const {
    return started_;
  }

  // Types text literally (no key names).
  void Type(const std::string &text) {
    Tmux({"send-keys", "-t", "qx", "-l", text});
  }
  // Presses keys by tmux name: Enter, Up, C-a, ...
  void Key(const std::string &key) {
    Tmux({"send-keys", "-t", "qx", key});
  }
  // Types a line and Enter.
  void Line(const std::string &text) {
    Type(text);
    Key("Enter");
  }
  // The visible screen, 24 lines.
  Lines Screen() {
    std::string out;
    Tmux({"capture-pane", "-p", "-t", "qx"}, &out);
    return SplitScreen(out);
  }
  // The screen with the lines scrolled off above it (tmux scrolls the pane
  // when it notes that the program ended).
  Lines ScreenAndHistory() {
    std::string out;
    Tmux({"capture-pane", "-p", "-S", "-", "-t", "qx"}, &out);
    return SplitScreen(out);
  }
  // Polls the screen (and the lines scrolled off it, with `with_history`)
  // until `ready` holds; false (and *last holds the final screen) when the
  // deadline passes first.
  bool WaitFor(const std::function<bool(const Lines &)> &ready, Lines *last,
               bool with_history = false) {
    auto end = Clock::now() + kDeadline;
    for (;;) {
      *last = with_history ? ScreenAndHistory() : Screen();
      if (ready(*last)) return true;
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(kPoll);
    }
  }

  // Polls until two captures `gap` apart are equal: the screen has stopped
  // changing.  False if it still changes at the deadline.
  bool WaitStill(std::chrono::milliseconds gap, Lines *last) {
    auto end = Clock::now() + kDeadline;
    Lines before = Screen();
    for (;;) {
      std::this_thread::sleep_for(gap);
      *last = Screen();
      if (*last == before) return true;
      if (Clock::now() > end) return false;
      before = *last;
    }
  }

private:
  std::string socket_;
  bool started_ = false;

  // Runs one tmux command on this server.
  int Tmux(std::vector<std::string> args, std::string *out = nullptr) {
    args.insert(args.begin(), {TmuxProgram(), "-L", socket_});
    return RunProgram(args, out);
  }
};

// Fixture: qxtop started on the terminal type of the parameter and showing
// its greeting and first prompt.
class Qxtop : public ::testing::TestWithParam<const char *> {
protected:
  void SetUp() override {
    if (RunProgram({TmuxProgram(), "-V"}) != 0) GTEST_SKIP() << "tmux is not installed";
    term_ = std::make_unique<Terminal>(GetParam(), ReportExit());
    ASSERT_TRUE(term_->started()) << "tmux did not start a session";
    Await(
        [](const Lines &s) {
          return Contains(s, "Type help. for the goals") && LastLine(s) == "|";
        },
        "the greeting and the first prompt");
  }

  // Whether a shell around qxtop reports its exit status (see Terminal).
  virtual bool ReportExit() const {
    return false;
  }

  // Waits for a screen that satisfies `ready` and returns it.  At the
  // deadline the test ends at once (the exception fails it), with the screen
  // in the message: later steps would only time out too.
  Lines Await(const std::function<bool(const Lines &)> &ready, const std::string &what) {
    Lines last;
    if (!term_->WaitFor(ready, &last))
      throw std::runtime_error("timed out waiting for " + what + "; the screen:\n" +
                               Show(last));
    return last;
  }

  // Waits for the prompt after an answer (a last line of just "|").
  Lines AwaitPrompt(const std::string &what) {
    return Await([](const Lines &s) { return LastLine(s) == "|"; }, what);
  }

  std::unique_ptr<Terminal> term_;
};

// The highest N of the "N  the quick brown fox..." lines of lines/1 on the
// screen; 0 when there is none.
int LastNumberedLine(const Lines &lines) {
  int best = 0;
  for (const std::string &l : lines) {
    size_t gap = l.find("  the quick brown fox");
    if (gap == std::string::npos || gap == 0) continue;
    best = std::max(best, std::atoi(l.substr(0, gap).c_str()));
  }
  return best;
}

TEST_P(Qxtop, ScreenSizeAndCursorPosition) {
  term_->Line("d_screen(W, H).");
  Await([](const Lines &s) { return HasLine(s, "W = 80") && HasLine(s, "H = 24"); },
        "W = 80 and H = 24");
  AwaitPrompt("the prompt after d_screen");

  // The cursor goes to column 10 of row 5; the answers begin on the row
  // below it (row 6, index 5), and d_pos reads the same place back.
  term_->Line("d_cursor(10, 5), d_pos(X, Y).");
  Lines s = Await([](const Lines &s) { return HasLine(s, "Y = 5"); }, "Y = 5");
  ASSERT_GT(s.size(), 7u);
  EXPECT_EQ(s[5], "X = 10") << Show(s);
  EXPECT_EQ(s[6], "Y = 5") << Show(s);
  EXPECT_EQ(s[7], "yes") << Show(s);
}

TEST_P(Qxtop, RowsAboveTheScrollLineStayPut) {
  // Rows 1 to 3 (the greeting, this query, line 1) never scroll; the rest
  // scrolls under them (by deleting a line, or by repainting on a terminal
  // that cannot).
  term_->Line("scroll_line(4), lines(40).");
  Lines s = Await([](const Lines &s) { return HasLine(s, "yes") && LastLine(s) == "|"; },
                  "the end of lines(40)");
  ASSERT_EQ(s.size(), 24u) << Show(s);
  EXPECT_TRUE(Contains({s[0]}, "Type help. for the goals")) << Show(s);
  EXPECT_EQ(s[1], "| scroll_line(4), lines(40).") << Show(s);
  EXPECT_EQ(s[2], "1  the quick brown fox jumps over the lazy dog") << Show(s);
  EXPECT_EQ(s[21], "40  the quick brown fox jumps over the lazy dog") << Show(s);
  for (int row = 3; row < 21; row++)
    EXPECT_EQ(LastNumberedLine({s[size_t(row)]}), row + 19) << Show(s);
}

TEST_P(Qxtop, CtrlSStopsOutputAndCtrlQResumesIt) {
  // Ctrl-S typed before Enter stops output from the first scroll on, so the
  // pause does not depend on how fast the lines come.
  term_->Type("lines(200).");
  term_->Key("C-s");
  term_->Key("Enter");
  Lines paused =
      Await([](const Lines &s) { return LastNumberedLine(s) > 10; }, "the first lines");
  ASSERT_TRUE(term_->WaitStill(std::chrono::milliseconds(300), &paused)) << Show(paused);
  int shown = LastNumberedLine(paused);
  EXPECT_LT(shown, 200) << Show(paused);
  EXPECT_FALSE(HasLine(paused, "yes")) << Show(paused);

  // Stopped means stopped: the screen stays the same for a second.
  for (int k = 0; k < 10; k++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(term_->Screen(), paused) << "output went on while stopped";
  }

  // Another Ctrl-S lets exactly one more line through.
  term_->Key("C-s");
  Lines one = Await([&](const Lines &s) { return LastNumberedLine(s) > shown; },
                    "one more line after Ctrl-S");
  ASSERT_TRUE(term_->WaitStill(std::chrono::milliseconds(300), &one)) << Show(one);
  EXPECT_EQ(LastNumberedLine(one), shown + 1) << Show(one);

  term_->Key("C-q");
  Await(
      [](const Lines &s) {
        return HasLine(s, "200  the quick brown fox jumps over the lazy dog") &&
               HasLine(s, "yes") && LastLine(s) == "|";
      },
      "line 200, yes and the prompt after Ctrl-Q");
}

TEST_P(Qxtop, UpRecallsTheLastLineAndCtrlACopiesTheTemplate) {
  term_->Line("write(first), nl.");
  Await([](const Lines &s) { return HasLine(s, "first"); }, "the output first");
  AwaitPrompt("the prompt after the first query");

  // Up: the previous line comes back after the prompt, and runs again.
  term_->Key("Up");
  Await([](const Lines &s) { return LastLine(s) == "| write(first), nl."; },
        "the recalled line");
  term_->Key("Enter");
  Await([](const Lines &s) { return CountLines(s, "first") == 2; }, "a second first");
  AwaitPrompt("the prompt after the recalled query");

  // Typing over the template moves along it; Ctrl-A copies the rest.
  term_->Type("write(zz");
  term_->Key("C-a");
  Await([](const Lines &s) { return LastLine(s) == "| write(zzrst), nl."; },
        "the template's rest after the typed part");
  term_->Key("Enter");
  Await([](const Lines &s) { return HasLine(s, "zzrst"); }, "the output zzrst");
}

TEST_P(Qxtop, CtrlCAbortsTheLineAndInterruptsOutput) {
  term_->Type("write(never)");
  Await([](const Lines &s) { return LastLine(s) == "| write(never)"; }, "the typed line");
  term_->Key("C-c");
  Lines s = Await([](const Lines &s) { return LastLine(s) == "|"; },
                  "a new prompt after the interrupt");
  EXPECT_TRUE(HasLine(s, "| write(never)^C ABORT")) << Show(s);
  EXPECT_FALSE(HasLine(s, "never")) << "the aborted query ran:\n" << Show(s);

  // The top level reads queries again, with its own prompt and history.
  term_->Line("d_screen(W, _).");
  Await([](const Lines &s) { return HasLine(s, "W = 80"); }, "W = 80 after the abort");
  AwaitPrompt("the prompt after d_screen");

  // Ctrl-C during output stops lines/1 early.
  term_->Line("lines(100000000).");
  Await([](const Lines &s) { return LastNumberedLine(s) > 30; }, "output scrolling");
  term_->Key("C-c");
  s = Await(
      [](const Lines &s) { return HasLine(s, "{Interrupted}") && LastLine(s) == "|"; },
      "{Interrupted} and the prompt");
  EXPECT_LT(LastNumberedLine(s), 100000000);
}

TEST_P(Qxtop, ShellLeavesTheScreenAndComesBackRedrawn) {
  term_->Line("write(marker1), nl.");
  Await([](const Lines &s) { return HasLine(s, "marker1"); }, "marker1");
  AwaitPrompt("the prompt after marker1");

  // d_keyin/1 waits after the shell without writing anything, so what the
  // screen shows then is the redraw of coming back, and nothing later.
  term_->Line("shell('echo hi'), d_keyin(K).");
  Await([](const Lines &s) { return HasLine(s, "hi") && Contains(s, "press Enter"); },
        "the command's output on the plain terminal");
  term_->Key("Enter");
  Lines s = Await(
      [](const Lines &s) {
        return HasLine(s, "marker1") && HasLine(s, "| shell('echo hi'), d_keyin(K).") &&
               !Contains(s, "press Enter");
      },
      "the console screen redrawn, with the earlier text");
  EXPECT_FALSE(HasLine(s, "hi")) << Show(s);

  // The terminal is raw again: one key, without Enter, reaches d_keyin.
  term_->Type("k");
  Await([](const Lines &s) { return HasLine(s, "K = 107") && LastLine(s) == "|"; },
        "K = 107 and the prompt");
  term_->Line("d_screen(W, H).");
  Await([](const Lines &s) { return HasLine(s, "H = 24"); }, "H = 24 after the shell");
}

// qxtop run by a shell that prints its exit status when it ends.
class QxtopExit : public Qxtop {
protected:
  bool ReportExit() const override {
    return true;
  }
};

TEST_P(QxtopExit, EndOfFileOnAnEmptyLineEndsTheProgram) {
  term_->Key("C-d");
  Lines s;
  // tmux may scroll the last lines away when it notes the end.
  bool ended = term_->WaitFor(
      [](const Lines &s) { return Contains(s, "qxtop exit status"); }, &s, true);
  ASSERT_TRUE(ended) << "qxtop is still running:\n" << Show(s);
  EXPECT_TRUE(HasLine(s, "qxtop exit status 0")) << Show(s);
  EXPECT_TRUE(HasLine(s, "Exit from Prolog")) << Show(s);
}

TEST_P(Qxtop, ErrorsAreReportedAndTheTopLevelGoesOn) {
  term_->Line("foo(1, 2).");
  Await([](const Lines &s) { return HasLine(s, "unknown goal: foo/2 (try help.)"); },
        "the unknown-goal message");
  term_->Line("d_pos(X Y).");
  Lines s = Await([](const Lines &s) { return Contains(s, "syntax error: "); },
                  "the syntax error");
  EXPECT_TRUE(HasLine(s, "syntax error: ',' or ')' expected in the arguments (line 1, "
                         "column 9)"))
      << Show(s);
  EXPECT_TRUE(HasLine(s, "          ^")) << Show(s); // under the Y, after two blanks
  term_->Line("X is 7 // 0.");
  Await(
      [](const Lines &s) {
        return HasLine(s, "error in is/2: evaluation_error(zero_divisor)");
      },
      "the evaluation error");
  // A query over two lines, with a variable shared by its goals.
  term_->Line("d_cursor(3, 20),");
  term_->Line("d_pos(C, R), X is C * 100 + R.");
  s = Await([](const Lines &s) { return HasLine(s, "X = 320"); }, "X = 320");
  EXPECT_TRUE(HasLine(s, "C = 3")) << Show(s);
  EXPECT_TRUE(HasLine(s, "R = 20")) << Show(s);
  term_->Line("d_screen(81, H).");
  Await([](const Lines &s) { return HasLine(s, "no"); }, "no for a failing goal");
}

TEST_P(Qxtop, LogReceivesInputAndOutput) {
  std::string path = testing::TempDir() + "qxtop-e2e-log-" + std::to_string(getpid()) +
                     "-" + GetParam() + ".txt";
  std::remove(path.c_str());
  term_->Line("log('" + path + "'), write(logged), nl.");
  Await([](const Lines &s) { return HasLine(s, "logged"); }, "logged");
  term_->Line("nolog, write(unlogged), nl.");
  Await([](const Lines &s) { return HasLine(s, "unlogged"); }, "unlogged");
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  EXPECT_EQ(text.str(), "logged\nyes\n| nolog, write(unlogged), nl.\n");
}

std::string TermName(const testing::TestParamInfo<const char *> &info) {
  return info.param;
}

INSTANTIATE_TEST_SUITE_P(Terminals, Qxtop, ::testing::Values("xterm", "vt100"), TermName);
INSTANTIATE_TEST_SUITE_P(Terminals, QxtopExit, ::testing::Values("xterm", "vt100"),
                         TermName);

} // namespace
