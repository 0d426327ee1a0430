// Tests of the engine stand-in (host/), checked without the module: only what
// the module relies on, where a stand-in fault would let a module test pass
// wrongly (character-set answers, the stream layer, argument cells and
// unification, evaluation, the engine's SIGINT handler).
#include "host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// ---- Character sets ---------------------------------------------------------

class Charset : public ::testing::Test {
protected:
  void SetUp() override {
    host_init(0, nullptr);
    host_set_charset(HOST_UTF8);
    host_set_mbchar_override(nullptr);
  }
  void TearDown() override {
    host_set_charset(HOST_UTF8);
    host_set_mbchar_override(nullptr);
  }
  // "length/width" of the character at buf[index], asked as the module asks:
  // with `index` the number of bytes before it in the caller's buffer.
  static std::string At(std::vector<unsigned char> buf, int index) {
    buf.push_back(0); // like the callers' buffers: something after the end
    int w = -1;
    int n = Stream_isn_mbchar(buf.data() + index, index, &w);
    return std::to_string(n) + "/" + std::to_string(w);
  }
};

// Catches: UTF-8 lengths or widths that the line editor and the display
// column count would take at face value: a character asked at its middle or
// last byte, four-byte characters, combining characters, stray bytes, a look
// back past the caller's buffer, a row cut off by a 0, and wrong lead bytes.
TEST_F(Charset, Utf8) {
  EXPECT_EQ(host_charset(), HOST_UTF8) << "the default";
  EXPECT_EQ(kanji, 1);
  EXPECT_EQ(charset_mode, 0);
  const std::vector<unsigned char> a = {0xE3, 0x81, 0x82, 'a'}; // "あa"
  EXPECT_EQ(At(a, 0), "3/2");
  EXPECT_EQ(At(a, 1), "3/2") << "at the middle byte: the whole character";
  EXPECT_EQ(At(a, 2), "1/1") << "the last byte followed by ASCII is single";
  EXPECT_EQ(At({'a', 0xC3, 0xA9}, 0), "1/1");
  EXPECT_EQ(At({0xC3, 0xA9, 'a'}, 0), "2/1");
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(At({0xF0, 0x9F, 0x98, 0x80}, i), "4/2") << "U+1F600 at byte " << i;
  EXPECT_EQ(At({0xCC, 0x81}, 0), "2/0") << "a combining character";
  EXPECT_EQ(At({0x81, 'a'}, 0), "1/1");
  EXPECT_EQ(At({0xFF, 'a'}, 0), "1/1");
  unsigned char buf[] = {0xE3, 0x81, 0x82, 0};
  int w = -1;
  EXPECT_EQ(Stream_isn_mbchar(buf + 1, 0, &w), 1) << "no look back before the buffer";
  EXPECT_EQ(w, 1);
  unsigned char cut[] = {0xE3, 0x81, 0, 0}; // _Curses_num_cur_x cuts rows with a 0
  EXPECT_EQ(Stream_isn_mbchar(cut, 5, &w), 3);
  EXPECT_EQ(w, 2);
  for (int b : {0x61, 0x80, 0xC1, 0xF5})
    EXPECT_FALSE(Type_is_kanji1(b)) << b;
  for (int b : {0xC2, 0xE3, 0xF4, -29}) // -29: 0xE3 as a signed char
    EXPECT_TRUE(Type_is_kanji1(b)) << b;
  EXPECT_FALSE(Type_iskana1(0x8E));
}

// Catches: EUC-JP and single-byte answers that differ from what those
// character sets mean (two- and three-byte kanji, half-width kana).
TEST_F(Charset, EucJpAndSingleByte) {
  host_set_charset(HOST_EUCJP);
  EXPECT_EQ(kanji, 1);
  EXPECT_EQ(charset_mode, 1);
  EXPECT_EQ(At({0xA4, 0xA2}, 0), "2/2");
  EXPECT_EQ(At({0x8E, 0xB1}, 0), "2/1") << "half-width kana";
  EXPECT_EQ(At({0x8F, 0xB0, 0xA1}, 0), "3/2") << "JIS X 0212";
  EXPECT_EQ(At({'a'}, 0), "1/1");
  for (int b : {0xA1, 0xFE, 0x8F})
    EXPECT_TRUE(Type_is_kanji1(b)) << b;
  EXPECT_FALSE(Type_is_kanji1(0x8E));
  EXPECT_TRUE(Type_iskana1(0x8E));
  host_set_charset(HOST_SINGLE);
  EXPECT_EQ(kanji, 0);
  EXPECT_EQ(charset_mode, 0);
  EXPECT_EQ(At({0xE3, 0x81, 0x82}, 0), "1/1");
  EXPECT_FALSE(Type_is_kanji1(0xE3));
  EXPECT_FALSE(Type_iskana1(0x8E));
}

int answer_zero(unsigned char *, int, int *width) {
  *width = 1;
  return 0;
}

// Catches: an override hook that is not consulted (the tests that feed the
// module odd character lengths would then test ordinary ones) or not removed.
TEST_F(Charset, OverrideHook) {
  host_set_mbchar_override(answer_zero);
  EXPECT_EQ(At({'a'}, 0), "0/1");
  host_set_mbchar_override(nullptr);
  EXPECT_EQ(At({'a'}, 0), "1/1");
}

// ---- Streams ----------------------------------------------------------------

std::vector<int> puts_seen;
std::vector<int> get_script;
void *get_ctx_seen;
int flushes;

int fake_put(int ch, QxStream) {
  puts_seen.push_back(ch);
  return ch;
}

int fake_get(void *ctx, QxStream) {
  get_ctx_seen = ctx;
  if (get_script.empty()) return -1;
  int ch = get_script.front();
  get_script.erase(get_script.begin());
  return ch;
}

int fake_flush(void *, QxStream) {
  flushes++;
  return 0;
}

class Streams : public ::testing::Test {
protected:
  ConsoleState record{};
  QxStream con = 0;
  void SetUp() override {
    puts_seen.clear();
    get_script.clear();
    flushes = 0;
    host_reset_counters();
    con = Stream_MakeConStreamInstance(&record, fake_put, fake_get, fake_flush,
                                       PutAtom(0, "user"));
  }
};

// Catches: a console handle that fits in 32 bits (a module that truncates
// handles would pass), a handle not leading back to its record, output not
// going through the put callback byte for byte (signed chars as bytes, the
// end-of-line code 31 kept), printf-style output miscounted, and user input
// not registered.
TEST_F(Streams, ConsoleOutput) {
  EXPECT_GT(con, QxStream(1) << 32);
  EXPECT_EQ(Stream_GetStreamCon(con), &record);
  EXPECT_EQ(Stream_GetStreamCon(0), nullptr);
  EXPECT_EQ(Stream__sputc('a', con), 'a');
  EXPECT_EQ(Stream_sputc(31, con), 31);
  Stream__sputc(-29, con); // 0xE3
  Stream_sputc(-1, con);   // 0xFF
  EXPECT_EQ(Stream_sprnt(con, "[%d]", 12), 4);
  EXPECT_EQ(Stream_sprntln(con, "%s", "\xE3\x81\x82"), 4);
  EXPECT_EQ(puts_seen, (std::vector<int>{'a', 31, 0xE3, 0xFF, '[', '1', '2', ']', 0xE3,
                                         0x81, 0x82, 31}));
  EXPECT_EQ(host_flush(con), 0);
  EXPECT_EQ(flushes, 1);
  host_set_user_input(con);
  EXPECT_EQ(stream_in[sti_cnt], con);
}

// Catches: pushed-back bytes not read first (last pushed first), the get
// callback not given the engine's context, S_FlushUngetbuff leaving pushback,
// and the token error flag not set or cleared as asked.
TEST_F(Streams, ConsoleInputPushbackAndTokenError) {
  get_script = {'x', 31};
  host_ungetc('b', con);
  host_ungetc('a', con);
  std::string got;
  for (int i = 0; i < 5; i++)
    got += std::to_string(host_getc(con)) + " ";
  EXPECT_EQ(got, "97 98 120 31 -1 ");
  EXPECT_EQ(get_ctx_seen, host_context());
  host_ungetc('a', con);
  S_FlushUngetbuff(con);
  EXPECT_EQ(host_stream_pushback_count(con), 0u);
  EXPECT_EQ(host_getc(con), -1);
  EXPECT_FALSE(Stream_IsTokenError(con));
  host_set_token_error(con);
  EXPECT_TRUE(Stream_IsTokenError(con));
  Stream_ClearErrorInfo(con);
  EXPECT_FALSE(Stream_IsTokenError(con));
  EXPECT_EQ(host_counters()->clear_error_info, 1);
}

// Catches: a memory log that changes codes (31, values above 255, negative
// ones) or fails other than as told, with the wrong error text; a file log
// that does not write end-of-line as a newline at once, goes on after being
// closed, or does not fail at once on a full device.
TEST_F(Streams, MemoryAndFileLogs) {
  QxStream m = host_open_memory();
  ASSERT_NE(m, 0);
  for (int c : {0x61, 31, 0x1234, -5})
    Stream__sputc(c, m);
  size_t n = 0;
  const int *codes = host_memory_codes(m, &n);
  EXPECT_EQ(std::vector<int>(codes, codes + n), (std::vector<int>{'a', 31, 0x1234, -5}));
  host_memory_fail(m, 1);
  EXPECT_EQ(Stream__sputc('a', m), -1);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOSPC));
  host_memory_set_error_text(m, "disk on fire");
  EXPECT_EQ(Stream_sprnt(m, "abc"), -1);
  EXPECT_STREQ(Stream_errmes(), "disk on fire");
  host_memory_fail(m, 0);
  host_memory_clear(m);
  Stream_sprntln(m, "ok");
  EXPECT_STREQ(host_memory_string(m), "ok\x1f");

  char path[] = "/tmp/qxhost_test_XXXXXX";
  close(mkstemp(path));
  QxStream f = host_open_file(path, "w");
  ASSERT_NE(f, 0);
  EXPECT_EQ(Stream__sputc(-29, f), -29);
  EXPECT_EQ(Stream__sputc(31, f), 31);
  EXPECT_EQ(Stream_sprntln(f, "n=%d", 5), 4);
  std::string text;
  if (FILE *fp = std::fopen(path, "rb")) {
    for (int c; (c = std::fgetc(fp)) != EOF;)
      text.push_back(char(c));
    std::fclose(fp);
  }
  EXPECT_EQ(text, "\xE3\nn=5\n") << "unbuffered, end-of-line as newline";
  EXPECT_EQ(Stream_sclose(f), 0);
  EXPECT_EQ(Stream__sputc('b', f), -1);
  std::remove(path);
  QxStream full = host_open_file("/dev/full", "w");
  ASSERT_NE(full, 0);
  EXPECT_EQ(Stream__sputc('a', full), -1);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOSPC));
  Stream_sclose(full);
}

// ---- Atoms and terms --------------------------------------------------------

class Terms : public ::testing::Test {
protected:
  BuiltinFrame frame{};
  void SetUp() override {
    host_args_reset();
    host_reset_counters();
  }
};

// Catches: the fixed atoms the cursor built-ins answer with not being the
// numbers the module uses, and arguments not lying just below next_var_cell.
TEST_F(Terms, FixedAtomsAndArgumentCells) {
  EXPECT_EQ(PutAtom(0, "[]"), QX_ATOM_NIL);
  EXPECT_EQ(PutAtom(0, "on"), QX_ATOM_CURSOR_ON);
  EXPECT_EQ(PutAtom(0, "off"), QX_ATOM_CURSOR_OFF);
  EXPECT_STREQ(Atomman_AtomNo2AtomName(Main_DefaultPrompt()), "|: ");
  EXPECT_EQ(sizeof(TermCell), 16u);
  TermCell *a1 = host_push(host_int(1));
  TermCell *a2 = host_push(host_int(2));
  EXPECT_EQ(next_var_cell - 2, a1);
  EXPECT_EQ(next_var_cell - 1, a2);
  EXPECT_LT(next_var_cell, var_bottom);
}

// Catches: unification that binds bound terms, fails on unbound variables of
// either kind, takes an atom for an integer, does not follow references, or
// does not trail.
TEST_F(Terms, Unification) {
  TermCell *a = host_push(host_var());
  TermCell *b = host_push(host_var4());
  TermCell *g = host_global_var();
  TermCell *r = host_push(host_ref(g));
  TermCell *i = host_push(host_int(80));
  TermCell *at = host_push(host_atom(QX_ATOM_CURSOR_ON));
  EXPECT_EQ(unify_intE(&frame, i, 80), 1);
  EXPECT_EQ(unify_intE(&frame, i, 81), 0);
  EXPECT_EQ(unify_intE_ex(&frame, at, 72), 0);
  EXPECT_EQ(unify_atomE_ex(&frame, at, QX_ATOM_CURSOR_ON), 1);
  EXPECT_EQ(unify_atomE_ex(&frame, at, QX_ATOM_CURSOR_OFF), 0);
  EXPECT_EQ(host_trail_size(), 0u);
  EXPECT_EQ(unify_intE(&frame, a, 42), 1);
  EXPECT_EQ(unify_atomE_ex(&frame, b, QX_ATOM_CURSOR_OFF), 1);
  EXPECT_TRUE(host_is_unbound(r));
  EXPECT_EQ(unify_intE(&frame, r, 7), 1);
  int64_t v = 0;
  QxAtom atom = 0;
  EXPECT_TRUE(host_get_int(a, &v) && v == 42);
  EXPECT_TRUE(host_get_atom(b, &atom) && atom == QX_ATOM_CURSOR_OFF);
  EXPECT_TRUE(host_get_int(g, &v) && v == 7) << "bound through the reference";
  EXPECT_EQ(host_trail_size(), 3u);
}

// Catches: woken goals not registered by the plain forms (so the module's
// unify_after_call is never tested), their failure not reported, or the _ex
// forms not running them themselves.
TEST_F(Terms, FrozenGoals) {
  TermCell *ok = host_push(host_var());
  TermCell *bad = host_push(host_var());
  TermCell *ex = host_push(host_var());
  host_freeze(ok, 1);
  host_freeze(bad, 0);
  host_freeze(ex, 0);
  frozen_goal_register = nullptr; // as the module's prologue does
  EXPECT_EQ(unify_intE(&frame, ok, 1), 1);
  EXPECT_NE(frozen_goal_register, nullptr);
  EXPECT_EQ(unify_after_call(&frame), 1);
  EXPECT_EQ(frozen_goal_register, nullptr);
  EXPECT_EQ(unify_intE(&frame, bad, 1), 1);
  EXPECT_EQ(unify_after_call(&frame), 0);
  EXPECT_EQ(unify_intE_ex(&frame, ex, 3), 0);
  EXPECT_EQ(frozen_goal_register, nullptr);
  EXPECT_EQ(host_counters()->unify_after_call, 2);
  EXPECT_EQ(host_counters()->goals_run, 3);
}

// Catches: integer lists built with the wrong tag, order or tail (the
// keyback built-ins' tests would walk something else), and a local overflow
// that does not make room or moves the arguments.
TEST_F(Terms, ListsAndLocalOverflow) {
  int64_t values[] = {65, 66, 67};
  TermCell *c = host_push(host_int_list(values, 3, host_nil(), QX_TAG_LIST2));
  std::vector<int64_t> seen;
  while (c->tag == QX_TAG_LIST2) {
    TermCell *pair = reinterpret_cast<TermCell *>(intptr_t(c->value));
    int64_t v = 0;
    EXPECT_TRUE(host_get_int(&pair[0], &v));
    seen.push_back(v);
    c = host_deref(&pair[1]);
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{65, 66, 67}));
  EXPECT_EQ(c->tag, QX_TAG_ATOM);
  EXPECT_EQ(c->value, QX_ATOM_NIL);
  TermCell *top = next_var_cell;
  host_force_local_overflow();
  EXPECT_GE(next_var_cell, var_bottom);
  LocalOverflow();
  EXPECT_LT(next_var_cell, var_bottom);
  EXPECT_EQ(next_var_cell, top) << "the arguments moved";
  EXPECT_EQ(host_counters()->local_overflow, 1);
}

// Catches: integer evaluation of the coordinates the screen built-ins take
// (references, + - * // mod with negative operands, unary minus) giving wrong
// values, or errors (zero divisor, non-evaluable, unbound) not raised as the
// engine would.
TEST_F(Terms, Evaluation) {
  TermCell n = host_int(5);
  TermCell cases[] = {
      host_ref(&n),
      host_expr2("*", host_expr2("+", host_int(2), host_int(3)), host_int(4)),
      host_expr2("//", host_int(-7), host_int(2)),
      host_expr2("mod", host_int(-7), host_int(2)),
      host_expr2("mod", host_int(7), host_int(-2)),
      host_expr2("-", host_int(1), host_int(10)),
      host_expr1("-", host_int(3))};
  std::string got;
  for (TermCell &e : cases)
    got += std::to_string(Numeric_s_num_eval_int(&e)) + " ";
  EXPECT_EQ(got, "5 20 -3 1 -1 -9 -3 ");
  const HostCounters *k = host_counters();
  EXPECT_EQ(k->eval_errors + k->type_errors + k->instantiation_errors, 0);
  TermCell zero = host_expr2("//", host_int(1), host_int(0));
  EXPECT_EQ(Numeric_s_num_eval_int(&zero), 0);
  EXPECT_STREQ(host_last_engine_error(), "evaluation_error(zero_divisor)");
  TermCell foo = host_expr2("+", host_int(1), host_atom_named("foo"));
  EXPECT_EQ(Numeric_s_num_eval_int(&foo), 0);
  EXPECT_STREQ(host_last_engine_error(), "type_error(evaluable, foo/0)");
  TermCell v = host_var();
  EXPECT_EQ(Numeric_s_num_eval_int(&v), 0);
  EXPECT_EQ(k->eval_errors, 1);
  EXPECT_EQ(k->type_errors, 1);
  EXPECT_EQ(k->instantiation_errors, 1);
}

// ---- The engine's SIGINT handler ---------------------------------------------

// Catches: an engine SIGINT handler that is not installed, not SA_RESTART
// (writes to the terminal would fail with EINTR in every test), or does not
// count and request the interrupt exactly once.
TEST(Engine, SigintHandler) {
  host_install_sigint();
  struct sigaction now;
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, host_sigint_handler_address());
  EXPECT_NE(now.sa_flags & SA_RESTART, 0);
  long before = host_sigint_count();
  host_take_interrupt_request();
  raise(SIGINT);
  EXPECT_EQ(host_sigint_count(), before + 1);
  EXPECT_EQ(host_take_interrupt_request(), 1);
  EXPECT_EQ(host_take_interrupt_request(), 0);
  signal(SIGINT, SIG_DFL);
}

} // namespace
