// The scenario tables: every case of tests/scenarios/*.scn runs here as one
// test (Table/Scenarios.Run/<file>_<case>).  tests/README.md describes the
// format.  A case starts the console in a bench child on a pseudo-terminal,
// as an engine does (with a memory log), then runs its lines in order: child
// commands run in the child, which reports what they returned, the log, the
// engine's state and the shadow; expectations check those and the terminal.
#include "bench.h"
#include "console.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// One case: where it was read, its terminals and its lines.
struct Case {
  std::string name;                 // <file>_<case>
  std::string where;                // file:line of its header
  std::vector<std::string> terms;   // "xterm 24x80"
  std::vector<std::string> options; // start options: eucjp, shadow, devnull, closed
  std::vector<std::pair<int, std::string>> lines; // line number, text
  // Whether the case starts with option `o`.
  bool Has(const char *o) const {
    return std::count(options.begin(), options.end(), o);
  }
};

// C escapes (\a \b \e \f \n \r \t \v \\ \xNN), \*N (the character before it N times
// in all) and, in keys (`carets`), ^X for control X (^? for DEL).
std::string Unescape(const std::string &s, bool carets = false) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    char c = s[i], n = i + 1 < s.size() ? s[i + 1] : 0;
    if (carets && c == '^' && (n == '?' || (n >= '@' && n <= '_'))) {
      out += n == '?' ? '\x7f' : static_cast<char>(n - '@'), i++;
    } else if (c == '\\' && n == 'x') {
      out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)), i += 3;
    } else if (c == '\\' && n == '*') {
      size_t len = 1, count = std::stoul(s.substr(i + 2));
      while ((out[out.size() - len] & 0xC0) == 0x80)
        len++;
      std::string ch = out.substr(out.size() - len);
      while (--count > 0)
        out += ch;
      i = s.find_first_not_of("0123456789", i + 2) - 1;
    } else if (c == '\\' && n) {
      const std::string from = "abefnrtv", to = "\a\b\x1b\f\n\r\t\v";
      out += from.find(n) == std::string::npos ? n : to[from.find(n)], i++;
    } else {
      out += c;
    }
  }
  return out;
}

// The first word of `s`, removed from it with the spaces after it.
std::string Word(std::string &s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return s.clear(), "";
  size_t e = std::min(s.find(' ', b), s.size());
  std::string w = s.substr(b, e - b);
  s.erase(0, std::min(s.find_first_not_of(' ', e), s.size()));
  return w;
}

// ---- Child ----------------------------------------------------------------------

QxStream log_stream, last_log; // the memory log; the last log of logfail/logfull

// What the engine saw: quit and interrupt actions, SIGINTs its handler took,
// token-error resets, and whether its SIGINT action is in force.
std::string EngineState() {
  struct sigaction cur;
  sigaction(SIGINT, nullptr, &cur);
  const HostCounters *c = host_counters();
  return "quit=" + std::to_string(c->main_quit) + " intr=" + std::to_string(c->f_intr) +
         " sigint=" + std::to_string(host_sigint_count()) +
         " err=" + std::to_string(c->clear_error_info) + " handler=" +
         (cur.sa_handler == host_sigint_handler_address() ? "engine" : "other");
}

// A built-in argument: an integer, _ (unbound), [1,2] (a list of integers),
// A+B or A*B (an expression) or an atom's name.
TermCell Arg(const std::string &a) {
  if (a == "_") return host_var();
  if (size_t op = a.find_first_of("+*", 1); op != std::string::npos)
    return host_expr2(a.substr(op, 1).c_str(), Arg(a.substr(0, op)),
                      Arg(a.substr(op + 1)));
  if (a[0] == '[') {
    std::vector<int64_t> v;
    std::istringstream in(a.substr(1));
    for (int64_t x; in >> x; in.ignore())
      v.push_back(x);
    return host_int_list(v.data(), v.size(), host_nil(), QX_TAG_LIST);
  }
  if (isdigit(static_cast<unsigned char>(a[0])) || a[0] == '-')
    return host_int(std::stoll(a));
  return host_atom_named(a.c_str());
}

// A cell as text: an integer, the atom's name, or _ when unbound.
std::string Show(TermCell *c) {
  int64_t v;
  QxAtom a;
  if (host_get_int(c, &v)) return std::to_string(v);
  if (host_get_atom(c, &a)) return Atomman_AtomNo2AtomName(a);
  return host_is_unbound(c) ? "_" : "?";
}

int frozen_arg,
    frozen_ok; // the next built-in's argument with a goal frozen on it (1-based)

using Entry = int64_t (*)(BuiltinFrame *);
const std::map<std::string, Entry> kBuiltins = {
    {"d_cursor/1", P1_d_cursor},   {"d_cursor/2", P2_d_cursor},
    {"d_pos/2", P2_d_pos},         {"d_screen/2", P2_d_screen},
    {"d_scroll/2", P2_d_scroll},   {"d_keyin/1", P1_d_keyin},
    {"d_keypeek/1", P1_d_keypeek}, {"d_keylength/1", P1_d_keylength},
    {"d_keyback/1", P1_d_keyback}};
const std::map<std::string, int (*)()> kBuiltins0 = {{"d_clear/0", P0_d_clear},
                                                     {"d_cleol/0", P0_d_cleol},
                                                     {"d_cleos/0", P0_d_cleos},
                                                     {"d_redisp/0", P0_d_redisp}};

// Runs one child command; the answer is what it returned.
std::string Do(std::string cmd) {
  std::string verb = Word(cmd), arg = Unescape(cmd);
  if (verb == "line" || verb == "mode") {
    for (char r : arg) {
      if (r == 'T') C_TOPLEVEL();
      if (r == 'N') C_NORMAL();
      if (r == 'P') C_NOPROMPT();
      if (r == 'C') C_COMMAND();
    }
    return verb == "line" ? ReadRecord() : "";
  }
  if (verb == "getc") {
    std::string got;
    for (int n = std::stoi(arg), c; n > 0; n--)
      got += (c = host_getc(C_GetStream())) == -1 ? "<EOF>"
                                                  : std::string(1, static_cast<char>(c));
    return got;
  }
  if (verb == "eofs") { // N reads: how many gave end of file, or "spins"
    long long cpu = CpuTicks(getpid()), eofs = 0;
    for (int n = std::stoi(arg); n > 0; n--)
      eofs += host_getc(C_GetStream()) == -1;
    return CpuTicks(getpid()) - cpu > 40 ? "spins" : std::to_string(eofs);
  }
  if (verb == "put") return Put(arg), "";
  if (verb == "putc") return Stream__sputc(std::stoi(arg), C_GetStream()), "";
  if (verb == "newline") return C_NewLine(), "";
  if (verb == "putfull") { // output while descriptor 1 is /dev/full (a dead terminal)
    int tty = dup(1), full = open("/dev/full", O_WRONLY);
    dup2(full, 1);
    Put(arg);
    dup2(tty, 1);
    return close(tty), close(full), "";
  }
  if (verb == "logfail" || verb == "logfull") { // a log that fails, or is a full device
    last_log = verb == "logfull" ? host_open_file("/dev/full", "w") : host_open_memory();
    if (verb == "logfail") host_memory_fail(last_log, 1);
    return C_SetLog(last_log), "";
  }
  if (verb == "loginfo")
    return std::string(C_GetLog() == last_log ? "log"
                       : C_GetLog() == 0      ? "none"
                                              : "other") +
           (host_stream_is_open(last_log) ? " open " : " closed ") +
           std::to_string(host_stream_put_count(last_log));
  if (verb == "raw") return bench::wire::WriteAll(1, arg) ? "" : "write failed";
  if (verb == "prompt") return C_SetPrompt(PutAtom(0, arg.c_str())), "";
  if (verb == "postfix") return C_SetPromptPostfix(PutAtom(0, arg.c_str())), "";
  if (verb == "flush") return C_FlushInput(), "";
  if (verb == "unlock") return C_Unlock(), "";
  if (verb == "keyback") return C_keyback(std::stoi(arg)), "";
  if (verb == "keyins") { // N keys as d_keyin/1 takes them
    std::string got;
    for (int n = std::stoi(arg); n > 0; n--)
      got += (got.empty() ? "" : " ") + std::to_string(KeyIn());
    return got;
  }
  if (verb == "typed") { // waits up to 10 s until N typed bytes wait on descriptor 0
    int n = 0, tries = 0;
    while ((ioctl(0, FIONREAD, &n), n < std::stoi(arg)) && tries++ < 1000)
      usleep(10000);
    if (n < std::stoi(arg)) bench::Fail("typed bytes never arrived");
    return "";
  }
  if (verb == "intrunlock") { // the engine's SIGINT handler also releases stopped output
    struct sigaction a {};
    a.sa_handler = [](int s) { host_sigint_handler_address()(s), C_Unlock(); };
    return a.sa_flags = SA_RESTART, sigaction(SIGINT, &a, nullptr), "";
  }
  if (verb == "freeze") // N OK: freezes a goal that succeeds or fails on argument N
    return frozen_arg = std::stoi(Word(arg)), frozen_ok = std::stoi(arg), "";
  if (verb == "redisplay") return std::to_string(S_redisplay());
  if (verb == "scrollline") return C_SetScrollLine(std::stoi(arg)), "";
  if (verb == "setcursor") {
    int x = std::stoi(Word(arg));
    return C_SetCursor(x, std::stoi(arg)), "";
  }
  if (verb == "mbchar") { // x3: 'x' starts a 3-byte character; 0: every length 0
    host_set_mbchar_override(arg == "0" ? [](unsigned char *, int, int *) { return 0; }
                                        : [](unsigned char *b, int i, int *w) {
                                            return b[0] == 'x'
                                                       ? (*w = 2, 3)
                                                       : host_isn_mbchar_default(b, i, w);
                                          });
    return "";
  }
  if (verb == "sigstate") return C_SetSigState(std::stoi(arg)), "";
  // termio [save N | restore N | exit]: leaves or re-enters curses, then
  // answers the tty's ICANON|ECHO|ISIG bits and its interrupt, end-of-file,
  // erase, suspend, literal-next, start and stop characters.
  if (verb == "termio") {
    std::string how = Word(arg);
    if (how == "save") SaveTermIO(std::stoi(arg));
    if (how == "restore") RestoreTermIO(std::stoi(arg));
    if (how == "exit") ExittingMessage();
    termios t{};
    tcgetattr(0, &t);
    std::string out = std::to_string(t.c_lflag & (ICANON | ECHO | ISIG));
    for (int i : {VINTR, VEOF, VERASE, VSUSP, VLNEXT, VSTART, VSTOP})
      out += " " + std::to_string(t.c_cc[i]);
    return out;
  }
  if (verb == "setterminal") return std::to_string(SetTerminal() == &Console);
  if (verb == "poke") { // poke ROW TEXT: a shadow row set behind the terminal's back
    unsigned char *row = Console->shadow[std::stoi(Word(arg))];
    memset(row, ' ', 4 * Console->columns);
    memcpy(row, arg.data(), std::min(arg.size(), 4 * size_t(Console->columns)));
    return "";
  }
  if (verb == "tokenerror") return host_set_token_error(C_GetStream()), "";
  if (verb == "vintr") { // the interrupt key changed behind the module's back
    termios t;
    tcgetattr(0, &t);
    t.c_cc[VINTR] = static_cast<cc_t>(std::stoi(arg));
    return tcsetattr(0, TCSANOW, &t), "";
  }
  if (verb == "set") { // an engine flag
    std::string name = Word(arg);
    int v = std::stoi(arg);
    if (name == "debug") debug_flag = v;
    if (name == "s_mode") s_mode_flag = v;
    if (name == "break_level") break_level = v;
    if (name == "terminator") s_debugger_command_response_terminator_flag = v;
    if (name == "e_disp") e_disp_flag = v;
    if (name == "interrupt") Interrupt = v;
    if (name == "eof") Console->eof_char = v; // as if the tty's had changed
    return "";
  }
  if (kBuiltins0.count(verb)) return std::to_string(kBuiltins0.at(verb)());
  auto b = kBuiltins.find(verb);
  if (b == kBuiltins.end()) bench::Fail("unknown command " + verb);
  host_args_reset();
  std::vector<TermCell *> cells;
  while (!arg.empty())
    cells.push_back(host_push(Arg(Word(arg))));
  if (frozen_arg) host_freeze(cells.at(frozen_arg - 1), frozen_ok), frozen_arg = 0;
  BuiltinFrame f{};
  std::string out = std::to_string(b->second(&f));
  for (TermCell *c : cells)
    out += " " + Show(c);
  return out;
}

// The child: starts the console, then runs commands until "end"; or runs
// qxtop with its log in `log`.
void Child(const Case &c, const std::string &log) {
  if (c.Has("qxtop")) {
    execl(QXTOP_BINARY, "qxtop", ("--log=" + log).c_str(), static_cast<char *>(nullptr));
    bench::Fail("qxtop did not start");
  }
  if (c.Has("eucjp")) host_set_charset(HOST_EUCJP);
  StartConsole();
  log_stream = host_open_memory();
  C_SetLog(log_stream);
  bench::Step("ready");
  for (std::string cmd; (cmd = bench::WaitParent()) != "end";) {
    std::string out = Do(cmd);
    fflush(stdout);
    bench::Report("out", out);
    bench::Report("log", host_memory_string(log_stream));
    host_memory_clear(log_stream);
    bench::Report("state", EngineState());
    ReportShadow();
    bench::Step("done");
  }
}

// ---- Parent ---------------------------------------------------------------------

// The parent's commands and expectations; every other word is a child command.
const char *const kParentVerbs[] = {
    "done",    "keys", "blocked", "sleeps",  "above",     "srows",  "scursor",
    "waitfor", "rows", "exit",    "logfile", "nologfile", "stderr", "mark",
    "nobytes", "wait", "intr",    "->",      "screen",    "row",    "cursor",
    "shadow",  "log",  "bells",   "state",   "bytes",     "resize"};

// Runs a case on one terminal.
void RunOn(const Case &c, const std::string &term) {
  std::string t = term;
  bench::Options opt;
  opt.term = Word(t);
  opt.rows = std::stoi(t);
  opt.cols = std::stoi(t.substr(t.find('x') + 1));
  if (c.Has("eucjp")) opt.locale = "ja_JP.eucjp";
  for (const std::string &o : c.options) // veof=N, verase=N, vintr=N: the terminal's keys
    if (o[0] == 'v') // the key's name: its second letter, or its third
      opt.cc[o[1] == 'i' ? VINTR : (o[2] == 'o' ? VEOF : VERASE)] =
          std::stoi(o.substr(o.find('=') + 1));
  if (c.Has("devnull")) opt.stdin_mode = bench::Stdin::DevNull;
  if (c.Has("closed")) opt.stdin_mode = bench::Stdin::Closed;
  const std::string log =
      testing::TempDir() + "qx-table-" + std::to_string(getpid()) + ".log";
  bool qxtop = c.Has("qxtop");
  if (qxtop) opt.timeout_ms = 30000; // qxtop under the sanitizers is slow
  bench::Scenario s(opt, [&c, &log] { Child(c, log); });
  if (!qxtop) {
    ASSERT_TRUE(s.WaitStep("ready"));
  }
  size_t mark = 0;
  for (const auto &[number, text] : c.lines) {
    SCOPED_TRACE(c.where.substr(0, c.where.find(':')) + ":" + std::to_string(number) +
                 ": " + text + " (" + term + ")");
    std::string rest = text, verb = Word(rest), want = Unescape(rest);
    if (std::find(std::begin(kParentVerbs), std::end(kParentVerbs), verb) ==
        std::end(kParentVerbs)) {
      mark = s.raw.size();
      std::string keys;
      if (verb.rfind("line", 1) !=
          std::string::npos) { // line MODES KEYS: typed once it waits
        std::string modes = Word(rest);
        keys = Unescape(rest, true);
        rest = modes == "-" ? "" : modes;
      }
      bool wait = verb[0] != '&'; // &command: go on, "done" waits for it
      std::string go = verb.substr(wait ? 0 : 1) + " " + rest;
      int times =
          isdigit(static_cast<unsigned char>(go[0])) ? std::stoi(go) : 1; // N*command
      go.erase(0, go.find('*') < go.find(' ') ? go.find('*') + 1 : 0);
      for (int i = 0; i < times; i++) {
        s.Go(go);
        if (i + 1 < times) {
          ASSERT_TRUE(s.WaitStep("done"));
        }
      }
      s.Send(keys);
      if (wait) {
        ASSERT_TRUE(s.WaitStep("done"));
        // after every command but d_clear/0, which shows at the next output
        if (c.Has("shadow") && verb != "d_clear/0") {
          EXPECT_TRUE(bench::ShowsShadow(s));
        }
      }
    } else if (verb == "done") {
      ASSERT_TRUE(s.WaitStep("done"));
    } else if (verb == "keys") {
      s.Send(Unescape(rest, true));
    } else if (verb == "blocked") { // the child waits for a key
      ASSERT_TRUE(WaitReadingStdin(s));
    } else if (verb == "sleeps") { // the child waits for a key without spinning
      ASSERT_TRUE(SleepsWhileWaiting(s));
    } else if (verb == "wait") {
      ASSERT_TRUE(s.WaitForScreenText(want));
      ASSERT_TRUE(WaitReadingStdin(s));
    } else if (verb == "resize") { // ROWSxCOLS, as a user dragging the window's corner
      s.Resize(std::stoi(want), std::stoi(want.substr(want.find('x') + 1)));
    } else if (verb == "intr") {
      kill(s.pid, SIGINT);
    } else if (verb == "->") {
      EXPECT_EQ(bench::Printable(s.Get("out")), bench::Printable(want));
    } else if (verb == "screen") {
      EXPECT_EQ(s.ScreenText(), want);
    } else if (verb == "row") {
      int r = std::stoi(Word(rest));
      EXPECT_EQ(Row(s, r), Unescape(rest));
    } else if (verb == "cursor") { // row (or - for any) and column
      std::string r = Word(rest);
      EXPECT_EQ(s.Cursor(),
                (bench::Pos{r == "-" ? s.Cursor().row : std::stoi(r), std::stoi(rest)}));
    } else if (verb == "above") { // the row above the cursor: the line just echoed
      EXPECT_EQ(s.Cursor().row > 0 ? Row(s, s.Cursor().row - 1) : "?", want);
    } else if (verb == "waitfor") { // on the screen, the child blocked or not
      ASSERT_TRUE(s.WaitForScreenText(want));
    } else if (verb == "rows") { // N rows are exactly TEXT
      int n = std::stoi(Word(rest));
      std::vector<std::string> screen = s.Screen();
      for (std::string &r : screen)
        r = bench::TrimRight(r);
      EXPECT_EQ(std::count(screen.begin(), screen.end(), Unescape(rest)), n)
          << s.ScreenText();
    } else if (verb == "exit") {
      ASSERT_TRUE(s.WaitExit());
      EXPECT_EQ(s.ExitCode(), std::stoi(want)) << s.stderr_text;
    } else if (verb == "logfile" ||
               verb == "nologfile") { // qxtop's log holds TEXT, or not
      std::ifstream in(log);
      std::string logged((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
      EXPECT_EQ(logged.find(want) != std::string::npos, verb == "logfile") << logged;
    } else if (verb == "scursor") { // the record's cursor: row, byte index [, column]
      std::string got = s.Get("shadow.cur_y") + " " + s.Get("shadow.cur_x");
      EXPECT_EQ(std::count(want.begin(), want.end(), ' ') > 1
                    ? got + " " + s.Get("shadow.col")
                    : got,
                want);
    } else if (verb == "stderr") {
      EXPECT_EQ(bench::Printable(s.stderr_text), bench::Printable(want));
    } else if (verb == "mark") {
      mark = s.raw.size();
    } else if (verb == "nobytes") { // none of these bytes written since the command
      EXPECT_EQ(s.raw.find_first_of(want, mark), std::string::npos)
          << bench::Printable(s.raw.substr(mark));
    } else if (verb == "srows") { // the shadow's rows as bytes, like screen
      bench::Shadow sh;
      ASSERT_TRUE(bench::ReadShadow(s, &sh));
      std::string text;
      for (const std::string &row : sh.row_bytes)
        text += bench::TrimRight(row) + "\n";
      EXPECT_EQ(bench::Printable(text.erase(text.find_last_not_of('\n') + 1)),
                bench::Printable(want));
    } else if (verb == "shadow") {
      EXPECT_TRUE(bench::ShowsShadow(s));
    } else if (verb == "log") {
      EXPECT_EQ(bench::Printable(s.Get("log")), bench::Printable(want));
    } else if (verb == "bells") {
      const std::string &raw = s.raw;
      EXPECT_EQ(std::count(raw.begin() + mark, raw.end(), '\a'), std::stoi(want));
    } else if (verb == "state") {
      EXPECT_EQ(s.Get("state"), want);
    } else if (verb == "bytes") {
      EXPECT_EQ(bench::Printable(s.raw.substr(mark)), bench::Printable(want));
    }
    if (testing::Test::HasFatalFailure()) return;
  }
  unlink(log.c_str());
  if (qxtop) return;
  s.Go("end");
  ExpectCleanExit(s);
}

// Reads every case of the .scn files in `dir`.
std::vector<Case> ReadCases(const std::string &dir) {
  std::vector<Case> cases;
  std::vector<std::string> files;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::string n = e->d_name; n.size() > 4 && n.substr(n.size() - 4) == ".scn")
        files.push_back(n);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  for (const std::string &f : files) {
    std::ifstream in(dir + "/" + f);
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
      std::string rest = line, verb = Word(rest);
      if (verb.empty() || verb[0] == '#') continue;
      if (verb == "case") {
        cases.push_back(Case{f.substr(0, f.size() - 4) + "_" + Word(rest),
                             f + ":" + std::to_string(number),
                             {},
                             {},
                             {}});
      } else if (cases.empty()) {
        continue;
      } else if (verb == "term") {
        for (std::string t; !(t = Word(rest)).empty();)
          cases.back().terms.push_back(t + " " + Word(rest));
      } else if (verb == "start") {
        for (std::string o; !(o = Word(rest)).empty();)
          cases.back().options.push_back(o);
      } else {
        std::string text = line.substr(line.find_first_not_of(' '));
        size_t arrow = text.find(" -> "); // "command -> answer" is two lines
        cases.back().lines.emplace_back(number, text.substr(0, arrow));
        if (arrow != std::string::npos)
          cases.back().lines.emplace_back(number, text.substr(arrow + 1));
      }
    }
  }
  return cases;
}

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.where;
}

class Scenarios : public testing::TestWithParam<Case> {};

TEST_P(Scenarios, Run) {
  const Case &c = GetParam();
  std::vector<std::string> terms = c.terms;
  if (terms.empty()) terms.push_back("xterm 24x80");
  for (const std::string &t : terms) {
    RunOn(c, t);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Scenarios, testing::ValuesIn(ReadCases(QX_SCENARIO_DIR)),
                         [](const testing::TestParamInfo<Case> &i) {
                           return i.param.name;
                         });

} // namespace
