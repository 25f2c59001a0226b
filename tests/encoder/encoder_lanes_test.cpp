// Every kernel set this processor runs (the plain one and the fast ones)
// against plain scalar formulations, bit for bit.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "codebook/channel_codebook.h"
#include "codec/encoder/encoder_kernels.h"
#include "codec/encoder/encoder_steps.h"
#include "tests/encoder/reference_encoder.h"

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

    for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
      SCOPED_TRACE(kernels->name);
      HighPassState highPass{startInput, startOutput};
      int32_t filtered[256] = {};
      float fusedWindowed[kAnalysisSamples];
      float fusedCorrelation[kReflectionOrder + 1];
      kernels->filterWindowCorrelate(samples, highPass, filtered, fusedWindowed, fusedCorrelation);
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
    float scalarSums[kWeightingLanes];
    for (int lane = 0; lane < kWeightingLanes; ++lane) {
      float out[kBlockSamples];
      WeightingFilter(input[lane], p, q, scalarMemory[lane], out);
      float sum = start[lane];
      for (float y : out) sum = sum + y * y;
      scalarSums[lane] = sum;
    }
    for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
      float laneMemory[kWeightingLanes][kReflectionOrder];
      std::memcpy(laneMemory, memory, sizeof(memory));
      float sums[kWeightingLanes];
      kernels->weightingLanes(lanes, p, q, laneMemory, start, sums);
      for (int lane = 0; lane < kWeightingLanes; ++lane) {
        ASSERT_TRUE(SameFloat(sums[lane], scalarSums[lane]))
            << kernels->name << " trial " << trial << " lane " << lane;
        for (int k = 0; k < kReflectionOrder; ++k)
          ASSERT_TRUE(SameFloat(laneMemory[lane][k], scalarMemory[lane][k])) << kernels->name;
      }
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
      for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
        float out[kBlockSamples];
        kernels->lowPass(padded, taps, count, 9 - centre, out);
        for (int k = 0; k < kBlockSamples; ++k) {
          // Taps reaching outside the block are skipped.
          float sum = 0.0f;
          for (int l = 0; l < count; ++l) {
            const int at = k + l - centre;
            if (at >= 0 && at < kBlockSamples) sum = sum + taps[l] * static_cast<float>(residual[at]);
          }
          ASSERT_TRUE(SameFloat(out[k], sum * (1.0f / 8192.0f)))
              << kernels->name << " trial " << trial << " k " << k;
        }
      }
    }
  }
}

TEST(EncoderLanes, PulseRunsEqualThePulseByPulseQuantiser) {
  // Halves, the clamps at both ends, infinities and NaN (a zero gain) in
  // every lane position.
  std::mt19937 rng(27);
  std::uniform_real_distribution<float> near(-2.0f, 9.0f);
  const float special[] = {0.5f,
                           -0.5f,
                           1.5f,
                           6.5f,
                           7.5f,
                           -0.0f,
                           std::nextafter(0.5f, 0.0f),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(),
                           3.0e9f,
                           -3.0e9f};
  for (int trial = 0; trial < 2000; ++trial) {
    float c[kPulseRun];
    for (float& x : c) {
      const int pick = static_cast<int>(rng() % 24);
      x = pick < 12 ? special[pick] : near(rng);
      if (pick >= 12 && pick < 16) x = std::round(x * 2.0f) / 2.0f;  // on a half
    }
    const int top = trial % 2 ? 7 : 3;
    const int count = kPulseRun - 4 * (trial % 4);
    int32_t levels[kPulseRun];
    QuantisePulses(c, count, top, levels);
    for (int i = 0; i < count; ++i) ASSERT_EQ(levels[i], QuantisePulse(c[i], top)) << c[i] << " top " << top;
  }
}

// The all-pole filter one sample at a time: y = (x * 16384 + sum c_i y[n-i]) >> 14
// in wrapping 32-bit arithmetic, the filter set changing every 32 samples.
void PlainSynthesis(const int32_t* x, const int32_t (*sets)[kFilterSetSize], const int32_t* memory,
                    int32_t* y, int32_t* memoryAfter) {
  int32_t past[kReflectionOrder + kBlockSamples];  // past[7 - i] = memory[i], then the outputs
  for (int i = 0; i < kReflectionOrder; ++i) past[kReflectionOrder - 1 - i] = memory[i];
  for (int n = 0; n < kBlockSamples; ++n) {
    const int32_t* set = sets[n / kSubBlockSamples];
    uint32_t sum = static_cast<uint32_t>(x[n]) * static_cast<uint32_t>(set[0]);
    for (int i = 1; i <= kReflectionOrder; ++i) {
      sum += static_cast<uint32_t>(set[i]) * static_cast<uint32_t>(past[kReflectionOrder + n - i]);
    }
    y[n] = past[kReflectionOrder + n] = static_cast<int32_t>(sum) >> 14;
  }
  for (int i = 0; i < kReflectionOrder; ++i) memoryAfter[i] = past[kReflectionOrder + kBlockSamples - 1 - i];
}

TEST(EncoderLanes, FourSynthesisLanesEqualTheSampleBySampleFilter) {
  std::mt19937 rng(25);
  std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
  for (int trial = 0; trial < 400; ++trial) {
    // Stable speech-like filters with modest signals, and arbitrary words
    // where every product and sum wraps.
    const bool wild = trial % 3 == 2;
    std::uniform_int_distribution<int32_t> coefficient(-12000, 12000);
    std::uniform_int_distribution<int32_t> excitationValue(-30000, 30000);
    int32_t sets[kSubBlocks][kFilterSetSize];
    for (auto& set : sets) {
      set[0] = 16384;
      for (int i = 1; i < kFilterSetSize; ++i) set[i] = wild ? any(rng) : coefficient(rng) / i;
    }
    alignas(16) int32_t excitation[kBlockSamples][kSynthesisLanes];
    int32_t memory[kSynthesisLanes][kReflectionOrder];
    for (int lane = 0; lane < kSynthesisLanes; ++lane) {
      for (int n = 0; n < kBlockSamples; ++n) excitation[n][lane] = wild ? any(rng) : excitationValue(rng);
      for (int i = 0; i < kReflectionOrder; ++i) memory[lane][i] = wild ? any(rng) : excitationValue(rng) * 4;
    }
    if (trial % 5 == 0) excitation[trial % kBlockSamples][trial % kSynthesisLanes] = INT32_MIN;

    for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
      alignas(16) int32_t out[kBlockSamples][kSynthesisLanes];
      int32_t laneMemory[kSynthesisLanes][kReflectionOrder];
      std::memcpy(laneMemory, memory, sizeof(memory));
      kernels->synthesisLanes(excitation, sets, laneMemory, out);
      for (int lane = 0; lane < kSynthesisLanes; ++lane) {
        int32_t x[kBlockSamples];
        for (int n = 0; n < kBlockSamples; ++n) x[n] = excitation[n][lane];
        int32_t y[kBlockSamples];
        int32_t after[kReflectionOrder];
        PlainSynthesis(x, sets, memory[lane], y, after);
        for (int n = 0; n < kBlockSamples; ++n) {
          ASSERT_EQ(out[n][lane], y[n]) << kernels->name << " trial " << trial << " lane " << lane << " n " << n;
        }
        for (int i = 0; i < kReflectionOrder; ++i) {
          ASSERT_EQ(laneMemory[lane][i], after[i]) << kernels->name << " trial " << trial << " lane " << lane;
        }
      }
    }
  }
}

TEST(EncoderLanes, BoundedReflectionSearchKeepsTiesRejectionsAndNonNumbers) {
  // Codebooks built to stress the search's shortcuts: many entries equal to
  // each other (ties go to the lowest entry), entries that reach beyond the
  // limit, exact hits (an error of zero), entries sharing one large error and
  // differing by a step or two in the light components (their scores round
  // to the same float while the order of their bounds differs), and targets
  // beyond +-1, whose arcsine is not a number.
  std::mt19937 rng(26);
  std::uniform_int_distribution<int> small(-6, 6);
  std::uniform_int_distribution<int> wide(-32768, 32767);
  std::uniform_real_distribution<float> coefficient(-0.995f, 0.995f);
  for (int trial = 0; trial < 600; ++trial) {
    ChannelCodebook codebook = BuiltInCodebook();
    const int kind = trial % 5;
    int shared[kReflectionOrder];
    for (int j = 0; j < kReflectionOrder; ++j) shared[j] = j == 0 ? wide(rng) / 2 : small(rng) / 2;
    for (int s = 0; s < kSpectrumStages; ++s) {
      for (int e = 0; e < kStageEntries; ++e) {
        for (int j = 0; j < kReflectionOrder; ++j) {
          int16_t& v = codebook.spectrumCodewords[s][e][j];
          if (kind == 0) v = static_cast<int16_t>(small(rng) * 500);  // few distinct values: many ties
          if (kind == 1) v = static_cast<int16_t>(wide(rng));         // many beyond the limit
          if (kind == 2 && e % 3 == 0) v = codebook.spectrumCodewords[s][e / 3][j];
          if (kind == 4) v = static_cast<int16_t>(shared[j] + (j >= 5 ? small(rng) / 2 : 0));
        }
      }
    }
    int32_t base[kReflectionOrder];
    float k[kReflectionOrder];
    for (int j = 0; j < kReflectionOrder; ++j) {
      base[j] = trial % 2 ? codebook.keyBase[j] : wide(rng) / 2;
      k[j] = coefficient(rng);
    }
    if (kind == 4) {
      for (int j = 0; j < kReflectionOrder; ++j) {
        base[j] = 0;
        if (j > 0) k[j] = static_cast<float>(small(rng) / 2) / 32768.0f;
      }
    }
    if (kind == 3) {
      // Exactly on a reachable point: base plus stage-0 entry 5.
      for (int j = 0; j < kReflectionOrder; ++j) {
        base[j] = small(rng) * 1000;
        k[j] = static_cast<float>(base[j] + codebook.spectrumCodewords[0][5][j]) / 32768.0f;
      }
    }
    if (trial % 7 == 0) k[trial % kReflectionOrder] = trial % 2 ? 1.25f : -1.0001f;
    const float limit = trial % 5 == 0 ? 0.5f : kReflectionLimit;
    int plain[kSpectrumStages];
    reference::QuantiseReflection(codebook, base, k, limit, plain);
    AudioEncoderState state;
    ResetEncoderState(state, codebook);
    for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
      UseEncoderKernels(state, *kernels);
      int indices[kSpectrumStages];
      QuantiseReflection(state, base, k, limit, indices);
      for (int s = 0; s < kSpectrumStages; ++s) {
        ASSERT_EQ(indices[s], plain[s]) << "trial " << trial << " stage " << s << " kernels " << kernels->name;
      }
    }
  }
}

}  // namespace
}  // namespace clipvane
