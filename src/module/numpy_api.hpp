// The few pieces of NumPy's C interface the module uses, reached through NumPy's exported
// function table. Only layouts that are identical in NumPy 1.x and 2.x are mirrored here, and
// they are checked against a real array when the table is first fetched.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>

#include "module/py.hpp"

namespace korvanta::npy {

/// Whether `obj` is a NumPy array (or subclass) with one dimension and a dtype equivalent to
/// native float64. Fetches the interface table on first use (PanicException text
/// "Failed to access NumPy array API capsule…" when that fails).
bool is_float64_vector(PyObject* obj);

/// The data of a one-dimensional float64 array as it is now.
struct Data {
    const char* bytes;  ///< first element (may be null for an empty array)
    std::size_t size;   ///< element count
    bool contiguous;    ///< NumPy flags it C- or Fortran-contiguous
};

/// The data of `obj` when it is (still) a one-dimensional float64 array, else nothing.
std::optional<Data> float64_vector_data(PyObject* obj);

/// A new one-dimensional float64 array holding a copy of `values`.
py::Ref new_vector(std::span<const double> values);

}  // namespace korvanta::npy
