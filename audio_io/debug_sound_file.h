#pragma once
// Writes the decoded audio as a plain RIFF/WAVE file of 16-bit PCM samples,
// interleaved by channel. Knows nothing of the codec.

#include <cstdint>
#include <cstdio>
#include <string>

namespace clipvane {

inline constexpr int kWaveHeaderBytes = 44;
// The RIFF size field holds the data size plus 36 in 32 bits.
inline constexpr uint32_t kMaxDataBytes = 0xFFFFFFFFu - 36u;

class DebugSoundFile {
 public:
  DebugSoundFile() = default;
  // A lower size limit, for tests.
  explicit DebugSoundFile(uint32_t maxDataBytes) : maxDataBytes_(maxDataBytes) {}
  ~DebugSoundFile();  // closes without completing the header
  DebugSoundFile(const DebugSoundFile&) = delete;
  DebugSoundFile& operator=(const DebugSoundFile&) = delete;

  // Opens (replacing) the file and writes the 44-byte header with zero sizes.
  bool Create(const std::string& path, int32_t sampleRate, int32_t channels, int32_t bitsPerSample);
  // Appends `bytes` bytes of samples (host 16-bit values written little-endian).
  bool WriteSamples(int32_t bytes, const int16_t* samples);
  // Writes the final sizes and closes. True on success and when no file is open.
  bool Complete();
  // Closes without completing the header.
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  // The system's error number of the last failed operation.
  int LastError() const { return lastError_; }

 private:
  uint8_t header_[kWaveHeaderBytes] = {};
  std::FILE* file_ = nullptr;
  uint32_t dataBytes_ = 0;  // sample bytes written; at most maxDataBytes_
  uint32_t maxDataBytes_ = kMaxDataBytes;
  int lastError_ = 0;
};

}  // namespace clipvane
