// Tests of the terminal bench itself, with curses alone (never the module),
// limited to what would let a module fault pass unseen: the two emulators
// rendering the same bytes differently, and a crashed or hung child or a
// missed step not failing the test.
#include "bench.h"

#include <gtest/gtest-spi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <curses.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bench::Options;
using bench::Scenario;
using bench::Wrap;

// Feeds `bytes` to both emulators (MiniTerm one byte at a time, so that every
// sequence is split) and expects identical screens, cursors and replies.
void ExpectSameRendering(const std::string &bytes, int rows, int cols, bool autowrap) {
  SCOPED_TRACE("input: \"" + bench::Printable(bytes) + "\"");
  auto vt = bench::MakeVTerm(rows, cols, autowrap);
  auto mini = bench::MakeMiniTerm(rows, cols, autowrap ? Wrap::Delayed : Wrap::None);
  vt->Feed(bytes);
  for (char b : bytes)
    mini->Feed(std::string(1, b));
  EXPECT_EQ(mini->Rows(), vt->Rows());
  EXPECT_EQ(mini->Cursor(), vt->Cursor());
  EXPECT_EQ(mini->CursorVisible(), vt->CursorVisible());
  EXPECT_EQ(mini->TakeReplies(), vt->TakeReplies());
}

// The child of a random scene: batches of random ASCII drawing with curses,
// each followed by a refresh and a step.
void RandomCursesChild(unsigned seed, int batches) {
  setlocale(LC_ALL, "");
  initscr();
  cbreak();
  noecho();
  std::mt19937 rng(seed);
  auto at = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int b = 0; b < batches; ++b) {
    for (int k = 1 + at(6); k > 0; --k) {
      int y = at(LINES), x = at(COLS);
      switch (at(9)) {
      case 0:
      case 1:
        mvaddnstr(y, x, "the quick brown fox jumps over a lazy dog" + at(30), at(COLS));
        break;
      case 2:
        mvaddch(LINES - 1, COLS - 1, 'A' + at(26));
        break;
      case 3:
        move(y, x);
        at(2) ? clrtoeol() : clrtobot();
        break;
      case 4:
        move(y, 0);
        at(2) ? insertln() : deleteln();
        break;
      case 5: {
        int top = at(LINES - 1);
        setscrreg(top, top + 1 + at(LINES - 1 - top));
        scrollok(stdscr, TRUE);
        scrl(at(2) ? 1 + at(2) : -1 - at(2));
        scrollok(stdscr, FALSE);
        setscrreg(0, LINES - 1);
        break;
      }
      case 6:
        mvinsch(y, x, 'a' + at(26));
        break;
      case 7:
        mvdelch(y, x);
        break;
      default:
        break;
      }
    }
    move(at(LINES), at(COLS));
    refresh();
    bench::Step("batch");
    bench::WaitParent();
  }
  endwin();
}

// Catches: a MiniTerm that renders any sequence class curses sends
// differently from libvterm (cursor motion, erasing, insertion and deletion,
// scroll regions, double-width characters, saved cursor, alternate screen,
// status reports), in delayed-wrap and no-wrap modes, by hand and in random
// curses scenes: scenario tests on terminals that wrap at once see only
// MiniTerm.
TEST(MiniTermVsVTerm, HandWrittenSequencesAndRandomScenesAgree) {
  // Six rows of ten distinct letters, cursor left at row 3, column 4.
  std::string f = "\x1b[H";
  for (int r = 0; r < 6; ++r) {
    f += "\x1b[" + std::to_string(r + 1) + ";1H";
    for (int c = 0; c < 10; ++c)
      f += static_cast<char>('A' + (r * 10 + c) % 26);
  }
  f += "\x1b[3;4H";
  // Cases separated by '|': the first set standalone, the second after `f`.
  const std::string plain =
      "hello\r\nworld|0123456789abc|0123456789\r\nx|0123456789\bX|\033[6;1H0123456789Z|"
      "\033[5;5Hx\033[2Ay\033[3Bz\033[2C!\033[4D?\033[10Gg\033[3dd\033[99;99H#|"
      "\033[3;3Hq\033[2Er\033[Fs\033[e\033[a|a\033[5b|日本語\r\nab日|abcdefgh日x|"
      "日本\033[1;2H\033[K|日本\033[1;2Hx|日本語\033[1;2H\033[P|日本語\033[1;2H\033[@|"
      "日本語\033[1;4H\033[2X|\033[3;4H\033[6n\033[5n|\033[c|a\tb\tc\r\n\t\t\tz|"
      "\033[?25l|\033[?25l\033[?25h|\033(B\033)0abc\016\017|"
      "\033]0;title\007X\033]2;t\033\\Y|\033[3;3H\033c|"
      "\033=\033>\033[?1h\033[?1034h\033[39;49m\033[1;7mq\033[m\033[22;0;0t";
  const std::string after_f =
      "\033[K|\033[1K|\033[2K|\033[J|\033[1J|\033[2J|\033[2L|\033[3M|\033[9L|\033[2@|"
      "\033[3P|\033[2X|\033[20P|\033[2;4r\033[4;1H\n\n\nX|\033[2;4r\033[2;1H\033M\033MY|"
      "\033[2;4r\033[3;1H\033[L|\033[2;4r\033[1;1H\033[L|\033[2S|\033[T|"
      "\033[2;5r\033[S\033[r|\033[6;1H\n|\033[6;10H\033D\033E|\0337\033[1;1Hsaved\0338X|"
      "\033[s\033[6;6H\033[uW|\033[?1049h\033[2;2Halt\033[?1049lZ|\033[4h\033[1;1HXY\033["
      "4l";
  for (const std::string *set : {&plain, &after_f})
    for (size_t i = 0, j; i < set->size(); i = j + 1) {
      j = std::min(set->find('|', i), set->size());
      std::string c = (set == &after_f ? f : "") + set->substr(i, j - i);
      ExpectSameRendering(c, 6, 10, true);
      ExpectSameRendering(c, 6, 10, false);
    }

  const int kBatches = 30;
  struct Scene {
    const char *term;
    int rows, cols;
    unsigned seed;
  };
  for (const Scene &sc : {Scene{"xterm", 24, 80, 1}, Scene{"xterm", 6, 20, 2},
                          Scene{"vt100", 6, 20, 3}, Scene{"xterm-noam", 6, 20, 4}}) {
    SCOPED_TRACE(std::string(sc.term) + " seed " + std::to_string(sc.seed));
    Options opt;
    opt.term = sc.term;
    opt.rows = sc.rows;
    opt.cols = sc.cols;
    unsigned seed = sc.seed;
    Scenario s(opt, [seed] { RandomCursesChild(seed, kBatches); });
    ASSERT_FALSE(s.UsesMiniTerm());
    auto mirror = bench::MakeMiniTerm(sc.rows, sc.cols, s.wrap());
    size_t fed = 0;
    for (int b = 0; b < kBatches; ++b) {
      ASSERT_TRUE(s.WaitStep("batch"));
      std::string chunk = s.RawOutput().substr(fed);
      fed = s.RawOutput().size();
      mirror->Feed(chunk);
      ASSERT_EQ(mirror->Rows(), s.Screen())
          << "batch " << b << ": \"" << bench::Printable(chunk) << "\"";
      ASSERT_EQ(mirror->Cursor(), s.Cursor()) << "batch " << b;
      s.Go();
    }
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.ExitCode(), 0);
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
