// The likelihood objective, its finite-difference gradient and the forecast recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "ssm/model_spec.hpp"
#include "ssm/system.hpp"

namespace korvanta {

class Pool;

/// Largest forecast horizon accepted: the mean, variance and trend vectors of a forecast then
/// stay within 3 · 2^25 · 8 B = 768 MiB.
inline constexpr std::uint64_t MAX_HORIZON = std::uint64_t{1} << 25;

/// The data of every filter run: the series and its regressors.
struct Series {
    std::span<const double> y;                    ///< observations, NaN = missing
    std::optional<std::span<const double>> exog;  ///< k_exog × n values, regressor by regressor
};

/// Regression term d_t = Σ_i x[i·n + t]·beta[i] (ascending i, from 0.0) for n periods of the
/// regressors `x` laid out regressor by regressor; absent without regressors.
std::optional<std::vector<double>> exog_intercept(std::size_t k_exog, std::optional<std::span<const double>> x,
                                                  std::span<const double> beta, std::size_t n);

/// One filter run at a constrained vector, with the system it ran on.
struct FilterRun {
    ParamBlocks blocks;  ///< views into the parameter vector
    System system;       ///< built for the series and `extra_periods` beyond it
    FilterOut out;
};

/// Splits `params`, builds the system for the series plus `extra_periods` (the trend goes
/// on past the series for a forecast), forms the regression term and filters.
FilterRun run_filter(const Spec& spec, const Series& series, std::span<const double> params,
                     const FilterOptions& options, bool store_paths, std::size_t extra_periods = 0);

/// Log-likelihood at an unconstrained vector; any non-finite value becomes −infinity.
double loglike_unconstrained(const Spec& spec, const Series& series, std::span<const double> u,
                             const FilterOptions& options);

/// How the gradient is differenced and where its evaluations run.
struct GradOptions {
    std::optional<double> epsilon;  ///< a positive value: forward differences with this step
    Pool* pool = nullptr;           ///< evaluations shared with this pool's workers, or serial
};

struct GradOut {
    double loglike = 0.0;          ///< f0, the objective at u
    std::vector<double> gradient;  ///< one difference quotient per parameter
};

/// f0 and the finite-difference gradient of loglike_unconstrained at `u`: forward
/// differences with a positive `epsilon`, otherwise central differences with one-sided
/// fall-backs. Results are collected by index, so any schedule gives the same bits.
GradOut loglike_and_grad(const Spec& spec, const Series& series, std::span<const double> u,
                         const FilterOptions& options, const GradOptions& grad);

struct ForecastOut {
    std::vector<double> forecasts;        ///< in-sample one-step forecasts (n)
    std::vector<double> forecast_errors;  ///< in-sample errors (n)
    std::vector<double> means;            ///< out-of-sample means (horizon)
    std::vector<double> variances;        ///< out-of-sample variances (horizon)
};

/// Filters the series at `params`, then propagates the state `horizon` periods beyond it.
ForecastOut forecast(const Spec& spec, const Series& series, std::span<const double> params,
                     const FilterOptions& options, std::optional<std::span<const double>> exog_future,
                     std::size_t horizon);

}  // namespace korvanta
