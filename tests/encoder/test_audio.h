#pragma once
// Test signals for the encoder: real speech and music cut from the project's
// sample movies, plus synthetic silence, noise and extremes.

#include <cstdint>
#include <string>
#include <vector>

#include "codec/encoder/audio_encoder.h"

namespace clipvane::testing {

struct NamedSignal {
  std::string name;
  std::vector<int16_t> samples;
};

// One channel of a raw interleaved 16-bit little-endian file in tests/data/encoder.
std::vector<int16_t> LoadChannel(const std::string& file, int channels, int channel);
// Deterministic full-scale white noise.
std::vector<int16_t> Noise(std::size_t count, uint32_t seed, int amplitude);
// Speech, music (both chord channels), speech in noise, silence, full-scale noise.
std::vector<NamedSignal> AllSignals();

// The block's 256 samples (block plus look-ahead), zero beyond the end.
std::vector<int16_t> BlockWindow(const std::vector<int16_t>& signal, std::size_t block);
inline std::size_t BlockCount(const std::vector<int16_t>& signal) { return (signal.size() + 127) / 128; }

// A key-block pattern that varies its interval: 1, 2, 3, then longer gaps.
bool IsKeyBlock(std::size_t block, uint32_t seed);

// Field-by-field comparison of two encoder states (everything that carries
// from block to block, and the training lists); empty when equal.
std::string StateDifference(const AudioEncoderState& a, const AudioEncoderState& b);

}  // namespace clipvane::testing
