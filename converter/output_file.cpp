#include "converter/output_file.h"

#include "platform/files.h"

namespace clipvane {

namespace {
constexpr std::size_t kBufferBytes = 1 << 20;
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool OutputFile::Create(const std::string& path) {
  file_ = platform::OpenFile(path, "wb");
  if (file_ == nullptr) return false;
  buffer_ = std::make_unique<char[]>(kBufferBytes);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferBytes);
  position_ = 0;
  end_ = 0;
  error_ = false;
  return true;
}

void OutputFile::Write(const void* bytes, std::size_t count) {
  if (file_ == nullptr || count == 0) return;
  if (std::fwrite(bytes, 1, count, file_) != count) error_ = true;
  position_ += count;
  if (position_ > end_) end_ = position_;
}

void OutputFile::WriteAt(uint64_t offset, const void* bytes, std::size_t count) {
  if (file_ == nullptr) return;
  if (std::fseek(file_, long(offset), SEEK_SET) != 0) {
    error_ = true;
    return;
  }
  position_ = offset;
  Write(bytes, count);
  if (std::fseek(file_, 0, SEEK_END) != 0) error_ = true;
  position_ = end_;
}

bool OutputFile::Close() {
  if (file_ == nullptr) return !error_;
  if (std::fflush(file_) != 0) error_ = true;
  if (std::fclose(file_) != 0) error_ = true;
  file_ = nullptr;
  buffer_.reset();
  return !error_;
}

}  // namespace clipvane
