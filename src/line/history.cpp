// The history: a ring of the last 20 top-level lines, newest first; recall,
// store and list.
#include "module.h"

// The entry k steps older than the newest.
static unsigned char *Entry(ConsoleState *con, int k) {
  return con->history[(con->history_head + k) % QX_HISTORY_SLOTS];
}

// Offers the line to the ring: every line but the empty one, "?" and "?-" is
// stored as the newest entry (and as the marks of the next template).
void StoreHistoryLine(ConsoleState *con) {
  int n = con->line_len;
  const unsigned char *b = con->line_buf;
  if (n == 0 || (n == 1 && b[0] == '?') || (n == 2 && b[0] == '?' && b[1] == '-')) return;
  con->history_head = (con->history_head + QX_HISTORY_SLOTS - 1) % QX_HISTORY_SLOTS;
  unsigned char *slot = con->history[con->history_head];
  for (int i = 0; i < n; i++)
    slot[i] = con->template_mark[i] = b[i];
  slot[n] = con->template_mark[n] = 0;
}

// Replaces the typed line by a history entry, shown and copied as template.
static void Recall(ConsoleState *con, unsigned char *entry) {
  edit.tmpl = entry;
  EraseShownLine(con);
  con->line_len = 0;
  edit.tmpl_pos = 0;
  edit.insert_mode = 0;
  edit.advanced = 0;
  CopyFromTemplate(con);
}

// Rings the bell for a recall key that found nothing to recall.
static void NoRecall(void) {
  C_BELL();
  edit.insert_mode = 0;
  edit.advanced = 0;
}

// HIST_PREV: the newest entry first, then one step older each time.
void HistPrevKey(ConsoleState *con) {
  if (edit.first_recall) {
    if (Entry(con, 0)[0] == 0) return NoRecall();
    Recall(con, Entry(con, 0));
    edit.first_recall = 0;
    return;
  }
  if (edit.browse + 1 >= QX_HISTORY_SLOTS || Entry(con, edit.browse + 1)[0] == 0)
    return NoRecall();
  edit.browse++;
  Recall(con, Entry(con, edit.browse));
}

// HIST_NEXT: one step newer, never past the newest entry.
void HistNextKey(ConsoleState *con) {
  if (edit.browse == 0) return NoRecall();
  edit.browse--;
  Recall(con, Entry(con, edit.browse));
}

// HIST_STORE: stores the line so far without ending it and makes the newest
// entry the template, positioned after the line.
void HistStoreKey(ConsoleState *con) {
  StoreHistoryLine(con);
  edit.tmpl = con->history[con->history_head];
  edit.tmpl_pos = con->line_len;
  edit.browse = 0;
  edit.advanced = 0;
}

// HIST_LIST: shows the typed part with the key in caret form, then the ring
// newest first, numbered; the typed part leaves the line, and editing goes on
// at the cursor after the engine's quit action.
void HistListKey(ConsoleState *con, QxStream stream) {
  if (Entry(con, 0)[0] == 0) {
    C_BELL();
    edit.advanced = 0;
    return;
  }
  LogInputLine(con);
  PrintCharVisible(stream, con->edit_keys[HIST_LIST]);
  Stream__sputc(31, stream);
  Stream_sprntln(stream, "  HISTORY");
  for (int k = 0; k < QX_HISTORY_SLOTS && Entry(con, k)[0] != 0; k++) {
    Stream_sprnt(stream, "%2d: ", k + 1);
    for (const unsigned char *p = Entry(con, k); *p; p++)
      Stream__sputc((signed char)*p, stream);
    Stream__sputc(31, stream);
  }
  con->line_len = 0;
  edit.advanced = 0;
  Main_Quit();
}
