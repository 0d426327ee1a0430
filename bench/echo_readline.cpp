// The echo latency peer: GNU readline reading lines with the prompt "| " until
// end of file (Ctrl-D on an empty line).
#include <cstdio>
#include <cstdlib>
#include <readline/readline.h>

// Reads and drops lines until readline returns NULL; returns 0.
int main() {
  for (;;) {
    char *line = readline("| ");
    if (line == nullptr) break;
    free(line);
  }
  return 0;
}
