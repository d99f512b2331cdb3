#include "filter/filter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "common/errors.hpp"
#include "common/inline.hpp"
#include "common/lanes.hpp"
#include "common/ln.hpp"
#include "filter/covariance_prediction.hpp"
#include "filter/steady_state.hpp"
#include "filter/transition_runs.hpp"

namespace korvanta {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

/// One run of the filter. The predicted mean a and covariance P (upper triangle) move from
/// step to step; in steady mode P is frozen and every step reuses the gain (pz, F) saved
/// when the covariance stopped changing. The mode ends at the next missing observation.
class Filter {
public:
    Filter(const Spec& spec, const System& sys, std::span<const double> y, const double* d,
           const FilterOptions& options, bool store_paths)
        : y_(y.data()),
          d_(d),
          store_paths_(store_paths),
          k_(spec.k_states),
          k_diff_(spec.k_diff),
          k_diffuse_(spec.k_diffuse),
          tolerance_(options.tolerance),
          detect_(spec.k_trend == 0 && spec.k_exog == 0),
          design_(sys.design),
          entries_(sys.transition.entries.data()),
          row_start_(sys.transition.start.data()),
          intercept_(sys.state_intercept.data()),
          trend_(sys.trend ? sys.trend->data() : nullptr),
          prediction_(sys) {
        for (const Run& run : row_runs(sys.transition)) {
            if (run.shift) {
                shift_runs_.push_back(run);
                continue;
            }
            for (std::size_t i = run.begin; i < run.end; ++i) {
                const auto row = sys.transition.row(i);
                general_rows_.push_back(GeneralRow{i, row.data(), row.data() + row.size()});
            }
        }
        InitialState init = initial_state(spec, sys, options.diffuse_variance);
        out_.state = std::move(init.mean);
        out_.state_cov = std::move(init.cov);
        if (store_paths_) {
            for (auto* path : {&out_.forecasts, &out_.forecast_errors, &out_.forecast_variances, &out_.loglike_obs}) {
                path->assign(y.size(), 0.0);
            }
        }
        // The covariance prediction may run up to PADDING elements past the end of P, of the
        // matrix it writes and of pz.
        constexpr std::size_t PAD = CovariancePrediction::PADDING;
        out_.state_cov.resize(k_ * k_ + PAD, 0.0);
        spare_cov_.assign(k_ * k_ + PAD, 0.0);
        work_.assign(2 * k_ + PAD, 0.0);
        steady_pz_.assign(k_, 0.0);
        a_ = out_.state.data();
        P_ = out_.state_cov.data();
        spare_ = spare_cov_.data();
        filtered_ = work_.data();
        pz_ = work_.data() + k_;
    }

    // Steps 0 … n − 1, with the element-wise loops four lanes wide where the processor
    // runs the four-lane prediction (the same bits either way).
    void run(std::size_t n) {
#if defined(KORVANTA_AVX2)
        if (prediction_.four_lanes()) return run_four(n);
#endif
        run_lanes<LANES>(n);
    }

    FilterOut finish() {
        // The current covariance lives in the spare buffer after an odd number of swaps.
        if (P_ != out_.state_cov.data()) out_.state_cov.swap(spare_cov_);
        out_.state_cov.resize(k_ * k_);
        mirror_upper(out_.state_cov.data(), k_);
        out_.loglike = degenerate_ ? NaN : loglike_;
        out_.sum_scaled_sq_errors = sum_sq_;
        out_.sum_log_variances = sum_log_;
        out_.nobs_effective = nobs_;
        out_.scale = 1.0;
        return std::move(out_);
    }

private:
#if defined(KORVANTA_AVX2)
    __attribute__((target("avx2"))) void run_four(std::size_t n) { run_lanes<4>(n); }
#endif

    template <std::size_t W>
    KORVANTA_ALWAYS_INLINE void run_lanes(std::size_t n) {
        for (std::size_t t = 0; t < n; ++t) {
            // A steady step reuses the saved gain and leaves P frozen; a missing observation
            // ends steady mode, its step starting the covariance recursion again.
            if (steady_ && !std::isnan(y_[t])) {
                step<true, W>(t);
            } else {
                step<false, W>(t);
            }
        }
    }

    template <bool Frozen, std::size_t W>
    KORVANTA_ALWAYS_INLINE void step(std::size_t t) {
        const double yt = y_[t];
        const bool missing = std::isnan(yt);  // never in a steady step
        const double f = observed_mean() + (d_ != nullptr ? d_[t] : 0.0);
        const double* pz = Frozen ? steady_pz_.data() : gather_pz<W>();
        const double F = Frozen ? steady_F_ : variance_of(pz);
        const double v = yt - f;
        if (store_paths_) {
            out_.forecasts[t] = f;
            out_.forecast_errors[t] = v;
            out_.forecast_variances[t] = F;
        }
        const bool updated = !missing && F > 0.0;  // a NaN F is degenerate too
        if (updated) {
            if (t >= k_diffuse_) add_term(t, v, F, Frozen ? steady_log_F_ : log_of(F));
            update_mean<W>(v / F, pz);
        } else {
            // The log-likelihood is NaN whatever follows. It is set at the end, not here: adding a
            // later NaN term to a NaN total would leave which of the two NaNs is kept to the
            // order the compiler gives the operands, which may differ between lane widths.
            if (!missing && t >= k_diffuse_) degenerate_ = true;
            std::copy(a_, a_ + k_, filtered_);
        }
        predict_mean<W>(t);
        if (!Frozen) predict_covariance(t, pz, F, updated);
    }

    double observed_mean() const {
        double za = 0.0;
        for (std::size_t i : design_) za = za + a_[i];
        return za;
    }

    // pz = P·Z', each entry adding its terms in design order from 0.0 (the design is never
    // empty, so the first column's pass starts the sums). Two design columns next to each
    // other (the last state of a seasonal block and the first ARMA state, say) go together.
    template <std::size_t W>
    KORVANTA_ALWAYS_INLINE const double* gather_pz() {
        const std::size_t count = design_.size();
        const bool first_pair = count > 1 && design_[1] == design_[0] + 1;
        if (first_pair) {
            add_pair<true, W>(design_[0]);
        } else {
            add_column<true, W>(design_[0]);
        }
        for (std::size_t m = first_pair ? 2 : 1; m < count; ++m) {
            if (m + 1 < count && design_[m + 1] == design_[m] + 1) {
                add_pair<false, W>(design_[m]);
                m += 1;
            } else {
                add_column<false, W>(design_[m]);
            }
        }
        return pz_;
    }

    // Column c of P into pz. Only the upper triangle of P is current, so column c is read
    // above the diagonal and row c from it on.
    template <bool First, std::size_t W>
    KORVANTA_ALWAYS_INLINE void add_column(std::size_t c) {
        double* KORVANTA_RESTRICT pz = pz_;
        const double* KORVANTA_RESTRICT P = P_;
        for (std::size_t i = 0; i < c; ++i) pz[i] = (First ? 0.0 : pz[i]) + P[i * k_ + c];
        add_row<First, W>(c);
    }

    // Columns c and c + 1, in that order for every element: above row c both terms of an
    // element are read from its own row in one pass; then row c from the diagonal on, the
    // element of column c + 1 in row c, and row c + 1 from the diagonal on.
    template <bool First, std::size_t W>
    KORVANTA_ALWAYS_INLINE void add_pair(std::size_t c) {
        double* KORVANTA_RESTRICT pz = pz_;
        const double* KORVANTA_RESTRICT P = P_;
        for (std::size_t i = 0; i < c; ++i) pz[i] = ((First ? 0.0 : pz[i]) + P[i * k_ + c]) + P[i * k_ + c + 1];
        add_row<First, W>(c);
        pz[c] = pz[c] + P[c * k_ + c + 1];
        add_row<false, W>(c + 1);
    }

    // pz[i] (or 0.0 with First) + P[c][i] for i ≥ c.
    template <bool First, std::size_t W>
    KORVANTA_ALWAYS_INLINE void add_row(std::size_t c) {
        double* KORVANTA_RESTRICT pz = pz_;
        const double* KORVANTA_RESTRICT row = P_ + c * k_ + c;
        by_lanes<W>(k_ - c, [&]<std::size_t V>(std::size_t m) {
            const Lanes<V> sum = First ? splat<V>(0.0) : load_lanes<V>(pz + c + m);
            store_lanes<V>(pz + c + m, sum + load_lanes<V>(row + m));
        });
    }

    // ln F, remembered for the last F: once the covariance settles, F repeats bit for bit
    // from step to step (also where trend or regressors rule out the steady-state shortcut).
    double log_of(double F) {
        if (F != last_F_) {
            last_F_ = F;
            last_log_F_ = ln(F);
        }
        return last_log_F_;
    }

    double variance_of(const double* pz) const {
        double F = 0.0;
        for (std::size_t j : design_) F = F + pz[j];
        return F;
    }

    // A counted observation's term −0.5·(v²/F + (ln F + ln 2π)) and the running sums.
    void add_term(std::size_t t, double v, double F, double log_F) {
        const double q = v * v / F;
        const double term = -0.5 * (q + (log_F + LN2PI));
        loglike_ = loglike_ + term;
        sum_sq_ = sum_sq_ + q;
        sum_log_ = sum_log_ + log_F;
        nobs_ += 1;
        if (store_paths_) out_.loglike_obs[t] = term;
    }

    template <std::size_t W>
    KORVANTA_ALWAYS_INLINE void update_mean(double g, const double* KORVANTA_RESTRICT pz) {
        double* KORVANTA_RESTRICT filtered = filtered_;
        const double* KORVANTA_RESTRICT a = a_;
        by_lanes<W>(k_, [&]<std::size_t V>(std::size_t i) {
            store_lanes<V>(filtered + i, load_lanes<V>(a + i) + load_lanes<V>(pz + i) * splat<V>(g));
        });
    }

    // a[i] = c_i + Σ over the sparse row i of T (stored order, from 0.0) of x·filtered[l],
    // where the first ARMA state's intercept is the trend value of period t when there is one.
    // A shift row's sum is 0.0 + filtered[i + delta] (its entry of 1.0 multiplies exactly).
    // The runs of shift rows go first, then the other rows: each element is written once, from
    // the filtered mean only, so the order is free.
    template <std::size_t W>
    KORVANTA_ALWAYS_INLINE void predict_mean(std::size_t t) {
        const Entry* KORVANTA_RESTRICT e = entries_;
        const std::size_t* KORVANTA_RESTRICT start = row_start_;
        const double* KORVANTA_RESTRICT x = filtered_;
        const double* KORVANTA_RESTRICT c = intercept_;
        double* KORVANTA_RESTRICT a = a_;
        auto row_sum = [&](std::size_t i) {
            double sum = 0.0;
            for (const Entry *m = e + start[i], *end = e + start[i + 1]; m != end; ++m)
                sum = sum + m->value * x[m->col];
            return sum;
        };
        for (const Run& run : shift_runs_) {
            const double* KORVANTA_RESTRICT src = x + offset(run.begin, run.delta);
            const std::size_t b = run.begin;
            by_lanes<W>(run.end - b, [&]<std::size_t V>(std::size_t m) {
                store_lanes<V>(a + b + m, load_lanes<V>(c + b + m) + (splat<V>(0.0) + load_lanes<V>(src + m)));
            });
        }
        for (const GeneralRow& row : general_rows_) {
            double sum = 0.0;
            for (const Entry* m = row.begin; m != row.end; ++m) sum = sum + m->value * x[m->col];
            a[row.i] = c[row.i] + sum;
        }
        if (trend_ != nullptr) a[k_diff_] = trend_[t] + row_sum(k_diff_);
    }

    void predict_covariance(std::size_t t, const double* pz, double F, bool updated) {
        prediction_.predict_upper(FilteredCovariance{P_, pz, F, updated, predicted_}, spare_);
        predicted_ = true;      // from now on P is the prediction's (the initial one may hold −0.0)
        std::swap(P_, spare_);  // the spare buffer now holds the previous covariance
        steady_ =
            detect_ && t >= 1 && !std::isnan(y_[t]) && !std::isnan(y_[t - 1]) && settled_(spare_, P_, k_, tolerance_);
        if (steady_) {
            std::copy(pz, pz + k_, steady_pz_.begin());
            steady_F_ = F;
            steady_log_F_ = log_of(F);
        }
    }

    const double* y_;
    const double* d_;  ///< observation intercept, or null
    bool store_paths_;
    std::size_t k_, k_diff_, k_diffuse_;
    double tolerance_;
    bool detect_;  ///< steady state may be detected (no trend, no regressors)
    std::span<const std::size_t> design_;
    const Entry* entries_;          ///< the transition's entries, row after row
    const std::size_t* row_start_;  ///< row i is entries_[row_start_[i], row_start_[i + 1])
    const double* intercept_;
    const double* trend_;  ///< per-period intercept of state k_diff, or null
    /// A row of T that is not a shift, with its entries.
    struct GeneralRow {
        std::size_t i;
        const Entry* begin;
        const Entry* end;
    };
    std::vector<Run> shift_runs_;           ///< the shift rows of T in runs
    std::vector<GeneralRow> general_rows_;  ///< the other rows
    CovariancePrediction prediction_;
    SettledTest settled_;
    FilterOut out_{};
    std::vector<double> spare_cov_, work_, steady_pz_;
    double* a_ = nullptr;         ///< predicted mean (out_.state)
    double* P_ = nullptr;         ///< predicted covariance, upper triangle
    double* spare_ = nullptr;     ///< the other covariance buffer
    double* filtered_ = nullptr;  ///< filtered mean
    double* pz_ = nullptr;        ///< P·Z'
    bool steady_ = false;
    bool predicted_ = false;  ///< P was written by the covariance prediction
    double steady_F_ = 0.0, steady_log_F_ = 0.0;
    double last_F_ = std::numeric_limits<double>::quiet_NaN(), last_log_F_ = 0.0;  ///< log_of's memory
    double loglike_ = 0.0, sum_sq_ = 0.0, sum_log_ = 0.0;
    bool degenerate_ = false;  ///< a counted observation had no update: the log-likelihood is NaN
    std::uint64_t nobs_ = 0;
};

// The likelihood maximised over the scale: scale = Σ v²/F / N, and every stored term
// rewritten for it. Runs only when the likelihood is finite.
void concentrate(FilterOut& out, std::size_t k_diffuse) {
    if (!std::isfinite(out.loglike)) return;
    if (out.nobs_effective == 0) {
        out.loglike = 0.0;
        return;
    }
    const double nobs = static_cast<double>(out.nobs_effective);
    const double scale = out.sum_scaled_sq_errors / nobs;
    const double c = ln(scale) + LN2PI;
    out.loglike = -0.5 * (out.sum_log_variances + (c + 1.0) * nobs);
    out.scale = scale;
    for (std::size_t t = 0; t < out.loglike_obs.size(); ++t) {
        const double F = out.forecast_variances[t], v = out.forecast_errors[t];
        const bool counted = F > 0.0 && !std::isnan(v) && t >= k_diffuse;
        out.loglike_obs[t] = counted ? -0.5 * ((c + ln(F)) + v * v / (scale * F)) : 0.0;
    }
}

}  // namespace

FilterOut kalman_filter(const Spec& spec, const System& system, std::span<const double> y,
                        std::optional<std::span<const double>> obs_intercept, const FilterOptions& options,
                        bool store_paths) {
    const std::size_t n = y.size(), k = spec.k_states;
    require(system.transition.rows() == k && system.selection.size() == k && system.state_intercept.size() == k,
            "system does not match the state dimension");
    for (std::size_t i : system.design) require(i < k, "design index out of range");
    require(!system.trend || system.trend->size() >= n, "trend shorter than the series");
    require(!obs_intercept || obs_intercept->size() >= n, "observation intercept too short");

    Filter filter(spec, system, y, obs_intercept ? obs_intercept->data() : nullptr, options, store_paths);
    filter.run(n);
    FilterOut out = filter.finish();
    if (spec.concentrate_scale) concentrate(out, spec.k_diffuse);
    return out;
}

void apply_scale(const Spec& spec, const FilterOut& out, std::span<double> variances) {
    if (!spec.concentrate_scale) return;
    for (double& v : variances) v = out.scale * v;
}

}  // namespace korvanta
