// Reading the compiled test terminfo entries without touching this process's
// curses state.
#include "bench.h"

#include <cerrno>
#include <cstdlib>
#include <curses.h>
#include <sys/wait.h>
#include <term.h>
#include <unistd.h>

namespace bench {

// Probes once per terminal name and process, in a forked child that loads the
// entry from the test directory and writes one byte: 'D', 'I' or 'N'.
Wrap TerminfoWrap(const std::string &term) {
  static std::map<std::string, Wrap> cache;
  auto it = cache.find(term);
  if (it != cache.end()) return it->second;
  int p[2];
  if (pipe(p) != 0) return Wrap::Delayed;
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    setenv("TERMINFO", QX_BENCH_TERMINFO, 1);
    unsetenv("TERMINFO_DIRS");
    int status = 0;
    char c = 'D';
    if (setupterm(term.c_str(), p[1], &status) == OK)
      c = tigetflag("am") <= 0 ? 'N' : tigetflag("xenl") > 0 ? 'D' : 'I';
    ssize_t ignored = write(p[1], &c, 1);
    (void)ignored;
    _exit(0);
  }
  close(p[1]);
  char c = 'D';
  ssize_t n;
  while ((n = read(p[0], &c, 1)) < 0 && errno == EINTR) {
  }
  close(p[0]);
  int st;
  while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return cache[term] = c == 'N' ? Wrap::None : c == 'I' ? Wrap::Immediate : Wrap::Delayed;
}

} // namespace bench
