#include "objective/objective.hpp"

#include <cmath>
#include <limits>

#include "objective/pool.hpp"
#include "ssm/system.hpp"

namespace korvanta {

std::optional<std::vector<double>> exog_intercept(std::size_t k_exog,
                                                  std::optional<std::span<const double>> exog,
                                                  std::span<const double> beta, std::size_t n) {
    if (!exog || k_exog == 0) return std::nullopt;
    // Regressor-major loops keep each entry's sum in ascending i from 0.0 while reading the
    // regressors contiguously.
    std::vector<double> out(n, 0.0);
    for (std::size_t i = 0; i < k_exog; ++i) {
        const double b = beta[i];
        const double* x = exog->data() + i * n;
        for (std::size_t t = 0; t < n; ++t) out[t] = out[t] + x[t] * b;
    }
    return out;
}

namespace {

std::optional<std::span<const double>> as_span(const std::optional<std::vector<double>>& v) {
    if (!v) return std::nullopt;
    return std::span<const double>(*v);
}

// Magnitude-scaled central step: max(|u_i|, 1) times the cube root of 2^-52. The comparison
// is written so that a NaN magnitude yields 1.0, as IEEE maxNum does.
constexpr double CENTRAL_STEP = 6.055454452393343e-06;

}  // namespace

double loglike_unconstrained(const Spec& spec, std::span<const double> y,
                             std::optional<std::span<const double>> exog,
                             std::span<const double> u, double diffuse_variance,
                             double tolerance) {
    const std::vector<double> params = spec.transform(u);
    const ParamBlocks blocks = spec.split(params);
    const System sys = build_system(spec, blocks, y.size());
    const auto intercept = exog_intercept(spec.k_exog, exog, blocks.beta, y.size());
    const FilterOut out =
        kalman_filter(spec, sys, y, as_span(intercept), false, diffuse_variance, tolerance);
    return std::isfinite(out.loglike) ? out.loglike : -std::numeric_limits<double>::infinity();
}

GradOut loglike_and_grad(const Spec& spec, std::span<const double> y,
                         std::optional<std::span<const double>> exog, std::span<const double> u,
                         double diffuse_variance, double tolerance,
                         std::optional<double> epsilon, bool parallel) {
    const std::size_t n_params = u.size();
    // A fixed step exists only for a positive epsilon (NaN, zero and negatives fall through).
    const bool fixed = epsilon && *epsilon > 0.0;
    const double e = fixed ? *epsilon : 0.0;
    auto objective = [&](std::span<const double> at) {
        return loglike_unconstrained(spec, y, exog, at, diffuse_variance, tolerance);
    };
    GradOut out;
    out.loglike = objective(u);
    const double f0 = out.loglike;
    out.gradient.assign(n_params, 0.0);

    auto step = [&](std::size_t i) {
        std::vector<double> up(u.begin(), u.end());
        if (fixed) {
            up[i] = e + u[i];
            const double fp = objective(up);
            out.gradient[i] = (std::isfinite(fp) && std::isfinite(f0)) ? (fp - f0) / e : 0.0;
            return;
        }
        const double mag = std::fabs(u[i]);
        const double h = (mag > 1.0 ? mag : 1.0) * CENTRAL_STEP;
        std::vector<double> down(u.begin(), u.end());
        up[i] = h + u[i];
        down[i] = u[i] - h;
        const double fp = objective(up);
        const double fm = objective(down);
        const bool fp_ok = std::isfinite(fp), fm_ok = std::isfinite(fm);
        double g;
        if (fp_ok && fm_ok) {
            g = (fp - fm) / (h + h);
        } else if (fm_ok) {
            g = (f0 - fm) / h;
        } else if (fp_ok) {
            g = (fp - f0) / h;
        } else {
            g = 0.0;
        }
        out.gradient[i] = g;
    };

    // Each index writes only its own slot, so any schedule gives the serial result bit for bit.
    if (parallel && n_params > 1) {
        parallel_for(n_params, step);
    } else {
        for (std::size_t i = 0; i < n_params; ++i) step(i);
    }
    return out;
}

}  // namespace korvanta
