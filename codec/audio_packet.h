#pragma once
// Writing and reading every field of one audio packet (layout in
// format/packet_format.h).

#include <cstdint>

#include "format/packet_format.h"

namespace clipvane {

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
// Reads every field of a packet back (the inverse of WriteAudioPacket).
AudioPacketFields ReadAudioPacket(const uint8_t* packet);

}  // namespace clipvane
