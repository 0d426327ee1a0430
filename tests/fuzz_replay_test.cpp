// fuzz_replay_test TARGET FILE...: replays kept fuzz inputs (fuzz/corpus and
// fuzz/regressions) through the fuzz target TARGET (keys, output, builtins)
// in the normal build, at the size and on the terminal of QX_FUZZ_SIZE and
// QX_FUZZ_TERM (one CTest test per run, from fuzz_replay.cmake).  A crash, a
// sanitizer report or a broken invariant (the harness aborts) fails the test,
// and so does a hang (CTest's timeout).
#include "harness.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
  const char *names[] = {"keys", "output", "builtins"};
  int (*const targets[])(const uint8_t *, size_t) = {QxFuzzKeys, QxFuzzOutput,
                                                     QxFuzzBuiltins};
  for (int t = 0; t < 3 && argc > 2; t++) {
    if (std::strcmp(argv[1], names[t]) != 0) continue;
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
