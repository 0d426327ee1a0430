// Console output on a terminal: scrolling below the scroll line, the log and
// the error reports, control characters, the right edge, echo in the line
// editor, caret forms, and the cases where the shadow and the terminal part.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Catches: rows above the scroll line moved, the region not moving up by one
// (with delete-line, and redrawn where the terminal has none), a dirty bottom
// row, and a scroll line outside the screen used unclamped (a crash, or
// memory outside the row array under the sanitizers) or stored changed; on
// a terminal that wraps at once, a one-row region (the bottom row, also a
// one-row screen) showing a character the shadow does not hold: the
// character that would fill its bottom-right cell wraps first.
TEST(Scroll, RegionBelowScrollLine) {
  const Lines rows = {"row0", "row1", "row2", "row3", "row4", "row5", "row6", "row7"};
  const std::pair<int, int> lines[] = {{3, 3}, {7, 7}, {-5, 0}, {8 + 3, 7}};
  for (const char *term : {"xterm", "xterm-nodl"}) {
    for (auto line : lines) {
      SCOPED_TRACE(std::string(term) + " scroll line " + std::to_string(line.first));
      bench::Scenario s(TermOptions(term, 8, 20), [&] {
        StartConsole();
        C_SetScrollLine(line.first);
        for (int i = 0; i < 8; i++)
          Put(rows[i] + (i < 7 ? "\n" : ""));
        Put("\n");
        ReportShadow();
        bench::Step("once");
        bench::WaitParent();
        Put("A\nB");
        ReportShadow();
        bench::Report("stored", Console->scroll_line);
      });
      // Each scroll drops the row at the scroll line, moves the rows below it
      // up and leaves a blank bottom row.
      Lines once = rows;
      once.erase(once.begin() + line.second);
      once.push_back("");
      Lines twice = once;
      twice.back() = "A";
      twice.erase(twice.begin() + line.second);
      twice.push_back("B");
      ASSERT_TRUE(s.WaitStep("once"));
      EXPECT_EQ(Rows(s), once);
      EXPECT_TRUE(bench::ScreenEqualsShadow(s));
      EXPECT_TRUE(bench::CursorEqualsShadow(s));
      s.Go();
      ASSERT_TRUE(s.WaitExit());
      EXPECT_EQ(Rows(s), twice);
      EXPECT_TRUE(bench::ScreenEqualsShadow(s));
      EXPECT_EQ(s.Get("stored"), std::to_string(line.first));
    }
  }
  struct OneRow {
    const char *term;
    int rows, cols;
    const char *bottom; // the bottom row after 20 z and Q
  };
  const OneRow one_row[] = {{"ansi", 6, 20, "zQ"}, {"xterm-noxenl", 6, 20, "zQ"},
                            {"ansi", 1, 2, "Q"},   {"xterm-noxenl", 1, 2, "Q"},
                            {"xterm", 6, 20, "Q"}, {"xterm", 1, 2, "Q"}};
  for (const OneRow &c : one_row) {
    SCOPED_TRACE(std::string(c.term) + " one-row region of " + std::to_string(c.cols));
    bench::Scenario s(TermOptions(c.term, c.rows, c.cols), [&] {
      StartConsole();
      Put(c.rows > 1 ? "top" : "");
      C_SetScrollLine(c.rows - 1);
      C_SetCursor(1, c.rows);
      Put(std::string(20, 'z') + "Q");
      ReportShadow();
    });
    ASSERT_TRUE(s.WaitExit());
    Lines want(static_cast<size_t>(c.rows));
    want[0] = "top";
    want.back() = c.bottom;
    EXPECT_EQ(Rows(s), want);
    EXPECT_TRUE(bench::ScreenEqualsShadow(s));
    EXPECT_TRUE(bench::CursorEqualsShadow(s));
  }
}

// The codes a memory stream received, as "c1 c2 ...".
std::string Codes(QxStream s) {
  size_t n = 0;
  const int *codes = host_memory_codes(s, &n);
  std::string out;
  for (size_t i = 0; i < n; i++)
    out += (i ? " " : "") + std::to_string(codes[i]);
  return out;
}

// Catches: characters missing from the log or changed in it (31 must stay
// 31), a value with bits in 0xff00 logged or not shown by its low byte,
// C_NewLine writing at column 0 or more than one end-of-line, and
// e_disp_flag output that moves the record, the shadow or the log.
TEST(ConsoleOutput, LogNewLineAndBypass) {
  bench::Scenario s(TermOptions("xterm", 5, 20), [] {
    StartConsole();
    QxStream log = host_open_memory();
    C_SetLog(log);
    C_NewLine();
    bench::Report("log_home", Codes(log));
    Put("ab\tc\x1f");
    Stream__sputc(0x141, C_GetStream());
    Put("\a\n");
    C_NewLine();
    Put("xy");
    C_NewLine();
    C_NewLine();
    e_disp_flag = 1;
    Put("ZZ");
    e_disp_flag = 0;
    bench::Report("log", Codes(log));
    ReportShadow();
  });
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("log_home"), "");
  EXPECT_EQ(s.Get("log"), "97 98 9 99 31 7 10 120 121 31");
  EXPECT_EQ(Rows(s), (Lines{"ab      c", "A", "xy", "ZZ", ""}));
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  EXPECT_EQ(sh.row_bytes[1].substr(0, 2), "A ");
  EXPECT_EQ(sh.row_bytes[3], std::string(80, ' ')); // ZZ is on the terminal only
  EXPECT_EQ(std::to_string(sh.cur_y) + "," + std::to_string(sh.cur_x), "3,0");
}

// Catches: a failing log reported, or dropped, while the engine's Interrupt
// is set; a failing log (a full device) reported more than once, left open,
// or written again after the failure.
TEST(ConsoleOutput, FailingLog) {
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    QxStream mem = host_open_memory();
    host_memory_fail(mem, 1);
    C_SetLog(mem);
    Interrupt = 1;
    Put("ab");
    Interrupt = 0;
    bench::Report("kept", std::to_string(C_GetLog() == mem) + " " +
                              std::to_string(host_stream_is_open(mem)));
    QxStream full = host_open_file("/dev/full", "w");
    C_SetLog(full);
    Put("xyz\n");
    bench::Report("dropped", std::to_string(C_GetLog()) + " " +
                                 std::to_string(host_stream_is_open(full)) + " " +
                                 std::to_string(host_stream_put_count(full)));
  });
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("kept"), "1 1");
  EXPECT_EQ(s.Get("dropped"), "0 0 1");
  EXPECT_EQ(s.Stderr(), "\aqxhost: logfile: No space left on device\nnolog'ed.\n");
  EXPECT_EQ(Rows(s)[0], "abxyz");
}

// Catches: an error of standard output reported while Interrupt is set, not
// cleared (so reported again later), reported more than once, without the
// failed write's reason, or stopping the output that follows.
TEST(ConsoleOutput, StdoutError) {
  bench::Scenario s(TermOptions("xterm", 5, 20), [] {
    StartConsole();
    // Descriptor 1 is pointed at /dev/full around one newline: the flushes of
    // its carriage return and line feed fail with ENOSPC, as on a terminal
    // that has gone away, and stdio sets stdout's error indicator.
    int tty = dup(1), full = open("/dev/full", O_WRONLY);
    Put("ab");
    Interrupt = 1;
    dup2(full, 1);
    Put("\n");
    dup2(tty, 1);
    Put("c");
    Interrupt = 0;
    Put("d");
    dup2(full, 1);
    Put("\n");
    dup2(tty, 1);
    Put("ef");
  });
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Stderr(), "\aqxhost: stdout: " + std::string(std::strerror(ENOSPC)) + "\n");
  EXPECT_NE(s.ScreenText().find("ef"), std::string::npos) << s.ScreenText();
}

// Catches: backspace that erases or leaves row 0, tab stops counted wrongly
// (a tab at a stop still moves; a tab never writes the last column), vertical
// tab losing the byte index or, at the bottom, column 0, a form feed that
// leaves old rows in the shadow, and a control or stray byte (or an invalid
// multibyte sequence) shown other than as one '?' for each column the shadow
// gives it, live or in a redraw.
TEST(ConsoleOutput, ControlCharacters) {
  bench::Scenario s(TermOptions("xterm", 6, 80), [] {
    StartConsole();
    std::string at;
    auto mark = [&] {
      at += std::to_string(Console->cur_y) + "," + std::to_string(Console->cur_x) + " ";
    };
    Put("\b");
    mark();
    Put(std::string(20, 'X') + "\rabcde\t");
    mark();
    Put("\t|\n" + std::string(79, 'a') + "\t");
    mark();
    Put("E\n" + std::string(75, 'b') + "\t");
    mark();
    Put("E\n\b");
    mark();
    Put("Z\nabc\vd");
    bench::Report("at", at);
    ReportShadow();
    bench::Step("rows");
    bench::WaitParent();
    Put("\nxyz\vw");
    ReportShadow();
    bench::Step("vt");
    bench::WaitParent();
    Put("\fQ");
    ReportShadow();
    bench::Step("ff");
    bench::WaitParent();
    Put("\x01\x1b\x7f\x85|\xe4"
        "AB|z");
    ReportShadow();
    bench::Step("stray");
    bench::WaitParent();
    P0_d_redisp();
  });
  ASSERT_TRUE(s.WaitStep("rows"));
  EXPECT_EQ(s.Get("at"), "0,0 0,8 1,79 2,79 2,79 ");
  Lines rows = {"abcde           |XXX",
                std::string(79, 'a') + "E",
                std::string(75, 'b') + "    Z",
                "abc",
                "   d",
                ""};
  EXPECT_EQ(Rows(s), rows);
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("vt"));
  rows.erase(rows.begin());
  rows.back() = "xyz";
  rows.push_back("w");
  EXPECT_EQ(Rows(s), rows);
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("ff"));
  EXPECT_EQ(Rows(s), (Lines{"Q", "", "", "", "", ""}));
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  size_t mark = s.RawOutput().size();
  s.Go();
  ASSERT_TRUE(s.WaitStep("stray"));
  EXPECT_EQ(s.RawOutput().find_first_of("\x01\x7f\x85", mark), std::string::npos)
      << "a stray byte went raw: " << bench::Printable(s.RawOutput().substr(mark));
  // E4 leads a 3-byte character: with "AB" it is one of two columns.
  const Lines stray = {"Q????|??|z", "", "", "", "", ""};
  EXPECT_EQ(Rows(s), stray);
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(Rows(s), stray) << "a redraw shows what was shown live";
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
}

// Catches: the wrong wrap rule (at once without the newline glitch, at the
// next character with it), a lead byte split across rows, and a bottom-row
// newline that scrolls without bringing the cursor back to column 0.
TEST(ConsoleOutput, RightEdgeAndBottomRow) {
  for (const char *term : {"xterm", "xterm-noxenl"}) {
    SCOPED_TRACE(term);
    bench::Scenario s(TermOptions(term, 4, 10), [] {
      StartConsole();
      Put("0123456789");
      ReportShadow();
      bench::Step("full");
      bench::WaitParent();
      Put("Z\n123456789\xe3\x81\x82");
      ReportShadow();
      bench::Step("bottom");
      bench::WaitParent();
      Put("\n");
    });
    bool at_once = std::string(term) == "xterm-noxenl";
    ASSERT_TRUE(s.WaitStep("full"));
    EXPECT_EQ(s.Get("shadow.cur_y") + "," + s.Get("shadow.cur_x"),
              at_once ? "1,0" : "0,10");
    EXPECT_EQ(s.Cursor(), (bench::Pos{at_once ? 1 : 0, at_once ? 0 : 9}));
    s.Go();
    ASSERT_TRUE(s.WaitStep("bottom"));
    EXPECT_EQ(Rows(s), (Lines{"0123456789", "Z", "123456789", "あ"}));
    EXPECT_TRUE(bench::ScreenEqualsShadow(s));
    EXPECT_TRUE(bench::CursorEqualsShadow(s));
    s.Go();
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Cursor(), (bench::Pos{3, 0}));
  }
}

// Reads one line from the console in NOPROMPT mode and reports it (without
// its end-of-line) and the shadow.
void ReadLine() {
  C_NOPROMPT();
  std::string line;
  for (int c = host_getc(C_GetStream()); c != 31 && c != -1; c = host_getc(C_GetStream()))
    line += (char)c;
  bench::Report("line", line);
  ReportShadow();
}

// Catches: echo that does not follow a terminal that wraps at once (the
// record left on the full row, so Enter lands a row short), and echo into the
// bottom-right cell that does not scroll first, or scrolls twice.
TEST(Echo, WrapsAtOnceAndScrollsFirst) {
  bench::Scenario s(TermOptions("xterm-noxenl", 5, 10), [] {
    StartConsole();
    bench::Step("first");
    ReadLine();
    bench::Step("read");
    bench::WaitParent();
    Put("p\nq\n123456789");
    bench::Step("second");
    ReadLine();
  });
  ASSERT_TRUE(s.WaitStep("first"));
  s.Send("abcdefghij\r");
  ASSERT_TRUE(s.WaitStep("read"));
  EXPECT_EQ(s.Get("line"), "abcdefghij");
  EXPECT_EQ(s.Get("shadow.cur_y"), "2");
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  s.Go();
  ASSERT_TRUE(s.WaitStep("second"));
  s.Send("X");
  ASSERT_TRUE(s.WaitForScreenText("123456789X"));
  EXPECT_EQ(Rows(s), (Lines{"", "p", "q", "123456789X", ""}));
  EXPECT_EQ(s.Cursor(), (bench::Pos{4, 0}));
  s.Send("\r");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("line"), "X");
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
}

// Catches: erasing at row 0 column 0 (the typed line has scrolled off the
// top) that writes to the terminal or steps above row 0.
TEST(Echo, EraseAtHomeWritesNothing) {
  bench::Options opt = TermOptions("xterm", 3, 10);
  opt.cc = {{VERASE, 127}};
  bench::Scenario s(opt, [] {
    StartConsole();
    bench::Step("typing");
    ReadLine();
  });
  ASSERT_TRUE(s.WaitStep("typing"));
  s.Send("abcdefghijklmnopqrstuvwxyzABCDEFGHI"); // 35 bytes: row 0 scrolls off
  ASSERT_TRUE(s.WaitForScreenText("EFGHI"));
  s.Send(std::string(25, '\x7f')); // erases every byte still shown
  ASSERT_TRUE(s.WaitFor(
      [&] {
        return Rows(s) == Lines{"", "", ""} && s.Cursor() == bench::Pos{0, 0};
      },
      "the shown part of the line erased"));
  size_t from = s.RawOutput().size();
  s.Send("\x7fZ");
  ASSERT_TRUE(s.WaitForScreenText("Z"));
  EXPECT_EQ(bench::Printable(s.RawOutput().substr(from)), "Z");
  s.Send("\r");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("line"), "abcdefghiZ");
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
}

// Catches: wrong caret forms (DEL, the space in octal, control letters, bytes
// above 127 in octal), shown here for the end-of-file key, on the screen and
// in the log.
TEST(CaretForms, EndOfFileKeyShownVisibly) {
  const std::pair<int, const char *> cases[] = {
      {127, "^?"}, {32, "^40"}, {1, "^A"}, {200, "^310"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.second);
    bench::Options opt = TermOptions("xterm", 4, 20);
    opt.cc = {{VEOF, (unsigned char)c.first}, {VERASE, 8}};
    bench::Scenario s(opt, [] {
      StartConsole();
      QxStream log = host_open_memory();
      C_SetLog(log);
      C_NOPROMPT();
      bench::Step("ready");
      bench::Report("got", host_getc(C_GetStream()));
      bench::Report("log", host_memory_string(log));
    });
    ASSERT_TRUE(s.WaitStep("ready"));
    s.Send(std::string(1, (char)c.first));
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Get("got"), "-1");
    EXPECT_EQ(Rows(s)[0], c.second);
    EXPECT_EQ(s.Get("log"), std::string(c.second) + "\x1f");
  }
}

// Where the shadow (byte positions) and the terminal (characters) part by
// design: a backspace or a tab that lands inside a multibyte character, and a
// carriage return followed by a byte over a double-width character.
// Catches: any change to these documented outcomes.
TEST(ShadowParts, InsideMultibyteCharacters) {
  struct Case {
    const char *text;
    const char *screen; // row 0 on the terminal
    int cursor;         // the terminal's cursor column
    const char *bytes;  // the start of shadow row 0
    int cur_x, col;     // the record's cursor: byte index and display column
  } cases[] = {
      // Back one byte into あ: x replaces its last byte; the terminal keeps あ
      // whole, and the record puts the cursor a column left of the terminal's.
      {"\xe3\x81\x82\bx", "あx", 3, "\xe3\x81x ", 3, 2},
      // A tab from byte 0 of あいう blanks bytes 0..7 and stops on the last
      // byte of う, which the shadow keeps; the terminal shows nothing there.
      {"\xe3\x81\x82\xe3\x81\x84\xe3\x81\x86\r\t", "", 8, "        \x86 ", 8, 8},
      // x over the lead byte of あ: the terminal blanks the rest of あ, the
      // shadow keeps its two trailing bytes.
      {"\xe3\x81\x82\rx", "x", 1, "x\x81\x82 ", 1, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(bench::Printable(c.text));
    std::string text = c.text;
    bench::Scenario s(TermOptions("xterm", 3, 20), [&] {
      StartConsole();
      Put(text);
      ReportShadow();
    });
    ASSERT_TRUE(s.WaitExit());
    bench::Shadow sh;
    ASSERT_TRUE(bench::ReadShadow(s, &sh));
    EXPECT_EQ(Rows(s)[0], c.screen);
    EXPECT_EQ(s.Cursor(), (bench::Pos{0, c.cursor}));
    EXPECT_EQ(bench::Printable(sh.row_bytes[0].substr(0, strlen(c.bytes))),
              bench::Printable(c.bytes));
    EXPECT_EQ(std::to_string(sh.cur_x) + "," + std::to_string(sh.col),
              std::to_string(c.cur_x) + "," + std::to_string(c.col));
    EXPECT_FALSE(bench::ScreenEqualsShadow(s));
  }
}

} // namespace
