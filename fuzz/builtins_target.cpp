// Calls of the built-ins with terms of every kind.  Input: a sequence of
// operations, each an opcode byte and its operands; argument terms are built
// from the bytes that follow (see Build): references (tag 0 chains, never
// cyclic), unbound variables of both tags, atoms, integers, expressions, proper
// and improper lists of any length and either list tag, and variables with a
// frozen goal.  Keys for d_keyin/d_keypeek are typed at the terminal or
// pushed back; when none is left those read the end of input.
#include "harness.h"

#include "console.h"
#include "host.h"

#include <stdlib.h>

#include <vector>

namespace {

using Reader = QxFuzzReader;

int budget;      // global cells still free for this call's terms

// A global cell holding `c`.
TermCell *Stored(TermCell c) {
  TermCell *cell = host_global_var();
  *cell = c;
  return cell;
}

TermCell Build(Reader &in, int depth);

// A list of `length` elements (integers, or any terms when `any`), each cell
// with `tag`, ending in [] or in another term.
TermCell BuildList(Reader &in, int depth, int length, bool any, uint16_t tag) {
  TermCell tail = in.Next() & 1 ? Build(in, depth - 1) : host_nil();
  if (!any) {
    std::vector<int64_t> v((size_t)length);
    for (int64_t &x : v)
      x = (signed char)in.Next();
    return host_int_list(v.data(), v.size(), tail, tag);
  }
  std::vector<TermCell> items((size_t)length);
  for (TermCell &x : items)
    x = Build(in, depth - 1);
  for (size_t i = items.size(); i-- > 0;) {
    tail = host_cons(items[i], tail);
    tail.tag = tag;
  }
  return tail;
}

// One argument term from the input; depth and the cell budget bound it.
TermCell Build(Reader &in, int depth) {
  static const char *const ops[] = {"+", "-", "*", "//", "mod"};
  static const QxAtom atoms[] = {QX_ATOM_NIL, QX_ATOM_CURSOR_ON, QX_ATOM_CURSOR_OFF, 2,
                                 300};
  int kind = in.Next() % 10;
  if (depth <= 0 || budget < 40) kind %= 5;
  switch (kind) {
  case 0:
    return host_var();
  case 1:
    return host_var4();
  case 2:
    return host_int((signed char)in.Next());
  case 3:
    return host_int(in.Wide());
  case 4:
    return host_atom(atoms[in.Next() % 5]);
  case 5: {
    int links = 1 + in.Next() % 4;
    budget -= links;
    TermCell t = Build(in, depth - 1);
    while (links-- > 0)
      t = host_ref(Stored(t));
    return t;
  }
  case 6: {
    budget -= 3;
    TermCell l = Build(in, depth - 1);   // one input byte at a time, in order:
    const char *op = ops[in.Next() % 5]; // the same terms whichever compiler
    TermCell r = Build(in, depth - 1);
    return host_expr2(op, l, r);
  }
  case 7:
    budget -= 2;
    return host_expr1("-", Build(in, depth - 1));
  case 8: {
    int length = in.Next();
    if (length > 200) length = 200 + (length - 200) * 4; // up to 420
    bool any = in.Next() & 1;
    if (any && length > 8) length = 8;
    if (2 * length + 40 > budget) length = (budget - 40) / 2;
    budget -= 2 * length;
    return BuildList(in, depth, length, any, in.Next() & 1 ? QX_TAG_LIST : QX_TAG_LIST2);
  }
  default: {
    budget -= 1;
    TermCell *v = host_global_var();
    host_freeze(v, in.Next() & 1);
    return host_ref(v);
  }
  }
}

// Calls one built-in entry with `arity` fresh argument terms.
void Call(Reader &in, int op) {
  host_args_reset();
  budget = 3000;
  int arity = op < 4 ? 0 : op < 5 || op >= 9 ? 1 : 2;
  for (int i = 0; i < arity; i++)
    host_push(Build(in, 4));
  if (in.Next() % 16 == 0) host_force_local_overflow();
  BuiltinFrame frame{};
  switch (op) {
  case 0:
    P0_d_clear();
    break;
  case 1:
    P0_d_cleol();
    break;
  case 2:
    P0_d_cleos();
    break;
  case 3:
    P0_d_redisp();
    break;
  case 4:
    P1_d_cursor(&frame);
    break;
  case 5:
    P2_d_cursor(&frame);
    break;
  case 6:
    P2_d_pos(&frame);
    break;
  case 7:
    P2_d_screen(&frame);
    break;
  case 8:
    P2_d_scroll(&frame);
    break;
  case 9:
    P1_d_keyin(&frame);
    break;
  case 10:
    P1_d_keypeek(&frame);
    break;
  case 11:
    P1_d_keylength(&frame);
    break;
  default:
    P1_d_keyback(&frame);
    break;
  }
}

// Runs one operation: a built-in, or a change of the keys or the settings.
void Operation(Reader &in) {
  int op = in.Next() % 19;
  if (op <= 12) return Call(in, op);
  switch (op) {
  case 13: {
    uint8_t keys[16];
    size_t n = (size_t)in.Next() % 16;
    for (size_t i = 0; i < n; i++)
      keys[i] = (uint8_t)in.Next();
    QxFuzzType(keys, n);
    break;
  }
  case 14:
    key_scan();
    break;
  case 15:
    C_keyback(in.Wide());
    break;
  case 16:
    C_FlushTypeahead(in.Next() & 1);
    break;
  case 17:
    C_SetSigState(in.Next() & 1);
    break;
  default:
    host_set_charset(1 + in.Next() % 3);
    break;
  }
}

} // namespace

// See harness.h.
int QxFuzzBuiltins(const uint8_t *data, size_t size) {
  QxFuzzStart();
  QxFuzzReset();
  Reader in{data, size < 4096 ? size : 4096};
  while (in.n > 0) {
    Operation(in);
    QxFuzzCheck("builtins");
  }
  return 0;
}
