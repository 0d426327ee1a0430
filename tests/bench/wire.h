// What the bench's child and parent halves share: descriptor numbers, the
// side-channel line format and the in-band step marker.
//
// Side channel (a stream socket on descriptor 3 in the child), one message per
// line, values escaped so that any bytes fit on one line:
//   child -> parent   "R <key>\t<value>"   a report
//                     "S <seq> <name>"     a step; seq > 0 names the marker
//                                          written to the terminal just before
//                     "F <text>"           a failure
//                     "E -"                the child function returned
//   parent -> child   "<data>"             the answer to WaitParent
//                     "!"                  (after "E") every marker has come
//                                          through: the child may exit
// Step marker: ESC _ qxbench-step:<seq> ESC \ written to the terminal through
// descriptor 4.  The parent removes markers from the stream before rendering,
// and counts a step as reached only when its marker has arrived, so that all
// output written before the step has been rendered.
#ifndef QX_BENCH_WIRE_H
#define QX_BENCH_WIRE_H

#include "bench.h"

#include <functional>
#include <string>

namespace bench {
namespace wire {

constexpr int kSideFd = 3;
constexpr int kSyncFd = 4;
constexpr char kMarkerStart[] = "\x1b_qxbench-step:";
constexpr char kMarkerEnd[] = "\x1b\\";

// Backslash, newline, tab, CR and NUL become \\ \n \t \r \0.
std::string Escape(const std::string &s);
std::string Unescape(const std::string &s);

// Writes all of `data`, retrying after EINTR and short writes.
bool WriteAll(int fd, const std::string &data);

// Everything the child needs from the parent to set itself up.
struct ChildPlan {
  int slave = -1;
  int stderr_w = -1;
  int side = -1;
  std::string slave_name;
  const Options *opt = nullptr;
};

// Runs in the freshly forked child: makes the slave its controlling terminal,
// lays out descriptors 0..4, sets the environment, runs `fn` and exits.
[[noreturn]] void RunChild(const ChildPlan &plan, const std::function<void()> &fn);

} // namespace wire
} // namespace bench

#endif // QX_BENCH_WIRE_H
