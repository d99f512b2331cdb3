// The univariate Kalman filter and its sparse transition products.
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
/// values. Numerical trouble is never an error: it shows in the results.
FilterOut kalman_filter(const Spec& spec, const System& system, std::span<const double> y,
                        std::optional<std::span<const double>> obs_intercept, bool store_paths,
                        double diffuse_variance, double tolerance);

/// The rows of T grouped for the covariance prediction: maximal runs of consecutive rows whose
/// only entry is 1.0 at column row + delta (shifts, which vectorise), and runs of other rows.
struct TransitionRuns {
    struct Run {
        std::size_t begin, end;  ///< rows [begin, end)
        std::ptrdiff_t delta;    ///< column − row of a shift run
        bool general;            ///< rows evaluated entry by entry
    };
    explicit TransitionRuns(const SparseRows& transition);
    const SparseRows* rows;  ///< the transition the runs describe
    std::vector<Run> runs;   ///< in row order, covering every row once
};

/// One row of T·M: out = Σ over the entries (l, x) of `row`, in stored order from 0.0, of x
/// times row l of M (k × ncols, row-major); an entry of exactly 1.0 adds without multiplying.
void t_times_row(std::span<const Entry> row, const double* m, std::size_t ncols, double* out);

/// T·M for a k × k M, as row pointers: rows[b] points at row b of the product. Rows of T
/// whose only entry is 1.0 point straight into M; the others are formed in `scratch` (k²).
void t_times(const TransitionRuns& plan, const double* m, std::size_t k, double* scratch,
             const double** rows);

/// The upper triangle (j ≥ i) of T·M·T' + (sigma2·R)·R' given the rows of tp = T·M for a
/// symmetric M: element (i, j) is Σ over row j of T of x·tp[i][l] (stored order, from 0.0)
/// plus (sigma2·R_i)·R_j. The lower triangle of `out` is left untouched.
void t_p_tt_plus_rqr_upper(double sigma2, const TransitionRuns& plan, const double* const* tp,
                           const double* selection, std::size_t k, double* out);

/// Copies the upper triangle of the k × k matrix `m` onto its lower triangle.
void mirror_upper(double* m, std::size_t k);

/// The whole of T·M·T' + (sigma2·R)·R': the upper triangle, mirrored.
void t_p_tt_plus_rqr(double sigma2, const TransitionRuns& plan, const double* const* tp,
                     const double* selection, std::size_t k, double* out);

}  // namespace korvanta
