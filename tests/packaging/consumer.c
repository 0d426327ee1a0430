/* An engine program in C, built against an installed qxcurses and the engine
 * stand-in libqxhost: prints the file the module was loaded from; with
 * --terminal also starts the console and writes a line through `user`. */
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
  if (argc < 2) return 0;
  InitTermIO();
  Stream_sprntln(C_GetStream(), "hello from the consumer");
  ExittingMessage();
  return 0;
}
