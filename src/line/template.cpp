// Template editing at the top level: the newest history line (or a recalled
// one) walked through while typing; characters are copied, skipped or typed
// over, and ERASE walks back through it.
#include "module.h"

// Length of the template character at `pos`, never past its terminating NUL.
static int TemplateCharLength(int pos) {
  int width;
  int n = CharLength(edit.tmpl + pos, pos, &width);
  int k = 0;
  while (k < n && pos + k < QX_LINE_MAX && edit.tmpl[pos + k] != 0)
    k++;
  return k < 1 ? 1 : k;
}

// Copies one template character into the line with echo, marking its bytes
// as taken.
static void CopyOneChar(ConsoleState *con) {
  int n = TemplateCharLength(edit.tmpl_pos);
  for (int i = 0; i < n; i++) {
    unsigned char b = edit.tmpl[edit.tmpl_pos];
    con->template_mark[edit.tmpl_pos] = b;
    AppendEchoed(con, b);
    edit.tmpl_pos++;
  }
}

// COPY_CHAR: copies the next template character unless the template is used
// up or the line would pass 255 bytes (then the bell).
void CopyCharKey(ConsoleState *con) {
  edit.insert_mode = 0;
  edit.advanced = 0;
  if (edit.tmpl[edit.tmpl_pos] == 0) {
    C_BELL();
    return;
  }
  if (con->line_len + TemplateCharLength(edit.tmpl_pos) > QX_LINE_MAX - 1) {
    C_BELL();
    return;
  }
  CopyOneChar(con);
}

// Copies the rest of the template; stops quietly at its end and with the
// bell before a character that would take the line past 255 bytes.
void CopyFromTemplate(ConsoleState *con) {
  while (edit.tmpl[edit.tmpl_pos] != 0) {
    if (con->line_len + TemplateCharLength(edit.tmpl_pos) > QX_LINE_MAX - 1) {
      C_BELL();
      return;
    }
    CopyOneChar(con);
  }
}

// SKIP_CHAR: passes over the next template character, marking it skipped;
// the line and the screen do not change.
void SkipCharKey(ConsoleState *con) {
  edit.insert_mode = 0;
  edit.advanced = 0;
  if (edit.tmpl[edit.tmpl_pos] == 0) {
    C_BELL();
    return;
  }
  int n = TemplateCharLength(edit.tmpl_pos);
  for (int i = 0; i < n; i++)
    con->template_mark[edit.tmpl_pos + i] = 0;
  edit.tmpl_pos += n;
}

// KILL_LINE: erases the shown line and starts again from the template's
// beginning; the template and its marks stay.
void KillLineKey(ConsoleState *con) {
  EraseShownLine(con);
  con->line_len = 0;
  edit.tmpl_pos = 0;
  edit.insert_mode = 0;
  edit.advanced = 0;
}

// After a typed byte (top level, insert off): a byte that starts a character
// replaces one template character; a byte that continues a multibyte
// character being typed does not move the template.
void AdvanceTemplate(ConsoleState *, int is_tail) {
  if (edit.tmpl[edit.tmpl_pos] == 0) return;
  if (is_tail) {
    edit.advanced = 0;
    return;
  }
  edit.tmpl_pos += TemplateCharLength(edit.tmpl_pos);
  edit.advanced = 1;
}

// The start of the template character that byte index pos - 1 belongs to.
// The template's characters are found by walking it from its start with the
// engine's lengths (it holds at most 256 bytes): a step back never lands
// inside a multibyte character, whichever of its bytes the engine would
// answer for.  For single-byte text this is pos - 1.
static int PrevCharStart(int pos) {
  int start = 0;
  for (int i = 0; i < pos;) {
    start = i;
    i += TemplateCharLength(i);
  }
  return start;
}

// Moves the template position back one character; when that character had
// been skipped, on back over the skipped ones to the nearest character before
// them that was taken (the character at index 0 is never looked at: the
// position then becomes 0).  Marks are read at a character's first byte.
void StepBackTemplate(ConsoleState *con) {
  edit.tmpl_pos = PrevCharStart(edit.tmpl_pos);
  if (edit.tmpl_pos == 0 || con->template_mark[edit.tmpl_pos] != 0) return;
  int k = PrevCharStart(edit.tmpl_pos);
  while (k >= 1 && con->template_mark[k] == 0)
    k = PrevCharStart(k);
  edit.tmpl_pos = k >= 1 ? k : 0;
}

// Erases the displayed input line, the cursor being just after it: its
// characters, found by walking the line from its start, are erased one by
// one from its end, each as ERASE erases one, and line_len ends at 0.
// (Stepping back one byte position per column, as a plain count of the
// line's columns would, leaves a byte behind for every character that has
// more bytes than columns, é or 日, and cannot find the characters above the
// blank that a character too wide for a row's last column left.)
void EraseShownLine(ConsoleState *con) {
  int start[QX_LINE_MAX], chars = 0;
  for (int i = 0; i < con->line_len && chars < QX_LINE_MAX;) {
    int width;
    start[chars++] = i;
    i += CharLength(con->line_buf + i, i, &width);
  }
  while (chars > 0) {
    int from = start[--chars], width;
    CharLength(con->line_buf + from, from, &width);
    EraseLastChar(con, con->line_len - from, width);
  }
}
