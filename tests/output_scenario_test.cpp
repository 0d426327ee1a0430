// Console output on real terminals: whatever the engine writes to `user`, the
// terminal shows what the shadow screen says, and the cursor is where the
// record says.
#include "bench.h"
#include "console_child.h"
#include "host.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Runs `text` through the console on a terminal and checks screen and cursor
// against the shadow.
void ExpectShownAsShadow(const std::string &term, int rows, int cols,
                         const std::string &text, int scroll_line = 0) {
  bench::Options opt;
  opt.term = term;
  opt.rows = rows;
  opt.cols = cols;
  bench::Scenario s(opt, [&] {
    StartConsole();
    C_SetScrollLine(scroll_line);
    Put(text);
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("written");
  });
  ASSERT_TRUE(s.WaitStep("written"));
  if (const char *raw = getenv("QX_RAW")) {
    FILE *f = fopen(raw, "wb");
    fwrite(s.RawOutput().data(), 1, s.RawOutput().size(), f);
    fclose(f);
  }
  EXPECT_TRUE(bench::ScreenEqualsShadow(s))
      << "term " << term << " " << cols << "x" << rows;
  EXPECT_TRUE(bench::CursorEqualsShadow(s))
      << "term " << term << " " << cols << "x" << rows;
  ASSERT_TRUE(s.WaitExit());
}

// Random console output, line by line, kept to sequences on which the shadow
// (byte positions) and the terminal (display columns) must agree: a line is
// either printable ASCII with backspace, tab, carriage return and vertical tab
// mixed in (they move by bytes, which on such a line are columns), or
// printable ASCII with UTF-8 characters of one and two columns and no cursor
// movement.  Both kinds carry stray bytes too: controls the console does not
// interpret, ESC, DEL and bytes that begin no UTF-8 character, each one
// column.  Lines end with 10 or 31; bells and form feeds come between.
std::string RandomOutput(std::mt19937 &rng, size_t n) {
  static const std::vector<std::string> wide = {"\xe3\x81\x82", "\xe6\xbc\xa2",
                                                "\xe5\xad\x97", "\xc3\xa9"};
  static const std::string ascii = "abcdefghijklmnopqrstuvwxyz0123456789 .,;:!?-=+";
  static const std::string stray =
      std::string("\x00\x01\x06\x0e\x1b\x1e\x7f", 7) + "\x80\x85\xbf\xc0\xc1\xf5\xff";
  auto roll = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  std::string out;
  while (out.size() < n) {
    int len = roll(3) == 0 ? roll(120) : roll(30);
    bool mixed = roll(2) == 0;
    int written = 0;
    for (int i = 0; i < len; i++) {
      int r = roll(20);
      if (r == 19) {
        out += stray[roll(stray.size())], written++;
      } else if (mixed && r < 5) {
        out += wide[roll(wide.size())];
      } else if (!mixed && r == 0 && written > 0) {
        out += '\b', written--;
      } else if (!mixed && r == 1) {
        out += '\t';
      } else if (!mixed && r == 2) {
        out += '\r', written = 0;
      } else if (!mixed && r == 3) {
        out += '\v';
      } else {
        out += ascii[roll(ascii.size())], written++;
      }
    }
    out += roll(2) ? "\n" : "\x1f";
    if (roll(10) == 0) out += '\a';
    if (roll(40) == 0) out += '\f';
  }
  return out;
}

TEST(Output, PlainLinesScrollOnEveryTerminal) {
  std::string text;
  for (int i = 0; i < 40; i++)
    text += "line " + std::to_string(i) + "\n";
  for (const char *term :
       {"xterm", "vt100", "ansi", "xterm-noxenl", "xterm-nodl", "xterm-nocup"})
    ExpectShownAsShadow(term, 24, 80, text);
}

// Catches: a multibyte character that starts two columns before the right
// edge shown in the wrong place: one column wide it ends before the last
// column, two columns wide it fills the last one (where terminals with and
// without automatic margins, and those that wrap at once, leave the cursor in
// different places), mid-screen and on the bottom row.
TEST(Output, MultibyteCharactersTwoColumnsBeforeTheEdge) {
  const int cols = 12;
  std::string text;
  for (const char *ch : {"\xe6\xbc\xa2", "\xc3\xa9", "\xe5\xad\x97"})
    for (int line = 0; line < 3; line++)
      text += std::string(cols - 2, 'a' + line) + ch + "xyz" + (line % 2 ? "\n" : "\x1f");
  for (const char *term : {"xterm", "vt100", "xterm-noxenl", "xterm-noam"})
    for (int rows : {20, 5}) // nothing scrolls; every line scrolls
      ExpectShownAsShadow(term, rows, cols, text);
}

TEST(Output, RandomOutputMatchesShadow) {
  std::random_device seed_source;
  unsigned seed = seed_source();
  std::mt19937 rng(seed);
  struct Size {
    int rows, cols;
  } sizes[] = {{24, 80}, {5, 12}, {3, 20}};
  for (const char *term : {"xterm", "vt100", "ansi", "xterm-noxenl", "xterm-noam",
                           "xterm-nodl", "xterm-nocup"}) {
    for (Size sz : sizes) {
      for (int scroll_line : {0, 1}) {
        std::string text = RandomOutput(rng, 600);
        if (getenv("QX_DUMP"))
          fprintf(stderr, "TEXT %s %d %d %d ", term, sz.rows, sz.cols, scroll_line), [&] {
            for (unsigned char c : text)
              fprintf(stderr, "%02x", c);
            fprintf(stderr, "\n");
          }();
        SCOPED_TRACE("seed " + std::to_string(seed) + " term " + term);
        ExpectShownAsShadow(term, sz.rows, sz.cols, text, scroll_line);
        if (HasFailure()) return;
      }
    }
  }
}

} // namespace

namespace {
// Runs one output given in QX_OUTPUT_HEX (for shrinking a failure by hand).
TEST(Output, GivenOutput) {
  const char *hex = getenv("QX_OUTPUT_HEX");
  if (hex == nullptr) GTEST_SKIP() << "set QX_OUTPUT_HEX";
  std::string text;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
    text += (char)std::stoi(std::string(hex + i, 2), nullptr, 16);
  const char *term = getenv("QX_TERM");
  const char *rows = getenv("QX_ROWS");
  const char *cols = getenv("QX_COLS");
  const char *sl = getenv("QX_SCROLL");
  ExpectShownAsShadow(term ? term : "xterm", rows ? atoi(rows) : 24,
                      cols ? atoi(cols) : 80, text, sl ? atoi(sl) : 0);
}
} // namespace
