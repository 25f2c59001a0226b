// AVX-512 kernel of the batch nearest-entry search: sixteen records at once,
// one per lane, with the same per-lane arithmetic as the AVX2 kernel (squares
// added in component order, strictly smaller distances only). Built with
// -mavx512f alone (no FMA contraction), only for x86 targets, and called only
// through the set a run-time check chose.

#include <immintrin.h>

#include "codebook/nearest_entry_kernels.h"

namespace clipvane::detail {
namespace {

constexpr int kLanes = 16;

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

inline __m512 Square(__m512 x, const float* component) {
  const __m512 d = _mm512_sub_ps(x, _mm512_set1_ps(*component));
  return _mm512_mul_ps(d, d);
}

}  // namespace

void NearestEntriesAvx512(const float* records, int recordCount, const float* entries, int entryCount,
                          int* indices, float* distances) {
  int r = 0;
  for (; r + kLanes <= recordCount; r += kLanes) {
    __m256 low[kSearchDimension];
    __m256 high[kSearchDimension];
    for (int lane = 0; lane < 8; ++lane) {
      low[lane] = _mm256_loadu_ps(records + (r + lane) * kSearchDimension);
      high[lane] = _mm256_loadu_ps(records + (r + 8 + lane) * kSearchDimension);
    }
    Transpose8x8(low);
    Transpose8x8(high);
    // Component k of the 16 records, through a small buffer: cheap next to
    // the 64-entry loop, and free of the insert intrinsics' undefined lanes.
    alignas(64) float column[kSearchDimension][kLanes];
    for (int k = 0; k < kSearchDimension; ++k) {
      _mm256_store_ps(&column[k][0], low[k]);
      _mm256_store_ps(&column[k][8], high[k]);
    }
    __m512 x[kSearchDimension];
    for (int k = 0; k < kSearchDimension; ++k) x[k] = _mm512_load_ps(&column[k][0]);
    __m512 best = _mm512_set1_ps(kNoDistance);
    __m512i bestIndex = _mm512_setzero_si512();
    for (int e = 0; e < entryCount; ++e) {
      const float* entry = entries + e * kSearchDimension;
      // 0 + d*d is d*d exactly (a square is never -0).
      __m512 sum = Square(x[0], entry + 0);
      sum = _mm512_add_ps(sum, Square(x[1], entry + 1));
      sum = _mm512_add_ps(sum, Square(x[2], entry + 2));
      sum = _mm512_add_ps(sum, Square(x[3], entry + 3));
      sum = _mm512_add_ps(sum, Square(x[4], entry + 4));
      sum = _mm512_add_ps(sum, Square(x[5], entry + 5));
      sum = _mm512_add_ps(sum, Square(x[6], entry + 6));
      sum = _mm512_add_ps(sum, Square(x[7], entry + 7));
      const __mmask16 take = _mm512_cmp_ps_mask(sum, best, _CMP_LT_OQ);
      best = _mm512_mask_mov_ps(best, take, sum);
      bestIndex = _mm512_mask_mov_epi32(bestIndex, take, _mm512_set1_epi32(e));
    }
    _mm512_storeu_ps(distances + r, best);
    _mm512_storeu_si512(indices + r, bestIndex);
  }
  if (r < recordCount) {
    NearestEntriesAvx2(records + r * kSearchDimension, recordCount - r, entries, entryCount, indices + r,
                       distances + r);
  }
}

}  // namespace clipvane::detail
