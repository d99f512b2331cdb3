// The entry routines of the ten module functions (fast call with keywords).
#pragma once

#include <Python.h>

namespace korvanta::functions {

// Not noexcept: see `guarded` in functions.cpp.
#define KORVANTA_ENTRY(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
KORVANTA_ENTRY(loglike)
KORVANTA_ENTRY(loglike_u)
KORVANTA_ENTRY(loglike_grad)
KORVANTA_ENTRY(filter_paths)
KORVANTA_ENTRY(forecast)
KORVANTA_ENTRY(loglikeobs)
KORVANTA_ENTRY(transform_params)
KORVANTA_ENTRY(untransform_params)
KORVANTA_ENTRY(spec_dims)
KORVANTA_ENTRY(concentrated_scale)
#undef KORVANTA_ENTRY

/// Translates the C++ exception in flight into the Python exception it stands for. The one
/// place where failures cross the boundary: Python errors already set pass through,
/// ValueError → ValueError, std::bad_alloc → MemoryError, anything else → PanicException.
void translate_exception() noexcept;

}  // namespace korvanta::functions
