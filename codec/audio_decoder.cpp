#include "codec/audio_decoder.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "codec/audio_packet.h"
#include "codec/bit_stream.h"
#include "codec/decoder_steps.h"
#include "codec/fixed_point.h"

namespace clipvane {

namespace {

// Every packet mode's pulse values fill whole 16-bit groups after the header,
// so the pulses are read one group at a time and split with shifts.
inline constexpr int kGroupBits = 16;

// Adds the pulses of modes 1..3: two-bit values, eight to a group.
template <int kPulses, int kSpacing>
inline void AddTwoBitPulses(InputBitStream& in, int32_t* work, const int32_t* level) {
  static_assert(kPulses % 8 == 0);
  for (int group = 0; group < kPulses / 8; ++group) {
    const uint32_t bits = in.Read(kGroupBits);
    int32_t* at = work + group * 8 * kSpacing;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      at[i * kSpacing] = WrapAdd(at[i * kSpacing], level[(bits >> (14 - 2 * i)) & 3u]);
    }
  }
}

// Adds the pulses of mode 0: each group holds five three-bit values and one
// spare bit; the spare bits of groups 0..5 spell out pulses 40 and 41.
inline void AddMode0Pulses(InputBitStream& in, int32_t* work, const int32_t* level) {
  constexpr int kSpacing = 3;
  uint32_t scattered = 0;
  for (int group = 0; group < 8; ++group) {
    const uint32_t bits = in.Read(kGroupBits);
    int32_t* at = work + group * 5 * kSpacing;
#pragma GCC unroll 5
    for (int i = 0; i < 5; ++i) {
      at[i * kSpacing] = WrapAdd(at[i * kSpacing], level[(bits >> (13 - 3 * i)) & 7u]);
    }
    scattered = (scattered << 1) | (bits & 1u);
  }
  // scattered holds the spare bits of groups 0..7, group 0 highest.
  work[40 * kSpacing] = WrapAdd(work[40 * kSpacing], level[(scattered >> 5) & 7u]);
  work[41 * kSpacing] = WrapAdd(work[41 * kSpacing], level[(scattered >> 2) & 7u]);
}

}  // namespace

void InitDecoderState(AudioDecoderState& state, const ChannelCodebook& codebook) {
  std::memset(&state, 0, sizeof(state));
  state.codebook = codebook;
}

int DecodeAudioPacket(AudioDecoderState& state, const uint8_t* packet, int16_t* samples) {
  InputBitStream in(packet);
  const uint32_t word0 = in.HeaderWord0();
  const uint32_t word1 = in.HeaderWord1();
  const int lagCode = static_cast<int>(word0 >> 9);
  const int gainIndex = static_cast<int>((word0 >> 6) & 7u);
  const int index0 = static_cast<int>(word0 & 63u);
  const int gridPhase = static_cast<int>(word1 >> 14);
  const int packetMode = PacketModeOfHeaderWord1(word1);
  const int index1 = static_cast<int>((word1 >> 6) & 63u);
  const int index2 = static_cast<int>(word1 & 63u);
  const bool keyBlock = lagCode == kLagCodeKey;

  // The key block restarts the gain and the synthesis memory from the codebook
  // so that a player can start decoding here.
  if (keyBlock) {
    state.gainState = state.codebook.initialGain;
    std::fill(std::begin(state.synthesisMemory), std::end(state.synthesisMemory), 0);
  }
  const int32_t gain = WrapMul(state.codebook.gainRatio[gainIndex], state.gainState) >> 13;

  int32_t* work = state.workBuffer;
  if (lagCode <= kMaxLagCode) {
    LongTermPrediction(state.excitationHistory, lagCode, work);
  } else {
    std::fill(work, work + kBlockSamples, 0);
  }

  // Pulse amplitudes are the odd multiples of the gain: level[v] = (2v + 1 - 2^b) * gain.
  const PacketMode& mode = kPacketModeTable[packetMode];
  int32_t level[8];
  const int levels = 1 << mode.pulseBits;
  for (int v = 0; v < levels; ++v) level[v] = WrapMul(2 * v + 1 - levels, gain);

  int32_t* grid = work + gridPhase;
  switch (packetMode) {
    case 0: AddMode0Pulses(in, grid, level); break;
    case 1: AddTwoBitPulses<40, 3>(in, grid, level); break;
    case 2: AddTwoBitPulses<32, 4>(in, grid, level); break;
    default: AddTwoBitPulses<24, 5>(in, grid, level); break;
  }
  state.gainState = gain;

  // The history keeps the excitation before synthesis: the long-term
  // prediction copies excitation, not output.
  std::copy(state.excitationHistory + kBlockSamples, state.excitationHistory + kHistorySamples,
            state.excitationHistory);
  std::copy(work, work + kBlockSamples, state.excitationHistory + kBlockSamples);

  DecodeSpectrum(state, index0, index1, index2, state.subBlockFilterSets, keyBlock);
  for (int k = 0; k < kSubBlocks; ++k) {
    SynthesisFilter(work + k * kSubBlockSamples, kSubBlockSamples, state.subBlockFilterSets[k],
                    state.synthesisMemory);
  }

  for (int n = 0; n < kBlockSamples; ++n) samples[n] = ClipToSample(work[n]);
  return mode.bytes;
}

}  // namespace clipvane
