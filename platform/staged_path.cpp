#include "platform/staged_path.h"

#include <filesystem>
#include <system_error>

#include "platform/files.h"
#if defined(_WIN32)
#include "platform/wide_path.h"
#endif

namespace clipvane::platform {

namespace fs = std::filesystem;

namespace {

// The path as the file system calls should receive it: UTF-8 read as UTF-8
// (not in the Windows code page), and on Windows in the long form when it
// is near or past the old length limit.
fs::path systemPath(const std::string& path) {
#if defined(_WIN32)
  return fs::path(SystemPath(path));
#else
  return PathFromUtf8(path);
#endif
}

}  // namespace

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(systemPath(path), error);
}

StagedPath::~StagedPath() { Discard(); }

bool StagedPath::Begin(const std::string& target, std::string* reason, Others others) {
  Discard();
  std::error_code error;
  target_ = target;
  staged_ = false;
  const fs::file_status status = fs::status(systemPath(target), error);
  if (fs::exists(status)) {
    if (others == Others::kRefused && !fs::is_regular_file(status)) {
      *reason = "it is not a regular file";
      return false;
    }
    if (fs::is_directory(status)) {
      *reason = "it is a directory";
      return false;
    }
    if (!fs::is_regular_file(status)) return true;  // a device or a pipe: written in place
    // A link keeps pointing at the finished file: the file it names is replaced.
    fs::path resolved = fs::canonical(systemPath(target), error);
    if (!error) target_ = Utf8FromPath(resolved);
  }
  temporary_ = target_ + ".part";
  const fs::file_status stale = fs::symlink_status(systemPath(temporary_), error);
  if (fs::exists(stale)) {
    if (!fs::is_regular_file(stale) && !fs::is_symlink(stale)) {
      *reason = "the temporary name " + temporary_ + " is taken";
      return false;
    }
    fs::remove(systemPath(temporary_), error);  // a killed run's leftover
  }
  staged_ = true;
  pending_ = true;
  return true;
}

void StagedPath::Created() {
  if (staged_ && pending_) RegisterTemporaryFile(slot_, temporary_);
}

bool StagedPath::Commit(std::string* reason) {
  if (!staged_ || !pending_) return true;
  std::error_code error;
  // A replaced file keeps its permissions.
  const fs::file_status old = fs::status(systemPath(target_), error);
  if (!error && fs::is_regular_file(old)) fs::permissions(systemPath(temporary_), old.permissions(), error);
  fs::rename(systemPath(temporary_), systemPath(target_), error);
  ForgetTemporaryFile(slot_);
  if (error) {
    *reason = error.message();
    Discard();
    return false;
  }
  pending_ = false;
  return true;
}

void StagedPath::Discard() {
  if (!staged_ || !pending_) return;
  std::error_code error;
  ForgetTemporaryFile(slot_);
  if (fs::is_regular_file(fs::symlink_status(systemPath(temporary_), error))) {
    fs::remove(systemPath(temporary_), error);
  }
  pending_ = false;
}

}  // namespace clipvane::platform
