// The covariance prediction T·C·T' + (sigma2·R)·R' through the sparse rows of T.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ssm/system.hpp"

namespace korvanta {

/// The covariance that a prediction carries forward: the filtered covariance
/// C = P − (pz/F)·pz' after an update, or P itself when the step had no update. Only the
/// upper triangle of P is read; element (j, i) of C is the value computed for (i, j), i ≤ j.
struct FilteredCovariance {
    const double* P;   ///< predicted covariance (k × k, row-major), upper triangle current
    const double* pz;  ///< P·Z' (read only when `updated`)
    double F;          ///< Z·P·Z' (read only when `updated`)
    bool updated;      ///< C is P − (pz/F)·pz' rather than P
    /// P is an earlier result of predict_upper: none of its elements i ≤ j is −0.0 (each is
    /// 0.0 + x, a sum from 0.0, or such a value plus a term), so copying one needs no 0.0 +.
    bool predicted;
};

/// Predicts the covariance of one system, step after step. C is never formed whole: a row of
/// T that is a single 1.0 (a shift) copies the row of C it selects, each element computed
/// where it is copied, and only the rows of C that the other rows of T reference are built.
/// The values are exactly those of forming C, then T·C (per row of T, its entries' scaled
/// rows of C summed in stored order from 0.0, an entry of 1.0 adding without a
/// multiplication), then each element i ≤ j of the result as Σ over row j of T of
/// x·(T·C)[i][l] (stored order, from 0.0) plus (sigma2·R_i)·R_j.
///
/// The work of a step is planned once per system as flat lists, by how each output element
/// is formed, so that a step runs through tight loops.
class CovariancePrediction {
public:
    explicit CovariancePrediction(const System& system);

    /// Room the caller leaves after the k·k elements of P and of `out`, and after the k of
    /// pz: copies run in whole groups of four lanes and may read and write up to three
    /// elements past their end.
    static constexpr std::size_t PADDING = 3;

    /// Writes the upper triangle (j ≥ i) of the prediction from `c` into `out` (k × k); the
    /// lower triangle is left undefined.
    void predict_upper(const FilteredCovariance& c, double* out);

    /// The whole of T·P·T' + (sigma2·R)·R' for a symmetric P (no update), mirrored.
    void predict_full(const double* P, double* out);

    /// Whether the four-lane instance runs on this processor.
    bool four_lanes() const { return four_lanes_; }

private:
    /// A stretch of `len` output elements from `dst` on that copies `len` consecutive values.
    struct Copy {
        std::size_t dst;  ///< flat index of the first output element
        std::size_t row;  ///< row read: of C (source), or of T·C (general output row)
        std::size_t col;  ///< column read for the first element
        std::size_t len;
        /// The copy may run on to a whole number of lane groups: the up to three elements
        /// past its end are written again later in the plan, lie below the diagonal, or
        /// fall in the padding after the matrix.
        bool whole_groups;
    };
    /// Row copies of consecutive source rows row, row + 1, … (count of them) whose output
    /// position, first column read and length change by the same amounts from one to the
    /// next: copy m starts at flat output index dst + m·dst_step, reads from column
    /// col + m·col_step (flat index src + m·src_step of C) and has len + m·len_step
    /// elements. The plan's row copies come in runs like this (one per pair of shift runs
    /// of T), so a step loops over a few bands instead of setting up every row copy alone.
    struct Band {
        std::size_t dst, src, row, col, len, count;
        std::ptrdiff_t dst_step, src_step, col_step, len_step;
        bool whole_groups;  ///< as for Copy, for every copy of the band
        bool long_rows;     ///< every copy has at least LONG_COPY elements
    };
    /// Copies at least this long run their lane groups two to a loop pass.
    static constexpr std::size_t LONG_COPY = 32;
    /// From this many states on, the steps alternate the direction of their row copies.
    static constexpr std::size_t ALTERNATE_FROM = 256;
    /// One output element that is formed on its own.
    struct Single {
        std::size_t dst;  ///< flat index of the output element
        std::size_t row;  ///< row of C selected by a shift output row, or the output row
        std::size_t col;  ///< column j of the output (sums), or of C (mirror reads)
    };
    struct Source;  // the current call's C, passed down explicitly
    std::vector<Single> plan(const System& system);
    bool overrun_is_harmless(std::size_t i, std::size_t end) const;
    std::vector<Band> bands_of(const std::vector<Copy>& copies) const;
    template <bool Updated, bool Signed, std::size_t W, bool Whole, bool Pairs>
    static void run_band(const Band& band, const double* P, const double* w, const double* pz, double* out);
    template <bool Updated, bool Signed, std::size_t W, bool Pairs>
    static void run_band_backwards(const Band& band, const double* P, const double* w, const double* pz, double* out);
    void plan_disturbance(const System& system);
    // `Signed`: P may hold −0.0, which the copies turn into 0.0 as T·C would.
    template <bool Updated, bool Signed, std::size_t W>
    void predict(const Source& c, double* out);
    template <bool Updated, bool Signed>
    void predict_four(const Source& c, double* out);  // the four-lane instance, where the CPU has it
    template <bool Updated, bool Signed>
    void predict_lanes(const Source& c, double* out);  // the four-lane instance or the two-lane one
    template <bool Updated, std::size_t W>
    void build_rows(const Source& c);

    const SparseRows& transition_;
    const double* selection_;  ///< R
    double sigma2_;
    std::size_t k_;
    bool four_lanes_;              ///< run the four-lane instance (same bits)
    bool backwards_ = false;       ///< this step runs the bands last to first
    std::vector<Band> c_bands_;    ///< 0.0 + C[row][col + m] (row ≤ col: along a row of C)
    std::vector<Copy> tp_copies_;  ///< 0.0 + (T·C)[row][col + m], general rows of T
    std::vector<Single> mirrors_;  ///< 0.0 + C[row][col] with col < row: down a column
    /// Shift row i (selecting row `row` of C) and a general column j (`col`): the element is
    /// Σ_e x·(0.0 + C[row][l_e]) over row j of T, from 0.0, which is exactly (T·C)[j][row],
    /// Σ_e x·C[l_e][row] in the same order: C is symmetric, and 0.0 + c differs from c only
    /// in the sign of a zero, which a product keeps and a sum from 0.0 then drops. So it is
    /// read from the row of T·C built for row j. Such elements come in runs down column j,
    /// reading consecutive elements of that row (`count` of them from `row`).
    struct DownColumn {
        std::size_t dst;  ///< flat index of the first output element; the next ones are k apart
        std::size_t row;  ///< first element read
        std::size_t col;  ///< the general column j
        std::size_t count;
    };
    std::vector<DownColumn> transposed_;
    /// The elements Σ_e x·(T·C)[row][l] over row col of T, each with its row of T·C and the
    /// entries of row col of T looked up.
    struct GeneralSum {
        std::size_t dst;
        const double* tp;
        const Entry* begin;
        const Entry* end;
    };
    std::vector<GeneralSum> sums_;
    std::vector<std::size_t> const_at_;      ///< elements the same at every step (empty rows of T)
    std::vector<double> const_;              ///< their values, disturbance included
    std::vector<std::size_t> noise_at_;      ///< the other elements with a disturbance term
    std::vector<double> noise_;              ///< (sigma2·R_i)·R_j for them
    std::vector<std::size_t> dense_rows_;    ///< rows i whose sigma2·R_i is not finite
    std::vector<std::size_t> general_rows_;  ///< rows of T that are not shifts
    std::vector<std::size_t> built_rows_;    ///< those of them that are not empty
    std::vector<std::size_t> referenced_;    ///< rows of C that general rows of T read
    std::vector<double*> c_rows_;            ///< built rows of C (by row index), else null
    std::vector<double*> tp_rows_;           ///< rows of T·C for the general rows, else null
    std::vector<double> store_;              ///< storage of the built rows
    std::vector<double> w_;                  ///< pz[r] / F
};

/// Copies the upper triangle of the k × k matrix `m` onto its lower triangle.
void mirror_upper(double* m, std::size_t k);

}  // namespace korvanta
