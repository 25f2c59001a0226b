#pragma once
// The console keyboard: a non-blocking test for a waiting key and a read of one
// key without echo. Only a terminal is a keyboard: when standard input is a
// pipe, a file or closed, no key is ever waiting and nothing is read from it,
// so a shell loop that feeds file names through standard input keeps them.
// On a terminal the input is switched to unbuffered, no-echo mode for the
// lifetime of the object; the mode is given back on every exit path
// (destruction, exit, the signal handlers of platform/signals.h) and while the
// process is stopped (Ctrl-Z), and taken again at the first poll after it
// continues in the foreground.

namespace clipvane::platform {

class ConsoleKeyboard {
 public:
  ConsoleKeyboard();
  ~ConsoleKeyboard();
  ConsoleKeyboard(const ConsoleKeyboard&) = delete;
  ConsoleKeyboard& operator=(const ConsoleKeyboard&) = delete;

  // True when a key press is waiting. Never blocks.
  bool KeyWaiting();
  // Reads one waiting key without echo; -1 when none could be read.
  int ReadKey();

 private:
  int pending_ = -1;         // a byte taken from the terminal by KeyWaiting, not yet read
  bool endOfInput_ = false;  // the terminal hung up: nothing will ever wait
  bool isTerminal_ = false;
  bool ownsTerminal_ = false;
};

}  // namespace clipvane::platform
