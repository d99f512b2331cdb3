// W doubles operated on lane by lane, for the element-wise loops of the filter. Each lane
// performs exactly the scalar operations, so results are those of a scalar loop, bit for bit.
// With GCC and Clang this is their vector extension (one SIMD instruction per operation where
// the target has registers that wide); elsewhere a plain array with the same operators.
#pragma once

#include <cstddef>
#include <cstring>

#include "common/inline.hpp"

/// Four-lane (AVX2) instances of the lane loops are built beside the two-lane ones, to be
/// chosen at run time.
#if defined(KORVANTA_X86_DISPATCH) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVANTA_AVX2 1
#endif

namespace korvanta {

/// The width every target has (SSE2, NEON).
inline constexpr std::size_t LANES = 2;

#if defined(__GNUC__) || defined(__clang__)
template <std::size_t W>
struct LaneType;
template <>
struct LaneType<1> {
    typedef double type __attribute__((vector_size(8)));
};
template <>
struct LaneType<2> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct LaneType<4> {
    typedef double type __attribute__((vector_size(32)));
};
template <std::size_t W>
using Lanes = typename LaneType<W>::type;
static_assert(sizeof(Lanes<4>) == 4 * sizeof(double));
#else
template <std::size_t W>
struct Lanes {
    double lane[W];
    friend Lanes operator+(Lanes a, Lanes b) {
        return apply(a, b, [](double x, double y) { return x + y; });
    }
    friend Lanes operator-(Lanes a, Lanes b) {
        return apply(a, b, [](double x, double y) { return x - y; });
    }
    friend Lanes operator*(Lanes a, Lanes b) {
        return apply(a, b, [](double x, double y) { return x * y; });
    }
    friend Lanes operator/(Lanes a, Lanes b) {
        return apply(a, b, [](double x, double y) { return x / y; });
    }
    template <class Op>
    static Lanes apply(Lanes a, Lanes b, Op op) {
        Lanes r;
        for (std::size_t i = 0; i < W; ++i) r.lane[i] = op(a.lane[i], b.lane[i]);
        return r;
    }
};
#endif

// Loads and stores go through memcpy: no alignment is assumed.
template <std::size_t W>
KORVANTA_ALWAYS_INLINE Lanes<W> load_lanes(const double* p) {
    Lanes<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <std::size_t W>
KORVANTA_ALWAYS_INLINE void store_lanes(double* p, Lanes<W> v) {
    std::memcpy(p, &v, sizeof v);
}

template <std::size_t W>
KORVANTA_ALWAYS_INLINE Lanes<W> splat(double x) {
    double all[W];
    for (std::size_t i = 0; i < W; ++i) all[i] = x;
    return load_lanes<W>(all);
}

/// Runs op.operator()<W>(m) for m = 0, W, 2W, … while W elements remain, then the rest with
/// two lanes and one lane: `op` is a generic lambda over the lane count. With `whole_groups`
/// the last group runs whole, past `len` (the caller has room there), and `len` is at least 1.
///
/// With `Pairs`, for stretches long enough that the loop control would cost about as much as
/// the groups, the groups run two to a loop pass (then the one left over); they run in the same
/// order over the same elements.
template <std::size_t W, bool Pairs = false, class Op>
KORVANTA_ALWAYS_INLINE void by_lanes(std::size_t len, bool whole_groups, Op op) {
    if constexpr (Pairs) {
        std::size_t m = 0;
        if (whole_groups) {
            for (; m + W < len; m += 2 * W) {
                op.template operator()<W>(m);
                op.template operator()<W>(m + W);
            }
            if (m < len) op.template operator()<W>(m);
            return;
        }
        for (; m + 2 * W <= len; m += 2 * W) {
            op.template operator()<W>(m);
            op.template operator()<W>(m + W);
        }
        if (m + W <= len) {
            op.template operator()<W>(m);
            m += W;
        }
        if constexpr (W > 2) {
            if (m + 2 <= len) {
                op.template operator()<2>(m);
                m += 2;
            }
        }
        if (m < len) op.template operator()<1>(m);
        return;
    }
    if (whole_groups) {
        std::size_t m = 0;
        do {
            op.template operator()<W>(m);
            m += W;
        } while (m < len);
        return;
    }
    std::size_t m = 0;
    for (; m + W <= len; m += W) op.template operator()<W>(m);
    if constexpr (W > 2) {
        if (m + 2 <= len) {
            op.template operator()<2>(m);
            m += 2;
        }
    }
    if (m < len) op.template operator()<1>(m);
}

/// by_lanes for a stretch whose length is known only when it runs: two groups to a loop pass
/// when it has at least eight groups, one otherwise (for a few groups the extra test of a
/// paired loop costs more than it saves).
template <std::size_t W, class Op>
KORVANTA_ALWAYS_INLINE void by_lanes_sized(std::size_t len, bool whole_groups, Op op) {
    if (len >= 8 * W) {
        by_lanes<W, true>(len, whole_groups, op);
    } else {
        by_lanes<W>(len, whole_groups, op);
    }
}

template <std::size_t W, class Op>
KORVANTA_ALWAYS_INLINE void by_lanes(std::size_t len, Op op) {
    by_lanes<W>(len, false, op);
}

}  // namespace korvanta
