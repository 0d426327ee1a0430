// Tests of the terminal bench itself, with curses alone (never the module),
// limited to what would let a module fault pass unseen: a wrap-at-once
// terminal rendered wrongly, and a crashed or hung child or a missed step not
// failing the test.
#include "bench.h"

#include <gtest/gtest-spi.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bench::Options;
using bench::Scenario;
using bench::Wrap;

// Catches: a wrap-at-once terminal rendered wrongly by the bench (it adds that
// wrap to libvterm), which scenario tests on xterm-noxenl and ansi would take
// for the truth: the last column not moving the cursor on (also for a wide
// character and a sequence split anywhere), the bottom of the scroll region
// not scrolling, DECAWM or a reset ignored, a string taken for text.
TEST(WrapAtOnce, RendersLikeSuchATerminal) {
  struct Case {
    const char *bytes, *rows; // rows of a 3x4 screen, '|' between them
    int row, col;             // the cursor afterwards
  } cases[] = {
      {"abcd", "abcd|    |    ", 1, 0},
      {"abcdefghijkl", "efgh|ijkl|    ", 2, 0},
      {"abc\xe6\x97\xa5x", "abc |\xe6\x97\xa5x |    ", 1, 3},
      {"ab\xe6\x97\xa5", "ab\xe6\x97\xa5|    |    ", 1, 0},
      {"\x1b[1;2r\x1b[2;1Habcdx", "abcd|x   |    ", 1, 1},
      {"\x1b[?7;1labcdef", "abcf|    |    ", 0, 3},
      {"\x1b[?7l\x1b[?7habcd", "abcd|    |    ", 1, 0},
      {"\x1b[?7l\x1b"
       "cabcd",
       "abcd|    |    ", 1, 0},
      {"\x1b]0;abcd\x07\x1b[3;1Habcd", "    |abcd|    ", 2, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(bench::Printable(c.bytes));
    auto t = bench::MakeVTerm(3, 4, Wrap::Immediate);
    for (char b : std::string(c.bytes))
      t->Feed(std::string(1, b));
    std::string rows;
    for (const std::string &r : t->Rows())
      rows += (rows.empty() ? "" : "|") + r;
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(t->Cursor(), (bench::Pos{c.row, c.col}));
  }
}

long long MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - t0)
      .count();
}

// Catches: a crash of the child (as a module fault would cause) that a wait
// does not report at once with its signal, or that goes unreported when no
// wait saw it; a step the child never reached, or bench::Fail in the child,
// not failing the test; and a hung child that makes a wait hang or pass, or
// is left running after the test.
TEST(Failures, CrashHangAndMissedStepFail) {
  {
    Scenario s(Options{}, [] {
      bench::Step("before");
      raise(SIGSEGV);
    });
    ASSERT_TRUE(s.WaitStep("before"));
    auto t0 = std::chrono::steady_clock::now();
    testing::AssertionResult r = s.WaitStep("after");
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("killed by SIGSEGV"), std::string::npos)
        << r.message();
    EXPECT_LT(MsSince(t0), 5000);
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.ExitCode(), 128 + SIGSEGV);
  }
  {
    Scenario s(Options{}, [] { bench::Step("one"); });
    EXPECT_FALSE(s.WaitStep("two")) << "a step the child skipped";
  }
  EXPECT_NONFATAL_FAILURE(
      {
        Scenario s(Options{}, [] { abort(); });
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(s.Pid()), &info, WEXITED | WNOWAIT);
      },
      "killed by SIGABRT");
  EXPECT_NONFATAL_FAILURE(
      {
        Scenario s(Options{}, [] { bench::Fail("value was 7"); });
        (void)s.WaitExit();
      },
      "the child reported: value was 7");
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
    long long ms = MsSince(t0);
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("timed out"), std::string::npos)
        << r.message();
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 3000);
    EXPECT_FALSE(s.WaitExit());
  }
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH) << "the child was not killed and reaped";
}

} // namespace
