// qxtop: a small driver that loads the console module the way the engine
// does and echoes each line read from the console.
//
// The engine names the module needs (Stream_*, PutAtom, unify_*, the
// globals...) come from libqxhost, which this program links: dlopen with
// RTLD_GLOBAL resolves the module's undefined names from the process.
#include "host.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

void usage(FILE *out, const char *program) {
  std::fprintf(out,
               "Usage: %s [--help]\n"
               "Loads libqxcurses.so.1, takes over the terminal and echoes each\n"
               "line typed as \"you typed: <line>\".  The end-of-file key leaves.\n",
               program);
}

// The module functions this driver calls, looked up by name as an engine
// that loads the module at run time would.
struct Module {
  ConsoleState **(*SetTerminal)(void);
  void (*InitTermIO)(void);
  QxStream (*C_GetStream)(void);
  void (*C_TOPLEVEL)(void);
  void (*ExittingMessage)(void);
};

template <typename Fn> bool lookup(void *lib, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(dlsym(lib, name));
  if (*fn == nullptr) {
    std::fprintf(stderr, "qxtop: %s: %s\n", name, dlerror());
    return false;
  }
  return true;
}

bool load(Module *m) {
  void *lib = dlopen("libqxcurses.so.1", RTLD_NOW | RTLD_GLOBAL);
#ifdef QXTOP_MODULE_DIR
  // The run path finds the module in the build directory.  Under
  // AddressSanitizer it does not: ASan intercepts dlopen, and glibc then
  // searches the run path of libasan, the "caller", instead of ours.  So try
  // the build directory by name too.
  if (lib == nullptr) {
    std::string again = dlerror();
    lib = dlopen(QXTOP_MODULE_DIR "/libqxcurses.so.1", RTLD_NOW | RTLD_GLOBAL);
    if (lib == nullptr) {
      std::fprintf(stderr, "qxtop: cannot load the console module: %s\n", again.c_str());
      return false;
    }
  }
#endif
  if (lib == nullptr) {
    std::fprintf(stderr, "qxtop: cannot load the console module: %s\n", dlerror());
    return false;
  }
  return lookup(lib, "SetTerminal", &m->SetTerminal) &&
         lookup(lib, "InitTermIO", &m->InitTermIO) &&
         lookup(lib, "C_GetStream", &m->C_GetStream) &&
         lookup(lib, "C_TOPLEVEL", &m->C_TOPLEVEL) &&
         lookup(lib, "ExittingMessage", &m->ExittingMessage);
}

} // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      usage(stdout, argv[0]);
      return 0;
    }
    std::fprintf(stderr, "qxtop: unknown argument %s\n", argv[i]);
    usage(stderr, argv[0]);
    return 2;
  }

  host_init(argc, argv);
  // The engine's handler goes in first, before curses starts (host.h).
  host_install_sigint();

  Module m;
  if (!load(&m)) return 1;
  m.SetTerminal();
  m.InitTermIO();
  QxStream user = m.C_GetStream();
  host_set_user_input(user);

  for (;;) {
    // Each line is read as a top-level query.  (After the interrupt key the
    // module prints " ABORT" and calls Main_Quit; a real engine jumps back to
    // its top level from there, the stand-in returns, so the module re-reads
    // that line in NORMAL mode with the "|: " prompt.  Setting the mode here
    // before every line brings the top level back.)
    m.C_TOPLEVEL();
    std::string line;
    int ch;
    while ((ch = host_getc(user)) != -1 && ch != 31)
      line.push_back(char(ch));
    if (ch == -1) {
      m.ExittingMessage();
      return 0;
    }
    Stream_sprntln(user, "you typed: %s", line.c_str());
    if (host_take_interrupt_request()) Stream_sprntln(user, "(interrupt requested)");
  }
}
