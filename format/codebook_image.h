#pragma once
// The per-channel codebook: a three-stage vector quantiser of reflection
// coefficients, a gain-ratio table, the key-block prediction base and the gain
// every key block starts from. It travels as a fixed 3124-byte little-endian
// image between the codec states, the side file and the output container.

#include <array>
#include <cstddef>
#include <cstdint>

namespace clipvane {

inline constexpr int kSpectrumStages = 3;
inline constexpr int kStageEntries = 64;
inline constexpr int kReflectionOrder = 8;
inline constexpr int kGainLevels = 8;
inline constexpr std::size_t kCodebookImageBytes = 3124;

// Byte offsets of the fields inside the image.
inline constexpr std::size_t kGainRatioOffset = 3072;
inline constexpr std::size_t kKeyBaseOffset = 3088;
inline constexpr std::size_t kInitialGainOffset = 3120;

// In-memory form of the image. Values are host integers; the image bytes are
// produced and parsed field by field (ReadCodebookImage / WriteCodebookImage).
struct ChannelCodebook {
  // Q15 reflection-coefficient deltas: [stage][entry][component].
  int16_t spectrumCodewords[kSpectrumStages][kStageEntries][kReflectionOrder];
  // Q13 gain ratios (8192 = 1.0), addressed directly by the packet's gain index.
  int16_t gainRatio[kGainLevels];
  // Q15 reflection coefficients that every key block predicts from.
  int32_t keyBase[kReflectionOrder];
  // Gain state of every key block, in sample-amplitude units.
  int32_t initialGain;
};
static_assert(sizeof(ChannelCodebook) == kCodebookImageBytes, "codebook layout must match its image");

using CodebookImage = std::array<uint8_t, kCodebookImageBytes>;

ChannelCodebook ReadCodebookImage(const uint8_t* image);
void WriteCodebookImage(const ChannelCodebook& codebook, uint8_t* image);
CodebookImage ToImage(const ChannelCodebook& codebook);

}  // namespace clipvane
