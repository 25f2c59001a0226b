// The vector-lane kernels against their plain scalar formulations, bit for bit.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {
namespace {

bool SameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

TEST(EncoderLanes, AutocorrelationEqualsNineDoubleSumsInSampleOrder) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 500; ++trial) {
    // From quiet to the largest DC-removed values the window can see.
    const float range = trial % 3 == 0 ? 10.0f : (trial % 3 == 1 ? 3000.0f : 70000.0f);
    std::uniform_real_distribution<float> value(-range, range);
    float windowed[kAnalysisSamples];
    for (float& x : windowed) x = value(rng);
    if (trial % 7 == 0) std::memset(windowed, 0, 40 * sizeof(float));
    float fast[kReflectionOrder + 1];
    float portable[kReflectionOrder + 1];
    ComputeAutocorrelation(windowed, fast);
    ComputeAutocorrelationPortable(windowed, portable);
    for (int k = 0; k <= kReflectionOrder; ++k) {
      double sum = 0.0;
      for (int n = k; n < kAnalysisSamples; ++n) sum += static_cast<double>(windowed[n]) * windowed[n - k];
      ASSERT_TRUE(SameFloat(fast[k], static_cast<float>(sum))) << "trial " << trial << " lag " << k;
      ASSERT_TRUE(SameFloat(portable[k], static_cast<float>(sum))) << "trial " << trial << " lag " << k;
    }
  }
}

TEST(EncoderLanes, FiveWeightingLanesEqualFiveScalarFilters) {
  std::mt19937 rng(22);
  std::uniform_real_distribution<float> coefficient(-0.9f, 0.9f);
  for (int trial = 0; trial < 200; ++trial) {
    std::uniform_int_distribution<int32_t> value(trial % 2 ? -40000 : -300, trial % 2 ? 40000 : 300);
    float p[9] = {1.0f};
    float q[9] = {1.0f};
    for (int i = 1; i <= 8; ++i) {
      p[i] = coefficient(rng);
      q[i] = coefficient(rng) * 0.5f;
    }
    int32_t input[kWeightingLanes][kBlockSamples];
    alignas(32) float lanes[kBlockSamples][kWeightingLaneWidth] = {};
    float memory[kWeightingLanes][kReflectionOrder];
    float scalarMemory[kWeightingLanes][kReflectionOrder];
    for (int lane = 0; lane < kWeightingLanes; ++lane) {
      for (int n = 0; n < kBlockSamples; ++n) {
        input[lane][n] = value(rng);
        lanes[n][lane] = static_cast<float>(input[lane][n]);
      }
      for (int k = 0; k < kReflectionOrder; ++k)
        memory[lane][k] = scalarMemory[lane][k] = coefficient(rng) * 100.0f;
    }
    const float start[kWeightingLanes] = {0.0f, 0.0f, 0.0f, 0.0f, 1.0f};
    float sums[kWeightingLanes];
    float portableMemory[kWeightingLanes][kReflectionOrder];
    std::memcpy(portableMemory, memory, sizeof(memory));
    float portableSums[kWeightingLanes];
    WeightingFilterLanes(lanes, p, q, memory, start, sums);
    WeightingFilterLanesPortable(lanes, p, q, portableMemory, start, portableSums);
    ASSERT_EQ(std::memcmp(sums, portableSums, sizeof(sums)), 0);
    ASSERT_EQ(std::memcmp(memory, portableMemory, sizeof(memory)), 0);
    for (int lane = 0; lane < kWeightingLanes; ++lane) {
      float out[kBlockSamples];
      WeightingFilter(input[lane], p, q, scalarMemory[lane], out);
      float sum = start[lane];
      for (float y : out) sum = sum + y * y;
      ASSERT_TRUE(SameFloat(sums[lane], sum)) << "trial " << trial << " lane " << lane;
      for (int k = 0; k < kReflectionOrder; ++k)
        ASSERT_TRUE(SameFloat(memory[lane][k], scalarMemory[lane][k]));
    }
  }
}

TEST(EncoderLanes, LowPassEqualsTheTapByTapSum) {
  static const float kTaps5[19] = {-85,  -310, -531, -511, 0, 1150, 2893, 4960, 6897, 8192,
                                   6897, 4960, 2893, 1150, 0, -511, -531, -310, -85};
  static const float kTaps3[11] = {-134, -374, 0, 2054, 5741, 8192, 5741, 2054, 0, -374, -134};
  std::mt19937 rng(23);
  std::uniform_int_distribution<int32_t> value(-2000000, 2000000);
  for (int trial = 0; trial < 200; ++trial) {
    int32_t residual[kBlockSamples];
    for (int32_t& r : residual) r = trial % 2 ? value(rng) : value(rng) / 1000;
    float padded[kBlockSamples + 18] = {};
    for (int k = 0; k < kBlockSamples; ++k) padded[9 + k] = static_cast<float>(residual[k]);
    for (const auto& [taps, count] : {std::pair{kTaps3, 11}, std::pair{kTaps5, 19}}) {
      const int centre = (count - 1) / 2;
      float fast[kBlockSamples];
      float portable[kBlockSamples];
      LowPassLanes(padded, taps, count, 9 - centre, fast);
      LowPassLanesPortable(padded, taps, count, 9 - centre, portable);
      ASSERT_EQ(std::memcmp(fast, portable, sizeof(fast)), 0);
      for (int k = 0; k < kBlockSamples; ++k) {
        // Taps reaching outside the block are skipped.
        float sum = 0.0f;
        for (int l = 0; l < count; ++l) {
          const int at = k + l - centre;
          if (at >= 0 && at < kBlockSamples) sum = sum + taps[l] * static_cast<float>(residual[at]);
        }
        ASSERT_EQ(fast[k], sum * (1.0f / 8192.0f)) << "trial " << trial << " k " << k;
      }
    }
  }
}

}  // namespace
}  // namespace clipvane
