#pragma once
// Bodies of the encoder's lane kernels written with the compiler's vector
// types: the plain build and the AVX2 build (lanes_avx2.cpp, compiled with
// -mavx2) include this file and instantiate the same code, so both give the
// same bits by construction. Everything here has internal linkage, so no
// function compiled with AVX2 instructions can stand in for the plain one.
//
// - The autocorrelation's nine lag sums run in double-precision lanes, fused
//   with the DC removal and the window that feed it. Each lane is one lag's
//   sum advanced in sample order exactly as the scalar loop would (products
//   of two floats are exact in double, and the zero padding before the first
//   sample adds only zeros).
// - The perceptual weighting of the four trial errors and of the input runs in
//   one pass, each of the five filters in its own lane doing exactly the float
//   operations of WeightingFilter in the same order.
// - The low-pass filter computes eight outputs per vector, each summed over
//   its taps in order.

#include <cstdint>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {
namespace {

typedef double Doubles __attribute__((vector_size(32)));
typedef float Lanes __attribute__((vector_size(32)));  // 8 floats

constexpr int kLagGroups = 3;  // lags 0..11 in three groups of four; 9..11 are dropped
constexpr int kLagPadding = 4 * kLagGroups;
// The lag sums trail the DC filter by a few samples so that they only read
// values stored some iterations before; the two recursions then overlap.
constexpr int kLagTrail = 4;

// One step of the DC-removal filter, as HighPassState::Step.
inline __attribute__((always_inline)) int32_t HighPassStep(int32_t& input, int32_t& output, int32_t x) {
  const uint32_t decayed = static_cast<uint32_t>(output) * 32735u + 16384u;
  output = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int32_t>(decayed) >> 15) +
                                (static_cast<uint32_t>(x) - static_cast<uint32_t>(input)));
  input = x;
  return output;
}

// Lane l of group g holds lag 4g + 3 - l, so that its four factors x[n - lag]
// are consecutive in memory.
inline __attribute__((always_inline)) void FilterCorrelateLanes(const int16_t* samples, HighPassState& highPass,
                                                                int32_t* filtered, float* windowed,
                                                                float* correlation) {
  double padded[kLagPadding + kAnalysisSamples] = {};
  Doubles sum[kLagGroups] = {};
  auto accumulate = [&](int m) {
    const double x = padded[kLagPadding + m];
    const Doubles xv = {x, x, x, x};
    for (int g = 0; g < kLagGroups; ++g) {
      Doubles past;
      __builtin_memcpy(&past, padded + kLagPadding + m - 4 * g - 3, sizeof(past));
      sum[g] = sum[g] + xv * past;
    }
  };
  int32_t input = highPass.input;
  int32_t output = highPass.output;
  for (int n = 0; n < kAnalysisSamples; ++n) {
    const int32_t y = HighPassStep(input, output, samples[n]);
    filtered[n] = y;
    if (n == kBlockSamples - 1) {
      highPass.input = input;
      highPass.output = output;
    }
    const float w = static_cast<float>(y) * kAnalysisWindow[n];
    windowed[n] = w;
    padded[kLagPadding + n] = w;
    if (n >= kLagTrail) accumulate(n - kLagTrail);
  }
  for (int m = kAnalysisSamples - kLagTrail; m < kAnalysisSamples; ++m) accumulate(m);
  for (int k = 0; k <= kReflectionOrder; ++k) correlation[k] = static_cast<float>(sum[k / 4][3 - k % 4]);
}

inline __attribute__((always_inline)) void WeightLanes(const float (*inputs)[kWeightingLaneWidth], const float* p,
                                                       const float* q, float (*memory)[kReflectionOrder],
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

}  // namespace
}  // namespace clipvane
