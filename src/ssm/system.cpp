#include "ssm/system.hpp"

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

System build_system(const Spec& spec, const ParamBlocks& b, std::size_t n_periods) {
    const std::size_t d = spec.d, D = spec.D, s = spec.s;
    const std::size_t k_diff = spec.k_diff, k_states = spec.k_states;
    const std::size_t r = spec.k_arma_states, k_ar = spec.k_ar, k_ma = spec.k_ma;

    // Full AR and MA polynomials, non-seasonal times seasonal.
    std::vector<double> ar_poly(1 + b.ar_params.size());
    ar_poly[0] = 1.0;
    for (std::size_t i = 0; i < b.ar_params.size(); ++i) ar_poly[i + 1] = -b.ar_params[i];
    if (spec.P > 0) {
        std::vector<double> neg(b.seasonal_ar_params.size());
        for (std::size_t i = 0; i < neg.size(); ++i) neg[i] = -b.seasonal_ar_params[i];
        ar_poly = polymul(ar_poly, seasonal_poly(neg, s));
    }
    std::vector<double> ma_poly(1 + b.ma_params.size());
    ma_poly[0] = 1.0;
    for (std::size_t i = 0; i < b.ma_params.size(); ++i) ma_poly[i + 1] = b.ma_params[i];
    if (spec.Q > 0) ma_poly = polymul(ma_poly, seasonal_poly(b.seasonal_ma_params, s));
    require(ar_poly.size() == k_ar + 1 && ma_poly.size() == k_ma + 1, "polynomial degree mismatch");

    System sys;
    sys.ar.resize(k_ar);
    for (std::size_t i = 0; i < k_ar; ++i) sys.ar[i] = -ar_poly[i + 1];

    // Transition rows, each in the order its entries are appended.
    SparseRows& T = sys.transition;
    T.start.reserve(k_states + 1);
    T.entries.reserve(k_states + d * (d + D + 1) + D * (D + 1) + 2 * r);
    T.start.push_back(0);
    auto close_row = [&] { T.start.push_back(T.entries.size()); };
    auto add = [&](std::size_t col, double value) { T.entries.push_back({col, value}); };
    for (std::size_t i = 0; i < d; ++i) {  // simple differencing: upper triangle of ones
        for (std::size_t j = i; j < d; ++j) add(j, 1.0);
        for (std::size_t j = 0; j < D; ++j) add(d + (j + 1) * s - 1, 1.0);
        add(k_diff, 1.0);
        close_row();
    }
    for (std::size_t j = 0; j < D; ++j) {  // seasonal differencing: cyclic shift per block
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
    for (std::size_t j = 0; j < r; ++j) {  // ARMA companion block
        if (j < k_ar && sys.ar[j] != 0.0) add(k_diff, sys.ar[j]);
        if (j + 1 < r) add(k_diff + j + 1, 1.0);
        close_row();
    }
    require(T.rows() == k_states, "transition has the wrong number of rows");

    sys.design.reserve(d + D + 1);
    for (std::size_t i = 0; i < d; ++i) sys.design.push_back(i);
    for (std::size_t j = 0; j < D; ++j) sys.design.push_back(d + (j + 1) * s - 1);
    sys.design.push_back(k_diff);

    sys.selection.assign(k_states, 0.0);
    sys.selection[k_diff] = 1.0;
    for (std::size_t i = 0; i < k_ma; ++i) sys.selection[k_diff + 1 + i] = ma_poly[i + 1];

    sys.state_intercept.assign(k_states, 0.0);
    if (spec.k_trend > 0) {
        bool all_constant = true;
        for (std::uint64_t power : spec.trend_powers) all_constant = all_constant && power == 0;
        if (all_constant) {
            sys.state_intercept[k_diff] = b.trend_params[0];
        } else {
            std::vector<double> trend(n_periods);
            for (std::size_t t = 0; t < n_periods; ++t) {
                const double x = spec.trend_offset + static_cast<double>(t);
                double sum = 0.0;
                for (std::size_t k = 0; k < spec.k_trend; ++k) {
                    sum = sum + b.trend_params[k] * int_power(x, spec.trend_powers[k]);
                }
                trend[t] = sum;
            }
            sys.state_intercept[k_diff] = n_periods > 0 ? trend[0] : 0.0;
            sys.trend = std::move(trend);
        }
    }
    sys.sigma2 = b.sigma2;
    return sys;
}

}  // namespace korvanta
