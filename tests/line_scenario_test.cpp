// Line input on real terminals: keys typed into the pty reach the engine as
// edited lines (S_ConGetc through the line editor), with the right prompts,
// template and history editing, interrupts by input mode, and a screen that
// stays equal to the shadow.
#include "bench.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kUp = "\x1b[A", kDown = "\x1b[B", kErase = "\x7f";

// What a child does beyond the usual start-up.
struct ChildSetup {
  bool eucjp = false;          // EUC-JP character set (before host_init)
  std::function<void()> after; // after InitTermIO, before the first line
};

QxStream log_stream;

// Reads one edited line the way the engine does: byte by byte until the line
// is used up.  -1 shows as "<EOF>".
std::string ReadRecord() {
  std::string got;
  do {
    int c = host_getc(C_GetStream());
    got += c == -1 ? std::string("<EOF>") : std::string(1, static_cast<char>(c));
  } while (Console->line_len > 0);
  return got;
}

// What the engine saw: its quit and interrupt actions, its own SIGINT
// handler, token-error resets, and whether its SIGINT action is in force.
std::string EngineState() {
  struct sigaction cur;
  sigaction(SIGINT, nullptr, &cur);
  const HostCounters *c = host_counters();
  return "quit=" + std::to_string(c->main_quit) + " intr=" + std::to_string(c->f_intr) +
         " sigint=" + std::to_string(host_sigint_count()) +
         " err=" + std::to_string(c->clear_error_info) + " handler=" +
         (cur.sa_handler == host_sigint_handler_address() ? "engine" : "other");
}

// The child: starts the console as an engine does, with a memory log, then
// reads one line per request of the parent.  A request names the input mode
// (T, N, P, C), 'F' to take two bytes and flush the rest first, "-" for
// nothing, "end" to stop.
void Reader(const ChildSetup &setup) {
  if (setup.eucjp) host_set_charset(HOST_EUCJP);
  StartConsole();
  log_stream = host_open_memory();
  C_SetLog(log_stream);
  if (setup.after) setup.after();
  bench::Step("ready");
  for (;;) {
    std::string req = bench::WaitParent();
    if (req == "end") return;
    for (char r : req) {
      if (r == 'T') C_TOPLEVEL();
      if (r == 'N') C_NORMAL();
      if (r == 'P') C_NOPROMPT();
      if (r == 'C') C_COMMAND();
      if (r == 'F') {
        std::string pre;
        for (int i = 0; i < 2; i++)
          pre += static_cast<char>(host_getc(C_GetStream()));
        bench::Report("pre", pre);
        C_FlushInput();
      }
    }
    std::string line = ReadRecord();
    fflush(stdout);
    bench::Report("line", line);
    bench::Report("state", EngineState());
    bench::Report("log", host_memory_string(log_stream));
    ReportShadow();
    bench::Step("line");
  }
}

// The parent's view of a Reader child.
class Con {
public:
  explicit Con(const bench::Options &opt, ChildSetup setup = {})
      : s(opt, [setup] { Reader(setup); }) {
    EXPECT_TRUE(s.WaitStep("ready"));
  }
  ~Con() { // a child that crashed or failed a sanitizer check exits non-zero
    s.Go("end");
    if (!testing::Test::HasFailure() && s.WaitExit()) {
      EXPECT_EQ(s.ExitCode(), 0);
    }
  }
  // Asks for a line, types `keys`, and returns what the engine read.
  std::string Line(const std::string &keys, const std::string &req = "-") {
    Start(req);
    s.Send(keys);
    return Finish();
  }
  void Start(const std::string &req = "-") {
    mark = s.RawOutput().size();
    s.Go(req);
  }
  std::string Finish() {
    testing::AssertionResult r = s.WaitStep("line");
    EXPECT_TRUE(r);
    return r ? s.Get("line") : "<no line>";
  }
  // Waits until the editor waits for a key with `text` on the screen.
  testing::AssertionResult Waiting(const std::string &text) {
    testing::AssertionResult r = s.WaitForScreenText(text);
    return r ? WaitReadingStdin(s) : r;
  }
  // Bells rung since the line was asked for.
  int Bells() const {
    const std::string &raw = s.RawOutput();
    return static_cast<int>(std::count(raw.begin() + mark, raw.end(), '\a'));
  }
  std::string Row(int r) const {
    return bench::TrimRight(s.Screen().at(r));
  }
  std::string Text() const {
    return ::Text(s);
  }
  // The row the last line was echoed on (the cursor is on the next one).
  std::string LastRow() const {
    return s.Cursor().row > 0 ? Row(s.Cursor().row - 1) : "?";
  }
  bench::Scenario s;
  size_t mark = 0;
};

// Catches: at the top level, a wrong line, a missing end-of-line code or end
// of file, a wrong echo or log, for plain lines, the end-of-file key, an
// empty line, and the rest of a line dropped by C_FlushInput.
TEST(LineRead, LinesEndOfFileAndFlush) {
  Con c(TermOptions("xterm", 24, 80));
  EXPECT_EQ(c.Line("abc\r"), "abc\x1f");
  EXPECT_EQ(c.Line("abc\x04"), "abc<EOF>");
  EXPECT_EQ(c.Line("\r"), "\x1f");
  EXPECT_EQ(c.Line("abc\rz\r", "F"), "z\x1f");
  EXPECT_EQ(c.s.Get("pre"), "ab");
  EXPECT_EQ(c.Text(), "| abc\n| abc^D\n|\n| abc\n| z");
  EXPECT_EQ(c.s.Get("log"), "| abc\x1f| abc^D\x1f| \x1f| abc\x1f| z\x1f");
  EXPECT_EQ(c.s.Get("state"), "quit=0 intr=0 sigint=0 err=0 handler=engine");
}

// Catches: wrong prompts by input mode and engine flags, a token error reset
// after the prompt or not at all, and a stray code 4.
TEST(LineRead, PromptsByModeAndFlags) {
  auto name = [] { C_SetPrompt(PutAtom(0, "Name? ")); };
  struct {
    const char *name;
    std::function<void()> setup;
    std::string log; // everything the console wrote, with the typed abc
  } cases[] = {
      {"toplevel", [] {}, "| abc\x1f"},
      {"break level", [] { break_level = 2; }, "[2]\x1f| abc\x1f"},
      {"debug+s_mode", [] { debug_flag = s_mode_flag = 1; }, "!!abc\x1f"},
      {"debug", [] { debug_flag = 1; }, "||abc\x1f"},
      {"s_mode", [] { s_mode_flag = 1; }, "! abc\x1f"},
      {"normal, no postfix",
       [=] { name(), C_NORMAL(), s_debugger_command_response_terminator_flag = 1; },
       "Name? abc\x1f"},
      {"normal, postfix",
       [=] { name(), C_NORMAL(), C_SetPromptPostfix(PutAtom(0, ">> ")); },
       "Name? >> abc\x1f"},
      {"normal, postfix, code 4",
       [=] {
         name(), C_NORMAL(), C_SetPromptPostfix(PutAtom(0, ">> "));
         s_debugger_command_response_terminator_flag = 1;
       },
       "Name? >> \x04"
       "abc\x1f"},
      {"noprompt", [] { C_NOPROMPT(); }, "abc\x1f"},
      {"command", [] { C_COMMAND(); }, "abc\x1f"},
      {"token error", [] { host_set_token_error(C_GetStream()); }, "\x1f| abc\x1f"},
  };
  for (const auto &pc : cases) {
    SCOPED_TRACE(pc.name);
    ChildSetup setup;
    setup.after = pc.setup;
    Con c(TermOptions("xterm", 24, 80), setup);
    EXPECT_EQ(c.Line("abc\r"), "abc\x1f");
    EXPECT_EQ(c.s.Get("log"), pc.log);
    std::string shown = pc.log;
    std::replace(shown.begin(), shown.end(), '\x1f', '\n');
    if (pc.log.find('\x04') == std::string::npos) { // curses shows code 4 as ^D
      EXPECT_EQ(c.Text(), bench::TrimRight(shown.substr(0, shown.size() - 1)));
    }
    EXPECT_EQ(c.s.Get("state").find("err=1") != std::string::npos,
              std::string(pc.name) == "token error");
  }
}

// How the interrupt arrives: the tty's SIGINT, a SIGINT sent from outside
// while the tty raises none, or the interrupt character read as a byte.
enum class Intr { TtyKey, Kill, Byte };

struct IntrCase {
  char mode;
  std::string prompt, line, screen, log, state;
};

// Catches: an interrupt while editing that does not act once by input mode
// (quit action and " ABORT" at the top level, f_intr in NORMAL and NOPROMPT,
// the interrupt character in COMMAND), does not log the partial line once, or
// leaves other than the engine's SIGINT action in force, whichever way it
// came.
TEST(LineInterrupt, ActsByInputModeAndRestoresEngineHandler) {
  const std::vector<IntrCase> base = {
      {'T', "| ", "z\x1f", "| ab^C ABORT\nName? z", "| ab^C ABORT\x1fName? z\x1f",
       "quit=1 intr=1"},
      {'N', "Name? ", "z\x1f", "Name? ab^CName? z", "Name? ab^CName? z\x1f",
       "quit=0 intr=1"},
      {'P', "", "<EOF>", "ab^C", "ab^C", "quit=0 intr=1"},
      {'C', "", "\x03", "ab^C", "ab^C", "quit=0 intr=0"},
  };
  for (Intr how : {Intr::TtyKey, Intr::Kill, Intr::Byte}) {
    for (IntrCase ic : base) {
      SCOPED_TRACE(std::string("mode ") + ic.mode + " way " +
                   std::to_string(static_cast<int>(how)));
      ChildSetup setup;
      setup.after = [how] {
        C_SetPrompt(PutAtom(0, "Name? "));
        if (how == Intr::Kill) C_SetSigState(1);
        // The terminal's interrupt key changed after start-up (as by stty
        // from another shell): ^C then arrives as a byte equal to intr_char.
        if (how == Intr::Byte) {
          termios t;
          tcgetattr(0, &t);
          t.c_cc[VINTR] = 255;
          tcsetattr(0, TCSANOW, &t);
        }
      };
      Con c(TermOptions("xterm", 24, 80), setup);
      c.Start(std::string(1, ic.mode));
      c.s.Send("ab");
      ASSERT_TRUE(c.Waiting(ic.prompt + "ab"));
      if (how == Intr::Kill)
        kill(c.s.Pid(), SIGINT);
      else
        c.s.Send("\x03");
      if (ic.line == "z\x1f") {
        ASSERT_TRUE(c.Waiting(ic.mode == 'T' ? "Name? " : "^CName? "));
        c.s.Send("z\r");
      }
      EXPECT_EQ(c.Finish(), ic.line);
      EXPECT_EQ(c.Text(), ic.screen);
      EXPECT_EQ(c.s.Get("log"), ic.log);
      EXPECT_EQ(c.s.Get("state"), ic.state + " sigint=0 err=0 handler=engine");
      EXPECT_EQ(c.Bells(), 0);
      // The next line is an ordinary one.
      EXPECT_EQ(c.Line("q\r"), "q\x1f");
      EXPECT_EQ(c.s.Get("state"), ic.state + " sigint=0 err=0 handler=engine");
    }
  }
}

// Catches: with tty signals off, the interrupt key taken for anything but an
// ordinary control key (the bell, nothing else): a reader that aborts or
// drops the line.
TEST(LineInterrupt, InterruptKeyIsAControlKeyWithoutTtySignals) {
  ChildSetup setup;
  setup.after = [] { C_SetSigState(1); };
  Con c(TermOptions("xterm", 24, 80), setup);
  EXPECT_EQ(c.Line(std::string("ab\x03") + "c\r"), "abc\x1f");
  EXPECT_EQ(c.Bells(), 1);
  EXPECT_EQ(c.s.Get("state"), "quit=0 intr=0 sigint=0 err=0 handler=engine");
  EXPECT_EQ(c.Row(0), "| abc");
}

// Catches: a Ctrl-C while output is stopped inside the line editor (Ctrl-S
// at the prompt, then lines until the end of one scrolls) that makes the
// flow-control wait spin or ends it, a Ctrl-Q that no longer resumes after
// it, and the interrupt lost: the next line read acts on it by input mode.
TEST(LineInterrupt, CtrlCWhileOutputIsStoppedInTheEditor) {
  Con c(TermOptions("xterm", 4, 30));
  c.Start("T");
  c.s.Send("\x13\r");
  EXPECT_EQ(c.Finish(), "\x1f");
  for (int r = 1; r < 3; r++)
    EXPECT_EQ(c.Line("\r", "T"), "\x1f");
  c.Start("T");
  c.s.Send("x\r"); // its end scrolls, and waits for Ctrl-Q
  ASSERT_TRUE(SleepsWhileWaiting(c.s));
  c.s.Send("\x03");
  EXPECT_TRUE(SleepsWhileWaiting(c.s)) << "the wait must go on, and sleep";
  EXPECT_EQ(c.Row(3), "| x");
  c.s.Send("\x11");
  EXPECT_EQ(c.Finish(), "x\x1f");
  c.Start("T"); // the interrupt, taken while stopped, is acted on now
  ASSERT_TRUE(c.Waiting("^C ABORT"));
  c.s.Send("z\r");
  EXPECT_EQ(c.Finish(), "z\x1f");
  EXPECT_EQ(c.s.Get("state"), "quit=1 intr=1 sigint=0 err=0 handler=engine");
  EXPECT_TRUE(bench::ScreenEqualsShadow(c.s));
}

// Catches: a refused key's bell left in stdio while the editor waits for the
// next key (it must be heard when the key is pressed).
TEST(LineKeys, RefusedKeyRingsAtOnce) {
  const struct {
    const char *mode, *key;
  } refused[] = {{"T", "\x06"}, {"T", "\x05"}, {"T", "\x7f"},
                 {"N", "\x7f"}, {"N", "\x02"}, {"N", "\x15"}};
  Con c(TermOptions("xterm", 24, 80));
  for (const auto &k : refused) {
    SCOPED_TRACE(std::string(k.mode) + " " + bench::Printable(k.key));
    c.Start(k.mode);
    c.s.Send(k.key);
    ASSERT_TRUE(WaitReadingStdin(c.s));
    EXPECT_EQ(c.Bells(), 1);
    c.s.Send("\r");
    c.Finish();
  }
}

struct EditCase {
  std::vector<std::string> before; // lines entered first (the last is the template)
  std::string keys, line;          // typed keys, and the line the engine gets
  int bells;
};

// Catches: in template and erase editing, also across the right edge and
// with double-width and two-byte characters, a wrong line, bell, echo, or a
// terminal that no longer matches the shadow.
TEST(LineEdit, TemplateAndEraseCasesMatchShadow) {
  const std::string long_line = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::string kanji12 = "日本語日本語日本語日本語";
  const std::vector<EditCase> cases = {
      // Empty history (the first case): the template keys find nothing.
      {{}, kErase + "\x06\x05\x01\x15\x18q\r", "q", 5},
      {{"abcd"}, "xy\x01\r", "xycd", 0},
      {{"abcd"}, "\x17xy\x01\r", "xyabcd", 0},
      {{"abcd"}, "\x06\x05\x06\r", "ac", 0},
      {{"abcd"}, "\x06\x05\x06" + kErase + "\x01\r", "acd", 0},
      {{"abcd"}, "\x06\x05\x06" + kErase + kErase + "\x01\r", "abcd", 0},
      {{"abcd"}, "\x06\x06\x06\x06\x06\x01\r", "abcd", 1},
      {{"abcd"}, "\x17\x06x\x01\r", "axcd", 0},
      {{"abcd"}, "\x05\x05\x05\x05" + kErase + "\x01\r", "abcd", 0},
      {{"abcd"}, "\x01\x11\x01\r", "abcd", 0},
      {{"日本語"}, "\x06\r", "日", 0},
      {{"日本語"}, "x\x01\r", "x本語", 0},
      {{"日本語"}, "字\x01\r", "字本語", 0},
      {{"日本語"}, "\x06\x06" + kErase + "\x01\r", "日本語", 0},
      {{}, "字本" + kErase + "\r", "字", 0},
      {{"aéb"}, "\x06\x06" + kErase + "\x01\r", "aéb", 0},
      {{"あいう"}, "\x06\x05\x06" + kErase + kErase + "\x01\r", "あいう", 0},
      {{"abcd"}, "é\x15\r", "abcd", 0},
      {{"abcd"}, "日\x15\r", "abcd", 0},
      {{}, "éé\x11z\r", "z", 0},
      {{}, "aéé" + kErase + "\r", "aé", 0},
      // Lines that wrap, and erasing back across the right edge.
      {{},
       "abcdefghijklmnopqrstuvwxyzABCD" + std::string(13, '\x7f') + "\r",
       "abcdefghijklmnopq",
       0},
      {{long_line}, "\x01\x11k\r", "k", 0},
      {{long_line}, "short\x15\r", long_line, 0},
      {{"ab", long_line}, "\x15\x15\r", "ab", 0},
      // Back across the start of the second row: the last character of the
      // row above goes, found by its bytes.
      {{}, kanji12 + kErase + kErase + kErase + kErase + "\r", "日本語日本語日本", 0},
  };
  for (const char *term : {"xterm", "vt100", "xterm-noxenl"}) {
    Con c(TermOptions(term, 5, 20));
    for (const EditCase &ec : cases) {
      SCOPED_TRACE(std::string(term) + " keys " + bench::Printable(ec.keys));
      for (const std::string &b : ec.before)
        EXPECT_EQ(c.Line(b + "\r"), b + "\x1f");
      EXPECT_EQ(c.Line(ec.keys), ec.line + "\x1f");
      EXPECT_EQ(c.Bells(), ec.bells);
      if (bench::DisplayWidth(ec.line) < 18) {
        EXPECT_EQ(c.LastRow(), "| " + ec.line);
      }
      EXPECT_TRUE(bench::ScreenEqualsShadow(c.s));
      EXPECT_TRUE(bench::CursorEqualsShadow(c.s));
    }
  }
}

// Catches: a line of 256 bytes that does not end without Enter and without
// 31, and a copy that makes a line longer than 255 bytes (it must copy a
// whole character or nothing).
TEST(LineEdit, LineLimits) {
  Con c(TermOptions("xterm", 24, 80));
  const std::string a256(256, 'a'), b254(254, 'b');
  EXPECT_EQ(c.Line(a256), a256);
  EXPECT_EQ(c.s.Cursor().col, 0);
  EXPECT_EQ(c.Line("\x01\r"), std::string(255, 'a') + "\x1f");
  EXPECT_EQ(c.Bells(), 1);
  EXPECT_EQ(c.Line(b254 + "é"), b254 + "é");
  EXPECT_EQ(c.Line("\x01\x06\r"), b254 + "\x1f");
  EXPECT_EQ(c.Bells(), 2);
  EXPECT_TRUE(bench::ScreenEqualsShadow(c.s));
  EXPECT_TRUE(bench::CursorEqualsShadow(c.s));
}

// Catches: a history ring that keeps the oldest of 21 lines, a list other
// than the 20 newest first, recall that does not walk newest to oldest and
// ring past it; HIST_LIST not calling the quit action, or editing not going
// on under the list.
TEST(LineHistory, FullRingListAndRecall) {
  Con c(TermOptions("xterm", 24, 40));
  for (int i = 1; i <= 21; i++) {
    std::string l = "l" + std::to_string(i);
    ASSERT_EQ(c.Line(l + "\r"), l + "\x1f");
  }
  EXPECT_EQ(c.Line("ab\x18z\r"), "z\x1f");
  EXPECT_EQ(c.s.Get("state"), "quit=1 intr=0 sigint=0 err=0 handler=engine");
  EXPECT_EQ(c.Row(0), "| ab^X"); // the bottom 24 rows of the list
  EXPECT_EQ(c.Row(1), "  HISTORY");
  for (int k = 1; k <= 20; k++) {
    char want[16];
    snprintf(want, sizeof want, "%2d: l%d", k, 22 - k);
    EXPECT_EQ(c.Row(1 + k), want);
  }
  EXPECT_EQ(c.Row(22), "z");
  // The ring is now z, l21 .. l3: the 20th recall is the oldest.
  EXPECT_EQ(c.Line(std::string(20, '\x15') + "\r"), "l3\x1f");
  EXPECT_EQ(c.Bells(), 0);
  EXPECT_EQ(c.Line(std::string(21, '\x15') + "\r"), "l4\x1f");
  EXPECT_EQ(c.Bells(), 1);
  EXPECT_EQ(c.Line(kUp + "\r"), "l4\x1f");
}

// Catches: with a short ring, recall past its end, HIST_NEXT, the lines the
// history keeps out, HIST_STORE, and NORMAL mode (where the history keys are
// plain control keys and nothing is stored) going wrong.
TEST(LineHistory, RecallStoreAndTheRule) {
  Con c(TermOptions("xterm", 24, 80));
  for (const char *l : {"a1", "b2", "c3"})
    c.Line(std::string(l) + "\r");
  struct Step {
    std::string keys, line;
    int bells;
    const char *req;
  } steps[] = {
      {"\x15\x15\x15\x15\r", "a1", 1, "-"},  // a fourth recall rings, keeps a1
      {"\x15\x15\x0e\r", "a1", 0, "-"},      // a1 c3, then back to the newest
      {"\x15" + kDown + "\r", "a1", 1, "-"}, // nothing newer than the newest
      {"?-\r", "?-", 0, "-"},
      {"?\r", "?", 0, "-"},
      {"\x15\r", "a1", 0, "-"}, // neither was stored
      {"?- \r", "?- ", 0, "-"},
      // Typed in insert mode: HIST_STORE stores abc, keeps it shown, and puts
      // the template position after it, so COPY_CHAR rings.
      {std::string("\x17") + "abc\x14\x06\r", "abc", 1, "-"},
      {"\x15\x15\x15\r", "?- ", 0, "-"}, // abc was stored twice
      {"zz\x15\x0e\x14\x18\x06\x01\r", "zz", 6, "N"},
      {"\x15\r", "?- ", 0, "T"}, // zz was not stored
  };
  for (const Step &st : steps) {
    SCOPED_TRACE(bench::Printable(st.keys));
    EXPECT_EQ(c.Line(st.keys, st.req), st.line + "\x1f");
    EXPECT_EQ(c.Bells(), st.bells);
    EXPECT_EQ(c.LastRow(), bench::TrimRight((st.req[0] == 'N' ? "|: " : "| ") + st.line));
  }
}

// Catches: odd answers of the character-set service that break the editor:
// a character longer than the line left making the line length negative, a
// length of 0 making a walk stand still.
TEST(LineEdit, OddCharacterLengths) {
  ChildSetup too_long, zero;
  too_long.after = [] { // 'x' claims to start a 3-byte character
    host_set_mbchar_override([](unsigned char *b, int i, int *w) {
      return b[0] == 'x' ? (*w = 2, 3) : host_isn_mbchar_default(b, i, w);
    });
  };
  zero.after = [] {
    host_set_mbchar_override([](unsigned char *, int, int *) { return 0; });
  };
  {
    Con c(TermOptions("xterm", 5, 20), too_long);
    EXPECT_EQ(c.Line("xa" + kErase + kErase + "c\r"), "c\x1f");
    EXPECT_EQ(c.Bells(), 1); // the second ERASE found an empty line
    EXPECT_EQ(c.LastRow(), "| c");
    EXPECT_TRUE(bench::ScreenEqualsShadow(c.s));
  }
  Con c(TermOptions("xterm", 5, 20), zero);
  EXPECT_EQ(c.Line("abc\r"), "abc\x1f");
  EXPECT_EQ(c.Line("\x01" + kErase + "\x11\x06\x06\x05\x01\r"), "ab\x1f");
  EXPECT_EQ(c.Line("zz\x15\x15\r"), "abc\x1f");
  EXPECT_EQ(c.LastRow(), "| abc");
}

// Catches: at the end of standard input while editing, anything but what was
// typed and then end of file every time the engine asks, promptly and
// without spinning.
TEST(LineKeys, EndOfStandardInput) {
  for (bench::Stdin mode : {bench::Stdin::DevNull, bench::Stdin::Closed}) {
    bench::Options opt = TermOptions("xterm", 24, 80);
    opt.stdin_mode = mode;
    bench::Scenario s(opt, [] {
      StartConsole();
      C_keyback('b');
      C_keyback('a');
      bench::Report("first", ReadRecord());
      rusage before, after;
      getrusage(RUSAGE_SELF, &before);
      int eofs = 0;
      for (int i = 0; i < 200; i++)
        eofs += host_getc(C_GetStream()) == -1;
      getrusage(RUSAGE_SELF, &after);
      auto us = [](const timeval &t) { return t.tv_sec * 1000000LL + t.tv_usec; };
      bench::Report("eofs", eofs);
      bench::Report("cpu_us", us(after.ru_utime) + us(after.ru_stime) -
                                  us(before.ru_utime) - us(before.ru_stime));
    });
    ASSERT_TRUE(s.WaitExit());
    EXPECT_EQ(s.Get("first"), "ab<EOF>");
    EXPECT_EQ(s.Get("eofs"), "200");
    EXPECT_LT(std::stoll(s.Get("cpu_us")), 400 * 1000) << "CPU time of 200 reads";
  }
}

// The screen of an EUC-JP terminal of rows x cols that received `raw`: the
// bytes are decoded to UTF-8 (a byte that cannot be decoded shows as U+FFFD)
// and rendered by libvterm.
std::vector<std::string> EucJpScreen(const std::string &raw, int rows, int cols) {
  std::string utf8;
  iconv_t cd = iconv_open("UTF-8", "EUC-JP");
  if (cd == (iconv_t)-1) return {"no EUC-JP converter"};
  std::string in = raw;
  char *ip = &in[0];
  size_t left = in.size();
  while (left > 0) {
    char out[256], *op = out;
    size_t room = sizeof out;
    size_t r = iconv(cd, &ip, &left, &op, &room);
    utf8.append(out, size_t(op - out));
    if (r == size_t(-1) && errno != E2BIG) {
      utf8 += "\xef\xbf\xbd"; // undecodable or cut short: one byte as U+FFFD
      ip++, left--;
    }
  }
  iconv_close(cd);
  std::unique_ptr<bench::Terminal> term = bench::MakeVTerm(rows, cols);
  term->Feed(utf8);
  return term->Rows();
}

// Catches: an EUC-JP character not typed, erased and copied whole: a kanji
// (A4A2 あ), a half-width kana (8EB1 ｱ, one column) and a JIS X 0212
// character (8FB0A1 丂), each erased as the last character of the line,
// also after a kanji (あb erases b alone); the shadow and the terminal
// showing kana in one column each.
TEST(LineEdit, EucJpCharactersAreOneCharacter) {
  bench::Options opt = TermOptions("xterm", 5, 20);
  opt.locale = "ja_JP.eucjp";
  ChildSetup setup;
  setup.eucjp = true;
  Con c(opt, setup);
  const std::string nichi = "\xc6\xfc", hon = "\xcb\xdc", a = "\xa4\xa2";
  const std::string kana1 = "\x8e\xb1", kana2 = "\x8e\xb2", jis = "\x8f\xb0\xa1";
  EXPECT_EQ(c.Line("a" + nichi + hon + kErase + "\r"), "a" + nichi + "\x1f");
  EXPECT_EQ(c.Line("\x06\x06\x06\r"), "a" + nichi + "\x1f");
  EXPECT_EQ(c.Bells(), 1);
  EXPECT_EQ(c.Line("a" + a + "b" + kErase + kana1 + kErase + jis + kErase + kana1 +
                   kana2 + "c\r"),
            "a" + a + kana1 + kana2 + "c\x1f");
  bench::Shadow sh;
  ASSERT_TRUE(bench::ReadShadow(c.s, &sh));
  const std::vector<std::string> rows = {"| a日", "| a日", "| aあｱｲc"};
  std::vector<std::string> screen = EucJpScreen(c.s.RawOutput(), 5, 20);
  for (int r : {0, 1, 2}) {
    EXPECT_EQ(bench::TrimRight(screen.at(r)), rows[r]);
    EXPECT_EQ(bench::TrimRight(sh.row_bytes[r]),
              r < 2 ? "| a" + nichi : "| a" + a + kana1 + kana2 + "c");
  }
  EXPECT_EQ(sh.cur_y, 3);
}

// Catches: a multibyte line shown other than as it is edited: a character
// that does not fit in the last column echoed there (and then overwritten),
// erasing back across the blank it leaves landing on that blank, KILL_LINE
// or a recall leaving bytes of multibyte characters on the screen, also over
// lines that wrap, in UTF-8 (two, three and four bytes) and EUC-JP, on a
// terminal with delayed wrap and on ones that wrap at once; a template step
// back landing inside a character; ERASE taking an EUC-JP trail byte for a
// lead.  Rows are the screen from the top (the shadow's bytes in EUC-JP,
// which the rendering terminal cannot decode).
TEST(LineEdit, MultibyteLineShownAsEdited) {
  const std::string l17 = "abcdefghijklmnopq", l16 = l17.substr(0, 16);
  // EUC-JP: あ (two bytes), あいう, and a JIS X 0212 kanji (three bytes, two columns).
  const std::string a = "\xa4\xa2", aiu = "\xa4\xa2\xa4\xa4\xa4\xa6", k3 = "\x8f\xb0\xa1";
  auto times = [](const std::string &t, int n) {
    std::string r;
    while (n-- > 0)
      r += t;
    return r;
  };
  const std::string e2z = kErase + kErase + "Z\r"; // erase two characters, type Z
  const std::string back2 = "\x06\x05\x06" + kErase + kErase + "\x01\r";
  struct {
    const char *term;
    bool eucjp;
    std::string before, keys, line;
    std::vector<std::string> rows;
  } cases[] = {
      {"xterm", false, "", l17 + "あb\r", l17 + "あb", {"| " + l17, "あb"}},
      {"ansi", false, "", l17 + "あb\r", l17 + "あb", {"| " + l17, "あb"}},
      {"xterm", true, "", l17 + a + "b\r", l17 + a + "b", {"| " + l17, a + "b"}},
      {"xterm", false, "", l17 + "あ" + e2z, l16 + "Z", {"| " + l16 + "Z"}},
      {"ansi", false, "", l17 + "あ" + e2z, l16 + "Z", {"| " + l16 + "Z"}},
      {"xterm", true, "", l17 + a + e2z, l16 + "Z", {"| " + l16 + "Z"}},
      {"xterm-noxenl",
       false,
       "",
       l17 + "あ" + kErase + "r\r",
       l17 + "r",
       {"| " + l17 + "r"}},
      {"xterm", false, "", l17 + "あb\x11z\r", "z", {"| z"}},
      {"ansi", false, "abcd", l17 + "あb\x15\r", "abcd", {"| abcd", "| abcd"}},
      {"xterm-noxenl",
       false,
       "abcd",
       "a" + times("日", 12) + "\x15\r",
       "abcd",
       {"| abcd", "| abcd"}},
      {"xterm", false, "", times("é", 25) + "\x11z\r", "z", {"| z"}},
      {"xterm-noxenl", false, "", "😀a😀\x11z\r", "z", {"| z"}},
      {"xterm", true, "", a + "b" + k3 + "\x11z\r", "z", {"| z"}},
      {"xterm", true, "abcd", k3 + "\x15\r", "abcd", {"| abcd", "| abcd"}},
      {"xterm", true, aiu, back2, aiu, {"| " + aiu, "| " + aiu}},
      {"xterm", true, "", "b" + k3 + "c" + kErase + kErase + "\r", "b", {"| b"}},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(std::string(k.term) + " keys " + bench::Printable(k.keys));
    bench::Options opt = TermOptions(k.term, 6, 20);
    ChildSetup setup;
    setup.eucjp = k.eucjp;
    if (k.eucjp) opt.locale = "ja_JP.eucjp";
    Con c(opt, setup);
    if (!k.before.empty()) {
      EXPECT_EQ(c.Line(k.before + "\r"), k.before + "\x1f");
    }
    EXPECT_EQ(c.Line(k.keys), k.line + "\x1f");
    bench::Shadow sh;
    ASSERT_TRUE(bench::ReadShadow(c.s, &sh));
    for (size_t r = 0; r < 6; r++) {
      std::string shown = k.eucjp ? bench::TrimRight(sh.row_bytes[r]) : c.Row(r);
      EXPECT_EQ(shown, r < k.rows.size() ? k.rows[r] : "") << "row " << r;
    }
    if (!k.eucjp) {
      EXPECT_TRUE(bench::ScreenEqualsShadow(c.s));
      EXPECT_TRUE(bench::CursorEqualsShadow(c.s));
    }
  }
}
} // namespace
namespace {
// Catches: erasing back over the part of a line that a one-row scroll region
// cleared (the character that would fill the region's last cell on a
// terminal that wraps at once starts it afresh): the erase must only shorten
// the line, never step into the row above the region or onto a blank it took
// for a wide character's gap.
TEST(LineEdit, OneRowRegionClearsTheLinesStart) {
  for (const std::string &keys :
       {std::string("op\x11z\r"), "op" + kErase + kErase + kErase + "z\r"}) {
    SCOPED_TRACE(bench::Printable(keys));
    ChildSetup setup;
    setup.after = [] {
      Put("\n\n\n\n\nabcdefgh");
      C_SetScrollLine(5);
    };
    Con c(TermOptions("ansi", 6, 12), setup);
    EXPECT_EQ(c.Line(keys, "T"), "z\x1f");
    EXPECT_EQ(c.Row(4), "");
    EXPECT_TRUE(bench::ScreenEqualsShadow(c.s));
    EXPECT_TRUE(bench::CursorEqualsShadow(c.s));
  }
}
} // namespace
