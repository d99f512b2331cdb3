#include "filter/filter.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "common/errors.hpp"

namespace korvanta {

void t_times(const SparseRows& transition, const double* m, std::size_t ncols, double* out) {
    const std::size_t rows = transition.rows();
    std::memset(out, 0, rows * ncols * sizeof(double));
    for (std::size_t b = 0; b < rows; ++b) {
        double* ob = out + b * ncols;
        for (const Entry& e : transition.row(b)) {
            const double* ml = m + e.col * ncols;
            if (e.value == 1.0) {
                for (std::size_t j = 0; j < ncols; ++j) ob[j] = ob[j] + ml[j];
            } else {
                const double x = e.value;
                for (std::size_t j = 0; j < ncols; ++j) ob[j] = ob[j] + x * ml[j];
            }
        }
    }
}

void t_p_tt_plus_rqr(double sigma2, const SparseRows& transition, const double* tp,
                     const double* selection, std::size_t k, double* out) {
    const Entry* entries = transition.entries.data();
    const std::size_t* start = transition.start.data();
    for (std::size_t i = 0; i < k; ++i) {
        const double* tpi = tp + i * k;
        const double sri = sigma2 * selection[i];
        double* oi = out + i * k;
        for (std::size_t j = i; j < k; ++j) {
            double s = 0.0;
            for (std::size_t e = start[j]; e < start[j + 1]; ++e) {
                s = s + entries[e].value * tpi[entries[e].col];
            }
            oi[j] = s + sri * selection[j];
        }
    }
    // Mirror the upper triangle in tiles so that the column writes stay in cache.
    constexpr std::size_t TILE = 32;
    for (std::size_t ib = 0; ib < k; ib += TILE) {
        for (std::size_t jb = ib; jb < k; jb += TILE) {
            const std::size_t ie = ib + TILE < k ? ib + TILE : k;
            const std::size_t je = jb + TILE < k ? jb + TILE : k;
            for (std::size_t i = ib; i < ie; ++i) {
                for (std::size_t j = (jb > i + 1 ? jb : i + 1); j < je; ++j) out[j * k + i] = out[i * k + j];
            }
        }
    }
}

namespace {

// Σ (previous[i] − current[i])² over all entries in order, from 0.0, compared strictly with
// `tolerance`. The terms are non-negative, so partial sums never decrease: a reordered,
// vectorisable sum decides the comparison unless it lies within a relative 1e-6 of the
// tolerance (far above its rounding error for up to 4096² terms), and only then is the exact
// sum formed. Non-finite or tiny tolerances always take the exact path.
bool covariance_settled(const double* previous, const double* current, std::size_t len,
                        double tolerance) {
    if (!(tolerance > 0.0)) return false;  // a sum of squares is never below 0 (or NaN)
    if (std::isfinite(tolerance) && tolerance > 1e-280) {
        double acc[4] = {0.0, 0.0, 0.0, 0.0};
        std::size_t i = 0;
        for (; i + 4 <= len; i += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                const double diff = previous[i + l] - current[i + l];
                acc[l] = acc[l] + diff * diff;
            }
        }
        for (; i < len; ++i) {
            const double diff = previous[i] - current[i];
            acc[0] = acc[0] + diff * diff;
        }
        const double approx = (acc[0] + acc[1]) + (acc[2] + acc[3]);
        if (std::isnan(approx)) return false;
        if (approx > tolerance * (1.0 + 1e-6)) return false;
        if (approx < tolerance * (1.0 - 1e-6)) return true;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double diff = previous[i] - current[i];
        sum = sum + diff * diff;
    }
    return sum < tolerance;
}

}  // namespace

FilterOut kalman_filter(const Spec& spec, const System& sys, std::span<const double> y,
                        std::optional<std::span<const double>> obs_intercept, bool store_paths,
                        double diffuse_variance, double tolerance) {
    const std::size_t n = y.size();
    const std::size_t k = spec.k_states, k_diff = spec.k_diff, k_diffuse = spec.k_diffuse;
    require(sys.transition.rows() >= k && sys.selection.size() >= k &&
                sys.state_intercept.size() >= k,
            "system smaller than the state dimension");
    for (std::size_t idx : sys.design) require(idx < k, "design index out of range");
    require(!sys.trend || sys.trend->size() >= n, "trend shorter than the series");
    require(!obs_intercept || obs_intercept->size() >= n, "observation intercept too short");

    InitialState init = initial_state(spec, sys, diffuse_variance);
    FilterOut out{};
    out.state = std::move(init.mean);
    out.state_cov = std::move(init.cov);
    if (store_paths) {
        out.forecasts.assign(n, 0.0);
        out.forecast_errors.assign(n, 0.0);
        out.forecast_variances.assign(n, 0.0);
        out.loglike_obs.assign(n, 0.0);
    }
    const bool detect = spec.k_trend == 0 && spec.k_exog == 0;

    // Working storage, allocated once. `P` and `spare` swap roles at every prediction, so
    // after it `spare` holds the previous covariance that the steady-state test compares.
    std::vector<double> spare(k * k, 0.0), filtered_cov(k * k, 0.0), tp(k * k, 0.0);
    std::vector<double> filtered_state(k, 0.0), pz(k, 0.0), steady_pz;
    double steady_variance = 0.0;
    double* a = out.state.data();
    double* P = out.state_cov.data();
    double* P_spare = spare.data();
    const std::size_t* design = sys.design.data();
    const std::size_t n_design = sys.design.size();
    const Entry* entries = sys.transition.entries.data();
    const std::size_t* row_start = sys.transition.start.data();
    const double* intercept = sys.state_intercept.data();
    const double* trend = sys.trend ? sys.trend->data() : nullptr;

    double loglike = 0.0, sum_sq = 0.0, sum_logf = 0.0;
    std::uint64_t nobs = 0;
    bool steady_flag = false;

    for (std::size_t t = 0; t < n; ++t) {
        const double yt = y[t];
        const bool missing = std::isnan(yt);

        double za = 0.0;
        for (std::size_t j = 0; j < n_design; ++j) za = za + a[design[j]];
        const double dt = obs_intercept ? (*obs_intercept)[t] : 0.0;
        const double f = za + dt;

        const bool steady = steady_flag && !missing;
        const double* pzv;
        double F;
        if (steady) {
            pzv = steady_pz.data();
            F = steady_variance;
        } else {
            for (std::size_t i = 0; i < k; ++i) {
                const double* Pi = P + i * k;
                double sum = 0.0;
                for (std::size_t j = 0; j < n_design; ++j) sum = sum + Pi[design[j]];
                pz[i] = sum;
            }
            F = 0.0;
            for (std::size_t j = 0; j < n_design; ++j) F = F + pz[design[j]];
            pzv = pz.data();
        }
        const double v = yt - f;
        if (store_paths) {
            out.forecasts[t] = f;
            out.forecast_errors[t] = v;
            out.forecast_variances[t] = F;
        }

        // The covariance that the prediction step propagates: the updated one, or P itself
        // when the observation brings no update.
        const double* fcov = P;
        if (missing || !(F > 0.0)) {
            if (!missing && t >= k_diffuse) loglike = std::numeric_limits<double>::quiet_NaN();
            std::memcpy(filtered_state.data(), a, k * sizeof(double));
        } else {
            if (t >= k_diffuse) {
                const double lnF = std::log(F);
                const double q = v * v / F;
                const double term = -0.5 * (q + (lnF + LN2PI));
                loglike = loglike + term;
                sum_sq = sum_sq + q;
                sum_logf = sum_logf + lnF;
                nobs += 1;
                if (store_paths) out.loglike_obs[t] = term;
            }
            const double g = v / F;
            for (std::size_t i = 0; i < k; ++i) filtered_state[i] = a[i] + pzv[i] * g;
            if (!steady) {
                double* C = filtered_cov.data();
                for (std::size_t i = 0; i < k; ++i) {
                    const double w = pzv[i] / F;
                    const double* Pi = P + i * k;
                    double* Ci = C + i * k;
                    for (std::size_t j = i; j < k; ++j) Ci[j] = Pi[j] - w * pzv[j];
                }
                for (std::size_t i = 0; i < k; ++i) {
                    for (std::size_t j = i + 1; j < k; ++j) C[j * k + i] = C[i * k + j];
                }
                fcov = C;
            }
        }

        // State prediction: base + (Σ over the sparse row, from 0.0).
        for (std::size_t i = 0; i < k; ++i) {
            const double base = (trend != nullptr && i == k_diff) ? trend[t] : intercept[i];
            double sum = 0.0;
            for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) {
                sum = sum + entries[e].value * filtered_state[entries[e].col];
            }
            a[i] = base + sum;
        }

        if (steady) continue;  // frozen covariance
        t_times(sys.transition, fcov, k, tp.data());
        t_p_tt_plus_rqr(sys.sigma2, sys.transition, tp.data(), sys.selection.data(), k, P_spare);
        std::swap(P, P_spare);  // P_spare now holds the previous covariance
        steady_flag = false;
        if (detect && t >= 1 && !missing && !std::isnan(y[t - 1]) &&
            covariance_settled(P_spare, P, k * k, tolerance)) {
            steady_flag = true;
            steady_pz.assign(pzv, pzv + k);
            steady_variance = F;
        }
    }
    // The current covariance may live in the spare buffer after an odd number of swaps.
    if (P != out.state_cov.data()) out.state_cov.swap(spare);

    out.scale = 1.0;
    if (spec.concentrate_scale && std::isfinite(loglike)) {
        if (nobs == 0) {
            loglike = 0.0;
        } else {
            const double nobs_f = static_cast<double>(nobs);
            const double scale = sum_sq / nobs_f;
            const double c = std::log(scale) + LN2PI;
            loglike = -0.5 * (sum_logf + (c + 1.0) * nobs_f);
            out.scale = scale;
            if (store_paths) {
                for (std::size_t t = 0; t < n; ++t) {
                    const double Ft = out.forecast_variances[t], vt = out.forecast_errors[t];
                    out.loglike_obs[t] = (Ft > 0.0 && !std::isnan(vt) && t >= k_diffuse)
                                             ? -0.5 * ((c + std::log(Ft)) + vt * vt / (scale * Ft))
                                             : 0.0;
                }
            }
        }
    }
    out.loglike = loglike;
    out.sum_scaled_sq_errors = sum_sq;
    out.sum_log_variances = sum_logf;
    out.nobs_effective = nobs;
    return out;
}

}  // namespace korvanta
