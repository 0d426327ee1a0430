// Reading the compiled test terminfo entries (apart: term.h defines macros).
#include "bench.h"

#include <cstdlib>
#include <curses.h>
#include <term.h>

namespace bench {

// am && !xenl -> Immediate; !am -> None; otherwise (or no entry) Delayed.  Read
// once per name from the test directory; this process's terminal is put back.
Wrap TerminfoWrap(const std::string &term) {
  static std::map<std::string, Wrap> cache;
  if (auto it = cache.find(term); it != cache.end()) return it->second;
  setenv("TERMINFO", QX_BENCH_TERMINFO, 1);
  unsetenv("TERMINFO_DIRS");
  TERMINAL *mine = cur_term;
  int status = 0;
  Wrap w = Wrap::Delayed;
  if (setupterm(term.c_str(), 2, &status) == OK) {
    w = tigetflag("am") <= 0 ? Wrap::None : tigetflag("xenl") > 0 ? w : Wrap::Immediate;
    del_curterm(cur_term);
  }
  set_curterm(mine);
  return cache[term] = w;
}

} // namespace bench
