// Cost by column: the time to write one character at column 1 and at column
// 200 of a 250-column terminal (24 rows), for three kinds of row.
//
// Method.  The child writes three rows through `user`, each 199 columns wide:
//   ascii  199 printable ASCII characters;
//   mb2    199 two-byte, one-column characters (é ü ...);
//   wide   99 three-byte, two-column CJK characters and one ASCII character.
// Every row below them is then filled with 249 columns of words, so that the
// screen is full, as a console in use is: curses scans blank rows at the
// bottom of the screen on every refresh, a cost that does not depend on the
// column and would hide the module's own (--blank-below leaves them blank).
// A measured write then puts one character of the row's kind either on the
// row's first character (column 1) or just after its 199 columns (column
// 200): before each write the record's cursor (Console->cur_y, cur_x, the
// byte index of that column) is set directly, as C_SetCursor would set it
// but without its two refreshes, and the character's bytes go through
// Stream__sputc.  Two characters alternate so that every write changes the
// cell, and each costs one write to the terminal (the character, after a
// one-byte move back of the terminal's cursor, the same at both columns).
// The rows and their lengths are the same for both columns, so the only
// difference between the two figures is the column: what is left of the
// cursor.  With --run N, N characters follow one another after each
// placement (columns 1..N and 200..199+N): the appending pattern of ordinary
// output, against the overwriting one of the default (N = 1).  Batches of
// the six cases are interleaved; each case's figure is
// the median over its batches, then the median over the rounds (children).
//
// bench/callgrind_columns.sh runs the same six cases under callgrind (each
// in a function of its own, collected alone) for instruction counts.
//
//   qx_bench_columns [--rounds N] [--quick] [--strict] [--iterations N] [--batches N]
//                    [--blank-below] [--run N]
//   qx_bench_columns --callgrind FILE [--iterations N] [--blank-below] [--run N]
#include "childlib.h"
#include "harness.h"

#include "host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRows = 24, kCols = 250, kFilled = 199;

// One row kind: its row on the screen, the byte index of column 200, and the
// two characters written alternately.
struct Kind {
  const char *name;
  int row;
  int x200;
  const char *a, *b;
};
const Kind kKinds[] = {
    {"ascii", 0, 199, "x", "y"}, {"mb2", 1, 398, "é", "ü"}, {"wide", 2, 298, "漢", "字"}};

int run_length = 1; // characters written in a row after each placement

// Writes `n` characters of the kind from byte index x of its row: the
// record's cursor is placed there, then run_length characters follow one
// another (the same one in a run; runs alternate between the two).
void WriteAt(const Kind &k, int x, long n) {
  for (long i = 0; i * run_length < n; ++i) {
    Console->cur_y = k.row;
    Console->cur_x = x;
    for (int j = 0; j < run_length; ++j)
      qxb::ModulePut(i & 1 ? k.b : k.a);
  }
}

} // namespace

// The six cases, each a C name of its own so that callgrind can count it.
extern "C" {
__attribute__((noinline)) void qxb_col_ascii_1(long n) {
  WriteAt(kKinds[0], 0, n);
}
__attribute__((noinline)) void qxb_col_ascii_200(long n) {
  WriteAt(kKinds[0], kKinds[0].x200, n);
}
__attribute__((noinline)) void qxb_col_mb2_1(long n) {
  WriteAt(kKinds[1], 0, n);
}
__attribute__((noinline)) void qxb_col_mb2_200(long n) {
  WriteAt(kKinds[1], kKinds[1].x200, n);
}
__attribute__((noinline)) void qxb_col_wide_1(long n) {
  WriteAt(kKinds[2], 0, n);
}
__attribute__((noinline)) void qxb_col_wide_200(long n) {
  WriteAt(kKinds[2], kKinds[2].x200, n);
}
}

namespace {

typedef void (*CaseFn)(long);
const CaseFn kCases[6] = {qxb_col_ascii_1, qxb_col_ascii_200, qxb_col_mb2_1,
                          qxb_col_mb2_200, qxb_col_wide_1,    qxb_col_wide_200};

// Writes the three 199-column rows through `user`, one per screen row, then
// (unless `blank_below`) fills every row below with 249 columns of words.
void FillRows(bool blank_below) {
  std::string row;
  for (const std::string &ch : qxb::LineChars(false, kFilled, 7, false))
    qxb::ModulePut(ch);
  qxb::ModulePut("\x1f");
  for (int i = 0; i < kFilled; ++i)
    qxb::ModulePut(i & 1 ? "ü" : "é");
  qxb::ModulePut("\x1f");
  for (int i = 0; i < kFilled / 2; ++i)
    qxb::ModulePut(i & 1 ? "字" : "漢");
  qxb::ModulePut("z");
  if (blank_below) return;
  for (int y = 3; y < kRows; ++y) {
    qxb::ModulePut("\x1f");
    for (const std::string &ch :
         qxb::LineChars(false, kCols - 1, static_cast<unsigned>(y), true))
      qxb::ModulePut(ch);
  }
}

// The child: fills the rows, runs `batches` interleaved batches of
// `iterations` writes per case, and reports each case's median ns per write.
int RunChild(long iterations, int batches, bool blank_below, int run) {
  run_length = run < 1 ? 1 : run;
  qxb::StartModule();
  FillRows(blank_below);
  std::vector<double> ns[6];
  for (int b = 0; b < batches; ++b) {
    for (int c = 0; c < 6; ++c) {
      long long t0 = qxb::NowNs();
      kCases[c](iterations);
      long long t1 = qxb::NowNs();
      ns[c].push_back(static_cast<double>(t1 - t0) / static_cast<double>(iterations));
    }
  }
  qxb::StopModule();
  for (int c = 0; c < 6; ++c)
    qxb::Report("ns_" + std::to_string(c), qxb::Median(ns[c]));
  qxb::Finish();
}

// The value of "--name N", or `fallback`.
long NumArg(const qxb::Options &opt, const std::string &name, long fallback) {
  for (size_t i = 0; i + 1 < opt.rest.size(); ++i)
    if (opt.rest[i] == name) return atol(opt.rest[i + 1].c_str());
  return fallback;
}

// True when --blank-below was given.
bool BlankBelow(const qxb::Options &opt) {
  for (const std::string &a : opt.rest)
    if (a == "--blank-below") return true;
  return false;
}

// Runs one child (under callgrind when `callgrind` names an output file);
// stores the six figures (ns per write); false on failure.
bool RunOnce(long iterations, int batches, const qxb::Options &opt,
             const std::string &callgrind, double out[6]) {
  qxb::Spawn spawn;
  spawn.rows = kRows;
  spawn.cols = kCols;
  if (!callgrind.empty())
    spawn.argv = {qxb::FindProgram("valgrind"), "--tool=callgrind",
                  "--callgrind-out-file=" + callgrind, "--toggle-collect=qxb_col_*",
                  "--log-file=" + callgrind + ".log"};
  for (const std::string &a :
       {qxb::SelfExe(), std::string("--child"), std::string("columns"),
        std::to_string(iterations), std::to_string(batches),
        std::string(BlankBelow(opt) ? "1" : "0"),
        std::to_string(NumArg(opt, "--run", 1))})
    spawn.argv.push_back(a);
  qxb::PtyChild child;
  if (!child.Start(spawn)) {
    fprintf(stderr, "columns: %s\n", child.error().c_str());
    return false;
  }
  child.StartDrain();
  bool ok = child.Finish(callgrind.empty() ? 60000 : 600000);
  for (int c = 0; c < 6; ++c) {
    out[c] = child.Result("ns_" + std::to_string(c));
    if (std::isnan(out[c])) ok = false;
  }
  if (!ok) fprintf(stderr, "columns: %s\n", child.error().c_str());
  return ok;
}

// The writes per case: the number asked for, rounded up to whole runs.
long Iterations(const qxb::Options &opt, long fallback) {
  long run = std::max(1L, NumArg(opt, "--run", 1));
  long n = std::max(1L, NumArg(opt, "--iterations", fallback));
  return (n + run - 1) / run * run;
}

// Runs the rounds; prints the figures per kind and column, the ratios and
// the goals.
int RunAll(const qxb::Options &opt) {
  long iterations = Iterations(opt, opt.quick ? 200 : 500);
  int batches = static_cast<int>(NumArg(opt, "--batches", opt.quick ? 5 : 10));
  int failures = 0;
  std::vector<double> ns[6];
  for (int r = 0; r < opt.rounds; ++r) {
    double out[6];
    if (!RunOnce(iterations, batches, opt, "", out)) {
      failures++;
      continue;
    }
    for (int c = 0; c < 6; ++c)
      ns[c].push_back(out[c]);
  }
  printf(
      "columns: µs per character at column 1 and 200 of a 250x24 terminal (median of %d "
      "batches of %ld writes per child, median of %d rounds)\n%s\n",
      batches, iterations, opt.rounds, qxb::MachineLine().c_str());
  printf("%-6s %10s %12s %8s\n", "row", "col 1 us", "col 200 us", "200/1");
  for (int k = 0; k < 3; ++k) {
    double c1 = qxb::Median(ns[2 * k]) / 1000.0,
           c200 = qxb::Median(ns[2 * k + 1]) / 1000.0;
    printf("%-6s %10.3f %12.3f %7.2fx\n", kKinds[k].name, c1, c200, c200 / c1);
    char what[160];
    snprintf(what, sizeof what,
             "columns %s: column 200 costs %.2fx column 1 (goal <= 1.1x)", kKinds[k].name,
             c200 / c1);
    qxb::Goal(c1 > 0 && c200 > 0 && c200 <= 1.1 * c1, what);
  }
  return failures;
}

// Callgrind mode: one child, one batch of each case, collected alone.
int RunCallgrind(const qxb::Options &opt) {
  long iterations = Iterations(opt, 500);
  double out[6];
  if (!RunOnce(iterations, 1, opt, opt.callgrind_out, out)) return 1;
  printf("iterations %ld\n", iterations);
  return 0;
}

} // namespace

// Child mode when called with --child columns ITERATIONS BATCHES BLANK RUN,
// else the benchmark.
int main(int argc, char **argv) {
  if (argc >= 7 && strcmp(argv[1], "--child") == 0 && strcmp(argv[2], "columns") == 0)
    return RunChild(atol(argv[3]), atoi(argv[4]), atoi(argv[5]) != 0, atoi(argv[6]));
  qxb::Options opt = qxb::ParseOptions(argc, argv);
  if (!opt.callgrind_out.empty()) return RunCallgrind(opt);
  int failures = RunAll(opt);
  if (failures) printf("columns: %d run(s) failed\n", failures);
  return failures ? 2 : qxb::ExitStatus(opt);
}
