// The screen and key built-ins called through their exported entries, with
// argument cells built by the engine stand-in, on real pseudo-terminals.
#include "bench.h"
#include "console.h"
#include "console_child.h"
#include "host.h"
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <locale.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

using Entry = int64_t (*)(BuiltinFrame *);

// Child: the stand-in engine, the console stream, curses and the shadow.
void StartBuiltins(int charset = HOST_UTF8) {
  host_set_charset(charset);
  StartConsole();
  host_args_reset();
  host_reset_counters();
}

// A cell as text: an integer, "a<n>" for atom n, "_" when unbound.
std::string Show(TermCell *c) {
  int64_t v;
  QxAtom a;
  if (host_get_int(c, &v)) return std::to_string(v);
  if (host_get_atom(c, &a)) return "a" + std::to_string(a);
  return host_is_unbound(c) ? "_" : "?";
}

// Pushes the argument cells (first lowest) and calls the entry; the answer
// is "<result> <arg1> <arg2>" as the arguments stand afterwards.
std::string Call(Entry entry, std::vector<TermCell> args) {
  std::vector<TermCell *> cells;
  for (const TermCell &c : args)
    cells.push_back(host_push(c));
  BuiltinFrame f{};
  std::string out = std::to_string(entry(&f));
  for (TermCell *c : cells)
    out += " " + Show(c);
  return out;
}

// What a one-argument built-in called on a fresh variable gives: the binding,
// or "fail".
std::string Val(Entry entry) {
  std::string r = Call(entry, {host_var()});
  return r[0] == '1' ? r.substr(2) : "fail";
}

// A cell of the global area holding `c`, for references to point at.
TermCell *Cell(TermCell c) {
  TermCell *p = host_global_var();
  *p = c;
  return p;
}

TermCell List(const std::vector<int64_t> &v, TermCell tail = host_nil(),
              uint16_t tag = QX_TAG_LIST) {
  return host_int_list(v.data(), v.size(), tail, tag);
}

const HostCounters &Count() {
  return *host_counters();
}

// Child: waits up to 10 s until `n` typed bytes are waiting on descriptor 0
// (a blocked child gives no sign the bench could wait for).
void WaitTyped(int n) {
  int waiting = 0;
  for (int tries = 0; tries < 10000; tries++, usleep(1000))
    if (ioctl(0, FIONREAD, &waiting) == 0 && waiting >= n) return;
  bench::Fail("typed bytes never arrived");
}

// Runs `body` in a child on a started console; the answer is what it logged.
std::string ChildLog(const bench::Options &o,
                     const std::function<void(std::ostringstream &)> &body) {
  bench::Scenario s(o, [&] {
    StartBuiltins();
    std::ostringstream log;
    body(log);
    bench::Report("log", log.str());
  });
  ExpectCleanExit(s);
  return s.Get("log");
}

// ---- Screen built-ins ---------------------------------------------------------

// Catches a wrong query answer, a show/hide string not sent (or sent for a bad
// argument), a bad argument that moves or hides the cursor, and a state that
// does not change when the terminal lacks the strings.
TEST(ScreenBuiltins, CursorQueryShowHide) {
  for (const char *term : {"xterm", "xterm-nocvvis"}) {
    SCOPED_TRACE(term);
    bool caps = std::string(term) == "xterm";
    bench::Scenario s(TermOptions(term), [] {
      StartBuiltins();
      Put("hello");
      std::ostringstream log;
      log << Call(P1_d_cursor, {host_var()});
      Pause("start");
      log << "; " << Call(P1_d_cursor, {host_atom(QX_ATOM_CURSOR_OFF)});
      Pause("hide1");
      log << "; " << Call(P1_d_cursor, {host_atom(QX_ATOM_CURSOR_OFF)});
      log << "; " << Call(P1_d_cursor, {host_var4()});
      Pause("hide2");
      log << "; " << Call(P1_d_cursor, {host_int(5)});
      log << "; " << Call(P1_d_cursor, {host_atom(QX_ATOM_NIL)});
      log << "; err " << Count().arg_error << " shown " << Console->cursor_shown << " at "
          << Console->cur_x << " " << Console->cur_y;
      Pause("bad");
      log << "; " << Call(P1_d_cursor, {host_atom(QX_ATOM_CURSOR_ON)});
      TermCell *g = host_global_var();
      log << "; " << Call(P1_d_cursor, {host_ref(g)}) << " " << Show(g);
      Pause("show");
      bench::Report("log", log.str());
    });
    std::vector<std::string> slices;
    for (const char *step : {"start", "hide1", "hide2", "bad", "show"}) {
      size_t from = s.RawOutput().size();
      ASSERT_TRUE(s.WaitStep(step));
      slices.push_back(s.RawOutput().substr(from));
      if (std::string(step) == "hide2") {
        EXPECT_EQ(s.CursorVisible(), !caps);
      }
      EXPECT_EQ(s.Cursor(), (bench::Pos{0, 5})) << step;
      s.Go();
    }
    const std::string civis = caps ? "\x1b[?25l" : "", cvvis = caps ? "\x1b[?12;25h" : "";
    EXPECT_EQ(slices[1], civis);
    EXPECT_EQ(slices[2], civis);
    EXPECT_EQ(slices[3], "") << "a bad argument wrote to the terminal";
    EXPECT_EQ(slices[4], cvvis);
    ExpectCleanExit(s);
    EXPECT_EQ(s.Get("log"),
              "1 a72; 1 a73; 1 a73; 1 a73; 1 5; 1 a1; err 2 shown 0 at 5 0; "
              "1 a72; 1 a72 a72");
  }
}

// Catches placement and position that disagree (off by one, swapped, byte
// index instead of display column), lost clamping, expressions or references
// not evaluated, a rendered cursor elsewhere than the record says, a wrong or
// swapped screen size, and a failed first unification that still binds the
// second argument.
TEST(ScreenBuiltins, CursorPositionAndScreenSize) {
  for (auto [rows, cols] : {std::pair{24, 80}, std::pair{5, 12}}) {
    SCOPED_TRACE(std::to_string(cols) + "x" + std::to_string(rows));
    std::vector<std::pair<int, int>> places = {
        {1, 1},        {cols, 1},     {1, rows},   {cols / 2, rows / 2},
        {2, rows - 1}, {cols - 1, 2}, {cols, rows}};
    bench::Scenario s(TermOptions("xterm", rows, cols), [&, rows = rows, cols = cols] {
      StartBuiltins();
      for (int r = 0; r < rows - 1; r++)
        Put(std::string(cols - 1, char('a' + r % 26)) + "\n");
      std::ostringstream log;
      log << Call(P2_d_screen, {host_var(), host_var()}) << "; "
          << Call(P2_d_screen, {host_int(cols + 1), host_var()}) << "; "
          << Call(P2_d_screen, {host_int(cols), host_var4()}) << "; ";
      for (auto [c, r] : places) {
        log << Call(P2_d_cursor, {host_int(c), host_int(r)}) << "/";
        log << Call(P2_d_pos, {host_var(), host_var()}) << "; ";
      }
      ReportShadow();
      Pause("corner");
      Call(P2_d_cursor, {host_int(0), host_int(0)});
      log << Call(P2_d_pos, {host_var(), host_var4()}) << "; ";
      Call(P2_d_cursor, {host_int(-3), host_int(1000)});
      log << Call(P2_d_pos, {host_var(), host_var()}) << "; ";
      Call(P2_d_cursor, {host_expr2("+", host_int(2), host_int(3)),
                         host_expr2("-", host_int(10), host_int(8))});
      log << Call(P2_d_pos, {host_var(), host_var()}) << "; ";
      TermCell *x = host_global_var();
      Call(P2_d_cursor, {host_ref(Cell(host_ref(Cell(host_int(4))))), host_int(3)});
      log << Call(P2_d_pos, {host_ref(x), host_var4()}) << " " << Show(x) << "; ";
      Call(P2_d_cursor, {host_int(1), host_int(1)});
      Put("日本ab");
      log << Call(P2_d_pos, {host_var(), host_var()});
      bench::Report("log", log.str());
    });
    ASSERT_TRUE(s.WaitStep("corner"));
    EXPECT_TRUE(bench::CursorEqualsShadow(s));
    s.Go();
    ExpectCleanExit(s);
    std::ostringstream want;
    want << "1 " << cols << " " << rows << "; 0 " << cols + 1 << " _; 1 " << cols << " "
         << rows << "; ";
    for (auto [c, r] : places)
      want << "1 " << c << " " << r << "/1 " << c << " " << r << "; ";
    want << "1 1 1; 1 1 " << rows << "; 1 5 2; 1 4 3 4; 1 7 1";
    EXPECT_EQ(s.Get("log"), want.str());
  }
}

// Catches a scroll line not reported 1-based, not clamped to the screen,
// changed (or its new value evaluated) after the old value failed to unify,
// changed by d_scroll(X, X), or an old value past INT32_MAX wrapping.
TEST(ScreenBuiltins, ScrollLine) {
  std::string out = ChildLog(TermOptions(), [](std::ostringstream &log) {
    auto scroll = [&](TermCell old, TermCell line) {
      long evals = Count().eval_calls;
      log << Call(P2_d_scroll, {old, line}) << " sl " << Console->scroll_line
          << (Count().eval_calls == evals ? " noeval" : "") << "; ";
    };
    for (int line : {5, 1, 9, 0, 9, -7, 1000, 1})
      scroll(host_var(), host_int(line));
    scroll(host_int(3), host_int(10));
    scroll(host_var4(), host_expr2("*", host_int(4), host_int(3)));
    TermCell *x = next_var_cell; // where the next first argument goes
    scroll(host_var(), host_ref(x));
    C_SetScrollLine(INT32_MAX); // stored unclamped; the old value must not wrap
    scroll(host_var(), host_int(1));
  });
  EXPECT_EQ(out, "1 1 5 sl 4; 1 5 1 sl 0; 1 1 9 sl 8; 1 9 0 sl 0; 1 1 9 sl 8; "
                 "1 9 -7 sl 0; 1 1 1000 sl 23; 1 24 1 sl 0; 0 3 10 sl 0 noeval; "
                 "1 1 ? sl 11; 1 12 12 sl 11; 1 2147483648 1 sl 0; ");
}

// Catches woken goals not run (or run twice, or their failure ignored), a
// stale frozen-goal register taken for woken goals, wrong frame marks, and a
// full local area not handed to LocalOverflow.
TEST(ScreenBuiltins, WokenGoalsFrameAndLocalOverflow) {
  std::string out = ChildLog(TermOptions(), [](std::ostringstream &log) {
    Call(P2_d_cursor, {host_int(7), host_int(3)});
    // Calls with a goal frozen on argument `frozen_arg` (0: none) and notes
    // the result and how often unify_after_call and the goals ran.
    auto woken = [&](Entry e, int frozen_arg, int succeeds) {
      TermCell *a = host_push(host_var()), *b = host_push(host_var());
      if (frozen_arg) host_freeze(frozen_arg == 1 ? a : b, succeeds);
      long after = Count().unify_after_call, run = Count().goals_run;
      BuiltinFrame f{};
      log << e(&f) << " uac " << Count().unify_after_call - after << " run "
          << Count().goals_run - run << "; ";
    };
    woken(P2_d_pos, 1, 0);
    woken(P2_d_pos, 2, 0);
    woken(P2_d_pos, 2, 1);
    woken(P2_d_pos, 0, 0);
    woken(P2_d_screen, 2, 0);
    woken(P2_d_scroll, 1, 0);
    // d_cursor/1 takes its query answer from the engine's _ex unification.
    host_freeze(host_push(host_var()), 0);
    long after = Count().unify_after_call;
    BuiltinFrame fq{};
    log << "cursor " << P1_d_cursor(&fq) << " uac " << Count().unify_after_call - after;
    int dummy = 0;
    host_push(host_var());
    host_push(host_var());
    frozen_goal_register = &dummy;
    BuiltinFrame fs{};
    log << "; stale " << P2_d_screen(&fs) << " uac " << Count().unify_after_call - after;
    // The marks a prologue leaves, with a full local area.
    host_force_local_overflow();
    TermCell *x = host_push(host_var()), *y = host_push(host_var());
    void *top = next_var_cell, *gtop = next_gvar_cell, *trail = trail_register;
    BuiltinFrame f{{&dummy, &log}, nullptr, nullptr, nullptr, 77};
    log << "; full " << P2_d_pos(&f) << " " << Show(x) << " " << Show(y) << " overflow "
        << Count().local_overflow << " marks "
        << (f.var_mark == top && f.gvar_mark == gtop && f.trail_mark == trail &&
            f.frame_flags == 0 && f.engine_words[0] == &dummy &&
            f.engine_words[1] == &log);
    host_force_local_overflow();
    log << "; full " << Call(P1_d_keylength, {host_var()}) << " overflow "
        << Count().local_overflow;
  });
  EXPECT_EQ(out, "0 uac 1 run 1; 0 uac 1 run 1; 1 uac 1 run 1; 1 uac 0 run 0; "
                 "0 uac 1 run 1; 0 uac 1 run 1; cursor 0 uac 0; stale 1 uac 0; "
                 "full 1 7 3 overflow 1 marks 1; full 1 0 overflow 2");
}

// ---- Key built-ins ------------------------------------------------------------

// Catches keys pushed back in the wrong order, lists of either list tag or
// behind a reference not walked, the 256-element boundary off by one, an
// improper or overlong list not reported (or what was gathered not pushed),
// [] treated as an empty push, multibyte codes split in the wrong order, a
// mismatching d_keyin that leaves its key, and wrong counts from d_keylength.
TEST(KeyBuiltins, KeybackKeyinAndKeylength) {
  std::string out = ChildLog(TermOptions(), [](std::ostringstream &log) {
    auto keyins = [&](int n) {
      for (int i = 0; i < n; i++)
        log << " " << Val(P1_d_keyin);
      log << ";";
    };
    auto keyback = [&](TermCell t) {
      long errs = Count().arg_error;
      log << " [" << Call(P1_d_keyback, {t}).substr(0, 1)
          << (Count().arg_error > errs ? " err" : "") << " n" << Console->keyback_count
          << "]";
    };
    keyback(host_int(65)), keyins(1);
    keyback(List({65, 66, 67})), keyins(3);
    keyback(host_ref(Cell(List({68, 69, 70}, host_nil(), QX_TAG_LIST2)))), keyins(3);
    keyback(List({1, 2}, host_atom_named("foo"))), keyins(2);
    keyback(host_nil()), keyins(1);
    keyback(host_expr2("+", host_int(2), host_int(3))), keyins(1);
    for (int n : {256, 257}) {
      std::vector<int64_t> v;
      for (int i = 0; i < n; i++)
        v.push_back(i % 120 + 1); // single-byte keys
      keyback(List(v));
      int same = 0;
      for (int i = 0; i < 256; i++)
        same += Val(P1_d_keyin) == std::to_string(v[i]);
      log << " " << same << " in order;";
    }
    keyback(host_int(0xE38182));
    log << " peek " << Val(P1_d_keypeek) << ";";
    keyins(1);
    keyback(List({0xC3A9, 65})), keyins(2);
    keyback(List({65, 67}));
    log << " " << Call(P1_d_keyin, {host_int(66)}) << ";";
    keyins(1);
    log << " len " << Val(P1_d_keylength);
    keyback(List({1, 2}));
    log << " len " << Val(P1_d_keylength) << ";";
    keyins(2);
  });
  EXPECT_EQ(
      out,
      " [1 n1] 65; [1 n3] 65 66 67; [1 n3] 68 69 70; [1 err n2] 1 2; [1 n1] 0; "
      "[1 n1] 5; [1 n256] 256 in order; [1 err n256] 256 in order; [1 n3] peek "
      "14909826; 14909826; [1 n3] 50089 65; [1 n2] 0 66; 67; len 0 [1 n2] len 2; 1 2;");
}

// Catches a multibyte character typed at the terminal assembled wrongly by
// d_keyin or d_keypeek (byte order, length, kana leads in EUC-JP), a peek
// that consumes, and multibyte assembly with multibyte characters off.
TEST(KeyBuiltins, PeekThenKeyinTypedCharacters) {
  struct Case {
    const char *name;
    int charset;
    const char *locale;
    std::string typed;
    std::vector<int64_t> codes;
  };
  const Case cases[] = {
      {"utf8", HOST_UTF8, "C.UTF-8", "aあé", {97, 0xE38182, 0xC3A9}},
      {"single", HOST_SINGLE, "C.UTF-8", "éa", {0xC3, 0xA9, 97}},
      {"eucjp",
       HOST_EUCJP,
       "ja_JP.EUC-JP",
       "\xB0\xA1\x8F\xB0\xA1\x8E\xB1z",
       {0xB0A1, 0x8FB0A1, 0x8EB1, 'z'}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (locale_t loc = newlocale(LC_ALL_MASK, c.locale, nullptr)) {
      freelocale(loc);
    } else {
      ADD_FAILURE() << "locale " << c.locale << " missing: localedef -i ja_JP -f EUC-JP "
                    << c.locale;
      continue;
    }
    bench::Options o = TermOptions();
    o.locale = c.locale;
    bench::Scenario s(o, [&] {
      StartBuiltins(c.charset);
      bench::Step("ready");
      std::ostringstream log;
      for (size_t i = 0; i < c.codes.size(); i++)
        log << Val(P1_d_keypeek) << "/" << Val(P1_d_keyin) << " ";
      bench::Report("log", log.str());
    });
    ASSERT_TRUE(s.WaitStep("ready"));
    s.Send(c.typed);
    ExpectCleanExit(s);
    std::ostringstream want;
    for (int64_t code : c.codes)
      want << code << "/" << code << " ";
    EXPECT_EQ(s.Get("log"), want.str());
  }
}

// Catches d_keylength reading past a full ring (or stopping short), losing or
// reordering the bytes it moved or left behind, a peek or d_keyin that
// mishandles a multibyte character split across the end of the ring, and
// stop and start characters counted as keys (or not acting on the output
// state) with signals on, or swallowed with signals off.
TEST(KeyBuiltins, KeylengthWithTypedKeys) {
  std::string typed;
  for (int i = 0; i < 254; i++)
    typed += char('a' + i % 26);
  typed += "あ";
  for (int i = 0; i < 43; i++)
    typed += char('A' + i % 26);
  ASSERT_EQ(typed.size(), 300u);
  bench::Scenario s(TermOptions(), [&] {
    StartBuiltins();
    Call(P1_d_keyback, {List({1, 2})});
    bench::Step("ready");
    WaitTyped(300);
    std::ostringstream log;
    log << Val(P1_d_keylength) << " ring " << Console->typeahead_count << ";";
    std::string got;
    for (int i = 0; i < 256; i++)
      got += char(std::stoi(Val(P1_d_keyin)));
    log << " peek " << Val(P1_d_keypeek) << " keyin " << Val(P1_d_keyin) << ";";
    for (int i = 0; i < 43; i++)
      got += char(std::stoi(Val(P1_d_keyin)));
    for (const char *step : {"stop", "start", "nosig"}) {
      if (std::string(step) == "nosig") C_SetSigState(1);
      bench::Step(step);
      WaitTyped(std::stoi(bench::WaitParent()));
      log << " " << Val(P1_d_keylength) << " stopped " << Console->output_stopped << ";";
    }
    for (int i = 0; i < 6; i++)
      log << " " << Val(P1_d_keyin);
    bench::Report("log", log.str());
    bench::Report("got", got);
  });
  ASSERT_TRUE(s.WaitStep("ready"));
  s.Send(typed);
  for (auto [step, keys] : {std::pair{"stop", "a\x13"
                                              "b\x11"
                                              "c\x13"},
                            std::pair{"start", "\x13\x11"},
                            std::pair{"nosig", "\x13"
                                               "d\x11"}}) {
    ASSERT_TRUE(s.WaitStep(step));
    s.Send(keys);
    s.Go(std::to_string(strlen(keys)));
  }
  ExpectCleanExit(s);
  EXPECT_EQ(s.Get("log"), "258 ring 256; peek 14909826 keyin 14909826; 3 stopped 1; "
                          "3 stopped 0; 6 stopped 0; 97 98 99 19 100 17");
  EXPECT_EQ(s.Get("got"), "\x01\x02" + typed.substr(0, 254) + typed.substr(257));
}

// Catches an interrupt during d_keyin that is lost, handled twice, ends the
// wait with a key, or leaves the built-in's handler installed afterwards.
TEST(KeyBuiltins, CtrlCWhileKeyinWaits) {
  bench::Scenario s(TermOptions(), [] {
    StartBuiltins();
    host_set_intr_hook([](void *) { bench::Step("intr"); });
    bench::Step("ready");
    std::ostringstream log;
    log << Val(P1_d_keyin);
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    log << " f_intr " << Count().f_intr << " engine sigint " << host_sigint_count()
        << (now.sa_handler == host_sigint_handler_address() ? " engine action"
                                                            : " other action");
    bench::Report("log", log.str());
  });
  ASSERT_TRUE(s.WaitStep("ready"));
  // The child must sit in its read: a key typed before could beat the
  // reader's SIGINT handler.
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("\x03");
  ASSERT_TRUE(s.WaitStep("intr"));
  ASSERT_TRUE(WaitReadingStdin(s));
  s.Send("x");
  ExpectCleanExit(s);
  EXPECT_EQ(s.Get("log"), "120 f_intr 1 engine sigint 0 engine action");
}

} // namespace
