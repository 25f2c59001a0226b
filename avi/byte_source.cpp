#include "avi/byte_source.h"

#include <sys/types.h>

#include <cstring>
#include <utility>

#include "platform/files.h"

namespace clipvane::avi {

FileByteSource::~FileByteSource() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FileByteSource::Open(const std::string& path) {
  file_ = platform::OpenFile(path, "rb");
  if (file_ == nullptr) return false;
  if (fseeko(file_, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file_);
  if (end < 0) return false;
  size_ = uint64_t(end);
  positionKnown_ = false;
  return true;
}

bool FileByteSource::ReadAt(uint64_t offset, void* out, size_t bytes) {
  if (file_ == nullptr || !Holds(offset, bytes)) return false;
  if (bytes == 0) return true;
  if (!positionKnown_ || position_ != offset) {
    if (fseeko(file_, off_t(offset), SEEK_SET) != 0) {
      positionKnown_ = false;
      return false;
    }
  }
  const size_t got = std::fread(out, 1, bytes, file_);
  position_ = offset + got;
  positionKnown_ = true;
  if (got != bytes) {
    // A short read leaves the stream in an error state; seek afresh next time.
    std::clearerr(file_);
    positionKnown_ = false;
    return false;
  }
  return true;
}

MemoryByteSource::MemoryByteSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
  size_ = bytes_.size();
}

bool MemoryByteSource::ReadAt(uint64_t offset, void* out, size_t bytes) {
  if (!Holds(offset, bytes)) return false;
  if (bytes != 0) std::memcpy(out, bytes_.data() + offset, bytes);
  return true;
}

}  // namespace clipvane::avi
