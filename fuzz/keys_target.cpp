// Keys into the line editor.  Input: a configuration byte, the number of keys
// pushed back, the number of key_scan calls, then the keys.
//   config bits 0-1: input mode (TOPLEVEL, NORMAL, NOPROMPT, COMMAND)
//   bit 2: sig_state; bit 3: the terminal's signal characters off (the
//   interrupt character then arrives as a byte, as from a pipe);
//   bits 4-6: character set (UTF-8, EUC-JP, single bytes, UTF-8 answering
//   width 0, UTF-8 answering two bytes too many).
// The first keys go on the keyback stack, the rest are typed at the terminal,
// of which key_scan moves some into the typeahead ring.  The console is then
// read with host_getc until end of file (the typed keys used up), twice.
#include "harness.h"

#include "console.h"
#include "host.h"

#include <termios.h>

#include <algorithm>

namespace {

// Characters of no width, like combining marks.
int WidthZero(unsigned char *bytes, int index, int *width) {
  int n = host_isn_mbchar_default(bytes, index, width);
  *width = 0;
  return n;
}

// Characters said to be longer than they are.
int TooLong(unsigned char *bytes, int index, int *width) {
  return host_isn_mbchar_default(bytes, index, width) + 2;
}

// Chooses the character set and the engine's answers about characters.
void ApplyCharset(int choice) {
  static const int sets[] = {HOST_UTF8, HOST_EUCJP, HOST_SINGLE, HOST_UTF8, HOST_UTF8};
  host_set_charset(sets[choice % 5]);
  if (choice % 5 == 3) host_set_mbchar_override(WidthZero);
  if (choice % 5 == 4) host_set_mbchar_override(TooLong);
}

// Sets the input mode by its exported switch.
void ApplyMode(int mode) {
  static void (*const modes[])(void) = {C_TOPLEVEL, C_NORMAL, C_NOPROMPT, C_COMMAND};
  modes[mode & 3]();
}

// Turns the terminal's signal characters off, as the terminal mode stands.
void SignalsOff() {
  termios t{};
  tcgetattr(0, &t);
  t.c_lflag &= ~(tcflag_t)ISIG;
  tcsetattr(0, TCSANOW, &t);
}

} // namespace

// See harness.h.
int QxFuzzKeys(const uint8_t *data, size_t size) {
  QxFuzzStart();
  QxFuzzReset();
  if (size < 3) return 0;
  const int config = data[0];
  const size_t pushed = std::min<size_t>(data[1], size - 3);
  int scans = data[2];
  data += 3;
  size = std::min<size_t>(size - 3, 768);
  ApplyCharset(config >> 4);
  C_SetSigState(config >> 2 & 1);
  if (config & 8) SignalsOff();
  ApplyMode(config);
  for (size_t i = pushed; i-- > 0;)
    C_keyback(data[i]);
  QxFuzzType(data + pushed, size - pushed);
  while (scans-- > 0)
    key_scan();
  QxFuzzCheck("keys: before reading");
  for (int eofs = 0, reads = 0; eofs < 2 && reads < 8192; reads++) {
    eofs += host_getc(C_GetStream()) == -1;
    QxFuzzCheck("keys: after host_getc");
  }
  return 0;
}
