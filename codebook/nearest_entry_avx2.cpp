// AVX2 kernels of the batch nearest-entry search, built only for x86 targets.
// This file alone is built with -mavx2 (never -mfma: a fused multiply-add would round differently from the
// plain search). Its helpers, and those it shares with the AVX-512 file
// (nearest_entry_x86.h), have internal linkage, so no function compiled here
// with AVX2 instructions can stand in for another file's.
//
// Eight records are searched at once, one per lane: the lane's running
// distance takes the squares in component order and a lane replaces its best
// only on a strictly smaller distance, exactly like the scalar search.

#include <immintrin.h>

#include "codebook/nearest_entry_kernels.h"
#include "codebook/nearest_entry_x86.h"

namespace clipvane::detail {
namespace {

constexpr int kLanes = 8;

inline __m256 Square(__m256 x, const float* component) {
  const __m256 d = _mm256_sub_ps(x, _mm256_broadcast_ss(component));
  return _mm256_mul_ps(d, d);
}

}  // namespace

void NearestEntriesAvx2(const float* records, int recordCount, const float* entries, int entryCount,
                        int* indices, float* distances) {
  int r = 0;
  for (; r + kLanes <= recordCount; r += kLanes) {
    __m256 x[kSearchDimension];
    for (int lane = 0; lane < kLanes; ++lane) x[lane] = _mm256_loadu_ps(records + (r + lane) * kSearchDimension);
    Transpose8x8(x);
    __m256 best = _mm256_set1_ps(kNoDistance);
    __m256 bestIndex = _mm256_castsi256_ps(_mm256_setzero_si256());
    for (int e = 0; e < entryCount; ++e) {
      const float* entry = entries + e * kSearchDimension;
      // 0 + d*d is d*d exactly (a square is never -0), so the sum starts at
      // the first square; the rest are added one component after another.
      __m256 sum = Square(x[0], entry + 0);
      sum = _mm256_add_ps(sum, Square(x[1], entry + 1));
      sum = _mm256_add_ps(sum, Square(x[2], entry + 2));
      sum = _mm256_add_ps(sum, Square(x[3], entry + 3));
      sum = _mm256_add_ps(sum, Square(x[4], entry + 4));
      sum = _mm256_add_ps(sum, Square(x[5], entry + 5));
      sum = _mm256_add_ps(sum, Square(x[6], entry + 6));
      sum = _mm256_add_ps(sum, Square(x[7], entry + 7));
      // Ordered, quiet "best > sum": a NaN distance is never taken.
      const __m256 take = _mm256_cmp_ps(sum, best, _CMP_LT_OQ);
      best = _mm256_blendv_ps(best, sum, take);
      bestIndex = _mm256_blendv_ps(bestIndex, _mm256_castsi256_ps(_mm256_set1_epi32(e)), take);
    }
    _mm256_storeu_ps(distances + r, best);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices + r), _mm256_castps_si256(bestIndex));
  }
  for (; r < recordCount; ++r) {
    NearestOneRecord(records + r * kSearchDimension, entries, entryCount, indices + r, distances + r);
  }
}

void NearestLevelsAvx2(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                       float* distances) {
  int r = 0;
  for (; r + kLanes <= valueCount; r += kLanes) {
    const __m256 x = _mm256_loadu_ps(values + r);
    __m256 best = _mm256_set1_ps(kNoDistance);
    __m256 bestIndex = _mm256_castsi256_ps(_mm256_setzero_si256());
    for (int e = 0; e < levelCount; ++e) {
      const __m256 distance = Square(x, levels + e);
      const __m256 take = _mm256_cmp_ps(distance, best, _CMP_LT_OQ);
      best = _mm256_blendv_ps(best, distance, take);
      bestIndex = _mm256_blendv_ps(bestIndex, _mm256_castsi256_ps(_mm256_set1_epi32(e)), take);
    }
    _mm256_storeu_ps(distances + r, best);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices + r), _mm256_castps_si256(bestIndex));
  }
  for (; r < valueCount; ++r) NearestOneLevel(values[r], levels, levelCount, indices + r, distances + r);
}

}  // namespace clipvane::detail
