// fuzz_replay_test TARGET FILE...: kept fuzz inputs through fuzz target TARGET (keys,
// output, builtins) in the normal build; a crash, a sanitizer report, a broken
// invariant (the harness aborts) or a hang (CTest's timeout) fails.
#include "harness.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
  const char *names[] = {"keys", "output", "builtins"};
  int (*const targets[])(const uint8_t *, size_t) = {QxFuzzKeys, QxFuzzOutput,
                                                     QxFuzzBuiltins};
  for (int t = 0; t < 3 && argc > 2; t++) {
    if (argv[1] != std::string(names[t])) continue;
    for (int i = 2; i < argc; i++) {
      std::ifstream in(argv[i], std::ios::binary);
      if (!in) return std::fprintf(stderr, "cannot read %s\n", argv[i]), 2;
      std::string data((std::istreambuf_iterator<char>(in)), {});
      targets[t](reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    return 0;
  }
  return std::fprintf(stderr, "usage: %s keys|output|builtins FILE...\n", argv[0]), 2;
}
