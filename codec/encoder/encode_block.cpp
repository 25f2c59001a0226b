// The block driver: DC removal, analysis window, the three analysis stages in
// order, the excitation history update and the packing of the packet.

#include <algorithm>
#include <climits>
#include <cstring>

#include "codec/bit_stream.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"

namespace clipvane {

namespace {

constexpr int kMode0Groups = 8;
constexpr int kMode0GroupPulses = 5;
constexpr int kMode0ScatteredPulse = 40;  // pulses 40 and 41 ride on the groups' spare bits

}  // namespace

void ResetEncoderState(AudioEncoderState& state, const ChannelCodebook& codebook) {
  std::memcpy(&state.decoder.codebook, &codebook, sizeof(ChannelCodebook));
  std::fill(std::begin(state.analysisMemory), std::end(state.analysisMemory), 0);
  state.highPassInput = 0;
  state.highPassOutput = 0;
  std::fill(std::begin(state.decoder.excitationHistory), std::end(state.decoder.excitationHistory), 0);
  std::fill(std::begin(state.errorWeightingMemory), std::end(state.errorWeightingMemory), 0.0f);
  std::fill(std::begin(state.speechWeightingMemory), std::end(state.speechWeightingMemory), 0.0f);
  state.keyReflectionVectors.clear();
  state.deltaReflectionVectors.clear();
  state.keyGainValues.clear();
  state.gainLogRatios.clear();
}

int PackAudioBlock(int lagCode, const int* spectrumIndex, const ExcitationChoice& choice, uint8_t* packet) {
  // One writer per thread keeps its word array between packets, so packing
  // allocates nothing once warmed up.
  thread_local OutputBitStream writer;
  const PacketMode& grid = kPacketModeTable[choice.packetMode];
  writer.Reset();
  writer.Put(static_cast<uint32_t>(lagCode), 7);
  writer.Put(static_cast<uint32_t>(choice.gainIndex), 3);
  writer.Put(static_cast<uint32_t>(spectrumIndex[0]), 6);
  writer.Put(static_cast<uint32_t>(choice.gridPhase), 2);
  writer.Put(static_cast<uint32_t>(choice.packetMode), 2);
  writer.Put(static_cast<uint32_t>(spectrumIndex[1]), 6);
  writer.Put(static_cast<uint32_t>(spectrumIndex[2]), 6);
  if (choice.packetMode == 0) {
    // Eight groups of five 3-bit pulses and one spare bit; the spare bits of
    // groups 0..5 carry pulses 40 and 41 most significant bit first.
    for (int group = 0; group < kMode0Groups; ++group) {
      for (int i = 0; i < kMode0GroupPulses; ++i) writer.Put(choice.pulses[kMode0GroupPulses * group + i], 3);
      uint32_t spare = 0;
      if (group < 6) spare = (choice.pulses[kMode0ScatteredPulse + group / 3] >> (2 - group % 3)) & 1u;
      writer.Put(spare, 1);
    }
  } else {
    for (int i = 0; i < grid.pulses; ++i) writer.Put(choice.pulses[i], grid.pulseBits);
  }
  writer.Flush();
  writer.CopyBytes(packet, grid.bytes);
  return grid.bytes;
}

int EncodeAudioBlock(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                     bool collect, float quality) {
  return EncodeAudioBlockDetailed(state, samples, packet, keyBlock, collect, quality, nullptr);
}

int EncodeAudioBlockDetailed(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                             bool collect, float quality, EncodedBlockDetails* details) {
  // DC removal runs over the look-ahead too, but the carried state is the one
  // after sample 127: the next block filters the same look-ahead again. The
  // last 32 look-ahead samples reach nothing (the window ends before them),
  // so their filtering is skipped.
  int32_t filtered[kBlockSamples + kLookAheadSamples] = {};
  float windowed[kAnalysisSamples];
  float correlation[kReflectionOrder + 1];
  HighPassState highPass{state.highPassInput, state.highPassOutput};
  FilterWindowCorrelate(samples, highPass, filtered, windowed, correlation);
  state.highPassInput = highPass.input;
  state.highPassOutput = highPass.output;

  SpectrumAnalysis spectrum;
  AnalyseSpectrum(state, correlation, filtered, keyBlock, collect, kReflectionLimit, spectrum);

  AudioDecoderState& local = state.decoder;
  if (keyBlock) {
    // The key block restarts the gain and the synthesis so a player can start here.
    state.blocksSinceKey = 0;
    local.gainState = local.codebook.initialGain;
    std::fill(std::begin(local.synthesisMemory), std::end(local.synthesisMemory), 0);
  } else if (state.blocksSinceKey < INT32_MAX) {
    ++state.blocksSinceKey;
  }

  int lagCode = kLagCodeNone;
  if (keyBlock) {
    lagCode = kLagCodeKey;
  } else if (state.blocksSinceKey >= 2) {
    // From the third block on the history holds only excitation made since
    // the key block, so a player starting there predicts the same.
    const LagSearchResult lag = SearchLongTermLag(spectrum.residual, local.excitationHistory);
    if (lag.usable) {
      lagCode = lag.lagCode;
      RemoveLongTermPrediction(spectrum.residual, local.excitationHistory, lagCode);
    }
  }

  ExcitationChoice choice;
  SearchExcitation(state, spectrum.residual, filtered, lagCode, spectrum.predictionFilter,
                   spectrum.subBlockFilterSets, quality, keyBlock, collect, choice);

  std::memmove(local.excitationHistory, local.excitationHistory + kBlockSamples,
               kBlockSamples * sizeof(int32_t));
  std::memcpy(local.excitationHistory + kBlockSamples, spectrum.residual, kBlockSamples * sizeof(int32_t));

  if (details != nullptr) {
    details->lagCode = lagCode;
    std::copy(std::begin(spectrum.spectrumIndex), std::end(spectrum.spectrumIndex), details->spectrumIndex);
    details->choice = choice;
  }
  return PackAudioBlock(lagCode, spectrum.spectrumIndex, choice, packet);
}

}  // namespace clipvane
