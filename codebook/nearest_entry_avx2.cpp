// AVX2 kernels of the batch nearest-entry search, built only for x86 targets.
// This file alone is built with -mavx2 (never -mfma: a fused multiply-add would round differently from the
// plain search). It uses nothing but intrinsics and plain loops, so no inline
// function compiled here with AVX2 instructions can be shared with other files.
//
// Eight records are searched at once, one per lane: the lane's running
// distance takes the squares in component order and a lane replaces its best
// only on a strictly smaller distance, exactly like the scalar search.

#include <immintrin.h>

#include "codebook/nearest_entry_kernels.h"

namespace clipvane::detail {
namespace {

constexpr int kLanes = 8;

// Scalar search of one record, for the records that do not fill a group of 8.
void NearestOneRecord(const float* record, const float* entries, int entryCount, int* index, float* distance) {
  int bestIndex = 0;
  float best = kNoDistance;
  for (int e = 0; e < entryCount; ++e) {
    const float* entry = entries + e * kSearchDimension;
    float sum = 0.0f;
    for (int k = 0; k < kSearchDimension; ++k) {
      const float d = record[k] - entry[k];
      sum = sum + d * d;
    }
    if (best > sum) {
      best = sum;
      bestIndex = e;
    }
  }
  *index = bestIndex;
  *distance = best;
}

// Turns 8 records (rows) into 8 component vectors (one record per lane).
inline void Transpose8x8(__m256 row[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(row[0], row[1]);
  const __m256 t1 = _mm256_unpackhi_ps(row[0], row[1]);
  const __m256 t2 = _mm256_unpacklo_ps(row[2], row[3]);
  const __m256 t3 = _mm256_unpackhi_ps(row[2], row[3]);
  const __m256 t4 = _mm256_unpacklo_ps(row[4], row[5]);
  const __m256 t5 = _mm256_unpackhi_ps(row[4], row[5]);
  const __m256 t6 = _mm256_unpacklo_ps(row[6], row[7]);
  const __m256 t7 = _mm256_unpackhi_ps(row[6], row[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44);
  const __m256 s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44);
  const __m256 s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  row[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  row[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  row[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  row[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  row[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  row[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  row[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  row[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

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
  for (; r < valueCount; ++r) {
    int bestIndex = 0;
    float best = kNoDistance;
    for (int e = 0; e < levelCount; ++e) {
      const float d = values[r] - levels[e];
      const float distance = d * d;
      if (best > distance) {
        best = distance;
        bestIndex = e;
      }
    }
    indices[r] = bestIndex;
    distances[r] = best;
  }
}

}  // namespace clipvane::detail
