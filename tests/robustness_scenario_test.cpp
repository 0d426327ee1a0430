// The console inside someone else's process, when things go wrong: rows that
// fill with bytes before columns, a terminal that goes away while the module
// reads, waits or writes, storms of SIGINT, and window size changes.  Nothing
// may crash, spin, hang or lose what was written.
#include "console_child.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <pty.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <stdio_ext.h>
#include <string.h>
#include <termios.h>
#include <thread>

namespace {

// `s` written `n` times.
std::string Repeat(const std::string &s, int n) {
  std::string out;
  while (n-- > 0)
    out += s;
  return out;
}

// Milliseconds of a clock that never goes back.
long long WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Child: one line as the engine reads it, up to its end-of-line code 31 or -1.
std::string ReadLine() {
  std::string got;
  for (int c = 0; c != 31;) {
    if ((c = host_getc(C_GetStream())) == -1) return got + "<EOF>";
    got += (char)c;
  }
  return got;
}

// Catches: characters that take no column filling a row's 4 * columns bytes
// and the writer storing past the row (ASan) or dropping bytes: the shadow
// rows, read in order, must hold every byte written.  The terminal joins the
// marks to one cell, so only the plain line after them is compared with it.
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
  EXPECT_EQ(rows.substr(0, marks.size()), marks);
  EXPECT_EQ(rows.find_first_not_of(' ', marks.size()), std::string::npos);
  EXPECT_EQ(Row(s, sh.cur_y - 1), "plain after");
  EXPECT_EQ(bench::ShadowRowToText(sh.row_bytes[sh.cur_y - 1], 80),
            s.Screen()[sh.cur_y - 1]);
}

// One way to lose the terminal: what the child does while the far end types
// `keys` and hangs up, and 200 times after; what each gives and the log.
struct LostCase {
  const char *name, *keys;                    // the case; typed before the hang-up
  std::function<std::string()> during, after; // until the hang-up; 200 times after
  std::string want;                           // "during|after|log" as reported
};

// Child: runs `c` on a terminal of its own whose far end a thread types at,
// reads for 300 ms and closes (a window closed); reports what it saw, the
// wall time of `during` and the CPU time of both parts.
void LoseTerminal(const LostCase &c) {
  winsize ws{24, 80, 0, 0};
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) bench::Fail("openpty");
  dup2(slave, 0), dup2(slave, 1), close(slave);
  StartConsole();
  QxStream log = host_open_memory();
  C_SetLog(log);
  C_NOPROMPT();
  Put("before\n");
  std::thread far([&] {
    char buf[4096];
    if (write(master, c.keys, strlen(c.keys)) >= 0)
      for (long long end = WallMs() + 300; WallMs() < end;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) == 1 && read(master, buf, sizeof buf) < 0) break;
      }
    close(master);
  });
  long long w0 = WallMs(), c0 = clock() / 1000; // CLOCKS_PER_SEC is 10^6
  std::string seen = c.during() + "|";
  long long wait_ms = WallMs() - w0, c1 = clock() / 1000;
  std::string after = c.after();
  for (int i = 1; i < 200; i++) // 200 answers, all alike
    if (c.after() != after) after = "changed";
  bench::Report("ms", std::to_string(wait_ms) + " " + std::to_string(c1 - c0) + " " +
                          std::to_string(clock() / 1000 - c1));
  Put("after\n");
  bench::Report("seen", seen + after + "|" + host_memory_string(log));
  bench::Report("errmes", Stream_errmes());
  far.join();
}

// Catches: a reader (line editor, d_keyin/1, d_keypeek/1, output stopped by
// Ctrl-S) that spins, or waits for ever, once its terminal is gone, or
// invents keys; a log that loses bytes; output to a dead terminal that stops
// the engine; the stdout error not reported.  The cases run side by side.
TEST(LostTerminal, WhileReadingWaitingAndWriting) {
  auto getc = [] { return std::to_string(host_getc(C_GetStream())); };
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
  const LostCase cases[] = {
      {"editor", "ab", ReadLine, getc,
       "ab<EOF>|-1|before\nab^D\x1f" + Repeat("^D\x1f", 200) + "after\n"},
      {"keyin", "ab", three, keyin, "97 98 -1|-1|before\nafter\n"},
      {"keypeek", "", peek, peek, "-1|-1|before\nafter\n"},
      {"stopped", "\x13", stopped(100), stopped(5),
       "0|0|before\n" + Repeat("line\n", 1100) + "after\n"},
  };
  std::vector<std::unique_ptr<bench::Scenario>> runs;
  for (const LostCase &c : cases)
    runs.emplace_back(new bench::Scenario(bench::Options{}, [&c] { LoseTerminal(c); }));
  for (size_t i = 0; i < runs.size(); i++) {
    const LostCase &c = cases[i];
    bench::Scenario &s = *runs[i];
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Get("seen"), c.want);
    long long wait = 0, wait_cpu = 0, after_cpu = 0;
    std::istringstream(s.Get("ms")) >> wait >> wait_cpu >> after_cpu;
    EXPECT_GE(wait, 250) << "no wait before the hang-up";
    EXPECT_LT(wait_cpu, 100) << "spun while waiting";
    EXPECT_LT(after_cpu, 400) << "spun after the hang-up";
    std::string report = "\aqxhost: stdout: " + s.Get("errmes") + "\n";
    EXPECT_NE(s.Stderr().find(report), std::string::npos) << s.Stderr();
  }
}

// Parent: SIGINTs to the children for `ms` ms, mostly as fast as it can
// (they land at any moment), typing one of `keys` to the first and taking in
// the output of all every `every` of them.
void Storm(const std::vector<bench::Scenario *> &to, int ms, const std::string &keys,
           int every = 100) {
  std::mt19937 rng(std::random_device{}());
  for (long long i = 0, end = WallMs() + ms; WallMs() < end; i++) {
    for (bench::Scenario *s : to)
      kill(s->Pid(), SIGINT);
    if (rng() % 8 == 0) usleep(rng() % 60); // a child flooded makes no progress
    for (bench::Scenario *s : to)
      if (i % every == 0)
        s->Send(keys.empty() || s != to[0] ? ""
                                           : std::string(1, keys[rng() % keys.size()]));
    if (testing::Test::HasFailure()) return; // a child has died
  }
}

// Catches, under SIGINT storms: a crash or deadlock in the top-level editor
// with a log, in d_keyin/d_keypeek, in the flow-control wait and in output;
// the engine's action not back in force after each; an interrupt left over
// once a reader has acted (a spurious one on the next line).
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
    bench::Step("top");
    do
      C_TOPLEVEL();
    while (ReadLine() != "end\x1f");
    in_force();
    bench::Step("keys");
    for (long long n = 0, k = 0; k != 'q'; n++)
      k = KeyIn(n % 3 == 0 ? P1_d_keypeek : P1_d_keyin);
    tcflush(0, TCIFLUSH), __fpurge(stdin), C_FlushTypeahead(1); // keys left by the storm
    in_force();
    bench::Step("output");
    InputWithin(2000); // the Ctrl-S
    for (int i = 0; i < 2000; i++)
      Put("out " + std::to_string(i) + "\n");
    in_force();
    C_NORMAL();
    bench::Step("sync");
    while (ReadLine() != "sync\x1f") {
    }
    long intr = host_counters()->f_intr;
    std::string final = ReadLine();
    in_force();
    bench::Report("seen", final + " spurious " +
                              std::to_string(host_counters()->f_intr - intr) + " " +
                              handlers + " " + std::to_string(host_sigint_count() > 0) +
                              std::to_string(host_counters()->f_intr > 50));
  });
  ASSERT_TRUE(s.WaitStep("top"));
  Storm({&s}, 600, "abc\x7f\r\x18\x1b[A", 10);
  ASSERT_TRUE(WaitReadingStdin(s)); // every interrupt has landed
  s.Send("\x15\rend\r");
  ASSERT_TRUE(s.WaitStep("keys"));
  Storm({&s}, 300, "abc");
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("q");
  ASSERT_TRUE(s.WaitStep("output"));
  s.Send("\x13");
  Storm({&s}, 300, "");
  s.Send("\x11");
  Storm({&s}, 300, "");
  ASSERT_TRUE(s.WaitStep("sync"));
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("\rsync\r");
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("hello\r");
  ExpectCleanExit(s);
  // The engine's action after each phase, then whether the storms reached
  // the engine's handler and the readers (over 50 times).
  EXPECT_EQ(s.Get("seen"), "hello\x1f spurious 0 1111 11");
}

// Catches: a handler that runs before its reader has saved the action it
// replaced (a SIGINT delivered as sigaction returns) and puts back what the
// record held: on a first arming SIG_DFL, and the next SIGINT kills the
// engine.  Zeroing old_inp before each COMMAND-mode line makes every arming
// a first one.
TEST(SignalStorm, HandlerNeverRestoresAnUnsavedAction) {
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    bench::Step("read");
    do {
      memset(&old_inp, 0, sizeof old_inp); // as before the first arming
      C_COMMAND();
    } while (host_getc(C_GetStream()) != 'q');
  });
  ASSERT_TRUE(s.WaitStep("read"));
  Storm({&s}, 1000, "");
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("q\r");
  ExpectCleanExit(s);
}

// Catches: output lost, a false "stdout:" error, or a screen unlike the
// shadow when SIGINT comes while output waits for room on the terminal (taken
// in every 10 ms).  With SA_RESTART every byte arrives; without it stdio
// drops what a write failed with EINTR on, and the screen is repainted.
TEST(SignalStorm, OutputWaitingForTheTerminal) {
  const int kLines = 1500;
  auto line = [](int i) { return "out " + std::to_string(i) + Repeat("=", i % 60); };
  auto writer = [&](int sa_flags) {
    return new bench::Scenario(bench::Options{}, [=] {
      StartConsole();
      host_install_sigint_flags(sa_flags);
      C_NOPROMPT();
      bench::Step("output");
      // At least kLines, and on until the storm has reached the engine (a fast
      // intake, as under the sanitizers, can leave the terminal room to spare).
      for (int i = 0; i < kLines || (host_sigint_count() <= 100 && i < 20 * kLines); i++)
        Put(line(i) + "\n");
      ReportShadow();
      bench::Report("engine_sigints", host_sigint_count());
      Pause("done"); // not gone before the parent has seen the report
    });
  };
  std::unique_ptr<bench::Scenario> restarting(writer(SA_RESTART)),
      interrupting(writer(0));
  ASSERT_TRUE(restarting->WaitStep("output"));
  ASSERT_TRUE(interrupting->WaitStep("output"));
  for (long long end = WallMs() + 20000;
       !restarting->Has("engine_sigints") || !interrupting->Has("engine_sigints");) {
    Storm({restarting.get(), interrupting.get()}, 10, "", 1 << 30); // one intake
    ASSERT_LT(WallMs(), end) << "the writers never ended";
  }
  for (bench::Scenario *s : {restarting.get(), interrupting.get()}) {
    s->Go();
    ExpectCleanExit(*s);
    EXPECT_GT(std::stol(s->Get("engine_sigints")), 100) << "the storm missed the output";
    EXPECT_EQ(s->Stderr().find("stdout:"), std::string::npos) << s->Stderr();
    bench::ExpectScreenEqualsShadow(*s);
  }
  for (size_t i = 0, at = 0; i < kLines; i++) {
    size_t found = restarting->RawOutput().find(line(i), at);
    ASSERT_NE(found, std::string::npos) << "lost: " << line(i);
    at = found + line(i).size();
  }
}

// Catches: a console that does not follow the window when idle, editing,
// streaming or stopped, on terminals that wrap late and at once, 1x1 to
// 300x100: a key lost while the size changes; the edited line not shown whole
// at the new width or not editable across the new wrap; output at the old
// width or broken by a burst of sizes; stopped output that runs on or stays
// stopped; the module or curses not at the last size; screen unlike shadow.
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
      "abcdefghij\xe6\xbc\xa2\xe5\xad\x97klmnopqrstuvwxyz0123\xe6\xbc\xa2"
      "456789ABCDEFGHIJ\xe5\xad\x97KLMNOPQRSTUVWXYZ";
  std::mt19937 rng(std::random_device{}());
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.term) + " state " + std::to_string(c.state));
    bench::Options opt = TermOptions(c.term);
    opt.timeout_ms = 30000;
    const bool output = c.state == STREAMING || c.state == STOPPED;
    bench::Scenario s(opt, [output] {
      StartConsole();
      if (output) {
        C_NOPROMPT();
        bench::Step("output");
        for (int i = 0; i < 3000; i++)
          Put("row " + std::to_string(i) + " \xe6\xbc\xa2\xe5\xad\x97 " +
              Repeat("y", i % 61) + "\n");
        Put("last");
      } else {
        C_TOPLEVEL();
        bench::Step("read");
        bench::Report("line", ReadLine());
      }
      int columns = 0, rows = 0;
      Curses_getTerminalWH(&columns, &rows);
      bench::Report("curses", std::to_string(columns) + "x" + std::to_string(rows));
      ReportShadow();
    });
    auto random_size = [&] { s.Resize(1 + rng() % 100, 1 + rng() % 300); };
    // A waiting child repaints: until then it may be asleep from before.
    auto resized = [&](int rows, int cols) {
      size_t before = s.RawOutput().size();
      s.Resize(rows, cols);
      testing::AssertionResult r =
          s.WaitFor([&] { return s.RawOutput().size() > before; }, "the repaint");
      return r ? WaitReadingStdin(s) : r;
    };
    if (!output) {
      ASSERT_TRUE(s.WaitStep("read"));
      for (size_t i = 0; c.state == EDITING && i < typed.size(); i++) {
        if (rng() % 3 == 0) random_size();
        s.Send(typed.substr(i, 1)); // a multibyte key may come in pieces
      }
      ASSERT_TRUE(WaitReadingStdin(s));
      ASSERT_TRUE(resized(c.rows1, c.cols1));
      ASSERT_TRUE(resized(c.rows2, c.cols2));
      std::string shown;
      for (const std::string &r : s.Screen())
        for (char ch : r)
          if (ch != ' ') shown += ch;
      EXPECT_TRUE(c.state != EDITING || shown.find(typed) != std::string::npos)
          << Text(s);
      s.Send(Repeat("\x7f", 28) + "!\r");
      ASSERT_TRUE(s.WaitExit());
      std::string want = c.state == EDITING ? typed.substr(0, typed.size() - 30) : "";
      EXPECT_EQ(s.Get("line"), want + "!\x1f");
    } else {
      ASSERT_TRUE(s.WaitStep("output"));
      ASSERT_TRUE(s.WaitForScreenText("row 2"));
      if (c.state == STOPPED) {
        s.Send("\x13");
        ASSERT_TRUE(WaitReadingStdin(s));
        ASSERT_TRUE(resized(c.rows1, c.cols1));
        ASSERT_TRUE(resized(c.rows2, c.cols2)); // still stopped after the resizes
        s.Send("\x11");
      } else {
        for (int i = 0; i < 40; i++)
          random_size(), usleep(rng() % 2000);
        s.Resize(c.rows1, c.cols1);
        s.Resize(c.rows2, c.cols2);
      }
      ASSERT_TRUE(s.WaitExit());
      EXPECT_NE(s.ScreenText().find("row 2999 \xe6\xbc\xa2\xe5\xad\x97 y"),
                std::string::npos)
          << s.ScreenText();
    }
    EXPECT_EQ(s.Get("curses"), std::to_string(c.cols2) + "x" + std::to_string(c.rows2));
    EXPECT_EQ(s.Get("shadow.columns") + "x" + s.Get("shadow.rows"), s.Get("curses"));
    bench::ExpectScreenEqualsShadow(s);
    EXPECT_TRUE(bench::CursorEqualsShadow(s));
  }
}

// Catches: typed bytes that the driver swallows or turns into a signal in the
// raw modes: every byte from 128 to 254 must reach d_keyin/1, with sig_state
// 0 and 1.  The raw modes disable special characters with 255 (Linux's value
// is 0), so only a typed 0xFF, in no UTF-8 or EUC-JP text, is taken.
TEST(HostileKeys, EveryByteReachesKeyin) {
  for (int sig_state : {0, 1}) {
    bench::Scenario s(bench::Options{}, [sig_state] {
      StartConsole();
      host_set_charset(HOST_SINGLE);
      C_SetSigState(sig_state);
      termios t{};
      tcgetattr(0, &t);
      std::string skipped;
      for (int cc : {VINTR, VQUIT, VSUSP})
        if ((t.c_lflag & ISIG) && t.c_cc[cc] != 255) skipped += (char)t.c_cc[cc];
      bench::Report("skipped", skipped);
      bench::Step("ready");
      std::string got;
      for (long long k = 0; k != 0x7e; got += std::to_string(k) + " ")
        k = KeyIn(P1_d_keyin);
      bench::Report("got", got);
    });
    ASSERT_TRUE(s.WaitStep("ready"));
    std::string typed, want;
    for (int b = 0x80; b <= 0xFF; b++)
      if (s.Get("skipped").find((char)b) == std::string::npos)
        typed += (char)b, want += b == 0xFF ? "" : std::to_string(b) + " ";
    s.Send(typed + "~");
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Get("got"), want + "126 ") << "sig_state " << sig_state;
  }
}

} // namespace
