#pragma once
// Single-precision arcsine, natural logarithm and exponential, correctly
// rounded (to nearest, ties to even) for every float input. The encoder's
// analysis and the codebook trainer use these instead of the C library's,
// whose results differ in the last bit between libraries and even between
// processors, so that the same movie gives the same packets and the same
// codebooks on every platform and compiler.
//
// Each function evaluates in double precision with a fixed order of
// operations (no fused multiply-adds) and carries the result as the sum of two
// doubles until the one rounding to float; tools/float_math_check proves the
// results against a higher-precision reference for all 2^32 inputs.
//
// Special values: asin(x) is NaN outside [-1, 1] and for NaN, and keeps the
// sign of zero; log(x) is -inf at +-0, NaN below 0 and for NaN, +inf at +inf;
// exp(x) is +inf above the float range, +0 below it, 0 at -inf, NaN for NaN.
// Every NaN returned is the default quiet NaN.

namespace clipvane {

float FloatAsin(float x);
float FloatLog(float x);
float FloatExp(float x);

}  // namespace clipvane
