/* An engine program built against an installed qxcurses, in plain C (so that
 * it also proves the installed console.h is C), linked with the engine
 * stand-in libqxhost for the engine names.  It prints the file the module was
 * loaded from; on a terminal (`consumer --terminal`) it also starts the
 * console, writes a line through `user` and leaves through ExittingMessage. */
#define _GNU_SOURCE
#include <console.h>

#include <link.h>
#include <stdio.h>
#include <string.h>

/* Prints the path of the loaded module; stops the walk there. */
static int PrintModule(struct dl_phdr_info *info, size_t size, void *data) {
  (void)size, (void)data;
  if (strstr(info->dlpi_name, "libqxcurses.so") == NULL) return 0;
  return printf("module %s\n", info->dlpi_name), 1;
}

int main(int argc, char **argv) {
  (void)argv;
  SetTerminal();
  dl_iterate_phdr(PrintModule, NULL);
  fflush(stdout);
  if (argc < 2) return 0;
  InitTermIO();
  Stream_sprntln(C_GetStream(), "hello from the consumer");
  ExittingMessage();
  return 0;
}
