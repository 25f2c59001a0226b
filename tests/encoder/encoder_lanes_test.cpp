// The vector-lane kernels against their plain scalar formulations, bit for bit.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/encoder/encoder_steps.h"

namespace clipvane {
namespace {

bool SameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

TEST(EncoderLanes, FusedDcRemovalWindowAndCorrelationEqualTheSeparateSteps) {
  std::mt19937 rng(24);
  for (int trial = 0; trial < 300; ++trial) {
    const int amplitude = trial % 4 == 0 ? 32768 : (trial % 4 == 1 ? 100 : 8000);
    std::uniform_int_distribution<int> value(-amplitude, amplitude - 1);
    int16_t samples[256];
    for (int16_t& x : samples) x = static_cast<int16_t>(value(rng));
    std::uniform_int_distribution<int32_t> carried(-70000, 70000);
    const int32_t startInput = static_cast<int16_t>(value(rng));
    const int32_t startOutput = carried(rng);

    // The steps one after another, written plainly.
    int32_t y[kAnalysisSamples];
    int32_t xPrevious = startInput;
    int32_t yPrevious = startOutput;
    int32_t stateInput = 0;
    int32_t stateOutput = 0;
    for (int n = 0; n < kAnalysisSamples; ++n) {
      // 32-bit arithmetic: a carried output beyond 65601 wraps the product.
      const int32_t product = static_cast<int32_t>(static_cast<uint32_t>(yPrevious) * 32735u + 16384u);
      y[n] = (product >> 15) + samples[n] - xPrevious;
      xPrevious = samples[n];
      yPrevious = y[n];
      if (n == 127) {
        stateInput = xPrevious;
        stateOutput = yPrevious;
      }
    }
    float windowed[kAnalysisSamples];
    for (int n = 0; n < kAnalysisSamples; ++n) windowed[n] = static_cast<float>(y[n]) * kAnalysisWindow[n];
    float correlation[kReflectionOrder + 1];
    for (int k = 0; k <= kReflectionOrder; ++k) {
      double sum = 0.0;
      for (int n = k; n < kAnalysisSamples; ++n) sum += static_cast<double>(windowed[n]) * windowed[n - k];
      correlation[k] = static_cast<float>(sum);
    }

    for (bool portable : {false, true}) {
      HighPassState highPass{startInput, startOutput};
      int32_t filtered[256] = {};
      float fusedWindowed[kAnalysisSamples];
      float fusedCorrelation[kReflectionOrder + 1];
      if (portable) {
        FilterWindowCorrelatePortable(samples, highPass, filtered, fusedWindowed, fusedCorrelation);
      } else {
        FilterWindowCorrelate(samples, highPass, filtered, fusedWindowed, fusedCorrelation);
      }
      ASSERT_EQ(highPass.input, stateInput);
      ASSERT_EQ(highPass.output, stateOutput) << "the state after sample 127, not after the look-ahead";
      ASSERT_EQ(std::memcmp(filtered, y, sizeof(y)), 0) << trial;
      ASSERT_EQ(std::memcmp(fusedWindowed, windowed, sizeof(windowed)), 0) << trial;
      ASSERT_EQ(std::memcmp(fusedCorrelation, correlation, sizeof(correlation)), 0) << trial;
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
