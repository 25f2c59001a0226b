#include "platform/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace clipvane::platform {
namespace {

class FileTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/clipvane_file_time_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& file : files_) std::remove(file.c_str());
    rmdir(dir_.c_str());
  }
  std::string MakeFile(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      std::fputs("data", f);
      std::fclose(f);
    }
    files_.push_back(path);
    return path;
  }
  static void SetWriteTime(const std::string& path, int64_t seconds, long nanoseconds) {
    struct timespec times[2];
    times[0].tv_sec = time_t(seconds);  // access time: irrelevant, kept distinct on purpose
    times[0].tv_nsec = 0;
    times[1].tv_sec = time_t(seconds);
    times[1].tv_nsec = nanoseconds;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(FileTimeTest, ReportsTheWriteTimeToTheNanosecond) {
  const std::string path = MakeFile("movie.avi");
  SetWriteTime(path, 1700000000, 123456789);
  const auto time = LastWriteTime(path);
  ASSERT_TRUE(time.has_value());
  EXPECT_EQ(time->seconds, 1700000000);
  EXPECT_EQ(time->nanoseconds, 123456789);
}

TEST_F(FileTimeTest, OnlyAStrictlyLaterTimeIsNewer) {
  const std::string input = MakeFile("movie.avi");
  const std::string side = MakeFile("movie.cbk");

  SetWriteTime(input, 1700000000, 500);
  SetWriteTime(side, 1700000000, 500);
  auto a = LastWriteTime(input), b = LastWriteTime(side);
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->IsNewerThan(*b)) << "equal times must reuse the side file";
  EXPECT_FALSE(b->IsNewerThan(*a));

  SetWriteTime(input, 1700000000, 501);  // one nanosecond later
  a = LastWriteTime(input);
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->IsNewerThan(*b));
  EXPECT_FALSE(b->IsNewerThan(*a));

  // Seconds decide before nanoseconds.
  SetWriteTime(input, 1700000001, 0);
  SetWriteTime(side, 1700000000, 999999999);
  a = LastWriteTime(input);
  b = LastWriteTime(side);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->IsNewerThan(*b));
  EXPECT_FALSE(b->IsNewerThan(*a));
}

TEST_F(FileTimeTest, MissingFilesAndDirectoriesHaveNoTime) {
  EXPECT_FALSE(LastWriteTime(dir_ + "/absent.cbk").has_value());
  EXPECT_FALSE(IsReadableFile(dir_ + "/absent.cbk"));
  EXPECT_FALSE(LastWriteTime(dir_).has_value());
  EXPECT_FALSE(IsReadableFile(dir_));
  EXPECT_FALSE(IsReadableFile(""));

  const std::string present = MakeFile("present.cbk");
  EXPECT_TRUE(IsReadableFile(present));
}

TEST_F(FileTimeTest, UnreadableFileIsNotReadable) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  const std::string path = MakeFile("locked.cbk");
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  EXPECT_FALSE(IsReadableFile(path));
  EXPECT_FALSE(LastWriteTime(path).has_value());
}

}  // namespace
}  // namespace clipvane::platform
