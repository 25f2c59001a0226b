// One stage of the reflection-coefficient search with eight candidates side by
// side in AVX2 lanes. Each lane adds its candidate's error terms in component
// order, every term being the same float as in the scalar search, and a
// candidate with any component out of range takes the rejection value, as if
// the scalar search had stopped there. Groups that provably cannot win are
// cut short. The choice is the scalar search's. This file alone is built with
// -mavx2.

#include <immintrin.h>

#include "codec/encoder/encoder_kernels.h"

namespace clipvane {

namespace {

constexpr int kLanes = 8;
constexpr int kCandidateGroups = kStageEntries / kLanes;

// The arcsine lookups of one component for eight candidates: the running
// coefficients' table indices, whether any is beyond the limit, and the
// weighted squared arcsine difference (the same float as the scalar term).
struct StageLanes {
  const float* transposed;
  const float* acc;
  const float* asinU;
  const float* asinOfQ15;
  __m256 upper, lower;

  inline __attribute__((always_inline)) __m256 Term(int group, int j, __m256& outside) const {
    const __m256 v = _mm256_loadu_ps(transposed + kStageEntries * j + kLanes * group);
    const __m256 sum = _mm256_add_ps(v, _mm256_set1_ps(acc[j]));
    const __m256 q = _mm256_mul_ps(sum, _mm256_set1_ps(kQ15ToFloat));
    outside = _mm256_or_ps(
        outside, _mm256_or_ps(_mm256_cmp_ps(q, upper, _CMP_GT_OQ), _mm256_cmp_ps(q, lower, _CMP_LT_OQ)));
    // Accepted sums are whole numbers below 32768 in magnitude, exact
    // indices; others are clamped only to keep the read inside the table.
    const __m256i index = _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(sum), _mm256_set1_epi32(32767)),
                                           _mm256_set1_epi32(-32767));
    alignas(32) int32_t at[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
    const __m256 asinQ = _mm256_setr_ps(asinOfQ15[at[0]], asinOfQ15[at[1]], asinOfQ15[at[2]], asinOfQ15[at[3]],
                                        asinOfQ15[at[4]], asinOfQ15[at[5]], asinOfQ15[at[6]], asinOfQ15[at[7]]);
    const __m256 d = _mm256_sub_ps(_mm256_set1_ps(asinU[j]), asinQ);
    return _mm256_mul_ps(_mm256_set1_ps(kStageWeight[j]), _mm256_mul_ps(d, d));
  }
};

// The whole stage in candidate order, for targets whose arcsine is not a
// number (every accepted candidate's error is then NaN and the order of the
// comparisons alone decides).
int SearchStageInOrder(const StageLanes& lanes) {
  float best = kLargestFloat;
  int bestEntry = 0;
  for (int group = 0; group < kCandidateGroups; ++group) {
    __m256 err = _mm256_setzero_ps();
    __m256 outside = _mm256_setzero_ps();
    for (int j = 0; j < kReflectionOrder; ++j) err = _mm256_add_ps(err, lanes.Term(group, j, outside));
    alignas(32) float error[kLanes];
    _mm256_store_ps(error, _mm256_blendv_ps(err, _mm256_set1_ps(kRejectedError), outside));
    for (int l = 0; l < kLanes; ++l) {
      if (error[l] < best) {
        best = error[l];
        bestEntry = kLanes * group + l;
      }
    }
  }
  return bestEntry;
}

// Slack for the arcsines' rounding: each table entry and each target arcsine
// is correctly rounded, within half a unit in the last place of the true
// value (below 1e-7 in all; the slack keeps a wide margin), and the bound's
// own float steps are covered by kBoundShrink.
constexpr float kArcsineSlack = 4e-6f;
constexpr float kBoundShrink = 0.99999f;
// sqrt(w_j) 2^-15 = 2^(-j/4) 2^-15, to within the shrink.
constexpr float kBoundFactor[kReflectionOrder] = {
    1.0f * kQ15ToFloat,         0.840896415f * kQ15ToFloat, 0.707106781f * kQ15ToFloat, 0.594603558f * kQ15ToFloat,
    0.5f * kQ15ToFloat,         0.420448208f * kQ15ToFloat, 0.353553391f * kQ15ToFloat, 0.297301779f * kQ15ToFloat};

}  // namespace

int SearchReflectionStageAvx2(const ReflectionStageSearch& search) {
  const float* transposed = search.transposed;
  const float* acc = search.acc;
  const float* u = search.u;
  const float* asinU = search.asinU;
  const float* asinOfQ15 = search.asinOfQ15;
  const float limit = search.limit;
  const StageLanes lanes{transposed, acc, asinU, asinOfQ15, _mm256_set1_ps(limit), _mm256_set1_ps(-limit)};
  for (int j = 0; j < kReflectionOrder; ++j) {
    if (asinU[j] != asinU[j]) return SearchStageInOrder(lanes);
  }
  // The scalar search keeps the first candidate of least score, a score
  // being the error or, for a candidate with any coefficient beyond the
  // limit, the rejection value (above every error). With finite errors that
  // is the lowest entry of least score whatever order the candidates are
  // scored in. The arcsine's slope is at least 1, so each term's arcsine
  // difference is at least |u - q| (less the rounding slack): a lower bound
  // of every score that needs no table reads. The candidate of least bound is
  // scored first; groups whose every bound lies above the best score so far
  // cannot win or tie and are not scored at all.
  // The bound is formed in Q15 units, where the running coefficients v + acc
  // are whole numbers: scaling by 2^15 is exact, so the limit test is the
  // one on q itself, and the weight and the scale fold into one factor
  // sqrt(w_j) 2^-15 (its rounding is covered by kBoundShrink).
  const __m256 rejected = _mm256_set1_ps(kRejectedError);
  const __m256 slack = _mm256_set1_ps(kArcsineSlack * 32768.0f);
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 reach = _mm256_set1_ps(limit * 32768.0f);
  __m256 targetQ15[kReflectionOrder];
  __m256 factor[kReflectionOrder];
  for (int j = 0; j < kReflectionOrder; ++j) {
    targetQ15[j] = _mm256_set1_ps(u[j] * 32768.0f);
    factor[j] = _mm256_set1_ps(kBoundFactor[j]);
  }
  alignas(32) float bound[kCandidateGroups][kLanes];
  for (int group = 0; group < kCandidateGroups; ++group) {
    __m256 lower = _mm256_setzero_ps();
    __m256 outside = _mm256_setzero_ps();
    for (int j = 0; j < kReflectionOrder; ++j) {
      const __m256 v = _mm256_loadu_ps(transposed + kStageEntries * j + kLanes * group);
      const __m256 sum = _mm256_add_ps(v, _mm256_set1_ps(acc[j]));
      outside = _mm256_or_ps(outside, _mm256_cmp_ps(_mm256_and_ps(sum, magnitude), reach, _CMP_GT_OQ));
      const __m256 apart = _mm256_and_ps(_mm256_sub_ps(targetQ15[j], sum), magnitude);
      const __m256 d = _mm256_mul_ps(_mm256_max_ps(_mm256_sub_ps(apart, slack), _mm256_setzero_ps()), factor[j]);
      lower = _mm256_add_ps(lower, _mm256_mul_ps(d, d));
    }
    lower = _mm256_mul_ps(lower, _mm256_set1_ps(kBoundShrink));
    _mm256_store_ps(bound[group], _mm256_blendv_ps(lower, rejected, outside));
  }
  // The first candidate of least bound: the lowest bound across the groups,
  // then the first lane holding it.
  __m256 least = _mm256_load_ps(bound[0]);
  for (int group = 1; group < kCandidateGroups; ++group) least = _mm256_min_ps(least, _mm256_load_ps(bound[group]));
  least = _mm256_min_ps(least, _mm256_permute2f128_ps(least, least, 1));
  least = _mm256_min_ps(least, _mm256_shuffle_ps(least, least, _MM_SHUFFLE(1, 0, 3, 2)));
  least = _mm256_min_ps(least, _mm256_shuffle_ps(least, least, _MM_SHUFFLE(2, 3, 0, 1)));
  int seed = 0;
  for (int group = 0; group < kCandidateGroups; ++group) {
    const int at = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_load_ps(bound[group]), least, _CMP_EQ_OQ));
    if (at != 0) {
      seed = kLanes * group + __builtin_ctz(static_cast<unsigned>(at));
      break;
    }
  }

  // Each candidate's score, its terms formed as in the lanes.
  const auto score = [&](int entry) {
    const int16_t* v = search.entries[entry];
    float err = 0.0f;
    for (int j = 0; j < kReflectionOrder; ++j) {
      const float sum = static_cast<float>(v[j]) + acc[j];
      const float q = sum * kQ15ToFloat;
      if (q > limit || q < -limit) return kRejectedError;
      const float d = asinU[j] - asinOfQ15[static_cast<int>(sum)];
      err = err + kStageWeight[j] * (d * d);
    }
    return err;
  };
  float best = score(seed);
  int bestEntry = seed;
  // Only candidates whose bound does not exceed the best so far are scored.
  for (int group = 0; group < kCandidateGroups; ++group) {
    unsigned alive = static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_cmp_ps(_mm256_load_ps(bound[group]), _mm256_set1_ps(best), _CMP_LE_OQ)));
    while (alive != 0) {
      const int entry = kLanes * group + __builtin_ctz(alive);
      alive &= alive - 1;
      if (entry == seed || bound[group][entry % kLanes] > best) continue;
      const float err = score(entry);
      if (err < best || (err == best && entry < bestEntry)) {
        best = err;
        bestEntry = entry;
      }
    }
  }
  return bestEntry;
}

}  // namespace clipvane
