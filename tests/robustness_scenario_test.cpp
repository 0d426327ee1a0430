// The console inside someone else's process, when things go wrong: rows that
// fill with bytes before columns, a terminal that goes away while the module
// reads, waits or writes, storms of SIGINT, and window size changes.  Nothing
// may crash, spin, hang or lose what was written.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <signal.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>

#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace {

// `s` written `n` times.
std::string Repeat(const std::string &s, int n) {
  std::string out;
  while (n-- > 0)
    out += s;
  return out;
}

// Milliseconds of CPU time (user and system) this process has used.
long long CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000LL +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

// Milliseconds of a clock that never goes back.
long long WallMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Child: the size d_screen/2 answers, as "columnsxrows".
std::string ScreenSize() {
  host_args_reset();
  TermCell *c = host_push(host_var());
  TermCell *r = host_push(host_var());
  BuiltinFrame frame{};
  P2_d_screen(&frame);
  int64_t columns = -1, rows = -1;
  host_get_int(c, &columns);
  host_get_int(r, &rows);
  return std::to_string(columns) + "x" + std::to_string(rows);
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
    Put(marks);
    ReportShadow();
    Pause("marks");
    Put("\nplain after\n");
    ReportShadow();
  });
  ASSERT_TRUE(s.WaitStep("marks"));
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  std::string rows;
  for (int r = 0; r <= sh.cur_y; r++)
    rows += sh.row_bytes[r];
  EXPECT_EQ(rows.substr(0, marks.size()), marks);
  EXPECT_EQ(rows.find_first_not_of(' ', marks.size()), std::string::npos);
  EXPECT_EQ(sh.cur_x, (int)marks.size() % 320);
  s.Go();
  ASSERT_TRUE(s.WaitExit());
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  EXPECT_EQ(Row(s, sh.cur_y - 1), "plain after");
  EXPECT_EQ(bench::ShadowRowToText(sh.row_bytes[sh.cur_y - 1], 80), s.Screen()[sh.cur_y - 1]);
}

// Child: a terminal of its own, whose slave becomes descriptors 0 and 1;
// returns the master.
int OwnTerminal() {
  winsize ws{};
  ws.ws_row = 24;
  ws.ws_col = 80;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) bench::Fail("openpty");
  dup2(slave, 0);
  dup2(slave, 1);
  close(slave);
  return master;
}

// Child: a thread that types `keys` at `master`, takes the output for `ms`
// milliseconds and then closes it, as when a terminal window is closed.
std::thread HangUpAfter(int master, const std::string &keys, int ms) {
  return std::thread([=] {
    char buf[4096];
    if (write(master, keys.data(), keys.size()) >= 0)
      for (long long end = WallMs() + ms; WallMs() < end;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) == 1 && read(master, buf, sizeof buf) < 0) break;
      }
    close(master);
  });
}

// One way to lose the terminal: what the child does while the far end types
// `keys` and hangs up, and 200 times after; what each gives and the log.
struct LostCase {
  const char *name;                    // what the child was doing
  const char *keys;                    // typed before the hang-up
  std::function<std::string()> during; // runs until the hang-up ends it
  std::function<std::string()> after;  // runs 200 times once it has gone
  std::string want_during, want_after; // what they give
  std::string log;                     // the log: everything written
};

// Child: runs one LostCase with a log in a temporary directory, and reports
// what it saw, the wall and CPU time of `during` and the CPU time of `after`.
void LoseTerminal(const LostCase &c) {
  int master = OwnTerminal();
  StartConsole();
  char dir[] = "/tmp/qxrobXXXXXX";
  std::string log_path = std::string(mkdtemp(dir)) + "/log";
  C_SetLog(host_open_file(log_path.c_str(), "w"));
  C_NOPROMPT();
  Put("before\n");
  std::thread far = HangUpAfter(master, c.keys, 300);
  long long w0 = WallMs(), c0 = CpuMs();
  bench::Report("during", c.during());
  bench::Report("wait_ms", WallMs() - w0);
  bench::Report("wait_cpu_ms", CpuMs() - c0);
  std::string seen;
  long long c1 = CpuMs();
  for (int i = 0; i < 200; i++)
    seen += c.after() + " ";
  bench::Report("after_cpu_ms", CpuMs() - c1);
  bench::Report("after", seen);
  Put("after\n");
  std::ifstream in(log_path, std::ios::binary);
  std::stringstream log;
  log << in.rdbuf();
  bench::Report("log", log.str());
  bench::Report("errmes", Stream_errmes());
  unlink(log_path.c_str());
  rmdir(dir);
  far.join();
}

// Numbered lines `from` to `from + n - 1`.
std::string Lines(int from, int n) {
  std::string out;
  for (int i = from; i < from + n; i++)
    out += "line " + std::to_string(i) + "\n";
  return out;
}

// Catches: a reader (line editor, d_keyin/1, d_keypeek/1, output stopped by
// Ctrl-S) that spins or waits for ever once its terminal is gone, or invents
// keys; a log that loses bytes written before or after; output to a dead
// terminal that stops the engine; the stdout error not reported.  The wait
// must last until the hang-up without spinning, and the reads after it end
// at once (200 in well under 400 ms of CPU).  The cases run side by side.
TEST(LostTerminal, WhileReadingWaitingAndWriting) {
  auto getc = [] { return std::to_string(host_getc(C_GetStream())); };
  auto keyin = [] { return std::to_string(KeyIn(P1_d_keyin)); };
  auto peek = [] { return std::to_string(KeyIn(P1_d_keypeek)); };
  auto stopped = [](int from, int n, bool wait) {
    return [=] {
      if (wait) InputWithin(2000); // the Ctrl-S
      Put(Lines(from, n));
      return std::to_string(Console->output_stopped);
    };
  };
  const LostCase cases[] = {
      {"editor", "ab", ReadLine, getc, "ab<EOF>", "-1",
       "before\nab^D\n" + Repeat("^D\n", 200) + "after\n"},
      {"keyin", "ab",
       [=] {
         std::string a = keyin(), b = keyin(); // in this order
         return a + " " + b + " " + keyin();
       },
       keyin, "97 98 -1", "-1",
       "before\nafter\n"},
      {"keypeek", "", peek, peek, "-1", "-1", "before\nafter\n"},
      {"stopped", "\x13", stopped(0, 100, true), stopped(100, 5, false), "0", "0",
       "before\n" + Lines(0, 100) + Repeat(Lines(100, 5), 200) + "after\n"},
  };
  std::vector<std::unique_ptr<bench::Scenario>> runs;
  for (const LostCase &c : cases)
    runs.emplace_back(new bench::Scenario(bench::Options{}, [&c] { LoseTerminal(c); }));
  for (size_t i = 0; i < runs.size(); i++) {
    const LostCase &c = cases[i];
    bench::Scenario &s = *runs[i];
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Get("during"), c.want_during);
    EXPECT_GE(std::stoll(s.Get("wait_ms")), 250) << "no wait before the hang-up";
    EXPECT_LT(std::stoll(s.Get("wait_cpu_ms")), 100) << "spun while waiting";
    EXPECT_LT(std::stoll(s.Get("after_cpu_ms")), 400) << "spun after the hang-up";
    EXPECT_EQ(s.Get("after"), Repeat(c.want_after + " ", 200));
    EXPECT_EQ(s.Get("log"), c.log);
    EXPECT_NE(s.Stderr().find("\aqxhost: stdout: " + s.Get("errmes") + "\n"),
              std::string::npos)
        << s.Stderr();
  }
}

// Parent: sends SIGINTs to the children for `ms` milliseconds, mostly as
// fast as it can (the child runs on another CPU: they land at any moment),
// typing one of `keys` to the first child every `every` of them and taking
// in the output.
void Storm(const std::vector<bench::Scenario *> &to, int ms, const std::string &keys,
           int every = 100) {
  std::mt19937 rng(std::random_device{}());
  for (long long i = 0, end = WallMs() + ms; WallMs() < end; i++) {
    for (bench::Scenario *s : to)
      kill(s->Pid(), SIGINT);
    if (rng() % 8 == 0) usleep(rng() % 60); // a child flooded makes no progress
    if (i % every == 0)
      for (bench::Scenario *s : to)
        s->Send(keys.empty() || s != to[0] ? "" : std::string(1, keys[rng() % keys.size()]));
    if (testing::Test::HasFailure()) return; // a child has died
  }
}

// Child: drops keys typed but not read (a storm may leave one).
void DropTypedKeys() {
  tcflush(0, TCIFLUSH);
  __fpurge(stdin);
  C_FlushTypeahead(1);
}

// Catches, under storms of SIGINT at any moment: a crash or deadlock while
// the top-level editor reads lines and copies them to the engine's log, in
// d_keyin/d_keypeek, in the flow-control wait and while output streams; the
// engine's action not back in force after each; a pending interrupt left
// over once a reader has acted (a spurious interrupt on the next typed line).
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
    DropTypedKeys();
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
    bench::Step("final");
    bench::Report("final", ReadLine());
    bench::Report("spurious", host_counters()->f_intr - intr);
    in_force();
    bench::Report("handlers", handlers);
    bench::Report("engine_sigints", host_sigint_count());
    bench::Report("reader_intrs", host_counters()->f_intr);
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
  ASSERT_TRUE(s.WaitStep("final"));
  s.Send("hello\r");
  ExpectCleanExit(s);
  EXPECT_EQ(s.Get("final"), "hello\x1f");
  EXPECT_EQ(s.Get("spurious"), "0");
  EXPECT_EQ(s.Get("handlers"), "1111");
  EXPECT_GT(std::stol(s.Get("engine_sigints")), 0);
  EXPECT_GT(std::stol(s.Get("reader_intrs")), 50) << "the storms missed the readers";
}

// Catches: a reader's handler that runs before the reader has saved the
// action it replaced.  sigaction(SIGINT, &sa, saved) fills `saved` only after
// the system call has returned, and a SIGINT pending then is delivered at that
// very return: the handler puts back whatever `saved` held before.  On the
// first arming in a process that is all zeros, SIG_DFL, and the next SIGINT
// kills the engine.  The child zeroes old_inp before every line, so that
// every arming is such a first one, and reads in COMMAND mode, where each
// interrupt returns to it.
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
  Storm({&s}, 500, "");
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("q\r");
  ExpectCleanExit(s);
}

// Catches: output lost, a false "stdout:" error report, or a screen left
// unlike the shadow when SIGINT comes while standard output waits for room
// on the terminal (the parent takes in the output only every 5 ms).  With
// the engine's action restarting system calls every byte arrives; without
// it a write fails with EINTR and stdio drops what it held, which is no
// error of the terminal: the screen is repainted instead.
TEST(SignalStorm, OutputWaitingForTheTerminal) {
  const int kLines = 1500;
  auto line = [](int i) { return "out " + std::to_string(i) + " " + Repeat("=", i % 60); };
  auto writer = [&](int sa_flags) {
    bench::Options opt;
    opt.timeout_ms = 30000;
    return new bench::Scenario(opt, [=] {
      StartConsole();
      host_install_sigint_flags(sa_flags);
      C_NOPROMPT();
      bench::Step("output");
      for (int i = 0; i < kLines; i++)
        Put(line(i) + "\n");
      ReportShadow();
      bench::Report("engine_sigints", host_sigint_count());
      Pause("done"); // not gone before the parent has seen the report
    });
  };
  std::unique_ptr<bench::Scenario> restarting(writer(SA_RESTART)), interrupting(writer(0));
  ASSERT_TRUE(restarting->WaitStep("output"));
  ASSERT_TRUE(interrupting->WaitStep("output"));
  std::mt19937 rng(std::random_device{}());
  const long long deadline = WallMs() + 30000;
  for (long long pump = 0; !restarting->Has("engine_sigints") ||
                           !interrupting->Has("engine_sigints");) {
    for (bench::Scenario *s : {restarting.get(), interrupting.get()})
      if (!s->Has("engine_sigints")) kill(s->Pid(), SIGINT);
    usleep(rng() % 100);
    if (WallMs() > pump) pump = WallMs() + 5, restarting->Send(""), interrupting->Send("");
    ASSERT_FALSE(HasFailure());
    ASSERT_LT(WallMs(), deadline) << "the writers never ended";
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

// Catches: a crash, memory error, hang or lost character when the window
// changes size (TIOCSWINSZ on the master, SIGWINCH) dozens of times while
// output streams and while a line is edited, and a console that keeps its
// old size: afterwards the module, curses and d_screen/2 have the last size,
// the line typed after the storm reaches the engine, and output and a redraw
// at that size show the shadow.
TEST(WindowSize, StormDuringOutputAndEditing) {
  std::mt19937 rng(std::random_device{}());
  bench::Options opt;
  opt.timeout_ms = 30000;
  bench::Scenario s(opt, [] {
    StartConsole();
    C_NOPROMPT();
    Pause("output");
    for (int i = 0; i < 600; i++)
      Put("line " + std::to_string(i) + " \xe6\xbc\xa2\xe5\xad\x97 " + Repeat("x", i % 97) +
          "\n");
    bench::Step("edit");
    std::string last;
    for (std::string l; (l = ReadLine()) != "end\x1f";)
      last = l;
    bench::Report("line", last);
    int columns = 0, rows = 0;
    Curses_getTerminalWH(&columns, &rows);
    bench::Report("curses", std::to_string(columns) + "x" + std::to_string(rows));
    bench::Report("size", ScreenSize());
    P0_d_clear(); // the storm typed stray bytes: compare a clean screen
    Put("after the storm \xe6\xbc\xa2\n");
    P0_d_redisp();
    ReportShadow();
  });
  auto storm = [&](const std::string &keys) {
    for (int i = 0; i < 200; i++) {
      s.Resize(1 + rng() % 100, 1 + rng() % 300);
      usleep(rng() % 3000);
      s.Send(keys.empty() ? "" : std::string(1, keys[rng() % keys.size()]));
    }
  };
  ASSERT_TRUE(s.WaitStep("output"));
  s.Go();
  storm("");
  ASSERT_TRUE(s.WaitStep("edit"));
  storm("abc \x7f\xe6\xbc\xa2");
  s.Send("\x15"); // the line so far goes
  storm("abc\xe6\xbc\xa2");
  s.Resize(11, 37);
  s.Send("\rtyped\rend\r");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("line"), "typed\x1f");
  EXPECT_EQ(s.Get("size"), "37x11");
  EXPECT_EQ(s.Get("curses"), "37x11");
  bench::ExpectScreenEqualsShadow(s);
}

// Catches: a console that does not follow the window in one of its states,
// on terminals that wrap late and at once: the line being edited (multibyte,
// wrapping) not shown whole at the new width or no longer editable across the
// new wrap, output that goes on at the old width, a stopped output that runs
// on (or stays stopped after the start character), and sizes from 1x1 to
// 300x100.  Each case resizes twice (the second size leaves room for the
// line), then checks the screen against the shadow at the new size, the size
// d_screen/2 answers, and what reached the engine.
TEST(WindowSize, FollowsTheWindowInEveryState) {
  enum State { IDLE, EDITING, STREAMING, STOPPED };
  struct Case {
    State state;                   // what the child does during the resizes
    const char *term;              // the terminal type
    int rows1, cols1, rows2, cols2; // the two sizes, in turn
  };
  const Case cases[] = {
      {IDLE, "xterm", 1, 1, 20, 50},
      {EDITING, "xterm-noxenl", 5, 9, 24, 33},
      {EDITING, "vt100", 100, 300, 7, 21},
      {STREAMING, "xterm-noxenl", 7, 21, 12, 30},
      {STOPPED, "xterm", 12, 30, 100, 300},
  };
  // Wraps at 30 and 50 columns, with a double-width character at the edge.
  const std::string typed = "abcdefghij\xe6\xbc\xa2\xe5\xad\x97klmnopqrstuvwxyz0123\xe6\xbc\xa2"
                            "456789ABCDEFGHIJ\xe5\xad\x97KLMNOPQRSTUVWXYZ";
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.term) + " state " + std::to_string(c.state) + " " +
                 std::to_string(c.cols1) + "x" + std::to_string(c.rows1) + " then " +
                 std::to_string(c.cols2) + "x" + std::to_string(c.rows2));
    bench::Options opt = TermOptions(c.term);
    opt.timeout_ms = 30000;
    const bool output = c.state == STREAMING || c.state == STOPPED;
    bench::Scenario s(opt, [output] {
      StartConsole();
      if (output) {
        C_NOPROMPT();
        bench::Step("output");
        for (int i = 0; i < 3000; i++)
          Put("row " + std::to_string(i) + " \xe6\xbc\xa2\xe5\xad\x97 " + Repeat("y", i % 61) +
              "\n");
        Put("last");
      } else {
        C_TOPLEVEL();
        bench::Step("read");
        bench::Report("line", ReadLine());
      }
      bench::Report("size", ScreenSize());
      ReportShadow();
    });
    // A waiting child answers a resize with a repaint: until its bytes come,
    // it may still be asleep from before the signal.
    auto resized = [&](int rows, int cols) {
      size_t before = s.RawOutput().size();
      s.Resize(rows, cols);
      testing::AssertionResult r =
          s.WaitFor([&] { return s.RawOutput().size() > before; }, "the repaint");
      return r ? WaitReadingStdin(s) : r;
    };
    if (!output) {
      ASSERT_TRUE(s.WaitStep("read"));
      if (c.state == EDITING) s.Send(typed);
      ASSERT_TRUE(WaitReadingStdin(s));
      ASSERT_TRUE(resized(c.rows1, c.cols1));
      ASSERT_TRUE(resized(c.rows2, c.cols2));
      // The line is shown whole at the new width (spaces are wrap gaps).
      std::string shown;
      for (const std::string &r : s.Screen())
        for (char ch : r)
          if (ch != ' ') shown += ch;
      EXPECT_TRUE(c.state != EDITING || shown.find(typed) != std::string::npos) << Text(s);
      // Erasing goes back across the new wrap, through a double-width
      // character, and typing goes on.
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
        s.Resize(c.rows1, c.cols1);
        s.Resize(c.rows2, c.cols2);
      }
      ASSERT_TRUE(s.WaitExit());
      EXPECT_NE(s.ScreenText().find("row 2999 \xe6\xbc\xa2\xe5\xad\x97 y"), std::string::npos)
          << s.ScreenText();
    }
    EXPECT_EQ(s.Get("size"), std::to_string(c.cols2) + "x" + std::to_string(c.rows2));
    bench::ExpectScreenEqualsShadow(s);
    EXPECT_TRUE(bench::CursorEqualsShadow(s));
  }
}

// Catches: typed bytes that the terminal driver swallows or turns into a
// signal in the module's raw modes instead of passing them on: every byte
// from 128 to 254 (a character of a single-byte set, or part of a multibyte
// one) must reach d_keyin/1, with sig_state 0 and 1.  The raw modes set the
// start and stop characters (and, with sig_state 1, the interrupt, suspend
// and literal-next characters) to 255, which is not Linux's disabling value
// 0: the driver takes a typed 0xFF for itself.  No UTF-8 or EUC-JP text
// contains that byte; the test shows that it is the only one taken.
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
      for (long long k = 0; k != 0x7e;) {
        k = KeyIn(P1_d_keyin);
        got += std::to_string(k) + " ";
      }
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
