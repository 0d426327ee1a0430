// A first scenario of the module on the bench, and a template for the others:
// the engine stand-in starts the console, writes through the console stream,
// and the terminal must show exactly what the shadow screen holds.
#include "bench.h"
#include "console.h"
#include "host.h"

namespace {

struct SmokeCase {
  const char *term;
  int rows, cols;
};

std::ostream &operator<<(std::ostream &os, const SmokeCase &c) {
  return os << c.term << " " << c.rows << "x" << c.cols;
}

// Writes a C string to a stream one byte at a time, as the engine does.
void Put(QxStream s, const char *text) {
  for (const char *p = text; *p; ++p)
    Stream_sputc(static_cast<unsigned char>(*p), s);
}

// The child: start-up as an engine does it, three lines of output (the third
// longer than a small screen is wide), then the shadow is reported.
void SmokeChild() {
  host_init(0, nullptr);
  host_install_sigint();
  SetTerminal();
  InitTermIO();
  QxStream user = C_GetStream();
  Put(user, "hello 日本\n");
  Put(user, "second\n");
  Put(user, "abcdefghijklmnopqrstuvwxyz");
  bench::ReportShadow(Console, _Curses_num_cur_x);
  bench::Step("written");
  bench::WaitParent();
  ResetTermIO();
}

class ConsoleSmoke : public testing::TestWithParam<SmokeCase> {};

// After start-up and output the terminal equals the shadow, cursor included,
// on terminals with delayed wrap, immediate wrap and at a small size.
TEST_P(ConsoleSmoke, OutputMatchesShadow) {
  const SmokeCase &c = GetParam();
  bench::Options opt;
  opt.term = c.term;
  opt.rows = c.rows;
  opt.cols = c.cols;
  bench::Scenario s(opt, SmokeChild);
  ASSERT_TRUE(s.WaitStep("written"));
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_NE(s.ScreenText().find("hello 日本"), std::string::npos) << s.ScreenText();
  EXPECT_NE(s.ScreenText().find("second"), std::string::npos) << s.ScreenText();
  s.Go();
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Terminals, ConsoleSmoke,
    testing::Values(SmokeCase{"xterm", 24, 80}, SmokeCase{"xterm", 5, 12},
                    SmokeCase{"xterm-noxenl", 24, 80}, SmokeCase{"xterm-noxenl", 5, 12},
                    SmokeCase{"vt100", 5, 12}, SmokeCase{"ansi", 5, 12}));

} // namespace
