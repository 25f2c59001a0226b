#include "codec/audio_packet.h"

#include "codec/bit_stream.h"

namespace clipvane {

namespace {

// Mode 0 packs 42 three-bit pulses into eight 16-bit groups: five pulses and one
// spare bit per group. The spare bits of groups 0..5 carry pulses 40 and 41,
// most significant bit first; the last two are unused.
inline constexpr int kMode0Groups = 8;
inline constexpr int kMode0PulsesPerGroup = 5;
inline constexpr int kMode0ScatteredPulse = 40;

}  // namespace

int WriteAudioPacket(const AudioPacketFields& fields, uint8_t* packet) {
  const PacketMode& mode = kPacketModeTable[fields.packetMode];
  OutputBitStream out;
  out.Put(static_cast<uint32_t>(fields.lagCode), 7);
  out.Put(static_cast<uint32_t>(fields.gainIndex), 3);
  out.Put(static_cast<uint32_t>(fields.spectrumIndex[0]), 6);
  out.Put(static_cast<uint32_t>(fields.gridPhase), 2);
  out.Put(static_cast<uint32_t>(fields.packetMode), 2);
  out.Put(static_cast<uint32_t>(fields.spectrumIndex[1]), 6);
  out.Put(static_cast<uint32_t>(fields.spectrumIndex[2]), 6);
  if (fields.packetMode == 0) {
    for (int group = 0; group < kMode0Groups; ++group) {
      for (int i = 0; i < kMode0PulsesPerGroup; ++i) {
        out.Put(fields.pulses[group * kMode0PulsesPerGroup + i], 3);
      }
      uint32_t spare = 0;
      if (group < 6) {
        const int pulse = kMode0ScatteredPulse + group / 3;
        spare = (fields.pulses[pulse] >> (2 - group % 3)) & 1u;
      }
      out.Put(spare, 1);
    }
  } else {
    for (int i = 0; i < mode.pulses; ++i) out.Put(fields.pulses[i], mode.pulseBits);
  }
  out.Flush();
  out.CopyBytes(packet, mode.bytes);
  return mode.bytes;
}

AudioPacketFields ReadAudioPacket(const uint8_t* packet) {
  AudioPacketFields fields;
  InputBitStream in(packet);
  const uint32_t word0 = in.HeaderWord0();
  const uint32_t word1 = in.HeaderWord1();
  fields.lagCode = static_cast<int>(word0 >> 9);
  fields.gainIndex = static_cast<int>((word0 >> 6) & 7u);
  fields.spectrumIndex[0] = static_cast<int>(word0 & 63u);
  fields.gridPhase = static_cast<int>(word1 >> 14);
  fields.packetMode = PacketModeOfHeaderWord1(word1);
  fields.spectrumIndex[1] = static_cast<int>((word1 >> 6) & 63u);
  fields.spectrumIndex[2] = static_cast<int>(word1 & 63u);
  const PacketMode& mode = kPacketModeTable[fields.packetMode];
  if (fields.packetMode == 0) {
    for (int group = 0; group < kMode0Groups; ++group) {
      for (int i = 0; i < kMode0PulsesPerGroup; ++i) {
        fields.pulses[group * kMode0PulsesPerGroup + i] = static_cast<uint8_t>(in.Read(3));
      }
      const uint32_t spare = in.Read(1);
      if (group < 6) {
        const int pulse = kMode0ScatteredPulse + group / 3;
        fields.pulses[pulse] = static_cast<uint8_t>(fields.pulses[pulse] | (spare << (2 - group % 3)));
      }
    }
  } else {
    for (int i = 0; i < mode.pulses; ++i) fields.pulses[i] = static_cast<uint8_t>(in.Read(mode.pulseBits));
  }
  return fields;
}

}  // namespace clipvane
