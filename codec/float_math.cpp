// Correctly rounded single-precision arcsine, logarithm and exponential.
//
// All three work the same way: reduce the argument exactly (or with an error
// tracked in a second double), approximate the function on the reduced
// argument with a polynomial whose error is far below a double's rounding,
// and add the pieces so that the result is an unevaluated sum hi + lo of two
// doubles with a relative error near 2^-57 or better. Rounding that sum to
// float gives the correctly rounded result except where the exact value lies
// closer than that to the midpoint between two floats; no float input comes
// that close (the exhaustive check in tools/ proves it for every input).
//
// Floating point is IEEE double with round to nearest, evaluated in the order
// written: the build forbids contraction into fused multiply-adds, and no
// step depends on the C library beyond sqrt, which IEEE rounds correctly.
// The tables come from tools/generate_float_math_tables.py.

#include "codec/float_math.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// Every double operation must round to double: no wider evaluation (as the
// x87 unit would do without SSE2).
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "float_math.cpp needs float and double arithmetic evaluated in their own precision"
#endif

namespace clipvane {

namespace {

struct DoubleDouble {
  double hi;
  double lo;
};

// a + b = hi + lo exactly, for any a and b.
DoubleDouble TwoSum(double a, double b) {
  const double s = a + b;
  const double bPart = s - a;
  const double aPart = s - bPart;
  return {s, (a - aPart) + (b - bPart)};
}

// a + b = hi + lo exactly, when |a| >= |b| (or a is 0).
DoubleDouble FastTwoSum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a = hi + lo with hi holding the upper 26 bits of the significand.
void Split(double a, double& hi, double& lo) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  hi = c - (c - a);
  lo = a - hi;
}

// a * b = hi + lo exactly (Dekker), with no fused multiply-add.
DoubleDouble TwoProduct(double a, double b) {
  const double p = a * b;
  double aHi, aLo, bHi, bLo;
  Split(a, aHi, aLo);
  Split(b, bHi, bLo);
  return {p, ((aHi * bHi - p) + aHi * bLo + aLo * bHi) + aLo * bLo};
}

// The float nearest to hi + lo, where |lo| is at most half a unit in the last
// place of hi. Rounding hi alone gives it unless hi lies exactly on the
// midpoint between two floats: then the sign of lo decides.
float RoundToFloat(DoubleDouble v) {
  const float f = static_cast<float>(v.hi);
  const double back = static_cast<double>(f);
  if (v.lo == 0.0 || back == v.hi || !std::isfinite(f)) return f;
  const float other = std::nextafter(f, v.hi > back ? std::numeric_limits<float>::infinity()
                                                     : -std::numeric_limits<float>::infinity());
  if (v.hi - back != static_cast<double>(other) - v.hi) return f;
  // On the midpoint: the value lies on lo's side of it.
  const bool upward = v.lo > 0.0;
  return (other > f) == upward ? other : f;
}

constexpr float kQuietNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// --- arcsine ------------------------------------------------------------------

// asin(s) = s + s^3 Q(8 s^2 - 1) for 0 <= s <= 1/2: Q interpolates
// (asin(s) - s) / s^3 at Chebyshev nodes, relative error below 2^-53.
constexpr int kAsinDegree = 13;
constexpr double kAsinQ[kAsinDegree + 1] = {
    0x1.6a1887fac5ab8p-3,
    0x1.678fec81fd249p-7,
    0x1.df7ed1245b4c6p-11,
    0x1.702d48c47fcfdp-14,
    0x1.3316da0570521p-17,
    0x1.0e70f9800c87fp-20,
    0x1.eefaf22bb706ap-24,
    0x1.d21944b1c7983p-27,
    0x1.c0b43efa1f5c6p-30,
    0x1.b79b7ba66b6f7p-33,
    0x1.b4502fd9a8da8p-36,
    0x1.b6ca5bc19b86ap-39,
    0x1.d92277a322aadp-42,
    0x1.e529c6fce9bb4p-45,
};
constexpr double kHalfPiHi = 0x1.921fb54442d18p+0;
constexpr double kHalfPiLo = 0x1.1a62633145c07p-54;

// (asin(s) - s) / s^3 at t = s^2, 0 <= t <= 1/4.
double AsinTail(double t) {
  const double u = 8.0 * t - 1.0;
  double q = kAsinQ[kAsinDegree];
  for (int i = kAsinDegree - 1; i >= 0; --i) q = kAsinQ[i] + u * q;
  return q;
}

// --- logarithm ----------------------------------------------------------------

// For the leading 7 bits i of the significand m (1 <= m < 2): a reciprocal r_i
// of at most 12 bits near 1 / m, so that m r_i - 1 is exact and below 2^-8 in
// magnitude, and -ln(r_i) as a pair. Interval 127 is never read: m near 2 is
// taken as m / 2 in the next binade, interval 0, so that ln x near 1 is
// ln(1 + (x - 1)) with x - 1 exact.
struct LogInterval {
  double reciprocal;
  double logHi;
  double logLo;
};
constexpr LogInterval kLogIntervals[128] = {
    {0x1.0000000000000p+0, 0.0, 0.0},
    {0x1.fa20000000000p-1, 0x1.7a2c82e212c65p-7, -0x1.d1c95731568a4p-61},
    {0x1.f640000000000p-1, 0x1.3b024b78c5669p-6, 0x1.e23a02f82a1d4p-60},
    {0x1.f260000000000p-1, 0x1.b9e8027e1918ep-6, -0x1.bb4f4fcfb9727p-60},
    {0x1.eea0000000000p-1, 0x1.1ad398c6cd588p-5, -0x1.b49716ef271a6p-59},
    {0x1.eae0000000000p-1, 0x1.592bbc15215c9p-5, -0x1.e5634e6c1fbfcp-62},
    {0x1.e740000000000p-1, 0x1.95e430f8ce45ep-5, -0x1.67bb43a6e5d7fp-60},
    {0x1.e3a0000000000p-1, 0x1.d310ba20455a1p-5, 0x1.4dbdae98f9f4cp-59},
    {0x1.e020000000000p-1, 0x1.074883629640bp-4, -0x1.51ee824c30c1fp-59},
    {0x1.dca0000000000p-1, 0x1.254062f0a9417p-4, -0x1.af40c3a9bab6dp-64},
    {0x1.d920000000000p-1, 0x1.4370ce02b7de8p-4, -0x1.308315b2d0329p-59},
    {0x1.d5c0000000000p-1, 0x1.60c38ba79945dp-4, -0x1.3bc513ed6a1c8p-58},
    {0x1.d280000000000p-1, 0x1.7d33687c293c9p-4, -0x1.cf063e63e7075p-58},
    {0x1.cf20000000000p-1, 0x1.9af124d64c626p-4, -0x1.4f5f8c466d77ap-59},
    {0x1.cbe0000000000p-1, 0x1.b7c9832f5801ap-4, 0x1.358893be169bfp-63},
    {0x1.c8c0000000000p-1, 0x1.d3b73f37e1f9bp-4, -0x1.fd984b5ff12efp-58},
    {0x1.c580000000000p-1, 0x1.f0f70cdd992e3p-4, 0x1.f6c272c1dca71p-60},
    {0x1.c260000000000p-1, 0x1.06a4d1d26c5e6p-3, -0x1.b22efa3b4dedfp-57},
    {0x1.bf60000000000p-1, 0x1.1454d8953741cp-3, 0x1.6f103ed5fdceap-57},
    {0x1.bc40000000000p-1, 0x1.22aff2ddbd971p-3, -0x1.535834b0ffc28p-60},
    {0x1.b960000000000p-1, 0x1.2ffbf29a6645cp-3, -0x1.b4621a2bc5451p-57},
    {0x1.b660000000000p-1, 0x1.3df3ab13505f7p-3, -0x1.8a4f7c9ebdc82p-57},
    {0x1.b380000000000p-1, 0x1.4b6d6fefe22a4p-3, 0x1.767ab73ca8d5ep-57},
    {0x1.b0a0000000000p-1, 0x1.58fe0e4c62eaep-3, -0x1.0111e0128a1b8p-59},
    {0x1.adc0000000000p-1, 0x1.66a5d42a3ad34p-3, 0x1.267540052ff1dp-57},
    {0x1.ab00000000000p-1, 0x1.73cb9074fd14dp-3, -0x1.521a000b4cf01p-57},
    {0x1.a820000000000p-1, 0x1.81a18b4220535p-3, -0x1.75d551b2a6857p-58},
    {0x1.a580000000000p-1, 0x1.8e588ebac2dbfp-3, -0x1.46a9a5dd7ff12p-57},
    {0x1.a2c0000000000p-1, 0x1.9bc062f26fc3ap-3, 0x1.b03013cda9bfcp-57},
    {0x1.a020000000000p-1, 0x1.a8a14ffee66bdp-3, 0x1.f2ba95e8bb64bp-57},
    {0x1.9d80000000000p-1, 0x1.b5971a213acdbp-3, -0x1.e2f8aadc42f8fp-57},
    {0x1.9ae0000000000p-1, 0x1.c2a205610593fp-3, 0x1.839904bfa522dp-57},
    {0x1.9860000000000p-1, 0x1.cf21d5ecbaa65p-3, -0x1.163340c0236e7p-58},
    {0x1.95c0000000000p-1, 0x1.dc56cae452f5ap-3, -0x1.0abb63cfd2336p-57},
    {0x1.9340000000000p-1, 0x1.e8ff2622babc7p-3, 0x1.3d33981e51981p-60},
    {0x1.90e0000000000p-1, 0x1.f518262c38082p-3, 0x1.0b8a15d088ef6p-59},
    {0x1.8e60000000000p-1, 0x1.00f40470c7324p-2, 0x1.a5f3a45f05206p-57},
    {0x1.8c00000000000p-1, 0x1.07138604d5862p-2, 0x1.cdb16ed4e9138p-56},
    {0x1.89a0000000000p-1, 0x1.0d3c7586cd5e4p-2, 0x1.642610bcbfdcep-57},
    {0x1.8740000000000p-1, 0x1.136ef02e8290cp-2, -0x1.60c396093faf8p-58},
    {0x1.8500000000000p-1, 0x1.1956d3b9bc2fap-2, 0x1.7b9d68d50a15dp-56},
    {0x1.82a0000000000p-1, 0x1.1f9c39f74c557p-2, 0x1.515541d5d6c35p-56},
    {0x1.8060000000000p-1, 0x1.2596410df963ap-2, -0x1.f442de36410f7p-59},
    {0x1.7e20000000000p-1, 0x1.2b9943b06bd76p-2, -0x1.4c4833124d84ep-63},
    {0x1.7be0000000000p-1, 0x1.31a55d07a8591p-2, -0x1.5dfb4b1118495p-56},
    {0x1.79c0000000000p-1, 0x1.3763e64645463p-2, -0x1.c1adc46953834p-57},
    {0x1.77a0000000000p-1, 0x1.3d2abb3b3b4dfp-2, -0x1.0479718ca1525p-58},
    {0x1.7560000000000p-1, 0x1.4351b33743eb9p-2, -0x1.340f4b656e1c0p-56},
    {0x1.7340000000000p-1, 0x1.4929e8db4e6e4p-2, 0x1.5955b1c3785b0p-58},
    {0x1.7140000000000p-1, 0x1.4eb1f36b07184p-2, 0x1.1d1b95e5ecebep-60},
    {0x1.6f20000000000p-1, 0x1.549aec5def881p-2, 0x1.7166af2b67691p-56},
    {0x1.6d20000000000p-1, 0x1.5a32eb2e4eacbp-2, 0x1.5d5a4b18b2a7fp-56},
    {0x1.6b20000000000p-1, 0x1.5fd2c78c78828p-2, 0x1.242ad6f292541p-57},
    {0x1.6920000000000p-1, 0x1.657a97b64d437p-2, -0x1.9fdb506def5ebp-57},
    {0x1.6720000000000p-1, 0x1.6b2a72488ad8fp-2, -0x1.740ebada20556p-56},
    {0x1.6520000000000p-1, 0x1.70e26e40eb5fap-2, 0x1.aedeca7617041p-56},
    {0x1.6340000000000p-1, 0x1.76466197e36dep-2, 0x1.375c5d5ef4c50p-59},
    {0x1.6140000000000p-1, 0x1.7c0e612785c73p-2, 0x1.8f713852c0d24p-56},
    {0x1.5f60000000000p-1, 0x1.81818203afc80p-2, -0x1.bbc2080a7a682p-59},
    {0x1.5d80000000000p-1, 0x1.86fc19d05148ep-2, 0x1.fc8edbd999effp-56},
    {0x1.5ba0000000000p-1, 0x1.8c7e3d1c80b30p-2, -0x1.eb27842f61e52p-56},
    {0x1.59e0000000000p-1, 0x1.91a93f1f4a7a8p-2, 0x1.f9e3c8bcf8d6ap-56},
    {0x1.5800000000000p-1, 0x1.973a3431356aep-2, -0x1.89d2816cf838fp-57},
    {0x1.5640000000000p-1, 0x1.9c73305d47ebbp-2, 0x1.eec9c7be40a02p-58},
    {0x1.5480000000000p-1, 0x1.a1b3071f75fdap-2, 0x1.ac97bab6eae83p-56},
    {0x1.52a0000000000p-1, 0x1.a75a8a89c8c32p-2, 0x1.0d934dcd9acaap-56},
    {0x1.5100000000000p-1, 0x1.ac478d020506fp-2, 0x1.d19914a95df12p-61},
    {0x1.4f40000000000p-1, 0x1.b19c6125a6f6bp-2, -0x1.6b77a3ae0cba5p-57},
    {0x1.4d80000000000p-1, 0x1.b6f859e8ef63ap-2, -0x1.9a1eef8667ea6p-60},
    {0x1.4be0000000000p-1, 0x1.bbf8c95e489bfp-2, 0x1.8e76f84f62222p-57},
    {0x1.4a20000000000p-1, 0x1.c162bf5df23e5p-2, -0x1.4e456ec8e06dep-56},
    {0x1.4880000000000p-1, 0x1.c6704e4016ff8p-2, 0x1.e960f17e68fffp-57},
    {0x1.46e0000000000p-1, 0x1.cb844750b9995p-2, 0x1.747751ccf131ap-59},
    {0x1.4540000000000p-1, 0x1.d09ebaee29dd8p-2, -0x1.e78290191cba8p-56},
    {0x1.43a0000000000p-1, 0x1.d5bfb9b5ae71fp-2, -0x1.582025b87bcd8p-59},
    {0x1.4200000000000p-1, 0x1.dae75484c9616p-2, -0x1.0b5837185a661p-56},
    {0x1.4080000000000p-1, 0x1.dfaf59de8c15dp-2, 0x1.29fcb117ce2fdp-56},
    {0x1.3ee0000000000p-1, 0x1.e4e3daeddb5f6p-2, 0x1.9e9241e0a7a42p-59},
    {0x1.3d60000000000p-1, 0x1.e9b7e6610815ap-2, 0x1.dfd703e51256fp-57},
    {0x1.3be0000000000p-1, 0x1.ee91cce60d249p-2, -0x1.b99e8df08b9aep-56},
    {0x1.3a60000000000p-1, 0x1.f3719cc25c9b0p-2, 0x1.144960fac48d2p-58},
    {0x1.38e0000000000p-1, 0x1.f857646fd4622p-2, 0x1.a79390e07d72bp-58},
    {0x1.3760000000000p-1, 0x1.fd43329dc0365p-2, -0x1.b3ebe58908287p-56},
    {0x1.35e0000000000p-1, 0x1.011a8b18f0ed7p-1, -0x1.87ae273fb1879p-55},
    {0x1.3460000000000p-1, 0x1.03968f24bfdb7p-1, -0x1.fb811f898fbebp-55},
    {0x1.3300000000000p-1, 0x1.05e04c1aa2c06p-1, 0x1.862e53e393760p-60},
    {0x1.3180000000000p-1, 0x1.086248abc4f3bp-1, -0x1.263d54b0aeae2p-55},
    {0x1.3020000000000p-1, 0x1.0ab18bf5823c3p-1, 0x1.8d42f34177ee4p-55},
    {0x1.2ec0000000000p-1, 0x1.0d037d237f464p-1, -0x1.f0e4a30826469p-56},
    {0x1.2d60000000000p-1, 0x1.0f5822744fca3p-1, -0x1.bc1e719f0ae84p-55},
    {0x1.2be0000000000p-1, 0x1.11e62229bbf4ap-1, -0x1.2f28545fbac34p-55},
    {0x1.2aa0000000000p-1, 0x1.1409a2e6c81dap-1, 0x1.1f2d833316984p-57},
    {0x1.2940000000000p-1, 0x1.16668af4dd396p-1, -0x1.6061a540752c4p-55},
    {0x1.27e0000000000p-1, 0x1.18c640ff75f06p-1, -0x1.1e8adedd100f1p-55},
    {0x1.2680000000000p-1, 0x1.1b28cbb6ec93fp-1, -0x1.d6892112c5e91p-55},
    {0x1.2540000000000p-1, 0x1.1d5650035a98bp-1, -0x1.0bc7023d97df6p-55},
    {0x1.23e0000000000p-1, 0x1.1fbe551db43c1p-1, 0x1.be70ca49a8e68p-56},
    {0x1.22a0000000000p-1, 0x1.21f0dfc65ceecp-1, -0x1.d7a46166dd181p-57},
    {0x1.2160000000000p-1, 0x1.2425d72bd3810p-1, -0x1.6d205010b5d12p-56},
    {0x1.2020000000000p-1, 0x1.265d40adef0b8p-1, 0x1.50ba382e56cefp-55},
    {0x1.1ec0000000000p-1, 0x1.28d041990b0ebp-1, -0x1.5a1b1b79c0beep-55},
    {0x1.1d80000000000p-1, 0x1.2b0cdfbf7ad03p-1, -0x1.6dbf9e9688bbap-55},
    {0x1.1c60000000000p-1, 0x1.2d1260ad99c76p-1, 0x1.95f16eab107aep-56},
    {0x1.1b20000000000p-1, 0x1.2f53c9cc59422p-1, 0x1.dd4bbb438ae1fp-57},
    {0x1.19e0000000000p-1, 0x1.3197c0fa80e6ap-1, 0x1.e0df3ae41bda0p-57},
    {0x1.18a0000000000p-1, 0x1.33de4c086c40ap-1, -0x1.845b32d4f1193p-58},
    {0x1.1780000000000p-1, 0x1.35eccf0ac61d0p-1, -0x1.e6916bc7308c6p-56},
    {0x1.1640000000000p-1, 0x1.383850278cfd9p-1, -0x1.75e1516d45a9dp-55},
    {0x1.1520000000000p-1, 0x1.3a4b53f86cb2ep-1, 0x1.a726e4c92962cp-55},
    {0x1.1400000000000p-1, 0x1.3c6080c36bfb5p-1, 0x1.1930603d87b6ep-56},
    {0x1.12c0000000000p-1, 0x1.3eb37978b85b5p-1, 0x1.9ae16b6b4ddb5p-55},
    {0x1.11a0000000000p-1, 0x1.40cd448ff6dd6p-1, 0x1.ca4b6aad3c563p-55},
    {0x1.1080000000000p-1, 0x1.42e946de080bfp-1, 0x1.028b250ee3fadp-60},
    {0x1.0f60000000000p-1, 0x1.450785145cafep-1, -0x1.ec2e6505279c3p-55},
    {0x1.0e40000000000p-1, 0x1.472803f35eaaep-1, -0x1.f291cbecfc383p-56},
    {0x1.0d20000000000p-1, 0x1.494ac84ab0ed3p-1, -0x1.4391c79b78ebep-55},
    {0x1.0c00000000000p-1, 0x1.4b6fd6f970c1fp-1, 0x1.c457b531506f6p-55},
    {0x1.0b00000000000p-1, 0x1.4d59d43fdaba2p-1, -0x1.34d6c7eb974a5p-57},
    {0x1.09e0000000000p-1, 0x1.4f8343f9cb679p-1, -0x1.068656a6c12b7p-56},
    {0x1.08c0000000000p-1, 0x1.51af0c774a2d0p-1, 0x1.72deae73fb15fp-58},
    {0x1.07c0000000000p-1, 0x1.539f107e1d30ap-1, -0x1.571729afe8128p-56},
    {0x1.06a0000000000p-1, 0x1.55cf55c5a5438p-1, -0x1.cb3ee128baf65p-56},
    {0x1.05a0000000000p-1, 0x1.57c35f3490184p-1, -0x1.16803114876b0p-55},
    {0x1.04a0000000000p-1, 0x1.59b952dcd3e28p-1, 0x1.968ca5ce45af3p-57},
    {0x1.0380000000000p-1, 0x1.5bf053a48690ep-1, 0x1.9d1fa26ddeb2dp-59},
    {0x1.0280000000000p-1, 0x1.5dea65985a350p-1, -0x1.7336877bddda4p-56},
    {0x1.0180000000000p-1, 0x1.5fe66db228992p-1, 0x1.c54625b15c6d6p-58},
    {0x1.0000000000000p+0, 0.0, 0.0},
};
constexpr double kLn2Hi = 0x1.62e42fefa3a00p-1;  // 44 bits: e ln2Hi is exact for every exponent
constexpr double kLn2Lo = -0x1.0ca86c3898d00p-49;
// ln(1 + r) - r = r^2 (c_2 + c_3 r + ... + c_9 r^7), c_k = (-1)^(k+1) / k: the
// series' remainder is below 2^-66 relative for |r| < 2^-7.
constexpr int kLog1pTerms = 8;
constexpr double kLog1p[kLog1pTerms] = {
    -0x1.0000000000000p-1,
    0x1.5555555555555p-2,
    -0x1.0000000000000p-2,
    0x1.999999999999ap-3,
    -0x1.5555555555555p-3,
    0x1.2492492492492p-3,
    -0x1.0000000000000p-3,
    0x1.c71c71c71c71cp-4,
};

// --- exponential --------------------------------------------------------------

// 2^(j/64), j = 0..63, as pairs.
struct PowerOfTwo {
  double hi;
  double lo;
};
constexpr PowerOfTwo kExp2Steps[64] = {
    {0x1.0000000000000p+0, 0.0},
    {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6623882552225p+0, -0x1.bb60987591c34p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
    {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55},
};
constexpr double kSixtyFourOverLn2 = 0x1.71547652b82fep+6;
constexpr double kLn2Over64Hi = 0x1.62e42fefa0000p-7;  // 37 bits: k times it is exact for |k| < 2^16
constexpr double kLn2Over64Lo = 0x1.cf79abc9e3b3ap-46;
// exp(r) - 1 - r = r^2 (1/2 + r/6 + ... + r^5/5040); |r| <= ln2/128 leaves a
// remainder below 2^-65 relative.
constexpr int kExpTerms = 6;
constexpr double kExpTaylor[kExpTerms] = {1.0 / 2.0, 1.0 / 6.0, 1.0 / 24.0, 1.0 / 120.0, 1.0 / 720.0, 1.0 / 5040.0};
// Beyond these, exp rounds to +inf (above ln(2^128) = 88.72) or to +0 (below
// ln(2^-150) = -103.97).
constexpr float kExpOverflow = 89.0f;
constexpr float kExpUnderflow = -104.0f;

double PowerOfTwoDouble(int n) {  // 2^n for -1022 <= n <= 1023
  const uint64_t bits = static_cast<uint64_t>(1023 + n) << 52;
  double value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

}  // namespace

float FloatAsin(float x) {
  const double a = std::fabs(static_cast<double>(x));
  if (!(a <= 1.0)) return kQuietNaN;
  // Below 2^-12 the cubic term is under a quarter of a unit in the last place:
  // the result is x itself (and zeros keep their sign).
  if (a < 0x1p-12) return x;
  DoubleDouble result;
  if (a <= 0.5) {
    const double t = a * a;
    result = FastTwoSum(a, a * (t * AsinTail(t)));
  } else {
    // asin(a) = pi/2 - 2 asin(s), s = sqrt((1 - a) / 2) <= 1/2; z is exact, s
    // is carried with its rounding error.
    const double z = (1.0 - a) * 0.5;
    const double s = std::sqrt(z);
    double sLo = 0.0;
    if (s > 0.0) {
      const DoubleDouble square = TwoProduct(s, s);
      sLo = ((z - square.hi) - square.lo) / (2.0 * s);
    }
    const double t = s * s;
    // asin(s + sLo) = asin(s) + sLo / sqrt(1 - s^2) to far below the rounding.
    const double asinLo = s * (t * AsinTail(t)) + sLo * (1.0 + t * (0.5 + t * 0.375));
    const DoubleDouble head = TwoSum(kHalfPiHi, -2.0 * s);
    result = FastTwoSum(head.hi, head.lo + (kHalfPiLo - 2.0 * asinLo));
  }
  if (x < 0.0f) {
    result.hi = -result.hi;
    result.lo = -result.lo;
  }
  return RoundToFloat(result);
}

float FloatLog(float x) {
  if (x != x || x < 0.0f) return kQuietNaN;
  if (x == 0.0f) return -kInfinity;
  if (x == kInfinity) return kInfinity;
  // Every float, subnormals too, is a normal double: x = 2^e m, 1 <= m < 2.
  const double d = static_cast<double>(x);
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof(bits));
  int exponent = static_cast<int>(bits >> 52) - 1023;
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  int interval = static_cast<int>(fraction >> 45);
  const uint64_t significandBits = fraction | (uint64_t{1023} << 52);
  double m;
  std::memcpy(&m, &significandBits, sizeof(m));
  if (interval == 127) {
    m = m * 0.5;
    exponent = exponent + 1;
    interval = 0;
  }
  const LogInterval& step = kLogIntervals[interval];
  const double r = m * step.reciprocal - 1.0;  // exact
  double p = kLog1p[kLog1pTerms - 1];
  for (int k = kLog1pTerms - 2; k >= 0; --k) p = kLog1p[k] + r * p;
  const double tail = (r * r) * p;
  // ln x = e ln2 - ln(r_i) + ln(1 + r), summed with the errors kept.
  const double e = static_cast<double>(exponent);
  const DoubleDouble head = TwoSum(e * kLn2Hi, step.logHi);
  const DoubleDouble withR = TwoSum(head.hi, r);
  const double lo = (head.lo + withR.lo) + (tail + (e * kLn2Lo + step.logLo));
  return RoundToFloat(TwoSum(withR.hi, lo));
}

float FloatExp(float x) {
  if (x != x) return kQuietNaN;
  if (x > kExpOverflow) return kInfinity;
  if (x < kExpUnderflow) return 0.0f;
  // x = (64 n + j) ln2/64 + r with |r| <= ln2/128 (a little more from the
  // rounding of the quotient, which the polynomial covers).
  const double xd = static_cast<double>(x);
  const double quotient = xd * kSixtyFourOverLn2;
  const int k = static_cast<int>(quotient < 0.0 ? quotient - 0.5 : quotient + 0.5);
  const double kd = static_cast<double>(k);
  const double r = (xd - kd * kLn2Over64Hi) - kd * kLn2Over64Lo;  // the first difference is exact
  double p = kExpTaylor[kExpTerms - 1];
  for (int i = kExpTerms - 2; i >= 0; --i) p = kExpTaylor[i] + r * p;
  const double q = r + (r * r) * p;  // exp(r) - 1
  const int j = k & 63;
  const int n = (k - j) / 64;
  const PowerOfTwo& step = kExp2Steps[j];
  const DoubleDouble value = FastTwoSum(step.hi, step.hi * q + (step.lo + step.lo * q));
  const double scale = PowerOfTwoDouble(n);
  return RoundToFloat({value.hi * scale, value.lo * scale});
}

}  // namespace clipvane
