// One stage of the reflection-coefficient search with a candidate's eight
// components in the eight AVX2 lanes. Each component's error term is the same
// float as in the scalar search, and the terms are added in component order,
// so the stage's choice is the scalar search's.

#include <immintrin.h>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {

bool ReflectionSearchHasAvx2() { return __builtin_cpu_supports("avx2"); }

__attribute__((target("avx2"))) int SearchStageAvx2(const int16_t (*entries)[kReflectionOrder], const float* acc,
                                                    const float* asinU, const float* weight, float limit,
                                                    const float* asinOfQ15, float rejectedError, float largestFloat) {
  const __m256 accV = _mm256_loadu_ps(acc);
  const __m256 asinUV = _mm256_loadu_ps(asinU);
  const __m256 weightV = _mm256_loadu_ps(weight);
  const __m256 upper = _mm256_set1_ps(limit);
  const __m256 lower = _mm256_set1_ps(-limit);
  const __m256 toFloat = _mm256_set1_ps(kQ15ToFloat);
  const __m256i maxIndex = _mm256_set1_epi32(32767);
  const __m256i minIndex = _mm256_set1_epi32(-32767);
  float best = largestFloat;
  int bestEntry = 0;
  for (int e = 0; e < kStageEntries; ++e) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(entries[e]));
    const __m256 sum = _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(raw)), accV);
    const __m256 q = _mm256_mul_ps(sum, toFloat);
    const __m256 outside = _mm256_or_ps(_mm256_cmp_ps(q, upper, _CMP_GT_OQ), _mm256_cmp_ps(q, lower, _CMP_LT_OQ));
    // The error is formed for every candidate and replaced afterwards when a
    // component is out of range, which avoids an unpredictable branch. Out of
    // range sums are clamped only to keep the table read inside the table.
    const __m256i index = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(sum), maxIndex), minIndex);
    alignas(32) int32_t at[kReflectionOrder];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
    const __m256 asinQ = _mm256_setr_ps(asinOfQ15[at[0]], asinOfQ15[at[1]], asinOfQ15[at[2]], asinOfQ15[at[3]],
                                        asinOfQ15[at[4]], asinOfQ15[at[5]], asinOfQ15[at[6]], asinOfQ15[at[7]]);
    const __m256 d = _mm256_sub_ps(asinUV, asinQ);
    alignas(32) float term[kReflectionOrder];
    _mm256_store_ps(term, _mm256_mul_ps(weightV, _mm256_mul_ps(d, d)));
    float err = 0.0f;
    for (int j = 0; j < kReflectionOrder; ++j) err = err + term[j];
    if (_mm256_movemask_ps(outside) != 0) err = rejectedError;
    if (err < best) {
      best = err;
      bestEntry = e;
    }
  }
  return bestEntry;
}

}  // namespace clipvane
