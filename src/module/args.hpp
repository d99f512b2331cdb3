// Binding of fast-call arguments to parameters, the converters, and the validation helpers.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "module/py.hpp"
#include "ssm/model_spec.hpp"

namespace korvanta::args {

/// Static description of one function's parameter list.
struct Signature {
    const char* name;                ///< function name, used in binding messages
    std::span<const char* const> params;  ///< parameter names in order
    std::size_t n_required;          ///< number of leading required parameters
};

/// One slot per parameter; NULL where the argument was not passed (borrowed references).
struct Bound {
    std::array<PyObject*, 16> slots{};
    PyObject* operator[](std::size_t i) const { return slots[i]; }
};

/// Binds positional and keyword arguments of a fast call, raising the binding TypeErrors.
Bound bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// A read-only float64 vector argument. Data that is not aligned for float64 is copied.
struct Vector {
    PyObject* obj = nullptr;         ///< the array (borrowed: the caller keeps it alive)
    const double* data = nullptr;    ///< aligned data
    std::size_t size = 0;            ///< element count
    bool contiguous = false;         ///< C- or Fortran-contiguous with a non-null pointer
    std::vector<double> aligned;     ///< copy of misaligned data

    std::span<const double> span() const { return {data, size}; }
};

// Converters. Each takes the slot's object (NULL when not passed: the default applies) and the
// parameter name; a failing TypeError is reported as "argument '<name>': <message>".
Vector vector(PyObject* obj, const char* name);
std::optional<Vector> optional_vector(PyObject* obj, const char* name);
void order(PyObject* obj, const char* name, std::uint64_t (&out)[3]);
void seasonal_order(PyObject* obj, const char* name, std::uint64_t (&out)[4]);
std::vector<std::uint64_t> powers(PyObject* obj, const char* name);
std::uint64_t count(PyObject* obj, const char* name, std::uint64_t fallback);
bool flag(PyObject* obj, const char* name, bool fallback);
double real(PyObject* obj, const char* name, double fallback);
std::optional<double> optional_real(PyObject* obj, const char* name);

/// TypeError "The given array is not contiguous" unless `v` is contiguous.
void require_contiguous(const Vector& v);

/// ValueError "<name> has L elements, but this specification has N parameters".
void check_params(const Spec& spec, std::size_t length, const char* name);

/// Checks an optional regressor array against k_exog × n entries.
std::optional<std::span<const double>> exog_slice(const std::optional<Vector>& array,
                                                  std::uint64_t k_exog, std::uint64_t n,
                                                  const char* name);

}  // namespace korvanta::args
