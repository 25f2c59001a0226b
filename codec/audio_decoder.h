#pragma once
// Public interface of the audio decoder: what a player links to turn the
// container's audio packets back into 16-bit samples, bit for bit.
//
// Fixed point: gains and gain ratios Q13 (8192 = 1.0), reflection coefficients
// Q15, synthesis filter coefficients Q14 (16384 = 1.0). Every product is a
// 32-bit signed product that wraps (see codec/fixed_point.h); every right shift
// is arithmetic; there are no rounding constants. Only the output is clipped.

#include <cstdint>

#include "format/codebook_image.h"
#include "format/packet_format.h"

namespace clipvane {

inline constexpr int kSubBlocks = 4;
inline constexpr int kSubBlockSamples = 32;
inline constexpr int kFilterSetSize = 9;       // 16384 followed by 8 coefficients
inline constexpr int kHistorySamples = 256;    // excitation of the two previous blocks

// Per-channel decoder state. The encoder's state begins with a block laid out
// exactly like this one, so both sides share DecodeSpectrum and stay in step.
struct AudioDecoderState {
  ChannelCodebook codebook;
  int32_t excitationHistory[kHistorySamples];  // 0..127 older block, 128..255 newer
  int32_t previousFilterSet[kFilterSetSize];
  int32_t previousReflection[kReflectionOrder];  // Q15
  int32_t gainState;
  int32_t workBuffer[kBlockSamples];
  int32_t subBlockFilterSets[kSubBlocks][kFilterSetSize];
  int32_t synthesisMemory[kReflectionOrder];  // most recent first
};

// Zero-fills the state and installs the codebook at its head. Until the first
// key block such a state decodes every packet to silence.
void InitDecoderState(AudioDecoderState& state, const ChannelCodebook& codebook);

// Decodes one packet of one channel into 128 samples and returns the packet's
// size in bytes (20, 14, 12 or 10). Reads no byte beyond that size.
int DecodeAudioPacket(AudioDecoderState& state, const uint8_t* packet, int16_t* samples);

}  // namespace clipvane
