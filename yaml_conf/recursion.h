// Bounds on recursion through nested data.
//
// Each level of a merge enters the interpreter's recursion accounting, so
// deep or self-containing trees end in RecursionError at the usual limit.
// A caller may raise that limit far beyond what the C stack holds, though;
// the guard therefore also checks the room left on this thread's stack
// and fails the same way before it runs out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace tolvek {

namespace detail {

// The lowest address this thread's stack may use safely, found once per
// thread; 0 when the bounds cannot be read (then only the limit applies).
inline std::uintptr_t stack_floor() noexcept {
    thread_local std::uintptr_t floor = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) {
            return std::uintptr_t{0};
        }
        void* low = nullptr;
        std::size_t size = 0;
        const int rc = pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
        if (rc != 0 || low == nullptr) {
            return std::uintptr_t{0};
        }
        // Keep a reserve for what one level calls (comparisons, user code,
        // the error machinery): a quarter of the stack, at most 256 KiB.
        const std::size_t reserve = size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
        return reinterpret_cast<std::uintptr_t>(low) + reserve;
    }();
    return floor;
}

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 on, the interpreter's own guard bounds C recursion by a fixed
// limit of its own, whatever sys.setrecursionlimit() says; merge levels
// are counted against the limit the caller set, as on earlier versions.
inline int& merge_depth() noexcept {
    thread_local int depth = 0;
    return depth;
}
#endif

}  // namespace detail

// One level, left again on every path.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) noexcept {
        char here = 0;
        const std::uintptr_t floor = detail::stack_floor();
        if (floor != 0 && reinterpret_cast<std::uintptr_t>(&here) < floor) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        if (detail::merge_depth() >= Py_GetRecursionLimit()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
#endif
        entered_ = Py_EnterRecursiveCall(where) == 0;
#if PY_VERSION_HEX >= 0x030C0000
        if (entered_) {
            ++detail::merge_depth();
        }
#endif
    }
    ~RecursionGuard() {
        if (entered_) {
#if PY_VERSION_HEX >= 0x030C0000
            --detail::merge_depth();
#endif
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    [[nodiscard]] bool ok() const noexcept {
        return entered_;
    }

  private:
    bool entered_ = false;
};

}  // namespace tolvek
