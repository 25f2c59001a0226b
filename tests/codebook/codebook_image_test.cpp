#include "codebook/channel_codebook.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace clipvane {
namespace {

ChannelCodebook DistinctCodebook() {
  ChannelCodebook cb;
  for (int s = 0; s < 3; ++s)
    for (int e = 0; e < 64; ++e)
      for (int k = 0; k < 8; ++k) cb.spectrumCodewords[s][e][k] = static_cast<int16_t>(-(s * 512 + e * 8 + k) - 1);
  for (int i = 0; i < 8; ++i) cb.gainRatio[i] = static_cast<int16_t>(0x1234 + i);
  for (int i = 0; i < 8; ++i) cb.keyBase[i] = static_cast<int32_t>(0x80000000u | (0x01020304u + static_cast<uint32_t>(i)));
  cb.initialGain = 0x0A0B0C0D;
  return cb;
}

TEST(CodebookImage, FieldsSitAtTheirByteOffsetsLittleEndian) {
  const ChannelCodebook cb = DistinctCodebook();
  const CodebookImage image = ToImage(cb);
  ASSERT_EQ(image.size(), 3124u);

  // Stage 1, entry 2, component 3 sits at 1024 + 32 + 6; its value -(512 + 16 + 3) - 1 = -532 = 0xFDEC.
  EXPECT_EQ(image[1062], 0xEC);
  EXPECT_EQ(image[1063], 0xFD);
  // The very first and last codeword components.
  EXPECT_EQ(image[0], 0xFF);  // -1
  EXPECT_EQ(image[1], 0xFF);
  EXPECT_EQ(image[3070], 0x00);  // -1536 = 0xFA00
  EXPECT_EQ(image[3071], 0xFA);
  // gainRatio[5] = 0x1239 at 3072 + 10.
  EXPECT_EQ(image[3082], 0x39);
  EXPECT_EQ(image[3083], 0x12);
  // keyBase[7] = 0x8102030B at 3088 + 28.
  EXPECT_EQ(image[3116], 0x0B);
  EXPECT_EQ(image[3117], 0x03);
  EXPECT_EQ(image[3118], 0x02);
  EXPECT_EQ(image[3119], 0x81);
  // initialGain at 3120.
  EXPECT_EQ(image[3120], 0x0D);
  EXPECT_EQ(image[3121], 0x0C);
  EXPECT_EQ(image[3122], 0x0B);
  EXPECT_EQ(image[3123], 0x0A);
}

TEST(CodebookImage, ReadInvertsWrite) {
  std::mt19937 rng(31);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<uint8_t> bytes(kCodebookImageBytes);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    // Any 3124 bytes are a codebook: reading and writing back reproduces them.
    const ChannelCodebook cb = ReadCodebookImage(bytes.data());
    const CodebookImage again = ToImage(cb);
    ASSERT_EQ(std::memcmp(again.data(), bytes.data(), kCodebookImageBytes), 0);
  }
  const ChannelCodebook cb = DistinctCodebook();
  const ChannelCodebook back = ReadCodebookImage(ToImage(cb).data());
  EXPECT_EQ(std::memcmp(&back, &cb, sizeof(cb)), 0);
  EXPECT_EQ(back.keyBase[7], static_cast<int32_t>(0x8102030Bu));
  EXPECT_EQ(back.spectrumCodewords[2][63][7], -1536);
}

TEST(BuiltInCodebook, CarriesTheFixedValues) {
  const ChannelCodebook& cb = BuiltInCodebook();
  const int16_t gainRatio[8] = {26730, 8974, 7528, 10868, 6214, 14221, 4782, 2765};
  const int32_t keyBase[8] = {-26451, 16065, -4700, 4621, 1464, 1429, -346, 2076};
  const int16_t stage0Entry0[8] = {-7350, 3112, -1529, -1599, 370, -154, 345, 98};
  const int16_t stage0Entry16[8] = {-642, 425, 11211, -9627, 1526, 1174, -2836, 699};
  const int16_t stage1Entry0[8] = {308, 1637, 259, -2955, -816, 1994, -3683, 3241};
  const int16_t stage2Entry0[8] = {53, 347, -44, -1162, 3053, 1328, 2498, -2884};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(cb.gainRatio[i], gainRatio[i]);
    EXPECT_EQ(cb.keyBase[i], keyBase[i]);
    EXPECT_EQ(cb.spectrumCodewords[0][0][i], stage0Entry0[i]);
    EXPECT_EQ(cb.spectrumCodewords[0][16][i], stage0Entry16[i]);
    EXPECT_EQ(cb.spectrumCodewords[1][0][i], stage1Entry0[i]);
    EXPECT_EQ(cb.spectrumCodewords[2][0][i], stage2Entry0[i]);
  }
  EXPECT_EQ(cb.initialGain, 571);
  // The image bytes of the fixed scalars, as a player reads them.
  const CodebookImage image = ToImage(cb);
  EXPECT_EQ(image[3120] | (image[3121] << 8), 571);
  EXPECT_EQ(image[3072] | (image[3073] << 8), 26730);
}

TEST(BuiltInCodebook, StagesStayWithinTheirRanges) {
  const ChannelCodebook& cb = BuiltInCodebook();
  const int low[3] = {-29639, -10415, -8562};
  const int high[3] = {26741, 11343, 8807};
  for (int s = 0; s < 3; ++s) {
    double spreadLow = 0, spreadHigh = 0;
    for (int e = 0; e < 64; ++e) {
      for (int k = 0; k < 8; ++k) {
        const int v = cb.spectrumCodewords[s][e][k];
        EXPECT_GE(v, low[s]) << "stage " << s << " entry " << e;
        EXPECT_LE(v, high[s]) << "stage " << s << " entry " << e;
      }
      spreadLow += std::abs(cb.spectrumCodewords[s][e][0]) + std::abs(cb.spectrumCodewords[s][e][1]);
      spreadHigh += std::abs(cb.spectrumCodewords[s][e][6]) + std::abs(cb.spectrumCodewords[s][e][7]);
    }
    // Low-order reflection coefficients move most between blocks.
    EXPECT_GT(spreadLow, spreadHigh) << "stage " << s;
  }
  for (int32_t k : cb.keyBase) EXPECT_LT(std::abs(k), 32735);
  for (int16_t r : cb.gainRatio) EXPECT_GT(r, 0);
  EXPECT_GT(cb.initialGain, 0);
}

// The encoder accepts a stage candidate only if every component of the running
// sum, scaled to a float coefficient, stays within +-0.999; if it rejects all
// 64 it takes entry 0 unchecked. The built-in table must never force that.
bool Accepted(const float* running, const int16_t* entry) {
  const float limit = 0.999f;
  for (int j = 0; j < 8; ++j) {
    const float q = (static_cast<float>(entry[j]) + running[j]) * 0.000030517578125f;
    if (q > limit || q < -limit) return false;
  }
  return true;
}

TEST(BuiltInCodebook, EveryStageAcceptsSomeCandidateFromAnyInRangeSum) {
  const ChannelCodebook& cb = BuiltInCodebook();
  std::mt19937 rng(32);
  // Extreme running sums (each component at +-32735, the largest Q15 value
  // within 0.999) and random ones.
  for (int trial = 0; trial < 4000; ++trial) {
    float running[8];
    for (auto& v : running) {
      if (trial < 256) {
        v = 0;
      } else {
        v = static_cast<float>(static_cast<int>(rng() % 65471) - 32735);
      }
    }
    if (trial < 256) {
      for (int j = 0; j < 8; ++j) running[j] = (trial >> j) & 1 ? 32735.0f : -32735.0f;
    }
    for (int s = 0; s < 3; ++s) {
      bool any = false;
      for (int e = 0; e < 64 && !any; ++e) any = Accepted(running, cb.spectrumCodewords[s][e]);
      ASSERT_TRUE(any) << "stage " << s << " trial " << trial;
    }
  }
}

TEST(BuiltInCodebook, EncoderReachableVectorsAreValidReflectionVectors) {
  // Chains of blocks from the key base, each stage picking any accepted
  // candidate at random: whatever the encoder's choice among the accepted
  // ones, every vector stays inside the unit interval.
  const ChannelCodebook& cb = BuiltInCodebook();
  std::mt19937 rng(33);
  for (int chain = 0; chain < 200; ++chain) {
    float running[8];
    for (int j = 0; j < 8; ++j) running[j] = static_cast<float>(cb.keyBase[j]);
    for (int block = 0; block < 100; ++block) {
      for (int s = 0; s < 3; ++s) {
        std::vector<int> accepted;
        for (int e = 0; e < 64; ++e)
          if (Accepted(running, cb.spectrumCodewords[s][e])) accepted.push_back(e);
        ASSERT_FALSE(accepted.empty());
        const int e = accepted[rng() % accepted.size()];
        for (int j = 0; j < 8; ++j) running[j] += static_cast<float>(cb.spectrumCodewords[s][e][j]);
      }
      for (float v : running) ASSERT_LE(std::abs(v), 0.999f * 32768.0f);
    }
  }
}

}  // namespace
}  // namespace clipvane
