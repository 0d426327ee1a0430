// Every case of tests/scenarios/*.scn (format: tests/README.md) as one test,
// Table/Scenarios.Run/<file>_<case>, on a bench child that runs the console.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

namespace {

// One case: where it was read, its terminals and its lines.
struct Case {
  std::string name;                 // <file>_<case>
  std::string file;                 // the .scn file
  int line = 0;                     // the line of its header
  std::vector<std::string> terms{}; // "xterm 24x80"
  std::set<std::string> options{};  // start options: eucjp, shadow, devnull, closed
  std::vector<std::pair<int, std::string>> lines{}; // line number, text
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
  size_t b = std::min(s.find_first_not_of(' '), s.size());
  size_t e = std::min(s.find(' ', b), s.size());
  std::string w = s.substr(b, e - b);
  s.erase(0, std::min(s.find_first_not_of(' ', e), s.size()));
  return w;
}

QxStream log_stream, last_log; // the memory log; the last log of logfail/logfull

// The engine's quit and interrupt actions, SIGINTs, error resets and SIGINT action.
std::string EngineState() {
  struct sigaction cur;
  sigaction(SIGINT, nullptr, &cur);
  const HostCounters *c = host_counters();
  return "quit=" + std::to_string(c->main_quit) + " intr=" + std::to_string(c->f_intr) +
         " sigint=" + std::to_string(host_sigint_count()) +
         " err=" + std::to_string(c->clear_error_info) + " handler=" +
         (cur.sa_handler == host_sigint_handler_address() ? "engine" : "other");
}

// A built-in argument: an integer, _ (unbound), [1,2], A+B, A*B or an atom's name.
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

int frozen_arg = 0; // the next built-in's argument (1-based) with a goal frozen on it
int frozen_ok = 0;  // whether that goal succeeds when woken

// The built-ins with arguments, by name and arity.
const std::map<std::string, int64_t (*)(BuiltinFrame *)> kBuiltins = {
    {"d_cursor/1", P1_d_cursor},   {"d_cursor/2", P2_d_cursor},
    {"d_pos/2", P2_d_pos},         {"d_screen/2", P2_d_screen},
    {"d_scroll/2", P2_d_scroll},   {"d_keyin/1", P1_d_keyin},
    {"d_keypeek/1", P1_d_keypeek}, {"d_keylength/1", P1_d_keylength},
    {"d_keyback/1", P1_d_keyback}};
// Commands that answer what one function returned.
const std::map<std::string, std::function<std::string(const std::string &)>> kAnswers = {
    {"d_clear/0", [](auto &) { return std::to_string(P0_d_clear()); }},
    {"d_cleol/0", [](auto &) { return std::to_string(P0_d_cleol()); }},
    {"d_cleos/0", [](auto &) { return std::to_string(P0_d_cleos()); }},
    {"d_redisp/0", [](auto &) { return std::to_string(P0_d_redisp()); }},
    {"redisplay", [](auto &) { return std::to_string(S_redisplay()); }},
    {"setterminal", [](auto &) { return std::to_string(SetTerminal() == &Console); }},
    {"raw", [](auto &a) { return bench::wire::WriteAll(1, a) ? "" : "write failed"; }}};
// Commands that call one function with the text, an integer or nothing.
const std::map<std::string, std::function<void(const std::string &)>> kCalls = {
    {"put", Put},
    {"putc", [](auto &a) { Stream__sputc(std::stoi(a), C_GetStream()); }},
    {"newline", [](auto &) { C_NewLine(); }},
    {"flush", [](auto &) { C_FlushInput(); }},
    {"unlock", [](auto &) { C_Unlock(); }},
    {"keyback", [](auto &a) { C_keyback(std::stoi(a)); }},
    {"scrollline", [](auto &a) { C_SetScrollLine(std::stoi(a)); }},
    {"sigstate", [](auto &a) { C_SetSigState(std::stoi(a)); }},
    {"tokenerror", [](auto &) { host_set_token_error(C_GetStream()); }},
    {"prompt", [](auto &a) { C_SetPrompt(PutAtom(0, a.c_str())); }},
    {"postfix", [](auto &a) { C_SetPromptPostfix(PutAtom(0, a.c_str())); }}};
// The input modes by letter.
const std::map<char, void (*)()> kModes = {
    {'T', C_TOPLEVEL}, {'N', C_NORMAL}, {'P', C_NOPROMPT}, {'C', C_COMMAND}};

// Runs one child command; the answer is what it returned.
std::string Do(std::string cmd) {
  std::string verb = Word(cmd), arg = Unescape(cmd), out;
  if (auto f = kCalls.find(verb); f != kCalls.end()) {
    f->second(arg);
  } else if (auto a = kAnswers.find(verb); a != kAnswers.end()) {
    out = a->second(arg);
  } else if (verb == "line" || verb == "mode") { // MODES (- none); the parent types keys
    for (char m : Word(arg))
      if (kModes.count(m)) kModes.at(m)();
    if (verb == "line") out = ReadRecord();
  } else if (verb == "getc") {
    for (int n = std::stoi(arg), c; n > 0; n--)
      out += (c = host_getc(C_GetStream())) == -1 ? "<EOF>" : std::string(1, char(c));
  } else if (verb == "eofs") { // N reads: how many gave end of file, or "spins"
    long long cpu = CpuTicks(getpid()), eofs = 0;
    for (int n = std::stoi(arg); n > 0; n--)
      eofs += host_getc(C_GetStream()) == -1;
    out = CpuTicks(getpid()) - cpu > 40 ? "spins" : std::to_string(eofs);
  } else if (verb == "keyins") { // N keys as d_keyin/1 takes them
    for (int n = std::stoi(arg); n > 0; n--)
      out += (out.empty() ? "" : " ") + std::to_string(KeyIn());
  } else if (verb == "putfull") { // output while descriptor 1 is /dev/full (dead)
    int tty = dup(1), full = open("/dev/full", O_WRONLY);
    dup2(full, 1);
    close(full);
    Put(arg);
    dup2(tty, 1);
    close(tty);
  } else if (verb == "logfail" || verb == "logfull") { // a log that fails, or is full
    last_log = verb == "logfull" ? host_open_file("/dev/full", "w") : host_open_memory();
    if (verb == "logfail") host_memory_fail(last_log, 1);
    C_SetLog(last_log);
  } else if (verb == "loginfo") {
    out = C_GetLog() == last_log ? "log" : C_GetLog() == 0 ? "none" : "other";
    out += host_stream_is_open(last_log) ? " open " : " closed ";
    out += std::to_string(host_stream_put_count(last_log));
  } else if (verb == "typed") { // waits up to 10 s for N typed bytes on descriptor 0
    int n = 0, tries = 0;
    while ((ioctl(0, FIONREAD, &n), n < std::stoi(arg)) && tries++ < 1000)
      usleep(10000);
    if (n < std::stoi(arg)) bench::Fail("typed bytes never arrived");
  } else if (verb == "intrunlock") { // the engine's SIGINT handler also releases output
    struct sigaction a {};
    a.sa_handler = [](int s) { host_sigint_handler_address()(s), C_Unlock(); };
    a.sa_flags = SA_RESTART;
    sigaction(SIGINT, &a, nullptr);
  } else if (verb == "setcursor") { // X Y; the record's cursor: row, byte index, column
    int x = std::stoi(Word(arg)), y = (C_SetCursor(x, std::stoi(arg)), Console->cur_y);
    out = std::to_string(y) + " " + std::to_string(Console->cur_x) + " " +
          std::to_string(_Curses_num_cur_x(Console->cur_x, y));
  } else if (verb == "freeze") { // N OK: argument N gets a goal that succeeds or fails
    frozen_arg = std::stoi(Word(arg));
    frozen_ok = std::stoi(arg);
  } else if (verb == "mbchar") { // x3: 'x' starts a 3-byte character; 0: every length 0
    host_set_mbchar_override(arg == "0" ? [](unsigned char *, int, int *) { return 0; }
                                        : [](unsigned char *b, int i, int *w) {
                                            return b[0] == 'x'
                                                       ? (*w = 2, 3)
                                                       : host_isn_mbchar_default(b, i, w);
                                          });
  } else if (verb == "termio") { // [save N | restore N | exit], then the tty's modes
    std::string how = Word(arg);
    if (how == "save") SaveTermIO(std::stoi(arg));
    if (how == "restore") RestoreTermIO(std::stoi(arg));
    if (how == "exit") ExittingMessage();
    termios t{};
    tcgetattr(0, &t);
    out = std::to_string(t.c_lflag & (ICANON | ECHO | ISIG));
    for (int i : {VINTR, VEOF, VERASE, VSUSP, VLNEXT, VSTART, VSTOP})
      out += " " + std::to_string(t.c_cc[i]);
  } else if (verb == "poke") { // ROW TEXT: a shadow row set behind the terminal's back
    unsigned char *row = Console->shadow[std::stoi(Word(arg))];
    memset(row, ' ', 4 * Console->columns);
    memcpy(row, arg.data(), std::min(arg.size(), 4 * size_t(Console->columns)));
  } else if (verb == "vintr") { // the interrupt key changed behind the module's back
    termios t;
    tcgetattr(0, &t);
    t.c_cc[VINTR] = static_cast<cc_t>(std::stoi(arg));
    tcsetattr(0, TCSANOW, &t);
  } else if (verb == "set") { // an engine flag; eof as if the tty's key had changed
    const std::map<std::string, int *> flags = {
        {"debug", &debug_flag},
        {"s_mode", &s_mode_flag},
        {"break_level", &break_level},
        {"e_disp", &e_disp_flag},
        {"interrupt", &Interrupt},
        {"eof", &Console->eof_char},
        {"terminator", &s_debugger_command_response_terminator_flag}};
    std::string name = Word(arg);
    *flags.at(name) = std::stoi(arg);
  } else if (auto b = kBuiltins.find(verb); b != kBuiltins.end()) {
    host_args_reset();
    std::vector<TermCell *> cells;
    while (!arg.empty())
      cells.push_back(host_push(Arg(Word(arg))));
    if (frozen_arg) host_freeze(cells.at(frozen_arg - 1), frozen_ok);
    frozen_arg = 0;
    BuiltinFrame f{};
    out = std::to_string(b->second(&f));
    for (TermCell *c : cells)
      out += " " + Show(c);
  } else {
    bench::Fail("unknown command " + verb);
  }
  return out;
}

// The child: the console, running commands until "end"; or qxtop logging to `log`.
void Child(const Case &c, const std::string &log) {
  if (c.options.count("qxtop")) {
    execl(QXTOP_BINARY, "qxtop", ("--log=" + log).c_str(), static_cast<char *>(nullptr));
    bench::Fail("qxtop did not start");
  }
  if (c.options.count("eucjp")) host_set_charset(HOST_EUCJP);
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

// A case running on one terminal, as the parent's verbs see it.
struct Run {
  bench::Scenario &s; // the child and its terminal
  size_t mark = 0;    // where the output of the last child command (or mark) starts
  std::string rest{}; // the line's text after its verb, as written
  std::string want{}; // that text unescaped
};

// The parent's commands and expectations that take one statement.
const std::map<std::string, void (*)(Run &)> kParent = {
    {"done", [](Run &r) { ASSERT_TRUE(r.s.WaitStep("done")); }},
    {"keys", [](Run &r) { r.s.Send(Unescape(r.rest, true)); }},
    {"=>", [](Run &r) { r.s.Send(Unescape(r.rest, true)); }},
    {"blocked", [](Run &r) { ASSERT_TRUE(WaitReadingStdin(r.s)); }},
    {"sleeps", [](Run &r) { ASSERT_TRUE(SleepsWhileWaiting(r.s)); }},
    {"waitfor", [](Run &r) { ASSERT_TRUE(r.s.WaitForScreenText(r.want)); }},
    {"intr", [](Run &r) { kill(r.s.pid, SIGINT); }},
    {"pause",
     [](Run &r) { usleep(std::stoi(r.want) * 1000); }}, // the terminal reads nothing
    {"mark", [](Run &r) { r.mark = r.s.raw.size(); }},
    {"->", [](Run &r) { EXPECT_EQ(r.s.Get("out"), r.want); }},
    {"log", [](Run &r) { EXPECT_EQ(r.s.Get("log"), r.want); }},
    {"state", [](Run &r) { EXPECT_EQ(r.s.Get("state"), r.want); }},
    {"screen", [](Run &r) { EXPECT_EQ(r.s.ScreenText(), r.want); }},
    {"stderr", [](Run &r) { EXPECT_EQ(r.s.stderr_text, r.want); }},
    {"bytes", [](Run &r) { EXPECT_EQ(r.s.raw.substr(r.mark), r.want); }},
    {"shadow", [](Run &r) { EXPECT_TRUE(bench::ShowsShadow(r.s)); }}};

// Runs a child command: N*cmd runs it N times; &cmd goes on, done waits for it.
void Command(Run &r, const Case &c, std::string verb) {
  r.mark = r.s.raw.size();
  bool wait = verb[0] != '&';
  int times = std::max(1, std::atoi(verb.c_str() + !wait));
  verb.erase(0, verb.find_first_not_of("&0123456789*"));
  std::string keys = r.rest; // line MODES KEYS: the keys, typed once it waits
  Word(keys);
  for (int i = 1; i < times; i++) {
    r.s.Go(verb + " " + r.rest);
    ASSERT_TRUE(r.s.WaitStep("done"));
  }
  r.s.Go(verb + " " + r.rest);
  r.s.Send(verb == "line" ? Unescape(keys, true) : "");
  if (!wait) return;
  ASSERT_TRUE(r.s.WaitStep("done"));
  // d_clear/0 shows at the next output
  if (c.options.count("shadow") && verb != "d_clear/0") {
    EXPECT_TRUE(bench::ShowsShadow(r.s));
  }
}

// Runs a case on one terminal ("xterm 24x80").
void RunOn(const Case &c, const std::string &term) {
  bench::Options opt;
  char x;
  std::istringstream(term) >> opt.term >> opt.rows >> x >> opt.cols;
  if (c.options.count("eucjp")) opt.locale = "ja_JP.eucjp";
  for (const std::string &o : c.options) // veof=N, verase=N, vintr=N: the terminal's keys
    if (o[0] == 'v') // the key's name: its second letter, or its third
      opt.cc[o[1] == 'i' ? VINTR : (o[2] == 'o' ? VEOF : VERASE)] =
          std::stoi(o.substr(o.find('=') + 1));
  if (c.options.count("devnull")) opt.stdin_mode = bench::Stdin::DevNull;
  if (c.options.count("closed")) opt.stdin_mode = bench::Stdin::Closed;
  bool qxtop = c.options.count("qxtop");
  if (qxtop) opt.timeout_ms = 30000; // qxtop under the sanitizers is slow
  std::string log = testing::TempDir() + "qx-table-" + std::to_string(getpid()) + ".log";
  bench::Scenario s(opt, [&c, &log] { Child(c, log); });
  ASSERT_TRUE(qxtop ? testing::AssertionSuccess() : s.WaitStep("ready"));
  Run r{s};
  for (const auto &[number, text] : c.lines) {
    SCOPED_TRACE(c.file + ":" + std::to_string(number) + ": " + text + " (" + term + ")");
    r.rest = text;
    std::string verb = Word(r.rest);
    if (verb[0] == '@') { // @TERM,TERM... LINE: only on those terminals
      if (("," + verb.substr(1) + ",").find("," + opt.term + ",") == std::string::npos)
        continue;
      verb = Word(r.rest);
    }
    r.want = Unescape(r.rest);
    if (auto p = kParent.find(verb); p != kParent.end()) {
      p->second(r);
    } else if (verb == "wait") { // TEXT shows and the child waits for a key
      ASSERT_TRUE(s.WaitForScreenText(r.want));
      ASSERT_TRUE(WaitReadingStdin(s));
    } else if (verb == "resize") { // ROWSxCOLS [tty]: the window, or the tty's size alone
      s.Resize(std::stoi(r.want), std::stoi(r.want.substr(r.want.find('x') + 1)),
               r.want.find("tty") == std::string::npos);
    } else if (verb == "nobytes") { // none of these bytes written since the command
      EXPECT_EQ(s.raw.find_first_of(r.want, r.mark), std::string::npos)
          << bench::Printable(s.raw.substr(r.mark));
    } else if (verb == "bells") {
      EXPECT_EQ(std::count(s.raw.begin() + r.mark, s.raw.end(), '\a'), std::stoi(r.want));
    } else if (verb == "exit") {
      ASSERT_TRUE(s.WaitExit());
      EXPECT_EQ(s.ExitCode(), std::stoi(r.want)) << s.stderr_text;
    } else if (verb == "logfile" || verb == "nologfile") { // qxtop's log has TEXT, or not
      std::stringstream logged;
      logged << std::ifstream(log).rdbuf();
      EXPECT_EQ(logged.str().find(r.want) != std::string::npos, verb == "logfile")
          << logged.str();
    } else if (verb == "row") {
      int row = std::stoi(Word(r.rest));
      EXPECT_EQ(Row(s, row), Unescape(r.rest));
    } else if (verb == "above") { // the row above the cursor: the line just echoed
      EXPECT_EQ(s.Cursor().row > 0 ? Row(s, s.Cursor().row - 1) : "?", r.want);
    } else if (verb == "cursor") { // row (or - for any) and column
      std::string row = Word(r.rest);
      EXPECT_EQ(s.Cursor(), (bench::Pos{row == "-" ? s.Cursor().row : std::stoi(row),
                                        std::stoi(r.rest)}));
    } else if (verb == "rows") { // N rows are exactly TEXT
      int n = std::stoi(Word(r.rest)), rows = 0;
      for (const std::string &row : s.Screen())
        rows += bench::TrimRight(row) == Unescape(r.rest);
      EXPECT_EQ(rows, n) << s.ScreenText();
    } else if (verb == "scursor") { // the record's cursor: row, byte index [, column]
      std::string got = s.Get("shadow.cur_y") + " " + s.Get("shadow.cur_x");
      if (std::count(r.want.begin(), r.want.end(), ' ') > 1)
        got += " " + s.Get("shadow.col");
      EXPECT_EQ(got, r.want);
    } else if (verb == "srows") { // the shadow's rows as bytes, like screen
      bench::Shadow sh;
      ASSERT_TRUE(bench::ReadShadow(s, &sh));
      std::string text;
      for (const std::string &row : sh.row_bytes)
        text += bench::TrimRight(row) + "\n";
      EXPECT_EQ(text.erase(text.find_last_not_of('\n') + 1), r.want);
    } else {
      Command(r, c, verb);
    }
    if (testing::Test::HasFatalFailure()) return;
  }
  unlink(log.c_str());
  if (qxtop) return;
  s.Go("end");
  ExpectCleanExit(s);
}

// Every case of the .scn files in `dir`; one without terminals runs on xterm 24x80.
std::vector<Case> ReadCases(const std::string &dir) {
  std::set<std::string> files; // in name order
  for (const auto &e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".scn") files.insert(e.path().filename());
  std::vector<Case> cases;
  for (const std::string &f : files) {
    std::ifstream in(dir + "/" + f);
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
      std::string rest = line, verb = Word(rest);
      if (verb.empty() || verb[0] == '#' || (cases.empty() && verb != "case")) continue;
      if (verb == "case") {
        cases.push_back({f.substr(0, f.size() - 4) + "_" + Word(rest), f, number});
      } else if (verb == "term") {
        for (std::string t; !(t = Word(rest)).empty();)
          cases.back().terms.push_back(t + " " + Word(rest));
      } else if (verb == "start") {
        for (std::string o; !(o = Word(rest)).empty();)
          cases.back().options.insert(o);
      } else {
        std::string text = line.substr(line.find_first_not_of(' '));
        size_t arrow = std::min(text.find(" -> "), text.find(" => ")); // two lines each:
        // "command -> answer", "wait TEXT => keys" (then typed)
        cases.back().lines.emplace_back(number, text.substr(0, arrow));
        if (arrow != std::string::npos)
          cases.back().lines.emplace_back(number, text.substr(arrow + 1));
      }
    }
  }
  for (Case &c : cases)
    if (c.terms.empty()) c.terms.push_back("xterm 24x80");
  return cases;
}

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.file << ":" << c.line;
}

class Scenarios : public testing::TestWithParam<Case> {};

TEST_P(Scenarios, Run) {
  for (const std::string &t : GetParam().terms) {
    RunOn(GetParam(), t);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Scenarios, testing::ValuesIn(ReadCases(QX_SCENARIO_DIR)),
                         [](const auto &i) { return i.param.name; });

} // namespace
