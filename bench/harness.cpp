// The benchmark harness; see harness.h.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace qxb {

namespace {

constexpr int kSideFd = 3;
const char kMarkerPrefix[] = "\x1b]5379;";
constexpr size_t kMarkerPrefixLen = sizeof kMarkerPrefix - 1;

// Writes the whole buffer, waiting through EINTR and EAGAIN; false on error.
bool WriteAll(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Milliseconds left until the deadline, at least 0.
int MsLeft(long long deadline_ns) {
  long long left = (deadline_ns - NowNs()) / 1000000;
  return left < 0 ? 0 : static_cast<int>(left);
}

// True for the variables that the child's terminal set-up replaces.
bool Replaced(const char *kv) {
  static const char *const names[] = {
      "TERM=", "TERMINFO=", "TERMINFO_DIRS=", "TERMCAP=", "LINES=", "COLUMNS=",
      "LANG=", "LC_",       "INPUTRC="};
  for (const char *n : names)
    if (strncmp(kv, n, strlen(n)) == 0) return true;
  return false;
}

// The child's environment: ours without terminal and locale settings, then
// TERM=xterm, LC_ALL=C.UTF-8, no readline init file, and the extras.
std::vector<std::string> ChildEnv(const Spawn &spawn) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    if (!Replaced(*e)) env.push_back(*e);
  env.push_back("TERM=xterm");
  env.push_back("LC_ALL=C.UTF-8");
  env.push_back("INPUTRC=/dev/null");
  for (const auto &kv : spawn.env)
    env.push_back(kv);
  return env;
}

// NULL-terminated pointers into the strings (which must outlive the result).
std::vector<char *> Pointers(std::vector<std::string> &strings) {
  std::vector<char *> p;
  for (auto &s : strings)
    p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// In the forked child, before exec (async-signal-safe calls only): a new
// session with the slave as controlling terminal on 0 and 1, the side channel
// on 3, every other descriptor but 2 closed, default signal actions.
[[noreturn]] void ExecChild(int slave, int side, char *const *argv, char *const *envp) {
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setsid();
  int s = fcntl(slave, F_DUPFD, 10), c = fcntl(side, F_DUPFD, 10);
  ioctl(s, TIOCSCTTY, 0);
  dup2(s, 0);
  dup2(s, 1);
  dup2(c, kSideFd);
  close_range(kSideFd + 1, ~0U, 0);
  execve(argv[0], argv, envp);
  _exit(127);
}

} // namespace

// ---- Time and statistics -----------------------------------------------------

// See harness.h.
long long NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// See harness.h.
double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// See harness.h.
double Quantile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  if (rank < 1) rank = 1;
  return v[std::min(rank, v.size()) - 1];
}

// ---- Command line -----------------------------------------------------------------

// See harness.h.
Options ParseOptions(int argc, char **argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--strict")
      opt.strict = true;
    else if (a == "--quick")
      opt.quick = true;
    else if (a == "--rounds" && i + 1 < argc)
      opt.rounds = std::max(1, atoi(argv[++i]));
    else if (a == "--callgrind" && i + 1 < argc)
      opt.callgrind_out = argv[++i];
    else
      opt.rest.push_back(a);
  }
  if (opt.quick) opt.rounds = std::min(opt.rounds, 2);
  return opt;
}

// See harness.h.
std::string SelfExe() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// See harness.h.
std::string SelfDir() {
  std::string exe = SelfExe();
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

// ---- Parent side ---------------------------------------------------------------------

// See harness.h.
PtyChild::~PtyChild() {
  if (pid_ > 0 && !reaped_) {
    Kill();
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  stop_ = true;
  if (drain_.joinable()) drain_.join();
  for (int fd : {master_, side_, pidfd_})
    if (fd >= 0) close(fd);
}

// See harness.h.
bool PtyChild::Start(const Spawn &spawn) {
  winsize ws{};
  ws.ws_row = static_cast<unsigned short>(spawn.rows);
  ws.ws_col = static_cast<unsigned short>(spawn.cols);
  int slave = -1, sp[2] = {-1, -1};
  if (openpty(&master_, &slave, nullptr, nullptr, &ws) != 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp) != 0) {
    error_ = std::string("cannot open a pty: ") + strerror(errno);
    return false;
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  std::vector<std::string> args = spawn.argv, env = ChildEnv(spawn);
  std::vector<char *> argv = Pointers(args), envp = Pointers(env);
  pid_ = fork();
  if (pid_ == 0) ExecChild(slave, sp[1], argv.data(), envp.data());
  close(slave);
  close(sp[1]);
  side_ = sp[0];
  if (pid_ < 0) {
    error_ = std::string("fork: ") + strerror(errno);
    return false;
  }
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  return true;
}

// See harness.h.
void PtyChild::StartDrain() {
  drain_ = std::thread([this] { DrainLoop(); });
}

// Reads the master until the terminal hangs up (every slave closed) or the
// parent stops the reader; when QXB_DUMP names a file, every byte read is
// appended to it as well.
void PtyChild::DrainLoop() {
  static thread_local char buf[1 << 16];
  const char *dump_path = getenv("QXB_DUMP");
  FILE *dump = dump_path ? fopen(dump_path, "ab") : nullptr;
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    int r = poll(&p, 1, 100);
    if (r == 0 && stop_) break;
    if (r <= 0) continue;
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
      Scan(buf, static_cast<size_t>(n));
      if (dump) fwrite(buf, 1, static_cast<size_t>(n), dump);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      break;
    }
  }
  if (dump) fclose(dump);
}

// Counts the bytes and cuts them into segments at markers.
void PtyChild::Scan(const char *data, size_t n) {
  long long plain = 0;
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < n; ++i) {
    char c = data[i];
    if (in_label_) {
      if (c != '\a') {
        label_ += c;
        continue;
      }
      segments_[label_].push_back(segment_);
      if (label_ == "end") end_marker_seen_ = true;
      segment_ = 0;
      label_.clear();
      in_label_ = false;
      continue;
    }
    if (c == kMarkerPrefix[match_]) {
      if (++match_ == kMarkerPrefixLen) in_label_ = true, match_ = 0;
      continue;
    }
    plain += static_cast<long long>(match_);
    segment_ += static_cast<long long>(match_);
    match_ = c == kMarkerPrefix[0] ? 1 : 0;
    if (match_ == 0) plain++, segment_++;
  }
  bytes_ += plain;
}

// See harness.h.
std::map<std::string, std::vector<long long>> PtyChild::Segments() const {
  std::lock_guard<std::mutex> lock(mu_);
  return segments_;
}

// See harness.h.
double PtyChild::Result(const std::string &key) const {
  auto it = results_.find(key);
  return it == results_.end() ? std::nan("") : atof(it->second.c_str());
}

// Reads the side channel into results until the child's END; false when the
// channel closed first or the deadline passed.
bool PtyChild::ReadSideUntilEnd(long long deadline_ns) {
  for (;;) {
    size_t nl;
    while ((nl = side_buf_.find('\n')) != std::string::npos) {
      std::string line = side_buf_.substr(0, nl);
      side_buf_.erase(0, nl + 1);
      if (line == "END") return true;
      size_t sp = line.find(' ', 2);
      if (line.rfind("R ", 0) == 0 && sp != std::string::npos)
        results_[line.substr(2, sp - 2)] = line.substr(sp + 1);
    }
    pollfd p{side_, POLLIN, 0};
    int r = poll(&p, 1, MsLeft(deadline_ns));
    if (r == 0) return false;
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    char buf[4096];
    ssize_t n = read(side_, buf, sizeof buf);
    if (n <= 0) return false;
    side_buf_.append(buf, static_cast<size_t>(n));
  }
}

// Waits until the reader has seen the "end" marker; false on the deadline.
bool PtyChild::WaitForEndMarker(long long deadline_ns) {
  while (NowNs() < deadline_ns) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (end_marker_seen_) return true;
    }
    usleep(500);
  }
  return false;
}

// Waits for the child's exit until the deadline; true when it exited.
bool PtyChild::Reap(long long deadline_ns) {
  for (;;) {
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (NowNs() >= deadline_ns) return false;
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      poll(&p, 1, std::max(1, std::min(MsLeft(deadline_ns), 200)));
    } else {
      usleep(1000);
    }
  }
}

// Kills the child's process group (and the child, should it have none yet).
void PtyChild::Kill() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
}

// See harness.h.
bool PtyChild::Finish(int timeout_ms) {
  if (pid_ <= 0) return false;
  long long deadline = NowNs() + static_cast<long long>(timeout_ms) * 1000000LL;
  bool ended = ReadSideUntilEnd(deadline);
  if (ended && drain_.joinable() && !WaitForEndMarker(deadline))
    error_ = "the child's last output never arrived";
  if (ended) WriteAll(side_, "!");
  if (!Reap(deadline)) {
    error_ = "timed out after " + std::to_string(timeout_ms) + " ms; killed";
    Kill();
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  stop_ = true;
  if (drain_.joinable()) drain_.join();
  if (error_.empty() && !(WIFEXITED(status_) && WEXITSTATUS(status_) == 0))
    error_ = WIFSIGNALED(status_)
                 ? "killed by signal " + std::to_string(WTERMSIG(status_))
                 : "exit status " + std::to_string(WEXITSTATUS(status_));
  return error_.empty();
}

// ---- Child side
// ---------------------------------------------------------------------------

// See harness.h.
void Report(const std::string &key, const std::string &value) {
  WriteAll(kSideFd, "R " + key + " " + value + "\n");
}

// See harness.h.
void Report(const std::string &key, double value) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.9g", value);
  Report(key, std::string(buf));
}

// See harness.h.
void Marker(const std::string &label) {
  fflush(stdout);
  WriteAll(1, kMarkerPrefix + label + "\a");
}

// See harness.h.
void Finish() {
  fflush(nullptr);
  Marker("end");
  WriteAll(kSideFd, "END\n");
  char c;
  for (;;) {
    ssize_t n = read(kSideFd, &c, 1);
    if (n >= 0 || errno != EINTR) break;
  }
  _exit(0);
}

// ---- Text
// ------------------------------------------------------------------------------------

// See harness.h.
int Columns(const std::string &ch) {
  return ch.size() == 3 ? 2 : 1;
}

namespace {

// A small deterministic generator (the same text on every run).
struct Lcg {
  unsigned state;
  // Returns the next value in 0..n-1.
  unsigned Next(unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % n;
  }
};

// One non-space character: ASCII only, or from the UTF-8 mix (about half
// ASCII, three tenths one-column multibyte, one fifth two-column); a
// two-column character only when `room` allows it.
std::string PickChar(Lcg &g, bool utf8, int room) {
  static const char *const narrow[] = {"é", "ü", "ñ", "ø", "ß", "α", "β", "λ", "ж", "ω"};
  static const char *const wide[] = {"漢", "字", "日", "本", "語", "あ", "い", "カ"};
  unsigned kind = utf8 ? g.Next(10) : 0;
  if (kind >= 8 && room >= 2) return wide[g.Next(8)];
  if (kind >= 5 && kind < 8) return narrow[g.Next(10)];
  return std::string(1, static_cast<char>('!' + g.Next(94)));
}

} // namespace

// See harness.h.
std::vector<std::string> LineChars(bool utf8, int columns, unsigned seed, bool spaces) {
  Lcg g{seed * 2654435761u + 1};
  std::vector<std::string> line;
  int used = 0, word_left = 1 + static_cast<int>(g.Next(8));
  while (used < columns) {
    if (spaces && word_left == 0 && columns - used > 1) {
      line.push_back(" ");
      used++;
      word_left = 1 + static_cast<int>(g.Next(8));
      continue;
    }
    std::string ch = PickChar(g, utf8, columns - used);
    line.push_back(ch);
    used += Columns(ch);
    word_left = word_left > 0 ? word_left - 1 : 0;
  }
  return line;
}

// ---- Reporting
// ----------------------------------------------------------------------------------

namespace {
int misses = 0;
}

// See harness.h.
void Goal(bool pass, const std::string &what) {
  if (!pass) misses++;
  printf("%s %s\n", pass ? "PASS" : "MISS", what.c_str());
  fflush(stdout);
}

// See harness.h.
int Misses() {
  return misses;
}

// See harness.h.
int ExitStatus(const Options &opt) {
  return opt.strict && misses > 0 ? 1 : 0;
}

// See harness.h.
std::string MachineLine() {
  std::string model = "unknown CPU";
  std::ifstream cpu("/proc/cpuinfo");
  for (std::string line; std::getline(cpu, line);) {
    if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname u{};
  uname(&u);
  return "machine: nproc " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + ", " +
         model + ", kernel " + u.release;
}

} // namespace qxb
