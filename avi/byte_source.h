#pragma once
// Random-access bytes of the movie: a file read on demand through 64-bit
// seeks, or a buffer held in memory. Every read names its absolute offset and
// fails instead of reading short, so callers never see half a header.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace clipvane::avi {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  uint64_t Size() const { return size_; }
  // True when [offset, offset + bytes) lies inside the source.
  bool Holds(uint64_t offset, uint64_t bytes) const {
    return offset <= size_ && bytes <= size_ - offset;
  }
  // Reads exactly `bytes` bytes at `offset`; false when they are not all there.
  virtual bool ReadAt(uint64_t offset, void* out, size_t bytes) = 0;

 protected:
  uint64_t size_ = 0;
};

class FileByteSource final : public ByteSource {
 public:
  ~FileByteSource() override;
  bool Open(const std::string& path);
  bool ReadAt(uint64_t offset, void* out, size_t bytes) override;

 private:
  std::FILE* file_ = nullptr;
  uint64_t position_ = 0;  // where the stream stands, to skip needless seeks
  bool positionKnown_ = false;
};

class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(std::vector<uint8_t> bytes);
  bool ReadAt(uint64_t offset, void* out, size_t bytes) override;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace clipvane::avi
