#pragma once
// The output container file: buffered binary writes with the position tracked
// in 64 bits and the first write error remembered, so that a full disk is
// reported instead of leaving a file a player cannot read.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace clipvane {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // closes without deleting
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Replaces an existing file. (No exclusive creation: older Windows C
  // libraries lack it; a staged temporary is cleared before it is created.)
  bool Create(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  uint64_t Position() const { return position_; }
  void Write(const void* bytes, std::size_t count);
  void WriteAt(uint64_t offset, const void* bytes, std::size_t count);  // then back to the end
  // Closes the file; false when any write, seek or the close itself failed.
  bool Close();
  bool HadError() const { return error_; }

 private:
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  uint64_t position_ = 0;
  uint64_t end_ = 0;
  bool error_ = false;
};

}  // namespace clipvane
