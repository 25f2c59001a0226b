#pragma once
// Private interface between the encoder's stages: the block driver calls them
// in order, and the tests call them one by one against plain formulations.
// The hot kernels the stages run are chosen per state (encoder_kernels.h).
//
// Floating point is single precision and evaluated in the order written; the
// build forbids contraction into fused multiply-adds, so every stage gives the
// same bits on every machine.

#include <cstdint>

#include "codec/audio_packet.h"
#include "codec/encoder/audio_encoder.h"
#include "codec/fixed_point.h"

namespace clipvane {

inline constexpr int kAnalysisSamples = 224;  // the block and 96 samples of look-ahead
inline constexpr int kLookAheadSamples = 128;
inline constexpr int kLagCodes = 126;  // lag codes 0..125
inline constexpr float kReflectionLimit = 0.999f;
inline constexpr float kQ15ToFloat = 0.000030517578125f;  // 2^-15
inline constexpr float kRejectedError = 1.70141173e38f;    // a candidate beyond the limit: half the largest float
inline constexpr float kLargestFloat = 3.40282347e38f;
// The reflection search's component weights 2^(-j/2): the low-order
// coefficients shape the spectrum most, so they weigh most.
inline constexpr float kStageWeight[kReflectionOrder] = {1.0f,  0.707106769f, 0.5f,   0.353553385f,
                                                         0.25f, 0.176776692f, 0.125f, 0.0883883461f};

// The analysis window (a Hamming window over 224 samples, with the table's one
// off-by-one-in-the-last-digit value kept at 13 and 211).
extern const float kAnalysisWindow[kAnalysisSamples];

// --- DC removal -------------------------------------------------------------

// The DC-removal filter y[n] = ((y[n-1] * 32735 + 16384) >> 15) + x[n] - x[n-1]
// (pole 0.998993), in wrapping 32-bit arithmetic.
struct HighPassState {
  int32_t input = 0;   // x[n-1]
  int32_t output = 0;  // y[n-1]
  int32_t Step(int32_t x) {
    const int32_t decayed = WrapAdd(WrapMul(output, 32735), 16384) >> 15;
    output = WrapAdd(decayed, WrapSub(x, input));
    input = x;
    return output;
  }
};

// The kernel filterWindowCorrelate (encoder_kernels.h) runs DC removal of
// samples[0..223] from a HighPassState (left at its state after sample 127),
// the analysis window, and the autocorrelation of the windowed values for
// lags 0..8, accumulated in double (where each product of two floats is
// exact) and stored as floats: one pass giving exactly what the three steps
// give one after another.

// --- spectrum ---------------------------------------------------------------

struct SpectrumAnalysis {
  int spectrumIndex[kSpectrumStages];
  float predictionFilter[kReflectionOrder + 1];  // a0 = 1, a1..a8 of A(z), unquantised
  int32_t subBlockFilterSets[kSubBlocks][kFilterSetSize];
  int32_t residual[kBlockSamples];
};

// Noise floor, white-noise correction and lag window, in place.
void ConditionAutocorrelation(float* correlation);
// Levinson-Durbin recursion: a[0] = 1, a[1..8].
void LevinsonDurbin(const float* correlation, float* filter);
// Step-down recursion: the filter's reflection coefficients k_1..k_8.
void FilterToReflection(const float* filter, float* reflection);

// Three-stage search of the reflection vector `reflection` (floats in (-1, 1))
// predicted from `base` (Q15) in the state's codebook, with the state's
// kernels and tables. `limit` bounds every running coefficient.
void QuantiseReflection(const AudioEncoderState& state, const int32_t* base, const float* reflection, float limit,
                        int* indices);
// The same search computing every arcsine directly: the fallback for limits
// of 1 or more, and the formulation the table search must reproduce.
void QuantiseReflectionDirect(const ChannelCodebook& codebook, const int32_t* base, const float* reflection,
                              float limit, int* indices);

// The best `paths` (up to kMaxSpectrumPaths) ways through the three stages,
// best first: the stage search keeping that many partial paths at every stage
// instead of one (effort 1 and up). Returns how many were found.
inline constexpr int kMaxSpectrumPaths = 8;
int QuantiseReflectionPaths(const AudioEncoderState& state, const int32_t* base, const float* reflection, float limit,
                            int paths, int (*indices)[kSpectrumStages]);

// The linear prediction of the windowed block's autocorrelation (conditioned
// here in place): the filter A(z) and its reflection coefficients.
void PredictSpectrum(float* correlation, float* predictionFilter, float* reflection);
// Installs out.spectrumIndex as the local decoder will (sub-block filter
// sets, previous filter set and reflection vector) and writes the residual of
// samples[0..127] through the analysis filter, whose memory advances.
void ApplySpectrum(AudioEncoderState& state, const int32_t* samples, bool keyBlock, SpectrumAnalysis& out);

// The spectrum step from the windowed block's autocorrelation (lags 0..8, as
// the filterWindowCorrelate kernel gives it; conditioned here in place): the linear
// prediction, its quantisation and the residual of y[0..127].
void AnalyseSpectrum(AudioEncoderState& state, float* correlation, const int32_t* samples, bool keyBlock,
                     bool collect, float limit, SpectrumAnalysis& out);

// --- long-term prediction -----------------------------------------------------

struct LagSearchResult {
  int lagCode = 0;
  bool usable = false;
};

// Sum of the squared residual, in sample order.
float ResidualEnergy(const int32_t* residual);
// The lowest lag code of least error (error[0..125]), usable when that error
// is below the residual's energy.
LagSearchResult ChooseLongTermLag(const float* error, float energy);
// Weight of sample i in sixteenths: 1..7 rising, 8 in the middle, 7..1 falling.
constexpr int32_t TaperWeight(int i) {
  const int rising = i + 1;
  const int falling = kBlockSamples - i;
  const int w = rising < falling ? rising : falling;
  return w < 8 ? w : 8;
}

// The analysis shape of the prediction: ((h >> 1) * w) >> 3, h >> 1 in the middle.
void LongTermAnalysisShape(const int32_t* history, int lagCode, int32_t* out);
void RemoveLongTermPrediction(int32_t* residual, const int32_t* history, int lagCode);

// --- excitation -----------------------------------------------------------------

struct ExcitationChoice {
  int packetMode = 0;
  int gridPhase = 0;
  int gainIndex = 0;
  uint8_t pulses[kMaxPulses] = {};
  int32_t synthesis[kBlockSamples];  // the chosen mode's output, before clipping (always written)
  float score = 0.0f;  // its error over the normaliser plus its rate; comparable within a block and effort
};

// Transposed direct form of P(z)/Q(z) over 128 samples; `memory` (8 values) advances.
void WeightingFilter(const int32_t* input, const float* p, const float* q, float* memory, float* out);

// The kernel weightingLanes runs five weighting filters side by side: for
// each lane, the filter of WeightingFilter over inputs[n][lane] (the input
// already converted to float) with memory[lane] (advanced in place), summing
// the squared outputs in sample order from startSums[lane] into sums[lane].
// The outputs are not kept.
inline constexpr int kWeightingLanes = 5;
inline constexpr int kWeightingLaneWidth = 8;  // lanes 5..7 of inputs are padding

// The kernel synthesisLanes runs the four packet modes' trial syntheses side
// by side: lane l runs the decoder's SynthesisFilter over excitation[n][l]
// with the four sub-block filter sets and memory[l] (advanced in place), into
// synthesis[n][l].
inline constexpr int kSynthesisLanes = kPacketModes;

// The kernel lowPass is the pulse grid's low-pass filter: out[k] = 2^-13 *
// sum_l taps[l] * padded[shift + l + k], k = 0..127, summed in tap order
// (padded holds the residual with zeros around it).

// Rounds a pulse's float position to the nearest level (halves away from
// zero) and clamps it to 0..top; a NaN (a zero target over a zero gain) takes
// the middle level.
int QuantisePulse(float c, int top);
// QuantisePulse over c[0..count-1], four at a time: the arrays must hold
// `count` rounded up to a multiple of four (kPulseRun covers every mode).
inline constexpr int kPulseRun = (kMaxPulses + 3) / 4 * 4;
void QuantisePulses(const float* c, int count, int top, int32_t* levels);

// One packet mode's trial: what its packet would carry.
struct ModeTrial {
  int gridPhase = 0;
  int gainIndex = 0;
  int32_t gain = 0;
  float scale = 0.0f;     // the open-loop target scale (training data)
  float logRatio = 0.0f;  // its log ratio to the gain state (training data)
  uint8_t pulses[kMaxPulses] = {};
};

// The four modes' trials side by side, lane `mode` of each array: the
// excitation (the long-term prediction plus the pulses), its synthesis from
// the block's starting memory, and the synthesis memory after it.
struct ExcitationTrials {
  ModeTrial trials[kPacketModes];
  alignas(16) int32_t excitation[kBlockSamples][kSynthesisLanes];
  alignas(16) int32_t synthesis[kBlockSamples][kSynthesisLanes];
  int32_t synthesisMemory[kSynthesisLanes][kReflectionOrder];
};

// The search's steps. Trying the modes is where the efforts differ: the open
// loop samples the low-passed residual; the closed loop fits the pulses to the
// input through the decoder's filter.
void TryModesOpenLoop(const AudioEncoderState& state, const int32_t* residual, const int32_t* prediction,
                      ExcitationTrials& out);
// Synthesises every trial's excitation as the decoder will.
void SynthesiseTrials(const AudioEncoderState& state, const int32_t (*subBlockFilterSets)[kFilterSetSize],
                      ExcitationTrials& trials);
// The closed-loop trials (effort 1 and up), synthesised, with each mode's
// plain squared error against samples[0..127] in errors[mode]; returns the
// normaliser (1 plus the input's energy).
float SearchClosedLoop(const AudioEncoderState& state, const int32_t* residual, const int32_t* samples,
                       const int32_t* prediction, const int32_t (*subBlockFilterSets)[kFilterSetSize],
                       ExcitationTrials& trials, float* errors);

// Tries every mode, weighs each trial's error plus its rate, and commits the
// best: the local decoder's gain and synthesis memory, residual[] becomes the
// chosen excitation (for the history), and `out` the packet's fields.
void SearchExcitation(AudioEncoderState& state, int32_t* residual, const int32_t* samples, int lagCode,
                      const float* predictionFilter, const int32_t (*subBlockFilterSets)[kFilterSetSize],
                      bool keyBlock, bool collect, ExcitationChoice& out);

// --- packing ---------------------------------------------------------------------

int PackAudioBlock(int lagCode, const int* spectrumIndex, const ExcitationChoice& choice, uint8_t* packet);

// EncodeAudioBlock that also hands back the block's decisions and the chosen
// mode's synthesis (for tests and tools; `details` may be null).
struct EncodedBlockDetails {
  int lagCode = 0;
  int spectrumIndex[kSpectrumStages] = {};
  ExcitationChoice choice;
};
int EncodeAudioBlockDetailed(AudioEncoderState& state, const int16_t* samples, uint8_t* packet, bool keyBlock,
                             bool collect, EncodedBlockDetails* details);

}  // namespace clipvane
