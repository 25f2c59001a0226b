// One stage of the reflection-coefficient search with eight candidates side by
// side in AVX2 lanes. Each lane adds its candidate's error terms in component
// order, every term being the same float as in the scalar search, and a
// candidate with any component out of range takes the rejection value, as if
// the scalar search had stopped there. Groups that provably cannot win are
// cut short. The choice is the scalar search's.

#include <immintrin.h>

#include <cstring>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {

namespace {

constexpr int kLanes = 8;
constexpr int kCandidateGroups = kStageEntries / kLanes;

// The stage tables as floats, component-major, so that one load gives one
// component of eight candidates. Rebuilt whenever the codebook differs.
struct TransposedStages {
  int16_t source[kSpectrumStages][kStageEntries][kReflectionOrder];
  alignas(32) float value[kSpectrumStages][kReflectionOrder][kStageEntries];
  bool valid = false;
};

const float* TransposedStage(const ChannelCodebook& codebook, int stage) {
  thread_local TransposedStages cache;
  // Stage 0 is asked for first in every search, so the whole codebook is
  // checked (and rebuilt) there.
  if (stage == 0 || !cache.valid) {
    const int16_t(*all)[kStageEntries][kReflectionOrder] = codebook.spectrumCodewords;
    if (!cache.valid || std::memcmp(cache.source, all, sizeof(cache.source)) != 0) {
      std::memcpy(cache.source, all, sizeof(cache.source));
      for (int s = 0; s < kSpectrumStages; ++s) {
        for (int e = 0; e < kStageEntries; ++e) {
          for (int j = 0; j < kReflectionOrder; ++j) cache.value[s][j][e] = static_cast<float>(all[s][e][j]);
        }
      }
      cache.valid = true;
    }
  }
  return &cache.value[stage][0][0];
}

}  // namespace

bool ReflectionSearchHasAvx2() { return __builtin_cpu_supports("avx2"); }

__attribute__((target("avx2"))) int SearchStageAvx2(const ChannelCodebook& codebook, int stage,
                                                    const float* acc, const float* asinU, const float* weight,
                                                    float limit, const float* asinOfQ15, float rejectedError,
                                                    float largestFloat) {
  const float* transposed = TransposedStage(codebook, stage);
  const __m256 upper = _mm256_set1_ps(limit);
  const __m256 lower = _mm256_set1_ps(-limit);
  const __m256 toFloat = _mm256_set1_ps(kQ15ToFloat);
  const __m256i maxIndex = _mm256_set1_epi32(32767);
  const __m256i minIndex = _mm256_set1_epi32(-32767);
  float best = largestFloat;
  int bestEntry = 0;
  for (int group = 0; group < kCandidateGroups; ++group) {
    // A partial error never shrinks as non-negative terms are added (float
    // rounding is monotonic), so once every lane's partial error is at least
    // the best so far, none of these candidates can win and the rest of
    // their components are not looked up.
    const __m256 bestSoFar = _mm256_set1_ps(best);
    __m256 err = _mm256_setzero_ps();
    __m256 outside = _mm256_setzero_ps();
    for (int j = 0; j < kReflectionOrder; ++j) {
      const __m256 v = _mm256_load_ps(transposed + kStageEntries * j + kLanes * group);
      const __m256 sum = _mm256_add_ps(v, _mm256_set1_ps(acc[j]));
      const __m256 q = _mm256_mul_ps(sum, toFloat);
      outside = _mm256_or_ps(
          outside, _mm256_or_ps(_mm256_cmp_ps(q, upper, _CMP_GT_OQ), _mm256_cmp_ps(q, lower, _CMP_LT_OQ)));
      // Accepted sums are whole numbers below 32768 in magnitude, exact
      // indices; others are clamped only to keep the read inside the table.
      const __m256i index = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(sum), maxIndex), minIndex);
      alignas(32) int32_t at[kLanes];
      _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
      const __m256 asinQ =
          _mm256_setr_ps(asinOfQ15[at[0]], asinOfQ15[at[1]], asinOfQ15[at[2]], asinOfQ15[at[3]],
                         asinOfQ15[at[4]], asinOfQ15[at[5]], asinOfQ15[at[6]], asinOfQ15[at[7]]);
      const __m256 d = _mm256_sub_ps(_mm256_set1_ps(asinU[j]), asinQ);
      err = _mm256_add_ps(err, _mm256_mul_ps(_mm256_set1_ps(weight[j]), _mm256_mul_ps(d, d)));
      if (_mm256_movemask_ps(_mm256_cmp_ps(err, bestSoFar, _CMP_GE_OQ)) == 0xFF) break;
    }
    // A rejected candidate scores the rejection value (a pruned one scores at
    // least the best, and so does the rejection value then).
    alignas(32) float error[kLanes];
    _mm256_store_ps(error, _mm256_blendv_ps(err, _mm256_set1_ps(rejectedError), outside));
    for (int l = 0; l < kLanes; ++l) {
      if (error[l] < best) {
        best = error[l];
        bestEntry = kLanes * group + l;
      }
    }
  }
  return bestEntry;
}

}  // namespace clipvane
