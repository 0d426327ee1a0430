// The pty, the one-time start of the console, the reset between inputs, typed
// keys and the record's invariants (see harness.h).
#include "harness.h"

#include "console.h"
#include "host.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace {

int master_fd = -1;
int start_cols = 80, start_rows = 24, cur_cols = 80, cur_rows = 24;
bool resize_pending; // the terminal changed size; the module takes it at a safe point
QxStream log_stream;

// Reads and discards whatever the console writes, for the life of the process.
void *Drain(void *) {
  char buf[4096];
  for (;;) {
    ssize_t n = read(master_fd, buf, sizeof buf);
    if (n < 0 && errno != EINTR && errno != EAGAIN) return nullptr;
  }
}

// Aborts with a message: the fuzzer reports it as a crash with the input.
[[noreturn]] void Broken(const char *where, const char *what, long value) {
  fprintf(stderr, "qxfuzz: %s: %s (%ld)\n", where, what, value);
  abort();
}

// Takes the size and terminal type from the environment and points curses at
// the test terminfo entries when they were built.
void ChooseTerminal() {
  const char *size = getenv("QX_FUZZ_SIZE");
  if (size && sscanf(size, "%dx%d", &start_cols, &start_rows) != 2) start_cols = 0;
  if (start_cols < 1 || start_rows < 1 || start_cols > 500 || start_rows > 300)
    start_cols = 80, start_rows = 24;
  const char *term = getenv("QX_FUZZ_TERM");
  setenv("TERM", term ? term : "xterm", 1);
  unsetenv("LINES");
  unsetenv("COLUMNS");
#ifdef QX_FUZZ_TERMINFO
  struct stat st;
  if (stat(QX_FUZZ_TERMINFO, &st) == 0) setenv("TERMINFO", QX_FUZZ_TERMINFO, 1);
#endif
}

// Makes the pty: slave on 0 (non-blocking) and, opened again, on 1 (blocking,
// a separate open file so that the two flags do not meet); the drain thread.
void OpenTerminal() {
  winsize ws{};
  ws.ws_col = (unsigned short)start_cols;
  ws.ws_row = (unsigned short)start_rows;
  int slave = -1;
  if (openpty(&master_fd, &slave, nullptr, nullptr, &ws) != 0)
    Broken("start", "openpty", errno);
  int out = open(ttyname(slave), O_RDWR | O_NOCTTY);
  if (out < 0) Broken("start", "reopen slave", errno);
  dup2(slave, 0);
  dup2(out, 1);
  close(slave);
  close(out);
  fcntl(master_fd, F_SETFD, FD_CLOEXEC);
  pthread_t t;
  pthread_create(&t, nullptr, Drain, nullptr);
  pthread_detach(t);
  cur_cols = start_cols;
  cur_rows = start_rows;
}

// The slave holds at least `want` unread bytes, or 1 s has passed.
void AwaitInput(int want) {
  for (int i = 0; i < 20000; i++) {
    int n = 0;
    if (ioctl(0, FIONREAD, &n) == 0 && n >= want) return;
    timespec pause = {0, 50000};
    if (i < 2000)
      sched_yield(); // the kernel's worker passes typed bytes on within microseconds
    else
      nanosleep(&pause, nullptr);
  }
}

// Every shadow row pointer starts a different row of one block of the
// record's current size (the block begins at the lowest row; a row left from
// a block freed by a resize would fall outside it, or ASan would see it).
void CheckRows(const ConsoleState *con, const char *where) {
  if (con->rows < 1 || con->columns < 1) Broken(where, "screen size", con->rows);
  long stride = 4L * con->columns;
  unsigned char *block = con->shadow[0];
  for (int r = 1; r < con->rows; r++)
    if (con->shadow[r] < block) block = con->shadow[r];
  std::vector<char> seen((size_t)con->rows, 0);
  for (int r = 0; r < con->rows; r++) {
    long off = (long)(con->shadow[r] - block);
    if (off < 0 || off % stride != 0 || off / stride >= con->rows)
      Broken(where, "shadow row outside the block", r);
    if (seen[(size_t)(off / stride)]++) Broken(where, "shadow rows share a row", r);
  }
}

} // namespace

// See harness.h.
void QxFuzzStart(void) {
  if (master_fd >= 0) return;
  ChooseTerminal();
  OpenTerminal();
  host_init(0, nullptr);
  host_install_sigint();
  SetTerminal();
  host_set_user_input(C_GetStream());
  InitTermIO();
  fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
  log_stream = host_open_memory();
}

// See harness.h.
void QxFuzzReset(void) {
  ConsoleState *con = Console;
  host_set_mbchar_override(nullptr);
  host_set_charset(HOST_UTF8);
  e_disp_flag = Interrupt = eintflg = 0;
  if (cur_cols != start_cols || cur_rows != start_rows)
    QxFuzzResize(start_cols, start_rows);
  C_SetSigState(0); // also undoes a target's own change of the terminal
  C_FlushTypeahead(1);
  C_FlushInput();
  con->line_pos = con->line_buf;
  con->output_stopped = 0;
  C_SetScrollLine(0);
  C_SetLog(0);
  // Four bytes close a multibyte character left open by the last input; the
  // last is written after it, at a safe point: the start size is back.
  for (int i = 0; i < 4; i++)
    Stream__sputc(' ', con->stream);
  if (con->columns != start_cols || con->rows != start_rows)
    Broken("reset", "the size is not the terminal's after a safe point", con->columns);
  resize_pending = false;
  P0_d_clear();
  for (int i = 0; i < QX_HISTORY_SLOTS; i++)
    con->history[i][0] = 0;
  con->history_head = 0;
  con->template_mark[0] = 0;
  C_TOPLEVEL();
  tcflush(0, TCIFLUSH);
  __fpurge(stdin);
  clearerr(stdin);
  if (!host_stream_is_open(log_stream)) log_stream = host_open_memory();
  host_memory_clear(log_stream);
  C_SetLog(log_stream);
  host_args_reset();
}

// See harness.h.
void QxFuzzType(const uint8_t *bytes, size_t n) {
  termios t{};
  tcgetattr(0, &t);
  std::vector<unsigned char> keep;
  for (size_t i = 0; i < n && keep.size() < 1024; i++) {
    unsigned char b = bytes[i];
    auto is = [&](int cc) { return t.c_cc[cc] != _POSIX_VDISABLE && b == t.c_cc[cc]; };
    if ((t.c_lflag & ISIG) && (is(VINTR) || is(VQUIT) || is(VSUSP))) continue;
    if ((t.c_iflag & IXON) && (is(VSTART) || is(VSTOP))) continue;
    keep.push_back(b);
  }
  int before = 0;
  ioctl(0, FIONREAD, &before);
  size_t done = 0;
  while (done < keep.size()) {
    ssize_t w = write(master_fd, keep.data() + done, keep.size() - done);
    if (w < 0 && errno != EINTR) Broken("type", "write to the master", errno);
    if (w > 0) done += (size_t)w;
  }
  AwaitInput(before + (int)keep.size());
}

// See harness.h.
void QxFuzzResize(int cols, int rows) {
  winsize ws{};
  ws.ws_col = (unsigned short)cols;
  ws.ws_row = (unsigned short)rows;
  ioctl(master_fd, TIOCSWINSZ, &ws);
  cur_cols = cols;
  cur_rows = rows;
  resize_pending = true;
  raise(SIGWINCH);
}

// See harness.h.
void QxFuzzCheck(const char *where) {
  const ConsoleState *con = Console;
  // The size is the terminal's once a safe point has taken it (until then,
  // while a multibyte character is open or no character was written, the
  // record may keep the size it had).
  if (con->rows == cur_rows && con->columns == cur_cols)
    resize_pending = false;
  else if (!resize_pending)
    Broken(where, "screen size is not the terminal's", con->columns);
  if (con->line_len < 0 || con->line_len > QX_LINE_MAX)
    Broken(where, "line_len", con->line_len);
  if (con->line_pos < con->line_buf ||
      con->line_pos + con->line_len > con->line_buf + QX_LINE_MAX)
    Broken(where, "line_pos", (long)(con->line_pos - con->line_buf));
  if (con->keyback_count < 0 || con->keyback_count > QX_LINE_MAX)
    Broken(where, "keyback_count", con->keyback_count);
  if (con->typeahead_count < 0 || con->typeahead_count > QX_LINE_MAX)
    Broken(where, "typeahead_count", con->typeahead_count);
  if (con->typeahead_head < con->typeahead ||
      con->typeahead_head >= con->typeahead + QX_LINE_MAX)
    Broken(where, "typeahead_head", (long)(con->typeahead_head - con->typeahead));
  if (con->cur_y < 0 || con->cur_y >= con->rows) Broken(where, "cur_y", con->cur_y);
  if (con->cur_x < 0 || con->cur_x > 4 * con->columns) Broken(where, "cur_x", con->cur_x);
  if (con->history_head < 0 || con->history_head >= QX_HISTORY_SLOTS)
    Broken(where, "history_head", con->history_head);
  CheckRows(con, where);
  struct sigaction cur;
  sigaction(SIGINT, nullptr, &cur);
  if (cur.sa_handler != host_sigint_handler_address())
    Broken(where, "the engine's SIGINT action is not in force", 0);
}
