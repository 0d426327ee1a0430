// Checks of the bench's emulators: MiniTerm against libvterm on hand-written
// sequences, MiniTerm's wrap-at-once behaviour, and both against what curses
// believes is on the screen while it draws randomised scenes on real terminals.
#include "bench.h"

#include <clocale>
#include <curses.h>
#include <random>
#include <sstream>

namespace {

using bench::Pos;
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

// Every sequence class MiniTerm interprets renders as libvterm renders it.
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

// Writing the last column moves the cursor to the next row at once; writing
// the bottom-right cell scrolls.
TEST(MiniTermImmediate, WrapsAtOnceAndScrollsAtTheBottom) {
  auto t = bench::MakeMiniTerm(3, 4, Wrap::Immediate);
  t->Feed("abcd");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"abcd", "    ", "    "}));
  EXPECT_EQ(t->Cursor(), (Pos{1, 0}));
  t->Feed("efghijkl");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"efgh", "ijkl", "    "}));
  EXPECT_EQ(t->Cursor(), (Pos{2, 0}));
  t->Feed("\r\n");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"ijkl", "    ", "    "}));
}

// A double-width character that does not fit wraps first; one that fits
// exactly wraps after.
TEST(MiniTermImmediate, WideCharactersAtTheEdge) {
  auto t = bench::MakeMiniTerm(3, 4, Wrap::Immediate);
  t->Feed("abc日");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"abc ", "日  ", "    "}));
  EXPECT_EQ(t->Cursor(), (Pos{1, 2}));
  t->Feed("本");
  EXPECT_EQ(t->Rows()[1], "日本");
  EXPECT_EQ(t->Cursor(), (Pos{2, 0}));
}

// Only the scroll region scrolls; below it the cursor stays on the last row.
TEST(MiniTermImmediate, ScrollRegion) {
  auto t = bench::MakeMiniTerm(3, 4, Wrap::Immediate);
  t->Feed("\x1b[1;2r\x1b[3;1Hkeep");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"    ", "    ", "keep"}));
  EXPECT_EQ(t->Cursor(), (Pos{2, 0})) << "below the region the last row does not scroll";
  t->Feed("\x1b[1;1Htop.wxyz");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"wxyz", "    ", "keep"}));
  EXPECT_EQ(t->Cursor(), (Pos{1, 0}));
  t->Feed("\x1b[3;1HKEEP");
  EXPECT_EQ(t->Rows(), (std::vector<std::string>{"wxyz", "    ", "KEEP"}));
  EXPECT_EQ(t->Cursor(), (Pos{2, 0}));
}

// With automatic margins switched off the last column is overwritten.
TEST(MiniTermImmediate, AutowrapOff) {
  auto t = bench::MakeMiniTerm(2, 4, Wrap::Immediate);
  t->Feed("\x1b[?7labcdef");
  EXPECT_EQ(t->Rows()[0], "abcf");
  EXPECT_EQ(t->Cursor(), (Pos{0, 3}));
}

// Overwriting half of a double-width character blanks the other half.
TEST(MiniTermImmediate, HalfOverwrittenWideCharacterIsBlanked) {
  auto t = bench::MakeMiniTerm(1, 6, Wrap::Immediate);
  t->Feed("日本\x1b[1;2Hx");
  EXPECT_EQ(t->Rows()[0], " x本  ");
  t->Feed("\x1b[1;3Hy");
  EXPECT_EQ(t->Rows()[0], " xy   ");
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

// The screen equals curses' view after every batch; on delayed-wrap and
// no-wrap terminals MiniTerm, fed the same bytes, also equals libvterm.
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

} // namespace
