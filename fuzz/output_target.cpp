// Bytes written to the console stream, with events between them.  Input: the
// bytes to write; the pair FF FE starts an event named by the next byte:
//   W c r   the terminal becomes 1 + c % 300 columns by 1 + r % 100 rows
//   S v     C_SetScrollLine((signed char)v), inside or outside the screen
//   K k     the key k is typed (19 and 17 stop and start output at the next
//           scroll; other keys go to the typeahead ring there)
//   R       S_redisplay            C x y  C_SetCursor(x, y)
//   E       e_disp_flag toggled    I      the engine's Interrupt toggled
//   U h l   the code h * 256 + l written (bits 8..15 set)
// The screen size starts as that of the process (QX_FUZZ_SIZE); the W event
// changes the window under the module, which follows it from its next safe
// point (the shadow reallocated, curses resized, the screen redrawn).  Afterwards
// the log must hold every code written (but those with bits 8..15 set and
// those written while e_disp_flag bypassed the console).
#include "harness.h"

#include "console.h"
#include "host.h"

#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace {

using Reader = QxFuzzReader;

// Runs the event named by `kind`, reading its operands.
void Event(Reader &in, int kind, std::vector<int> &expected) {
  switch (kind) {
  case 'W': {
    int c = in.Next(), r = in.Next();
    QxFuzzResize(1 + c % 300, 1 + r % 100);
    break;
  }
  case 'S':
    C_SetScrollLine((signed char)in.Next());
    break;
  case 'K': {
    uint8_t k = (uint8_t)in.Next();
    QxFuzzType(&k, 1);
    break;
  }
  case 'R':
    S_redisplay();
    break;
  case 'C': {
    int x = (signed char)in.Next(), y = (signed char)in.Next();
    C_SetCursor(x, y);
    break;
  }
  case 'E':
    e_disp_flag = !e_disp_flag;
    break;
  case 'I':
    Interrupt = !Interrupt;
    break;
  case 'U': {
    int code = in.Next() << 8;
    code |= in.Next();
    Stream__sputc(code, C_GetStream());
    if (!e_disp_flag && (code & 0xff00) == 0) expected.push_back(code);
    break;
  }
  }
}

// The log holds exactly the codes expected, in order.
void CheckLog(const std::vector<int> &expected) {
  size_t n = 0;
  const int *codes = host_memory_codes(C_GetLog(), &n);
  if (C_GetLog() == 0 || n != expected.size()) {
    fprintf(stderr, "qxfuzz: output: the log holds %zu codes of %zu\n", n,
            expected.size());
    abort();
  }
  for (size_t i = 0; i < n; i++)
    if (codes[i] != expected[i]) {
      fprintf(stderr, "qxfuzz: output: log code %zu is %d, not %d\n", i, codes[i],
              expected[i]);
      abort();
    }
}

} // namespace

// See harness.h.
int QxFuzzOutput(const uint8_t *data, size_t size) {
  QxFuzzStart();
  QxFuzzReset();
  Reader in{data, size < 4096 ? size : 4096};
  std::vector<int> expected;
  while (in.n > 0) {
    int c = in.Next();
    if (c == 0xFF && in.n > 0 && in.p[0] == 0xFE) {
      in.Next();
      Event(in, in.Next(), expected);
    } else {
      Stream__sputc(c, C_GetStream());
      if (!e_disp_flag) expected.push_back(c);
    }
    QxFuzzCheck("output");
  }
  e_disp_flag = 0;
  Interrupt = 0;
  CheckLog(expected);
  return 0;
}
