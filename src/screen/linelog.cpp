// The typed line copied to the log, and key codes shown in caret form.
#include "module.h"

#include <ctype.h>

// Copies line_buf[0 .. line_len-1] to the log.  A failed write drops the log
// (with the messages) unless the engine is handling an interrupt, in which
// case the failure is ignored and the log stays.
void LogInputLine(ConsoleState *con) {
  for (int i = 0; i < con->line_len && con->log_stream != 0; i++) {
    if (Stream__sputc(con->line_buf[i], con->log_stream) == -1 && !Interrupt)
      DropLog(con);
  }
}

// Writes the visible form of a key code with one formatted write: octal after
// a caret outside 0..127 and for the space, ^? for DEL, the character itself
// when graphic, and a caret form for the other control characters.
void PrintCharVisible(QxStream stream, int code) {
  if (code < 0 || code > 127)
    Stream_sprnt(stream, "^%o", code);
  else if (code == 127)
    Stream_sprnt(stream, "^?");
  else if (isgraph(code))
    Stream_sprnt(stream, "%c", code);
  else if (iscntrl(code))
    Stream_sprnt(stream, "^%c", code + 64);
  else
    Stream_sprnt(stream, "^%o", code);
}
