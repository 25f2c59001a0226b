// The lane kernels of lane_kernels.h built with -mavx2 (this file alone): the
// same code as the plain build, in 256-bit registers. Never -mfma: a fused
// multiply-add would round differently from the plain kernels.

#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/lane_kernels.h"

namespace clipvane {

void FilterWindowCorrelateAvx2(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                               float* windowed, float* correlation) {
  FilterCorrelateLanes(samples, highPass, filtered, windowed, correlation);
}

void LowPassAvx2(const float* padded, const float* taps, int tapCount, int shift, float* out) {
  LowPassBlocks(padded, taps, tapCount, shift, out);
}

void WeightingLanesAvx2(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                        float (*memory)[kReflectionOrder], const float* startSums, float* sums) {
  WeightLanes(inputs, p, q, memory, startSums, sums);
}

}  // namespace clipvane
