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

namespace {

constexpr int kLagSearched = -1;     // FinishBlock's lag: searched open-loop on the residual
constexpr int kClosedLoopSpectra = 4;  // effort 2: the spectrum paths tried as whole blocks

// The block once its spectrum is in place: the key block's restart, the
// long-term predictor (`lag`: searched, or the lag code to use), the
// excitation and the history. Returns the lag code sent.
int FinishBlock(AudioEncoderState& state, SpectrumAnalysis& spectrum, const int32_t* filtered, bool keyBlock,
                bool collect, int lag, ExcitationChoice& choice) {
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
    if (lag == kLagSearched) {
      const LagSearchResult searched = state.kernels->searchLongTermLag(spectrum.residual, local.excitationHistory);
      if (searched.usable) lagCode = searched.lagCode;
    } else {
      lagCode = lag;
    }
    if (lagCode <= kMaxLagCode) RemoveLongTermPrediction(spectrum.residual, local.excitationHistory, lagCode);
  }

  SearchExcitation(state, spectrum.residual, filtered, lagCode, spectrum.predictionFilter,
                   spectrum.subBlockFilterSets, keyBlock, collect, choice);

  std::memmove(local.excitationHistory, local.excitationHistory + kBlockSamples,
               kBlockSamples * sizeof(int32_t));
  std::memcpy(local.excitationHistory + kBlockSamples, spectrum.residual, kBlockSamples * sizeof(int32_t));
  return lagCode;
}

// Effort 2: whole-block trials from the same starting state, the best score
// kept (the first on a tie). First the best spectrum paths with the searched
// lag, then on the chosen spectrum no prediction, or the searched lag where
// the open-loop rule refused it. (Trying the searched lag's neighbours as well
// gained under 0.1 dB for 50 % more time.)
class BlockTrials {
 public:
  BlockTrials(AudioEncoderState& state, const int32_t* filtered, bool keyBlock)
      : state_(state), start_(state), filtered_(filtered), keyBlock_(keyBlock) {}

  void Try(const SpectrumAnalysis& analysis, const int* indices, int lag) {
    AudioEncoderState trial = start_;
    SpectrumAnalysis spectrum = analysis;
    std::copy(indices, indices + kSpectrumStages, spectrum.spectrumIndex);
    ApplySpectrum(trial, filtered_, keyBlock_, spectrum);
    ExcitationChoice choice;
    const int lagCode = FinishBlock(trial, spectrum, filtered_, keyBlock_, false, lag, choice);
    if (tried_ && !(choice.score < best_.choice.score)) return;
    tried_ = true;
    state_ = trial;
    best_.lagCode = lagCode;
    std::copy(indices, indices + kSpectrumStages, best_.spectrumIndex);
    best_.choice = choice;
  }

  // The searched lag of the chosen spectrum's residual, and whether the lag
  // is predicted at all in this block.
  bool Predicts() const { return !keyBlock_ && start_.blocksSinceKey + 1 >= 2; }
  LagSearchResult SearchLag(const SpectrumAnalysis& analysis) const {
    AudioEncoderState trial = start_;
    SpectrumAnalysis spectrum = analysis;
    std::copy(best_.spectrumIndex, best_.spectrumIndex + kSpectrumStages, spectrum.spectrumIndex);
    ApplySpectrum(trial, filtered_, keyBlock_, spectrum);
    return trial.kernels->searchLongTermLag(spectrum.residual, start_.decoder.excitationHistory);
  }
  const EncodedBlockDetails& Best() const { return best_; }

 private:
  AudioEncoderState& state_;
  const AudioEncoderState start_;
  const int32_t* filtered_;
  bool keyBlock_;
  bool tried_ = false;
  EncodedBlockDetails best_;
};

void EncodeBlockTrials(AudioEncoderState& state, float* correlation, const int32_t* filtered, bool keyBlock,
                       EncodedBlockDetails& out) {
  SpectrumAnalysis analysis;
  float reflection[kReflectionOrder];
  PredictSpectrum(correlation, analysis.predictionFilter, reflection);
  const int32_t* base = keyBlock ? state.decoder.codebook.keyBase : state.decoder.previousReflection;
  int paths[kMaxSpectrumPaths][kSpectrumStages];
  const int count = QuantiseReflectionPaths(state, base, reflection, kReflectionLimit, kClosedLoopSpectra, paths);
  BlockTrials trials(state, filtered, keyBlock);
  for (int p = 0; p < count; ++p) trials.Try(analysis, paths[p], kLagSearched);
  if (trials.Predicts()) {
    int spectrum[kSpectrumStages];
    std::copy(trials.Best().spectrumIndex, trials.Best().spectrumIndex + kSpectrumStages, spectrum);
    const int searchedCode = trials.Best().lagCode;
    const LagSearchResult searched = trials.SearchLag(analysis);
    if (searchedCode != kLagCodeNone) trials.Try(analysis, spectrum, kLagCodeNone);
    if (!searched.usable) trials.Try(analysis, spectrum, searched.lagCode);
  }
  out = trials.Best();
}

}  // namespace

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

  EncodedBlockDetails block;
  if (!collect && state.settings.effort >= 2) {
    EncodeBlockTrials(state, correlation, filtered, keyBlock, block);
  } else {
    SpectrumAnalysis spectrum;
    AnalyseSpectrum(state, correlation, filtered, keyBlock, collect, kReflectionLimit, spectrum);
    block.lagCode = FinishBlock(state, spectrum, filtered, keyBlock, collect, kLagSearched, block.choice);
    std::copy(std::begin(spectrum.spectrumIndex), std::end(spectrum.spectrumIndex), block.spectrumIndex);
  }
  if (details != nullptr) *details = block;
  return PackAudioBlock(block.lagCode, block.spectrumIndex, block.choice, packet);
}

}  // namespace clipvane
