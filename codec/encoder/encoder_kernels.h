#pragma once
// The encoder's hot kernels and how they are chosen. Every kernel has a plain
// version, always built and always correct; on x86 there are AVX2 versions in
// files of their own, built only for x86 targets with their own flags, which
// give the same bits as the plain ones (the tests compare them). A set is a
// table of one version of each kernel: the plain set, and the AVX2 set where
// the processor runs it. Each encoder state holds the set it runs, by default
// the fastest one, chosen once per process from the processor's features.

#include <cstdint>
#include <vector>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {

// One stage of the reflection-coefficient search (QuantiseReflection): the
// index of the first of the stage's 64 entries of least weighted arcsine
// error, a candidate with any running coefficient beyond the limit scoring
// the rejection value.
struct ReflectionStageSearch {
  const int16_t (*entries)[kReflectionOrder];  // the stage's entries, Q15
  const float* transposed;                     // the same as floats, [component][entry]
  const float* acc;                            // the running sums before this stage (whole numbers)
  const float* u;                              // the unquantised coefficients (rem + acc) / 32768
  const float* asinU;                          // their arcsines
  float limit;
  const float* asinOfQ15;  // asin(n / 32768), indexable from -32767 to 32767
};

struct EncoderKernels {
  const char* name;
  // DC removal of samples[0..223] (highPass left at its state after sample
  // 127), the analysis window, and the autocorrelation for lags 0..8.
  void (*filterWindowCorrelate)(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                                float* windowed, float* correlation);
  int (*searchReflectionStage)(const ReflectionStageSearch& search);
  LagSearchResult (*searchLongTermLag)(const int32_t* residual, const int32_t* history);
  // out[k] = 2^-13 sum_l taps[l] padded[shift + l + k], k = 0..127, in tap order.
  void (*lowPass)(const float* padded, const float* taps, int tapCount, int shift, float* out);
  // The four packet-mode trials' syntheses side by side (SynthesisFilter per lane).
  void (*synthesisLanes)(const int32_t (*excitation)[kSynthesisLanes],
                         const int32_t (*subBlockFilterSets)[kFilterSetSize], int32_t (*memory)[kReflectionOrder],
                         int32_t (*synthesis)[kSynthesisLanes]);
  // Five weighting filters side by side, summing their squared outputs.
  void (*weightingLanes)(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                         float (*memory)[kReflectionOrder], const float* startSums, float* sums);
};

const EncoderKernels& PlainEncoderKernels();
// The plain set first, then every faster set this processor runs.
const std::vector<const EncoderKernels*>& SupportedEncoderKernels();
// Makes `state` run `kernels` from its next block on: how tests run every set.
void UseEncoderKernels(AudioEncoderState& state, const EncoderKernels& kernels);

// The kernels, for the tables in encoder_kernels.cpp.
void FilterWindowCorrelatePlain(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                                float* windowed, float* correlation);
int SearchReflectionStagePlain(const ReflectionStageSearch& search);
LagSearchResult SearchLongTermLagPlain(const int32_t* residual, const int32_t* history);
void LowPassPlain(const float* padded, const float* taps, int tapCount, int shift, float* out);
void SynthesisLanesPlain(const int32_t (*excitation)[kSynthesisLanes],
                         const int32_t (*subBlockFilterSets)[kFilterSetSize], int32_t (*memory)[kReflectionOrder],
                         int32_t (*synthesis)[kSynthesisLanes]);
void WeightingLanesPlain(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                         float (*memory)[kReflectionOrder], const float* startSums, float* sums);

#if defined(CLIPVANE_X86_KERNELS)
void FilterWindowCorrelateAvx2(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                               float* windowed, float* correlation);
int SearchReflectionStageAvx2(const ReflectionStageSearch& search);
LagSearchResult SearchLongTermLagAvx2(const int32_t* residual, const int32_t* history);
void LowPassAvx2(const float* padded, const float* taps, int tapCount, int shift, float* out);
void SynthesisLanesAvx2(const int32_t (*excitation)[kSynthesisLanes],
                        const int32_t (*subBlockFilterSets)[kFilterSetSize], int32_t (*memory)[kReflectionOrder],
                        int32_t (*synthesis)[kSynthesisLanes]);
void WeightingLanesAvx2(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                        float (*memory)[kReflectionOrder], const float* startSums, float* sums);
#endif

}  // namespace clipvane
