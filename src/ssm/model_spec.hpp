// The model specification, its derived dimensions and the parameter-vector layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvanta {

/// Largest state dimension accepted. The filter holds four k_states × k_states float64
/// matrices, so one evaluation needs at most 4 · 4096² · 8 B = 512 MiB of covariance storage.
inline constexpr std::uint64_t MAX_STATES = 4096;

/// Read-only views of the blocks of a constrained parameter vector.
struct ParamBlocks {
    std::span<const double> trend_params;        ///< one coefficient per trend power
    std::span<const double> beta;                ///< one coefficient per regressor
    std::span<const double> ar_params;           ///< φ1 … φp
    std::span<const double> ma_params;           ///< θ1 … θq
    std::span<const double> seasonal_ar_params;  ///< Φ1 … ΦP
    std::span<const double> seasonal_ma_params;  ///< Θ1 … ΘQ
    double sigma2;                               ///< innovation variance (1.0 when concentrated)
};

struct Spec {
    std::vector<std::uint64_t> trend_powers;  ///< powers of time in the trend, as passed
    std::uint64_t p, d, q;                    ///< non-seasonal AR order, differencing, MA order
    std::uint64_t P, D, Q, s;                 ///< seasonal AR, differencing, MA orders; period
    std::uint64_t k_trend;                    ///< number of trend coefficients
    std::uint64_t k_exog;                     ///< number of regressors
    double trend_offset;                      ///< time value of the first observation
    std::uint64_t k_ar;                       ///< degree of the expanded AR polynomial
    std::uint64_t k_ma;                       ///< degree of the expanded MA polynomial
    std::uint64_t k_arma_states;              ///< max(k_ar, k_ma + 1)
    std::uint64_t k_diff;                     ///< d + s·D differencing states
    std::uint64_t k_states;                   ///< state dimension
    std::uint64_t k_diffuse;                  ///< diffuse states / burn-in observations
    bool enforce_stationarity;                ///< AR blocks transformed; stationary ARMA init
    bool enforce_invertibility;               ///< MA blocks transformed
    bool concentrate_scale;                   ///< sigma2 profiled out, not a parameter

    /// Length of the parameter vector.
    std::uint64_t n_params() const;
    /// First index of the AR block (k_trend + k_exog).
    std::uint64_t ar_offset() const { return k_trend + k_exog; }
    /// Cuts a constrained vector of (at least) n_params entries into its blocks.
    ParamBlocks split(std::span<const double> values) const;
    /// Unconstrained → constrained vector of the same length.
    std::vector<double> transform(std::span<const double> u) const;
    /// Constrained → unconstrained vector of the same length.
    std::vector<double> untransform(std::span<const double> params) const;
};

struct Flags {
    bool enforce_stationarity;
    bool enforce_invertibility;
    bool concentrate_scale;
};

/// Validates the seasonal part and derives every dimension. Throws ValueError for an invalid
/// seasonal period, for a derived count that overflows 64 bits, and for a state dimension
/// above MAX_STATES.
Spec make_spec(const std::uint64_t (&order)[3], const std::uint64_t (&seasonal_order)[4],
               std::vector<std::uint64_t> trend_powers, std::uint64_t k_exog, Flags flags, double trend_offset);

}  // namespace korvanta
