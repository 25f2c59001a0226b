// The closed-loop excitation search (effort 1 and up). Each mode's pulses,
// grid phase and gain index are fitted to the input block through the
// decoder's own synthesis: the zero-input response (the long-term prediction
// through the block's starting memory) is synthesised exactly and taken off
// the input; what is left is matched by pulses through a float model of the
// sub-block filters. Per mode and phase the pulse amplitudes start from least
// squares (Gauss-Seidel sweeps over the pulses), the few gain indices nearest
// to what those amplitudes need are quantised and refined one level at a time,
// and the phase and gain of least modelled error are kept. Each mode's fit
// and its open-loop trial are then synthesised exactly, and the one of least
// plain error is the mode's trial.
//
// Plain loops in a fixed order, no vector intrinsics: the same bits on every
// machine and with every kernel set (only the integer synthesis runs through
// the set, and every set gives the same integers).

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

constexpr int kResponseLength = 64;  // samples of a pulse's response the model follows
constexpr int kPaddedSamples = kBlockSamples + kResponseLength;
constexpr int kFitSweeps = 4;       // on the chosen phase; one sweep chooses the phase
constexpr int kRefinePasses = 3;    // at most: a pass that moves no pulse ends the refinement
constexpr int kGainCandidates = 4;  // nearest to the fitted amplitudes' need
constexpr int kRefinedGains = 2;    // of those, quantised and refined
constexpr int kSumLanes = 8;  // the sums below run in 8 interleaved partial sums, added pairwise
constexpr float kGainAim = 0.7f;  // of the largest amplitude's gain: the middle of the candidates
constexpr float kQ14ToFloat = 1.0f / 16384.0f;

// The decoder's synthesis of a unit pulse at each position from zero memory,
// in float: what a pulse adds to the block (the decoder's rounding aside).
struct PulseResponses {
  float h[kBlockSamples][kResponseLength];
  float energy[kBlockSamples];
};

// Eight positions at a time, one per lane, stepping through the block in
// time: every lane runs the sub-block filter of the sample it computes, and a
// lane is silent (all zeros) until its pulse. Each lane does exactly the
// scalar recursion y = x + c_1 m_1 + ... + c_8 m_8 in that order.
constexpr int kModelLanes = 8;

void ModelResponses(const int32_t (*subBlockFilterSets)[kFilterSetSize], PulseResponses& out) {
  float c[kSubBlocks][kReflectionOrder];
  for (int b = 0; b < kSubBlocks; ++b) {
    for (int i = 0; i < kReflectionOrder; ++i) c[b][i] = static_cast<float>(subBlockFilterSets[b][i + 1]) * kQ14ToFloat;
  }
  std::memset(out.h, 0, sizeof(out.h));
  for (int first = 0; first < kBlockSamples; first += kModelLanes) {
    float memory[kReflectionOrder][kModelLanes] = {};
    float energy[kModelLanes] = {};
    const int end = first + kModelLanes - 1 + kResponseLength < kBlockSamples
                        ? first + kModelLanes - 1 + kResponseLength
                        : kBlockSamples;
    for (int t = first; t < end; ++t) {
      const float* ct = c[t / kSubBlockSamples];
      float y[kModelLanes];
      for (int lane = 0; lane < kModelLanes; ++lane) y[lane] = t == first + lane ? 1.0f : 0.0f;
      for (int i = 0; i < kReflectionOrder; ++i) {
        for (int lane = 0; lane < kModelLanes; ++lane) y[lane] = y[lane] + ct[i] * memory[i][lane];
      }
      for (int i = kReflectionOrder - 1; i > 0; --i) {
        for (int lane = 0; lane < kModelLanes; ++lane) memory[i][lane] = memory[i - 1][lane];
      }
      for (int lane = 0; lane < kModelLanes; ++lane) {
        memory[0][lane] = y[lane];
        const int n = t - (first + lane);
        if (n >= 0 && n < kResponseLength) {
          out.h[first + lane][n] = y[lane];
          energy[lane] = energy[lane] + y[lane] * y[lane];
        }
      }
    }
    for (int lane = 0; lane < kModelLanes; ++lane) out.energy[first + lane] = energy[lane];
  }
}

// Partial sum k takes the terms n = k mod 8 in order; the eight are added
// pairwise in a fixed tree. Fixed, so the same on every machine, and free for
// the compiler to run lane by lane.
float AddLanes(const float* lane) {
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

float Dot(const float* r, const float* h) {
  float lane[kSumLanes] = {};
  for (int n = 0; n < kResponseLength; n += kSumLanes) {
    for (int k = 0; k < kSumLanes; ++k) lane[k] = lane[k] + r[n + k] * h[n + k];
  }
  return AddLanes(lane);
}

void SubtractScaled(float* r, const float* h, float a) {
  for (int n = 0; n < kResponseLength; ++n) r[n] = r[n] - a * h[n];
}

float SumOfSquares(const float* r) {
  float lane[kSumLanes] = {};
  for (int n = 0; n < kBlockSamples; n += kSumLanes) {
    for (int k = 0; k < kSumLanes; ++k) lane[k] = lane[k] + r[n + k] * r[n + k];
  }
  return AddLanes(lane);
}

// The target with zeros after the block, where every response is zero too.
void StartRemainder(const float* target, float* r) {
  std::memcpy(r, target, kBlockSamples * sizeof(float));
  for (int n = kBlockSamples; n < kPaddedSamples; ++n) r[n] = 0.0f;
}

// Least-squares amplitudes of the grid's pulses at `phase`, by `sweeps`
// Gauss-Seidel sweeps from zero; returns the modelled error left.
float FitAmplitudes(const PulseResponses& responses, const float* target, const PacketMode& grid, int phase,
                    int sweeps, float* amplitude) {
  float r[kPaddedSamples];
  StartRemainder(target, r);
  for (int i = 0; i < grid.pulses; ++i) amplitude[i] = 0.0f;
  for (int sweep = 0; sweep < sweeps; ++sweep) {
    for (int i = 0; i < grid.pulses; ++i) {
      const int pos = phase + grid.spacing * i;
      const float delta = Dot(r + pos, responses.h[pos]) / responses.energy[pos];
      if (!std::isfinite(delta)) continue;
      amplitude[i] = amplitude[i] + delta;
      SubtractScaled(r + pos, responses.h[pos], delta);
    }
  }
  return SumOfSquares(r);
}

// Quantises the amplitudes to the levels of `gain`, then moves single pulses
// one level where the model says the error falls; returns the modelled error.
float QuantiseAtGain(const PulseResponses& responses, const float* target, const PacketMode& grid, int phase,
                     const float* amplitude, int32_t gain, uint8_t* pulses) {
  const int levels = 1 << grid.pulseBits;
  const float middle = static_cast<float>(levels / 2);
  const float inverse = 1.0f / (2.0f * static_cast<float>(gain));
  float r[kPaddedSamples];
  StartRemainder(target, r);
  for (int i = 0; i < grid.pulses; ++i) {
    const int pos = phase + grid.spacing * i;
    const int v = QuantisePulse(middle + amplitude[i] * inverse - 0.5f, levels - 1);
    pulses[i] = static_cast<uint8_t>(v);
    SubtractScaled(r + pos, responses.h[pos], static_cast<float>(WrapMul(2 * v + 1 - levels, gain)));
  }
  const float step = static_cast<float>(WrapMul(2, gain));
  bool moved = true;
  for (int pass = 0; pass < kRefinePasses && moved; ++pass) {
    moved = false;
    for (int i = 0; i < grid.pulses; ++i) {
      const int pos = phase + grid.spacing * i;
      const float d = Dot(r + pos, responses.h[pos]);
      const float curvature = step * step * responses.energy[pos];
      // The error falls by 2 s d - s^2 E when the pulse grows by s.
      const float up = pulses[i] + 1 < levels ? 2.0f * step * d - curvature : 0.0f;
      const float down = pulses[i] > 0 ? -2.0f * step * d - curvature : 0.0f;
      if (up > 0.0f && up >= down) {
        pulses[i] = static_cast<uint8_t>(pulses[i] + 1);
        SubtractScaled(r + pos, responses.h[pos], step);
        moved = true;
      } else if (down > 0.0f) {
        pulses[i] = static_cast<uint8_t>(pulses[i] - 1);
        SubtractScaled(r + pos, responses.h[pos], -step);
        moved = true;
      }
    }
  }
  return SumOfSquares(r);
}

// The gain indices to try, nearest to `targetLog` first on the log scale;
// entries that would leave a gain below 1 are passed over while another keeps
// it at least 1 (a zero gain never grows again until the next key block).
int GainCandidates(const AudioEncoderState& state, float targetLog, int* candidates) {
  const ChannelCodebook& codebook = state.decoder.codebook;
  const int32_t gainState = state.decoder.gainState;
  bool keepsGain[kGainLevels];
  bool anyKeepsGain = false;
  for (int i = 0; i < kGainLevels; ++i) {
    keepsGain[i] = (WrapMul(gainState, codebook.gainRatio[i]) >> 13) >= 1;
    anyKeepsGain = anyKeepsGain || keepsGain[i];
  }
  // Stable order by distance; a NaN distance (a target out of reach) sorts last.
  struct Ranked {
    bool outOfReach;
    float distance;
    int index;
  };
  Ranked ranked[kGainLevels];
  int count = 0;
  for (int i = 0; i < kGainLevels; ++i) {
    if (anyKeepsGain && !keepsGain[i]) continue;
    const float d = state.codebookTables.gainRatioLog[i] - targetLog;
    const float squared = d * d;
    const bool outOfReach = squared != squared;
    ranked[count++] = {outOfReach, outOfReach ? 0.0f : squared, i};
  }
  std::stable_sort(ranked, ranked + count, [](const Ranked& a, const Ranked& b) {
    return a.outOfReach != b.outOfReach ? b.outOfReach : a.distance < b.distance;
  });
  if (count > kGainCandidates) count = kGainCandidates;
  for (int k = 0; k < count; ++k) candidates[k] = ranked[k].index;
  return count;
}

// Of the gain candidates, the kRefinedGains whose plain quantisation of the
// amplitudes misses them least (each miss weighed by its pulse's response
// energy), in candidate order on ties: only these are refined.
int KeepClosestGains(const PulseResponses& responses, const PacketMode& grid, int phase, const float* amplitude,
                     int32_t gainState, const ChannelCodebook& codebook, int* candidates, int count) {
  const int levels = 1 << grid.pulseBits;
  const float middle = static_cast<float>(levels / 2);
  float miss[kGainCandidates];
  for (int k = 0; k < count; ++k) {
    const int32_t gain = WrapMul(gainState, codebook.gainRatio[candidates[k]]) >> 13;
    const float inverse = 1.0f / (2.0f * static_cast<float>(gain));
    float sum = 0.0f;
    for (int i = 0; i < grid.pulses; ++i) {
      const int v = QuantisePulse(middle + amplitude[i] * inverse - 0.5f, levels - 1);
      const float d = amplitude[i] - static_cast<float>(WrapMul(2 * v + 1 - levels, gain));
      sum = sum + responses.energy[phase + grid.spacing * i] * (d * d);
    }
    miss[k] = sum;
  }
  int kept[kGainCandidates];
  int keptCount = 0;
  bool taken[kGainCandidates] = {};
  while (keptCount < kRefinedGains && keptCount < count) {
    int best = -1;
    for (int k = 0; k < count; ++k) {
      if (!taken[k] && (best < 0 || miss[k] < miss[best])) best = k;
    }
    taken[best] = true;
    kept[keptCount++] = candidates[best];
  }
  for (int k = 0; k < keptCount; ++k) candidates[k] = kept[k];
  return keptCount;
}

// The mode's closed-loop trial: the phase of least fitted error, then the
// gain of least modelled error after quantisation.
void FitMode(const AudioEncoderState& state, const PulseResponses& responses, const float* target, int mode,
             ModeTrial& trial) {
  const PacketMode& grid = kPacketModeTable[mode];
  float amplitude[kMaxPulses];
  float bestFit = 0.0f;
  for (int phase = 0; phase < 4; ++phase) {
    const float error = FitAmplitudes(responses, target, grid, phase, 1, amplitude);
    if (phase == 0 || error < bestFit) {
      bestFit = error;
      trial.gridPhase = phase;
    }
  }
  FitAmplitudes(responses, target, grid, trial.gridPhase, kFitSweeps, amplitude);
  float largest = 0.0f;
  for (int i = 0; i < grid.pulses; ++i) largest = std::fabs(amplitude[i]) > largest ? std::fabs(amplitude[i]) : largest;
  const int32_t gainState = state.decoder.gainState;
  const float aim = largest / static_cast<float>((1 << grid.pulseBits) - 1) * kGainAim;
  int candidates[kGainCandidates];
  int count = GainCandidates(state, FloatLog(aim / static_cast<float>(gainState)), candidates);
  count = KeepClosestGains(responses, grid, trial.gridPhase, amplitude, gainState, state.decoder.codebook,
                           candidates, count);
  float bestError = 0.0f;
  for (int k = 0; k < count; ++k) {
    const int32_t gain = WrapMul(gainState, state.decoder.codebook.gainRatio[candidates[k]]) >> 13;
    uint8_t pulses[kMaxPulses] = {};
    const float error = QuantiseAtGain(responses, target, grid, trial.gridPhase, amplitude, gain, pulses);
    if (k == 0 || error < bestError) {
      bestError = error;
      trial.gainIndex = candidates[k];
      trial.gain = gain;
      std::memcpy(trial.pulses, pulses, sizeof(pulses));
    }
  }
}

// The input less the zero-input response: the long-term prediction alone
// through the block's starting memory, synthesised exactly.
void ClosedLoopTarget(const AudioEncoderState& state, const int32_t* samples, const int32_t* prediction,
                      const int32_t (*subBlockFilterSets)[kFilterSetSize], float* target) {
  int32_t response[kBlockSamples];
  std::memcpy(response, prediction, sizeof(response));
  int32_t memory[kReflectionOrder];
  std::memcpy(memory, state.decoder.synthesisMemory, sizeof(memory));
  for (int b = 0; b < kSubBlocks; ++b) {
    SynthesisFilter(response + b * kSubBlockSamples, kSubBlockSamples, subBlockFilterSets[b], memory);
  }
  for (int n = 0; n < kBlockSamples; ++n) target[n] = static_cast<float>(WrapSub(samples[n], response[n]));
}

// Each lane's plain squared error against the input, in sample order.
void PlainErrors(const ExcitationTrials& trials, const int32_t* samples, float* errors) {
  for (int mode = 0; mode < kPacketModes; ++mode) errors[mode] = 0.0f;
  for (int n = 0; n < kBlockSamples; ++n) {
    for (int mode = 0; mode < kPacketModes; ++mode) {
      const float e = static_cast<float>(WrapSub(trials.synthesis[n][mode], samples[n]));
      errors[mode] = errors[mode] + e * e;
    }
  }
}

}  // namespace

float SearchClosedLoop(const AudioEncoderState& state, const int32_t* residual, const int32_t* samples,
                       const int32_t* prediction, const int32_t (*subBlockFilterSets)[kFilterSetSize],
                       ExcitationTrials& trials, float* errors) {
  float target[kBlockSamples];
  ClosedLoopTarget(state, samples, prediction, subBlockFilterSets, target);
  PulseResponses responses;
  ModelResponses(subBlockFilterSets, responses);
  for (int n = 0; n < kBlockSamples; ++n) {
    for (int mode = 0; mode < kPacketModes; ++mode) trials.excitation[n][mode] = prediction[n];
  }
  for (int mode = 0; mode < kPacketModes; ++mode) {
    ModeTrial& trial = trials.trials[mode];
    FitMode(state, responses, target, mode, trial);
    const PacketMode& grid = kPacketModeTable[mode];
    const int levels = 1 << grid.pulseBits;
    for (int i = 0; i < grid.pulses; ++i) {
      int32_t& e = trials.excitation[trial.gridPhase + grid.spacing * i][mode];
      e = WrapAdd(e, WrapMul(2 * trial.pulses[i] + 1 - levels, trial.gain));
    }
  }
  SynthesiseTrials(state, subBlockFilterSets, trials);
  PlainErrors(trials, samples, errors);

  // The open-loop trials, synthesised alike: a mode keeps whichever of the
  // two leaves the smaller error (the fit first on a tie).
  ExcitationTrials openLoop;
  TryModesOpenLoop(state, residual, prediction, openLoop);
  SynthesiseTrials(state, subBlockFilterSets, openLoop);
  float openErrors[kPacketModes];
  PlainErrors(openLoop, samples, openErrors);
  for (int mode = 0; mode < kPacketModes; ++mode) {
    if (!(openErrors[mode] < errors[mode])) continue;
    errors[mode] = openErrors[mode];
    trials.trials[mode] = openLoop.trials[mode];
    std::memcpy(trials.synthesisMemory[mode], openLoop.synthesisMemory[mode], sizeof(trials.synthesisMemory[mode]));
    for (int n = 0; n < kBlockSamples; ++n) {
      trials.excitation[n][mode] = openLoop.excitation[n][mode];
      trials.synthesis[n][mode] = openLoop.synthesis[n][mode];
    }
  }
  float normaliser = 1.0f;
  for (int n = 0; n < kBlockSamples; ++n) {
    const float x = static_cast<float>(samples[n]);
    normaliser = normaliser + x * x;
  }
  return normaliser;
}

}  // namespace clipvane
