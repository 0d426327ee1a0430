// Key built-ins: wait for a key and consume it, peek at it, count the keys
// waiting, and push keys back.
#include "module.h"

#include <fcntl.h>
#include <stdio.h>

static int64_t keyback_args[256]; // the values of a d_keyback/1 list

// True when a key starting with byte b1 is multibyte.
static int StartsMultibyte(int b1) {
  if (!kanji) return 0;
  return Type_is_kanji1(b1) || (charset_mode == 1 && Type_iskana1(b1));
}

// True when the multibyte character b1 b2 ... has three bytes.  The buffer
// holds b1, b2, b2 and a NUL, so that a character set that looks one byte
// further for the width reads nothing outside it.
static int HasThirdByte(int b1, int b2) {
  unsigned char buf[4] = {(unsigned char)b1, (unsigned char)b2, (unsigned char)b2, 0};
  int width;
  return Stream_isn_mbchar(buf, 0, &width) == 3;
}

// d_keyin/1: waits for the next key in key order and consumes all its bytes;
// an interrupt runs the engine's handler and the wait starts over.  At end of
// input the answer is -1, as for d_keypeek/1, and a multibyte character cut
// short by it is answered by the bytes that came.
int B1_d_keyin(BuiltinFrame *frame, TermCell *a1) {
  ConsoleState *con = Console;
  Prologue(frame);
  while (setjmp(line_jmp) != 0) {
    DisarmGuard();
    f_intr(frame);
  }
  ArmKeyGuard();
  int b1 = NextKey(con, con->stream);
  CheckInterrupt(line_jmp);
  int64_t code = b1 < 0 ? -1 : b1 & 0xff;
  if (b1 >= 0 && StartsMultibyte(b1 & 0xff)) {
    int b2 = NextKey(con, con->stream);
    if (b2 >= 0) {
      code = (code << 8) | (b2 & 0xff);
      if (HasThirdByte(b1 & 0xff, b2 & 0xff)) {
        int b3 = NextKey(con, con->stream);
        if (b3 >= 0) code = (code << 8) | (b3 & 0xff);
      }
    }
  }
  DisarmGuard();
  return unify_intE_ex(frame, a1, code);
}

// Entry of d_keyin/1.
int64_t P1_d_keyin(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B1_d_keyin(frame, top - 1);
}

// The k-th byte (1-based) of the typeahead ring in ring order.
static int RingByte(ConsoleState *con, int k) {
  const unsigned char *p = con->typeahead_head + (k - 1);
  if (p >= con->typeahead + QX_LINE_MAX) p -= QX_LINE_MAX;
  return *p;
}

// Reads raw bytes from the terminal into the ring until it holds `need`
// bytes.  The stop and start characters act (with sig_state 0) and are not
// kept.  When the terminal's input has ended or fails, the peek answers -1
// instead of inventing a key; a full ring also stops the reading.
static int FillRing(ConsoleState *con, int need) {
  while (con->typeahead_count < need) {
    if (con->typeahead_count >= QX_LINE_MAX) return 0;
    int ch = ReadStdin(1);
    CheckInterrupt(line_jmp);
    if (ch == -1) return 0;
    if (con->sig_state == 0 && ch == con->stop_char) {
      con->output_stopped = 1;
    } else if (con->sig_state == 0 && ch == con->start_char) {
      con->output_stopped = 0;
    } else {
      TypeaheadAppend(con, ch);
    }
  }
  return 1;
}

// The k-th byte in key order without taking it: keyback stack, then the
// typeahead ring, then raw bytes read ahead from the terminal; -1 when the
// terminal's input ends first.
static int PeekByte(ConsoleState *con, int k) {
  if (k <= con->keyback_count) return con->keyback[con->keyback_count - k];
  int in_ring = k - con->keyback_count;
  if (!FillRing(con, in_ring)) return -1;
  return RingByte(con, in_ring);
}

// d_keypeek/1: waits for the next key and answers its code; its bytes stay to
// be read.  At end of input the answer is -1.
int B1_d_keypeek(BuiltinFrame *frame, TermCell *a1) {
  ConsoleState *con = Console;
  Prologue(frame);
  while (setjmp(line_jmp) != 0) {
    DisarmGuard();
    f_intr(frame);
  }
  ArmKeyGuard();
  int b1 = PeekByte(con, 1);
  int64_t code = b1;
  if (b1 >= 0 && StartsMultibyte(b1)) {
    int b2 = PeekByte(con, 2);
    if (b2 >= 0) {
      code = (b1 << 8) | b2;
      int b3 = HasThirdByte(b1, b2) ? PeekByte(con, 3) : -1;
      if (b3 >= 0) code = ((int64_t)b1 << 16) | (b2 << 8) | b3;
    }
  }
  DisarmGuard();
  return unify_intE_ex(frame, a1, code);
}

// Entry of d_keypeek/1.
int64_t P1_d_keypeek(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B1_d_keypeek(frame, top - 1);
}

// d_keylength/1: moves every byte already typed into the ring (at most 256
// there), one non-blocking read per byte, and answers the bytes waiting.
int B1_d_keylength(BuiltinFrame *frame, TermCell *a1) {
  ConsoleState *con = Console;
  Prologue(frame);
  while (con->typeahead_count < QX_LINE_MAX) {
    int flags = fcntl(0, F_GETFL);
    fcntl(0, F_SETFL, flags | O_NONBLOCK);
    int ch = ReadStdin(0);
    fcntl(0, F_SETFL, flags);
    if (ch == -1) break;
    if (con->sig_state == 0 && ch == con->stop_char)
      con->output_stopped = 1;
    else if (con->sig_state == 0 && ch == con->start_char)
      con->output_stopped = 0;
    else
      TypeaheadAppend(con, ch);
  }
  return unify_intE_ex(frame, a1, con->typeahead_count + con->keyback_count);
}

// Entry of d_keylength/1.
int64_t P1_d_keylength(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B1_d_keylength(frame, top - 1);
}

// True for a list cell.
static int IsList(const TermCell *t) {
  return t->tag == QX_TAG_LIST || t->tag == QX_TAG_LIST2;
}

// d_keyback/1: pushes back one key, or the keys of a list of at most 256 so
// that they come back in list order.  An improper list or a longer one is an
// argument error; what was gathered is pushed all the same.
int B1_d_keyback(BuiltinFrame *, TermCell *a1) {
  TermCell *t = Dereference(a1);
  if (!IsList(t)) {
    C_keyback(Numeric_s_num_eval_int(t));
    return 1;
  }
  int i = 0;
  while (i < 256 && IsList(t)) {
    TermCell *pair = (TermCell *)(intptr_t)t->value;
    keyback_args[i++] = Numeric_s_num_eval_int(&pair[0]);
    t = Dereference(&pair[1]);
  }
  if (!(t->tag == QX_TAG_ATOM && t->value == QX_ATOM_NIL)) ArgError();
  while (i > 0)
    C_keyback(keyback_args[--i]);
  return 1;
}

// Entry of d_keyback/1.
int64_t P1_d_keyback(BuiltinFrame *frame) {
  TermCell *top = next_var_cell;
  return B1_d_keyback(frame, top - 1);
}
