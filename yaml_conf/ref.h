// Ownership of Python references.
//
// `Ref` owns exactly one strong reference (or none).  Taking ownership is
// always spelled out at the call site: `Ref::steal(p)` for a new reference
// returned by the C API, `Ref::borrow(p)` for a borrowed one that must stay
// alive across a call into Python code.  `release()` hands the reference
// back to the interpreter, typically as the result of an entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tolvek {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ~Ref() { Py_XDECREF(ptr_); }

    // The new pointer is stored before the old one is released (by
    // `other`, on its way out): a decref can run arbitrary code, which must
    // never see a dangling member.
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    [[nodiscard]] static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    [[nodiscard]] static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace tolvek
