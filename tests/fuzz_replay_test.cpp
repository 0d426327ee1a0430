// Replays the fuzz targets' kept inputs (fuzz/corpus/<target> and the crashes
// kept in fuzz/regressions/<target>) through the same target functions, in
// the normal build: each target runs in a child of its own (the harness takes
// descriptors 0 and 1 for its pty), once per screen size and terminal type for
// the output target.  A crash, a sanitizer report, a broken invariant (the
// harness aborts) or a hang (60 s) fails the test.
#include "harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef QX_FUZZ_DIR
#error "QX_FUZZ_DIR must name the fuzz directory of the sources"
#endif

namespace {

using Target = int (*)(const uint8_t *, size_t);

// The regular files of a directory, sorted; none when it does not exist.
std::vector<std::string> Files(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.' && std::string(e->d_name) != "README.md")
        out.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Runs every file through `target` in this process and exits: 0 when all ran.
[[noreturn]] void ReplayAll(Target target, const std::vector<std::string> &files) {
  for (const std::string &f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), {});
    target(reinterpret_cast<const uint8_t *>(data.data()), data.size());
  }
  _exit(0);
}

// Replays the kept inputs of `name` in a child at `size` on `term`; returns
// how the child ended ("exit 0" when every input ran).
std::string Replay(Target target, const std::string &name, const char *size,
                   const char *term) {
  std::vector<std::string> files = Files(std::string(QX_FUZZ_DIR) + "/corpus/" + name);
  for (const std::string &f : Files(std::string(QX_FUZZ_DIR) + "/regressions/" + name))
    files.push_back(f);
  if (files.empty()) return "no input for " + name;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("QX_FUZZ_SIZE", size, 1);
    setenv("QX_FUZZ_TERM", term, 1);
    ReplayAll(target, files);
  }
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= 60000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "hung";
    }
    usleep(10000);
  }
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// Catches: a kept key input that crashes the line editor again, or breaks the
// record's invariants (line, keyback, ring, cursor, shadow rows, SIGINT action).
TEST(FuzzReplay, Keys) {
  EXPECT_EQ(Replay(QxFuzzKeys, "keys", "80x24", "xterm"), "exit 0");
}

// Catches: a kept output input that crashes, writes outside the shadow, breaks
// the invariants or loses a logged byte, at each size class and terminal kind.
TEST(FuzzReplay, Output) {
  const char *const sizes[][2] = {{"80x24", "xterm"},
                                  {"1x1", "vt100"},
                                  {"300x100", "xterm-noxenl"},
                                  {"12x5", "ansi"},
                                  {"40x3", "xterm-nodl"}};
  for (const auto &s : sizes)
    EXPECT_EQ(Replay(QxFuzzOutput, "output", s[0], s[1]), "exit 0")
        << s[0] << " " << s[1];
}

// Catches: a kept sequence of built-in calls that crashes or breaks the
// invariants.
TEST(FuzzReplay, Builtins) {
  EXPECT_EQ(Replay(QxFuzzBuiltins, "builtins", "80x24", "xterm"), "exit 0");
}

} // namespace
