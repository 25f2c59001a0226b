// The block driver: DC removal, analysis window, the three analysis stages in
// order, the excitation history update and the packing of the packet.

#include <algorithm>
#include <climits>
#include <cstring>

#include "codec/audio_packet.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"
#include "codec/float_math.h"

namespace clipvane {

namespace {

constexpr float kQ13ToFloat = 1.0f / 8192.0f;

// What the searches read of the codebook in another form: the stage entries
// as floats, component-major, and the gain ratios' logarithms.
void BuildCodebookTables(const ChannelCodebook& codebook, EncoderCodebookTables& tables) {
  for (int s = 0; s < kSpectrumStages; ++s) {
    for (int e = 0; e < kStageEntries; ++e) {
      for (int j = 0; j < kReflectionOrder; ++j) {
        tables.transposedStages[s][j][e] = static_cast<float>(codebook.spectrumCodewords[s][e][j]);
      }
    }
  }
  for (int i = 0; i < kGainLevels; ++i) {
    tables.gainRatioLog[i] = FloatLog(static_cast<float>(codebook.gainRatio[i]) * kQ13ToFloat);
  }
}

}  // namespace

EncoderSettings MakeEncoderSettings(float quality, int effort) {
  EncoderSettings settings;
  settings.rateWeight = 1.0f / quality;
  settings.effort = effort;
  return settings;
}

void ResetEncoderState(AudioEncoderState& state, const ChannelCodebook& codebook) {
  state.decoder.codebook = codebook;
  BuildCodebookTables(codebook, state.codebookTables);
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
  AudioPacketFields fields;
  fields.lagCode = lagCode;
  fields.gainIndex = choice.gainIndex;
  std::copy(spectrumIndex, spectrumIndex + 3, fields.spectrumIndex);
  fields.gridPhase = choice.gridPhase;
  fields.packetMode = choice.packetMode;
  std::copy(std::begin(choice.pulses), std::end(choice.pulses), fields.pulses);
  return WriteAudioPacket(fields, packet);
}

int EncodeAudioBlock(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                     bool collect) {
  return EncodeAudioBlockDetailed(state, samples, packet, keyBlock, collect, nullptr);
}

int EncodeAudioBlockDetailed(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                             bool collect, EncodedBlockDetails* details) {
  // DC removal runs over the look-ahead too, but the carried state is the one
  // after sample 127: the next block filters the same look-ahead again. The
  // last 32 look-ahead samples reach nothing (the window ends before them),
  // so their filtering is skipped.
  int32_t filtered[kBlockSamples + kLookAheadSamples] = {};
  float windowed[kAnalysisSamples];
  float correlation[kReflectionOrder + 1];
  HighPassState highPass{state.highPassInput, state.highPassOutput};
  state.kernels->filterWindowCorrelate(samples, highPass, filtered, windowed, correlation);
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
    const LagSearchResult lag = state.kernels->searchLongTermLag(spectrum.residual, local.excitationHistory);
    if (lag.usable) {
      lagCode = lag.lagCode;
      RemoveLongTermPrediction(spectrum.residual, local.excitationHistory, lagCode);
    }
  }

  ExcitationChoice choice;
  SearchExcitation(state, spectrum.residual, filtered, lagCode, spectrum.predictionFilter,
                   spectrum.subBlockFilterSets, keyBlock, collect, choice);

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
