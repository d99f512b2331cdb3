// The steady-state test of the filter.
#pragma once

#include <cstddef>

namespace korvanta {

/// Tests whether the predicted covariance has stopped changing: the sum of
/// (previous[i][j] − current[i][j])² over all k² entries, in row-major order from 0.0, is
/// strictly below `tolerance`. Both matrices are symmetric with only their upper triangles
/// current. Remembers where its last scan was decided, to start the next one there.
class SettledTest {
public:
    bool operator()(const double* previous, const double* current, std::size_t k, double tolerance);

private:
    std::size_t first_ = 0;  ///< the row (or diagonal element) that decided the last scan
};

}  // namespace korvanta
