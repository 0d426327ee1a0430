// The libvterm-backed Terminal.
#include "terminal.h"

#include <cstdint>
#include <vterm.h>

namespace bench {
namespace {

class VTermTerminal : public Terminal {
public:
  VTermTerminal(int rows, int cols, bool autowrap);
  ~VTermTerminal() override {
    vterm_free(vt_);
  }
  VTermTerminal(const VTermTerminal &) = delete;
  VTermTerminal &operator=(const VTermTerminal &) = delete;

  void Feed(const std::string &bytes) override {
    vterm_input_write(vt_, bytes.data(), bytes.size());
  }
  std::vector<std::string> Rows() const override;
  Pos Cursor() const override;
  bool CursorVisible() const override {
    return cursor_visible_;
  }
  std::string TakeReplies() override {
    std::string r;
    r.swap(replies_);
    return r;
  }
  void Resize(int rows, int cols) override;

private:
  std::string RowText(int row) const;
  static void OnOutput(const char *s, size_t len, void *user);
  static int OnTermProp(VTermProp prop, VTermValue *val, void *user);

  VTerm *vt_;
  VTermScreen *screen_;
  VTermScreenCallbacks callbacks_{};
  void Setup();
  int rows_, cols_;
  bool autowrap_;       // automatic margins (DECAWM) on
  bool alt_on_ = false; // the alternate screen is shown
  bool cursor_visible_ = true;
  std::string replies_;
};

// Sets up UTF-8 input, the alternate screen, the reply sink and, for a
// terminal without automatic margins, DECAWM off.
VTermTerminal::VTermTerminal(int rows, int cols, bool autowrap)
    : vt_(vterm_new(rows, cols)), rows_(rows), cols_(cols), autowrap_(autowrap) {
  Setup();
}

// Sets up a new libvterm instance as the constructor describes.
void VTermTerminal::Setup() {
  vterm_set_utf8(vt_, 1);
  vterm_output_set_callback(vt_, &VTermTerminal::OnOutput, this);
  screen_ = vterm_obtain_screen(vt_);
  callbacks_.settermprop = &VTermTerminal::OnTermProp;
  vterm_screen_set_callbacks(screen_, &callbacks_, this);
  vterm_screen_enable_altscreen(screen_, 1);
  vterm_screen_reset(screen_, 1);
  if (!autowrap_) Feed("\x1b[?7l");
}

// A window of the new size, in the same modes (alternate screen, cursor
// shown, automatic margins), blank: libvterm's own resize crashes now and
// then while a double-width character stands at the edge.  Forgetting what
// was shown is a stricter test: whatever follows a resize on the screen must
// come from the program's repaint.  libvterm writes past a row of one column
// for a double-width character; such a window is two columns wide inside and
// shown as its first column.
void VTermTerminal::Resize(int rows, int cols) {
  bool visible = cursor_visible_;
  vterm_free(vt_);
  vt_ = vterm_new(rows, cols < 2 ? 2 : cols);
  rows_ = rows, cols_ = cols;
  Setup();
  if (alt_on_) Feed("\x1b[?1049h");
  if (!visible) Feed("\x1b[?25l");
}

// Collects what the emulator would send back to the program.
void VTermTerminal::OnOutput(const char *s, size_t len, void *user) {
  static_cast<VTermTerminal *>(user)->replies_.append(s, len);
}

// Tracks cursor visibility and the alternate screen; other properties are
// left to libvterm.
int VTermTerminal::OnTermProp(VTermProp prop, VTermValue *val, void *user) {
  if (prop == VTERM_PROP_CURSORVISIBLE)
    static_cast<VTermTerminal *>(user)->cursor_visible_ = val->boolean != 0;
  if (prop == VTERM_PROP_ALTSCREEN)
    static_cast<VTermTerminal *>(user)->alt_on_ = val->boolean != 0;
  return 1;
}

// One row in the common format: blank cells as spaces, the continuation cell
// of a wide character (chars[0] == -1) contributes nothing.  libvterm keeps
// the surviving half when half of a double-width character is overwritten,
// deleted or shifted; a terminal shows no half characters, so such a half is
// shown blank here (as MiniTerm does).
std::string VTermTerminal::RowText(int row) const {
  std::string out;
  bool after_wide = false;
  for (int col = 0; col < cols_; ++col) {
    VTermScreenCell cell;
    vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
    bool cont = cell.chars[0] == static_cast<uint32_t>(-1);
    bool wide = !cont && cell.chars[0] && CharWidth(cell.chars[0]) == 2;
    if (cont && after_wide) {
      after_wide = false;
      continue;
    }
    after_wide = wide && cell.width == 2;
    if (cont || cell.chars[0] == 0 || (wide && !after_wide)) {
      out += ' ';
      continue;
    }
    for (int k = 0; k < VTERM_MAX_CHARS_PER_CELL && cell.chars[k]; ++k)
      out += EncodeUtf8(cell.chars[k]);
  }
  return out;
}

// All rows, top to bottom.
std::vector<std::string> VTermTerminal::Rows() const {
  std::vector<std::string> rows;
  for (int r = 0; r < rows_; ++r)
    rows.push_back(RowText(r));
  return rows;
}

// The emulator's cursor (in the last column while a wrap is pending).
Pos VTermTerminal::Cursor() const {
  VTermPos p;
  vterm_state_get_cursorpos(vterm_obtain_state(vt_), &p);
  return Pos{p.row, p.col};
}

} // namespace

// Factory for the libvterm emulator.
std::unique_ptr<Terminal> MakeVTerm(int rows, int cols, bool autowrap) {
  return std::make_unique<VTermTerminal>(rows, cols, autowrap);
}

} // namespace bench
