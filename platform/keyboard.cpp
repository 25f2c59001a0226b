#include "platform/keyboard.h"

#include "platform/terminal_mode.h"

#if defined(_WIN32)
#include <conio.h>
#include <windows.h>
#else
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace clipvane::platform {

#if defined(_WIN32)

namespace terminal {
// The console keeps its own mode; _getch already reads without echo.
void RestoreForGood() {}
void RestoreForStop() {}
void KeyModeOwed() {}
}  // namespace terminal

namespace {

// Keys come only from a console. Redirected input (a file or a pipe) is
// never read as keys: _isatty would also take the NUL device for one.
bool standardInputIsConsole() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) != 0;
}

}  // namespace

// The console reads keys one at a time and without echo through _kbhit and
// _getch whatever its line mode, so nothing is switched or restored.
ConsoleKeyboard::ConsoleKeyboard() : isTerminal_(standardInputIsConsole()) {}
ConsoleKeyboard::~ConsoleKeyboard() = default;

bool ConsoleKeyboard::KeyWaiting() { return isTerminal_ && _kbhit() != 0; }

int ConsoleKeyboard::ReadKey() {
  if (!KeyWaiting()) return -1;
  const int key = _getch();
  // A function or arrow key comes as a prefix and a second code: both belong
  // to one key press, and neither is a space.
  if ((key == 0 || key == 0xE0) && _kbhit()) _getch();
  return key;
}

#else

namespace {

// Who has the terminal. The settings below are written only while the mode is
// kUntouched, before it changes, so a handler that sees another mode reads
// them complete.
enum TerminalMode : int {
  kUntouched = 0,  // the terminal has the settings it came with
  kKeyMode = 1,    // unbuffered, no echo
  kOwed = 2,       // given back for a stop, or changed by someone while stopped: retake at the next poll
};
std::atomic<int> g_mode{kUntouched};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers change the mode");
struct termios g_savedTerminal;
struct termios g_keyTerminal;
bool g_exitHookInstalled = false;

// A job in the background may neither change the terminal's modes nor read
// from it (the system would stop it), so it leaves the terminal alone until
// it is brought to the foreground. A terminal that is not the controlling one
// has no foreground group and no job control. Async-signal-safe.
bool inForeground() {
  const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == ::getpgrp();
}

// tcsetattr is async-signal-safe; errno is kept for the code a handler interrupts.
void applySettings(const struct termios& settings) {
  const int savedErrno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &settings);
  errno = savedErrno;
}

extern "C" void restoreTerminalAtExit() { terminal::RestoreForGood(); }

}  // namespace

namespace terminal {

void RestoreForGood() {
  // From key mode, or owed after a stop the shell may not have undone.
  if (g_mode.exchange(kUntouched) != kUntouched) applySettings(g_savedTerminal);
}

void RestoreForStop() {
  int mode = g_mode.load();
  while (mode != kUntouched && !g_mode.compare_exchange_weak(mode, kOwed)) {
  }
  if (mode != kUntouched && inForeground()) applySettings(g_savedTerminal);
}

void KeyModeOwed() {
  int expected = kKeyMode;
  g_mode.compare_exchange_strong(expected, kOwed);
}

}  // namespace terminal

namespace {

// Takes the terminal for keys, or takes it back after a stop and continue.
// Only a keyboard in the foreground does, and only the one that took it first.
bool takeTerminal(bool ownsTerminal) {
  if (!inForeground()) return ownsTerminal;
  const int mode = g_mode.load();
  if (mode == kKeyMode) return ownsTerminal;
  if (mode == kOwed) {
    if (ownsTerminal) {
      // Marked before the change: a stop that comes in between gives the terminal back again.
      g_mode.store(kKeyMode);
      applySettings(g_keyTerminal);
    }
    return ownsTerminal;
  }
  if (ownsTerminal) return true;  // given back for good: the process is on its way out
  struct termios current;
  if (::tcgetattr(STDIN_FILENO, &current) != 0) return false;
  g_savedTerminal = current;
  // Keys arrive one at a time without waiting for Enter and without being
  // printed over the progress line; Ctrl-C and Ctrl-Z still raise their signals.
  g_keyTerminal = current;
  g_keyTerminal.c_lflag &= ~tcflag_t(ICANON | ECHO);
  g_keyTerminal.c_cc[VMIN] = 1;
  g_keyTerminal.c_cc[VTIME] = 0;
  if (!g_exitHookInstalled) g_exitHookInstalled = std::atexit(restoreTerminalAtExit) == 0;
  g_mode.store(kKeyMode);
  applySettings(g_keyTerminal);
  return true;
}

}  // namespace

ConsoleKeyboard::ConsoleKeyboard() : isTerminal_(::isatty(STDIN_FILENO) != 0) {
  if (isTerminal_) ownsTerminal_ = takeTerminal(false);
}

ConsoleKeyboard::~ConsoleKeyboard() {
  if (ownsTerminal_) terminal::RestoreForGood();
}

bool ConsoleKeyboard::KeyWaiting() {
  if (pending_ >= 0) return true;
  // A pipe or a file is never read: its bytes belong to whoever reads the
  // input after this run (the next turn of a shell loop).
  if (!isTerminal_ || endOfInput_) return false;
  if (!inForeground()) return false;
  ownsTerminal_ = takeTerminal(ownsTerminal_);
  struct pollfd input {};
  input.fd = STDIN_FILENO;
  input.events = POLLIN;
  const int ready = ::poll(&input, 1, 0);
  if (ready <= 0) return false;  // nothing yet, or interrupted: ask again next time
  if (input.revents & POLLNVAL) {
    endOfInput_ = true;
    return false;
  }
  if (!(input.revents & (POLLIN | POLLHUP | POLLERR))) return false;
  // A hung-up terminal stays "readable" for ever; only a real byte is a key.
  unsigned char byte = 0;
  const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
  if (got == 1) {
    pending_ = byte;
    return true;
  }
  if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  endOfInput_ = true;
  return false;
}

int ConsoleKeyboard::ReadKey() {
  if (!KeyWaiting()) return -1;
  const int key = pending_;
  pending_ = -1;
  return key;
}

#endif

}  // namespace clipvane::platform
