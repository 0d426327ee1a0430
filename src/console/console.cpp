// The console record, its creation as the engine stream `user`, and the small
// accessors through which the engine sets prompts, input mode and log.
#include "module.h"

#include <string.h>

// The one console of the process; zero-initialised storage, so input_mode
// starts at TOPLEVEL and nothing is ever freed.
static ConsoleState console_record;

// Resets the fields that SetTerminal owns and registers the record as the
// stream `user`; returns the address of the engine's Console pointer.
ConsoleState **SetTerminal(void) {
  ConsoleState *con = &console_record;
  QxAtom name = PutAtom(0, "user");
  con->stream = Stream_MakeConStreamInstance(con, S_ConPutc, S_ConGetc, S_ConFlush, name);
  con->prompt = Main_DefaultPrompt();
  con->prompt_postfix = 1;
  con->log_stream = 0;
  con->typeahead_head = con->typeahead;
  con->cur_x = con->cur_y = 0;
  con->line_len = 0;
  con->line_pos = con->line_buf;
  con->keyback_count = 0;
  con->typeahead_count = 0;
  con->history_head = 0;
  for (int i = 0; i < QX_HISTORY_SLOTS; i++)
    con->history[i][0] = 0;
  con->template_mark[0] = 0;
  static const int32_t keys[10] = {0, 6, 1, 5, 17, 23, 21, 14, 20, 24};
  for (int i = 1; i < 10; i++)
    con->edit_keys[i] = keys[i];
  con->cursor_shown = 1;
  con->output_stopped = 0;
  con->scroll_line = 0;
  con->sig_state = 0;
  Console = con;
  return &Console;
}

// Returns the console stream.
QxStream C_GetStream(void) {
  return Console->stream;
}

// Sets the NORMAL-mode prompt atom.
void C_SetPrompt(QxAtom atom) {
  Console->prompt = atom;
}

// Returns the NORMAL-mode prompt atom.
QxAtom C_GetPrompt(void) {
  return Console->prompt;
}

// Sets the atom printed after the prompt (1: none).
void C_SetPromptPostfix(QxAtom atom) {
  Console->prompt_postfix = atom;
}

// Returns the prompt postfix atom.
QxAtom C_GetPromptPostfix(void) {
  return Console->prompt_postfix;
}

// Sets the log stream (0: none); the module never opens a log itself.
void C_SetLog(QxStream stream) {
  Console->log_stream = stream;
}

// Returns the log stream, 0 when there is none.
QxStream C_GetLog(void) {
  return Console->log_stream;
}

// The next line is read at the top level.
void C_TOPLEVEL(void) {
  Console->input_mode = TOPLEVEL;
}

// The next line is read as a program's input, with the prompt.
void C_NORMAL(void) {
  Console->input_mode = NORMAL;
}

// The next line is read without a prompt.
void C_NOPROMPT(void) {
  Console->input_mode = NOPROMPT;
}

// The next line is read as a command.
void C_COMMAND(void) {
  Console->input_mode = COMMAND;
}

// Releases output stopped by the stop character.
void C_Unlock(void) {
  Console->output_stopped = 0;
}

// Returns the erase key, sign-extended.
int C_GetBS(void) {
  return Console->edit_keys[ERASE];
}

// Stores the screen's columns and rows.
void C_Screen(int *columns, int *rows) {
  *columns = Console->columns;
  *rows = Console->rows;
}

// Stores the first row of the scrolling region as given; the caller keeps it
// inside the screen (a scroll clamps what it uses, never what is stored).
void C_SetScrollLine(int line) {
  Console->scroll_line = line;
}

// Ends the current output line unless the cursor is already at its start; the
// end-of-line goes through the stream, so the log sees it too.
void C_NewLine(void) {
  if (Console->cur_x != 0) Stream__sputc(31, Console->stream);
}

// Drops the rest of the current input line and the stream's pushed-back
// characters, so that the next read edits a new line.
void C_FlushInput(void) {
  Console->line_len = 0;
  S_FlushUngetbuff(Console->stream);
}

// The console has nothing to flush: every character is shown at once.
void flush_stream(void) {}

// The stream's flush callback: nothing to do.
int S_ConFlush(void *, QxStream) {
  return 0;
}
