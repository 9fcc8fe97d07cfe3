// Module frame and loading: start-up of tolvek_yaml and load_yaml_files.
//
// Start-up runs once per process.  The create step hands back the module
// that a successful start-up filled, and the exec step returns at once on
// it, so a re-import or a reload adds no second log sink.  A start-up that
// fails leaves nothing behind here: the import system drops the half-filled
// module and the next import starts again from the top.
//
// The loader looks every collaborator up in the module namespace at each
// use, so rebinding `os`, `yaml`, `logger` or `merge_dict` on the module
// takes effect at once; only the built-in `open` is captured at start-up.
#include <sys/stat.h>

#include <cstring>

#include "function.h"
#include "names.h"
#include "protocol.h"
#include "ref.h"
#include "subsystems.h"

namespace tolvek {

namespace {
PyObject* load_yaml_files(PyObject* globals, PyObject* const* args) noexcept;
const Param load_yaml_files_params[] = {
    {"paths", "List[str]", ArgKind::exact_list},
};
}  // namespace

const FunctionSpec load_yaml_files_spec = {
    "load_yaml_files",
    "load_yaml_files",
    "Load all yaml files from a provided directory.",
    load_yaml_files_params,
    1,
    1,
    "Dict[str, Any]",
    load_yaml_files,
};

namespace {

PyObject* started_module = nullptr;  // strong, for the life of the process
int64_t owner_interpreter = -1;      // id of the only interpreter allowed
PyObject* captured_open = nullptr;   // strong, the built-in open

// ---- small helpers ------------------------------------------------------------

// `getattr(global, attr)` for a module-namespace global.
Ref global_attr(PyObject* globals, PyObject* global, PyObject* attr) noexcept {
    Ref obj = global_lookup(globals, global);
    return obj ? get_attr(obj.get(), attr) : Ref();
}

// `os.path.<attr>` through the module's current `os`.
Ref os_path_attr(PyObject* globals, PyObject* attr) noexcept {
    Ref path = global_attr(globals, names::os, names::path);
    return path ? get_attr(path.get(), attr) : Ref();
}

int check_str_arg(PyObject* obj) noexcept {
    return check_str_result(Ref::borrow(obj)) ? 0 : -1;
}

// ---- start-up -------------------------------------------------------------------

// `__import__(name, globals, None, fromlist, 0)`, as the import statement
// makes it.
Ref import_module(PyObject* globals, PyObject* name, PyObject* fromlist) noexcept {
    PyObject* import = PyDict_GetItemWithError(PyEval_GetBuiltins(), names::dunder_import);
    if (import == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        return {};
    }
    Ref hold = Ref::borrow(import);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) {
        return {};
    }
    PyObject* args[] = {name, globals, Py_None, fromlist != nullptr ? fromlist : Py_None,
                        zero.get()};
    return Ref::steal(PyObject_Vectorcall(import, args, 5, nullptr));
}

// The name lookup of `from module import name`: an attribute, else a
// submodule already in sys.modules, else ImportError.
Ref import_from(PyObject* module, PyObject* name) noexcept {
    Ref found = get_attr(module, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return found;
    }
    PyErr_Clear();
    Ref package = get_attr(module, names::dunder_name);
    if (!package) {
        PyErr_Clear();
    } else if (PyUnicode_Check(package.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full) {
            return {};
        }
        found = Ref::steal(PyImport_GetModule(full.get()));
        if (found || PyErr_Occurred()) {
            return found;
        }
    }
    Ref location = get_attr(module, names::dunder_file);
    if (!location) {
        PyErr_Clear();
    }
    Ref message =
        location && PyUnicode_Check(location.get())
            ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                              package ? package.get() : Py_None, location.get()))
            : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                              name, package ? package.get() : Py_None));
    if (message) {
        PyErr_SetImportError(message.get(), package ? package.get() : nullptr,
                             location ? location.get() : nullptr);
    }
    return {};
}

int bind(PyObject* globals, PyObject* name, const Ref& value) noexcept {
    return value ? PyDict_SetItem(globals, name, value.get()) : -1;
}

// `from <module> import <names...>`, binding each name in turn.
int import_names(PyObject* globals, PyObject* module_name,
                 std::initializer_list<PyObject*> wanted) noexcept {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(wanted.size())));
    if (!fromlist) {
        return -1;
    }
    Py_ssize_t i = 0;
    for (PyObject* name : wanted) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    }
    Ref module = import_module(globals, module_name, fromlist.get());
    if (!module) {
        return -1;
    }
    for (PyObject* name : wanted) {
        if (bind(globals, name, import_from(module.get(), name)) < 0) {
            return -1;
        }
    }
    return 0;
}

int add_log_sink(PyObject* globals) noexcept {
    Ref add = global_attr(globals, names::logger, names::add);
    if (!add) {
        return -1;
    }
    Ref join = os_path_attr(globals, names::join);
    if (!join) {
        return -1;
    }
    Ref base_dir = global_attr(globals, names::settings, names::OUTPUT_BASE_DIR);
    if (!base_dir) {
        return -1;
    }
    Ref log_dir = Ref::steal(PyUnicode_FromString("tolvek_init_log"));
    Ref log_file = Ref::steal(PyUnicode_FromString("tolvek-init-main.log"));
    if (!log_dir || !log_file) {
        return -1;
    }
    PyObject* join_args[] = {base_dir.get(), log_dir.get(), log_file.get()};
    Ref sink = Ref::steal(PyObject_Vectorcall(join.get(), join_args, 3, nullptr));
    if (!sink) {
        return -1;
    }
    Ref format = Ref::steal(PyUnicode_FromString("{time} {level} {message}"));
    Ref level = Ref::steal(PyUnicode_FromString("INFO"));
    Ref kwnames = Ref::steal(PyTuple_Pack(3, names::sink, names::format, names::level));
    if (!format || !level || !kwnames) {
        return -1;
    }
    PyObject* add_args[] = {sink.get(), format.get(), level.get()};
    return Ref::steal(PyObject_Vectorcall(add.get(), add_args, 0, kwnames.get())) ? 0 : -1;
}

int run_startup(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr) {
        return -1;
    }
    // 1. the built-in open, kept for good
    PyObject* open = PyDict_GetItemWithError(PyEval_GetBuiltins(), names::open);
    if (open == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
        }
        return -1;
    }
    Py_INCREF(open);
    Py_XSETREF(captured_open, open);
    // 2.-4. import os / import subprocess / import importlib.util
    if (bind(globals, names::os, import_module(globals, names::os, nullptr)) < 0 ||
        bind(globals, names::subprocess, import_module(globals, names::subprocess, nullptr)) < 0 ||
        bind(globals, names::importlib, import_module(globals, names::importlib_util, nullptr)) <
            0) {
        return -1;
    }
    // 5.-8. from typing import Any, Dict, List / from ruamel import yaml /
    // from loguru import logger / from tolvek_init.conf import settings
    if (import_names(globals, names::typing, {names::Any, names::Dict, names::List}) < 0 ||
        import_names(globals, names::ruamel, {names::yaml}) < 0 ||
        import_names(globals, names::loguru, {names::logger}) < 0 ||
        import_names(globals, names::tolvek_init_conf, {names::settings}) < 0) {
        return -1;
    }
    // 9. the log sink
    if (add_log_sink(globals) < 0) {
        return -1;
    }
    // 10.-11. VaultTag, then EnvTag
    if (tags_create(globals) < 0) {
        return -1;
    }
    // 12.-14. the functions
    if (bind(globals, names::load_yaml_files, function_new(load_yaml_files_spec, globals)) < 0 ||
        bind(globals, names::merge_list_item, function_new(merge_list_item_spec, globals)) < 0 ||
        bind(globals, names::merge_dict, function_new(merge_dict_spec, globals)) < 0) {
        return -1;
    }
    return 0;
}

int64_t current_interpreter() noexcept {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) noexcept {
    const int64_t interpreter = current_interpreter();
    if (interpreter < 0 || names::init() < 0) {
        return nullptr;
    }
    if (owner_interpreter >= 0 && owner_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "tolvek_yaml can be imported into one interpreter per process only");
        return nullptr;
    }
    owner_interpreter = interpreter;
    if (started_module != nullptr) {
        return Py_NewRef(started_module);
    }
    Ref name = get_attr(spec, names::name);
    if (!name) {
        return nullptr;
    }
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) noexcept {
    if (module == started_module) {
        return 0;
    }
    if (function_type_init() < 0 || run_startup(module) < 0) {
        return -1;
    }
    started_module = Py_NewRef(module);
    return 0;
}

// ---- loading ----------------------------------------------------------------------

bool contains_text(PyObject* haystack, const char* needle) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(needle));
    return text && PyUnicode_Contains(haystack, text.get()) == 1;
}

// The steps inside `with open(file_path, "r") as file:`.
int load_opened_file(PyObject* globals, PyObject* file, PyObject* file_path,
                     PyObject* data) noexcept {
    if (!contains_text(file_path, ".yaml") && !contains_text(file_path, ".yml")) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref text = Ref::steal(PyObject_CallMethodNoArgs(file, names::read));
    if (!text) {
        return -1;
    }
    Ref reader_type = global_attr(globals, names::yaml, names::YAML);
    if (!reader_type) {
        return -1;
    }
    Ref reader = Ref::steal(PyObject_CallNoArgs(reader_type.get()));
    if (!reader || PyObject_SetAttr(reader.get(), names::preserve_quotes, Py_True) < 0) {
        return -1;
    }
    for (PyObject* tag_name : {names::VaultTag, names::EnvTag}) {
        Ref register_class = get_attr(reader.get(), names::register_class);
        Ref tag_class = register_class ? global_lookup(globals, tag_name) : Ref();
        if (!tag_class || !call1(register_class.get(), tag_class.get())) {
            return -1;
        }
    }
    Ref load = get_attr(reader.get(), names::load);
    Ref document = load ? call1(load.get(), text.get()) : Ref();
    if (!document) {
        return -1;
    }
    PyObject* merge_args[] = {document.get(), data};
    return call_global(globals, names::merge_dict, merge_args, 2) ? 0 : -1;
}

// One file, opened with the captured built-in open as a context manager:
// closed on every path, and an error inside reaches the caller after the
// close, exactly as a `with` block lets it through.
int load_file(PyObject* globals, PyObject* file_path, PyObject* data) noexcept {
    Ref mode = Ref::steal(PyUnicode_FromString("r"));
    if (!mode) {
        return -1;
    }
    PyObject* open_args[] = {file_path, mode.get()};
    Ref manager = Ref::steal(PyObject_Vectorcall(captured_open, open_args, 2, nullptr));
    if (!manager) {
        return -1;
    }
    Ref enter = get_attr(manager.get(), names::dunder_enter);
    Ref exit = enter ? get_attr(manager.get(), names::dunder_exit) : Ref();
    Ref file = exit ? Ref::steal(PyObject_CallNoArgs(enter.get())) : Ref();
    if (!file) {
        return -1;
    }
    if (load_opened_file(globals, file.get(), file_path, data) == 0) {
        PyObject* none3[] = {Py_None, Py_None, Py_None};
        return Ref::steal(PyObject_Vectorcall(exit.get(), none3, 3, nullptr)) ? 0 : -1;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Ref exc_type = Ref::steal(type);
    Ref exc_value = Ref::steal(value);
    Ref exc_traceback = Ref::steal(traceback);
    PyObject* exit_args[] = {exc_type.get(), exc_value.get(),
                             exc_traceback ? exc_traceback.get() : Py_None};
    Ref suppress = Ref::steal(PyObject_Vectorcall(exit.get(), exit_args, 3, nullptr));
    if (!suppress) {
        // The error of __exit__ wins; the original becomes its context.
        PyObject* new_type = nullptr;
        PyObject* new_value = nullptr;
        PyObject* new_traceback = nullptr;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        PyException_SetContext(new_value, exc_value.release());
        PyErr_Restore(new_type, new_value, new_traceback);
        return -1;
    }
    const int suppressed = PyObject_IsTrue(suppress.get());
    if (suppressed < 0) {
        return -1;
    }
    if (suppressed != 0) {
        return 0;
    }
    PyErr_Restore(exc_type.release(), exc_value.release(), exc_traceback.release());
    return -1;
}

// Named pipes, sockets and device nodes found by the walk are passed over
// before they are opened: opening a FIFO for reading would block the load.
// Anything that cannot be inspected goes on to the open, which reports it.
bool is_special_file(PyObject* file_path) noexcept {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(file_path));
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    const char* raw = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(raw) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
        return false;
    }
    struct stat info {};
    if (::stat(raw, &info) != 0) {
        return false;
    }
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode) ||
           S_ISBLK(info.st_mode);
}

int load_walked_file_unguarded(PyObject* globals, PyObject* dir, PyObject* filename,
                               PyObject* data) noexcept {
    Ref sep = os_path_attr(globals, names::sep);
    if (!sep) {
        return -1;
    }
    Ref head = Ref::steal(PyNumber_Add(dir, sep.get()));
    Ref full_path = head ? Ref::steal(PyNumber_Add(head.get(), filename)) : Ref();
    if (!full_path || check_str_arg(full_path.get()) < 0) {
        return -1;
    }
    if (is_special_file(full_path.get())) {
        return 0;
    }
    return load_file(globals, full_path.get(), data);
}

// One file of a walked directory: whatever goes wrong while it loads is
// logged by its bare name and the walk goes on.  Only a failure to log
// ends the call.
int load_walked_file(PyObject* globals, PyObject* dir, PyObject* filename,
                     PyObject* data) noexcept {
    if (load_walked_file_unguarded(globals, dir, filename, data) == 0) {
        return 0;
    }
    PyErr_Clear();
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    Ref shown = empty ? Ref::steal(PyObject_Format(filename, empty.get())) : Ref();
    Ref message =
        shown ? Ref::steal(PyUnicode_FromFormat("Could not load file: %U", shown.get())) : Ref();
    if (!message) {
        return -1;
    }
    Ref warning = global_attr(globals, names::logger, names::warning);
    return warning && call1(warning.get(), message.get()) ? 0 : -1;
}

int walk_tree(PyObject* globals, PyObject* path, PyObject* data) noexcept {
    Ref walk = global_attr(globals, names::os, names::walk);
    Ref walker = walk ? call1(walk.get(), path) : Ref();
    Ref entries = walker ? Ref::steal(PyObject_GetIter(walker.get())) : Ref();
    if (!entries) {
        return -1;
    }
    while (Ref entry = Ref::steal(PyIter_Next(entries.get()))) {
        Ref parts[3];
        if (!unpack(entry.get(), parts)) {
            return -1;
        }
        Ref files = Ref::steal(PyObject_GetIter(parts[2].get()));
        if (!files) {
            return -1;
        }
        while (Ref filename = Ref::steal(PyIter_Next(files.get()))) {
            if (load_walked_file(globals, parts[0].get(), filename.get(), data) < 0) {
                return -1;
            }
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* load_yaml_files(PyObject* globals, PyObject* const* args) noexcept {
    PyObject* paths = args[0];
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return nullptr;
    }
    // The list may change under us while files load; read it afresh.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); ++i) {
        Ref path = Ref::borrow(PyList_GET_ITEM(paths, i));
        Ref isfile = os_path_attr(globals, names::isfile);
        Ref answer = isfile ? call1(isfile.get(), path.get()) : Ref();
        if (!answer) {
            return nullptr;
        }
        const int is_file = PyObject_IsTrue(answer.get());
        if (is_file < 0) {
            return nullptr;
        }
        if (is_file != 0) {
            if (check_str_arg(path.get()) < 0 || load_file(globals, path.get(), result.get()) < 0) {
                return nullptr;
            }
        } else if (walk_tree(globals, path.get(), result.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

// ---- module definition ------------------------------------------------------------

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

// No doc string, no per-module state, no function table: everything the
// module offers is made by start-up.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolvek_yaml",  // m_name
    nullptr,        // m_doc
    0,              // m_size
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

}  // namespace tolvek

PyMODINIT_FUNC PyInit_tolvek_yaml() {
    return PyModuleDef_Init(&tolvek::module_def);
}
