// Atoms: names interned to numbers.  A few numbers are fixed because the
// module knows those atoms by number only (console.h): 1 is the empty list,
// 72 and 73 show and hide the cursor.  Everything else is numbered from
// HOST_FIRST_FREE_ATOM on, in order of first use.
#include "internal.h"

#include <map>
#include <string>
#include <unordered_map>

namespace {

struct AtomTable {
  std::map<QxAtom, std::string> names;
  std::unordered_map<std::string, QxAtom> numbers;
  QxAtom next = HOST_FIRST_FREE_ATOM;

  AtomTable() {
    fix(QX_ATOM_NIL, "[]");
    fix(QX_ATOM_CURSOR_ON, "on");
    fix(QX_ATOM_CURSOR_OFF, "off");
  }
  void fix(QxAtom a, const char *name) {
    names[a] = name;
    numbers[name] = a;
  }
};

AtomTable &atoms() {
  static AtomTable table; // built on first use, whatever the start-up order
  return table;
}

} // namespace

extern "C" {

QxAtom PutAtom(int zero, const char *name) {
  (void)zero; // the engine's atom-table selector; this module always passes 0
  AtomTable &t = atoms();
  auto it = t.numbers.find(name);
  if (it != t.numbers.end()) return it->second;
  QxAtom a = t.next++;
  t.fix(a, name);
  return a;
}

// NULL for a number that no atom has: a real engine is only ever asked about
// numbers it handed out, so a NULL here points at a bug in the caller.
const char *Atomman_AtomNo2AtomName(QxAtom atom) {
  AtomTable &t = atoms();
  auto it = t.names.find(atom);
  return it == t.names.end() ? nullptr : it->second.c_str();
}

// The prompt printed before a line read in NORMAL mode.
QxAtom Main_DefaultPrompt(void) {
  return PutAtom(0, "|: ");
}

} // extern "C"
