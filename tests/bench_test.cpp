// Tests of the terminal test bench itself, using curses directly (never the
// module): the pseudo-terminal and child set-up, rendering, keys, signals,
// synchronisation, failure reporting, the test terminfo entries and the
// shadow-screen comparison.
#include "bench.h"
#include "console.h"

#include <gtest/gtest-spi.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstring>
#include <curses.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using bench::Options;
using bench::Pos;
using bench::Scenario;

std::string Spaces(int n) {
  return std::string(static_cast<size_t>(n), ' ');
}

// ---- Test terminfo entries ---------------------------------------------------

// Each variant equals xterm except for the capabilities it removes.
TEST(TerminfoEntries, VariantsDifferFromXtermOnlyWhereIntended) {
  bench::Terminfo xterm = bench::ProbeTerminfo("xterm");
  ASSERT_TRUE(xterm.found);
  struct Variant {
    const char *name;
    std::set<std::string> removed;
  };
  const Variant variants[] = {{"xterm-noxenl", {"xenl"}},
                              {"xterm-noam", {"am"}},
                              {"xterm-nodl", {"dl1", "dl"}},
                              {"xterm-nocvvis", {"cvvis", "civis"}},
                              {"xterm-noclear", {"clear"}}};
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.name);
    bench::Terminfo info = bench::ProbeTerminfo(v.name);
    ASSERT_TRUE(info.found);
    for (const std::string &cap : v.removed) {
      EXPECT_TRUE(xterm.Has(cap)) << cap;
      EXPECT_FALSE(info.Has(cap)) << cap;
    }
    bench::Terminfo expect = xterm;
    for (const std::string &cap : v.removed)
      expect.booleans.erase(cap), expect.strings.erase(cap);
    EXPECT_EQ(info.booleans, expect.booleans);
    EXPECT_EQ(info.numbers, expect.numbers);
    EXPECT_EQ(info.strings, expect.strings);
  }
}

// The wrap behaviour the bench derives from each entry.
TEST(TerminfoEntries, WrapBehaviourFollowsAmAndXenl) {
  EXPECT_EQ(bench::WrapOf(bench::ProbeTerminfo("xterm")), bench::Wrap::Delayed);
  EXPECT_EQ(bench::WrapOf(bench::ProbeTerminfo("vt100")), bench::Wrap::Delayed);
  EXPECT_EQ(bench::WrapOf(bench::ProbeTerminfo("xterm-noxenl")), bench::Wrap::Immediate);
  EXPECT_EQ(bench::WrapOf(bench::ProbeTerminfo("ansi")), bench::Wrap::Immediate);
  EXPECT_EQ(bench::WrapOf(bench::ProbeTerminfo("xterm-noam")), bench::Wrap::None);
  EXPECT_FALSE(bench::ProbeTerminfo("no-such-terminal-here").found);
}

// The copies of the system entries are complete: the capabilities the module
// and curses rely on are there.
TEST(TerminfoEntries, SystemCopiesHaveTheirKeyCapabilities) {
  bench::Terminfo vt100 = bench::ProbeTerminfo("vt100"),
                  ansi = bench::ProbeTerminfo("ansi");
  ASSERT_TRUE(vt100.found);
  ASSERT_TRUE(ansi.found);
  for (const char *cap : {"am", "xenl", "cup", "csr", "clear", "el"})
    EXPECT_TRUE(vt100.Has(cap)) << cap;
  for (const char *cap : {"am", "cup", "clear", "dl1", "el"})
    EXPECT_TRUE(ansi.Has(cap)) << cap;
  EXPECT_FALSE(ansi.Has("xenl"));
  EXPECT_EQ(vt100.numbers["lines"], 24);
  EXPECT_EQ(vt100.numbers["cols"], 80);
}

// ---- A curses program on the bench -----------------------------------------

struct DemoCase {
  const char *term;
  int rows, cols;
  bool miniterm;
};

std::ostream &operator<<(std::ostream &os, const DemoCase &c) {
  return os << c.term << " " << c.rows << "x" << c.cols
            << (c.miniterm ? " MiniTerm" : "");
}

class CursesDemo : public testing::TestWithParam<DemoCase> {};

// The child: a greeting, double-width text, a word ending in the bottom-right
// cell; then it echoes one typed key and ends curses when told.
void CursesDemoChild() {
  setlocale(LC_ALL, "");
  initscr();
  cbreak();
  noecho();
  mvaddstr(0, 0, "Hello, bench");
  mvaddstr(1, 0, "日本語 ok");
  mvaddstr(LINES - 1, COLS - 3, "end");
  move(2, 0);
  refresh();
  bench::Report("lines", LINES);
  bench::Report("cols", COLS);
  bench::Step("drawn");
  int ch = getch();
  mvprintw(2, 0, "key=%c", ch);
  refresh();
  bench::Report("key", ch);
  bench::Step("echoed");
  bench::WaitParent();
  endwin();
}

// What the terminal shows at each stage, on each terminal type and size.
TEST_P(CursesDemo, DrawsEchoesAndEnds) {
  const DemoCase &c = GetParam();
  Options opt;
  opt.term = c.term;
  opt.rows = c.rows;
  opt.cols = c.cols;
  opt.miniterm = c.miniterm;
  Scenario s(opt, CursesDemoChild);
  ASSERT_TRUE(s.WaitStep("drawn"));
  EXPECT_EQ(s.Get("lines"), std::to_string(c.rows));
  EXPECT_EQ(s.Get("cols"), std::to_string(c.cols));
  std::vector<std::string> screen = s.Screen();
  ASSERT_EQ(screen.size(), static_cast<size_t>(c.rows));
  EXPECT_EQ(screen[0], "Hello, bench" + Spaces(c.cols - 12));
  EXPECT_EQ(screen[1], "日本語 ok" + Spaces(c.cols - 9));
  std::vector<std::string> cells = bench::SplitCells(screen[1]);
  EXPECT_EQ(cells[0], "日");
  EXPECT_EQ(cells[1], "");
  EXPECT_EQ(cells[4], "語");
  EXPECT_EQ(cells[6], " ");
  EXPECT_EQ(screen[c.rows - 1], Spaces(c.cols - 3) + "end");
  EXPECT_EQ(s.Cursor(), (Pos{2, 0}));

  s.Send("x");
  ASSERT_TRUE(s.WaitStep("echoed"));
  EXPECT_EQ(s.Get("key"), "120");
  EXPECT_EQ(s.Screen()[2], "key=x" + Spaces(c.cols - 5));
  EXPECT_EQ(s.Screen()[0], "Hello, bench" + Spaces(c.cols - 12));
  EXPECT_EQ(s.Cursor(), (Pos{2, 5}));

  s.Go();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
  EXPECT_EQ(s.Stderr(), "");
  if (bench::ProbeTerminfo(c.term).Has("smcup")) {
    EXPECT_EQ(s.ScreenText(), std::string(c.rows - 1, '\n'))
        << "the alternate screen was left";
  } else {
    EXPECT_EQ(s.Screen()[0], "Hello, bench" + Spaces(c.cols - 12));
    EXPECT_EQ(s.Cursor().row, c.rows - 1) << "endwin leaves the cursor on the last row";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Terminals, CursesDemo,
    testing::Values(DemoCase{"xterm", 24, 80, false}, DemoCase{"xterm", 5, 12, false},
                    DemoCase{"xterm", 5, 12, true}, DemoCase{"vt100", 24, 80, false},
                    DemoCase{"vt100", 5, 12, false},
                    DemoCase{"xterm-noxenl", 24, 80, false},
                    DemoCase{"xterm-noxenl", 5, 12, false},
                    DemoCase{"ansi", 24, 80, false}, DemoCase{"ansi", 5, 12, false},
                    DemoCase{"xterm-noam", 5, 12, false}));

// The emulator follows the entry: MiniTerm for terminals that wrap at once.
TEST(ScenarioSetup, RendererFollowsTheTerminalType) {
  struct Want {
    const char *term;
    bench::Wrap wrap;
    bool miniterm;
  };
  for (const Want &w : {Want{"xterm", bench::Wrap::Delayed, false},
                        Want{"xterm-noxenl", bench::Wrap::Immediate, true},
                        Want{"ansi", bench::Wrap::Immediate, true},
                        Want{"xterm-noam", bench::Wrap::None, false}}) {
    Options opt;
    opt.term = w.term;
    Scenario s(opt, [] {});
    EXPECT_EQ(s.wrap(), w.wrap) << w.term;
    EXPECT_EQ(s.UsesMiniTerm(), w.miniterm) << w.term;
    ASSERT_TRUE(s.WaitExit());
  }
}

// ---- The child's process and terminal -------------------------------------

// Reports what the child sees of its descriptors, terminal and environment.
void ReportChildWorld() {
  bench::Report("isatty0", isatty(0));
  bench::Report("isatty1", isatty(1));
  bench::Report("fd0", fcntl(0, F_GETFD) != -1);
  char buf[1];
  bench::Report("read0", isatty(0) ? -2 : read(0, buf, 1));
  bench::Report("session_leader", getsid(0) == getpid());
  bench::Report("foreground", tcgetpgrp(1) == getpgrp());
  winsize ws{};
  ioctl(1, TIOCGWINSZ, &ws);
  bench::Report("size", std::to_string(ws.ws_row) + "x" + std::to_string(ws.ws_col));
  bench::Report("TERM", getenv("TERM") ? getenv("TERM") : "");
  bench::Report("TERMINFO", getenv("TERMINFO") ? getenv("TERMINFO") : "");
  bench::Report("LINES", getenv("LINES") ? getenv("LINES") : "(unset)");
  bench::Report("EXTRA", getenv("QX_EXTRA") ? getenv("QX_EXTRA") : "");
  bench::Report("fd5", fcntl(5, F_GETFD) != -1);
  bench::Report("stderr_pipe", !isatty(2));
}

class ChildWorld : public testing::TestWithParam<bench::Stdin> {};

// Descriptors, controlling terminal, size and environment as documented.
TEST_P(ChildWorld, IsSetUpAsDocumented) {
  Options opt;
  opt.rows = 7;
  opt.cols = 33;
  opt.term = "vt100";
  opt.stdin_mode = GetParam();
  opt.env = {"QX_EXTRA=yes"};
  setenv("LINES", "99", 1); // must not leak into the child
  Scenario s(opt, ReportChildWorld);
  unsetenv("LINES");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
  bool tty = GetParam() == bench::Stdin::Terminal;
  EXPECT_EQ(s.Get("isatty0"), tty ? "1" : "0");
  EXPECT_EQ(s.Get("fd0"), GetParam() == bench::Stdin::Closed ? "0" : "1");
  EXPECT_EQ(s.Get("read0"), GetParam() == bench::Stdin::DevNull ? "0"
                            : tty                               ? "-2"
                                                                : "-1");
  EXPECT_EQ(s.Get("isatty1"), "1");
  EXPECT_EQ(s.Get("session_leader"), "1");
  EXPECT_EQ(s.Get("foreground"), "1");
  EXPECT_EQ(s.Get("size"), "7x33");
  EXPECT_EQ(s.Get("TERM"), "vt100");
  EXPECT_EQ(s.Get("TERMINFO"), bench::TerminfoDir());
  EXPECT_EQ(s.Get("LINES"), "(unset)");
  EXPECT_EQ(s.Get("EXTRA"), "yes");
  EXPECT_EQ(s.Get("fd5"), "0");
  EXPECT_EQ(s.Get("stderr_pipe"), "1");
}

INSTANTIATE_TEST_SUITE_P(StdinModes, ChildWorld,
                         testing::Values(bench::Stdin::Terminal, bench::Stdin::Closed,
                                         bench::Stdin::DevNull));

// ---- Signals from the terminal ----------------------------------------------

volatile sig_atomic_t g_sigints = 0;

void CountSigint(int) {
  g_sigints = g_sigints + 1;
}

// Installs the counting handler with SIGINT blocked, so that a signal cannot
// slip in between a check and the wait.
void ArmSigint(sigset_t *unblocked) {
  struct sigaction sa {};
  sa.sa_handler = CountSigint;
  sigaction(SIGINT, &sa, nullptr);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, unblocked);
}

// Sleeps until the handler has run at least once.
void AwaitSigint(const sigset_t *unblocked) {
  while (g_sigints == 0)
    sigsuspend(unblocked);
}

// A Ctrl-C typed at the terminal raises SIGINT in the child.
TEST(TerminalSignals, CtrlCRaisesSigint) {
  Scenario s(Options{}, [] {
    sigset_t unblocked;
    ArmSigint(&unblocked);
    termios t;
    tcgetattr(0, &t);
    bench::Report("vintr", t.c_cc[VINTR]);
    bench::Step("armed");
    AwaitSigint(&unblocked);
    bench::Report("sigints", g_sigints);
  });
  ASSERT_TRUE(s.WaitStep("armed"));
  EXPECT_EQ(s.Get("vintr"), "3");
  s.Send("\x03");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
  EXPECT_EQ(s.Get("sigints"), "1");
}

// Special characters from the options are in force: the chosen interrupt
// character raises SIGINT, and Ctrl-C is then ordinary input.
TEST(TerminalSignals, ChosenSpecialCharactersAreInForce) {
  Options opt;
  opt.cc = {{VINTR, 0x18}, {VEOF, 0x01}, {VERASE, 0x08}};
  Scenario s(opt, [] {
    sigset_t unblocked;
    ArmSigint(&unblocked);
    termios t;
    tcgetattr(0, &t);
    bench::Report("cc", std::to_string(t.c_cc[VINTR]) + " " +
                            std::to_string(t.c_cc[VEOF]) + " " +
                            std::to_string(t.c_cc[VERASE]));
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(0, TCSANOW, &t);
    bench::Step("armed");
    unsigned char b = 0;
    bench::Report("read", read(0, &b, 1));
    bench::Report("byte", b);
    bench::Step("read");
    AwaitSigint(&unblocked);
    bench::Report("sigints", g_sigints);
  });
  ASSERT_TRUE(s.WaitStep("armed"));
  EXPECT_EQ(s.Get("cc"), "24 1 8");
  s.Send("\x03");
  ASSERT_TRUE(s.WaitStep("read"));
  EXPECT_EQ(s.Get("read"), "1");
  EXPECT_EQ(s.Get("byte"), "3");
  s.Send("\x18");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
  EXPECT_EQ(s.Get("sigints"), "1");
}

// ---- Synchronisation and the side channel -----------------------------------

// When WaitStep returns, all output written before the step is on the screen,
// even after a burst much larger than the terminal's buffers.
TEST(Synchronisation, StepFollowsAllEarlierOutput) {
  Options opt;
  opt.rows = 4;
  opt.cols = 40;
  Scenario s(opt, [] {
    for (int round = 0; round < 5; ++round) {
      std::string burst;
      for (int i = 0; i < 2000; ++i)
        burst += "filler line " + std::to_string(i) + "\n";
      burst += "round " + std::to_string(round) + " done";
      ssize_t ignored = write(1, burst.data(), burst.size());
      (void)ignored;
      bench::Step("burst");
      bench::WaitParent();
    }
  });
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(s.WaitStep("burst"));
    std::string want = "round " + std::to_string(round) + " done";
    EXPECT_EQ(bench::TrimRight(s.Screen()[3]), want);
    EXPECT_EQ(bench::TrimRight(s.Screen()[2]), "filler line 1999");
    s.Go();
  }
  ASSERT_TRUE(s.WaitExit());
  EXPECT_NE(s.RawOutput().find("round 4 done"), std::string::npos);
  EXPECT_EQ(s.RawOutput().find("qxbench"), std::string::npos) << "a step marker leaked";
}

// Reports carry any bytes; Go carries data to the child; the latest value of
// a key wins.
TEST(Synchronisation, ReportsAndParentDataRoundTrip) {
  const std::string odd("tab\there\nnew line\\ back \0 nul 日本", 36);
  Scenario s(Options{}, [odd] {
    bench::Report("odd", odd);
    bench::Report("n", 1);
    bench::Report("n", 2);
    bench::Step("reported");
    std::string got = bench::WaitParent();
    bench::Report("echo", got);
  });
  ASSERT_TRUE(s.WaitStep("reported"));
  EXPECT_EQ(s.Get("odd"), odd);
  EXPECT_EQ(s.Get("n"), "2");
  EXPECT_FALSE(s.Has("echo"));
  s.Go(odd + "\n2nd");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("echo"), odd + "\n2nd");
}

// Input far larger than the terminal's input buffer reaches a child that
// reads it, without deadlock.
TEST(Synchronisation, LargeInputIsDelivered) {
  Scenario s(Options{}, [] {
    termios t;
    tcgetattr(0, &t);
    cfmakeraw(&t);
    tcsetattr(0, TCSANOW, &t);
    bench::Step("raw");
    size_t total = 0;
    char buf[1024];
    while (total < 50000) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    bench::Report("total", static_cast<long long>(total));
  });
  ASSERT_TRUE(s.WaitStep("raw"));
  s.Send(std::string(50000, 'k'));
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("total"), "50000");
}

// WaitForOutput and WaitForScreenText see what was written, from an offset.
TEST(Synchronisation, WaitForOutputAndScreenText) {
  Scenario s(Options{}, [] {
    for (int i = 0; i < 3; ++i) {
      std::string text = "tick " + std::to_string(i) + "\r\n";
      ssize_t ignored = write(1, text.data(), text.size());
      (void)ignored;
      bench::WaitParent();
    }
  });
  ASSERT_TRUE(s.WaitForOutput("tick 0"));
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitForScreenText("tick 1"));
  ASSERT_TRUE(s.WaitForOutput("tick", mark));
  EXPECT_EQ(s.Screen()[1].substr(0, 6), "tick 1");
  s.Go();
  s.Go();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ScreenText(), "tick 0\ntick 1\ntick 2" + std::string(21, '\n'));
}

// ---- Failures are reported, never hung on -------------------------------------

// A hung child fails the wait after the timeout, and teardown kills it.
TEST(Failures, HungChildTimesOutAndIsKilled) {
  pid_t pid;
  {
    Options opt;
    opt.timeout_ms = 300;
    Scenario s(opt, [] {
      bench::Step("started");
      for (;;)
        pause();
    });
    pid = s.Pid();
    ASSERT_TRUE(s.WaitStep("started"));
    auto t0 = std::chrono::steady_clock::now();
    testing::AssertionResult r = s.WaitStep("never");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0)
                  .count();
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("timed out"), std::string::npos)
        << r.message();
    EXPECT_NE(std::string(r.message()).find("step 'never'"), std::string::npos);
    EXPECT_NE(std::string(r.message()).find("is running"), std::string::npos);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 3000);
    EXPECT_FALSE(s.WaitExit());
    EXPECT_FALSE(s.WaitForScreenText("nothing"));
  }
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH) << "the child was not killed and reaped";
}

// A crashing child fails the wait at once, naming the signal.
TEST(Failures, CrashFailsTheWaitAtOnce) {
  Scenario s(Options{}, [] {
    bench::Step("before");
    raise(SIGSEGV);
  });
  ASSERT_TRUE(s.WaitStep("before"));
  auto t0 = std::chrono::steady_clock::now();
  testing::AssertionResult r = s.WaitStep("after");
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0)
                .count();
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("killed by SIGSEGV"), std::string::npos)
      << r.message();
  EXPECT_LT(ms, 5000);
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 128 + SIGSEGV);
}

// A crash that no wait observed is reported when the scenario ends.
TEST(Failures, UnobservedCrashIsReportedAtTeardown) {
  EXPECT_NONFATAL_FAILURE(
      {
        Scenario s(Options{}, [] { abort(); });
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(s.Pid()), &info, WEXITED | WNOWAIT);
      },
      "killed by SIGABRT");
}

// bench::Fail in the child becomes a test failure in the parent.
TEST(Failures, ChildFailIsRecorded) {
  EXPECT_NONFATAL_FAILURE(
      {
        Scenario s(Options{}, [] { bench::Fail("value was 7"); });
        (void)s.WaitExit();
      },
      "the child reported: value was 7");
}

// Exit status and standard error are captured.
TEST(Failures, ExitStatusAndStderrAreCaptured) {
  Scenario s(Options{}, [] {
    fprintf(stderr, "warning: %d\n", 42);
    ssize_t ignored = write(2, "raw\n", 4);
    (void)ignored;
    _exit(3);
  });
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 3);
  EXPECT_EQ(s.Stderr(), "warning: 42\nraw\n");
  EXPECT_EQ(s.RawOutput(), "");
}

// ---- Shadow screen comparison ----------------------------------------------

// Shadow rows become display cells the way the terminal shows them.
TEST(ShadowText, RowsBecomeDisplayCells) {
  std::string pad(20, ' ');
  EXPECT_EQ(bench::ShadowRowToText("hello" + pad, 5), "hello");
  EXPECT_EQ(bench::ShadowRowToText("ab" + pad, 5), "ab   ");
  EXPECT_EQ(bench::ShadowRowToText("日本x" + pad, 8), "日本x   ");
  EXPECT_EQ(bench::ShadowRowToText("a日本" + pad, 4), "a日 ")
      << "本 would cross the edge";
  EXPECT_EQ(bench::ShadowRowToText("a\xff"
                                   "b" +
                                       pad,
                                   4),
            "a\xef\xbf\xbd"
            "b ");
  std::vector<std::string> cells =
      bench::SplitCells(bench::ShadowRowToText("日本x" + pad, 6));
  ASSERT_EQ(cells.size(), 6u);
  EXPECT_EQ(cells[0], "日");
  EXPECT_EQ(cells[1], "");
  EXPECT_EQ(cells[2], "本");
  EXPECT_EQ(cells[4], "x");
}

// A console record whose shadow holds `rows_text` (each row padded with
// spaces), as the module would keep it; the cursor at byte `cur_x` of `cur_y`.
ConsoleState *FakeConsole(const std::vector<std::string> &rows_text, int cols, int cur_x,
                          int cur_y) {
  static ConsoleState con;
  static std::vector<std::string> store;
  static std::vector<unsigned char *> pointers;
  store.clear();
  pointers.clear();
  for (const std::string &t : rows_text)
    store.push_back(t + std::string(4 * cols - t.size(), ' '));
  for (std::string &r : store)
    pointers.push_back(reinterpret_cast<unsigned char *>(&r[0]));
  con.rows = static_cast<int32_t>(rows_text.size());
  con.columns = cols;
  con.cur_x = cur_x;
  con.cur_y = cur_y;
  con.shadow = pointers.data();
  return &con;
}

ConsoleState *g_fake = nullptr;

// Display column of byte x in row y of the fake console, UTF-8 by wcwidth.
int FakeNumCurX(int x, int y) {
  std::string row(reinterpret_cast<char *>(g_fake->shadow[y]), static_cast<size_t>(x));
  return bench::DisplayWidth(row);
}

// Draws with curses, then reports a shadow that matches (or not) the screen.
void ShadowChild(bool matching) {
  setlocale(LC_ALL, "");
  initscr();
  mvaddstr(0, 0, "top row");
  mvaddstr(2, 3, "日本 text");
  move(2, 10);
  refresh();
  g_fake =
      FakeConsole({"top row", "", matching ? "   日本 text" : "   日本 test", "", ""}, 20,
                  static_cast<int>(std::string("   日本 te").size()), 2);
  bench::ReportShadow(g_fake, FakeNumCurX);
  bench::Step("drawn");
  bench::WaitParent();
  endwin();
}

// The comparison passes on a matching shadow and names the first difference
// otherwise; the cursor check uses the display column.
TEST(ShadowCompare, MatchesAndNamesTheFirstDifference) {
  Options opt;
  opt.rows = 5;
  opt.cols = 20;
  {
    Scenario s(opt, [] { ShadowChild(true); });
    ASSERT_TRUE(s.WaitStep("drawn"));
    EXPECT_TRUE(bench::ScreenEqualsShadow(s));
    EXPECT_TRUE(bench::CursorEqualsShadow(s));
    bench::Shadow sh;
    ASSERT_TRUE(bench::ReadShadow(s, &sh));
    EXPECT_EQ(sh.cur_x, 12);
    EXPECT_EQ(sh.col, 10);
    s.Go();
  }
  Scenario s(opt, [] { ShadowChild(false); });
  ASSERT_TRUE(s.WaitStep("drawn"));
  testing::AssertionResult r = bench::ScreenEqualsShadow(s);
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("row 2, column 10 differs"), std::string::npos)
      << r.message();
  s.Go();
}

// Without ReportShadow the comparison fails with a reason instead of passing.
TEST(ShadowCompare, MissingReportFails) {
  Scenario s(Options{}, [] { bench::ReportShadow(nullptr, nullptr); });
  ASSERT_TRUE(s.WaitExit());
  testing::AssertionResult r = bench::ScreenEqualsShadow(s);
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("no shadow"), std::string::npos) << r.message();
}

} // namespace
