// The closed-loop efforts: every packet is one the unchanged decoder plays to
// exactly the encoder's synthesis, the key-block rules hold, the gain state
// never reaches 0, every kernel set writes the plain set's bytes, collecting
// training data runs effort 0 whatever the settings, and at an equal rate the
// closed loop leaves less error than the open loop.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "codebook/channel_codebook.h"
#include "codec/audio_packet.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"
#include "tests/encoder/test_audio.h"

namespace clipvane {
namespace {

using testing::BlockCount;
using testing::BlockWindow;

struct EffortRun {
  std::vector<uint8_t> packets;
  double squaredError = 0.0;  // decoded against the input block
};

// Encodes `signal` at `effort` with `kernels`, decoding every packet with the
// player's decoder and checking the invariants block by block.
void RunEffort(const EncoderKernels& kernels, const std::vector<int16_t>& signal, int effort, float quality,
               uint32_t seed, const std::string& label, EffortRun& run) {
  AudioEncoderState encoder;
  ResetEncoderState(encoder, BuiltInCodebook());
  UseEncoderKernels(encoder, kernels);
  encoder.settings = MakeEncoderSettings(quality, effort);
  AudioDecoderState decoder;
  InitDecoderState(decoder, BuiltInCodebook());
  int blocksSinceKey = -1;  // no key block yet
  for (std::size_t block = 0; block < BlockCount(signal); ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, block);
    const bool key = block == 0 || testing::IsKeyBlock(block, seed);
    blocksSinceKey = key ? 0 : blocksSinceKey + 1;
    uint8_t packet[kMaxPacketBytes + 2] = {};
    EncodedBlockDetails details;
    const int size = EncodeAudioBlockDetailed(encoder, window.data(), packet, key, false, &details);
    int16_t decoded[kBlockSamples];
    EXPECT_EQ(DecodeAudioPacket(decoder, packet, decoded), size) << label << " block " << block;
    run.packets.insert(run.packets.end(), packet, packet + size);
    for (int n = 0; n < kBlockSamples; ++n) {
      ASSERT_EQ(decoded[n], ClipToSample(details.choice.synthesis[n])) << label << " block " << block << " " << n;
      const double e = double(decoded[n]) - double(window[std::size_t(n)]);
      run.squaredError += e * e;
    }
    // A key block says so; the block after it predicts nothing (its history
    // still holds samples from before the key block).
    if (key) {
      EXPECT_EQ(details.lagCode, kLagCodeKey) << label << " block " << block;
    } else if (blocksSinceKey == 1) {
      EXPECT_EQ(details.lagCode, kLagCodeNone) << label << " block " << block;
    }
    EXPECT_GE(decoder.gainState, 1) << label << " block " << block;
    ASSERT_EQ(encoder.decoder.gainState, decoder.gainState) << label << " block " << block;
    ASSERT_EQ(std::memcmp(encoder.decoder.synthesisMemory, decoder.synthesisMemory, sizeof(decoder.synthesisMemory)),
              0)
        << label << " block " << block;
  }
}

EffortRun Encode(const EncoderKernels& kernels, const std::vector<int16_t>& signal, int effort, float quality,
              uint32_t seed, const std::string& label) {
  EffortRun run;
  RunEffort(kernels, signal, effort, quality, seed, label, run);
  return run;
}

TEST(EncoderEffort, PacketsDecodeToTheSynthesisWithEveryKernelSetsBytes) {
  // The first 100 blocks of each signal keep the run short under emulation;
  // the key-block pattern varies with the seed.
  uint32_t seed = 3;
  for (const auto& signal : testing::AllSignals()) {
    const std::vector<int16_t> samples(signal.samples.begin(),
                                       signal.samples.begin() + std::ptrdiff_t(std::min<std::size_t>(
                                                                    signal.samples.size(), 100 * kBlockSamples)));
    for (int effort = 1; effort <= kMaxEffort; ++effort) {
      const float quality = seed % 2 == 0 ? 128.0f : 2.0f;
      const std::string label = signal.name + " effort " + std::to_string(effort);
      const EffortRun plain = Encode(PlainEncoderKernels(), samples, effort, quality, seed, label);
      for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
        const EffortRun other = Encode(*kernels, samples, effort, quality, seed, label + " " + kernels->name);
        EXPECT_TRUE(other.packets == plain.packets) << label << " " << kernels->name;
      }
      ++seed;
    }
  }
}

TEST(EncoderEffort, AtEqualRateTheClosedLoopLeavesLessError) {
  // A tiny negative quality rewards bytes: every block takes the 20-byte mode
  // at every effort, so the runs have the same size.
  const std::vector<int16_t> speech = testing::LoadChannel("speech_noise_stereo48000.pcm", 2, 0);
  const EffortRun open = Encode(PlainEncoderKernels(), speech, 0, -1e-6f, 5, "effort 0");
  for (int effort = 1; effort <= kMaxEffort; ++effort) {
    const EffortRun closed = Encode(*FastestEncoderKernels(), speech, effort, -1e-6f, 5, "closed loop");
    EXPECT_EQ(closed.packets.size(), open.packets.size());
    EXPECT_LT(closed.squaredError, open.squaredError * 0.8) << "effort " << effort;
  }
}

TEST(EncoderEffort, CollectingTrainingDataRunsEffortZero) {
  const std::vector<int16_t> speech = testing::LoadChannel("speech_noise_stereo48000.pcm", 2, 1);
  AudioEncoderState states[kMaxEffort + 1];
  for (int effort = 0; effort <= kMaxEffort; ++effort) {
    ResetEncoderState(states[effort], BuiltInCodebook());
    states[effort].settings = MakeEncoderSettings(64.0f, effort);
  }
  for (std::size_t block = 0; block < 120; ++block) {
    const std::vector<int16_t> window = BlockWindow(speech, block);
    uint8_t reference[kMaxPacketBytes] = {};
    const int size = EncodeAudioBlock(states[0], window.data(), reference, block % 30 == 0, true);
    for (int effort = 1; effort <= kMaxEffort; ++effort) {
      uint8_t packet[kMaxPacketBytes] = {};
      ASSERT_EQ(EncodeAudioBlock(states[effort], window.data(), packet, block % 30 == 0, true), size);
      ASSERT_EQ(std::memcmp(packet, reference, std::size_t(size)), 0) << "effort " << effort << " block " << block;
    }
  }
  for (int effort = 1; effort <= kMaxEffort; ++effort) {
    EXPECT_EQ(testing::StateDifference(states[effort], states[0]), "") << "effort " << effort;
  }
}

}  // namespace
}  // namespace clipvane
