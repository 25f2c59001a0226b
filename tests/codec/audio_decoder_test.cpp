#include "codec/audio_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "codebook/channel_codebook.h"
#include "codec/audio_packet.h"
#include "codec/decoder_steps.h"
#include "guarded_buffer.h"
#include "reference_decoder.h"

namespace clipvane {
namespace {

// States are large; keep them off the test's stack.
std::unique_ptr<AudioDecoderState> NewState(const ChannelCodebook& codebook = BuiltInCodebook()) {
  auto state = std::make_unique<AudioDecoderState>();
  InitDecoderState(*state, codebook);
  return state;
}

ChannelCodebook FlatCodebook() {
  // Zero spectrum everywhere: the synthesis filter passes the excitation through.
  ChannelCodebook codebook;
  std::memset(&codebook, 0, sizeof(codebook));
  for (auto& ratio : codebook.gainRatio) ratio = 8192;
  return codebook;
}

std::vector<uint8_t> Packet(const AudioPacketFields& fields) {
  std::vector<uint8_t> packet(20, 0);
  WriteAudioPacket(fields, packet.data());
  return packet;
}

AudioPacketFields RandomFields(std::mt19937& rng, int lagCode) {
  AudioPacketFields f;
  f.lagCode = lagCode;
  f.gainIndex = static_cast<int>(rng() % 8);
  for (int& index : f.spectrumIndex) index = static_cast<int>(rng() % 64);
  f.gridPhase = static_cast<int>(rng() % 4);
  f.packetMode = static_cast<int>(rng() % 4);
  const PacketMode& m = kPacketModeTable[f.packetMode];
  for (int i = 0; i < m.pulses; ++i) f.pulses[i] = static_cast<uint8_t>(rng() % (1u << m.pulseBits));
  return f;
}

// A packet stream as the encoder produces it: a key block, then no long-term
// prediction in the next block, any lag from the third block on.
std::vector<std::vector<uint8_t>> EncoderLikeStream(std::mt19937& rng, int blocks) {
  std::vector<std::vector<uint8_t>> stream;
  int sinceKey = 0;
  for (int b = 0; b < blocks; ++b) {
    const bool key = b == 0 || rng() % 40 == 0;
    sinceKey = key ? 0 : sinceKey + 1;
    int lag = kLagCodeKey;
    if (!key) lag = sinceKey < 2 ? kLagCodeNone : static_cast<int>(rng() % 127);
    stream.push_back(Packet(RandomFields(rng, lag)));
  }
  return stream;
}

void Randomise(AudioDecoderState& state, std::mt19937& rng, uint32_t mask) {
  // Every member after the codebook gets arbitrary values, codebook included
  // when `mask` is wide: the decoder has no invalid state.
  auto value = [&] { return static_cast<int32_t>((rng() & mask) - mask / 2); };
  for (auto& stage : state.codebook.spectrumCodewords)
    for (auto& entry : stage)
      for (auto& v : entry) v = static_cast<int16_t>(value());
  for (auto& v : state.codebook.gainRatio) v = static_cast<int16_t>(value());
  for (auto& v : state.codebook.keyBase) v = value();
  state.codebook.initialGain = value();
  for (auto& v : state.excitationHistory) v = value();
  for (auto& v : state.previousFilterSet) v = value();
  for (auto& v : state.previousReflection) v = value();
  state.gainState = value();
  for (auto& v : state.workBuffer) v = value();
  for (auto& set : state.subBlockFilterSets)
    for (auto& v : set) v = value();
  for (auto& v : state.synthesisMemory) v = value();
}

bool SameState(const AudioDecoderState& a, const AudioDecoderState& b) {
  return std::memcmp(&a, &b, sizeof(AudioDecoderState)) == 0;
}

TEST(AudioDecoder, MatchesThePlainDecoderOnArbitraryStatesAndPackets) {
  std::mt19937 rng(2024);
  auto fast = NewState();
  auto plain = NewState();
  // Full-range states make every product and sum wrap; the narrower ones stay
  // in the range real audio occupies.
  const uint32_t masks[] = {0xFFFFFFFFu, 0xFFFFu, 0x3FFFu};
  for (uint32_t mask : masks) {
    for (int trial = 0; trial < 1500; ++trial) {
      Randomise(*fast, rng, mask);
      *plain = *fast;
      uint8_t packet[20];
      for (auto& b : packet) b = static_cast<uint8_t>(rng());
      int16_t fastOut[128], plainOut[128];
      const int fastSize = DecodeAudioPacket(*fast, packet, fastOut);
      const int plainSize = reference::Decode(*plain, packet, plainOut);
      ASSERT_EQ(fastSize, plainSize);
      ASSERT_EQ(std::memcmp(fastOut, plainOut, sizeof(fastOut)), 0) << "mask " << mask << " trial " << trial;
      ASSERT_TRUE(SameState(*fast, *plain)) << "mask " << mask << " trial " << trial;
    }
  }
}

TEST(AudioDecoder, MatchesThePlainDecoderOverLongStreams) {
  std::mt19937 rng(99);
  auto fast = NewState();
  auto plain = NewState();
  const auto stream = EncoderLikeStream(rng, 6000);
  for (std::size_t b = 0; b < stream.size(); ++b) {
    int16_t fastOut[128], plainOut[128];
    DecodeAudioPacket(*fast, stream[b].data(), fastOut);
    reference::Decode(*plain, stream[b].data(), plainOut);
    ASSERT_EQ(std::memcmp(fastOut, plainOut, sizeof(fastOut)), 0) << "block " << b;
  }
  EXPECT_TRUE(SameState(*fast, *plain));
}

TEST(AudioDecoder, FreshStateDecodesSilenceUntilTheFirstKeyBlock) {
  std::mt19937 rng(4);
  auto state = NewState();
  for (int b = 0; b < 20; ++b) {
    const auto packet = Packet(RandomFields(rng, static_cast<int>(rng() % 127)));
    int16_t out[128];
    DecodeAudioPacket(*state, packet.data(), out);
    for (int16_t s : out) ASSERT_EQ(s, 0);
  }
}

TEST(AudioDecoder, KeyBlockWithZeroPulsesPlacesMinusThreeGains) {
  for (int phase = 0; phase < 4; ++phase) {
    auto state = NewState();
    for (int i = 0; i < 256; ++i) state->excitationHistory[i] = 1000 + i;
    AudioPacketFields f;
    f.lagCode = kLagCodeKey;
    f.gainIndex = 5;  // gainRatio 14221
    f.packetMode = 3;
    f.gridPhase = phase;
    const auto packet = Packet(f);
    int16_t out[128];
    EXPECT_EQ(DecodeAudioPacket(*state, packet.data(), out), 10);
    // gain = (14221 * 571) >> 13 = 8120191 >> 13 = 991
    EXPECT_EQ(state->gainState, 991);
    for (int n = 0; n < 128; ++n) {
      const bool pulse = n >= phase && (n - phase) % 5 == 0 && (n - phase) / 5 < 24;
      EXPECT_EQ(state->excitationHistory[128 + n], pulse ? -3 * 991 : 0) << "sample " << n;
      // The key block keeps the history: the newer block moved to the older half.
      EXPECT_EQ(state->excitationHistory[n], 1000 + 128 + n);
    }
  }
}

TEST(AudioDecoder, KeyBlockRestartsGainAndMemoryFromTheCodebook) {
  auto state = NewState();
  state->gainState = 123456;
  for (auto& y : state->synthesisMemory) y = 777;
  AudioPacketFields f;
  f.lagCode = kLagCodeKey;
  f.gainIndex = 0;  // 26730
  f.packetMode = 1;
  for (int i = 0; i < 40; ++i) f.pulses[i] = 2;  // +1 gain
  int16_t out[128];
  DecodeAudioPacket(*state, Packet(f).data(), out);
  // (26730 * 571) >> 13 = 15262830 >> 13 = 1863
  EXPECT_EQ(state->gainState, 1863);
  // With the memory cleared, the first output is the first pulse alone.
  EXPECT_EQ(out[0], 1863);
}

TEST(AudioDecoder, LongTermPredictionReadsTheDocumentedEntries) {
  int32_t history[256];
  for (int i = 0; i < 256; ++i) history[i] = 32 * (i + 1);
  int32_t out[128];

  // Lag code 0: delay 129, sample 0 reads entry 127 with weight 1.
  LongTermPrediction(history, 0, out);
  EXPECT_EQ(out[0], (32 * 128 * 1) >> 4);
  EXPECT_EQ(out[6], (32 * 134 * 7) >> 4);
  EXPECT_EQ(out[7], (32 * 135) >> 1);
  EXPECT_EQ(out[120], (32 * 248) >> 1);
  EXPECT_EQ(out[121], (32 * 249 * 7) >> 4);
  EXPECT_EQ(out[127], (32 * 255 * 1) >> 4);

  // Lag code 125: entries 2..129.
  LongTermPrediction(history, 125, out);
  EXPECT_EQ(out[0], (32 * 3) >> 4);
  EXPECT_EQ(out[64], (32 * 67) >> 1);
  EXPECT_EQ(out[127], (32 * 130) >> 4);

  // The middle is a halving, arithmetic; the ends are wrapping products.
  for (auto& h : history) h = -3;
  LongTermPrediction(history, 60, out);
  EXPECT_EQ(out[0], -1);   // -3 >> 4
  EXPECT_EQ(out[60], -2);  // -3 >> 1
  for (auto& h : history) h = 0x7FFFFFFF;
  LongTermPrediction(history, 10, out);
  EXPECT_EQ(out[64], 0x3FFFFFFF);
  EXPECT_EQ(out[3], static_cast<int32_t>(0x7FFFFFFFu * 4u) >> 4);  // wraps to -4, then -1
  EXPECT_EQ(out[3], -1);
}

TEST(AudioDecoder, LongTermPredictionFeedsTheExcitation) {
  for (int lag : {0, 125}) {
    auto state = NewState(FlatCodebook());
    for (int i = 0; i < 256; ++i) state->excitationHistory[i] = 16 * (i + 1);
    AudioPacketFields f;
    f.lagCode = lag;
    f.packetMode = 2;  // gain state 0: the pulses add nothing
    int16_t out[128];
    EXPECT_EQ(DecodeAudioPacket(*state, Packet(f).data(), out), 12);
    const int first = 127 - lag;  // history entry of sample 0
    EXPECT_EQ(state->excitationHistory[128], (16 * (first + 1)) >> 4);
    EXPECT_EQ(state->excitationHistory[128 + 50], (16 * (first + 51)) >> 1);
    EXPECT_EQ(state->excitationHistory[255], (16 * (first + 128)) >> 4);
    // A flat spectrum passes the excitation unchanged.
    EXPECT_EQ(out[50], state->excitationHistory[128 + 50]);
  }
}

TEST(AudioDecoder, LagCode126ShiftsHistoryWithoutPrediction) {
  auto state = NewState(FlatCodebook());
  std::mt19937 rng(8);
  AudioPacketFields key = RandomFields(rng, kLagCodeKey);
  state->codebook.initialGain = 100;
  int16_t out[128];
  DecodeAudioPacket(*state, Packet(key).data(), out);
  std::vector<int32_t> keyExcitation(state->excitationHistory + 128, state->excitationHistory + 256);

  AudioPacketFields next;
  next.lagCode = kLagCodeNone;
  next.packetMode = 3;
  next.gridPhase = 1;
  for (int i = 0; i < 24; ++i) next.pulses[i] = 3;  // +3 gain
  DecodeAudioPacket(*state, Packet(next).data(), out);
  for (int n = 0; n < 128; ++n) {
    EXPECT_EQ(state->excitationHistory[n], keyExcitation[static_cast<std::size_t>(n)]);
    const bool pulse = n >= 1 && (n - 1) % 5 == 0 && n <= 116;
    EXPECT_EQ(state->excitationHistory[128 + n], pulse ? 300 : 0) << "sample " << n;
  }
}

TEST(AudioDecoder, OnlyTheOutputIsClipped) {
  auto state = NewState(FlatCodebook());
  state->codebook.initialGain = 40000;
  AudioPacketFields f;
  f.lagCode = kLagCodeKey;
  f.packetMode = 3;
  f.pulses[0] = 2;  // +1 gain at sample 0
  f.pulses[1] = 1;  // -1 gain at sample 5
  f.pulses[2] = 3;  // +3 gains at sample 10
  f.pulses[3] = 0;  // -3 gains at sample 15
  for (int i = 4; i < 24; ++i) f.pulses[i] = 2;
  int16_t out[128];
  DecodeAudioPacket(*state, Packet(f).data(), out);
  EXPECT_EQ(state->workBuffer[0], 40000);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(state->workBuffer[5], -40000);
  EXPECT_EQ(out[5], -32768);
  EXPECT_EQ(out[10], 32767);
  EXPECT_EQ(out[15], -32768);
  EXPECT_EQ(out[1], 0);
}

TEST(AudioDecoder, SynthesisMemoryIsNotClipped) {
  // k1 = -1.0 makes the filter an integrator (c1 = 1.0 in Q14): alternating
  // pulses of +-40000 must return it to exactly 0, which a clipped memory
  // (32767 - 40000) would not.
  ChannelCodebook codebook = FlatCodebook();
  codebook.keyBase[0] = -32768;
  codebook.initialGain = 40000;
  auto state = NewState(codebook);
  AudioPacketFields f;
  f.lagCode = kLagCodeKey;
  f.packetMode = 3;
  for (int i = 0; i < 24; ++i) f.pulses[i] = i % 2 == 0 ? 2 : 1;
  int16_t out[128];
  DecodeAudioPacket(*state, Packet(f).data(), out);
  EXPECT_EQ(state->subBlockFilterSets[0][1], 16384);
  for (int n = 0; n < 120; ++n) EXPECT_EQ(out[n], (n / 5) % 2 == 0 ? 32767 : 0) << "sample " << n;
  EXPECT_EQ(state->synthesisMemory[0], 0);
}

TEST(AudioDecoder, ReturnsThePacketSizeOfEachMode) {
  const int expected[4] = {20, 14, 12, 10};
  std::mt19937 rng(12);
  auto state = NewState();
  for (int mode = 0; mode < 4; ++mode) {
    AudioPacketFields f = RandomFields(rng, static_cast<int>(rng() % 128));
    f.packetMode = mode;
    int16_t out[128];
    EXPECT_EQ(DecodeAudioPacket(*state, Packet(f).data(), out), expected[mode]);
  }
}

TEST(AudioDecoder, ReadsNothingBeyondThePacket) {
  // Every packet in a buffer of exactly its own size, followed by a guard page.
  std::mt19937 rng(13);
  auto state = NewState();
  for (int trial = 0; trial < 400; ++trial) {
    AudioPacketFields f = RandomFields(rng, static_cast<int>(rng() % 128));
    uint8_t bytes[20];
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    const int size = WriteAudioPacket(f, bytes);
    testing::GuardedBuffer buffer{std::size_t(size)};
    ASSERT_TRUE(buffer.ok());
    buffer.Fill(bytes);
    int16_t out[128];
    EXPECT_EQ(DecodeAudioPacket(*state, buffer.data(), out), kPacketModeTable[f.packetMode].bytes);
  }
}

TEST(AudioDecoder, BytesAfterAShortPacketDoNotMatter) {
  std::mt19937 rng(14);
  for (int mode = 1; mode < 4; ++mode) {
    auto a = NewState();
    auto b = NewState();
    for (int block = 0; block < 50; ++block) {
      AudioPacketFields f = RandomFields(rng, block == 0 ? kLagCodeKey : static_cast<int>(rng() % 127));
      f.packetMode = mode;
      uint8_t first[20] = {}, second[20] = {};
      const int size = WriteAudioPacket(f, first);
      std::memcpy(second, first, static_cast<std::size_t>(size));
      for (int i = size; i < 20; ++i) second[i] = static_cast<uint8_t>(rng());
      int16_t outA[128], outB[128];
      DecodeAudioPacket(*a, first, outA);
      DecodeAudioPacket(*b, second, outB);
      ASSERT_EQ(std::memcmp(outA, outB, sizeof(outA)), 0);
    }
  }
}

TEST(AudioDecoder, ModeZeroIgnoredBitsDoNotChangeTheSamples) {
  std::mt19937 rng(15);
  auto a = NewState();
  auto b = NewState();
  for (int block = 0; block < 50; ++block) {
    AudioPacketFields f = RandomFields(rng, block == 0 ? kLagCodeKey : static_cast<int>(rng() % 127));
    f.packetMode = 0;
    auto packet = Packet(f);
    auto flipped = packet;
    // The spare bits of groups 6 and 7 end words 8 and 9.
    flipped[16] ^= 1;
    flipped[18] ^= 1;
    int16_t outA[128], outB[128];
    DecodeAudioPacket(*a, packet.data(), outA);
    DecodeAudioPacket(*b, flipped.data(), outB);
    ASSERT_EQ(std::memcmp(outA, outB, sizeof(outA)), 0);
  }
  // The spare bit of group 0 is pulse 40's top bit, and does matter.
  AudioPacketFields f;
  f.lagCode = kLagCodeKey;
  f.packetMode = 0;
  auto packet = Packet(f);
  auto flipped = packet;
  flipped[4] ^= 1;
  int16_t outA[128], outB[128];
  auto c = NewState(FlatCodebook());
  auto d = NewState(FlatCodebook());
  c->codebook.initialGain = d->codebook.initialGain = 10;
  DecodeAudioPacket(*c, packet.data(), outA);
  DecodeAudioPacket(*d, flipped.data(), outB);
  EXPECT_EQ(outA[120], -70);  // pulse 40, value 0: -7 gains
  EXPECT_EQ(outB[120], 10);   // value 4: +1 gain
}

TEST(AudioDecoder, StatesWithDifferentPastsAgreeFromAKeyBlockOn) {
  std::mt19937 rng(16);
  auto clean = NewState();
  auto used = NewState();
  // Give the second state an unrelated past.
  const auto past = EncoderLikeStream(rng, 30);
  for (const auto& packet : past) {
    int16_t out[128];
    DecodeAudioPacket(*used, packet.data(), out);
  }
  ASSERT_FALSE(SameState(*clean, *used));
  const auto stream = EncoderLikeStream(rng, 400);
  for (std::size_t b = 0; b < stream.size(); ++b) {
    int16_t outA[128], outB[128];
    DecodeAudioPacket(*clean, stream[b].data(), outA);
    DecodeAudioPacket(*used, stream[b].data(), outB);
    ASSERT_EQ(std::memcmp(outA, outB, sizeof(outA)), 0) << "block " << b;
  }
}

TEST(AudioDecoder, GainProductWraps) {
  ChannelCodebook codebook = FlatCodebook();
  codebook.gainRatio[3] = 32767;
  auto state = NewState(codebook);
  state->gainState = 0x7FFFFFFF;
  AudioPacketFields f;
  f.lagCode = kLagCodeNone;
  f.gainIndex = 3;
  f.packetMode = 3;
  int16_t out[128];
  DecodeAudioPacket(*state, Packet(f).data(), out);
  // 32767 * (2^31 - 1) modulo 2^32 is 2^31 - 32767 = 2147450881; >> 13 gives 262140.
  EXPECT_EQ(state->gainState, 262140);
}

}  // namespace
}  // namespace clipvane
