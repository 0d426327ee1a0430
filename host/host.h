/* The engine stand-in's own control and test interface (prefix host_).
 *
 * libqxhost defines every name that console.h lists under "Names the host
 * engine must define", so that the console module (libqxcurses.so.1) can be
 * loaded, run and tested without the real Prolog engine.  This header adds
 * what a test or a small driver needs on top of that: opening streams,
 * reading what they received, building argument terms for the built-ins,
 * choosing the character set, and observing what the module asked the
 * engine to do (counters).
 *
 * Everything here has C linkage.  The stand-in is single-threaded, like the
 * engine it replaces. */
#ifndef QX_HOST_H
#define QX_HOST_H

#include "console.h"

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Start-up ----------------------------------------------------------- */

/* Sets Argv from main's arguments (argc 0 or argv NULL keeps the default
 * {"qxhost", NULL}), calls setlocale(LC_ALL, "") and, when the character set is
 * UTF-8 but the locale's LC_CTYPE is not, switches LC_CTYPE to C.UTF-8 so that
 * wcwidth gives display widths.  May be called more than once. */
void host_init(int argc, char **argv);

/* Makes `s` the engine's current input: stream_in[0] = s, sti_cnt = 0.
 * A driver calls this with the console stream once SetTerminal made it. */
void host_set_user_input(QxStream s);

/* ---- Character sets ----------------------------------------------------- */

enum HostCharset {
  HOST_UTF8 = 1,  /* the default: kanji = 1, charset_mode = 0 */
  HOST_EUCJP = 2, /* kanji = 1, charset_mode = 1 (0x8E kana leads too) */
  HOST_SINGLE = 3 /* one byte, one column: kanji = 0, charset_mode = 0 */
};
void host_set_charset(int charset);
int host_charset(void);

/* Test hook: when `fn` is not NULL, Stream_isn_mbchar returns whatever fn
 * returns (so tests can make it answer 0, or more bytes than are left).  NULL
 * restores the real one, which stays callable as host_isn_mbchar_default. */
typedef int (*HostMbcharFn)(unsigned char *bytes, int index, int *width);
void host_set_mbchar_override(HostMbcharFn fn);
int host_isn_mbchar_default(unsigned char *bytes, int index, int *width);

/* ---- Streams ------------------------------------------------------------ */

enum HostStreamKind {
  HOST_STREAM_NONE = 0, /* no such handle */
  HOST_STREAM_CONSOLE = 1,
  HOST_STREAM_FILE = 2,
  HOST_STREAM_MEMORY = 3
};

/* A file stream: fopen(path, mode); 0 on failure (Stream_errmes says why). */
QxStream host_open_file(const char *path, const char *mode);

/* A memory stream: keeps every code written to it, verbatim, as an int. */
QxStream host_open_memory(void);
/* The codes written so far and their number; NULL (and *n = 0) if `s` is not
 * a memory stream.  The pointer is valid until the next write to `s`. */
const int *host_memory_codes(QxStream s, size_t *n);
/* The same codes as a NUL-terminated string of their low bytes (31 stays
 * '\x1f').  Valid until the next write to `s`. */
const char *host_memory_string(QxStream s);
void host_memory_clear(QxStream s);
/* While `on` is non-zero every write to `s` fails: it returns -1 and
 * Stream_errmes() gives the stream's error text (by default strerror(ENOSPC),
 * the text a log on a full disk would give); host_memory_set_error_text
 * changes that text. */
void host_memory_fail(QxStream s, int on);
void host_memory_set_error_text(QxStream s, const char *text);
/* Input for host_getc on a memory stream ('\n' in `text` reads as 31). */
void host_memory_set_input(QxStream s, const char *text);

/* Reading: a pushed-back character first, else the console's get callback
 * (with host_context() as its context), a file's next byte, or the memory
 * stream's next input byte.  -1 at end of file or for a bad handle. */
int host_getc(QxStream s);
/* Pushes `ch` back onto `s` (last pushed, first read); -1 if `s` is bad. */
int host_ungetc(int ch, QxStream s);
/* Calls the console's flush callback, or fflush for a file; 0 or -1. */
int host_flush(QxStream s);

/* The context pointer handed to the console's get callback (and, in this
 * stand-in, the value a real engine would pass to f_intr). */
void *host_context(void);

int host_stream_kind(QxStream s);
int host_stream_is_open(QxStream s);    /* 0 after Stream_sclose */
long host_stream_put_count(QxStream s); /* codes written (or tried) */
size_t host_stream_pushback_count(QxStream s);

/* Token errors (Stream_IsTokenError / Stream_ClearErrorInfo). */
void host_set_token_error(QxStream s);

/* ---- Atoms -------------------------------------------------------------- */
/* PutAtom and Atomman_AtomNo2AtomName are the engine names.  Fixed numbers:
 * 1 "[]", 72 "on", 73 "off"; atoms made later start at HOST_FIRST_FREE_ATOM. */
enum { HOST_FIRST_FREE_ATOM = 256 };

/* ---- Terms and the argument area ---------------------------------------- */

/* Tags of the stand-in's own, beside the QX_TAG_* that console.h fixes. */
enum {
  HOST_TAG_INT = 8,     /* value is the integer itself */
  HOST_TAG_EXPR = 40,   /* value points at [functor cell, argument cells...] */
  HOST_TAG_FUNCTOR = 56 /* value = atom number << 8 | arity */
};

/* Empties the local area (next_var_cell at its start, var_bottom at its
 * normal limit), the global area, the trail and the frozen goals. */
void host_args_reset(void);
/* Makes the next prologue see a full local area: var_bottom = next_var_cell. */
void host_force_local_overflow(void);

/* Term values (cells by value).  Compound parts go to the global area. */
TermCell host_int(int64_t v);
TermCell host_atom(QxAtom a);
TermCell host_atom_named(const char *name);
TermCell host_nil(void);             /* atom 1 */
TermCell host_var(void);             /* unbound, tag 48 */
TermCell host_var4(void);            /* unbound, tag 4 (the engine's second kind) */
TermCell host_ref(TermCell *target); /* tag 0 */
/* A list of `n` integers ending in `tail` (n 0 gives `tail` itself); every
 * list cell gets `tag` (QX_TAG_LIST or QX_TAG_LIST2). */
TermCell host_int_list(const int64_t *values, size_t n, TermCell tail, uint16_t tag);
/* One list cell [head | tail] with tag 32. */
TermCell host_cons(TermCell head, TermCell tail);
/* Arithmetic: op is "+", "-", "*", "//" or "mod" (binary) or "-" (unary). */
TermCell host_expr2(const char *op, TermCell left, TermCell right);
TermCell host_expr1(const char *op, TermCell arg);

/* A fresh unbound variable (tag 48) in the global area. */
TermCell *host_global_var(void);

/* Stores `c` at next_var_cell and advances it: the argument area is the
 * cells just below next_var_cell, first argument lowest (console.h). */
TermCell *host_push(TermCell c);

/* Reading back what a cell is (after following tag-0 references). */
TermCell *host_deref(TermCell *cell);
int host_is_unbound(TermCell *cell);
int host_get_int(TermCell *cell, int64_t *out); /* 1 if an integer */
int host_get_atom(TermCell *cell, QxAtom *out); /* 1 if an atom */

/* Attaches a frozen goal to the unbound variable `var` (after dereference):
 * binding it wakes the goal (frozen_goal_register becomes non-zero), and the
 * goal succeeds when unify_after_call runs it if `goal_succeeds` is non-zero. */
void host_freeze(TermCell *var, int goal_succeeds);

/* Undoes every binding made since `mark` (a value of trail_register). */
void host_untrail(void *mark);
size_t host_trail_size(void);

/* ---- What the module asked of the engine -------------------------------- */

typedef struct HostCounters {
  long main_quit;            /* Main_Quit calls */
  long f_intr;               /* f_intr calls */
  void *last_intr_ctx;       /* the argument of the last f_intr */
  long arg_error;            /* ArgError calls */
  long local_overflow;       /* LocalOverflow calls */
  long eval_calls;           /* Numeric_s_num_eval_int calls */
  long eval_errors;          /* evaluation errors (division by zero, overflow) */
  long type_errors;          /* non-numbers evaluated */
  long instantiation_errors; /* unbound variables evaluated */
  long unify_calls;          /* unify_intE, unify_intE_ex, unify_atomE_ex */
  long unify_after_call;     /* unify_after_call calls (by the module) */
  long goals_run;            /* woken goals run (by unify_after_call or _ex) */
  long clear_error_info;     /* Stream_ClearErrorInfo calls */
  long flush_ungetbuff;      /* S_FlushUngetbuff calls */
  long sclose;               /* Stream_sclose calls */
  QxStream last_closed;      /* the stream of the last Stream_sclose */
} HostCounters;

const HostCounters *host_counters(void);
void host_reset_counters(void);
/* Text of the last error recorded by evaluation or ArgError ("" if none). */
const char *host_last_engine_error(void);

/* Optional hooks, run after the count is taken (NULL: nothing more). */
void host_set_quit_hook(void (*hook)(void));
void host_set_intr_hook(void (*hook)(void *ctx));

/* ---- The engine's own SIGINT handler ------------------------------------ */

/* Installs the engine's SIGINT handler with sigaction (SA_RESTART).  A real
 * engine does this before the module's InitTermIO: curses installs its own
 * clean-up-and-exit SIGINT handler only where it finds none, and the module's
 * readers save and later restore whatever handler is in force. */
void host_install_sigint(void);
/* The same handler with the sigaction flags given (0: an engine whose
 * SIGINT interrupts system calls instead of restarting them). */
void host_install_sigint_flags(int sa_flags);
long host_sigint_count(void);
/* Returns 1 and clears the flag if a SIGINT arrived since the last call. */
int host_take_interrupt_request(void);
/* The handler's address, to compare with sigaction(SIGINT, NULL, &old). */
typedef void (*HostSigHandler)(int);
HostSigHandler host_sigint_handler_address(void);

#ifdef __cplusplus
}
#endif

#endif /* QX_HOST_H */
