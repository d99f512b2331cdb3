// The state-space form of one evaluation and its initial state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ssm/model_spec.hpp"

namespace korvanta {

/// One stored non-zero of a transition row.
struct Entry {
    std::size_t col;  ///< column index
    double value;     ///< element value
};

/// Sparse rows of the transition matrix T, stored back to back (compressed rows).
struct SparseRows {
    std::vector<Entry> entries;      ///< all rows' entries, row 0 first, in append order
    std::vector<std::size_t> start;  ///< row i is entries[start[i], start[i + 1])

    std::size_t rows() const { return start.empty() ? 0 : start.size() - 1; }
    std::span<const Entry> row(std::size_t i) const { return {entries.data() + start[i], start[i + 1] - start[i]}; }
};

struct System {
    SparseRows transition;                     ///< T, one list of (column, value) per state
    std::vector<std::size_t> design;           ///< state indices summed into the observation
    std::vector<double> selection;             ///< R, the disturbance loading (k_states)
    std::vector<double> state_intercept;       ///< c (k_states), zero except possibly at k_diff
    std::optional<std::vector<double>> trend;  ///< per-period intercept of state k_diff
    std::vector<double> ar;                    ///< expanded AR coefficients (k_ar)
    double sigma2;                             ///< variance of the scalar disturbance
};

/// Builds the state-space system of `spec` at the constrained blocks `blocks`, with the
/// time-varying trend evaluated for `n_periods` periods.
System build_system(const Spec& spec, const ParamBlocks& blocks, std::size_t n_periods);

/// Initial state mean a0 (k_states) and covariance P0 (k_states², row-major).
struct InitialState {
    std::vector<double> mean;  ///< a0
    std::vector<double> cov;   ///< P0
};

InitialState initial_state(const Spec& spec, const System& system, double diffuse_variance);

/// x^k with k taken as a signed 32-bit integer, by repeated squaring (x^2 is x·x, one rounding).
double int_power(double x, std::uint64_t power);

}  // namespace korvanta
