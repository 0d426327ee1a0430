// The child half of the bench: process set-up and the side-channel calls.
#include "wire.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// See wire.h: each of the escaped bytes and its letter.
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

// Blocking write of the whole buffer; a non-blocking descriptor is waited on.
bool WriteAll(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Default action for every catchable signal, none blocked: the child starts
// clean whatever the test runner had set.
static void ResetSignals() {
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Moves a descriptor out of the 0..9 range so the final layout cannot clash.
static int Lift(int fd) {
  return fcntl(fd, F_DUPFD, 10);
}

// Descriptors 0, 1 = slave (controlling terminal), 2 = stderr pipe, 3 = side
// channel, 4 = a separate open of the slave for step markers; all others closed.
static void LayOutDescriptors(const ChildPlan &plan) {
  int slave = Lift(plan.slave), err = Lift(plan.stderr_w), side = Lift(plan.side);
  ioctl(slave, TIOCSCTTY, 0);
  dup2(slave, 0);
  dup2(slave, 1);
  dup2(err, 2);
  dup2(side, kSideFd);
  int sync = open(plan.slave_name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (sync >= 0 && sync != kSyncFd) dup2(sync, kSyncFd);
  close_range(kSyncFd + 1, ~0U, 0);
}

// Standard input as the options ask.
static void ApplyStdin(Stdin mode) {
  if (mode == Stdin::Closed) close(0);
  if (mode != Stdin::DevNull) return;
  int fd = open("/dev/null", O_RDONLY);
  if (fd > 0) {
    dup2(fd, 0);
    close(fd);
  }
}

// TERM, TERMINFO and the locale from the options; variables that would
// override the terminal size or the terminfo search are removed.
static void ApplyEnvironment(const Options &opt) {
  unsetenv("LINES");
  unsetenv("COLUMNS");
  unsetenv("TERMINFO_DIRS");
  unsetenv("TERMCAP");
  setenv("TERM", opt.term.c_str(), 1);
  setenv("TERMINFO", QX_BENCH_TERMINFO, 1);
  setenv("LC_ALL", opt.locale.c_str(), 1);
}

// Tells the parent the child is about to exit and waits until the parent has
// seen every step marker.  Exiting hangs up the terminal, and a hang-up
// discards output still on its way to the master; waiting here keeps the last
// steps' output from being lost.  A parent that has gone lets the child go.
static void AwaitRelease() {
  WriteAll(kSideFd, "E -\n");
  char c;
  for (;;) {
    ssize_t n = read(kSideFd, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR) || (n == 1 && c == '!')) return;
  }
}

// See wire.h.  A throwing function is reported as a failure.
void RunChild(const ChildPlan &plan, const std::function<void()> &fn) {
  ResetSignals();
  setsid();
  LayOutDescriptors(plan);
  ApplyStdin(plan.opt->stdin_mode);
  ApplyEnvironment(*plan.opt);
  try {
    fn();
  } catch (const std::exception &e) {
    Fail(std::string("the child function threw: ") + e.what());
  } catch (...) {
    Fail("the child function threw");
  }
  fflush(nullptr);
  AwaitRelease();
  _exit(0);
}

} // namespace wire

// See bench.h.
void Report(const std::string &key, const std::string &value) {
  wire::WriteAll(wire::kSideFd, "R " + key + "\t" + wire::Escape(value) + "\n");
}

// See bench.h.
void Report(const std::string &key, long long value) {
  Report(key, std::to_string(value));
}

// Writes the step's marker to the terminal (unless the terminal cannot take it
// now, e.g. output stopped), then announces the step with the marker's number.
void Step(const std::string &name) {
  static unsigned seq = 0;
  std::string marker = wire::kMarkerStart + std::to_string(++seq) + wire::kMarkerEnd;
  ssize_t n = write(wire::kSyncFd, marker.data(), marker.size());
  if (n > 0 && static_cast<size_t>(n) < marker.size())
    wire::WriteAll(wire::kSyncFd, marker.substr(static_cast<size_t>(n)));
  unsigned used = n > 0 ? seq : 0;
  wire::WriteAll(wire::kSideFd, "S " + std::to_string(used) + " " + name + "\n");
}

// Reads one line from the side channel; a closed channel ends the child.
std::string WaitParent() {
  static std::string pending;
  for (;;) {
    size_t nl = pending.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      return wire::Unescape(line);
    }
    char buf[4096];
    ssize_t n = read(wire::kSideFd, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR)) _exit(96);
    if (n > 0) pending.append(buf, static_cast<size_t>(n));
  }
}

// See bench.h.
void Fail(const std::string &what) {
  wire::WriteAll(wire::kSideFd, "F " + wire::Escape(what) + "\n");
  fflush(nullptr);
  _exit(97);
}

} // namespace bench
