#include "audio_io/debug_sound_file.h"

#include <cerrno>
#include <cstring>

#include "format/little_endian.h"
#include "platform/files.h"

namespace clipvane {

namespace {

constexpr int kSampleBufferBytes = 4096;  // staging for the byte-order conversion

void putTag(uint8_t* at, const char (&tag)[5]) { std::memcpy(at, tag, 4); }

}  // namespace

DebugSoundFile::~DebugSoundFile() { Close(); }

bool DebugSoundFile::Create(const std::string& path, int32_t sampleRate, int32_t channels,
                            int32_t bitsPerSample) {
  Close();
  dataBytes_ = 0;
  file_ = platform::OpenFile(path, "wb");
  if (file_ == nullptr) {
    lastError_ = errno;
    return false;
  }

  // The two size fields stay 0 until Complete: a file left behind by a
  // cancelled run then says plainly that its length is unknown.
  std::memset(header_, 0, sizeof(header_));
  putTag(header_ + 0, "RIFF");
  putTag(header_ + 8, "WAVE");
  putTag(header_ + 12, "fmt ");
  StoreLE32(header_ + 16, 16);
  StoreLE16(header_ + 20, 1);  // PCM
  StoreLE16(header_ + 22, uint16_t(channels));
  StoreLE32(header_ + 24, uint32_t(sampleRate));
  // Done in 64 bits so that no argument can overflow; the stored field keeps
  // the low 32 bits exactly as a truncating 32-bit division would give them
  // for every sensible rate.
  StoreLE32(header_ + 28, uint32_t(int64_t(sampleRate) * channels * bitsPerSample / 8));
  StoreLE16(header_ + 32, uint16_t(int64_t(channels) * bitsPerSample / 8));
  StoreLE16(header_ + 34, uint16_t(bitsPerSample));
  putTag(header_ + 36, "data");

  if (std::fwrite(header_, 1, sizeof(header_), file_) != sizeof(header_)) {
    lastError_ = errno;
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool DebugSoundFile::WriteSamples(int32_t bytes, const int16_t* samples) {
  if (file_ == nullptr) return false;
  if (bytes <= 0) return bytes == 0;
  // The WAV sizes are 32 bits: samples beyond what they can count are not
  // written, so the file stays valid (the first ~6 hours of stereo 44.1 kHz).
  if (uint32_t(bytes) > maxDataBytes_ - dataBytes_) return false;
  // Little-endian on disk whatever the host order; an odd final byte is the
  // low byte of the last sample.
  uint8_t staging[kSampleBufferBytes];
  int32_t done = 0;
  bool complete = true;
  while (done < bytes) {
    const int32_t part = bytes - done < kSampleBufferBytes ? bytes - done : kSampleBufferBytes;
    const int16_t* from = samples + done / 2;
    for (int32_t i = 0; i < part; i += 2) {
      const uint16_t value = uint16_t(from[i / 2]);
      staging[i] = uint8_t(value);
      if (i + 1 < part) staging[i + 1] = uint8_t(value >> 8);
    }
    if (std::fwrite(staging, 1, size_t(part), file_) != size_t(part)) {
      lastError_ = errno;
      complete = false;
      break;
    }
    done += part;
  }
  if (!complete) {
    std::fclose(file_);
    file_ = nullptr;
    dataBytes_ = 0;
    return false;
  }
  dataBytes_ += uint32_t(bytes);
  return true;
}

bool DebugSoundFile::Complete() {
  if (file_ == nullptr) return true;
  StoreLE32(header_ + 4, dataBytes_ + 36u);
  StoreLE32(header_ + 40, dataBytes_);
  bool ok = std::fseek(file_, 0, SEEK_SET) == 0 &&
            std::fwrite(header_, 1, sizeof(header_), file_) == sizeof(header_);
  if (!ok) lastError_ = errno;
  // Buffered samples reach the disk only now: a full disk shows here.
  if (std::fclose(file_) != 0 && ok) {
    lastError_ = errno;
    ok = false;
  }
  file_ = nullptr;
  dataBytes_ = 0;
  return ok;
}

void DebugSoundFile::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

}  // namespace clipvane
