#include "module/args.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "common/errors.hpp"
#include "module/numpy_api.hpp"

namespace korvanta::args {
namespace {

using py::ErrorAlreadySet;
using py::Ref;

std::string utf8(PyObject* str) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (s == nullptr) throw ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(len));
}

std::string type_qualname(PyObject* obj) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    if (name == nullptr || !PyUnicode_Check(name)) {
        Py_XDECREF(name);
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Ref owned = Ref::steal(name);
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name, &len);
    if (s == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(s, static_cast<std::size_t>(len));
}

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    const std::string msg = "'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'";
    py::raise(PyExc_TypeError, msg);
}

// Reports a converter failure for parameter `name`: an exception of exactly TypeError is
// replaced by "argument '<name>': <message>", keeping its __cause__; others pass unchanged.
[[noreturn]] void prefix_type_error(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), tb_ref = Ref::steal(tb);
    if (type != PyExc_TypeError || value == nullptr) {
        PyErr_Restore(type_ref.release(), value_ref.release(), tb_ref.release());
        throw ErrorAlreadySet{};
    }
    Ref text = Ref::checked(PyObject_Str(value));
    const std::string msg = std::string("argument '") + name + "': " + utf8(text.get());
    Ref message = Ref::checked(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    Ref error = Ref::checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(error.get(), cause);
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw ErrorAlreadySet{};
}

// Runs one converter; a Python error it raises goes through prefix_type_error.
template <class F>
auto convert(const char* name, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const ErrorAlreadySet&) {
        prefix_type_error(name);
    }
}

std::uint64_t to_u64(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref::checked(PyNumber_Index(obj));
        obj = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
    return static_cast<std::uint64_t>(v);
}

template <std::size_t N>
void tuple_of_counts(PyObject* obj, const char* name, std::uint64_t (&out)[N]) {
    convert(name, [&] {
        if (!PyTuple_Check(obj)) cannot_convert(obj, "PyTuple");
        const Py_ssize_t len = PyTuple_Size(obj);
        if (len != static_cast<Py_ssize_t>(N)) {
            const std::string msg = "expected tuple of length " + std::to_string(N) +
                                    ", but got tuple of length " + std::to_string(len);
            py::raise(PyExc_ValueError, msg);
        }
        for (std::size_t i = 0; i < N; ++i) {
            out[i] = to_u64(py::check(PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i))));
        }
        return 0;
    });
}

std::string to_decimal(unsigned __int128 v) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return digits;
}

}  // namespace

Bound bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound bound;
    const std::size_t total = sig.params.size();
    if (nargs > static_cast<Py_ssize_t>(total)) {
        const std::string msg = std::string(sig.name) + "() takes from " + std::to_string(sig.n_required) +
                                " to " + std::to_string(total) + " positional arguments but " +
                                std::to_string(nargs) + " were given";
        py::raise(PyExc_TypeError, msg);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = py::check(PyTuple_GetItem(kwnames, k));
            // Compared and reported as the str object itself: a keyword may hold NUL
            // characters or lone surrogates, which a C string could not carry.
            std::size_t slot = total;
            for (std::size_t p = 0; p < total; ++p) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[p]) == 0) {
                    slot = p;
                    break;
                }
            }
            if (slot == total) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
                throw py::ErrorAlreadySet{};
            }
            if (bound.slots[slot] != nullptr) {
                const std::string msg = std::string(sig.name) + "() got multiple values for argument '" + sig.params[slot] + "'";
                py::raise(PyExc_TypeError, msg);
            }
            bound.slots[slot] = args[nargs + k];
        }
    }
    std::vector<const char*> missing;
    for (std::size_t p = 0; p < sig.n_required; ++p) {
        if (bound.slots[p] == nullptr) missing.push_back(sig.params[p]);
    }
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) list += (missing.size() == 2) ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            list += std::string("'") + missing[i] + "'";
        }
        const std::string msg = std::string(sig.name) + "() missing " + std::to_string(missing.size()) +
                                " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + list;
        py::raise(PyExc_TypeError, msg);
    }
    return bound;
}

Vector vector(PyObject* obj, const char* name) {
    return convert(name, [&] {
        PyTypeObject* array_type = npy::array_type();
        if (!PyObject_TypeCheck(obj, array_type)) cannot_convert(obj, "PyArray<T, D>");
        auto* fields = reinterpret_cast<npy::ArrayFields*>(obj);
        if (fields->nd != 1 || !npy::is_float64(fields->descr)) cannot_convert(obj, "PyArray<T, D>");
        Vector v;
        v.obj = obj;
        v.size = static_cast<std::size_t>(fields->dimensions[0]);
        v.contiguous = (fields->flags & (npy::C_CONTIGUOUS | npy::F_CONTIGUOUS)) != 0 && fields->data != nullptr;
        if (v.contiguous) {
            if (reinterpret_cast<std::uintptr_t>(fields->data) % alignof(double) == 0) {
                v.data = reinterpret_cast<const double*>(fields->data);
            } else {
                // Misaligned buffer (e.g. frombuffer with an odd offset): read it bytewise.
                v.aligned.resize(v.size);
                if (v.size > 0) std::memcpy(v.aligned.data(), fields->data, v.size * sizeof(double));
                v.data = v.aligned.data();
            }
        }
        return v;
    });
}

std::optional<Vector> optional_vector(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return vector(obj, name);
}

void order(PyObject* obj, const char* name, std::uint64_t (&out)[3]) { tuple_of_counts(obj, name, out); }

void seasonal_order(PyObject* obj, const char* name, std::uint64_t (&out)[4]) {
    tuple_of_counts(obj, name, out);
}

std::vector<std::uint64_t> powers(PyObject* obj, const char* name) {
    return convert(name, [&] {
        if (PyUnicode_Check(obj)) py::raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
        if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
        std::vector<std::uint64_t> out;
        // The reported length only sizes a bounded reservation; an error from asking is ignored.
        const Py_ssize_t hint = PySequence_Size(obj);
        if (hint < 0) {
            PyErr_Clear();
        } else {
            out.reserve(static_cast<std::size_t>(hint < 1024 ? hint : 1024));
        }
        Ref iter = Ref::checked(PyObject_GetIter(obj));
        while (PyObject* item = PyIter_Next(iter.get())) {
            Ref owned = Ref::steal(item);
            out.push_back(to_u64(item));
        }
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        return out;
    });
}

std::uint64_t count(PyObject* obj, const char* name, std::uint64_t fallback) {
    if (obj == nullptr) return fallback;
    return convert(name, [&] { return to_u64(obj); });
}

bool flag(PyObject* obj, const char* name, bool fallback) {
    if (obj == nullptr) return fallback;
    return convert(name, [&]() -> bool {
        if (PyBool_Check(obj)) return obj == Py_True;
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        bool numpy_bool = false;
        {
            Ref type_name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
            Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
            PyErr_Clear();
            if (type_name && module && PyUnicode_Check(type_name.get()) && PyUnicode_Check(module.get())) {
                numpy_bool = (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
                              PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0) &&
                             PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
            }
        }
        if (!numpy_bool) cannot_convert(obj, "PyBool");
        Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
            PyErr_Clear();
            Ref printed = Ref::checked(PyObject_Str(type));
            const std::string msg = "object of type '" + utf8(printed.get()) + "' does not define a '__bool__' conversion";
            py::raise(PyExc_TypeError, msg);
        }
        Ref result = Ref::checked(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
        if (!PyBool_Check(result.get())) cannot_convert(result.get(), "PyBool");
        return result.get() == Py_True;
    });
}

double real(PyObject* obj, const char* name, double fallback) {
    if (obj == nullptr) return fallback;
    return convert(name, [&] {
        const double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return v;
    });
}

std::optional<double> optional_real(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return real(obj, name, 0.0);
}

void require_contiguous(const Vector& v) {
    if (!v.contiguous) py::raise(PyExc_TypeError, "The given array is not contiguous");
}

void check_params(const Spec& spec, std::size_t length, const char* name) {
    const std::uint64_t n = spec.n_params();
    if (length != n) {
        const std::string msg = std::string(name) + " has " + std::to_string(length) +
                                " elements, but this specification has " + std::to_string(n) + " parameters";
        throw ValueError(msg);
    }
}

std::optional<std::span<const double>> exog_slice(const std::optional<Vector>& array,
                                                  std::uint64_t k_exog, std::uint64_t n,
                                                  const char* name) {
    if (!array) return std::nullopt;
    if (!array->contiguous) throw ValueError(std::string(name) + " must be a contiguous float64 array");
    const std::uint64_t m = array->size;
    // Formed in 128 bits: an overflowing product cannot match any real array and is reported
    // as the usual mismatch, with its true value.
    const unsigned __int128 e = static_cast<unsigned __int128>(k_exog) * n;
    if (static_cast<unsigned __int128>(m) != e) {
        throw ValueError(std::string(name) + " has " + std::to_string(m) +
                         " entries, expected k_exog * n = " + to_decimal(e));
    }
    return array->span();
}

}  // namespace korvanta::args
