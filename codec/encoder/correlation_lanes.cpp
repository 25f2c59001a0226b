// The autocorrelation's nine lag sums in double-precision vector lanes. Each
// lane is one lag's sum, advanced in sample order exactly as the scalar loop
// would (products of two floats are exact in double, and the zero padding
// before the first sample adds only zeros), so the sums are bit for bit equal.

#include "codec/encoder/encoder_steps.h"

namespace clipvane {

namespace {

typedef double Doubles __attribute__((vector_size(32)));

constexpr int kLagGroups = 3;  // lags 0..11 in three groups of four; 9..11 are dropped
constexpr int kPadding = 4 * kLagGroups;

// Lane l of group g holds lag 4g + 3 - l, so that its four factors x[n - lag]
// are consecutive in memory.
inline __attribute__((always_inline)) void CorrelateLanes(const float* windowed, float* correlation) {
  double padded[kPadding + kAnalysisSamples] = {};
  for (int n = 0; n < kAnalysisSamples; ++n) padded[kPadding + n] = windowed[n];
  Doubles sum[kLagGroups] = {};
  for (int n = 0; n < kAnalysisSamples; ++n) {
    const double x = padded[kPadding + n];
    const Doubles xv = {x, x, x, x};
    for (int g = 0; g < kLagGroups; ++g) {
      Doubles past;
      __builtin_memcpy(&past, padded + kPadding + n - 4 * g - 3, sizeof(past));
      sum[g] = sum[g] + xv * past;
    }
  }
  for (int k = 0; k <= kReflectionOrder; ++k) correlation[k] = static_cast<float>(sum[k / 4][3 - k % 4]);
}

__attribute__((target("avx2"))) void CorrelateAvx2(const float* windowed, float* correlation) {
  CorrelateLanes(windowed, correlation);
}

}  // namespace

void ComputeAutocorrelationPortable(const float* windowed, float* correlation) {
  CorrelateLanes(windowed, correlation);
}

void ComputeAutocorrelation(const float* windowed, float* correlation) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    CorrelateAvx2(windowed, correlation);
  } else {
    ComputeAutocorrelationPortable(windowed, correlation);
  }
}

}  // namespace clipvane
