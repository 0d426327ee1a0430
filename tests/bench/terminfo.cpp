// Reading the compiled test terminfo entries without touching this process's
// curses state.
#include "bench.h"

#include <cerrno>
#include <cstdlib>
#include <curses.h>
#include <sstream>
#include <sys/wait.h>
#include <term.h>
#include <unistd.h>

namespace bench {

// Fixed at build time (QX_BENCH_TERMINFO).
std::string TerminfoDir() {
  return QX_BENCH_TERMINFO;
}

// In a forked child: loads `term` from the test directory and writes one line
// per capability ("b am", "n cols 80", "s dl1") to `fd`, or nothing if the
// entry is not found.
[[noreturn]] static void ProbeChild(const std::string &term, int fd) {
  setenv("TERMINFO", QX_BENCH_TERMINFO, 1);
  unsetenv("TERMINFO_DIRS");
  int status = 0;
  if (setupterm(term.c_str(), fd, &status) != OK) _exit(0);
  std::ostringstream out;
  for (int i = 0; boolnames[i]; ++i)
    if (tigetflag(boolnames[i]) > 0) out << "b " << boolnames[i] << "\n";
  for (int i = 0; numnames[i]; ++i) {
    int v = tigetnum(numnames[i]);
    if (v >= 0) out << "n " << numnames[i] << " " << v << "\n";
  }
  for (int i = 0; strnames[i]; ++i) {
    char *s = tigetstr(strnames[i]);
    if (s && s != reinterpret_cast<char *>(-1)) out << "s " << strnames[i] << "\n";
  }
  std::string text = out.str();
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  _exit(0);
}

// Parses the probe child's lines.
static Terminfo ParseProbe(const std::string &text) {
  Terminfo info;
  std::istringstream in(text);
  std::string kind, name;
  while (in >> kind >> name) {
    info.found = true;
    if (kind == "b") info.booleans.insert(name);
    if (kind == "s") info.strings.insert(name);
    if (kind == "n") in >> info.numbers[name];
  }
  return info;
}

// Probes once per terminal name and process; later calls use the cached result.
Terminfo ProbeTerminfo(const std::string &term) {
  static std::map<std::string, Terminfo> cache;
  auto it = cache.find(term);
  if (it != cache.end()) return it->second;
  int p[2];
  if (pipe(p) != 0) return Terminfo{};
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    ProbeChild(term, p[1]);
  }
  close(p[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int st;
  while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return cache[term] = ParseProbe(text);
}

// The terminal wraps at once when it has automatic margins and does not
// ignore a newline after the last column.
Wrap WrapOf(const Terminfo &info) {
  if (!info.booleans.count("am")) return info.found ? Wrap::None : Wrap::Delayed;
  return info.booleans.count("xenl") ? Wrap::Delayed : Wrap::Immediate;
}

} // namespace bench
