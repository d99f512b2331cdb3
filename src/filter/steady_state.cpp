#include "filter/steady_state.hpp"

#include <cmath>

namespace korvanta {
namespace {

// The exact sum: every entry in row-major order, each read from the upper triangle.
double row_major_sum(const double* previous, const double* current, std::size_t k) {
    double sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t at = i <= j ? i * k + j : j * k + i;
            const double diff = previous[at] - current[at];
            sum = sum + diff * diff;
        }
    }
    return sum;
}

}  // namespace

// The terms are non-negative, so a sum in another order (the diagonal plus twice the strict
// upper triangle, in several accumulators) decides the comparison unless it lies within a
// relative 1e-6 of the tolerance, far above its rounding error for up to 4096² terms; only then
// is the exact row-major sum formed. Non-finite or tiny tolerances always take the exact path.
// Partial sums only grow, so a scan ends as soon as they are above the band, whatever the
// order of the terms: the diagonal (the variances, which move most) comes first, from the
// element that decided the previous scan, and the rows after it.
bool SettledTest::operator()(const double* previous, const double* current, std::size_t k, double tolerance) {
    if (!(tolerance > 0.0)) return false;  // a sum of squares is never below 0 (or NaN)
    if (!std::isfinite(tolerance) || !(tolerance > 1e-280)) return row_major_sum(previous, current, k) < tolerance;
    const double above = tolerance * (1.0 + 1e-6);
    double diag = 0.0, off[4] = {0.0, 0.0, 0.0, 0.0};
    auto approx = [&] { return diag + 2.0 * ((off[0] + off[1]) + (off[2] + off[3])); };
    if (first_ >= k) first_ = 0;
    // Indices first_, …, k − 1, then 0, …, first_ − 1; `decided(i)` ends the scan at i.
    auto from_first = [&](auto decided) {
        for (std::size_t i = first_; i < k; ++i) {
            if (decided(i)) return true;
        }
        for (std::size_t i = 0; i < first_; ++i) {
            if (decided(i)) return true;
        }
        return false;
    };
    const bool diag_above = from_first([&](std::size_t i) {
        const double dd = previous[i * (k + 1)] - current[i * (k + 1)];
        diag = diag + dd * dd;
        if (!(diag > above)) return false;
        first_ = i;
        return true;
    });
    if (diag_above) return false;
    // Row i's strict upper part, checking after every 8 terms; true once above the band.
    auto above_after_row = [&](std::size_t i) {
        const double* p = previous + i * k;
        const double* c = current + i * k;
        std::size_t j = i + 1;
        while (j + 8 <= k) {
            for (std::size_t end = j + 8; j < end; j += 4) {
                for (std::size_t l = 0; l < 4; ++l) {
                    const double diff = p[j + l] - c[j + l];
                    off[l] = off[l] + diff * diff;
                }
            }
            if (approx() > above) return true;
        }
        for (; j < k; ++j) {
            const double diff = p[j] - c[j];
            off[0] = off[0] + diff * diff;
        }
        return approx() > above;
    };
    const bool rows_above = from_first([&](std::size_t i) {
        if (!above_after_row(i)) return false;
        first_ = i;
        return true;
    });
    if (rows_above) return false;
    const double sum = approx();
    if (std::isnan(sum)) return false;
    if (sum < tolerance * (1.0 - 1e-6)) return true;
    return row_major_sum(previous, current, k) < tolerance;
}

}  // namespace korvanta
