// The calling convention of the module's built-ins: arguments below
// next_var_cell, Dereference, and the prologue and epilogue of bodies that
// unify.
#include "module.h"

// Follows reference cells to the first cell that is not a reference.
TermCell *Dereference(TermCell *cell) {
  while (cell->tag == QX_TAG_REF)
    cell = (TermCell *)(intptr_t)cell->value;
  return cell;
}

// Makes sure the local area has room, then marks the frame for the engine's
// undo of the unifications and clears the frozen-goal register.
void Prologue(BuiltinFrame *frame) {
  if (next_var_cell >= var_bottom) LocalOverflow();
  frame->var_mark = next_var_cell;
  frame->frame_flags = 0;
  frame->gvar_mark = next_gvar_cell;
  frame->trail_mark = trail_register;
  frozen_goal_register = NULL;
}

// After successful unifications: runs the goals they woke, if any.
int Epilogue(BuiltinFrame *frame) {
  if (frozen_goal_register == NULL) return 1;
  return unify_after_call(frame) ? 1 : 0;
}
