// Tests of the engine stand-in (host/): only what the module relies on, where a
// stand-in fault would let a module test pass wrongly.
#include "host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// "length/width " of the character at each index of `bytes` (then a 0), asked
// as the module asks: the index is the number of bytes before it.
std::string At(std::string bytes, std::initializer_list<int> indexes) {
  std::string out;
  for (int i : indexes) {
    int w = -1;
    int n = Stream_isn_mbchar(reinterpret_cast<unsigned char *>(&bytes[0]) + i, i, &w);
    out += std::to_string(n) + "/" + std::to_string(w) + " ";
  }
  return out;
}

// Catches: wrong lengths or widths (UTF-8 asked mid-character, four-byte,
// the first and last lead of a length,
// combining, stray bytes, a look back past the buffer, a row cut by a 0; EUC-JP
// kanji, kana, JIS X 0212; single bytes), lead bytes, and an ignored override.
TEST(Host, CharsetAnswers) {
  host_init(0, nullptr);
  host_set_charset(HOST_UTF8);
  EXPECT_EQ(At("\343\201\202a", {0, 1, 2}) + At("a\303\251", {0, 1}),
            "3/2 3/2 1/1 1/1 2/1 ");
  EXPECT_EQ(At("\360\237\230\200", {0, 2}) + At("\314\201", {0}), "4/2 4/2 2/0 ");
  EXPECT_EQ(At("\201a", {0}) + At("\377a", {0}), "1/1 1/1 ");
  // The first and last leads of two- and three-byte characters.
  EXPECT_EQ(At("\302\240", {0}) + At("\337\200", {0}) + At("\357\274\241", {0}),
            "2/1 2/1 3/2 ");
  unsigned char buf[] = {0xE3, 0x81, 0x82, 0}, cut[] = {0xE3, 0x81, 0, 0};
  int w = -1, wc = -1; // no look back before the buffer; rows cut off by a 0
  EXPECT_EQ(Stream_isn_mbchar(buf + 1, 0, &w) * 10 + Stream_isn_mbchar(cut, 5, &wc), 13);
  EXPECT_EQ(w * 10 + wc, 12);
  std::string lead; // -29: 0xE3 as a signed char
  for (int b : {0x61, 0x80, 0xC1, 0xF5, 0xC2, 0xE3, 0xF4, -29})
    lead += Type_is_kanji1(b) ? '1' : '0';
  EXPECT_EQ(lead, "00001111");
  EXPECT_EQ(kanji, 1);
  host_set_mbchar_override(
      [](unsigned char *, int, int *width) { return *width = 1, 0; });
  EXPECT_EQ(At("a", {0}), "0/1 ");
  host_set_mbchar_override(nullptr);
  EXPECT_EQ(At("a", {0}), "1/1 ");
  host_set_charset(HOST_EUCJP);
  // EUC-JP: あ A4A2, kana ｱ 8EB1, JIS X 0212 8FB0A1.  Each row is asked at
  // every index; a trail byte answers for its whole character only when more
  // of it follows.  The line editor erases by the answer two before the end.
  const struct {
    std::string bytes, answers;
  } euc[] = {
      {"\244\242\244\244", "2/2 1/1 2/2 1/1 "},                 // あい
      {"\244\242b", "2/2 1/1 1/1 "},                            // あb
      {"\216\261\244\242\216\262", "2/1 1/1 2/2 1/1 2/1 1/1 "}, // ｱあｲ
      {"a\217\260\241\244\242", "1/1 3/2 3/2 1/1 2/2 1/1 "},    // a, 8F, あ
      {"\244\242\217\260\241", "2/2 1/1 3/2 3/2 1/1 "},         // あ, 8F
      {"\216\261\217\260\241b", "2/1 1/1 3/2 3/2 1/1 1/1 "},    // ｱ, 8F, b
      {"\244b\217\260c", "1/1 1/1 1/1 1/1 1/1 "},               // stray leads
  };
  for (const auto &row : euc) {
    std::string got;
    for (size_t i = 0; i < row.bytes.size(); i++)
      got += At(row.bytes, {int(i)});
    EXPECT_EQ(got, row.answers) << "EUC-JP row " << &row - euc;
  }
  unsigned char kana[] = {0x8E, 0}, jis[] = {0x8F, 0xB0, 0, 0};
  EXPECT_EQ(Stream_isn_mbchar(kana, 0, &w) * 10 + Stream_isn_mbchar(jis, 5, &wc), 23);
  EXPECT_EQ(w * 10 + wc, 12);
  EXPECT_TRUE(charset_mode == 1 && Type_is_kanji1(0xA1) && Type_is_kanji1(0x8F) &&
              Type_is_kanji1(0x8E) && Type_iskana1(0x8E) && !Type_is_kanji1(0xA0));
  host_set_charset(HOST_SINGLE);
  EXPECT_EQ(At("\343\201\202", {0}), "1/1 ");
  EXPECT_TRUE(kanji == 0 && !Type_is_kanji1(0xE3));
  host_set_charset(HOST_UTF8);
}

std::string seen, script; // what the console callbacks saw; what get answers, then -2
size_t next_key;

int fake_put(int ch, QxStream) {
  seen += std::to_string(ch) + " ";
  return ch;
}
int fake_get(void *ctx, QxStream) {
  if (ctx != host_context()) return -3;
  return next_key < script.size() ? script[next_key++] : -2;
}
int fake_flush(void *, QxStream) {
  seen += "flush ";
  return 0;
}

// Catches: a console handle within 32 bits or not leading to its record; output
// not passed byte for byte (signed chars, end-of-line 31, printf counts);
// pushback order or flush, the get context, the token error flag; and a log that
// changes codes, does not fail as told, or writes after close.
TEST(Host, Streams) {
  host_init(0, nullptr);
  ConsoleState record{};
  QxStream con = Stream_MakeConStreamInstance(&record, fake_put, fake_get, fake_flush,
                                              PutAtom(0, "user"));
  EXPECT_GT(con, QxStream(1) << 32);
  EXPECT_EQ(Stream_GetStreamCon(con), &record);
  Stream__sputc('a', con), Stream_sputc(31, con), Stream__sputc(-29, con);
  EXPECT_EQ(Stream_sprnt(con, "[%d]", 12), 4);
  EXPECT_EQ(Stream_sprntln(con, "%s", "\xC3\xA9"), 3);
  EXPECT_EQ(host_flush(con), 0);
  EXPECT_EQ(seen, "97 31 227 91 49 50 93 195 169 31 flush ");
  script = "x\037";
  for (int c : {'b', 'a'})
    host_ungetc(c, con);
  std::string got;
  for (int i = 0; i < 5; i++)
    got += std::to_string(host_getc(con)) + " ";
  EXPECT_EQ(got, "97 98 120 31 -2 ");
  host_ungetc('a', con), S_FlushUngetbuff(con);
  EXPECT_EQ(host_getc(con), -2);
  host_set_token_error(con);
  bool set = Stream_IsTokenError(con);
  Stream_ClearErrorInfo(con);
  EXPECT_TRUE(set && !Stream_IsTokenError(con));

  QxStream m = host_open_memory();
  for (int c : {0x61, 31, 0x1234, -5})
    Stream__sputc(c, m);
  size_t n = 0;
  const int *codes = host_memory_codes(m, &n);
  EXPECT_EQ(std::vector<int>(codes, codes + n), (std::vector<int>{'a', 31, 0x1234, -5}));
  host_memory_fail(m, 1);
  EXPECT_EQ(Stream_sprnt(m, "abc"), -1);
  QxStream f = host_open_file("/dev/full", "w");
  ASSERT_NE(f, 0);
  EXPECT_EQ(Stream__sputc('a', f), -1);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOSPC));
  EXPECT_EQ(Stream_sclose(f), 0);
  EXPECT_EQ(Stream__sputc('b', f), -1);
}

// Catches: unification that binds bound terms, takes an atom for an integer or
// ignores references; woken goals not registered or their failure lost; a local
// overflow that moves the arguments; wrong integer evaluation or errors.
TEST(Host, UnificationAndEvaluation) {
  host_args_reset();
  BuiltinFrame frame{};
  TermCell *g = host_global_var();
  TermCell *r = host_push(host_ref(g)), *i = host_push(host_int(80));
  TermCell *at = host_push(host_atom(QX_ATOM_CURSOR_ON)), *b = host_push(host_var4());
  TermCell *bad = host_push(host_var());
  std::string u; // (braced lists are evaluated in order)
  for (int ok :
       {unify_intE(&frame, i, 80), unify_intE(&frame, i, 81),
        unify_intE_ex(&frame, at, 72), unify_atomE_ex(&frame, at, QX_ATOM_CURSOR_OFF),
        unify_atomE_ex(&frame, b, QX_ATOM_CURSOR_OFF), unify_intE(&frame, r, 7)})
    u += std::to_string(ok);
  EXPECT_EQ(u, "100011");
  int64_t v = 0; // and through the reference:
  QxAtom atom = 0;
  EXPECT_TRUE(host_get_atom(b, &atom) && atom == QX_ATOM_CURSOR_OFF &&
              host_get_int(g, &v) && v == 7);
  host_freeze(bad, 0);
  frozen_goal_register = nullptr; // as the module's prologue does
  EXPECT_EQ(unify_intE(&frame, bad, 1), 1);
  EXPECT_NE(frozen_goal_register, nullptr);
  EXPECT_EQ(unify_after_call(&frame), 0);
  TermCell *top = next_var_cell;
  host_force_local_overflow(), LocalOverflow();
  EXPECT_LT(next_var_cell, var_bottom);
  EXPECT_EQ(next_var_cell, top) << "the arguments moved";
  TermCell five = host_int(5);
  auto e2 = [](const char *op, int64_t a, int64_t b) {
    return host_expr2(op, host_int(a), host_int(b));
  };
  auto ev = [](TermCell e) { // the value and the last error text
    std::string v = std::to_string(Numeric_s_num_eval_int(&e));
    return v + host_last_engine_error();
  };
  host_reset_counters();
  std::string got;
  for (const std::string &r :
       {ev(host_ref(&five)), ev(host_expr2("*", e2("+", 2, 3), host_int(4))),
        ev(e2("//", -7, 2)), ev(e2("mod", -7, 2)), ev(e2("mod", 7, -2)),
        ev(e2("-", 1, 10)), ev(host_expr1("-", host_int(3))), ev(e2("//", 1, 0)),
        ev(host_expr2("+", host_int(1), host_atom_named("foo")))})
    got += r + ";";
  EXPECT_EQ(got, "5;20;-3;1;-1;-9;-3;0evaluation_error(zero_divisor);0type_error("
                 "evaluable, foo/0);");
}

} // namespace
