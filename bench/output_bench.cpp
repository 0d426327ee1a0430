// Output throughput: characters per second written to the console stream
// `user`, against two baselines on the same kind of pty, same size:
//   floor   one putc + fflush(stdout) per character, after the same curses
//           set-up (the least the one-refresh-per-character rule allows: one
//           write to the terminal per character);
//   curses  waddch (each byte) + wrefresh per character, stdscr scrolling;
//   module  Stream__sputc of each byte to `user`.
// Each line is 79 display columns of characters and a newline, so that every
// line scrolls once the screen is full.  The text has no spaces: curses (and
// the module through it) send nothing for a space written on a blank cell,
// which would flatter them against the floor.  "ascii" is printable ASCII;
// "utf8" mixes ASCII, two-byte one-column letters and three-byte two-column
// CJK characters.  A character is one displayed character (or the newline),
// whatever its bytes.
//
// Every run is a fresh child whose stdout is the pty slave; a reader thread
// in the parent drains the master as fast as it can and counts the bytes.
// The child first fills the screen (untimed), so that every timed line
// scrolls, then times its own write loop; markers around the loop let the
// parent count the loop's bytes alone.  Variants are interleaved within each
// round and the figures are medians over the rounds.
//
//   qx_bench_output [--rounds N] [--quick] [--strict] [--lines N]
//   qx_bench_output --one [--variant V] [--text T] [--size CxR] [--lines N]
//       runs one child and prints its figures;
//   qx_bench_output --callgrind FILE [--variant V] [--text T] [--size CxR] [--lines N]
//       the same child under callgrind, collecting only the write loop.
// (QXB_DUMP=FILE in the environment appends the terminal's bytes to FILE.)
#include "childlib.h"
#include "harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <string>
#include <vector>

namespace {

enum Variant { kFloor = 0, kCurses = 1, kModule = 2 };
const char *const kVariantName[] = {"floor", "curses", "module"};
constexpr int kLineColumns = 79;
constexpr int kDistinctLines = 64;
constexpr int kTimeoutMs = 60000;

// What one child writes.
struct Work {
  int variant;
  bool utf8;
  int lines;
  std::vector<std::vector<std::string>> text; // kDistinctLines lines of characters
};

// Writes one character the floor's way: its bytes, then one flush.
void FloorPut(const std::string &ch) {
  for (unsigned char b : ch)
    putc(b, stdout);
  fflush(stdout);
}

// Writes one character the bare curses way: its bytes, then one refresh.
void CursesPut(const std::string &ch) {
  for (unsigned char b : ch)
    waddch(stdscr, b);
  wrefresh(stdscr);
}

// Writes the end of a line as the variant does.
void PutNewline(int variant) {
  if (variant == kFloor) {
    putc('\r', stdout);
    putc('\n', stdout);
    fflush(stdout);
  } else if (variant == kCurses) {
    waddch(stdscr, '\n');
    wrefresh(stdscr);
  } else {
    qxb::ModulePut(std::string(1, '\x1f'));
  }
}

// Writes lines first .. first + count - 1 of the text (cycling through the
// distinct lines), one character at a time; returns the characters written.
long WriteLines(const Work *work, int first, int count) {
  long chars = 0;
  for (int i = first; i < first + count; ++i) {
    const std::vector<std::string> &line =
        work->text[static_cast<size_t>(i % kDistinctLines)];
    for (const std::string &ch : line) {
      if (work->variant == kFloor)
        FloorPut(ch);
      else if (work->variant == kCurses)
        CursesPut(ch);
      else
        qxb::ModulePut(ch);
    }
    PutNewline(work->variant);
    chars += static_cast<long>(line.size()) + 1;
  }
  return chars;
}

} // namespace

// The measured loop (a C name, so that callgrind can collect it alone): writes
// work->lines lines after the screen's first `rows` lines; returns the
// characters written.
extern "C" __attribute__((noinline)) long qxb_output_loop(const Work *work, int rows) {
  return WriteLines(work, rows, work->lines);
}

namespace {

// The child: sets the terminal up as the variant needs, fills the screen
// (untimed, so that every timed line scrolls), times the loop and reports
// ns and chars.
int RunChild(char **argv) {
  Work work;
  work.variant = atoi(argv[2]);
  work.utf8 = atoi(argv[3]) != 0;
  work.lines = atoi(argv[4]);
  for (int i = 0; i < kDistinctLines; ++i)
    work.text.push_back(
        qxb::LineChars(work.utf8, kLineColumns, static_cast<unsigned>(i), false));
  if (work.variant == kModule)
    qxb::StartModule();
  else
    qxb::StartCurses(true);
  WriteLines(&work, 0, LINES);
  qxb::Marker("filled");
  long long t0 = qxb::NowNs();
  long chars = qxb_output_loop(&work, LINES);
  long long t1 = qxb::NowNs();
  qxb::Marker("loop");
  if (work.variant == kModule)
    qxb::StopModule();
  else
    qxb::StopCurses();
  qxb::Report("ns", static_cast<double>(t1 - t0));
  qxb::Report("chars", static_cast<double>(chars));
  qxb::Finish();
}

// One measurement: µs per character and terminal bytes per character.
struct Sample {
  bool ok = false;
  double us_per_char = 0;
  double bytes_per_char = 0;
  long chars = 0;
};

// Runs one child (under callgrind when `callgrind` names an output file).
Sample RunOnce(int variant, bool utf8, int rows, int cols, int lines,
               const std::string &callgrind) {
  qxb::Spawn spawn;
  spawn.rows = rows;
  spawn.cols = cols;
  if (!callgrind.empty()) {
    spawn.argv = {qxb::FindProgram("valgrind"), "--tool=callgrind",
                  "--callgrind-out-file=" + callgrind, "--toggle-collect=qxb_output_loop",
                  "--log-file=" + callgrind + ".log"};
  }
  for (const std::string &a :
       {qxb::SelfExe(), std::string("--child"), std::string("output"),
        std::to_string(variant), std::to_string(utf8 ? 1 : 0), std::to_string(lines)})
    spawn.argv.push_back(a);
  qxb::PtyChild child;
  Sample s;
  if (!child.Start(spawn)) {
    fprintf(stderr, "output: %s\n", child.error().c_str());
    return s;
  }
  child.StartDrain();
  bool ok = child.Finish(callgrind.empty() ? kTimeoutMs : 10 * kTimeoutMs);
  double ns = child.Result("ns"), chars = child.Result("chars");
  if (!ok || std::isnan(ns) || std::isnan(chars) || chars <= 0) {
    fprintf(stderr, "output: %s %s %dx%d: %s\n", kVariantName[variant],
            utf8 ? "utf8" : "ascii", cols, rows, child.error().c_str());
    return s;
  }
  s.ok = true;
  s.chars = static_cast<long>(chars);
  s.us_per_char = ns / 1000.0 / chars;
  auto seg = child.Segments();
  s.bytes_per_char =
      seg["loop"].empty() ? 0 : static_cast<double>(seg["loop"][0]) / chars;
  return s;
}

// The value of "--name V" among the remaining arguments, or `fallback`.
std::string Arg(const qxb::Options &opt, const std::string &name,
                const std::string &fallback) {
  for (size_t i = 0; i + 1 < opt.rest.size(); ++i)
    if (opt.rest[i] == name) return opt.rest[i + 1];
  return fallback;
}

// One child of the chosen variant, text and size, under callgrind when asked;
// prints the characters written (so that instructions per character can be
// worked out), µs and terminal bytes per character.
int RunSingle(const qxb::Options &opt) {
  std::string v = Arg(opt, "--variant", "module"), size = Arg(opt, "--size", "80x24");
  int variant = v == "floor" ? kFloor : v == "curses" ? kCurses : kModule;
  bool utf8 = Arg(opt, "--text", "ascii") == "utf8";
  int cols = 80, rows = 24;
  sscanf(size.c_str(), "%dx%d", &cols, &rows);
  int lines = atoi(Arg(opt, "--lines", "60").c_str());
  Sample s = RunOnce(variant, utf8, rows, cols, lines, opt.callgrind_out);
  if (!s.ok) return 1;
  printf("chars %ld\nus_per_char %.3f\nbytes_per_char %.2f\n", s.chars, s.us_per_char,
         s.bytes_per_char);
  return 0;
}

// Prints one row of the table.
void PrintRow(const char *size, const char *text, const char *variant, double us,
              double bytes, double floor_us) {
  printf("%-7s %-6s %-7s %9.3f %11.0f %9.2f %8.2fx\n", size, text, variant, us, 1e6 / us,
         bytes, us / floor_us);
}

// Runs every size, text and variant for the rounds; prints the medians, the
// ratios and the goal lines.  Returns the number of failed runs.
int RunAll(const qxb::Options &opt) {
  int lines = atoi(Arg(opt, "--lines", opt.quick ? "80" : "300").c_str());
  struct Size {
    int cols, rows;
    const char *name;
  };
  const Size sizes[] = {{80, 24, "80x24"}, {200, 60, "200x60"}};
  printf("output: µs per character written (median of %d rounds, %d lines of %d columns "
         "+ newline per run)\n%s\n",
         opt.rounds, lines, kLineColumns, qxb::MachineLine().c_str());
  printf("%-7s %-6s %-7s %9s %11s %9s %9s\n", "size", "text", "variant", "us/char",
         "chars/s", "bytes/ch", "vs floor");
  int failures = 0;
  for (const Size &size : sizes) {
    for (int t = 0; t < 2; ++t) {
      std::vector<double> us[3], bytes[3];
      for (int r = 0; r < opt.rounds; ++r) {
        for (int v = 0; v < 3; ++v) {
          Sample s = RunOnce(v, t == 1, size.rows, size.cols, lines, "");
          if (!s.ok) {
            failures++;
            continue;
          }
          us[v].push_back(s.us_per_char);
          bytes[v].push_back(s.bytes_per_char);
        }
      }
      double med[3];
      for (int v = 0; v < 3; ++v)
        med[v] = qxb::Median(us[v]);
      for (int v = 0; v < 3; ++v)
        PrintRow(size.name, t ? "utf8" : "ascii", kVariantName[v], med[v],
                 qxb::Median(bytes[v]), med[kFloor]);
      char what[200];
      snprintf(what, sizeof what,
               "output %s %s: module %.2fx floor, curses %.2fx floor (goal: module <= "
               "1.5x floor)",
               size.name, t ? "utf8" : "ascii", med[kModule] / med[kFloor],
               med[kCurses] / med[kFloor]);
      qxb::Goal(med[kFloor] > 0 && med[kModule] > 0 && med[kModule] <= 1.5 * med[kFloor],
                what);
    }
  }
  return failures;
}

} // namespace

// Child mode when called with --child output ..., else the benchmark.
int main(int argc, char **argv) {
  if (argc >= 6 && strcmp(argv[1], "--child") == 0 && strcmp(argv[2], "output") == 0)
    return RunChild(argv + 1);
  qxb::Options opt = qxb::ParseOptions(argc, argv);
  bool one = std::find(opt.rest.begin(), opt.rest.end(), "--one") != opt.rest.end();
  if (one || !opt.callgrind_out.empty()) return RunSingle(opt);
  int failures = RunAll(opt);
  if (failures) printf("output: %d run(s) failed\n", failures);
  return failures ? 2 : qxb::ExitStatus(opt);
}
