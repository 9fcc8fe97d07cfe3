// Small wrappers over the generic object protocol, returning owned Refs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.h"

namespace tolvek {

inline Ref get_attr(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline Ref call0(PyObject* callable) noexcept {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

inline Ref call1(PyObject* callable, PyObject* arg) noexcept {
    return Ref::steal(PyObject_CallOneArg(callable, arg));
}

// `a, b, ... = item` for `N` targets, with the interpreter's own errors.
template <Py_ssize_t N>
bool unpack(PyObject* item, Ref (&out)[N]) noexcept {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == N) {
        for (Py_ssize_t i = 0; i < N; ++i) {
            out[i] = Ref::borrow(PyTuple_GET_ITEM(item, i));
        }
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(item));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < N; ++i) {
        out[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %zd, got %zd)", N, i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", N);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace tolvek
