// The rows of a transition matrix grouped into runs, for the mean and covariance predictions.
#pragma once

#include <cstddef>
#include <vector>

#include "ssm/system.hpp"

namespace korvanta {

/// Maximal runs of consecutive rows of T that are shifts with one offset (each row's only
/// entry is 1.0 at column row + delta), or that are general rows; in order, covering every
/// row once.
struct Run {
    std::size_t begin, end;  ///< rows [begin, end)
    std::ptrdiff_t delta;    ///< column − row of a shift run
    bool shift;              ///< a run of shift rows
};

std::vector<Run> row_runs(const SparseRows& transition);

/// `index + delta`, formed in signed arithmetic: for a shift, a valid row or column.
inline std::size_t offset(std::size_t index, std::ptrdiff_t delta) {
    return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(index) + delta);
}

}  // namespace korvanta
