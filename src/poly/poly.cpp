#include "poly/poly.hpp"

#include <cmath>

#include "common/errors.hpp"

namespace korvanta {

std::vector<double> seasonal_poly(std::span<const double> coefs, std::size_t s) {
    const std::size_t n = coefs.size();
    std::vector<double> out(n * s + 1, 0.0);
    out[0] = 1.0;
    for (std::size_t k = 1; k <= n; ++k) out[k * s] = coefs[k - 1];
    return out;
}

std::vector<double> polymul(std::span<const double> a, std::span<const double> b) {
    require(!a.empty() && !b.empty(), "polymul needs two non-empty polynomials");
    std::vector<double> out(a.size() + b.size() - 1, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double ai = a[i];
        if (ai == 0.0) continue;  // exact zero (either sign): the whole term is skipped
        double* dst = out.data() + i;
        for (std::size_t j = 0; j < b.size(); ++j) dst[j] = dst[j] + ai * b[j];
    }
    return out;
}

std::vector<double> constrain_stationary(std::span<const double> x) {
    const std::size_t n = x.size();
    require(n >= 1, "constrain_stationary needs at least one element");
    std::vector<double> r(n);
    // Written as x / sqrt(1 + x·x), not hypot: an overflowing square gives exactly zero.
    for (std::size_t k = 0; k < n; ++k) r[k] = x[k] / std::sqrt(1.0 + x[k] * x[k]);

    // Durbin–Levinson: each row is computed from the complete previous row, never in place.
    std::vector<double> previous(n, 0.0), current(n, 0.0);
    current[0] = r[0];
    for (std::size_t k = 1; k < n; ++k) {
        previous.swap(current);
        for (std::size_t i = 0; i < k; ++i) current[i] = previous[i] + r[k] * previous[k - 1 - i];
        current[k] = r[k];
    }
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = -current[i];
    return out;
}

std::vector<double> unconstrain_stationary(std::span<const double> c) {
    const std::size_t n = c.size();
    require(n >= 1, "unconstrain_stationary needs at least one element");
    // Only two rows of the n × n table are live at a time: row k is read to form row k − 1,
    // and r_k is the diagonal entry of row k.
    std::vector<double> row(n), next(n, 0.0), r(n);
    for (std::size_t i = 0; i < n; ++i) row[i] = -c[i];
    for (std::size_t k = n - 1; k >= 1; --k) {
        const double g = row[k];
        r[k] = g;
        for (std::size_t i = 0; i < k; ++i) next[i] = (row[i] - g * row[k - 1 - i]) / (1.0 - g * g);
        row.swap(next);
    }
    r[0] = row[0];
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = r[i] / std::sqrt(1.0 - r[i] * r[i]);
    return out;
}

}  // namespace korvanta
