// The fuzz harness shared by the three targets and by the replay test.
//
// The console runs on a real pseudo-terminal made inside the process: the
// slave is descriptor 0 (non-blocking: once the typed keys are read, a read
// ends at once, which the module takes as the end of input) and, opened a
// second time, descriptor 1 (blocking); a thread reads and discards what
// reaches the master.  The console is started once per process, at the size
// and with the terminal type of QX_FUZZ_SIZE ("COLSxROWS", default 80x24)
// and QX_FUZZ_TERM (default xterm).
#ifndef QX_FUZZ_HARNESS_H
#define QX_FUZZ_HARNESS_H

#include <stddef.h>
#include <stdint.h>

// Starts the pty, the drain thread and the console; later calls do nothing.
void QxFuzzStart(void);

// Puts the console back to a known state before an input: no keys waiting,
// no line, output running, blank screen and shadow, cursor home, no history,
// scroll line 0, sig_state 0, TOPLEVEL, UTF-8, a fresh memory log.
void QxFuzzReset(void);

// Types bytes at the terminal and waits (at most 1 s) until the slave holds
// them.  Bytes the terminal driver itself would act on in the current mode
// (the tty signal characters while sig_state is 0, and 0xFF, the start and
// stop character of the raw modes) are left out.
void QxFuzzType(const uint8_t *bytes, size_t n);

// Aborts with a message naming `where` when the console record breaks an
// invariant, or when the engine's own SIGINT action is not in force.
void QxFuzzCheck(const char *where);

// Changes the terminal's size as a window manager would (TIOCSWINSZ on the
// master, then SIGWINCH, which a pty that is no controlling terminal does not
// send by itself).
void QxFuzzResize(int cols, int rows);

// The bytes of one input, taken in order.
struct QxFuzzReader {
  const uint8_t *p;
  size_t n;
  // The next byte; 0 past the end.
  int Next() {
    if (n == 0) return 0;
    n--;
    return *p++;
  }
  // The next eight bytes as one integer, high byte first.
  int64_t Wide() {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++)
      v = v << 8 | (uint64_t)Next();
    return (int64_t)v;
  }
};

// The targets: each runs one input and returns 0.
int QxFuzzKeys(const uint8_t *data, size_t size);
int QxFuzzOutput(const uint8_t *data, size_t size);
int QxFuzzBuiltins(const uint8_t *data, size_t size);

#endif
