// Two doubles operated on lane by lane, for the element-wise loops of the filter. Each lane
// performs exactly the scalar operations, so results are those of the scalar loop, bit for
// bit; loads and stores go through memcpy (no alignment is assumed). Compilers without the
// vector extension take the scalar loops.
#pragma once

#include <cstring>

#if defined(__GNUC__) || defined(__clang__)
#define KORVANTA_LANES 1

namespace korvanta {

using Lanes = double __attribute__((vector_size(16)));
inline constexpr std::size_t LANES = 2;

inline Lanes load_lanes(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_lanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

inline Lanes splat(double x) { return Lanes{x, x}; }

}  // namespace korvanta
#endif
