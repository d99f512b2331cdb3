// The few pieces of NumPy's C interface the module uses, reached through NumPy's exported
// function table. Only layouts that are identical in NumPy 1.x and 2.x are mirrored here.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "module/py.hpp"

namespace korvanta::npy {

/// Leading fields of NumPy's array object (unchanged since NumPy 1.7, identical in 2.x).
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline constexpr int NPY_DOUBLE = 12;
inline constexpr int C_CONTIGUOUS = 0x0001;
inline constexpr int F_CONTIGUOUS = 0x0002;

/// The array type object; fetches the interface table on first use (PanicException text
/// "Failed to access NumPy array API capsule…" when that fails).
PyTypeObject* array_type();

/// True when `descr` is equivalent to native float64.
bool is_float64(PyObject* descr);

/// A new one-dimensional float64 array holding a copy of `values`.
py::Ref new_vector(std::span<const double> values);

}  // namespace korvanta::npy
