#include "objective/objective.hpp"

#include <cmath>
#include <limits>

#include "pool/pool.hpp"

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

namespace {

// Magnitude-scaled central step: max(|u_i|, 1) times the cube root of 2^-52; written so that
// a NaN magnitude yields 1.0, as IEEE maxNum does.
double central_step(double ui) {
    constexpr double CUBE_ROOT_EPSILON = 6.055454452393343e-06;
    const double mag = std::fabs(ui);
    return (mag > 1.0 ? mag : 1.0) * CUBE_ROOT_EPSILON;
}

// The difference quotient of one parameter from the values at its evaluation points.
double quotient(double f0, double fp, double fm, double h, bool fixed) {
    if (fixed) return (std::isfinite(fp) && std::isfinite(f0)) ? (fp - f0) / h : 0.0;
    const bool fp_ok = std::isfinite(fp), fm_ok = std::isfinite(fm);
    if (fp_ok && fm_ok) return (fp - fm) / (h + h);
    if (fm_ok) return (f0 - fm) / h;  // backward difference
    if (fp_ok) return (fp - f0) / h;  // forward difference, whatever f0 is
    return 0.0;                       // neither side finite
}

}  // namespace

GradOut loglike_and_grad(const Spec& spec, const Series& series, std::span<const double> u,
                         const FilterOptions& options, const GradOptions& grad) {
    const std::size_t n_params = u.size();
    // A fixed step exists only for a positive epsilon (NaN, zero and negatives fall through).
    const bool fixed = grad.epsilon && *grad.epsilon > 0.0;
    auto step = [&](std::size_t i) { return fixed ? *grad.epsilon : central_step(u[i]); };

    // Every objective value the gradient needs, as independent evaluation points: 0 is the
    // base vector, then per parameter the upward point and, for central differences, the
    // downward one. Each point writes only its own slot, so any schedule gives the values of
    // the serial order, bit for bit.
    const std::size_t per_param = fixed ? 1 : 2;
    std::vector<double> values(1 + per_param * n_params);
    auto evaluate = [&](std::size_t point) {
        std::vector<double> at(u.begin(), u.end());
        if (point > 0) {
            const std::size_t i = (point - 1) / per_param;
            const bool down = (point - 1) % per_param == 1;
            at[i] = down ? u[i] - step(i) : step(i) + u[i];
        }
        values[point] = loglike_unconstrained(spec, series, at, options);
    };
    if (grad.pool != nullptr && n_params > 1) {
        grad.pool->run(values.size(), evaluate);
    } else {
        for (std::size_t point = 0; point < values.size(); ++point) evaluate(point);
    }

    GradOut out;
    out.loglike = values[0];
    out.gradient.resize(n_params);
    for (std::size_t i = 0; i < n_params; ++i) {
        const double fp = values[1 + per_param * i];
        const double fm = fixed ? 0.0 : values[2 + per_param * i];
        out.gradient[i] = quotient(values[0], fp, fm, step(i), fixed);
    }
    return out;
}

}  // namespace korvanta
