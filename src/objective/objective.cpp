#include "objective/objective.hpp"

#include <cmath>
#include <limits>

namespace korvanta {

std::optional<std::vector<double>> exog_intercept(std::size_t k_exog, std::optional<std::span<const double>> x,
                                                  std::span<const double> beta, std::size_t n) {
    if (!x || k_exog == 0) return std::nullopt;
    // Regressor-major loops keep each entry's sum in ascending i from 0.0 while reading the
    // regressors contiguously.
    std::vector<double> out(n, 0.0);
    for (std::size_t i = 0; i < k_exog; ++i) {
        const double b = beta[i];
        const double* xi = x->data() + i * n;
        for (std::size_t t = 0; t < n; ++t) out[t] = out[t] + xi[t] * b;
    }
    return out;
}

FilterRun run_filter(const Spec& spec, const Series& series, std::span<const double> params,
                     const FilterOptions& options, bool store_paths, std::size_t extra_periods) {
    const std::size_t n = series.y.size();
    const ParamBlocks blocks = spec.split(params);
    System system = build_system(spec, blocks, n + extra_periods);
    const auto intercept = exog_intercept(spec.k_exog, series.exog, blocks.beta, n);
    std::optional<std::span<const double>> d;
    if (intercept) d = std::span<const double>(*intercept);
    FilterOut out = kalman_filter(spec, system, series.y, d, options, store_paths);
    return FilterRun{blocks, std::move(system), std::move(out)};
}

double loglike_unconstrained(const Spec& spec, const Series& series, std::span<const double> u,
                             const FilterOptions& options) {
    const std::vector<double> params = spec.transform(u);
    const double value = run_filter(spec, series, params, options, false).out.loglike;
    return std::isfinite(value) ? value : -std::numeric_limits<double>::infinity();
}

}  // namespace korvanta
