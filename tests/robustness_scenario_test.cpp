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

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio_ext.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
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

// The size d_screen/2 answers, as "columnsxrows".
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

// One line as the engine reads it, up to its end-of-line code 31 or -1.
std::string ReadLine() {
  std::string got;
  for (;;) {
    int c = host_getc(C_GetStream());
    if (c == -1) return got + "<EOF>";
    got += (char)c;
    if (c == 31) return got;
  }
}

// Whether the engine's own SIGINT action is the one in force.
bool EngineHandlerInForce() {
  struct sigaction cur;
  sigaction(SIGINT, nullptr, &cur);
  return cur.sa_handler == host_sigint_handler_address();
}

// Catches: characters that take no column filling a row's 4 * columns bytes
// and the writer storing past the row (ASan) or dropping bytes: the shadow
// rows, read in order, must hold every byte written.  The terminal joins the
// marks to one cell, so only the plain line after them is compared with it.
TEST(FullRows, BytesFillRowsBeforeColumns) {
  static const std::string marks = "e" + Repeat("\xcc\x81", 400); // U+0301
  static const std::string kana = Repeat("\xe3\x81\x82", 400);    // said width 0
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    Put(marks);
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("marks");
    bench::WaitParent();
    host_set_mbchar_override([](unsigned char *b, int i, int *w) {
      int n = host_isn_mbchar_default(b, i, w);
      *w = 0;
      return n;
    });
    P0_d_clear();
    Put(kana);
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Step("kana");
    bench::WaitParent();
    host_set_mbchar_override(nullptr);
    Put("\nplain after\n");
    bench::ReportShadow(Console, _Curses_num_cur_x);
  });
  auto expect_rows = [&](const std::string &written) {
    bench::Shadow sh;
    ASSERT_TRUE(bench::ReadShadow(s, &sh));
    std::string rows;
    for (int r = 0; r <= sh.cur_y; r++)
      rows += sh.row_bytes[r];
    EXPECT_EQ(rows.substr(0, written.size()), written);
    EXPECT_EQ(rows.find_first_not_of(' ', written.size()), std::string::npos);
    EXPECT_EQ(sh.cur_x, (int)written.size() % 320);
    s.Go();
  };
  ASSERT_TRUE(s.WaitStep("marks"));
  expect_rows(marks);
  ASSERT_TRUE(s.WaitStep("kana"));
  expect_rows(kana);
  ASSERT_TRUE(s.WaitExit());
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(s, &sh));
  EXPECT_EQ(bench::TrimRight(s.Screen()[4]), "plain after");
  EXPECT_EQ(bench::ShadowRowToText(sh.row_bytes[4], 80), s.Screen()[4]);
}

// The far end of a terminal of the child's own: its slave becomes descriptors
// 0 and 1, and a thread types keys, takes the output for a while and then
// closes the master, as when a terminal window is closed.
class FarEnd {
public:
  FarEnd() {
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    int slave = -1;
    if (openpty(&master_, &slave, nullptr, nullptr, &ws) != 0) bench::Fail("openpty");
    dup2(slave, 0);
    dup2(slave, 1);
    close(slave);
  }
  ~FarEnd() {
    if (thread_.joinable()) thread_.join();
  }
  // Types `keys`, reads the output for `ms` milliseconds, then hangs up.
  void HangUpAfter(const std::string &keys, int ms) {
    thread_ = std::thread([this, keys, ms] {
      if (write(master_, keys.data(), keys.size()) < 0) return;
      char buf[4096];
      for (long long end = WallMs() + ms; WallMs() < end;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 10) == 1 && read(master_, buf, sizeof buf) < 0) break;
      }
      close(master_);
    });
  }

private:
  int master_ = -1;
  std::thread thread_;
};

// Waits up to 2 s for a typed byte on descriptor 0.
void AwaitKey() {
  pollfd p{0, POLLIN, 0};
  poll(&p, 1, 2000);
}

// What the child saw of a lost terminal, with a log in a temporary directory:
// `during` runs while the far end types `keys` and hangs up after 300 ms (its
// wall and CPU time are reported), `after` runs 200 times once it has gone.
void LoseTerminal(const std::string &keys, const std::function<std::string()> &during,
                  const std::function<std::string()> &after) {
  FarEnd far;
  StartConsole();
  char dir[] = "/tmp/qxrobXXXXXX";
  std::string log_path = std::string(mkdtemp(dir)) + "/log";
  C_SetLog(host_open_file(log_path.c_str(), "w"));
  C_NOPROMPT();
  Put("before\n");
  far.HangUpAfter(keys, 300);
  long long w0 = WallMs(), c0 = CpuMs();
  bench::Report("during", during());
  bench::Report("wait_ms", WallMs() - w0);
  bench::Report("wait_cpu_ms", CpuMs() - c0);
  std::string seen;
  long long c1 = CpuMs();
  for (int i = 0; i < 200; i++)
    seen += after() + " ";
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
}

// Checks what LoseTerminal reported: the wait lasted until the hang-up without
// spinning, the reads after it ended at once (200 in well under 400 ms of
// CPU), the log holds `log` (everything written, before and after), and the
// stdout error was reported.
void ExpectLost(bench::Scenario &s, const std::string &during, const std::string &after,
                const std::string &log) {
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("during"), during);
  EXPECT_GE(std::stoll(s.Get("wait_ms")), 250) << "no wait before the hang-up";
  EXPECT_LT(std::stoll(s.Get("wait_cpu_ms")), 100) << "spun while waiting";
  EXPECT_LT(std::stoll(s.Get("after_cpu_ms")), 400) << "spun after the hang-up";
  EXPECT_EQ(s.Get("after"), Repeat(after + " ", 200));
  EXPECT_EQ(s.Get("log"), log);
  EXPECT_NE(s.Stderr().find("\aqxhost: stdout: " + s.Get("errmes") + "\n"),
            std::string::npos)
      << s.Stderr();
}

// Catches: a reader that spins or blocks for ever once its terminal is gone,
// or that invents keys; a log that loses bytes written before or after.
TEST(LostTerminal, WhileTheLineEditorReads) {
  bench::Scenario s(bench::Options{}, [] {
    LoseTerminal("ab", ReadLine, [] { return std::to_string(host_getc(C_GetStream())); });
  });
  ExpectLost(s, "ab<EOF>", "-1", "before\nab^D\n" + Repeat("^D\n", 200) + "after\n");
}

// Catches: d_keyin/1 or d_keypeek/1 waiting for ever, spinning or inventing
// a key once the terminal is gone (each must answer -1 at once).
TEST(LostTerminal, WhileKeyinAndKeypeekWait) {
  auto keyin = [] { return std::to_string(KeyIn(P1_d_keyin)); };
  auto peek = [] { return std::to_string(KeyIn(P1_d_keypeek)); };
  auto three_keys = [&] {
    std::string a = keyin(), b = keyin();
    return a + " " + b + " " + keyin();
  };
  bench::Scenario in(bench::Options{}, [&] { LoseTerminal("ab", three_keys, keyin); });
  ExpectLost(in, "97 98 -1", "-1", "before\nafter\n");
  bench::Scenario peeked(bench::Options{}, [&] { LoseTerminal("", peek, peek); });
  ExpectLost(peeked, "-1", "-1", "before\nafter\n");
}

// Catches: output stopped by Ctrl-S that waits for ever (or spins) once the
// terminal is gone, and output written to a dead terminal that is lost from
// the log or stops the engine.
TEST(LostTerminal, WhileOutputIsStoppedAndWhileWriting) {
  auto lines = [](int from, int n) {
    std::string out;
    for (int i = from; i < from + n; i++)
      out += "line " + std::to_string(i) + "\n";
    return out;
  };
  bench::Scenario s(bench::Options{}, [&] {
    LoseTerminal(
        "\x13",
        [&] {
          AwaitKey();
          Put(lines(0, 100));
          return std::to_string(Console->output_stopped);
        },
        [&] {
          Put(lines(100, 5));
          return std::to_string(Console->output_stopped);
        });
  });
  ExpectLost(s, "0", "0",
             "before\n" + lines(0, 100) + Repeat(lines(100, 5), 200) + "after\n");
}

// Sends `n` SIGINTs at random moments, typing one of `keys` after every
// `every` of them and taking in the terminal's output, then lets the last one
// land.
void Storm(bench::Scenario &s, std::mt19937 &rng, int n, const std::string &keys,
           int every = 40) {
  for (int i = 0; i < n; i++) {
    kill(s.Pid(), SIGINT);
    usleep(rng() % 400);
    if (i % every == 0)
      s.Send(keys.empty() ? "" : std::string(1, keys[rng() % keys.size()]));
    if (testing::Test::HasFailure()) return; // the child has died
  }
  usleep(100000);
  s.Send("");
}

// Drops keys typed but not read (a storm may leave one).
void DropTypedKeys() {
  tcflush(0, TCIFLUSH);
  __fpurge(stdin);
  C_FlushTypeahead(1);
}

// Catches: a crash or deadlock when SIGINT arrives at any moment of editing,
// of d_keyin/d_keypeek, of the flow-control wait and of output; the engine's
// action not back in force afterwards; a pending interrupt left over once a
// reader has acted (a spurious interrupt on the next typed line).
TEST(SignalStorm, EditingKeysFlowControlAndOutput) {
  std::mt19937 rng(std::random_device{}());
  bench::Options opt;
  opt.timeout_ms = 30000;
  bench::Scenario s(opt, [] {
    StartConsole();
    C_NORMAL();
    std::string handlers;
    auto in_force = [&] { handlers += EngineHandlerInForce() ? "1" : "0"; };
    bench::Step("edit");
    while (ReadLine() != "end\x1f") {
    }
    in_force();
    bench::Step("keyin");
    while (KeyIn(P1_d_keyin) != 'q') {
    }
    DropTypedKeys();
    in_force();
    bench::Step("peek");
    while (KeyIn(P1_d_keypeek) != 'q')
      KeyIn(P1_d_keyin);
    DropTypedKeys();
    in_force();
    bench::Step("flow");
    AwaitKey();
    for (int i = 0; i < 300; i++)
      Put("flow " + std::to_string(i) + "\n");
    in_force();
    bench::Step("output");
    for (int i = 0; i < 3000; i++)
      Put("out " + std::to_string(i) + "\n");
    in_force();
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
  ASSERT_TRUE(s.WaitStep("edit"));
  Storm(s, rng, 1500, "abc\x7f\r\x1b[A");
  s.Send("\rend\r");
  ASSERT_TRUE(s.WaitStep("keyin"));
  Storm(s, rng, 1500, "abc");
  s.Send("qq");
  ASSERT_TRUE(s.WaitStep("peek"));
  Storm(s, rng, 1500, "abc");
  s.Send("qq");
  ASSERT_TRUE(s.WaitStep("flow"));
  s.Send("\x13");
  Storm(s, rng, 1500, "");
  s.Send("\x11");
  ASSERT_TRUE(s.WaitStep("output"));
  Storm(s, rng, 1500, "");
  ASSERT_TRUE(s.WaitStep("sync"));
  usleep(100000);
  s.Send("\rsync\r");
  ASSERT_TRUE(s.WaitStep("final"));
  s.Send("hello\r");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("final"), "hello\x1f");
  EXPECT_EQ(s.Get("spurious"), "0");
  EXPECT_EQ(s.Get("handlers"), "111111");
  EXPECT_GT(std::stol(s.Get("engine_sigints")), 0);
  EXPECT_GT(std::stol(s.Get("reader_intrs")), 50) << "the storms missed the readers";
}

// Writes numbered lines under a storm of SIGINTs while the parent takes in
// the output only now and then, so that writes wait for room on the
// terminal; the engine's handler is installed with `sa_flags`.
void StormWhileWaitingForRoom(bench::Scenario **out, int sa_flags, int lines) {
  std::mt19937 rng(std::random_device{}());
  bench::Options opt;
  opt.timeout_ms = 30000;
  auto *s = new bench::Scenario(opt, [=] {
    StartConsole();
    host_install_sigint_flags(sa_flags);
    C_NOPROMPT();
    bench::Step("output");
    for (int i = 0; i < lines; i++)
      Put("out " + std::to_string(i) + " " + Repeat("=", i % 60) + "\n");
    bench::ReportShadow(Console, _Curses_num_cur_x);
    bench::Report("engine_sigints", host_sigint_count());
    bench::Step("done");
  });
  *out = s;
  ASSERT_TRUE(s->WaitStep("output"));
  for (int i = 0; i < 4000 && !s->Has("engine_sigints"); i++) {
    kill(s->Pid(), SIGINT);
    usleep(rng() % 300);
    if (i % 40 == 0) s->Send("");
  }
  ASSERT_TRUE(s->WaitStep("done"));
  ASSERT_TRUE(s->WaitExit());
  EXPECT_GT(std::stol(s->Get("engine_sigints")), 100) << "the storm missed the output";
  EXPECT_EQ(s->Stderr().find("stdout:"), std::string::npos) << s->Stderr();
}

// Catches: output lost, a false "stdout:" error report, or a screen left
// unlike the shadow when SIGINT comes while standard output waits for room
// on the terminal.  With the engine's action restarting system calls every
// byte arrives; without it a write fails with EINTR and stdio drops what it
// held, which is no error of the terminal: the screen is repainted instead.
TEST(SignalStorm, OutputWaitingForTheTerminal) {
  const int kLines = 1500;
  bench::Scenario *restarting = nullptr;
  StormWhileWaitingForRoom(&restarting, SA_RESTART, kLines);
  std::unique_ptr<bench::Scenario> owner(restarting);
  ASSERT_FALSE(HasFailure());
  size_t at = 0;
  for (int i = 0; i < kLines; i++) {
    std::string line = "out " + std::to_string(i) + " " + Repeat("=", i % 60);
    size_t found = restarting->RawOutput().find(line, at);
    ASSERT_NE(found, std::string::npos) << "lost: " << line;
    at = found + line.size();
  }
  bench::ExpectScreenEqualsShadow(*restarting);

  bench::Scenario *interrupting = nullptr;
  StormWhileWaitingForRoom(&interrupting, 0, kLines);
  std::unique_ptr<bench::Scenario> owner2(interrupting);
  ASSERT_FALSE(HasFailure());
  bench::ExpectScreenEqualsShadow(*interrupting);
}

// Catches: a crash when SIGINT comes while the top-level line editor copies
// a line to the engine's log: its handler writes the partial line to the log
// and the interrupt character to the console from inside the signal handler,
// re-entering the engine's stream layer (and the log's storage) in the middle
// of the same work, and again in itself (SA_NODEFER).
TEST(SignalStorm, TopLevelLinesWithALog) {
  std::mt19937 rng(std::random_device{}());
  bench::Options opt;
  opt.timeout_ms = 30000;
  bench::Scenario s(opt, [] {
    StartConsole();
    C_SetLog(host_open_memory());
    bench::Step("edit");
    do
      C_TOPLEVEL();
    while (ReadLine() != "end\x1f");
  });
  ASSERT_TRUE(s.WaitStep("edit"));
  Storm(s, rng, 15000, "ab\r\x18", 5);
  s.Send("\x15\rend\r");
  ASSERT_TRUE(s.WaitExit());
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
  std::mt19937 rng(std::random_device{}());
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    bench::Step("read");
    do {
      memset(&old_inp, 0, sizeof old_inp); // as before the first arming
      C_COMMAND();
    } while (host_getc(C_GetStream()) != 'q');
  });
  ASSERT_TRUE(s.WaitStep("read"));
  for (int i = 0; i < 20000 && !HasFailure(); i++) {
    kill(s.Pid(), SIGINT);
    usleep(rng() % 100);
    if (i % 500 == 0) s.Send("");
  }
  usleep(100000);
  s.Send("\rq\r"); // a left-over interrupt may take the first key
  ASSERT_TRUE(s.WaitExit());
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
    bench::Step("output");
    bench::WaitParent();
    for (int i = 0; i < 600; i++)
      Put("line " + std::to_string(i) + " \xe6\xbc\xa2\xe5\xad\x97 " +
          Repeat("x", i % 97) + "\n");
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
    State state;
    const char *term;
    int rows1, cols1, rows2, cols2;
  };
  const Case cases[] = {
      {IDLE, "xterm", 1, 1, 20, 50},
      {IDLE, "xterm-noxenl", 100, 300, 30, 100},
      {EDITING, "xterm", 20, 50, 30, 100},
      {EDITING, "vt100", 1, 1, 12, 30},
      {EDITING, "xterm-noxenl", 5, 9, 24, 33},
      {EDITING, "xterm", 100, 300, 7, 21},
      {STREAMING, "xterm", 20, 50, 100, 300},
      {STREAMING, "vt100", 1, 1, 30, 100},
      {STREAMING, "xterm-noxenl", 7, 21, 12, 30},
      {STOPPED, "xterm", 12, 30, 30, 100},
      {STOPPED, "xterm-noxenl", 1, 1, 20, 50},
      {STOPPED, "vt100", 30, 100, 7, 21},
  };
  // Wraps at 30 and 50 columns, with a double-width character at the edge.
  const std::string typed =
      "abcdefghij\xe6\xbc\xa2\xe5\xad\x97klmnopqrstuvwxyz0123\xe6\xbc\xa2"
      "456789ABCDEFGHIJ\xe5\xad\x97KLMNOPQRSTUVWXYZ";
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.term) + " state " + std::to_string(c.state) + " " +
                 std::to_string(c.cols1) + "x" + std::to_string(c.rows1) + " then " +
                 std::to_string(c.cols2) + "x" + std::to_string(c.rows2));
    bench::Options opt = TermOptions(c.term);
    opt.timeout_ms = 30000;
    State state = c.state;
    bench::Scenario s(opt, [state] {
      StartConsole();
      if (state == STREAMING || state == STOPPED) {
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
    if (state == IDLE || state == EDITING) {
      ASSERT_TRUE(s.WaitStep("read"));
      if (state == EDITING) s.Send(typed);
      ASSERT_TRUE(WaitReadingStdin(s));
      ASSERT_TRUE(resized(c.rows1, c.cols1));
      ASSERT_TRUE(resized(c.rows2, c.cols2));
      // The line is shown whole at the new width (spaces are wrap gaps).
      std::string shown;
      for (const std::string &r : s.Screen())
        for (char ch : r)
          if (ch != ' ') shown += ch;
      if (state == EDITING) {
        EXPECT_NE(shown.find(typed), std::string::npos) << s.ScreenText();
      }
      // Erasing goes back across the new wrap, through a double-width
      // character, and typing goes on.
      s.Send(Repeat("\x7f", 28) + "!\r");
      ASSERT_TRUE(s.WaitExit());
      std::string want = state == EDITING ? typed.substr(0, typed.size() - 30) : "";
      EXPECT_EQ(s.Get("line"), state == EDITING ? want + "!\x1f" : "!\x1f");
    } else {
      ASSERT_TRUE(s.WaitStep("output"));
      ASSERT_TRUE(s.WaitForScreenText("row 2"));
      if (state == STOPPED) {
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
      EXPECT_NE(s.ScreenText().find("row 2999 \xe6\xbc\xa2\xe5\xad\x97 y"),
                std::string::npos)
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
