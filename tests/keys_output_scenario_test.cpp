// Key sources in their order, the key reader's escape sequences, the poll
// that never waits, and output flow control with the stop and start keys.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

// Values joined by spaces, taken left to right (<< is sequenced).
struct Vals {
  std::string s;
  Vals &operator<<(long long v) {
    s += (s.empty() ? "" : " ") + std::to_string(v);
    return *this;
  }
};

// The next key as d_keyin/1 takes it (keyback stack, typeahead ring, terminal).
long long KeyIn() {
  host_args_reset();
  TermCell *v = host_push(host_var());
  BuiltinFrame frame{};
  P1_d_keyin(&frame);
  int64_t code = -1000;
  host_get_int(v, &code);
  return code;
}

Vals Keys(int n, Vals v = {}) {
  while (n-- > 0)
    v << KeyIn();
  return v;
}

// Waits up to 5 s for a byte on descriptor 0.
bool InputReady() {
  pollfd p{0, POLLIN, 0};
  return poll(&p, 1, 5000) == 1;
}

// Makes descriptor 0 a pipe that holds `bytes` and then ends.
void StdinFrom(const std::string &bytes) {
  int fds[2];
  if (pipe(fds) != 0 ||
      write(fds[1], bytes.data(), bytes.size()) != (ssize_t)bytes.size())
    bench::Fail("pipe");
  close(fds[1]);
  dup2(fds[0], 0);
  close(fds[0]);
}

// Catches: keys taken out of key order, the arrow keys not mapped (or other
// escape sequences mangled), the stop and start keys handed to the reader,
// and bytes invented when input ends right after ESC or ESC [.
TEST(KeySources, OrderEscapesAndSpecialKeys) {
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    bench::Step("order");
    InputReady();
    Vals order;
    order << key_scan();
    C_keyback('k');
    bench::Report("order", Keys(3, order).s);
    bench::Step("escapes");
    bench::Report("escapes", Keys(6).s);
    C_NORMAL();
    bench::Step("stop");
    Vals stop;
    stop << KeyIn() << Console->output_stopped << KeyIn() << Console->output_stopped;
    bench::Report("stop", stop.s);
    StdinFrom("\x1b");
    Vals eof;
    eof << KeyIn() << Console->keyback_count;
    StdinFrom("\x1b[");
    eof << KeyIn() << Console->keyback_count << KeyIn() << Console->keyback_count;
    bench::Report("eof", eof.s);
  });
  ASSERT_TRUE(s.WaitStep("order"));
  s.Send("tT");
  ASSERT_TRUE(s.WaitStep("escapes"));
  s.Send("\x1b[A\x1b[Z\x1bx");
  ASSERT_TRUE(s.WaitStep("stop"));
  s.Send("\x13y\x11z");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("order"), "1 107 116 84"); // pushed back, typed ahead, terminal
  EXPECT_EQ(s.Get("escapes"), "21 27 91 90 27 120");
  EXPECT_EQ(s.Get("stop"), "121 1 122 0"); // Ctrl-S, Ctrl-Q swallowed and acted on
  EXPECT_EQ(s.Get("eof"), "27 0 27 1 91 0");
}

// Catches: key_scan waiting or changing descriptor 0's status flags, the ring
// losing order across its end or keeping a 257th byte, key_scan answering 0
// on a full ring, no interrupt request for BEL with sig_state 1,
// C_FlushTypeahead emptying the wrong buffer, and wrong multibyte pushes.
TEST(KeySources, PollRingAndKeyback) {
  std::string flood;
  for (int i = 0; i < 257; i++)
    flood += (char)(33 + i % 90);
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    Vals empty;
    for (int extra : {0, O_NONBLOCK}) {
      int before = fcntl(0, F_GETFL) | extra;
      fcntl(0, F_SETFL, before);
      timespec t0, t1;
      clock_gettime(CLOCK_MONOTONIC, &t0);
      empty << key_scan();
      clock_gettime(CLOCK_MONOTONIC, &t1);
      long ms = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000;
      empty << (fcntl(0, F_GETFL) == before) << (ms < 500);
      fcntl(0, F_SETFL, before & ~O_NONBLOCK);
    }
    bench::Report("empty", empty.s);
    C_SetSigState(1);
    bench::Step("bel");
    InputReady();
    eintflg = 0;
    Vals bel;
    bel << key_scan() << eintflg << KeyIn();
    bench::Report("bel", bel.s);
    C_SetSigState(0);
    bench::Step("flood"); // the ring's head is one byte in: the flood wraps
    int ones = 0;
    while (ones < 257 && (key_scan() ? ++ones : InputReady()))
      ;
    Vals ring;
    ring << ones << Console->typeahead_count;
    std::string got;
    for (int i = 0; i < 256; i++)
      got += (char)KeyIn();
    bench::Report("ring", (ring << Console->typeahead_count).s + " " + got);
    C_keyback('k');
    bench::Step("flush");
    InputReady();
    key_scan();
    Vals v;
    C_FlushTypeahead(0);
    v << Console->keyback_count << Console->typeahead_count;
    C_FlushTypeahead(1);
    v << Console->keyback_count << C_keyback(0xA4A2) << Console->keyback[0]
      << Console->keyback[1];
    v << KeyIn() << KeyIn();
    host_set_charset(HOST_SINGLE);
    v << C_keyback(0xA4A2) << Console->keyback_count << KeyIn();
    host_set_charset(HOST_UTF8);
    for (int i = 0; i < 255; i++)
      C_keyback('x');
    v << C_keyback(0xA4A2) << Console->keyback_count << Console->keyback[255];
    bench::Report("stack", v.s);
  });
  ASSERT_TRUE(s.WaitStep("bel"));
  s.Send("\a");
  ASSERT_TRUE(s.WaitStep("flood"));
  s.Send(flood);
  ASSERT_TRUE(s.WaitStep("flush"));
  s.Send("q");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("empty"), "0 1 1 0 1 1");
  EXPECT_EQ(s.Get("bel"), "1 1 7");
  EXPECT_EQ(s.Get("ring"), "257 256 0 " + flood.substr(0, 256));
  // Flushes keep, then drop, the keyback; 0xA4A2 pushes A2 then A4 and reads
  // back A4, A2; one byte without multibyte characters; one byte onto 255.
  EXPECT_EQ(s.Get("stack"), "1 0 0 1 162 164 164 162 1 1 162 0 256 162");
}

// Catches: output that does not stop at the next scroll after Ctrl-S, more or
// less than one row let through per further Ctrl-S, no resumption on Ctrl-Q,
// and keys typed while stopped lost or reordered.
TEST(FlowControl, StopStepAndStart) {
  bench::Options opt;
  opt.rows = 10;
  bench::Scenario s(opt, [] {
    StartConsole();
    bench::Step("ready");
    bench::WaitParent();
    for (int i = 0; i < 200; i++)
      Put("line " + std::to_string(i) + "\n");
    std::string ahead;
    while (Console->typeahead_count > 0)
      ahead += (char)KeyIn();
    bench::Report("typeahead", ahead);
    bench::Step("done");
  });
  auto shows = [&](int first) {
    for (int r = 0; r < 10; r++)
      if (Row(s, r) != "line " + std::to_string(first + r))
        return testing::AssertionFailure() << s.ScreenText();
    return testing::AssertionSuccess();
  };
  ASSERT_TRUE(s.WaitStep("ready"));
  s.Send("\x13");
  s.Go();
  ASSERT_TRUE(WaitReadingStdin(s));
  EXPECT_TRUE(shows(0)); // the scroll after "line 9" waits
  s.Send("\x13");
  ASSERT_TRUE(s.WaitForScreenText("line 10"));
  ASSERT_TRUE(WaitReadingStdin(s));
  EXPECT_TRUE(shows(1));
  s.Send("ab\x13");
  ASSERT_TRUE(s.WaitForScreenText("line 11"));
  ASSERT_TRUE(WaitReadingStdin(s));
  EXPECT_TRUE(shows(2));
  s.Send("\x11");
  ASSERT_TRUE(s.WaitStep("done"));
  EXPECT_EQ(s.Get("typeahead"), "ab");
  EXPECT_EQ(Row(s, 8), "line 199");
  EXPECT_EQ(Row(s, 9), "");
}

int sigint_seen;
// The engine's SIGINT handler as an engine may write it: it releases output.
void EngineSigint(int) {
  sigint_seen++;
  C_Unlock();
}

// Catches: C_Unlock not clearing a stop that key_scan set before the next
// scroll, and a scroll that keeps waiting after an interrupt whose engine
// handler called C_Unlock.
TEST(FlowControl, UnlockReleasesStoppedOutput) {
  bench::Options opt;
  opt.rows = 10;
  bench::Scenario s(opt, [] {
    StartConsole();
    struct sigaction act {};
    act.sa_handler = EngineSigint;
    sigaction(SIGINT, &act, nullptr);
    bench::Step("scan");
    InputReady();
    Vals v;
    v << key_scan() << Console->output_stopped;
    C_Unlock();
    for (int i = 0; i < 30; i++)
      Put("early " + std::to_string(i) + "\n");
    bench::Step("unlocked");
    bench::WaitParent();
    for (int i = 0; i < 30; i++)
      Put("late " + std::to_string(i) + "\n");
    bench::Report("seen", (v << sigint_seen << Console->output_stopped).s);
  });
  ASSERT_TRUE(s.WaitStep("scan"));
  s.Send("\x13");
  ASSERT_TRUE(s.WaitStep("unlocked"));
  s.Send("\x13");
  s.Go();
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("\x03");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("seen"), "0 1 1 0");
}

// Catches: a stopped scroll that spins or waits for ever once standard input
// has ended (the wait must end and output resume).
TEST(FlowControl, EndOfInputWhileStoppedResumes) {
  bench::Options opt;
  opt.rows = 10;
  bench::Scenario s(opt, [] {
    StartConsole();
    StdinFrom("\x13"); // Ctrl-S typed, then the input ends
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (int i = 0; i < 200; i++)
      Put("line " + std::to_string(i) + "\n");
    getrusage(RUSAGE_SELF, &after);
    auto ms = [](const rusage &u) {
      return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000LL +
             (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
    };
    bench::Report("cpu_ms", ms(after) - ms(before));
    bench::Report("stopped", Console->output_stopped);
    bench::Step("done");
  });
  ASSERT_TRUE(s.WaitStep("done"));
  EXPECT_EQ(s.Get("stopped"), "0");
  EXPECT_LT(std::stoll(s.Get("cpu_ms")), 1500);
  EXPECT_EQ(Row(s, 8), "line 199");
}

} // namespace
