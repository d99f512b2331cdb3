#include "ssm/system.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "poly/poly.hpp"

namespace korvanta {

double int_power(double x, std::uint64_t power) {
    const auto k = static_cast<std::int32_t>(static_cast<std::uint32_t>(power));
    std::uint32_t m = k < 0 ? 0u - static_cast<std::uint32_t>(k) : static_cast<std::uint32_t>(k);
    double r = 1.0;
    for (;;) {
        if (m & 1u) r = r * x;
        m /= 2;
        if (m == 0) break;
        x = x * x;
    }
    return k < 0 ? 1.0 / r : r;
}

namespace {

// The full autoregressive polynomial (1 − φ1·L − …)(1 − Φ1·L^s − …) and the full
// moving-average polynomial (1 + θ1·L + …)(1 + Θ1·L^s + …).
struct Polynomials {
    std::vector<double> ar, ma;
};

Polynomials full_polynomials(const Spec& spec, const ParamBlocks& b) {
    Polynomials out;
    out.ar.assign(1 + b.ar_params.size(), 1.0);
    for (std::size_t i = 0; i < b.ar_params.size(); ++i) out.ar[i + 1] = -b.ar_params[i];
    if (spec.P > 0) {
        std::vector<double> neg(b.seasonal_ar_params.size());
        for (std::size_t i = 0; i < neg.size(); ++i) neg[i] = -b.seasonal_ar_params[i];
        out.ar = polymul(out.ar, seasonal_poly(neg, spec.s));
    }
    out.ma.assign(1 + b.ma_params.size(), 1.0);
    for (std::size_t i = 0; i < b.ma_params.size(); ++i) out.ma[i + 1] = b.ma_params[i];
    if (spec.Q > 0) out.ma = polymul(out.ma, seasonal_poly(b.seasonal_ma_params, spec.s));
    require(out.ar.size() == spec.k_ar + 1 && out.ma.size() == spec.k_ma + 1, "polynomial degree mismatch");
    return out;
}

// The rows of T, each in the order its entries are appended: the simple-differencing rows
// (an upper triangle of ones that also adds the last state of every seasonal block and the
// first ARMA state), the seasonal blocks (cyclic shifts), the ARMA companion block.
SparseRows transition(const Spec& spec, const std::vector<double>& ar) {
    const std::size_t d = spec.d, D = spec.D, s = spec.s, k_diff = spec.k_diff, r = spec.k_arma_states;
    SparseRows T;
    T.start.reserve(spec.k_states + 1);
    T.entries.reserve(spec.k_states + d * (d + D + 1) + D * (D + 1) + 2 * r);
    T.start.push_back(0);
    auto close_row = [&] { T.start.push_back(T.entries.size()); };
    auto add = [&](std::size_t col, double value) { T.entries.push_back({col, value}); };
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = i; j < d; ++j) add(j, 1.0);
        for (std::size_t j = 0; j < D; ++j) add(d + (j + 1) * s - 1, 1.0);
        add(k_diff, 1.0);
        close_row();
    }
    for (std::size_t j = 0; j < D; ++j) {
        // The first state of block j integrates the current value of every later level: its
        // own last state, the last state of each later block, and the ARMA process. (With
        // D ≤ 2 that is the next block alone; with more blocks, leaving out the deeper ones
        // would undo only part of the differencing.)
        const std::size_t f = d + j * s;
        add(d + (j + 1) * s - 1, 1.0);
        for (std::size_t m = j + 1; m < D; ++m) add(d + (m + 1) * s - 1, 1.0);
        add(k_diff, 1.0);
        close_row();
        for (std::size_t m = 1; m < s; ++m) {
            add(f + m - 1, 1.0);
            close_row();
        }
    }
    for (std::size_t j = 0; j < r; ++j) {
        if (j < ar.size() && ar[j] != 0.0) add(k_diff, ar[j]);  // zero coefficients are not stored
        if (j + 1 < r) add(k_diff + j + 1, 1.0);
        close_row();
    }
    require(T.rows() == spec.k_states, "transition has the wrong number of rows");
    return T;
}

// The intercept of the first ARMA state. With every power 0 it is the constant
// trend_params[0]: a repeated power 0 adds a coefficient to the parameter vector that the
// model does not use. Otherwise the trend Σ_k trend_params[k]·x^power[k], x = trend_offset + t,
// is evaluated for every period.
void add_trend(const Spec& spec, const ParamBlocks& b, std::size_t n_periods, System& sys) {
    if (spec.k_trend == 0) return;
    const bool all_constant =
        std::all_of(spec.trend_powers.begin(), spec.trend_powers.end(), [](std::uint64_t p) { return p == 0; });
    if (all_constant) {
        sys.state_intercept[spec.k_diff] = b.trend_params[0];
        return;
    }
    std::vector<double> trend(n_periods);
    for (std::size_t t = 0; t < n_periods; ++t) {
        const double x = spec.trend_offset + static_cast<double>(t);
        double sum = 0.0;
        for (std::size_t k = 0; k < spec.k_trend; ++k)
            sum = sum + b.trend_params[k] * int_power(x, spec.trend_powers[k]);
        trend[t] = sum;
    }
    sys.state_intercept[spec.k_diff] = n_periods > 0 ? trend[0] : 0.0;
    sys.trend = std::move(trend);
}

}  // namespace

System build_system(const Spec& spec, const ParamBlocks& b, std::size_t n_periods) {
    const std::size_t d = spec.d, D = spec.D, s = spec.s, k_diff = spec.k_diff;
    const Polynomials poly = full_polynomials(spec, b);
    System sys;
    sys.ar.resize(spec.k_ar);
    for (std::size_t i = 0; i < spec.k_ar; ++i) sys.ar[i] = -poly.ar[i + 1];
    sys.transition = transition(spec, sys.ar);

    sys.design.reserve(d + D + 1);
    for (std::size_t i = 0; i < d; ++i) sys.design.push_back(i);
    for (std::size_t j = 0; j < D; ++j) sys.design.push_back(d + (j + 1) * s - 1);
    sys.design.push_back(k_diff);

    sys.selection.assign(spec.k_states, 0.0);
    sys.selection[k_diff] = 1.0;
    for (std::size_t i = 0; i < spec.k_ma; ++i) sys.selection[k_diff + 1 + i] = poly.ma[i + 1];

    sys.state_intercept.assign(spec.k_states, 0.0);
    add_trend(spec, b, n_periods, sys);
    sys.sigma2 = b.sigma2;
    return sys;
}

}  // namespace korvanta
