// Term cells for qxtop: parsed terms become real cells of the engine
// stand-in (host.h), which the module's built-ins read, and cells are written
// back as text for write/1 and for the answers.
#include "qxtop.h"

#include <cstdint>

namespace qxtop {
namespace {

// The cell a pointer-valued cell points at.
TermCell *CellAt(int64_t value) {
  return reinterpret_cast<TermCell *>(intptr_t(value));
}

// True when an atom reads back as itself without quotes.
bool PlainAtom(const std::string &name) {
  if (name == "[]") return true;
  if (name.empty() || !(name[0] >= 'a' && name[0] <= 'z')) return false;
  for (unsigned char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
    if (!ok) return false;
  }
  return true;
}

// 'name' with the quote, the backslash and control characters escaped.
std::string QuotedAtom(const std::string &name) {
  std::string out = "'";
  for (char c : name) {
    if (c == '\'' || c == '\\')
      out.push_back('\\'), out.push_back(c);
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else
      out.push_back(c);
  }
  return out + "'";
}

// The atom's name, quoted when asked and needed.
std::string AtomText(QxAtom atom, bool quoted) {
  const char *name = Atomman_AtomNo2AtomName(atom);
  std::string text = name != nullptr ? name : "<atom " + std::to_string(atom) + ">";
  return quoted && !PlainAtom(text) ? QuotedAtom(text) : text;
}

// True for a list cell of either tag.
bool IsList(const TermCell *c) {
  return c->tag == QX_TAG_LIST || c->tag == QX_TAG_LIST2;
}

// [a, b | T]: the elements along the tail, without recursion on the tail.
std::string ListText(TermCell *list, bool quoted) {
  std::string out = "[";
  TermCell *c = list;
  for (bool first = true; IsList(c); first = false) {
    TermCell *pair = CellAt(c->value);
    if (!first) out += ",";
    out += CellText(&pair[0], quoted);
    c = host_deref(&pair[1]);
  }
  if (!(c->tag == QX_TAG_ATOM && c->value == QX_ATOM_NIL))
    out += "|" + CellText(c, quoted);
  return out + "]";
}

// An operand of an operator, in parentheses when it is itself an operation
// or a negative number, so that the text reads back the same.
std::string OperandText(TermCell *cell, bool quoted) {
  TermCell *c = host_deref(cell);
  std::string text = CellText(c, quoted);
  if (c->tag == HOST_TAG_EXPR || text[0] == '-') return "(" + text + ")";
  return text;
}

// op(A) as -A, op(A, B) as A op B; other functors as name(args).
std::string ExprText(TermCell *expr, bool quoted) {
  TermCell *parts = CellAt(expr->value);
  std::string op = AtomText(parts[0].value >> 8, false);
  int arity = int(parts[0].value & 0xFF);
  if (arity == 1 && op == "-") return "-" + OperandText(&parts[1], quoted);
  if (arity == 2) {
    std::string sep = op == "mod" ? " mod " : op;
    return OperandText(&parts[1], quoted) + sep + OperandText(&parts[2], quoted);
  }
  std::string out = op + "(";
  for (int k = 1; k <= arity; k++)
    out += (k > 1 ? "," : "") + CellText(&parts[k], quoted);
  return out + ")";
}

} // namespace

// Two cells per list element, 1 + arity per operation, none for the rest.
size_t CellsNeeded(const Term &t) {
  size_t n = 0;
  const Term *p = &t;
  while (p->kind == Term::CONS) { // along the tail: no recursion per element
    n += 2 + CellsNeeded(p->args[0]);
    p = &p->args[1];
  }
  if (p->kind == Term::EXPR) {
    n += 1 + p->args.size();
    for (const Term &a : p->args)
      n += CellsNeeded(a);
  }
  return n;
}

// Builds the term's cells in the global area; lists from their end.
TermCell BuildCell(const Term &t, const std::vector<TermCell *> &vars) {
  switch (t.kind) {
  case Term::INT:
    return host_int(t.number);
  case Term::ATOM:
    return t.name == "[]" ? host_nil() : host_atom_named(t.name.c_str());
  case Term::VAR:
    return host_ref(vars[size_t(t.number)]);
  case Term::EXPR:
    if (t.args.size() == 1) return host_expr1(t.name.c_str(), BuildCell(t.args[0], vars));
    return host_expr2(t.name.c_str(), BuildCell(t.args[0], vars),
                      BuildCell(t.args[1], vars));
  case Term::CONS:
    break;
  }
  std::vector<const Term *> heads; // the list from its end: no recursion per element
  const Term *p = &t;
  for (; p->kind == Term::CONS; p = &p->args[1])
    heads.push_back(&p->args[0]);
  TermCell list = BuildCell(*p, vars);
  for (size_t k = heads.size(); k-- > 0;)
    list = host_cons(BuildCell(*heads[k], vars), list);
  return list;
}

// The text of a cell after following references.
std::string CellText(TermCell *cell, bool quoted) {
  TermCell *c = host_deref(cell);
  switch (c->tag) {
  case HOST_TAG_INT:
    return std::to_string(c->value);
  case QX_TAG_ATOM:
    return AtomText(c->value, quoted);
  case QX_TAG_UNBOUND:
  case QX_TAG_UNBOUND2:
    return "_G" + std::to_string((uintptr_t(c) / sizeof(TermCell)) % 100000);
  case QX_TAG_LIST:
  case QX_TAG_LIST2:
    return ListText(c, quoted);
  case HOST_TAG_EXPR:
    return ExprText(c, quoted);
  }
  return "<cell tag " + std::to_string(c->tag) + ">";
}

} // namespace qxtop
