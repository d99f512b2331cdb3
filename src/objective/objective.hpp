// The likelihood objective, its finite-difference gradient and the forecast recursion.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "ssm/model_spec.hpp"

namespace korvanta {

/// Largest forecast horizon accepted: the mean, variance and trend vectors of a forecast then
/// stay within 3 · 2^25 · 8 B = 768 MiB.
inline constexpr std::uint64_t MAX_HORIZON = std::uint64_t{1} << 25;

/// Observation intercept d_t = Σ_i exog[i·n + t]·beta[i] (ascending i, from 0.0); absent
/// when there are no regressors.
std::optional<std::vector<double>> exog_intercept(std::size_t k_exog,
                                                  std::optional<std::span<const double>> exog,
                                                  std::span<const double> beta, std::size_t n);

/// The filter run at a constrained vector: split, build the system for the series, form the
/// observation intercept, filter.
FilterOut filter_at(const Spec& spec, std::span<const double> params, std::span<const double> y,
                    std::optional<std::span<const double>> exog, bool store_paths,
                    double diffuse_variance, double tolerance);

/// Log-likelihood at an unconstrained vector; any non-finite value becomes −infinity.
double loglike_unconstrained(const Spec& spec, std::span<const double> y,
                             std::optional<std::span<const double>> exog,
                             std::span<const double> u, double diffuse_variance,
                             double tolerance);

struct GradOut {
    double loglike = 0.0;         ///< f0, the objective at u
    std::vector<double> gradient; ///< one difference quotient per parameter
};

/// f0 and the finite-difference gradient of loglike_unconstrained at `u`. `epsilon`, when
/// positive, selects forward differences with that fixed step; otherwise central differences
/// with one-sided fall-backs. With `parallel` and more than one parameter the per-index
/// evaluations run on the worker pool; results are collected by index either way.
GradOut loglike_and_grad(const Spec& spec, std::span<const double> y,
                         std::optional<std::span<const double>> exog, std::span<const double> u,
                         double diffuse_variance, double tolerance,
                         std::optional<double> epsilon, bool parallel);

struct ForecastOut {
    std::vector<double> forecasts;        ///< in-sample one-step forecasts (n)
    std::vector<double> forecast_errors;  ///< in-sample errors (n)
    std::vector<double> means;            ///< out-of-sample means (horizon)
    std::vector<double> variances;        ///< out-of-sample variances (horizon)
};

/// Filters `y` at the constrained vector `params`, then propagates the state `horizon`
/// periods beyond the series.
ForecastOut forecast(const Spec& spec, std::span<const double> params, std::span<const double> y,
                     std::optional<std::span<const double>> exog,
                     std::optional<std::span<const double>> exog_future, std::size_t horizon,
                     double diffuse_variance, double tolerance);

}  // namespace korvanta
