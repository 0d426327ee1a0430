/* Operations shared between the module's own files.  None of these names is
 * exported: the library is built with hidden visibility and only the names
 * marked QX_EXPORT in console.h are visible to the engine. */
#ifndef QX_MODULE_H
#define QX_MODULE_H

#include "console.h"

#include <setjmp.h>
#include <signal.h>

/* ---- Terminal modes and the interrupt scheme (term/) -------------------- */

extern int term_ready; /* 0 until the three snapshots are taken */
extern int term_mode;  /* TermMode last applied; 0: curses not active */
void SetTermMode(int mode);

/* The interrupt's state (intr_pending), named; term/interrupt.cpp has the
 * transitions. */
enum IntrState {
  INTR_NONE = 0,     /* nothing to act on */
  INTR_RECORDED = 1, /* a reader's handler ran; the reader reading now acts */
  INTR_PASSED_ON = 2 /* the scan took it; the armed outer reader still acts */
};
extern volatile int intr_pending; /* the interrupt's state (IntrState) */
extern volatile int polling_now;  /* a read without waiting is under way */
extern jmp_buf line_jmp;          /* landing of the line editor and key built-ins */
extern jmp_buf scan_jmp;          /* landing of PollKey */

void ArmLineGuard(ConsoleState *con, QxStream stream);
void ArmKeyGuard(void);
void DisarmGuard(void);
void CheckInterrupt(jmp_buf landing);
void InterruptByKey(ConsoleState *con, QxStream stream);
void BeginScan(void);
int ScanInterrupted(void);
void EndScan(void);
void SetPollingNow(int on);
int WaitForKey(void);
extern volatile sig_atomic_t window_changed; /* SIGWINCH came since the size was read */
int ReadWindowSize(int *columns, int *rows);
int TakeWindowSize(int read_always);
/* The output path's safe point for a window change: one load when nothing
 * changed. */
static inline void FollowWindow(void) {
  if (__builtin_expect(window_changed != 0, 0)) TakeWindowSize(0);
}
int ReadGivesUp(void);

/* ---- The curses screen kept in step with raw output (screen/) ----------- */

int TermWrapsAtOnce(void);
int TermFlag(const char *cap);
const char *TermString(const char *cap);
int Refresh(void);
int RefreshSoon(void);
void SendOutputNow(void);
void RawPut(int byte);
void PutTermString(const char *cap);
void ModelScrollRegion(int top);
int RowBlankFromCursor(void);
int BeginRawRepaint(void);
void RepaintRun(int y, int col, const unsigned char *bytes, int n, int cols);
int EndRawRepaint(void);
void ModelCleared(void);
void ModelResumed(void);
void ClearTerminal(void);
int CanWriteRaw(int y, int col);
void WriteRawByte(int y, int col, int ch, int complete);
void WriteRawChar(int y, int col, const unsigned char *bytes, int n, long wc);
/* The one way in for every change to curses' screen (screen/cursesio.cpp). */
void ScrMove(int y, int x);
void ScrAddByte(int ch);
void ScrClearToEol(void);
void ScrClearToBottom(void);
void ScrClearAll(void);
void ScrRepaintAll(void);
int ScrPutChar(int ch);
int ScrReadRow(int y, long *codes, int n);
void ScrResize(int height, int width);

/* ---- Shadow screen, scrolling, echo, output (screen/) ------------------- */

void AllocShadow(void);
int ResizeShadow(ConsoleState *con, int columns, int rows);
void BlankShadow(ConsoleState *con);
int DrawnChar(ConsoleState *con, const unsigned char *row, int x, int col,
              int skip_corner, int *n, int *w);
void DrawShadowRow(ConsoleState *con, int y, int skip_corner);
int RowShownAsShadow(ConsoleState *con, int y, int skip_corner);
long ShownCode(const unsigned char *b, int n, int w);
/* ShownCode with printable ASCII, the common case, answered in line. */
static inline long ShownCodeOf(const unsigned char *b, int n, int w) {
  return n == 1 && w == 1 && b[0] >= 0x20 && b[0] <= 0x7e ? b[0] : ShownCode(b, n, w);
}
int CursorColumn(ConsoleState *con);
void ScrollUp(ConsoleState *con, int wait);
void WriteByte(ConsoleState *con, int ch, int wait, int lead_wrap);
void EndOpenChar(ConsoleState *con);
int CharOpen(void);
int LastCharRow(ConsoleState *con);
int LastCharX(void);
void LastCharMoved(unsigned char *row);
void EchoChar(ConsoleState *con, int byte);
void EraseColumn(ConsoleState *con);
void MoveToCursor(ConsoleState *con);
int S_ConPutc(int ch, QxStream stream);
void LogInputLine(ConsoleState *con);
void PrintCharVisible(QxStream stream, int code);
void DropLog(ConsoleState *con);

/* ---- Keys (keys/) -------------------------------------------------------- */

int ReadStdin(int blocking);
void TypeaheadAppend(ConsoleState *con, int byte);
int PollKey(ConsoleState *con, int blocking);
int ReadKey(ConsoleState *con, QxStream stream);
int NextKey(ConsoleState *con, QxStream stream);

/* ---- Line input (line/) -------------------------------------------------- */

/* The per-line state of the editor; one line at a time, kept outside the
 * editor's frame so that it survives the interrupt landing. */
typedef struct LineEdit {
  unsigned char *tmpl;  /* the template line: one of the history slots */
  int32_t tmpl_pos;     /* byte index into tmpl */
  int32_t insert_mode;  /* typed bytes do not advance the template */
  int32_t advanced;     /* the last typed byte advanced the template */
  int32_t browse;       /* recall offset from the newest history entry */
  int32_t first_recall; /* no HIST_PREV recall yet in this line */
  int32_t typed_tail;   /* bytes still to come of a typed multibyte char */
  /* For the byte at each index of line_buf: the byte index in the row above
   * where the shown line stopped when echoing that byte started a new row
   * before the right edge (the row's blank last column follows it); -1 when
   * its echo did not. */
  int32_t gap_x[QX_LINE_MAX];
  /* The first byte of the line still on the screen: 0, unless an echo
   * cleared a one-row scroll region that held the line's earlier bytes. */
  int32_t shown_from;
  /* Where the line's echo began (after the prompt): row and byte index, kept
   * as rows scroll and the window changes size, while `editing`.  A line
   * whose start scrolled off starts at the region's top row. */
  int32_t start_y, start_x;
  int32_t editing; /* a line is being edited: start_y and start_x hold */
  int32_t reading; /* the editor waits for a key: a resize shows the line again */
} LineEdit;

extern LineEdit edit;

int CharLength(unsigned char *bytes, int index, int *width);
int RowChar(const unsigned char *row, int len, int i, int *w);
void AppendEchoed(ConsoleState *con, int byte);
void EraseLastChar(ConsoleState *con, int n, int w);
void EditLine(void *ctx, ConsoleState *con, QxStream stream);
void ReshowLine(ConsoleState *con);
int S_ConGetc(void *ctx, QxStream stream);
int S_ConFlush(void *ctx, QxStream stream);

void AdvanceTemplate(ConsoleState *con, int is_tail);
void StepBackTemplate(ConsoleState *con);
void CopyFromTemplate(ConsoleState *con);
void EraseShownLine(ConsoleState *con);
void CopyCharKey(ConsoleState *con);
void SkipCharKey(ConsoleState *con);
void KillLineKey(ConsoleState *con);

void StoreHistoryLine(ConsoleState *con);
void HistPrevKey(ConsoleState *con);
void HistNextKey(ConsoleState *con);
void HistStoreKey(ConsoleState *con);
void HistListKey(ConsoleState *con, QxStream stream);

/* ---- Built-ins (builtins/) ---------------------------------------------- */

TermCell *Dereference(TermCell *cell);
void Prologue(BuiltinFrame *frame);
int Epilogue(BuiltinFrame *frame);

#endif /* QX_MODULE_H */
