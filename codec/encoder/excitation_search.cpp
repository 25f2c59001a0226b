// Excitation search: the residual is coded as a regular grid of uniformly
// quantised pulses in each of the four packet modes; each trial is synthesised
// as the decoder will, and the mode of least weighted error plus rate penalty
// is kept together with the decoder state it leaves behind.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/decoder_steps.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"
#include "codec/float_math.h"

namespace clipvane {

namespace {

constexpr float kGamma1 = 0.9f;  // numerator bandwidth expansion of the weighting filter
constexpr float kGamma2 = 0.5f;  // denominator bandwidth expansion
constexpr float kMinimumScale = 4.0f;
constexpr float kOddPulseOffset = 0.05f;
constexpr int kWeightingOrder = kReflectionOrder;

// Low-pass filters (Q13) that the pulse grid samples: one per spacing, 4s - 1
// taps, centred on tap 2s - 1, so the grid keeps what its spacing can carry.
constexpr int kMaxTaps = 19;
constexpr int kMaxCentre = 9;
struct LowPass {
  int taps;
  float h[kMaxTaps];
};
constexpr LowPass kLowPass3 = {11, {-134, -374, 0, 2054, 5741, 8192, 5741, 2054, 0, -374, -134}};
constexpr LowPass kLowPass4 = {
    15, {-132, -435, -553, 0, 1537, 3911, 6453, 8192, 6453, 3911, 1537, 0, -553, -435, -132}};
constexpr LowPass kLowPass5 = {19,
                               {-85, -310, -531, -511, 0, 1150, 2893, 4960, 6897, 8192, 6897, 4960, 2893,
                                1150, 0, -511, -531, -310, -85}};

const LowPass& LowPassFor(int spacing) {
  return spacing == 3 ? kLowPass3 : (spacing == 4 ? kLowPass4 : kLowPass5);
}

// f[k] = 2^-13 sum_l h[l] r[k + l - centre]; samples outside the block are the
// zero padding of `padded`, whose products leave each sum unchanged.
void LowPassResidual(const EncoderKernels& kernels, const float* padded, const LowPass& filter, float* out) {
  kernels.lowPass(padded, filter.h, filter.taps, kMaxCentre - (filter.taps - 1) / 2, out);
}

typedef float Quad __attribute__((vector_size(16)));
typedef int32_t IntQuad __attribute__((vector_size(16)));
typedef uint32_t UintQuad __attribute__((vector_size(16)));

inline Quad LoadQuad(const float* at) {
  Quad q;
  __builtin_memcpy(&q, at, sizeof(q));
  return q;
}

// The low-pass outputs of the three grid spacings, with zeros after sample
// 127 so that four consecutive positions can be read from any start.
inline constexpr int kSpacings = 3;
inline constexpr int kFirstSpacing = 3;
inline constexpr int kGridRunout = 4;
using GridSignal = float[kBlockSamples + kGridRunout];

void AccumulatePhases(Quad& energy, const float* f) {
  const Quad x = LoadQuad(f);
  energy = energy + x * x;
}

// Each spacing's four phase sums run side by side in lanes, each over its
// own positions p + s j (up to sample 127) in order; a position past the
// block reads a zero, whose square leaves the sum unchanged. The three
// spacings' sums are independent and are taken together. Later phases win
// ties, so a silent block takes phase 3.
void ChooseGridPhases(const GridSignal* f, int* phases) {
  constexpr int kStarts3 = (kBlockSamples + 2) / 3;  // starts 0, 3, .., 126
  constexpr int kStarts4 = kBlockSamples / 4;
  constexpr int kStarts5 = (kBlockSamples + 4) / 5;  // starts 0, 5, .., 125
  Quad energy[kSpacings] = {};
  int j = 0;
  for (; j < kStarts5; ++j) {
    AccumulatePhases(energy[0], f[0] + 3 * j);
    AccumulatePhases(energy[1], f[1] + 4 * j);
    AccumulatePhases(energy[2], f[2] + 5 * j);
  }
  for (; j < kStarts4; ++j) {
    AccumulatePhases(energy[0], f[0] + 3 * j);
    AccumulatePhases(energy[1], f[1] + 4 * j);
  }
  for (; j < kStarts3; ++j) AccumulatePhases(energy[0], f[0] + 3 * j);
  for (int s = 0; s < kSpacings; ++s) {
    float bestEnergy = 0.0f;
    int best = 0;
    for (int phase = 0; phase < 4; ++phase) {
      if (energy[s][phase] >= bestEnergy) {
        bestEnergy = energy[s][phase];
        best = phase;
      }
    }
    phases[s] = best;
  }
}

IntQuad QuantiseQuad(Quad c, int top) {
  const Quad topLevel = Quad{} + static_cast<float>(top);
  Quad rounded = c + 0.5f;
  rounded = topLevel < rounded ? topLevel : rounded;
  rounded = rounded < 0.0f ? Quad{} : rounded;
  const IntQuad isNumber = c == c;
  rounded = isNumber ? rounded : Quad{};  // converted only when in range
  const IntQuad level = __builtin_convertvector(rounded, IntQuad);
  return isNumber ? level : IntQuad{} + (top + 1) / 2;
}

// Index of the gain ratio nearest to the target on a log scale. Entries that
// would leave a gain below 1 are passed over while another entry keeps it at
// least 1, because a zero gain can never grow again until the next key block.
int ChooseGainIndex(const int16_t* ratio, const float* logRatio, int32_t gainState, float target) {
  bool keepsGain[kGainLevels];
  bool anyKeepsGain = false;
  for (int i = 0; i < kGainLevels; ++i) {
    keepsGain[i] = (WrapMul(gainState, ratio[i]) >> 13) >= 1;
    anyKeepsGain = anyKeepsGain || keepsGain[i];
  }
  int best = -1;
  float bestError = 0.0f;
  for (int i = 0; i < kGainLevels; ++i) {
    if (anyKeepsGain && !keepsGain[i]) continue;
    const float d = logRatio[i] - target;
    const float err = d * d;
    if (best < 0 || err < bestError) {
      best = i;
      bestError = err;
    }
  }
  return best;
}

}  // namespace

void QuantisePulses(const float* c, int count, int top, int32_t* levels) {
  for (int i = 0; i < count; i += 4) {
    const IntQuad v = QuantiseQuad(LoadQuad(c + i), top);
    __builtin_memcpy(levels + i, &v, sizeof(v));
  }
}

int QuantisePulse(float c, int top) {
  if (c != c) return (top + 1) / 2;
  // c + 0.5 truncated rounds a positive c to nearest with halves up; any c at
  // or below 0 would truncate to 0 or below and is clamped to 0. Clamping in
  // float first keeps the conversion in range and gives the same level.
  const float rounded = std::max(std::min(c + 0.5f, static_cast<float>(top)), 0.0f);
  return static_cast<int>(rounded);
}

void WeightingFilter(const int32_t* input, const float* p, const float* q, float* memory, float* out) {
  float m[kWeightingOrder];
  std::memcpy(m, memory, sizeof(m));
  for (int n = 0; n < kBlockSamples; ++n) {
    const float x = static_cast<float>(input[n]);
    const float y = p[0] * x + m[0];
    for (int k = 1; k < kWeightingOrder; ++k) m[k - 1] = m[k] + p[k] * x - q[k] * y;
    m[kWeightingOrder - 1] = p[kWeightingOrder] * x - q[kWeightingOrder] * y;
    out[n] = y;
  }
  std::memcpy(memory, m, sizeof(m));
}

namespace {

// W(z) = A(z/0.9) / A(z/0.5), from this block's unquantised filter.
void BuildWeightingFilter(const float* predictionFilter, float* p, float* q) {
  float power1 = 1.0f;
  float power2 = 1.0f;
  p[0] = 1.0f;
  q[0] = 1.0f;
  for (int i = 1; i <= kWeightingOrder; ++i) {
    power1 = power1 * kGamma1;
    power2 = power2 * kGamma2;
    p[i] = predictionFilter[i] * power1;
    q[i] = predictionFilter[i] * power2;
  }
}

// The largest magnitude of target[0..count-1], in four interleaved runs: a
// maximum does not depend on the order it is taken in.
float LargestMagnitude(const float* target, int count) {
  float largestOf[4] = {};
  for (int i = 0; i + 3 < count; i += 4) {
    for (int r = 0; r < 4; ++r) largestOf[r] = std::max(largestOf[r], std::fabs(target[i + r]));
  }
  for (int i = count & ~3; i < count; ++i) largestOf[0] = std::max(largestOf[0], std::fabs(target[i]));
  return std::max(std::max(largestOf[0], largestOf[1]), std::max(largestOf[2], largestOf[3]));
}

// One mode's open-loop trial: the grid samples of the low-passed residual,
// scaled by their largest magnitude, quantised to the mode's levels.
void TryModeOpenLoop(const AudioEncoderState& state, int mode, const float* f, int gridPhase, ModeTrial& trial,
                     int32_t (*excitation)[kSynthesisLanes]) {
  const PacketMode& grid = kPacketModeTable[mode];
  const ChannelCodebook& codebook = state.decoder.codebook;
  const int32_t gainState = state.decoder.gainState;
  trial.gridPhase = gridPhase;
  float target[kPulseRun] = {};
  for (int i = 0; i < grid.pulses; ++i) target[i] = f[gridPhase + grid.spacing * i];
  const float largest = LargestMagnitude(target, grid.pulses);
  float scale = grid.pulseBits == 3 ? largest / 7.0f : (largest / 3.0f) * 0.75f;
  if (scale < kMinimumScale) scale = kMinimumScale;
  trial.scale = scale;

  const float ratio = scale / static_cast<float>(gainState);
  trial.logRatio = FloatLog(ratio);
  trial.gainIndex =
      ChooseGainIndex(codebook.gainRatio, state.codebookTables.gainRatioLog, gainState, trial.logRatio);
  trial.gain = WrapMul(gainState, codebook.gainRatio[trial.gainIndex]) >> 13;

  const int levels = 1 << grid.pulseBits;
  const float middle = static_cast<float>(levels / 2);
  const float inverse = 1.0f / (2.0f * static_cast<float>(trial.gain));
  // Odd pulses are nudged up; even ones take the sum unchanged.
  const IntQuad odd = {0, -1, 0, -1};
  float position[kPulseRun];
  for (int i = 0; i < grid.pulses; i += 4) {
    Quad c = middle + LoadQuad(target + i) * inverse - 0.5f;
    c = odd ? c + kOddPulseOffset : c;
    __builtin_memcpy(position + i, &c, sizeof(c));
  }
  int32_t level[kPulseRun];
  QuantisePulses(position, grid.pulses, levels - 1, level);
  for (int i = 0; i < grid.pulses; ++i) {
    const int v = level[i];
    trial.pulses[i] = static_cast<uint8_t>(v);
    int32_t& e = excitation[trial.gridPhase + grid.spacing * i][mode];
    e = WrapAdd(e, WrapMul(2 * v + 1 - levels, trial.gain));
  }
}

// Every mode's excitation starts from the long-term prediction.
void StartExcitation(const int32_t* prediction, int32_t (*excitation)[kSynthesisLanes]) {
  for (int n = 0; n < kBlockSamples; ++n) {
    for (int mode = 0; mode < kPacketModes; ++mode) excitation[n][mode] = prediction[n];
  }
}

}  // namespace

void TryModesOpenLoop(const AudioEncoderState& state, const int32_t* residual, const int32_t* prediction,
                      ExcitationTrials& out) {
  float padded[kBlockSamples + 2 * kMaxCentre] = {};
  for (int k = 0; k < kBlockSamples; ++k) padded[kMaxCentre + k] = static_cast<float>(residual[k]);
  StartExcitation(prediction, out.excitation);
  // Modes 0 and 1 share the spacing 3, so they share the filter and the phase.
  GridSignal grids[kSpacings];
  int gridPhases[kSpacings];
  for (int s = 0; s < kSpacings; ++s) {
    LowPassResidual(*state.kernels, padded, LowPassFor(kFirstSpacing + s), grids[s]);
    for (int k = kBlockSamples; k < kBlockSamples + kGridRunout; ++k) grids[s][k] = 0.0f;
  }
  ChooseGridPhases(grids, gridPhases);
  for (int mode = 0; mode < kPacketModes; ++mode) {
    const int s = kPacketModeTable[mode].spacing - kFirstSpacing;
    TryModeOpenLoop(state, mode, grids[s], gridPhases[s], out.trials[mode], out.excitation);
  }
}

void SynthesiseTrials(const AudioEncoderState& state, const int32_t (*subBlockFilterSets)[kFilterSetSize],
                      ExcitationTrials& trials) {
  for (int mode = 0; mode < kPacketModes; ++mode) {
    std::memcpy(trials.synthesisMemory[mode], state.decoder.synthesisMemory, sizeof(trials.synthesisMemory[mode]));
  }
  state.kernels->synthesisLanes(trials.excitation, subBlockFilterSets, trials.synthesisMemory, trials.synthesis);
}

namespace {

// The four errors through the weighting filter, and the input through it for
// the normaliser, as one pass over lanes: per sample, the four modes and the
// input. The input's filter memory advances here; each mode's advanced error
// memory is kept for the commit.
struct WeighedErrors {
  float sums[kWeightingLanes];
  float memory[kWeightingLanes][kReflectionOrder];
};

void WeighErrors(AudioEncoderState& state, const ExcitationTrials& trials, const int32_t* samples,
                 const float* predictionFilter, WeighedErrors& out) {
  float p[kWeightingOrder + 1];
  float q[kWeightingOrder + 1];
  BuildWeightingFilter(predictionFilter, p, q);
  alignas(32) float weightingInput[kBlockSamples][kWeightingLaneWidth];
  static_assert(kPacketModes == 4 && kWeightingLaneWidth == 8, "one quad of errors, one of the input");
  for (int n = 0; n < kBlockSamples; ++n) {
    UintQuad synthesis;
    __builtin_memcpy(&synthesis, trials.synthesis[n], sizeof(synthesis));
    const UintQuad error = synthesis - static_cast<uint32_t>(samples[n]);  // wrapping
    const Quad errors = __builtin_convertvector((IntQuad)error, Quad);
    const Quad input = {static_cast<float>(samples[n]), 0.0f, 0.0f, 0.0f};
    __builtin_memcpy(weightingInput[n], &errors, sizeof(errors));
    __builtin_memcpy(weightingInput[n] + kPacketModes, &input, sizeof(input));
  }
  for (int mode = 0; mode < kPacketModes; ++mode) {
    std::memcpy(out.memory[mode], state.errorWeightingMemory, sizeof(out.memory[mode]));
  }
  std::memcpy(out.memory[kPacketModes], state.speechWeightingMemory, sizeof(out.memory[kPacketModes]));
  const float startSums[kWeightingLanes] = {0.0f, 0.0f, 0.0f, 0.0f, 1.0f};  // the normaliser starts at 1
  state.kernels->weightingLanes(weightingInput, p, q, out.memory, startSums, out.sums);
  std::memcpy(state.speechWeightingMemory, out.memory[kPacketModes], sizeof(out.memory[kPacketModes]));
}

// Mode 0 is the first best; a later mode must score strictly lower.
int ChooseMode(const float* errors, float normaliser, float rateWeight, float& bestScore) {
  int bestMode = 0;
  for (int mode = 0; mode < kPacketModes; ++mode) {
    const float score = errors[mode] / normaliser + static_cast<float>(kPacketModeTable[mode].bytes) * rateWeight;
    if (mode == 0 || score < bestScore) {
      bestScore = score;
      bestMode = mode;
    }
  }
  return bestMode;
}

// The chosen mode's gain, synthesis memory and excitation become the local
// decoder's, and its fields the packet's.
void CommitMode(AudioEncoderState& state, const ExcitationTrials& trials, int mode, int32_t* residual,
                ExcitationChoice& out) {
  const ModeTrial& chosen = trials.trials[mode];
  AudioDecoderState& local = state.decoder;
  local.gainState = chosen.gain;
  std::memcpy(local.synthesisMemory, trials.synthesisMemory[mode], sizeof(trials.synthesisMemory[mode]));
  for (int n = 0; n < kBlockSamples; ++n) {
    residual[n] = trials.excitation[n][mode];
    out.synthesis[n] = trials.synthesis[n][mode];
  }
  out.packetMode = mode;
  out.gridPhase = chosen.gridPhase;
  out.gainIndex = chosen.gainIndex;
  std::memcpy(out.pulses, chosen.pulses, sizeof(out.pulses));
}

// A block before the channel's first key block has no gain to compare with;
// its ratio is not a measurement and would only poison training.
void CollectGain(AudioEncoderState& state, const ModeTrial& chosen, bool keyBlock) {
  if (keyBlock) {
    if (std::isfinite(chosen.scale)) state.keyGainValues.push_back(chosen.scale);
  } else if (std::isfinite(chosen.logRatio)) {
    state.gainLogRatios.push_back(chosen.logRatio);
  }
}

}  // namespace

void SearchExcitation(AudioEncoderState& state, int32_t* residual, const int32_t* samples, int lagCode,
                      const float* predictionFilter, const int32_t (*subBlockFilterSets)[kFilterSetSize],
                      bool keyBlock, bool collect, ExcitationChoice& out) {
  int32_t prediction[kBlockSamples] = {};
  if (lagCode <= kMaxLagCode) LongTermPrediction(state.decoder.excitationHistory, lagCode, prediction);
  const float rateWeight = state.settings.rateWeight;
  ExcitationTrials trials;
  if (collect || state.settings.effort == 0) {
    TryModesOpenLoop(state, residual, prediction, trials);
    SynthesiseTrials(state, subBlockFilterSets, trials);
    WeighedErrors weighed;
    WeighErrors(state, trials, samples, predictionFilter, weighed);
    const int mode = ChooseMode(weighed.sums, weighed.sums[kPacketModes], rateWeight, out.score);
    std::memcpy(state.errorWeightingMemory, weighed.memory[mode], sizeof(weighed.memory[mode]));
    CommitMode(state, trials, mode, residual, out);
    if (collect) CollectGain(state, trials.trials[mode], keyBlock);
    return;
  }
  // The closed-loop efforts weigh the plain error against the plain input
  // energy (plus 1, as the weighted normaliser starts).
  float errors[kPacketModes];
  const float normaliser = SearchClosedLoop(state, residual, samples, prediction, subBlockFilterSets, trials, errors);
  CommitMode(state, trials, ChooseMode(errors, normaliser, rateWeight, out.score), residual, out);
}

}  // namespace clipvane
