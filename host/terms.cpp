// Terms as the module's built-ins see them: 16-byte cells (console.h), the
// local area whose top cells are the arguments of the current built-in, a
// global area for the parts of compound terms, and a trail of bindings.
// Unification binds variables, and may wake goals frozen on them; evaluation
// reduces integer expressions.
#include "internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kLocalCells = 4096;
// The normal limit leaves slack above it, so that LocalOverflow can make
// room without moving the argument cells the caller already points at.
constexpr size_t kLocalLimit = 3072;
constexpr size_t kGlobalCells = 4096;
constexpr size_t kTrailEntries = 4096;

TermCell local_area[kLocalCells];
TermCell global_area[kGlobalCells];

struct TrailEntry {
  TermCell *cell;  // the variable that was bound
  TermCell old;    // what it was before (tag 48 or 4)
  int frozen_goal; // -1: none; else the goal that binding woke (0 or 1)
};
TrailEntry trail[kTrailEntries];

// Frozen goals by variable cell; a goal is only "succeeds" or "fails" here.
std::unordered_map<TermCell *, int> frozen;
// Goals woken since frozen_goal_register was last 0.
std::vector<int> woken;

[[noreturn]] void fatal(const char *what) {
  std::fprintf(stderr, "qxhost: %s\n", what);
  std::abort();
}

int64_t ptr_value(const TermCell *p) {
  return int64_t(intptr_t(p));
}

TermCell *cell_at(int64_t value) {
  return reinterpret_cast<TermCell *>(intptr_t(value));
}

TermCell make(int64_t value, uint16_t tag) {
  TermCell c{};
  c.value = value;
  c.tag = tag;
  return c;
}

TermCell *global_cells(size_t n) {
  TermCell *p = static_cast<TermCell *>(next_gvar_cell);
  if (p + n > global_area + kGlobalCells) fatal("global area exhausted");
  next_gvar_cell = p + n;
  return p;
}

bool unbound(const TermCell *c) {
  return c->tag == QX_TAG_UNBOUND || c->tag == QX_TAG_UNBOUND2;
}

void bind(TermCell *var, TermCell value) {
  TrailEntry *t = static_cast<TrailEntry *>(trail_register);
  if (t == trail + kTrailEntries) fatal("trail exhausted");
  *t = TrailEntry{var, *var, -1};
  auto goal = frozen.find(var);
  if (goal != frozen.end()) {
    // Waking a goal: the engine runs it after the built-in's unifications,
    // when the built-in sees frozen_goal_register set and calls
    // unify_after_call (or at the end of a unify_*_ex).
    if (frozen_goal_register == nullptr) woken.clear();
    woken.push_back(goal->second);
    t->frozen_goal = goal->second;
    frozen.erase(goal);
    frozen_goal_register = &woken;
  }
  trail_register = t + 1;
  *var = value;
}

int unify_value(TermCell *term, TermCell value) {
  host::counters.unify_calls++;
  TermCell *t = host_deref(term);
  if (unbound(t)) {
    bind(t, value);
    return 1;
  }
  return t->tag == value.tag && t->value == value.value;
}

int run_woken_goals() {
  int ok = 1;
  for (int succeeds : woken) {
    host::counters.goals_run++;
    if (!succeeds) ok = 0;
  }
  woken.clear();
  frozen_goal_register = nullptr;
  return ok;
}

// ---- Evaluation -------------------------------------------------------------

std::string atom_text(QxAtom a) {
  const char *name = Atomman_AtomNo2AtomName(a);
  return name != nullptr ? name : "?";
}

bool eval_error(const char *what) {
  host::counters.eval_errors++;
  host::record_error(std::string("evaluation_error(") + what + ")");
  return false;
}

bool type_error(const std::string &culprit) {
  host::counters.type_errors++;
  host::record_error("type_error(evaluable, " + culprit + ")");
  return false;
}

bool eval(TermCell *cell, int64_t *out) {
  TermCell *t = host_deref(cell);
  switch (t->tag) {
  case HOST_TAG_INT:
    *out = t->value;
    return true;
  case QX_TAG_ATOM:
    // [] counts as 0 in this engine's arithmetic (so d_keyback([]) pushes
    // the key 0); any other atom is not evaluable.
    if (t->value == QX_ATOM_NIL) {
      *out = 0;
      return true;
    }
    return type_error(atom_text(t->value) + "/0");
  case QX_TAG_UNBOUND:
  case QX_TAG_UNBOUND2:
    host::counters.instantiation_errors++;
    host::record_error("instantiation_error");
    return false;
  case QX_TAG_LIST:
  case QX_TAG_LIST2:
    return type_error("'.'/2");
  case HOST_TAG_EXPR:
    break;
  default:
    return type_error("tag " + std::to_string(t->tag));
  }

  TermCell *parts = cell_at(t->value);
  std::string op = atom_text(parts[0].value >> 8);
  int arity = int(parts[0].value & 0xFF);
  int64_t a = 0, b = 0;
  if (arity < 1 || arity > 2) return type_error(op + "/" + std::to_string(arity));
  if (!eval(&parts[1], &a)) return false;
  if (arity == 1) {
    if (op != "-") return type_error(op + "/1");
    if (a == INT64_MIN) return eval_error("int_overflow");
    *out = -a;
    return true;
  }
  if (!eval(&parts[2], &b)) return false;
  if (op == "+") {
    if (__builtin_add_overflow(a, b, out)) return eval_error("int_overflow");
  } else if (op == "-") {
    if (__builtin_sub_overflow(a, b, out)) return eval_error("int_overflow");
  } else if (op == "*") {
    if (__builtin_mul_overflow(a, b, out)) return eval_error("int_overflow");
  } else if (op == "//") { // truncates toward zero, like C
    if (b == 0) return eval_error("zero_divisor");
    if (a == INT64_MIN && b == -1) return eval_error("int_overflow");
    *out = a / b;
  } else if (op == "mod") { // the sign of the divisor, as in ISO Prolog
    if (b == 0) return eval_error("zero_divisor");
    int64_t m = b == -1 ? 0 : a % b;
    if (m != 0 && ((m < 0) != (b < 0))) m += b;
    *out = m;
  } else {
    return type_error(op + "/2");
  }
  return true;
}

} // namespace

extern "C" {

// ---- Engine globals of the term layer (console.h) --------------------------

TermCell *next_var_cell = local_area;
TermCell *var_bottom = local_area + kLocalLimit;
void *next_gvar_cell = global_area;
void *trail_register = trail;
void *frozen_goal_register = nullptr;

// ---- Engine names (console.h) -----------------------------------------------

int unify_intE(BuiltinFrame *frame, TermCell *term, int64_t value) {
  (void)frame;
  return unify_value(term, host_int(value));
}

// The _ex forms also run the goals their binding woke, so a built-in that
// ends with one returns its result as it is, with no check of its own.
int unify_intE_ex(BuiltinFrame *frame, TermCell *term, int64_t value) {
  (void)frame;
  int ok = unify_value(term, host_int(value));
  if (ok && frozen_goal_register != nullptr) return run_woken_goals();
  return ok;
}

int unify_atomE_ex(BuiltinFrame *frame, TermCell *term, QxAtom atom) {
  (void)frame;
  int ok = unify_value(term, host_atom(atom));
  if (ok && frozen_goal_register != nullptr) return run_woken_goals();
  return ok;
}

int unify_after_call(BuiltinFrame *frame) {
  (void)frame;
  host::counters.unify_after_call++;
  return run_woken_goals();
}

// Errors are recorded and counted, and the result is 0.  (A real engine
// raises a Prolog exception here and does not return to the built-in.)
int64_t Numeric_s_num_eval_int(TermCell *term) {
  host::counters.eval_calls++;
  int64_t v = 0;
  return eval(term, &v) ? v : 0;
}

// A real engine grows or moves its stacks here, or raises a resource error.
// The stand-in has slack above the normal limit: it lifts var_bottom to the
// end of the area, so the argument cells stay where the caller found them.
void LocalOverflow(void) {
  host::counters.local_overflow++;
  var_bottom = local_area + kLocalCells;
  if (next_var_cell >= var_bottom) fatal("local area exhausted");
}

void ArgError(void) {
  host::counters.arg_error++;
  host::record_error("argument error");
}

// ---- host_ API (host.h) -----------------------------------------------------

void host_args_reset(void) {
  next_var_cell = local_area;
  var_bottom = local_area + kLocalLimit;
  next_gvar_cell = global_area;
  trail_register = trail;
  frozen_goal_register = nullptr;
  frozen.clear();
  woken.clear();
}

void host_force_local_overflow(void) {
  var_bottom = next_var_cell;
}

TermCell host_int(int64_t v) {
  return make(v, HOST_TAG_INT);
}

TermCell host_atom(QxAtom a) {
  return make(a, QX_TAG_ATOM);
}

TermCell host_atom_named(const char *name) {
  return host_atom(PutAtom(0, name));
}

TermCell host_nil(void) {
  return host_atom(QX_ATOM_NIL);
}

TermCell host_var(void) {
  return make(0, QX_TAG_UNBOUND);
}

TermCell host_var4(void) {
  return make(0, QX_TAG_UNBOUND2);
}

TermCell host_ref(TermCell *target) {
  return make(ptr_value(target), QX_TAG_REF);
}

TermCell host_cons(TermCell head, TermCell tail) {
  TermCell *pair = global_cells(2);
  pair[0] = head;
  pair[1] = tail;
  return make(ptr_value(pair), QX_TAG_LIST);
}

TermCell host_int_list(const int64_t *values, size_t n, TermCell tail, uint16_t tag) {
  TermCell list = tail;
  for (size_t i = n; i-- > 0;) {
    TermCell *pair = global_cells(2);
    pair[0] = host_int(values[i]);
    pair[1] = list;
    list = make(ptr_value(pair), tag);
  }
  return list;
}

static TermCell functor(const char *op, int arity) {
  return make((PutAtom(0, op) << 8) | arity, HOST_TAG_FUNCTOR);
}

TermCell host_expr2(const char *op, TermCell left, TermCell right) {
  TermCell *parts = global_cells(3);
  parts[0] = functor(op, 2);
  parts[1] = left;
  parts[2] = right;
  return make(ptr_value(parts), HOST_TAG_EXPR);
}

TermCell host_expr1(const char *op, TermCell arg) {
  TermCell *parts = global_cells(2);
  parts[0] = functor(op, 1);
  parts[1] = arg;
  return make(ptr_value(parts), HOST_TAG_EXPR);
}

TermCell *host_global_var(void) {
  TermCell *v = global_cells(1);
  *v = host_var();
  return v;
}

TermCell *host_push(TermCell c) {
  // Pushes stop short of the slack that LocalOverflow hands out.
  if (next_var_cell >= local_area + kLocalLimit) fatal("argument area full");
  *next_var_cell = c;
  return next_var_cell++;
}

TermCell *host_deref(TermCell *cell) {
  while (cell->tag == QX_TAG_REF)
    cell = cell_at(cell->value);
  return cell;
}

int host_is_unbound(TermCell *cell) {
  return unbound(host_deref(cell));
}

int host_get_int(TermCell *cell, int64_t *out) {
  TermCell *t = host_deref(cell);
  if (t->tag != HOST_TAG_INT) return 0;
  if (out != nullptr) *out = t->value;
  return 1;
}

int host_get_atom(TermCell *cell, QxAtom *out) {
  TermCell *t = host_deref(cell);
  if (t->tag != QX_TAG_ATOM) return 0;
  if (out != nullptr) *out = t->value;
  return 1;
}

void host_freeze(TermCell *var, int goal_succeeds) {
  TermCell *t = host_deref(var);
  if (unbound(t)) frozen[t] = goal_succeeds != 0;
}

void host_untrail(void *mark) {
  TrailEntry *t = static_cast<TrailEntry *>(trail_register);
  TrailEntry *stop = static_cast<TrailEntry *>(mark);
  while (t > stop) {
    --t;
    *t->cell = t->old;
    if (t->frozen_goal >= 0) frozen[t->cell] = t->frozen_goal;
  }
  trail_register = t;
}

size_t host_trail_size(void) {
  return size_t(static_cast<TrailEntry *>(trail_register) - trail);
}

} // extern "C"
