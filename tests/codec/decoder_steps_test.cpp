#include "codec/decoder_steps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>

#include "codec/fixed_point.h"
#include "reference_decoder.h"

namespace clipvane {
namespace {

TEST(FixedPoint, ProductsAndSumsWrapModulo2To32) {
  EXPECT_EQ(WrapMul(0x40000000, 4), 0);
  EXPECT_EQ(WrapMul(-0x7FFFFFFF - 1, -1), -0x7FFFFFFF - 1);
  EXPECT_EQ(WrapMul(65536, 65537), 65536);
  EXPECT_EQ(WrapAdd(0x7FFFFFFF, 1), -0x7FFFFFFF - 1);
  EXPECT_EQ(WrapSub(-0x7FFFFFFF - 1, 1), 0x7FFFFFFF);
  EXPECT_EQ(ClipToSample(40000), 32767);
  EXPECT_EQ(ClipToSample(-40000), -32768);
  EXPECT_EQ(ClipToSample(32767), 32767);
  EXPECT_EQ(ClipToSample(-32768), -32768);
  EXPECT_EQ(ClipToSample(-123), -123);
}

TEST(ReflectionToFilter, StepUpOfSmallOrders) {
  int32_t c[8];
  const int32_t half[8] = {16384, 0, 0, 0, 0, 0, 0, 0};
  ReflectionToFilter(half, c);
  EXPECT_EQ(c[0], -8192);  // a1 = 0.5 (Q15), negated half in Q14
  for (int i = 1; i < 8; ++i) EXPECT_EQ(c[i], 0);

  // Order 2: a1 = k1 + k2 * k1 = 0.5 + 0.25, a2 = k2 = 0.5.
  const int32_t two[8] = {16384, 16384, 0, 0, 0, 0, 0, 0};
  ReflectionToFilter(two, c);
  EXPECT_EQ(c[0], -12288);
  EXPECT_EQ(c[1], -8192);

  // Order 3 with k = 0.5, 0.5, -0.5: a1 = 0.75 + (-0.5)(0.5), a2 = 0.5 + (-0.5)(0.75), a3 = -0.5.
  const int32_t three[8] = {16384, 16384, -16384, 0, 0, 0, 0, 0};
  ReflectionToFilter(three, c);
  EXPECT_EQ(c[0], -(16384 >> 1));           // a1 = 24576 - 8192
  EXPECT_EQ(c[1], -((16384 - 12288) >> 1));  // a2 = 16384 - 12288
  EXPECT_EQ(c[2], 8192);

  // Shifts round towards minus infinity: a1 = -3 gives -(-2) = 2.
  const int32_t odd[8] = {-3, 0, 0, 0, 0, 0, 0, 0};
  ReflectionToFilter(odd, c);
  EXPECT_EQ(c[0], 2);
  // (k * a) >> 15 of -1 * 1 is -1, not 0.
  const int32_t tiny[8] = {1, -1, 0, 0, 0, 0, 0, 0};
  ReflectionToFilter(tiny, c);
  EXPECT_EQ(c[0], 0);  // a1 = 1 + (-1 >> 15) = 0
  EXPECT_EQ(c[1], 1);  // a2 = -1, -(-1 >> 1) = 1
}

TEST(ReflectionToFilter, MatchesThePlainRecursionOnRandomVectors) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 20000; ++trial) {
    int32_t k[8];
    const bool wide = trial % 2 == 0;
    for (auto& v : k) v = wide ? static_cast<int32_t>(rng()) : static_cast<int32_t>(rng() % 65535) - 32767;
    int32_t fast[8], plain[8];
    ReflectionToFilter(k, fast);
    reference::StepUp(k, plain);
    ASSERT_EQ(std::memcmp(fast, plain, sizeof(fast)), 0) << "trial " << trial;
  }
}

TEST(SynthesisFilter, MemoryIsMostRecentFirst) {
  // Only c8 = 1.0: each output repeats the one eight samples earlier, so the
  // memory comes out oldest first.
  const int32_t set[9] = {16384, 0, 0, 0, 0, 0, 0, 0, 16384};
  int32_t memory[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  int32_t x[32] = {};
  SynthesisFilter(x, 32, set, memory);
  for (int n = 0; n < 32; ++n) EXPECT_EQ(x[n], 8 - n % 8) << "sample " << n;
  for (int i = 0; i < 8; ++i) EXPECT_EQ(memory[i], i + 1);
}

TEST(SynthesisFilter, ShiftsArithmeticallyWithoutRounding) {
  // c1 = -0.5: y = x - y_prev / 2 with a floor after the sum.
  const int32_t set[9] = {16384, -8192, 0, 0, 0, 0, 0, 0, 0};
  int32_t memory[8] = {3, 0, 0, 0, 0, 0, 0, 0};
  int32_t x[4] = {0, 0, 0, 5};
  SynthesisFilter(x, 4, set, memory);
  EXPECT_EQ(x[0], -2);  // (-8192 * 3) >> 14 = -24576 >> 14 = -2
  EXPECT_EQ(x[1], 1);   // (-8192 * -2) >> 14
  EXPECT_EQ(x[2], -1);  // -8192 >> 14
  EXPECT_EQ(x[3], 5);   // (5 * 16384 + 8192) >> 14
  EXPECT_EQ(memory[0], 5);
  EXPECT_EQ(memory[1], -1);
  EXPECT_EQ(memory[4], 3);
}

TEST(SynthesisFilter, AnyLengthMatchesSampleBySample) {
  std::mt19937 rng(22);
  for (int trial = 0; trial < 300; ++trial) {
    int32_t set[9];
    for (auto& v : set) v = static_cast<int32_t>(rng());
    int32_t memory[8], plainMemory[8];
    for (int i = 0; i < 8; ++i) plainMemory[i] = memory[i] = static_cast<int32_t>(rng());
    const int count = 1 + static_cast<int>(rng() % 100);
    int32_t x[100], plain[100];
    for (int n = 0; n < count; ++n) plain[n] = x[n] = static_cast<int32_t>(rng());
    SynthesisFilter(x, count, set, memory);
    for (int n = 0; n < count; ++n) {
      int64_t sum = int64_t{plain[n]} * 16384;
      for (int i = 0; i < 8; ++i) sum += reference::Wrap(int64_t{set[i + 1]} * plainMemory[i]);
      const int32_t y = reference::Wrap(sum) >> 14;
      for (int i = 7; i > 0; --i) plainMemory[i] = plainMemory[i - 1];
      plainMemory[0] = plain[n] = y;
    }
    ASSERT_EQ(std::memcmp(x, plain, sizeof(int32_t) * static_cast<std::size_t>(count)), 0);
    ASSERT_EQ(std::memcmp(memory, plainMemory, sizeof(memory)), 0);
  }
}

class DecodeSpectrumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = std::make_unique<AudioDecoderState>();
    ChannelCodebook codebook;
    std::memset(&codebook, 0, sizeof(codebook));
    InitDecoderState(*state_, codebook);
  }
  std::unique_ptr<AudioDecoderState> state_;
  int32_t sets_[kSubBlocks][kFilterSetSize] = {};
};

TEST_F(DecodeSpectrumTest, AddsTheChosenEntryOfEachStageToTheBase) {
  ChannelCodebook& cb = state_->codebook;
  for (int s = 0; s < 3; ++s)
    for (int e = 0; e < 64; ++e)
      for (int k = 0; k < 8; ++k) cb.spectrumCodewords[s][e][k] = static_cast<int16_t>(1000 * s + 10 * e + k);
  for (int k = 0; k < 8; ++k) {
    cb.keyBase[k] = 100000 * (k + 1);
    state_->previousReflection[k] = -7 * (k + 1);
  }
  DecodeSpectrum(*state_, 3, 5, 60, sets_, false);
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(state_->previousReflection[k], -7 * (k + 1) + (30 + k) + (1050 + k) + (2600 + k));
  }
  DecodeSpectrum(*state_, 0, 0, 0, sets_, true);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(state_->previousReflection[k], 100000 * (k + 1) + 3000 + 3 * k);
}

TEST_F(DecodeSpectrumTest, InterpolatesFromThePreviousSetOverFourSubBlocks) {
  // The new set comes from k1 = 0.5: {16384, -8192, 0...}.
  state_->codebook.spectrumCodewords[0][1][0] = 16384;
  const int32_t previous[9] = {16384, 1001, -7, 0, 0, 0, 0, 0, 5};
  std::memcpy(state_->previousFilterSet, previous, sizeof(previous));
  DecodeSpectrum(*state_, 1, 0, 0, sets_, false);
  // Element 1: P = 1001, N = -8192. Middle = -7191 >> 1 = -3596 (floor).
  EXPECT_EQ(sets_[1][1], -3596);
  EXPECT_EQ(sets_[0][1], -1298);  // (1001 - 3596) >> 1 = -2595 >> 1
  EXPECT_EQ(sets_[2][1], -5894);  // (-8192 - 3596) >> 1
  EXPECT_EQ(sets_[3][1], -8192);
  // Element 2: P = -7, N = 0: middle -4, then -6 and -2.
  EXPECT_EQ(sets_[1][2], -4);
  EXPECT_EQ(sets_[0][2], -6);
  EXPECT_EQ(sets_[2][2], -2);
  // Element 8: P = 5, N = 0: 2, 3, 1, 0.
  EXPECT_EQ(sets_[0][8], 3);
  EXPECT_EQ(sets_[1][8], 2);
  EXPECT_EQ(sets_[2][8], 1);
  EXPECT_EQ(sets_[3][8], 0);
  for (int s = 0; s < 4; ++s) EXPECT_EQ(sets_[s][0], 16384);
  EXPECT_EQ(state_->previousFilterSet[1], -8192);
  EXPECT_EQ(state_->previousFilterSet[8], 0);
}

TEST_F(DecodeSpectrumTest, KeyBlockUsesTheNewSetEverywhere) {
  state_->codebook.keyBase[0] = 16384;
  const int32_t previous[9] = {16384, 1001, -7, 0, 0, 0, 0, 0, 5};
  std::memcpy(state_->previousFilterSet, previous, sizeof(previous));
  for (auto& r : state_->previousReflection) r = 999;
  DecodeSpectrum(*state_, 0, 0, 0, sets_, true);
  for (int s = 0; s < 4; ++s) {
    EXPECT_EQ(sets_[s][0], 16384);
    EXPECT_EQ(sets_[s][1], -8192);
    for (int i = 2; i < 9; ++i) EXPECT_EQ(sets_[s][i], 0);
  }
  EXPECT_EQ(state_->previousReflection[0], 16384);
  EXPECT_EQ(state_->previousReflection[1], 0);
}

TEST_F(DecodeSpectrumTest, InterpolationSumsWrap) {
  state_->previousFilterSet[3] = 0x7FFFFFFF;
  state_->previousReflection[2] = 0x7FFFFFF0;  // stays far out of range
  state_->codebook.spectrumCodewords[1][9][2] = 0x7FFF;
  DecodeSpectrum(*state_, 0, 9, 0, sets_, false);
  EXPECT_EQ(state_->previousReflection[2], static_cast<int32_t>(0x7FFFFFF0u + 0x7FFFu));
}

}  // namespace
}  // namespace clipvane
