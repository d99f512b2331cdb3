// The univariate Kalman filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ssm/model_spec.hpp"
#include "ssm/system.hpp"

namespace korvanta {

/// ln 2π correctly rounded (bits 0x3FFD67F1C864BEB5); computing log(2π) in double precision
/// lands one unit in the last place lower, so the constant is spelled out.
inline constexpr double LN2PI = 1.8378770664093456;

/// The filter's numerical settings.
struct FilterOptions {
    double diffuse_variance = 1e6;  ///< initial variance of the diffuse states
    double tolerance = 1e-19;       ///< steady state once the covariance moves less than this
};

struct FilterOut {
    std::vector<double> forecasts;           ///< f_t = Z·a_t + d_t (n, or empty without paths)
    std::vector<double> forecast_errors;     ///< v_t = y_t − f_t
    std::vector<double> forecast_variances;  ///< F_t = Z·P_t·Z'
    std::vector<double> loglike_obs;         ///< term of observation t, 0.0 when not counted
    std::vector<double> state;               ///< predicted state after the last observation
    std::vector<double> state_cov;           ///< its covariance (k_states², row-major)
    double loglike;                          ///< total log-likelihood
    double sum_scaled_sq_errors;             ///< Σ v_t²/F_t over counted observations
    double sum_log_variances;                ///< Σ ln F_t over counted observations
    std::uint64_t nobs_effective;            ///< number of counted observations
    double scale;                            ///< 1.0, or the concentrated scale
};

/// Runs the filter over `y` (NaN = missing). `obs_intercept`, when given, holds at least n
/// values d_t. With `store_paths` the four per-observation vectors are filled. Numerical
/// trouble is never an error: it shows in the results.
FilterOut kalman_filter(const Spec& spec, const System& system, std::span<const double> y,
                        std::optional<std::span<const double>> obs_intercept, const FilterOptions& options,
                        bool store_paths);

/// Multiplies `variances` by the filter's concentrated scale when the model concentrates it
/// out (they were computed for a unit variance); leaves them unchanged otherwise.
void apply_scale(const Spec& spec, const FilterOut& out, std::span<double> variances);

}  // namespace korvanta
