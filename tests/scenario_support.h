// Helpers of the scenario tests, for the child and the parent side.
#ifndef QX_TESTS_SCENARIO_SUPPORT_H
#define QX_TESTS_SCENARIO_SUPPORT_H

#include "bench.h"
#include "console.h"
#include "host.h"

#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

// Starts the stand-in engine (its own SIGINT handler first, as a real engine
// does), the console stream, curses and the shadow screen.
inline void StartConsole() {
  host_init(0, nullptr);
  host_install_sigint();
  SetTerminal();
  host_set_user_input(C_GetStream());
  InitTermIO();
}

// Writes every byte of `text` to the console stream, one character per call.
inline void Put(const std::string &text) {
  for (unsigned char c : text)
    Stream__sputc(c, C_GetStream());
}

// Reads one edited line the way the engine does, byte by byte until the line
// is used up; end of file shows as <EOF>.
inline std::string ReadRecord() {
  std::string got;
  do {
    int c = host_getc(C_GetStream());
    got += c == -1 ? std::string("<EOF>") : std::string(1, static_cast<char>(c));
  } while (Console->line_len > 0);
  return got;
}

// Child: reports the shadow screen with its cursor's display column.
inline void ReportShadow() {
  bench::ReportShadow(Console, _Curses_num_cur_x);
}

// Child: true when a byte arrives on descriptor 0 within `ms` milliseconds.
inline bool InputWithin(int ms) {
  pollfd p{0, POLLIN, 0};
  int r;
  while ((r = poll(&p, 1, ms)) < 0 && errno == EINTR) {
  }
  return r > 0 && (p.revents & POLLIN);
}

// Child: the next key as d_keyin/1 takes it (keyback stack, typeahead ring,
// terminal), or the answer of another one-argument key built-in.
inline long long KeyIn(int64_t (*entry)(BuiltinFrame *) = P1_d_keyin) {
  host_args_reset();
  TermCell *v = host_push(host_var());
  BuiltinFrame frame{};
  entry(&frame);
  int64_t code = -1000;
  host_get_int(v, &code);
  return code;
}

// Parent: row `r` of the rendered screen without its trailing spaces.
inline std::string Row(const bench::Scenario &s, int r) {
  return bench::TrimRight(s.Screen().at(static_cast<size_t>(r)));
}

// Parent: the child ran to its end and exited with status 0.
inline void ExpectCleanExit(bench::Scenario &s) {
  ASSERT_TRUE(s.WaitExit());
  EXPECT_EQ(s.ExitCode(), 0) << s.stderr_text;
}

// Parent: the state letter of process `pid` (R, S, Z...; X when it is gone)
// and, in *ticks, the CPU time it has used (user plus system, clock ticks).
inline char ProcState(pid_t pid, long long *ticks = nullptr) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = all.rfind(')'); // the command name may hold spaces
  std::istringstream in(p == std::string::npos ? "X" : all.substr(p + 2));
  std::string field[13];
  for (std::string &x : field)
    in >> x;
  if (ticks)
    *ticks = field[12].empty() ? -1 : std::stoll(field[11]) + std::stoll(field[12]);
  return field[0][0];
}

// Parent: the CPU time process `pid` has used in clock ticks; -1 when gone.
inline long long CpuTicks(pid_t pid) {
  long long ticks;
  ProcState(pid, &ticks);
  return ticks;
}

// Parent: true while process `pid` sleeps in read(2) on descriptor 0 or in
// the console's ppoll(2) of it (asleep: a read about to return is not a wait).
inline bool ReadingStdin(pid_t pid) {
  if (ProcState(pid) != 'S') return false;
  std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
  std::string nr, fd, nfds;
  if (!(f >> nr >> fd >> nfds)) return false;
  return (nr == std::to_string(SYS_read) && fd == "0x0") ||
         (nr == std::to_string(SYS_ppoll) && nfds == "0x1");
}

// Parent: waits until the child sleeps reading its keyboard (seen twice, a few
// milliseconds apart), then takes in all it wrote before.
inline testing::AssertionResult WaitReadingStdin(bench::Scenario &s) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(s.opt.timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadingStdin(s.pid) && (usleep(5000), ReadingStdin(s.pid))) {
      s.Send(""); // pumps the bench's terminal and side channel
      return testing::AssertionSuccess();
    }
    s.Send("");
    usleep(2000);
  }
  return testing::AssertionFailure() << "the child never blocked reading descriptor 0;\n"
                                     << s.ScreenText();
}

// Parent: the child, blocked reading its keyboard, uses (almost) no CPU over
// `ms` milliseconds in one of two tries: a wait that spins fails.
inline testing::AssertionResult SleepsWhileWaiting(bench::Scenario &s, int ms = 300) {
  long long used = -1;
  for (int round = 0; round < 2; round++) { // a spin uses CPU in every round
    testing::AssertionResult r = WaitReadingStdin(s);
    if (!r) return r;
    long long before = CpuTicks(s.pid);
    usleep(ms * 1000);
    used = CpuTicks(s.pid) - before;
    if (before >= 0 && used <= 2 && ReadingStdin(s.pid))
      return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << "the waiting child used " << used << " ticks in " << ms << " ms";
}

#endif // QX_TESTS_SCENARIO_SUPPORT_H
