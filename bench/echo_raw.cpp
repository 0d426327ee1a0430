// The echo latency baseline: a raw-mode program that prints the prompt "| ",
// then echoes each key with one write(); Enter writes "\r\n| ".  Ctrl-D or
// the end of input ends it, with the terminal put back as it was.
#include <cerrno>
#include <termios.h>
#include <unistd.h>

// Echoes keys until Ctrl-D; returns 0.
int main() {
  termios saved{}, raw{};
  tcgetattr(0, &saved);
  raw = saved;
  raw.c_lflag &= ~(ICANON | ECHO | IEXTEN);
  raw.c_iflag &= ~(ICRNL | INLCR | IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSAFLUSH, &raw);
  ssize_t w = write(1, "| ", 2);
  for (;;) {
    unsigned char c;
    ssize_t n = read(0, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == 4) break;
    if (c == '\r' || c == '\n')
      w = write(1, "\r\n| ", 4);
    else
      w = write(1, &c, 1);
  }
  (void)w;
  tcsetattr(0, TCSAFLUSH, &saved);
  return 0;
}
