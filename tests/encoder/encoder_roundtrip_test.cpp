// Every packet, decoded by the player's decoder, gives exactly what the
// encoder synthesised for its chosen mode, and both sides carry the same state.

#include <gtest/gtest.h>

#include <cstring>

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

struct RoundTripCounts {
  int modes[kPacketModes] = {};
  int predicted = 0;
};

void RoundTrip(const EncoderKernels& kernels, const std::vector<int16_t>& signal, uint32_t seed, float quality,
               const std::string& label, RoundTripCounts& counts) {
  AudioEncoderState encoder;
  ResetEncoderState(encoder, BuiltInCodebook());
  UseEncoderKernels(encoder, kernels);
  encoder.settings = MakeEncoderSettings(quality, 0);
  AudioDecoderState decoder;
  InitDecoderState(decoder, BuiltInCodebook());
  bool seenKey = false;
  for (std::size_t block = 0; block < BlockCount(signal); ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, block);
    const bool key = testing::IsKeyBlock(block, seed);
    seenKey = seenKey || key;
    uint8_t packet[kMaxPacketBytes + 2] = {};
    EncodedBlockDetails details;
    const int size =
        EncodeAudioBlockDetailed(encoder, window.data(), packet, key, block % 3 == 0, &details);
    int16_t decoded[kBlockSamples];
    EXPECT_EQ(AudioPacketSize(packet), size);
    const int decodedSize = DecodeAudioPacket(decoder, packet, decoded);
    EXPECT_EQ(decodedSize, size) << label << " block " << block;
    EXPECT_EQ(size, kPacketModeTable[details.choice.packetMode].bytes);

    const AudioPacketFields fields = ReadAudioPacket(packet);
    EXPECT_EQ(fields.lagCode, details.lagCode);
    EXPECT_EQ(fields.packetMode, details.choice.packetMode);
    EXPECT_EQ(fields.gridPhase, details.choice.gridPhase);
    EXPECT_EQ(fields.gainIndex, details.choice.gainIndex);

    for (int n = 0; n < kBlockSamples; ++n) {
      const int16_t expected = ClipToSample(details.choice.synthesis[n]);
      ASSERT_EQ(decoded[n], expected) << label << " block " << block << " sample " << n;
      if (!seenKey) {
        ASSERT_EQ(decoded[n], 0) << "a player outputs silence before the first key block";
      }
    }
    ASSERT_EQ(encoder.decoder.gainState, decoder.gainState) << label << " block " << block;
    ASSERT_EQ(std::memcmp(encoder.decoder.synthesisMemory, decoder.synthesisMemory,
                          sizeof(decoder.synthesisMemory)),
              0)
        << label << " block " << block;
    ASSERT_EQ(std::memcmp(encoder.decoder.excitationHistory, decoder.excitationHistory,
                          sizeof(decoder.excitationHistory)),
              0)
        << label << " block " << block;
    ASSERT_EQ(std::memcmp(encoder.decoder.previousFilterSet, decoder.previousFilterSet,
                          sizeof(decoder.previousFilterSet)),
              0);
    ASSERT_EQ(std::memcmp(encoder.decoder.previousReflection, decoder.previousReflection,
                          sizeof(decoder.previousReflection)),
              0);
    ++counts.modes[details.choice.packetMode];
    if (details.lagCode <= kMaxLagCode) ++counts.predicted;
  }
}

TEST(EncoderRoundTrip, DecoderReproducesTheChosenSynthesisOnAllSignals) {
  uint32_t seed = 10;
  RoundTripCounts counts;
  for (const auto& signal : testing::AllSignals()) {
    for (float quality : {128.0f, 4.0f, 0.05f}) {
      for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
        RoundTrip(*kernels, signal.samples, seed, quality, signal.name + " " + kernels->name, counts);
      }
      ++seed;
    }
  }
  // The runs must have exercised every packet mode and the long-term prediction.
  for (int m = 0; m < kPacketModes; ++m) EXPECT_GT(counts.modes[m], 0) << "mode " << m;
  EXPECT_GT(counts.predicted, 0);
}

TEST(EncoderRoundTrip, TwoDecodersJoiningAtAKeyBlockAgree) {
  // A player that starts at a key block (with whatever state it held) decodes
  // the same samples as one that decoded from the start.
  const std::vector<int16_t> signal = testing::LoadChannel("speech_noise_stereo48000.pcm", 2, 0);
  AudioEncoderState encoder;
  ResetEncoderState(encoder, BuiltInCodebook());
  AudioDecoderState full;
  AudioDecoderState late;
  InitDecoderState(full, BuiltInCodebook());
  InitDecoderState(late, BuiltInCodebook());
  late.excitationHistory[200] = 12345;  // stale values a key block must not let through
  late.synthesisMemory[0] = -999;
  const std::size_t joinAt = 40;
  for (std::size_t block = 0; block < 200; ++block) {
    const std::vector<int16_t> window = BlockWindow(signal, block);
    uint8_t packet[kMaxPacketBytes + 2] = {};
    EncodeAudioBlock(encoder, window.data(), packet, block % 40 == 0, false);
    int16_t a[kBlockSamples];
    int16_t b[kBlockSamples];
    DecodeAudioPacket(full, packet, a);
    if (block < joinAt) continue;
    DecodeAudioPacket(late, packet, b);
    ASSERT_EQ(std::memcmp(a, b, sizeof(a)), 0) << "block " << block;
  }
}

}  // namespace
}  // namespace clipvane
