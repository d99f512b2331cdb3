// Portable spelling of the compiler hints the hot loops use.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define KORVANTA_ALWAYS_INLINE inline __attribute__((always_inline))
#define KORVANTA_RESTRICT __restrict
#elif defined(_MSC_VER)
#define KORVANTA_ALWAYS_INLINE __forceinline
#define KORVANTA_RESTRICT __restrict
#else
#define KORVANTA_ALWAYS_INLINE inline
#define KORVANTA_RESTRICT
#endif
