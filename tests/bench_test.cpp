// Tests of the terminal bench itself (never the module), limited to what
// would let a module fault pass unseen.
#include "bench.h"

#include <gtest/gtest-spi.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Catches a wrong wrap at once (the bench adds it to libvterm): the last column (also of
// a wide character, a sequence split anywhere) not moving the cursor on, the region's
// bottom not scrolling, DECAWM or a reset ignored, a string taken as text.
TEST(WrapAtOnce, RendersLikeSuchATerminal) {
  const char *const cases[][2] = {
      // bytes; the rows of a 3x4 screen, '|' between them, then @ the cursor
      {"abcd", "abcd|    |    @1,0"},
      {"abcdefghijkl", "efgh|ijkl|    @2,0"},
      {"abc\xe6\x97\xa5x", "abc |\xe6\x97\xa5x |    @1,3"},
      {"ab\xe6\x97\xa5", "ab\xe6\x97\xa5|    |    @1,0"},
      {"\x1b[1;2r\x1b[2;1Habcdx", "abcd|x   |    @1,1"},
      {"\x1b[?7;1labcdef", "abcf|    |    @0,3"},
      {"\x1b[?7l\x1b[?7habcd", "abcd|    |    @1,0"},
      {"\x1b[?7l\033cabcd", "abcd|    |    @1,0"},
      {"\x1b]0;abcd\x07\x1b[3;1Habcd", "    |abcd|    @2,0"},
  };
  for (const auto &c : cases) {
    auto t = std::make_unique<bench::Terminal>(3, 4, bench::Wrap::Immediate);
    for (char b : std::string(c[0]))
      t->Feed(std::string(1, b)); // a sequence split anywhere
    std::string got;
    for (const std::string &r : t->Rows())
      got += (got.empty() ? "" : "|") + r;
    got += "@" + std::to_string(t->Cursor().row) + "," + std::to_string(t->Cursor().col);
    EXPECT_EQ(got, c[1]) << bench::Printable(c[0]);
  }
}

// Catches a child's crash not reported at once with its signal and status, or not at all
// when no wait saw it; a missed step or bench::Fail not failing the test; a hung child
// that makes a wait hang or pass, or outlives the test.
TEST(Failures, CrashHangAndMissedStepFail) {
  const struct {
    void (*child)();  // what the child does
    const char *wait; // a step, "exit" (WaitExit), or none (the process ends)
    int timeout_ms;
    std::string says, ends; // what the bench reports; then " exit N" or " no exit"
  } rows[] = {
      {[] { raise(SIGSEGV); }, "after", 10000, "killed by SIGSEGV", " exit 139"},
      {[] {}, "two", 10000, "exited with status 0 while waiting", " exit 0"},
      {[] { abort(); }, nullptr, 10000, "killed by SIGABRT and no wait reported it", ""},
      {[] { bench::Fail("value was 7"); }, "exit", 10000, "reported: value was 7", ""},
      {[] { sleep(60); }, "never", 300, "timed out", " no exit"},
  };
  for (const auto &row : rows) {
    testing::TestPartResultArray failures; // what the bench reported itself
    std::string seen;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    {
      testing::ScopedFakeTestPartResultReporter reporter(&failures); // this thread
      bench::Options opt;
      opt.timeout_ms = row.timeout_ms;
      bench::Scenario s(opt, row.child);
      pid = s.pid;
      if (row.wait == nullptr) {
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
      } else {
        testing::AssertionResult r =
            row.wait == std::string("exit") ? s.WaitExit() : s.WaitStep(row.wait);
        seen += r ? "passed" : r.message();
        seen += s.WaitExit() ? " exit " + std::to_string(s.ExitCode()) : " no exit";
      }
    }
    for (int i = 0; i < failures.size(); i++)
      seen = failures.GetTestPartResult(i).message() + ("\n" + seen);
    EXPECT_TRUE(seen.find(row.says) != std::string::npos && // (then longer than ends)
                seen.rfind(row.ends) == seen.size() - row.ends.size())
        << seen;
    EXPECT_LT((std::chrono::steady_clock::now() - t0) / std::chrono::milliseconds(1),
              2000)
        << seen;
    EXPECT_TRUE(kill(pid, 0) == -1 && errno == ESRCH)
        << "the child was not killed and reaped";
  }
}

} // namespace
