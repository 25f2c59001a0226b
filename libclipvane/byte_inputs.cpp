#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "libclipvane/container_index.h"

namespace clipvane::player {

FileInput::~FileInput() {
  if (fd_ >= 0) close(fd_);
}

bool FileInput::Open(const std::string& path) {
  fd_ = open(path.c_str(), O_RDONLY);
  if (fd_ < 0) return false;
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size_ = uint64_t(st.st_size);
  return true;
}

bool FileInput::ReadAt(uint64_t offset, void* buffer, std::size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t got = pread(fd_, out, count, off_t(offset));
    if (got <= 0) return false;
    out += got;
    offset += uint64_t(got);
    count -= std::size_t(got);
  }
  return true;
}

bool MemoryInput::ReadAt(uint64_t offset, void* buffer, std::size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  if (count > 0) std::memcpy(buffer, data_ + offset, count);
  return true;
}

}  // namespace clipvane::player
