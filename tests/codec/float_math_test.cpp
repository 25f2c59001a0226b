// The correctly rounded float functions: special values and domain edges,
// results worked out exactly by hand or in exact arithmetic, the inputs whose
// results lie nearest to a rounding boundary, and a sweep over every binade
// against the C library's long double functions. The exhaustive proof over
// all 2^32 inputs is tools/float_math_check.

#include "codec/float_math.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace clipvane {
namespace {

float FromBits(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Case {
  float (*function)(float);
  const char* name;
  uint32_t input;
  uint32_t expected;  // kIsNaN: any NaN
};
constexpr uint32_t kIsNaN = 0xffffffffu;

void ExpectCases(const Case* cases, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const Case& c = cases[i];
    const float result = c.function(FromBits(c.input));
    if (c.expected == kIsNaN) {
      EXPECT_TRUE(std::isnan(result)) << c.name << "(" << FromBits(c.input) << ")";
    } else {
      EXPECT_EQ(Bits(result), c.expected) << c.name << "(" << FromBits(c.input) << " = 0x" << std::hex << c.input
                                          << ") gave " << result;
    }
  }
}

TEST(FloatMath, SpecialValuesAndDomainEdges) {
  // Expected values of transcendental results are the exact values rounded
  // to float in exact decimal arithmetic (60 digits): pi/2 = 0x3fc90fdb,
  // ln 2 = 0x3f317218, -149 ln 2 = 0xc2ce8ed0, e = 0x402df854.
  const Case cases[] = {
      {FloatAsin, "asin", Bits(0.0f), Bits(0.0f)},
      {FloatAsin, "asin", Bits(-0.0f), Bits(-0.0f)},
      {FloatAsin, "asin", Bits(1.0f), 0x3fc90fdbu},
      {FloatAsin, "asin", Bits(-1.0f), 0xbfc90fdbu},
      {FloatAsin, "asin", Bits(std::nextafter(1.0f, 2.0f)), kIsNaN},
      {FloatAsin, "asin", Bits(-2.0f), kIsNaN},
      {FloatAsin, "asin", Bits(kInf), kIsNaN},
      {FloatAsin, "asin", Bits(-kInf), kIsNaN},
      {FloatAsin, "asin", Bits(kNaN), kIsNaN},
      {FloatAsin, "asin", 0x00000001u, 0x00000001u},  // subnormals are their own arcsine
      {FloatAsin, "asin", 0x807fffffu, 0x807fffffu},
      {FloatAsin, "asin", Bits(0.5f), 0x3f060a92u},  // pi/6
      {FloatLog, "log", Bits(1.0f), Bits(0.0f)},
      {FloatLog, "log", Bits(0.0f), Bits(-kInf)},
      {FloatLog, "log", Bits(-0.0f), Bits(-kInf)},
      {FloatLog, "log", Bits(kInf), Bits(kInf)},
      {FloatLog, "log", Bits(-1.0f), kIsNaN},
      {FloatLog, "log", Bits(-kInf), kIsNaN},
      {FloatLog, "log", 0x80000001u, kIsNaN},
      {FloatLog, "log", Bits(kNaN), kIsNaN},
      {FloatLog, "log", Bits(2.0f), 0x3f317218u},
      {FloatLog, "log", Bits(0.5f), 0xbf317218u},
      {FloatLog, "log", 0x00000001u, 0xc2ce8ed0u},  // smallest subnormal: -149 ln 2
      {FloatLog, "log", 0x7f7fffffu, 0x42b17218u},  // largest float
      {FloatLog, "log", Bits(10.0f), 0x40135d8eu},
      {FloatExp, "exp", Bits(0.0f), Bits(1.0f)},
      {FloatExp, "exp", Bits(-0.0f), Bits(1.0f)},
      {FloatExp, "exp", Bits(kInf), Bits(kInf)},
      {FloatExp, "exp", Bits(-kInf), Bits(0.0f)},
      {FloatExp, "exp", Bits(kNaN), kIsNaN},
      {FloatExp, "exp", Bits(1.0f), 0x402df854u},
      {FloatExp, "exp", Bits(-1.0f), 0x3ebc5ab2u},
      {FloatExp, "exp", 0x42b17217u, 0x7f7fff84u},  // the largest input with a finite result
      {FloatExp, "exp", 0x42b17218u, Bits(kInf)},
      {FloatExp, "exp", 0xc2cff1b4u, 0x00000001u},  // the smallest input with a non-zero result
      {FloatExp, "exp", 0xc2cff1b5u, Bits(0.0f)},
      {FloatExp, "exp", 0xc2ce8ed0u, 0x00000001u},
      {FloatExp, "exp", Bits(200.0f), Bits(kInf)},
      {FloatExp, "exp", Bits(-200.0f), Bits(0.0f)},
  };
  ExpectCases(cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(FloatMath, InputsNearestToARoundingBoundary) {
  // The inputs whose exact results lie closest to the midpoint between two
  // floats (within 2^-30 of a unit in the last place), as the exhaustive
  // check found them (none for exp); each result was decided in quadruple
  // precision.
  const Case cases[] = {
      {FloatAsin, "asin", 0xbf083a1au, 0xbf0fa5b2u},
      {FloatAsin, "asin", 0x3f083a1au, 0x3f0fa5b2u},
      {FloatLog, "log", 0x3c413d3au, 0xc08e158fu},
      {FloatLog, "log", 0x4d604ebeu, 0x419a352cu},
      {FloatLog, "log", 0x66a8c860u, 0x42595e46u},
      {FloatLog, "log", 0x1f116ab8u, 0xc233b53eu},
      {FloatLog, "log", 0x41178febu, 0x400fe5e7u},
      {FloatLog, "log", 0x4c5d65a5u, 0x418f034bu},
      {FloatLog, "log", 0x65d890d3u, 0x4254d1f9u},
      {FloatLog, "log", 0x6f31a8ecu, 0x42845a89u},
  };
  ExpectCases(cases, sizeof(cases) / sizeof(cases[0]));
}

// The float nearest to a long double reference, or nothing when the
// reference lies too close to a midpoint for its own error to allow a
// decision (those inputs are the hard cases above).
bool ReferenceRounding(long double value, float& rounded) {
  rounded = static_cast<float>(value);
  if (!std::isfinite(rounded) || value == 0) return true;
  const float up = std::nextafter(rounded, kInf);
  const float down = std::nextafter(rounded, -kInf);
  const long double spacing = static_cast<long double>(up) - static_cast<long double>(rounded);
  const long double upper = (static_cast<long double>(rounded) + up) / 2;
  const long double lower = (static_cast<long double>(rounded) + down) / 2;
  const long double margin = std::fabs(spacing) * 0x1p-20L;
  return std::fabs(value - upper) > margin && std::fabs(value - lower) > margin;
}

void SweepAgainstLongDouble(float (*function)(float), long double (*reference)(long double), const char* name) {
  // Every 65521st bit pattern (a prime stride, so every binade and every
  // significand pattern is visited), then random patterns.
  std::mt19937 rng(2025);
  int compared = 0;
  for (int i = 0; i < 2 * 65536; ++i) {
    const uint32_t bits = i < 65536 ? static_cast<uint32_t>(i) * 65521u : static_cast<uint32_t>(rng());
    const float x = FromBits(bits);
    const float ours = function(x);
    const long double exact = reference(static_cast<long double>(x));
    if (std::isnan(exact)) {
      ASSERT_TRUE(std::isnan(ours)) << name << "(" << x << ")";
      continue;
    }
    float expected;
    if (!ReferenceRounding(exact, expected)) continue;
    ++compared;
    ASSERT_EQ(Bits(ours), Bits(expected)) << name << "(" << x << " = 0x" << std::hex << bits << ") gave " << ours
                                          << ", expected " << expected;
  }
  EXPECT_GT(compared, 30000) << name;
}

long double AsinL(long double x) { return std::asin(x); }
long double LogL(long double x) { return std::log(x); }
long double ExpL(long double x) { return std::exp(x); }

TEST(FloatMath, SweepOverEveryBinadeMatchesTheLongDoubleFunctions) {
  SweepAgainstLongDouble(FloatAsin, AsinL, "asin");
  SweepAgainstLongDouble(FloatLog, LogL, "log");
  SweepAgainstLongDouble(FloatExp, ExpL, "exp");
}

TEST(FloatMath, DenseSweepsWhereTheEncoderAndTrainerWork) {
  // The encoder's arcsines of reflection coefficients, its logarithms of gain
  // ratios and the trainer's exponentials of gain levels: consecutive floats.
  struct Range {
    float (*function)(float);
    long double (*reference)(long double);
    float from;
  };
  const Range ranges[] = {{FloatAsin, AsinL, 0.999f}, {FloatAsin, AsinL, -0.5f}, {FloatAsin, AsinL, 0.49f},
                          {FloatLog, LogL, 0.999f},   {FloatLog, LogL, 4.0f},    {FloatExp, ExpL, -1.0e-3f},
                          {FloatExp, ExpL, 0.17f}};
  for (const Range& range : ranges) {
    float x = range.from;
    for (int i = 0; i < 20000; ++i, x = std::nextafter(x, kInf)) {
      if (std::isnan(range.reference(x))) {
        ASSERT_TRUE(std::isnan(range.function(x))) << x;
        continue;
      }
      float expected;
      if (!ReferenceRounding(range.reference(x), expected)) continue;
      ASSERT_EQ(Bits(range.function(x)), Bits(expected)) << x;
    }
  }
}

TEST(FloatMath, ArcsineIsOdd) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> any(-1.0f, 1.0f);
  for (int i = 0; i < 10000; ++i) {
    const float x = any(rng);
    ASSERT_EQ(Bits(FloatAsin(-x)), Bits(FloatAsin(x)) ^ 0x80000000u) << x;
  }
}

}  // namespace
}  // namespace clipvane
