// What the benchmark children share: starting the console module the way an
// engine does, starting bare curses with the same terminal set-up, and
// writing one character through either.
#ifndef QXB_CHILDLIB_H
#define QXB_CHILDLIB_H

#include <string>

namespace qxb {

// Starts the console as an engine does: host_init, the engine's SIGINT
// handler, SetTerminal, `user` as current input, InitTermIO.  The terminal is
// then in raw mode, cleared, with curses active.
void StartModule();

// Writes one character (its bytes, one call each) to the console stream.
void ModulePut(const std::string &ch);

// Leaves the module's curses screen (not timed by anyone).
void StopModule();

// The same terminal set-up without the module: the locale, initscr, cbreak,
// nonl, noecho, a first refresh and a clear, as InitTermIO does.  With
// `scroll`, stdscr scrolls at the bottom.
void StartCurses(bool scroll);

// Leaves curses.
void StopCurses();

// The path of a program on PATH, or "" when there is none.
std::string FindProgram(const std::string &name);

} // namespace qxb

#endif // QXB_CHILDLIB_H
