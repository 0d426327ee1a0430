// One randomized run over all that puts text on the terminal: output (ASCII,
// multibyte, control and stray bytes, with and without a scroll line), the
// screen built-ins, lines edited at the top level with the template and
// history keys, and Ctrl-S, Ctrl-Q and Ctrl-C at any point.  After every step
// the terminal shows the shadow and its cursor; after every edited line, the
// line the engine got; a child blocked on a key has nothing in its stdout
// buffer (a bell for a refused key is out) and uses no CPU; Ctrl-Q resumes
// stopped output.  The child draws its output seeing the shadow, clear of
// what the shadow and the terminal show differently by design (a byte written
// into a multibyte character, a multibyte one written over other text).
// QX_PROP_SEED=<n> runs seed n instead of the fixed one, QX_PROP_SEEDS=<k> k
// fresh ones; a failure prints the seed and the steps.
#include "console_child.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/uio.h>

#include <algorithm>
#include <random>

namespace {

// ---- Child ------------------------------------------------------------------

// Whether bytes [0, to) of shadow row y are all one byte and one column.
bool RowAscii(int y, int to) {
  const unsigned char *r = Console->shadow[y];
  return std::all_of(r, r + to, [](unsigned char b) { return b < 0x80; });
}

// Whether a character of `width` columns and `bytes` bytes may be written:
// where it lands (the next row when it does not fit or is multibyte with only
// the last column left, a fresh row when that scrolls) an ASCII byte must
// replace an ASCII byte, anything else must find the rest of the row blank.
bool MayWrite(int width, int bytes) {
  ConsoleState *c = Console;
  int x = c->cur_x, y = c->cur_y, col = _Curses_num_cur_x(x, y);
  if (col + width > c->columns || (bytes > 1 && col + 1 == c->columns)) {
    if (++y == c->rows) return true;
    x = 0;
  }
  const unsigned char *r = c->shadow[y];
  if (bytes == 1 && width == 1) return r[x] < 0x80;
  return std::count(r + x, r + 4 * c->columns, ' ') == 4 * c->columns - x;
}

// Whether a cursor-moving control keeps the cursor on a character boundary
// where the byte index is the display column.
bool MayMove(char ch) {
  ConsoleState *c = Console;
  int x = c->cur_x, y = c->cur_y;
  if (ch == '\b') return x > 0 ? RowAscii(y, x) : y == 0 || RowAscii(y - 1, c->columns);
  if (ch == '\t') return RowAscii(y, std::min(x + 8, 4 * c->columns));
  return ch != '\v' || y + 1 == c->rows || (x < c->columns && RowAscii(y + 1, x + 1));
}

// Writes `pieces` random pieces of output drawn from `seed`, and returns them.
// A character that may not be written there becomes an x, or a new line (a
// form feed when the next row is no better); a move that may not, nothing.
std::string WriteRandom(unsigned seed, int pieces) {
  static const char *const kMulti[] = {"\xc3\xa9", "\xe3\x81\x82", "\xe6\xbc\xa2"};
  static const char kStray[] = {1, 0x1b, 0x7f}, kMoves[] = "\n\x1f\a\t\b\r\v";
  std::mt19937 rng(seed);
  auto roll = [&](int n) { return (int)(rng() % n); };
  std::string out;
  for (int i = 0; i < pieces; i++) {
    int kind = roll(20), m = 0, next = Console->cur_y + 1;
    std::string piece;
    if (kind >= 14 && kind < 19) {
      char ch = roll(30) ? kMoves[roll(7)] : '\f';
      if (MayMove(ch)) piece = ch;
    } else {
      if (kind < 9 || kind == 19)
        piece = kind == 19 ? " " : std::string(1, 'a' + roll(26));
      else if (kind < 13)
        piece = kMulti[m = roll(3)]; // m > 0: two columns
      else
        piece = roll(4) ? std::string(1, kStray[roll(3)]) : "\x85";
      if (!MayWrite(m ? 2 : 1, (int)piece.size())) piece = MayWrite(1, 1) ? "x" : "\n";
      if (piece == "\n" && next < Console->rows && !RowAscii(next, 1)) piece = "\f";
    }
    Put(piece);
    out += piece;
  }
  return out;
}

// The interpreter: does the operations the parent names (a letter and up to
// two numbers, one at a time) and reports its shadow after each.
void Interpreter() {
  StartConsole();
  C_SetPrompt(PutAtom(0, "? "));
  for (int seq = 0;; seq++) {
    ReportShadow();
    bench::Report("stopped", Console->output_stopped);
    bench::Report("scroll", Console->scroll_line);
    bench::Report("seq", seq);
    bench::Step("done");
    std::istringstream in(bench::WaitParent());
    char k = 0;
    long long a = 0, b = 0;
    in >> k >> a >> b;
    if (k == 'e') return; // end
    if (k == 'O') bench::Report("text", bench::Printable(WriteRandom(a, b)));
    if (k == 'T') C_TOPLEVEL(), bench::Report("line", ReadRecord());
    if (k == 'S') C_SetScrollLine(a);
    if ((k == 'E' || k == 'L') && a) C_SetCursor(1, k == 'E' ? 1 : Console->cur_y + 1);
    if (k == 'E') P0_d_cleos();
    if (k == 'L') P0_d_cleol();
    if (k == 'C') P0_d_clear();
    if (k == 'R') P0_d_redisp();
    if (k == 'M') C_SetCursor(a, b);
    if (k == 'N') C_SetCursor(1, Console->rows), Put("\n");
    if (k == 'K') bench::Report("key", KeyIn());
  }
}

// ---- Parent ------------------------------------------------------------------

// Reads `n` bytes at `addr` of the child, which was forked from this process
// and so has its variables at the same addresses.
bool Peek(pid_t pid, const void *addr, void *out, size_t n) {
  iovec local{out, n}, remote{const_cast<void *>(addr), n};
  return process_vm_readv(pid, &local, 1, &remote, 1, 0) == (ssize_t)n;
}

// Reads what the blocked child `pid` holds: its console record, its shadow
// (cursor column from the UTF-8 text before the cursor) and the bytes in its
// stdout buffer; false when its memory cannot be read.
bool Look(pid_t pid, ConsoleState *con, bench::Shadow *held, std::string *unsent) {
  ConsoleState *at = nullptr;
  if (!Peek(pid, &Console, &at, sizeof at) || !Peek(pid, at, con, sizeof *con))
    return false;
  bench::Shadow &sh = *held = {con->rows, con->columns, con->cur_x, con->cur_y, 0, {}};
  std::vector<unsigned char *> rows(sh.rows);
  if (!Peek(pid, con->shadow, rows.data(), rows.size() * sizeof rows[0])) return false;
  for (unsigned char *r : rows) {
    sh.row_bytes.emplace_back(4 * sh.columns, ' ');
    if (!Peek(pid, r, &sh.row_bytes.back()[0], 4 * sh.columns)) return false;
  }
  for (size_t i = 0; i < (size_t)sh.cur_x;)
    sh.col += std::max(1, bench::CharWidth(bench::DecodeUtf8(sh.row_bytes[sh.cur_y], i)));
  FILE f;
  if (!Peek(pid, stdout, &f, sizeof f)) return false;
  unsent->resize(f._IO_write_ptr - f._IO_write_base);
  return unsent->empty() || Peek(pid, f._IO_write_base, &(*unsent)[0], unsent->size());
}

// The bytes the child has read so far (all descriptors), from /proc.
long long BytesRead(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/io");
  long long n = -1;
  f.ignore(6) >> n; // the first line is "rchar: <n>"
  return n;
}

const std::string kStop = "\x13", kStart = "\x11", kIntr = "\x03"; // Ctrl-S, -Q, -C

// One child running one random sequence of operations, and the parent's
// record of it.
class Session {
public:
  Session(const std::string &term, int rows, int cols, unsigned seed)
      : s_(TermOptions(term, rows, cols), Interpreter),
        where_("term " + term + " " + std::to_string(cols) + "x" + std::to_string(rows) +
               ", QX_PROP_SEED=" + std::to_string(seed)) {
    unsigned name = 0, m; // a seed of its own for each terminal and size
    for (char c : term)
      name = name * 31 + (unsigned char)c;
    std::seed_seq{seed, name, (unsigned)rows, (unsigned)cols}.generate(&m, &m + 1);
    rng_.seed(m);
  }

  // Runs `ops` random operations, each followed by its checks.
  void Go(int ops) {
    ASSERT_TRUE(s_.WaitStep("done"));
    ASSERT_TRUE(AfterStep(true));
    static const char kOps[] = "OOOOOOTTTTTSEELLCMMRK";
    for (int i = 0; i < ops; i++) {
      std::string op = Pick(std::string(1, kOps[Roll(sizeof kOps - 1)]));
      // A line needs the rest of the screen blank.
      testing::AssertionResult r =
          Step(op == "T" && !Blank(shadow_.cur_y, shadow_.cur_x) ? "N" : "");
      if (r) r = Step(op);
      ASSERT_TRUE(r) << where_ << "; steps:\n" << log_;
    }
    s_.Go("end");
  }

private:
  int Roll(int n) {
    return (int)(rng_() % n);
  }

  // Whether the shadow is blank from byte x0 of row y0 up to byte x1 of row y1
  // (by default to its end).
  bool Blank(int y0, int x0, int y1 = 1 << 30, int x1 = 0) const {
    for (; y0 <= y1 && y0 < shadow_.rows; y0++, x0 = 0) {
      size_t end = y0 == y1 ? (size_t)x1 : std::string::npos;
      if (shadow_.row_bytes[y0].find_first_not_of(' ', x0) < end) return false;
    }
    return true;
  }

  // Picks the arguments of an operation of kind `op`, or "" when the shadow
  // makes it one whose outcome differs from the terminal by design.
  std::string Pick(const std::string &op) {
    const bench::Shadow &sh = shadow_;
    if (op == "O")
      return "O " + std::to_string(rng_()) + " " + std::to_string(1 + Roll(60));
    if (op == "S") {
      int r = Roll(4);
      return "S " + std::to_string(r == 0 ? 0 : r == 1 ? sh.rows - 1 : Roll(sh.rows));
    }
    // d_cleol and d_cleos blank the shadow left of and above the cursor, which
    // stay on the terminal: unless that is blank, the cursor goes to the start
    // of its row, or home, first.
    if (op == "L") return Blank(sh.cur_y, 0, sh.cur_y, sh.cur_x) ? "L" : "L 1";
    if (op == "E") return Blank(0, 0, sh.cur_y, sh.cur_x) ? "E" : "E 1";
    if (op == "M") { // d_cursor: the byte index must be the display column
      int row = 1 + Roll(sh.rows), col = 1 + Roll(sh.columns);
      const std::string &r = sh.row_bytes[row - 1];
      if (std::any_of(r.begin(), r.begin() + col - 1, [](char b) { return b & 0x80; }))
        col = 1;
      return "M " + std::to_string(col) + " " + std::to_string(row);
    }
    return op == "K" && clear_pending_ ? "" : op; // d_keyin shows nothing of d_clear
  }

  // The keys of one edited line, each a string typed at once, ending in Enter.
  std::vector<std::string> KeysOfLine() {
    static const std::vector<std::pair<int, std::string>> kKeys = {
        {30, "a"},   {8, "\xc3\xa9"}, {10, "\xe3\x81\x82"}, {10, "\x7f"}, {3, "\x11"},
        {4, "\x15"}, {2, "\x0e"},     {1, "\x1b[A"},        {6, "\x06"},  {2, "\x01"},
        {3, "\x05"}, {2, "\x02"},     {2, "\x13"},          {1, "\x03"}};
    int total = 0;
    for (const auto &k : kKeys)
      total += k.first;
    std::vector<std::string> keys;
    for (int n = Roll(3) ? Roll(12) : Roll(40); n > 0; n--) {
      int j = 0, r = Roll(total);
      while ((r -= kKeys[j].first) >= 0)
        j++;
      const std::string &k = kKeys[j].second;
      keys.push_back(k == "a" ? std::string(1, 'a' + Roll(26)) : k);
    }
    keys.push_back("\r");
    return keys;
  }

  // Types `key`, noting the bytes the child will have read once it took it.
  // Ctrl-C is no byte to read but a signal, given a moment to arrive.
  void Type(const std::string &key) {
    log_ += bench::Printable(key) + " ";
    read_ = BytesRead(s_.Pid()) + (key == kIntr ? 0 : (long long)key.size());
    s_.Send(key);
    if (key == kIntr) usleep(20000);
  }

  // Waits until the child has finished the operation or (*blocked) sleeps
  // reading its keyboard having read every key typed (seen three times, a
  // few milliseconds apart).
  testing::AssertionResult Wait(bool *blocked) {
    long long t0 = CpuTicks(s_.Pid());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int seen = 0; std::chrono::steady_clock::now() < deadline; usleep(1500)) {
      s_.Send("");
      char st = ProcState(s_.Pid());
      *blocked = false;
      if ((s_.Has("seq") && s_.Get("seq") == std::to_string(seq_)) || st == 'Z' ||
          st == 'X')
        return s_.WaitStep("done"); // which reports a death
      seen = BytesRead(s_.Pid()) >= read_ && ReadingStdin(s_.Pid()) ? seen + 1 : 0;
      if ((*blocked = seen == 3)) {
        s_.Send("");
        return testing::AssertionSuccess();
      }
    }
    return testing::AssertionFailure()
           << "the child neither finished nor waited for a key in 5 s; it used "
           << (CpuTicks(s_.Pid()) - t0) * 1000 / sysconf(_SC_CLK_TCK) << " ms of CPU\n"
           << s_.ScreenText();
  }

  // Checks a child blocked on its keyboard: nothing in its stdout buffer; if
  // `editing` the terminal shows the shadow it `held`; if `measure`, it uses
  // no CPU over 50 ms (a spin would take five ticks) and stays blocked.
  testing::AssertionResult Blocked(const bench::Shadow &held, const std::string &unsent,
                                   bool editing, bool measure) {
    if (!unsent.empty())
      return testing::AssertionFailure()
             << "blocked with \"" << bench::Printable(unsent) << "\" still in its stdout";
    if (editing) {
      testing::AssertionResult r = bench::ScreenEqualsShadow(s_, held);
      if (r) r = bench::CursorEqualsShadow(s_, held);
      if (!r) return r << "\n(while the line editor waits)";
    }
    if (!measure) return testing::AssertionSuccess();
    long long t0 = CpuTicks(s_.Pid());
    usleep(50000);
    long long used = CpuTicks(s_.Pid()) - t0;
    if (used <= 2 && ReadingStdin(s_.Pid())) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "spins while it should wait: " << used << " ticks of CPU in 50 ms";
  }

  // Does one operation with its checks, typing the keys it waits for; ""
  // is no operation.
  testing::AssertionResult Step(const std::string &op) {
    if (op.empty()) return testing::AssertionSuccess();
    bool editing = op == "T";
    // The keys it takes: a line's, or d_keyin's k (Ctrl-C may come first).
    std::vector<std::string> keys =
        editing ? KeysOfLine() : std::vector<std::string>(op == "K", "k");
    if (op[0] == 'O' && Roll(4) == 0) Type(kStop); // stops output at its first scroll
    bench::Shadow before = shadow_;
    log_ += "[" + op + "] ";
    s_.Go(op);
    seq_++;
    size_t next = 0;             // keys[next] is typed next
    std::string last;            // the key typed last
    bool intr_now = false;       // Ctrl-C typed in this operation
    bool measured = false;       // CPU time measured in this operation
    bool expect_running = false; // Ctrl-Q typed to a stopped scroll
    for (;;) {
      bool blocked;
      testing::AssertionResult r = Wait(&blocked);
      ConsoleState con{}; // the blocked child's record,
      bench::Shadow held; // its shadow
      std::string unsent; // and what its stdout buffer holds
      if (r && blocked && !Look(s_.Pid(), &con, &held, &unsent))
        r = testing::AssertionFailure() << "cannot read the child";
      if (!r) return r;
      bool stopped = blocked ? con.output_stopped : s_.Get("stopped") != "0";
      if (expect_running && stopped)
        return testing::AssertionFailure() << "Ctrl-Q did not resume stopped output";
      if (!blocked) break;
      bool more = next < keys.size();
      // CPU time is measured in the first wait of a stopped scroll and of
      // d_keyin, and after every interrupt.
      bool measure = (((stopped && !more) || op == "K") && !measured) || last == kIntr;
      measured = measured || measure;
      if (!(r = Blocked(held, unsent, editing && more && !stopped, measure))) return r;
      std::string key = "\r"; // ends the line an interrupt started
      if (more) {
        key = op == "K" && Roll(3) == 0 ? kIntr : keys[next++];
      } else if (stopped) { // a scroll waits for Ctrl-Q
        int k = Roll(6);
        key = k == 0 && !intr_now ? kIntr : k == 1 ? kStop : kStart;
      } else if (!interrupted_ && !intr_now) {
        return testing::AssertionFailure() << "the child waits for a key after the last";
      }
      expect_running = !more && stopped && key == kStart;
      intr_now = intr_now || key == kIntr;
      Type(last = key);
    }
    if (op[0] == 'O') log_ += "{" + s_.Get("text") + "} ";
    log_ += "\n";
    // d_clear shows at the next refresh, which d_keyin and C_SetScrollLine skip.
    clear_pending_ = op == "C" || (clear_pending_ && (op == "K" || op[0] == 'S'));
    testing::AssertionResult r = AfterStep(!clear_pending_);
    if (r && editing && !interrupted_ && !intr_now) r = LineShown(before);
    interrupted_ = intr_now || (interrupted_ && !editing);
    return r;
  }

  // Takes the child's report; unless a d_clear waits for its refresh, the
  // screen and the cursor must equal the shadow.
  testing::AssertionResult AfterStep(bool screen) {
    testing::AssertionResult r = bench::ReadShadow(s_, &shadow_);
    if (r && screen) r = bench::ScreenEqualsShadow(s_);
    if (r && screen) r = bench::CursorEqualsShadow(s_);
    return r;
  }

  // The screen shows the prompt and the line the child got from where the
  // cursor was `before`, a character that does not fit on the next row (a
  // multibyte one also with one column left: its width shows at its last
  // byte), blank after it.  A line that scrolled below the scroll line, which
  // keeps the rows above, is not looked at.
  testing::AssertionResult LineShown(const bench::Shadow &before) {
    std::string line = s_.Get("line");
    if (line.empty() || line.back() != '\x1f') return testing::AssertionSuccess();
    line = "| " + line.substr(0, line.size() - 1);
    const int cols = shadow_.columns, x0 = std::min(before.col, cols);
    std::vector<std::vector<std::string>> laid(1, std::vector<std::string>(cols, " "));
    int col = x0;
    for (size_t i = 0, start = 0; i < line.size(); start = i) {
      char32_t cp = bench::DecodeUtf8(line, i);
      int w = std::max(1, bench::CharWidth(cp));
      if (col + w > cols || (i - start > 1 && col + 1 == cols))
        laid.emplace_back(cols, " "), col = 0;
      laid.back()[col] = bench::EncodeUtf8(cp);
      if (w == 2 && col + 1 < cols) laid.back()[col + 1] = "";
      col += w;
    }
    // Whether the screen shows `laid`, its last row on row `last`.
    std::vector<std::string> screen = s_.Screen();
    int scroll = std::stoi(s_.Get("scroll"));
    auto laid_out = [&](int last) -> testing::AssertionResult {
      int shift = before.cur_y + (int)laid.size() - 1 - last;
      if (shift > 0 && before.cur_y < scroll) return testing::AssertionSuccess();
      for (int k = 0; k < (int)laid.size(); k++) {
        int y = before.cur_y + k - shift;
        if (y < 0 || y > last || (shift > 0 && y < scroll)) continue;
        std::vector<std::string> cells = bench::SplitCells(screen[y]);
        for (int c = k == 0 ? x0 : 0; c < cols; c++)
          if (cells[c] != laid[k][c] && !(laid[k][c] == " " && cells[c].empty()))
            return testing::AssertionFailure() << "row " << y << " shows \"" << screen[y]
                                               << "\" (column " << c << ")";
      }
      return testing::AssertionSuccess();
    };
    // The last row is above the cursor, or two above when it is full and the
    // cursor moved on to the next row (at once, or by an erase there).
    testing::AssertionResult r = laid_out(shadow_.cur_y - 1);
    if (!r && col == cols) r = laid_out(shadow_.cur_y - 2);
    return r ? r : r << "\n(the line \"" << line << "\")\n" << s_.ScreenText();
  }

  bench::Scenario s_;          // the child on its terminal
  std::string where_;          // terminal, size and seed
  std::mt19937 rng_;           // draws the operations and keys
  int seq_ = 0;                // operations done
  bench::Shadow shadow_;       // as reported after the last operation
  std::string log_;            // the steps so far, for a replay
  bool clear_pending_ = false; // d_clear waits for a refresh
  // Ctrl-C typed in the last edited line or after it: an interrupt taken
  // while a scroll waited is acted on by the next line read, which it aborts.
  bool interrupted_ = false;
  long long read_ = 0; // the child's bytes read once it has every key
};

// The seeds to run: fixed ones, or those the environment asks for.
std::vector<unsigned> Seeds() {
  if (const char *one = getenv("QX_PROP_SEED")) return {(unsigned)std::stoul(one)};
  const char *n = getenv("QX_PROP_SEEDS");
  std::vector<unsigned> seeds(n ? std::stoi(n) : 1, 1);
  std::random_device fresh;
  if (n) std::generate(seeds.begin(), seeds.end(), std::ref(fresh));
  return seeds;
}

class Property : public testing::TestWithParam<const char *> {};

// Catches: a screen other than the shadow or the line after any mix of
// output, screen built-ins and editing; a wait that spins or ignores Ctrl-Q;
// a byte held back in stdout while the module waits for a key.
TEST_P(Property, ScreenFollowsShadowAndLine) {
  static const int kSizes[][2] = {{24, 80}, {6, 20}, {5, 12}, {1, 2}}; // rows, columns
  for (unsigned seed : Seeds())
    for (const auto &size : kSizes) {
      Session(GetParam(), size[0], size[1], seed).Go(20);
      if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Terminals, Property,
                         testing::Values("xterm", "vt100", "ansi", "xterm-noxenl",
                                         "xterm-noam", "xterm-nodl", "xterm-nocup"),
                         [](const testing::TestParamInfo<const char *> &info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

} // namespace
