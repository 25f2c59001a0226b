#pragma once
// What the AVX2 and AVX-512 nearest-entry kernels share: the 8x8 transpose
// that turns eight records into eight component vectors, and the scalar
// search of the records (and values) that do not fill a group of lanes.
// Included only by those two files. Everything here has internal linkage, so
// each file keeps the copy compiled with its own instruction set and none can
// stand in for the other's.

#include <immintrin.h>

#include "codebook/nearest_entry_kernels.h"

namespace clipvane::detail {
namespace {

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

// Scalar search of one record: squares in component order, strictly smaller
// distances only, as every lane of the vector kernels does.
inline void NearestOneRecord(const float* record, const float* entries, int entryCount, int* index,
                             float* distance) {
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

// The scalar form for one value.
inline void NearestOneLevel(float value, const float* levels, int levelCount, int* index, float* distance) {
  int bestIndex = 0;
  float best = kNoDistance;
  for (int e = 0; e < levelCount; ++e) {
    const float d = value - levels[e];
    const float squared = d * d;
    if (best > squared) {
      best = squared;
      bestIndex = e;
    }
  }
  *index = bestIndex;
  *distance = best;
}

}  // namespace
}  // namespace clipvane::detail
