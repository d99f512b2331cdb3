// Two doubles operated on lane by lane, for the element-wise loops of the filter. Each lane
// performs exactly the scalar operations, so results are those of a scalar loop, bit for bit.
// With GCC and Clang this is their vector extension (one SIMD instruction per operation);
// elsewhere a plain pair with the same operators.
#pragma once

#include <cstddef>
#include <cstring>

#include "common/inline.hpp"

namespace korvanta {

#if defined(__GNUC__) || defined(__clang__)
using Lanes = double __attribute__((vector_size(16)));
#else
struct Lanes {
    double lane[2];
    friend Lanes operator+(Lanes a, Lanes b) { return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]}}; }
    friend Lanes operator-(Lanes a, Lanes b) { return {{a.lane[0] - b.lane[0], a.lane[1] - b.lane[1]}}; }
    friend Lanes operator*(Lanes a, Lanes b) { return {{a.lane[0] * b.lane[0], a.lane[1] * b.lane[1]}}; }
    friend Lanes operator/(Lanes a, Lanes b) { return {{a.lane[0] / b.lane[0], a.lane[1] / b.lane[1]}}; }
};
#endif
inline constexpr std::size_t LANES = 2;

// Loads and stores go through memcpy: no alignment is assumed.
KORVANTA_ALWAYS_INLINE Lanes load_lanes(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

KORVANTA_ALWAYS_INLINE void store_lanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

KORVANTA_ALWAYS_INLINE Lanes splat(double x) {
    Lanes v;
    const double both[2] = {x, x};
    std::memcpy(&v, both, sizeof v);
    return v;
}

/// Runs pair(m) for m = 0, 2, 4, … while two elements remain, then one(m) for an odd last one.
template <class Pair, class One>
KORVANTA_ALWAYS_INLINE void by_lanes(std::size_t len, Pair pair, One one) {
    std::size_t m = 0;
    for (; m + LANES <= len; m += LANES) pair(m);
    if (m < len) one(m);
}

}  // namespace korvanta
