#include "platform/keyboard.h"

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

TEST(KeyboardTest, PipedBytesAreKeysInOrderAndEndOfPipeIsNoKey) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  StdinReplacement replacement(fds[0]);
  close(fds[0]);

  ConsoleKeyboard keyboard;
  EXPECT_FALSE(TimedKeyWaiting(keyboard)) << "an empty open pipe must not block or report a key";
  EXPECT_EQ(keyboard.ReadKey(), -1);

  ASSERT_EQ(write(fds[1], " x", 2), 2);
  EXPECT_TRUE(TimedKeyWaiting(keyboard));
  EXPECT_TRUE(TimedKeyWaiting(keyboard)) << "asking twice must not use up the key";
  EXPECT_EQ(keyboard.ReadKey(), ' ');
  EXPECT_TRUE(TimedKeyWaiting(keyboard));
  EXPECT_EQ(keyboard.ReadKey(), 'x');
  EXPECT_FALSE(TimedKeyWaiting(keyboard));

  close(fds[1]);
  for (int poll = 0; poll < 5; ++poll) EXPECT_FALSE(TimedKeyWaiting(keyboard));
  EXPECT_EQ(keyboard.ReadKey(), -1);
}

TEST(KeyboardTest, ByteValuesAboveSevenBitsAreNotNegative) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  StdinReplacement replacement(fds[0]);
  close(fds[0]);
  const unsigned char high = 0xE9;
  ASSERT_EQ(write(fds[1], &high, 1), 1);
  close(fds[1]);

  ConsoleKeyboard keyboard;
  EXPECT_EQ(keyboard.ReadKey(), 0xE9);
  EXPECT_EQ(keyboard.ReadKey(), -1);
}

TEST(KeyboardTest, FileAsInputIsReadToItsEndThenNothingWaits) {
  char path[] = "/tmp/clipvane_keys_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "ab", 2), 2);
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  {
    StdinReplacement replacement(fd);
    ConsoleKeyboard keyboard;
    EXPECT_TRUE(TimedKeyWaiting(keyboard));
    EXPECT_EQ(keyboard.ReadKey(), 'a');
    EXPECT_EQ(keyboard.ReadKey(), 'b');
    // A file is always "readable" to poll; its end must still not count as a key.
    EXPECT_FALSE(TimedKeyWaiting(keyboard));
    EXPECT_FALSE(TimedKeyWaiting(keyboard));
  }
  close(fd);
  unlink(path);
}

TEST(KeyboardTest, ClosedOrEmptyInputNeverHasKeys) {
  {
    StdinReplacement replacement(-1);
    ConsoleKeyboard keyboard;
    EXPECT_FALSE(TimedKeyWaiting(keyboard));
    EXPECT_EQ(keyboard.ReadKey(), -1);
  }
  const int null = open("/dev/null", O_RDONLY);
  ASSERT_GE(null, 0);
  {
    StdinReplacement replacement(null);
    ConsoleKeyboard keyboard;
    EXPECT_FALSE(TimedKeyWaiting(keyboard));
    EXPECT_EQ(keyboard.ReadKey(), -1);
  }
  close(null);
}

TEST(KeyboardTest, FirstSignalOnlyRequestsCancellation) {
  InstallCancelSignals();
  EXPECT_FALSE(CancelRequested());
  raise(SIGINT);
  EXPECT_TRUE(CancelRequested()) << "the process survives and the driver is told to cancel";
}

TEST(KeyboardDeathTest, SecondSignalEndsTheProcessBySignal) {
#if defined(CLIPVANE_TEST_EMULATED)
  // Re-executing the test program needs a program the system runs by itself,
  // which an emulated one is not; death tests run first, so a fork is fresh.
  GTEST_FLAG_SET(death_test_style, "fast");
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
  EXPECT_EXIT(
      {
        InstallCancelSignals();
        raise(SIGTERM);
        if (!CancelRequested()) std::_Exit(3);
        raise(SIGTERM);
        std::_Exit(4);
      },
      ::testing::KilledBySignal(SIGTERM), "");
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

TEST_F(TerminalTest, SecondInterruptRestoresTheTerminalAndKills) {
  const int status = RunChild([] {
    InstallCancelSignals();
    new ConsoleKeyboard;
    raise(SIGINT);
    raise(SIGINT);
    _exit(5);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
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
