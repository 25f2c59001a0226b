#include "converter/container.h"

#include <cmath>
#include <cstring>

namespace clipvane {

uint32_t FrameRate16x16(uint32_t rate, uint32_t scale) {
  long double value = (long double)rate * 65536.0L / (long double)scale;
  value += value > 0 ? 0.5L : -0.5L;
  // The caller rejects a scale of 0; anything beyond 32 bits saturates rather
  // than being undefined.
  if (!(value < 4294967296.0L)) return 0xFFFFFFFFu;
  if (value < 0) return 0;
  return uint32_t(value);
}

void FrameRecordBuilder::Begin(const uint8_t* frame, std::size_t frameBytes) {
  buffer_.resize(kRecordHeaderBytes);
  if (frameBytes > 4) buffer_.insert(buffer_.end(), frame + 4, frame + frameBytes);
}

void FrameRecordBuilder::AppendAudio(const uint8_t* bytes, std::size_t count) {
  buffer_.insert(buffer_.end(), bytes, bytes + count);
}

std::size_t FrameRecordBuilder::Complete(uint16_t blockCount) {
  std::size_t body = buffer_.size() - 4;
  if (body % 4 != 0) buffer_.resize(buffer_.size() + (4 - body % 4), 0);
  std::size_t afterSize = buffer_.size() - 2;  // block count, payload, audio, padding
  SerializeRecordHead(uint16_t(afterSize), blockCount, buffer_.data());
  return buffer_.size();
}

}  // namespace clipvane
