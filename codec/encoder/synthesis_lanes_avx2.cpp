// The four packet-mode trials' synthesis side by side in AVX2 lanes (this
// file alone is built with -mavx2). All four run the same
// sub-block filter sets over their own excitation and memory, so each mode
// takes one lane. The filter's sum is wrapping 32-bit integer arithmetic, which
// does not depend on the order of its terms; only the final arithmetic shift
// by 14 is nonlinear, and it is applied to the same 32-bit sum as the scalar
// filter forms. Every lane is therefore bit for bit the decoder's filter.
//
// Each mode's value sits in the low half of a 64-bit lane: the unsigned 32 x 32
// to 64-bit multiply has half the latency of the 32-bit one, and the low 32
// bits of its product are the wrapping product whatever the upper halves of
// its operands hold. The recursion's critical path is then one such multiply,
// one add and one shift per sample.

#include <immintrin.h>

#include "codec/encoder/encoder_kernels.h"

namespace clipvane {

namespace {

// Sum of x << 14 and c_i * y[n - 1 - i] for i = 1..7 (c indexed from 0 for c_1),
// then the newest output's product, then the shift.
inline __attribute__((always_inline)) __m256i Step(__m256i x, const __m256i* c, __m256i y1,
                                                                  __m256i y2, __m256i y3, __m256i y4,
                                                                  __m256i y5, __m256i y6, __m256i y7,
                                                                  __m256i y8) {
  const __m256i a = _mm256_add_epi64(_mm256_mul_epu32(c[7], y8), _mm256_mul_epu32(c[6], y7));
  const __m256i b = _mm256_add_epi64(_mm256_mul_epu32(c[5], y6), _mm256_mul_epu32(c[4], y5));
  const __m256i d = _mm256_add_epi64(_mm256_mul_epu32(c[3], y4), _mm256_mul_epu32(c[2], y3));
  const __m256i e = _mm256_add_epi64(_mm256_mul_epu32(c[1], y2), x);
  const __m256i rest = _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(d, e));
  // The arithmetic shift of each 32-bit half: the low halves are the results,
  // the high halves are never read as values.
  return _mm256_srai_epi32(_mm256_add_epi64(rest, _mm256_mul_epu32(c[0], y1)), 14);
}

inline __attribute__((always_inline)) __m256i LoadExcitation(const int32_t* lanes) {
  const __m256i x = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes)));
  return _mm256_slli_epi32(x, 14);  // x * 16384, wrapping in the low half
}

inline __attribute__((always_inline)) void StoreOutput(int32_t* lanes, __m256i y) {
  const __m256i lowHalves = _mm256_permutevar8x32_epi32(y, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm256_castsi256_si128(lowHalves));
}

}  // namespace

void SynthesisLanesAvx2(const int32_t (*excitation)[kSynthesisLanes],
                        const int32_t (*subBlockFilterSets)[kFilterSetSize], int32_t (*memory)[kReflectionOrder],
                        int32_t (*synthesis)[kSynthesisLanes]) {
  // y1 is the newest output, y8 the oldest.
  __m256i y[kReflectionOrder];
  for (int i = 0; i < kReflectionOrder; ++i) {
    y[i] = _mm256_setr_epi32(memory[0][i], 0, memory[1][i], 0, memory[2][i], 0, memory[3][i], 0);
  }
  __m256i y1 = y[0], y2 = y[1], y3 = y[2], y4 = y[3], y5 = y[4], y6 = y[5], y7 = y[6], y8 = y[7];
  for (int b = 0; b < kSubBlocks; ++b) {
    __m256i c[kReflectionOrder];
    for (int i = 0; i < kReflectionOrder; ++i) c[i] = _mm256_set1_epi32(subBlockFilterSets[b][i + 1]);
    // Eight samples per pass, so the outputs move through the named
    // registers without copies.
    for (int n = b * kSubBlockSamples; n < (b + 1) * kSubBlockSamples; n += 8) {
      y8 = Step(LoadExcitation(excitation[n]), c, y1, y2, y3, y4, y5, y6, y7, y8);
      StoreOutput(synthesis[n], y8);
      y7 = Step(LoadExcitation(excitation[n + 1]), c, y8, y1, y2, y3, y4, y5, y6, y7);
      StoreOutput(synthesis[n + 1], y7);
      y6 = Step(LoadExcitation(excitation[n + 2]), c, y7, y8, y1, y2, y3, y4, y5, y6);
      StoreOutput(synthesis[n + 2], y6);
      y5 = Step(LoadExcitation(excitation[n + 3]), c, y6, y7, y8, y1, y2, y3, y4, y5);
      StoreOutput(synthesis[n + 3], y5);
      y4 = Step(LoadExcitation(excitation[n + 4]), c, y5, y6, y7, y8, y1, y2, y3, y4);
      StoreOutput(synthesis[n + 4], y4);
      y3 = Step(LoadExcitation(excitation[n + 5]), c, y4, y5, y6, y7, y8, y1, y2, y3);
      StoreOutput(synthesis[n + 5], y3);
      y2 = Step(LoadExcitation(excitation[n + 6]), c, y3, y4, y5, y6, y7, y8, y1, y2);
      StoreOutput(synthesis[n + 6], y2);
      y1 = Step(LoadExcitation(excitation[n + 7]), c, y2, y3, y4, y5, y6, y7, y8, y1);
      StoreOutput(synthesis[n + 7], y1);
    }
  }
  // After a multiple of eight samples the newest output is back in y1.
  y[0] = y1, y[1] = y2, y[2] = y3, y[3] = y4, y[4] = y5, y[5] = y6, y[6] = y7, y[7] = y8;
  for (int i = 0; i < kReflectionOrder; ++i) {
    alignas(32) int32_t halves[2 * kSynthesisLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(halves), y[i]);
    for (int lane = 0; lane < kSynthesisLanes; ++lane) memory[lane][i] = halves[2 * lane];
  }
}

}  // namespace clipvane
