#include "module/args.hpp"

#include <string>
#include <string_view>

#include "common/messages.hpp"
#include "module/numpy_api.hpp"

namespace korvanta::args {
namespace {

using py::ErrorAlreadySet;
using py::Ref;
using signatures::info;

std::string utf8(PyObject* str) {
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &len);
    if (s == nullptr) throw ErrorAlreadySet{};
    return std::string(s, static_cast<std::size_t>(len));
}

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    py::raise(PyExc_TypeError, messages::cannot_convert(py::type_qualname(obj), target));
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
    const std::string msg = messages::for_argument(name, utf8(text.get()));
    Ref message = Ref::checked(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    Ref error = Ref::checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(error.get(), cause);
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw ErrorAlreadySet{};
}

// Runs one converter; a Python error it raises goes through prefix_type_error.
template <class F>
auto convert(Param p, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const ErrorAlreadySet&) {
        prefix_type_error(info(p).name);
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

// --- Converters: each takes the slot's object (NULL when not passed: the default applies) --

ArrayArg array(PyObject* obj, Param p) {
    return convert(p, [&] {
        if (!npy::is_float64_vector(obj)) cannot_convert(obj, messages::TARGET_ARRAY);
        return ArrayArg{obj, p};
    });
}

std::optional<ArrayArg> optional_array(PyObject* obj, Param p) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return array(obj, p);
}

template <std::size_t N>
void tuple_of_counts(PyObject* obj, Param p, std::uint64_t (&out)[N]) {
    convert(p, [&] {
        if (!PyTuple_Check(obj)) cannot_convert(obj, messages::TARGET_TUPLE);
        const Py_ssize_t len = PyTuple_Size(obj);
        if (len != static_cast<Py_ssize_t>(N)) py::raise(PyExc_ValueError, messages::tuple_length(N, len));
        for (std::size_t i = 0; i < N; ++i) {
            out[i] = to_u64(py::check(PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i))));
        }
        return 0;
    });
}

std::vector<std::uint64_t> powers(PyObject* obj, Param p) {
    return convert(p, [&] {
        if (PyUnicode_Check(obj)) py::raise(PyExc_TypeError, messages::STR_AS_POWERS);
        if (!PySequence_Check(obj)) cannot_convert(obj, messages::TARGET_SEQUENCE);
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

std::uint64_t count(PyObject* obj, Param p) {
    if (obj == nullptr) return static_cast<std::uint64_t>(info(p).default_value);
    return convert(p, [&] { return to_u64(obj); });
}

// A NumPy boolean scalar: its type is named "bool_" or "bool" and lives in module "numpy".
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref type_name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    PyErr_Clear();
    if (!type_name || !module || !PyUnicode_Check(type_name.get()) || !PyUnicode_Check(module.get())) return false;
    return (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

bool flag(PyObject* obj, Param p) {
    if (obj == nullptr) return info(p).default_value != 0.0;
    return convert(p, [&]() -> bool {
        if (PyBool_Check(obj)) return obj == Py_True;
        if (!is_numpy_bool(obj)) cannot_convert(obj, messages::TARGET_BOOL);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
            PyErr_Clear();
            Ref printed = Ref::checked(PyObject_Str(type));
            py::raise(PyExc_TypeError, messages::no_bool_conversion(utf8(printed.get())));
        }
        Ref result = Ref::checked(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
        if (!PyBool_Check(result.get())) cannot_convert(result.get(), messages::TARGET_BOOL);
        return result.get() == Py_True;
    });
}

double real(PyObject* obj, Param p) {
    if (obj == nullptr) return info(p).default_value;
    return convert(p, [&] {
        const double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return v;
    });
}

std::optional<double> optional_real(PyObject* obj, Param p) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return real(obj, p);
}

// Converts one slot into its field of `a`.
void convert_slot(Param p, PyObject* obj, Arguments& a) {
    switch (p) {
    case Param::y: a.y = array(obj, p); break;
    case Param::params:
    case Param::u:
    case Param::p: a.vector = array(obj, p); break;
    case Param::order: tuple_of_counts(obj, p, a.order); break;
    case Param::seasonal_order: tuple_of_counts(obj, p, a.seasonal_order); break;
    case Param::trend_powers: a.trend_powers = powers(obj, p); break;
    case Param::horizon: a.horizon = count(obj, p); break;
    case Param::exog: a.exog = optional_array(obj, p); break;
    case Param::exog_future: a.exog_future = optional_array(obj, p); break;
    case Param::k_exog: a.k_exog = count(obj, p); break;
    case Param::enforce_stationarity: a.enforce_stationarity = flag(obj, p); break;
    case Param::enforce_invertibility: a.enforce_invertibility = flag(obj, p); break;
    case Param::concentrate_scale: a.concentrate_scale = flag(obj, p); break;
    case Param::trend_offset: a.trend_offset = real(obj, p); break;
    case Param::diffuse_variance: a.diffuse_variance = real(obj, p); break;
    case Param::tolerance: a.tolerance = real(obj, p); break;
    case Param::parallel: a.parallel = flag(obj, p); break;
    case Param::epsilon: a.epsilon = optional_real(obj, p); break;
    }
}

using Slots = std::array<PyObject*, signatures::MAX_ARITY>;

// The slot of keyword `key`, compared as the str object itself: a keyword may hold NUL
// characters or lone surrogates, which a C string could not carry.
std::size_t keyword_slot(const Function& f, PyObject* key) {
    for (std::size_t s = 0; s < f.params.size(); ++s) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, info(f.params[s]).name) == 0) return s;
    }
    PyErr_Format(PyExc_TypeError, messages::UNEXPECTED_KEYWORD, f.name, key);
    throw ErrorAlreadySet{};
}

Slots bind(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Slots slots{};
    const std::size_t total = f.params.size();
    if (nargs > static_cast<Py_ssize_t>(total)) {
        py::raise(PyExc_TypeError,
                  messages::too_many_positional(f.name, f.n_required(), total, static_cast<std::size_t>(nargs)));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const std::size_t s = keyword_slot(f, py::check(PyTuple_GetItem(kwnames, k)));
        if (slots[s] != nullptr) py::raise(PyExc_TypeError, messages::multiple_values(f.name, info(f.params[s]).name));
        slots[s] = args[nargs + k];
    }
    std::vector<std::string_view> missing;
    for (std::size_t s = 0; s < f.n_required(); ++s) {
        if (slots[s] == nullptr) missing.push_back(info(f.params[s]).name);
    }
    if (!missing.empty()) py::raise(PyExc_TypeError, messages::missing_required(f.name, missing));
    return slots;
}

}  // namespace

Arguments parse(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Slots slots = bind(f, args, nargs, kwnames);
    Arguments a;
    for (std::size_t s = 0; s < f.params.size(); ++s) convert_slot(f.params[s], slots[s], a);
    return a;
}

}  // namespace korvanta::args
