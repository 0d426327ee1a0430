// The one SIGINT scheme of every blocking reader, and the waits that depend on
// it.  A reader arms a guard (installs its handler, saving the action it
// replaces); the handler records the interrupt and returns; the reader sees
// the record after its read and long-jumps to its landing; the saved action is
// put back.
//
// There are two kinds of reader.  The outer ones are the line editor and the
// key built-ins d_keyin/1 and d_keypeek/1: at most one of them is armed at a
// time (the guard).  The inner one is the scrolling poll (PollKey, "the
// scan"): it runs while output scrolls, which may happen while an outer
// reader is armed (the editor ends its line by writing to the console).
//
// The interrupt's state, in intr_pending, and its transitions:
//
//   INTR_NONE      nothing to act on.
//     -> INTR_RECORDED   a reader's handler ran (OnIntrLine, OnIntrKey,
//                        OnIntrScan).
//   INTR_RECORDED  the reader reading now acts on it at its next test; a
//                  wait for a key does not start, or ends.
//     -> INTR_NONE       an outer reader's test takes it and leaves for its
//                        landing (CheckInterrupt);
//     -> INTR_PASSED_ON  the scan took it (it answers the interrupt character
//                        to the flow-control wait) while an outer reader is
//                        armed: that reader has yet to act on it;
//     -> INTR_NONE       the scan took it with no outer reader armed: the
//                        engine's own action has run, nothing is left to do.
//   INTR_PASSED_ON an outer reader acts on it at its next test, as on
//                  INTR_RECORDED; the scan does not see it, so the
//                  flow-control wait goes on waiting for the start character
//                  instead of taking the same interrupt again and again.
//     -> INTR_NONE       the outer reader's test (CheckInterrupt), whether
//                        the same reader or, when that one ended its line
//                        first, the next one to read.
//     -> INTR_RECORDED   a new SIGINT during a later scan.
//
// Besides the state: intr_echo says the line editor's handler ran, so that the
// partial line is to be logged and the interrupt character shown when the
// editor acts (a handler must not re-enter curses or stdio); polling_now
// says a read without waiting is under way (OnIntrScan leaves the
// descriptor's flags to it).
#include "module.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

struct sigaction sa;       // the action being installed
struct sigaction old_inp;  // the action before the line editor's
struct sigaction old_dk;   // the action before the key built-ins'
struct sigaction old_hand; // the action before PollKey's

volatile int intr_pending; // the interrupt's state (IntrState)
volatile int polling_now;  // a read without waiting is under way
jmp_buf line_jmp;          // landing of the line editor and key built-ins
jmp_buf scan_jmp;          // landing of PollKey

static volatile int intr_echo;     // the editor's handler ran: log and show
static ConsoleState *intr_console; // the record the editor's guard serves
static QxStream intr_stream;       // the stream it shows the interrupt on
// Where the armed outer reader saved the action it replaced; NULL: none armed.
static struct sigaction *volatile guard;
static volatile int scanning; // the scan is armed

// Installs `handler` for SIGINT with SA_NODEFER alone (no SA_RESTART, so a
// waiting read fails with EINTR as soon as the handler returns) and saves the
// action it replaces in `saved`.  SIGINT is held off across the change: the
// saved action is copied out only after the system call returns, and a
// SIGINT delivered at that return would run the new handler while `saved`
// still held an older action (at the first arming, the default one, which
// then kills the engine at the next SIGINT).
static void ArmReader(void (*handler)(int), struct sigaction *saved) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, &old);
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sa.sa_flags = SA_NODEFER;
  sigaction(SIGINT, &sa, saved);
  sigprocmask(SIG_SETMASK, &old, NULL);
}

// SIGINT while the line editor waits: puts the engine's action back and
// records the interrupt, and that the partial line is to be logged and the
// interrupt character shown.  Those two are left to the editor's test
// (CheckInterrupt), which acts as soon as its read returns: done here they
// would re-enter curses and stdio from a signal that may have come in the
// middle of either.
static void OnIntrLine(int) {
  sigaction(SIGINT, &old_inp, NULL);
  intr_echo = 1;
  intr_pending = INTR_RECORDED;
}

// SIGINT while a key built-in waits: the engine's action is back at once.
static void OnIntrKey(int) {
  sigaction(SIGINT, &old_dk, NULL);
  intr_pending = INTR_RECORDED;
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

// SIGINT while output waits for the start character: the action the scan
// replaced runs at once (the engine's, or an outer reader's handler, which
// records the interrupt for that reader), then standard input is made
// blocking again.  Not during a read without waiting: that read puts the
// descriptor's flags back itself, and clearing O_NONBLOCK between its two
// flag changes would turn the poll into a wait for a key that may never
// come.  The action passed on to may put another in force (the line editor's
// handler puts back the engine's): that one is then what the scan restores,
// never the handler that has already run.
static void OnIntrScan(int signo) {
  PassOnInterrupt(signo);
  struct sigaction now;
  if (sigaction(SIGINT, NULL, &now) == 0 && now.sa_handler != OnIntrScan) old_hand = now;
  if (!polling_now) {
    int flags = fcntl(0, F_GETFL);
    fcntl(0, F_SETFL, flags & ~O_NONBLOCK);
  }
  intr_pending = INTR_RECORDED;
}

// Arms the line editor's guard: its handler, the record and stream the
// interrupt is shown for.
void ArmLineGuard(ConsoleState *con, QxStream stream) {
  intr_console = con;
  intr_stream = stream;
  guard = &old_inp;
  ArmReader(OnIntrLine, &old_inp);
}

// Arms the key built-ins' guard.
void ArmKeyGuard(void) {
  guard = &old_dk;
  ArmReader(OnIntrKey, &old_dk);
}

// Puts back the action the armed outer reader saved; no reader is armed
// afterwards.  Also right at a landing, where the guard may still be in
// force (an interrupt recorded before the reader's own handler ran, or the
// interrupt character typed as a byte): arming over it would save the guard
// itself as the action to restore, and the engine's would never come back.
void DisarmGuard(void) {
  if (guard != NULL) sigaction(SIGINT, guard, NULL);
  guard = NULL;
}

// True when the reader reading now has an interrupt to act on: the scan only
// one recorded since it took the last; an outer reader any.
static int InterruptWaiting(void) {
  return scanning ? intr_pending == INTR_RECORDED : intr_pending != INTR_NONE;
}

// An outer reader's test: leaves for its landing when an interrupt waits for
// it.  The line editor first logs the partial line and shows the interrupt
// character, when its handler asked for that.
void CheckInterrupt(jmp_buf landing) {
  if (scanning || intr_pending == INTR_NONE) return;
  intr_pending = INTR_NONE;
  int echo = intr_echo && guard == &old_inp;
  intr_echo = 0;
  if (echo) {
    LogInputLine(intr_console);
    PrintCharVisible(intr_stream, intr_console->intr_char);
  }
  longjmp(landing, 1);
}

// The interrupt character typed as a byte, while the terminal raises no
// SIGINT for it: shows it as the editor's handler would have, puts back the
// action the armed reader saved (no handler ran to do it), and leaves for
// the reader's landing.
void InterruptByKey(ConsoleState *con, QxStream stream) {
  LogInputLine(con);
  PrintCharVisible(stream, con->intr_char);
  DisarmGuard();
  longjmp(line_jmp, 1);
}

// Arms the scan's guard, for one poll.
void BeginScan(void) {
  ArmReader(OnIntrScan, &old_hand);
  scanning = 1;
}

// The scan's test: true when an interrupt came since it last took one, and
// the poll is to answer the interrupt character.
int ScanInterrupted(void) {
  return scanning && intr_pending == INTR_RECORDED;
}

// Ends one poll: the action the scan replaced is back in force, and an
// interrupt it saw is passed on to the armed outer reader, or, with none, is
// done with (the engine's own action ran from the scan's handler).
void EndScan(void) {
  sigaction(SIGINT, &old_hand, NULL);
  scanning = 0;
  if (intr_pending != INTR_RECORDED) return;
  intr_pending = guard != NULL ? INTR_PASSED_ON : INTR_NONE;
}

// Marks a read without waiting as under way (or over).
void SetPollingNow(int on) {
  polling_now = on;
}

// True when stdio already holds bytes of standard input, so that reading one
// cannot wait.
static int InputBuffered(void) {
#ifdef __GLIBC__
  return stdin->_IO_read_ptr < stdin->_IO_read_end;
#else
  return 0;
#endif
}

// The one wait for a key.  When it is to sleep, everything the module has
// written goes to the terminal first (a bell or an echo must be seen when the
// key is pressed, not when the next one comes); keys already waiting are
// taken without it, so the bytes of a character typed in one go leave in
// one go.  It waits until standard input has a byte (or reports end of file or an
// error) with SIGINT let in only while waiting, so that a SIGINT can never
// slip in between the test for an interrupt and the wait and leave the
// reader asleep with the interrupt recorded (the engine's action, which a
// handler may put back, may restart a wait instead of breaking it).  False
// when an interrupt waits for the reader reading now, before or during the
// wait.  A descriptor made non-blocking by its owner is not waited on: its
// read answers at once.  It is also where a window size change is taken
// while the console waits (see TakeWindowSize): when the wait starts, before
// it sleeps, and each time a signal wakes it.  SIGWINCH is held off from
// before the size is read until the sleep: one that comes while the screen is
// repainted for the last (a window dragged by its corner) then wakes the
// sleep at once, and the last size is never left for the next key.
int WaitForKey(void) {
  if (InterruptWaiting()) return 0;
  FollowWindow();
  if (InputBuffered() || (fcntl(0, F_GETFL) & O_NONBLOCK)) return 1;
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGWINCH);
  sigprocmask(SIG_BLOCK, &block, &old);
  TakeWindowSize(1); // before sleeping: a change may have gone unsignalled
  SendOutputNow();
  sigset_t waiting = old;
  sigdelset(&waiting, SIGINT);
  struct pollfd in = {0, POLLIN, 0};
  while (!InterruptWaiting() && ppoll(&in, 1, NULL, &waiting) < 0 && errno == EINTR) {
    FollowWindow(); // woken by SIGWINCH: the screen follows the window now
  }
  sigprocmask(SIG_SETMASK, &old, NULL);
  return !InterruptWaiting();
}

// True when a blocking read that failed is to be given up: an interrupt
// waits for the reader reading now.
int ReadGivesUp(void) {
  return InterruptWaiting();
}
