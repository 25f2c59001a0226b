#include "platform/keyboard.h"

#include <csignal>
#include <cstdlib>

#if defined(_WIN32)
#include <conio.h>
#include <windows.h>
#else
#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace clipvane::platform {

namespace {

volatile std::sig_atomic_t g_cancelRequested = 0;

}  // namespace

bool CancelRequested() { return g_cancelRequested != 0; }

#if defined(_WIN32)

namespace {

// The system ends the process as soon as the handler of a console close (or
// of a log-off or shut-down) returns, and at the latest about five seconds
// after the event. The handler holds the process that long, so the driver can
// cancel and remove the unfinished output; the process ends from main then.
constexpr DWORD kCloseGraceMilliseconds = 10000;

BOOL WINAPI onConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // A second Ctrl-C falls through to the default handler, which ends the
      // process at once: the user insists.
      if (g_cancelRequested) return FALSE;
      g_cancelRequested = 1;
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_cancelRequested = 1;
      Sleep(kCloseGraceMilliseconds);
      return TRUE;
    default:
      return FALSE;
  }
}

// Keys come only from a console. Redirected input (a file or a pipe) is
// never read as keys.
bool standardInputIsConsole() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) != 0;
}

}  // namespace

// The console reads keys one at a time and without echo through _kbhit and
// _getch whatever its line mode, so nothing is switched or restored. Whether
// standard input is a console is asked on every poll, which costs little.
ConsoleKeyboard::ConsoleKeyboard() = default;
ConsoleKeyboard::~ConsoleKeyboard() = default;

bool ConsoleKeyboard::KeyWaiting() { return standardInputIsConsole() && _kbhit() != 0; }

int ConsoleKeyboard::ReadKey() {
  if (!KeyWaiting()) return -1;
  const int key = _getch();
  // A function or arrow key comes as a prefix and a second code: both belong
  // to one key press, and neither is a space.
  if ((key == 0 || key == 0xE0) && _kbhit()) _getch();
  return key;
}

void InstallCancelSignals() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

#else

namespace {

// The terminal settings found at start-up. They live outside the object so
// that the signal handler and the exit hook can put them back.
struct termios g_savedTerminal;
volatile std::sig_atomic_t g_terminalNeedsRestore = 0;
bool g_exitHookInstalled = false;

// Async-signal-safe: tcsetattr is on the list of functions a handler may call.
void restoreTerminal() {
  if (g_terminalNeedsRestore) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    g_terminalNeedsRestore = 0;
  }
}

extern "C" void restoreTerminalAtExit() { restoreTerminal(); }

// The first signal only asks the driver to cancel, which tears everything
// down in order. A second one means the user insists (or the driver is stuck):
// give the terminal back and die of the signal as if no handler existed.
extern "C" void onCancelSignal(int signalNumber) {
  if (g_cancelRequested) {
    restoreTerminal();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signalNumber, &fallback, nullptr);
    ::raise(signalNumber);  // delivered with the default action once the handler returns
    return;
  }
  g_cancelRequested = 1;
}

// A job in the background may neither change the terminal's modes nor read
// from it (the system would stop it), so it leaves the terminal alone until
// it is brought to the foreground. A terminal that is not the controlling one
// has no foreground group and no job control.
bool inForeground() {
  const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == ::getpgrp();
}

}  // namespace

ConsoleKeyboard::ConsoleKeyboard() {
  isTerminal_ = ::isatty(STDIN_FILENO) != 0;
  enterKeyMode();
}

void ConsoleKeyboard::enterKeyMode() {
  if (!isTerminal_ || ownsTerminal_ || g_terminalNeedsRestore || !inForeground()) return;
  struct termios current;
  if (::tcgetattr(STDIN_FILENO, &current) != 0) return;
  g_savedTerminal = current;
  // Keys arrive one at a time without waiting for Enter and without being
  // printed over the progress line; Ctrl-C still raises SIGINT.
  struct termios keys = current;
  keys.c_lflag &= ~tcflag_t(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  if (!g_exitHookInstalled) {
    g_exitHookInstalled = std::atexit(restoreTerminalAtExit) == 0;
  }
  g_terminalNeedsRestore = 1;
  ownsTerminal_ = true;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

ConsoleKeyboard::~ConsoleKeyboard() {
  if (ownsTerminal_) restoreTerminal();
}

bool ConsoleKeyboard::KeyWaiting() {
  if (pending_ >= 0) return true;
  if (endOfInput_) return false;
  if (isTerminal_) {
    if (!inForeground()) return false;
    enterKeyMode();
  }
  struct pollfd input {};
  input.fd = STDIN_FILENO;
  input.events = POLLIN;
  const int ready = ::poll(&input, 1, 0);
  if (ready <= 0) return false;  // nothing yet, or interrupted: ask again next time
  if (input.revents & POLLNVAL) {
    endOfInput_ = true;  // standard input is closed
    return false;
  }
  if (!(input.revents & (POLLIN | POLLHUP | POLLERR))) return false;
  // poll reports a file or a finished pipe as readable for ever, so take the
  // byte now: only a real byte counts as a key, end of input never does.
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

void InstallCancelSignals() {
  struct sigaction action {};
  action.sa_handler = onCancelSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A closed terminal cancels too.
  ::sigaction(SIGHUP, &action, nullptr);
  // A reader of the progress lines that goes away (a pipe into `head`) must
  // not kill the process half-way: the failed write is seen and cancels.
  ::signal(SIGPIPE, SIG_IGN);
}

#endif

}  // namespace clipvane::platform
