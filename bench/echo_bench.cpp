// Echo latency: the time from a key written to the pty master until its echo
// comes back, while a line is edited at the top level.  Three programs under
// the same harness, on the same kind of pty (80x24):
//   raw       qx_echo_raw: raw mode, one write() per key (the baseline);
//   readline  qx_echo_readline: GNU readline in a loop (the peer);
//   module    this program as a child: the console started as an engine
//             does, reading `user` with host_getc in a loop, so that the
//             line editor edits each line with echo.
// The parent sends printable keys one at a time ('a'..'z' in turn) and waits
// for each echo: it reads the master, skips escape sequences, and stops the
// clock when the key's byte appears as text.  Output still arriving from the
// previous key is read (and ignored) before the next key goes out.  Every
// 60 keys it sends Enter and waits for the next prompt ('|') and a quiet
// moment; that is not timed.  The first 10 keys of each round are warm-up.
// In each round the three programs run side by side and take the keys in
// turn (see RunRound); p50 and p99 are taken over all timed keys of all
// rounds.
//
//   qx_bench_echo [--rounds N] [--quick] [--strict] [--keys N]
#include "childlib.h"
#include "harness.h"

#include "host.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kKeysPerLine = 60;
constexpr int kWarmupKeys = 10;
constexpr int kKeyTimeoutMs = 3000;
const char *const kVariantName[] = {"raw", "readline", "module"};

// The child: the console reads lines from `user` until end of file.
int RunChild() {
  qxb::StartModule();
  QxStream user = C_GetStream();
  while (host_getc(user) != -1) {
  }
  qxb::StopModule();
  qxb::Finish();
}

// Finds the text in terminal output: bytes outside escape sequences (CSI,
// OSC, charset selections and two-byte escapes) and outside C0 controls.
class TextScanner {
public:
  // Feeds bytes; returns true when `want` appeared among the text bytes.
  bool Feed(const char *data, size_t n, int want) {
    bool found = false;
    for (size_t i = 0; i < n; ++i)
      if (Step(static_cast<unsigned char>(data[i])) && data[i] == want) found = true;
    return found;
  }

private:
  enum State { kText, kEsc, kCsi, kOsc, kOscEsc, kCharset };
  State state_ = kText;

  // Advances the state by one byte; true when the byte is text.
  bool Step(unsigned char c) {
    switch (state_) {
    case kText:
      if (c == 0x1b) state_ = kEsc;
      return c >= 0x20 && c != 0x7f && c != 0x1b;
    case kEsc:
      state_ = c == '['               ? kCsi
               : c == ']'             ? kOsc
               : strchr("()*+#% ", c) ? kCharset
                                      : kText;
      return false;
    case kCsi:
      if (c >= 0x40 && c <= 0x7e) state_ = kText;
      return false;
    case kOsc:
      state_ = c == 0x07 ? kText : c == 0x1b ? kOscEsc : kOsc;
      return false;
    case kOscEsc:
      state_ = c == '\\' ? kText : kOsc;
      return false;
    case kCharset:
      state_ = kText;
      return false;
    }
    return false;
  }
};

// A session with one program: the master, the scanner and the clock.
struct Session {
  int master;
  TextScanner scan;

  // Reads what has arrived within `wait_ms`; true when `want` showed up as
  // text.  -1 wants nothing.  Returns false at once when the terminal hung up.
  bool ReadFor(int want, int wait_ms, bool *hung_up) {
    pollfd p{master, POLLIN, 0};
    int r = poll(&p, 1, wait_ms);
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) {
      if (n == 0 || errno != EINTR) *hung_up = true;
      return false;
    }
    return scan.Feed(buf, static_cast<size_t>(n), want);
  }

  // Waits until `want` appears as text; false on the deadline or a hang-up.
  bool WaitFor(int want, int timeout_ms) {
    long long deadline = qxb::NowNs() + timeout_ms * 1000000LL;
    bool hung_up = false;
    while (!hung_up) {
      long long left = (deadline - qxb::NowNs()) / 1000000;
      if (left < 0) return false;
      if (ReadFor(want, static_cast<int>(left) + 1, &hung_up)) return true;
    }
    return false;
  }

  // Reads until the output has been quiet for `quiet_ms`.
  void Settle(int quiet_ms) {
    bool hung_up = false;
    for (int i = 0; i < 1000 && !hung_up; ++i) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, quiet_ms) <= 0) return;
      ReadFor(-1, 0, &hung_up);
    }
  }

  // Writes one byte to the master.
  bool Send(char c) {
    for (;;) {
      ssize_t n = write(master, &c, 1);
      if (n == 1) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }
};

// The argv of the variant's program.
std::vector<std::string> Argv(int variant) {
  std::string dir = qxb::SelfDir();
  if (variant == 0) return {dir + "/qx_echo_raw"};
  if (variant == 1) return {dir + "/qx_echo_readline"};
  return {qxb::SelfExe(), "--child", "echo"};
}

// Ends the current line (Enter) and waits for the next prompt to settle.
bool NextLine(Session &s) {
  if (!s.Send('\r') || !s.WaitFor('|', kKeyTimeoutMs)) return false;
  s.Settle(10);
  return true;
}

// Times one key: reads what is pending, sends the key and waits for its
// echo; the latency in µs, or -1 when the echo never came.
double TimeKey(Session &s, char key) {
  s.Settle(0);
  long long t0 = qxb::NowNs();
  if (!s.Send(key) || !s.WaitFor(key, kKeyTimeoutMs)) return -1;
  return static_cast<double>(qxb::NowNs() - t0) / 1000.0;
}

// One round: the three programs run side by side, each on its own pty, and
// the keys go to them in turn (the order rotating from key to key), so that
// the machine's noise falls on all three alike.  Appends the latencies of the
// timed keys; false when a program failed.
bool RunRound(int keys, std::vector<double> us[3]) {
  qxb::PtyChild child[3];
  std::vector<Session> s;
  for (int v = 0; v < 3; ++v) {
    qxb::Spawn spawn;
    spawn.argv = Argv(v);
    if (!child[v].Start(spawn)) {
      fprintf(stderr, "echo: %s\n", child[v].error().c_str());
      return false;
    }
    s.push_back(Session{child[v].master(), {}});
  }
  bool ok = true;
  for (int v = 0; v < 3 && ok; ++v) {
    ok = s[static_cast<size_t>(v)].WaitFor('|', 10000);
    s[static_cast<size_t>(v)].Settle(20);
  }
  for (int i = 0; i < keys && ok; ++i) {
    for (int j = 0; j < 3 && ok; ++j) {
      int v = (i + j) % 3;
      Session &sv = s[static_cast<size_t>(v)];
      if (i > 0 && i % kKeysPerLine == 0) ok = NextLine(sv);
      double t = ok ? TimeKey(sv, static_cast<char>('a' + i % 26)) : -1;
      if (t < 0) {
        fprintf(stderr, "echo: %s: an echo or prompt never came\n", kVariantName[v]);
        ok = false;
      } else if (i >= kWarmupKeys) {
        us[v].push_back(t);
      }
    }
  }
  for (int v = 0; v < 3; ++v) {
    if (ok) ok = NextLine(s[static_cast<size_t>(v)]);
    s[static_cast<size_t>(v)].Send('\x04');
    child[v].StartDrain();
  }
  for (int v = 0; v < 3; ++v) {
    if (!child[v].Finish(10000)) {
      fprintf(stderr, "echo: %s: %s\n", kVariantName[v], child[v].error().c_str());
      ok = false;
    }
  }
  return ok;
}

// The value of "--keys N", or the default for the mode.
int KeysArg(const qxb::Options &opt) {
  for (size_t i = 0; i + 1 < opt.rest.size(); ++i)
    if (opt.rest[i] == "--keys") return atoi(opt.rest[i + 1].c_str());
  return opt.quick ? 240 : 900;
}

// Runs the rounds, prints p50/p99 per program, the ratios and the goals.
int RunAll(const qxb::Options &opt) {
  int keys = KeysArg(opt), failures = 0;
  std::vector<double> us[3];
  for (int r = 0; r < opt.rounds; ++r)
    if (!RunRound(keys, us)) failures++;
  printf("echo: latency from key to echo at the top level, 80x24 (%d rounds x %d keys, "
         "warm-up keys dropped)\n%s\n",
         opt.rounds, keys, qxb::MachineLine().c_str());
  printf("%-9s %8s %9s %9s %9s %10s\n", "program", "samples", "p50 us", "p99 us",
         "p50/raw", "p50/rl");
  double p50[3], p99[3];
  for (int v = 0; v < 3; ++v) {
    p50[v] = qxb::Quantile(us[v], 0.5);
    p99[v] = qxb::Quantile(us[v], 0.99);
  }
  for (int v = 0; v < 3; ++v)
    printf("%-9s %8zu %9.1f %9.1f %8.2fx %9.2fx\n", kVariantName[v], us[v].size(), p50[v],
           p99[v], p50[v] / p50[0], p50[v] / p50[1]);
  char what[200];
  snprintf(what, sizeof what, "echo p50: module %.2fx raw echo (goal <= 1.5x)",
           p50[2] / p50[0]);
  qxb::Goal(p50[0] > 0 && p50[2] > 0 && p50[2] <= 1.5 * p50[0], what);
  snprintf(what, sizeof what,
           "echo p50: module %.1f us vs readline %.1f us (goal: no worse)", p50[2],
           p50[1]);
  qxb::Goal(p50[1] > 0 && p50[2] > 0 && p50[2] <= p50[1], what);
  printf("info: echo p99: module %.1f us, readline %.1f us, raw %.1f us\n", p99[2],
         p99[1], p99[0]);
  return failures;
}

} // namespace

// Child mode when called with --child echo, else the benchmark.
int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "--child") == 0 && strcmp(argv[2], "echo") == 0)
    return RunChild();
  qxb::Options opt = qxb::ParseOptions(argc, argv);
  int failures = RunAll(opt);
  if (failures) printf("echo: %d session(s) failed\n", failures);
  return failures ? 2 : qxb::ExitStatus(opt);
}
