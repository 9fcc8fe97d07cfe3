// What each subsystem hands to the module frame at start-up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "function.h"

namespace tolvek {

// Loading (module.cpp).
extern const FunctionSpec load_yaml_files_spec;

// Recursive merge (merge.cpp).
extern const FunctionSpec merge_list_item_spec;
extern const FunctionSpec merge_dict_spec;

// Custom tags (tags.cpp): creates VaultTag, then EnvTag, and binds each in
// `globals` as soon as it exists.  -1 with an exception set.
int tags_create(PyObject* globals) noexcept;

}  // namespace tolvek
