// The benchmark harness: runs a program on a fresh pseudo-terminal of a chosen
// size, drains what it writes as fast as possible, and collects its figures.
//
// Parent side: PtyChild starts a command (usually this very program with
// "--child ...") whose standard input and output are the slave of a new pty
// and whose descriptor 3 is a socket back to the parent (the side channel).
// A reader thread drains the master, counting bytes and splitting them at
// in-band markers that the child writes to the terminal.  Every wait has a
// deadline; a child that overstays is killed with its process group.
//
// Child side: Report() sends "key value" lines over the side channel,
// Marker() writes a marker into the terminal output, and Finish() hands the
// parent the last marker and waits until the parent has read it (a child that
// exits hangs the terminal up, which would drop output still in flight).
#ifndef QXB_HARNESS_H
#define QXB_HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qxb {

// ---- Time and statistics ---------------------------------------------------

// Monotonic time in nanoseconds.
long long NowNs();

// The median of the values (0 for none).
double Median(std::vector<double> v);

// The p-quantile (0..1) of the values, nearest rank (0 for none).
double Quantile(std::vector<double> v, double p);

// ---- Command line ------------------------------------------------------------

// Options every benchmark program understands.
struct Options {
  bool strict = false;           // exit 1 when a goal is missed
  bool quick = false;            // fewer rounds and less work, for a smoke run
  int rounds = 5;                // repetitions (medians are taken over them)
  std::string callgrind_out;     // run the measured child under callgrind, into this file
  std::vector<std::string> rest; // arguments not understood here
};

// Parses --strict, --quick, --rounds N and --callgrind FILE; keeps the rest.
Options ParseOptions(int argc, char **argv);

// The directory holding this executable.
std::string SelfDir();

// The path of this executable.
std::string SelfExe();

// ---- Parent side ---------------------------------------------------------------

// What to run and on what terminal.
struct Spawn {
  std::vector<std::string> argv; // argv[0] is an absolute path
  int rows = 24;
  int cols = 80;
  std::vector<std::string> env; // extra NAME=VALUE entries
};

// One child on its own pty.  Not copyable; the destructor kills a child that
// still runs and joins the reader.
class PtyChild {
public:
  PtyChild() = default;
  ~PtyChild();
  PtyChild(const PtyChild &) = delete;
  PtyChild &operator=(const PtyChild &) = delete;

  // Opens the pty, forks and execs; false (with error()) when that failed.
  bool Start(const Spawn &spawn);
  // Starts the reader thread that drains the master and discards the bytes.
  void StartDrain();
  // Waits (at most timeout_ms in all) for the child's END, its last marker,
  // and its exit; kills it on the deadline.  True when it exited with 0.
  bool Finish(int timeout_ms);

  // The master, for a parent that reads and writes it itself (no drain).
  int master() const {
    return master_;
  }
  pid_t pid() const {
    return pid_;
  }
  // Bytes drained so far, markers excluded.
  long long Bytes() const {
    return bytes_.load();
  }
  // For each marker label, the bytes seen between the previous marker (or the
  // start) and each marker with that label, in order.
  std::map<std::string, std::vector<long long>> Segments() const;
  // The child's reports ("key value" lines); valid after Finish.
  const std::map<std::string, std::string> &Results() const {
    return results_;
  }
  // The reported value of key as a number; NaN when missing.
  double Result(const std::string &key) const;
  const std::string &error() const {
    return error_;
  }

private:
  void DrainLoop();
  void Scan(const char *data, size_t n);
  bool ReadSideUntilEnd(long long deadline_ns);
  bool WaitForEndMarker(long long deadline_ns);
  bool Reap(long long deadline_ns);
  void Kill();

  pid_t pid_ = -1;
  int master_ = -1;
  int side_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::thread drain_;
  std::atomic<bool> stop_{false};
  std::atomic<long long> bytes_{0};
  mutable std::mutex mu_;
  std::map<std::string, std::vector<long long>> segments_;
  bool end_marker_seen_ = false;
  std::string side_buf_;
  std::map<std::string, std::string> results_;
  std::string error_;
  // Marker scanner state.
  size_t match_ = 0;
  bool in_label_ = false;
  std::string label_;
  long long segment_ = 0;
};

// ---- Child side -------------------------------------------------------------------

// Sends "key value" to the parent.
void Report(const std::string &key, double value);
void Report(const std::string &key, const std::string &value);

// Writes the marker with this label straight to descriptor 1 (after whatever
// stdio and curses have already written, since both flush before returning
// from a refresh).
void Marker(const std::string &label);

// Writes the "end" marker, tells the parent, waits for its release and exits
// the process with status 0.
[[noreturn]] void Finish();

// ---- Text -----------------------------------------------------------------------

// Display columns of one UTF-8 character (1 or 2 for the characters used here).
int Columns(const std::string &ch);

// The characters of one line of exactly `columns` display columns.  ASCII:
// printable characters other than the space.  UTF-8: a mix of ASCII, two-byte
// Latin and Greek letters (one column) and three-byte CJK characters (two
// columns).  With `spaces`, words of 1..8 characters separated by one space.
// `seed` varies the line.
std::vector<std::string> LineChars(bool utf8, int columns, unsigned seed, bool spaces);

// ---- Reporting ----------------------------------------------------------------------

// Prints "PASS what" or "MISS what" and counts the misses.
void Goal(bool pass, const std::string &what);

// The number of goals missed so far.
int Misses();

// 0, or 1 when --strict was given and a goal was missed.
int ExitStatus(const Options &opt);

// The machine line: nproc, CPU model and kernel.
std::string MachineLine();

} // namespace qxb

#endif // QXB_HARNESS_H
