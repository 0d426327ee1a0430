// The console stream's get-character callback: hands out the current line
// byte by byte and, when it is used up, prompts by input mode and edits the
// next one.
#include "module.h"

// The top-level prompts, by debug_flag and s_mode_flag.
static const char *const toplevel_prompts[4] = {"!!", "||", "! ", "| "};

// Clears a token error pending on the engine's current input stream, ending
// the bad input with an end-of-line first.
static void ResetTokenError(void) {
  QxStream s = stream_in[sti_cnt];
  if (Stream_IsTokenError(s)) {
    Stream_sputc(31, s);
    Stream_ClearErrorInfo(s);
  }
}

// Prints the prompt that the input mode calls for.
static void Prompt(ConsoleState *con, QxStream stream) {
  if (con->input_mode == TOPLEVEL) {
    if (break_level) Stream_sprntln(stream, "[%d]", break_level);
    int entry = (debug_flag ? 0 : 2) + (s_mode_flag ? 0 : 1);
    Stream_sprnt(stream, toplevel_prompts[entry]);
  } else if (con->input_mode == NORMAL) {
    Stream_sprnt(stream, "%s", Atomman_AtomNo2AtomName(con->prompt));
    if (con->prompt_postfix != 1) {
      Stream_sprnt(stream, "%s", Atomman_AtomNo2AtomName(con->prompt_postfix));
      if (s_debugger_command_response_terminator_flag) Stream_sputc(4, C_GetStream());
    }
  }
}

// Returns the next byte of the console's input (0..255), or -1 for end of
// file; edits a new line, with its prompt, whenever the current one is used
// up or an interrupt left it empty.
int S_ConGetc(void *ctx, QxStream stream) {
  ConsoleState *con = (ConsoleState *)Stream_GetStreamCon(stream);
  if (con->line_len-- <= 0) {
    do {
      ResetTokenError();
      Prompt(con, stream);
      EditLine(ctx, con, stream);
    } while (con->line_len-- <= 0);
  }
  int byte = *con->line_pos++;
  return byte == (con->eof_char & 0xff) ? -1 : byte;
}
