// What the benchmark children share; see childlib.h.
#include "childlib.h"

#include "host.h"

#include <clocale>
#include <cstdlib>
#include <curses.h>
#include <sstream>
#include <unistd.h>

namespace qxb {

// See childlib.h.
void StartModule() {
  host_init(0, nullptr);
  host_install_sigint();
  SetTerminal();
  host_set_user_input(C_GetStream());
  InitTermIO();
}

// See childlib.h.
void ModulePut(const std::string &ch) {
  QxStream s = C_GetStream();
  for (unsigned char b : ch)
    Stream__sputc(b, s);
}

// See childlib.h.
void StopModule() {
  SaveTermIO(1);
}

// See childlib.h.
void StartCurses(bool scroll) {
  setlocale(LC_ALL, "");
  initscr();
  cbreak();
  nonl();
  noecho();
  scrollok(stdscr, scroll ? TRUE : FALSE);
  wrefresh(stdscr);
  wclear(stdscr);
  wrefresh(stdscr);
}

// See childlib.h.
void StopCurses() {
  endwin();
}

// See childlib.h.
std::string FindProgram(const std::string &name) {
  const char *path = getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string full = (dir.empty() ? "." : dir) + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
  }
  return "";
}

} // namespace qxb
