// Interned strings for every attribute, global and keyword the module uses.
//
// They are made once, by the first start-up, and live as long as the
// process: the module allows one interpreter only, so they are never shared
// across interpreters.  Interning makes keyword binding and dict lookups
// pointer comparisons in the common case.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define TOLVEK_NAMES(X)                     \
    X(ANSIBLE_VAULT_ID, "ANSIBLE_VAULT_ID") \
    X(Any, "Any")                           \
    X(Dict, "Dict")                         \
    X(EnvTag, "EnvTag")                     \
    X(List, "List")                         \
    X(VaultTag, "VaultTag")                 \
    X(YAML, "YAML")                         \
    X(YAMLObject, "YAMLObject")             \
    X(dunder_enter, "__enter__")            \
    X(dunder_exit, "__exit__")              \
    X(dunder_import, "__import__")          \
    X(dunder_module, "__module__")          \
    X(dunder_name, "__name__")              \
    X(dunder_prepare, "__prepare__")        \
    X(dunder_qualname, "__qualname__")      \
    X(dunder_file, "__file__")              \
    X(dunder_init, "__init__")              \
    X(dunder_repr, "__repr__")              \
    X(add, "add")                           \
    X(append, "append")                     \
    X(check_output, "check_output")         \
    X(decode, "decode")                     \
    X(encode, "encode")                     \
    X(environ, "environ")                   \
    X(find_spec, "find_spec")               \
    X(format, "format")                     \
    X(from_yaml, "from_yaml")               \
    X(getenv, "getenv")                     \
    X(importlib, "importlib")               \
    X(input, "input")                       \
    X(isfile, "isfile")                     \
    X(items, "items")                       \
    X(join, "join")                         \
    X(level, "level")                       \
    X(load, "load")                         \
    X(load_yaml_files, "load_yaml_files")   \
    X(logger, "logger")                     \
    X(loguru, "loguru")                     \
    X(name, "name")                         \
    X(merge_dict, "merge_dict")             \
    X(merge_list_item, "merge_list_item")   \
    X(open, "open")                         \
    X(origin, "origin")                     \
    X(os, "os")                             \
    X(OUTPUT_BASE_DIR, "OUTPUT_BASE_DIR")   \
    X(path, "path")                         \
    X(preserve_quotes, "preserve_quotes")   \
    X(read, "read")                         \
    X(register_class, "register_class")     \
    X(ruamel, "ruamel")                     \
    X(sep, "sep")                           \
    X(setdefault, "setdefault")             \
    X(settings, "settings")                 \
    X(sink, "sink")                         \
    X(subprocess, "subprocess")             \
    X(tolvek_init_conf, "tolvek_init.conf") \
    X(typing, "typing")                     \
    X(util, "util")                         \
    X(importlib_util, "importlib.util")     \
    X(value, "value")                       \
    X(walk, "walk")                         \
    X(warning, "warning")                   \
    X(yaml, "yaml")                         \
    X(yaml_tag, "yaml_tag")

namespace tolvek::names {

#define TOLVEK_DECLARE_NAME(ident, text) extern PyObject* ident;
TOLVEK_NAMES(TOLVEK_DECLARE_NAME)
#undef TOLVEK_DECLARE_NAME

// Makes the strings on first use; later calls return at once.  -1 with an
// exception set on failure.
int init() noexcept;

}  // namespace tolvek::names
