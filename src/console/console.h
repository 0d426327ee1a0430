/* The console terminal module: the console record, its constants, the names the
 * module exports, and the names the host engine must define.
 *
 * This header is shared by the module and by engines (the engine stand-in in
 * host/ includes it).  It is valid C and C++.  Everything declared in the
 * "exported" sections has C linkage and default visibility; everything else in
 * the module is hidden.
 *
 * Using it in an engine.  The header is installed as
 * <includedir>/qxcurses/console.h.  Compile with `pkg-config --cflags qxcurses`
 * (or link the CMake target qxcurses::qxcurses of find_package(qxcurses)),
 * write #include <console.h>, and link with `pkg-config --libs qxcurses`
 * (-lqxcurses), or load libqxcurses.so.1 with dlopen and RTLD_GLOBAL.  The
 * engine defines every name listed under "Names the host engine must define",
 * with C linkage and visible to the dynamic linker: the module's references to
 * them stay undefined in the library and are resolved from the process when
 * it is loaded.  The field layouts below are fixed for x86_64 (LP64) and
 * checked when the module is built.  docs/integration.md in the source tree is
 * the guide to the life cycle and to every contract. */
#ifndef QX_CONSOLE_H
#define QX_CONSOLE_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QX_BUILDING_MODULE)
#define QX_EXPORT __attribute__((visibility("default")))
#else
#define QX_EXPORT
#endif

/* ---- Engine handle types ------------------------------------------------ */

typedef int64_t QxStream; /* the engine's stream handle; 0 means none */
typedef int64_t QxAtom;   /* the engine's atom number */

/* ---- Console record ----------------------------------------------------- */

/* What the next line read from the console is for. */
enum InputMode { TOPLEVEL = 0, NORMAL = 1, NOPROMPT = 2, COMMAND = 3 };

/* Indices of ConsoleState.edit_keys. */
enum EditKey {
  ERASE = 0,
  COPY_CHAR = 1,
  COPY_REST = 2,
  SKIP_CHAR = 3,
  KILL_LINE = 4,
  INSERT_TOGGLE = 5,
  HIST_PREV = 6,
  HIST_NEXT = 7,
  HIST_STORE = 8,
  HIST_LIST = 9
};

/* Terminal modes: cooked (curses ended), raw, raw without tty signals. */
enum TermMode { COOKED = 0, RAW = 1, RAW_NOSIG = 2 };

enum {
  QX_LINE_MAX = 256,     /* bytes in line_buf, keyback and typeahead */
  QX_HISTORY_SLOTS = 20, /* lines in the history ring */
  QX_HISTORY_BYTES = 257 /* bytes per history slot (256 + NUL) */
};

/* The one console.  Field order and types are part of the engine interface. */
typedef struct ConsoleState {
  QxStream stream;         /* the console stream `user` made by SetTerminal */
  QxAtom prompt;           /* prompt atom printed before a NORMAL-mode line */
  QxAtom prompt_postfix;   /* atom printed after prompt; 1 means none */
  QxStream log_stream;     /* log copy of input lines and output; 0 = no log */
  int32_t columns;         /* screen width in character cells */
  int32_t rows;            /* screen height in lines */
  int32_t cur_x;           /* cursor as a byte index into shadow row cur_y */
  int32_t cur_y;           /* cursor row, 0-based */
  int32_t cursor_shown;    /* 1 cursor shown, 0 hidden */
  int32_t scroll_line;     /* first row of the scrolling region, 0-based */
  int32_t output_stopped;  /* 1 after the stop character, 0 after start */
  int32_t input_mode;      /* InputMode of the next line read */
  int32_t line_len;        /* bytes typed (editing) or not yet handed out */
  unsigned char *line_pos; /* next byte of line_buf to hand to the engine */
  unsigned char line_buf[QX_LINE_MAX];  /* the current input line */
  int32_t intr_char;                    /* interrupt character (VINTR) */
  int32_t stop_char;                    /* output stop character (Ctrl-S) */
  int32_t start_char;                   /* output start character (Ctrl-Q) */
  int32_t eof_char;                     /* end-of-file character (VEOF) */
  int32_t edit_keys[10];                /* line editor keys, by EditKey */
  int32_t keyback_count;                /* bytes on the keyback stack */
  unsigned char keyback[QX_LINE_MAX];   /* keyback stack, top at count - 1 */
  int32_t typeahead_count;              /* bytes in the typeahead ring */
  unsigned char *typeahead_head;        /* oldest byte of the ring */
  unsigned char typeahead[QX_LINE_MAX]; /* typeahead ring */
  int32_t history_head;                 /* slot of the newest history line */
  unsigned char history[QX_HISTORY_SLOTS][QX_HISTORY_BYTES]; /* history lines */
  unsigned char template_mark[QX_HISTORY_BYTES];             /* template bytes taken */
  unsigned char **shadow; /* rows pointers to rows of 4 * columns bytes */
  int32_t sig_state;      /* 0 or 1; the raw mode in use is 1 + sig_state */
} ConsoleState;

/* ---- Term cells and built-in frames, as the built-ins read them --------- */

/* One engine term cell; consecutive cells lie 16 bytes apart. */
typedef struct TermCell {
  int64_t value; /* atom number, integer, or pointer to another cell */
  uint16_t tag;  /* type tag (QX_TAG_*) */
} TermCell;

enum {
  QX_TAG_REF = 0,      /* value points to another cell */
  QX_TAG_UNBOUND = 48, /* unbound variable */
  QX_TAG_UNBOUND2 = 4, /* unbound variable (the engine's second kind) */
  QX_TAG_ATOM = 16,    /* value is an atom number */
  QX_TAG_LIST = 32,    /* value points to a head cell and a tail cell */
  QX_TAG_LIST2 = 24    /* list cell, same layout */
};

enum {
  QX_ATOM_NIL = 1,        /* the empty list */
  QX_ATOM_CURSOR_ON = 72, /* the atom that shows the cursor */
  QX_ATOM_CURSOR_OFF = 73 /* the atom that hides it */
};

/* The engine's record of the current built-in call.  The engine owns the two
 * leading words; the prologue of a unifying built-in writes the four marks. */
typedef struct BuiltinFrame {
  void *engine_words[2]; /* the engine's own fields; never touched here */
  TermCell *var_mark;    /* next_var_cell at the prologue */
  void *gvar_mark;       /* next_gvar_cell at the prologue */
  void *trail_mark;      /* trail_register at the prologue */
  int32_t frame_flags;   /* cleared by the prologue */
} BuiltinFrame;

/* ---- Names the host engine must define ---------------------------------- */

typedef int (*QxPutFn)(int ch, QxStream stream);
typedef int (*QxGetFn)(void *ctx, QxStream stream);
typedef int (*QxFlushFn)(void *ctx, QxStream stream);

QxStream Stream_MakeConStreamInstance(void *con, QxPutFn put, QxGetFn get,
                                      QxFlushFn flush, QxAtom name);
void *Stream_GetStreamCon(QxStream stream);
int Stream__sputc(int ch, QxStream stream);
int Stream_sputc(int ch, QxStream stream);
int Stream_sprnt(QxStream stream, const char *format, ...);
int Stream_sprntln(QxStream stream, const char *format, ...);
const char *Stream_errmes(void);
int Stream_sclose(QxStream stream);
int Stream_IsTokenError(QxStream stream);
void Stream_ClearErrorInfo(QxStream stream);
void S_FlushUngetbuff(QxStream stream);
int Stream_isn_mbchar(unsigned char *bytes, int index, int *width);
int Type_is_kanji1(int byte);
int Type_iskana1(int byte);
QxAtom PutAtom(int zero, const char *name);
const char *Atomman_AtomNo2AtomName(QxAtom atom);
QxAtom Main_DefaultPrompt(void);
void Main_Quit(void);
void f_intr(void *ctx);
int64_t Numeric_s_num_eval_int(TermCell *term);
int unify_intE(BuiltinFrame *frame, TermCell *term, int64_t value);
int unify_intE_ex(BuiltinFrame *frame, TermCell *term, int64_t value);
int unify_atomE_ex(BuiltinFrame *frame, TermCell *term, QxAtom atom);
int unify_after_call(BuiltinFrame *frame);
void LocalOverflow(void);
void ArgError(void);

extern ConsoleState *Console;
extern TermCell *next_var_cell;
extern TermCell *var_bottom;
extern void *next_gvar_cell;
extern void *trail_register;
extern void *frozen_goal_register;
extern int kanji;
extern int charset_mode;
extern int Interrupt;
extern int eintflg;
extern int e_disp_flag;
extern char **Argv;
extern int debug_flag;
extern int s_mode_flag;
extern int break_level;
extern int s_debugger_command_response_terminator_flag;
extern QxStream stream_in[];
extern int sti_cnt;

/* ---- Exported by the module --------------------------------------------- */

/* Console creation and accessors. */
QX_EXPORT ConsoleState **SetTerminal(void);
QX_EXPORT QxStream C_GetStream(void);
QX_EXPORT void C_SetPrompt(QxAtom atom);
QX_EXPORT QxAtom C_GetPrompt(void);
QX_EXPORT void C_SetPromptPostfix(QxAtom atom);
QX_EXPORT QxAtom C_GetPromptPostfix(void);
QX_EXPORT void C_SetLog(QxStream stream);
QX_EXPORT QxStream C_GetLog(void);
QX_EXPORT void C_TOPLEVEL(void);
QX_EXPORT void C_NORMAL(void);
QX_EXPORT void C_NOPROMPT(void);
QX_EXPORT void C_COMMAND(void);
QX_EXPORT void C_Unlock(void);
QX_EXPORT int C_GetBS(void);
QX_EXPORT void C_Screen(int *columns, int *rows);
QX_EXPORT void C_SetScrollLine(int line);
QX_EXPORT void C_NewLine(void);
QX_EXPORT void C_FlushInput(void);
QX_EXPORT void flush_stream(void);

/* Terminal modes and the curses screen. */
QX_EXPORT void InitTermIO(void);
QX_EXPORT void SaveTermIO(int flush);
QX_EXPORT void ResetTermIO(void);
QX_EXPORT void C_Sane(void);
QX_EXPORT void RestoreTermIO(int redraw);
QX_EXPORT void C_SetSigState(int state);
QX_EXPORT void ExittingMessage(void);
QX_EXPORT void Curses_getTerminalWH(int *width, int *height);

/* The SIGINT actions saved and installed by the blocking readers. */
QX_EXPORT extern struct sigaction sa;
QX_EXPORT extern struct sigaction old_inp;
QX_EXPORT extern struct sigaction old_dk;
QX_EXPORT extern struct sigaction old_hand;

/* Shadow screen, cursor, clearing and redraw. */
QX_EXPORT int _Curses_num_cur_x(int x, int y);
QX_EXPORT int S_redisplay(void);
QX_EXPORT void C_SetCursor(int column, int row);
QX_EXPORT int P0_d_clear(void);
QX_EXPORT int P0_d_cleol(void);
QX_EXPORT int P0_d_cleos(void);

/* Output. */
QX_EXPORT int IQX_PUTCHAR(int ch);
QX_EXPORT int C_BELL(void);

/* Keys. */
QX_EXPORT int C_keyback(int64_t code);
QX_EXPORT void C_FlushTypeahead(int all);
QX_EXPORT int key_scan(void);

/* Built-in predicates: entries P<n>_ and bodies B<n>_. */
QX_EXPORT int P0_d_redisp(void);
QX_EXPORT int64_t P1_d_cursor(BuiltinFrame *frame);
QX_EXPORT int B1_d_cursor(BuiltinFrame *frame, TermCell *a1);
QX_EXPORT int64_t P2_d_cursor(BuiltinFrame *frame);
QX_EXPORT int B2_d_cursor(BuiltinFrame *frame, TermCell *a1, TermCell *a2);
QX_EXPORT int64_t P2_d_pos(BuiltinFrame *frame);
QX_EXPORT int B2_d_pos(BuiltinFrame *frame, TermCell *a1, TermCell *a2);
QX_EXPORT int64_t P2_d_screen(BuiltinFrame *frame);
QX_EXPORT int B2_d_screen(BuiltinFrame *frame, TermCell *a1, TermCell *a2);
QX_EXPORT int64_t P2_d_scroll(BuiltinFrame *frame);
QX_EXPORT int B2_d_scroll(BuiltinFrame *frame, TermCell *a1, TermCell *a2);
QX_EXPORT int64_t P1_d_keyin(BuiltinFrame *frame);
QX_EXPORT int B1_d_keyin(BuiltinFrame *frame, TermCell *a1);
QX_EXPORT int64_t P1_d_keypeek(BuiltinFrame *frame);
QX_EXPORT int B1_d_keypeek(BuiltinFrame *frame, TermCell *a1);
QX_EXPORT int64_t P1_d_keylength(BuiltinFrame *frame);
QX_EXPORT int B1_d_keylength(BuiltinFrame *frame, TermCell *a1);
QX_EXPORT int64_t P1_d_keyback(BuiltinFrame *frame);
QX_EXPORT int B1_d_keyback(BuiltinFrame *frame, TermCell *a1);

#ifdef __cplusplus
}
#endif

#endif /* QX_CONSOLE_H */
