// Every error text a caller can see, kept together so that they can be read and checked at a
// glance. Integers are written in decimal without separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvanta::messages {

/// The pieces joined, appended one after another (numbers already turned into text).
template <class... Pieces>
std::string join(const Pieces&... pieces) {
    std::string out;
    ((out += pieces), ...);
    return out;
}

inline std::string num(std::uint64_t v) { return std::to_string(v); }

// --- Argument binding (TypeError), each starting with the function's name and "()" --------

inline std::string too_many_positional(std::string_view fn, std::size_t required, std::size_t total,
                                       std::size_t given) {
    return join(fn, "() takes from ", num(required), " to ", num(total), " positional arguments but ", num(given),
                " were given");
}

/// Formatted by the interpreter (PyErr_Format) so that the keyword is shown whole: %s is the
/// function's name, %S the keyword.
inline constexpr const char* UNEXPECTED_KEYWORD = "%s() got an unexpected keyword argument '%S'";

inline std::string multiple_values(std::string_view fn, std::string_view param) {
    return join(fn, "() got multiple values for argument '", param, "'");
}

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
inline std::string missing_required(std::string_view fn, const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += join("'", names[i], "'");
    }
    return join(fn, "() missing ", num(names.size()), " required positional argument", names.size() == 1 ? "" : "s",
                ": ", list);
}

// --- Conversion ---------------------------------------------------------------------------

/// A converter's TypeError, reported for its parameter.
inline std::string for_argument(std::string_view param, std::string_view message) {
    return join("argument '", param, "': ", message);
}

inline constexpr const char* UNKNOWN_TYPE_NAME = "<failed to extract type name>";

inline std::string cannot_convert(std::string_view type_name, std::string_view target) {
    return join("'", type_name, "' object cannot be converted to '", target, "'");
}

inline constexpr const char* TARGET_ARRAY = "PyArray<T, D>";
inline constexpr const char* TARGET_TUPLE = "PyTuple";
inline constexpr const char* TARGET_SEQUENCE = "Sequence";
inline constexpr const char* TARGET_BOOL = "PyBool";

inline std::string tuple_length(std::size_t expected, std::ptrdiff_t got) {
    return join("expected tuple of length ", num(expected), ", but got tuple of length ", std::to_string(got));
}

inline constexpr const char* STR_AS_POWERS = "Can't extract `str` to `Vec`";

inline std::string no_bool_conversion(std::string_view type) {
    return join("object of type '", type, "' does not define a '__bool__' conversion");
}

// --- Validation ---------------------------------------------------------------------------

inline constexpr const char* NOT_CONTIGUOUS = "The given array is not contiguous";

inline std::string param_count(std::string_view name, std::size_t length, std::uint64_t n_params) {
    return join(name, " has ", num(length), " elements, but this specification has ", num(n_params), " parameters");
}

inline std::string regressors_not_contiguous(std::string_view name) {
    return join(name, " must be a contiguous float64 array");
}

/// `expected` is k_exog × n written in decimal (it may exceed 64 bits).
inline std::string regressor_count(std::string_view name, std::uint64_t entries, std::string_view expected) {
    return join(name, " has ", num(entries), " entries, expected k_exog * n = ", expected);
}

inline constexpr const char* SEASONAL_PERIOD_ZERO =
    "Must include nonzero seasonal periodicity if including seasonal AR, MA, or differencing.";
inline constexpr const char* SEASONAL_PERIOD_ONE = "Seasonal periodicity must be greater than 1.";

inline std::string overflows(std::string_view quantity) { return join(quantity, " overflows 64-bit arithmetic"); }

inline std::string too_many_states(std::uint64_t k_states, std::uint64_t maximum) {
    return join("k_states = ", num(k_states), " exceeds the supported maximum of ", num(maximum), " states");
}

inline std::string horizon_too_long(std::uint64_t horizon, std::uint64_t maximum) {
    return join("horizon = ", num(horizon), " exceeds the supported maximum of ", num(maximum), " periods");
}

// --- The module and internal failures -------------------------------------------------------

inline constexpr const char* SUB_INTERPRETER =
    "_korvanta_rs does not support sub-interpreters: it can be imported in one interpreter per "
    "process only";
inline constexpr const char* NO_EXCEPTION_SET = "attempted to fetch exception but none was set";
inline constexpr const char* FLAGGED_NOT_SET = "error flagged but none was set";
inline constexpr const char* UNKNOWN_FAILURE = "unknown internal failure";

inline std::string numpy_capsule(std::string_view detail) {
    return join("Failed to access NumPy array API capsule: ", detail);
}

inline std::string numpy_layout(std::string_view detail) {
    return join("NumPy's array object does not have the layout this module was built for: ", detail);
}

}  // namespace korvanta::messages
