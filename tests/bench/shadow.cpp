// The module's shadow screen: reporting it from the child, and comparing it
// with what the terminal shows.
#include "bench.h"
#include "console.h"

#include <algorithm>

namespace bench {

using testing::AssertionFailure;

void ReportShadow(const ConsoleState *con, int (*num_cur_x)(int x, int y)) {
  if (!con || !con->shadow || con->rows <= 0 || con->columns <= 0)
    return Report("shadow.missing", "1");
  Report("shadow.rows", con->rows);
  Report("shadow.columns", con->columns);
  Report("shadow.cur_x", con->cur_x);
  Report("shadow.cur_y", con->cur_y);
  for (int r = 0; r < con->rows; ++r)
    Report("shadow.row." + std::to_string(r),
           std::string(reinterpret_cast<const char *>(con->shadow[r]),
                       static_cast<size_t>(con->columns) * 4));
  Report("shadow.col", num_cur_x(con->cur_x, con->cur_y));
}

AssertionResult ReadShadow(const Scenario &s, Shadow *out) {
  if (s.Has("shadow.missing"))
    return AssertionFailure() << "the child has no shadow screen to report";
  if (!s.Has("shadow.rows"))
    return AssertionFailure() << "the child did not call ReportShadow";
  auto num = [&](const char *key) { return std::stoi(s.Get(key)); };
  Shadow &sh = *out = Shadow();
  sh.rows = num("shadow.rows"), sh.columns = num("shadow.columns");
  sh.cur_x = num("shadow.cur_x"), sh.cur_y = num("shadow.cur_y");
  sh.col = num("shadow.col");
  for (int r = 0; r < sh.rows; ++r)
    sh.row_bytes.push_back(s.Get("shadow.row." + std::to_string(r)));
  return testing::AssertionSuccess();
}

std::string ShadowRowToText(const std::string &bytes, int columns) {
  std::string out;
  int col = 0;
  for (size_t i = 0, start = 0; i < bytes.size() && col < columns; start = i) {
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

// Row by row in display cells once the sizes agree; a failure names the first
// differing row and column.
static AssertionResult ScreenMatches(const Scenario &s, const Shadow &sh) {
  std::vector<std::string> screen = s.Screen();
  int cols = screen.empty() ? 0 : static_cast<int>(SplitCells(screen[0]).size());
  if (sh.rows != static_cast<int>(screen.size()) || sh.columns != cols)
    return AssertionFailure() << "the shadow is " << sh.rows << "x" << sh.columns
                              << " but the terminal is " << screen.size() << "x" << cols;
  for (int r = 0; r < sh.rows; ++r) {
    std::string want = ShadowRowToText(sh.row_bytes[r], sh.columns);
    std::vector<std::string> a = SplitCells(screen[r]), b = SplitCells(want);
    auto c = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
    if (a != b)
      return AssertionFailure()
             << "row " << r << ", column " << c << " differs:\n  terminal: |" << screen[r]
             << "|\n  shadow:   |" << want << "|\n  screen:\n"
             << s.ScreenText();
  }
  return testing::AssertionSuccess();
}

// At row cur_y, display column col (the right edge is the last column).
static AssertionResult CursorMatches(const Scenario &s, const Shadow &sh) {
  Pos want{sh.cur_y, sh.col >= sh.columns ? sh.columns - 1 : sh.col}, got = s.Cursor();
  if (got == want) return testing::AssertionSuccess();
  return AssertionFailure() << "the terminal's cursor is at row " << got.row
                            << ", column " << got.col << " but the shadow puts it at row "
                            << want.row << ", column " << want.col << " (cur_x "
                            << sh.cur_x << ", display column " << sh.col << ")";
}

AssertionResult ShowsShadow(const Scenario &s, std::optional<Shadow> sh) {
  AssertionResult ok = sh ? testing::AssertionSuccess() : ReadShadow(s, &sh.emplace());
  if (ok) ok = ScreenMatches(s, *sh);
  return ok ? CursorMatches(s, *sh) : ok;
}

} // namespace bench
