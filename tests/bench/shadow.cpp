// The module's shadow screen: reporting it from the child, and comparing it
// with what the terminal shows.
#include "bench.h"
#include "console.h"

namespace bench {

// Child side; see bench.h.
void ReportShadow(const ConsoleState *con, int (*num_cur_x)(int x, int y)) {
  if (!con || !con->shadow || con->rows <= 0 || con->columns <= 0) {
    Report("shadow.missing", "1");
    return;
  }
  Report("shadow.rows", con->rows);
  Report("shadow.columns", con->columns);
  Report("shadow.cur_x", con->cur_x);
  Report("shadow.cur_y", con->cur_y);
  for (int r = 0; r < con->rows; ++r)
    Report("shadow.row." + std::to_string(r),
           std::string(reinterpret_cast<const char *>(con->shadow[r]),
                       static_cast<size_t>(con->columns) * 4));
  if (num_cur_x) Report("shadow.col", num_cur_x(con->cur_x, con->cur_y));
}

// Parent side: the reported shadow, or why it cannot be read.
testing::AssertionResult ReadShadow(const Scenario &s, Shadow *out) {
  if (s.Has("shadow.missing"))
    return testing::AssertionFailure() << "the child has no shadow screen to report";
  if (!s.Has("shadow.rows"))
    return testing::AssertionFailure() << "the child did not call ReportShadow";
  Shadow sh;
  sh.rows = std::stoi(s.Get("shadow.rows"));
  sh.columns = std::stoi(s.Get("shadow.columns"));
  sh.cur_x = std::stoi(s.Get("shadow.cur_x"));
  sh.cur_y = std::stoi(s.Get("shadow.cur_y"));
  if (s.Has("shadow.col")) sh.col = std::stoi(s.Get("shadow.col"));
  for (int r = 0; r < sh.rows; ++r)
    sh.row_bytes.push_back(s.Get("shadow.row." + std::to_string(r)));
  *out = sh;
  return testing::AssertionSuccess();
}

// See bench.h: the shadow's bytes laid out in display cells.  A byte that
// begins no printable character (a control, DEL, a stray byte) shows as '?'.
std::string ShadowRowToText(const std::string &bytes, int columns) {
  std::string out;
  int col = 0;
  size_t i = 0;
  while (i < bytes.size() && col < columns) {
    size_t start = i;
    char32_t cp = DecodeUtf8(bytes, i);
    int w = CharWidth(cp);
    bool stray = static_cast<unsigned char>(bytes[start]) >= 0x80 && i == start + 1;
    if (cp < 0x20 || w < 0 || stray) cp = '?', w = 1;
    if (col + w > columns) break;
    out += EncodeUtf8(cp);
    col += w;
  }
  return out + std::string(static_cast<size_t>(columns - col), ' ');
}

// The first column where two rows differ, or -1.
static int FirstDifference(const std::string &a, const std::string &b) {
  std::vector<std::string> ca = SplitCells(a), cb = SplitCells(b);
  size_t n = std::max(ca.size(), cb.size());
  for (size_t c = 0; c < n; ++c) {
    std::string x = c < ca.size() ? ca[c] : "", y = c < cb.size() ? cb[c] : "";
    if (x != y) return static_cast<int>(c);
  }
  return a == b ? -1 : static_cast<int>(n);
}

// Row by row in display cells, against the reported shadow.
testing::AssertionResult ScreenEqualsShadow(const Scenario &s) {
  Shadow sh;
  testing::AssertionResult ok = ReadShadow(s, &sh);
  return ok ? ScreenEqualsShadow(s, sh) : ok;
}

// Row by row in display cells; the sizes must agree first.
testing::AssertionResult ScreenEqualsShadow(const Scenario &s, const Shadow &sh) {
  std::vector<std::string> screen = s.Screen();
  int cols = screen.empty() ? 0 : static_cast<int>(SplitCells(screen[0]).size());
  if (sh.rows != static_cast<int>(screen.size()) || sh.columns != cols)
    return testing::AssertionFailure()
           << "the shadow is " << sh.rows << "x" << sh.columns << " but the terminal is "
           << screen.size() << "x" << cols;
  for (int r = 0; r < sh.rows; ++r) {
    std::string want = ShadowRowToText(sh.row_bytes[r], sh.columns);
    int c = FirstDifference(screen[r], want);
    if (c >= 0)
      return testing::AssertionFailure()
             << "row " << r << ", column " << c << " differs:\n  terminal: |" << screen[r]
             << "|\n  shadow:   |" << want << "|\n  screen:\n"
             << s.ScreenText();
  }
  return testing::AssertionSuccess();
}

// Against the reported shadow.
testing::AssertionResult CursorEqualsShadow(const Scenario &s) {
  Shadow sh;
  testing::AssertionResult ok = ReadShadow(s, &sh);
  return ok ? CursorEqualsShadow(s, sh) : ok;
}

// The right edge (display column == columns) shows as the last column.
testing::AssertionResult CursorEqualsShadow(const Scenario &s, const Shadow &sh) {
  if (sh.col < 0)
    return testing::AssertionFailure() << "the child reported no shadow.col (pass "
                                          "_Curses_num_cur_x to ReportShadow)";
  Pos want{sh.cur_y, sh.col >= sh.columns ? sh.columns - 1 : sh.col};
  Pos got = s.Cursor();
  if (got == want) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "the terminal's cursor is at row " << got.row << ", column " << got.col
         << " but the shadow puts it at row " << want.row << ", column " << want.col
         << " (cur_x " << sh.cur_x << ", display column " << sh.col << ")";
}

// Non-fatal form of ScreenEqualsShadow.
void ExpectScreenEqualsShadow(const Scenario &s) {
  EXPECT_TRUE(ScreenEqualsShadow(s));
}

} // namespace bench
