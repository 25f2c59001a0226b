// The lag search with eight lags side by side in AVX2 lanes (this file alone
// is built with -mavx2). Every lane still sums its own lag's squares in sample
// order, so the 126 sums are the same floats as the plain search's; only the
// lags run in parallel. One lane left over past lag code 125 predicts
// nothing, so it sums the residual's own energy, again in sample order.

#include <immintrin.h>

#include "codec/encoder/encoder_kernels.h"

namespace clipvane {

namespace {

constexpr int kTaper = 7;
constexpr int kGroupsPerPass = 4;  // four independent sums hide the addition latency
constexpr int kEnergyLag = 127;    // the spare lane (lag codes 126 and 127 are not lags)

// Lane l of group g holds lag code 8g + 7 - l, so that the history entries
// the eight lags read for one sample are consecutive: 120 - 8g + l + i. The
// lane of "lag" 127 loads zeros.

inline __m256 Accumulate8(__m256 acc, __m256i residual, __m256i prediction) {
  const __m256 d = _mm256_cvtepi32_ps(_mm256_sub_epi32(residual, prediction));
  return _mm256_add_ps(acc, _mm256_mul_ps(d, d));
}

inline __m256i Load(const int32_t* at, bool masked, __m256i keep) {
  const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return masked ? _mm256_and_si256(h, keep) : h;
}

}  // namespace

LagSearchResult SearchLongTermLagAvx2(const int32_t* residual, const int32_t* history) {
  constexpr int kLanes = 8;
  constexpr int kGroups = 16;
  alignas(32) int32_t half[kHistorySamples];
  for (int j = 0; j < kHistorySamples; ++j) half[j] = history[j] >> 1;
  // Lane 0 of the last group is "lag" 127: it reads nothing.
  const __m256i energyMask = _mm256_setr_epi32(0, -1, -1, -1, -1, -1, -1, -1);

  alignas(32) float error[kGroups * kLanes];
  for (int first = 0; first < kGroups; first += kGroupsPerPass) {
    __m256 acc[kGroupsPerPass];
    const int32_t* source[kGroupsPerPass];
    for (int g = 0; g < kGroupsPerPass; ++g) {
      acc[g] = _mm256_setzero_ps();
      source[g] = half + (kBlockSamples - kLanes - kLanes * (first + g));
    }
    // Only the last group's "lag" 127 lane is masked; the others load as they are.
    const __m256i lastKeep = first + kGroupsPerPass == kGroups ? energyMask : _mm256_set1_epi32(-1);
    for (int i = 0; i < kTaper; ++i) {
      const __m256i r = _mm256_set1_epi32(residual[i]);
      const __m256i w = _mm256_set1_epi32(i + 1);
      for (int g = 0; g < kGroupsPerPass; ++g) {
        const __m256i h = Load(source[g] + i, g == kGroupsPerPass - 1, lastKeep);
        acc[g] = Accumulate8(acc[g], r, _mm256_srai_epi32(_mm256_mullo_epi32(h, w), 3));
      }
    }
    for (int i = kTaper; i < kBlockSamples - kTaper; ++i) {
      const __m256i r = _mm256_set1_epi32(residual[i]);
      for (int g = 0; g < kGroupsPerPass; ++g) {
        const __m256i h = Load(source[g] + i, g == kGroupsPerPass - 1, lastKeep);
        acc[g] = Accumulate8(acc[g], r, h);
      }
    }
    for (int i = kBlockSamples - kTaper; i < kBlockSamples; ++i) {
      const __m256i r = _mm256_set1_epi32(residual[i]);
      const __m256i w = _mm256_set1_epi32(kBlockSamples - i);
      for (int g = 0; g < kGroupsPerPass; ++g) {
        const __m256i h = Load(source[g] + i, g == kGroupsPerPass - 1, lastKeep);
        acc[g] = Accumulate8(acc[g], r, _mm256_srai_epi32(_mm256_mullo_epi32(h, w), 3));
      }
    }
    for (int g = 0; g < kGroupsPerPass; ++g) {
      alignas(32) float lanes[kLanes];
      _mm256_store_ps(lanes, acc[g]);
      for (int l = 0; l < kLanes; ++l) error[kLanes * (first + g) + kLanes - 1 - l] = lanes[l];
    }
  }
  return ChooseLongTermLag(error, error[kEnergyLag]);
}

}  // namespace clipvane
