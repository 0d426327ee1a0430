// The goals of qxtop and the running of a query: the module's built-ins,
// called through their exported entries with real argument cells, and the
// engine's own small predicates (write/1, lines/1, shell/1, log/1, ...).
// A query runs its goals left to right and stops at the first that fails,
// raises an error or is interrupted; then its answers are shown.
#include "qxtop.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sys/wait.h>

namespace qxtop {
namespace {

// How a goal ended.  ERRORED and INTERRUPTED have printed their message.
enum Result { FAILED, SUCCEEDED, ERRORED, INTERRUPTED };

using Handler = Result (*)(TermCell *args);

// One goal: an engine predicate (run) or a module built-in (entry0/entryn).
struct GoalDef {
  const char *name;
  int arity;
  Handler run;
  Entry0 Module::*entry0;
  EntryN Module::*entryn;
  const char *usage;
  const char *help;
};

// The global cells one query may use; the stand-in has 4096 and aborts when
// they run out, so a bigger query is refused with a message instead.
constexpr size_t kCellBudget = 3000;

// The module's functions.
const Module &M() {
  return session().m;
}

// Prints "error: ..." on a fresh row; the goal's result.
Result Error(const std::string &what) {
  FreshLine();
  PutLine("error: " + what);
  return ERRORED;
}

// The engine's count of the errors it reported (evaluation, type,
// instantiation, argument); a change during a goal means the goal raised one.
long EngineErrors() {
  const HostCounters *c = host_counters();
  return c->arg_error + c->eval_errors + c->type_errors + c->instantiation_errors;
}

// Evaluates an integer expression; false when the engine reported an error
// (the goal's runner prints it).
bool EvalInt(TermCell *cell, int64_t *out) {
  long before = EngineErrors();
  *out = Numeric_s_num_eval_int(cell);
  return EngineErrors() == before;
}

// The atom a cell holds, or false with an error printed.
bool AtomArg(TermCell *cell, const char *goal, std::string *name) {
  QxAtom a;
  if (!host_get_atom(cell, &a)) {
    Error(std::string(goal) + ": the argument must be an atom");
    return false;
  }
  *name = Atomman_AtomNo2AtomName(a);
  return true;
}

// An integer argument that must be 0 or 1.
bool FlagArg(TermCell *cell, const char *goal, int *flag) {
  int64_t v;
  if (!EvalInt(cell, &v)) return false;
  if (v != 0 && v != 1) {
    Error(std::string(goal) + ": the argument must be 0 or 1");
    return false;
  }
  *flag = int(v);
  return true;
}

// Calls a built-in entry with n arguments: copies of the cells go on the
// argument area, just below next_var_cell, for the time of the call.
Result CallEntry(EntryN entry, TermCell *args, int n) {
  TermCell *mark = next_var_cell;
  for (int k = 0; k < n; k++)
    host_push(args[k]);
  BuiltinFrame frame{};
  int64_t ok = entry(&frame);
  next_var_cell = mark;
  return ok ? SUCCEEDED : FAILED;
}

// ---- Engine predicates ---------------------------------------------------------

// write(Term): the term as text, atoms unquoted.
Result Write(TermCell *a) {
  Put(CellText(&a[0], false));
  return SUCCEEDED;
}

// nl: ends the output line.
Result Nl(TermCell *) {
  PutLine("");
  return SUCCEEDED;
}

// Writes one numbered line a character at a time; false as soon as the
// engine's SIGINT handler has seen an interrupt (also one passed on from the
// module's flow-control wait).
bool NumberedLine(int64_t i) {
  std::string text = std::to_string(i) + "  the quick brown fox jumps over the lazy dog";
  text.push_back(char(31));
  for (char c : text) {
    if (host_take_interrupt_request()) return false;
    Stream_sputc((unsigned char)c, session().user);
  }
  return true;
}

// lines(N): N numbered lines; stops with {Interrupted} after Ctrl-C.
Result Lines(TermCell *a) {
  int64_t n;
  if (!EvalInt(&a[0], &n)) return ERRORED;
  for (int64_t i = 1; i <= n; i++) {
    if (!NumberedLine(i)) {
      FreshLine();
      PutLine("{Interrupted}");
      return INTERRUPTED;
    }
  }
  return SUCCEEDED;
}

// Reads one line of `user` in NORMAL mode (prompt/1's prompt); the line, or
// end_of_file when input ended before any character.
std::string ReadNormalLine() {
  M().C_NORMAL();
  std::string line;
  int ch;
  while ((ch = host_getc(session().user)) != -1 && ch != 31)
    line.push_back(char(ch));
  return ch == -1 && line.empty() ? "end_of_file" : line;
}

// read_line(X): X is the next line read in NORMAL mode, shown back.
Result ReadLine(TermCell *a) {
  std::string line = ReadNormalLine();
  PutLine("you typed: " + line);
  BuiltinFrame frame{};
  return unify_atomE_ex(&frame, &a[0], PutAtom(0, line.c_str())) ? SUCCEEDED : FAILED;
}

// prompt(Atom): the prompt of lines read in NORMAL mode.
Result Prompt(TermCell *a) {
  std::string name;
  if (!AtomArg(&a[0], "prompt/1", &name)) return ERRORED;
  M().C_SetPrompt(PutAtom(0, name.c_str()));
  return SUCCEEDED;
}

// prompt_postfix(Atom): printed after that prompt; [] for none.
Result PromptPostfix(TermCell *a) {
  std::string name;
  if (!AtomArg(&a[0], "prompt_postfix/1", &name)) return ERRORED;
  M().C_SetPromptPostfix(PutAtom(0, name.c_str())); // [] is atom 1: no postfix
  return SUCCEEDED;
}

// Stops the log, if one is on, and closes its stream.
void CloseLog() {
  QxStream log = M().C_GetLog();
  if (log == 0) return;
  M().C_SetLog(0);
  Stream_sclose(log);
}

// log(File): a new log in File (emptied first) replaces any log.
Result Log(TermCell *a) {
  std::string file;
  if (!AtomArg(&a[0], "log/1", &file)) return ERRORED;
  CloseLog();
  QxStream s = host_open_file(file.c_str(), "w");
  if (s == 0) return Error("log/1: cannot open " + file + ": " + Stream_errmes());
  M().C_SetLog(s);
  return SUCCEEDED;
}

// nolog: no log from now on.
Result NoLog(TermCell *) {
  CloseLog();
  return SUCCEEDED;
}

// Waits on the cooked terminal until Enter (or end of input, or an
// interrupt).  Reads through stdin as the module does, so nothing typed is
// lost between the two.
void WaitForEnter() {
  clearerr(stdin);
  int c;
  while ((c = getc(stdin)) != EOF && c != '\n') {
  }
  clearerr(stdin);
}

// shell(Command): runs it on the cooked terminal, waits for Enter, and
// comes back to the console screen redrawn; fails when the command did.
Result Shell(TermCell *a) {
  std::string command;
  if (!AtomArg(&a[0], "shell/1", &command)) return ERRORED;
  M().SaveTermIO(1);
  int status = std::system(command.c_str());
  int code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::printf("[exit status %d; press Enter to return]", code);
  std::fflush(stdout);
  WaitForEnter();
  M().RestoreTermIO(1);
  host_take_interrupt_request(); // an interrupt of the wait only ended the wait
  return code == 0 ? SUCCEEDED : FAILED;
}

// sig_state(0|1): with 1 the terminal raises no SIGINT, and the line editor
// and the key built-ins get Ctrl-C, Ctrl-S and Ctrl-Q as ordinary keys; the
// poll of output that scrolls still stops on Ctrl-S and goes on at Ctrl-Q.
Result SigState(TermCell *a) {
  int flag;
  if (!FlagArg(&a[0], "sig_state/1", &flag)) return ERRORED;
  M().C_SetSigState(flag);
  return SUCCEEDED;
}

// debug(0|1): the engine's debug flag, which changes the top-level prompt.
Result Debug(TermCell *a) {
  int flag;
  if (!FlagArg(&a[0], "debug/1", &flag)) return ERRORED;
  debug_flag = flag;
  return SUCCEEDED;
}

// break: one break level deeper; the prompt shows [level].
Result Break(TermCell *) {
  break_level++;
  return SUCCEEDED;
}

// end_break: one break level up; an error at the top.
Result EndBreak(TermCell *) {
  if (break_level == 0) return Error("end_break/0: not in a break");
  break_level--;
  return SUCCEEDED;
}

// charset(utf8|eucjp|single): the engine's character set.
Result Charset(TermCell *a) {
  std::string name;
  if (!AtomArg(&a[0], "charset/1", &name)) return ERRORED;
  int set = name == "utf8"     ? HOST_UTF8
            : name == "eucjp"  ? HOST_EUCJP
            : name == "single" ? HOST_SINGLE
                               : 0;
  if (set == 0) return Error("charset/1: utf8, eucjp or single expected");
  host_set_charset(set);
  host_init(session().argc, session().argv); // the locale that UTF-8 widths need
  return SUCCEEDED;
}

// scroll_line(N): d_scroll/2 with a fresh variable for the old scroll line.
Result ScrollLine(TermCell *a) {
  TermCell args[2] = {host_ref(host_global_var()), a[0]};
  return CallEntry(M().P2_d_scroll, args, 2);
}

// clear: d_clear.
Result Clear(TermCell *) {
  M().P0_d_clear();
  return SUCCEEDED;
}

// help: the goals and the editing keys.
Result Help(TermCell *) {
  for (const std::string &line : HelpLines())
    PutLine(line);
  return SUCCEEDED;
}

// halt: leaves as at end of file, with "Exit from Prolog".
[[noreturn]] Result Halt(TermCell *) {
  M().ExittingMessage();
  std::exit(0);
}

// true: succeeds.
Result True(TermCell *) {
  return SUCCEEDED;
}

// fail: fails.
Result Fail(TermCell *) {
  return FAILED;
}

// X is Expr: X unified with the value of Expr.
Result Is(TermCell *a) {
  int64_t v;
  if (!EvalInt(&a[1], &v)) return ERRORED;
  BuiltinFrame frame{};
  return unify_intE_ex(&frame, &a[0], v) ? SUCCEEDED : FAILED;
}

// ---- The goal table ------------------------------------------------------------

#define ENGINE(name, arity, fn, usage, help)                                             \
  { name, arity, fn, nullptr, nullptr, usage, help }
#define MODULE0(name, member, help)                                                      \
  { name, 0, nullptr, &Module::member, nullptr, name, help }
#define MODULEN(name, arity, member, usage, help)                                        \
  { name, arity, nullptr, nullptr, &Module::member, usage, help }

// Every goal qxtop knows, the module's built-ins first; help/0 lists them
// in this order.
const GoalDef kGoals[] = {
    MODULE0("d_clear", P0_d_clear, "clear the screen; cursor to the top left"),
    MODULE0("d_cleol", P0_d_cleol, "clear to the end of the row"),
    MODULE0("d_cleos", P0_d_cleos, "clear to the end of the screen"),
    MODULE0("d_redisp", P0_d_redisp, "redraw the screen from the console's copy"),
    MODULEN("d_cursor", 1, P1_d_cursor, "d_cursor(on|off|X)", "show, hide or ask"),
    MODULEN("d_cursor", 2, P2_d_cursor, "d_cursor(Col, Row)",
            "move the cursor (1-based)"),
    MODULEN("d_pos", 2, P2_d_pos, "d_pos(Col, Row)", "where the cursor is"),
    MODULEN("d_screen", 2, P2_d_screen, "d_screen(W, H)", "the screen size"),
    MODULEN("d_scroll", 2, P2_d_scroll, "d_scroll(Old, New)",
            "get, then set the scroll line"),
    MODULEN("d_keyin", 1, P1_d_keyin, "d_keyin(K)", "wait for a key and take it"),
    MODULEN("d_keypeek", 1, P1_d_keypeek, "d_keypeek(K)",
            "wait for a key, leave it there"),
    MODULEN("d_keylength", 1, P1_d_keylength, "d_keylength(N)", "how many keys wait"),
    MODULEN("d_keyback", 1, P1_d_keyback, "d_keyback(K|[K,...])", "push keys back"),
    ENGINE("write", 1, Write, "write(Term)", "write a term"),
    ENGINE("nl", 0, Nl, "nl", "end the output line"),
    ENGINE("lines", 1, Lines, "lines(N)", "N numbered lines (Ctrl-S/Ctrl-Q, Ctrl-C)"),
    ENGINE("read_line", 1, ReadLine, "read_line(X)",
           "read a line after prompt/1's prompt"),
    ENGINE("prompt", 1, Prompt, "prompt(Atom)", "set the prompt of read_line/1"),
    ENGINE("prompt_postfix", 1, PromptPostfix, "prompt_postfix(A)",
           "text after it ([]: none)"),
    ENGINE("log", 1, Log, "log(File)", "copy input and output to File"),
    ENGINE("nolog", 0, NoLog, "nolog", "stop the log"),
    ENGINE("shell", 1, Shell, "shell(Command)", "run a command on the plain terminal"),
    ENGINE("sig_state", 1, SigState, "sig_state(0|1)",
           "1: Ctrl-C, Ctrl-S, Ctrl-Q are keys when read (see below)"),
    ENGINE("debug", 1, Debug, "debug(0|1)", "1: the top-level prompt becomes ||"),
    ENGINE("break", 0, Break, "break", "enter a break level ([1] above the prompt)"),
    ENGINE("end_break", 0, EndBreak, "end_break", "leave a break level"),
    ENGINE("charset", 1, Charset, "charset(C)", "utf8, eucjp or single"),
    ENGINE("scroll_line", 1, ScrollLine, "scroll_line(N)",
           "rows above row N never scroll"),
    ENGINE("clear", 0, Clear, "clear", "clear the screen"),
    ENGINE("is", 2, Is, "X is Expr", "evaluate + - * // mod"),
    ENGINE("true", 0, True, "true", "succeed"),
    ENGINE("fail", 0, Fail, "fail", "fail"),
    ENGINE("help", 0, Help, "help", "this list"),
    ENGINE("halt", 0, Halt, "halt", "leave qxtop"),
};

#undef ENGINE
#undef MODULE0
#undef MODULEN

// The goal of this name and arity, or nullptr.
const GoalDef *FindGoal(const std::string &name, size_t arity) {
  for (const GoalDef &d : kGoals)
    if (name == d.name && size_t(d.arity) == arity) return &d;
  return nullptr;
}

// The arities under which `name` exists, as "name/1 or name/2"; "" if none.
std::string OtherArities(const std::string &name) {
  std::string out;
  for (const GoalDef &d : kGoals)
    if (name == d.name)
      out += (out.empty() ? "" : " or ") + name + "/" + std::to_string(d.arity);
  return out;
}

// Every goal of the query exists, or a message names the first that does not.
bool CheckGoals(const Query &q) {
  for (const Goal &g : q.goals) {
    if (FindGoal(g.name, g.args.size()) != nullptr) continue;
    std::string known = OtherArities(g.name);
    std::string hint = known.empty() ? "try help." : "there is " + known + "; try help.";
    FreshLine();
    PutLine("unknown goal: " + g.name + "/" + std::to_string(g.args.size()) + " (" +
            hint + ")");
    return false;
  }
  return true;
}

// The query fits in the global area, or a message says it does not.
bool CheckSize(const Query &q) {
  size_t cells = q.vars.size() + q.goals.size();
  for (const Goal &g : q.goals)
    for (const Term &t : g.args)
      cells += CellsNeeded(t);
  if (cells <= kCellBudget) return true;
  FreshLine();
  PutLine("query too large: it needs " + std::to_string(cells) + " term cells, at most " +
          std::to_string(kCellBudget));
  return false;
}

// Calls a module built-in through its entry or, for arity 0, its function.
Result CallModule(const GoalDef &d, TermCell *args) {
  if (d.arity == 0) return (M().*d.entry0)() ? SUCCEEDED : FAILED;
  return CallEntry(M().*d.entryn, args, d.arity);
}

// Runs one goal; an error the engine recorded during it, or an interrupt
// its SIGINT handler saw, ends it with a message.
Result RunGoal(const GoalDef &d, TermCell *args) {
  long before = EngineErrors();
  Result r = d.run != nullptr ? d.run(args) : CallModule(d, args);
  if (EngineErrors() != before) {
    FreshLine();
    PutLine("error in " + std::string(d.name) + "/" + std::to_string(d.arity) + ": " +
            host_last_engine_error());
    return ERRORED;
  }
  if (r == SUCCEEDED && host_take_interrupt_request()) {
    FreshLine();
    PutLine("{Interrupted}");
    return INTERRUPTED;
  }
  return r;
}

// Shows the bindings of the named variables (not _X), then "yes".
void ShowAnswers(const Query &q, const std::vector<TermCell *> &vars) {
  for (size_t k = 0; k < vars.size(); k++) {
    if (q.vars[k][0] == '_' || host_is_unbound(vars[k])) continue;
    FreshLine();
    PutLine(q.vars[k] + " = " + CellText(vars[k], true));
  }
  FreshLine();
  PutLine("yes");
}

} // namespace

// Checks the whole query first (no goal runs if one is unknown or the terms
// do not fit), builds its cells, runs the goals and reports.
void RunQuery(const Query &q) {
  if (!CheckGoals(q) || !CheckSize(q)) return;
  host_args_reset();
  host_take_interrupt_request(); // an interrupt before the query is not for it
  std::vector<TermCell *> vars;
  for (size_t k = 0; k < q.vars.size(); k++)
    vars.push_back(host_global_var());
  std::vector<std::vector<TermCell>> args(q.goals.size());
  for (size_t g = 0; g < q.goals.size(); g++)
    for (const Term &t : q.goals[g].args)
      args[g].push_back(BuildCell(t, vars));
  Result r = SUCCEEDED;
  for (size_t g = 0; g < q.goals.size() && r == SUCCEEDED; g++)
    r = RunGoal(*FindGoal(q.goals[g].name, q.goals[g].args.size()), args[g].data());
  if (r == SUCCEEDED) ShowAnswers(q, vars);
  if (r == FAILED) FreshLine(), PutLine("no");
}

// The goal table as "usage  help" lines, then the editing keys.
std::vector<std::string> HelpLines() {
  std::vector<std::string> out = {"Goals (a query is goal, goal, ... . ; X = variable):"};
  for (const GoalDef &d : kGoals) {
    std::string usage = d.usage;
    usage.resize(usage.size() < 22 ? 22 : usage.size() + 1, ' ');
    out.push_back("  " + usage + d.help);
  }
  static const char *const kKeys[] = {
      "Editing keys at the top-level prompt | (the template is the previous line):",
      "  Ctrl-F, Right  copy a template character   Ctrl-A  copy the rest of it",
      "  Ctrl-E         skip a template character   Ctrl-Q  kill the line",
      "  Ctrl-W         insert mode on/off          Ctrl-T  store the line in history",
      "  Ctrl-U, Up     previous history line       Ctrl-N, Down  next history line",
      "  Ctrl-X         list the history            erase key, Left  erase a char",
      "  Ctrl-D         end of file (on an empty line it leaves qxtop)",
      "  Ctrl-C         abort a query, stop lines   Ctrl-S / Ctrl-Q  stop / go on",
      "After sig_state(1) the line editor and d_keyin, d_keypeek, d_keylength get",
      "Ctrl-C, Ctrl-S and Ctrl-Q as ordinary keys, and Ctrl-C interrupts nothing;",
      "output that scrolls still stops on Ctrl-S and goes on at Ctrl-Q.",
  };

  out.insert(out.end(), std::begin(kKeys), std::end(kKeys));
  return out;
}

} // namespace qxtop
