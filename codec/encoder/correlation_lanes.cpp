// The autocorrelation's nine lag sums in double-precision vector lanes, fused
// with the DC removal and the window that feed it. Each lane is one lag's sum,
// advanced in sample order exactly as the scalar loop would (products of two
// floats are exact in double, and the zero padding before the first sample
// adds only zeros), so the sums are bit for bit equal.

#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"

namespace clipvane {

namespace {

typedef double Doubles __attribute__((vector_size(32)));

constexpr int kLagGroups = 3;  // lags 0..11 in three groups of four; 9..11 are dropped
constexpr int kPadding = 4 * kLagGroups;

// Lane l of group g holds lag 4g + 3 - l, so that its four factors x[n - lag]
// are consecutive in memory.
//
// DC removal, window and autocorrelation in one loop. The DC filter's and the
// lag sums' recursions are independent, so running them in the same loop lets
// them overlap; the sums trail the filter by a few samples so that they only
// read values stored some iterations before. Every value is formed exactly as
// in the separate steps.
constexpr int kTrail = 4;

inline __attribute__((always_inline)) void FilterCorrelateLanes(const int16_t* samples,
                                                                HighPassState& highPass, int32_t* filtered,
                                                                float* windowed, float* correlation) {
  double padded[kPadding + kAnalysisSamples] = {};
  Doubles sum[kLagGroups] = {};
  auto accumulate = [&](int m) {
    const double x = padded[kPadding + m];
    const Doubles xv = {x, x, x, x};
    for (int g = 0; g < kLagGroups; ++g) {
      Doubles past;
      __builtin_memcpy(&past, padded + kPadding + m - 4 * g - 3, sizeof(past));
      sum[g] = sum[g] + xv * past;
    }
  };
  HighPassState running = highPass;
  for (int n = 0; n < kAnalysisSamples; ++n) {
    const int32_t y = running.Step(samples[n]);
    filtered[n] = y;
    if (n == kBlockSamples - 1) highPass = running;
    const float w = static_cast<float>(y) * kAnalysisWindow[n];
    windowed[n] = w;
    padded[kPadding + n] = w;
    if (n >= kTrail) accumulate(n - kTrail);
  }
  for (int m = kAnalysisSamples - kTrail; m < kAnalysisSamples; ++m) accumulate(m);
  for (int k = 0; k <= kReflectionOrder; ++k) correlation[k] = static_cast<float>(sum[k / 4][3 - k % 4]);
}

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
__attribute__((target("avx2"))) void FilterCorrelateAvx2(const int16_t* samples, HighPassState& highPass,
                                                         int32_t* filtered, float* windowed,
                                                         float* correlation) {
  FilterCorrelateLanes(samples, highPass, filtered, windowed, correlation);
}
#endif

}  // namespace

void FilterWindowCorrelatePortable(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                                   float* windowed, float* correlation) {
  FilterCorrelateLanes(samples, highPass, filtered, windowed, correlation);
}

void FilterWindowCorrelate(const int16_t* samples, HighPassState& highPass, int32_t* filtered,
                           float* windowed, float* correlation) {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    FilterCorrelateAvx2(samples, highPass, filtered, windowed, correlation);
    return;
  }
#endif
  FilterWindowCorrelatePortable(samples, highPass, filtered, windowed, correlation);
}

}  // namespace clipvane
