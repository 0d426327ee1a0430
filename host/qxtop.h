// qxtop: a small interactive top level over the console module, written the
// way an engine uses the module.  This header is shared by its three parts:
// qxtop.cpp (start-up and the read-run loop), qxtop_parse.cpp (the query
// reader) and qxtop_goals.cpp (the goals and the answers), plus
// qxtop_terms.cpp (term cells built from parsed terms, and written back).
#ifndef QXTOP_H
#define QXTOP_H

#include "host.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxtop {

// ---- The module, as found with dlsym --------------------------------------

using Entry0 = int (*)(void);
using EntryN = int64_t (*)(BuiltinFrame *);

struct Module {
  ConsoleState **(*SetTerminal)(void);
  void (*InitTermIO)(void);
  void (*SaveTermIO)(int);
  void (*RestoreTermIO)(int);
  void (*ExittingMessage)(void);
  void (*C_SetSigState)(int);
  QxStream (*C_GetStream)(void);
  void (*C_TOPLEVEL)(void);
  void (*C_NORMAL)(void);
  void (*C_NOPROMPT)(void);
  void (*C_SetPrompt)(QxAtom);
  QxAtom (*C_GetPrompt)(void);
  void (*C_SetPromptPostfix)(QxAtom);
  QxAtom (*C_GetPromptPostfix)(void);
  void (*C_SetLog)(QxStream);
  QxStream (*C_GetLog)(void);
  void (*C_NewLine)(void);
  void (*C_SetCursor)(int, int);
  int (*C_keyback)(int64_t);
  Entry0 P0_d_clear, P0_d_cleol, P0_d_cleos, P0_d_redisp;
  EntryN P1_d_cursor, P2_d_cursor, P2_d_pos, P2_d_screen, P2_d_scroll;
  EntryN P1_d_keyin, P1_d_keypeek, P1_d_keylength, P1_d_keyback;
};

// The one session: the module, the console stream, and what the engine's quit
// action left for the top level to do.
struct Session {
  Module m{};
  QxStream user = 0;
  int argc = 0;
  char **argv = nullptr;
  bool quit_requested = false; // Main_Quit ran while a top-level line was read
  QxAtom saved_prompt = 0;     // the prompt to put back after that line
  QxAtom saved_postfix = 1;    // and the prompt postfix
  QxStream saved_log = 0;      // the log, held back from that line
};

Session &session();

// ---- Output on the console stream -------------------------------------------

// Writes text to `user` as it is (no format interpretation).
void Put(const std::string &text);
// Writes text and an end of line to `user`.
void PutLine(const std::string &text);
// Starts a blank row for a message: ends the current output line if the
// cursor is not at its start, then clears the row.
void FreshLine();

// ---- Parsed queries ----------------------------------------------------------

struct Term {
  enum Kind { INT, ATOM, VAR, CONS, EXPR };
  Kind kind = INT;
  int64_t number = 0;     // INT: the value; VAR: index into Query::vars
  std::string name;       // ATOM: the name; EXPR: the operator
  std::vector<Term> args; // CONS: head, tail; EXPR: one or two operands
};

struct Goal {
  std::string name;
  std::vector<Term> args;
  size_t offset = 0; // where the goal starts in the query text
};

struct Query {
  std::vector<Goal> goals;
  std::vector<std::string> vars; // by index; "_" for each anonymous one
};

struct SyntaxError {
  std::string message;
  size_t offset = 0; // byte offset into the query text
};

// Where the query in `text` ends: the offset of its final '.', or npos when
// more lines are needed (no end yet, or inside a quoted atom).
size_t FindQueryEnd(const std::string &text);
// Parses text[0 .. end], `end` being FindQueryEnd's answer.  Never throws and
// never recurses without bound; on false `err` says what and where.
bool ParseQuery(const std::string &text, size_t end, Query *q, SyntaxError *err);
// "line L, column C" for a byte offset into a (possibly multi-line) text.
std::string Where(const std::string &text, size_t offset);

// ---- Term cells -------------------------------------------------------------

// Global cells a term needs, so that a query can be refused before it would
// exhaust the stand-in's global area.
size_t CellsNeeded(const Term &t);
// Builds the cell for a term; variables become references to `vars`.
TermCell BuildCell(const Term &t, const std::vector<TermCell *> &vars);
// The text of a term cell as write/1 shows it; `quoted` quotes atoms that
// would not read back as the same atom.
std::string CellText(TermCell *cell, bool quoted);

// ---- Goals -------------------------------------------------------------------

// Runs a parsed query and prints its answers, "yes", "no" or an error.
void RunQuery(const Query &q);
// The goals and the editing keys, one per line, for help/0 and --help.
std::vector<std::string> HelpLines();

} // namespace qxtop

#endif
