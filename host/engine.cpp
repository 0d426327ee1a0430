// The engine's globals, its start-up, its quit and interrupt actions, and its
// own SIGINT handler.
#include "internal.h"

#include <clocale>
#include <cstring>
#include <langinfo.h>
#include <signal.h>
#include <string>

namespace {

char default_program[] = "qxhost";
char *default_argv[] = {default_program, nullptr};

std::string last_error;
void (*quit_hook)(void) = nullptr;
void (*intr_hook)(void *) = nullptr;

volatile sig_atomic_t sigint_count = 0;
volatile sig_atomic_t interrupt_requested = 0;

// The engine's SIGINT handler: only async-signal-safe work, a count and a
// flag that the engine's main loop polls between goals.
void on_sigint(int) {
  sigint_count = sigint_count + 1;
  interrupt_requested = 1;
}

} // namespace

HostCounters host::counters = {};

void host::record_error(const std::string &text) {
  last_error = text;
}

extern "C" {

// ---- Engine globals (console.h) ---------------------------------------------

ConsoleState *Console = nullptr; // set by the module's SetTerminal
int kanji = 1;                   // UTF-8 is the default character set
int charset_mode = 0;
int Interrupt = 0; // non-zero while the engine handles an interrupt
int eintflg = 0;   // the engine's interrupt request (key_scan sets it)
int e_disp_flag = 0;
char **Argv = default_argv;
int debug_flag = 0;
int s_mode_flag = 0;
int break_level = 0;
int s_debugger_command_response_terminator_flag = 0;
QxStream stream_in[16] = {0}; // stream_in[sti_cnt] is the current input
int sti_cnt = 0;

// ---- Engine actions ---------------------------------------------------------

// The engine's quit action: a real engine abandons the running query and
// goes back to its top level.  The stand-in counts and returns, and the
// module goes on as it does whenever the quit action returns.
void Main_Quit(void) {
  host::counters.main_quit++;
  if (quit_hook != nullptr) quit_hook();
}

// The engine's handling of a user interrupt (a real engine asks the user
// what to do: continue, abort, trace...).  The stand-in counts and returns.
void f_intr(void *ctx) {
  host::counters.f_intr++;
  host::counters.last_intr_ctx = ctx;
  if (intr_hook != nullptr) intr_hook(ctx);
}

// ---- host_ API (host.h) -----------------------------------------------------

void host_init(int argc, char **argv) {
  if (argc > 0 && argv != nullptr && argv[0] != nullptr) Argv = argv;
  std::setlocale(LC_ALL, "");
  // Display widths of UTF-8 characters come from wcwidth, which knows them
  // only in a UTF-8 locale.  A terminal started with LANG unset (or "C")
  // would make every CJK character one column wide.
  if (host_charset() == HOST_UTF8 && std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

void host_set_user_input(QxStream s) {
  stream_in[0] = s;
  sti_cnt = 0;
}

const HostCounters *host_counters(void) {
  return &host::counters;
}

void host_reset_counters(void) {
  host::counters = HostCounters{};
  last_error.clear();
}

const char *host_last_engine_error(void) {
  return last_error.c_str();
}

void host_set_quit_hook(void (*hook)(void)) {
  quit_hook = hook;
}

void host_set_intr_hook(void (*hook)(void *ctx)) {
  intr_hook = hook;
}

// SA_RESTART by default: the console's readers each install a handler of
// their own for their waits, so no console read needs the engine's action to
// break it, while every write to the terminal needs it not to: a write that
// fails with EINTR makes stdio drop the bytes it held.
void host_install_sigint(void) {
  host_install_sigint_flags(SA_RESTART);
}

void host_install_sigint_flags(int sa_flags) {
  struct sigaction act;
  std::memset(&act, 0, sizeof act);
  act.sa_handler = on_sigint;
  sigemptyset(&act.sa_mask);
  act.sa_flags = sa_flags;
  sigaction(SIGINT, &act, nullptr);
}

long host_sigint_count(void) {
  return sigint_count;
}

int host_take_interrupt_request(void) {
  if (!interrupt_requested) return 0;
  interrupt_requested = 0;
  return 1;
}

HostSigHandler host_sigint_handler_address(void) {
  return on_sigint;
}

} // extern "C"
