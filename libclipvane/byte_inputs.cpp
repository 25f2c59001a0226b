#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>

#include "libclipvane/container_index.h"

namespace clipvane::player {

#if defined(_WIN32)

FileInput::~FileInput() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

// The path is UTF-8, as everywhere in the interface; the system takes it wide.
bool FileInput::Open(const std::string& path) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(std::size_t(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), length) <= 0) return false;
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = file;
  // Only a file on a disk: not a pipe, a console or a device.
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) return false;
  size_ = uint64_t(size.QuadPart);
  return true;
}

bool FileInput::ReadAt(uint64_t offset, void* buffer, std::size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  auto* out = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    // A read at a given position that leaves no shared file position behind.
    OVERLAPPED at{};
    at.Offset = DWORD(offset & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(offset >> 32);
    const DWORD want = DWORD(std::min<std::size_t>(count, std::size_t(1) << 30));
    DWORD got = 0;
    if (!ReadFile(handle_, out, want, &got, &at) || got == 0) return false;
    out += got;
    offset += got;
    count -= got;
  }
  return true;
}

#else

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

#endif

bool MemoryInput::ReadAt(uint64_t offset, void* buffer, std::size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  if (count > 0) std::memcpy(buffer, data_ + offset, count);
  return true;
}

}  // namespace clipvane::player
