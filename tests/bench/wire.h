// What the bench's child and parent halves share.  The side channel (a stream
// socket, descriptor 3 in the child) carries one escaped line per message:
// child -> parent "R <key>\t<value>" (a report), "S <seq> <name>" (a step; seq
// > 0 names the marker written just before), "F <text>" (a failure), "E -"
// (the function returned); parent -> child "<data>" (for WaitParent) and, after
// "E", "!" once every marker has come through.  A step marker, ESC _
// qxbench-step:<seq> ESC \, goes to the terminal through descriptor 4; the
// parent removes it and counts the step only when it arrives.
#ifndef QX_BENCH_WIRE_H
#define QX_BENCH_WIRE_H

#include "bench.h"

namespace bench::wire {

constexpr int kSideFd = 3, kSyncFd = 4; // the child's side channel and marker fd
constexpr char kMarkerStart[] = "\x1b_qxbench-step:", kMarkerEnd[] = "\x1b\\";

// Backslash, newline, tab, CR and NUL become \\ \n \t \r \0.
std::string Escape(const std::string &s);
std::string Unescape(const std::string &s);
// Writes all of `data`, waiting on a full descriptor; false on an error.
bool WriteAll(int fd, const std::string &data);
// In the freshly forked child: makes `slave` (named `name`) its controlling
// terminal, lays out descriptors 0..4, sets the environment, runs `fn`, exits.
[[noreturn]] void RunChild(int slave, int err, int side, const char *name,
                           const Options &opt, const std::function<void()> &fn);

} // namespace bench::wire

#endif // QX_BENCH_WIRE_H
