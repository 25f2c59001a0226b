#!/usr/bin/env python3
"""Prints the constant tables of codec/float_math.cpp.

The single-precision arcsine, logarithm and exponential of codec/float_math.cpp
evaluate in double precision and keep the result as an unevaluated sum of two
doubles, so that the one rounding to float at the end is the only rounding that
matters. Their constants are computed here with exact rational arithmetic (and
the decimal module at 60 digits where a logarithm or power is needed), then
rounded to double once; a pair (hi, lo) is the value rounded to double and the
rounded remainder.

  exp: 2^(j/64), j = 0..63, as pairs.
  log: for the leading 7 bits i of the significand, a short reciprocal of the
       interval's centre (at most 12 significant bits, so that the reduced
       argument m * r - 1 is exact) and -ln of it as a pair. Interval 0 uses 1.
  asin: a polynomial Q(u) with asin(s) = s + s^3 Q(8 s^2 - 1) on 0 <= s <= 1/2,
       interpolating at Chebyshev nodes; its relative error is printed.

Run it and paste the output over the tables in codec/float_math.cpp.
"""

from decimal import Decimal, getcontext
from fractions import Fraction
import math

getcontext().prec = 60


def split(value):
    """value (Decimal or Fraction) as the nearest double and the nearest double to the rest."""
    if isinstance(value, Fraction):
        hi = float(value)  # Fraction -> float rounds correctly
        lo = float(value - Fraction(hi))
    else:
        hi = float(value)
        lo = float(value - Decimal(hi))
    return hi, lo


def short_double(x, bits):
    """x rounded to `bits` significant bits."""
    m, e = math.frexp(x)
    return math.ldexp(round(m * (1 << bits)), e - bits)


def fmt(x):
    return float.hex(x) if x != 0 else "0.0"


def exp_table():
    rows = []
    for j in range(64):
        value = (Decimal(2).ln() * Decimal(j) / Decimal(64)).exp()
        rows.append(split(value))
    return rows


def log_table():
    rows = []
    for i in range(128):
        if i == 0 or i == 127:  # 127 is folded into interval 0 of the next binade
            rows.append((1.0, 0.0, 0.0))
            continue
        centre = 1.0 + (i + 0.5) / 128.0
        r = short_double(1.0 / centre, 12)
        hi, lo = split(-(Decimal(r).ln()))
        rows.append((r, hi, lo))
    return rows


def asin_series_q(t, terms=160):
    """Q(t) = (asin(s) - s) / s^3 with t = s^2: sum_k c_k t^(k-1), exactly to the truncation."""
    total = Fraction(0)
    c = Fraction(1)  # (2k)! / (4^k (k!)^2) for k = 0
    power = Fraction(1)
    for k in range(1, terms):
        c = c * Fraction((2 * k - 1) * (2 * k), 4 * k * k)
        total += c / (2 * k + 1) * power
        power *= t
    return total


def solve(matrix, rhs):
    n = len(rhs)
    a = [row[:] + [rhs[i]] for i, row in enumerate(matrix)]
    for col in range(n):
        pivot = next(r for r in range(col, n) if a[r][col] != 0)
        a[col], a[pivot] = a[pivot], a[col]
        for r in range(n):
            if r != col and a[r][col] != 0:
                f = a[r][col] / a[col][col]
                a[r] = [x - f * y for x, y in zip(a[r], a[col])]
    return [a[i][n] / a[i][i] for i in range(n)]


def asin_polynomial(degree):
    n = degree + 1
    nodes = [Fraction(math.cos((2 * j + 1) * math.pi / (2 * n))) for j in range(n)]
    values = [asin_series_q((u + 1) / 8) for u in nodes]
    matrix = [[u ** p for p in range(n)] for u in nodes]
    coefficients = [float(c) for c in solve(matrix, values)]
    worst = Fraction(0)
    for step in range(0, 401):
        u = Fraction(step - 200, 200)
        exact = asin_series_q((u + 1) / 8)
        approx = Fraction(0)
        for c in reversed(coefficients):
            approx = approx * u + Fraction(c)
        worst = max(worst, abs(approx - exact) / exact)
    return coefficients, float(worst)


def main():
    print("// 2^(j/64), j = 0..63: {hi, lo}")
    for hi, lo in exp_table():
        print(f"    {{{fmt(hi)}, {fmt(lo)}}},")
    print("// log intervals: {reciprocal, -ln(reciprocal) hi, lo}")
    for r, hi, lo in log_table():
        print(f"    {{{fmt(r)}, {fmt(hi)}, {fmt(lo)}}},")
    ln2_hi = short_double(math.log(2), 44)
    ln2_lo = float(Decimal(2).ln() - Decimal(ln2_hi))
    print(f"// ln 2 = {fmt(ln2_hi)} + {fmt(ln2_lo)}")
    c = short_double(math.log(2) / 64, 38)
    c_lo = float(Decimal(2).ln() / 64 - Decimal(c))
    print(f"// ln 2 / 64 = {fmt(c)} + {fmt(c_lo)}; 64 / ln 2 = {fmt(64 / math.log(2))}")
    pio2_hi, pio2_lo = split(Decimal("1.57079632679489661923132169163975144209858469968755291048747"))
    print(f"// pi / 2 = {fmt(pio2_hi)} + {fmt(pio2_lo)}")
    coefficients, worst = asin_polynomial(13)
    print(f"// asin Q(u), relative error {worst:.3g} (2^{math.log2(worst):.1f})")
    for value in coefficients:
        print(f"    {fmt(value)},")
    print("// log1p coefficients (-1)^(k+1)/k, k = 2..9")
    for k in range(2, 10):
        print(f"    {fmt(float(Fraction((-1) ** (k + 1), k)))},")


if __name__ == "__main__":
    main()
