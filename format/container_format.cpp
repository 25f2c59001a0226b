#include "format/container_format.h"

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

}  // namespace clipvane
