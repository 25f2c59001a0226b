#include "platform/staged_path.h"

#include <filesystem>
#include <system_error>

namespace clipvane::platform {

namespace fs = std::filesystem;

bool IsRegularFile(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

StagedPath::~StagedPath() { Discard(); }

bool StagedPath::Begin(const std::string& target, std::string* reason) {
  Discard();
  std::error_code error;
  target_ = target;
  staged_ = false;
  const fs::file_status status = fs::status(target, error);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) {
      *reason = "it is a directory";
      return false;
    }
    if (!fs::is_regular_file(status)) return true;  // a device or a pipe: written in place
    // A link keeps pointing at the finished file: the file it names is replaced.
    fs::path resolved = fs::canonical(target, error);
    if (!error) target_ = resolved.string();
  }
  temporary_ = target_ + ".part";
  const fs::file_status stale = fs::symlink_status(temporary_, error);
  if (fs::exists(stale)) {
    if (!fs::is_regular_file(stale) && !fs::is_symlink(stale)) {
      *reason = "the temporary name " + temporary_ + " is taken";
      return false;
    }
    fs::remove(temporary_, error);  // a killed run's leftover
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
  const fs::file_status old = fs::status(target_, error);
  if (!error && fs::is_regular_file(old)) fs::permissions(temporary_, old.permissions(), error);
  fs::rename(temporary_, target_, error);
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
  if (fs::is_regular_file(fs::symlink_status(temporary_, error))) fs::remove(temporary_, error);
  pending_ = false;
}

}  // namespace clipvane::platform
