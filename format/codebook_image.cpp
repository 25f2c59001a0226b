#include "format/codebook_image.h"

#include "format/little_endian.h"

namespace clipvane {

namespace {

// Signed fields stored as their two's-complement bit patterns.
int16_t LoadInt16(const uint8_t* at) { return int16_t(LoadLE16(at)); }
int32_t LoadInt32(const uint8_t* at) { return int32_t(LoadLE32(at)); }
void StoreInt16(int16_t value, uint8_t* at) { StoreLE16(at, uint16_t(value)); }
void StoreInt32(int32_t value, uint8_t* at) { StoreLE32(at, uint32_t(value)); }

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
