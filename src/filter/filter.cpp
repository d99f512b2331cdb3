#include "filter/filter.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "common/errors.hpp"

namespace korvanta {
namespace {

// Two doubles operated on lane by lane: each lane performs exactly the scalar operations, so
// results are those of the scalar loop. Loads and stores go through memcpy (no alignment).
using V2 = double __attribute__((vector_size(16)));
inline V2 load2(const double* p) {
    V2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store2(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

namespace {

// One row of T·M where row_of(l) gives row l of M: Σ over the entries (l, x) of `row`, in
// stored order from 0.0, of x times that row.
template <class RowOf>
void t_times_row(std::span<const Entry> row, RowOf row_of, std::size_t ncols, double* out) {
    if (row.empty()) {
        std::memset(out, 0, ncols * sizeof(double));
        return;
    }
    // out starts at 0.0 and each entry adds its scaled row of m; the first addition is
    // written as 0.0 + term so that no separate zeroing pass is needed. An entry of exactly
    // 1.0 adds the row without a multiplication.
    double* __restrict ob = out;
    bool first = true;
    for (const Entry& e : row) {
        const double* __restrict ml = row_of(e.col);
        const double x = e.value;
        if (first) {
            if (x == 1.0) {
                for (std::size_t j = 0; j < ncols; ++j) ob[j] = 0.0 + ml[j];
            } else {
                for (std::size_t j = 0; j < ncols; ++j) ob[j] = 0.0 + x * ml[j];
            }
            first = false;
        } else if (x == 1.0) {
            for (std::size_t j = 0; j < ncols; ++j) ob[j] = ob[j] + ml[j];
        } else {
            for (std::size_t j = 0; j < ncols; ++j) ob[j] = ob[j] + x * ml[j];
        }
    }
}

}  // namespace

TransitionRuns::TransitionRuns(const SparseRows& transition) : rows(&transition) {
    const std::size_t k = transition.rows();
    std::size_t j = 0;
    while (j < k) {
        const auto row = transition.row(j);
        const bool shift = row.size() == 1 && row[0].value == 1.0;
        if (!shift) {
            if (!runs.empty() && runs.back().general && runs.back().end == j) {
                runs.back().end = j + 1;
            } else {
                runs.push_back(Run{j, j + 1, 0, true});
            }
            ++j;
            continue;
        }
        const std::ptrdiff_t delta = static_cast<std::ptrdiff_t>(row[0].col) - static_cast<std::ptrdiff_t>(j);
        std::size_t end = j + 1;
        while (end < k) {
            const auto next = transition.row(end);
            if (next.size() != 1 || next[0].value != 1.0 ||
                static_cast<std::ptrdiff_t>(next[0].col) - static_cast<std::ptrdiff_t>(end) != delta) {
                break;
            }
            ++end;
        }
        runs.push_back(Run{j, end, delta, false});
        j = end;
    }
}

CovariancePrediction::CovariancePrediction(const SparseRows& transition, std::size_t k)
    : plan_(transition), k_(k) {
    shift_.assign(k, 0);
    delta_.assign(k, 0);
    std::vector<char> referenced(k, 0);
    for (const TransitionRuns::Run& run : plan_.runs) {
        for (std::size_t b = run.begin; b < run.end; ++b) {
            shift_[b] = run.general ? 0 : 1;
            delta_[b] = run.delta;
            if (run.general) {
                general_rows_.push_back(b);
                for (const Entry& e : transition.row(b)) referenced[e.col] = 1;
            }
        }
    }
    std::size_t n_ref = 0;
    for (char r : referenced) n_ref += r != 0;
    c_store_.assign(n_ref * k, 0.0);
    c_rows_.assign(k, nullptr);
    for (std::size_t l = 0, slot = 0; l < k; ++l) {
        if (referenced[l]) c_rows_[l] = c_store_.data() + (slot++) * k;
    }
    tp_store_.assign(general_rows_.size() * k, 0.0);
    tp_rows_.assign(k, nullptr);
    for (std::size_t g = 0; g < general_rows_.size(); ++g) tp_rows_[general_rows_[g]] = tp_store_.data() + g * k;
    w_.assign(k, 0.0);
}

// Element (r, c) of C: the upper triangle holds the computed values, the lower one their
// mirror image, so (r, c) below the diagonal reads (c, r).
inline __attribute__((always_inline)) double CovariancePrediction::c_at(std::size_t r, std::size_t c) const {
    if (r > c) std::swap(r, c);
    const double p = P_[r * k_ + c];
    return updated_ ? p - w_[r] * pz_[c] : p;
}

// Row l of C, whole.
void CovariancePrediction::fill_row(std::size_t l, double* out) const {
    const std::size_t k = k_;
    for (std::size_t c = 0; c < l; ++c) out[c] = c_at(c, l);
    const double* __restrict Pl = P_ + l * k;
    if (!updated_) {
        std::memcpy(out + l, Pl + l, (k - l) * sizeof(double));
        return;
    }
    const double w = w_[l];
    const V2 w2 = {w, w};
    std::size_t c = l;
    for (; c + 2 <= k; c += 2) store2(out + c, load2(Pl + c) - w2 * load2(pz_ + c));
    if (c < k) out[c] = Pl[c] - w * pz_[c];
}

void CovariancePrediction::t_times() {
    for (std::size_t l = 0; l < k_; ++l) {
        if (c_rows_[l] != nullptr) fill_row(l, c_rows_[l]);
    }
    for (std::size_t b : general_rows_) {
        t_times_row(plan_.rows->row(b), [&](std::size_t l) { return c_rows_[l]; }, k_, tp_rows_[b]);
    }
}

// Elements j ∈ [from, end) of row i, whose row of T·C is row r of C, for a run of shift rows
// with offset delta: (0.0 + C[r][j + delta]) + (sigma2·R_i)·R_j. (0.0 + t is how T·C forms
// the element from its single entry of 1.0.)
inline __attribute__((always_inline)) void CovariancePrediction::shift_segment(std::size_t r, std::ptrdiff_t delta, std::size_t from,
                                         std::size_t end, double sri, const double* __restrict sel,
                                         double* __restrict oi) const {
    auto column = [delta](std::size_t j) { return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(j) + delta); };
    std::size_t j = from;
    for (; j < end && column(j) < r; ++j) oi[j] = (0.0 + c_at(r, column(j))) + sri * sel[j];  // mirror image
    if (j >= end) return;
    const double* __restrict Pr = P_ + r * k_ + delta;  // Pr[j] = P[r][j + delta]
    const V2 zero = {0.0, 0.0}, sri2 = {sri, sri};
    if (updated_) {
        const double w = w_[r];
        const V2 w2 = {w, w};
        const double* __restrict pzd = pz_ + delta;
        for (; j + 2 <= end; j += 2) {
            const V2 c = load2(Pr + j) - w2 * load2(pzd + j);
            store2(oi + j, (zero + c) + sri2 * load2(sel + j));
        }
        if (j < end) oi[j] = (0.0 + (Pr[j] - w * pzd[j])) + sri * sel[j];
    } else {
        for (; j + 2 <= end; j += 2) store2(oi + j, (zero + load2(Pr + j)) + sri2 * load2(sel + j));
        if (j < end) oi[j] = (0.0 + Pr[j]) + sri * sel[j];
    }
}

void CovariancePrediction::t_p_tt_plus_rqr_upper(const double* P, bool updated, const double* pz, double F,
                                                 double sigma2, const double* selection, double* out) {
    const std::size_t k = k_;
    P_ = P;
    pz_ = pz;
    updated_ = updated;
    if (updated) {
        for (std::size_t r = 0; r < k; ++r) w_[r] = pz[r] / F;
    }
    t_times();
    const Entry* entries = plan_.rows->entries.data();
    const std::size_t* start = plan_.rows->start.data();
    const double* __restrict sel = selection;
    const TransitionRuns::Run* runs = plan_.runs.data();
    const std::size_t n_runs = plan_.runs.size();
    std::size_t first_run = 0;  // runs that end at or before row i contribute nothing
    for (std::size_t i = 0; i < k; ++i) {
        const double sri = sigma2 * sel[i];
        double* __restrict oi = out + i * k;
        while (runs[first_run].end <= i) ++first_run;
        // Row i of T·C: row r of C for a shift row of T, else a built row.
        const bool row_is_shift = shift_[i] != 0;
        const std::size_t r = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(i) + delta_[i]);
        const double* tpi = tp_rows_[i];
        for (std::size_t q = first_run; q < n_runs; ++q) {
            const TransitionRuns::Run& run = runs[q];
            const std::size_t from = run.begin > i ? run.begin : i;
            if (run.general) {
                for (std::size_t j = from; j < run.end; ++j) {
                    double s = 0.0;
                    for (std::size_t e = start[j]; e < start[j + 1]; ++e) {
                        const double t = row_is_shift ? (0.0 + c_at(r, entries[e].col)) : tpi[entries[e].col];
                        s = s + entries[e].value * t;
                    }
                    oi[j] = s + sri * sel[j];
                }
            } else if (row_is_shift) {
                shift_segment(r, run.delta, from, run.end, sri, sel, oi);
            } else {
                // Rows whose only entry is 1.0 at column j + delta: 1.0·t is t exactly, so the
                // element is (0.0 + tp[i][j + delta]) + (sigma2·R_i)·R_j.
                const double* __restrict src = tpi + run.delta;
                std::size_t j = from;
                const V2 zero = {0.0, 0.0}, sri2 = {sri, sri};
                for (; j + 2 <= run.end; j += 2) store2(oi + j, (zero + load2(src + j)) + sri2 * load2(sel + j));
                if (j < run.end) oi[j] = (0.0 + src[j]) + sri * sel[j];
            }
        }
    }
}

void t_p_tt_plus_rqr(CovariancePrediction& prediction, const double* P, double sigma2,
                     const double* selection, std::size_t k, double* out) {
    prediction.t_p_tt_plus_rqr_upper(P, false, nullptr, 0.0, sigma2, selection, out);
    mirror_upper(out, k);
}

void mirror_upper(double* m, std::size_t k) {
    // Two rows of the upper triangle at a time are read contiguously and written down two
    // columns; for large k the columns are visited in tiles so that they stay in cache.
    constexpr std::size_t TILE = 64;
    for (std::size_t jb = 0; jb < k; jb += TILE) {
        const std::size_t je = jb + TILE < k ? jb + TILE : k;
        std::size_t i = 0;
        for (; i + 1 < je; i += 2) {
            const double* __restrict r0 = m + i * k;
            const double* __restrict r1 = r0 + k;
            std::size_t j = jb > i + 2 ? jb : i + 2;
            if (jb <= i + 1 && i + 1 < je) m[(i + 1) * k + i] = r0[i + 1];  // the 2 × 2 corner
            for (; j + 2 <= je; j += 2) {
                // 2 × 2 block: rows i, i+1 × columns j, j+1 become rows j, j+1 × columns i, i+1.
                const V2 a = load2(r0 + j), b = load2(r1 + j);
                store2(m + j * k + i, V2{a[0], b[0]});
                store2(m + (j + 1) * k + i, V2{a[1], b[1]});
            }
            if (j < je) {
                double* __restrict dst = m + j * k + i;
                dst[0] = r0[j];
                dst[1] = r1[j];
            }
        }
        for (; i < je; ++i) {
            const double* __restrict r0 = m + i * k;
            for (std::size_t j = (jb > i + 1 ? jb : i + 1); j < je; ++j) m[j * k + i] = r0[j];
        }
    }
}

namespace {

// Σ (previous[i][j] − current[i][j])² over all k² entries in row-major order, from 0.0,
// compared strictly with `tolerance`; both matrices are symmetric with only their upper
// triangles kept. The terms are non-negative, so a reordered sum (diagonal plus twice the
// strict upper triangle, several accumulators) decides the comparison unless it lies within
// a relative 1e-6 of the tolerance, far above its rounding error for up to 4096² terms; only
// then is the exact row-major sum formed. Non-finite or tiny tolerances always take that path.
bool covariance_settled(const double* previous, const double* current, std::size_t k,
                        double tolerance) {
    if (!(tolerance > 0.0)) return false;  // a sum of squares is never below 0 (or NaN)
    if (std::isfinite(tolerance) && tolerance > 1e-280) {
        // Partial sums only grow, so the scan stops at the first row that already settles
        // the comparison. Rows are taken from the last one up: their upper parts are short,
        // and the trailing (ARMA) states are where the covariance keeps moving longest.
        const double above = tolerance * (1.0 + 1e-6);
        double diag = 0.0, off[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t i = k; i-- > 0;) {
            const double* p = previous + i * k;
            const double* c = current + i * k;
            const double dd = p[i] - c[i];
            diag = diag + dd * dd;
            std::size_t j = i + 1;
            for (; j + 4 <= k; j += 4) {
                for (std::size_t l = 0; l < 4; ++l) {
                    const double diff = p[j + l] - c[j + l];
                    off[l] = off[l] + diff * diff;
                }
            }
            for (; j < k; ++j) {
                const double diff = p[j] - c[j];
                off[0] = off[0] + diff * diff;
            }
            if (diag + 2.0 * ((off[0] + off[1]) + (off[2] + off[3])) > above) return false;
        }
        const double approx = diag + 2.0 * ((off[0] + off[1]) + (off[2] + off[3]));
        if (std::isnan(approx)) return false;
        if (approx > above) return false;
        if (approx < tolerance * (1.0 - 1e-6)) return true;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t at = i <= j ? i * k + j : j * k + i;
            const double diff = previous[at] - current[at];
            sum = sum + diff * diff;
        }
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
    std::vector<double> spare(k * k, 0.0);
    CovariancePrediction prediction(sys.transition, k);
    std::vector<double> filtered_state(k, 0.0), pz(k, 0.0), steady_pz;
    double steady_variance = 0.0;
    double steady_log_variance = 0.0;  // ln of steady_variance, formed once per detection
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

    auto record_paths = [&](std::size_t t, double f, double v, double F) {
        if (!store_paths) return;
        out.forecasts[t] = f;
        out.forecast_errors[t] = v;
        out.forecast_variances[t] = F;
    };
    // A counted observation's term −0.5·(v²/F + (ln F + ln 2π)) and the running sums.
    auto add_term = [&](std::size_t t, double v, double F, double lnF) {
        const double q = v * v / F;
        const double term = -0.5 * (q + (lnF + LN2PI));
        loglike = loglike + term;
        sum_sq = sum_sq + q;
        sum_logf = sum_logf + lnF;
        nobs += 1;
        if (store_paths) out.loglike_obs[t] = term;
    };
    // State prediction: a[i] = base + (Σ over the sparse row of T, from 0.0).
    auto predict_state = [&](std::size_t t) {
        for (std::size_t i = 0; i < k; ++i) {
            const double base = (trend != nullptr && i == k_diff) ? trend[t] : intercept[i];
            double sum = 0.0;
            for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) {
                sum = sum + entries[e].value * filtered_state[entries[e].col];
            }
            a[i] = base + sum;
        }
    };

    for (std::size_t t = 0; t < n; ++t) {
        const double yt = y[t];
        const bool missing = std::isnan(yt);

        if (steady_flag && !missing) {
            // Steady mode: the covariance is frozen and detection implies no trend and no
            // regressors, so only the mean recursion runs, with the saved pz and F. The same
            // formulas as the general step below, without its per-step branches.
            const double* spz = steady_pz.data();
            const double F = steady_variance;
            const bool positive = F > 0.0;
            for (; t < n && !std::isnan(y[t]); ++t) {
                double za = 0.0;
                for (std::size_t j = 0; j < n_design; ++j) za = za + a[design[j]];
                const double f = za + (obs_intercept ? (*obs_intercept)[t] : 0.0);
                const double v = y[t] - f;
                record_paths(t, f, v, F);
                if (!positive) {
                    if (t >= k_diffuse) loglike = std::numeric_limits<double>::quiet_NaN();
                    std::memcpy(filtered_state.data(), a, k * sizeof(double));
                } else {
                    if (t >= k_diffuse) add_term(t, v, F, steady_log_variance);
                    const double g = v / F;
                    for (std::size_t i = 0; i < k; ++i) filtered_state[i] = a[i] + spz[i] * g;
                }
                predict_state(t);
            }
            if (t == n) break;
            --t;  // y[t] is missing: the general step takes it
            continue;
        }

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
            // Only the upper triangle of P is current: element (i, c) is read at (min, max),
            // so column c is gathered above the diagonal and row c from it on. Each pz[i]
            // still adds its terms in design order.
            std::fill(pz.begin(), pz.end(), 0.0);
            for (std::size_t j = 0; j < n_design; ++j) {
                const std::size_t c = design[j];
                for (std::size_t i = 0; i < c; ++i) pz[i] = pz[i] + P[i * k + c];
                const double* Pc = P + c * k;
                for (std::size_t i = c; i < k; ++i) pz[i] = pz[i] + Pc[i];
            }
            F = 0.0;
            for (std::size_t j = 0; j < n_design; ++j) F = F + pz[design[j]];
            pzv = pz.data();
        }
        const double v = yt - f;
        record_paths(t, f, v, F);

        if (missing || !(F > 0.0)) {
            if (!missing && t >= k_diffuse) loglike = std::numeric_limits<double>::quiet_NaN();
            std::memcpy(filtered_state.data(), a, k * sizeof(double));
        } else {
            if (t >= k_diffuse) add_term(t, v, F, steady ? steady_log_variance : std::log(F));
            const double g = v / F;
            for (std::size_t i = 0; i < k; ++i) filtered_state[i] = a[i] + pzv[i] * g;
        }

        predict_state(t);

        if (steady) continue;  // frozen covariance
        // Only the upper triangle of the filtered covariance P − (pz/F)·pz' is ever read.
        prediction.t_p_tt_plus_rqr_upper(P, !missing && F > 0.0, pzv, F, sys.sigma2, sys.selection.data(), P_spare);
        std::swap(P, P_spare);  // P_spare now holds the previous covariance
        steady_flag = false;
        if (detect && t >= 1 && !missing && !std::isnan(y[t - 1]) &&
            covariance_settled(P_spare, P, k, tolerance)) {
            steady_flag = true;
            steady_pz.assign(pzv, pzv + k);
            steady_variance = F;
            steady_log_variance = std::log(F);
        }
    }
    // The current covariance may live in the spare buffer after an odd number of swaps.
    if (P != out.state_cov.data()) out.state_cov.swap(spare);
    mirror_upper(out.state_cov.data(), k);

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
