// What a scenario's child does to start the console as an engine does, and to
// write to it; shared by the scenario tests.
#ifndef QX_TESTS_CONSOLE_CHILD_H
#define QX_TESTS_CONSOLE_CHILD_H

#include "console.h"
#include "host.h"

#include <string>

// Starts the stand-in engine (its own SIGINT handler first, as a real engine
// does), the console stream, curses and the shadow screen.
inline void StartConsole() {
  host_init(0, nullptr);
  host_install_sigint();
  SetTerminal();
  host_set_user_input(C_GetStream());
  InitTermIO();
}

// Writes every byte of `text` to the console stream, one character per call.
inline void Put(const std::string &text) {
  for (unsigned char c : text)
    Stream__sputc(c, C_GetStream());
}

// Reads one edited line the way the engine does, byte by byte until the line
// is used up; end of file shows as <EOF>.
inline std::string ReadRecord() {
  std::string got;
  do {
    int c = host_getc(C_GetStream());
    got += c == -1 ? std::string("<EOF>") : std::string(1, static_cast<char>(c));
  } while (Console->line_len > 0);
  return got;
}

#endif // QX_TESTS_CONSOLE_CHILD_H
