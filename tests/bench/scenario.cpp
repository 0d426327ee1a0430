// The parent half of the bench: starting the child, pumping its output into the
// emulator, the side channel, waits and teardown.
#include "wire.h"

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

using Clock = std::chrono::steady_clock;

struct Scenario::Impl {
  Options opt;
  Wrap wrap = Wrap::Delayed;
  std::unique_ptr<Terminal> term;
  pid_t pid = -1;
  int master = -1, side = -1, err = -1, pidfd = -1;
  bool reaped = false, exit_awaited = false, death_reported = false;
  bool want_write = false; // Send is waiting for room in the terminal's input
  int status = 0;
  std::string raw, stderr_text, side_buf, term_buf;
  std::map<std::string, std::string> reports;
  std::vector<std::string> steps;                         // every step reached, in order
  std::vector<std::pair<unsigned, std::string>> unmarked; // steps awaiting markers
  std::map<std::string, int> taken;                       // steps consumed by WaitStep
  unsigned marker_seen = 0;
  bool release_wanted = false; // the child waits to exit once all markers are in
  std::vector<std::string> child_failures;

  void Start(const std::function<void()> &fn);
  void ChooseTerminal();
  void Pump(int timeout_ms);
  void ReadMaster();
  void ReadSide();
  void Reap(bool block);
  void OnTerminalBytes(const char *data, size_t n);
  void FlushTerminalBuffer();
  void Emit(const std::string &bytes);
  void OnMarker(unsigned seq);
  void OnSideLine(const std::string &line);
  void MaybeRelease();
  bool Gone() const {
    return reaped && master < 0 && side < 0 && err < 0;
  }
  int StepCount(const std::string &name) const;
  testing::AssertionResult Wait(const std::function<bool()> &done,
                                const std::string &what);
  std::string ChildState() const;
  std::string Describe() const;
  void Teardown();
};

// Closes a descriptor and marks it closed.
static void CloseFd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Sets O_NONBLOCK and FD_CLOEXEC on a parent-side descriptor.
static void ParentSide(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The signal's name for messages, e.g. "SIGSEGV".
static std::string SignalName(int sig) {
  const char *abbrev = sigabbrev_np(sig);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

// Reads all that `fd` has now into `into`; at end of file or on an error
// (EIO: every handle on the slave is closed) closes it and returns true.
static bool Drain(int &fd, std::string &into) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
      into.append(buf, static_cast<size_t>(n));
    else if (n < 0 && errno == EAGAIN)
      return false;
    else if (n == 0 || errno != EINTR)
      return CloseFd(fd), true;
  }
}

// Picks the wrap behaviour and the emulator that can model it.
void Scenario::Impl::ChooseTerminal() {
  wrap = TerminfoWrap(opt.term);
  term = MakeVTerm(opt.rows, opt.cols, wrap);
}

// Opens the pseudo-terminal of the chosen size, applies the special
// characters, forks, and keeps the parent's ends non-blocking.
void Scenario::Impl::Start(const std::function<void()> &fn) {
  ChooseTerminal();
  winsize ws{};
  ws.ws_row = static_cast<unsigned short>(opt.rows);
  ws.ws_col = static_cast<unsigned short>(opt.cols);
  int slave = -1, sp[2] = {-1, -1}, ep[2] = {-1, -1};
  char name[128] = {0};
  if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0 ||
      ptsname_r(master, name, sizeof name) != 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp) != 0 ||
      pipe2(ep, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "bench: cannot set up the terminal: " << std::strerror(errno);
    return;
  }
  termios tio;
  tcgetattr(slave, &tio);
  for (const auto &kv : opt.cc)
    tio.c_cc[kv.first] = kv.second;
  tcsetattr(slave, TCSANOW, &tio);
  wire::ChildPlan plan{slave, ep[1], sp[1], name, &opt};
  fflush(stdout);
  fflush(stderr);
  pid = fork();
  if (pid == 0) wire::RunChild(plan, fn);
  close(slave);
  close(sp[1]);
  close(ep[1]);
  side = sp[0];
  err = ep[0];
  for (int fd : {master, side, err})
    ParentSide(fd);
  pidfd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  if (pid < 0) ADD_FAILURE() << "bench: fork failed: " << std::strerror(errno);
}

// One round of waiting: whatever is readable is read, an exited child reaped.
// Without a pidfd the child is polled for every 20 ms.
void Scenario::Impl::Pump(int timeout_ms) {
  pollfd fds[4];
  int n = 0;
  for (int fd : {master, side, err, reaped ? -1 : pidfd})
    if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
  if (want_write && master >= 0) fds[0].events |= POLLOUT;
  if (pidfd < 0 && !reaped) timeout_ms = std::min(timeout_ms, 20);
  if (poll(fds, n, std::max(timeout_ms, 0)) < 0 && errno != EINTR) return;
  for (int i = 0; i < n; ++i) {
    if (!fds[i].revents) continue;
    if (fds[i].fd == master)
      ReadMaster();
    else if (fds[i].fd == side)
      ReadSide();
    else if (fds[i].fd == err)
      Drain(err, stderr_text);
  }
  if (!reaped && pid > 0) Reap(false);
}

// Renders the terminal output available; at its end nothing is held back.
void Scenario::Impl::ReadMaster() {
  std::string got;
  bool closed = Drain(master, got);
  OnTerminalBytes(got.data(), got.size());
  if (closed) FlushTerminalBuffer();
}

// Reads side-channel messages and handles each complete line.
void Scenario::Impl::ReadSide() {
  Drain(side, side_buf);
  for (size_t nl; (nl = side_buf.find('\n')) != std::string::npos;) {
    std::string line = side_buf.substr(0, nl);
    side_buf.erase(0, nl + 1);
    OnSideLine(line);
  }
}

// Collects the child's status once it has exited.
void Scenario::Impl::Reap(bool block) {
  int st = 0;
  pid_t r;
  do {
    r = waitpid(pid, &st, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid) return;
  reaped = true;
  status = st;
  CloseFd(pidfd);
}

// Splits the terminal stream into output and step markers.  A tail that could
// be the start of a marker is held back until more bytes arrive.
void Scenario::Impl::OnTerminalBytes(const char *data, size_t n) {
  term_buf.append(data, n);
  const std::string start = wire::kMarkerStart, end = wire::kMarkerEnd;
  for (;;) {
    size_t at = term_buf.find(start);
    if (at == std::string::npos) break;
    size_t stop = term_buf.find(end, at + start.size());
    Emit(term_buf.substr(0, at));
    term_buf.erase(0, at);
    if (stop == std::string::npos) return;
    OnMarker(static_cast<unsigned>(std::stoul(term_buf.substr(start.size()))));
    term_buf.erase(0, stop - at + end.size());
  }
  size_t keep = std::min(term_buf.size(), start.size() - 1);
  while (keep > 0 && term_buf.compare(term_buf.size() - keep, keep, start, 0, keep) != 0)
    --keep;
  Emit(term_buf.substr(0, term_buf.size() - keep));
  term_buf.erase(0, term_buf.size() - keep);
}

// At end of output nothing more is held back.
void Scenario::Impl::FlushTerminalBuffer() {
  Emit(term_buf);
  term_buf.clear();
}

// Records and renders output; the emulator's answers go back to the child.
void Scenario::Impl::Emit(const std::string &bytes) {
  if (bytes.empty()) return;
  raw += bytes;
  term->Feed(bytes);
  std::string replies = term->TakeReplies();
  if (!replies.empty() && master >= 0) wire::WriteAll(master, replies);
}

// A marker arrived: the steps announced with it (or earlier ones) count now.
void Scenario::Impl::OnMarker(unsigned seq) {
  marker_seen = std::max(marker_seen, seq);
  auto it = unmarked.begin();
  while (it != unmarked.end() && it->first <= marker_seen) {
    steps.push_back(it->second);
    it = unmarked.erase(it);
  }
  MaybeRelease();
}

// Lets a child that wants to exit go, once every step marker it sent has come
// through the terminal.
void Scenario::Impl::MaybeRelease() {
  if (!release_wanted || !unmarked.empty() || side < 0) return;
  release_wanted = false;
  (void)send(side, "!", 1, MSG_NOSIGNAL);
}

// Handles one side-channel message (see wire.h).
void Scenario::Impl::OnSideLine(const std::string &line) {
  if (line.size() < 2) return;
  std::string body = line.substr(2);
  if (line[0] == 'R') {
    size_t tab = body.find('\t');
    reports[body.substr(0, tab)] =
        tab == std::string::npos ? "" : wire::Unescape(body.substr(tab + 1));
  } else if (line[0] == 'S') {
    size_t sp = body.find(' ');
    unsigned seq = static_cast<unsigned>(std::stoul(body.substr(0, sp)));
    std::string name = sp == std::string::npos ? "" : body.substr(sp + 1);
    if (seq == 0 || seq <= marker_seen)
      steps.push_back(name);
    else
      unmarked.emplace_back(seq, name);
  } else if (line[0] == 'E') {
    release_wanted = true;
    MaybeRelease();
  } else if (line[0] == 'F') {
    child_failures.push_back(wire::Unescape(body));
    death_reported = true;
    ADD_FAILURE() << "bench: the child reported: " << child_failures.back();
  }
}

// How many times the child has reached `name`.
int Scenario::Impl::StepCount(const std::string &name) const {
  int n = 0;
  for (const std::string &s : steps)
    n += s == name;
  return n;
}

// Pumps until `done` holds, the child is gone, or the deadline passes.
testing::AssertionResult Scenario::Impl::Wait(const std::function<bool()> &done,
                                              const std::string &what) {
  auto start = Clock::now();
  auto deadline = start + std::chrono::milliseconds(opt.timeout_ms);
  for (;;) {
    if (done()) return testing::AssertionSuccess();
    if (Gone() || pid <= 0) {
      death_reported = true;
      return testing::AssertionFailure() << "bench: the child " << ChildState()
                                         << " while waiting for " << what << Describe();
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    Pump(static_cast<int>(left.count()));
  }
  auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  return testing::AssertionFailure()
         << "bench: timed out after " << waited.count() << " ms waiting for " << what
         << " (the child " << ChildState() << ")" << Describe();
}

// "is running", "exited with status 3", "was killed by SIGSEGV".
std::string Scenario::Impl::ChildState() const {
  if (pid <= 0) return "was never started";
  if (!reaped) return "is running";
  if (WIFSIGNALED(status)) return "was killed by " + SignalName(WTERMSIG(status));
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

// The context a failed wait shows: steps, reports, screen, cursor, stderr and
// the last output bytes.
std::string Scenario::Impl::Describe() const {
  std::ostringstream out;
  out << "\n  terminal: " << opt.term << " " << opt.rows << "x" << opt.cols << ", wrap "
      << (wrap == Wrap::Delayed ? "delayed"
          : wrap == Wrap::None  ? "none"
                                : "at once");
  out << "\n  steps reached:";
  for (const std::string &s : steps)
    out << " '" << s << "'";
  out << "\n  reported keys:";
  for (const auto &kv : reports)
    out << " " << kv.first;
  out << "\n  screen:";
  for (const std::string &row : term->Rows())
    out << "\n    |" << row << "|";
  Pos c = term->Cursor();
  out << "\n  cursor: row " << c.row << ", column " << c.col;
  out << "\n  stderr: \"" << Printable(stderr_text) << "\"";
  size_t tail = raw.size() > 300 ? raw.size() - 300 : 0;
  out << "\n  last output: \"" << Printable(raw.substr(tail)) << "\"";
  return out.str();
}

// Kills a child that still runs (with its process group), reaps it, and
// reports an unexpected death that no wait has reported.
void Scenario::Impl::Teardown() {
  if (pid > 0 && !reaped) Reap(false);
  bool died_alone = reaped;
  if (pid > 0 && !reaped) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    Reap(true);
  }
  bool bad = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
  if (died_alone && bad && !exit_awaited && !death_reported)
    ADD_FAILURE() << "bench: the child " << ChildState() << " and no wait reported it"
                  << Describe();
  for (int *fd : {&master, &side, &err, &pidfd})
    CloseFd(*fd);
}

// Starts the child at once (see bench.h).
Scenario::Scenario(const Options &opt, std::function<void()> child)
    : impl_(std::make_unique<Impl>()) {
  impl_->opt = opt;
  impl_->Start(child);
}

// See Teardown.
Scenario::~Scenario() {
  impl_->Teardown();
}

// Writes keys, pumping output meanwhile so that a child busy writing cannot
// deadlock against us.
void Scenario::Send(const std::string &bytes) {
  size_t done = 0;
  impl_->Pump(0);
  impl_->want_write = true;
  std::string shown = Printable(bytes.substr(0, 40)) + (bytes.size() > 40 ? "..." : "");
  testing::AssertionResult ok = impl_->Wait(
      [&] {
        if (impl_->master < 0) return false;
        ssize_t n = write(impl_->master, bytes.data() + done, bytes.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        return done == bytes.size();
      },
      "the terminal to accept \"" + shown + "\" (" + std::to_string(done) + " of " +
          std::to_string(bytes.size()) + " bytes written)");
  impl_->want_write = false;
  if (!ok) ADD_FAILURE() << ok.message();
}

// Renders what is there at the old size, then resizes the emulator and the
// terminal together.
void Scenario::Resize(int rows, int cols) {
  impl_->Pump(0);
  impl_->term->Resize(rows, cols);
  winsize ws{};
  ws.ws_row = static_cast<unsigned short>(rows);
  ws.ws_col = static_cast<unsigned short>(cols);
  if (impl_->master >= 0) ioctl(impl_->master, TIOCSWINSZ, &ws);
}

// Sends one line of data to the child's WaitParent.
void Scenario::Go(const std::string &data) {
  std::string line = wire::Escape(data) + "\n";
  size_t done = 0;
  while (impl_->side >= 0 && done < line.size()) {
    ssize_t n = send(impl_->side, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno == EAGAIN)
      impl_->Pump(10);
    else if (n < 0 && errno != EINTR)
      break;
  }
  if (done < line.size())
    ADD_FAILURE() << "bench: cannot send \"" << Printable(data)
                  << "\" to the child, which " << impl_->ChildState();
}

// Each call consumes one arrival of the step, so a repeated step is awaited
// once per arrival.
testing::AssertionResult Scenario::WaitStep(const std::string &name) {
  int want = impl_->taken[name] + 1;
  testing::AssertionResult r =
      impl_->Wait([&] { return impl_->StepCount(name) >= want; }, "step '" + name + "'");
  if (r) impl_->taken[name] = want;
  return r;
}

// Searches each rendered row (a match cannot span rows).
testing::AssertionResult Scenario::WaitForScreenText(const std::string &text) {
  return impl_->Wait(
      [&] {
        for (const std::string &row : impl_->term->Rows())
          if (row.find(text) != std::string::npos) return true;
        return false;
      },
      "\"" + text + "\" on the screen");
}

testing::AssertionResult Scenario::WaitFor(const std::function<bool()> &done,
                                           const std::string &what) {
  return impl_->Wait(done, what);
}

// Exit is complete when the child is reaped and its descriptors are drained.
testing::AssertionResult Scenario::WaitExit() {
  impl_->exit_awaited = true;
  auto r = impl_->Wait([&] { return impl_->Gone(); }, "the child to exit");
  if (!r) return r;
  return testing::AssertionSuccess();
}

// -1 while the child has not been reaped.
int Scenario::ExitCode() const {
  if (!impl_->reaped) return -1;
  int st = impl_->status;
  return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st);
}

// A missing key is a test failure naming the keys that were reported.
std::string Scenario::Get(const std::string &key) const {
  auto it = impl_->reports.find(key);
  if (it != impl_->reports.end()) return it->second;
  std::string keys;
  for (const auto &kv : impl_->reports)
    keys += " " + kv.first;
  ADD_FAILURE() << "bench: the child reported no '" << key << "' (reported:" << keys
                << ")";
  return "";
}

// Accessors of what has been pumped so far; see bench.h.
bool Scenario::Has(const std::string &key) const {
  return impl_->reports.count(key) != 0;
}

std::vector<std::string> Scenario::Screen() const {
  return impl_->term->Rows();
}

std::string Scenario::ScreenText() const {
  std::string out;
  for (const std::string &row : impl_->term->Rows())
    out += TrimRight(row) + "\n";
  return out.substr(0, out.empty() ? 0 : out.size() - 1);
}

Pos Scenario::Cursor() const {
  return impl_->term->Cursor();
}

bool Scenario::CursorVisible() const {
  return impl_->term->CursorVisible();
}

const std::string &Scenario::RawOutput() const {
  return impl_->raw;
}

const std::string &Scenario::Stderr() const {
  return impl_->stderr_text;
}

pid_t Scenario::Pid() const {
  return impl_->pid;
}

const Options &Scenario::options() const {
  return impl_->opt;
}

Wrap Scenario::wrap() const {
  return impl_->wrap;
}

} // namespace bench
