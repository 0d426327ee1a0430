// The bench's child and parent halves.  Side-channel packets, child -> parent: "R <key>\t
// <value>", "S <marker> <step name>" (marker 0: none written), "F <failure>", "E" (done);
// parent -> child: "G<data>" (for WaitParent), "!" (after "E", once every marker is in).
#include "bench.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

using namespace std::chrono_literals;
using testing::AssertionFailure;
constexpr size_t npos = std::string::npos;
constexpr int kSideFd = 3, kSyncFd = 4; // the child's side channel and marker fd
const std::string kMarkerStart = "\x1b_qxbench-step:", kMarkerEnd = "\x1b\\";

// Retries after EINTR and short writes; polls a non-blocking descriptor.
bool wire::WriteAll(int fd, const std::string &data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    pollfd p{fd, POLLOUT, 0};
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno == EAGAIN)
      poll(&p, 1, -1);
    else if (n < 0 && errno != EINTR)
      return false;
  }
  return true;
}

// One side-channel message whatever its size: its size, 0 at the end, -1.
static ssize_t Receive(int fd, std::string &msg) {
  ssize_t n = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (n > 0) msg.resize(static_cast<size_t>(n)), n = recv(fd, msg.data(), msg.size(), 0);
  return n;
}

void Report(const std::string &key, const std::string &value) {
  wire::WriteAll(kSideFd, "R " + key + "\t" + value);
}

void Report(const std::string &key, long long value) {
  Report(key, std::to_string(value));
}

void Step(const std::string &name) {
  static unsigned seq = 0;
  std::string marker = kMarkerStart + std::to_string(++seq) + kMarkerEnd;
  ssize_t n = write(kSyncFd, marker.data(), marker.size());
  if (n > 0) wire::WriteAll(kSyncFd, marker.substr(static_cast<size_t>(n)));
  wire::WriteAll(kSideFd, "S " + std::to_string(n > 0 ? seq : 0) + " " + name);
}

std::string WaitParent() {
  std::string msg;
  ssize_t n;
  while ((n = Receive(kSideFd, msg)) < 0 && errno == EINTR)
    continue;
  if (n <= 0) _exit(96);
  return msg.substr(1);
}

void Fail(const std::string &what) {
  wire::WriteAll(kSideFd, "F " + what);
  fflush(nullptr);
  _exit(97);
}

// 0, 1 = the slave (controlling terminal), 2 = the stderr pipe, 3 = the side
// channel, 4 = the slave for step markers, no others (first lifted above 9).
static void LayOutDescriptors(int slave, int err, int side, const char *name) {
  slave = fcntl(slave, F_DUPFD, 10), err = fcntl(err, F_DUPFD, 10);
  side = fcntl(side, F_DUPFD, 10);
  ioctl(slave, TIOCSCTTY, 0);
  const int from[] = {slave, slave, err, side};
  for (int fd = 0; fd <= kSideFd; ++fd)
    dup2(from[fd], fd);
  int sync = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (sync >= 0 && sync != kSyncFd) dup2(sync, kSyncFd);
  close_range(kSyncFd + 1, ~0U, 0);
}

// In the new child: default signal actions, none blocked, a new session, the options'
// environment; runs `fn`.  Exiting hangs up the terminal, discarding output still on its
// way to the master, so it first waits for the parent's "!" (or its end).
[[noreturn]] static void RunChild(int slave, int err, int side, const char *name,
                                  const Options &opt, const std::function<void()> &fn) {
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  sigset_t none{}; // empty
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setsid();
  LayOutDescriptors(slave, err, side, name);
  if (opt.stdin_mode != Stdin::Terminal) close(0);
  if (opt.stdin_mode == Stdin::DevNull) open("/dev/null", O_RDONLY); // lowest free: 0
  for (const char *var : {"LINES", "COLUMNS", "TERMINFO_DIRS", "TERMCAP"})
    unsetenv(var);
  setenv("TERM", opt.term.c_str(), 1);
  setenv("TERMINFO", QX_BENCH_TERMINFO, 1);
  setenv("LC_ALL", opt.locale.c_str(), 1);
  fn();
  fflush(nullptr);
  wire::WriteAll(kSideFd, "E");
  std::string msg;
  for (ssize_t n = 1; n > 0 ? msg != "!" : n < 0 && errno == EINTR;)
    n = Receive(kSideFd, msg);
  _exit(0);
}

// Closes a descriptor and marks it closed.
static void CloseFd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Passes each read (or side-channel message) to `take` until none waits; at end of file
// or on an error (EIO: the slave is closed) closes `fd` and returns true.
static bool Drain(int &fd, bool packets, const std::function<void(std::string)> &take) {
  std::string got;
  while (fd >= 0) {
    ssize_t n = packets ? Receive(fd, got)
                        : (got.resize(65536), read(fd, got.data(), got.size()));
    if (n > 0)
      take(got.substr(0, static_cast<size_t>(n)));
    else if (n < 0 && errno == EAGAIN)
      return false;
    else if (n == 0 || errno != EINTR)
      return CloseFd(fd), true;
  }
  return false;
}

// Sets the terminal's size (SIGWINCH to a child running in it).
static void SetSize(int master, int rows, int cols) {
  winsize ws{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
  ioctl(master, TIOCSWINSZ, &ws);
}

Scenario::Scenario(const Options &o, std::function<void()> fn)
    : opt(o), term_(std::make_unique<Terminal>(o.rows, o.cols, TerminfoWrap(o.term))) {
  int slave = -1, sp[2] = {-1, -1}, ep[2] = {-1, -1};
  char name[128] = {0};
  if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0 ||
      socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sp) != 0 ||
      pipe2(ep, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "bench: cannot set up the terminal: " << std::strerror(errno);
    return;
  }
  SetSize(master_, opt.rows, opt.cols);
  termios tio;
  tcgetattr(slave, &tio);
  for (const auto &kv : opt.cc)
    tio.c_cc[kv.first] = kv.second;
  tcsetattr(slave, TCSANOW, &tio);
  fflush(nullptr);
  pid = fork();
  if (pid == 0) RunChild(slave, ep[1], sp[1], name, opt, fn);
  if (pid < 0) ADD_FAILURE() << "bench: fork failed: " << std::strerror(errno);
  for (int fd : {slave, sp[1], ep[1]})
    close(fd);
  side_ = sp[0], err_ = ep[0];
  for (int fd : {master_, side_, err_}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  pidfd_ = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
}

Scenario::~Scenario() {
  if (pid > 0 && !reaped_) Reap(false);
  if (reaped_ && status_ != 0 && !reported_)
    ADD_FAILURE() << "bench: the child " << ChildState() << " and no wait reported it"
                  << Describe();
  if (pid > 0 && !reaped_) kill(-pid, SIGKILL), kill(pid, SIGKILL), Reap(true);
  for (int *fd : {&master_, &side_, &err_, &pidfd_})
    CloseFd(*fd);
}

// One round of waiting: all that is readable is read, an exited child reaped
// (polled for every 20 ms without a pidfd).
void Scenario::Pump(int timeout_ms) {
  pollfd fds[4];
  int n = 0;
  for (int fd : {master_, side_, err_, reaped_ ? -1 : pidfd_})
    if (fd >= 0) fds[n++] = pollfd{fd, short(POLLIN | (fd == writing_ ? POLLOUT : 0)), 0};
  if (pidfd_ < 0 && !reaped_) timeout_ms = std::min(timeout_ms, 20);
  if (poll(fds, n, std::max(timeout_ms, 0)) < 0 && errno != EINTR) return;
  if (Drain(master_, false, [&](std::string s) { OnTerminalBytes(s, false); }))
    OnTerminalBytes("", true);
  Drain(side_, true, [&](std::string msg) { OnMessage(msg); });
  Drain(err_, false, [&](std::string s) { stderr_text += s; });
  if (!reaped_ && pid > 0) Reap(false);
}

// Collects the child's status once it has exited.
void Scenario::Reap(bool block) {
  int st = 0;
  pid_t r;
  while ((r = waitpid(pid, &st, block ? 0 : WNOHANG)) < 0 && errno == EINTR)
    continue;
  if (r == pid) reaped_ = true, status_ = st, CloseFd(pidfd_);
}

// Splits the terminal stream into output and step markers.  A tail that could
// begin a marker is held back until more bytes arrive or the stream ends.
void Scenario::OnTerminalBytes(const std::string &got, bool end) {
  const std::string &start = kMarkerStart, &stop = kMarkerEnd;
  term_buf_ += got;
  size_t at, e = 0;
  while ((at = term_buf_.find(start)) != npos &&
         (e = term_buf_.find(stop, at + start.size())) != npos) {
    Emit(term_buf_.substr(0, at));
    unsigned marker =
        static_cast<unsigned>(std::stoul(term_buf_.substr(at + start.size())));
    marker_seen_ = std::max(marker_seen_, marker);
    MaybeRelease();
    term_buf_.erase(0, e + stop.size());
  }
  size_t p = at != npos ? at : term_buf_.rfind('\x1b'); // only start[0] is an ESC
  bool hold = !end && p != npos &&
              (at != npos || start.compare(0, term_buf_.size() - p, term_buf_, p) == 0);
  size_t keep = hold ? term_buf_.size() - p : 0;
  Emit(term_buf_.substr(0, term_buf_.size() - keep));
  term_buf_.erase(0, term_buf_.size() - keep);
}

// Records and renders output; the emulator's answers go back to the child.
void Scenario::Emit(const std::string &bytes) {
  raw += bytes;
  std::string replies = term_->Feed(bytes);
  if (master_ >= 0) wire::WriteAll(master_, replies);
}

// Lets a child that waits to exit go once every marker it wrote is in.
void Scenario::MaybeRelease() {
  if (!release_wanted_ || last_marker_ > marker_seen_ || side_ < 0) return;
  release_wanted_ = false;
  (void)send(side_, "!", 1, MSG_NOSIGNAL);
}

// Handles one side-channel message (see the top of this file).
void Scenario::OnMessage(const std::string &msg) {
  std::string body = msg.size() > 2 ? msg.substr(2) : "";
  size_t sep = body.find(msg[0] == 'R' ? '\t' : ' ');
  std::string after = sep == npos ? "" : body.substr(sep + 1);
  if (msg[0] == 'R') {
    reports_[body.substr(0, sep)] = after;
  } else if (msg[0] == 'S') {
    steps_.emplace_back(static_cast<unsigned>(std::stoul(body)), after);
    last_marker_ = std::max(last_marker_, steps_.back().first);
  } else if (msg[0] == 'E') {
    release_wanted_ = true;
    MaybeRelease();
  } else if (msg[0] == 'F') {
    reported_ = true;
    ADD_FAILURE() << "bench: the child reported: " << body;
  }
}

// Exit is complete when the child is reaped and its descriptors are drained.
bool Scenario::Gone() const {
  return reaped_ && master_ < 0 && side_ < 0 && err_ < 0;
}

AssertionResult Scenario::WaitFor(const std::function<bool()> &done,
                                  const std::string &what) {
  auto start = std::chrono::steady_clock::now();
  auto ms = [&] { return (std::chrono::steady_clock::now() - start) / 1ms; };
  for (long long left = opt.timeout_ms; !done(); left = opt.timeout_ms - ms()) {
    if (Gone() || pid <= 0) {
      reported_ = true;
      return AssertionFailure() << "bench: the child " << ChildState()
                                << " while waiting for " << what << Describe();
    }
    if (left <= 0)
      return AssertionFailure()
             << "bench: timed out after " << ms() << " ms waiting for " << what
             << " (the child " << ChildState() << ")" << Describe();
    Pump(static_cast<int>(left));
  }
  return testing::AssertionSuccess();
}

// Writes to the master or the side channel, pumping meanwhile so that a child
// busy writing cannot deadlock against us.
void Scenario::Push(const int &fd, const std::string &bytes, const std::string &what) {
  size_t done = 0;
  Pump(0);
  writing_ = fd;
  AssertionResult ok = WaitFor(
      [&] {
        const char *p = bytes.data() + done;
        size_t len = bytes.size() - done;
        ssize_t n = fd < 0          ? -1
                    : fd == master_ ? write(fd, p, len)
                                    : send(fd, p, len, MSG_NOSIGNAL);
        done += n > 0 ? static_cast<size_t>(n) : 0;
        return done == bytes.size();
      },
      what);
  writing_ = -1;
  if (!ok) ADD_FAILURE() << ok.message();
}

// "is running", "exited with status 3", "was killed by SIGSEGV".
std::string Scenario::ChildState() const {
  if (pid <= 0) return "was never started";
  if (!reaped_) return "is running";
  if (!WIFSIGNALED(status_))
    return "exited with status " + std::to_string(WEXITSTATUS(status_));
  const char *abbrev = sigabbrev_np(WTERMSIG(status_));
  return abbrev ? "was killed by SIG" + std::string(abbrev)
                : "was killed by signal " + std::to_string(WTERMSIG(status_));
}

// The context a failure shows.
std::string Scenario::Describe() const {
  static const char *const kWraps[] = {"delayed", "at once", "none"};
  std::ostringstream out;
  out << "\n  terminal: " << opt.term << " " << opt.rows << "x" << opt.cols << ", wrap "
      << kWraps[static_cast<int>(TerminfoWrap(opt.term))] << "\n  steps:";
  for (const auto &s : steps_)
    out << " '" << s.second << "'" << (s.first > marker_seen_ ? " (output pending)" : "");
  out << "\n  reported keys:";
  for (const auto &kv : reports_)
    out << " " << kv.first;
  out << "\n  screen:";
  for (const std::string &row : term_->Rows())
    out << "\n    |" << row << "|";
  out << "\n  cursor: row " << term_->Cursor().row << ", column " << term_->Cursor().col
      << "\n  stderr: \"" << Printable(stderr_text) << "\"\n  last output: \""
      << Printable(raw.substr(raw.size() > 300 ? raw.size() - 300 : 0)) << "\"";
  return out.str();
}

void Scenario::Send(const std::string &bytes) {
  std::string shown = Printable(bytes.substr(0, 40)) + (bytes.size() > 40 ? "..." : "");
  Push(master_, bytes, "the terminal to accept \"" + shown + "\"");
}

void Scenario::Resize(int rows, int cols, bool emulator) {
  if (emulator) Pump(0), term_->Resize(rows, cols);
  SetSize(master_, rows, cols);
}

void Scenario::Go(const std::string &data) {
  Push(side_, "G" + data, "the child to take \"" + Printable(data) + "\"");
}

// A step counts once its marker is in (marker 0, none written: at once).
AssertionResult Scenario::WaitStep(const std::string &name) {
  auto reached = [&](const auto &s) {
    return s.first <= marker_seen_ && s.second == name;
  };
  int want = taken_[name] + 1;
  AssertionResult r = WaitFor(
      [&] { return std::count_if(steps_.begin(), steps_.end(), reached) >= want; },
      "step '" + name + "'");
  if (r) taken_[name] = want;
  return r;
}

AssertionResult Scenario::WaitForScreenText(const std::string &text) {
  return WaitFor(
      [&] {
        for (const std::string &row : term_->Rows())
          if (row.find(text) != npos) return true;
        return false;
      },
      "\"" + text + "\" on the screen");
}

AssertionResult Scenario::WaitExit() {
  reported_ = true;
  return WaitFor([&] { return Gone(); }, "the child to exit");
}

int Scenario::ExitCode() const {
  return !reaped_               ? -1
         : WIFSIGNALED(status_) ? 128 + WTERMSIG(status_)
                                : WEXITSTATUS(status_);
}

std::string Scenario::Get(const std::string &key) const {
  auto it = reports_.find(key);
  if (it != reports_.end()) return it->second;
  ADD_FAILURE() << "bench: the child reported no '" << key << "'" << Describe();
  return "";
}

std::string Scenario::ScreenText() const {
  std::string out;
  for (const std::string &row : Screen())
    out += TrimRight(row) + "\n";
  return out.erase(out.find_last_not_of('\n') + 1); // all of it when blank (npos + 1)
}

} // namespace bench
