// A small owning reference to a Python object, and the C++ signal that a Python error is set.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "common/messages.hpp"

namespace korvanta::py {

/// Thrown after a Python exception has been set; the entry routine returns NULL for it.
struct ErrorAlreadySet {};

/// Sets `type` with `message` (which may hold NUL characters) and throws ErrorAlreadySet.
[[noreturn]] inline void raise(PyObject* type, std::string_view message) {
    if (PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw ErrorAlreadySet{};
}

/// Throws ErrorAlreadySet when `obj` is NULL (a failed C-API call); returns it otherwise.
inline PyObject* check(PyObject* obj) {
    if (obj == nullptr) throw ErrorAlreadySet{};
    return obj;
}

/// An owned reference: released on destruction; a move leaves the source empty.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* obj) { return Ref(obj); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    /// Steals a new reference returned by a C-API call, throwing if it is NULL.
    static Ref checked(PyObject* obj) { return Ref(check(obj)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    /// Gives up ownership without releasing.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

/// The __qualname__ of `obj`'s type, or a placeholder when it cannot be read (clears the error).
inline std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    Py_ssize_t len = 0;
    const char* s = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &len) : nullptr;
    if (s == nullptr) {
        PyErr_Clear();
        return messages::UNKNOWN_TYPE_NAME;
    }
    return std::string(s, static_cast<std::size_t>(len));
}

}  // namespace korvanta::py
