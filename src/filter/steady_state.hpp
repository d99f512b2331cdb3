// The steady-state test of the filter.
#pragma once

#include <cstddef>

namespace korvanta {

/// Whether the sum of (previous[i][j] − current[i][j])² over all k² entries, in row-major
/// order from 0.0, is strictly below `tolerance`. Both matrices are symmetric with only
/// their upper triangles current.
bool covariance_settled(const double* previous, const double* current, std::size_t k, double tolerance);

}  // namespace korvanta
