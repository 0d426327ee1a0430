// One randomized run over everything that puts text on the terminal: console
// output (ASCII, one- and two-column multibyte characters, control and stray
// bytes, with and without a scroll line), the screen built-ins, lines edited
// at the top level with the template and history keys, and the flow-control
// and interrupt keys at any point, also while output is stopped inside the
// line editor.  After every step the terminal shows the shadow and the cursor
// is where the record says; after every edited line the row it was echoed on
// shows the line the engine got; a blocked child uses no CPU, has nothing
// left in its standard output buffer (a bell rung for a refused key is out
// before the wait), and Ctrl-Q resumes stopped output.
//
// The child is a small command interpreter: the parent sends one operation
// at a time, the child does it and reports its shadow; keys are typed one at
// a time, each once the child is blocked reading them.  Output text is drawn
// in the child, which sees the shadow, so that it stays clear of what the
// shadow and the terminal show differently by design (a byte written into a
// multibyte character, a multibyte character written over other text).
//
// The suite runs fixed seeds.  QX_PROP_SEED=<n> runs seed n instead,
// QX_PROP_SEEDS=<k> k fresh ones; a failure prints the seed and the steps.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- Child ------------------------------------------------------------------

// Whether bytes [from, to) of shadow row y are all below 0x80 (each one
// byte and one column), or all spaces.
bool RowAscii(int y, int from, int to) {
  for (int x = from; x < to; x++)
    if (Console->shadow[y][x] >= 0x80) return false;
  return true;
}
bool RowBlank(int y, int from) {
  for (int x = from; x < 4 * Console->columns; x++)
    if (Console->shadow[y][x] != ' ') return false;
  return true;
}

// Whether a character of `width` columns and `bytes` bytes may be written
// now: where it lands (the next row when it does not fit or is multibyte
// with only the last column left, a fresh row when that scrolls) an ASCII
// byte must replace an ASCII byte, anything else must find the rest of the
// row blank.
bool MayWrite(int width, int bytes) {
  ConsoleState *c = Console;
  int x = c->cur_x, y = c->cur_y, col = _Curses_num_cur_x(x, y);
  if (col + width > c->columns || (bytes > 1 && col + 1 == c->columns)) {
    if (++y == c->rows) return true;
    x = 0;
  }
  return bytes == 1 && width == 1 ? c->shadow[y][x] < 0x80 : RowBlank(y, x);
}

// Whether a cursor-moving control keeps the cursor on a character boundary
// where the byte index is the display column.
bool MayMove(char ch) {
  ConsoleState *c = Console;
  int x = c->cur_x, y = c->cur_y;
  switch (ch) {
  case '\b':
    if (x > 0) return c->shadow[y][x - 1] < 0x80 && RowAscii(y, 0, x);
    return y == 0 || RowAscii(y - 1, 0, c->columns);
  case '\t':
    return RowAscii(y, 0, std::min(x + 8, 4 * c->columns));
  case '\v':
    return y + 1 == c->rows || (x < c->columns && RowAscii(y + 1, 0, x + 1));
  default:
    return true;
  }
}

// Writes `pieces` random pieces of output drawn from `seed` and returns the
// bytes written.  A piece that may not be written where the cursor is
// becomes a new line, or a form feed when the next row is no better.
std::string WriteRandom(unsigned seed, int pieces) {
  static const char *const kMulti[] = {"\xc3\xa9", "\xe3\x81\x82", "\xe6\xbc\xa2"};
  static const char kStray[] = {1, 0x1b, 0x7f};
  static const char kMoves[] = "\n\x1f\a\t\b\r\v";
  std::mt19937 rng(seed);
  auto roll = [&](int n) { return (int)(rng() % n); };
  std::string out;
  auto put = [&](const std::string &t) { Put(t), out += t; };
  for (int i = 0; i < pieces; i++) {
    int kind = roll(20);
    std::string piece;
    int width = 1;
    if (kind < 9 || kind == 19) {
      piece = kind == 19 ? " " : std::string(1, 'a' + roll(26));
    } else if (kind < 13) {
      int m = roll(3);
      piece = kMulti[m], width = m == 0 ? 1 : 2;
    } else if (kind < 14) {
      piece = roll(4) ? std::string(1, kStray[roll(3)]) : "\x85";
    } else {
      char ch = roll(30) ? kMoves[roll(7)] : '\f';
      if (MayMove(ch)) put(std::string(1, ch));
      continue;
    }
    if (MayWrite(width, (int)piece.size()))
      put(piece);
    else if (MayWrite(1, 1))
      put("x");
    else
      put(Console->cur_y + 1 == Console->rows || RowAscii(Console->cur_y + 1, 0, 1)
              ? "\n"
              : "\f");
  }
  return out;
}

// Does one operation named by the parent (see Op in the parent).
void DoOp(const std::string &op) {
  std::istringstream in(op);
  char kind = 0;
  in >> kind;
  long long a = 0, b = 0;
  in >> a >> b;
  switch (kind) {
  case 'O':
    bench::Report("text", bench::Printable(WriteRandom(a, b)));
    break;
  case 'T':
    C_TOPLEVEL();
    bench::Report("line", ReadRecord());
    break;
  case 'S':
    C_SetScrollLine(a);
    break;
  case 'E':
    if (a) C_SetCursor(1, 1);
    P0_d_cleos();
    break;
  case 'L':
    if (a) C_SetCursor(1, Console->cur_y + 1);
    P0_d_cleol();
    break;
  case 'C':
    P0_d_clear();
    break;
  case 'R':
    P0_d_redisp();
    break;
  case 'M':
    C_SetCursor(a, b);
    break;
  case 'N':
    C_SetCursor(1, Console->rows);
    Put("\n");
    break;
  case 'K':
    bench::Report("key", KeyIn());
    break;
  }
}

// The interpreter: reports the shadow after each operation.
void Interpreter() {
  StartConsole();
  C_SetPrompt(PutAtom(0, "? "));
  for (int seq = 0;; seq++) {
    ReportShadow();
    bench::Report("stopped", Console->output_stopped);
    bench::Report("scroll", Console->scroll_line);
    bench::Report("seq", seq);
    bench::Step("done");
    std::string op = bench::WaitParent();
    if (op == "end") return;
    DoOp(op);
  }
}

// ---- Parent: looking into the blocked child ------------------------------

// Reads `n` bytes at `addr` of the child, which was forked from this process
// and so has its variables at the same addresses.
bool Peek(pid_t pid, const void *addr, void *out, size_t n) {
  iovec local{out, n}, remote{const_cast<void *>(addr), n};
  return process_vm_readv(pid, &local, 1, &remote, 1, 0) == (ssize_t)n;
}

// What a blocked child holds: its console record, its shadow (cursor column
// from the UTF-8 text before the cursor) and the bytes waiting in its
// standard output buffer.
struct ChildView {
  ConsoleState con{};       // the record
  bench::Shadow shadow;     // the shadow screen
  std::string stdout_bytes; // written to stdout but not yet sent
};

// Reads what the child `pid` holds; false when its memory cannot be read.
bool Look(pid_t pid, ChildView *v) {
  ConsoleState *at = nullptr;
  if (!Peek(pid, &Console, &at, sizeof at) || !Peek(pid, at, &v->con, sizeof v->con))
    return false;
  bench::Shadow &sh = v->shadow;
  sh.rows = v->con.rows, sh.columns = v->con.columns;
  sh.cur_x = v->con.cur_x, sh.cur_y = v->con.cur_y;
  std::vector<unsigned char *> rows(sh.rows);
  if (!Peek(pid, v->con.shadow, rows.data(), rows.size() * sizeof rows[0])) return false;
  sh.row_bytes.clear();
  for (unsigned char *r : rows) {
    std::string bytes(4 * sh.columns, ' ');
    if (!Peek(pid, r, &bytes[0], bytes.size())) return false;
    sh.row_bytes.push_back(bytes);
  }
  const std::string &row = sh.row_bytes[sh.cur_y];
  sh.col = 0;
  for (size_t i = 0; i < (size_t)sh.cur_x;) {
    int w = bench::CharWidth(bench::DecodeUtf8(row, i));
    sh.col += w < 1 ? 1 : w;
  }
  FILE f;
  if (!Peek(pid, stdout, &f, sizeof f)) return false;
  v->stdout_bytes.resize(f._IO_write_ptr - f._IO_write_base);
  return v->stdout_bytes.empty() ||
         Peek(pid, f._IO_write_base, &v->stdout_bytes[0], v->stdout_bytes.size());
}

// The bytes the child has read so far (all descriptors), from /proc.
long long BytesRead(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/io");
  std::string name;
  long long n = -1;
  while (f >> name >> n)
    if (name == "rchar:") return n;
  return -1;
}

// ---- Parent: the run ---------------------------------------------------------

// The Ctrl-S, Ctrl-Q and Ctrl-C keys.
const std::string kStop = "\x13", kStart = "\x11", kIntr = "\x03";

// One configuration: terminal, size and seed.
struct Config {
  std::string term;
  int rows, cols;
  unsigned seed;
};

// How a wait for the child ended.
enum class Got { Done, Blocked };

// One child running one random sequence of operations, and the parent's
// record of it.
class Session {
public:
  explicit Session(const Config &cfg)
      : cfg_(cfg), rng_(Mix(cfg)), s_(Options(cfg), Interpreter) {}
  ~Session() {
    s_.Go("end");
  }
  void Go(int ops);

private:
  static bench::Options Options(const Config &cfg) {
    bench::Options opt = TermOptions(cfg.term, cfg.rows, cfg.cols);
    opt.timeout_ms = 8000;
    return opt;
  }
  // A seed of its own for each terminal and size.
  static unsigned Mix(const Config &cfg) {
    unsigned name = 0;
    for (char c : cfg.term)
      name = name * 31 + (unsigned char)c;
    std::seed_seq seq{cfg.seed, name, (unsigned)cfg.rows, (unsigned)cfg.cols};
    unsigned out;
    seq.generate(&out, &out + 1);
    return out;
  }
  int Roll(int n) {
    return (int)(rng_() % n);
  }
  std::string Pick(const std::string &op);
  testing::AssertionResult Step(const std::string &op);
  void Type(const std::string &key);
  testing::AssertionResult Wait(Got *got);
  testing::AssertionResult Blocked(bool editing, bool measure);
  testing::AssertionResult AfterStep(bool screen);
  testing::AssertionResult LineShown(const bench::Shadow &before);
  testing::AssertionResult LaidOut(const bench::Shadow &before,
                                   const std::vector<std::vector<std::string>> &laid,
                                   int last);
  std::vector<std::string> KeysOfLine();

  Config cfg_;
  std::mt19937 rng_;
  bench::Scenario s_;
  int seq_ = 0;                // operations done
  bench::Shadow shadow_;       // as reported after the last operation
  std::string log_;            // the steps so far, for a replay
  bool clear_pending_ = false; // d_clear waits for a refresh
  // Ctrl-C typed in the last edited line or after it: an interrupt taken
  // while a scroll waited is acted on by the next line read, which it aborts.
  bool interrupted_ = false;
  long long read_ = 0; // the child's bytes read once it has every key
};

// Types `key`, noting how many bytes the child will have read once it has
// taken it.  The interrupt key is no byte to read but a signal, given a
// moment to arrive.
void Session::Type(const std::string &key) {
  log_ += bench::Printable(key) + " ";
  read_ = BytesRead(s_.Pid()) + (key == kIntr ? 0 : (long long)key.size());
  s_.Send(key);
  if (key == kIntr) usleep(20000);
}

// Waits until the child has finished the operation or, having read every
// key typed, sleeps reading its keyboard (seen three times, a few
// milliseconds apart).
testing::AssertionResult Session::Wait(Got *got) {
  const std::string want = std::to_string(seq_);
  long long t0 = 0, t = 0;
  ProcState(s_.Pid(), &t0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int seen = 0; std::chrono::steady_clock::now() < deadline;) {
    s_.Send("");
    if (s_.Has("seq") && s_.Get("seq") == want) {
      *got = Got::Done;
      return s_.WaitStep("done");
    }
    char st = ProcState(s_.Pid(), &t);
    if (st == 'Z' || st == 'X') return s_.WaitStep("done"); // reports the death
    bool waiting = BytesRead(s_.Pid()) >= read_ && ReadingStdin(s_.Pid());
    seen = waiting ? seen + 1 : 0;
    if (seen == 3) {
      s_.Send("");
      *got = Got::Blocked;
      return testing::AssertionSuccess();
    }
    usleep(1500);
  }
  ProcState(s_.Pid(), &t);
  return testing::AssertionFailure()
         << "the child neither finished nor waited for a key in 5 s; it used "
         << (t - t0) * 1000 / sysconf(_SC_CLK_TCK) << " ms of CPU meanwhile\n"
         << s_.ScreenText();
}

// Checks a child blocked on its keyboard: nothing left in its stdout buffer,
// while editing with output running the terminal shows its shadow, and when
// `measure` it uses no CPU over 100 ms (a spin would take ten ticks) and
// stays blocked.
testing::AssertionResult Session::Blocked(bool editing, bool measure) {
  ChildView v;
  if (!Look(s_.Pid(), &v)) return testing::AssertionFailure() << "cannot read the child";
  if (!v.stdout_bytes.empty())
    return testing::AssertionFailure()
           << "blocked with \"" << bench::Printable(v.stdout_bytes)
           << "\" still in its stdout buffer";
  if (editing && !v.con.output_stopped) {
    testing::AssertionResult r = bench::ScreenEqualsShadow(s_, v.shadow);
    if (r) r = bench::CursorEqualsShadow(s_, v.shadow);
    if (!r) return r << "\n(while the line editor waits)";
  }
  if (!measure) return testing::AssertionSuccess();
  long long t0 = 0, t1 = 0;
  ProcState(s_.Pid(), &t0);
  usleep(50000);
  ProcState(s_.Pid(), &t1);
  if (t1 - t0 > 2 || !ReadingStdin(s_.Pid()))
    return testing::AssertionFailure()
           << "spins while it should wait: " << t1 - t0 << " ticks of CPU in 100 ms";
  return testing::AssertionSuccess();
}

// The keys of one edited line, each a string typed at once, ending in Enter.
std::vector<std::string> Session::KeysOfLine() {
  static const std::vector<std::pair<int, std::string>> kKeys = {
      {30, "a"},   {8, "\xc3\xa9"}, {10, "\xe3\x81\x82"}, {10, "\x7f"}, {3, "\x11"},
      {4, "\x15"}, {2, "\x0e"},     {1, "\x1b[A"},        {6, "\x06"},  {2, "\x01"},
      {3, "\x05"}, {2, "\x02"},     {2, "\x13"},          {1, "\x03"}};
  int total = 0;
  for (const auto &k : kKeys)
    total += k.first;
  std::vector<std::string> keys;
  for (int n = Roll(3) ? Roll(12) : Roll(40); n > 0; n--) {
    int r = Roll(total);
    for (const auto &k : kKeys)
      if ((r -= k.first) < 0) {
        keys.push_back(k.second == "a" ? std::string(1, 'a' + Roll(26)) : k.second);
        break;
      }
  }
  keys.push_back("\r");
  return keys;
}

// Picks the arguments of an operation of kind `op`, or "" when the shadow
// makes it one whose outcome differs from the terminal by design.
std::string Session::Pick(const std::string &op) {
  const bench::Shadow &sh = shadow_;
  auto blank = [&](int y, int from, int to) {
    return sh.row_bytes[y].find_first_not_of(' ', from) >= (size_t)to;
  };
  bool above_blank = blank(sh.cur_y, 0, sh.cur_x);
  for (int y = 0; y < sh.cur_y; y++)
    above_blank = above_blank && blank(y, 0, 4 * sh.columns);
  if (op == "O")
    return "O " + std::to_string(rng_()) + " " + std::to_string(1 + Roll(60));
  if (op == "S") {
    int r = Roll(4);
    return "S " + std::to_string(r == 0 ? 0 : r == 1 ? sh.rows - 1 : Roll(sh.rows));
  }
  // d_cleol and d_cleos blank the shadow left of and above the cursor, which
  // stay on the terminal: unless that is blank, the cursor goes to the start
  // of its row, or home, first.
  if (op == "L") return blank(sh.cur_y, 0, sh.cur_x) ? "L" : "L 1";
  if (op == "E") return above_blank ? "E" : "E 1";
  if (op == "M") { // d_cursor: the byte index must be the display column
    int row = 1 + Roll(sh.rows), col = 1 + Roll(sh.columns);
    const std::string &r = sh.row_bytes[row - 1];
    for (int x = 0; x < col - 1; x++)
      if ((unsigned char)r[x] >= 0x80) col = 1;
    return "M " + std::to_string(col) + " " + std::to_string(row);
  }
  if (op == "K" && clear_pending_) return ""; // it shows nothing of d_clear
  return op;
}

// Does one operation with its checks; "" ops are skipped.
testing::AssertionResult Session::Step(const std::string &op) {
  if (op.empty()) return testing::AssertionSuccess();
  bool editing = op == "T";
  std::vector<std::string> keys;
  if (editing) keys = KeysOfLine();
  if (op[0] == 'O' && Roll(4) == 0) Type(kStop); // stops output at its first scroll
  bench::Shadow before = shadow_;
  log_ += "[" + op + "] ";
  s_.Go(op);
  seq_++;
  size_t next = 0;
  int waits = 0;
  std::string last;      // the key typed last
  bool intr_now = false; // Ctrl-C typed in this operation
  bool measured = false; // CPU time measured in this operation
  bool expect_running = false;
  for (;;) {
    Got got;
    testing::AssertionResult r = Wait(&got);
    if (!r) return r;
    if (got == Got::Done) break;
    ChildView v;
    if (!Look(s_.Pid(), &v))
      return testing::AssertionFailure() << "cannot read the child";
    if (expect_running && v.con.output_stopped)
      return testing::AssertionFailure() << "Ctrl-Q did not resume stopped output";
    expect_running = false;
    bool stopped = v.con.output_stopped;
    bool more = next < keys.size() || (op == "K" && waits == 0);
    // CPU time is measured in the first wait of a stopped scroll and of
    // d_keyin, after every interrupt, and in some waits of the line editor.
    bool measure = ((stopped && !more) || op == "K") && !measured;
    measure = measure || last == kIntr;
    measured = measured || measure;
    r = Blocked(editing && more, measure);
    if (!r) return r;
    std::string key;
    if (more && op == "K") {
      key = Roll(3) == 0 ? kIntr : "k";
      waits += key == "k";
    } else if (more) {
      key = keys[next++];
    } else if (stopped) { // a scroll waits for Ctrl-Q
      int k = Roll(6);
      key = k == 0 && !intr_now ? kIntr : k == 1 ? kStop : kStart;
      expect_running = key == kStart;
    } else if (interrupted_ || intr_now) { // the interrupt started a new line
      key = "\r";
    } else {
      return testing::AssertionFailure() << "the child waits for a key after the "
                                            "operation's last";
    }
    intr_now = intr_now || key == kIntr;
    Type(key);
    last = key;
  }
  if (expect_running && s_.Get("stopped") != "0")
    return testing::AssertionFailure() << "Ctrl-Q did not resume stopped output";
  if (op[0] == 'O') log_ += "{" + s_.Get("text") + "} ";
  log_ += "\n";
  // d_clear shows at the next refresh, which d_keyin and C_SetScrollLine
  // do not make.
  clear_pending_ = op == "C" || (clear_pending_ && (op == "K" || op[0] == 'S'));
  testing::AssertionResult r = AfterStep(!clear_pending_);
  if (r && editing && !interrupted_ && !intr_now) r = LineShown(before);
  interrupted_ = intr_now || (interrupted_ && !editing);
  return r;
}

// Takes the child's report; unless a d_clear waits for its refresh, the
// screen and the cursor must equal the shadow.
testing::AssertionResult Session::AfterStep(bool screen) {
  testing::AssertionResult r = bench::ReadShadow(s_, &shadow_);
  if (r && screen) r = bench::ScreenEqualsShadow(s_);
  if (r && screen) r = bench::CursorEqualsShadow(s_);
  return r;
}

// The edited line as the screen shows it: the prompt and the line the child
// got, laid out from where the cursor was before, a character that does not
// fit moved to the next row (as is a multibyte one with only the last column
// left: its width is known only at its last byte); blank after it.  The rows
// above
// the scroll line stay when the line scrolls below them, so a line that
// started there and scrolled is not looked at.
testing::AssertionResult Session::LineShown(const bench::Shadow &before) {
  std::string line = s_.Get("line");
  if (line.empty() || line.back() != '\x1f') return testing::AssertionSuccess();
  line = "| " + line.substr(0, line.size() - 1);
  const int cols = cfg_.cols;
  std::vector<std::vector<std::string>> laid(1, std::vector<std::string>(cols, " "));
  int col = std::min(before.col, cols);
  for (size_t i = 0, start = 0; i < line.size(); start = i) {
    char32_t cp = bench::DecodeUtf8(line, i);
    int w = std::max(1, bench::CharWidth(cp));
    if (col + w > cols || (i - start > 1 && col + 1 == cols)) {
      laid.emplace_back(cols, " ");
      col = 0;
    }
    laid.back()[col] = bench::EncodeUtf8(cp);
    if (w == 2 && col + 1 < cols) laid.back()[col + 1] = "";
    col += w;
  }
  // The line's last row is above the cursor, or two above when it is full
  // and the cursor had moved on to the next row (at once, or by an erase
  // there).
  testing::AssertionResult r = LaidOut(before, laid, shadow_.cur_y - 1);
  if (!r && col == cols) r = LaidOut(before, laid, shadow_.cur_y - 2);
  return r ? r : r << "\n(the line \"" << line << "\")\n" << s_.ScreenText();
}

// The rows of `laid`, the last on row `last` (less what scrolled away), are
// what the screen shows from where the cursor was `before` on.
testing::AssertionResult
Session::LaidOut(const bench::Shadow &before,
                 const std::vector<std::vector<std::string>> &laid, int last) {
  const int cols = cfg_.cols;
  int shift = before.cur_y + (int)laid.size() - 1 - last;
  int scroll = std::stoi(s_.Get("scroll"));
  if (shift > 0 && before.cur_y < scroll) return testing::AssertionSuccess();
  std::vector<std::string> screen = s_.Screen();
  for (int k = 0; k < (int)laid.size(); k++) {
    int y = before.cur_y + k - shift;
    if (y < 0 || y > last || (shift > 0 && y < scroll)) continue;
    std::vector<std::string> cells = bench::SplitCells(screen[y]);
    for (int c = k == 0 ? std::min(before.col, cols) : 0; c < cols; c++)
      if (cells[c] != laid[k][c] && !(laid[k][c] == " " && cells[c].empty()))
        return testing::AssertionFailure()
               << "row " << y << " shows \"" << screen[y] << "\" (column " << c << ")";
  }
  return testing::AssertionSuccess();
}

// Runs `ops` random operations, each followed by its checks.
void Session::Go(int ops) {
  ASSERT_TRUE(s_.WaitStep("done"));
  ASSERT_TRUE(AfterStep(true));
  static const char *const kOps[] = {"O", "O", "O", "O", "O", "O", "T",
                                     "T", "T", "T", "T", "S", "E", "E",
                                     "L", "L", "C", "M", "M", "R", "K"};
  for (int i = 0; i < ops; i++) {
    std::string op = Pick(kOps[Roll(sizeof kOps / sizeof *kOps)]);
    testing::AssertionResult r = testing::AssertionSuccess();
    if (op == "T") { // the line needs the rest of the screen blank
      const bench::Shadow &sh = shadow_;
      bool clear =
          sh.row_bytes[sh.cur_y].find_first_not_of(' ', sh.cur_x) == std::string::npos;
      for (int y = sh.cur_y + 1; y < sh.rows; y++)
        clear = clear && sh.row_bytes[y].find_first_not_of(' ') == std::string::npos;
      if (!clear) r = Step("N");
    }
    if (r) r = Step(op);
    if (!r) {
      ADD_FAILURE() << r.message() << "\nterm " << cfg_.term << " " << cfg_.cols << "x"
                    << cfg_.rows << ", QX_PROP_SEED=" << cfg_.seed << "; steps:\n"
                    << log_;
      return;
    }
  }
}

// The seeds to run: fixed ones, or those the environment asks for.
std::vector<unsigned> Seeds() {
  if (const char *one = getenv("QX_PROP_SEED")) return {(unsigned)std::stoul(one)};
  if (const char *n = getenv("QX_PROP_SEEDS")) {
    std::vector<unsigned> seeds;
    std::random_device fresh;
    for (int i = std::stoi(n); i > 0; i--)
      seeds.push_back(fresh());
    return seeds;
  }
  return {1};
}

class Property : public testing::TestWithParam<const char *> {};

// Catches: a screen other than the shadow or the line after any mix of
// output, screen built-ins and editing; a wait that spins or ignores Ctrl-Q;
// a byte held back in stdout while the module waits for a key.
TEST_P(Property, ScreenFollowsShadowAndLine) {
  struct Size {
    int rows, cols;
  } sizes[] = {{24, 80}, {6, 20}, {5, 12}, {1, 2}};
  for (unsigned seed : Seeds())
    for (Size sz : sizes) {
      Config cfg{GetParam(), sz.rows, sz.cols, seed};
      Session run(cfg);
      run.Go(20);
      if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Terminals, Property,
                         testing::Values("xterm", "vt100", "ansi", "xterm-noxenl",
                                         "xterm-noam", "xterm-nodl", "xterm-nocup"),
                         [](const testing::TestParamInfo<const char *> &info) {
                           std::string n = info.param;
                           for (char &c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

} // namespace
