// AVX-512 kernel of the batch nearest-entry search: sixteen records at once,
// one per lane, with the same per-lane arithmetic as the AVX2 kernel (squares
// added in component order, strictly smaller distances only). Built with
// -mavx512f alone (no FMA contraction), only for x86 targets, and called only
// through the set a run-time check chose.

#include <immintrin.h>

#include "codebook/nearest_entry_kernels.h"
#include "codebook/nearest_entry_x86.h"

namespace clipvane::detail {
namespace {

constexpr int kLanes = 16;

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
  for (; r < recordCount; ++r) {
    NearestOneRecord(records + r * kSearchDimension, entries, entryCount, indices + r, distances + r);
  }
}

}  // namespace clipvane::detail
