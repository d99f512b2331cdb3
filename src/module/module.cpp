// Module definition, function table and single-phase initialisation of `_korvanta_rs`.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module/docs.hpp"
#include "module/functions.hpp"
#include "module/py.hpp"

namespace korvanta {
namespace {

using py::Ref;

constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;  // 0x82
static_assert(FASTCALL_KEYWORDS == 0x82);

#define KORVANTA_METHOD(name) \
    PyMethodDef{#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(functions::name)), FASTCALL_KEYWORDS, docs::name}

// Registration order is the order of __all__.
PyMethodDef g_methods[] = {
    KORVANTA_METHOD(loglike),
    KORVANTA_METHOD(loglike_u),
    KORVANTA_METHOD(loglike_grad),
    KORVANTA_METHOD(filter_paths),
    KORVANTA_METHOD(forecast),
    KORVANTA_METHOD(loglikeobs),
    KORVANTA_METHOD(transform_params),
    KORVANTA_METHOD(untransform_params),
    KORVANTA_METHOD(spec_dims),
    KORVANTA_METHOD(concentrated_scale),
};
#undef KORVANTA_METHOD

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_korvanta_rs",  // m_name
    "",              // m_doc
    0,               // m_size: no per-module state
    nullptr,         // m_methods: functions are added one by one
    nullptr,         // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

std::atomic<std::int64_t> g_interpreter{-1};  // the interpreter that first initialised us
PyObject* g_module = nullptr;                  // once-only cell, kept for the process

// Adds `value` as attribute `name` and appends the name to __all__ (created on first use).
void add_attribute(PyObject* module, const char* name, Ref value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::ErrorAlreadySet{};
        PyErr_Clear();
        all = Ref::checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw py::ErrorAlreadySet{};
    }
    if (PyModule_AddObjectRef(module, name, value.get()) < 0) throw py::ErrorAlreadySet{};
    Ref key = Ref::checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), key.get()) < 0) throw py::ErrorAlreadySet{};
}

PyObject* initialise() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_korvanta_rs does not support sub-interpreters: it can be imported in one "
                        "interpreter per process only");
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    try {
        Ref module = Ref::checked(PyModule_Create(&g_definition));
        add_attribute(module.get(), "__version__", Ref::checked(PyUnicode_FromString("0.1.0")));
        Ref module_name = Ref::checked(PyModule_GetNameObject(module.get()));
        for (PyMethodDef& def : g_methods) {
            add_attribute(module.get(), def.ml_name,
                          Ref::checked(PyCFunction_NewEx(&def, module.get(), module_name.get())));
        }
        g_module = module.get();
        Py_INCREF(g_module);
        return module.release();
    } catch (...) {
        functions::translate_exception();
        return nullptr;
    }
}

}  // namespace
}  // namespace korvanta

extern "C" PyMODINIT_FUNC PyInit__korvanta_rs(void) { return korvanta::initialise(); }
