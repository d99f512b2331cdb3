#include "filter/covariance_prediction.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "common/inline.hpp"

namespace korvanta {
namespace {

using Segment = CovariancePrediction::Segment;

// Maximal runs of consecutive rows of T that are shifts with one offset (column − row), or
// that are general rows; they cover every row once, in order.
struct Run {
    std::size_t begin, end;
    std::ptrdiff_t delta;
    bool shift;
};

std::vector<Run> row_runs(const SparseRows& T) {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < T.rows(); ++i) {
        const auto row = T.row(i);
        const bool shift = row.size() == 1 && row[0].value == 1.0;
        const std::ptrdiff_t delta =
            shift ? static_cast<std::ptrdiff_t>(row[0].col) - static_cast<std::ptrdiff_t>(i) : 0;
        if (!runs.empty() && runs.back().shift == shift && runs.back().delta == delta) {
            runs.back().end = i + 1;
        } else {
            runs.push_back(Run{i, i + 1, delta, shift});
        }
    }
    return runs;
}

// `index + delta` for a shift: always a valid index, formed in signed arithmetic.
std::size_t offset(std::size_t index, std::ptrdiff_t delta) {
    return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(index) + delta);
}

// The segments of output row i (shift row with `source` = i + delta, or general), for the
// column runs from row i on.
void plan_row(const std::vector<Run>& runs, std::size_t q_row, std::size_t i, std::vector<Segment>& plan) {
    const Run& row_run = runs[q_row];
    const std::size_t source = row_run.shift ? offset(i, row_run.delta) : 0;
    for (std::size_t q = q_row; q < runs.size(); ++q) {
        const Run& run = runs[q];
        const std::size_t from = std::max(run.begin, i);
        auto add = [&](Segment::Kind kind, std::size_t begin, std::size_t end) {
            if (begin < end) plan.push_back(Segment{kind, row_run.shift, i, begin, end, source, run.delta});
        };
        if (!run.shift) {
            add(Segment::sum, from, run.end);
        } else if (!row_run.shift) {
            add(Segment::copy_tp, from, run.end);
        } else {
            // Columns j + delta below `source` lie below the diagonal of C: read their mirror.
            std::size_t split = from;
            while (split < run.end && offset(split, run.delta) < source) ++split;
            add(Segment::mirror_c, from, split);
            add(Segment::copy_c, split, run.end);
        }
    }
}

}  // namespace

// The current call's C: element (r, c) is P[r][c] − w[r]·pz[c] for r ≤ c after an update
// (w = pz/F), P[r][c] otherwise, and the mirror image below the diagonal.
struct CovariancePrediction::Source {
    const double* P;
    const double* w;
    const double* pz;
    std::size_t k;

    template <bool Updated>
    KORVANTA_ALWAYS_INLINE double at(std::size_t r, std::size_t c) const {
        if (r > c) std::swap(r, c);
        const double p = P[r * k + c];
        if constexpr (Updated) return p - w[r] * pz[c];
        return p;
    }
};

CovariancePrediction::CovariancePrediction(const System& system)
    : transition_(system.transition), k_(system.transition.rows()) {
    const std::vector<Run> runs = row_runs(transition_);
    std::vector<char> referenced(k_, 0);
    for (std::size_t q = 0; q < runs.size(); ++q) {
        for (std::size_t i = runs[q].begin; i < runs[q].end; ++i) {
            plan_row(runs, q, i, plan_);
            if (runs[q].shift) continue;
            general_rows_.push_back(i);
            for (const Entry& e : transition_.row(i)) referenced[e.col] = 1;
        }
    }
    for (std::size_t l = 0; l < k_; ++l) {
        if (referenced[l]) referenced_.push_back(l);
    }
    store_.assign((referenced_.size() + general_rows_.size()) * k_, 0.0);
    c_rows_.assign(k_, nullptr);
    tp_rows_.assign(k_, nullptr);
    double* slot = store_.data();
    for (std::size_t l : referenced_) c_rows_[l] = std::exchange(slot, slot + k_);
    for (std::size_t b : general_rows_) tp_rows_[b] = std::exchange(slot, slot + k_);
    w_.assign(k_, 0.0);

    // The disturbance terms (sigma2·R_i)·R_j are the same at every step. With sigma2·R_i
    // finite, a term is ±0 wherever R_j is ±0, and adding ±0 leaves an element unchanged
    // (none is −0.0: each starts as 0.0 + something), so only the others are kept.
    const double* sel = system.selection.data();
    for (std::size_t i = 0; i < k_; ++i) {
        const double sri = system.sigma2 * sel[i];
        for (std::size_t j = i; j < k_; ++j) {
            if (std::isfinite(sri) && sel[j] == 0.0) continue;
            noise_at_.push_back(i * k_ + j);
            noise_.push_back(sri * sel[j]);
        }
    }
}

// The referenced rows of C, whole, then the rows of T·C for the general rows of T.
template <bool Updated>
void CovariancePrediction::build_rows(const Source& c) {
    for (std::size_t l : referenced_) {
        double* KORVANTA_RESTRICT out = c_rows_[l];
        for (std::size_t col = 0; col < l; ++col) out[col] = c.at<Updated>(col, l);
        const double* KORVANTA_RESTRICT Pl = c.P + l * k_;
        if constexpr (Updated) {
            const double wl = c.w[l];
            for (std::size_t col = l; col < k_; ++col) out[col] = Pl[col] - wl * c.pz[col];
        } else {
            std::memcpy(out + l, Pl + l, (k_ - l) * sizeof(double));
        }
    }
    for (std::size_t b : general_rows_) {
        double* KORVANTA_RESTRICT out = tp_rows_[b];
        const auto row = transition_.row(b);
        if (row.empty()) std::fill(out, out + k_, 0.0);
        // Each element starts at 0.0; the first entry's term is added to that zero so that
        // no separate zeroing pass is needed.
        for (std::size_t e = 0; e < row.size(); ++e) {
            const double* KORVANTA_RESTRICT cl = c_rows_[row[e].col];
            const double x = row[e].value;
            if (e == 0) {
                if (x == 1.0) {
                    for (std::size_t j = 0; j < k_; ++j) out[j] = 0.0 + cl[j];
                } else {
                    for (std::size_t j = 0; j < k_; ++j) out[j] = 0.0 + x * cl[j];
                }
            } else if (x == 1.0) {
                for (std::size_t j = 0; j < k_; ++j) out[j] = out[j] + cl[j];
            } else {
                for (std::size_t j = 0; j < k_; ++j) out[j] = out[j] + x * cl[j];
            }
        }
    }
}

// Element (row, j) for a general row j of T: Σ over its entries (l, x) of x·(T·C)[row][l],
// where (T·C)[row][l] is 0.0 + C[source][l] for a shift row.
template <bool Updated>
KORVANTA_ALWAYS_INLINE double CovariancePrediction::sum_element(const Source& c, const Segment& s,
                                                                std::size_t j) const {
    double sum = 0.0;
    if (s.shift_row) {
        const double* built = c_rows_[s.source];
        for (const Entry& e : transition_.row(j)) {
            const double t = built != nullptr ? built[e.col] : c.at<Updated>(s.source, e.col);
            sum = sum + e.value * (0.0 + t);
        }
    } else {
        const double* tp = tp_rows_[s.row];
        for (const Entry& e : transition_.row(j)) sum = sum + e.value * tp[e.col];
    }
    return sum;
}

template <bool Updated>
void CovariancePrediction::predict(const Source& c, double* out) {
    build_rows<Updated>(c);
    for (const Segment& s : plan_) {
        double* KORVANTA_RESTRICT oi = out + s.row * k_;
        switch (s.kind) {
        case Segment::copy_c: {
            // 0.0 + t is how T·C forms the element from its single entry of 1.0, and the
            // column's own entry of 1.0 multiplies it exactly.
            const std::size_t c0 = offset(s.begin, s.delta), len = s.end - s.begin;
            const double* KORVANTA_RESTRICT src = c.P + s.source * k_ + c0;
            double* KORVANTA_RESTRICT dst = oi + s.begin;
            if constexpr (Updated) {
                const double* KORVANTA_RESTRICT pz = c.pz + c0;
                const double w = c.w[s.source];
                for (std::size_t m = 0; m < len; ++m) dst[m] = 0.0 + (src[m] - w * pz[m]);
            } else {
                for (std::size_t m = 0; m < len; ++m) dst[m] = 0.0 + src[m];
            }
            break;
        }
        case Segment::mirror_c:
            for (std::size_t j = s.begin; j < s.end; ++j) oi[j] = 0.0 + c.at<Updated>(offset(j, s.delta), s.source);
            break;
        case Segment::copy_tp: {
            const double* tp = tp_rows_[s.row];
            for (std::size_t j = s.begin; j < s.end; ++j) oi[j] = 0.0 + tp[offset(j, s.delta)];
            break;
        }
        case Segment::sum:
            for (std::size_t j = s.begin; j < s.end; ++j) oi[j] = sum_element<Updated>(c, s, j);
            break;
        }
    }
    for (std::size_t m = 0; m < noise_at_.size(); ++m) out[noise_at_[m]] = out[noise_at_[m]] + noise_[m];
}

void CovariancePrediction::predict_upper(const FilteredCovariance& fc, double* out) {
    const Source c{fc.P, w_.data(), fc.pz, k_};
    if (fc.updated) {
        for (std::size_t r = 0; r < k_; ++r) w_[r] = fc.pz[r] / fc.F;
        predict<true>(c, out);
    } else {
        predict<false>(c, out);
    }
}

void CovariancePrediction::predict_full(const double* P, double* out) {
    predict_upper(FilteredCovariance{P, nullptr, 0.0, false}, out);
    mirror_upper(out, k_);
}

void mirror_upper(double* m, std::size_t k) {
    // Columns are visited in tiles so that, for large k, the rows read stay in cache.
    constexpr std::size_t TILE = 64;
    for (std::size_t jb = 0; jb < k; jb += TILE) {
        const std::size_t je = std::min(jb + TILE, k);
        for (std::size_t i = 0; i < je; ++i) {
            const double* KORVANTA_RESTRICT row = m + i * k;
            for (std::size_t j = std::max(jb, i + 1); j < je; ++j) m[j * k + i] = row[j];
        }
    }
}

}  // namespace korvanta
