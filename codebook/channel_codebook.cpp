#include "codebook/channel_codebook.h"

namespace clipvane {

namespace {

// The image is little-endian on every host, so each field goes through these
// byte-wise accessors rather than a copy of the in-memory struct.
int16_t LoadInt16(const uint8_t* at) {
  return static_cast<int16_t>(static_cast<uint16_t>(at[0] | (at[1] << 8)));
}

int32_t LoadInt32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                              (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24));
}

void StoreInt16(int16_t value, uint8_t* at) {
  const auto bits = static_cast<uint16_t>(value);
  at[0] = static_cast<uint8_t>(bits);
  at[1] = static_cast<uint8_t>(bits >> 8);
}

void StoreInt32(int32_t value, uint8_t* at) {
  const auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

constexpr std::size_t kEntryBytes = 2 * kReflectionOrder;
constexpr std::size_t kStageBytes = kEntryBytes * kStageEntries;
static_assert(kStageBytes * kSpectrumStages == kGainRatioOffset);
static_assert(kGainRatioOffset + 2 * kGainLevels == kKeyBaseOffset);
static_assert(kKeyBaseOffset + 4 * kReflectionOrder == kInitialGainOffset);
static_assert(kInitialGainOffset + 4 == kCodebookImageBytes);

}  // namespace

ChannelCodebook ReadCodebookImage(const uint8_t* image) {
  ChannelCodebook codebook;
  for (int s = 0; s < kSpectrumStages; ++s) {
    for (int e = 0; e < kStageEntries; ++e) {
      for (int k = 0; k < kReflectionOrder; ++k) {
        codebook.spectrumCodewords[s][e][k] = LoadInt16(image + kStageBytes * s + kEntryBytes * e + 2 * k);
      }
    }
  }
  for (int i = 0; i < kGainLevels; ++i) codebook.gainRatio[i] = LoadInt16(image + kGainRatioOffset + 2 * i);
  for (int i = 0; i < kReflectionOrder; ++i) codebook.keyBase[i] = LoadInt32(image + kKeyBaseOffset + 4 * i);
  codebook.initialGain = LoadInt32(image + kInitialGainOffset);
  return codebook;
}

void WriteCodebookImage(const ChannelCodebook& codebook, uint8_t* image) {
  for (int s = 0; s < kSpectrumStages; ++s) {
    for (int e = 0; e < kStageEntries; ++e) {
      for (int k = 0; k < kReflectionOrder; ++k) {
        StoreInt16(codebook.spectrumCodewords[s][e][k], image + kStageBytes * s + kEntryBytes * e + 2 * k);
      }
    }
  }
  for (int i = 0; i < kGainLevels; ++i) StoreInt16(codebook.gainRatio[i], image + kGainRatioOffset + 2 * i);
  for (int i = 0; i < kReflectionOrder; ++i) StoreInt32(codebook.keyBase[i], image + kKeyBaseOffset + 4 * i);
  StoreInt32(codebook.initialGain, image + kInitialGainOffset);
}

CodebookImage ToImage(const ChannelCodebook& codebook) {
  CodebookImage image{};
  WriteCodebookImage(codebook, image.data());
  return image;
}

}  // namespace clipvane
