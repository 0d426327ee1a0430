/* A minimal engine program built against an installed qxcurses, in plain C
 * (so that it also proves the installed console.h is C).  The engine names the
 * module needs come from the engine stand-in libqxhost, which the program is
 * linked with; this file uses nothing of the stand-in beyond those names.
 *
 *   consumer                    creates the console and checks the accessors
 *                               that need no terminal; prints one line
 *   consumer --terminal REPORT  also starts the console on the terminal
 *                               (standard input and output must be one), writes
 *                               a line to `user`, checks the record, exits
 *                               through ExittingMessage, and writes what it
 *                               found to the file REPORT
 *
 * Exit status 0 when every check passed; otherwise 1, with the reason on
 * standard error. */
#define _GNU_SOURCE
#include <console.h>

#include <link.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The file the dynamic linker loaded the module from. */
static const char *module_path = "(not loaded)";

static int FindModule(struct dl_phdr_info *info, size_t size, void *data) {
  (void)size;
  (void)data;
  if (info->dlpi_name != NULL && strstr(info->dlpi_name, "libqxcurses.so") != NULL) {
    module_path = info->dlpi_name;
    return 1;
  }
  return 0;
}

static int failures = 0;

static void Check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "consumer: check failed: %s\n", what);
    failures++;
  }
}

/* The engine's own SIGINT handler, installed before InitTermIO. */
static volatile sig_atomic_t sigint_seen = 0;
static void OnSigint(int signo) {
  (void)signo;
  sigint_seen = 1;
}

/* Starts the console on the terminal, writes a line through `user`, and
 * reports the screen, the record and the SIGINT action to `report`. */
static int RunOnTerminal(const char *report) {
  struct sigaction act, now;
  memset(&act, 0, sizeof act);
  act.sa_handler = OnSigint;
  sigemptyset(&act.sa_mask);
  sigaction(SIGINT, &act, NULL);

  InitTermIO();
  int columns = -1, rows = -1;
  C_Screen(&columns, &rows);
  static const char text[] = "hello from the consumer";
  Stream_sprntln(C_GetStream(), "%s", text);
  /* The record as this C program sees it: the line is in shadow row 0, the
   * cursor at the start of row 1. */
  int row0 = memcmp(Console->shadow[0], text, sizeof text - 1) == 0;
  int cur_x = Console->cur_x, cur_y = Console->cur_y;
  sigaction(SIGINT, NULL, &now);
  int handler_kept = now.sa_handler == OnSigint;
  ExittingMessage();

  FILE *out = fopen(report, "w");
  if (out == NULL) {
    perror(report);
    return 1;
  }
  fprintf(out, "screen %dx%d\nrow0 %s\ncursor %d,%d\nsigint %s\n", columns, rows,
          row0 ? "ok" : "wrong", cur_x, cur_y, handler_kept ? "engine" : "other");
  fclose(out);
  return 0;
}

int main(int argc, char **argv) {
  const char *report = NULL;
  if (argc == 3 && strcmp(argv[1], "--terminal") == 0) {
    report = argv[2];
  } else if (argc != 1) {
    fprintf(stderr, "usage: %s [--terminal REPORT]\n", argv[0]);
    return 2;
  }

  ConsoleState **console = SetTerminal();
  Check(console == &Console && Console != NULL, "SetTerminal returns &Console, set");
  Check(C_GetStream() != 0 && C_GetStream() == Console->stream, "C_GetStream");

  QxAtom prompt = PutAtom(0, "consumer> ");
  C_SetPrompt(prompt);
  Check(C_GetPrompt() == prompt && Console->prompt == prompt, "C_SetPrompt/C_GetPrompt");
  Check(C_GetPromptPostfix() == 1, "prompt postfix 1 (none) after SetTerminal");
  Check(C_GetLog() == 0, "no log after SetTerminal");
  C_NORMAL();
  Check(Console->input_mode == NORMAL, "C_NORMAL");
  C_TOPLEVEL();
  Check(Console->input_mode == TOPLEVEL, "C_TOPLEVEL");

  /* Before InitTermIO the screen size is not known yet: 0 x 0. */
  int columns = -1, rows = -1;
  C_Screen(&columns, &rows);
  Check(columns == Console->columns && rows == Console->rows, "C_Screen");

  dl_iterate_phdr(FindModule, NULL);
  printf("qxcurses consumer: prompt \"%s\" screen %dx%d module %s\n",
         Atomman_AtomNo2AtomName(C_GetPrompt()), columns, rows, module_path);
  fflush(stdout);
  if (failures != 0) return 1;
  return report != NULL ? RunOnTerminal(report) : 0;
}
