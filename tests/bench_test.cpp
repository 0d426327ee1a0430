// Tests of the terminal bench itself, with curses alone (never the module),
// limited to what would let a module fault pass unseen: the emulators
// (MiniTerm against libvterm and against what curses believes it drew), the
// renderer and test terminfo entries chosen, step markers and output order,
// signals from the keyboard, failures and crashes of the child, and the
// shadow comparison.
#include "bench.h"
#include "console.h"

#include <gtest/gtest-spi.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <curses.h>
#include <random>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using bench::Options;
using bench::Pos;
using bench::Scenario;
using bench::Wrap;

// ---- Emulators ------------------------------------------------------------------

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

// Six rows of ten distinct letters, cursor left at row 3, column 4.
std::string Filled() {
  std::string s = "\x1b[H";
  for (int r = 0; r < 6; ++r) {
    s += "\x1b[" + std::to_string(r + 1) + ";1H";
    for (int c = 0; c < 10; ++c)
      s += static_cast<char>('A' + (r * 10 + c) % 26);
  }
  return s + "\x1b[3;4H";
}

// Catches: a MiniTerm that renders any sequence class curses sends
// differently from libvterm (in delayed-wrap and no-wrap modes).
TEST(MiniTermVsVTerm, HandWrittenSequencesAgree) {
  const std::string f = Filled();
  const std::vector<std::string> cases = {
      "hello\r\nworld",
      "0123456789abc",
      "0123456789\r\nx",
      "0123456789\x08X",
      "\x1b[6;1H0123456789",
      "\x1b[6;1H0123456789Z",
      "\x1b[5;5Hx\x1b[2Ay\x1b[3Bz\x1b[2C!\x1b[4D?\x1b[10Gg\x1b[3dd\x1b[99;99H#",
      "\x1b[3;3Hq\x1b[2Er\x1b[Fs\x1b[e\x1b[a",
      f + "\x1b[K",
      f + "\x1b[1K",
      f + "\x1b[2K",
      f + "\x1b[J",
      f + "\x1b[1J",
      f + "\x1b[2J",
      f + "\x1b[2L",
      f + "\x1b[M",
      f + "\x1b[3M",
      f + "\x1b[9L",
      f + "\x1b[2@",
      f + "\x1b[3P",
      f + "\x1b[2X",
      f + "\x1b[20P",
      f + "\x1b[2;4r\x1b[4;1H\n\n\nX",
      f + "\x1b[2;4r\x1b[2;1H\x1bM\x1bMY",
      f + "\x1b[2;4r\x1b[3;1H\x1b[L",
      f + "\x1b[2;4r\x1b[1;1H\x1b[L",
      f + "\x1b[2S",
      f + "\x1b[T",
      f + "\x1b[2;5r\x1b[S\x1b[r",
      f + "\x1b[6;1H\n",
      f + "\x1b[6;10H\x1b"
          "D\x1b"
          "E",
      "a\x1b[5b",
      "xy\r\n\x1b[3b",
      "日本語\r\nab日",
      "abcdefgh日",
      "abcdefgh日x",
      "日本\x1b[1;3H\x1b[K",
      "日本\x1b[1;2H\x1b[K",
      "日本\x1b[1;2Hx",
      "日本\x1b[1;1Hx",
      "日本語\x1b[1;2H\x1b[P",
      "日本語\x1b[1;2H\x1b[@",
      "日本語\x1b[1;4H\x1b[2X",
      f + "\x1b"
          "7\x1b[1;1Hsaved\x1b"
          "8X",
      f + "\x1b[s\x1b[6;6H\x1b[uW",
      f + "\x1b[?1049h\x1b[2;2Halt\x1b[?1049lZ",
      f + "\x1b[4h\x1b[1;1HXY\x1b[4l",
      "\x1b[3;4H\x1b[6n\x1b[5n",
      "\x1b[c",
      "a\tb\tc\r\n\t\t\tz",
      "\x1b[?25l",
      "\x1b[?25l\x1b[?25h",
      "\x1b(B\x1b)0abc\x0e\x0f",
      "\x1b]0;title\x07X\x1b]2;t\x1b\\Y",
      "\x1b=\x1b>\x1b[?1h\x1b[?1034h\x1b[39;49m\x1b[1;7mq\x1b[m\x1b[22;0;0t",
      "\x1b[3;3H\x1b"
      "c",
  };
  for (const std::string &c : cases) {
    ExpectSameRendering(c, 6, 10, true);
    ExpectSameRendering(c, 6, 10, false);
  }
  // A double-width character with one column left wraps first; libvterm does
  // so even with automatic margins off, which curses never relies on.
  ExpectSameRendering("abcdefghi日", 6, 10, true);
}

// Catches: a MiniTerm that wraps late, does not scroll when the bottom-right
// cell is written, wraps a double-width character wrongly at the edge,
// scrolls outside the scroll region, or leaves half of an overwritten
// double-width character: faults libvterm cannot cross-check, because it
// never wraps at once.
TEST(MiniTermImmediate, WrapsAtOnce) {
  using Rows = std::vector<std::string>;
  auto t = bench::MakeMiniTerm(3, 4, Wrap::Immediate);
  t->Feed("abcd");
  EXPECT_EQ(t->Rows(), (Rows{"abcd", "    ", "    "}));
  EXPECT_EQ(t->Cursor(), (Pos{1, 0}));
  t->Feed("efghijkl");
  EXPECT_EQ(t->Rows(), (Rows{"efgh", "ijkl", "    "}));
  EXPECT_EQ(t->Cursor(), (Pos{2, 0}));
  t->Feed("\x1b[Habc日");
  EXPECT_EQ(t->Rows(), (Rows{"abch", "日kl", "    "})) << "a wide character wraps first";
  EXPECT_EQ(t->Cursor(), (Pos{1, 2}));
  t->Feed("本");
  EXPECT_EQ(t->Rows()[1], "日本");
  EXPECT_EQ(t->Cursor(), (Pos{2, 0}));
  t = bench::MakeMiniTerm(3, 4, Wrap::Immediate);
  t->Feed("\x1b[1;2r\x1b[3;1Hkeep");
  EXPECT_EQ(t->Cursor(), (Pos{2, 0})) << "below the region the last row does not scroll";
  t->Feed("\x1b[1;1Htop.wxyz");
  EXPECT_EQ(t->Rows(), (Rows{"wxyz", "    ", "keep"}));
  EXPECT_EQ(t->Cursor(), (Pos{1, 0}));
  t = bench::MakeMiniTerm(1, 6, Wrap::Immediate);
  t->Feed("日本\x1b[1;2Hx");
  EXPECT_EQ(t->Rows()[0], " x本  ");
}

// ---- Randomised curses scenes ---------------------------------------------------

const char *const kWide[] = {"日", "本", "語", "漢", "字"};

// A random mix of ASCII letters, spaces and (when `wide`) double-width
// characters.
std::string RandomText(std::mt19937 &rng, int len, bool wide) {
  std::string s;
  for (int i = 0; i < len; ++i) {
    unsigned k = rng() % 12;
    s += k < 1 && wide ? std::string(kWide[rng() % 5])
         : k < 4       ? std::string(" ")
                       : std::string(1, static_cast<char>('a' + rng() % 26));
  }
  return s;
}

// Scrolls a random region of stdscr by one or two lines either way; with
// `up_only_at_bottom`, a region that ends at the bottom row only scrolls up.
void RandomScroll(std::mt19937 &rng, bool up_only_at_bottom) {
  int top = static_cast<int>(rng() % static_cast<unsigned>(LINES - 1));
  int bottom = top + 1 + static_cast<int>(rng() % static_cast<unsigned>(LINES - 1 - top));
  setscrreg(top, bottom);
  scrollok(stdscr, TRUE);
  int n = 1 + static_cast<int>(rng() % 2);
  bool up = rng() % 2 || (up_only_at_bottom && bottom == LINES - 1);
  scrl(up ? n : -n);
  scrollok(stdscr, FALSE);
  setscrreg(0, LINES - 1);
}

// Clears row y from column 0 (no-op past the bottom).
void ClearRow(int y) {
  if (y >= LINES) return;
  move(y, 0);
  clrtoeol();
}

// Writes random text at (y, x).  With double-width text the rows it can reach
// are cleared first and it is cut to fit them, because curses keeps a wrong
// record of a double-width character that is partly overwritten (or has a
// character inserted into it): no operation here ever splits one.  Nor does
// such text come near the bottom-right cell, and no row moves down into the
// bottom row (see RandomOp): on a terminal that wraps at once curses fills that
// cell by inserting a character before it, which splits a double-width
// character standing just left of it.
void RandomWrite(std::mt19937 &rng, int y, int x, bool wide) {
  std::string text =
      RandomText(rng, 1 + static_cast<int>(rng() % static_cast<unsigned>(COLS)), wide);
  if (wide) {
    ClearRow(y);
    ClearRow(y + 1);
    int room = y + 1 < LINES ? 2 * COLS - x : COLS - x;
    if (y + 2 >= LINES) room -= 2;
    while (!text.empty() && bench::DisplayWidth(text) > room)
      text.pop_back();
    while (!text.empty() && (text.back() & 0xC0) == 0x80)
      text.pop_back();
    if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
  }
  mvaddstr(y, x, text.c_str());
}

// One random drawing operation at a random place.  With double-width text
// (see RandomWrite) erasing starts at column 0, characters are not inserted or
// deleted, and lines are not inserted nor scrolled down into the bottom row.
void RandomOp(std::mt19937 &rng, bool wide) {
  int y = static_cast<int>(rng() % static_cast<unsigned>(LINES));
  int x = static_cast<int>(rng() % static_cast<unsigned>(COLS));
  int ex = wide ? 0 : x;
  switch (rng() % 12) {
  case 0:
  case 1:
  case 2:
    RandomWrite(rng, y, x, wide);
    break;
  case 3:
    if (wide) ClearRow(LINES - 1);
    mvaddch(LINES - 1, COLS - 1, 'A' + rng() % 26);
    break;
  case 4:
    move(y, ex);
    clrtoeol();
    break;
  case 5:
    move(y, ex);
    clrtobot();
    break;
  case 6:
    if (wide) break;
    move(y, 0);
    insertln();
    break;
  case 7:
    move(y, 0);
    deleteln();
    break;
  case 8:
    RandomScroll(rng, wide);
    break;
  case 9:
    if (!wide) mvinsch(y, x, 'a' + rng() % 26);
    break;
  case 10:
    if (!wide) mvdelch(y, x);
    break;
  default:
    break;
  }
  move(static_cast<int>(rng() % static_cast<unsigned>(LINES)),
       static_cast<int>(rng() % static_cast<unsigned>(COLS)));
}

// Reports what curses holds for each row (after a refresh: what it believes the
// terminal shows) and its cursor.
void ReportCursesView() {
  int cy, cx;
  getyx(stdscr, cy, cx);
  for (int r = 0; r < LINES; ++r) {
    std::vector<wchar_t> buf(static_cast<size_t>(COLS) + 1, 0);
    int n = mvwinnwstr(stdscr, r, 0, buf.data(), COLS);
    std::string row;
    for (int i = 0; i < n; ++i)
      row += bench::EncodeUtf8(static_cast<char32_t>(buf[i]));
    bench::Report("curses.row." + std::to_string(r), row);
  }
  move(cy, cx);
  bench::Report("curses.cursor", std::to_string(cy) + "," + std::to_string(cx));
}

// The child: batches of random operations, each followed by a refresh, a
// report of curses' view and a step.
void RandomCursesChild(unsigned seed, int batches, bool wide) {
  setlocale(LC_ALL, "");
  initscr();
  cbreak();
  noecho();
  std::mt19937 rng(seed);
  for (int b = 0; b < batches; ++b) {
    int ops = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < ops; ++k)
      RandomOp(rng, wide);
    refresh();
    ReportCursesView();
    bench::Step("batch");
    bench::WaitParent();
  }
  endwin();
}

struct CrossCase {
  const char *term;
  int rows, cols;
  unsigned seed;
  bool wide;
};

std::ostream &operator<<(std::ostream &os, const CrossCase &c) {
  return os << c.term << " " << c.rows << "x" << c.cols << " seed " << c.seed
            << (c.wide ? " with double-width text" : " ASCII");
}

class RandomCurses : public testing::TestWithParam<CrossCase> {};

// Every row of curses' view spans exactly the screen width.  (When a
// double-width character is partly overwritten curses' record of the row can
// hold more; the scenes avoid that, and this check proves it.)
bool CursesViewConsistent(const bench::Scenario &s) {
  for (int r = 0; r < s.options().rows; ++r)
    if (bench::DisplayWidth(s.Get("curses.row." + std::to_string(r))) != s.options().cols)
      return false;
  return true;
}

// Where the scenario's terminal and curses' view of it first differ ("" if
// nowhere).
std::string DiffWithCurses(const bench::Scenario &s) {
  std::vector<std::string> screen = s.Screen();
  for (size_t r = 0; r < screen.size(); ++r) {
    std::string want = s.Get("curses.row." + std::to_string(r));
    if (screen[r] != want)
      return "row " + std::to_string(r) + ": terminal |" + screen[r] + "| curses |" +
             want + "|";
  }
  Pos c = s.Cursor();
  std::string cursor = std::to_string(c.row) + "," + std::to_string(c.col);
  if (cursor != s.Get("curses.cursor"))
    return "cursor: terminal " + cursor + ", curses " + s.Get("curses.cursor");
  return "";
}

// Where a second emulator fed the same bytes differs from the scenario's.
std::string DiffWithMirror(const bench::Scenario &s, const bench::Terminal &mirror) {
  std::vector<std::string> a = s.Screen(), b = mirror.Rows();
  for (size_t r = 0; r < a.size(); ++r)
    if (a[r] != b[r])
      return "row " + std::to_string(r) + ": |" + a[r] + "| mirror |" + b[r] + "|";
  if (s.Cursor() != mirror.Cursor()) return "cursor differs from the mirror's";
  return "";
}

// Catches: a rendered screen that differs from what curses believes it drew,
// after every batch of random drawing (the only check of MiniTerm's
// wrap-at-once model against a real program), and MiniTerm differing from
// libvterm on the same bytes where libvterm renders.
TEST_P(RandomCurses, TerminalMatchesCursesAndMiniTermMatchesVTerm) {
  const CrossCase &c = GetParam();
  const int kBatches = 30;
  bench::Options opt;
  opt.term = c.term;
  opt.rows = c.rows;
  opt.cols = c.cols;
  unsigned seed = c.seed;
  bool wide = c.wide;
  bench::Scenario s(opt, [seed, wide] { RandomCursesChild(seed, kBatches, wide); });
  std::unique_ptr<bench::Terminal> mirror;
  if (!s.UsesMiniTerm()) mirror = bench::MakeMiniTerm(c.rows, c.cols, s.wrap());
  size_t fed = 0;
  for (int b = 0; b < kBatches; ++b) {
    ASSERT_TRUE(s.WaitStep("batch"));
    std::string chunk = s.RawOutput().substr(fed);
    fed = s.RawOutput().size();
    std::string diff =
        CursesViewConsistent(s) ? DiffWithCurses(s) : "curses' view is not consistent";
    if (mirror) {
      mirror->Feed(chunk);
      if (diff.empty()) diff = DiffWithMirror(s, *mirror);
    }
    ASSERT_EQ(diff, "") << "batch " << b << ", output of the batch: \""
                        << bench::Printable(chunk) << "\"\nscreen:\n"
                        << s.ScreenText();
    s.Go();
  }
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

// Each shape with two seeds of double-width text (without character insertion
// and deletion) and one of ASCII only (with them).  On a
// terminal without automatic margins curses may send a double-width character
// that cannot fit in the last column, which terminals render differently, so
// that one gets ASCII only.
std::vector<CrossCase> CrossCases() {
  std::vector<CrossCase> out;
  const CrossCase shapes[] = {
      {"xterm", 24, 80, 0, true},        {"xterm", 6, 20, 0, true},
      {"vt100", 6, 20, 0, true},         {"xterm-noxenl", 6, 20, 0, true},
      {"xterm-noxenl", 24, 80, 0, true}, {"ansi", 6, 20, 0, true},
      {"xterm-noam", 6, 20, 0, false},   {"xterm-nodl", 6, 20, 0, true}};
  for (const CrossCase &shape : shapes)
    for (unsigned seed = 1; seed <= 3; ++seed)
      out.push_back({shape.term, shape.rows, shape.cols, seed, shape.wide && seed < 3});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Scenes, RandomCurses, testing::ValuesIn(CrossCases()));

// ---- Scenario set-up and terminfo entries -------------------------------------

// Catches: a variant entry that differs from xterm in more (or other)
// capabilities than it is named for, so that a test meant for one missing
// capability runs another path; and a terminal rendered by an emulator with
// the wrong wrap behaviour (an xterm-noxenl drawn by libvterm hides every
// wrap-at-once fault).
TEST(TerminfoEntries, VariantsAndRenderersAreAsNamed) {
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
  struct Want {
    const char *term;
    Wrap wrap;
    bool miniterm;
  };
  for (const Want &w :
       {Want{"xterm", Wrap::Delayed, false}, Want{"vt100", Wrap::Delayed, false},
        Want{"xterm-noxenl", Wrap::Immediate, true}, Want{"ansi", Wrap::Immediate, true},
        Want{"xterm-noam", Wrap::None, false}}) {
    EXPECT_EQ(bench::WrapOf(bench::ProbeTerminfo(w.term)), w.wrap) << w.term;
    Options opt;
    opt.term = w.term;
    Scenario s(opt, [] {});
    EXPECT_EQ(s.wrap(), w.wrap) << w.term;
    EXPECT_EQ(s.UsesMiniTerm(), w.miniterm) << w.term;
    ASSERT_TRUE(s.WaitExit());
  }
}

// ---- Synchronisation, signals and failures ---------------------------------------

// Catches: a step reported before the output written ahead of it is rendered
// (even after a burst larger than the terminal's buffers), and a step marker
// that leaks into the output.
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

// Catches: a Ctrl-C typed at the terminal that does not raise SIGINT in the
// child (tests that expect no signal would pass for nothing).
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

// Catches: a wait that hangs, or passes, on a hung child, and a hung child
// left running after the test.
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
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 3000);
    EXPECT_FALSE(s.WaitExit());
    EXPECT_FALSE(s.WaitForScreenText("nothing"));
  }
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH) << "the child was not killed and reaped";
}

// Catches: a crash of the child (as a module fault would cause) that a wait
// does not report at once, or whose signal is not named.
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

// Catches: a crash that no wait observed going unreported.
TEST(Failures, UnobservedCrashIsReportedAtTeardown) {
  EXPECT_NONFATAL_FAILURE(
      {
        Scenario s(Options{}, [] { abort(); });
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(s.Pid()), &info, WEXITED | WNOWAIT);
      },
      "killed by SIGABRT");
}

// Catches: bench::Fail in the child not failing the test.
TEST(Failures, ChildFailIsRecorded) {
  EXPECT_NONFATAL_FAILURE(
      {
        Scenario s(Options{}, [] { bench::Fail("value was 7"); });
        (void)s.WaitExit();
      },
      "the child reported: value was 7");
}

// Catches: a child's exit status or standard error not captured.
TEST(Failures, ExitStatusAndStderrAreCaptured) {
  Scenario s(Options{}, [] {
    fprintf(stderr, "warning: %d\n", 42);
    _exit(3);
  });
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 3);
  EXPECT_EQ(s.Stderr(), "warning: 42\n");
}

// ---- Shadow screen comparison -----------------------------------------------------

// Catches: shadow rows turned into display cells wrongly (double-width
// characters, a character crossing the edge, invalid bytes), which would make
// every screen-against-shadow comparison wrong.
TEST(ShadowText, RowsBecomeDisplayCells) {
  std::string pad(20, ' ');
  EXPECT_EQ(bench::ShadowRowToText("ab" + pad, 5), "ab   ");
  EXPECT_EQ(bench::ShadowRowToText("a日本" + pad, 4), "a日 ")
      << "本 would cross the edge";
  EXPECT_EQ(bench::ShadowRowToText("a\xff" + pad, 3), "a\xef\xbf\xbd ");
  std::vector<std::string> cells =
      bench::SplitCells(bench::ShadowRowToText("日本x" + pad, 6));
  EXPECT_EQ(cells, (std::vector<std::string>{"日", "", "本", "", "x", " "}));
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

// Catches: a screen-against-shadow comparison that passes on a difference (or
// fails on a match), and a cursor check by bytes instead of display columns.
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

// Catches: a comparison that passes when the child reported no shadow.
TEST(ShadowCompare, MissingReportFails) {
  Scenario s(Options{}, [] { bench::ReportShadow(nullptr, nullptr); });
  ASSERT_TRUE(s.WaitExit());
  testing::AssertionResult r = bench::ScreenEqualsShadow(s);
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("no shadow"), std::string::npos) << r.message();
}

} // namespace
