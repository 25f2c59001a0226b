// The production encoder against the plain reference: packets, sizes and every
// carried value must agree bit for bit over long runs of real audio.

#include <gtest/gtest.h>

#include <cstring>

#include "codebook/channel_codebook.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "tests/encoder/reference_encoder.h"
#include "tests/encoder/test_audio.h"

namespace clipvane {
namespace {

using testing::AllSignals;
using testing::BlockCount;
using testing::BlockWindow;
using testing::IsKeyBlock;
using testing::StateDifference;

void CompareRunWith(const EncoderKernels& kernels, const std::vector<int16_t>& signal,
                    const ChannelCodebook& codebook, float quality, uint32_t seed, bool collect,
                    const std::string& label) {
  AudioEncoderState fast;
  AudioEncoderState plain;
  ResetEncoderState(fast, codebook);
  ResetEncoderState(plain, codebook);
  UseEncoderKernels(fast, kernels);
  fast.settings = MakeEncoderSettings(quality, 0);
  for (std::size_t block = 0; block < BlockCount(signal); ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, block);
    const bool key = IsKeyBlock(block, seed);
    uint8_t a[kMaxPacketBytes] = {};
    uint8_t b[kMaxPacketBytes] = {};
    const int sizeA = EncodeAudioBlock(fast, window.data(), a, key, collect);
    const int sizeB = reference::EncodeBlock(plain, window.data(), b, key, collect, quality);
    ASSERT_EQ(sizeA, sizeB) << label << " block " << block;
    ASSERT_EQ(std::memcmp(a, b, static_cast<std::size_t>(sizeA)), 0) << label << " block " << block;
    const std::string diff = StateDifference(fast, plain);
    ASSERT_TRUE(diff.empty()) << label << " block " << block << ":" << diff;
  }
}

// The encoder with every kernel set this processor runs against the reference.
void CompareRun(const std::vector<int16_t>& signal, const ChannelCodebook& codebook, float quality,
                uint32_t seed, bool collect, const std::string& label) {
  for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
    CompareRunWith(*kernels, signal, codebook, quality, seed, collect, label + " " + kernels->name);
  }
}

TEST(EncoderAgainstReference, RealAndSyntheticSignalsAtSeveralQualities) {
  const float qualities[] = {128.0f, 1.0f, 0.0f, -3.0f, 1.0e6f};
  uint32_t seed = 0;
  for (const auto& signal : AllSignals()) {
    for (float quality : qualities) {
      ++seed;
      CompareRun(signal.samples, BuiltInCodebook(), quality, seed, seed % 2 == 0,
                 signal.name + " q=" + std::to_string(quality));
    }
  }
}

TEST(EncoderAgainstReference, CodebookWhoseRatiosWouldStarveTheGain) {
  // Ratios below 1.0 everywhere but one entry: in quiet passages the nearest
  // ratio would drive a small gain to 0, which the encoder must avoid.
  ChannelCodebook codebook = BuiltInCodebook();
  const int16_t ratios[kGainLevels] = {4000, 2000, 6000, 1000, 9000, 3000, 5000, 7000};
  std::memcpy(codebook.gainRatio, ratios, sizeof(ratios));
  codebook.initialGain = 3;
  std::vector<int16_t> signal = testing::LoadChannel("speech_mono22050.pcm", 1, 0);
  signal.resize(128 * 200);
  signal.insert(signal.end(), 128 * 40, 0);
  CompareRun(signal, codebook, 128.0f, 3, true, "starving codebook");

  AudioEncoderState state;
  ResetEncoderState(state, codebook);
  for (std::size_t block = 0; block < BlockCount(signal); ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, block);
    uint8_t packet[kMaxPacketBytes];
    EncodeAudioBlock(state, window.data(), packet, block % 50 == 0, false);
    ASSERT_GE(state.decoder.gainState, 1) << "block " << block;
  }
}

TEST(EncoderAgainstReference, GainStateZeroBeforeTheFirstKeyBlock) {
  // A fresh state has gain 0 until its first key block (block 4 here).
  const std::vector<int16_t> signal = testing::LoadChannel("chord_stereo44100.pcm", 2, 1);
  CompareRun(signal, BuiltInCodebook(), 128.0f, 4, true, "late key");
}

}  // namespace
}  // namespace clipvane
