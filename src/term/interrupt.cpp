// The one SIGINT scheme of every blocking reader: the reader installs its
// handler and saves the action it replaces; the handler records the signal and
// returns; the reader sees the flag after its read and long-jumps to its
// landing; the saved action is put back.
#include "module.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>

struct sigaction sa;       // the action being installed
struct sigaction old_inp;  // the action before the line editor's
struct sigaction old_dk;   // the action before the key built-ins'
struct sigaction old_hand; // the action before PollKey's

volatile int intr_pending;    // 1 from a handler's run until a reader acts
volatile int polling_now;     // a read without waiting is under way
volatile int intr_echo;       // the line editor's handler ran: log and show
jmp_buf line_jmp;             // landing of the line editor and key built-ins
jmp_buf scan_jmp;             // landing of PollKey
ConsoleState *intr_console;   // the record the line editor's handler uses
QxStream intr_stream;         // the stream it echoes the interrupt to
struct sigaction *intr_saved; // the record the armed reader saved into

// Installs `handler` for SIGINT with SA_NODEFER alone (no SA_RESTART, so a
// waiting read fails with EINTR as soon as the handler returns) and saves the
// action it replaces in `saved`.  SIGINT is held off across the change: the
// saved action is copied out only after the system call returns, and a
// SIGINT delivered at that return would run the new handler while `saved`
// still held an older action (at the first arming, the default one, which
// then kills the engine at the next SIGINT).
void ArmReader(void (*handler)(int), struct sigaction *saved) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, &old);
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sa.sa_flags = SA_NODEFER;
  intr_saved = saved;
  sigaction(SIGINT, &sa, saved);
  sigprocmask(SIG_SETMASK, &old, NULL);
}

// Puts back the action a reader saved.
void DisarmReader(struct sigaction *saved) {
  sigaction(SIGINT, saved, NULL);
}

// Leaves for the reader's landing when a SIGINT has come since the last test;
// after the line editor's handler, first logs the partial line and shows the
// interrupt character, as that handler leaves to the reader.
void CheckInterrupt(jmp_buf landing) {
  if (!intr_pending) return;
  intr_pending = 0;
  if (intr_echo && intr_console != NULL) {
    intr_echo = 0;
    LogInputLine(intr_console);
    PrintCharVisible(intr_stream, intr_console->intr_char);
  }
  longjmp(landing, 1);
}

// SIGINT while a key built-in waits: the engine's action is back at once.
void OnIntrKey(int) {
  sigaction(SIGINT, &old_dk, NULL);
  intr_pending = 1;
}

// Calls the action PollKey replaced, when it is a handler function.  The
// default and the ignore dispositions call nothing: the interrupt then only
// ends the wait, and the engine is never killed from inside a scroll.
static void PassOnInterrupt(int signo) {
  if (old_hand.sa_flags & SA_SIGINFO) {
    if (old_hand.sa_sigaction) {
      siginfo_t info;
      memset(&info, 0, sizeof info);
      info.si_signo = signo;
      old_hand.sa_sigaction(signo, &info, NULL);
    }
    return;
  }
  if (old_hand.sa_handler != SIG_DFL && old_hand.sa_handler != SIG_IGN)
    old_hand.sa_handler(signo);
}

// SIGINT while output waits for the start character: the engine's own
// handling runs at once, then standard input is made blocking again.  Not
// during a read without waiting: that read puts the descriptor's flags back
// itself, and clearing O_NONBLOCK between its two flag changes would turn
// the poll into a wait for a key that may never come.  The action passed on
// to may put another in force (the line editor's handler puts back the
// engine's): that one is then what PollKey restores, never the handler that
// has already run.
void OnIntrScan(int signo) {
  PassOnInterrupt(signo);
  struct sigaction now;
  if (sigaction(SIGINT, NULL, &now) == 0 && now.sa_handler != OnIntrScan) old_hand = now;
  if (!polling_now) {
    int flags = fcntl(0, F_GETFL);
    fcntl(0, F_SETFL, flags & ~O_NONBLOCK);
  }
  intr_pending = 1;
}
