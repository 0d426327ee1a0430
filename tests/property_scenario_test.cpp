// A randomized run of all that puts text on the terminal: output, scroll lines, screen
// built-ins, edited lines, Ctrl-S, Ctrl-Q and Ctrl-C at any point.  QX_PROP_SEED=<n>
// runs seed n instead of the fixed one, QX_PROP_SEEDS=<k> k fresh ones.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/uio.h>

#include <algorithm>
#include <random>

namespace {

// Whether bytes [0, to) of shadow row y are all one byte and one column.
bool RowAscii(int y, int to) {
  const unsigned char *r = Console->shadow[y];
  return std::all_of(r, r + to, [](unsigned char b) { return b < 0x80; });
}

// Whether a character of `width` columns and `bytes` bytes may be written where it lands
// (wrapped as the module wraps): ASCII over ASCII, anything else on a blank rest of row.
bool MayWrite(int width, int bytes) {
  int x = Console->cur_x, y = Console->cur_y, col = _Curses_num_cur_x(x, y);
  if (col + width > Console->columns || (bytes > 1 && col + 1 == Console->columns)) {
    if (++y == Console->rows) return true;
    x = 0;
  }
  const unsigned char *r = Console->shadow[y];
  if (bytes == 1 && width == 1) return r[x] < 0x80;
  return std::count(r + x, r + 4 * Console->columns, ' ') == 4 * Console->columns - x;
}

// Writes `pieces` random pieces of output drawn from `seed`, and returns them.  Where
// shadow and terminal differ by design a character becomes an x or a new line (a form
// feed when the next row is no better), a move off the display column nothing.
std::string WriteRandom(unsigned seed, int pieces) {
  static const char *const kMulti[] = {"é", "あ", "漢"};
  static const char kStray[] = {1, 0x1b, 0x7f}, kMoves[] = "\n\x1f\a\t\b\r\v";
  std::mt19937 rng(seed);
  auto roll = [&](int n) { return (int)(rng() % n); };
  std::string out;
  for (int i = 0; i < pieces; i++) {
    int kind = roll(20), m = 0, x = Console->cur_x, y = Console->cur_y;
    int rows = Console->rows, cols = Console->columns;
    std::string piece;
    if (kind >= 14 && kind < 19) {
      char ch = roll(30) ? kMoves[roll(7)] : '\f';
      bool back = x > 0 ? RowAscii(y, x) : y == 0 || RowAscii(y - 1, cols);
      bool down = y + 1 == rows || (x < cols && RowAscii(y + 1, x + 1));
      bool tab = RowAscii(y, std::min(x + 8, 4 * cols));
      if (ch == '\b' ? back : ch == '\t' ? tab : ch != '\v' || down) piece = ch;
    } else {
      if (kind < 9 || kind == 19)
        piece = kind == 19 ? " " : std::string(1, 'a' + roll(26));
      else if (kind < 13)
        piece = kMulti[m = roll(3)]; // m > 0: two columns
      else
        piece = roll(4) ? std::string(1, kStray[roll(3)]) : "\x85";
      if (!MayWrite(m ? 2 : 1, (int)piece.size())) piece = MayWrite(1, 1) ? "x" : "\n";
      if (piece == "\n" && y + 1 < rows && !RowAscii(y + 1, 1)) piece = "\f";
    }
    Put(piece);
    out += piece;
  }
  return out;
}

// The child: does the operations the parent names (a letter and up to two
// numbers, one at a time) until it says end, and reports its shadow after each.
void Interpreter() {
  StartConsole();
  C_SetPrompt(PutAtom(0, "? "));
  char k = 0;
  for (int seq = 0; k != 'e'; seq++) {
    ReportShadow();
    bench::Report("stopped", Console->output_stopped);
    bench::Report("scroll", Console->scroll_line);
    bench::Report("seq", seq);
    bench::Step("done");
    long long a = 0, b = 0;
    sscanf(bench::WaitParent().c_str(), "%c %lld %lld", &k, &a, &b);
    if (k == 'O') bench::Report("text", bench::Printable(WriteRandom(a, b)));
    if (k == 'T') C_TOPLEVEL(), bench::Report("line", ReadRecord());
    if (k == 'S') C_SetScrollLine(a);
    if ((k == 'E' || k == 'L') && a) C_SetCursor(1, k == 'E' ? 1 : Console->cur_y + 1);
    if (k == 'E') P0_d_cleos();
    if (k == 'L') P0_d_cleol();
    if (k == 'C') P0_d_clear();
    if (k == 'R') P0_d_redisp();
    if (k == 'M') C_SetCursor(RowAscii(b - 1, a - 1) ? a : 1, b);
    if (k == 'N') C_SetCursor(1, Console->rows), Put("\n");
    if (k == 'K') bench::Report("key", KeyIn());
  }
}

// Reads whether the blocked child `pid` has its output stopped, and its shadow;
// fails when it cannot be read or holds bytes in its stdout buffer.
testing::AssertionResult Look(pid_t pid, bool *stopped, bench::Shadow *held) {
  auto peek = [pid](const void *addr, void *out, size_t n) { // forked: same addresses
    iovec local{out, n}, remote{const_cast<void *>(addr), n};
    return process_vm_readv(pid, &local, 1, &remote, 1, 0) == (ssize_t)n;
  };
  ConsoleState *at = nullptr, con;
  FILE f;
  if (!peek(&Console, &at, sizeof at) || !peek(at, &con, sizeof con) ||
      !peek(stdout, &f, sizeof f))
    return testing::AssertionFailure() << "cannot read the child";
  if (f._IO_write_ptr != f._IO_write_base)
    return testing::AssertionFailure() << "waits with bytes in its stdout buffer";
  *stopped = con.output_stopped;
  bench::Shadow &sh = *held = {con.rows, con.columns, con.cur_x, con.cur_y, 0, {}};
  std::vector<unsigned char *> rows(sh.rows);
  peek(con.shadow, rows.data(), rows.size() * sizeof rows[0]);
  for (unsigned char *r : rows) {
    sh.row_bytes.emplace_back(4 * sh.columns, ' ');
    peek(r, &sh.row_bytes.back()[0], 4 * sh.columns);
  }
  for (size_t i = 0; i < (size_t)sh.cur_x;)
    sh.col += std::max(1, bench::CharWidth(bench::DecodeUtf8(sh.row_bytes[sh.cur_y], i)));
  return testing::AssertionSuccess();
}

// The bytes the child has read so far (all descriptors), from /proc.
long long BytesRead(pid_t pid) {
  long long n = -1;
  std::ifstream("/proc/" + std::to_string(pid) + "/io").ignore(6) >> n; // "rchar: <n>"
  return n;
}

const std::string kStop = "\x13", kStart = "\x11", kIntr = "\x03"; // Ctrl-S, -Q, -C

// One child running one random sequence of operations, and its record.
class Session {
public:
  Session(const std::string &term, int rows, int cols, unsigned seed)
      : s_(bench::Options{rows, cols, term}, Interpreter) {
    unsigned name = 0, m; // a seed of its own for each terminal and size
    for (char c : term)
      name = name * 31 + (unsigned char)c;
    std::seed_seq{seed, name, (unsigned)rows, (unsigned)cols}.generate(&m, &m + 1);
    rng_.seed(m);
  }

  // Runs `ops` random operations, each step followed by its checks.
  void Go(int ops) {
    ASSERT_TRUE(s_.WaitStep("done"));
    ASSERT_TRUE(bench::ReadShadow(s_, &shadow_));
    ASSERT_TRUE(bench::ShowsShadow(s_, shadow_));
    static const char kOps[] = "OOOOOOTTTTTSEELLCMMRK";
    for (int i = 0; i < ops; i++)
      for (const std::string &step : Pick(kOps[Roll(sizeof kOps - 1)]))
        ASSERT_TRUE(Step(step)) << "steps:\n" << log_;
    s_.Go("end");
  }

private:
  int Roll(int n) {
    return (int)(rng_() % n);
  }

  // Whether the shadow, its rows joined, is blank from byte x0 of row y0 up to
  // byte x1 of row y1 (by default to its end).
  bool Blank(int y0, int x0, int y1 = 1 << 20, int x1 = 0) const {
    std::string all;
    for (const std::string &r : shadow_.row_bytes)
      all += r;
    size_t row = 4 * shadow_.columns;
    return all.find_first_not_of(' ', y0 * row + x0) >= y1 * row + x1;
  }

  // The steps of an operation `op` with its arguments, clear of what differs by
  // design: d_cleol and d_cleos leave the text left of and above the cursor on
  // the terminal (unless blank, the cursor goes to its row's start, or home,
  // first), d_keyin does not show a d_clear, a line needs a blank screen rest.
  std::vector<std::string> Pick(char op) {
    const bench::Shadow &sh = shadow_;
    if (op == 'O')
      return {"O " + std::to_string(rng_()) + " " + std::to_string(1 + Roll(60))};
    if (op == 'S') {
      int r = Roll(4);
      return {"S " + std::to_string(r == 0 ? 0 : r == 1 ? sh.rows - 1 : Roll(sh.rows))};
    }
    if (op == 'L') return {Blank(sh.cur_y, 0, sh.cur_y, sh.cur_x) ? "L" : "L 1"};
    if (op == 'E') return {Blank(0, 0, sh.cur_y, sh.cur_x) ? "E" : "E 1"};
    if (op == 'M') { // d_cursor: the child takes column 1 after multibyte text
      int row = 1 + Roll(sh.rows);
      return {"M " + std::to_string(1 + Roll(sh.columns)) + " " + std::to_string(row)};
    }
    if (op == 'T' && !Blank(sh.cur_y, sh.cur_x)) return {"N", "T"};
    if (op == 'K' && clear_pending_) return {};
    return {std::string(1, op)};
  }

  // The keys of one edited line, each a string typed at once, ending in Enter.
  std::vector<std::string> KeysOfLine() {
    static const std::vector<std::pair<int, std::string>> kKeys = {
        {30, "a"},   {8, "é"},    {10, "あ"},    {10, "\x7f"}, {3, "\x11"},
        {4, "\x15"}, {2, "\x0e"}, {1, "\x1b[A"}, {6, "\x06"},  {2, "\x01"},
        {3, "\x05"}, {2, "\x02"}, {2, "\x13"},   {1, "\x03"}};
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
  void Type(const std::string &key) {
    log_ += bench::Printable(key) + " ";
    read_ = BytesRead(s_.pid) + (key == kIntr ? 0 : (long long)key.size());
    s_.Send(key);
    if (key == kIntr) usleep(20000); // a signal, given a moment to arrive
  }

  // Waits until the child has finished the operation, or (*blocked) sleeps
  // reading its keyboard with every key read (seen thrice), then Looks at it.
  testing::AssertionResult Wait(bool *blocked, bool *stopped, bench::Shadow *held) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int seen = 0; std::chrono::steady_clock::now() < deadline; usleep(1500)) {
      s_.Send("");
      *blocked = false;
      *stopped = s_.Get("stopped") != "0"; // current once the operation is done
      if (s_.Get("seq") == std::to_string(seq_)) return s_.WaitStep("done");
      seen = BytesRead(s_.pid) >= read_ && ReadingStdin(s_.pid) ? seen + 1 : 0;
      if ((*blocked = seen == 3)) {
        s_.Send("");
        return Look(s_.pid, stopped, held);
      }
    }
    return testing::AssertionFailure()
           << "the child neither finished nor waited for a key in 5 s\n"
           << s_.ScreenText();
  }

  // Does one operation, typing the keys it waits for.  In each wait the child
  // has flushed its output, the line editor shows its shadow, and the first
  // wait of a stopped scroll or d_keyin, and any after Ctrl-C, use no CPU.
  testing::AssertionResult Step(const std::string &op) {
    bool editing = op == "T";
    std::vector<std::string> keys =
        editing ? KeysOfLine() : std::vector<std::string>(op == "K", "k");
    if (op[0] == 'O' && Roll(4) == 0) Type(kStop); // stops output at its first scroll
    bench::Shadow before = shadow_, held;
    log_ += "[" + op + "] ";
    s_.Go(op);
    seq_++;
    size_t next = 0;                         // keys[next] is typed next
    std::string last;                        // the key typed last
    bool intr_now = false, measured = false; // Ctrl-C typed, CPU time measured
    for (bool blocked, stopped;;) {
      testing::AssertionResult r = Wait(&blocked, &stopped, &held);
      if (r && stopped && last == kStart && next == keys.size()) // to a stopped scroll
        r = testing::AssertionFailure() << "Ctrl-Q did not resume stopped output";
      if (!r) return r;
      if (!blocked) break;
      bool more = next < keys.size();
      bool measure = (((stopped && !more) || op == "K") && !measured) || last == kIntr;
      measured = measured || measure;
      if (editing && more && !stopped)
        r = bench::ShowsShadow(s_, held); // the line editor waits
      if (r && measure) r = SleepsWhileWaiting(s_, 45);
      if (!r) return r;
      std::string key = "\r"; // ends the line an interrupt started
      if (more) {
        key = op == "K" && Roll(3) == 0 ? kIntr : keys[next++];
      } else if (stopped) {
        int k = Roll(6);
        key = k == 0 && !intr_now ? kIntr : k == 1 ? kStop : kStart;
      } else if (!interrupted_ && !intr_now) {
        return testing::AssertionFailure() << "the child waits for a key after the last";
      }
      intr_now = intr_now || key == kIntr;
      Type(last = key);
    }
    log_ += (op[0] == 'O' ? "{" + s_.Get("text") + "}" : "") + "\n";
    // d_clear shows at the next refresh, which d_keyin and C_SetScrollLine skip.
    clear_pending_ = op == "C" || (clear_pending_ && (op == "K" || op[0] == 'S'));
    testing::AssertionResult r = bench::ReadShadow(s_, &shadow_);
    if (r && !clear_pending_) r = bench::ShowsShadow(s_, shadow_);
    if (r && editing && !interrupted_ && !intr_now) r = LineShown(before);
    interrupted_ = intr_now || (interrupted_ && !editing);
    return r;
  }

  // The screen shows the prompt and the line the child got from where the cursor
  // was `before`, a character that does not fit on the next row (a multibyte one
  // also with one column left), blank after it; unless it scrolled below the
  // scroll line, which keeps the rows above.
  testing::AssertionResult LineShown(const bench::Shadow &before) {
    std::string line = s_.Get("line");
    if (line.empty() || line.back() != '\x1f') return testing::AssertionSuccess();
    line = "| " + line.substr(0, line.size() - 1);
    const int cols = shadow_.columns, x0 = std::min(before.col, cols);
    std::vector<std::string> laid(cols, " "); // its cells, row after row
    int col = x0;
    for (size_t i = 0, start = 0; i < line.size(); start = i) {
      char32_t cp = bench::DecodeUtf8(line, i);
      int w = std::max(1, bench::CharWidth(cp));
      if (col + w > cols || (i - start > 1 && col + 1 == cols))
        laid.resize(laid.size() + cols, " "), col = 0;
      laid[laid.size() - cols + col] = bench::EncodeUtf8(cp);
      if (w == 2 && col + 1 < cols) laid[laid.size() - cols + col + 1] = "";
      col += w;
    }
    int n = laid.size() / cols, scroll = std::stoi(s_.Get("scroll"));
    auto laid_out = [&](int top) -> testing::AssertionResult { // shown from row top on
      bool scrolled = top < before.cur_y;
      if (scrolled && before.cur_y < scroll) return testing::AssertionSuccess();
      for (int y = std::max(top, scrolled ? scroll : 0); y < top + n; y++) {
        std::vector<std::string> cells = bench::SplitCells(s_.Screen()[y]);
        for (int c = y == top ? x0 : 0; c < cols; c++) {
          const std::string &want = laid[(y - top) * cols + c];
          if (cells[c] != want && !(want == " " && cells[c].empty()))
            return testing::AssertionFailure() << "row " << y << ", column " << c;
        }
      }
      return testing::AssertionSuccess();
    };
    // The last row is above the cursor, or two above when it is full and the
    // cursor moved on to the next row (at once, or by an erase there).
    testing::AssertionResult r = laid_out(shadow_.cur_y - n);
    if (!r && col == cols) r = laid_out(shadow_.cur_y - n - 1);
    return r ? r : r << "\n(the line \"" << line << "\")\n" << s_.ScreenText();
  }

  bench::Scenario s_;          // the child on its terminal
  std::mt19937 rng_;           // draws the operations and keys
  int seq_ = 0;                // operations done
  bench::Shadow shadow_;       // as reported after the last operation
  std::string log_;            // the steps so far, for a replay
  bool clear_pending_ = false; // d_clear waits for a refresh
  bool interrupted_ = false;   // Ctrl-C in the last line or since: may abort the next
  long long read_ = 0;         // the child's bytes read once it has every key
};

class Property : public testing::TestWithParam<const char *> {};

// Catches after any mix of operations: a screen or cursor other than the shadow,
// a wrong line shown; a wait with output held back, spinning or deaf to Ctrl-Q.
TEST_P(Property, ScreenFollowsShadowAndLine) {
  static const int kSizes[][2] = {{24, 80}, {6, 20}, {5, 12}, {1, 2}}; // rows, columns
  const char *one = getenv("QX_PROP_SEED"), *n = getenv("QX_PROP_SEEDS");
  std::vector<unsigned> seeds(one || !n ? 1 : std::stoi(n), one ? std::stoul(one) : 1);
  if (!one && n) std::generate(seeds.begin(), seeds.end(), std::random_device());
  for (unsigned seed : seeds)
    for (const auto &size : kSizes) {
      SCOPED_TRACE(testing::Message() << "term " << GetParam() << " " << size[1] << "x"
                                      << size[0] << ", QX_PROP_SEED=" << seed);
      if (!HasFailure()) Session(GetParam(), size[0], size[1], seed).Go(20);
    }
}

INSTANTIATE_TEST_SUITE_P(Terminals, Property,
                         testing::Values("xterm", "vt100", "ansi", "xterm-noxenl",
                                         "xterm-noam", "xterm-nodl", "xterm-nocup"));

} // namespace
