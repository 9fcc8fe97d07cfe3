// The module's own function type and its argument binding.
//
// Every exported function and every method of the tag classes is an object
// of this type.  It behaves as a Python function does where callers can
// tell: the usual dunder attributes, binding as a method through
// `__get__`, vectorcall, and `inspect.signature()`.  Arguments are bound and
// type-tested here, before a body runs, with the interpreter's own error
// texts; bodies receive every parameter filled, in parameter order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.h"

namespace tolvek {

// The argument tests a parameter can carry.
enum class ArgKind : unsigned char {
    any,         // no test
    exact_str,   // type is exactly str
    exact_list,  // type is exactly list
    dict,        // dict or any subclass
    list,        // list or any subclass
};

struct Param {
    const char* name;
    const char* annotation;  // nullptr: none
    ArgKind kind;
};

// A body sees the module namespace it was created in (for late binding of
// everything it calls) and exactly `nparams` arguments.
using Body = PyObject* (*)(PyObject* globals, PyObject* const* args);

constexpr int max_params = 3;

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no doc string
    const Param* params;
    int nparams;
    int nrequired;                  // the optional tail defaults to True
    const char* return_annotation;  // nullptr: none
    Body body;
};

// Creates the function type; once per process.  -1 with an exception set.
int function_type_init() noexcept;

// A new function object for `spec`, resolving globals in `globals`.
Ref function_new(const FunctionSpec& spec, PyObject* globals) noexcept;

// `globals[name]`, then the builtins, else NameError, as a Python function
// resolves a global name.  Returns an empty Ref with an exception set.
Ref global_lookup(PyObject* globals, PyObject* name) noexcept;

// Calls the module attribute `name` with positional arguments.  When the
// attribute still is one of the module's own functions, its body runs
// directly after the arity and type tests, skipping the generic call.
Ref call_global(PyObject* globals, PyObject* name, PyObject* const* args,
                Py_ssize_t nargs) noexcept;

// Calls `callee` with positional arguments, with the same fast path for
// the module's own functions; the caller holds `callee`.
Ref call_function(PyObject* callee, PyObject* const* args, Py_ssize_t nargs) noexcept;

// The static description of one of the module's own function objects,
// else nullptr.
const FunctionSpec* function_spec(PyObject* obj) noexcept;

// The "Expected %s, got %.200s" test that functions declared to return
// `str` apply to their result; steals `result`.
Ref check_str_result(Ref result) noexcept;

}  // namespace tolvek
