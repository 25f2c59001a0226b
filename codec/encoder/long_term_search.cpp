// Long-term prediction: the delay (129..254 samples) at which half the past
// excitation best matches the residual, and its removal from the residual.

#include <algorithm>

#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "codec/fixed_point.h"

namespace clipvane {

float ResidualEnergy(const int32_t* residual) {
  float energy = 0.0f;
  for (int i = 0; i < kBlockSamples; ++i) {
    const float r = static_cast<float>(residual[i]);
    energy = energy + r * r;
  }
  return energy;
}

LagSearchResult ChooseLongTermLag(const float* error, float energy) {
  // The least error is taken in four interleaved runs (a minimum does not
  // depend on the order it is taken in, and std::min passes over a NaN as
  // the comparison in order would); the first lag holding it is the one an
  // in-order search for a strictly smaller error keeps.
  constexpr int kRuns = 4;
  float least[kRuns] = {kLargestFloat, kLargestFloat, kLargestFloat, kLargestFloat};
  int lag = 0;
  for (; lag + kRuns <= kLagCodes; lag += kRuns) {
    for (int r = 0; r < kRuns; ++r) least[r] = std::min(least[r], error[lag + r]);
  }
  for (; lag < kLagCodes; ++lag) least[0] = std::min(least[0], error[lag]);
  const float best = std::min(std::min(least[0], least[1]), std::min(least[2], least[3]));
  LagSearchResult result;
  if (best < kLargestFloat) {
    while (!(error[result.lagCode] == best)) ++result.lagCode;
  }
  result.usable = best < energy;
  return result;
}

void LongTermAnalysisShape(const int32_t* history, int lagCode, int32_t* out) {
  const int32_t* source = history + (kBlockSamples - 1 - lagCode);
  for (int i = 0; i < kBlockSamples; ++i) {
    const int32_t w = TaperWeight(i);
    out[i] = w == 8 ? source[i] >> 1 : WrapMul(source[i] >> 1, w) >> 3;
  }
}

void RemoveLongTermPrediction(int32_t* residual, const int32_t* history, int lagCode) {
  int32_t prediction[kBlockSamples];
  LongTermAnalysisShape(history, lagCode, prediction);
  for (int i = 0; i < kBlockSamples; ++i) residual[i] = WrapSub(residual[i], prediction[i]);
}

LagSearchResult SearchLongTermLagPlain(const int32_t* residual, const int32_t* history) {
  float error[kLagCodes];
  int32_t prediction[kBlockSamples];
  for (int lag = 0; lag < kLagCodes; ++lag) {
    LongTermAnalysisShape(history, lag, prediction);
    float sum = 0.0f;
    for (int i = 0; i < kBlockSamples; ++i) {
      const float d = static_cast<float>(WrapSub(residual[i], prediction[i]));
      sum = sum + d * d;
    }
    error[lag] = sum;
  }
  return ChooseLongTermLag(error, ResidualEnergy(residual));
}

}  // namespace clipvane
