// Binding of fast-call arguments to parameters, their conversion, and the validation helpers.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "module/py.hpp"
#include "module/signatures.hpp"
#include "ssm/model_spec.hpp"

namespace korvanta::args {

using signatures::Function;
using signatures::Param;

/// An array argument whose type, dimension count and dtype were checked when it was
/// converted. Its data pointer and length are taken only later, by `view`: converting the
/// arguments after it may run Python code that frees or replaces its buffer.
struct ArrayArg {
    PyObject* obj;  ///< the array (borrowed: the caller keeps it alive)
    Param param;    ///< whose argument it is
};

/// Every argument any function takes, converted; the table's defaults stand where nothing was
/// passed. Fields of parameters that a function does not take keep zero values.
struct Arguments {
    std::optional<ArrayArg> y;
    std::optional<ArrayArg> vector;  ///< params, u or p
    std::optional<ArrayArg> exog, exog_future;
    std::uint64_t order[3] = {0, 0, 0};
    std::uint64_t seasonal_order[4] = {0, 0, 0, 0};
    std::vector<std::uint64_t> trend_powers;
    std::uint64_t horizon = 0, k_exog = 0;
    bool enforce_stationarity = false, enforce_invertibility = false, concentrate_scale = false;
    bool parallel = false;
    double trend_offset = 0.0, diffuse_variance = 0.0, tolerance = 0.0;
    std::optional<double> epsilon;
};

/// Binds the positional and keyword arguments of a fast call to `f`'s parameters (raising the
/// binding TypeErrors), then converts them in parameter order; the first failure ends it.
Arguments parse(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// A read-only float64 vector: an array argument's data as it is after every conversion.
struct Vector {
    const double* data = nullptr;  ///< aligned data
    std::size_t size = 0;          ///< element count
    bool contiguous = false;       ///< C- or Fortran-contiguous with a non-null pointer
    std::vector<double> aligned;   ///< copy of data that is not aligned for float64

    std::span<const double> span() const { return {data, size}; }
};

/// The arrays' data pointers and lengths, taken after the last conversion; no Python code
/// runs between this and the computation. An array whose kind a conversion hook changed
/// since it was converted fails with its usual conversion error.
struct Views {
    std::optional<Vector> y, vector, exog, exog_future;
};
Views view(const Arguments& a);

/// TypeError "The given array is not contiguous" unless `v` is contiguous.
void require_contiguous(const Vector& v);

/// ValueError "<name> has L elements, but this specification has N parameters".
void check_params(const Spec& spec, std::size_t length, const char* name);

/// Checks an optional regressor array against k_exog × n entries.
std::optional<std::span<const double>> exog_slice(const std::optional<Vector>& array, std::uint64_t k_exog,
                                                  std::uint64_t n, const char* name);

}  // namespace korvanta::args
