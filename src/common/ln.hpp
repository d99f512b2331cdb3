// The natural logarithm, the same bits on every processor.
#pragma once

#include <bit>
#include <cstdint>

#include "common/inline.hpp"

namespace korvanta {

namespace ln_detail {

/// ln(j/128) for j = 91 … 181 as hi + lo, hi rounded to a multiple of 2^-42 (so that
/// e·LN2_HI + hi is exact for every binary exponent e of a double), lo the remainder rounded
/// to a double; and 128/j rounded.
struct Point {
    double hi, lo, inverse;
};
inline constexpr int FIRST = 91;
extern const Point POINTS[91];
inline constexpr double LN2_HI = 0x1.62e42fefa3800p-1;
inline constexpr double LN2_LO = 0x1.ef35793c76730p-45;
inline constexpr double SQRT2 = 0x1.6a09e667f3bcdp+0;

/// ln of a zero, subnormal, negative, infinite or NaN argument.
double special(double x);

}  // namespace ln_detail

/// ln x, computed with additions and multiplications in a fixed order only, so that its bits
/// do not depend on the processor or on the C library (whose logarithm picks a fused
/// multiply-add variant at run time where the processor has one, and then differs from its
/// other variant in the last bit for some arguments). Its error is a small fraction of a
/// unit in the last place beyond the final rounding: it gave the correctly rounded value for
/// every argument tried. ln(+0) = −inf, ln(+inf) = +inf, a NaN argument is returned as it
/// is, and a negative one gives a NaN.
///
/// x = 2^e·m with m in (√2/2, √2], m = c + f with c = j/128 the nearest table point, so that
/// ln x = e·ln 2 + ln c + ln(1 + r), r = f/c, |r| < 2^-7.5. f is exact (m and c lie on the
/// grid of m's last bit and |f| ≤ 2^-8). r = f·(128/j) is rounded; its error is carried as
/// r_lo, from the exact products of c (8 bits) with r split into halves of 26 and 27 bits.
/// ln(1 + r + r_lo) is r − r²/2 + r³/3 − … + r^9/9 (the next term is below 2^-66·|r|) plus
/// r_lo·(1 − r), with r²/2 taken exactly as h2 + l2 from the same halves. e·ln 2 + ln c, r
/// and −h2 are added exactly, their rounding errors kept as e1 and e2; the small terms'
/// errors stay far below a unit in the last place, so only the final addition rounds
/// noticeably.
KORVANTA_ALWAYS_INLINE double ln(double x) {
    using namespace ln_detail;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    int e = 0;
    // Zero, subnormals, negatives, infinities and NaNs all lie outside the normal positive
    // range of this unsigned comparison.
    if (bits - 0x0010000000000000ULL >= 0x7FE0000000000000ULL) [[unlikely]] {
        if (!(x > 0.0 && x < 0x1p-1022)) return special(x);
        bits = std::bit_cast<std::uint64_t>(x * 0x1p52);  // a subnormal, scaled into the normal range
        e = -52;
    }
    e += static_cast<int>(bits >> 52) - 1023;
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL);  // in [1, 2)
    if (m > SQRT2) {
        m = m * 0.5;
        e += 1;
    }
    const int j = static_cast<int>(m * 128.0 + 0.5);  // 91 … 181
    const Point& point = POINTS[j - FIRST];
    const double c = static_cast<double>(j) * 0x1p-7;
    const double f = m - c;
    const double r = f * point.inverse;
    const double r1 = std::bit_cast<double>(std::bit_cast<std::uint64_t>(r) & 0xFFFFFFFFF8000000ULL);
    const double r2 = r - r1;
    const double r_lo = ((f - r1 * c) - r2 * c) * point.inverse;
    const double h2 = (r1 * r1) * 0.5;
    const double l2 = r1 * r2 + (r2 * r2) * 0.5;
    const double r3 =
        r * r * r *
        (1.0 / 3.0 + r * (-0.25 + r * (0.2 + r * (-1.0 / 6.0 + r * (1.0 / 7.0 + r * (-0.125 + r * (1.0 / 9.0)))))));
    const double de = static_cast<double>(e);
    // hi + r exactly as s + e1, whichever is larger (hi is 0 for j = 128, e = 0).
    const double hi = de * LN2_HI + point.hi;
    const double s = hi + r;
    const double r_virtual = s - hi;
    const double e1 = (hi - (s - r_virtual)) + (r - r_virtual);
    // s − h2 exactly as s2 + e2: |s| ≥ |h2| (|s| ≥ 0.002 unless j = 128 and e = 0, where s = r).
    const double s2 = s - h2;
    const double e2 = (s - s2) - h2;
    return s2 + ((e1 + e2) + ((de * LN2_LO + point.lo) + ((r_lo - r_lo * r) + (r3 - l2))));
}

}  // namespace korvanta
