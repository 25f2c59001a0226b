#pragma once
// The console keyboard: a non-blocking test for a waiting key and a read of one
// key without echo. On a terminal the input is switched to unbuffered, no-echo
// mode for the lifetime of the object and restored on every exit path
// (destruction, and the signal handlers installed by InstallCancelSignals).
// When standard input is not a terminal (a pipe or a file) the poll still never
// blocks, and bytes from it are read as keys, so a piped space cancels like a
// key press.

namespace clipvane::platform {

class ConsoleKeyboard {
 public:
  ConsoleKeyboard();
  ~ConsoleKeyboard();
  ConsoleKeyboard(const ConsoleKeyboard&) = delete;
  ConsoleKeyboard& operator=(const ConsoleKeyboard&) = delete;

  // True when a key press (or a byte on a piped standard input) is waiting.
  bool KeyWaiting();
  // Reads one waiting key without echo; -1 when none could be read.
  int ReadKey();

 private:
  void enterKeyMode();

  int pending_ = -1;         // a byte taken from the input by KeyWaiting, not yet read
  bool endOfInput_ = false;  // the input ended or is unusable: nothing will ever wait
  bool isTerminal_ = false;
  bool ownsTerminal_ = false;
};

// Ctrl-C, SIGTERM and SIGHUP: after this call they no longer end the process
// at once; CancelRequested() becomes true and the driver cancels as for the
// space bar. SIGPIPE is ignored, so a closed output shows as a failed write.
void InstallCancelSignals();
bool CancelRequested();

}  // namespace clipvane::platform
