// Scenario tests of the terminal modes and the curses screen: redrawing from
// the shadow, start-up, leaving curses and coming back, the signal state and
// exit, display columns, the shadow operations (cursor, clears) and the state
// SetTerminal leaves.
//
// Each test runs the module in a bench child on a real pseudo-terminal and
// checks, in the parent, the screen, the cursor, the raw bytes, the terminal
// attributes (tcgetattr in the child) and the record.  Most run on xterm
// (delayed wrap), vt100 (no alternate screen) and xterm-noxenl (wraps at
// once), at 80x24 and 12x5.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

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
  return TermOptions(t.term, t.rows, t.cols);
}

const Term kTerms[] = {{"xterm", 24, 80},        {"xterm", 5, 12},
                       {"vt100", 24, 80},        {"vt100", 5, 12},
                       {"xterm-noxenl", 24, 80}, {"xterm-noxenl", 5, 12}};

// ---- Child side -----------------------------------------------------------------

// Writes bytes to the terminal behind curses' back.
void RawWrite(const std::string &bytes) {
  if (!bench::wire::WriteAll(1, bytes)) bench::Fail("write to the terminal failed");
}

// Reports descriptor 0's attributes as "iflag=.. oflag=.. ... cc0=3 cc1=28 ...".
void ReportTermios(const std::string &key) {
  termios t{};
  std::ostringstream out;
  if (tcgetattr(0, &t) != 0) out << "tcgetattr-failed ";
  out << "iflag=" << t.c_iflag << " oflag=" << t.c_oflag << " cflag=" << t.c_cflag
      << " lflag=" << t.c_lflag << " line=" << int(t.c_line)
      << " ispeed=" << cfgetispeed(&t) << " ospeed=" << cfgetospeed(&t);
  for (int i = 0; i < NCCS; i++)
    out << " cc" << i << "=" << int(t.c_cc[i]);
  bench::Report(key, out.str());
}

// Sets shadow row y to `text` followed by spaces (behind the terminal's back).
void PokeRow(int y, const std::string &text) {
  unsigned char *row = Console->shadow[y];
  size_t n = static_cast<size_t>(4 * Console->columns);
  memset(row, ' ', n);
  memcpy(row, text.data(), std::min(text.size(), n));
}

// Output that fills a screen and scrolls: double-width characters, lines
// exactly as wide as the screen (one ending in a double-width character),
// lines that wrap, and two-byte characters of one column.  Ends in "end 終".
std::string FillText(int rows, int cols) {
  std::string out;
  for (int i = 0; i < rows + 3; i++) {
    std::string p = std::to_string(i) + ":";
    if (i % 5 == 0) out += p + " 日本語 text";
    if (i % 5 == 1) {
      out += p + " wide";
      for (int width = static_cast<int>(p.size()) + 5; width < cols + cols / 2;
           width += 4)
        out += "漢字";
    }
    if (i % 5 == 2) out += p + std::string(static_cast<size_t>(cols) - p.size(), '-');
    if (i % 5 == 3)
      out += p + std::string(static_cast<size_t>(cols) - p.size() - 2, '.') + "字";
    if (i % 5 == 4) out += p + " é ü ñ";
    out += "\n";
  }
  return out + "end 終";
}

// ---- Parent side ----------------------------------------------------------------

// The reported attributes without the c_cc entries in `except`.
std::string Tio(const bench::Scenario &s, const std::string &key,
                const std::vector<int> &except = {}) {
  std::istringstream in(s.Get(key));
  std::string out, token;
  while (in >> token) {
    bool skip = false;
    for (int i : except)
      skip = skip || token.rfind("cc" + std::to_string(i) + "=", 0) == 0;
    if (!skip) out += token + " ";
  }
  return out;
}

// One field of the reported attributes ("lflag", "cc0", ...); -1 if missing.
long long TioField(const bench::Scenario &s, const std::string &key,
                   const std::string &name) {
  std::string all = " " + s.Get(key), tag = " " + name + "=";
  size_t at = all.find(tag);
  return at == std::string::npos ? -1 : std::stoll(all.substr(at + tag.size()));
}

bool LflagHas(const bench::Scenario &s, const std::string &key, long long bits) {
  return (TioField(s, key, "lflag") & bits) == bits;
}

int Cc(const bench::Scenario &s, const std::string &key, int index) {
  return static_cast<int>(TioField(s, key, "cc" + std::to_string(index)));
}

// The shadow as text: the cursor (bytes) and every row's bytes.
std::string Dump(const bench::Shadow &sh) {
  std::string out = "cursor " + std::to_string(sh.cur_y) + "," + std::to_string(sh.cur_x);
  for (const std::string &row : sh.row_bytes)
    out += "\n|" + row + "|";
  return out;
}

std::string BlankDump(int rows, int cols) {
  bench::Shadow sh;
  sh.row_bytes.assign(static_cast<size_t>(rows), std::string(4 * cols, ' '));
  return Dump(sh);
}

std::string ReportedShadow(const bench::Scenario &s) {
  bench::Shadow sh;
  return bench::ReadShadow(s, &sh) ? Dump(sh) : "(no shadow)";
}

// ---- S_redisplay ------------------------------------------------------------------

class Redisplay : public testing::TestWithParam<Term> {};

// Catches: a redraw (d_redisp/0 or S_redisplay) that trusts curses' idea of
// the screen (garbage written behind its back stays), that changes the shadow
// or the cursor, that does not answer 1 (d_redisp/0), that scrolls
// or draws the bottom-right cell on a terminal that wraps at once (or leaves
// it out on one that does not), a control byte drawn other than as one '?',
// and a cursor at the right edge (display
// column == columns, after a double-width or single-byte characters, on the
// bottom row) not shown in the last column.
TEST_P(Redisplay, RestoresTheShadowAndPlacesTheCursorAtTheRightEdge) {
  const Term t = GetParam();
  auto full_row = [&](int r) { // with a control byte, shown as '?'
    std::string row = "r" + std::to_string(r) + ":\x01";
    for (int i = 0; static_cast<int>(row.size()) < t.cols; i++)
      row += static_cast<char>('a' + (r + i) % 26);
    return row;
  };
  const std::string wide_row = std::string(static_cast<size_t>(t.cols - 2), 'x') + "日";
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put(FillText(t.rows, t.cols));
    ReportShadow();
    Pause("written");
    RawWrite("\x1b[HGARBAGE!\x1b[2;3Hjunk日本\x1b[" + std::to_string(t.rows) +
             ";2Hbtm junk\x1b[3;1H");
    Pause("garbled");
    bench::Report("d_redisp", P0_d_redisp());
    ReportShadow();
    Pause("redrawn");
    for (int r = 0; r < t.rows; r++)
      PokeRow(r, full_row(r));
    Console->cur_x = Console->cur_y = 0;
    bench::Report("redisplay", S_redisplay());
    Pause("full");
    // The cursor at the right edge: after a double-width character ending in
    // the last column, after single bytes, and on the bottom row.
    const int edges[][2] = {{1, -1}, {2, t.cols}, {t.rows - 1, t.cols}};
    for (const auto &e : edges) {
      Console->cur_y = e[0];
      if (e[1] < 0) PokeRow(1, wide_row);
      Console->cur_x = e[1] < 0 ? static_cast<int>(wide_row.size()) : e[1];
      S_redisplay();
      ReportShadow();
      Pause("edge");
    }
  });
  ASSERT_TRUE(s.WaitStep("written"));
  bench::Shadow before;
  ASSERT_TRUE(bench::ReadShadow(s, &before));
  EXPECT_TRUE(bench::ScreenEqualsShadow(s)) << "after the output";
  EXPECT_TRUE(bench::CursorEqualsShadow(s)) << "after the output";
  s.Go();
  ASSERT_TRUE(s.WaitStep("garbled"));
  ASSERT_TRUE(s.WaitForScreenText("GARBAGE!"));
  s.Go();
  ASSERT_TRUE(s.WaitStep("redrawn"));
  EXPECT_EQ(s.Get("d_redisp"), "1");
  EXPECT_EQ(ReportedShadow(s), Dump(before)) << "S_redisplay changed the shadow";
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("full"));
  EXPECT_EQ(s.Get("redisplay"), "0");
  std::vector<std::string> want;
  for (int r = 0; r < t.rows; r++)
    want.push_back(full_row(r));
  for (std::string &row : want)
    row[row.find('\x01')] = '?';
  if (s.wrap() == bench::Wrap::Immediate) want.back().back() = ' ';
  EXPECT_EQ(s.Screen(), want) << "every cell but a wrap-at-once terminal's corner";
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  want[1] = wide_row;
  for (int row : {1, 2, t.rows - 1}) {
    SCOPED_TRACE("cursor at the right edge of row " + std::to_string(row));
    s.Go();
    ASSERT_TRUE(s.WaitStep("edge"));
    EXPECT_EQ(s.Get("shadow.col"), std::to_string(t.cols));
    EXPECT_EQ(s.Cursor(), (bench::Pos{row, t.cols - 1}));
    EXPECT_EQ(s.Screen(), want);
  }
  s.Go();
  ExpectCleanExit(s);
}

INSTANTIATE_TEST_SUITE_P(Terminals, Redisplay,
                         testing::Values(kTerms[0], kTerms[1], kTerms[2], kTerms[3],
                                         kTerms[4], kTerms[5], Term{"ansi", 5, 12}),
                         TermName);

// ---- Start-up, leaving curses and coming back, the signal state, exit ----------

struct ModeCase {
  Term term;
  bool odd_cc;     // the user has set other special characters
  bool sane_first; // C_Sane before InitTermIO
};

std::ostream &operator<<(std::ostream &os, const ModeCase &c) {
  return os << c.term << (c.odd_cc ? " odd characters" : "")
            << (c.sane_first ? " C_Sane first" : "");
}

class TermModes : public testing::TestWithParam<ModeCase> {};

// Catches, through an engine's whole use of the terminal:
// - start-up: C_Sane before InitTermIO leaving the terminal other than it
//   found it (or breaking the InitTermIO after it); InitTermIO not taking the
//   interrupt, end-of-file and erase characters from the terminal, not fixing
//   stop and start at 19 and 17, leaving Ctrl-S and Ctrl-Q to the driver,
//   dropping the interrupt key's signal, not clearing the shell's text, or
//   sizing the shadow other than the pty; Curses_getTerminalWH answering
//   anything but -1 before curses started; curses' set-up strings not sent
//   (a terminal with an alternate screen not entering it before the clear);
// - leaving and coming back: SaveTermIO(1) not giving the shell's attributes
//   back exactly, or leaving curses before standard output (a pending bell)
//   is flushed; RestoreTermIO(0) sending shadow text; RestoreTermIO(1) not
//   redrawing the console over another program's output, or changing the
//   shadow; a mode switch that takes its snapshot again from what another
//   program left;
// - the signal state: C_SetSigState(1) leaving the interrupt, suspend or
//   literal-next character in force, or changing anything else; a restore
//   after it that brings tty signals back; C_SetSigState(0) not giving the
//   interrupt key its signal back or not leaving the engine's SIGINT action in
//   force; either switch writing to the terminal (ending or starting curses);
// - exit: ExittingMessage leaving the terminal other than cooked as the shell
//   had it, not giving the shell's screen back on a terminal with an
//   alternate screen, or writing other than "Exit from Prolog\n" to standard
//   error.
TEST_P(TermModes, StartSwitchAndExit) {
  const ModeCase c = GetParam();
  const Term t = c.term;
  bench::Options opt = OptionsFor(t);
  if (c.odd_cc) opt.cc = {{VINTR, 0x18}, {VEOF, 0x1a}, {VERASE, 0x08}};
  bench::Scenario s(opt, [&] {
    host_init(0, nullptr); // the engine's start-up before the module is touched
    host_install_sigint();
    ReportTermios("shell");
    SetTerminal();
    int w = 7, h = 7;
    Curses_getTerminalWH(&w, &h);
    bench::Report("pre", std::to_string(w) + "," + std::to_string(h));
    if (c.sane_first) {
      C_Sane();
      ReportTermios("sane");
    }
    RawWrite("shell text\r\n");
    Pause("shell");
    InitTermIO();
    ConsoleState *con = Console;
    int sc = 0, sr = 0;
    C_Screen(&sc, &sr);
    w = h = 7;
    Curses_getTerminalWH(&w, &h);
    std::ostringstream keys;
    keys << con->intr_char << " " << con->eof_char << " " << con->edit_keys[ERASE] << " "
         << C_GetBS() << " " << con->stop_char << " " << con->start_char;
    bench::Report("keys", keys.str());
    std::ostringstream size;
    size << con->columns << "x" << con->rows << " " << sc << "x" << sr << " " << w << "x"
         << h;
    bench::Report("size", size.str());
    bench::Report("sig_state", con->sig_state);
    ReportTermios("raw");
    ReportShadow();
    Pause("init");
    Put(FillText(t.rows, t.cols));
    ReportShadow();
    Pause("written");
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
    termios other; // the other program leaves the attributes changed
    tcgetattr(0, &other);
    other.c_cc[VINTR] = 0x19;
    other.c_cc[VERASE] = 0x07;
    other.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSANOW, &other);
    Pause("cooked");
    RestoreTermIO(0);
    ReportTermios("restored0");
    Pause("restored0");
    SaveTermIO(1);
    ReportTermios("cooked2");
    RawWrite("other again\r\n");
    Pause("cooked2");
    RestoreTermIO(1);
    ReportTermios("restored1");
    ReportShadow();
    Pause("restored1");
    C_SetSigState(1);
    bench::Report("nosig.sig_state", Console->sig_state);
    ReportTermios("nosig");
    Pause("nosig");
    SaveTermIO(1);
    ReportTermios("cooked3");
    RestoreTermIO(1);
    ReportTermios("restored2");
    Pause("restored2");
    C_SetSigState(0);
    bench::Report("sig.sig_state", Console->sig_state);
    ReportTermios("sig");
    bench::Step("sig");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host_sigint_count() == 0 && std::chrono::steady_clock::now() < deadline)
      poll(nullptr, 0, 10);
    bench::Report("intr.sigints", host_sigint_count());
    C_FlushTypeahead(1);
    bench::Report("intr.scan", key_scan());
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    bench::Report("intr.engine_action",
                  now.sa_handler == host_sigint_handler_address() ? 1 : 0);
    ExittingMessage();
    ReportTermios("exit");
  });
  // Start-up.
  ASSERT_TRUE(s.WaitStep("shell"));
  ASSERT_TRUE(s.WaitForScreenText("shell text"));
  EXPECT_EQ(s.Get("pre"), "-1,-1");
  if (c.sane_first) {
    EXPECT_EQ(Tio(s, "sane"), Tio(s, "shell"));
    EXPECT_TRUE(LflagHas(s, "sane", ICANON | ECHO));
  }
  s.Go();
  ASSERT_TRUE(s.WaitStep("init"));
  EXPECT_EQ(s.Get("keys"), c.odd_cc ? "24 26 8 8 19 17" : "3 4 127 127 19 17");
  std::string size = std::to_string(t.cols) + "x" + std::to_string(t.rows);
  EXPECT_EQ(s.Get("size"), size + " " + size + " " + size);
  EXPECT_EQ(s.Get("sig_state"), "0");
  EXPECT_FALSE(LflagHas(s, "raw", ICANON));
  EXPECT_FALSE(LflagHas(s, "raw", ECHO));
  EXPECT_TRUE(LflagHas(s, "raw", ISIG)) << "raw mode keeps the interrupt key's signal";
  EXPECT_EQ(Cc(s, "raw", VSTART), 255);
  EXPECT_EQ(Cc(s, "raw", VSTOP), 255);
  EXPECT_EQ(Cc(s, "raw", VINTR), c.odd_cc ? 0x18 : 3);
  EXPECT_EQ(ReportedShadow(s), BlankDump(t.rows, t.cols));
  EXPECT_EQ(Text(s), "") << "InitTermIO clears the screen";
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  // The test entries with an alternate screen (enter_ca_mode) are the xterms.
  const bool ca_mode = std::string(t.term).rfind("xterm", 0) == 0;
  const std::string start = s.RawOutput();
  const size_t smcup = start.find("\x1b[?1049h");
  if (ca_mode) {
    EXPECT_NE(smcup, std::string::npos) << bench::Printable(start);
    EXPECT_LT(smcup, start.find("\x1b[H\x1b[2J"))
        << "the clear goes to the console's screen";
  } else {
    EXPECT_EQ(smcup, std::string::npos);
  }
  s.Go();
  ASSERT_TRUE(s.WaitStep("written"));
  bench::Shadow before;
  ASSERT_TRUE(bench::ReadShadow(s, &before));
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(s.Stderr(), "");
  // Leaving curses for another program, and coming back.
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("cooked"));
  ASSERT_TRUE(s.WaitForScreenText("echo prog"));
  EXPECT_EQ(s.Get("echo.status"), "0");
  EXPECT_EQ(Tio(s, "cooked"), Tio(s, "shell"));
  EXPECT_TRUE(LflagHas(s, "cooked", ICANON | ECHO));
  std::string saved = s.RawOutput().substr(mark);
  size_t bell = saved.find('\a');
  EXPECT_NE(bell, std::string::npos) << "the bell in standard output's buffer was lost";
  if (std::string(t.term) == "xterm") {
    size_t rmcup = saved.find("\x1b[?1049l");
    EXPECT_NE(rmcup, std::string::npos) << bench::Printable(saved);
    EXPECT_LT(bell, rmcup) << "standard output is flushed before curses ends";
  }
  mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("restored0"));
  std::string restored = s.RawOutput().substr(mark);
  EXPECT_EQ(restored.find("終"), std::string::npos) << bench::Printable(restored);
  EXPECT_NE(s.ScreenText().find("other prog"), std::string::npos)
      << "RestoreTermIO(0) must not redraw:\n"
      << s.ScreenText();
  EXPECT_EQ(Tio(s, "restored0"), Tio(s, "raw"));
  s.Go();
  ASSERT_TRUE(s.WaitStep("cooked2"));
  ASSERT_TRUE(s.WaitForScreenText("other again"));
  EXPECT_EQ(Tio(s, "cooked2"), Tio(s, "shell"));
  s.Go();
  ASSERT_TRUE(s.WaitStep("restored1"));
  EXPECT_EQ(ReportedShadow(s), Dump(before));
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(Tio(s, "restored1"), Tio(s, "raw"));
  // Without tty signals, and back.
  mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("nosig"));
  EXPECT_EQ(s.Get("nosig.sig_state"), "1");
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(mark)), "");
  for (int cc : {VINTR, VSUSP, VLNEXT, VSTART, VSTOP})
    EXPECT_EQ(Cc(s, "nosig", cc), 255) << "c_cc[" << cc << "]";
  EXPECT_EQ(Tio(s, "nosig", {VINTR, VSUSP, VLNEXT}),
            Tio(s, "raw", {VINTR, VSUSP, VLNEXT}));
  s.Go();
  ASSERT_TRUE(s.WaitStep("restored2"));
  EXPECT_EQ(Tio(s, "cooked3"), Tio(s, "shell"));
  EXPECT_EQ(Tio(s, "restored2"), Tio(s, "nosig"));
  mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("sig"));
  EXPECT_EQ(s.Get("sig.sig_state"), "0");
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(mark)), "");
  EXPECT_EQ(Tio(s, "sig"), Tio(s, "raw"));
  s.Send(c.odd_cc ? "\x18" : "\x03");
  // Exit.
  ExpectCleanExit(s);
  EXPECT_EQ(s.Get("intr.sigints"), "1") << "the interrupt key raises SIGINT again";
  EXPECT_EQ(s.Get("intr.scan"), "0") << "the interrupt key is not read as a byte";
  EXPECT_EQ(s.Get("intr.engine_action"), "1");
  EXPECT_EQ(Tio(s, "exit"), Tio(s, "shell"));
  EXPECT_EQ(s.Stderr(), "Exit from Prolog\n");
  if (ca_mode) {
    EXPECT_EQ(s.ScreenText().rfind("shell text", 0), 0u)
        << "the shell's screen comes back:\n"
        << s.ScreenText();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Terminals, TermModes,
    testing::Values(ModeCase{kTerms[0], false, false}, ModeCase{kTerms[0], true, true},
                    ModeCase{kTerms[1], true, false}, ModeCase{kTerms[2], true, false},
                    ModeCase{kTerms[3], false, true}, ModeCase{kTerms[4], true, true},
                    ModeCase{kTerms[5], false, false}),
    [](const testing::TestParamInfo<ModeCase> &info) {
      return TermName({info.param.term, info.index}) + (info.param.odd_cc ? "_odd" : "") +
             (info.param.sane_first ? "_sane" : "");
    });

// ---- Display columns --------------------------------------------------------------

// Catches: _Curses_num_cur_x miscounting a row's bytes: a negative x not
// giving 0, a lead byte just before x not counting one column, a character
// reaching past x not counted whole, a UTF-8 character of one column counted
// as two, a blank row or an EUC-JP row (two and three bytes, two columns)
// miscounted; and output not stored in the shadow byte for byte.
TEST(DisplayColumns, CountsByTheShadowsBytes) {
  struct Case {
    int row, x;       // the first x asked
    std::string cols; // the answers for x, x + 1, ...
  };
  // Row 0 "ab日c" (日 is E6 97 A5), row 1 "hello", row 2 "abéc" (é is C3 A9),
  // row 3 blank, row 4 EUC-JP "ab" A4A2 "c", row 5 EUC-JP "ab" 8FB0A1 "c".
  const std::vector<Case> cases = {{0, -1000, "0"},
                                   {0, -7, "0"},
                                   {0, -1, "0 0 1 2 3 4 4 5"},
                                   {1, -1, "0 0 1 2 3 4 5 6 7 8"},
                                   {2, 2, "2 3 3 4"},
                                   {3, 0, "0"},
                                   {3, 17, "17"},
                                   {3, 80, "80"},
                                   {4, 2, "2 3 4 5"},
                                   {5, 2, "2 3 4 4 5"}};
  bench::Scenario s(bench::Options{}, [&] {
    StartConsole();
    Put("ab日c\nhello\nabéc\n");
    bench::Report("row0", std::string(reinterpret_cast<char *>(Console->shadow[0]), 8));
    PokeRow(4, "ab\xa4\xa2"
               "c");
    PokeRow(5, "ab\x8f\xb0\xa1"
               "c");
    for (size_t i = 0; i < cases.size(); i++) {
      const Case &c = cases[i];
      host_set_charset(c.row >= 4 ? HOST_EUCJP : HOST_UTF8);
      std::string got;
      int n = 1 + static_cast<int>(std::count(c.cols.begin(), c.cols.end(), ' '));
      for (int x = c.x; x < c.x + n; x++)
        got += (got.empty() ? "" : " ") + std::to_string(_Curses_num_cur_x(x, c.row));
      bench::Report("cols." + std::to_string(i), got);
    }
  });
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("row0"), "ab日c  ");
  for (size_t i = 0; i < cases.size(); i++)
    EXPECT_EQ(s.Get("cols." + std::to_string(i)), cases[i].cols)
        << "row " << cases[i].row << " from x = " << cases[i].x;
}

// ---- C_SetCursor and the clears ------------------------------------------------------

class ShadowOps : public testing::TestWithParam<Term> {};

// Catches: C_SetCursor not clamping a 1-based coordinate to 1..size, not
// making it 0-based, converting the column to a display column, moving the
// terminal's cursor elsewhere, or not passing through the bottom-right cell
// first (seen by replaying the output byte by byte on a second emulator).
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
    for (const Case &c : cases) {
      bench::WaitParent();
      C_SetCursor(c.x, c.y);
      bench::Report("cur", std::to_string(Console->cur_y) + "," +
                               std::to_string(Console->cur_x));
      bench::Report("col", _Curses_num_cur_x(Console->cur_x, Console->cur_y));
      bench::Step("set");
    }
    ReportShadow();
  });
  std::unique_ptr<bench::Terminal> replay =
      bench::MakeVTerm(R, C, s.wrap());
  const bench::Pos corner{R - 1, C - 1};
  size_t fed = 0;
  // Feeds the output not yet replayed; true if the cursor was in the
  // bottom-right cell at some moment (or already there at the start).
  auto passes_corner = [&] {
    const std::string &raw = s.RawOutput();
    bool seen = replay->Cursor() == corner;
    for (; fed < raw.size(); ++fed) {
      replay->Feed(raw.substr(fed, 1));
      seen = seen || replay->Cursor() == corner;
    }
    return seen;
  };
  ASSERT_TRUE(s.WaitStep("written"));
  passes_corner();
  for (const Case &c : cases) {
    SCOPED_TRACE("C_SetCursor(" + std::to_string(c.x) + ", " + std::to_string(c.y) + ")");
    s.Go();
    ASSERT_TRUE(s.WaitStep("set"));
    EXPECT_EQ(s.Get("cur"), std::to_string(c.row) + "," + std::to_string(c.col));
    EXPECT_EQ(s.Cursor(), (bench::Pos{c.row, c.col}));
    EXPECT_TRUE(passes_corner()) << "the cursor did not go by the bottom-right cell";
    EXPECT_EQ(replay->Cursor(), s.Cursor()) << "the replay went astray";
  }
  // On "日本語 wide" byte 6 is the end of 日本, display column 4.
  EXPECT_EQ(s.Get("col"), "4");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_TRUE(bench::ScreenEqualsShadow(s))
      << "C_SetCursor changes nothing on the screen";
}

// Catches: d_cleol clearing the terminal from anywhere but the cursor's
// display column (after double-width characters too), touching other rows,
// scrolling on the bottom row, not homing the cursor to column 0 of its row or
// not blanking the whole shadow row; d_cleos clearing from anywhere but the
// cursor to the end of the screen (also when its row is blank from the
// cursor on, and below it where a row has text past the cursor's column),
// touching the rows above, not homing the cursor or not blanking the
// whole shadow; a redraw of blank rows that sends spaces; d_clear sending
// anything before the next refresh, or not blanking and homing the shadow so
// that the next output shows on a cleared screen; any of them answering
// other than 1.
TEST_P(ShadowOps, Clears) {
  const Term t = GetParam();
  struct Case {
    int x, y;
    const char *put;  // written after C_SetCursor
    const char *left; // what the row shows afterwards
  };
  const Case cases[] = {
      {7, 1, "", "hello"}, {1, 2, "日本", "日本"}, {1, 3, "", ""}, {3, t.rows, "", "bo"}};
  bench::Scenario s(OptionsFor(t), [&] {
    StartConsole();
    Put("hello world\n日本語abc\nthird line");
    C_SetCursor(1, t.rows);
    Put("bottom");
    Pause("written");
    for (const Case &c : cases) {
      C_SetCursor(c.x, c.y);
      Put(c.put);
      bench::Report("ret", P0_d_cleol());
      ReportShadow();
      Pause("cleol");
    }
    for (int x : {4, 9}) { // inside "row two", then where its row is blank
      C_SetCursor(1, 3);
      Put("row two");
      C_SetCursor(1, t.rows);
      Put("bottom tail");
      C_SetCursor(x, 3);
      bench::Report("ret", P0_d_cleos());
      ReportShadow();
      Pause("cleos");
    }
    S_redisplay();
    Pause("redrawn");
    Put(FillText(t.rows, t.cols));
    Pause("filled");
    bench::Report("ret", P0_d_clear());
    ReportShadow();
    Pause("cleared");
    Put("x");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  std::vector<std::string> rows = {"hello world", "日本語abc", "third line"};
  rows.resize(static_cast<size_t>(t.rows));
  rows.back() = "bottom";
  for (const Case &c : cases) {
    SCOPED_TRACE("d_cleol at (" + std::to_string(c.x) + ", " + std::to_string(c.y) + ")");
    s.Go();
    ASSERT_TRUE(s.WaitStep("cleol"));
    const int r = c.y - 1;
    rows[static_cast<size_t>(r)] = c.left;
    EXPECT_EQ(s.Get("ret"), "1");
    bench::Shadow sh;
    ASSERT_TRUE(bench::ReadShadow(s, &sh));
    EXPECT_EQ(sh.cur_y, r);
    EXPECT_EQ(sh.cur_x, 0);
    EXPECT_EQ(sh.row_bytes[static_cast<size_t>(r)], std::string(4 * t.cols, ' '));
    EXPECT_EQ(s.Cursor(), (bench::Pos{r, 0}));
    for (int i = 0; i < t.rows; i++)
      EXPECT_EQ(Row(s, i), rows[static_cast<size_t>(i)]) << "row " << i;
  }
  for (const char *left : {"hello\n日本\nrow", "hello\n日本\nrow two"}) {
    s.Go();
    ASSERT_TRUE(s.WaitStep("cleos"));
    EXPECT_EQ(s.Get("ret"), "1");
    EXPECT_EQ(ReportedShadow(s), BlankDump(t.rows, t.cols));
    EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
    EXPECT_EQ(Text(s), left);
  }
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("redrawn"));
  EXPECT_EQ(Text(s), "");
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 0}));
  std::string redraw = s.RawOutput().substr(mark);
  EXPECT_EQ(redraw.find(' '), std::string::npos)
      << "rows of spaces are not drawn: " << bench::Printable(redraw);
  s.Go();
  ASSERT_TRUE(s.WaitStep("filled"));
  std::vector<std::string> before = s.Screen();
  mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("cleared"));
  EXPECT_EQ(s.Get("ret"), "1");
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(mark)), "") << "d_clear sends nothing";
  EXPECT_EQ(s.Screen(), before);
  EXPECT_EQ(ReportedShadow(s), BlankDump(t.rows, t.cols));
  s.Go();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(Text(s), "x") << "only the x is left";
  EXPECT_EQ(s.Cursor(), (bench::Pos{0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Terminals, ShadowOps, testing::ValuesIn(kTerms), TermName);

// ---- SetTerminal ------------------------------------------------------------------

// The fields SetTerminal sets, as one line.
std::string InitialState() {
  ConsoleState *con = Console;
  int used = 0;
  for (int i = 0; i < QX_HISTORY_SLOTS; i++)
    used += con->history[i][0] != 0;
  std::ostringstream o;
  o << "postfix=" << C_GetPromptPostfix() << " log=" << C_GetLog()
    << " default_prompt=" << (C_GetPrompt() == Main_DefaultPrompt())
    << " cur=" << con->cur_y << "," << con->cur_x << " line_len=" << con->line_len
    << " keyback=" << con->keyback_count << " typeahead=" << con->typeahead_count
    << " head_at_start=" << (con->typeahead_head == con->typeahead)
    << " history_head=" << con->history_head << " history_used=" << used
    << " template_mark=" << int(con->template_mark[0]) << " keys=";
  for (int i = 1; i < 10; i++)
    o << con->edit_keys[i] << (i < 9 ? "," : "");
  o << " cursor_shown=" << con->cursor_shown << " stopped=" << con->output_stopped
    << " scroll_line=" << con->scroll_line << " sig_state=" << con->sig_state
    << " stream=" << (C_GetStream() != 0 && C_GetStream() == con->stream)
    << " stream_con=" << (Stream_GetStreamCon(C_GetStream()) == con);
  return o.str();
}

// Catches: SetTerminal not returning &Console, starting other than with its
// documented record (prompts, log, cursor, keyback, typeahead, history,
// template, edit keys, cursor shown, flow control, scroll line, signal state,
// stream), or a second call not resetting what use left behind, not
// registering a new stream, making a new record, or touching input_mode.
TEST(SetTerminalState, InitialStateAndReset) {
  bench::Scenario s(bench::Options{}, [] {
    host_init(0, nullptr);
    bench::Report("returns_console_address", SetTerminal() == &Console);
    bench::Report("first", InitialState());
    bench::Report("input_mode.first", Console->input_mode);
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
    con->scroll_line = 3;
    C_COMMAND();
    bench::Report("dirty", InitialState());
    ConsoleState **again = SetTerminal();
    bench::Report("same_record", Console == con && again == &Console);
    bench::Report("new_stream", C_GetStream() != first_stream);
    bench::Report("second", InitialState());
    bench::Report("input_mode.second", Console->input_mode);
  });
  ExpectCleanExit(s);
  const std::string want =
      "postfix=1 log=0 default_prompt=1 cur=0,0 line_len=0 keyback=0 typeahead=0 "
      "head_at_start=1 history_head=0 history_used=0 template_mark=0 "
      "keys=6,1,5,17,23,21,14,20,24 cursor_shown=1 stopped=0 scroll_line=0 sig_state=0 "
      "stream=1 stream_con=1";
  EXPECT_EQ(s.Get("returns_console_address"), "1");
  EXPECT_EQ(s.Get("first"), want);
  EXPECT_NE(s.Get("dirty"), want) << "the traces did not take";
  EXPECT_EQ(s.Get("same_record"), "1");
  EXPECT_EQ(s.Get("new_stream"), "1");
  EXPECT_EQ(s.Get("second"), want);
  EXPECT_EQ(s.Get("input_mode.first"), std::to_string(TOPLEVEL));
  EXPECT_EQ(s.Get("input_mode.second"), std::to_string(COMMAND))
      << "SetTerminal leaves input_mode alone";
}

} // namespace
