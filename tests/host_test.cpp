// Tests of the engine stand-in (host/): only what the module relies on and
// no module test sees on its own.
#include "host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {
using namespace std::string_literals;

// Catches wrong lengths, widths or lead bytes (also as a signed char): UTF-8
// mid-character, four-byte, each length's first and last lead, combining, stray, a look
// back before the buffer, a row cut by a 0; EUC-JP kanji, kana, JIS X 0212, stray leads;
// single bytes.
TEST(Host, CharsetAnswers) {
  host_init(0, nullptr);
  const struct {
    int set;
    std::string bytes;
    int skip;            // bytes before the caller's buffer: never looked at
    std::string answers; // "length/width " asked at each index (skip on)
    std::string leads;   // per byte: Type_is_kanji1 + 2 * Type_iskana1
  } rows[] = {
      {HOST_UTF8, "\343\201\202a", 0, "3/2 3/2 1/1 1/1 ", "1000"},
      {HOST_UTF8, "\360\237\230\200\314\201", 0, "4/2 4/2 4/2 1/1 2/0 1/1 ", "100010"},
      {HOST_UTF8, "\201a\377\301\365", 0, "1/1 1/1 1/1 1/1 1/1 ", "00000"},
      {HOST_UTF8, "\364\217\277\277", 0, "4/1 4/1 4/1 1/1 ", "1000"},
      {HOST_UTF8, "\302\240\337\200\357\274\241", 0, "2/1 1/1 2/1 1/1 3/2 3/2 1/1 ",
       "1010100"},
      {HOST_UTF8, "\343\201\202", 1, "1/1 1/1 ", "00"},
      {HOST_UTF8, "\343\201\0"s, 0, "3/2 1/1 1/1 ", "100"},
      // あ A4A2, kana ｱ 8EB1, JIS X 0212 8FB0A1.  A trail byte answers for
      // its whole character only when more of it follows.
      {HOST_EUCJP, "\244\242\244\244", 0, "2/2 1/1 2/2 1/1 ", "1111"},
      {HOST_EUCJP, "\244\242b", 0, "2/2 1/1 1/1 ", "110"},
      {HOST_EUCJP, "\216\261\244\242\216\262", 0, "2/1 1/1 2/2 1/1 2/1 1/1 ", "311131"},
      {HOST_EUCJP, "a\217\260\241\244\242", 0, "1/1 3/2 3/2 1/1 2/2 1/1 ", "011111"},
      {HOST_EUCJP, "\244\242\217\260\241", 0, "2/2 1/1 3/2 3/2 1/1 ", "11111"},
      {HOST_EUCJP, "\216\261\217\260\241b", 0, "2/1 1/1 3/2 3/2 1/1 1/1 ", "311110"},
      {HOST_EUCJP, "\244b\217\260c\240", 0, "1/1 1/1 1/1 1/1 1/1 1/1 ", "101100"},
      {HOST_EUCJP, "\216\0\217\260\0"s, 0, "2/1 1/1 3/2 3/2 1/1 ", "30110"},
      {HOST_SINGLE, "\343\201\202", 0, "1/1 1/1 1/1 ", "000"},
  };
  for (const auto &row : rows) {
    host_set_charset(row.set);
    std::string bytes = row.bytes, got, leads;
    auto *p = reinterpret_cast<unsigned char *>(&bytes[0]);
    for (int i = row.skip; i < int(bytes.size()); i++) {
      int w = -1, n = Stream_isn_mbchar(p + i, i - row.skip, &w);
      got += std::to_string(n) + "/" + std::to_string(w) + " ";
      leads += char('0' + Type_is_kanji1(bytes[i]) + 2 * Type_iskana1(bytes[i]));
    }
    EXPECT_EQ(got, row.answers) << "row " << &row - rows;
    EXPECT_EQ(leads, row.leads) << "row " << &row - rows;
  }
  host_set_charset(HOST_UTF8);
}

// Catches a console handle within 32 bits (hiding a module that truncates it) or not
// leading to its record; a log that changes codes; a file error without its reason.
TEST(Host, Streams) {
  host_init(0, nullptr);
  ConsoleState record{};
  QxStream con = Stream_MakeConStreamInstance(&record, nullptr, nullptr, nullptr, 0);
  EXPECT_TRUE(con > QxStream(1) << 32 && Stream_GetStreamCon(con) == &record);
  QxStream m = host_open_memory();
  for (int c : {0xE3, 31, 0x1234, -5})
    Stream__sputc(c, m);
  size_t n = 0;
  const int *codes = host_memory_codes(m, &n);
  EXPECT_EQ(std::vector<int>(codes, codes + n), (std::vector<int>{0xE3, 31, 0x1234, -5}));
  EXPECT_EQ(Stream__sputc('a', host_open_file("/dev/full", "w")), -1);
  EXPECT_STREQ(Stream_errmes(), std::strerror(ENOSPC));
}

} // namespace
