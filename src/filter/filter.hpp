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
/// only entry is 1.0 at column row + delta (shifts), and runs of other rows.
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

/// The covariance prediction T·C·T' + (sigma2·R)·R' through the sparse rows of T, where C is
/// the filtered covariance: P − (pz/F)·pz' after an update (its upper triangle computed,
/// the lower one the mirror image), or P itself. C is never formed whole: a row of T that is
/// a single 1.0 (a shift) reads C where it is needed, and only the rows of C that the other
/// rows of T reference are built. The values are exactly those of forming C, then T·C
/// (`t_times`: per row of T, its entries' scaled rows of C summed in stored order from 0.0, an
/// entry of 1.0 adding without a multiplication), then each element i ≤ j of the result as
/// Σ over row j of T of x·(T·C)[i][l] (stored order, from 0.0) plus (sigma2·R_i)·R_j.
/// Only the upper triangle of P is read. Holds its scratch space; one per filter run.
class CovariancePrediction {
public:
    CovariancePrediction(const SparseRows& transition, std::size_t k);

    /// Writes the upper triangle (j ≥ i) of the prediction into `out`, leaving the lower one
    /// untouched. `updated` says whether C is P − (pz/F)·pz' or P itself (then pz and F are
    /// not read).
    void t_p_tt_plus_rqr_upper(const double* P, bool updated, const double* pz, double F,
                               double sigma2, const double* selection, double* out);

private:
    void t_times();  // the rows of T·C for the general rows of T
    double c_at(std::size_t r, std::size_t c) const;
    void fill_row(std::size_t l, double* out) const;
    void shift_segment(std::size_t r, std::ptrdiff_t delta, std::size_t from, std::size_t end,
                       double sri, const double* sel, double* oi) const;

    TransitionRuns plan_;                    ///< row runs of T
    std::size_t k_;                          ///< state dimension
    std::vector<char> shift_;                ///< row of T is a single 1.0 (a shift)
    std::vector<std::ptrdiff_t> delta_;      ///< column − row of a shift row
    std::vector<std::size_t> general_rows_;  ///< the other rows of T
    std::vector<double*> c_rows_;            ///< built rows of C (those general rows read), else null
    std::vector<double> c_store_;            ///< storage of the built rows of C
    std::vector<double*> tp_rows_;           ///< rows of T·C for the general rows of T, else null
    std::vector<double> tp_store_;           ///< their storage
    std::vector<double> w_;                  ///< pz[r] / F
    const double* P_ = nullptr;              ///< the current call's P
    const double* pz_ = nullptr;             ///< the current call's pz
    bool updated_ = false;                   ///< the current call's C is P − (pz/F)·pz'
};

/// Copies the upper triangle of the k × k matrix `m` onto its lower triangle.
void mirror_upper(double* m, std::size_t k);

/// The whole of T·P·T' + (sigma2·R)·R' for a symmetric P (no update): the upper triangle,
/// mirrored. The forecast recursion's covariance step.
void t_p_tt_plus_rqr(CovariancePrediction& prediction, const double* P, double sigma2,
                     const double* selection, std::size_t k, double* out);

}  // namespace korvanta
