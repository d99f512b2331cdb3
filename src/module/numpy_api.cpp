#include "module/numpy_api.hpp"

#include <cstring>
#include <string>

#include "common/errors.hpp"

namespace korvanta::npy {
namespace {

// Table slots, stable across NumPy 1.x and 2.x.
constexpr int SLOT_ARRAY_TYPE = 2;
constexpr int SLOT_DESCR_FROM_TYPE = 45;
constexpr int SLOT_NEW = 93;
constexpr int SLOT_EQUIV_TYPES = 182;

using DescrFromType = PyObject* (*)(int);
using NewArray = PyObject* (*)(PyTypeObject*, int, const Py_ssize_t*, int, const Py_ssize_t*, void*,
                               int, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

void** g_api = nullptr;        // NumPy's function table, kept for the life of the process
PyObject* g_float64 = nullptr;  // the float64 descriptor, one reference kept

// Imports the multiarray module that matches the installed NumPy's major version (the old
// path warns on NumPy 2) and returns its _ARRAY_API table, or NULL with an error set.
void** fetch_table() {
    py::Ref numpy = py::Ref::checked(PyImport_ImportModule("numpy"));
    py::Ref version = py::Ref::checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    py::Ref lib = py::Ref::checked(PyImport_ImportModule("numpy.lib"));
    py::Ref parser = py::Ref::checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    py::Ref parsed = py::Ref::checked(PyObject_CallFunctionObjArgs(parser.get(), version.get(), nullptr));
    py::Ref major_obj = py::Ref::checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) throw py::ErrorAlreadySet{};
    const char* path = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    py::Ref multiarray = py::Ref::checked(PyImport_ImportModule(path));
    py::Ref capsule = py::Ref::checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) throw py::ErrorAlreadySet{};
    return static_cast<void**>(table);
}

void** api() {
    if (g_api != nullptr) return g_api;
    try {
        void** table = fetch_table();
        auto from_type = reinterpret_cast<DescrFromType>(table[SLOT_DESCR_FROM_TYPE]);
        PyObject* f64 = py::check(from_type(NPY_DOUBLE));
        g_float64 = f64;
        g_api = table;
    } catch (const py::ErrorAlreadySet&) {
        std::string detail;
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        if (value != nullptr) {
            if (PyObject* text = PyObject_Str(value)) {
                Py_ssize_t len = 0;
                if (const char* s = PyUnicode_AsUTF8AndSize(text, &len)) detail.assign(s, len);
                Py_DECREF(text);
            }
        }
        PyErr_Clear();
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        throw Panic("Failed to access NumPy array API capsule: " + detail);
    }
    return g_api;
}

}  // namespace

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api()[SLOT_ARRAY_TYPE]); }

bool is_float64(PyObject* descr) {
    auto equiv = reinterpret_cast<EquivTypes>(api()[SLOT_EQUIV_TYPES]);
    return descr == g_float64 || equiv(descr, g_float64) != 0;
}

py::Ref new_vector(std::span<const double> values) {
    auto make = reinterpret_cast<NewArray>(api()[SLOT_NEW]);
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    py::Ref arr = py::Ref::checked(make(array_type(), 1, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
    if (!values.empty()) {
        auto* fields = reinterpret_cast<ArrayFields*>(arr.get());
        std::memcpy(fields->data, values.data(), values.size() * sizeof(double));
    }
    return arr;
}

}  // namespace korvanta::npy
