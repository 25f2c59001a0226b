// The block driver's rules: key-block bookkeeping and lag codes, collect mode,
// DC-removal continuity, the quality factor's extremes and silent blocks, and
// states used on threads that come and go.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "codebook/channel_codebook.h"
#include "codec/audio_packet.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/float_math.h"
#include "tests/encoder/test_audio.h"

namespace clipvane {
namespace {

using testing::BlockCount;
using testing::BlockWindow;

// Every rule holds with every kernel set this processor runs.
class EncoderBlock : public ::testing::TestWithParam<const EncoderKernels*> {
 protected:
  // Installs `codebook` and makes the state run the kernel set under test.
  void Install(AudioEncoderState& state, const ChannelCodebook& codebook) {
    ResetEncoderState(state, codebook);
    UseEncoderKernels(state, *GetParam());
  }
};

TEST_P(EncoderBlock, ZeroKeyBlockAfterResetCodesEveryPulseAtPlusOneGain) {
  const ChannelCodebook& codebook = BuiltInCodebook();
  // The gain index is the ratio nearest to 4 / initialGain on a log scale.
  int expectedIndex = 0;
  double bestDistance = 1e30;
  for (int i = 0; i < kGainLevels; ++i) {
    const double distance =
        std::fabs(std::log(codebook.gainRatio[i] / 8192.0) - std::log(4.0 / codebook.initialGain));
    if (distance < bestDistance) {
      bestDistance = distance;
      expectedIndex = i;
    }
  }
  for (float quality : {128.0f, 0.0f, 1.0e-4f}) {
    AudioEncoderState state;
    Install(state, codebook);
    const int16_t zeros[256] = {};
    uint8_t packet[kMaxPacketBytes];
    EncodedBlockDetails details;
    state.settings = MakeEncoderSettings(quality, 0);
    EncodeAudioBlockDetailed(state, zeros, packet, true, false, &details);
    const AudioPacketFields fields = ReadAudioPacket(packet);
    const PacketMode& mode = kPacketModeTable[fields.packetMode];
    EXPECT_EQ(fields.lagCode, kLagCodeKey);
    EXPECT_EQ(fields.gridPhase, 3) << "equal (zero) energies choose the last phase";
    EXPECT_EQ(fields.gainIndex, expectedIndex);
    for (int i = 0; i < mode.pulses; ++i) EXPECT_EQ(fields.pulses[i], 1 << (mode.pulseBits - 1)) << i;
    const int32_t gain = (codebook.initialGain * codebook.gainRatio[expectedIndex]) >> 13;
    EXPECT_EQ(state.decoder.gainState, gain);
    // The excitation is +gain at every pulse position and 0 elsewhere.
    for (int n = 0; n < kBlockSamples; ++n) {
      const bool onGrid = n >= 3 && (n - 3) % mode.spacing == 0 && (n - 3) / mode.spacing < mode.pulses;
      EXPECT_EQ(state.decoder.excitationHistory[kBlockSamples + n], onGrid ? gain : 0) << n;
    }
  }
}

TEST_P(EncoderBlock, LagCodesFollowTheKeyBlock) {
  const std::vector<int16_t> signal = testing::LoadChannel("chord_stereo44100.pcm", 2, 0);
  AudioEncoderState state;
  Install(state, BuiltInCodebook());
  int predicted = 0;
  int sinceKey = 0;
  for (std::size_t block = 0; block < BlockCount(signal); ++block) {
    const bool key = block % 30 == 0 || block % 30 == 1 || block == 100;  // two key blocks in a row too
    const std::vector<int16_t> window = BlockWindow(signal, block);
    uint8_t packet[kMaxPacketBytes];
    EncodeAudioBlock(state, window.data(), packet, key, false);
    const int lag = ReadAudioPacket(packet).lagCode;
    sinceKey = key ? 0 : sinceKey + 1;
    EXPECT_EQ(state.blocksSinceKey, sinceKey);
    if (key) {
      EXPECT_EQ(lag, kLagCodeKey) << block;
    } else if (sinceKey == 1) {
      EXPECT_EQ(lag, kLagCodeNone) << block;
    } else if (lag <= kMaxLagCode) {
      ++predicted;
    }
  }
  EXPECT_GT(predicted, 50) << "a sustained chord is predictable from the third block on";
}

TEST_P(EncoderBlock, CollectModeOnlyAppendsTrainingData) {
  const std::vector<int16_t> signal = testing::LoadChannel("speech_mono22050.pcm", 1, 0);
  AudioEncoderState plain;
  AudioEncoderState collecting;
  Install(plain, BuiltInCodebook());
  Install(collecting, BuiltInCodebook());
  std::size_t keys = 0;
  for (std::size_t block = 0; block < BlockCount(signal); ++block) {
    const bool key = block % 9 == 0;
    const std::vector<int16_t> window = BlockWindow(signal, block);
    uint8_t a[kMaxPacketBytes] = {};
    uint8_t b[kMaxPacketBytes] = {};
    const AudioEncoderState before = collecting;
    const int sizeA = EncodeAudioBlock(plain, window.data(), a, key, false);
    const int sizeB = EncodeAudioBlock(collecting, window.data(), b, key, true);
    ASSERT_EQ(sizeA, sizeB);
    ASSERT_EQ(std::memcmp(a, b, static_cast<std::size_t>(sizeA)), 0) << block;
    keys += key ? 1 : 0;
    const std::size_t others = block + 1 - keys;
    ASSERT_EQ(collecting.keyReflectionVectors.size(), keys);
    ASSERT_EQ(collecting.keyGainValues.size(), keys);
    ASSERT_EQ(collecting.deltaReflectionVectors.size(), others);
    ASSERT_EQ(collecting.gainLogRatios.size(), others);
    if (key) {
      EXPECT_GE(collecting.keyGainValues.back(), 4.0f);
      for (float k : collecting.keyReflectionVectors.back()) {
        EXPECT_GT(k, -1.0f);
        EXPECT_LT(k, 1.0f);
      }
    } else {
      // The delta is the raw coefficient minus the base the quantiser predicted from.
      ASSERT_TRUE(std::isfinite(collecting.gainLogRatios.back()));
      const ReflectionRecord& delta = collecting.deltaReflectionVectors.back();
      for (int j = 0; j < kReflectionOrder; ++j) {
        const float raw = delta[j] + before.decoder.previousReflection[j] / 32768.0f;
        EXPECT_GT(raw, -1.001f);
        EXPECT_LT(raw, 1.001f);
      }
    }
    // Everything else equals the state that did not collect.
    AudioEncoderState stripped = collecting;
    stripped.keyReflectionVectors.clear();
    stripped.deltaReflectionVectors.clear();
    stripped.keyGainValues.clear();
    stripped.gainLogRatios.clear();
    ASSERT_EQ(testing::StateDifference(stripped, plain), "") << block;
  }
}

TEST_P(EncoderBlock, DcRemovalCarriesTheStateAtSample127) {
  // A rising ramp with an offset: the look-ahead is filtered twice, and the
  // state must be the one after the block, not after the look-ahead.
  std::vector<int16_t> signal(128 * 12);
  for (std::size_t i = 0; i < signal.size(); ++i) signal[i] = static_cast<int16_t>(5000 + (i * 13) % 7000);
  std::vector<int32_t> continuous(signal.size());
  int32_t xPrevious = 0;
  int32_t yPrevious = 0;
  for (std::size_t n = 0; n < signal.size(); ++n) {
    yPrevious = ((yPrevious * 32735 + 16384) >> 15) + signal[n] - xPrevious;
    xPrevious = signal[n];
    continuous[n] = yPrevious;
  }
  AudioEncoderState state;
  Install(state, BuiltInCodebook());
  for (std::size_t block = 0; block + 1 < BlockCount(signal); ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, block);
    uint8_t packet[kMaxPacketBytes];
    EncodeAudioBlock(state, window.data(), packet, block == 0, false);
    EXPECT_EQ(state.highPassInput, signal[block * 128 + 127]);
    EXPECT_EQ(state.highPassOutput, continuous[block * 128 + 127]) << block;
  }
}

TEST_P(EncoderBlock, QualityExtremes) {
  const std::vector<int16_t> signal = testing::LoadChannel("speech_noise_stereo48000.pcm", 2, 1);
  struct Case {
    float quality;
    int expectedBytes;  // 0: any
  };
  // Quality 0: an infinite penalty for every mode, so mode 0 stays. A tiny
  // positive quality lets the rate decide (10 bytes); a tiny negative one
  // rewards bytes (20 bytes).
  for (const Case c :
       {Case{0.0f, 20}, Case{-0.0f, 20}, Case{1.0e-6f, 10}, Case{-1.0e-6f, 20}, Case{-5.0f, 0}}) {
    AudioEncoderState state;
    Install(state, BuiltInCodebook());
    state.settings = MakeEncoderSettings(c.quality, 0);
    for (std::size_t block = 0; block < 300; ++block) {
      const std::vector<int16_t> window = BlockWindow(signal, block);
      uint8_t packet[kMaxPacketBytes];
      const int size = EncodeAudioBlock(state, window.data(), packet, block % 25 == 0, true);
      if (c.expectedBytes != 0) {
        ASSERT_EQ(size, c.expectedBytes) << "quality " << c.quality << " block " << block;
      }
      ASSERT_EQ(size, AudioPacketSize(packet));
    }
  }
}

TEST_P(EncoderBlock, BeforeTheFirstKeyBlockTheGainStaysZeroAndNothingNonFiniteIsCollected) {
  const std::vector<int16_t> signal = testing::LoadChannel("speech_mono22050.pcm", 1, 0);
  AudioEncoderState state;  // zero-filled: gain state 0
  Install(state, BuiltInCodebook());
  AudioDecoderState decoder;
  InitDecoderState(decoder, BuiltInCodebook());
  for (std::size_t block = 0; block < 60; ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, 100 + block);
    uint8_t packet[kMaxPacketBytes + 2] = {};
    const bool key = block == 50;
    EncodeAudioBlock(state, window.data(), packet, key, true);
    int16_t out[kBlockSamples];
    DecodeAudioPacket(decoder, packet, out);
    if (block < 50) {
      EXPECT_EQ(state.decoder.gainState, 0);
      for (int16_t s : out) ASSERT_EQ(s, 0);
    } else {
      EXPECT_GT(state.decoder.gainState, 0);
    }
    ASSERT_EQ(state.decoder.gainState, decoder.gainState);
    ASSERT_EQ(std::memcmp(state.decoder.excitationHistory, decoder.excitationHistory,
                          sizeof(decoder.excitationHistory)),
              0);
  }
  for (float v : state.gainLogRatios) EXPECT_TRUE(std::isfinite(v));
  for (float v : state.keyGainValues) EXPECT_TRUE(std::isfinite(v));
  EXPECT_EQ(state.keyGainValues.size(), 1u);
  EXPECT_EQ(state.deltaReflectionVectors.size(), 59u);
}

TEST_P(EncoderBlock, ResetClearsMemoriesAndKeepsWhatTheKeyBlockSets) {
  const std::vector<int16_t> signal = testing::LoadChannel("speech_mono22050.pcm", 1, 0);
  AudioEncoderState state;
  Install(state, BuiltInCodebook());
  for (std::size_t block = 0; block < 20; ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, 200 + block);
    uint8_t packet[kMaxPacketBytes];
    EncodeAudioBlock(state, window.data(), packet, block == 0, true);
  }
  const AudioEncoderState before = state;
  ChannelCodebook other = BuiltInCodebook();
  other.initialGain = 1234;
  other.gainRatio[3] = 12345;
  other.spectrumCodewords[2][63][7] = -321;
  ResetEncoderState(state, other);
  EXPECT_EQ(state.decoder.codebook.initialGain, 1234);
  // The searches' tables follow the new codebook; the kernel set stays.
  EXPECT_EQ(state.kernels, GetParam());
  EXPECT_EQ(state.codebookTables.gainRatioLog[3], FloatLog(12345.0f / 8192.0f));
  EXPECT_EQ(state.codebookTables.transposedStages[2][7][63], -321.0f);
  for (int s = 0; s < kSpectrumStages; ++s) {
    for (int e = 0; e < kStageEntries; ++e) {
      for (int j = 0; j < kReflectionOrder; ++j) {
        ASSERT_EQ(state.codebookTables.transposedStages[s][j][e], other.spectrumCodewords[s][e][j]);
      }
    }
  }
  EXPECT_EQ(state.highPassInput, 0);
  EXPECT_EQ(state.highPassOutput, 0);
  for (int32_t v : state.analysisMemory) EXPECT_EQ(v, 0);
  for (int32_t v : state.decoder.excitationHistory) EXPECT_EQ(v, 0);
  for (float v : state.errorWeightingMemory) EXPECT_EQ(v, 0.0f);
  for (float v : state.speechWeightingMemory) EXPECT_EQ(v, 0.0f);
  EXPECT_TRUE(state.keyReflectionVectors.empty() && state.deltaReflectionVectors.empty() &&
              state.keyGainValues.empty() && state.gainLogRatios.empty());
  EXPECT_EQ(state.blocksSinceKey, before.blocksSinceKey);
  EXPECT_EQ(state.decoder.gainState, before.decoder.gainState);
  EXPECT_EQ(std::memcmp(state.decoder.synthesisMemory, before.decoder.synthesisMemory,
                        sizeof(state.decoder.synthesisMemory)),
            0);
  EXPECT_EQ(std::memcmp(state.decoder.previousReflection, before.decoder.previousReflection,
                        sizeof(state.decoder.previousReflection)),
            0);
}

// Everything an encoder keeps between blocks is in its state: threads that
// each encode with their own state and then end (as the stereo lane does when
// a conversion ends) give the packets of one thread, and leave nothing behind
// them that outlives the thread.
TEST_P(EncoderBlock, ThreadsThatEncodeAndEndGiveTheBytesOfOneThread) {
  const std::vector<int16_t> signal = testing::Noise(128 * 24, 7, 12000);
  auto encodeAll = [&](std::vector<uint8_t>& packets) {
    AudioEncoderState state;
    Install(state, BuiltInCodebook());
    state.settings = MakeEncoderSettings(64.0f, 0);
    for (std::size_t b = 0; b < BlockCount(signal); ++b) {
      uint8_t packet[kMaxPacketBytes] = {};
      const int bytes = EncodeAudioBlock(state, BlockWindow(signal, b).data(), packet, b % 8 == 0, false);
      packets.insert(packets.end(), packet, packet + bytes);
    }
  };
  std::vector<uint8_t> expected;
  encodeAll(expected);
  for (int round = 0; round < 8; ++round) {
    std::vector<uint8_t> results[4];
    std::vector<std::thread> threads;
    for (auto& result : results) threads.emplace_back([&encodeAll, &result] { encodeAll(result); });
    for (std::thread& thread : threads) thread.join();
    for (const auto& result : results) EXPECT_EQ(result, expected) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKernelSet, EncoderBlock, ::testing::ValuesIn(SupportedEncoderKernels()),
                         [](const ::testing::TestParamInfo<const EncoderKernels*>& info) {
                           return std::string(info.param->name);
                         });

}  // namespace
}  // namespace clipvane
