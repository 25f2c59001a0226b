// The Windows side of the platform layer: file times at the 100 ns the
// system keeps, keys only from a console, and Ctrl-C cancelling.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/signals.h"

namespace clipvane::platform {
namespace {

namespace fs = std::filesystem;

class WindowsFileTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("clipvane_windows_file_time_" + std::to_string(std::random_device()()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string MakeFile(const std::string& name) {
    const std::string path = Utf8FromPath(dir_) + "\\" + name;
    std::FILE* f = OpenFile(path, "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      std::fputs("data", f);
      std::fclose(f);
    }
    return path;
  }
  // Sets the last-write time in 100 ns ticks since 1601.
  static void SetTicks(const std::string& path, uint64_t ticks) {
    HANDLE file = CreateFileW(PathFromUtf8(path).wstring().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME time;
    time.dwLowDateTime = DWORD(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = DWORD(ticks >> 32);
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
  }

  fs::path dir_;
};

TEST_F(WindowsFileTimeTest, KeepsEveryTickOfTheWriteTime) {
  const std::string path = MakeFile("\xC3\xA9t\xC3\xA9.avi");
  // 2024-02-29 12:34:56 plus 1234567 ticks, and times across the 32-bit
  // boundary of the low word.
  for (uint64_t ticks : {uint64_t(133536548960000000ull + 1234567u), uint64_t(0x01D0FFFFFFFFFFFFull),
                         uint64_t(0x01D1000000000000ull), uint64_t(116444736000000001ull)}) {
    SetTicks(path, ticks);
    const std::optional<FileTime> time = LastWriteTime(path);
    ASSERT_TRUE(time.has_value());
    EXPECT_EQ(time->seconds, int64_t(ticks / 10000000u));
    EXPECT_EQ(time->nanoseconds, int64_t(ticks % 10000000u) * 100);
  }
}

TEST_F(WindowsFileTimeTest, OneTickLaterIsNewerAndTheSameTimeIsNot) {
  const std::string input = MakeFile("input.avi");
  const std::string side = MakeFile("input.cbk");
  const uint64_t base = 133536548960000000ull;
  SetTicks(input, base + 1);
  SetTicks(side, base);
  EXPECT_TRUE(LastWriteTime(input)->IsNewerThan(*LastWriteTime(side)));
  SetTicks(side, base + 1);
  EXPECT_FALSE(LastWriteTime(input)->IsNewerThan(*LastWriteTime(side)));
  SetTicks(side, base + 10000000u);  // a second later
  EXPECT_FALSE(LastWriteTime(input)->IsNewerThan(*LastWriteTime(side)));
}

TEST_F(WindowsFileTimeTest, FoldersAndMissingFilesHaveNoTime) {
  EXPECT_FALSE(LastWriteTime(Utf8FromPath(dir_)).has_value());
  EXPECT_FALSE(IsReadableFile(Utf8FromPath(dir_)));
  EXPECT_FALSE(LastWriteTime(Utf8FromPath(dir_) + "\\missing.avi").has_value());
}

// Puts `handle` in place of standard input for the lifetime of the object.
class StdinReplacement {
 public:
  explicit StdinReplacement(HANDLE handle) : saved_(GetStdHandle(STD_INPUT_HANDLE)) {
    SetStdHandle(STD_INPUT_HANDLE, handle);
  }
  ~StdinReplacement() { SetStdHandle(STD_INPUT_HANDLE, saved_); }

 private:
  HANDLE saved_;
};

TEST(WindowsKeyboardTest, RedirectedInputIsNeverReadAsKeys) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writeEnd, " x", 2, &written, nullptr));
  {
    StdinReplacement replacement(readEnd);
    ConsoleKeyboard keyboard;
    for (int poll = 0; poll < 3; ++poll) {
      const auto before = std::chrono::steady_clock::now();
      EXPECT_FALSE(keyboard.KeyWaiting());
      EXPECT_EQ(keyboard.ReadKey(), -1);
      EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));
    }
  }
  // The bytes are still in the pipe: the keyboard took nothing from it.
  DWORD available = 0;
  ASSERT_TRUE(PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(available, 2u);
  CloseHandle(readEnd);
  CloseHandle(writeEnd);

  StdinReplacement none(INVALID_HANDLE_VALUE);
  ConsoleKeyboard keyboard;
  EXPECT_FALSE(keyboard.KeyWaiting());
  EXPECT_EQ(keyboard.ReadKey(), -1);
}

TEST(WindowsCancelTest, CtrlCRequestsCancellationInsteadOfEndingTheProcess) {
  // The test needs a console of its own to raise Ctrl-C in.
  FreeConsole();
  if (!AllocConsole()) GTEST_SKIP() << "no console can be made here";
  // Ctrl-C is delivered to processes that have not turned it off.
  SetConsoleCtrlHandler(nullptr, FALSE);
  InstallCancelSignals();
  EXPECT_FALSE(CancelRequested());
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  // The handler runs on a thread of its own; the process is still here.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!CancelRequested() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(CancelRequested());
}

}  // namespace
}  // namespace clipvane::platform
