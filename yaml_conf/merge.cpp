// Recursive merge: merge_dict and merge_list_item.
//
// The rules are written once, against two small access classes.  `Mapping`
// and `Sequence` take the C fast path for the exact built-in types and the
// container's own Python-level operations for every subtype, so that the
// reader's ordered mapping and sequence types keep their bookkeeping.
//
// Anything compared or looked up may run user code (`==`, `__hash__`,
// `__contains__`, `items()`), which may mutate the very containers being
// walked.  Everything used across such a call is held by a strong
// reference, and list lengths are read afresh at each step.
#include "function.h"
#include "names.h"
#include "protocol.h"
#include "recursion.h"
#include "ref.h"
#include "subsystems.h"

namespace tolvek {

namespace {

constexpr const char* recursion_where = " while merging";

bool is_mapping(PyObject* obj) noexcept {
    return PyDict_Check(obj);
}
bool is_sequence(PyObject* obj) noexcept {
    return PyList_Check(obj);
}

// Results of a visit: go on, stop early, or fail with an exception set.
constexpr int visit_next = 0;
constexpr int visit_stop = 1;
constexpr int visit_error = -1;

class Mapping {
  public:
    explicit Mapping(PyObject* obj) noexcept : obj_(obj), exact_(PyDict_CheckExact(obj)) {}

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }

    // `not mapping`, inverted: 1 non-empty, 0 empty, -1 error.
    [[nodiscard]] int truth() const noexcept {
        return exact_ ? (PyDict_GET_SIZE(obj_) != 0 ? 1 : 0) : PyObject_IsTrue(obj_);
    }

    // `key in mapping` and then `mapping[key]`: 1 with `out` set, 0 when the
    // key is absent, -1 on error.
    int lookup(PyObject* key, Ref& out) const noexcept {
        if (exact_) {
            PyObject* found = PyDict_GetItemWithError(obj_, key);
            if (found == nullptr) {
                return PyErr_Occurred() ? -1 : 0;
            }
            out = Ref::borrow(found);
            return 1;
        }
        const int present = PySequence_Contains(obj_, key);
        if (present <= 0) {
            return present;
        }
        out = Ref::steal(PyObject_GetItem(obj_, key));
        return out ? 1 : -1;
    }

    int set(PyObject* key, PyObject* value) const noexcept {
        return exact_ ? PyDict_SetItem(obj_, key, value) : PyObject_SetItem(obj_, key, value);
    }

    Ref setdefault(PyObject* key, PyObject* fallback) const noexcept {
        if (exact_) {
            return Ref::borrow(PyDict_SetDefault(obj_, key, fallback));
        }
        return Ref::steal(
            PyObject_CallMethodObjArgs(obj_, names::setdefault, key, fallback, nullptr));
    }

    // Walks `items()`: `visit(key, value)` returns visit_next, visit_stop or
    // visit_error.  A plain dict that changes size fails as its own
    // iterator would.
    template <class Visit>
    int for_each(Visit&& visit) const noexcept {
        if (exact_) {
            const Py_ssize_t size = PyDict_GET_SIZE(obj_);
            Py_ssize_t pos = 0;
            PyObject* raw_key = nullptr;
            PyObject* raw_value = nullptr;
            while (PyDict_Next(obj_, &pos, &raw_key, &raw_value)) {
                Ref key = Ref::borrow(raw_key);
                Ref value = Ref::borrow(raw_value);
                const int rc = visit(key.get(), value.get());
                if (rc != visit_next) {
                    return rc;
                }
                if (PyDict_GET_SIZE(obj_) != size) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    return visit_error;
                }
            }
            return visit_next;
        }
        Ref items = Ref::steal(PyObject_CallMethodNoArgs(obj_, names::items));
        Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
        if (!iter) {
            return visit_error;
        }
        while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
            Ref pair[2];
            if (!unpack(item.get(), pair)) {
                return visit_error;
            }
            const int rc = visit(pair[0].get(), pair[1].get());
            if (rc != visit_next) {
                return rc;
            }
        }
        return PyErr_Occurred() ? visit_error : visit_next;
    }

  private:
    PyObject* obj_;
    bool exact_;
};

class Sequence {
  public:
    explicit Sequence(PyObject* obj) noexcept : obj_(obj), exact_(PyList_CheckExact(obj)) {}

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }

    // `item in sequence`: the same object or an equal one.
    int contains(PyObject* item) const noexcept { return PySequence_Contains(obj_, item); }

    int append(PyObject* item) const noexcept {
        if (exact_) {
            return PyList_Append(obj_, item);
        }
        return Ref::steal(PyObject_CallMethodOneArg(obj_, names::append, item)) ? 0 : -1;
    }

    // `list(sequence)`: the items as they are now, held strongly.
    [[nodiscard]] Ref snapshot() const noexcept {
        if (exact_) {
            return Ref::steal(PyList_GetSlice(obj_, 0, PyList_GET_SIZE(obj_)));
        }
        return Ref::steal(PySequence_List(obj_));
    }

    // `for item in sequence`, with the same contract as Mapping::for_each.
    template <class Visit>
    int for_each(Visit&& visit) const noexcept {
        if (exact_) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj_); ++i) {
                Ref item = Ref::borrow(PyList_GET_ITEM(obj_, i));
                const int rc = visit(item.get());
                if (rc != visit_next) {
                    return rc;
                }
            }
            return visit_next;
        }
        Ref iter = Ref::steal(PyObject_GetIter(obj_));
        if (!iter) {
            return visit_error;
        }
        while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
            const int rc = visit(item.get());
            if (rc != visit_next) {
                return rc;
            }
        }
        return PyErr_Occurred() ? visit_error : visit_next;
    }

  private:
    PyObject* obj_;
    bool exact_;
};

// `left == right` as a truth value; no identity shortcut, so NaN equals
// nothing, itself included.
int equal(PyObject* left, PyObject* right) noexcept {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

struct Comparison {
    bool match = true;
    bool comparison = false;
    bool unique_this = false;
    bool unique_other = false;
};

// One direction of the equivalence scan: every scalar entry of `walked`
// against `other`.  Sets `unique` for a key that `other` lacks.
int compare_entries(const Mapping& walked, const Mapping& other, Comparison& flags,
                    bool& unique) noexcept {
    return walked.for_each([&](PyObject* key, PyObject* value) noexcept -> int {
        if (is_mapping(value) || is_sequence(value)) {
            return visit_next;
        }
        Ref other_value;
        const int present = other.lookup(key, other_value);
        if (present < 0) {
            return visit_error;
        }
        if (present == 0) {
            unique = true;
            return visit_next;
        }
        const int same = equal(value, other_value.get());
        if (same < 0) {
            return visit_error;
        }
        flags.comparison = true;
        if (same == 0) {
            flags.match = false;
        }
        return visit_next;
    });
}

// 1 when `dest_item` describes the same object as `source_item`, 0 when
// not, -1 on error.  Both scans always run to the end.
int equivalent(const Mapping& source_item, const Mapping& dest_item) noexcept {
    Comparison flags;
    if (compare_entries(source_item, dest_item, flags, flags.unique_this) < 0 ||
        compare_entries(dest_item, source_item, flags, flags.unique_other) < 0) {
        return -1;
    }
    return flags.match && flags.comparison && !(flags.unique_this && flags.unique_other) ? 1 : 0;
}

int call_merge(PyObject* globals, PyObject* name, PyObject* first, PyObject* second,
               PyObject* merge_list_items) noexcept {
    PyObject* args[] = {first, second, merge_list_items};
    return call_global(globals, name, args, 3) ? 0 : -1;
}

int merge_entry(PyObject* globals, const Mapping& destination, PyObject* key, PyObject* value,
                PyObject* merge_list_items) noexcept {
    if (is_mapping(value)) {
        Ref fresh = Ref::steal(PyDict_New());
        Ref node = fresh ? destination.setdefault(key, fresh.get()) : Ref();
        if (!node) {
            return -1;
        }
        if (node.get() == Py_None) {
            return destination.set(key, value);
        }
        return call_merge(globals, names::merge_dict, value, node.get(), merge_list_items);
    }
    if (is_sequence(value)) {
        Ref existing;
        const int present = destination.lookup(key, existing);
        if (present <= 0) {
            return present < 0 ? -1 : destination.set(key, value);
        }
        if (!is_sequence(existing.get())) {
            return 0;
        }
        // A snapshot, so that a sequence merged into itself ends.
        Ref items = Sequence(value).snapshot();
        if (!items) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            if (call_merge(globals, names::merge_list_item, PyList_GET_ITEM(items.get(), i),
                           existing.get(), merge_list_items) < 0) {
                return -1;
            }
        }
        return 0;
    }
    return destination.set(key, value);
}

PyObject* merge_dict(PyObject* globals, PyObject* const* args) noexcept {
    const RecursionGuard guard(recursion_where);
    if (!guard.ok()) {
        return nullptr;
    }
    const Mapping source(args[0]);
    const Mapping destination(args[1]);
    PyObject* merge_list_items = args[2];
    const int non_empty = source.truth();
    if (non_empty < 0) {
        return nullptr;
    }
    if (non_empty > 0 && source.for_each([&](PyObject* key, PyObject* value) noexcept -> int {
            return merge_entry(globals, destination, key, value, merge_list_items) < 0 ? visit_error
                                                                                       : visit_next;
        }) < 0) {
        return nullptr;
    }
    return Py_NewRef(destination.get());
}

PyObject* merge_list_item(PyObject* globals, PyObject* const* args) noexcept {
    const RecursionGuard guard(recursion_where);
    if (!guard.ok()) {
        return nullptr;
    }
    PyObject* source_item = args[0];
    const Sequence destination(args[1]);
    PyObject* merge_list_items = args[2];
    bool by_equivalence = false;
    if (is_mapping(source_item)) {
        const int enabled = PyObject_IsTrue(merge_list_items);
        if (enabled < 0) {
            return nullptr;
        }
        by_equivalence = enabled != 0;
    }
    if (by_equivalence) {
        const Mapping source(source_item);
        const int found = destination.for_each([&](PyObject* dest_item) noexcept -> int {
            // Only a mapping can describe the same object; anything else in
            // a mixed list is passed over.
            if (!is_mapping(dest_item)) {
                return visit_next;
            }
            const int same = equivalent(source, Mapping(dest_item));
            if (same <= 0) {
                return same;
            }
            return call_merge(globals, names::merge_dict, source_item, dest_item,
                              merge_list_items) < 0
                       ? visit_error
                       : visit_stop;
        });
        if (found < 0) {
            return nullptr;
        }
        if (found == visit_stop) {
            Py_RETURN_NONE;
        }
    } else {
        const int present = destination.contains(source_item);
        if (present < 0) {
            return nullptr;
        }
        if (present > 0) {
            Py_RETURN_NONE;
        }
    }
    if (destination.append(source_item) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const Param merge_list_item_params[] = {
    {"source_item", "Any", ArgKind::any},
    {"destination", "List[Any]", ArgKind::list},
    {"merge_list_items", "bool", ArgKind::any},
};

const Param merge_dict_params[] = {
    {"source", "Dict[Any, Any]", ArgKind::dict},
    {"destination", "Dict[Any, Any]", ArgKind::dict},
    {"merge_list_items", "bool", ArgKind::any},
};

}  // namespace

const FunctionSpec merge_list_item_spec = {
    "merge_list_item",
    "merge_list_item",
    "Merge item into list.",
    merge_list_item_params,
    3,
    2,
    "None",
    merge_list_item,
};

const FunctionSpec merge_dict_spec = {
    "merge_dict",
    "merge_dict",
    "Merge two nested dict/list structures.",
    merge_dict_params,
    3,
    2,
    "Dict[Any, Any]",
    merge_dict,
};

}  // namespace tolvek
