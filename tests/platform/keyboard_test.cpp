#include "platform/keyboard.h"
#include "platform/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace clipvane::platform {
namespace {

// Puts `fd` in place of standard input for the lifetime of the object.
class StdinReplacement {
 public:
  explicit StdinReplacement(int fd) : saved_(dup(STDIN_FILENO)) {
    if (fd >= 0) {
      dup2(fd, STDIN_FILENO);
    } else {
      close(STDIN_FILENO);
    }
  }
  ~StdinReplacement() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// Every poll must come back at once, whatever is (or is not) on the input.
bool TimedKeyWaiting(ConsoleKeyboard& keyboard) {
  const auto before = std::chrono::steady_clock::now();
  const bool waiting = keyboard.KeyWaiting();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));
  return waiting;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[64];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
  return text;
}

// Only a terminal is a keyboard. Whatever else standard input is, no key is
// ever waiting and not one byte is taken from it: the bytes belong to whoever
// reads the input next (the next turn of a `while read` loop).
TEST(KeyboardTest, InputThatIsNotATerminalIsNeverRead) {
  enum class Kind { kPipe, kClosedPipe, kFile, kNull, kClosed };
  const struct {
    const char* name;
    Kind kind;
  } cases[] = {
      {"open pipe", Kind::kPipe}, {"finished pipe", Kind::kClosedPipe}, {"file", Kind::kFile},
      {"/dev/null", Kind::kNull}, {"closed", Kind::kClosed},
  };
  const std::string bytes = " a\nb.avi\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int input = -1;     // what stands in for standard input
    int leftover = -1;  // where the test reads what the keyboard left
    int writer = -1;
    if (c.kind == Kind::kPipe || c.kind == Kind::kClosedPipe) {
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
      writer = fds[1];
      if (c.kind == Kind::kClosedPipe) {
        close(writer);
        writer = -1;
      }
      input = leftover = fds[0];
    } else if (c.kind == Kind::kFile) {
      char path[] = "/tmp/clipvane_keys_XXXXXX";
      input = leftover = mkstemp(path);
      ASSERT_GE(input, 0);
      unlink(path);
      ASSERT_EQ(write(input, bytes.data(), bytes.size()), ssize_t(bytes.size()));
      ASSERT_EQ(lseek(input, 0, SEEK_SET), 0);
    } else if (c.kind == Kind::kNull) {
      input = open("/dev/null", O_RDONLY);
    }
    {
      StdinReplacement replacement(input);
      ConsoleKeyboard keyboard;
      for (int poll = 0; poll < 5; ++poll) {
        EXPECT_FALSE(TimedKeyWaiting(keyboard));
        EXPECT_EQ(keyboard.ReadKey(), -1);
      }
    }
    if (writer >= 0) close(writer);
    if (leftover >= 0) {
      EXPECT_EQ(ReadAll(leftover), bytes);
    }
    if (input >= 0) close(input);
  }
}

// A pseudo-terminal stands in for the console in the tests below. The child
// process owns the keyboard; the parent inspects the terminal it leaves behind.
class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      GTEST_SKIP() << "no pseudo-terminals here";
    }
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    struct termios cooked;
    ASSERT_EQ(tcgetattr(slave_, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &cooked), 0);
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

  bool CookedModeRestored() const {
    struct termios now;
    if (tcgetattr(slave_, &now) != 0) return false;
    return (now.c_lflag & ICANON) && (now.c_lflag & ECHO);
  }

  // Runs `body` in a child whose standard input is the terminal; returns its wait status.
  template <typename Body>
  int RunChild(Body body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      dup2(slave_, STDIN_FILENO);
      body();
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
  }

  int master_ = -1;
  int slave_ = -1;
};

TEST_F(TerminalTest, KeysArriveUnbufferedWithoutEchoAndDestructionRestores) {
  const int status = RunChild([this] {
    {
      ConsoleKeyboard keyboard;
      struct termios raw;
      if (tcgetattr(STDIN_FILENO, &raw) != 0) _exit(10);
      if (raw.c_lflag & (ICANON | ECHO)) _exit(11);
      // One key without Enter must be seen (give the line discipline time to deliver it).
      if (write(master_, "q", 1) != 1) _exit(12);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (!keyboard.KeyWaiting()) {
        if (std::chrono::steady_clock::now() > deadline) _exit(13);
        usleep(1000);
      }
      if (keyboard.ReadKey() != 'q') _exit(14);
      // Nothing was echoed back to the terminal.
      struct pollfd echoed {master_, POLLIN, 0};
      if (poll(&echoed, 1, 200) != 0) _exit(15);
    }
    struct termios after;
    if (tcgetattr(STDIN_FILENO, &after) != 0) _exit(16);
    if (!(after.c_lflag & ICANON) || !(after.c_lflag & ECHO)) _exit(17);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(CookedModeRestored());
}

TEST_F(TerminalTest, ExitWithoutDestructionRestoresTheTerminal) {
  const int status = RunChild([] {
    new ConsoleKeyboard;  // never destroyed, as on an abrupt std::exit
    std::exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_TRUE(CookedModeRestored());
}

// Every way of ending by a signal gives the terminal back first: a second
// cancel signal, and the re-raise after a cancelled run has cleaned up.
TEST_F(TerminalTest, EndingByASignalRestoresTheTerminal) {
  const struct {
    int first, second;  // raised in turn; 0 for none
    bool reraise;       // then ReraiseCancelSignal
  } cases[] = {
      {SIGINT, SIGINT, false},
      {SIGTERM, SIGINT, false},
      {SIGINT, 0, true},
      {SIGTERM, 0, true},
      {SIGHUP, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.first << " " << c.second);
    const int status = RunChild([&c] {
      InstallCancelSignals();
      new ConsoleKeyboard;  // still in key mode when the signal comes
      raise(c.first);
      if (!CancelRequested()) _exit(4);
      if (c.second != 0) raise(c.second);
      if (c.reraise) ReraiseCancelSignal();
      _exit(5);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.second != 0 ? c.second : c.first);
    EXPECT_TRUE(CookedModeRestored());
  }
}

// Ctrl-Z: the terminal is handed back before the process stops, and key mode
// is taken again at the first poll after it continues.
TEST_F(TerminalTest, StopHandsTheTerminalBackAndContinueRetakesIt) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // A group of its own, which the system does stop (it has a parent
    // outside it in the same session).
    setpgid(0, 0);
    dup2(slave_, STDIN_FILENO);
    InstallCancelSignals();
    int result = 0;
    {
      ConsoleKeyboard keyboard;
      raise(SIGTSTP);
      keyboard.KeyWaiting();
      struct termios now;
      if (tcgetattr(STDIN_FILENO, &now) != 0) {
        result = 10;
      } else if (now.c_lflag & (ICANON | ECHO)) {
        result = 11;
      }
    }
    _exit(result);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status)) << status;
  EXPECT_TRUE(CookedModeRestored()) << "stopped with the terminal in key mode";
  kill(child, SIGCONT);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "no key mode after continuing";
  EXPECT_TRUE(CookedModeRestored());
}

TEST_F(TerminalTest, BackgroundJobLeavesTheTerminalAloneAndIsNotStopped) {
  std::fflush(nullptr);
  const pid_t session = fork();
  if (session == 0) {
    // A new session whose controlling terminal is the pseudo-terminal, with
    // this process group in the foreground and a second group behind it.
    if (setsid() < 0) _exit(20);
    const int terminal = open(ptsname(master_), O_RDWR);
    if (terminal < 0) _exit(21);
    if (tcgetpgrp(terminal) != getpgrp()) _exit(22);
    const pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      dup2(terminal, STDIN_FILENO);
      ConsoleKeyboard keyboard;
      if (keyboard.KeyWaiting()) _exit(30);
      if (keyboard.ReadKey() != -1) _exit(31);
      _exit(0);
    }
    int status = 0;
    if (waitpid(job, &status, WUNTRACED) != job) _exit(23);
    if (WIFSTOPPED(status)) {
      kill(job, SIGKILL);
      waitpid(job, &status, 0);
      _exit(24);  // the system stopped the job for touching the terminal
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 25);
  }
  int status = 0;
  waitpid(session, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(CookedModeRestored()) << "a background job must not switch the terminal";
}

}  // namespace
}  // namespace clipvane::platform
