#include "platform/signals.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/terminal_mode.h"

#if defined(_WIN32)
#include <windows.h>

#include "platform/wide_path.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace clipvane::platform {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers read these");

// The signal that asked for the cancel; 0 while none has.
std::atomic<int> g_cancelSignal{0};

// One registered temporary file. The path is complete whenever the state
// reads kArmed; a handler that interrupts a registration sees kWriting and
// leaves the slot alone.
enum SlotState : int { kEmpty = 0, kWriting = 1, kArmed = 2 };
constexpr int kSlotCount = 3;
struct TemporaryPath {
  std::atomic<int> state{kEmpty};
  char path[kTemporaryPathCapacity] = {};
};
TemporaryPath g_temporaries[kSlotCount];

TemporaryPath* slotFor(TemporarySlot slot) {
  const int index = int(slot);
  return index >= 0 && index < kSlotCount ? &g_temporaries[index] : nullptr;
}

void removeFile(const char* path);

// Async-signal-safe: only atomic loads and unlink.
void removeTemporaryFiles() {
  for (TemporaryPath& temporary : g_temporaries) {
    if (temporary.state.load(std::memory_order_acquire) == kArmed) removeFile(temporary.path);
  }
}

}  // namespace

bool CancelRequested() { return g_cancelSignal.load() != 0; }

bool RegisterTemporaryFile(TemporarySlot slot, const std::string& path) {
  TemporaryPath* temporary = slotFor(slot);
  if (temporary == nullptr) return false;
  temporary->state.store(kWriting, std::memory_order_release);
  if (path.empty() || path.size() >= kTemporaryPathCapacity || path.find('\0') != std::string::npos) {
    temporary->state.store(kEmpty, std::memory_order_release);
    return false;
  }
  std::memcpy(temporary->path, path.c_str(), path.size() + 1);
  temporary->state.store(kArmed, std::memory_order_release);
  return true;
}

void ForgetTemporaryFile(TemporarySlot slot) {
  if (TemporaryPath* temporary = slotFor(slot)) temporary->state.store(kEmpty, std::memory_order_release);
}

#if defined(_WIN32)

namespace {

// The system runs console control handlers on a thread of their own, not in
// the middle of the program's code, so the path may be converted here.
void removeFile(const char* path) { DeleteFileW(SystemPath(path).c_str()); }

// The system ends the process as soon as the handler of a console close (or
// of a log-off or shut-down) returns, and at the latest about five seconds
// after the event. The handler holds the process that long, so the driver can
// cancel and remove the unfinished output; the process ends from main then.
constexpr DWORD kCloseGraceMilliseconds = 10000;

BOOL WINAPI onConsoleControl(DWORD event) {
  int expected = 0;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (g_cancelSignal.compare_exchange_strong(expected, SIGINT)) return TRUE;
      // A second Ctrl-C falls through to the default handler, which ends the
      // process; what it was writing goes first.
      removeTemporaryFiles();
      return FALSE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_cancelSignal.compare_exchange_strong(expected, SIGTERM);
      Sleep(kCloseGraceMilliseconds);
      // Still running: the driver did not finish in time. The system ends
      // the process when this returns, so what it was writing goes first.
      removeTemporaryFiles();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void OpenMissingStandardStreams() {}

void InstallCancelSignals() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

void ReraiseCancelSignal() {
  if (g_cancelSignal.load() == 0) return;
  std::fflush(nullptr);
  // The status a console program ended by Ctrl-C has.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

#else

namespace {

void removeFile(const char* path) {
  const int savedErrno = errno;
  ::unlink(path);
  errno = savedErrno;
}

// Ends the process by `signalNumber` with its default action. Async-signal-safe.
[[noreturn]] void dieOf(int signalNumber) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signalNumber, &fallback, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signalNumber);
  ::_exit(128 + signalNumber);  // not reached: none of these signals is ignored by default
}

// The first signal only asks the driver to cancel, which tears everything
// down in order. A second one means the user insists (or the driver is
// stuck): remove what the run was writing, give the terminal back and die of
// the signal as if no handler existed.
extern "C" void onCancelSignal(int signalNumber) {
  int expected = 0;
  if (g_cancelSignal.compare_exchange_strong(expected, signalNumber)) return;
  removeTemporaryFiles();
  terminal::RestoreForGood();
  dieOf(signalNumber);
}

struct sigaction g_stopAction;

// Ctrl-Z: give the terminal back, stop as the default action would, and on
// continuing ask the keyboard to take key mode again. In a process group the
// system does not stop (an orphaned one) the stop is dropped and the run
// simply goes on.
extern "C" void onStopSignal(int) {
  const int savedErrno = errno;
  terminal::RestoreForStop();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(SIGTSTP, &fallback, nullptr);
  ::raise(SIGTSTP);  // pending: blocked while this handler runs
  sigset_t only, before;
  sigemptyset(&only);
  sigaddset(&only, SIGTSTP);
  ::pthread_sigmask(SIG_UNBLOCK, &only, &before);  // stops here until SIGCONT
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::sigaction(SIGTSTP, &g_stopAction, nullptr);
  terminal::KeyModeOwed();
  errno = savedErrno;
}

// A stop this process did not see coming (SIGSTOP) or a shell that reset the
// terminal while it was stopped: take key mode again at the next poll.
extern "C" void onContinueSignal(int) { terminal::KeyModeOwed(); }

}  // namespace

void OpenMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void InstallCancelSignals() {
  struct sigaction action {};
  action.sa_handler = onCancelSignal;
  sigemptyset(&action.sa_mask);
  // One cancel signal at a time: a second one waits for the first handler.
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A closed terminal cancels too.
  ::sigaction(SIGHUP, &action, nullptr);

  g_stopAction = {};
  g_stopAction.sa_handler = onStopSignal;
  sigemptyset(&g_stopAction.sa_mask);
  g_stopAction.sa_flags = SA_RESTART;
  ::sigaction(SIGTSTP, &g_stopAction, nullptr);
  struct sigaction resume {};
  resume.sa_handler = onContinueSignal;
  sigemptyset(&resume.sa_mask);
  resume.sa_flags = SA_RESTART;
  ::sigaction(SIGCONT, &resume, nullptr);

  // A reader of the progress lines that goes away (a pipe into `head`) must
  // not kill the process half-way: the failed write is seen and cancels.
  ::signal(SIGPIPE, SIG_IGN);
}

void ReraiseCancelSignal() {
  const int signalNumber = g_cancelSignal.load();
  if (signalNumber == 0) return;
  std::fflush(nullptr);
  terminal::RestoreForGood();
  dieOf(signalNumber);
}

#endif

}  // namespace clipvane::platform
