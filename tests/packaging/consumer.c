/* An engine program built against an installed qxcurses, in plain C (so that
 * it also proves the installed console.h is C).  The engine names come from
 * the engine stand-in libqxhost, which the program is linked with.  It prints
 * the file the module was loaded from; on a terminal (`consumer --terminal`)
 * it also starts the console, writes a line through `user` and leaves through
 * ExittingMessage, and fails when the line is not in the shadow or the
 * engine's SIGINT handler was not kept. */
#define _GNU_SOURCE
#include <console.h>

#include <link.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

/* Prints the path of the loaded module; stops the walk there. */
static int PrintModule(struct dl_phdr_info *info, size_t size, void *data) {
  (void)size, (void)data;
  if (info->dlpi_name == NULL || strstr(info->dlpi_name, "libqxcurses.so") == NULL) return 0;
  printf("module %s\n", info->dlpi_name);
  return 1;
}

/* The engine's own SIGINT handler, installed before InitTermIO. */
static void OnSigint(int signo) {
  (void)signo;
}

int main(int argc, char **argv) {
  (void)argv;
  SetTerminal();
  dl_iterate_phdr(PrintModule, NULL);
  fflush(stdout);
  if (argc < 2) return 0;
  struct sigaction act, now;
  memset(&act, 0, sizeof act);
  act.sa_handler = OnSigint;
  sigaction(SIGINT, &act, NULL);
  InitTermIO();
  Stream_sprntln(C_GetStream(), "hello from the consumer");
  int ok = memcmp(Console->shadow[0], "hello from", 10) == 0 && Console->cur_y == 1;
  sigaction(SIGINT, NULL, &now);
  ExittingMessage();
  return ok && now.sa_handler == OnSigint ? 0 : 1;
}
