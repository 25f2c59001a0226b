// Exhaustive check of FloatAsin, FloatLog and FloatExp: every one of the 2^32
// float inputs against the correctly rounded result.
//
// The reference is the C library's long double function (64-bit significand,
// an error of a few units in its last place, about 2^-61 relative). Where its
// value lies so close to the midpoint between two floats that this error could
// put it on the wrong side (closer than 2^-30 of a float's unit in the last
// place), the case is decided again in quadruple precision (113 bits); a case
// that even quadruple precision cannot decide is reported. It is a tool, not
// part of the test suite: on two cores shared with other work a full run took
// 68 minutes (asin 852 s, log 1546 s, exp 1707 s), and found every result
// correctly rounded, 10 of them decided in quadruple precision (the hard
// cases the unit test keeps).
//
//   float_math_check [threads] [asin|log|exp ...]

#include <quadmath.h>

#include <atomic>
#include <chrono>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "codec/float_math.h"

namespace {

using clipvane::FloatAsin;
using clipvane::FloatExp;
using clipvane::FloatLog;

struct Function {
  const char* name;
  float (*ours)(float);
  long double (*reference)(long double);
  __float128 (*precise)(__float128);
};

long double AsinL(long double x) { return asinl(x); }
long double LogL(long double x) { return logl(x); }
long double ExpL(long double x) { return expl(x); }
__float128 AsinQ(__float128 x) { return asinq(x); }
__float128 LogQ(__float128 x) { return logq(x); }
__float128 ExpQ(__float128 x) { return expq(x); }

const Function kFunctions[] = {
    {"asin", FloatAsin, AsinL, AsinQ},
    {"log", FloatLog, LogL, LogQ},
    {"exp", FloatExp, ExpL, ExpQ},
};

float FromBits(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

// Distance of `value` from the nearest midpoint around `rounded` (its float
// rounding), in units of the float spacing there. Infinite roundings and
// zeros have no midpoint problem the checks below do not see directly.
template <typename Real>
Real MidpointDistance(Real value, float rounded) {
  if (!std::isfinite(rounded)) {
    // Beyond the overflow midpoint 2^128 - 2^103: distance from it in units of 2^104.
    const Real edge = static_cast<Real>(std::numeric_limits<float>::max()) * (1 + static_cast<Real>(0x1p-25));
    const Real apart = value > 0 ? value - edge : -value - edge;
    return apart / static_cast<Real>(0x1p104);
  }
  const float inf = std::numeric_limits<float>::infinity();
  const float down = std::nextafter(rounded, -inf);
  const float upFloat = std::nextafter(rounded, inf);
  // Past the largest float the next step would be 2^128.
  const Real up = std::isfinite(upFloat) ? static_cast<Real>(upFloat)
                                         : 2 * static_cast<Real>(rounded) - static_cast<Real>(down);
  const Real downReal = std::isfinite(down) ? static_cast<Real>(down)
                                            : 2 * static_cast<Real>(rounded) - up;
  const Real upper = (static_cast<Real>(rounded) + up) / 2;
  const Real lower = (static_cast<Real>(rounded) + downReal) / 2;
  const Real spacing = up - static_cast<Real>(rounded) < static_cast<Real>(rounded) - downReal
                           ? up - static_cast<Real>(rounded)
                           : static_cast<Real>(rounded) - downReal;
  Real a = value - upper;
  Real b = value - lower;
  if (a < 0) a = -a;
  if (b < 0) b = -b;
  return (a < b ? a : b) / spacing;
}

struct Outcome {
  uint64_t checked = 0;
  uint64_t refined = 0;
  std::vector<std::pair<uint32_t, uint32_t>> hard;  // input and result decided in quadruple precision
  std::vector<uint32_t> wrong;
  std::vector<uint32_t> undecided;
};

std::mutex printLock;

void CheckRange(const Function& f, uint64_t begin, uint64_t end, Outcome& out) {
  for (uint64_t i = begin; i < end; ++i) {
    const uint32_t bits = static_cast<uint32_t>(i);
    const float x = FromBits(bits);
    const float ours = f.ours(x);
    const long double reference = f.reference(static_cast<long double>(x));
    ++out.checked;
    if (reference != reference) {
      if (ours == ours) out.wrong.push_back(bits);
      continue;
    }
    float expected = static_cast<float>(reference);
    if (MidpointDistance<long double>(reference, expected) < 0x1p-30L) {
      ++out.refined;
      const __float128 precise = f.precise(static_cast<__float128>(x));
      expected = static_cast<float>(precise);
      if (MidpointDistance<__float128>(precise, expected) < static_cast<__float128>(0x1p-80L)) {
        out.undecided.push_back(bits);
        continue;
      }
      out.hard.emplace_back(bits, Bits(expected));
    }
    if (Bits(ours) != Bits(expected)) {
      out.wrong.push_back(bits);
      if (out.wrong.size() <= 20) {
        std::lock_guard<std::mutex> lock(printLock);
        std::printf("  %s(%a = 0x%08x): ours %a, correctly rounded %a\n", f.name, static_cast<double>(x), bits,
                    static_cast<double>(ours), static_cast<double>(expected));
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 2;
  std::vector<std::string> names;
  for (int a = 1; a < argc; ++a) {
    if (argv[a][0] >= '0' && argv[a][0] <= '9') {
      threads = std::atoi(argv[a]);
    } else {
      names.push_back(argv[a]);
    }
  }
  if (threads < 1) threads = 1;
  int failures = 0;
  for (const Function& f : kFunctions) {
    if (!names.empty()) {
      bool wanted = false;
      for (const std::string& n : names) wanted = wanted || n == f.name;
      if (!wanted) continue;
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<Outcome> outcomes(threads);
    std::vector<std::thread> workers;
    // Interleaved chunks so that every thread gets a share of the slow and the
    // fast ranges.
    constexpr uint64_t kChunk = uint64_t{1} << 20;
    std::atomic<uint64_t> next{0};
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (;;) {
          const uint64_t chunk = next.fetch_add(1);
          const uint64_t begin = chunk * kChunk;
          if (begin >= (uint64_t{1} << 32)) return;
          CheckRange(f, begin, begin + kChunk, outcomes[t]);
        }
      });
    }
    for (std::thread& w : workers) w.join();
    Outcome total;
    for (const Outcome& o : outcomes) {
      total.checked += o.checked;
      total.refined += o.refined;
      total.hard.insert(total.hard.end(), o.hard.begin(), o.hard.end());
      total.wrong.insert(total.wrong.end(), o.wrong.begin(), o.wrong.end());
      total.undecided.insert(total.undecided.end(), o.undecided.begin(), o.undecided.end());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %llu inputs, %llu decided in quadruple precision, %zu wrong, %zu undecided, %.1f s\n", f.name,
                static_cast<unsigned long long>(total.checked), static_cast<unsigned long long>(total.refined),
                total.wrong.size(), total.undecided.size(), seconds);
    for (const auto& [input, result] : total.hard) std::printf("  hard: 0x%08x -> 0x%08x\n", input, result);
    for (uint32_t bits : total.wrong) std::printf("  wrong: 0x%08x\n", bits);
    for (uint32_t bits : total.undecided) std::printf("  undecided: 0x%08x\n", bits);
    std::fflush(stdout);
    failures += static_cast<int>(total.wrong.size() + total.undecided.size());
  }
  return failures == 0 ? 0 : 1;
}
