#include "platform/signals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace clipvane::platform {
namespace {

// Runs `body` in a child process; returns its wait status.
template <typename Body>
int RunChild(Body body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

class ScratchFiles {
 public:
  ScratchFiles() {
    char pattern[] = "/tmp/clipvane_signals_XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
  }
  ~ScratchFiles() {
    for (const char* name : {"a", "b", "c"}) unlink(Path(name).c_str());
    rmdir(dir_.c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Make(const std::string& name) const {
    std::FILE* f = std::fopen(Path(name).c_str(), "wb");
    if (f != nullptr) std::fclose(f);
    return Path(name);
  }
  bool Exists(const std::string& name) const { return access(Path(name).c_str(), F_OK) == 0; }

 private:
  std::string dir_;
};

// Every test runs the signal handling in a child process: the cancel request
// is once per process.
TEST(CancelSignals, TheFirstOnlyAsksForTheCancel) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const int status = RunChild([sig] {
      InstallCancelSignals();
      if (CancelRequested()) _exit(3);
      raise(sig);
      _exit(CancelRequested() ? 0 : 4);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "killed by the first signal " << sig;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

TEST(CancelSignals, ReraiseReturnsWhenNoSignalCame) {
  // A space bar cancel: the driver's exit status stands.
  const int status = RunChild([] {
    InstallCancelSignals();
    ReraiseCancelSignal();
    _exit(CancelRequested() ? 3 : 7);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

// A second cancel signal ends the process at once, by that signal, after
// removing exactly the files still registered: a slot's latest path, never a
// forgotten one or one the slot held before.
TEST(CancelSignals, ASecondOneRemovesTheRegisteredFilesAndKills) {
  const struct {
    int first, second;
    bool forgetOutput;
  } cases[] = {
      {SIGINT, SIGINT, false},
      {SIGTERM, SIGTERM, true},
      {SIGHUP, SIGINT, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.first << " " << c.second << " " << c.forgetOutput);
    ScratchFiles files;
    const int status = RunChild([&] {
      InstallCancelSignals();
      if (!RegisterTemporaryFile(TemporarySlot::kOutput, files.Make("a"))) _exit(10);
      if (!RegisterTemporaryFile(TemporarySlot::kSideFile, files.Make("b"))) _exit(11);
      if (!RegisterTemporaryFile(TemporarySlot::kSideFile, files.Make("c"))) _exit(12);
      if (c.forgetOutput) ForgetTemporaryFile(TemporarySlot::kOutput);
      raise(c.first);
      if (!files.Exists("a") || !files.Exists("c")) _exit(13);  // the first signal removes nothing
      raise(c.second);
      _exit(14);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.second);
    EXPECT_EQ(files.Exists("a"), c.forgetOutput);
    EXPECT_TRUE(files.Exists("b"));
    EXPECT_FALSE(files.Exists("c"));
  }
}

TEST(CancelSignals, APathThatDoesNotFitIsNotRegistered) {
  ScratchFiles files;
  const std::string longest(kTemporaryPathCapacity - 1, 'x');
  EXPECT_TRUE(RegisterTemporaryFile(TemporarySlot::kOutput, longest));
  EXPECT_FALSE(RegisterTemporaryFile(TemporarySlot::kOutput, longest + "x"));
  EXPECT_FALSE(RegisterTemporaryFile(TemporarySlot::kOutput, ""));
  EXPECT_FALSE(RegisterTemporaryFile(TemporarySlot::kOutput, std::string("a\0b", 3)));
  // A refused path also empties the slot: the earlier file is not removed in its name.
  const int status = RunChild([&] {
    InstallCancelSignals();
    RegisterTemporaryFile(TemporarySlot::kOutput, files.Make("a"));
    RegisterTemporaryFile(TemporarySlot::kOutput, longest + "x");
    raise(SIGTERM);
    raise(SIGTERM);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(files.Exists("a"));
  ForgetTemporaryFile(TemporarySlot::kOutput);
}

// Each closed standard descriptor gets /dev/null, open ones are left as they
// are, and the next file opened takes a number above them.
TEST(StandardStreams, ClosedOnesAreOpenedOnDevNull) {
  const std::set<int> cases[] = {{}, {0}, {1}, {2}, {0, 2}, {0, 1, 2}};
  struct stat null;
  ASSERT_EQ(stat("/dev/null", &null), 0);
  for (const std::set<int>& closed : cases) {
    SCOPED_TRACE(closed.size());
    const int status = RunChild([&] {
      // Known open descriptors: a pipe in each place that stays open.
      int fds[2];
      if (pipe(fds) != 0) _exit(10);
      for (int fd = 0; fd <= 2; ++fd) {
        if (closed.count(fd)) {
          close(fd);
        } else {
          dup2(fd == 0 ? fds[0] : fds[1], fd);
        }
      }
      OpenMissingStandardStreams();
      for (int fd = 0; fd <= 2; ++fd) {
        struct stat info;
        if (fstat(fd, &info) != 0) _exit(20 + fd);
        const bool isNull = S_ISCHR(info.st_mode) && info.st_rdev == null.st_rdev;
        if (isNull != (closed.count(fd) != 0)) _exit(30 + fd);
        if (fd == 0 || isNull) continue;
        // Written-to streams must accept writes.
        if (write(fd, "", 0) != 0) _exit(40 + fd);
      }
      const int next = open("/dev/null", O_RDONLY);
      _exit(next > 2 ? 0 : 50);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

}  // namespace
}  // namespace clipvane::platform
