#include "platform/file_time.h"

#if defined(_WIN32)
#include <windows.h>

#include "platform/wide_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace clipvane::platform {

#if defined(_WIN32)

namespace {

// Opens like the reuse decision wants: read access, shared read, must exist.
// Directories do not open without backup semantics, so they count as missing.
HANDLE openForReading(const std::string& path) {
  return CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::optional<FileTime> LastWriteTime(const std::string& path) {
  HANDLE file = openForReading(path);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok) return std::nullopt;
  // FILETIME counts 100 ns ticks; split into seconds and nanoseconds so the
  // comparison reads the same on every system.
  const uint64_t ticks = (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) |
                         info.ftLastWriteTime.dwLowDateTime;
  FileTime time;
  time.seconds = int64_t(ticks / 10000000u);
  time.nanoseconds = int64_t(ticks % 10000000u) * 100;
  return time;
}

bool IsReadableFile(const std::string& path) {
  HANDLE file = openForReading(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

#else

namespace {

// A directory opens read-only here, but it is never a usable input or side
// file, so it is treated like a missing file.
int openRegularForReading(const std::string& path, struct stat* info) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, info) != 0 || S_ISDIR(info->st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::optional<FileTime> LastWriteTime(const std::string& path) {
  struct stat info;
  const int fd = openRegularForReading(path, &info);
  if (fd < 0) return std::nullopt;
  ::close(fd);
  FileTime time;
#if defined(__APPLE__)
  time.seconds = int64_t(info.st_mtimespec.tv_sec);
  time.nanoseconds = int64_t(info.st_mtimespec.tv_nsec);
#else
  time.seconds = int64_t(info.st_mtim.tv_sec);
  time.nanoseconds = int64_t(info.st_mtim.tv_nsec);
#endif
  return time;
}

bool IsReadableFile(const std::string& path) {
  struct stat info;
  const int fd = openRegularForReading(path, &info);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

#endif

}  // namespace clipvane::platform
