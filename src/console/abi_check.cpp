// Compile-time guards of the engine interface in console.h.  The engine reads
// and writes the console record, and builds the term cells and built-in frames
// that the module reads, by these layouts; a change to one of them breaks
// every engine built against the previous header.  A build that fails here
// has changed the interface: restore the layout, or treat the change as a new
// SONAME.  This file defines nothing.
#include "console.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---- Sizes that hold on every platform ----------------------------------------

static_assert(QX_LINE_MAX == 256 && QX_HISTORY_SLOTS == 20 && QX_HISTORY_BYTES == 257,
              "buffer constants");
static_assert(sizeof(ConsoleState::line_buf) == 256, "line_buf holds 256 bytes");
static_assert(sizeof(ConsoleState::keyback) == 256, "keyback holds 256 bytes");
static_assert(sizeof(ConsoleState::typeahead) == 256, "typeahead holds 256 bytes");
static_assert(sizeof(ConsoleState::history) == 20 * 257,
              "history: 20 slots of 257 bytes");
static_assert(sizeof(ConsoleState::history[0]) == 257, "a history slot holds 257 bytes");
static_assert(sizeof(ConsoleState::template_mark) == 257,
              "template_mark holds 257 bytes");
static_assert(sizeof(ConsoleState::edit_keys) == 10 * sizeof(int32_t), "10 edit keys");

static_assert(std::is_same<QxStream, int64_t>::value, "64-bit stream handles");
static_assert(std::is_same<QxAtom, int64_t>::value, "64-bit atom numbers");

// The type of every field of the console record, in order.
#define QX_TYPE(field, type)                                                             \
  static_assert(std::is_same<decltype(ConsoleState::field), type>::value,                \
                "type of ConsoleState." #field)

QX_TYPE(stream, QxStream);
QX_TYPE(prompt, QxAtom);
QX_TYPE(prompt_postfix, QxAtom);
QX_TYPE(log_stream, QxStream);
QX_TYPE(columns, int32_t);
QX_TYPE(rows, int32_t);
QX_TYPE(cur_x, int32_t);
QX_TYPE(cur_y, int32_t);
QX_TYPE(cursor_shown, int32_t);
QX_TYPE(scroll_line, int32_t);
QX_TYPE(output_stopped, int32_t);
QX_TYPE(input_mode, int32_t);
QX_TYPE(line_len, int32_t);
QX_TYPE(line_pos, unsigned char *);
QX_TYPE(line_buf, unsigned char[256]);
QX_TYPE(intr_char, int32_t);
QX_TYPE(stop_char, int32_t);
QX_TYPE(start_char, int32_t);
QX_TYPE(eof_char, int32_t);
QX_TYPE(edit_keys, int32_t[10]);
QX_TYPE(keyback_count, int32_t);
QX_TYPE(keyback, unsigned char[256]);
QX_TYPE(typeahead_count, int32_t);
QX_TYPE(typeahead_head, unsigned char *);
QX_TYPE(typeahead, unsigned char[256]);
QX_TYPE(history_head, int32_t);
QX_TYPE(history, unsigned char[20][257]);
QX_TYPE(template_mark, unsigned char[257]);
QX_TYPE(shadow, unsigned char **);
QX_TYPE(sig_state, int32_t);

#undef QX_TYPE

// The built-in frame's fields.
static_assert(std::is_same<decltype(BuiltinFrame::engine_words), void *[2]>::value,
              "BuiltinFrame.engine_words");
static_assert(std::is_same<decltype(BuiltinFrame::var_mark), TermCell *>::value,
              "BuiltinFrame.var_mark");
static_assert(std::is_same<decltype(BuiltinFrame::gvar_mark), void *>::value,
              "BuiltinFrame.gvar_mark");
static_assert(std::is_same<decltype(BuiltinFrame::trail_mark), void *>::value,
              "BuiltinFrame.trail_mark");
static_assert(std::is_same<decltype(BuiltinFrame::frame_flags), int32_t>::value,
              "BuiltinFrame.frame_flags");

// The term cell: value at 0, a 16-bit tag at 8, cells 16 bytes apart.
static_assert(std::is_same<decltype(TermCell::value), int64_t>::value, "64-bit value");
static_assert(std::is_same<decltype(TermCell::tag), uint16_t>::value, "16-bit tag");
static_assert(offsetof(TermCell, value) == 0, "value at offset 0");
static_assert(offsetof(TermCell, tag) == 8, "tag at offset 8");
static_assert(sizeof(TermCell) == 16, "term cells lie 16 bytes apart");

// The values the engine and the module share by number.
static_assert(TOPLEVEL == 0 && NORMAL == 1 && NOPROMPT == 2 && COMMAND == 3, "InputMode");
static_assert(ERASE == 0 && COPY_CHAR == 1 && COPY_REST == 2 && SKIP_CHAR == 3 &&
                  KILL_LINE == 4 && INSERT_TOGGLE == 5 && HIST_PREV == 6 &&
                  HIST_NEXT == 7 && HIST_STORE == 8 && HIST_LIST == 9,
              "EditKey");
static_assert(COOKED == 0 && RAW == 1 && RAW_NOSIG == 2, "TermMode");
static_assert(QX_TAG_REF == 0 && QX_TAG_UNBOUND2 == 4 && QX_TAG_ATOM == 16 &&
                  QX_TAG_LIST2 == 24 && QX_TAG_LIST == 32 && QX_TAG_UNBOUND == 48,
              "term tags");
static_assert(QX_ATOM_NIL == 1 && QX_ATOM_CURSOR_ON == 72 && QX_ATOM_CURSOR_OFF == 73,
              "fixed atoms");

// ---- Offsets pinned for x86_64 (LP64) -----------------------------------------

#if defined(__x86_64__) && defined(__LP64__)

#define QX_AT(field, offset)                                                             \
  static_assert(offsetof(ConsoleState, field) == (offset), "ConsoleState." #field)

QX_AT(stream, 0);
QX_AT(prompt, 8);
QX_AT(prompt_postfix, 16);
QX_AT(log_stream, 24);
QX_AT(columns, 32);
QX_AT(rows, 36);
QX_AT(cur_x, 40);
QX_AT(cur_y, 44);
QX_AT(cursor_shown, 48);
QX_AT(scroll_line, 52);
QX_AT(output_stopped, 56);
QX_AT(input_mode, 60);
QX_AT(line_len, 64);
QX_AT(line_pos, 72);
QX_AT(line_buf, 80);
QX_AT(intr_char, 336);
QX_AT(stop_char, 340);
QX_AT(start_char, 344);
QX_AT(eof_char, 348);
QX_AT(edit_keys, 352);
QX_AT(keyback_count, 392);
QX_AT(keyback, 396);
QX_AT(typeahead_count, 652);
QX_AT(typeahead_head, 656);
QX_AT(typeahead, 664);
QX_AT(history_head, 920);
QX_AT(history, 924);
QX_AT(template_mark, 6064);
QX_AT(shadow, 6328);
QX_AT(sig_state, 6336);
static_assert(sizeof(ConsoleState) == 6344, "sizeof(ConsoleState)");
static_assert(alignof(ConsoleState) == 8, "alignof(ConsoleState)");

#undef QX_AT

// The built-in frame: the engine's two words, then the four marks the
// prologue writes.
static_assert(offsetof(BuiltinFrame, engine_words) == 0, "BuiltinFrame.engine_words");
static_assert(offsetof(BuiltinFrame, var_mark) == 16, "BuiltinFrame.var_mark");
static_assert(offsetof(BuiltinFrame, gvar_mark) == 24, "BuiltinFrame.gvar_mark");
static_assert(offsetof(BuiltinFrame, trail_mark) == 32, "BuiltinFrame.trail_mark");
static_assert(offsetof(BuiltinFrame, frame_flags) == 40, "BuiltinFrame.frame_flags");
static_assert(sizeof(BuiltinFrame) == 48, "sizeof(BuiltinFrame)");

#endif
