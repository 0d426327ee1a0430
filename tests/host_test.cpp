// Tests of the engine stand-in (host/): what it gives the console module,
// checked without the module.
#include "host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
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
  // Length and width of the character at buf[index].
  static int at(std::vector<unsigned char> buf, int index, int *width) {
    buf.push_back(0); // like the callers' buffers: something after the end
    return Stream_isn_mbchar(buf.data() + index, index, width);
  }
};

TEST_F(Charset, Utf8IsTheDefault) {
  EXPECT_EQ(host_charset(), HOST_UTF8);
  EXPECT_EQ(kanji, 1);
  EXPECT_EQ(charset_mode, 0);
}

TEST_F(Charset, Utf8MiddleByteOfThreeByteCharacterGivesWholeCharacter) {
  int w = -1;
  EXPECT_EQ(at({0xE3, 0x81, 0x82}, 1, &w), 3); // あ, asked at its middle byte
  EXPECT_EQ(w, 2);
}

TEST_F(Charset, Utf8LeadOfThreeByteCharacter) {
  int w = -1;
  EXPECT_EQ(at({0xE3, 0x81, 0x82}, 0, &w), 3);
  EXPECT_EQ(w, 2);
}

TEST_F(Charset, Utf8AsciiBeforeTwoByteCharacter) {
  int w = -1;
  EXPECT_EQ(at({'a', 0xC3, 0xA9}, 0, &w), 1); // "aé" at 'a'
  EXPECT_EQ(w, 1);
}

TEST_F(Charset, Utf8LeadOfTwoByteCharacter) {
  int w = -1;
  EXPECT_EQ(at({0xC3, 0xA9, 'a'}, 0, &w), 2); // "éa" at the lead C3
  EXPECT_EQ(w, 1);
}

TEST_F(Charset, Utf8LastByteFollowedByAsciiIsSingle) {
  int w = -1;
  EXPECT_EQ(at({0xE3, 0x81, 0x82, 'a'}, 2, &w), 1); // "あa" at 0x82
  EXPECT_EQ(w, 1);
}

TEST_F(Charset, Utf8FourByteCharacterFromAnyOfItsFirstThreeBytes) {
  std::vector<unsigned char> grin = {0xF0, 0x9F, 0x98, 0x80}; // U+1F600
  for (int i = 0; i < 3; i++) {
    int w = -1;
    EXPECT_EQ(at(grin, i, &w), 4) << "index " << i;
    EXPECT_EQ(w, 2) << "index " << i;
  }
}

TEST_F(Charset, Utf8LooksBackNoFurtherThanIndex) {
  // The same bytes, but the caller says 0x81 is the first byte of its buffer.
  unsigned char buf[] = {0xE3, 0x81, 0x82, 0};
  int w = -1;
  EXPECT_EQ(Stream_isn_mbchar(buf + 1, 0, &w), 1);
  EXPECT_EQ(w, 1);
}

TEST_F(Charset, Utf8TruncatedBufferStillGivesWidth) {
  // _Curses_num_cur_x puts 0 where the row is cut off.
  unsigned char buf[] = {0xE3, 0x81, 0, 0};
  int w = -1;
  EXPECT_EQ(Stream_isn_mbchar(buf, 5, &w), 3);
  EXPECT_EQ(w, 2);
}

TEST_F(Charset, Utf8TruncatedAfterLeadAndOneByte) {
  unsigned char buf[] = {0xF0, 0x9F, 0, 0}; // U+1F000.. cut after two bytes
  int w = -1;
  EXPECT_EQ(Stream_isn_mbchar(buf, 0, &w), 4);
  EXPECT_GE(w, 1);
}

TEST_F(Charset, Utf8CombiningCharacterHasWidthZero) {
  int w = -1;
  EXPECT_EQ(at({0xCC, 0x81}, 0, &w), 2); // U+0301
  EXPECT_EQ(w, 0);
}

TEST_F(Charset, Utf8StrayBytes) {
  int w = -1;
  EXPECT_EQ(at({0x81, 'a'}, 0, &w), 1);
  EXPECT_EQ(w, 1);
  EXPECT_EQ(at({0xFF, 'a'}, 0, &w), 1);
  EXPECT_EQ(w, 1);
}

TEST_F(Charset, Utf8LeadBytes) {
  EXPECT_FALSE(Type_is_kanji1('a'));
  EXPECT_FALSE(Type_is_kanji1(0x80));
  EXPECT_FALSE(Type_is_kanji1(0xC1));
  EXPECT_TRUE(Type_is_kanji1(0xC2));
  EXPECT_TRUE(Type_is_kanji1(0xE3));
  EXPECT_TRUE(Type_is_kanji1(0xF4));
  EXPECT_FALSE(Type_is_kanji1(0xF5));
  EXPECT_TRUE(Type_is_kanji1(-29)); // 0xE3 as a signed char
  EXPECT_FALSE(Type_iskana1(0x8E));
}

TEST_F(Charset, EucJp) {
  host_set_charset(HOST_EUCJP);
  EXPECT_EQ(kanji, 1);
  EXPECT_EQ(charset_mode, 1);
  int w = -1;
  EXPECT_EQ(at({0xA4, 0xA2}, 0, &w), 2); // あ
  EXPECT_EQ(w, 2);
  EXPECT_EQ(at({0x8E, 0xB1}, 0, &w), 2); // half-width kana
  EXPECT_EQ(w, 1);
  EXPECT_EQ(at({0x8F, 0xB0, 0xA1}, 0, &w), 3); // JIS X 0212
  EXPECT_EQ(w, 2);
  EXPECT_EQ(at({'a'}, 0, &w), 1);
  EXPECT_EQ(w, 1);
  EXPECT_TRUE(Type_is_kanji1(0xA1));
  EXPECT_TRUE(Type_is_kanji1(0xFE));
  EXPECT_TRUE(Type_is_kanji1(0x8F));
  EXPECT_FALSE(Type_is_kanji1(0x8E));
  EXPECT_TRUE(Type_iskana1(0x8E));
}

TEST_F(Charset, SingleByte) {
  host_set_charset(HOST_SINGLE);
  EXPECT_EQ(kanji, 0);
  EXPECT_EQ(charset_mode, 0);
  int w = -1;
  EXPECT_EQ(at({0xE3, 0x81, 0x82}, 0, &w), 1);
  EXPECT_EQ(w, 1);
  EXPECT_FALSE(Type_is_kanji1(0xE3));
  EXPECT_FALSE(Type_iskana1(0x8E));
}

int answer_zero(unsigned char *, int, int *width) {
  *width = 1;
  return 0;
}

TEST_F(Charset, OverrideHook) {
  int w = -1;
  host_set_mbchar_override(answer_zero);
  EXPECT_EQ(at({'a'}, 0, &w), 0);
  host_set_mbchar_override(nullptr);
  EXPECT_EQ(at({'a'}, 0, &w), 1);
}

// ---- Streams ----------------------------------------------------------------

struct Put {
  int ch;
  QxStream stream;
};
std::vector<Put> puts_seen;
std::vector<int> get_script;
void *get_ctx_seen;
int flushes;

int fake_put(int ch, QxStream s) {
  puts_seen.push_back({ch, s});
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
    host_reset_counters();
    con = Stream_MakeConStreamInstance(&record, fake_put, fake_get, fake_flush,
                                       PutAtom(0, "user"));
  }
  std::vector<int> put_codes() {
    std::vector<int> v;
    for (const Put &p : puts_seen)
      v.push_back(p.ch);
    return v;
  }
};

TEST_F(Streams, ConsoleHandleIsNonZeroAndWide) {
  EXPECT_NE(con, 0);
  EXPECT_GT(con, QxStream(1) << 32);
  EXPECT_EQ(Stream_GetStreamCon(con), &record);
  EXPECT_EQ(host_stream_kind(con), HOST_STREAM_CONSOLE);
  EXPECT_EQ(Stream_GetStreamCon(0), nullptr);
}

TEST_F(Streams, ConsolePutGoesThroughTheCallback) {
  EXPECT_EQ(Stream__sputc('a', con), 'a');
  EXPECT_EQ(Stream_sputc(31, con), 31);
  ASSERT_EQ(puts_seen.size(), 2u);
  EXPECT_EQ(puts_seen[0].stream, con);
  EXPECT_EQ(put_codes(), (std::vector<int>{'a', 31}));
  EXPECT_EQ(host_stream_put_count(con), 2);
}

TEST_F(Streams, SignedBytesReachTheConsoleAsBytes) {
  Stream__sputc(-29, con); // 0xE3
  Stream_sputc(-128, con); // 0x80
  Stream_sputc(-1, con);   // 0xFF
  EXPECT_EQ(put_codes(), (std::vector<int>{0xE3, 0x80, 0xFF}));
}

TEST_F(Streams, PrintfStyleOutput) {
  EXPECT_EQ(Stream_sprnt(con, "[%d]", 12), 4);
  EXPECT_EQ(put_codes(), (std::vector<int>{'[', '1', '2', ']'}));
  puts_seen.clear();
  EXPECT_EQ(Stream_sprntln(con, "%s", "\xE3\x81\x82"), 4);
  EXPECT_EQ(put_codes(), (std::vector<int>{0xE3, 0x81, 0x82, 31}));
}

TEST_F(Streams, ConsoleReadPushbackFirst) {
  get_script = {'x', 31};
  EXPECT_EQ(host_ungetc('b', con), 'b');
  EXPECT_EQ(host_ungetc('a', con), 'a');
  EXPECT_EQ(host_stream_pushback_count(con), 2u);
  EXPECT_EQ(host_getc(con), 'a');
  EXPECT_EQ(host_getc(con), 'b');
  EXPECT_EQ(host_getc(con), 'x');
  EXPECT_EQ(get_ctx_seen, host_context());
  EXPECT_EQ(host_getc(con), 31);
  EXPECT_EQ(host_getc(con), -1);
}

TEST_F(Streams, FlushUngetbuffDropsPushback) {
  host_ungetc('a', con);
  S_FlushUngetbuff(con);
  EXPECT_EQ(host_stream_pushback_count(con), 0u);
  EXPECT_EQ(host_counters()->flush_ungetbuff, 1);
  EXPECT_EQ(host_getc(con), -1);
}

TEST_F(Streams, FlushCallsTheConsoleCallback) {
  flushes = 0;
  EXPECT_EQ(host_flush(con), 0);
  EXPECT_EQ(flushes, 1);
}

TEST_F(Streams, TokenError) {
  EXPECT_FALSE(Stream_IsTokenError(con));
  host_set_token_error(con);
  EXPECT_TRUE(Stream_IsTokenError(con));
  Stream_ClearErrorInfo(con);
  EXPECT_FALSE(Stream_IsTokenError(con));
  EXPECT_EQ(host_counters()->clear_error_info, 1);
  EXPECT_FALSE(Stream_IsTokenError(0));
}

TEST_F(Streams, MemoryKeepsCodesVerbatim) {
  QxStream m = host_open_memory();
  ASSERT_NE(m, 0);
  Stream__sputc('a', m);
  Stream__sputc(31, m);
  Stream__sputc(0x1234, m);
  Stream__sputc(-5, m);
  size_t n = 0;
  const int *codes = host_memory_codes(m, &n);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(std::vector<int>(codes, codes + n), (std::vector<int>{'a', 31, 0x1234, -5}));
  host_memory_clear(m);
  Stream_sprntln(m, "ok");
  EXPECT_STREQ(host_memory_string(m), "ok\x1f");
}

TEST_F(Streams, MemoryFailure) {
  QxStream m = host_open_memory();
  host_memory_fail(m, 1);
  EXPECT_EQ(Stream__sputc('a', m), -1);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOSPC));
  host_memory_set_error_text(m, "disk on fire");
  EXPECT_EQ(Stream_sprnt(m, "abc"), -1);
  EXPECT_STREQ(Stream_errmes(), "disk on fire");
  host_memory_fail(m, 0);
  EXPECT_EQ(Stream__sputc('a', m), 'a');
  size_t n = 0;
  host_memory_codes(m, &n);
  EXPECT_EQ(n, 1u);
}

TEST_F(Streams, MemoryInput) {
  QxStream m = host_open_memory();
  host_memory_set_input(m, "a\n");
  EXPECT_EQ(host_getc(m), 'a');
  EXPECT_EQ(host_getc(m), 31);
  EXPECT_EQ(host_getc(m), -1);
}

std::string temp_path() {
  char path[] = "/tmp/qxhost_test_XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  return path;
}

std::string slurp(const std::string &path) {
  std::string text;
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) return text;
  int c;
  while ((c = std::fgetc(fp)) != EOF)
    text.push_back(char(c));
  std::fclose(fp);
  return text;
}

TEST_F(Streams, FileWritesEndOfLineAsNewline) {
  std::string path = temp_path();
  QxStream f = host_open_file(path.c_str(), "w");
  ASSERT_NE(f, 0);
  EXPECT_EQ(host_stream_kind(f), HOST_STREAM_FILE);
  EXPECT_EQ(Stream__sputc('a', f), 'a');
  EXPECT_EQ(Stream__sputc(-29, f), -29); // the byte 0xE3
  EXPECT_EQ(Stream__sputc(31, f), 31);
  EXPECT_EQ(Stream_sprntln(f, "n=%d", 5), 4);
  // Unbuffered: the bytes are in the file before it is closed.
  EXPECT_EQ(slurp(path), "a\xE3\nn=5\n");
  EXPECT_EQ(Stream_sclose(f), 0);
  EXPECT_FALSE(host_stream_is_open(f));
  EXPECT_EQ(host_counters()->sclose, 1);
  EXPECT_EQ(host_counters()->last_closed, f);
  EXPECT_EQ(Stream__sputc('b', f), -1); // closed
  EXPECT_EQ(Stream_sclose(f), -1);
  std::remove(path.c_str());
}

TEST_F(Streams, FileReadGivesEndOfLineCode) {
  std::string path = temp_path();
  FILE *fp = std::fopen(path.c_str(), "w");
  std::fputs("x\n", fp);
  std::fclose(fp);
  QxStream f = host_open_file(path.c_str(), "r");
  ASSERT_NE(f, 0);
  EXPECT_EQ(host_getc(f), 'x');
  EXPECT_EQ(host_getc(f), 31);
  EXPECT_EQ(host_getc(f), -1);
  Stream_sclose(f);
  std::remove(path.c_str());
}

TEST_F(Streams, FailingFileWriteIsSeenAtOnce) {
  QxStream f = host_open_file("/dev/full", "w");
  ASSERT_NE(f, 0);
  EXPECT_EQ(Stream__sputc('a', f), -1);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOSPC));
  Stream_sclose(f);
}

TEST_F(Streams, OpenFailure) {
  EXPECT_EQ(host_open_file("/nonexistent/dir/log", "w"), 0);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOENT));
}

TEST_F(Streams, BadHandles) {
  EXPECT_EQ(Stream__sputc('a', 0), -1);
  EXPECT_EQ(Stream__sputc('a', 12345), -1);
  EXPECT_EQ(host_getc(0), -1);
  EXPECT_EQ(host_stream_kind(0), HOST_STREAM_NONE);
}

TEST_F(Streams, UserInput) {
  host_set_user_input(con);
  EXPECT_EQ(stream_in[sti_cnt], con);
}

// ---- Atoms ------------------------------------------------------------------

TEST(Atoms, FixedNumbers) {
  EXPECT_STREQ(Atomman_AtomNo2AtomName(QX_ATOM_NIL), "[]");
  EXPECT_STREQ(Atomman_AtomNo2AtomName(QX_ATOM_CURSOR_ON), "on");
  EXPECT_STREQ(Atomman_AtomNo2AtomName(QX_ATOM_CURSOR_OFF), "off");
  EXPECT_EQ(PutAtom(0, "[]"), QX_ATOM_NIL);
  EXPECT_EQ(PutAtom(0, "on"), QX_ATOM_CURSOR_ON);
  EXPECT_EQ(PutAtom(0, "off"), QX_ATOM_CURSOR_OFF);
}

TEST(Atoms, Interning) {
  QxAtom a = PutAtom(0, "some_atom");
  EXPECT_GE(a, HOST_FIRST_FREE_ATOM);
  EXPECT_EQ(PutAtom(0, "some_atom"), a);
  EXPECT_NE(PutAtom(0, "other_atom"), a);
  EXPECT_STREQ(Atomman_AtomNo2AtomName(a), "some_atom");
  EXPECT_EQ(Atomman_AtomNo2AtomName(999999), nullptr);
}

TEST(Atoms, DefaultPrompt) {
  EXPECT_STREQ(Atomman_AtomNo2AtomName(Main_DefaultPrompt()), "|: ");
}

// ---- Terms ------------------------------------------------------------------

class Terms : public ::testing::Test {
protected:
  BuiltinFrame frame{};
  void SetUp() override {
    host_args_reset();
    host_reset_counters();
  }
};

TEST(TermLayout, CellsAreSixteenBytes) {
  EXPECT_EQ(sizeof(TermCell), 16u);
  EXPECT_EQ(offsetof(TermCell, tag), 8u);
}

TEST_F(Terms, ArgumentsLieBelowNextVarCell) {
  TermCell *a1 = host_push(host_int(1));
  TermCell *a2 = host_push(host_int(2));
  EXPECT_EQ(next_var_cell - 2, a1);
  EXPECT_EQ(next_var_cell - 1, a2);
  EXPECT_LT(next_var_cell, var_bottom);
}

TEST_F(Terms, UnifyBindsUnboundVariablesOfBothKinds) {
  TermCell *a = host_push(host_var());
  TermCell *b = host_push(host_var4());
  EXPECT_EQ(unify_intE(&frame, a, 42), 1);
  EXPECT_EQ(unify_atomE_ex(&frame, b, QX_ATOM_CURSOR_OFF), 1);
  int64_t v = 0;
  QxAtom at = 0;
  ASSERT_TRUE(host_get_int(a, &v));
  EXPECT_EQ(v, 42);
  ASSERT_TRUE(host_get_atom(b, &at));
  EXPECT_EQ(at, QX_ATOM_CURSOR_OFF);
  EXPECT_EQ(host_trail_size(), 2u);
  EXPECT_EQ(frozen_goal_register, nullptr);
}

TEST_F(Terms, UnifyComparesBoundTerms) {
  TermCell *i = host_push(host_int(80));
  TermCell *at = host_push(host_atom(QX_ATOM_CURSOR_ON));
  EXPECT_EQ(unify_intE(&frame, i, 80), 1);
  EXPECT_EQ(unify_intE(&frame, i, 81), 0);
  EXPECT_EQ(unify_intE_ex(&frame, at, 72), 0); // an atom is not an integer
  EXPECT_EQ(unify_atomE_ex(&frame, at, QX_ATOM_CURSOR_ON), 1);
  EXPECT_EQ(unify_atomE_ex(&frame, at, QX_ATOM_CURSOR_OFF), 0);
  EXPECT_EQ(host_trail_size(), 0u);
}

TEST_F(Terms, UnifyFollowsReferences) {
  TermCell *g = host_global_var();
  TermCell *a = host_push(host_ref(g));
  EXPECT_TRUE(host_is_unbound(a));
  EXPECT_EQ(unify_intE(&frame, a, 7), 1);
  int64_t v = 0;
  ASSERT_TRUE(host_get_int(g, &v));
  EXPECT_EQ(v, 7);
  EXPECT_EQ(a->tag, QX_TAG_REF); // the argument cell itself still refers
}

TEST_F(Terms, FrozenGoals) {
  TermCell *ok = host_push(host_var());
  TermCell *bad = host_push(host_var());
  host_freeze(ok, 1);
  host_freeze(bad, 0);
  frozen_goal_register = nullptr; // as the module's prologue does
  EXPECT_EQ(unify_intE(&frame, ok, 1), 1);
  EXPECT_NE(frozen_goal_register, nullptr);
  EXPECT_EQ(unify_after_call(&frame), 1);
  EXPECT_EQ(frozen_goal_register, nullptr);
  EXPECT_EQ(unify_intE(&frame, bad, 1), 1);
  EXPECT_EQ(unify_after_call(&frame), 0);
  EXPECT_EQ(host_counters()->unify_after_call, 2);
  EXPECT_EQ(host_counters()->goals_run, 2);
}

TEST_F(Terms, ExFormsRunWokenGoalsThemselves) {
  TermCell *v = host_push(host_var());
  host_freeze(v, 0);
  EXPECT_EQ(unify_intE_ex(&frame, v, 3), 0);
  EXPECT_EQ(frozen_goal_register, nullptr);
  EXPECT_EQ(host_counters()->unify_after_call, 0);
  EXPECT_EQ(host_counters()->goals_run, 1);
}

TEST_F(Terms, UntrailUndoesBindingsAndFreezes) {
  TermCell *v = host_push(host_var4());
  void *mark = trail_register;
  host_freeze(v, 1);
  unify_intE(&frame, v, 3);
  host_untrail(mark);
  EXPECT_EQ(v->tag, QX_TAG_UNBOUND2);
  frozen_goal_register = nullptr;
  unify_intE(&frame, v, 4);
  EXPECT_NE(frozen_goal_register, nullptr); // the goal is frozen again
}

TEST_F(Terms, IntegerLists) {
  int64_t values[] = {65, 66, 67};
  TermCell list = host_int_list(values, 3, host_nil(), QX_TAG_LIST2);
  TermCell *c = host_push(list);
  std::vector<int64_t> seen;
  while (c->tag == QX_TAG_LIST || c->tag == QX_TAG_LIST2) {
    TermCell *pair = reinterpret_cast<TermCell *>(intptr_t(c->value));
    EXPECT_EQ(c->tag, QX_TAG_LIST2);
    int64_t v = 0;
    EXPECT_TRUE(host_get_int(&pair[0], &v));
    seen.push_back(v);
    c = host_deref(&pair[1]);
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{65, 66, 67}));
  EXPECT_EQ(c->tag, QX_TAG_ATOM);
  EXPECT_EQ(c->value, QX_ATOM_NIL);
  EXPECT_EQ(host_int_list(values, 0, host_int(9), QX_TAG_LIST).tag, HOST_TAG_INT);
}

TEST_F(Terms, ConsCell) {
  TermCell l = host_cons(host_int(1), host_atom_named("foo"));
  EXPECT_EQ(l.tag, QX_TAG_LIST);
  TermCell *pair = reinterpret_cast<TermCell *>(intptr_t(l.value));
  EXPECT_EQ(pair[1].value, PutAtom(0, "foo"));
}

TEST_F(Terms, Evaluation) {
  TermCell n = host_int(5);
  EXPECT_EQ(Numeric_s_num_eval_int(&n), 5);
  TermCell r = host_ref(&n);
  EXPECT_EQ(Numeric_s_num_eval_int(&r), 5);
  TermCell e = host_expr2("*", host_expr2("+", host_int(2), host_int(3)), host_int(4));
  EXPECT_EQ(Numeric_s_num_eval_int(&e), 20);
  TermCell d = host_expr2("//", host_int(-7), host_int(2));
  EXPECT_EQ(Numeric_s_num_eval_int(&d), -3);
  TermCell m1 = host_expr2("mod", host_int(-7), host_int(2));
  EXPECT_EQ(Numeric_s_num_eval_int(&m1), 1);
  TermCell m2 = host_expr2("mod", host_int(7), host_int(-2));
  EXPECT_EQ(Numeric_s_num_eval_int(&m2), -1);
  TermCell s = host_expr2("-", host_int(1), host_int(10));
  EXPECT_EQ(Numeric_s_num_eval_int(&s), -9);
  TermCell u = host_expr1("-", host_int(3));
  EXPECT_EQ(Numeric_s_num_eval_int(&u), -3);
  TermCell nil = host_nil();
  EXPECT_EQ(Numeric_s_num_eval_int(&nil), 0);
  EXPECT_EQ(host_counters()->eval_calls, 9);
  EXPECT_EQ(host_counters()->eval_errors + host_counters()->type_errors, 0);
}

TEST_F(Terms, EvaluationErrors) {
  TermCell z = host_expr2("//", host_int(1), host_int(0));
  EXPECT_EQ(Numeric_s_num_eval_int(&z), 0);
  EXPECT_EQ(host_counters()->eval_errors, 1);
  EXPECT_STREQ(host_last_engine_error(), "evaluation_error(zero_divisor)");
  TermCell zm = host_expr2("mod", host_int(1), host_int(0));
  EXPECT_EQ(Numeric_s_num_eval_int(&zm), 0);
  EXPECT_EQ(host_counters()->eval_errors, 2);
  TermCell foo = host_atom_named("foo");
  EXPECT_EQ(Numeric_s_num_eval_int(&foo), 0);
  EXPECT_EQ(host_counters()->type_errors, 1);
  EXPECT_STREQ(host_last_engine_error(), "type_error(evaluable, foo/0)");
  TermCell sum = host_expr2("+", host_int(1), host_atom_named("foo"));
  EXPECT_EQ(Numeric_s_num_eval_int(&sum), 0);
  EXPECT_EQ(host_counters()->type_errors, 2);
  TermCell v = host_var();
  EXPECT_EQ(Numeric_s_num_eval_int(&v), 0);
  EXPECT_EQ(host_counters()->instantiation_errors, 1);
  int64_t one[] = {1};
  TermCell l = host_int_list(one, 1, host_nil(), QX_TAG_LIST);
  EXPECT_EQ(Numeric_s_num_eval_int(&l), 0);
  EXPECT_EQ(host_counters()->type_errors, 3);
}

TEST_F(Terms, LocalOverflowMakesRoom) {
  TermCell *a = host_push(host_int(1));
  host_force_local_overflow();
  EXPECT_GE(next_var_cell, var_bottom);
  LocalOverflow();
  EXPECT_LT(next_var_cell, var_bottom);
  EXPECT_EQ(next_var_cell - 1, a); // the arguments did not move
  EXPECT_EQ(host_counters()->local_overflow, 1);
}

TEST_F(Terms, ArgErrorReturns) {
  ArgError();
  ArgError();
  EXPECT_EQ(host_counters()->arg_error, 2);
}

// ---- Engine actions and globals ---------------------------------------------

int quit_hook_calls;
void *intr_hook_ctx;

TEST(Engine, QuitAndInterruptActions) {
  host_reset_counters();
  quit_hook_calls = 0;
  host_set_quit_hook([] { quit_hook_calls++; });
  host_set_intr_hook([](void *ctx) { intr_hook_ctx = ctx; });
  Main_Quit();
  int marker;
  f_intr(&marker);
  EXPECT_EQ(host_counters()->main_quit, 1);
  EXPECT_EQ(host_counters()->f_intr, 1);
  EXPECT_EQ(host_counters()->last_intr_ctx, &marker);
  EXPECT_EQ(quit_hook_calls, 1);
  EXPECT_EQ(intr_hook_ctx, &marker);
  host_set_quit_hook(nullptr);
  host_set_intr_hook(nullptr);
}

TEST(Engine, ArgvDefaultAndInit) {
  EXPECT_STREQ(Argv[0], "qxhost");
  EXPECT_EQ(Argv[1], nullptr);
  char name[] = "mytop";
  char *argv[] = {name, nullptr};
  char **saved = Argv;
  host_init(1, argv);
  EXPECT_STREQ(Argv[0], "mytop");
  Argv = saved;
}

TEST(Engine, SigintHandler) {
  host_install_sigint();
  struct sigaction now;
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, host_sigint_handler_address());
  EXPECT_NE(now.sa_flags & SA_RESTART, 0); // writes to the terminal restart
  long before = host_sigint_count();
  host_take_interrupt_request();
  raise(SIGINT);
  EXPECT_EQ(host_sigint_count(), before + 1);
  EXPECT_EQ(host_take_interrupt_request(), 1);
  EXPECT_EQ(host_take_interrupt_request(), 0);
  signal(SIGINT, SIG_DFL);
}

} // namespace
