#include "codec/audio_packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "codec/audio_decoder.h"

namespace clipvane {
namespace {

AudioPacketFields RandomFields(std::mt19937& rng, int mode) {
  AudioPacketFields f;
  f.lagCode = static_cast<int>(rng() % 128);
  f.gainIndex = static_cast<int>(rng() % 8);
  for (int& index : f.spectrumIndex) index = static_cast<int>(rng() % 64);
  f.gridPhase = static_cast<int>(rng() % 4);
  f.packetMode = mode;
  const PacketMode& m = kPacketModeTable[mode];
  for (int i = 0; i < m.pulses; ++i) f.pulses[i] = static_cast<uint8_t>(rng() % (1u << m.pulseBits));
  return f;
}

void ExpectSameFields(const AudioPacketFields& a, const AudioPacketFields& b) {
  EXPECT_EQ(a.lagCode, b.lagCode);
  EXPECT_EQ(a.gainIndex, b.gainIndex);
  for (int s = 0; s < 3; ++s) EXPECT_EQ(a.spectrumIndex[s], b.spectrumIndex[s]);
  EXPECT_EQ(a.gridPhase, b.gridPhase);
  EXPECT_EQ(a.packetMode, b.packetMode);
  for (int i = 0; i < kMaxPulses; ++i) EXPECT_EQ(a.pulses[i], b.pulses[i]) << "pulse " << i;
}

TEST(AudioPacket, EveryModeRoundTripsAtItsSize) {
  std::mt19937 rng(7);
  const int expectedBytes[4] = {20, 14, 12, 10};
  for (int mode = 0; mode < kPacketModes; ++mode) {
    for (int trial = 0; trial < 200; ++trial) {
      const AudioPacketFields fields = RandomFields(rng, mode);
      uint8_t packet[20];
      ASSERT_EQ(WriteAudioPacket(fields, packet), expectedBytes[mode]);
      EXPECT_EQ(AudioPacketSize(packet), expectedBytes[mode]);
      ExpectSameFields(ReadAudioPacket(packet), fields);
    }
  }
}

TEST(AudioPacket, HeaderFieldsSitAtTheirBits) {
  AudioPacketFields f;
  f.lagCode = 0x55;          // 1010101
  f.gainIndex = 0x3;         // 011
  f.spectrumIndex[0] = 0x2A; // 101010
  f.gridPhase = 0x2;         // 10
  f.packetMode = 3;          // 11
  f.spectrumIndex[1] = 0x15; // 010101
  f.spectrumIndex[2] = 0x3C; // 111100
  uint8_t packet[20];
  WriteAudioPacket(f, packet);
  // word 0 = 1010101 011 101010 = 0xAAEA; word 1 = 10 11 010101 111100 = 0xB57C.
  EXPECT_EQ(packet[0], 0xEA);
  EXPECT_EQ(packet[1], 0xAA);
  EXPECT_EQ(packet[2], 0x7C);
  EXPECT_EQ(packet[3], 0xB5);
}

TEST(AudioPacket, KeyBlockSetsTheTopSevenBitsOfTheSecondByte) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 50; ++trial) {
    AudioPacketFields f = RandomFields(rng, static_cast<int>(rng() % 4));
    f.lagCode = kLagCodeKey;
    uint8_t packet[20];
    WriteAudioPacket(f, packet);
    EXPECT_EQ(packet[1] & 0xFE, 0xFE);
  }
}

TEST(AudioPacket, SizeFollowsFromThePacketModeBitsAlone) {
  std::mt19937 rng(11);
  const int expectedBytes[4] = {20, 14, 12, 10};
  for (int trial = 0; trial < 200; ++trial) {
    uint8_t packet[20];
    for (auto& b : packet) b = static_cast<uint8_t>(rng());
    const int mode = (packet[3] >> 4) & 3;  // bits 13..12 of word 1
    EXPECT_EQ(AudioPacketSize(packet), expectedBytes[mode]);
  }
}

TEST(AudioPacket, ModeThreeFillsExactlyFiveWords) {
  AudioPacketFields f;
  f.packetMode = 3;
  for (int i = 0; i < 24; ++i) f.pulses[i] = 3;
  uint8_t packet[20];
  for (auto& b : packet) b = 0x5A;
  ASSERT_EQ(WriteAudioPacket(f, packet), 10);
  // 24 two-bit pulses of value 3 fill words 2..4 completely.
  for (int i = 4; i < 10; ++i) EXPECT_EQ(packet[i], 0xFF) << "byte " << i;
  for (int i = 10; i < 20; ++i) EXPECT_EQ(packet[i], 0x5A) << "the writer stays within the packet";
}

TEST(AudioPacket, ModeZeroScattersPulsesFortyAndFortyOne) {
  // Each 16-bit group after the header holds five pulses and one spare bit,
  // the group's least significant bit. Spares of groups 0..2 carry bits 2..0
  // of pulse 40, groups 3..5 bits 2..0 of pulse 41.
  AudioPacketFields f;
  f.packetMode = 0;
  f.pulses[40] = 0x5;  // 101
  f.pulses[41] = 0x3;  // 011
  uint8_t packet[20];
  ASSERT_EQ(WriteAudioPacket(f, packet), 20);
  const int spareBits[8] = {1, 0, 1, 0, 1, 1, 0, 0};
  for (int group = 0; group < 8; ++group) {
    const int low = packet[4 + 2 * group];
    const int high = packet[5 + 2 * group];
    EXPECT_EQ(high, 0) << "group " << group;
    EXPECT_EQ(low, spareBits[group]) << "group " << group;
  }

  // Pulse 5k+i sits at bits 15-3i..13-3i of group k.
  AudioPacketFields g;
  g.packetMode = 0;
  g.pulses[0] = 7;
  g.pulses[9] = 1;
  g.pulses[37] = 4;
  WriteAudioPacket(g, packet);
  EXPECT_EQ(packet[4] | (packet[5] << 8), 0xE000);  // group 0: pulse 0 at the top
  EXPECT_EQ(packet[6] | (packet[7] << 8), 0x0002);  // group 1: pulse 9 at bits 3..1
  EXPECT_EQ(packet[18] | (packet[19] << 8), 0x0200);  // group 7: pulse 37 at bits 9..7
}

TEST(AudioPacket, ModeZeroIgnoresTheLastTwoSpareBits) {
  std::mt19937 rng(5);
  const AudioPacketFields fields = RandomFields(rng, 0);
  uint8_t packet[20];
  WriteAudioPacket(fields, packet);
  EXPECT_EQ(packet[16] & 1, 0);
  EXPECT_EQ(packet[18] & 1, 0);
  packet[16] |= 1;
  packet[18] |= 1;
  ExpectSameFields(ReadAudioPacket(packet), fields);
}

}  // namespace
}  // namespace clipvane
