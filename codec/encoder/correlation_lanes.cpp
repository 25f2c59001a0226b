// DC removal, analysis window and autocorrelation in one pass: the plain
// kernel (the body in lane_kernels.h is shared with the AVX2 build).

#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/lane_kernels.h"

namespace clipvane {

void FilterWindowCorrelatePlain(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                                float* windowed, float* correlation) {
  FilterCorrelateLanes(samples, highPass, filtered, windowed, correlation);
}

}  // namespace clipvane
