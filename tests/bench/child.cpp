// The child half of the bench: process set-up and the side-channel calls.
#include "wire.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef QX_BENCH_TERMINFO
#error "QX_BENCH_TERMINFO must name the compiled test terminfo directory"
#endif

namespace bench {
namespace wire {

// Each of the escaped bytes and its letter (see Escape).
static const std::string kRaw("\\\n\t\r\0", 5), kLetter = "\\ntr0";

// See wire.h.
std::string Escape(const std::string &s) {
  std::string out;
  for (char c : s)
    if (size_t k = kRaw.find(c); k != std::string::npos)
      out += std::string("\\") + kLetter[k];
    else
      out += c;
  return out;
}

// Inverse of Escape; an unknown escape keeps the escaped character.
std::string Unescape(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    size_t k =
        s[i] == '\\' && i + 1 < s.size() ? kLetter.find(s[++i]) : std::string::npos;
    out += k == std::string::npos ? s[i] : kRaw[k];
  }
  return out;
}

// Retries after EINTR and short writes; polls a non-blocking descriptor.
bool WriteAll(int fd, const std::string &data) {
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

// Descriptors 0, 1 = the slave (controlling terminal), 2 = the stderr pipe, 3 =
// the side channel, 4 = a separate open of the slave for step markers; all
// others closed.  The ends are first lifted above 9 so the layout cannot clash.
static void LayOutDescriptors(int slave, int err, int side, const char *name) {
  slave = fcntl(slave, F_DUPFD, 10), err = fcntl(err, F_DUPFD, 10);
  side = fcntl(side, F_DUPFD, 10);
  ioctl(slave, TIOCSCTTY, 0);
  dup2(slave, 0);
  dup2(slave, 1);
  dup2(err, 2);
  dup2(side, kSideFd);
  int sync = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (sync >= 0 && sync != kSyncFd) dup2(sync, kSyncFd);
  close_range(kSyncFd + 1, ~0U, 0);
}

// Starts clean whatever the test runner had set: every signal at its default
// action and none blocked, a new session, TERM, TERMINFO and LC_ALL from the
// options and no variable that would override the size or the terminfo search.
// A throwing function is reported as a failure.  Before exiting, the child
// waits for the parent's "!": exiting hangs up the terminal, which discards
// output still on its way to the master, so the last steps' output would be
// lost.  A parent that has gone lets the child go.
void RunChild(int slave, int err, int side, const char *name, const Options &opt,
              const std::function<void()> &fn) {
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setsid();
  LayOutDescriptors(slave, err, side, name);
  if (opt.stdin_mode == Stdin::Closed) close(0);
  if (opt.stdin_mode == Stdin::DevNull) {
    int fd = open("/dev/null", O_RDONLY);
    dup2(fd, 0);
    close(fd);
  }
  for (const char *var : {"LINES", "COLUMNS", "TERMINFO_DIRS", "TERMCAP"})
    unsetenv(var);
  setenv("TERM", opt.term.c_str(), 1);
  setenv("TERMINFO", QX_BENCH_TERMINFO, 1);
  setenv("LC_ALL", opt.locale.c_str(), 1);
  try {
    fn();
  } catch (const std::exception &e) {
    Fail(std::string("the child function threw: ") + e.what());
  } catch (...) {
    Fail("the child function threw");
  }
  fflush(nullptr);
  WriteAll(kSideFd, "E -\n");
  for (char c = 0;;) {
    ssize_t n = read(kSideFd, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR) || (n == 1 && c == '!')) _exit(0);
  }
}

} // namespace wire

void Report(const std::string &key, const std::string &value) {
  wire::WriteAll(wire::kSideFd, "R " + key + "\t" + wire::Escape(value) + "\n");
}

void Report(const std::string &key, long long value) {
  Report(key, std::to_string(value));
}

// Writes the step's marker to the terminal (unless the terminal cannot take it
// now, e.g. output stopped), then announces the step with the marker's number.
void Step(const std::string &name) {
  static unsigned seq = 0;
  std::string marker = wire::kMarkerStart + std::to_string(++seq) + wire::kMarkerEnd;
  ssize_t n = write(wire::kSyncFd, marker.data(), marker.size());
  if (n > 0) wire::WriteAll(wire::kSyncFd, marker.substr(static_cast<size_t>(n)));
  wire::WriteAll(wire::kSideFd,
                 "S " + std::to_string(n > 0 ? seq : 0) + " " + name + "\n");
}

// Reads one line from the side channel; a closed channel ends the child.
std::string WaitParent() {
  static std::string pending;
  size_t nl;
  while ((nl = pending.find('\n')) == std::string::npos) {
    char buf[4096];
    ssize_t n = read(wire::kSideFd, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR)) _exit(96);
    if (n > 0) pending.append(buf, static_cast<size_t>(n));
  }
  std::string line = pending.substr(0, nl);
  pending.erase(0, nl + 1);
  return wire::Unescape(line);
}

void Fail(const std::string &what) {
  wire::WriteAll(wire::kSideFd, "F " + wire::Escape(what) + "\n");
  fflush(nullptr);
  _exit(97);
}

} // namespace bench
