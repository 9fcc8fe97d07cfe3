// The function type shared by every exported callable.
//
// Binding follows one fixed order, the order the callers' error messages
// depend on: surplus positionals, missing positionals without keywords,
// missing required parameters in parameter order, then each keyword in the
// order given (duplicate or unknown), then the type tests in parameter
// order.  The messages are built in small cold helpers with the exact
// formats, so the hot path stays a few comparisons long.
#include "function.h"

#include <structmember.h>

#include "names.h"

namespace tolvek {

namespace {

struct FunctionObject {
    PyObject ob_base;
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* globals;
    PyObject* param_names;  // tuple of interned str, parameter order
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;  // tuple or None
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* obj) noexcept {
    return reinterpret_cast<FunctionObject*>(obj);
}

bool is_function(PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, function_type);
}

// ---- error messages -------------------------------------------------------

[[gnu::cold, gnu::noinline]] void raise_arity(const FunctionSpec& spec, bool too_many,
                                              Py_ssize_t given) {
    const bool all_required = spec.nrequired == spec.nparams;
    const char* word = all_required ? "exactly" : (too_many ? "at most" : "at least");
    const Py_ssize_t expected = (too_many && !all_required) ? spec.nparams : spec.nrequired;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, word, expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void raise_duplicate_keyword(const FunctionSpec& spec,
                                                          PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                 keyword);
}

[[gnu::cold, gnu::noinline]] void raise_unexpected_keyword(const FunctionSpec& spec,
                                                           PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                 keyword);
}

[[gnu::cold, gnu::noinline]] void raise_arg_type(const Param& param, const char* expected,
                                                 PyObject* got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 expected, Py_TYPE(got)->tp_name);
}

// ---- binding ----------------------------------------------------------------

bool check_arg_types(const FunctionSpec& spec, PyObject* const* args) noexcept {
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& param = spec.params[i];
        PyObject* arg = args[i];
        switch (param.kind) {
            case ArgKind::any:
                break;
            case ArgKind::exact_str:
                if (!PyUnicode_CheckExact(arg)) {
                    raise_arg_type(param, "str", arg);
                    return false;
                }
                break;
            case ArgKind::exact_list:
                if (!PyList_CheckExact(arg)) {
                    raise_arg_type(param, "list", arg);
                    return false;
                }
                break;
            case ArgKind::dict:
                if (!PyDict_Check(arg)) {
                    raise_arg_type(param, "dict", arg);
                    return false;
                }
                break;
            case ArgKind::list:
                if (!PyList_Check(arg)) {
                    raise_arg_type(param, "list", arg);
                    return false;
                }
                break;
        }
    }
    return true;
}

// Keyword names are compared by identity first: the interpreter interns
// the names written in calls, and ours are interned too.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) {
            return k;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0) {
            return k;
        }
    }
    return -1;
}

Py_ssize_t find_param(PyObject* param_names, PyObject* keyword) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(param_names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(param_names, i) == keyword) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(param_names, i), keyword) == 0) {
            return i;
        }
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();  // a non-str keyword simply names no parameter
    }
    return -1;
}

// Fills `bound`, which comes zeroed, with borrowed references, one per
// parameter.
bool bind_arguments(const FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) noexcept {
    const FunctionSpec& spec = *fn->spec;
    if (nargs > spec.nparams) {
        raise_arity(spec, true, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < spec.nrequired) {
            raise_arity(spec, false, nargs);
            return false;
        }
    } else {
        for (Py_ssize_t i = nargs; i < spec.nparams; ++i) {
            const Py_ssize_t k = find_keyword(kwnames, PyTuple_GET_ITEM(fn->param_names, i));
            if (k >= 0) {
                bound[i] = args[nargs + k];
            } else if (i < spec.nrequired) {
                raise_arity(spec, false, i);
                return false;
            }
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = find_param(fn->param_names, keyword);
            if (i < 0) {
                raise_unexpected_keyword(spec, keyword);
                return false;
            }
            if (i < nargs) {
                raise_duplicate_keyword(spec, keyword);
                return false;
            }
        }
    }
    for (Py_ssize_t i = spec.nrequired; i < spec.nparams; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = PyTuple_GET_ITEM(fn->defaults, i - spec.nrequired);
        }
    }
    return check_arg_types(spec, bound);
}

// The collector may have cleared a function caught in a cycle while some
// other object still calls it (late in interpreter shutdown): report that
// instead of crashing.
PyObject* function_globals_or_raise(FunctionObject* fn) noexcept {
    if (fn->globals == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "function object has been cleared");
    }
    return fn->globals;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* fn = as_function(callable);
    PyObject* bound[max_params] = {};
    if (!bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        return nullptr;
    }
    // The arguments are the caller's borrowed references; hold them for
    // the body, which may drop the last other reference (a rebound global,
    // a mutated container).
    Ref held[max_params];
    for (int i = 0; i < fn->spec->nparams; ++i) {
        held[i] = Ref::borrow(bound[i]);
    }
    PyObject* globals = function_globals_or_raise(fn);
    if (globals == nullptr) {
        return nullptr;
    }
    return fn->spec->body(globals, bound);
}

// ---- type slots -------------------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->globals);
    Py_VISIT(fn->param_names);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->param_names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// Attributes that are strings, writable as on a Python function.
int set_str_attr(PyObject** slot, PyObject* value, const char* what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_attr(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_attr(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* fn = as_function(self);
    if (fn->annotations == nullptr) {
        fn->annotations = PyDict_New();
        if (fn->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

// inspect.signature() asks for this first; the Signature is built from
// the same parameter table the binding uses, so the two cannot disagree.
PyObject* get_signature(PyObject* self, void*) noexcept {
    FunctionObject* fn = as_function(self);
    const FunctionSpec& spec = *fn->spec;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_type || !signature_type) {
        return nullptr;
    }
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    Ref params = Ref::steal(PyList_New(0));
    if (!kind || !params) {
        return nullptr;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) {
            return nullptr;
        }
        if (spec.params[i].annotation != nullptr) {
            Ref text = Ref::steal(PyUnicode_FromString(spec.params[i].annotation));
            if (!text || PyDict_SetItemString(kwargs.get(), "annotation", text.get()) < 0) {
                return nullptr;
            }
        }
        if (i >= spec.nrequired &&
            PyDict_SetItemString(kwargs.get(), "default",
                                 PyTuple_GET_ITEM(fn->defaults, i - spec.nrequired)) < 0) {
            return nullptr;
        }
        Ref args = Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(fn->param_names, i), kind.get()));
        if (!args) {
            return nullptr;
        }
        Ref param = Ref::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs) {
        return nullptr;
    }
    if (spec.return_annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        if (!text || PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()) < 0) {
            return nullptr;
        }
    }
    return PyObject_Call(signature_type.get(), args.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "tolvek_yaml.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Ref annotations_new(const FunctionSpec& spec) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (int i = 0; i < spec.nparams; ++i) {
        if (spec.params[i].annotation == nullptr) {
            continue;
        }
        Ref text = Ref::steal(PyUnicode_FromString(spec.params[i].annotation));
        if (!text || PyDict_SetItemString(annotations.get(), spec.params[i].name, text.get()) < 0) {
            return {};
        }
    }
    if (spec.return_annotation != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(spec.return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

}  // namespace

int function_type_init() noexcept {
    if (function_type != nullptr) {
        return 0;
    }
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    return function_type != nullptr ? 0 : -1;
}

Ref function_new(const FunctionSpec& spec, PyObject* globals) noexcept {
    Ref param_names = Ref::steal(PyTuple_New(spec.nparams));
    if (!param_names) {
        return {};
    }
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.params[i].name);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(param_names.get(), i, name);
    }
    Ref defaults;
    if (spec.nrequired < spec.nparams) {
        defaults = Ref::steal(PyTuple_New(spec.nparams - spec.nrequired));
        if (!defaults) {
            return {};
        }
        for (int i = 0; i < spec.nparams - spec.nrequired; ++i) {
            PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_True));
        }
    } else {
        defaults = Ref::borrow(Py_None);
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref module = Ref::steal(PyUnicode_FromString("tolvek_yaml"));
    Ref doc =
        spec.doc != nullptr ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    Ref annotations = annotations_new(spec);
    if (!name || !qualname || !module || !doc || !annotations) {
        return {};
    }
    auto* fn = PyObject_GC_New(FunctionObject, function_type);
    if (fn == nullptr) {
        return {};
    }
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->globals = Py_NewRef(globals);
    fn->param_names = param_names.release();
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = module.release();
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    fn->defaults = defaults.release();
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

Ref global_lookup(PyObject* globals, PyObject* name) noexcept {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found != nullptr) {
        return Ref::borrow(found);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (found != nullptr) {
        return Ref::borrow(found);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return {};
}

const FunctionSpec* function_spec(PyObject* obj) noexcept {
    return is_function(obj) ? as_function(obj)->spec : nullptr;
}

Ref call_global(PyObject* globals, PyObject* name, PyObject* const* args,
                Py_ssize_t nargs) noexcept {
    Ref callee = global_lookup(globals, name);
    return callee ? call_function(callee.get(), args, nargs) : Ref();
}

Ref call_function(PyObject* callee, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (is_function(callee)) {
        FunctionObject* fn = as_function(callee);
        const FunctionSpec& spec = *fn->spec;
        if (nargs >= spec.nrequired && nargs <= spec.nparams) {
            PyObject* full[max_params] = {};
            for (Py_ssize_t i = 0; i < spec.nparams; ++i) {
                full[i] = i < nargs ? args[i] : PyTuple_GET_ITEM(fn->defaults, i - spec.nrequired);
            }
            if (!check_arg_types(spec, full)) {
                return {};
            }
            PyObject* fn_globals = function_globals_or_raise(fn);
            if (fn_globals == nullptr) {
                return {};
            }
            return Ref::steal(spec.body(fn_globals, full));
        }
    }
    return Ref::steal(PyObject_Vectorcall(callee, args, nargs, nullptr));
}

Ref check_str_result(Ref result) noexcept {
    if (result && !PyUnicode_CheckExact(result.get()) && result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                     Py_TYPE(result.get())->tp_name);
        return {};
    }
    return result;
}

}  // namespace tolvek
