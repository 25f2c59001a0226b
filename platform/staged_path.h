#pragma once
// Where a run writes a file that must never be seen half-written. A regular
// file (or a name not taken yet) is written as "<name>.part" beside it and
// renamed over it only when complete: an existing file stays intact until
// then, and a cancelled, failed or killed run leaves nothing under the name.
// Anything else that already stands there (a character device such as
// /dev/null) is written in place and never deleted.

#include <string>

#include "platform/signals.h"

namespace clipvane::platform {

class StagedPath {
 public:
  // While a temporary of this run exists it is kept in `slot`, so that a
  // process ended by a second Ctrl-C still removes it.
  explicit StagedPath(TemporarySlot slot) : slot_(slot) {}
  ~StagedPath();  // discards a temporary that was not committed
  StagedPath(const StagedPath&) = delete;
  StagedPath& operator=(const StagedPath&) = delete;

  // What Begin does with a target that exists and is not a regular file.
  enum class Others { kWrittenInPlace, kRefused };
  // Chooses where `target` is written and clears a stale temporary left by a
  // killed run. False, with the reason, when nothing can be written there (a
  // directory, a temporary name taken by something that is not a file, or
  // with kRefused anything but a regular file).
  bool Begin(const std::string& target, std::string* reason, Others others = Others::kWrittenInPlace);
  // The path to create and write.
  const std::string& WritePath() const { return staged_ ? temporary_ : target_; }
  // Says that the temporary now exists: until Commit or Discard it is removed
  // even when the process ends abruptly.
  void Created();
  // Puts the written file in place. False, with the reason, when the rename
  // fails; the temporary is then removed.
  bool Commit(std::string* reason);
  // Removes the temporary, if any; a file written in place is left alone.
  void Discard();

 private:
  std::string target_;     // where the finished file goes (a link is followed)
  std::string temporary_;  // target_ + ".part"
  bool staged_ = false;
  bool pending_ = false;  // a temporary may exist and is ours to remove
  TemporarySlot slot_;
};

// True when `path` names an existing regular file (following links).
bool IsRegularFile(const std::string& path);

}  // namespace clipvane::platform
