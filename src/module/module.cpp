// Module definition, function table and single-phase initialisation of `_korvanta_rs`.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/messages.hpp"
#include "module/functions.hpp"
#include "module/py.hpp"
#include "module/signatures.hpp"

#ifndef KORVANTA_VERSION
#error "KORVANTA_VERSION must be defined by the build (the version in pyproject.toml)"
#endif

namespace korvanta {
namespace {

using py::Ref;

constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;  // 0x82
static_assert(FASTCALL_KEYWORDS == 0x82);

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The entry routine of each function, in the order of signatures::FUNCTIONS.
constexpr Entry ENTRIES[] = {
    functions::loglike,   functions::loglike_u,          functions::loglike_grad,     functions::filter_paths,
    functions::forecast,  functions::loglikeobs,         functions::transform_params, functions::untransform_params,
    functions::spec_dims, functions::concentrated_scale,
};
static_assert(std::size(ENTRIES) == std::size(signatures::FUNCTIONS));

// The method definitions and their docstrings, built once and kept for the process: the
// function objects refer to them.
PyMethodDef* method_table() {
    static std::vector<std::string>* const docs = new std::vector<std::string>();
    static std::vector<PyMethodDef>* const methods = new std::vector<PyMethodDef>();
    if (methods->empty()) {
        for (const signatures::Function* f : signatures::FUNCTIONS) docs->push_back(signatures::docstring(*f));
        for (std::size_t i = 0; i < std::size(ENTRIES); ++i) {
            methods->push_back(PyMethodDef{signatures::FUNCTIONS[i]->name,
                                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ENTRIES[i])),
                                           FASTCALL_KEYWORDS, (*docs)[i].c_str()});
        }
    }
    return methods->data();
}

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
PyObject* g_module = nullptr;                 // once-only cell, kept for the process

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
            PyErr_SetString(PyExc_SystemError, messages::NO_EXCEPTION_SET);
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, messages::SUB_INTERPRETER);
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    try {
        Ref module = Ref::checked(PyModule_Create(&g_definition));
        add_attribute(module.get(), "__version__", Ref::checked(PyUnicode_FromString(KORVANTA_VERSION)));
        Ref module_name = Ref::checked(PyModule_GetNameObject(module.get()));
        PyMethodDef* methods = method_table();
        for (std::size_t i = 0; i < std::size(ENTRIES); ++i) {
            add_attribute(module.get(), methods[i].ml_name,
                          Ref::checked(PyCFunction_NewEx(&methods[i], module.get(), module_name.get())));
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

PyMODINIT_FUNC PyInit__korvanta_rs(void) { return korvanta::initialise(); }
