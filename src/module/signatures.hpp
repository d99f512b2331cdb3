// The parameter lists of the ten functions, declared once. The argument binder, the
// converters, the text signatures and the docstrings are all derived from these tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "module/docs.hpp"

namespace korvanta::signatures {

/// Every parameter any function takes. A converter switch over this enumeration has no
/// default case, so a parameter without a converter fails to compile.
enum class Param : std::uint8_t {
    y,
    params,
    u,
    p,
    order,
    seasonal_order,
    trend_powers,
    horizon,
    exog,
    exog_future,
    k_exog,
    enforce_stationarity,
    enforce_invertibility,
    concentrate_scale,
    trend_offset,
    diffuse_variance,
    tolerance,
    parallel,
    epsilon,
};

/// A parameter's name and default. `default_text` is what the text signature shows (null
/// for a required parameter); `default_value` is the value a count, flag or real takes when
/// the argument is not passed (the optional kinds are absent then).
struct ParamInfo {
    Param param;
    const char* name;
    const char* default_text;
    double default_value;
};

// A real or count default spelled once: the signature shows the literal as written.
#define KORVANTA_NUMBER(param, literal) \
    ParamInfo { Param::param, #param, #literal, literal }
#define KORVANTA_FLAG(param, value) \
    ParamInfo { Param::param, #param, value ? "True" : "False", value ? 1.0 : 0.0 }
#define KORVANTA_NONE(param) \
    ParamInfo { Param::param, #param, "None", 0.0 }
#define KORVANTA_REQUIRED(param) \
    ParamInfo { Param::param, #param, nullptr, 0.0 }

inline constexpr ParamInfo PARAMS[] = {
    KORVANTA_REQUIRED(y),
    KORVANTA_REQUIRED(params),
    KORVANTA_REQUIRED(u),
    KORVANTA_REQUIRED(p),
    KORVANTA_REQUIRED(order),
    KORVANTA_REQUIRED(seasonal_order),
    KORVANTA_REQUIRED(trend_powers),
    KORVANTA_REQUIRED(horizon),
    KORVANTA_NONE(exog),
    KORVANTA_NONE(exog_future),
    KORVANTA_NUMBER(k_exog, 0),
    KORVANTA_FLAG(enforce_stationarity, true),
    KORVANTA_FLAG(enforce_invertibility, true),
    KORVANTA_FLAG(concentrate_scale, false),
    KORVANTA_NUMBER(trend_offset, 1.0),
    KORVANTA_NUMBER(diffuse_variance, 1e6),
    KORVANTA_NUMBER(tolerance, 1e-19),
    KORVANTA_FLAG(parallel, true),
    KORVANTA_NONE(epsilon),
};

#undef KORVANTA_NUMBER
#undef KORVANTA_FLAG
#undef KORVANTA_NONE
#undef KORVANTA_REQUIRED

inline constexpr std::size_t N_PARAMS = std::size(PARAMS);

constexpr bool params_in_enum_order() {
    for (std::size_t i = 0; i < N_PARAMS; ++i) {
        if (static_cast<std::size_t>(PARAMS[i].param) != i) return false;
    }
    return true;
}
static_assert(params_in_enum_order(), "PARAMS must list every Param once, in enumeration order");

constexpr const ParamInfo& info(Param p) { return PARAMS[static_cast<std::size_t>(p)]; }

/// One function's signature and description.
struct Function {
    const char* name;
    std::span<const Param> params;  ///< in signature order
    const char* description;        ///< the docstring after the signature line

    /// The leading parameters without a default.
    constexpr std::size_t n_required() const {
        std::size_t n = 0;
        while (n < params.size() && info(params[n]).default_text == nullptr) ++n;
        return n;
    }
};

namespace detail {
using enum Param;
inline constexpr Param LOGLIKE[] = {y,
                                    params,
                                    order,
                                    seasonal_order,
                                    trend_powers,
                                    exog,
                                    k_exog,
                                    enforce_stationarity,
                                    enforce_invertibility,
                                    concentrate_scale,
                                    trend_offset,
                                    diffuse_variance,
                                    tolerance};
inline constexpr Param LOGLIKE_U[] = {y,
                                      u,
                                      order,
                                      seasonal_order,
                                      trend_powers,
                                      exog,
                                      k_exog,
                                      enforce_stationarity,
                                      enforce_invertibility,
                                      concentrate_scale,
                                      trend_offset,
                                      diffuse_variance,
                                      tolerance};
inline constexpr Param LOGLIKE_GRAD[] = {y,
                                         u,
                                         order,
                                         seasonal_order,
                                         trend_powers,
                                         exog,
                                         k_exog,
                                         enforce_stationarity,
                                         enforce_invertibility,
                                         concentrate_scale,
                                         trend_offset,
                                         diffuse_variance,
                                         tolerance,
                                         parallel,
                                         epsilon};
inline constexpr Param FORECAST[] = {y,
                                     params,
                                     order,
                                     seasonal_order,
                                     trend_powers,
                                     horizon,
                                     exog,
                                     exog_future,
                                     k_exog,
                                     enforce_stationarity,
                                     enforce_invertibility,
                                     concentrate_scale,
                                     trend_offset,
                                     diffuse_variance,
                                     tolerance};
inline constexpr Param TRANSFORM[] = {u,
                                      order,
                                      seasonal_order,
                                      trend_powers,
                                      k_exog,
                                      enforce_stationarity,
                                      enforce_invertibility,
                                      concentrate_scale,
                                      trend_offset};
inline constexpr Param UNTRANSFORM[] = {p,
                                        order,
                                        seasonal_order,
                                        trend_powers,
                                        k_exog,
                                        enforce_stationarity,
                                        enforce_invertibility,
                                        concentrate_scale,
                                        trend_offset};
inline constexpr Param SPEC_DIMS[] = {order, seasonal_order, trend_powers, k_exog, trend_offset};
inline constexpr Param CONCENTRATED[] = {y,
                                         params,
                                         order,
                                         seasonal_order,
                                         trend_powers,
                                         exog,
                                         k_exog,
                                         enforce_stationarity,
                                         enforce_invertibility,
                                         trend_offset,
                                         diffuse_variance,
                                         tolerance};
}  // namespace detail

inline constexpr Function loglike{"loglike", detail::LOGLIKE, docs::loglike};
inline constexpr Function loglike_u{"loglike_u", detail::LOGLIKE_U, docs::loglike_u};
inline constexpr Function loglike_grad{"loglike_grad", detail::LOGLIKE_GRAD, docs::loglike_grad};
inline constexpr Function filter_paths{"filter_paths", detail::LOGLIKE, docs::filter_paths};
inline constexpr Function forecast{"forecast", detail::FORECAST, docs::forecast};
inline constexpr Function loglikeobs{"loglikeobs", detail::LOGLIKE, docs::loglikeobs};
inline constexpr Function transform_params{"transform_params", detail::TRANSFORM, docs::transform_params};
inline constexpr Function untransform_params{"untransform_params", detail::UNTRANSFORM, docs::untransform_params};
inline constexpr Function spec_dims{"spec_dims", detail::SPEC_DIMS, docs::spec_dims};
inline constexpr Function concentrated_scale{"concentrated_scale", detail::CONCENTRATED, docs::concentrated_scale};

/// The ten functions in registration order (the order of __all__).
inline constexpr const Function* FUNCTIONS[] = {
    &loglike,    &loglike_u,        &loglike_grad,       &filter_paths, &forecast,
    &loglikeobs, &transform_params, &untransform_params, &spec_dims,    &concentrated_scale,
};

constexpr bool required_are_leading(const Function& f) {
    for (std::size_t i = f.n_required(); i < f.params.size(); ++i) {
        if (info(f.params[i]).default_text == nullptr) return false;
    }
    return true;
}

constexpr std::size_t max_arity() {
    std::size_t n = 0;
    for (const Function* f : FUNCTIONS) n = std::max(n, f->params.size());
    return n;
}

/// The size of the argument store: one slot per parameter of the longest list.
inline constexpr std::size_t MAX_ARITY = max_arity();

constexpr bool all_well_formed() {
    for (const Function* f : FUNCTIONS) {
        if (!required_are_leading(*f) || f->params.size() > MAX_ARITY) return false;
    }
    return true;
}
static_assert(all_well_formed(), "required parameters must lead every parameter list");
static_assert(MAX_ARITY == 15);

/// "name(a, b, c=default, …)\n--\n\n" followed by the description: CPython derives
/// __text_signature__ from the part before "--".
inline std::string docstring(const Function& f) {
    std::string out = std::string(f.name) + "(";
    for (std::size_t i = 0; i < f.params.size(); ++i) {
        const ParamInfo& p = info(f.params[i]);
        if (i > 0) out += ", ";
        out += p.name;
        if (p.default_text != nullptr) out += std::string("=") + p.default_text;
    }
    return out + ")\n--\n\n" + f.description;
}

}  // namespace korvanta::signatures
