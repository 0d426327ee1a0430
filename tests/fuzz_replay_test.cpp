// Replays the fuzz targets' kept inputs (fuzz/corpus/<target> and the crashes
// kept in fuzz/regressions/<target>) through the same target functions, in
// the normal build, each target in a child of its own (the harness takes
// descriptors 0 and 1 for its pty).  A crash, a sanitizer report, a broken
// invariant (the harness aborts) or a hang (60 s) fails the test.
#include "harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#ifndef QX_FUZZ_DIR
#error "QX_FUZZ_DIR must name the fuzz directory of the sources"
#endif

namespace {

namespace fs = std::filesystem;
using Target = int (*)(const uint8_t *, size_t);

// Replays the kept inputs of `name` in a child at `size` on `term`; returns
// how the child ended ("exit 0" when every input ran).
std::string Replay(Target target, const std::string &name, const char *size,
                   const char *term) {
  std::set<fs::path> files; // in order: the corpus, then the regressions
  for (const char *kind : {"/corpus/", "/regressions/"})
    if (fs::is_directory(QX_FUZZ_DIR + (kind + name)))
      for (const auto &e : fs::directory_iterator(QX_FUZZ_DIR + (kind + name)))
        if (e.path().extension() != ".md") files.insert(e.path());
  if (files.empty()) return "no input for " + name;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("QX_FUZZ_SIZE", size, 1), setenv("QX_FUZZ_TERM", term, 1);
    alarm(60); // a hang ends in SIGALRM
    for (const fs::path &f : files) {
      std::ifstream in(f, std::ios::binary);
      std::string data((std::istreambuf_iterator<char>(in)), {});
      target(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// Catches: a kept input that crashes again or breaks the record's invariants
// (line, keyback, ring, cursor, shadow rows, SIGINT action); for the output
// target also one that writes outside the shadow or loses a logged byte, at
// each size class and terminal kind.
TEST(FuzzReplay, Targets) {
  const struct {
    Target target;
    const char *name, *size, *term;
  } runs[] = {{QxFuzzKeys, "keys", "80x24", "xterm"},
              {QxFuzzBuiltins, "builtins", "80x24", "xterm"},
              {QxFuzzOutput, "output", "80x24", "xterm"},
              {QxFuzzOutput, "output", "1x1", "vt100"},
              {QxFuzzOutput, "output", "300x100", "xterm-noxenl"},
              {QxFuzzOutput, "output", "12x5", "ansi"},
              {QxFuzzOutput, "output", "40x3", "xterm-nodl"}};
  for (const auto &r : runs)
    EXPECT_EQ(Replay(r.target, r.name, r.size, r.term), "exit 0")
        << r.name << " " << r.size << " " << r.term;
}

} // namespace
