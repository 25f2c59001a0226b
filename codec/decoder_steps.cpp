#include "codec/decoder_steps.h"

#include <algorithm>

#include "codec/fixed_point.h"

namespace clipvane {

namespace {

inline constexpr int32_t kFilterUnity = 16384;  // 1.0 in Q14
inline constexpr int kTaperSamples = 7;         // weights rise 1..7 and fall 7..1

}  // namespace

void LongTermPrediction(const int32_t* history, int lagCode, int32_t* out) {
  // The delay is lagCode + 129, so the prediction always reaches back before
  // the current block. The weight is 8/16 in the middle and tapers at both ends
  // so that the copied segment does not start or stop abruptly.
  const int32_t* source = history + (kBlockSamples - 1 - lagCode);
  for (int m = 0; m < kTaperSamples; ++m) out[m] = WrapMul(source[m], m + 1) >> 4;
  for (int m = kTaperSamples; m < kBlockSamples - kTaperSamples; ++m) out[m] = source[m] >> 1;
  for (int m = kBlockSamples - kTaperSamples; m < kBlockSamples; ++m) {
    out[m] = WrapMul(source[m], kBlockSamples - m) >> 4;
  }
}

void ReflectionToFilter(const int32_t* reflection, int32_t* coefficients) {
  // Step-up recursion in Q15; a[i] holds a_i of the current order.
  int32_t a[kReflectionOrder + 1] = {};
  a[1] = reflection[0];
  for (int m = 2; m <= kReflectionOrder; ++m) {
    const int32_t k = reflection[m - 1];
    // Each new a_i and its mirror a_(m-i) are formed from the previous order's
    // pair, so the update can run in place two at a time.
    for (int i = 1, j = m - 1; i <= j; ++i, --j) {
      const int32_t ai = a[i];
      const int32_t aj = a[j];
      a[i] = WrapAdd(ai, WrapMul(k, aj) >> 15);
      if (i != j) a[j] = WrapAdd(aj, WrapMul(k, ai) >> 15);
    }
    a[m] = k;
  }
  // Q15 to Q14, negated: the synthesis filter adds where the analysis filter
  // subtracts.
  for (int i = 1; i <= kReflectionOrder; ++i) coefficients[i - 1] = -(a[i] >> 1);
}

void DecodeSpectrum(AudioDecoderState& state, int index0, int index1, int index2,
                    int32_t (*subBlockFilterSets)[kFilterSetSize], bool keyBlock) {
  const ChannelCodebook& codebook = state.codebook;
  const int32_t* base = keyBlock ? codebook.keyBase : state.previousReflection;
  const int16_t* stage0 = codebook.spectrumCodewords[0][index0];
  const int16_t* stage1 = codebook.spectrumCodewords[1][index1];
  const int16_t* stage2 = codebook.spectrumCodewords[2][index2];

  // The stage entries are differences added to the prediction; nothing decays
  // the prediction, so the sum is taken in wrapping 32-bit arithmetic.
  int32_t reflection[kReflectionOrder];
  for (int j = 0; j < kReflectionOrder; ++j) {
    reflection[j] = WrapAdd(WrapAdd(WrapAdd(base[j], stage0[j]), stage1[j]), stage2[j]);
  }

  int32_t next[kFilterSetSize];
  next[0] = kFilterUnity;
  ReflectionToFilter(reflection, next + 1);

  if (keyBlock) {
    for (int s = 0; s < kSubBlocks; ++s) std::copy(next, next + kFilterSetSize, subBlockFilterSets[s]);
  } else {
    // Glide from the previous block's filter to the new one over the four
    // sub-blocks: 1/4, 1/2, 3/4 and all of the way.
    const int32_t* previous = state.previousFilterSet;
    for (int i = 0; i < kFilterSetSize; ++i) {
      const int32_t middle = WrapAdd(previous[i], next[i]) >> 1;
      subBlockFilterSets[0][i] = WrapAdd(previous[i], middle) >> 1;
      subBlockFilterSets[1][i] = middle;
      subBlockFilterSets[2][i] = WrapAdd(next[i], middle) >> 1;
      subBlockFilterSets[3][i] = next[i];
    }
  }

  std::copy(reflection, reflection + kReflectionOrder, state.previousReflection);
  std::copy(next, next + kFilterSetSize, state.previousFilterSet);
}

void SynthesisFilter(int32_t* samples, int count, const int32_t* filterSet, int32_t* memory) {
  // The outputs are kept in a line whose first 8 values are the memory, oldest
  // first, so no value is moved per sample; the line restarts every 32 samples.
  constexpr int kOrder = kReflectionOrder;
  uint32_t c[kOrder];
  for (int i = 0; i < kOrder; ++i) c[i] = static_cast<uint32_t>(filterSet[i + 1]);
  uint32_t line[kOrder + kSubBlockSamples];

  for (int done = 0; done < count; done += kSubBlockSamples) {
    const int chunk = std::min(kSubBlockSamples, count - done);
    for (int i = 0; i < kOrder; ++i) line[i] = static_cast<uint32_t>(memory[kOrder - 1 - i]);
    int32_t* x = samples + done;
    for (int n = 0; n < chunk; ++n) {
      // y[n - 1 - i] sits at line[kOrder + n - 1 - i]; all sums wrap modulo 2^32.
      const uint32_t* past = line + n;
      // The newest output enters last, so the other seven products need not
      // wait for it: the recursion's critical path is one multiply and add.
      uint32_t sum = static_cast<uint32_t>(x[n]) * static_cast<uint32_t>(kFilterUnity);
      sum += c[7] * past[0] + c[6] * past[1] + c[5] * past[2] + c[4] * past[3];
      sum += c[3] * past[4] + c[2] * past[5] + c[1] * past[6];
      sum += c[0] * past[7];
      const int32_t y = static_cast<int32_t>(sum) >> 14;
      line[kOrder + n] = static_cast<uint32_t>(y);
      x[n] = y;
    }
    for (int i = 0; i < kOrder; ++i) memory[i] = static_cast<int32_t>(line[kOrder + chunk - 1 - i]);
  }
}

}  // namespace clipvane
