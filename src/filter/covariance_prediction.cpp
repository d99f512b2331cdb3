#include "filter/covariance_prediction.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "common/inline.hpp"
#include "common/lanes.hpp"
#include "filter/transition_runs.hpp"

namespace korvanta {

std::vector<Run> row_runs(const SparseRows& T) {
    std::vector<Run> runs;
    runs.reserve(8);  // more than the usual number of runs
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

namespace {

// dst[m] = 0.0 + (src[m] − w·pz[m]): a stretch of a row of C, each element formed where it
// is copied. 0.0 + x is x, bit for bit, unless x is −0.0, and src[m] − w·pz[m] is −0.0 only
// when src[m] is: without `Signed` (no −0.0 among the sources) the addition is left out.
template <std::size_t W, bool Pairs, bool Signed>
KORVANTA_ALWAYS_INLINE void copy_updated(const double* KORVANTA_RESTRICT src, const double* KORVANTA_RESTRICT pz,
                                         double w, double* KORVANTA_RESTRICT dst, std::size_t len, bool whole_groups) {
    by_lanes<W, Pairs>(len, whole_groups, [&]<std::size_t V>(std::size_t m) {
        const Lanes<V> x = load_lanes<V>(src + m) - splat<V>(w) * load_lanes<V>(pz + m);
        store_lanes<V>(dst + m, Signed ? splat<V>(0.0) + x : x);
    });
}

// dst[m] = 0.0 + src[m], which is src[m] itself without `Signed` (as for copy_updated).
template <std::size_t W, bool Pairs, bool Signed>
KORVANTA_ALWAYS_INLINE void copy_plain(const double* KORVANTA_RESTRICT src, double* KORVANTA_RESTRICT dst,
                                       std::size_t len, bool whole_groups) {
    by_lanes<W, Pairs>(len, whole_groups, [&]<std::size_t V>(std::size_t m) {
        store_lanes<V>(dst + m, Signed ? splat<V>(0.0) + load_lanes<V>(src + m) : load_lanes<V>(src + m));
    });
}

// One entry's term of a row of T·C over len elements, in whole lane groups: out[j] is
// 0.0 (First) or out[j], plus cl[j] (an entry of 1.0, One) or x·cl[j].
template <std::size_t W, bool First, bool One>
KORVANTA_ALWAYS_INLINE void add_term(double* KORVANTA_RESTRICT out, const double* KORVANTA_RESTRICT cl, double x,
                                     std::size_t len) {
    by_lanes_sized<W>(len, true, [&]<std::size_t V>(std::size_t j) {
        const Lanes<V> sum = First ? splat<V>(0.0) : load_lanes<V>(out + j);
        const Lanes<V> term = One ? load_lanes<V>(cl + j) : splat<V>(x) * load_lanes<V>(cl + j);
        store_lanes<V>(out + j, sum + term);
    });
}

// Whether this processor runs the four-lane (AVX2) instance of the prediction; its results
// are the same bits as the two-lane one's.
bool four_lanes_available() {
#if defined(KORVANTA_AVX2)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace

// The current call's C: element (r, c) is P[r][c] − w[r]·pz[c] for r ≤ c after an update
// (w = pz/F), P[r][c] otherwise, and the mirror image below the diagonal.
struct CovariancePrediction::Source {
    const double* P;
    const double* w;  ///< pz/F, formed by the prediction after an update
    const double* pz;
    double F;
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
    : transition_(system.transition),
      selection_(system.selection.data()),
      sigma2_(system.sigma2),
      k_(system.transition.rows()),
      four_lanes_(four_lanes_available()) {
    const std::vector<Single> general_sums = plan(system);
    std::vector<char> referenced(k_, 0);
    for (std::size_t b : general_rows_) {
        for (const Entry& e : transition_.row(b)) referenced[e.col] = 1;
    }
    for (std::size_t l = 0; l < k_; ++l) {
        if (referenced[l]) referenced_.push_back(l);
    }
    // A copy from the last row of T·C may read PADDING elements past it.
    store_.assign((referenced_.size() + general_rows_.size()) * k_ + PADDING, 0.0);
    c_rows_.assign(k_, nullptr);
    tp_rows_.assign(k_, nullptr);
    double* slot = store_.data();
    // The rows of T·C for the empty rows of T are 0.0 at every step: they keep the zeros of
    // the store, in the first slots, where no built row's whole lane groups run on to.
    for (std::size_t b : general_rows_) {
        if (transition_.row(b).empty()) tp_rows_[b] = std::exchange(slot, slot + k_);
    }
    for (std::size_t l : referenced_) c_rows_[l] = std::exchange(slot, slot + k_);
    for (std::size_t b : general_rows_) {
        if (!transition_.row(b).empty()) {
            tp_rows_[b] = std::exchange(slot, slot + k_);
            built_rows_.push_back(b);
        }
    }
    for (const Single& s : general_sums) {
        const auto row = transition_.row(s.col);
        sums_.push_back(GeneralSum{s.dst, tp_rows_[s.row], row.data(), row.data() + row.size()});
    }
    w_.assign(k_ + PADDING, 0.0);
    plan_disturbance(system);
}

// Whether a row copy of output row i that ends at column `end` may write PADDING elements
// past it. Row copies come first in a step, those of C before those of T·C. Every element
// after them in the same row is written again later: it belongs to a later run of columns,
// whose copies for this row come later in either list, or is another kind of element. In the
// next row the first columns lie below the diagonal; after the last row is the padding.
bool CovariancePrediction::overrun_is_harmless(std::size_t i, std::size_t end) const {
    if (end + PADDING <= k_ || i + 1 == k_) return true;
    return end + PADDING - k_ <= i + 1;  // columns 0 … of row i + 1, below its diagonal
}

// Groups consecutive row copies of consecutive source rows whose positions and lengths move
// by fixed steps into bands; the copies run in the same order as listed. A band's copies are
// all long or all short, so that it runs its lane groups two or one to a loop pass.
std::vector<CovariancePrediction::Band> CovariancePrediction::bands_of(const std::vector<Copy>& copies) const {
    auto diff = [](std::size_t now, std::size_t before) {
        return static_cast<std::ptrdiff_t>(now) - static_cast<std::ptrdiff_t>(before);
    };
    std::vector<Band> bands;
    for (const Copy& s : copies) {
        if (!bands.empty()) {
            Band& b = bands.back();
            const auto m = static_cast<std::ptrdiff_t>(b.count);
            const bool joins =
                s.whole_groups == b.whole_groups && (s.len >= LONG_COPY) == b.long_rows && s.row == b.row + b.count &&
                (b.count == 1 || (diff(s.dst, b.dst) == m * b.dst_step && diff(s.col, b.col) == m * b.col_step &&
                                  diff(s.len, b.len) == m * b.len_step));
            if (joins) {
                if (b.count == 1) {
                    b.dst_step = diff(s.dst, b.dst);
                    b.col_step = diff(s.col, b.col);
                    b.len_step = diff(s.len, b.len);
                    b.src_step = static_cast<std::ptrdiff_t>(k_) + b.col_step;
                }
                b.count += 1;
                continue;
            }
        }
        bands.push_back(
            Band{s.dst, s.row * k_ + s.col, s.row, s.col, s.len, 1, 0, 0, 0, 0, s.whole_groups, s.len >= LONG_COPY});
    }
    return bands;
}

// Sorts every output element i ≤ j into the list of how it is formed: row i of T is a shift
// (selecting row `source` of C) or general; column j's row of T is a shift, empty or general.
// Returns the general sums, which the constructor resolves into `sums_` once the rows of T·C
// have their storage.
std::vector<CovariancePrediction::Single> CovariancePrediction::plan(const System& system) {
    const std::vector<Run> runs = row_runs(system.transition);
    // The row copies are listed by shift run of rows, then by shift run of columns, then by
    // row: the copies of one pair of runs form bands.
    std::vector<Copy> c_copies;
    std::vector<std::vector<Copy>> by_column_run(runs.size());
    std::vector<Single> transposed, general_sums;
    // Room for the usual sizes (a column or two of constants, a copy or two per row), so that
    // the lists are not grown step by step.
    c_copies.reserve(2 * k_);
    const_at_.reserve(k_);
    general_rows_.reserve(k_);
    for (std::size_t q_row = 0; q_row < runs.size(); ++q_row) {
        const Run& row_run = runs[q_row];
        for (std::size_t i = row_run.begin; i < row_run.end; ++i) {
            if (!row_run.shift) general_rows_.push_back(i);
            const std::size_t source = row_run.shift ? offset(i, row_run.delta) : i;
            for (std::size_t q = q_row; q < runs.size(); ++q) {
                const Run& run = runs[q];
                std::size_t j = std::max(run.begin, i);
                if (!run.shift) {
                    for (; j < run.end; ++j) {
                        const Single s{i * k_ + j, source, j};
                        if (transition_.row(j).empty()) {
                            const_at_.push_back(s.dst);  // Σ over no entries: 0.0
                        } else {
                            (row_run.shift ? transposed : general_sums).push_back(s);
                        }
                    }
                } else if (!row_run.shift) {
                    tp_copies_.push_back(
                        Copy{i * k_ + j, i, offset(j, run.delta), run.end - j, overrun_is_harmless(i, run.end)});
                } else {
                    // Columns below `source` lie below the diagonal of C: read their mirror.
                    for (; j < run.end && offset(j, run.delta) < source; ++j) {
                        mirrors_.push_back(Single{i * k_ + j, source, offset(j, run.delta)});
                    }
                    if (j < run.end) {
                        by_column_run[q].push_back(Copy{i * k_ + j, source, offset(j, run.delta), run.end - j,
                                                        overrun_is_harmless(i, run.end)});
                    }
                }
            }
        }
        for (std::vector<Copy>& list : by_column_run) {
            c_copies.insert(c_copies.end(), list.begin(), list.end());
            list.clear();
        }
    }
    const_.assign(const_at_.size(), 0.0);
    c_bands_ = bands_of(c_copies);
    // Each column's elements (listed by row) into runs down the column; the elements are
    // distinct and read the built rows only, so their order does not matter.
    std::stable_sort(transposed.begin(), transposed.end(),
                     [](const Single& a, const Single& b) { return a.col < b.col; });
    for (const Single& e : transposed) {
        if (!transposed_.empty()) {
            DownColumn& run = transposed_.back();
            if (run.col == e.col && run.dst + run.count * k_ == e.dst && run.row + run.count == e.row) {
                run.count += 1;
                continue;
            }
        }
        transposed_.push_back(DownColumn{e.dst, e.row, e.col, 1});
    }
    return general_sums;
}

// The disturbance terms (sigma2·R_i)·R_j are the same at every step. A term is ±0 where one
// factor is ±0 and the other finite, and adding ±0 leaves an element unchanged (none is −0.0:
// each starts as 0.0 + something), so only the others are kept; an element that is the same
// at every step takes its term into its value. A row whose sigma2·R_i is not finite has a
// term everywhere: it is added to the whole row at each step instead of being listed.
void CovariancePrediction::plan_disturbance(const System& system) {
    const double* sel = system.selection.data();
    std::vector<std::size_t> loaded;  // columns with R_j ≠ ±0 (NaN included): the only candidates
    loaded.reserve(k_);
    for (std::size_t j = 0; j < k_; ++j) {
        if (sel[j] != 0.0) loaded.push_back(j);
    }
    for (std::size_t i = 0; i < k_; ++i) {
        const double sri = system.sigma2 * sel[i];
        if (!std::isfinite(sri)) {
            dense_rows_.push_back(i);
            continue;
        }
        for (std::size_t j : loaded) {
            if (j < i || (sri == 0.0 && std::isfinite(sel[j]))) continue;
            const std::size_t at = i * k_ + j;
            const double term = sri * sel[j];
            const auto c = std::lower_bound(const_at_.begin(), const_at_.end(), at);
            if (c != const_at_.end() && *c == at) {
                double& value = const_[static_cast<std::size_t>(c - const_at_.begin())];
                value = value + term;
            } else {
                noise_at_.push_back(at);
                noise_.push_back(term);
            }
        }
    }
}

// The copies of one band, every value the loop needs held in locals (the stores could
// otherwise alias the band and the sources, forcing them to be read again for every copy).
template <bool Updated, bool Signed, std::size_t W, bool Whole, bool Pairs>
KORVANTA_ALWAYS_INLINE void CovariancePrediction::run_band(const Band& band, const double* P, const double* w,
                                                           const double* pz, double* out) {
    const std::size_t count = band.count;
    // Unsigned wrap-around adds the (possibly negative) steps.
    const auto dst_step = static_cast<std::size_t>(band.dst_step), src_step = static_cast<std::size_t>(band.src_step),
               col_step = static_cast<std::size_t>(band.col_step), len_step = static_cast<std::size_t>(band.len_step);
    std::size_t dst = band.dst, src = band.src, col = band.col, row = band.row, len = band.len;
    for (std::size_t m = 0; m < count; ++m) {
        if constexpr (Updated) {
            copy_updated<W, Pairs, Signed>(P + src, pz + col, w[row], out + dst, len, Whole);
        } else {
            copy_plain<W, Pairs, Signed>(P + src, out + dst, len, Whole);
        }
        dst += dst_step;
        src += src_step;
        col += col_step;
        row += 1;
        len += len_step;
    }
}

// The copies of one band, last to first, none of them past its end (a copy listed before
// another may run on into it, which is harmless only in the listed order).
template <bool Updated, bool Signed, std::size_t W, bool Pairs>
KORVANTA_ALWAYS_INLINE void CovariancePrediction::run_band_backwards(const Band& band, const double* P, const double* w,
                                                                     const double* pz, double* out) {
    for (std::size_t m = band.count; m-- > 0;) {
        const auto step = [m](std::size_t base, std::ptrdiff_t by) {
            return base + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(m) * by);
        };
        const std::size_t dst = step(band.dst, band.dst_step), src = step(band.src, band.src_step),
                          col = step(band.col, band.col_step), len = step(band.len, band.len_step);
        if constexpr (Updated) {
            copy_updated<W, Pairs, Signed>(P + src, pz + col, w[band.row + m], out + dst, len, false);
        } else {
            copy_plain<W, Pairs, Signed>(P + src, out + dst, len, false);
        }
    }
}

// The referenced rows of C, whole, then the rows of T·C for the non-empty general rows of T.
template <bool Updated, std::size_t W>
KORVANTA_ALWAYS_INLINE void CovariancePrediction::build_rows(const Source& c) {
    const std::size_t k = k_;
    for (std::size_t l : referenced_) {
        double* KORVANTA_RESTRICT out = c_rows_[l];
        const double* KORVANTA_RESTRICT Pl = c.P + l * k;
        if constexpr (Updated) {
            const double wl = c.w[l], pzl = c.pz[l];
            for (std::size_t col = 0; col < l; ++col) out[col] = c.P[col * k + l] - c.w[col] * pzl;  // mirror
            const double* KORVANTA_RESTRICT pz = c.pz + l;
            // Whole lane groups: past the row's end lies the next built row's slot, each of
            // them written whole after this one, or the padding.
            by_lanes_sized<W>(k - l, true, [&]<std::size_t V>(std::size_t m) {
                store_lanes<V>(out + l + m, load_lanes<V>(Pl + l + m) - splat<V>(wl) * load_lanes<V>(pz + m));
            });
        } else {
            for (std::size_t col = 0; col < l; ++col) out[col] = c.P[col * k + l];
            std::memcpy(out + l, Pl + l, (k - l) * sizeof(double));
        }
    }
    // Each element of a row of T·C starts at 0.0; the first entry's term is added to that
    // zero so that no separate zeroing pass is needed. The rows run in whole lane groups: the
    // elements past a row's end lie in the next row's slot, built after it, or in the padding.
    for (std::size_t b : built_rows_) {
        double* out = tp_rows_[b];
        const auto row = transition_.row(b);
        for (std::size_t e = 0; e < row.size(); ++e) {
            const double* cl = c_rows_[row[e].col];
            const double x = row[e].value;
            if (e == 0) {
                if (x == 1.0) {
                    add_term<W, true, true>(out, cl, x, k);
                } else {
                    add_term<W, true, false>(out, cl, x, k);
                }
            } else if (x == 1.0) {
                add_term<W, false, true>(out, cl, x, k);
            } else {
                add_term<W, false, false>(out, cl, x, k);
            }
        }
    }
}

template <bool Updated, bool Signed, std::size_t W>
KORVANTA_ALWAYS_INLINE void CovariancePrediction::predict(const Source& c, double* out) {
    const std::size_t k = k_;
    if constexpr (Updated) {
        // w = pz/F, in whole lane groups (w and pz have room past their end).
        double* KORVANTA_RESTRICT w = w_.data();
        const double* KORVANTA_RESTRICT pz = c.pz;
        by_lanes_sized<W>(k, true, [&]<std::size_t V>(std::size_t r) {
            store_lanes<V>(w + r, load_lanes<V>(pz + r) / splat<V>(c.F));
        });
    }
    build_rows<Updated, W>(c);
    // 0.0 + t is how T·C forms an element from a single entry of 1.0, and the column's own
    // entry of 1.0 multiplies it exactly. Where the two covariances outgrow the cache, every
    // other step runs the bands last to first: it starts where the step before ended, on the
    // rows still in cache (the values are the same in either order: each element is written
    // once). Short rows would pay more for their exact ends than the cache gives back.
    backwards_ = k >= ALTERNATE_FROM && !backwards_;
    if (backwards_) {
        for (auto b = c_bands_.rbegin(); b != c_bands_.rend(); ++b) {
            if (b->long_rows) {
                run_band_backwards<Updated, Signed, W, true>(*b, c.P, c.w, c.pz, out);
            } else {
                run_band_backwards<Updated, Signed, W, false>(*b, c.P, c.w, c.pz, out);
            }
        }
    } else {
        for (const Band& b : c_bands_) {
            if (b.long_rows) {
                if (b.whole_groups) {
                    run_band<Updated, Signed, W, true, true>(b, c.P, c.w, c.pz, out);
                } else {
                    run_band<Updated, Signed, W, false, true>(b, c.P, c.w, c.pz, out);
                }
            } else if (b.whole_groups) {
                run_band<Updated, Signed, W, true, false>(b, c.P, c.w, c.pz, out);
            } else {
                run_band<Updated, Signed, W, false, false>(b, c.P, c.w, c.pz, out);
            }
        }
    }
    // The rows of T·C are sums from 0.0 (or the store's zeros), never −0.0.
    for (const Copy& s : tp_copies_) {
        copy_plain<W, false, false>(tp_rows_[s.row] + s.col, out + s.dst, s.len, s.whole_groups);
    }
    for (const Single& s : mirrors_) out[s.dst] = 0.0 + c.at<Updated>(s.col, s.row);
    for (const DownColumn& s : transposed_) {
        // Two to a loop pass: the loop control would cost more than the copies.
        const double* KORVANTA_RESTRICT src = tp_rows_[s.col] + s.row;
        double* KORVANTA_RESTRICT dst = out + s.dst;
        std::size_t m = 0;
        for (; m + 2 <= s.count; m += 2, dst += 2 * k) {
            dst[0] = src[m];
            dst[k] = src[m + 1];
        }
        if (m < s.count) *dst = src[m];
    }
    for (const GeneralSum& s : sums_) {
        double sum = 0.0;
        for (const Entry* e = s.begin; e != s.end; ++e) sum = sum + e->value * s.tp[e->col];
        out[s.dst] = sum;
    }
    {
        // Scattered stores, two to a loop pass: the loop control would cost as much as a store.
        const std::size_t* at = const_at_.data();
        const double* value = const_.data();
        const std::size_t count = const_at_.size();
        std::size_t m = 0;
        for (; m + 2 <= count; m += 2) {
            out[at[m]] = value[m];
            out[at[m + 1]] = value[m + 1];
        }
        if (m < count) out[at[m]] = value[m];
    }
    for (std::size_t m = 0; m < noise_at_.size(); ++m) out[noise_at_[m]] = out[noise_at_[m]] + noise_[m];
    for (std::size_t i : dense_rows_) {
        const double sri = sigma2_ * selection_[i];
        for (std::size_t j = i; j < k; ++j) out[i * k + j] = out[i * k + j] + sri * selection_[j];
    }
}

// The four-lane instance, compiled for AVX2 where the processor has it.
#if defined(KORVANTA_AVX2)
template <bool Updated, bool Signed>
__attribute__((target("avx2"))) void CovariancePrediction::predict_four(const Source& c, double* out) {
    predict<Updated, Signed, 4>(c, out);
}
#else
template <bool Updated, bool Signed>
void CovariancePrediction::predict_four(const Source& c, double* out) {
    predict<Updated, Signed, LANES>(c, out);
}
#endif

template <bool Updated, bool Signed>
void CovariancePrediction::predict_lanes(const Source& c, double* out) {
    if (four_lanes_) return predict_four<Updated, Signed>(c, out);
    predict<Updated, Signed, LANES>(c, out);
}

void CovariancePrediction::predict_upper(const FilteredCovariance& fc, double* out) {
    const Source c{fc.P, w_.data(), fc.pz, fc.F, k_};
    if (fc.predicted) {
        if (fc.updated) return predict_lanes<true, false>(c, out);
        return predict_lanes<false, false>(c, out);
    }
    if (fc.updated) return predict_lanes<true, true>(c, out);
    predict_lanes<false, true>(c, out);
}

void CovariancePrediction::predict_full(const double* P, double* out) {
    predict_upper(FilteredCovariance{P, nullptr, 0.0, false, false}, out);
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
