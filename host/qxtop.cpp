// qxtop: a small interactive top level that loads the console module the way
// the engine does and lets a person try every feature of it: queries typed at
// the module's line editor are parsed (qxtop_parse.cpp) and their goals run
// (qxtop_goals.cpp): the module's screen and key built-ins, and a few engine
// predicates for output, prompts, the log, the shell and interrupts.
//
// The engine names the module needs (Stream_*, PutAtom, unify_*, the
// globals...) come from libqxhost, which this program links: dlopen with
// RTLD_GLOBAL resolves the module's undefined names from the process.
#include "qxtop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace qxtop {

// The one session of the process, made on first use.
Session &session() {
  static Session s;
  return s;
}

// Writes text to `user` as it is: through "%s", never as a format.
void Put(const std::string &text) {
  Stream_sprnt(session().user, "%s", text.c_str());
}

// Writes text and an end of line (31) to `user`.
void PutLine(const std::string &text) {
  Stream_sprntln(session().user, "%s", text.c_str());
}

// Leaves the cursor at the start of a cleared row: ends the output line if
// the cursor is inside one, then clears the row (also in the console's copy).
void FreshLine() {
  session().m.C_NewLine();
  session().m.P0_d_cleol();
}

namespace {

// A query longer than this is refused (a line is at most 256 bytes, a query
// may take several lines).
constexpr size_t kMaxQueryBytes = 4096;

struct Options {
  int charset = HOST_UTF8;
  const char *log = nullptr;
};

// Prints the usage, the options, the goals and the editing keys.
void Usage(FILE *out, const char *program) {
  std::fprintf(
      out,
      "Usage: %s [--charset=utf8|eucjp|single] [--log=FILE] [--help]\n"
      "Takes over the terminal with the console module and reads queries at\n"
      "the | prompt: goals separated by ',' and ended by '.', for example\n"
      "  d_screen(W, H).     d_cursor(10, 5), d_pos(X, Y).     lines(100).\n"
      "Bound variables are shown, then yes; a goal that fails gives no.\n\n"
      "Options:\n"
      "  --charset=SET  character set of the engine: utf8 (default), eucjp, single\n"
      "  --log=FILE     copy every input line and all output to FILE\n"
      "  --help         this text\n\n",
      program);
  for (const std::string &line : HelpLines())
    std::fprintf(out, "%s\n", line.c_str());
}

// The character set of a --charset=NAME argument; 0 when it is none.
int CharsetOption(const char *a) {
  if (std::strcmp(a, "--charset=utf8") == 0) return HOST_UTF8;
  if (std::strcmp(a, "--charset=eucjp") == 0) return HOST_EUCJP;
  if (std::strcmp(a, "--charset=single") == 0) return HOST_SINGLE;
  return 0;
}

// Reads the command line; false when the program should end with `*status`.
bool ParseOptions(int argc, char **argv, Options *opt, int *status) {
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (std::strcmp(a, "--help") == 0) {
      Usage(stdout, argv[0]);
      *status = 0;
      return false;
    }
    if (std::strncmp(a, "--log=", 6) == 0 && a[6] != '\0') {
      opt->log = a + 6;
    } else if (int set = CharsetOption(a)) {
      opt->charset = set;
    } else {
      std::fprintf(stderr, "qxtop: unknown argument %s\n", a);
      Usage(stderr, argv[0]);
      *status = 2;
      return false;
    }
  }
  return true;
}

// ---- Loading the module ---------------------------------------------------------

// Finds one exported name of the module; a message when it is missing.
template <typename Fn> bool Lookup(void *lib, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(dlsym(lib, name));
  if (*fn == nullptr) std::fprintf(stderr, "qxtop: %s: %s\n", name, dlerror());
  return *fn != nullptr;
}

// Opens libqxcurses.so.1 through the run path, else from the build directory
// by name: under AddressSanitizer dlopen searches the run path of libasan (the
// "caller"), not ours.
void *OpenModule() {
  void *lib = dlopen("libqxcurses.so.1", RTLD_NOW | RTLD_GLOBAL);
#ifdef QXTOP_MODULE_DIR
  if (lib == nullptr) {
    std::string first = dlerror();
    lib = dlopen(QXTOP_MODULE_DIR "/libqxcurses.so.1", RTLD_NOW | RTLD_GLOBAL);
    if (lib == nullptr)
      std::fprintf(stderr, "qxtop: cannot load the console module: %s\n", first.c_str());
    return lib;
  }
#endif
  if (lib == nullptr)
    std::fprintf(stderr, "qxtop: cannot load the console module: %s\n", dlerror());
  return lib;
}

// The terminal-mode functions are found, or a message says which is not.
bool LoadTerminal(void *lib, Module *m) {
  return Lookup(lib, "SetTerminal", &m->SetTerminal) &&
         Lookup(lib, "InitTermIO", &m->InitTermIO) &&
         Lookup(lib, "SaveTermIO", &m->SaveTermIO) &&
         Lookup(lib, "RestoreTermIO", &m->RestoreTermIO) &&
         Lookup(lib, "ExittingMessage", &m->ExittingMessage) &&
         Lookup(lib, "C_SetSigState", &m->C_SetSigState);
}

// The console accessors are found, or a message says which is not.
bool LoadAccessors(void *lib, Module *m) {
  return Lookup(lib, "C_GetStream", &m->C_GetStream) &&
         Lookup(lib, "C_TOPLEVEL", &m->C_TOPLEVEL) &&
         Lookup(lib, "C_NORMAL", &m->C_NORMAL) &&
         Lookup(lib, "C_NOPROMPT", &m->C_NOPROMPT) &&
         Lookup(lib, "C_SetPrompt", &m->C_SetPrompt) &&
         Lookup(lib, "C_GetPrompt", &m->C_GetPrompt) &&
         Lookup(lib, "C_SetPromptPostfix", &m->C_SetPromptPostfix) &&
         Lookup(lib, "C_GetPromptPostfix", &m->C_GetPromptPostfix) &&
         Lookup(lib, "C_SetLog", &m->C_SetLog) && Lookup(lib, "C_GetLog", &m->C_GetLog) &&
         Lookup(lib, "C_NewLine", &m->C_NewLine) &&
         Lookup(lib, "C_SetCursor", &m->C_SetCursor) &&
         Lookup(lib, "C_keyback", &m->C_keyback);
}

// The built-in entries are found, or a message says which is not.
bool LoadBuiltins(void *lib, Module *m) {
  return Lookup(lib, "P0_d_clear", &m->P0_d_clear) &&
         Lookup(lib, "P0_d_cleol", &m->P0_d_cleol) &&
         Lookup(lib, "P0_d_cleos", &m->P0_d_cleos) &&
         Lookup(lib, "P0_d_redisp", &m->P0_d_redisp) &&
         Lookup(lib, "P1_d_cursor", &m->P1_d_cursor) &&
         Lookup(lib, "P2_d_cursor", &m->P2_d_cursor) &&
         Lookup(lib, "P2_d_pos", &m->P2_d_pos) &&
         Lookup(lib, "P2_d_screen", &m->P2_d_screen) &&
         Lookup(lib, "P2_d_scroll", &m->P2_d_scroll) &&
         Lookup(lib, "P1_d_keyin", &m->P1_d_keyin) &&
         Lookup(lib, "P1_d_keypeek", &m->P1_d_keypeek) &&
         Lookup(lib, "P1_d_keylength", &m->P1_d_keylength) &&
         Lookup(lib, "P1_d_keyback", &m->P1_d_keyback);
}

// Every module function qxtop uses is found, or a message says which is not.
bool Load(Module *m) {
  void *lib = OpenModule();
  return lib != nullptr && LoadTerminal(lib, m) && LoadAccessors(lib, m) &&
         LoadBuiltins(lib, m);
}

// ---- After the engine's quit action -------------------------------------------

// The engine's quit action (Main_Quit), run by the line editor after " ABORT"
// or after listing the history.  An engine would jump back to its top level
// from here; this one may not jump through the module's frames, so it makes
// the line being read end at once instead: an Enter pushed back, and no
// prompt for that line (after an interrupt the module reads it in NORMAL
// mode).  The top level then drops the line and prompts afresh.  That empty
// line is the stand-in's device, not the user's, so the log is held back
// until it has been read: the log then ends with " ABORT" or the listing.
void OnQuit() {
  Session &s = session();
  if (s.quit_requested) return;
  s.quit_requested = true;
  s.saved_prompt = s.m.C_GetPrompt();
  s.saved_postfix = s.m.C_GetPromptPostfix();
  s.saved_log = s.m.C_GetLog();
  s.m.C_SetLog(0);
  s.m.C_SetPrompt(PutAtom(0, ""));
  s.m.C_SetPromptPostfix(1);
  s.m.C_keyback(13);
}

// True when row y of the console's copy of the screen holds only blanks.
bool RowBlank(const ConsoleState *con, int y) {
  for (int x = 0; x < 4 * con->columns; x++)
    if (con->shadow[y][x] != ' ') return false;
  return true;
}

// Puts the prompts and the log back, and the cursor onto the blank row the
// pushed-back Enter left behind, so that the next prompt follows " ABORT"
// directly.
void AfterQuit() {
  Session &s = session();
  s.quit_requested = false;
  s.m.C_SetPrompt(s.saved_prompt);
  s.m.C_SetPromptPostfix(s.saved_postfix);
  s.m.C_SetLog(s.saved_log);
  const ConsoleState *con = Console;
  if (con->cur_x == 0 && con->cur_y > 0 && RowBlank(con, con->cur_y - 1))
    s.m.C_SetCursor(1, con->cur_y); // 1-based: the row above
}

// ---- Reading queries -------------------------------------------------------------

enum ReadResult { GOT_QUERY, MORE, ABANDONED, END_OF_INPUT };

// True when text holds nothing but blanks and newlines.
bool Blank(const std::string &text) {
  return text.find_first_not_of(" \t\n\r") == std::string::npos;
}

// Reads one line from `user` into `line`; the code that ended it (31 for
// end of line, -1 for end of file).
int ReadLineFromUser(std::string *line) {
  int ch;
  while ((ch = host_getc(session().user)) != -1 && ch != 31)
    line->push_back(char(ch));
  return ch;
}

// Prompts for the next line: the top-level prompt before a new query, and a
// continuation mark (the module prints no prompt in NOPROMPT mode) inside one.
void PromptFor(bool new_query) {
  if (new_query) {
    FreshLine();
    session().m.C_TOPLEVEL();
  } else {
    Put("|    ");
    session().m.C_NOPROMPT();
  }
}

// Reads one more line of a query into `text`.  MORE when it was added;
// ABANDONED after the quit action, an interrupt of a continuation line (the
// module then returns end of file) or end of file inside a query;
// END_OF_INPUT for end of file on an empty top-level line.
ReadResult ReadMore(std::string *text) {
  bool new_query = Blank(*text);
  if (new_query) text->clear();
  PromptFor(new_query);
  long interrupts = host_counters()->f_intr;
  std::string line;
  int last = ReadLineFromUser(&line);
  if (session().quit_requested) {
    AfterQuit();
    return ABANDONED;
  }
  if (last == -1 && host_counters()->f_intr != interrupts) {
    PutLine(" ABORT");
    return ABANDONED;
  }
  if (last == -1 && new_query && Blank(line)) return END_OF_INPUT;
  *text += (text->empty() ? "" : "\n") + line;
  if (last == -1 && FindQueryEnd(*text) == std::string::npos) {
    FreshLine();
    PutLine("syntax error: end of file before the final '.'");
    return ABANDONED;
  }
  return MORE;
}

// Reads lines until `text` holds a complete query (its final '.' at *end);
// what follows that '.' is kept in `pending` and starts the next query.
ReadResult ReadQuery(std::string *pending, std::string *text, size_t *end) {
  *text = *pending;
  pending->clear();
  for (;;) {
    *end = FindQueryEnd(*text);
    if (*end != std::string::npos) {
      if (!Blank(text->substr(*end + 1))) *pending = text->substr(*end + 1);
      return GOT_QUERY;
    }
    if (text->size() > kMaxQueryBytes) {
      FreshLine();
      PutLine("query too long (at most " + std::to_string(kMaxQueryBytes) + " bytes)");
      return ABANDONED;
    }
    ReadResult r = ReadMore(text);
    if (r != MORE) return r;
  }
}

// The display columns of text[start .. stop), by the engine's character set
// (a double-width character takes two).
size_t DisplayColumns(const std::string &text, size_t start, size_t stop) {
  size_t columns = 0;
  for (size_t k = start; k < stop && k < text.size();) {
    int width = 1;
    int n = Stream_isn_mbchar((unsigned char *)&text[k], int(k), &width);
    columns += width < 0 ? 0 : size_t(width);
    k += n < 1 ? 1 : size_t(n);
  }
  return columns;
}

// Says what is wrong and where; when the line fits the screen, shows it
// again with a caret under the place.
void ReportSyntaxError(const std::string &text, const SyntaxError &err) {
  FreshLine();
  PutLine("syntax error: " + err.message + " (" + Where(text, err.offset) + ")");
  size_t start = err.offset == 0 ? std::string::npos : text.rfind('\n', err.offset - 1);
  start = start == std::string::npos ? 0 : start + 1;
  size_t stop = text.find('\n', start);
  std::string line = text.substr(start, stop == std::string::npos ? stop : stop - start);
  if (line.size() + 3 > size_t(Console->columns)) return;
  PutLine("  " + line);
  PutLine(std::string(2 + DisplayColumns(text, start, err.offset), ' ') + "^");
}

// Parses and runs one query.
void Execute(const std::string &text, size_t end) {
  Query q;
  SyntaxError err;
  if (ParseQuery(text, end, &q, &err))
    RunQuery(q);
  else
    ReportSyntaxError(text, err);
}

// Starts the log asked for on the command line; a message if it cannot.
void StartLog(const char *path) {
  QxStream s = host_open_file(path, "w");
  if (s != 0)
    session().m.C_SetLog(s);
  else
    PutLine(std::string("qxtop: cannot open the log ") + path + ": " + Stream_errmes());
}

// Reads and runs queries until end of file on an empty top-level line.
[[noreturn]] void TopLevel() {
  std::string pending, text;
  for (;;) {
    size_t end = 0;
    ReadResult r = ReadQuery(&pending, &text, &end);
    if (r == END_OF_INPUT) {
      session().m.ExittingMessage();
      std::exit(0);
    }
    if (r == GOT_QUERY) Execute(text, end);
  }
}

} // namespace
} // namespace qxtop

int main(int argc, char **argv) {
  using namespace qxtop;
  Options opt;
  int status = 0;
  if (!ParseOptions(argc, argv, &opt, &status)) return status;
  host_set_charset(opt.charset);
  host_init(argc, argv);
  // The engine's handler goes in first, before curses starts (host.h).
  host_install_sigint();
  Session &s = session();
  s.argc = argc;
  s.argv = argv;
  if (!Load(&s.m)) return 1;
  s.m.SetTerminal();
  s.m.InitTermIO();
  s.user = s.m.C_GetStream();
  host_set_user_input(s.user);
  host_set_quit_hook(OnQuit);
  PutLine("qxtop: a small top level on the console module. Type help. for the goals.");
  if (opt.log != nullptr) StartLog(opt.log);
  TopLevel();
}
