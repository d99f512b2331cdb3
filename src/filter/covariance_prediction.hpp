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
};

/// Predicts the covariance of one system, step after step. C is never formed whole: a row of
/// T that is a single 1.0 (a shift) copies the row of C it selects, each element computed
/// where it is copied, and only the rows of C that the other rows of T reference are built.
/// The values are exactly those of forming C, then T·C (per row of T, its entries' scaled
/// rows of C summed in stored order from 0.0, an entry of 1.0 adding without a
/// multiplication), then each element i ≤ j of the result as Σ over row j of T of
/// x·(T·C)[i][l] (stored order, from 0.0) plus (sigma2·R_i)·R_j.
///
/// The work of a step is planned once per system as a list of segments of output rows, so
/// that a step runs through flat loops.
class CovariancePrediction {
public:
    explicit CovariancePrediction(const System& system);

    /// Writes the upper triangle (j ≥ i) of the prediction from `c` into `out` (k × k),
    /// leaving the lower one untouched.
    void predict_upper(const FilteredCovariance& c, double* out);

    /// The whole of T·P·T' + (sigma2·R)·R' for a symmetric P (no update), mirrored.
    void predict_full(const double* P, double* out);

    /// Columns [begin, end) of output row `row`, all computed the same way.
    struct Segment {
        enum Kind : std::uint8_t {
            copy_c,    ///< 0.0 + C[source][j + delta], read along row `source` of C
            mirror_c,  ///< the same where j + delta < source: read down column `source`
            copy_tp,   ///< 0.0 + (T·C)[row][j + delta], for a general row of T
            sum,       ///< Σ over row j of T of x·(T·C)[row][l], for general columns
        };
        Kind kind;
        bool shift_row;  ///< row `row` of T is a shift (then `source` is meaningful)
        std::size_t row, begin, end;
        std::size_t source;    ///< row of C that shift row `row` of T selects
        std::ptrdiff_t delta;  ///< column offset of a shift column run
    };

private:
    struct Source;  // the current call's C, passed down explicitly
    template <bool Updated>
    void predict(const Source& c, double* out);
    template <bool Updated>
    void build_rows(const Source& c);
    template <bool Updated>
    double sum_element(const Source& c, const Segment& s, std::size_t j) const;

    const SparseRows& transition_;
    std::size_t k_;
    std::vector<Segment> plan_;              ///< every output element j ≥ i exactly once
    std::vector<std::size_t> general_rows_;  ///< rows of T that are not shifts
    std::vector<std::size_t> referenced_;    ///< rows of C that general rows of T read
    std::vector<double*> c_rows_;            ///< built rows of C (by row index), else null
    std::vector<double*> tp_rows_;           ///< rows of T·C for the general rows, else null
    std::vector<double> store_;              ///< storage of the built rows
    std::vector<std::size_t> noise_at_;      ///< flat indices i·k + j that get a disturbance term
    std::vector<double> noise_;              ///< (sigma2·R_i)·R_j for them
    std::vector<double> w_;                  ///< pz[r] / F
};

/// Copies the upper triangle of the k × k matrix `m` onto its lower triangle.
void mirror_upper(double* m, std::size_t k);

}  // namespace korvanta
