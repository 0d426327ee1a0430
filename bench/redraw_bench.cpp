// Redraw: S_redisplay of a full screen of text, against curses' own full
// repaint of the same screen, in the same child on the same pty:
//   module   S_redisplay() (clears curses' screen, draws the shadow, refreshes);
//   repaint  clearok(curscr, TRUE) + wrefresh(curscr): curses repaints what
//            it has on the screen (the goal's baseline);
//   redraw   wclear(stdscr), the same rows drawn with mvwaddstr, wrefresh.
// The screen is first filled through `user`: every row holds a line of words
// (width - 1 columns, so that nothing wraps), ASCII or the UTF-8 mix.  The
// three operations are then repeated in turn.  Each operation is timed in the
// child; after each the child writes an in-band marker to the terminal, and
// the parent's reader counts the bytes between markers, so the bytes of each
// operation are exact.  Figures are medians per child, then medians over the
// rounds (one child per round).
//
//   qx_bench_redraw [--rounds N] [--quick] [--strict] [--redraws N]
#include "childlib.h"
#include "harness.h"

#include "host.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <string>
#include <vector>

namespace {

const char *const kOps[] = {"module", "repaint", "redraw"};

// Fills the screen through `user` with one line of words per row; returns
// the rows as strings (for the curses redraw).
std::vector<std::string> FillScreen(bool utf8) {
  int cols = 0, rows = 0;
  C_Screen(&cols, &rows);
  std::vector<std::string> text;
  for (int y = 0; y < rows; ++y) {
    std::string row;
    for (const std::string &ch :
         qxb::LineChars(utf8, cols - 1, static_cast<unsigned>(y), true)) {
      qxb::ModulePut(ch);
      row += ch;
    }
    if (y < rows - 1) qxb::ModulePut("\x1f");
    text.push_back(row);
  }
  return text;
}

// Draws the rows into stdscr after clearing it and refreshes, the cursor
// left where it was.
void CursesRedraw(const std::vector<std::string> &text) {
  int y0, x0;
  getyx(stdscr, y0, x0);
  wclear(stdscr);
  for (size_t y = 0; y < text.size(); ++y)
    mvwaddstr(stdscr, static_cast<int>(y), 0, text[y].c_str());
  wmove(stdscr, y0, x0);
  wrefresh(stdscr);
}

// Runs operation `op` once and returns its time in ns; a marker follows it.
double TimeOp(int op, const std::vector<std::string> &text) {
  long long t0 = qxb::NowNs();
  if (op == 0) {
    S_redisplay();
  } else if (op == 1) {
    clearok(curscr, TRUE);
    wrefresh(curscr);
  } else {
    CursesRedraw(text);
  }
  long long t1 = qxb::NowNs();
  qxb::Marker(kOps[op]);
  return static_cast<double>(t1 - t0);
}

// The child: fills the screen, repeats the three operations in turn and
// reports the median time of each.
int RunChild(bool utf8, int redraws) {
  qxb::StartModule();
  std::vector<std::string> text = FillScreen(utf8);
  qxb::Marker("fill");
  std::vector<double> ns[3];
  for (int i = 0; i < redraws; ++i)
    for (int op = 0; op < 3; ++op)
      ns[op].push_back(TimeOp(op, text));
  qxb::StopModule();
  for (int op = 0; op < 3; ++op)
    qxb::Report(std::string("ns_") + kOps[op], qxb::Median(ns[op]));
  qxb::Finish();
}

// One child's figures: median µs and bytes per operation.
struct Sample {
  bool ok = false;
  double us[3] = {0, 0, 0};
  double bytes[3] = {0, 0, 0};
};

// Runs one child of the given size and text.
Sample RunOnce(int rows, int cols, bool utf8, int redraws) {
  qxb::Spawn spawn;
  spawn.rows = rows;
  spawn.cols = cols;
  spawn.argv = {qxb::SelfExe(), "--child", "redraw", utf8 ? "1" : "0",
                std::to_string(redraws)};
  qxb::PtyChild child;
  Sample s;
  if (!child.Start(spawn)) {
    fprintf(stderr, "redraw: %s\n", child.error().c_str());
    return s;
  }
  child.StartDrain();
  bool ok = child.Finish(60000);
  auto seg = child.Segments();
  for (int op = 0; op < 3; ++op) {
    s.us[op] = child.Result(std::string("ns_") + kOps[op]) / 1000.0;
    std::vector<double> b(seg[kOps[op]].begin(), seg[kOps[op]].end());
    s.bytes[op] = qxb::Median(b);
    if (std::isnan(s.us[op]) || static_cast<int>(b.size()) != redraws) ok = false;
  }
  if (!ok) fprintf(stderr, "redraw %dx%d: %s\n", cols, rows, child.error().c_str());
  s.ok = ok;
  return s;
}

// The value of "--redraws N", or the default for the mode.
int RedrawsArg(const qxb::Options &opt) {
  for (size_t i = 0; i + 1 < opt.rest.size(); ++i)
    if (opt.rest[i] == "--redraws") return atoi(opt.rest[i + 1].c_str());
  return opt.quick ? 10 : 40;
}

// Runs every size and text for the rounds; prints medians, ratios and goals.
int RunAll(const qxb::Options &opt) {
  int redraws = RedrawsArg(opt), failures = 0;
  struct Size {
    int cols, rows;
    const char *name;
  };
  const Size sizes[] = {{80, 24, "80x24"}, {200, 60, "200x60"}};
  printf("redraw: full screen of text (median of %d redraws per child, median of %d "
         "rounds)\n"
         "%s\n",
         redraws, opt.rounds, qxb::MachineLine().c_str());
  printf("%-7s %-6s %-8s %10s %9s %10s %10s\n", "size", "text", "op", "us/redraw",
         "bytes", "time/rep", "bytes/rep");
  for (const Size &size : sizes) {
    for (int t = 0; t < 2; ++t) {
      std::vector<double> us[3], bytes[3];
      for (int r = 0; r < opt.rounds; ++r) {
        Sample s = RunOnce(size.rows, size.cols, t == 1, redraws);
        if (!s.ok) {
          failures++;
          continue;
        }
        for (int op = 0; op < 3; ++op)
          us[op].push_back(s.us[op]), bytes[op].push_back(s.bytes[op]);
      }
      double mu[3], mb[3];
      for (int op = 0; op < 3; ++op)
        mu[op] = qxb::Median(us[op]), mb[op] = qxb::Median(bytes[op]);
      for (int op = 0; op < 3; ++op)
        printf("%-7s %-6s %-8s %10.1f %9.0f %9.2fx %9.2fx\n", size.name,
               t ? "utf8" : "ascii", kOps[op], mu[op], mb[op], mu[op] / mu[1],
               mb[op] / mb[1]);
      char what[200];
      snprintf(what, sizeof what,
               "redraw %s %s bytes: module %.0f vs repaint %.0f (goal: no more)",
               size.name, t ? "utf8" : "ascii", mb[0], mb[1]);
      qxb::Goal(mb[1] > 0 && mb[0] > 0 && mb[0] <= mb[1], what);
      snprintf(what, sizeof what,
               "redraw %s %s time: module %.2fx repaint (goal: no slower, <= 1.0x)",
               size.name, t ? "utf8" : "ascii", mu[0] / mu[1]);
      qxb::Goal(mu[1] > 0 && mu[0] > 0 && mu[0] <= mu[1], what);
    }
  }
  return failures;
}

} // namespace

// Child mode when called with --child redraw UTF8 N, else the benchmark.
int main(int argc, char **argv) {
  if (argc >= 5 && strcmp(argv[1], "--child") == 0 && strcmp(argv[2], "redraw") == 0)
    return RunChild(atoi(argv[3]) != 0, atoi(argv[4]));
  qxb::Options opt = qxb::ParseOptions(argc, argv);
  int failures = RunAll(opt);
  if (failures) printf("redraw: %d run(s) failed\n", failures);
  return failures ? 2 : qxb::ExitStatus(opt);
}
