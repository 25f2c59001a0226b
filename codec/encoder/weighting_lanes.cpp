// The excitation search's float kernels in vector lanes, plain build: the
// low-pass filter and the five weighting filters (bodies in lane_kernels.h).

#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/lane_kernels.h"

namespace clipvane {

void LowPassPlain(const float* padded, const float* taps, int tapCount, int shift, float* out) {
  LowPassBlocks(padded, taps, tapCount, shift, out);
}

void WeightingLanesPlain(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                         float (*memory)[kReflectionOrder], const float* startSums, float* sums) {
  WeightLanes(inputs, p, q, memory, startSums, sums);
}

}  // namespace clipvane
