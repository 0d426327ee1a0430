// Key sources in their fixed order (keyback stack, typeahead ring, terminal),
// the raw key reader with the arrow keys and the special characters, and the
// two polls that read ahead without waiting.
#include "module.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>

// Reads one byte of standard input; -1 when there is none.  stdio's end-of-
// file and error indicators are sticky, so they are cleared before each read
// and the read really asks the terminal.  A blocking read interrupted by a
// signal other than the readers' SIGINT is simply made again; a blocking read
// with a SIGINT already recorded (it came between a reader's test and its
// read) returns at once, so that the interrupt is acted on without waiting
// for another key.
int ReadStdin(int blocking) {
  for (;;) {
    if (blocking && !WaitForKey()) return -1;
    clearerr(stdin);
    int ch = getc(stdin);
    if (ch != EOF) return ch;
    int interrupted = ferror(stdin) && errno == EINTR;
    clearerr(stdin);
    if (!blocking || !interrupted || ReadGivesUp()) return -1;
  }
}

// Reads one byte without waiting: descriptor 0 is non-blocking for exactly
// this read and gets its status flags back afterwards.
static int ReadStdinNow(void) {
  int flags = fcntl(0, F_GETFL);
  SetPollingNow(1);
  fcntl(0, F_SETFL, flags | O_NONBLOCK);
  int ch = ReadStdin(0);
  fcntl(0, F_SETFL, flags);
  SetPollingNow(0);
  return ch;
}

// Appends a byte to the typeahead ring; a full ring drops it.
void TypeaheadAppend(ConsoleState *con, int byte) {
  if (con->typeahead_count >= QX_LINE_MAX) return;
  unsigned char *slot = con->typeahead_head + con->typeahead_count;
  if (slot >= con->typeahead + QX_LINE_MAX) slot -= QX_LINE_MAX;
  *slot = (unsigned char)byte;
  con->typeahead_count++;
}

// Pushes one byte on the keyback stack; 0 when the stack is full.
static int PushBack(ConsoleState *con, int byte) {
  if (con->keyback_count >= QX_LINE_MAX) return 0;
  con->keyback[con->keyback_count++] = (unsigned char)byte;
  return 1;
}

// Pushes a key back so that its bytes come off high byte first; with
// multibyte characters off only the low byte counts.  Returns 0 when the
// stack filled up, leaving the bytes already pushed.
int C_keyback(int64_t code) {
  ConsoleState *con = Console;
  uint32_t v = (uint32_t)code;
  int n = 1;
  if (kanji) n = (v >> 24) ? 4 : (v >> 16) ? 3 : (v >> 8) ? 2 : 1;
  for (int i = 0; i < n; i++)
    if (!PushBack(con, (v >> (8 * i)) & 0xff)) return 0;
  return 1;
}

// Empties the typeahead ring, and the keyback stack too when `all` is set.
void C_FlushTypeahead(int all) {
  ConsoleState *con = Console;
  if (all) con->keyback_count = 0;
  con->typeahead_count = 0;
  con->typeahead_head = con->typeahead;
}

// Takes the next key: a pushed-back key, else the oldest typed-ahead byte,
// else a key from the terminal.
int NextKey(ConsoleState *con, QxStream stream) {
  if (con->keyback_count != 0) return con->keyback[--con->keyback_count];
  if (con->typeahead_count != 0) {
    int b = *con->typeahead_head++;
    con->typeahead_count--;
    if (con->typeahead_head == con->typeahead + QX_LINE_MAX)
      con->typeahead_head = con->typeahead;
    return b;
  }
  return ReadKey(con, stream);
}

// Maps the byte after ESC (and the one after ESC [) to a key.  The cursor
// keys become edit keys; anything else comes back as ESC followed by the
// bytes read.  When input ends right after ESC or ESC [, the key is ESC and
// nothing is invented for the missing bytes; a SIGINT during these reads is
// acted on at once.
static int EscapeKey(ConsoleState *con) {
  int second = ReadStdin(1);
  CheckInterrupt(line_jmp);
  if (second == -1) return 27;
  if (second != '[') {
    C_keyback(second);
    return 27;
  }
  int third = ReadStdin(1);
  CheckInterrupt(line_jmp);
  switch (third) {
  case 'A':
    return con->edit_keys[HIST_PREV];
  case 'B':
    return con->edit_keys[HIST_NEXT];
  case 'C':
    return con->edit_keys[COPY_CHAR];
  case 'D':
    return con->edit_keys[ERASE];
  }
  if (third != -1) C_keyback(third);
  C_keyback('[');
  return 27;
}

// True when the key is an editing key other than ERASE at the top level,
// where editing keys win over the special characters.
static int TopLevelEditKey(ConsoleState *con, int key) {
  if (con->input_mode != TOPLEVEL) return 0;
  for (int i = 1; i < 10; i++)
    if (con->edit_keys[i] == key) return 1;
  return 0;
}

// Reads one key from the terminal: waits for a byte, leaves for line_jmp on
// an interrupt, maps the cursor keys, and (while sig_state is 0) acts on the
// interrupt, stop and start characters.  Returns -1 at end of input.
int ReadKey(ConsoleState *con, QxStream stream) {
  for (;;) {
    int key = ReadStdin(1);
    CheckInterrupt(line_jmp);
    if (key == -1) return -1;
    if (key == 27) key = EscapeKey(con);
    if (con->sig_state == 0 && !TopLevelEditKey(con, key)) {
      if (key == con->intr_char) InterruptByKey(con, stream);
      if (key == con->stop_char) {
        con->output_stopped = 1;
        continue;
      }
      if (key == con->start_char) {
        con->output_stopped = 0;
        continue;
      }
    }
    return key;
  }
}

// Takes one key from the terminal without waiting into the typeahead ring.
// With sig_state 0 the stop and start characters act at once and are not
// kept; with sig_state 1 a BEL also raises the engine's interrupt request.
int key_scan(void) {
  ConsoleState *con = Console;
  int ch = ReadStdinNow();
  if (ch == -1) return 0;
  if (con->sig_state == 0 && (ch == con->stop_char || ch == con->start_char)) {
    con->output_stopped = ch == con->stop_char;
    return 0;
  }
  if (con->sig_state == 1 && ch == 7) eintflg = 1;
  TypeaheadAppend(con, ch);
  return 1;
}

// Reads one key for output flow control, waiting or not; the stop and start
// characters are returned but not kept, other bytes go to the typeahead ring.
// Returns -1 when nothing was read and intr_char after an interrupt, which is
// passed on to the reader armed around the poll, if any (a prompt or a line's
// end may scroll while the line editor is armed): that reader acts on it,
// never the next poll of the same wait.  A start or stop character read in
// the poll that an interrupt ends still resumes or stops output: neither is
// kept anywhere else, and a lost start character would leave output stopped
// until the user typed it again.
int PollKey(ConsoleState *con, int blocking) {
  static volatile int result;
  if (setjmp(scan_jmp)) {
    result = con->intr_char;
  } else {
    BeginScan();
    result = blocking ? ReadStdin(1) : ReadStdinNow();
    if (result != -1 && result != con->stop_char && result != con->start_char)
      TypeaheadAppend(con, result);
    if (ScanInterrupted()) {
      if (result == con->start_char) con->output_stopped = 0;
      if (result == con->stop_char) con->output_stopped = 1;
      longjmp(scan_jmp, 1);
    }
  }
  EndScan();
  return result;
}
