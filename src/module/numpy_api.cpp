#include "module/numpy_api.hpp"

#include <cstddef>
#include <cstring>
#include <string>

#include "common/errors.hpp"
#include "common/messages.hpp"

namespace korvanta::npy {
namespace {

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
static_assert(offsetof(ArrayFields, data) == sizeof(PyObject));
static_assert(offsetof(ArrayFields, nd) == sizeof(PyObject) + sizeof(char*));

constexpr int NPY_DOUBLE = 12;
constexpr int C_CONTIGUOUS = 0x0001;
constexpr int F_CONTIGUOUS = 0x0002;

// Table slots, stable across NumPy 1.x and 2.x.
constexpr int SLOT_ARRAY_TYPE = 2;
constexpr int SLOT_DESCR_FROM_TYPE = 45;
constexpr int SLOT_NEW = 93;
constexpr int SLOT_EQUIV_TYPES = 182;

using DescrFromType = PyObject* (*)(int);
using NewArray = PyObject* (*)(PyTypeObject*, int, const Py_ssize_t*, int, const Py_ssize_t*, void*, int, int,
                               PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

void** g_api = nullptr;         // NumPy's function table, kept for the life of the process
PyObject* g_float64 = nullptr;  // the float64 descriptor, one reference kept

const ArrayFields* fields(PyObject* obj) { return reinterpret_cast<const ArrayFields*>(obj); }

// Imports the multiarray module that matches the installed NumPy's major version (the old
// path warns on NumPy 2) and returns its _ARRAY_API table.
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

// The mirrored fields of a fresh 3-element array against what NumPy reports of it in Python.
void check_layout(void** table, PyObject* f64) {
    auto make = reinterpret_cast<NewArray>(table[SLOT_NEW]);
    const Py_ssize_t dims[1] = {3};
    py::Ref arr = py::Ref::checked(
        make(static_cast<PyTypeObject*>(table[SLOT_ARRAY_TYPE]), 1, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
    py::Ref interface = py::Ref::checked(PyObject_GetAttrString(arr.get(), "__array_interface__"));
    PyObject* data = PyDict_Check(interface.get()) ? PyDict_GetItemString(interface.get(), "data") : nullptr;
    PyObject* address = data != nullptr && PyTuple_Check(data) ? PyTuple_GetItem(data, 0) : nullptr;
    const void* reported = address != nullptr ? PyLong_AsVoidPtr(address) : nullptr;
    PyErr_Clear();
    const ArrayFields* f = fields(arr.get());
    const bool ok = f->nd == 1 && f->dimensions[0] == 3 && f->strides[0] == 8 && f->descr == f64 &&
                    (f->flags & C_CONTIGUOUS) != 0 && f->data != nullptr && f->data == reported;
    if (!ok) throw Panic(messages::numpy_layout("a new float64 array of 3 elements reads differently"));
}

void** api() {
    if (g_api != nullptr) return g_api;
    void** table = nullptr;
    PyObject* f64 = nullptr;
    try {
        table = fetch_table();
        f64 = py::check(reinterpret_cast<DescrFromType>(table[SLOT_DESCR_FROM_TYPE])(NPY_DOUBLE));
    } catch (const py::ErrorAlreadySet&) {
        std::string detail;
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        py::Ref type_ref = py::Ref::steal(type), value_ref = py::Ref::steal(value), tb_ref = py::Ref::steal(tb);
        if (value != nullptr) {
            if (py::Ref text = py::Ref::steal(PyObject_Str(value))) {
                Py_ssize_t len = 0;
                if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &len))
                    detail.assign(s, static_cast<std::size_t>(len));
            }
        }
        PyErr_Clear();
        throw Panic(messages::numpy_capsule(detail));
    }
    py::Ref f64_ref = py::Ref::steal(f64);
    check_layout(table, f64);
    g_float64 = f64_ref.release();
    g_api = table;
    return g_api;
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api()[SLOT_ARRAY_TYPE]); }

bool is_float64(PyObject* descr) {
    auto equiv = reinterpret_cast<EquivTypes>(api()[SLOT_EQUIV_TYPES]);
    return descr == g_float64 || equiv(descr, g_float64) != 0;
}

}  // namespace

bool is_float64_vector(PyObject* obj) {
    return PyObject_TypeCheck(obj, array_type()) && fields(obj)->nd == 1 && is_float64(fields(obj)->descr);
}

std::optional<Data> float64_vector_data(PyObject* obj) {
    if (!is_float64_vector(obj)) return std::nullopt;
    const ArrayFields* f = fields(obj);
    return Data{f->data, static_cast<std::size_t>(f->dimensions[0]), (f->flags & (C_CONTIGUOUS | F_CONTIGUOUS)) != 0};
}

py::Ref new_vector(std::span<const double> values) {
    auto make = reinterpret_cast<NewArray>(api()[SLOT_NEW]);
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    py::Ref arr = py::Ref::checked(make(array_type(), 1, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
    if (!values.empty()) std::memcpy(fields(arr.get())->data, values.data(), values.size() * sizeof(double));
    return arr;
}

}  // namespace korvanta::npy
