#pragma once
// Last-write times of files, at the finest resolution the system keeps.

#include <cstdint>
#include <optional>
#include <string>

namespace clipvane::platform {

struct FileTime {
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
  // "Strictly newer": the comparison the codebook reuse decision makes.
  bool IsNewerThan(const FileTime& other) const {
    return seconds != other.seconds ? seconds > other.seconds : nanoseconds > other.nanoseconds;
  }
};

// The last-write time of `path`, or nothing when the file cannot be opened for reading.
std::optional<FileTime> LastWriteTime(const std::string& path);

// True when `path` exists and can be opened for reading.
bool IsReadableFile(const std::string& path);

}  // namespace clipvane::platform
