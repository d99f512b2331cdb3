#include "ssm/model_spec.hpp"

#include <cmath>
#include <string>

#include "common/errors.hpp"
#include "common/messages.hpp"
#include "poly/poly.hpp"

namespace korvanta {
namespace {

// Checked unsigned arithmetic: an oversized model is rejected with the name of the quantity
// that does not fit, before anything is sized from it.
std::uint64_t checked_add(std::uint64_t a, std::uint64_t b, const char* what) {
    if (a > UINT64_MAX - b) throw ValueError(messages::overflows(what));
    return a + b;
}

std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b, const char* what) {
    if (a != 0 && b > UINT64_MAX / a) throw ValueError(messages::overflows(what));
    return a * b;
}

}  // namespace

Spec make_spec(const std::uint64_t (&order)[3], const std::uint64_t (&seasonal_order)[4],
               std::vector<std::uint64_t> trend_powers, std::uint64_t k_exog, Flags flags, double trend_offset) {
    const auto [P, D, Q, s] = seasonal_order;
    if (P != 0 || D != 0 || Q != 0) {
        if (s == 0) throw ValueError(messages::SEASONAL_PERIOD_ZERO);
        if (s == 1) throw ValueError(messages::SEASONAL_PERIOD_ONE);
    }
    Spec spec{};
    spec.k_trend = trend_powers.size();
    spec.trend_powers = std::move(trend_powers);
    spec.p = order[0];
    spec.d = order[1];
    spec.q = order[2];
    spec.P = P;
    spec.D = D;
    spec.Q = Q;
    spec.s = s;
    spec.k_exog = k_exog;
    spec.trend_offset = trend_offset;
    spec.enforce_stationarity = flags.enforce_stationarity;
    spec.enforce_invertibility = flags.enforce_invertibility;
    spec.concentrate_scale = flags.concentrate_scale;

    spec.k_ar = checked_add(spec.p, checked_mul(s, P, "k_ar = p + s*P"), "k_ar = p + s*P");
    spec.k_ma = checked_add(spec.q, checked_mul(s, Q, "k_ma = q + s*Q"), "k_ma = q + s*Q");
    const std::uint64_t ma_states = checked_add(spec.k_ma, 1, "k_arma_states = k_ma + 1");
    spec.k_arma_states = spec.k_ar >= ma_states ? spec.k_ar : ma_states;
    spec.k_diff = checked_add(spec.d, checked_mul(s, D, "k_diff = d + s*D"), "k_diff = d + s*D");
    spec.k_states = checked_add(spec.k_arma_states, spec.k_diff, "k_states = k_diff + k_arma_states");
    spec.k_diffuse = spec.enforce_stationarity ? spec.k_diff : spec.k_states;

    // n_params must be representable too: a wrapped count would let a short vector pass.
    std::uint64_t n = checked_add(spec.k_trend, spec.k_exog, "n_params");
    for (std::uint64_t part : {spec.p, spec.q, spec.P, spec.Q}) n = checked_add(n, part, "n_params");
    if (!spec.concentrate_scale) checked_add(n, 1, "n_params");

    if (spec.k_states > MAX_STATES) {
        throw ValueError(messages::too_many_states(spec.k_states, MAX_STATES));
    }
    return spec;
}

std::uint64_t Spec::n_params() const { return k_trend + k_exog + p + q + P + Q + (concentrate_scale ? 0 : 1); }

ParamBlocks Spec::split(std::span<const double> values) const {
    require(values.size() >= n_params(), "parameter vector shorter than n_params");
    ParamBlocks b{};
    std::size_t at = 0;
    auto take = [&](std::uint64_t len) {
        std::span<const double> view = values.subspan(at, len);
        at += len;
        return view;
    };
    b.trend_params = take(k_trend);
    b.beta = take(k_exog);
    b.ar_params = take(p);
    b.ma_params = take(q);
    b.seasonal_ar_params = take(P);
    b.seasonal_ma_params = take(Q);
    b.sigma2 = concentrate_scale ? 1.0 : values[at];
    return b;
}

// Calls block(start, length, is_ma) for each AR/MA block whose flag is set, in layout order
// (φ, θ, Φ, Θ), skipping empty blocks; returns the index of the variance entry.
template <class Block>
static std::size_t for_each_transformed_block(const Spec& spec, Block block) {
    const std::size_t o = spec.ar_offset();
    const std::size_t starts[4] = {o, o + spec.p, o + spec.p + spec.q, o + spec.p + spec.q + spec.P};
    const std::uint64_t lengths[4] = {spec.p, spec.q, spec.P, spec.Q};
    for (int b = 0; b < 4; ++b) {
        const bool is_ma = b % 2 == 1;
        const bool enforced = is_ma ? spec.enforce_invertibility : spec.enforce_stationarity;
        if (enforced && lengths[b] > 0) block(starts[b], lengths[b], is_ma);
    }
    return starts[3] + spec.Q;
}

std::vector<double> Spec::transform(std::span<const double> u) const {
    require(u.size() >= n_params(), "parameter vector shorter than n_params");
    std::vector<double> out(u.begin(), u.end());
    // MA blocks are the negated stationary map: 1 + θ1·L + … is invertible exactly when
    // 1 − (−θ1)·L − … is stationary.
    const std::size_t v = for_each_transformed_block(*this, [&](std::size_t start, std::uint64_t len, bool is_ma) {
        const std::vector<double> c = constrain_stationary(u.subspan(start, len));
        for (std::size_t i = 0; i < len; ++i) out[start + i] = is_ma ? -c[i] : c[i];
    });
    if (!concentrate_scale) out[v] = u[v] * u[v];
    return out;
}

std::vector<double> Spec::untransform(std::span<const double> params) const {
    require(params.size() >= n_params(), "parameter vector shorter than n_params");
    std::vector<double> out(params.begin(), params.end());
    const std::size_t v = for_each_transformed_block(*this, [&](std::size_t start, std::uint64_t len, bool is_ma) {
        const std::span<const double> block = params.subspan(start, len);
        std::vector<double> c(block.begin(), block.end());
        if (is_ma) {
            for (double& x : c) x = -x;
        }
        const std::vector<double> x = unconstrain_stationary(c);
        for (std::size_t i = 0; i < len; ++i) out[start + i] = x[i];
    });
    if (!concentrate_scale) {
        // max(x, 0.0) with NaN counting as 0.0, so −0.0 and NaN both give +0.0.
        const double m = params[v] > 0.0 ? params[v] : 0.0;
        out[v] = std::sqrt(m);
    }
    return out;
}

}  // namespace korvanta
