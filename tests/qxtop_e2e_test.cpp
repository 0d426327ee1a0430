// End-to-end test of qxtop as a user runs it: the program runs in a private
// tmux server, which is the terminal emulator; keys are typed with send-keys
// and the screen is read back with capture-pane.  One session per terminal
// type walks through a table of steps; every step waits (polling against a
// generous deadline, never a fixed sleep) for a screen that only its own keys
// can bring about.  Each session has its own server (its own socket), and
// nothing depends on the invoking terminal: qxtop's TERM is set in the
// session's command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef QXTOP_BINARY
#error "QXTOP_BINARY must name the qxtop program"
#endif
#ifndef QX_TMUX
#define QX_TMUX ""
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Ready = std::function<bool(const Lines &)>;

// Generous: qxtop under the sanitizers on a loaded machine is slow, and a
// step that is late only waits longer.
constexpr auto kDeadline = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(50);

// The tmux found at configuration time, else tmux on the PATH.
const char *TmuxProgram() {
  return QX_TMUX[0] != '\0' ? QX_TMUX : "tmux";
}

// Runs a program (no shell) with standard input from /dev/null; returns its
// exit status (-1 if it could not run) and, when `out` is given, its output.
int RunProgram(const std::vector<std::string> &args, std::string *out = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out != nullptr ? fds[1] : null, 1);
    dup2(null, 2);
    close(fds[0]);
    close(fds[1]);
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0 && out != nullptr) out->append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Output split into lines, trailing blanks removed (capture-pane keeps them
// for rows that held text).
Lines SplitLines(const std::string &text) {
  Lines lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line.erase(line.find_last_not_of(' ') + 1);
    lines.push_back(line);
  }
  return lines;
}

// The last line that is not empty ("" when the screen is blank).
std::string LastLine(const Lines &lines) {
  for (size_t k = lines.size(); k-- > 0;)
    if (!lines[k].empty()) return lines[k];
  return "";
}

// The screen with row numbers, for failure messages.
std::string Show(const Lines &lines) {
  std::string out;
  for (size_t k = 0; k < lines.size(); k++)
    out += (k < 10 ? " " : "") + std::to_string(k) + "|" + lines[k] + "\n";
  return out;
}

// A screen that shows each of `lines` (a line listed twice must show twice),
// none of `gone`, and `last` as its last line that is not empty ("" for any).
Ready Shows(Lines lines, std::string last = "", Lines gone = {}) {
  return [=](const Lines &s) {
    for (const std::string &want : lines)
      if (std::count(s.begin(), s.end(), want) <
          std::count(lines.begin(), lines.end(), want))
        return false;
    for (const std::string &g : gone)
      if (std::count(s.begin(), s.end(), g) != 0) return false;
    return last.empty() || LastLine(s) == last;
  };
}

// A screen where lines/1 has got past line `n` ("N  the quick brown fox...").
Ready PastLine(int n) {
  return [=](const Lines &s) {
    for (const std::string &l : s) {
      size_t gap = l.find("  the quick brown fox");
      if (gap != std::string::npos && gap > 0 && std::atoi(l.c_str()) > n) return true;
    }
    return false;
  };
}

// One tmux server of its own, 80 x 24, running qxtop with the given TERM
// under a shell that prints qxtop's exit status when it ends (tmux's own
// record of it, #{pane_dead_status}, was seen to stay empty for good, the
// ended qxtop left unreaped).  The shell catches SIGINT, and a caught signal
// waits until the foreground command ends, so Ctrl-C acts on qxtop alone;
// qxtop starts with SIGINT at its default, as caught signals are reset on
// exec.  The pane stays after the shell ends, so that its last screen can be
// read.  The server is killed when the object goes, whatever the test did.
class Terminal {
public:
  Terminal(const std::string &term, const std::string &log) {
    static int counter = 0;
    socket_ = "qxtop-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    unsetenv("TMUX"); // started inside tmux, the tests still use their own server
    // The system's terminal descriptions, whatever TERMINFO the caller set.
    std::string command = "trap : INT; env -u TERMINFO -u TERMINFO_DIRS TERM=" + term +
                          " '" + std::string(QXTOP_BINARY) + "' '--log=" + log +
                          "'; echo qxtop exit status $?";
    started_ =
        Tmux({"-f", "/dev/null", "new-session", "-d", "-x", "80", "-y", "24", "-s", "qx",
              command, ";", "set-option", "-g", "remain-on-exit", "on"}) == 0;
  }
  // Ends the server and removes its socket, which tmux leaves behind.
  ~Terminal() {
    std::string path = Format("#{socket_path}");
    Tmux({"kill-server"});
    if (path.find("/" + socket_) != std::string::npos) unlink(path.c_str());
  }
  bool started() const {
    return started_;
  }
  // Types text literally (no key names).
  void Type(const std::string &text) {
    Tmux({"send-keys", "-t", "qx", "-l", text});
  }
  // Gives the window a new size, as a user dragging its corner.
  void Resize(int cols, int rows) {
    Tmux({"resize-window", "-t", "qx", "-x", std::to_string(cols), "-y",
          std::to_string(rows)});
  }
  // Presses a key by tmux name: Enter, Up, C-a, ...
  void Key(const std::string &key) {
    Tmux({"send-keys", "-t", "qx", key});
  }
  // The visible screen, and with `history` the lines scrolled off above it
  // (tmux scrolls the pane when it notes that the program ended).
  Lines Screen(bool history = false) {
    std::string out;
    if (history)
      Tmux({"capture-pane", "-p", "-S", "-", "-t", "qx"}, &out);
    else
      Tmux({"capture-pane", "-p", "-t", "qx"}, &out);
    return SplitLines(out);
  }
  // A tmux format expanded for the pane, without its newline.
  std::string Format(const std::string &format) {
    std::string out;
    Tmux({"display-message", "-p", "-t", "qx", format}, &out);
    return out.substr(0, out.find('\n'));
  }
  // Polls until `ready` holds for the screen; false (the last screen in
  // *last) at the deadline.
  bool WaitFor(const Ready &ready, Lines *last) {
    auto end = Clock::now() + kDeadline;
    for (;;) {
      *last = Screen();
      if (ready(*last)) return true;
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(kPoll);
    }
  }

private:
  std::string socket_;
  bool started_ = false;

  int Tmux(std::vector<std::string> args, std::string *out = nullptr) {
    args.insert(args.begin(), {TmuxProgram(), "-L", socket_});
    return RunProgram(args, out);
  }
};

// One step of a session: text typed, then keys pressed, then the screen that
// must follow.
struct Step {
  const char *what;
  std::string text;
  Lines keys;
  Ready ready;
  int cols = 0, rows = 0; // the window's new size after the keys; 0: unchanged
};

// Ready when the screen's rows, joined, hold `text` (a line wrapped whole).
Ready ShowsJoined(const std::string &text) {
  return [text](const Lines &screen) {
    std::string all;
    for (const std::string &l : screen)
      all += l;
    return all.find(text) != std::string::npos;
  };
}

const std::string kGreeting =
    "qxtop: a small top level on the console module. Type help. for the goals.";
const std::string kResized = "d_screen(X, Y), write(abcdefghijklmnopqrstuvwxyz), write(0123456789).";
const std::string kShell = "| write(marker), nl, shell('echo hi'), d_keyin(K).";

class Qxtop : public testing::TestWithParam<const char *> {};

// Catches, as a user meets them: no greeting or prompt on start; a query
// that does not run or whose output is lost; the template (Ctrl-A) or the
// history (Up) not editing the line; syntax errors not reported; Ctrl-C at
// the prompt not aborting the line (or running it), or not interrupting long
// output; the history listing (Ctrl-X) or " ABORT" not followed by a fresh
// prompt, or by an empty line in the log; a shell escape that leaves the
// terminal cooked or the console screen not redrawn after it; and end of
// file on an empty line not ending qxtop with status 0 and its farewell; a
// line being typed when the window shrinks not shown whole at the new width,
// or d_screen/2 not answering the new size.
TEST_P(Qxtop, UserSession) {
  if (RunProgram({TmuxProgram(), "-V"}) != 0) GTEST_SKIP() << "tmux is not installed";
  const std::string log = testing::TempDir() + "qxtop-e2e-" + std::to_string(getpid()) +
                          "-" + GetParam() + ".log";
  Terminal term(GetParam(), log);
  ASSERT_TRUE(term.started()) << "tmux did not start a session";
  const Step steps[] = {
      {"the greeting and the first prompt", "", {}, Shows({kGreeting}, "|")},
      {"a query with output",
       "write(hello), nl.",
       {"Enter"},
       Shows({"| write(hello), nl.", "hello", "yes"}, "|")},
      {"typing over the template, Ctrl-A copies its rest",
       "write(zz",
       {"C-a"},
       Shows({}, "| write(zzllo), nl.")},
      {"the edited line runs", "", {"Enter"}, Shows({"zzllo"}, "|")},
      {"Up twice recalls the older line",
       "",
       {"Up", "Up"},
       Shows({}, "| write(hello), nl.")},
      {"the recalled line runs", "", {"Enter"}, Shows({"hello", "hello"}, "|")},
      {"Ctrl-X lists the history, then a fresh prompt",
       "",
       {"C-x"},
       Shows({"| ^X", "  HISTORY", " 2: write(zzllo), nl."}, "|")},
      {"a syntax error with a caret under its place",
       "d_pos(X Y).",
       {"Enter"},
       Shows({"syntax error: ',' or ')' expected in the arguments (line 1, column 9)",
              "          ^"},
             "|")},
      {"a line typed", "write(never)", {}, Shows({}, "| write(never)")},
      {"Ctrl-C at the prompt aborts it unrun",
       "",
       {"C-c"},
       Shows({"| write(never)^C ABORT"}, "|", {"never"})},
      {"long output", "lines(100000000).", {"Enter"}, PastLine(30)},
      {"Ctrl-C during output", "", {"C-c"}, Shows({"{Interrupted}"}, "|")},
      {"the command's output on the plain terminal",
       kShell.substr(2),
       {"Enter"},
       Shows({"hi", "[exit status 0; press Enter to return]"})},
      {"the console screen redrawn",
       "",
       {"Enter"},
       Shows({"marker", kShell}, "", {"hi", "[exit status 0; press Enter to return]"})},
      {"one key without Enter reaches d_keyin", "k", {}, Shows({"K = 107", "yes"}, "|")},
      {"a long line being typed, shown whole after the window shrinks",
       kResized,
       {},
       ShowsJoined(kResized),
       37,
       11},
      {"it runs at the new size", "", {"Enter"}, Shows({"X = 37", "Y = 11", "yes"}, "|")},
      {"end of file to end qxtop",
       "",
       {"C-d"},
       [&term](const Lines &) { // tmux may scroll the last lines off as qxtop ends
         for (const std::string &l : term.Screen(true))
           if (l.rfind("qxtop exit status", 0) == 0) return true;
         return false;
       }},
  };
  for (const Step &step : steps) {
    if (!step.text.empty()) term.Type(step.text);
    for (const std::string &key : step.keys)
      term.Key(key);
    if (step.cols > 0) term.Resize(step.cols, step.rows);
    Lines screen;
    ASSERT_TRUE(term.WaitFor(step.ready, &screen))
        << "timed out waiting for " << step.what << "; the screen:\n"
        << Show(screen);
  }
  Lines all = term.Screen(true);
  EXPECT_EQ(std::count(all.begin(), all.end(), "Exit from Prolog"), 1) << Show(all);
  EXPECT_EQ(std::count(all.begin(), all.end(), "qxtop exit status 0"), 1) << Show(all);
  std::ifstream in(log);
  std::string logged((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
  unlink(log.c_str());
  EXPECT_NE(logged.find("  HISTORY\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("^C ABORT\n| "), std::string::npos) << logged;
  EXPECT_EQ(logged.find("\n\n"), std::string::npos) << "an empty line in the log:\n"
                                                    << logged;
}

INSTANTIATE_TEST_SUITE_P(Terminals, Qxtop, testing::Values("xterm", "vt100"),
                         [](const testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param);
                         });

} // namespace
