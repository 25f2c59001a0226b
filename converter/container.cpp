#include "converter/container.h"

#include <cmath>
#include <cstring>

namespace clipvane {

void SerializeHeader(const ContainerHeader& h, uint8_t* out) {
  std::memcpy(out, h.magic, 4);
  StoreLE32(out + 4, h.frameCount);
  StoreLE32(out + 8, uint32_t(h.width));
  StoreLE32(out + 12, uint32_t(h.height));
  StoreLE32(out + 16, h.frameRate);
  StoreLE32(out + 20, h.videoCodecData);
  StoreLE32(out + 24, h.audioSampleRate);
  StoreLE32(out + 28, h.audioChannels);
  StoreLE32(out + 32, h.maxFrameRecordSize);
  StoreLE32(out + 36, h.codebookOffset);
  StoreLE32(out + 40, h.seekTableOffset);
  StoreLE32(out + 44, h.seekEntryCount);
}

ContainerHeader ParseHeader(const uint8_t* in) {
  ContainerHeader h;
  std::memcpy(h.magic, in, 4);
  h.frameCount = LoadLE32(in + 4);
  h.width = int32_t(LoadLE32(in + 8));
  h.height = int32_t(LoadLE32(in + 12));
  h.frameRate = LoadLE32(in + 16);
  h.videoCodecData = LoadLE32(in + 20);
  h.audioSampleRate = LoadLE32(in + 24);
  h.audioChannels = LoadLE32(in + 28);
  h.maxFrameRecordSize = LoadLE32(in + 32);
  h.codebookOffset = LoadLE32(in + 36);
  h.seekTableOffset = LoadLE32(in + 40);
  h.seekEntryCount = LoadLE32(in + 44);
  return h;
}

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
  buffer_.resize(4);
  if (frameBytes > 4) buffer_.insert(buffer_.end(), frame + 4, frame + frameBytes);
}

void FrameRecordBuilder::AppendAudio(const uint8_t* bytes, std::size_t count) {
  buffer_.insert(buffer_.end(), bytes, bytes + count);
}

std::size_t FrameRecordBuilder::Complete(uint16_t blockCount) {
  std::size_t body = buffer_.size() - 4;
  if (body % 4 != 0) buffer_.resize(buffer_.size() + (4 - body % 4), 0);
  std::size_t afterSize = buffer_.size() - 2;  // block count, payload, audio, padding
  StoreLE16(buffer_.data(), uint16_t(afterSize));
  StoreLE16(buffer_.data() + 2, blockCount);
  return buffer_.size();
}

}  // namespace clipvane
