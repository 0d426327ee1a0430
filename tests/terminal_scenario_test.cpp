// Scenario tests of the terminal modes and the curses screen, the exported
// interrupt records and OnIntrScan during a stopped scroll, the shadow screen
// and display columns, and the state that SetTerminal leaves.
//
// Each test runs the module in a bench child on a real pseudo-terminal and
// checks, in the parent, the rendered screen, the cursor, the raw bytes, the
// terminal attributes (tcgetattr, reported by the child field by field) and
// the record's fields.  Most tests run on xterm (delayed wrap), vt100 (no
// alternate screen) and xterm-noxenl (wraps at once), at 80x24 and 12x5.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- Terminals ----------------------------------------------------------------

struct Term {
  const char *term;
  int rows, cols;
};

std::ostream &operator<<(std::ostream &os, const Term &t) {
  return os << t.term << " " << t.cols << "x" << t.rows;
}

// "xterm_noxenl_12x5"
std::string TermName(const testing::TestParamInfo<Term> &info) {
  std::string name = info.param.term;
  for (char &c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name + "_" + std::to_string(info.param.cols) + "x" +
         std::to_string(info.param.rows);
}

bench::Options OptionsFor(const Term &t) {
  bench::Options opt;
  opt.term = t.term;
  opt.rows = t.rows;
  opt.cols = t.cols;
  return opt;
}

// Delayed wrap (xterm), no alternate screen (vt100), wrap at once (xterm-noxenl),
// each at 80x24 and at a small size.
const Term kTerms[] = {{"xterm", 24, 80},        {"xterm", 5, 12},
                       {"vt100", 24, 80},        {"vt100", 5, 12},
                       {"xterm-noxenl", 24, 80}, {"xterm-noxenl", 5, 12}};

// A smaller set for the tests whose behaviour does not depend much on the size.
const Term kSomeTerms[] = {{"xterm", 24, 80}, {"vt100", 5, 12}, {"xterm-noxenl", 5, 12}};

// ---- Child side ---------------------------------------------------------------

// The engine's start-up before the module is touched.
void StartEngine() {
  host_init(0, nullptr);
  host_install_sigint();
}

// Writes bytes to the terminal behind curses' back.
void RawWrite(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(1, bytes.data() + done, bytes.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      bench::Fail("write to the terminal failed");
  }
}

std::string Hex(const unsigned char *bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

// Reports the terminal attributes of descriptor 0 under `prefix`, field by field.
void ReportTermios(const std::string &prefix) {
  termios t;
  memset(&t, 0, sizeof t);
  bench::Report(prefix + ".ok", tcgetattr(0, &t) == 0 ? 1 : 0);
  bench::Report(prefix + ".iflag", static_cast<long long>(t.c_iflag));
  bench::Report(prefix + ".oflag", static_cast<long long>(t.c_oflag));
  bench::Report(prefix + ".cflag", static_cast<long long>(t.c_cflag));
  bench::Report(prefix + ".lflag", static_cast<long long>(t.c_lflag));
  bench::Report(prefix + ".line", static_cast<long long>(t.c_line));
  bench::Report(prefix + ".ispeed", static_cast<long long>(cfgetispeed(&t)));
  bench::Report(prefix + ".ospeed", static_cast<long long>(cfgetospeed(&t)));
  bench::Report(prefix + ".cc", Hex(t.c_cc, NCCS));
}

// Sets shadow row y to `text` followed by spaces (behind the terminal's back).
void PokeRow(int y, const std::string &text) {
  ConsoleState *con = Console;
  unsigned char *row = con->shadow[y];
  memset(row, ' ', static_cast<size_t>(4 * con->columns));
  memcpy(row, text.data(), std::min(text.size(), static_cast<size_t>(4 * con->columns)));
}

// Waits up to `ms` for descriptor 0 to have input; returns poll's revents.
int WaitInput(int ms) {
  pollfd p{0, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, ms);
    if (r >= 0 || errno != EINTR) return r > 0 ? p.revents : 0;
  }
}

// ---- Parent side --------------------------------------------------------------

// The screen shows the shadow cell for cell, except that on a terminal that
// wraps at once the bottom-right cell (which such a terminal never gets
// without scrolling) must be blank.  A double-width character covering that
// cell is not checked at all.
testing::AssertionResult ScreenShowsShadow(const bench::Scenario &s) {
  bench::Shadow sh;
  testing::AssertionResult ok = bench::ReadShadow(s, &sh);
  if (!ok) return ok;
  std::vector<std::string> screen = s.Screen();
  if (sh.rows != static_cast<int>(screen.size()) || sh.columns != s.options().cols)
    return testing::AssertionFailure()
           << "the shadow is " << sh.rows << "x" << sh.columns << " but the terminal is "
           << screen.size() << "x" << s.options().cols;
  bool corner = s.wrap() == bench::Wrap::Immediate;
  for (int r = 0; r < sh.rows; ++r) {
    std::string want_text = bench::ShadowRowToText(sh.row_bytes[r], sh.columns);
    std::vector<std::string> want = bench::SplitCells(want_text);
    std::vector<std::string> got = bench::SplitCells(screen[r]);
    std::vector<bool> skip(want.size(), false);
    if (corner && r == sh.rows - 1 && static_cast<int>(want.size()) == sh.columns) {
      if (want[sh.columns - 1].empty())
        skip[sh.columns - 1] = skip[sh.columns - 2] = true;
      else
        want[sh.columns - 1] = " ";
    }
    for (size_t c = 0; c < std::max(want.size(), got.size()); ++c) {
      if (c < skip.size() && skip[c]) continue;
      std::string w = c < want.size() ? want[c] : "?", g = c < got.size() ? got[c] : "?";
      if (w != g)
        return testing::AssertionFailure()
               << "row " << r << ", column " << c << ": the terminal shows '" << g
               << "' where the shadow has '" << w << "'\n  terminal: |" << screen[r]
               << "|\n  shadow:   |" << want_text << "|\n  screen:\n"
               << s.ScreenText();
    }
  }
  return testing::AssertionSuccess();
}

// The shadow (bytes and cursor) is the same in both reports.
testing::AssertionResult SameShadow(const bench::Shadow &a, const bench::Shadow &b) {
  if (a.rows != b.rows || a.columns != b.columns)
    return testing::AssertionFailure() << "the shadow changed size";
  if (a.cur_x != b.cur_x || a.cur_y != b.cur_y)
    return testing::AssertionFailure()
           << "the cursor moved from byte " << a.cur_x << " of row " << a.cur_y
           << " to byte " << b.cur_x << " of row " << b.cur_y;
  for (int r = 0; r < a.rows; ++r)
    if (a.row_bytes[r] != b.row_bytes[r])
      return testing::AssertionFailure()
             << "shadow row " << r << " changed from |"
             << bench::ShadowRowToText(a.row_bytes[r], a.columns) << "| to |"
             << bench::ShadowRowToText(b.row_bytes[r], b.columns) << "|";
  return testing::AssertionSuccess();
}

// Every shadow row is 4 * columns spaces.
testing::AssertionResult ShadowBlank(const bench::Shadow &sh) {
  for (int r = 0; r < sh.rows; ++r) {
    if (sh.row_bytes[r].size() != static_cast<size_t>(4 * sh.columns))
      return testing::AssertionFailure()
             << "shadow row " << r << " has " << sh.row_bytes[r].size() << " bytes, not "
             << 4 * sh.columns;
    if (sh.row_bytes[r].find_first_not_of(' ') != std::string::npos)
      return testing::AssertionFailure()
             << "shadow row " << r << " is not blank: |"
             << bench::ShadowRowToText(sh.row_bytes[r], sh.columns) << "|";
  }
  return testing::AssertionSuccess();
}

bool ScreenBlank(const bench::Scenario &s) {
  for (const std::string &row : s.Screen())
    if (!bench::TrimRight(row).empty()) return false;
  return true;
}

long long Num(const bench::Scenario &s, const std::string &key) {
  std::string v = s.Get(key);
  return v.empty() ? -999999 : std::stoll(v);
}

// One c_cc entry of a reported termios.
int Cc(const bench::Scenario &s, const std::string &prefix, int index) {
  std::string hex = s.Get(prefix + ".cc");
  if (hex.size() < static_cast<size_t>(2 * (index + 1))) return -1;
  return std::stoi(hex.substr(static_cast<size_t>(2 * index), 2), nullptr, 16);
}

struct CcName {
  int index;
  const char *name;
};
const CcName kCcNames[] = {
    {VINTR, "VINTR"},       {VQUIT, "VQUIT"},     {VERASE, "VERASE"},
    {VKILL, "VKILL"},       {VEOF, "VEOF"},       {VTIME, "VTIME"},
    {VMIN, "VMIN"},         {VSTART, "VSTART"},   {VSTOP, "VSTOP"},
    {VSUSP, "VSUSP"},       {VEOL, "VEOL"},       {VREPRINT, "VREPRINT"},
    {VDISCARD, "VDISCARD"}, {VWERASE, "VWERASE"}, {VLNEXT, "VLNEXT"},
    {VEOL2, "VEOL2"}};

std::string CcLabel(int index) {
  for (const CcName &n : kCcNames)
    if (n.index == index) return n.name;
  return "c_cc[" + std::to_string(index) + "]";
}

// The two reported termios are equal field by field; the c_cc entries in
// `except` are not compared.
void ExpectSameTermios(const bench::Scenario &s, const std::string &a,
                       const std::string &b, const std::vector<int> &except = {}) {
  EXPECT_EQ(s.Get(a + ".ok"), "1") << "tcgetattr failed for '" << a << "'";
  EXPECT_EQ(s.Get(b + ".ok"), "1") << "tcgetattr failed for '" << b << "'";
  for (const char *f : {"iflag", "oflag", "cflag", "lflag", "line", "ispeed", "ospeed"})
    EXPECT_EQ(s.Get(a + "." + f), s.Get(b + "." + f))
        << "termios field c_" << f << " differs between '" << a << "' and '" << b << "'";
  for (int i = 0; i < NCCS; ++i) {
    if (std::find(except.begin(), except.end(), i) != except.end()) continue;
    EXPECT_EQ(Cc(s, a, i), Cc(s, b, i))
        << CcLabel(i) << " differs between '" << a << "' and '" << b << "'";
  }
}

bool LflagHas(const bench::Scenario &s, const std::string &prefix, long long bits) {
  return (Num(s, prefix + ".lflag") & bits) == bits;
}

// True while the child sleeps in read(2) on descriptor 0 (seen twice, a few
// milliseconds apart, so that a non-blocking read is not mistaken for a wait).
bool SleepsReadingStdin(pid_t pid) {
  auto once = [pid] {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    std::string nr, fd;
    if (!(f >> nr >> fd)) return false;
    return nr == std::to_string(SYS_read) && (fd == "0x0" || fd == "0");
  };
  if (!once()) return false;
  usleep(5000);
  return once();
}

// Waits until the child blocks reading its keyboard.  The bench's waits sleep
// until an event, and a blocked child makes none, so this polls.
testing::AssertionResult WaitReadingStdin(bench::Scenario &s) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(s.options().timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (SleepsReadingStdin(s.Pid())) return testing::AssertionSuccess();
    s.Send(""); // pumps the bench's terminal and side channel without waiting
    usleep(2000);
  }
  return testing::AssertionFailure()
         << "the child never blocked reading descriptor 0 (see "
            "/proc/"
         << s.Pid() << "/syscall); screen:\n"
         << s.ScreenText();
}

// Console output that fills a screen and scrolls: double-width characters,
// lines exactly as wide as the screen (one ending in a double-width
// character), lines that wrap, and two-byte characters of one column.
std::string FillText(int rows, int cols) {
  std::string out;
  for (int i = 0; i < rows + 3; i++) {
    std::string p = std::to_string(i) + ":";
    switch (i % 6) {
    case 0:
      out += p + " 日本語 text";
      break;
    case 1: {
      out += p + " wide";
      int width = static_cast<int>(p.size()) + 5;
      while (width < cols + cols / 2)
        out += "漢字", width += 4;
      break;
    }
    case 2:
      out += p + std::string(static_cast<size_t>(cols) - p.size(), '-');
      break;
    case 3:
      out += p + std::string(static_cast<size_t>(cols) - p.size() - 2, '.') + "字";
      break;
    case 4:
      out += p + " é ü ñ";
      break;
    default:
      out += p;
    }
    out += "\n";
  }
  return out + "end 終";
}

// ---- S_redisplay against the shadow --------------------------------

class Redisplay : public testing::TestWithParam<Term> {};

// Output through the console stream, then garbage written behind curses' back:
// S_redisplay brings the screen back to the shadow, cell for cell, with the
// cursor where the record says, and changes neither the shadow nor the cursor.
TEST_P(Redisplay, RestoresTheShadowAfterGarbage) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put(FillText(t.rows, t.cols));
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("written");
    bench::WaitParent();
    RawWrite("\x1b[HGARBAGE!\x1b[2;3Hjunk日本\x1b[" + std::to_string(t.rows) +
             ";2Hbtm junk" + "\x1b[3;1H");
    bench::Step("garbled");
    bench::WaitParent();
    bench::Report("redisplay", S_redisplay());
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("redrawn");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  bench::Shadow before;
  ASSERT_TRUE(bench::ReadShadow(s, &before));
  EXPECT_TRUE(ScreenShowsShadow(s)) << "after the output";
  EXPECT_TRUE(bench::CursorEqualsShadow(s)) << "after the output";
  s.Go();
  ASSERT_TRUE(s.WaitStep("garbled"));
  ASSERT_TRUE(s.WaitForScreenText("GARBAGE!"));
  EXPECT_FALSE(ScreenShowsShadow(s)) << "the garbage did not reach the screen";
  s.Go();
  ASSERT_TRUE(s.WaitStep("redrawn"));
  EXPECT_EQ(s.Get("redisplay"), "0") << "S_redisplay returns wrefresh's result";
  bench::Shadow after;
  ASSERT_TRUE(bench::ReadShadow(s, &after));
  EXPECT_TRUE(SameShadow(before, after)) << "S_redisplay must not change the shadow";
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(s.ScreenText().find("GARBAGE"), std::string::npos) << s.ScreenText();
  EXPECT_EQ(s.ScreenText().find("junk"), std::string::npos) << s.ScreenText();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

// A shadow laid out directly (every row full, single-byte characters in the
// bottom-right cell): S_redisplay draws all of it, except the bottom-right
// cell on a terminal that wraps at once, and the screen does not scroll.  A
// cursor at the right edge (display column = columns) shows in the last
// column, after a double-width character, after single-byte ones, and on the
// bottom row.
TEST_P(Redisplay, DrawsEveryCellAndPlacesTheCursorAtTheRightEdge) {
  const Term t = GetParam();
  auto full_row = [&](int r) {
    std::string row = "r" + std::to_string(r) + ":";
    for (int i = 0; static_cast<int>(row.size()) < t.cols; i++)
      row += static_cast<char>('a' + (r + i) % 26);
    return row;
  };
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    for (int r = 0; r < t.rows; r++)
      PokeRow(r, full_row(r));
    Console->cur_x = 0;
    Console->cur_y = 0;
    bench::Report("redisplay", S_redisplay());
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("corner");
    bench::WaitParent();
    // Row 1: single-byte characters, then a double-width one that ends in the
    // last column; the cursor after it is at the right edge.
    std::string wide_row = std::string(static_cast<size_t>(t.cols - 2), 'x') + "日";
    PokeRow(1, wide_row);
    Console->cur_y = 1;
    Console->cur_x = static_cast<int>(wide_row.size());
    S_redisplay();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("edge-wide");
    bench::WaitParent();
    PokeRow(2, std::string(static_cast<size_t>(t.cols), 'y'));
    Console->cur_y = 2;
    Console->cur_x = t.cols;
    S_redisplay();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("edge-ascii");
    bench::WaitParent();
    Console->cur_y = t.rows - 1;
    Console->cur_x = t.cols;
    S_redisplay();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("edge-bottom");
  });
  ASSERT_TRUE(s.WaitStep("corner"));
  EXPECT_EQ(s.Get("redisplay"), "0");
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  std::vector<std::string> screen = s.Screen();
  ASSERT_EQ(static_cast<int>(screen.size()), t.rows);
  EXPECT_EQ(screen[0], full_row(0)) << "the screen scrolled";
  std::string corner = bench::SplitCells(screen[t.rows - 1]).back();
  if (s.wrap() == bench::Wrap::Immediate)
    EXPECT_EQ(corner, " ")
        << "a terminal that wraps at once never gets the bottom-right cell";
  else
    EXPECT_EQ(corner, full_row(t.rows - 1).substr(static_cast<size_t>(t.cols - 1)))
        << "the bottom-right cell must be drawn on " << t.term;
  s.Go();
  ASSERT_TRUE(s.WaitStep("edge-wide"));
  EXPECT_EQ(Num(s, "shadow.col"), t.cols) << "the cursor is at the right edge";
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_EQ(s.Cursor(), (bench::Pos{1, t.cols - 1}));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("edge-ascii"));
  EXPECT_EQ(Num(s, "shadow.col"), t.cols);
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_EQ(s.Cursor(), (bench::Pos{2, t.cols - 1}));
  s.Go();
  ASSERT_TRUE(s.WaitStep("edge-bottom"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_EQ(s.Cursor(), (bench::Pos{t.rows - 1, t.cols - 1}));
  EXPECT_EQ(s.Screen()[0], full_row(0)) << "the screen scrolled";
  ASSERT_TRUE(s.WaitExit());
}

INSTANTIATE_TEST_SUITE_P(Terminals, Redisplay,
                         testing::Values(kTerms[0], kTerms[1], kTerms[2], kTerms[3],
                                         kTerms[4], kTerms[5], Term{"ansi", 5, 12}),
                         TermName);

// ---- leaving the curses screen and coming back ---------------------

class SaveRestore : public testing::TestWithParam<Term> {};

// SaveTermIO(1) gives the terminal back cooked (as the shell had it); another
// program writes on it; RestoreTermIO(1) brings back raw mode and the console's
// screen exactly as the shadow has it.  SaveTermIO(1) flushes standard output
// before curses is ended.
TEST_P(SaveRestore, RedrawsTheConsoleAfterAnotherProgram) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartEngine();
    ReportTermios("shell");
    SetTerminal();
    InitTermIO();
    Put(FillText(t.rows, t.cols));
    ReportTermios("raw");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("written");
    bench::WaitParent();
    C_BELL(); // stays in standard output's buffer until something flushes it
    SaveTermIO(1);
    ReportTermios("cooked");
    RawWrite("other prog\r\n");
    pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/echo", "echo", "echo prog", static_cast<char *>(nullptr));
      _exit(127);
    }
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    bench::Report("echo.status", status);
    // The other program also leaves the terminal's attributes changed.
    termios other;
    tcgetattr(0, &other);
    other.c_cc[VINTR] = 0x19;
    other.c_cc[VERASE] = 0x08;
    other.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSANOW, &other);
    bench::Step("cooked");
    bench::WaitParent();
    RestoreTermIO(1);
    ReportTermios("restored");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("restored");
    bench::WaitParent();
    SaveTermIO(1);
    ReportTermios("saved-again");
    bench::Step("saved-again");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  bench::Shadow before;
  ASSERT_TRUE(bench::ReadShadow(s, &before));
  EXPECT_TRUE(ScreenShowsShadow(s));
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("cooked"));
  EXPECT_EQ(s.Get("echo.status"), "0");
  ASSERT_TRUE(s.WaitForScreenText("other prog"));
  ASSERT_TRUE(s.WaitForScreenText("echo prog"));
  ExpectSameTermios(s, "shell", "cooked");
  EXPECT_TRUE(LflagHas(s, "cooked", ICANON | ECHO));
  std::string saved = s.RawOutput().substr(mark);
  size_t bell = saved.find('\a');
  EXPECT_NE(bell, std::string::npos) << "the bell in standard output's buffer was lost";
  if (std::string(t.term) == "xterm") {
    size_t rmcup = saved.find("\x1b[?1049l");
    EXPECT_NE(rmcup, std::string::npos) << bench::Printable(saved);
    EXPECT_LT(bell, rmcup) << "SaveTermIO(1) flushes standard output before endwin: "
                           << bench::Printable(saved);
  }
  s.Go();
  ASSERT_TRUE(s.WaitStep("restored"));
  bench::Shadow after;
  ASSERT_TRUE(bench::ReadShadow(s, &after));
  EXPECT_TRUE(SameShadow(before, after));
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(s.ScreenText().find("other prog"), std::string::npos) << s.ScreenText();
  EXPECT_EQ(s.ScreenText().find("echo prog"), std::string::npos) << s.ScreenText();
  // The snapshots are never taken again: what the other program changed is
  // overwritten by each mode switch.
  ExpectSameTermios(s, "raw", "restored");
  EXPECT_FALSE(LflagHas(s, "restored", ICANON));
  EXPECT_FALSE(LflagHas(s, "restored", ECHO));
  s.Go();
  ASSERT_TRUE(s.WaitStep("saved-again"));
  ExpectSameTermios(s, "shell", "saved-again");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

// RestoreTermIO(0) applies raw mode but redraws nothing: none of the shadow's
// text is sent, and the other program's output stays on the screen until an
// explicit S_redisplay.
TEST_P(SaveRestore, RestoreWithoutRedrawSendsNoShadowText) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    ReportTermios("raw");
    Put("SHADOWTEXT 日本語\nsecond SHADOWLINE");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("written");
    bench::WaitParent();
    SaveTermIO(1);
    RawWrite("other prog\r\n");
    bench::Step("cooked");
    bench::WaitParent();
    RestoreTermIO(0);
    ReportTermios("restored");
    bench::Step("restored");
    bench::WaitParent();
    S_redisplay();
    bench::Step("redrawn");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("cooked"));
  ASSERT_TRUE(s.WaitForScreenText("other prog"));
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("restored"));
  std::string restored = s.RawOutput().substr(mark);
  EXPECT_EQ(restored.find("SHADOW"), std::string::npos) << bench::Printable(restored);
  EXPECT_EQ(restored.find("日本語"), std::string::npos) << bench::Printable(restored);
  EXPECT_NE(s.ScreenText().find("other prog"), std::string::npos)
      << "RestoreTermIO(0) must not redraw:\n"
      << s.ScreenText();
  ExpectSameTermios(s, "raw", "restored");
  s.Go();
  ASSERT_TRUE(s.WaitStep("redrawn"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(s.ScreenText().find("other prog"), std::string::npos) << s.ScreenText();
  ASSERT_TRUE(s.WaitExit());
}

INSTANTIATE_TEST_SUITE_P(Terminals, SaveRestore, testing::ValuesIn(kTerms), TermName);

// ---- C_SetSigState ---------------------------------------------------

class SigState : public testing::TestWithParam<Term> {};

// Reads one byte of standard input, waiting; -1 at end of input.
int ReadByte() {
  for (;;) {
    clearerr(stdin);
    int c = getc(stdin);
    if (c != EOF || !(ferror(stdin) && errno == EINTR)) return c;
  }
}

// The typeahead ring, oldest byte first, as hex.
std::string TypeaheadHex() {
  ConsoleState *con = Console;
  std::string out;
  const unsigned char *p = con->typeahead_head;
  for (int i = 0; i < con->typeahead_count; i++) {
    out += Hex(p, 1);
    if (++p == con->typeahead + QX_LINE_MAX) p = con->typeahead;
  }
  return out;
}

// C_SetSigState(1) applies raw mode without tty signals: Ctrl-C, Ctrl-S and
// Ctrl-Q arrive as bytes 3, 19 and 17 and the engine's SIGINT handler is not
// called.  C_SetSigState(0) gives the interrupt key its signal back.  Neither
// starts or ends curses while it is active: nothing at all is written to the
// terminal by either switch.
TEST_P(SigState, InterruptKeyIsAByteOnlyWithoutSignals) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put("sig state");
    ReportTermios("raw");
    bench::Report("intr_char", Console->intr_char);
    bench::Step("raw");
    bench::WaitParent();
    C_SetSigState(1);
    bench::Report("nosig.sig_state", Console->sig_state);
    ReportTermios("nosig");
    bench::Step("nosig");
    bench::Report("key1", ReadByte());
    bench::Report("key1.sigints", host_sigint_count());
    bench::WaitParent();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int taken = 0;
    while (taken < 3 && std::chrono::steady_clock::now() < deadline) {
      if (key_scan())
        taken++;
      else
        WaitInput(20);
    }
    bench::Report("scan.typeahead", TypeaheadHex());
    bench::Report("scan.output_stopped", Console->output_stopped);
    bench::Report("scan.sigints", host_sigint_count());
    bench::Step("scanned");
    bench::WaitParent();
    C_SetSigState(0);
    bench::Report("sig.sig_state", Console->sig_state);
    ReportTermios("sig");
    bench::Step("sig");
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host_sigint_count() == 0 && std::chrono::steady_clock::now() < deadline)
      poll(nullptr, 0, 10);
    bench::Report("intr.sigints", host_sigint_count());
    C_FlushTypeahead(1);
    bench::Report("intr.scan", key_scan());
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    bench::Report("intr.engine_action",
                  now.sa_handler == host_sigint_handler_address() ? 1 : 0);
    bench::Step("done");
  });
  ASSERT_TRUE(s.WaitStep("raw"));
  EXPECT_EQ(Cc(s, "raw", VINTR), 3);
  EXPECT_EQ(s.Get("intr_char"), "3");
  size_t mark0 = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("nosig"));
  EXPECT_EQ(s.Get("nosig.sig_state"), "1");
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(mark0)), "")
      << "C_SetSigState(1) writes nothing to the terminal";
  EXPECT_EQ(Cc(s, "nosig", VINTR), 255);
  EXPECT_EQ(Cc(s, "nosig", VSUSP), 255);
  EXPECT_EQ(Cc(s, "nosig", VLNEXT), 255);
  EXPECT_EQ(Cc(s, "nosig", VSTART), 255);
  EXPECT_EQ(Cc(s, "nosig", VSTOP), 255);
  ExpectSameTermios(s, "raw", "nosig", {VINTR, VSUSP, VLNEXT});
  s.Send("\x03");
  ASSERT_TRUE(
      s.WaitFor([&] { return s.Has("key1.sigints"); }, "the child to read a key"));
  EXPECT_EQ(s.Get("key1"), "3") << "Ctrl-C arrives as byte 3";
  EXPECT_EQ(s.Get("key1.sigints"), "0") << "no SIGINT in raw mode without signals";
  s.Send("\x03\x13\x11");
  s.Go();
  ASSERT_TRUE(s.WaitStep("scanned"));
  EXPECT_EQ(s.Get("scan.typeahead"), "031311")
      << "Ctrl-C, Ctrl-S and Ctrl-Q are ordinary keys for key_scan";
  EXPECT_EQ(s.Get("scan.output_stopped"), "0");
  EXPECT_EQ(s.Get("scan.sigints"), "0");
  size_t mark1 = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("sig"));
  EXPECT_EQ(s.Get("sig.sig_state"), "0");
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(mark1)), "")
      << "C_SetSigState(0) writes nothing to the terminal";
  ExpectSameTermios(s, "raw", "sig");
  s.Send("\x03");
  ASSERT_TRUE(s.WaitStep("done"));
  EXPECT_EQ(s.Get("intr.sigints"), "1") << "Ctrl-C raises SIGINT again";
  EXPECT_EQ(s.Get("intr.scan"), "0") << "the interrupt key is not read as a byte";
  EXPECT_EQ(s.Get("intr.engine_action"), "1");
  std::string all = s.RawOutput().substr(mark0);
  EXPECT_EQ(all.find("\x1b[?1049"), std::string::npos) << bench::Printable(all);
  EXPECT_EQ(all.find("\x1b[?47"), std::string::npos) << bench::Printable(all);
  EXPECT_EQ(s.ScreenText().find("sig state"), 0u) << s.ScreenText();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

// The raw mode in use is 1 + sig_state: after C_SetSigState(1), SaveTermIO
// gives the cooked terminal and RestoreTermIO comes back without tty signals.
TEST_P(SigState, RestoreComesBackWithoutSignals) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartEngine();
    ReportTermios("shell");
    SetTerminal();
    InitTermIO();
    Put("before 日本");
    C_SetSigState(1);
    ReportTermios("nosig");
    SaveTermIO(1);
    ReportTermios("cooked");
    bench::Step("cooked");
    bench::WaitParent();
    RestoreTermIO(1);
    ReportTermios("restored");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("restored");
  });
  ASSERT_TRUE(s.WaitStep("cooked"));
  ExpectSameTermios(s, "shell", "cooked");
  s.Go();
  ASSERT_TRUE(s.WaitStep("restored"));
  ExpectSameTermios(s, "nosig", "restored");
  EXPECT_EQ(Cc(s, "restored", VINTR), 255);
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  ASSERT_TRUE(s.WaitExit());
}

INSTANTIATE_TEST_SUITE_P(Terminals, SigState, testing::ValuesIn(kSomeTerms), TermName);

// ---- C_Sane, InitTermIO, ExittingMessage ---------------------------

class TermModes : public testing::TestWithParam<Term> {};

// Non-default special characters on the terminal, as a user may have set them.
std::map<int, unsigned char> OddCharacters() {
  return {{VINTR, 0x18}, {VEOF, 0x1a}, {VERASE, 0x08}};
}

// C_Sane() before InitTermIO starts curses only to take the snapshots and
// leaves the terminal exactly as it was found; InitTermIO afterwards works.
TEST_P(TermModes, SaneBeforeInitLeavesTheTerminalAsFound) {
  const Term t = GetParam();
  bench::Options opt = OptionsFor(t);
  opt.cc = OddCharacters();
  bench::Scenario s(opt, [&] {
    StartEngine();
    ReportTermios("shell");
    SetTerminal();
    C_Sane();
    ReportTermios("sane");
    bench::Step("sane");
    bench::WaitParent();
    InitTermIO();
    ReportTermios("raw");
    bench::Report("intr_char", Console->intr_char);
    bench::Report("eof_char", Console->eof_char);
    bench::Report("erase", Console->edit_keys[ERASE]);
    Put("C_Sane 日本");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("init");
  });
  ASSERT_TRUE(s.WaitStep("sane"));
  ExpectSameTermios(s, "shell", "sane");
  EXPECT_TRUE(LflagHas(s, "sane", ICANON | ECHO));
  EXPECT_EQ(Cc(s, "sane", VINTR), 0x18);
  s.Go();
  ASSERT_TRUE(s.WaitStep("init"));
  EXPECT_FALSE(LflagHas(s, "raw", ICANON));
  EXPECT_FALSE(LflagHas(s, "raw", ECHO));
  EXPECT_EQ(s.Get("intr_char"), "24");
  EXPECT_EQ(s.Get("eof_char"), "26");
  EXPECT_EQ(s.Get("erase"), "8");
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_NE(s.ScreenText().find("C_Sane 日本"), std::string::npos) << s.ScreenText();
  ASSERT_TRUE(s.WaitExit());
}

// InitTermIO takes the interrupt, end-of-file and erase characters from the
// terminal, fixes the stop and start characters at 19 and 17, enters raw mode
// with Ctrl-S and Ctrl-Q disabled in the driver, clears the screen (text left
// by the shell included), and allocates an all-blank shadow of the pty's size.
// Curses_getTerminalWH gives -1, -1 before curses ever started.
TEST_P(TermModes, InitTakesTheTerminalsCharactersAndSize) {
  const Term t = GetParam();
  bench::Options opt = OptionsFor(t);
  opt.cc = OddCharacters();
  bench::Scenario s(opt, [&] {
    StartEngine();
    SetTerminal();
    int w = 7, h = 7;
    Curses_getTerminalWH(&w, &h);
    bench::Report("pre.w", w);
    bench::Report("pre.h", h);
    RawWrite("shell text\r\n");
    bench::Step("shell");
    bench::WaitParent();
    InitTermIO();
    ConsoleState *con = Console;
    bench::Report("intr_char", con->intr_char);
    bench::Report("eof_char", con->eof_char);
    bench::Report("erase", con->edit_keys[ERASE]);
    bench::Report("bs", C_GetBS());
    bench::Report("stop_char", con->stop_char);
    bench::Report("start_char", con->start_char);
    bench::Report("columns", con->columns);
    bench::Report("rows", con->rows);
    int sc = 0, sr = 0;
    C_Screen(&sc, &sr);
    bench::Report("screen.columns", sc);
    bench::Report("screen.rows", sr);
    w = h = 7;
    Curses_getTerminalWH(&w, &h);
    bench::Report("post.w", w);
    bench::Report("post.h", h);
    bench::Report("sig_state", con->sig_state);
    ReportTermios("raw");
    bench::ReportShadow(con, _Curses_num_cur_x);
    bench::Step("init");
  });
  ASSERT_TRUE(s.WaitStep("shell"));
  ASSERT_TRUE(s.WaitForScreenText("shell text"));
  EXPECT_EQ(s.Get("pre.w"), "-1") << "Curses_getTerminalWH before curses started";
  EXPECT_EQ(s.Get("pre.h"), "-1") << "Curses_getTerminalWH before curses started";
  s.Go();
  ASSERT_TRUE(s.WaitStep("init"));
  EXPECT_EQ(s.Get("intr_char"), "24");
  EXPECT_EQ(s.Get("eof_char"), "26");
  EXPECT_EQ(s.Get("erase"), "8");
  EXPECT_EQ(s.Get("bs"), "8");
  EXPECT_EQ(s.Get("stop_char"), "19");
  EXPECT_EQ(s.Get("start_char"), "17");
  EXPECT_EQ(Num(s, "columns"), t.cols);
  EXPECT_EQ(Num(s, "rows"), t.rows);
  EXPECT_EQ(Num(s, "screen.columns"), t.cols);
  EXPECT_EQ(Num(s, "screen.rows"), t.rows);
  EXPECT_EQ(Num(s, "post.w"), t.cols);
  EXPECT_EQ(Num(s, "post.h"), t.rows);
  EXPECT_EQ(s.Get("sig_state"), "0");
  EXPECT_FALSE(LflagHas(s, "raw", ICANON));
  EXPECT_FALSE(LflagHas(s, "raw", ECHO));
  EXPECT_TRUE(LflagHas(s, "raw", ISIG)) << "RAW keeps the interrupt key's signal";
  EXPECT_EQ(Cc(s, "raw", VSTART), 255);
  EXPECT_EQ(Cc(s, "raw", VSTOP), 255);
  EXPECT_EQ(Cc(s, "raw", VINTR), 0x18);
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  EXPECT_EQ(sh.rows, t.rows);
  EXPECT_EQ(sh.columns, t.cols);
  EXPECT_EQ(sh.cur_x, 0);
  EXPECT_EQ(sh.cur_y, 0);
  EXPECT_TRUE(ShadowBlank(sh));
  EXPECT_TRUE(ScreenBlank(s)) << "InitTermIO clears the screen:\n" << s.ScreenText();
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  ASSERT_TRUE(s.WaitExit());
}

// ExittingMessage leaves the terminal cooked as the shell had it and writes
// exactly "Exit from Prolog\n" to standard error.
TEST_P(TermModes, ExittingMessageLeavesTheShellsTerminal) {
  const Term t = GetParam();
  bench::Options opt = OptionsFor(t);
  opt.cc = OddCharacters();
  bench::Scenario s(opt, [&] {
    StartEngine();
    ReportTermios("shell");
    SetTerminal();
    InitTermIO();
    Put("some output\n日本語");
    ReportTermios("raw");
    bench::Step("written");
    bench::WaitParent();
    ExittingMessage();
    ReportTermios("exit");
    bench::Step("exited");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  EXPECT_FALSE(LflagHas(s, "raw", ICANON));
  EXPECT_EQ(s.Stderr(), "");
  s.Go();
  ASSERT_TRUE(s.WaitStep("exited"));
  ExpectSameTermios(s, "shell", "exit");
  EXPECT_TRUE(LflagHas(s, "exit", ICANON | ECHO));
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
  EXPECT_EQ(s.Stderr(), "Exit from Prolog\n");
}

INSTANTIATE_TEST_SUITE_P(Terminals, TermModes, testing::ValuesIn(kTerms), TermName);

// The usual special characters of a pty: ^C, ^D and DEL.
TEST(TermModesDefault, InitTakesTheUsualCharacters) {
  bench::Options opt;
  bench::Scenario s(opt, [] {
    StartConsole();
    bench::Report("intr_char", Console->intr_char);
    bench::Report("eof_char", Console->eof_char);
    bench::Report("erase", Console->edit_keys[ERASE]);
    bench::Report("bs", C_GetBS());
    bench::Step("init");
  });
  ASSERT_TRUE(s.WaitStep("init"));
  EXPECT_EQ(s.Get("intr_char"), "3");
  EXPECT_EQ(s.Get("eof_char"), "4");
  EXPECT_EQ(s.Get("erase"), "127");
  EXPECT_EQ(s.Get("bs"), "127");
  ASSERT_TRUE(s.WaitExit());
}

// ---- the interrupt records and OnIntrScan during a stopped scroll --

volatile sig_atomic_t engine_sigints = 0;
volatile sig_atomic_t engine_called_by_module = 0;
HostSigHandler host_handler = nullptr;
void EngineSigint(int sig);

// The engine's SIGINT handler for this test: the stand-in's own (which counts),
// then a mark on standard error that tells the parent the handler has run.
// It also notes whether another handler (OnIntrScan) was the SIGINT action
// when it ran, that is, whether the module passed the signal on.
void EngineSigint(int sig) {
  engine_sigints = engine_sigints + 1;
  struct sigaction cur;
  if (sigaction(SIGINT, nullptr, &cur) == 0 && cur.sa_handler != EngineSigint)
    engine_called_by_module = 1;
  if (host_handler) host_handler(sig);
  static const char mark[] = "<engine SIGINT>";
  ssize_t n = write(2, mark, sizeof mark - 1);
  (void)n;
}

class StoppedScroll : public testing::TestWithParam<Term> {};

// Ctrl-S typed ahead stops the output at the next scroll.  A Ctrl-C while the
// scroll waits runs the engine's handler once (through OnIntrScan), leaves
// descriptor 0 blocking, does not end the wait and shows nothing; Ctrl-Q
// resumes.  Afterwards the engine's action is in force again (old_hand held
// it), and `sa` holds what PollKey installed: SA_NODEFER alone, empty mask.
TEST_P(StoppedScroll, InterruptWhileStoppedRunsTheEnginesHandlerOnce) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    host_init(0, nullptr);
    host_install_sigint();
    host_handler = host_sigint_handler_address();
    struct sigaction act;
    memset(&act, 0, sizeof act);
    act.sa_handler = EngineSigint;
    sigemptyset(&act.sa_mask);
    sigaction(SIGINT, &act, nullptr);
    SetTerminal();
    host_set_user_input(C_GetStream());
    InitTermIO();
    for (int r = 0; r < t.rows - 1; r++)
      Put("line " + std::to_string(r) + "\n");
    Put("last");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("full");
    bench::WaitParent();
    bench::Report("ctrl_s.ready", WaitInput(10000) & POLLIN ? 1 : 0);
    Put("\n"); // scrolls: stopped by the Ctrl-S until Ctrl-Q
    Put("after");
    ConsoleState *con = Console;
    bench::Report("sigints", host_sigint_count());
    bench::Report("engine_sigints", engine_sigints);
    bench::Report("engine_called_by_module", engine_called_by_module);
    bench::Report("nonblock", (fcntl(0, F_GETFL) & O_NONBLOCK) ? 1 : 0);
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    bench::Report("action_is_engine", now.sa_handler == EngineSigint ? 1 : 0);
    bench::Report("old_hand_is_engine", old_hand.sa_handler == EngineSigint ? 1 : 0);
    bench::Report("sa.flags", static_cast<long long>(sa.sa_flags));
    bench::Report("sa.mask_empty", sigisemptyset(&sa.sa_mask));
    bench::Report("sa.handler_is_engine", sa.sa_handler == EngineSigint ? 1 : 0);
    bench::Report("sa.handler_is_default",
                  (sa.sa_handler == SIG_DFL || sa.sa_handler == SIG_IGN) ? 1 : 0);
    bench::Report("output_stopped", con->output_stopped);
    bench::Report("typeahead", TypeaheadHex());
    bench::ReportShadow(con, _Curses_num_cur_x);
    bench::Step("resumed");
  });
  ASSERT_TRUE(s.WaitStep("full"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  std::vector<std::string> full = s.Screen();
  s.Send("\x13");
  s.Go();
  ASSERT_TRUE(WaitReadingStdin(s)) << "the scroll should wait for the start character";
  EXPECT_EQ(s.Screen(), full) << "the stopped scroll must not have scrolled yet";
  size_t mark = s.RawOutput().size();
  s.Send("\x03");
  ASSERT_TRUE(
      s.WaitFor([&] { return s.Stderr().find("<engine SIGINT>") != std::string::npos; },
                "the engine's SIGINT handler to run"));
  ASSERT_TRUE(WaitReadingStdin(s)) << "the interrupt must not end the wait";
  s.Send("");
  EXPECT_EQ(s.Screen(), full) << "the interrupt must not let the scroll through";
  std::string during = s.RawOutput().substr(mark);
  EXPECT_EQ(during.find("^C"), std::string::npos) << bench::Printable(during);
  s.Send("\x11");
  ASSERT_TRUE(s.WaitStep("resumed"));
  EXPECT_EQ(s.Get("ctrl_s.ready"), "1");
  EXPECT_EQ(s.Get("sigints"), "1") << "the engine's handler runs once";
  EXPECT_EQ(s.Get("engine_sigints"), "1");
  EXPECT_EQ(s.Get("engine_called_by_module"), "1")
      << "the SIGINT came while PollKey's handler was installed, which passed it on";
  EXPECT_EQ(s.Get("nonblock"), "0") << "descriptor 0 is left without O_NONBLOCK";
  EXPECT_EQ(s.Get("action_is_engine"), "1") << "PollKey puts old_hand back";
  EXPECT_EQ(s.Get("old_hand_is_engine"), "1") << "old_hand holds the engine's action";
  EXPECT_EQ(Num(s, "sa.flags"), static_cast<long long>(SA_NODEFER))
      << "sa: SA_NODEFER alone (0x40000000)";
  EXPECT_EQ(s.Get("sa.mask_empty"), "1");
  EXPECT_EQ(s.Get("sa.handler_is_engine"), "0") << "sa holds PollKey's own handler";
  EXPECT_EQ(s.Get("sa.handler_is_default"), "0");
  EXPECT_EQ(s.Get("output_stopped"), "0");
  EXPECT_EQ(s.Get("typeahead"), "") << "neither Ctrl-S, Ctrl-C nor Ctrl-Q is kept";
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  std::vector<std::string> screen = s.Screen();
  EXPECT_EQ(bench::TrimRight(screen[t.rows - 2]), "last");
  EXPECT_EQ(bench::TrimRight(screen[t.rows - 1]), "after");
  EXPECT_EQ(bench::TrimRight(screen[0]), "line 1");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Terminals, StoppedScroll, testing::ValuesIn(kSomeTerms),
                         TermName);

// ---- display columns -------------------------------------------------

// _Curses_num_cur_x on rows of single bytes, of UTF-8 characters of one and two
// columns and of EUC-JP characters: negative x gives 0, a lead byte that is
// the last byte before x counts one column, a character that reaches past x
// counts whole.
TEST(DisplayColumns, CountsByTheShadowsBytes) {
  bench::Options opt;
  bench::Scenario s(opt, [] {
    StartConsole();
    ConsoleState *con = Console;
    Put("ab日c\nhello\nabéc\n");
    auto query = [](int x, int y) {
      bench::Report("nx." + std::to_string(y) + "." + std::to_string(x),
                    _Curses_num_cur_x(x, y));
    };
    for (int x : {-1000, -7, -1, 0, 1, 2, 3, 4, 5, 6})
      query(x, 0);
    for (int x = -1; x <= 8; x++)
      query(x, 1);
    for (int x : {2, 3, 4, 5})
      query(x, 2);
    for (int x : {0, 17, con->columns})
      query(x, 3);
    bench::Report("row0", Hex(con->shadow[0], 8));
    host_set_charset(HOST_EUCJP);
    PokeRow(4, "ab\xa4\xa2"
               "c");
    PokeRow(5, "ab\x8f\xb0\xa1"
               "c");
    for (int x : {2, 3, 4, 5})
      query(x, 4);
    for (int x : {2, 3, 4, 5, 6})
      query(x, 5);
    host_set_charset(HOST_UTF8);
    bench::Step("done");
  });
  ASSERT_TRUE(s.WaitStep("done"));
  EXPECT_EQ(s.Get("row0"), "6162e697a5632020") << "the shadow holds the bytes as written";
  auto nx = [&](int y, int x) {
    return Num(s, "nx." + std::to_string(y) + "." + std::to_string(x));
  };
  // "ab日c": 日 is E6 97 A5, two columns.
  EXPECT_EQ(nx(0, -1000), 0);
  EXPECT_EQ(nx(0, -7), 0);
  EXPECT_EQ(nx(0, -1), 0);
  EXPECT_EQ(nx(0, 0), 0);
  EXPECT_EQ(nx(0, 1), 1);
  EXPECT_EQ(nx(0, 2), 2);
  EXPECT_EQ(nx(0, 3), 3)
      << "a lead byte that is the last byte before x counts one column";
  EXPECT_EQ(nx(0, 4), 4) << "a character reaching past x counts whole";
  EXPECT_EQ(nx(0, 5), 4);
  EXPECT_EQ(nx(0, 6), 5);
  // Single bytes: the display column is the byte index.
  EXPECT_EQ(nx(1, -1), 0);
  for (int x = 0; x <= 8; x++)
    EXPECT_EQ(nx(1, x), x) << "x = " << x;
  // "abéc": é is C3 A9, one column.
  EXPECT_EQ(nx(2, 2), 2);
  EXPECT_EQ(nx(2, 3), 3);
  EXPECT_EQ(nx(2, 4), 3);
  EXPECT_EQ(nx(2, 5), 4);
  // A blank row.
  EXPECT_EQ(nx(3, 0), 0);
  EXPECT_EQ(nx(3, 17), 17);
  EXPECT_EQ(nx(3, 80), 80);
  // EUC-JP "ab" A4A2 "c": two bytes, two columns (a lead byte before x counts one
  // column).
  EXPECT_EQ(nx(4, 2), 2);
  EXPECT_EQ(nx(4, 3), 3);
  EXPECT_EQ(nx(4, 4), 4);
  EXPECT_EQ(nx(4, 5), 5);
  // EUC-JP "ab" 8FB0A1 "c": three bytes, two columns.
  EXPECT_EQ(nx(5, 2), 2);
  EXPECT_EQ(nx(5, 3), 3);
  EXPECT_EQ(nx(5, 4), 4);
  EXPECT_EQ(nx(5, 5), 4);
  EXPECT_EQ(nx(5, 6), 5);
  ASSERT_TRUE(s.WaitExit());
}

// ---- C_SetCursor, d_clear, d_cleol, d_cleos --------------------------

class ShadowOps : public testing::TestWithParam<Term> {};

// C_SetCursor clamps each 1-based coordinate to 1..size and makes it 0-based;
// the column becomes the byte index whatever the row holds.  On every call the
// terminal's cursor goes to the bottom-right cell first: the output is
// replayed byte by byte on a second emulator to see it pass there.
TEST_P(ShadowOps, SetCursorClamps) {
  const Term t = GetParam();
  struct Case {
    int x, y, col, row;
  };
  const int C = t.cols, R = t.rows;
  const std::vector<Case> cases = {
      {0, 0, 0, 0},   {1, 1, 0, 0},  {C, R, C - 1, R - 1}, {C + 9, R + 9, C - 1, R - 1},
      {-5, -5, 0, 0}, {-1, 3, 0, 2}, {4, -2, 3, 0},        {3, 2, 2, 1},
      {7, 2, 6, 1}};
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put("top row\n日本語 wide\nthird");
    bench::Step("written");
    for (size_t i = 0; i < cases.size(); i++) {
      bench::WaitParent();
      C_SetCursor(cases[i].x, cases[i].y);
      bench::Report("cur_x", Console->cur_x);
      bench::Report("cur_y", Console->cur_y);
      bench::Report("col", _Curses_num_cur_x(Console->cur_x, Console->cur_y));
      bench::Step("set");
    }
    bench::ReportShadow(Console, _Curses_num_cur_x);
  });
  std::unique_ptr<bench::Terminal> replay =
      s.UsesMiniTerm() ? bench::MakeMiniTerm(R, C, s.wrap())
                       : bench::MakeVTerm(R, C, s.wrap() != bench::Wrap::None);
  const bench::Pos corner{R - 1, C - 1};
  size_t fed = 0;
  // Feeds the output not yet replayed; true if the cursor was in the
  // bottom-right cell at some moment (or already there at the start).
  auto passes_corner = [&] {
    const std::string &raw = s.RawOutput();
    bool seen = replay->Cursor() == corner;
    for (; fed < raw.size(); ++fed) {
      replay->Feed(raw.substr(fed, 1));
      if (replay->Cursor() == corner) seen = true;
    }
    return seen;
  };
  ASSERT_TRUE(s.WaitStep("written"));
  passes_corner();
  for (const Case &c : cases) {
    SCOPED_TRACE("C_SetCursor(" + std::to_string(c.x) + ", " + std::to_string(c.y) + ")");
    s.Go();
    ASSERT_TRUE(s.WaitStep("set"));
    EXPECT_EQ(Num(s, "cur_x"), c.col);
    EXPECT_EQ(Num(s, "cur_y"), c.row);
    EXPECT_EQ(s.Cursor(), (bench::Pos{c.row, c.col}));
    EXPECT_TRUE(passes_corner()) << "the cursor did not go by the bottom-right cell";
    EXPECT_EQ(replay->Cursor(), s.Cursor()) << "the replay went astray";
  }
  // On "日本語 wide" byte 6 is the end of 日本, display column 4: the record's
  // display column lies left of the terminal's cursor.
  EXPECT_EQ(Num(s, "col"), 4);
  ASSERT_TRUE(s.WaitExit());
  EXPECT_TRUE(ScreenShowsShadow(s)) << "C_SetCursor changes nothing on the screen";
}

// d_clear clears curses' screen without a refresh: the terminal is unchanged
// (no byte is sent) until the next output, which shows on a cleared screen.
TEST_P(ShadowOps, ClearWaitsForTheNextRefresh) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put(FillText(t.rows, t.cols));
    bench::Step("written");
    bench::WaitParent();
    bench::Report("ret", P0_d_clear());
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("cleared");
    bench::WaitParent();
    Put("x");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("after");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  std::vector<std::string> before = s.Screen();
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("cleared"));
  EXPECT_EQ(s.Get("ret"), "1");
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(mark)), "") << "d_clear sends nothing";
  EXPECT_EQ(s.Screen(), before);
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  EXPECT_TRUE(ShadowBlank(sh));
  EXPECT_EQ(sh.cur_x, 0);
  EXPECT_EQ(sh.cur_y, 0);
  s.Go();
  ASSERT_TRUE(s.WaitStep("after"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(s.ScreenText().find_last_not_of('\n'), 0u) << "only the x is left:\n"
                                                       << s.ScreenText();
  EXPECT_EQ(s.Screen()[0].substr(0, 1), "x");
  ASSERT_TRUE(s.WaitExit());
}

// d_cleol clears from the cursor to the end of its row on the terminal, puts
// the cursor at column 0 of the same row, and blanks the whole shadow row.
TEST_P(ShadowOps, ClearToEndOfLine) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put("hello world\n日本語abc\nthird line");
    C_SetCursor(1, t.rows);
    Put("bottom");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("written");
    bench::WaitParent();
    C_SetCursor(7, 1); // after "hello "
    bench::Report("ret", P0_d_cleol());
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("row0");
    bench::WaitParent();
    C_SetCursor(1, 2);
    Put("日本"); // the cursor at byte 6, display column 4
    P0_d_cleol();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("row1");
    bench::WaitParent();
    C_SetCursor(1, 3);
    P0_d_cleol();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("row2");
    bench::WaitParent();
    C_SetCursor(3, t.rows);
    P0_d_cleol();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("bottom");
    bench::WaitParent();
    S_redisplay();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("redrawn");
  });
  auto row_blank_in_shadow = [&](int r) {
    bench::Shadow sh;
    if (!bench::ReadShadow(s, &sh) || r >= sh.rows) return false;
    return sh.row_bytes[r].find_first_not_of(' ') == std::string::npos;
  };
  auto row = [&](int r) { return bench::TrimRight(s.Screen()[static_cast<size_t>(r)]); };
  ASSERT_TRUE(s.WaitStep("written"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("row0"));
  EXPECT_EQ(s.Get("ret"), "1");
  EXPECT_EQ(Num(s, "shadow.cur_x"), 0);
  EXPECT_EQ(Num(s, "shadow.cur_y"), 0);
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  EXPECT_TRUE(row_blank_in_shadow(0)) << "the whole shadow row is blanked";
  EXPECT_EQ(row(0), "hello") << "the terminal is cleared from the old cursor on";
  EXPECT_EQ(row(1), "日本語abc");
  EXPECT_EQ(row(2), "third line");
  s.Go();
  ASSERT_TRUE(s.WaitStep("row1"));
  EXPECT_EQ(s.Cursor(), (bench::Pos{1, 0}));
  EXPECT_EQ(Num(s, "shadow.cur_x"), 0);
  EXPECT_EQ(Num(s, "shadow.cur_y"), 1);
  EXPECT_TRUE(row_blank_in_shadow(1));
  EXPECT_EQ(row(1), "日本") << "cleared from display column 4 on";
  EXPECT_EQ(row(2), "third line");
  s.Go();
  ASSERT_TRUE(s.WaitStep("row2"));
  EXPECT_EQ(s.Cursor(), (bench::Pos{2, 0}));
  EXPECT_TRUE(row_blank_in_shadow(2));
  EXPECT_EQ(row(2), "") << "from column 0 the row is blank on the terminal too";
  EXPECT_EQ(row(t.rows - 1), "bottom");
  s.Go();
  ASSERT_TRUE(s.WaitStep("bottom"));
  EXPECT_EQ(s.Cursor(), (bench::Pos{t.rows - 1, 0}));
  EXPECT_EQ(Num(s, "shadow.cur_y"), t.rows - 1);
  EXPECT_EQ(row(t.rows - 1), "bo");
  EXPECT_EQ(row(0), "hello") << "the screen scrolled";
  EXPECT_TRUE(row_blank_in_shadow(t.rows - 1));
  s.Go();
  ASSERT_TRUE(s.WaitStep("redrawn"));
  EXPECT_TRUE(ScreenShowsShadow(s));
  EXPECT_TRUE(ScreenBlank(s)) << s.ScreenText();
  EXPECT_EQ(s.Cursor(), (bench::Pos{t.rows - 1, 0}));
  ASSERT_TRUE(s.WaitExit());
}

// d_cleos clears from the cursor to the end of the screen on the terminal,
// homes the cursor and blanks the whole shadow; a following S_redisplay shows
// a blank screen and, its rows being all spaces, sends no space at all.
TEST_P(ShadowOps, ClearToEndOfScreen) {
  const Term t = GetParam();
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put("row zero\nrow 1 日本\nrow two\nrow three");
    bench::Step("written");
    bench::WaitParent();
    C_SetCursor(4, 2);
    bench::Report("ret", P0_d_cleos());
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("cleos");
    bench::WaitParent();
    S_redisplay();
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("redrawn");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  s.Go();
  ASSERT_TRUE(s.WaitStep("cleos"));
  EXPECT_EQ(s.Get("ret"), "1");
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  EXPECT_TRUE(ShadowBlank(sh)) << "the whole shadow is blanked";
  EXPECT_EQ(sh.cur_x, 0);
  EXPECT_EQ(sh.cur_y, 0);
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  std::vector<std::string> screen = s.Screen();
  EXPECT_EQ(bench::TrimRight(screen[0]), "row zero") << "rows above the cursor stay";
  EXPECT_EQ(bench::TrimRight(screen[1]), "row") << "cleared from the cursor on";
  for (int r = 2; r < t.rows; r++)
    EXPECT_EQ(bench::TrimRight(screen[static_cast<size_t>(r)]), "") << "row " << r;
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("redrawn"));
  EXPECT_TRUE(ScreenBlank(s)) << s.ScreenText();
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  std::string redraw = s.RawOutput().substr(mark);
  EXPECT_EQ(redraw.find(' '), std::string::npos)
      << "rows of spaces are not drawn: " << bench::Printable(redraw);
  ASSERT_TRUE(s.WaitExit());
}

INSTANTIATE_TEST_SUITE_P(Terminals, ShadowOps, testing::ValuesIn(kTerms), TermName);

// ---- SetTerminal -----------------------------------------------------

// Reports the fields SetTerminal sets, under `p`.
void ReportInitialState(const std::string &p) {
  ConsoleState *con = Console;
  bench::Report(p + ".postfix", static_cast<long long>(C_GetPromptPostfix()));
  bench::Report(p + ".log", static_cast<long long>(C_GetLog()));
  bench::Report(p + ".prompt_is_default", C_GetPrompt() == Main_DefaultPrompt() ? 1 : 0);
  bench::Report(p + ".input_mode", con->input_mode);
  bench::Report(p + ".cur_x", con->cur_x);
  bench::Report(p + ".cur_y", con->cur_y);
  bench::Report(p + ".line_len", con->line_len);
  bench::Report(p + ".keyback_count", con->keyback_count);
  bench::Report(p + ".typeahead_count", con->typeahead_count);
  bench::Report(p + ".typeahead_head_at_start",
                con->typeahead_head == con->typeahead ? 1 : 0);
  bench::Report(p + ".history_head", con->history_head);
  int used = 0;
  for (int i = 0; i < QX_HISTORY_SLOTS; i++)
    if (con->history[i][0] != 0) used++;
  bench::Report(p + ".history_used", used);
  bench::Report(p + ".template_mark0", con->template_mark[0]);
  std::string keys;
  for (int i = 1; i < 10; i++)
    keys += (i > 1 ? " " : "") + std::to_string(con->edit_keys[i]);
  bench::Report(p + ".edit_keys", keys);
  bench::Report(p + ".cursor_shown", con->cursor_shown);
  bench::Report(p + ".output_stopped", con->output_stopped);
  bench::Report(p + ".scroll_line", con->scroll_line);
  bench::Report(p + ".sig_state", con->sig_state);
  bench::Report(p + ".stream_ok",
                C_GetStream() != 0 && C_GetStream() == con->stream ? 1 : 0);
  bench::Report(p + ".stream_con", Stream_GetStreamCon(C_GetStream()) == con ? 1 : 0);
}

// SetTerminal's initial state; C_SetScrollLine stores what it is given; a
// second SetTerminal resets history, keyback, typeahead and the rest, registers
// a new stream, and leaves input_mode alone.
TEST(SetTerminalState, InitialStateAndReset) {
  bench::Options opt;
  bench::Scenario s(opt, [] {
    host_init(0, nullptr);
    ConsoleState **where = SetTerminal();
    bench::Report("returns_console_address", where == &Console ? 1 : 0);
    ReportInitialState("first");
    C_SetScrollLine(-5);
    bench::Report("scroll_line_after_set", Console->scroll_line);
    ConsoleState *con = Console;
    QxStream first_stream = C_GetStream();
    // Leave traces everywhere SetTerminal resets.
    C_keyback('a');
    C_keyback('b');
    con->typeahead_head = con->typeahead + 7;
    con->typeahead[7] = 'x';
    con->typeahead_count = 1;
    strcpy(reinterpret_cast<char *>(con->history[0]), "first line");
    strcpy(reinterpret_cast<char *>(con->history[5]), "newest line");
    con->history_head = 5;
    con->template_mark[0] = 1;
    C_SetPromptPostfix(PutAtom(0, "> "));
    C_SetLog(host_open_memory());
    con->cur_x = 3;
    con->cur_y = 2;
    con->line_len = 4;
    con->cursor_shown = 0;
    con->output_stopped = 1;
    con->sig_state = 1;
    C_COMMAND();
    bench::Report("dirty.keyback_count", con->keyback_count);
    bench::Report("dirty.postfix_set", C_GetPromptPostfix() != 1 ? 1 : 0);
    bench::Report("dirty.log_set", C_GetLog() != 0 ? 1 : 0);
    ConsoleState **again = SetTerminal();
    bench::Report("second.same_record", Console == con && again == &Console ? 1 : 0);
    bench::Report("second.new_stream", C_GetStream() != first_stream ? 1 : 0);
    ReportInitialState("second");
    bench::Step("done");
  });
  ASSERT_TRUE(s.WaitStep("done"));
  EXPECT_EQ(s.Get("returns_console_address"), "1");
  EXPECT_EQ(s.Get("scroll_line_after_set"), "-5") << "C_SetScrollLine does not clamp";
  EXPECT_EQ(s.Get("dirty.keyback_count"), "2");
  EXPECT_EQ(s.Get("dirty.postfix_set"), "1");
  EXPECT_EQ(s.Get("dirty.log_set"), "1");
  EXPECT_EQ(s.Get("second.same_record"), "1");
  EXPECT_EQ(s.Get("second.new_stream"), "1");
  for (const char *p : {"first", "second"}) {
    SCOPED_TRACE(std::string(p) + " SetTerminal");
    std::string k = std::string(p) + ".";
    EXPECT_EQ(s.Get(k + "postfix"), "1");
    EXPECT_EQ(s.Get(k + "log"), "0");
    EXPECT_EQ(s.Get(k + "prompt_is_default"), "1");
    EXPECT_EQ(s.Get(k + "cur_x"), "0");
    EXPECT_EQ(s.Get(k + "cur_y"), "0");
    EXPECT_EQ(s.Get(k + "line_len"), "0");
    EXPECT_EQ(s.Get(k + "keyback_count"), "0");
    EXPECT_EQ(s.Get(k + "typeahead_count"), "0");
    EXPECT_EQ(s.Get(k + "typeahead_head_at_start"), "1");
    EXPECT_EQ(s.Get(k + "history_head"), "0");
    EXPECT_EQ(s.Get(k + "history_used"), "0");
    EXPECT_EQ(s.Get(k + "template_mark0"), "0");
    EXPECT_EQ(s.Get(k + "edit_keys"), "6 1 5 17 23 21 14 20 24");
    EXPECT_EQ(s.Get(k + "cursor_shown"), "1");
    EXPECT_EQ(s.Get(k + "output_stopped"), "0");
    EXPECT_EQ(s.Get(k + "scroll_line"), "0");
    EXPECT_EQ(s.Get(k + "sig_state"), "0");
    EXPECT_EQ(s.Get(k + "stream_ok"), "1");
    EXPECT_EQ(s.Get(k + "stream_con"), "1");
  }
  EXPECT_EQ(s.Get("first.input_mode"), std::to_string(TOPLEVEL));
  EXPECT_EQ(s.Get("second.input_mode"), std::to_string(COMMAND))
      << "SetTerminal leaves input_mode alone";
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

} // namespace
