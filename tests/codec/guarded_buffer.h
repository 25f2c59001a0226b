#pragma once
// A buffer whose last byte is followed by an inaccessible page, so a read one
// byte too far crashes the test instead of passing unnoticed.

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace clipvane::testing {

class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t bytes) : bytes_(bytes) {
#if defined(_WIN32)
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    page_ = static_cast<std::size_t>(system.dwPageSize);
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    if (base_ != nullptr) VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &previous);
#else
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
    if (base_ != nullptr) mprotect(base_ + page_, page_, PROT_NONE);
#endif
  }
  ~GuardedBuffer() {
#if defined(_WIN32)
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
#else
    if (base_ != nullptr) munmap(base_, 2 * page_);
#endif
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  bool ok() const { return base_ != nullptr; }
  // The usable bytes end exactly at the guard page.
  uint8_t* data() { return base_ + page_ - bytes_; }
  void Fill(const uint8_t* source) { std::memcpy(data(), source, bytes_); }

 private:
  std::size_t bytes_;
  std::size_t page_ = 0;
  uint8_t* base_ = nullptr;
};

}  // namespace clipvane::testing
