// The encoder's stages one by one: the fast formulations against plain ones,
// and the boundary behaviour each stage is defined by.

#include "codebook/channel_codebook.h"
#include "codec/encoder/encoder_steps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "codec/decoder_steps.h"
#include "codec/encoder/encoder_kernels.h"
#include "tests/encoder/reference_encoder.h"

namespace clipvane {
namespace {

TEST(AnalysisWindow, MatchesTheFormulaRoundedToSixDecimals) {
  float formula[kAnalysisSamples];
  reference::AnalysisWindow(formula);
  for (int n = 0; n < kAnalysisSamples; ++n) EXPECT_EQ(kAnalysisWindow[n], formula[n]) << n;
  EXPECT_EQ(kAnalysisWindow[0], 0.08f);
  EXPECT_EQ(kAnalysisWindow[112], 1.0f);
  // The exception: the formula rounds to 0.110245 at 13 and 211.
  EXPECT_EQ(kAnalysisWindow[13], 0.110246f);
  EXPECT_EQ(kAnalysisWindow[211], 0.110246f);
  const double exact = 0.54 - 0.46 * std::cos(2.0 * 3.14159265358979323846 * 13 / 224.0);
  EXPECT_EQ(std::round(exact * 1e6), 110245.0);
}

TEST(SpectrumAnalysis, SilenceGivesTheNoiseFloorAndZeroReflections) {
  const int16_t silence[256] = {};
  HighPassState highPass;
  int32_t filtered[256];
  float windowed[kAnalysisSamples];
  float r[kReflectionOrder + 1];
  PlainEncoderKernels().filterWindowCorrelate(silence, highPass, filtered, windowed, r);
  ConditionAutocorrelation(r);
  EXPECT_EQ(r[0], (10.0f) * 1.008f);
  for (int k = 1; k <= kReflectionOrder; ++k) EXPECT_EQ(r[k], 0.0f);
  float a[kReflectionOrder + 1];
  LevinsonDurbin(r, a);
  float k[kReflectionOrder];
  FilterToReflection(a, k);
  EXPECT_EQ(a[0], 1.0f);
  for (int i = 0; i < kReflectionOrder; ++i) {
    EXPECT_EQ(a[i + 1], 0.0f);
    EXPECT_EQ(k[i], 0.0f);
  }
}

TEST(SpectrumAnalysis, FirstOrderProcessGivesItsReflectionCoefficient) {
  // R[k] = 0.5^k describes x[n] = 0.5 x[n-1] + noise: A(z) = 1 - 0.5 z^-1.
  float r[kReflectionOrder + 1];
  for (int k = 0; k <= kReflectionOrder; ++k) r[k] = std::pow(0.5f, static_cast<float>(k));
  float a[kReflectionOrder + 1];
  LevinsonDurbin(r, a);
  EXPECT_FLOAT_EQ(a[1], -0.5f);
  for (int i = 2; i <= kReflectionOrder; ++i) EXPECT_NEAR(a[i], 0.0f, 1e-6f);
  float k[kReflectionOrder];
  FilterToReflection(a, k);
  EXPECT_NEAR(k[0], -0.5f, 1e-6f);
  // The step-down recursion undoes the step-up: rebuild a from k and compare.
  float rebuilt[kReflectionOrder + 1] = {1.0f};
  for (int m = 1; m <= kReflectionOrder; ++m) {
    float old[kReflectionOrder + 1];
    std::memcpy(old, rebuilt, sizeof(old));
    for (int i = 1; i < m; ++i) rebuilt[i] = old[i] + k[m - 1] * old[m - i];
    rebuilt[m] = k[m - 1];
  }
  for (int i = 1; i <= kReflectionOrder; ++i) EXPECT_NEAR(rebuilt[i], a[i], 1e-6f);
}

// A codebook of zeros but for the entries a test places.
ChannelCodebook EmptyCodebook() {
  ChannelCodebook codebook;
  std::memset(&codebook, 0, sizeof(codebook));
  return codebook;
}

// QuantiseReflection with `codebook` installed, by every kernel set; fails
// the test unless all sets agree, and returns their indices.
std::vector<int> Quantise(const ChannelCodebook& codebook, const int32_t* base, const float* k, float limit) {
  AudioEncoderState state;
  ResetEncoderState(state, codebook);
  std::vector<int> first;
  for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
    UseEncoderKernels(state, *kernels);
    int indices[kSpectrumStages];
    QuantiseReflection(state, base, k, limit, indices);
    const std::vector<int> these(indices, indices + kSpectrumStages);
    if (first.empty()) first = these;
    EXPECT_EQ(these, first) << kernels->name;
  }
  return first;
}

TEST(QuantiseReflection, TableSearchEqualsDirectArcsinesOnRandomVectors) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> coefficient(-0.99f, 0.99f);
  std::uniform_int_distribution<int> baseValue(-32000, 32000);
  const ChannelCodebook& codebook = BuiltInCodebook();
  for (int trial = 0; trial < 3000; ++trial) {
    float k[kReflectionOrder];
    int32_t base[kReflectionOrder];
    for (int j = 0; j < kReflectionOrder; ++j) {
      k[j] = coefficient(rng);
      base[j] = trial % 3 == 0 ? codebook.keyBase[j] : baseValue(rng) / (1 + j);
    }
    const float limit = trial % 4 == 0 ? 0.9f : kReflectionLimit;
    int direct[3], plain[3];
    QuantiseReflectionDirect(codebook, base, k, limit, direct);
    reference::QuantiseReflection(codebook, base, k, limit, plain);
    ASSERT_EQ(Quantise(codebook, base, k, limit), std::vector<int>(plain, plain + 3)) << "trial " << trial;
    ASSERT_EQ(std::vector<int>(direct, direct + 3), std::vector<int>(plain, plain + 3)) << "trial " << trial;
  }
}

TEST(QuantiseReflection, LimitAcceptsEqualityAndRejectsOneFloatStepBeyond) {
  for (int sign : {1, -1}) {
    ChannelCodebook codebook = EmptyCodebook();
    codebook.spectrumCodewords[0][0][0] = static_cast<int16_t>(sign * 16384);  // q = +-0.5 exactly
    const int32_t base[kReflectionOrder] = {};
    float k[kReflectionOrder] = {};
    k[0] = 0.5f * static_cast<float>(sign);
    int indices[3];
    // Entry 0 hits the target exactly; the zero entries miss it by asin(0.5).
    EXPECT_EQ(Quantise(codebook, base, k, 0.5f)[0], 0) << "a coefficient equal to the limit passes";
    EXPECT_EQ(Quantise(codebook, base, k, std::nextafter(0.5f, 0.0f))[0], 1)
        << "one float step beyond the limit is rejected";
    QuantiseReflectionDirect(codebook, base, k, std::nextafter(0.5f, 0.0f), indices);
    EXPECT_EQ(indices[0], 1);
    QuantiseReflectionDirect(codebook, base, k, 0.5f, indices);
    EXPECT_EQ(indices[0], 0);
  }
  // At the encoder's limit 0.999 the last accepted Q15 value is 32735.
  ChannelCodebook codebook = EmptyCodebook();
  codebook.spectrumCodewords[0][0][0] = 32736;
  codebook.spectrumCodewords[0][1][0] = 32735;
  const int32_t base[kReflectionOrder] = {};
  const float k[kReflectionOrder] = {0.9999f};
  EXPECT_EQ(Quantise(codebook, base, k, kReflectionLimit)[0], 1);
}

TEST(QuantiseReflection, StageWithEveryCandidateRejectedTakesEntryZero) {
  ChannelCodebook codebook = EmptyCodebook();
  // Base at 0.999 and every stage-0 entry pushes it beyond the limit.
  for (int e = 0; e < kStageEntries; ++e) codebook.spectrumCodewords[0][e][0] = static_cast<int16_t>(10 + e);
  // Stage 1 can pull the running sum back: entry 5 lands exactly on the target.
  codebook.spectrumCodewords[1][5][0] = -10 - 100;
  int32_t base[kReflectionOrder] = {32735 - 100};
  float k[kReflectionOrder] = {static_cast<float>(32735 - 100) / 32768.0f};
  EXPECT_EQ(Quantise(codebook, base, k, kReflectionLimit)[0], 0);
  base[0] = 32735;
  k[0] = static_cast<float>(32735 - 100) / 32768.0f;
  const std::vector<int> indices = Quantise(codebook, base, k, kReflectionLimit);
  EXPECT_EQ(indices[0], 0) << "all 64 rejected";
  EXPECT_EQ(indices[1], 5) << "the running sum includes the rejected stage's entry 0";
  int plain[3];
  reference::QuantiseReflection(codebook, base, k, kReflectionLimit, plain);
  EXPECT_EQ(indices, std::vector<int>(plain, plain + 3));
}

TEST(LongTermSearch, EveryKernelSetEqualsThePlainSearch) {
  std::mt19937 rng(9);
  for (int trial = 0; trial < 2000; ++trial) {
    int32_t residual[kBlockSamples];
    int32_t history[kHistorySamples];
    // Small, speech-like and huge (wrapping) magnitudes.
    const int range = trial % 3 == 0 ? 50 : (trial % 3 == 1 ? 30000 : 2000000000);
    std::uniform_int_distribution<int32_t> value(-range, range);
    for (auto& h : history) h = value(rng);
    for (int i = 0; i < kBlockSamples; ++i) {
      // Mostly a copy of half of some past excitation, so some lag matters.
      residual[i] = trial % 2 ? history[60 + i] / 2 + value(rng) / 8 : value(rng);
    }
    const reference::LagChoice plain = reference::SearchLongTermLag(residual, history);
    for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
      const LagSearchResult chosen = kernels->searchLongTermLag(residual, history);
      ASSERT_EQ(chosen.lagCode, plain.lagCode) << kernels->name << " trial " << trial;
      ASSERT_EQ(chosen.usable, plain.usable) << kernels->name << " trial " << trial;
    }
  }
}

TEST(LongTermSearch, SilenceEitherSideIsNotUsable) {
  int32_t zeros[kHistorySamples] = {};
  int32_t history[kHistorySamples];
  int32_t residual[kBlockSamples];
  for (int i = 0; i < kHistorySamples; ++i) history[i] = (i * 37) % 200 - 100;
  for (int i = 0; i < kBlockSamples; ++i) residual[i] = (i * 11) % 90 - 45;
  for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
    EXPECT_FALSE(kernels->searchLongTermLag(zeros, history).usable) << kernels->name << ": zero residual";
    EXPECT_FALSE(kernels->searchLongTermLag(residual, zeros).usable) << kernels->name << ": zero history";
  }
}

TEST(LongTermSearch, FindsTheDelayAndPrefersTheLowerOfEqualLags) {
  int32_t history[kHistorySamples] = {};
  int32_t residual[kBlockSamples];
  // A history that repeats every 64 samples matches lags L and L + 64 equally.
  for (int i = 0; i < kHistorySamples; ++i) history[i] = ((i % 64) * 97) % 1000 - 500;
  int32_t shape[kBlockSamples];
  LongTermAnalysisShape(history, 70, shape);
  std::memcpy(residual, shape, sizeof(residual));
  for (const EncoderKernels* kernels : SupportedEncoderKernels()) {
    const LagSearchResult chosen = kernels->searchLongTermLag(residual, history);
    EXPECT_TRUE(chosen.usable) << kernels->name;
    EXPECT_EQ(chosen.lagCode, 6) << kernels->name << ": 70 - 64, the lowest of the equal lags";
  }
  const LagSearchResult result = PlainEncoderKernels().searchLongTermLag(residual, history);
  RemoveLongTermPrediction(residual, history, result.lagCode);
  for (int i = 0; i < kBlockSamples; ++i) EXPECT_EQ(residual[i], 0);
}

TEST(LongTermSearch, AnalysisShapeRoundsDifferentlyFromTheSynthesisShape) {
  int32_t history[kHistorySamples] = {};
  // Lag 0 reads h[127 + i]; sample 2 has weight 3.
  history[129] = 11;
  int32_t analysis[kBlockSamples];
  int32_t synthesis[kBlockSamples];
  LongTermAnalysisShape(history, 0, analysis);
  LongTermPrediction(history, 0, synthesis);
  EXPECT_EQ(analysis[2], 1);   // ((11 >> 1) * 3) >> 3
  EXPECT_EQ(synthesis[2], 2);  // (11 * 3) >> 4
  // Lag 125 reads h[2..129]; lag 0 reads h[127..254].
  std::memset(history, 0, sizeof(history));
  history[2] = -64;
  history[254] = 64;
  LongTermAnalysisShape(history, 125, analysis);
  EXPECT_EQ(analysis[0], -4);  // (-32 * 1) >> 3
  LongTermAnalysisShape(history, 0, analysis);
  EXPECT_EQ(analysis[127], 4);
  EXPECT_EQ(analysis[126], 0);
}

TEST(PulseQuantiser, RoundsHalvesAwayFromZeroAndClamps) {
  EXPECT_EQ(QuantisePulse(1.5f, 3), 2);
  EXPECT_EQ(QuantisePulse(std::nextafter(1.5f, 0.0f), 3), 1);
  EXPECT_EQ(QuantisePulse(0.5f, 3), 1);
  EXPECT_EQ(QuantisePulse(0.0f, 3), 0);
  EXPECT_EQ(QuantisePulse(-0.7f, 3), 0);
  EXPECT_EQ(QuantisePulse(2.49f, 3), 2);
  EXPECT_EQ(QuantisePulse(2.5f, 3), 3);
  EXPECT_EQ(QuantisePulse(6.6f, 7), 7);
  EXPECT_EQ(QuantisePulse(1.0e30f, 7), 7);
  EXPECT_EQ(QuantisePulse(-1.0e30f, 7), 0);
  EXPECT_EQ(QuantisePulse(std::numeric_limits<float>::infinity(), 3), 3);
  EXPECT_EQ(QuantisePulse(-std::numeric_limits<float>::infinity(), 3), 0);
  EXPECT_EQ(QuantisePulse(std::numeric_limits<float>::quiet_NaN(), 3), 2);
  EXPECT_EQ(QuantisePulse(std::numeric_limits<float>::quiet_NaN(), 7), 4);
}

TEST(WeightingFilter, FlatFilterPassesTheInputAndFirstOrderFollowsItsRecurrence) {
  int32_t input[kBlockSamples];
  for (int n = 0; n < kBlockSamples; ++n) input[n] = (n * 7919) % 2001 - 1000;
  float p[9] = {1.0f};
  float q[9] = {1.0f};
  float memory[8] = {};
  float out[kBlockSamples];
  WeightingFilter(input, p, q, memory, out);
  for (int n = 0; n < kBlockSamples; ++n) ASSERT_EQ(out[n], static_cast<float>(input[n]));

  // y[n] = x[n] + p1 x[n-1] - q1 y[n-1], carried over two calls through the memory.
  p[1] = -0.45f;
  q[1] = -0.25f;
  float carried[8] = {};
  float first[kBlockSamples];
  float second[kBlockSamples];
  WeightingFilter(input, p, q, carried, first);
  WeightingFilter(input, p, q, carried, second);
  float x1 = 0.0f;
  float y1 = 0.0f;
  for (int pass = 0; pass < 2; ++pass) {
    for (int n = 0; n < kBlockSamples; ++n) {
      const float x = static_cast<float>(input[n]);
      const float y = x + (p[1] * x1 - q[1] * y1);
      ASSERT_NEAR((pass ? second : first)[n], y, 1e-3f * (1.0f + std::fabs(y)));
      x1 = x;
      y1 = y;
    }
  }
}

}  // namespace
}  // namespace clipvane
