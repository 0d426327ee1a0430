// Key sources in their order, the key reader's escape sequences, the poll
// that never waits, and output flow control with the stop and start keys and
// with interrupts while output is stopped.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
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

Vals Keys(int n, Vals v = {}) {
  while (n-- > 0)
    v << KeyIn();
  return v;
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
// escape sequences mangled), a peek that maps an arrow (it reads raw bytes),
// the stop and start keys handed to the reader, bytes invented when input
// ends right after ESC or ESC [, and a peek or d_keylength that takes the
// end of input for a key.
TEST(KeySources, OrderEscapesAndSpecialKeys) {
  bench::Scenario s(bench::Options{}, [] {
    StartConsole();
    bench::Step("order");
    InputWithin(5000);
    Vals order;
    order << key_scan();
    C_keyback('k');
    bench::Report("order", Keys(3, order).s);
    bench::Step("escapes");
    bench::Report("escapes", Keys(3, Keys(6) << KeyIn(P1_d_keypeek)).s);
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
    eof << KeyIn(P1_d_keypeek) << KeyIn(P1_d_keylength) << Console->typeahead_count;
    bench::Report("eof", eof.s);
  });
  ASSERT_TRUE(s.WaitStep("order"));
  s.Send("tT");
  ASSERT_TRUE(s.WaitStep("escapes"));
  s.Send("\x1b[A\x1b[Z\x1bx\x1b[A");
  ASSERT_TRUE(s.WaitStep("stop"));
  s.Send("\x13y\x11z");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("order"), "1 107 116 84"); // pushed back, typed ahead, terminal
  EXPECT_EQ(s.Get("escapes"), "21 27 91 90 27 120 27 27 91 65");
  EXPECT_EQ(s.Get("stop"), "121 1 122 0"); // Ctrl-S, Ctrl-Q swallowed and acted on
  EXPECT_EQ(s.Get("eof"), "27 0 27 1 91 0 -1 0 0");
}

// Catches: key_scan waiting or changing descriptor 0's status flags, the ring
// losing order across its end or keeping a 257th byte, key_scan answering 0
// on a full ring, Ctrl-S acted on (not kept as a key) with sig_state 1 or no
// interrupt request there for BEL,
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
    InputWithin(5000);
    eintflg = 0;
    Vals bel;
    bel << key_scan() << Console->output_stopped << eintflg << key_scan() << eintflg
        << KeyIn() << KeyIn();
    bench::Report("bel", bel.s);
    C_SetSigState(0);
    bench::Step("flood"); // the ring's head is one byte in: the flood wraps
    int ones = 0;
    while (ones < 257 && (key_scan() ? ++ones : InputWithin(5000)))
      ;
    Vals ring;
    ring << ones << Console->typeahead_count;
    std::string got;
    for (int i = 0; i < 256; i++)
      got += (char)KeyIn();
    bench::Report("ring", (ring << Console->typeahead_count).s + " " + got);
    C_keyback('k');
    bench::Step("flush");
    InputWithin(5000);
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
  s.Send("\x13\a");
  ASSERT_TRUE(s.WaitStep("flood"));
  s.Send(flood);
  ASSERT_TRUE(s.WaitStep("flush"));
  s.Send("q");
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.Get("empty"), "0 1 1 0 1 1");
  EXPECT_EQ(s.Get("bel"), "1 0 0 1 1 19 7");
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

volatile sig_atomic_t sigints_seen, passed_on;

// The engine's SIGINT handler as an engine may write it: from the second
// interrupt on it releases stopped output with C_Unlock.  It counts its runs,
// and those with another handler (the module's) as the SIGINT action, that
// is, those the module passed on; a mark on standard error tells the parent.
void EngineSigint(int) {
  struct sigaction now;
  sigaction(SIGINT, nullptr, &now);
  passed_on = passed_on + (now.sa_handler != EngineSigint);
  sigints_seen = sigints_seen + 1;
  if (sigints_seen >= 2) C_Unlock();
  ssize_t n = write(2, "<engine SIGINT>", 15);
  (void)n;
}

// Catches: C_Unlock not clearing a stop that key_scan set before the next
// scroll; a Ctrl-C while a scroll waits for Ctrl-Q that does not reach the
// engine's handler exactly once, ends the wait, lets the scroll through or
// echoes "^C"; a second one that is not passed on too (the module's handler
// not armed again, or SIGINT left blocked); a scroll that keeps waiting after
// an engine handler called C_Unlock; descriptor 0 left non-blocking; the
// engine's action not put back (or not in old_hand); and the stop, interrupt
// or start keys kept as typeahead.
TEST(FlowControl, InterruptAndUnlockWhileStopped) {
  bench::Options opt;
  opt.rows = 10;
  bench::Scenario s(opt, [] {
    StartConsole();
    struct sigaction act {};
    act.sa_handler = EngineSigint;
    sigaction(SIGINT, &act, nullptr);
    bench::Step("scan");
    InputWithin(5000);
    Vals v;
    v << key_scan() << Console->output_stopped;
    C_Unlock();
    for (int i = 0; i < 30; i++)
      Put("line " + std::to_string(i) + "\n");
    Put("last");
    Pause("full");
    v << InputWithin(10000);
    Put("\n"); // scrolls: stopped by the Ctrl-S until the engine's C_Unlock
    Put("after");
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    v << sigints_seen << passed_on << ((fcntl(0, F_GETFL) & O_NONBLOCK) != 0)
      << (now.sa_handler == EngineSigint) << (old_hand.sa_handler == EngineSigint)
      << Console->output_stopped << Console->typeahead_count;
    bench::Report("state", v.s);
    ReportShadow();
  });
  ASSERT_TRUE(s.WaitStep("scan"));
  s.Send("\x13");
  ASSERT_TRUE(s.WaitStep("full")) << "C_Unlock did not release the stop";
  std::vector<std::string> full = s.Screen();
  s.Send("\x13");
  s.Go();
  ASSERT_TRUE(WaitReadingStdin(s)) << "the scroll should wait for the start character";
  EXPECT_EQ(s.Screen(), full) << "the stopped scroll must not have scrolled yet";
  size_t mark = s.RawOutput().size();
  s.Send("\x03");
  ASSERT_TRUE(s.WaitFor([&] { return s.Stderr() == "<engine SIGINT>"; },
                        "the engine's SIGINT handler to run"));
  ASSERT_TRUE(WaitReadingStdin(s)) << "the interrupt must not end the wait";
  s.Send("");
  EXPECT_EQ(s.Screen(), full) << "the interrupt must not let the scroll through";
  EXPECT_EQ(s.RawOutput().find("^C", mark), std::string::npos);
  s.Send("\x03"); // the handler calls C_Unlock now
  ExpectCleanExit(s);
  EXPECT_EQ(s.Stderr(), "<engine SIGINT><engine SIGINT>");
  // key_scan, stopped; Ctrl-S seen; runs, passed on; non-blocking; engine's
  // action, in old_hand; stopped; typeahead.
  EXPECT_EQ(s.Get("state"), "0 1 1 2 2 0 1 1 0 0");
  EXPECT_TRUE(bench::ScreenEqualsShadow(s));
  EXPECT_TRUE(bench::CursorEqualsShadow(s));
  EXPECT_EQ(Row(s, 0), "line 22");
  EXPECT_EQ(Row(s, 8), "last");
  EXPECT_EQ(Row(s, 9), "after");
}

} // namespace
