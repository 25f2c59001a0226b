// libFuzzer target for the encoder's kernel sets: the input is read as a
// codebook-free stream of blocks (one flag byte, then 128 samples, the next
// block's samples serving as look-ahead), encoded once with every kernel set
// this processor runs. The flag byte sets the key block (bit 0), collection
// (bit 1), a quality of 1 (bit 2) and the effort (bits 3..7, modulo 3).
// Packets, sizes and every carried value must agree with the plain set's; any
// difference traps, so the fuzzer reports it as a crash.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codebook/channel_codebook.h"
#include "codec/encoder/encoder_kernels.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr std::size_t kBlockBytes = 1 + 2 * clipvane::kBlockSamples;
constexpr std::size_t kMaxBlocks = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace clipvane;
  const std::size_t blocks = std::min(size / kBlockBytes, kMaxBlocks);
  if (blocks == 0) return 0;
  // Samples of all blocks, then 256 zeros so the last block has its look-ahead.
  std::vector<int16_t> samples((blocks + 2) * kBlockSamples, 0);
  for (std::size_t b = 0; b < blocks; ++b) {
    const uint8_t* at = data + b * kBlockBytes + 1;
    for (int n = 0; n < kBlockSamples; ++n) {
      samples[b * kBlockSamples + n] = static_cast<int16_t>(at[2 * n] | (at[2 * n + 1] << 8));
    }
  }
  const std::vector<const EncoderKernels*>& sets = SupportedEncoderKernels();
  std::vector<AudioEncoderState> states(sets.size());
  for (std::size_t s = 0; s < sets.size(); ++s) {
    ResetEncoderState(states[s], BuiltInCodebook());
    UseEncoderKernels(states[s], *sets[s]);
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    const uint8_t flags = data[b * kBlockBytes];
    const bool key = b == 0 || (flags & 1) != 0;
    const bool collect = (flags & 2) != 0;
    const float quality = (flags & 4) != 0 ? 1.0f : 128.0f;
    uint8_t first[kMaxPacketBytes] = {};
    int firstSize = 0;
    for (std::size_t s = 0; s < sets.size(); ++s) {
      uint8_t packet[kMaxPacketBytes] = {};
      states[s].settings = MakeEncoderSettings(quality, (flags >> 3) % (kMaxEffort + 1));
      const int size = EncodeAudioBlock(states[s], &samples[b * kBlockSamples], packet, key, collect);
      if (s == 0) {
        firstSize = size;
        std::memcpy(first, packet, sizeof(first));
        continue;
      }
      Check(size == firstSize && std::memcmp(packet, first, static_cast<std::size_t>(size)) == 0);
      const AudioEncoderState& a = states[0];
      const AudioEncoderState& c = states[s];
      Check(std::memcmp(&a.decoder, &c.decoder, sizeof(a.decoder)) == 0);
      Check(std::memcmp(a.analysisMemory, c.analysisMemory, sizeof(a.analysisMemory)) == 0);
      Check(std::memcmp(a.errorWeightingMemory, c.errorWeightingMemory, sizeof(a.errorWeightingMemory)) == 0);
      Check(std::memcmp(a.speechWeightingMemory, c.speechWeightingMemory, sizeof(a.speechWeightingMemory)) == 0);
      Check(a.highPassInput == c.highPassInput && a.highPassOutput == c.highPassOutput);
      Check(a.deltaReflectionVectors.size() == c.deltaReflectionVectors.size());
      Check(a.gainLogRatios.size() == c.gainLogRatios.size());
    }
  }
  return 0;
}
