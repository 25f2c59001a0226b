#pragma once
// Layout of one audio packet: a 32-bit header (lag code 7, gain index 3,
// spectrum index 0 6, grid phase 2, packet mode 2, spectrum index 1 6,
// spectrum index 2 6) followed by the pulse values of the packet mode's grid.

#include <cstdint>

namespace clipvane {

class OutputBitStream;

inline constexpr int kLagCodeNone = 126;  // no long-term prediction
inline constexpr int kLagCodeKey = 127;   // key block: gain and memory restart
inline constexpr int kMaxLagCode = 125;
inline constexpr int kPacketModes = 4;
inline constexpr int kMaxPulses = 42;

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

struct AudioPacketFields {
  int lagCode = 0;
  int gainIndex = 0;
  int spectrumIndex[3] = {0, 0, 0};
  int gridPhase = 0;
  int packetMode = 0;
  uint8_t pulses[kMaxPulses] = {};
};

// Writes the packet for `fields` into `packet` (room for 20 bytes) and returns
// its size in bytes. Mode 0 scatters the bits of pulses 40 and 41 over the
// spare bit of each 16-bit group.
int WriteAudioPacket(const AudioPacketFields& fields, uint8_t* packet);
// The same with a caller's writer, so that a hot loop reuses its word storage.
int WriteAudioPacket(const AudioPacketFields& fields, OutputBitStream& writer, uint8_t* packet);
// Reads every field of a packet back (the inverse of WriteAudioPacket).
AudioPacketFields ReadAudioPacket(const uint8_t* packet);

}  // namespace clipvane
