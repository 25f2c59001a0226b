// The excitation search's float kernels in vector lanes. The perceptual
// weighting of the four trial errors and of the input runs in one pass, each
// of the five filters in its own lane doing exactly the float operations of
// WeightingFilter in the same order; the low-pass filter computes eight
// outputs per vector, each summed over its taps in order. Every lane's result
// is therefore bit for bit the scalar one.

#include <cstring>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {

namespace {

typedef float Lanes __attribute__((vector_size(32)));  // 8 floats; lanes 0..4 used

inline __attribute__((always_inline)) void WeightLanes(const float (*inputs)[kWeightingLaneWidth],
                                                       const float* p, const float* q,
                                                       float (*memory)[kReflectionOrder],
                                                       const float* startSums, float* sums) {
  Lanes m[kReflectionOrder];
  for (int k = 0; k < kReflectionOrder; ++k) {
    for (int lane = 0; lane < kWeightingLanes; ++lane) m[k][lane] = memory[lane][k];
    for (int lane = kWeightingLanes; lane < 8; ++lane) m[k][lane] = 0.0f;
  }
  Lanes pv[kReflectionOrder + 1];
  Lanes qv[kReflectionOrder + 1];
  for (int k = 0; k <= kReflectionOrder; ++k) {
    for (int lane = 0; lane < 8; ++lane) {
      pv[k][lane] = p[k];
      qv[k][lane] = q[k];
    }
  }
  Lanes sum;
  for (int lane = 0; lane < 8; ++lane) sum[lane] = lane < kWeightingLanes ? startSums[lane] : 0.0f;
  for (int n = 0; n < kBlockSamples; ++n) {
    Lanes x;
    __builtin_memcpy(&x, inputs[n], sizeof(x));
    const Lanes y = pv[0] * x + m[0];
    for (int k = 1; k < kReflectionOrder; ++k) m[k - 1] = m[k] + pv[k] * x - qv[k] * y;
    m[kReflectionOrder - 1] = pv[kReflectionOrder] * x - qv[kReflectionOrder] * y;
    sum = sum + y * y;
  }
  for (int k = 0; k < kReflectionOrder; ++k) {
    for (int lane = 0; lane < kWeightingLanes; ++lane) memory[lane][k] = m[k][lane];
  }
  for (int lane = 0; lane < kWeightingLanes; ++lane) sums[lane] = sum[lane];
}

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
__attribute__((target("avx2"))) void WeightLanesAvx2(const float (*inputs)[kWeightingLaneWidth],
                                                     const float* p, const float* q,
                                                     float (*memory)[kReflectionOrder],
                                                     const float* startSums, float* sums) {
  WeightLanes(inputs, p, q, memory, startSums, sums);
}
#endif

// f[k] = (sum over taps of h[l] * padded[shift + l + k]) * 2^-13 for 32
// outputs at a time, eight per lane group, each sum taken in tap order.
inline __attribute__((always_inline)) void LowPassBlocks(const float* padded, const float* taps, int tapCount,
                                                         int shift, float* out) {
  constexpr int kWidth = 8;
  constexpr int kGroups = 4;
  Lanes scaleDown;
  for (int lane = 0; lane < kWidth; ++lane) scaleDown[lane] = 1.0f / 8192.0f;
  for (int start = 0; start < kBlockSamples; start += kWidth * kGroups) {
    Lanes acc[kGroups];
    for (int g = 0; g < kGroups; ++g) acc[g] = Lanes{};
    for (int l = 0; l < tapCount; ++l) {
      Lanes h;
      for (int lane = 0; lane < kWidth; ++lane) h[lane] = taps[l];
      const float* source = padded + shift + l + start;
      for (int g = 0; g < kGroups; ++g) {
        Lanes x;
        __builtin_memcpy(&x, source + kWidth * g, sizeof(x));
        acc[g] = acc[g] + h * x;
      }
    }
    for (int g = 0; g < kGroups; ++g) {
      const Lanes f = acc[g] * scaleDown;
      __builtin_memcpy(out + start + kWidth * g, &f, sizeof(f));
    }
  }
}

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
__attribute__((target("avx2"))) void LowPassAvx2(const float* padded, const float* taps, int tapCount,
                                                 int shift, float* out) {
  LowPassBlocks(padded, taps, tapCount, shift, out);
}
#endif

}  // namespace

void LowPassLanesPortable(const float* padded, const float* taps, int tapCount, int shift, float* out) {
  LowPassBlocks(padded, taps, tapCount, shift, out);
}

void WeightingFilterLanesPortable(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                                  float (*memory)[kReflectionOrder], const float* startSums, float* sums) {
  WeightLanes(inputs, p, q, memory, startSums, sums);
}

void LowPassLanes(const float* padded, const float* taps, int tapCount, int shift, float* out) {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    LowPassAvx2(padded, taps, tapCount, shift, out);
    return;
  }
#endif
  LowPassLanesPortable(padded, taps, tapCount, shift, out);
}

void WeightingFilterLanes(const float (*inputs)[kWeightingLaneWidth], const float* p, const float* q,
                          float (*memory)[kReflectionOrder], const float* startSums, float* sums) {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    WeightLanesAvx2(inputs, p, q, memory, startSums, sums);
    return;
  }
#endif
  WeightingFilterLanesPortable(inputs, p, q, memory, startSums, sums);
}

}  // namespace clipvane
