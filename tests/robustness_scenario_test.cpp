// The console when things go wrong: full rows, a terminal that goes away, SIGINT
// storms, window size changes.  Nothing may crash, spin, hang or lose output.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <pty.h>
#include <random>
#include <signal.h>
#include <string.h>
#include <thread>

namespace {

using testing::AssertionSuccess;

// `s` written `n` times.
std::string Repeat(const std::string &s, int n) {
  return n > 0 ? s + Repeat(s, n - 1) : "";
}

// Milliseconds of a clock that never goes back.
long long WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Catches: marks taking no column that fill a row's 4 * columns bytes stored past
// the row (ASan) or dropped.  The terminal joins them: only the next line is compared.
TEST(FullRows, BytesFillRowsBeforeColumns) {
  static const std::string marks = "e" + Repeat("\xcc\x81", 400); // U+0301
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    Put(marks + "\nplain after\n");
    ReportShadow();
  });
  bench::Shadow sh;
  ASSERT_TRUE(s.WaitExit() && bench::ReadShadow(s, &sh));
  std::string rows;
  for (int r = 0; r < sh.cur_y - 1; r++)
    rows += sh.row_bytes[r];
  EXPECT_EQ(rows.erase(rows.find_last_not_of(' ') + 1), marks);
  EXPECT_EQ(Row(s, sh.cur_y - 1), "plain after");
  EXPECT_EQ(bench::TrimRight(sh.row_bytes[sh.cur_y - 1]), "plain after");
}

// Catches a reader (editor, d_keyin/1, d_keypeek/1, stopped output) that spins, waits for
// ever or invents keys once its terminal is gone; a lossy log; a dead terminal's output.
TEST(LostTerminal, WhileReadingWaitingAndWriting) {
  struct Case {
    const char *keys;                           // typed before the hang-up
    std::function<std::string()> during, after; // until the hang-up; 200 times after
    std::string want;                           // "during|after|log" as reported
  };
  auto keyin = [] { return std::to_string(KeyIn(P1_d_keyin)); };
  auto peek = [] { return std::to_string(KeyIn(P1_d_keypeek)); };
  auto three = [=] {
    std::string a = keyin(), b = keyin(); // in this order
    return a + " " + b + " " + keyin();
  };
  auto stopped = [](int n) { // n lines; the first waits for the Ctrl-S
    return [=] {
      if (n == 100) InputWithin(2000);
      Put(Repeat("line\n", n));
      return std::to_string(Console->output_stopped);
    };
  };
  const Case cases[] = {
      {"ab", ReadRecord, ReadRecord,
       "ab<EOF>|<EOF>|before\nab^D\x1f" + Repeat("^D\x1f", 200) + "after\n"},
      {"ab", three, keyin, "97 98 -1|-1|before\nafter\n"},
      {"", peek, peek, "-1|-1|before\nafter\n"},
      {"\x13", stopped(100), stopped(5),
       "0|0|before\n" + Repeat("line\n", 1100) + "after\n"},
  };
  std::vector<std::unique_ptr<bench::Scenario>> runs;
  for (const Case &c : cases)
    runs.emplace_back(new bench::Scenario(bench::Options{}, [&c] {
      winsize ws{24, 80, 0, 0};
      int master = -1, slave = -1; // a terminal of its own
      if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) bench::Fail("openpty");
      dup2(slave, 0), dup2(slave, 1), close(slave);
      StartConsole();
      C_SetLog(host_open_memory());
      C_NOPROMPT();
      Put("before\n");
      std::thread far([&] { // types, hangs up 300 ms later (the output fits the pty)
        if (write(master, c.keys, strlen(c.keys)) >= 0) usleep(300000);
        close(master);
      });
      long long w0 = WallMs(), c0 = clock() / 1000; // CLOCKS_PER_SEC is 10^6
      std::string seen = c.during() + "|";
      long long waited = WallMs() - w0, c1 = clock() / 1000;
      std::string after = c.after();
      for (int i = 1; i < 200; i++) // 200 answers, all alike
        if (c.after() != after) after = "changed";
      Put("after\n");
      seen += after + "|" + host_memory_string(Console->log_stream) + "|" +
              std::to_string(waited >= 250) + std::to_string(c1 - c0 < 100);
      bench::Report("seen", seen + std::to_string(clock() / 1000 - c1 < 400));
      far.join();
    }));
  for (size_t i = 0; i < runs.size(); i++) {
    ASSERT_TRUE(runs[i]->WaitExit());
    EXPECT_EQ(runs[i]->Get("seen"), cases[i].want + "|111"); // waited, slept, no spin
  }
}

// Parent: SIGINTs to the children for `ms` ms, mostly as fast as it can, typing
// one of `keys` (or none) and taking in all output every `every` of them.
void Storm(const std::vector<bench::Scenario *> &to, int ms, const std::string &keys,
           int every = 100) {
  std::mt19937 rng(std::random_device{}());
  for (long long i = 0, end = WallMs() + ms; WallMs() < end; i++) {
    for (bench::Scenario *s : to)
      kill(s->pid, SIGINT);
    if (rng() % 8 == 0) usleep(rng() % 60); // a child flooded makes no progress
    for (bench::Scenario *s : to)
      if (i % every == 0) s->Send(keys.substr(rng() % (keys.size() + 1), 1));
    if (testing::Test::HasFailure()) return; // a child has died
  }
}

// Catches under SIGINT storms a crash or deadlock in flow-control waits, output, COMMAND
// reads, d_keyin/d_keypeek and the editor with a log; the engine's action not back; a
// handler run before its reader saved the action; missed readers; an interrupt left over.
TEST(SignalStorm, EveryReaderAndOutput) {
  bench::Options opt;
  opt.timeout_ms = 30000;
  bench::Scenario s(opt, [] {
    StartConsole();
    C_SetLog(host_open_memory());
    std::string handlers;
    auto in_force = [&] {
      struct sigaction cur;
      sigaction(SIGINT, nullptr, &cur);
      handlers += cur.sa_handler == host_sigint_handler_address() ? "1" : "0";
    };
    bench::Step("output");
    InputWithin(2000); // the Ctrl-S
    for (int i = 0; i < 2000; i++)
      Put("out " + std::to_string(i) + "\n");
    in_force();
    bench::Step("command");
    do {
      memset(&old_inp, 0, sizeof old_inp); // as before the first arming
      C_COMMAND();
    } while (ReadRecord() != "q\x1f");
    in_force();
    bench::Step("keys");
    for (long long n = 0, k = 0; k != 'q'; n++) // a 'q' peeked at goes to the top level
      k = KeyIn(n % 3 == 0 ? P1_d_keypeek : P1_d_keyin);
    in_force();
    bench::Step("top");
    do
      C_TOPLEVEL();
    while (ReadRecord() != "end\x1f");
    long intr = host_counters()->f_intr; // over 50: the storms reached the readers
    std::string line = ReadRecord();
    line += " spurious " + std::to_string(host_counters()->f_intr - intr);
    in_force();
    bench::Report("seen", line + " " + handlers + " " + std::to_string(intr > 50));
  });
  ASSERT_TRUE(s.WaitStep("output"));
  s.Send("\x13");
  Storm({&s}, 300, "");
  s.Send("\x11");
  Storm({&s}, 300, "");
  ASSERT_TRUE(s.WaitStep("command"));
  Storm({&s}, 1000, "");
  ASSERT_TRUE(WaitReadingStdin(s)); // every interrupt has landed
  s.Send("q\r");
  ASSERT_TRUE(s.WaitStep("keys"));
  Storm({&s}, 300, "abc");
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("q");
  ASSERT_TRUE(s.WaitStep("top"));
  Storm({&s}, 600, "abc\x7f\r\x18\x1b[A", 10);
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("\x15\rend\r");
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("hello\r");
  ExpectCleanExit(s);
  EXPECT_EQ(s.Get("seen"), "hello\x1f spurious 0 1111 1");
}

// Catches output lost, a false "stdout:" error or a screen unlike the shadow when SIGINT
// comes while output waits for room (without SA_RESTART a write's EINTR drops bytes).
TEST(SignalStorm, OutputWaitingForTheTerminal) {
  const int kLines = 1500;
  auto line = [](int i) { return "out " + std::to_string(i) + std::string(i % 60, '='); };
  std::unique_ptr<bench::Scenario> writers[2]; // with SA_RESTART, without
  for (int n = 0; n < 2; n++)
    writers[n].reset(new bench::Scenario(bench::Options{}, [=] {
      StartConsole();
      host_install_sigint_flags(n == 0 ? SA_RESTART : 0);
      C_NOPROMPT();
      bench::Step("output");
      for (int i = 0; i < kLines || (host_sigint_count() <= 100 && i < 20 * kLines); i++)
        Put(line(i) + "\n"); // on until the storm has reached the engine
      ReportShadow();
      bench::Report("engine_sigints", host_sigint_count());
      bench::WaitParent(); // not gone before the parent has seen the report
    }));
  ASSERT_TRUE(writers[0]->WaitStep("output"));
  ASSERT_TRUE(writers[1]->WaitStep("output"));
  for (long long end = WallMs() + 20000;
       !writers[0]->Has("engine_sigints") || !writers[1]->Has("engine_sigints");) {
    Storm({writers[0].get(), writers[1].get()}, 10, "", 1 << 30); // one intake
    ASSERT_LT(WallMs(), end) << "the writers never ended";
  }
  for (auto &s : writers) {
    s->Go();
    ExpectCleanExit(*s);
    EXPECT_GT(std::stol(s->Get("engine_sigints")), 100) << "the storm missed the output";
    EXPECT_EQ(s->stderr_text.find("stdout:"), std::string::npos) << s->stderr_text;
    EXPECT_TRUE(bench::ShowsShadow(*s));
  }
  for (size_t i = 0, at = 0; i < kLines; i++, at++) // each line after the one before
    ASSERT_NE(at = writers[0]->raw.find(line(i), at), std::string::npos) << line(i);
}

// Catches (idle, editing, streaming, stopped; any wrap; 1x1 to 300x100) a key lost as the
// size changes; a line not shown whole or not editable at the new wrap; output at the old
// width or broken by bursts; stopped output running on or stuck; a stale size; a bad
// screen.
TEST(WindowSize, FollowsTheWindowInEveryState) {
  enum State { IDLE, EDITING, STREAMING, STOPPED };
  struct Case {
    State state;                    // what the child does during the resizes
    const char *term;               // the terminal type
    int rows1, cols1, rows2, cols2; // the two last sizes, in turn
  };
  const Case cases[] = {
      {IDLE, "xterm", 1, 1, 20, 50},        {EDITING, "xterm-noxenl", 5, 9, 24, 33},
      {EDITING, "vt100", 100, 300, 7, 21},  {STREAMING, "xterm-noxenl", 7, 21, 12, 30},
      {STOPPED, "xterm", 12, 30, 100, 300},
  };
  // Wraps at 30 and 50 columns, with a double-width character at the edge.
  const std::string typed =
      "abcdefghij漢字klmnopqrstuvwxyz0123漢456789ABCDEFGHIJ字KLMNOPQRSTUVWXYZ";
  std::mt19937 rng(std::random_device{}());
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.term) + " state " + std::to_string(c.state));
    bench::Options opt{24, 80, c.term};
    opt.timeout_ms = 30000;
    const bool output = c.state == STREAMING || c.state == STOPPED;
    bench::Scenario s(opt, [output, streaming = c.state == STREAMING] {
      StartConsole();
      (output ? C_NOPROMPT : C_TOPLEVEL)();
      bench::Step("go");
      for (int i = 0; output && i < 3000; i++) { // the last row after a tiny size, if any
        if (i == 2999 && streaming) bench::WaitParent();
        Put("row " + std::to_string(i) + " 漢字 " + std::string(i % 61, 'y') + "\n");
      }
      bench::Report("line", ReadRecord());
      int columns = 0, rows = 0;
      Curses_getTerminalWH(&columns, &rows);
      bench::Report("curses", std::to_string(columns) + "x" + std::to_string(rows));
      ReportShadow();
    });
    ASSERT_TRUE(s.WaitStep("go"));
    for (size_t i = 0; c.state == EDITING && i < typed.size(); i++) {
      if (rng() % 3 == 0) s.Resize(1 + rng() % 100, 1 + rng() % 300);
      s.Send(typed.substr(i, 1)); // a multibyte key may come in pieces
    }
    for (int i = 0; c.state == STREAMING && i < 40; i++)
      s.Resize(1 + rng() % 100, 1 + rng() % 300), usleep(rng() % 2000);
    if (c.state == STOPPED) s.Send("\x13");
    for (auto [rows, cols] : {std::pair(c.rows1, c.cols1), std::pair(c.rows2, c.cols2)}) {
      // A waiting child repaints: until then it may be asleep from before.
      ASSERT_TRUE(c.state == STREAMING ? AssertionSuccess() : WaitReadingStdin(s));
      size_t before = s.raw.size();
      s.Resize(rows, cols);
      if (c.state == STREAMING && rows == c.rows1) s.Go(); // taken before the last row
      ASSERT_TRUE(s.WaitFor([&] { return s.raw.size() > before; }, "a repaint"));
    }
    ASSERT_TRUE(WaitReadingStdin(s)); // stopped, or reading the line
    if (c.state == STOPPED) s.Send("\x11");
    ASSERT_TRUE(output ? s.WaitForScreenText("row 2999 漢字 y") : AssertionSuccess());
    std::string shown;
    for (char ch : s.ScreenText())
      if (ch != ' ' && ch != '\n') shown += ch;
    EXPECT_TRUE(c.state != EDITING || shown.find(typed) != std::string::npos)
        << s.ScreenText();
    s.Send(std::string(28, '\x7f') + "!\r");
    ASSERT_TRUE(s.WaitExit());
    std::string kept = c.state == EDITING ? typed.substr(0, typed.size() - 30) : "";
    EXPECT_EQ(s.Get("line"), kept + "!\x1f");
    EXPECT_EQ(s.Get("curses"), std::to_string(c.cols2) + "x" + std::to_string(c.rows2));
    EXPECT_TRUE(bench::ShowsShadow(s));
  }
}

// Catches: bytes 128 to 254 swallowed or turned into signals in the raw modes (sig_state
// 0, 1), which disable special characters with 255 (Linux's is 0): 0xFF is the driver's.
TEST(HostileKeys, EveryByteReachesKeyin) {
  for (int sig_state : {0, 1}) {
    bench::Scenario s(bench::Options{}, [sig_state] {
      StartConsole();
      host_set_charset(HOST_SINGLE);
      C_SetSigState(sig_state);
      bench::Step("ready");
      std::string got;
      for (long long k = 0; k != 0x7e; got += std::to_string(k) + " ")
        k = KeyIn(P1_d_keyin);
      bench::Report("got", got);
    });
    ASSERT_TRUE(s.WaitStep("ready"));
    std::string typed, want;
    for (int b = 0x80; b <= 0xFF; b++)
      typed += (char)b, want += b == 0xFF ? "" : std::to_string(b) + " ";
    s.Send(typed + "~");
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Get("got"), want + "126 ") << "sig_state " << sig_state;
  }
}

} // namespace
