#pragma once
// A buffer whose last byte is followed by an inaccessible page, so a read one
// byte too far crashes the test instead of passing unnoticed.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace clipvane::testing {

class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t bytes) : bytes_(bytes) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
    if (base_ != nullptr) mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedBuffer() {
    if (base_ != nullptr) munmap(base_, 2 * page_);
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
