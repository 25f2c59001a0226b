#pragma once
// Layout of one audio packet, the coded form of one 128-sample block of one
// channel. A packet is a sequence of 16-bit little-endian words filled from
// their most significant bit. Its first 32 bits are the header (lag code 7,
// gain index 3, spectrum index 0 6, grid phase 2, packet mode 2, spectrum
// index 1 6, spectrum index 2 6); the pulse values of the packet mode's grid
// follow. Packets carry no length: the packet mode gives it.

#include <cstddef>
#include <cstdint>

namespace clipvane {

inline constexpr int kBlockSamples = 128;
inline constexpr int kLagCodeNone = 126;  // no long-term prediction
inline constexpr int kLagCodeKey = 127;   // key block: gain and memory restart
inline constexpr int kMaxLagCode = 125;
inline constexpr int kPacketModes = 4;
inline constexpr int kMaxPulses = 42;
inline constexpr int kPacketHeaderBytes = 4;
inline constexpr int kMaxPacketBytes = 20;
inline constexpr int kMinPacketBytes = 10;

struct PacketMode {
  int pulses;
  int pulseBits;
  int spacing;
  int bytes;
};

// Modes 0..3: 42 x 3 bits every 3 samples (20 bytes), 40 x 2 every 3 (14),
// 32 x 2 every 4 (12), 24 x 2 every 5 (10).
inline constexpr PacketMode kPacketModeTable[kPacketModes] = {
    {42, 3, 3, 20}, {40, 2, 3, 14}, {32, 2, 4, 12}, {24, 2, 5, 10}};

// The packet mode is bits 13..12 of the second header word.
inline constexpr int PacketModeOfHeaderWord1(uint32_t word1) { return int((word1 >> 12) & 3u); }

// Size in bytes of a packet from its first 4 bytes: the second word's high
// byte is the packet's fourth byte.
inline int AudioPacketSize(const uint8_t* packet) { return kPacketModeTable[PacketModeOfHeaderWord1(packet[3] << 8)].bytes; }

}  // namespace clipvane
