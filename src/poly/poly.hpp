// Lag-polynomial helpers and the stationarity/invertibility reparametrisation.
//
// Coefficient vectors are indexed by the power of the lag operator; entry 0 is the constant.
// All functions are pure, allocate their result, and follow the written order of operations
// exactly (no fused multiply-add, no guarded rewrites: overflow and NaN behaviour is part of
// the contract).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace korvanta {

/// (1, 0, …, coefs[0] at s, 0, …, coefs[1] at 2s, …): n·s + 1 entries; coefficients copied
/// unchanged (the caller applies any sign). With n = 0 the result is (1).
std::vector<double> seasonal_poly(std::span<const double> coefs, std::size_t s);

/// Product of two non-empty polynomials; a zero coefficient of `a` skips its whole term so
/// that it never turns an infinity of `b` into NaN.
std::vector<double> polymul(std::span<const double> a, std::span<const double> b);

/// Unconstrained reals → coefficients c with 1 − c0·L − … − c(n−1)·L^n stationary
/// (Durbin–Levinson on the partial autocorrelations x/sqrt(1 + x²)). Requires n ≥ 1.
std::vector<double> constrain_stationary(std::span<const double> x);

/// Inverse of constrain_stationary up to rounding. Requires n ≥ 1. No guard on |r| ≥ 1:
/// infinities and NaN are returned as IEEE arithmetic produces them.
std::vector<double> unconstrain_stationary(std::span<const double> c);

}  // namespace korvanta
