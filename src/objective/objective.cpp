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

FilterOut filter_at(const Spec& spec, std::span<const double> params, std::span<const double> y,
                    std::optional<std::span<const double>> exog, bool store_paths,
                    double diffuse_variance, double tolerance) {
    const ParamBlocks blocks = spec.split(params);
    const System sys = build_system(spec, blocks, y.size());
    const auto intercept = exog_intercept(spec.k_exog, exog, blocks.beta, y.size());
    return kalman_filter(spec, sys, y, as_span(intercept), store_paths, diffuse_variance, tolerance);
}

double loglike_unconstrained(const Spec& spec, std::span<const double> y,
                             std::optional<std::span<const double>> exog,
                             std::span<const double> u, double diffuse_variance,
                             double tolerance) {
    const std::vector<double> params = spec.transform(u);
    const double value = filter_at(spec, params, y, exog, false, diffuse_variance, tolerance).loglike;
    return std::isfinite(value) ? value : -std::numeric_limits<double>::infinity();
}

GradOut loglike_and_grad(const Spec& spec, std::span<const double> y,
                         std::optional<std::span<const double>> exog, std::span<const double> u,
                         double diffuse_variance, double tolerance,
                         std::optional<double> epsilon, bool parallel) {
    const std::size_t n_params = u.size();
    // A fixed step exists only for a positive epsilon (NaN, zero and negatives fall through).
    const bool fixed = epsilon && *epsilon > 0.0;
    const double e = fixed ? *epsilon : 0.0;
    auto central_step = [&](std::size_t i) {
        const double mag = std::fabs(u[i]);
        return (mag > 1.0 ? mag : 1.0) * CENTRAL_STEP;  // a NaN magnitude gives 1.0
    };

    // Every objective value the gradient needs, as independent evaluation points: 0 is the
    // base vector, then per parameter the upward point and, for central differences, the
    // downward one. Each point writes only its own slot, so any schedule gives the same values
    // as the serial order, bit for bit.
    const std::size_t per_param = fixed ? 1 : 2;
    std::vector<double> values(1 + per_param * n_params);
    auto evaluate = [&](std::size_t point) {
        std::vector<double> at(u.begin(), u.end());
        if (point > 0) {
            const std::size_t i = (point - 1) / per_param;
            const bool down = (point - 1) % per_param == 1;
            if (fixed) {
                at[i] = e + u[i];
            } else {
                const double h = central_step(i);
                at[i] = down ? u[i] - h : h + u[i];
            }
        }
        values[point] = loglike_unconstrained(spec, y, exog, at, diffuse_variance, tolerance);
    };
    if (parallel && n_params > 1) {
        parallel_for(values.size(), evaluate);
    } else {
        for (std::size_t point = 0; point < values.size(); ++point) evaluate(point);
    }

    GradOut out;
    out.loglike = values[0];
    const double f0 = values[0];
    out.gradient.assign(n_params, 0.0);
    for (std::size_t i = 0; i < n_params; ++i) {
        const double fp = values[1 + per_param * i];
        if (fixed) {
            out.gradient[i] = (std::isfinite(fp) && std::isfinite(f0)) ? (fp - f0) / e : 0.0;
            continue;
        }
        const double fm = values[2 + per_param * i];
        const double h = central_step(i);
        const bool fp_ok = std::isfinite(fp), fm_ok = std::isfinite(fm);
        double g = 0.0;  // neither side finite
        if (fp_ok && fm_ok) {
            g = (fp - fm) / (h + h);
        } else if (fm_ok) {
            g = (f0 - fm) / h;  // backward difference
        } else if (fp_ok) {
            g = (fp - f0) / h;  // forward difference, whatever f0 is
        }
        out.gradient[i] = g;
    }
    return out;
}

}  // namespace korvanta
