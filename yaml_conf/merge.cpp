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
#include <new>
#include <vector>

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

bool is_plain_scalar(PyObject* obj) noexcept;

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
        // One lookup does for both when the key's hashing and == run no
        // code; any other key is asked twice, as the two steps ask.
        if (exact_ && is_plain_scalar(key)) {
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

    // `setdefault(key, {})`.  A plain dict makes the new mapping only when
    // the key is absent, and stores it with a lookup and a store:
    // PyDict_SetDefault trusts that the key's == leaves the dict alone, and
    // some interpreters abort on a key whose == rewrites it.
    Ref setdefault_mapping(PyObject* key) const noexcept {
        if (exact_) {
            PyObject* found = PyDict_GetItemWithError(obj_, key);
            if (found != nullptr) {
                return Ref::borrow(found);
            }
            if (PyErr_Occurred()) {
                return {};
            }
            Ref fresh = Ref::steal(PyDict_New());
            if (!fresh || PyDict_SetItem(obj_, key, fresh.get()) < 0) {
                return {};
            }
            return fresh;
        }
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh) {
            return {};
        }
        return Ref::steal(
            PyObject_CallMethodObjArgs(obj_, names::setdefault, key, fresh.get(), nullptr));
    }

    // Walks `items()`: `visit(key, value)` returns visit_next, visit_stop or
    // visit_error.  A plain dict that changes size fails as its own
    // iterator would.
    template <class Visit>
    int for_each(Visit&& visit) const noexcept {
        if (exact_) {
            const Py_ssize_t size = PyDict_GET_SIZE(obj_);
            Py_ssize_t remaining = size;
            Py_ssize_t pos = 0;
            PyObject* raw_key = nullptr;
            PyObject* raw_value = nullptr;
            while (PyDict_Next(obj_, &pos, &raw_key, &raw_value)) {
                if (remaining-- == 0) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                    return visit_error;
                }
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

// ---- batches of items merged into one list --------------------------------------
//
// Merging a list of N mapping items into a list of N items scans the
// destination once per item: N * N comparisons.  `ItemBatch` keeps, for one
// such batch, an index of the destination that finds the first equivalent
// item (or the presence of a scalar item) without the scan, and gives the
// same answer as the scan.  It stands in only where the scan could not run
// any code of the user's: exact lists and dicts whose keys and scalar values
// have the built-in types' own equality and hashing (str, int, float, bool,
// None and subclasses that override neither).  Everything else, and every
// item while the module's `merge_list_item` is rebound, goes the ordinary
// way, after which the index is dropped and rebuilt on demand.

// Equality and hashing that run no user code and agree with each other.
bool is_plain_scalar(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (obj == Py_None || type == &PyUnicode_Type || type == &PyLong_Type ||
        type == &PyFloat_Type || type == &PyBool_Type) {
        return true;
    }
    PyTypeObject* base = PyUnicode_Check(obj) ? &PyUnicode_Type
                         : PyLong_Check(obj)  ? &PyLong_Type
                         : PyFloat_Check(obj) ? &PyFloat_Type
                                              : nullptr;
    // Nor a finalizer: a replaced value's last decref must not run code.
    return base != nullptr && type->tp_richcompare == base->tp_richcompare &&
           type->tp_hash == base->tp_hash && type->tp_finalize == base->tp_finalize &&
           type->tp_del == base->tp_del;
}

// An exact dict with plain keys, whose values are plain scalars or exact
// containers (which the equivalence scan passes over).  `nested` tells
// whether any value is a container: merging such an item can reach code of
// the user's further down.
bool is_plain_mapping(PyObject* obj, bool& nested) noexcept {
    if (!PyDict_CheckExact(obj)) {
        return false;
    }
    nested = false;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        if (!is_plain_scalar(key)) {
            return false;
        }
        if (PyDict_CheckExact(value) || PyList_CheckExact(value)) {
            nested = true;
        } else if (!is_plain_scalar(value)) {
            return false;
        }
    }
    return true;
}

// A tree whose merge runs no code of the user's and changes nothing
// outside it: exact dicts and lists holding plain keys and plain scalars
// all the way down, each container below the top referred to by its parent
// alone (so that it is no item of the list being merged into, nor shared
// with another tree).  Merging two such trees compares, hashes and
// replaces only built-in values and frees nothing that has a finalizer.
// `budget` bounds the walk: a tree too large to check counts as not plain.
bool is_plain_tree(PyObject* obj, int& budget, bool top = true) noexcept {
    if (--budget < 0) {
        return false;
    }
    const bool dict = PyDict_CheckExact(obj);
    const bool list = !dict && PyList_CheckExact(obj);
    if (!dict && !list) {
        return is_plain_scalar(obj);
    }
    if (!top && Py_REFCNT(obj) != 1) {
        return false;
    }
    if (list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            if (!is_plain_tree(PyList_GET_ITEM(obj, i), budget, false)) {
                return false;
            }
        }
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        if (!is_plain_scalar(key) || !is_plain_tree(value, budget, false)) {
            return false;
        }
    }
    return true;
}

// Keeps the cyclic collector, and with it finalizers and gc.callbacks,
// from running while the index is consulted and kept up to date: an
// allocation could otherwise run code that changes the list under it.
class CollectorPause {
  public:
    CollectorPause() noexcept : paused_(PyGC_Disable() != 0) {}
    ~CollectorPause() { resume(); }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

    void resume() noexcept {
        if (paused_) {
            PyGC_Enable();
            paused_ = false;
        }
    }

  private:
    bool paused_;
};

// The positions of the items holding one value under one key, ascending:
// a single int, or a list of them once there are several.
Py_ssize_t positions_size(PyObject* positions) noexcept {
    return PyList_CheckExact(positions) ? PyList_GET_SIZE(positions) : 1;
}
Py_ssize_t position_at(PyObject* positions, Py_ssize_t i) noexcept {
    return PyLong_AsSsize_t(PyList_CheckExact(positions) ? PyList_GET_ITEM(positions, i)
                                                         : positions);
}

class ItemIndex {
  public:
    [[nodiscard]] bool built() const noexcept { return static_cast<bool>(keys_); }
    [[nodiscard]] bool mappings_usable() const noexcept { return mappings_ok_; }
    [[nodiscard]] bool scalars_usable() const noexcept { return scalars_ok_; }

    void drop() noexcept {
        keys_ = Ref();
        slots_.clear();
        scalars_ = Ref();
    }

    // Indexes every item of `list`.  -1 on error.
    int build(PyObject* list) noexcept {
        drop();
        keys_ = Ref::steal(PyDict_New());
        scalars_ = Ref::steal(PySet_New(nullptr));
        if (!keys_ || !scalars_) {
            drop();
            return -1;
        }
        mappings_ = 0;
        mappings_ok_ = true;
        scalars_ok_ = true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            // Held: indexing allocates, and a collection may run finalizers
            // that change the list.
            Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
            if (add(item.get(), i) < 0) {
                drop();
                return -1;
            }
        }
        return 0;
    }

    // Takes in the item at `position`, the list's last so far.
    int add(PyObject* item, Py_ssize_t position) noexcept {
        bool nested = false;
        if (PyDict_CheckExact(item)) {
            if (!mappings_ok_) {
                return 0;
            }
            if (!is_plain_mapping(item, nested)) {
                mappings_ok_ = false;
                return 0;
            }
            ++mappings_;
            // Not Mapping::for_each: a finalizer run by an allocation here
            // may change the item, and the index must not fail where the
            // item-by-item scan would not.
            Py_ssize_t pos = 0;
            PyObject* raw_key = nullptr;
            PyObject* raw_value = nullptr;
            while (PyDict_Next(item, &pos, &raw_key, &raw_value)) {
                Ref key = Ref::borrow(raw_key);
                Ref value = Ref::borrow(raw_value);
                if (add_entry(key.get(), value.get(), position) < 0) {
                    return -1;
                }
            }
            return 0;
        }
        if (is_plain_scalar(item)) {
            return scalars_ok_ ? PySet_Add(scalars_.get(), item) : 0;
        }
        // A subtype's own == may answer anything, and runs code; an exact
        // list never equals a plain scalar and is passed over by the
        // equivalence search.
        if (PyDict_Check(item)) {
            mappings_ok_ = false;
            scalars_ok_ = false;
        } else if (!PyList_CheckExact(item)) {
            scalars_ok_ = false;
        }
        return 0;
    }

    // `item in list` for a plain scalar: 1, 0, or -1 on error.
    int contains_scalar(PyObject* item) const noexcept {
        return PySet_Contains(scalars_.get(), item);
    }

    // The position of the first item of `list` equivalent to the plain
    // mapping `source`, -1 for none, -2 on error.
    Py_ssize_t find_equivalent(PyObject* list, PyObject* source) noexcept {
        // An equivalent item holds the source's value under every key of
        // the source that it has at all, so under a key every indexed item
        // has, the candidates are those holding the same value.  Values
        // are filed by key on first use: one such key is enough, and a
        // key already filed saves filing another.
        Py_ssize_t chosen = absent;
        PyObject* chosen_value = nullptr;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Nothing below runs code or frees anything, so the borrowed
        // entries stay valid.
        while (PyDict_Next(source, &pos, &key, &value)) {
            if (!is_plain_scalar(value)) {
                continue;
            }
            const Py_ssize_t slot = slot_of(key);
            if (slot == no_slot) {
                return -2;
            }
            if (slot == absent || slots_[slot].count != mappings_) {
                continue;
            }
            if (chosen == absent || (slots_[slot].filed && !slots_[chosen].filed)) {
                chosen = slot;
                chosen_value = value;
            }
            if (slots_[chosen].filed) {
                break;
            }
        }
        const Mapping source_map(source);
        if (chosen == absent) {
            for (Py_ssize_t at = 0; at < PyList_GET_SIZE(list); ++at) {
                const Py_ssize_t rc = check_candidate(list, source_map, at);
                if (rc != -1) {
                    return rc;
                }
            }
            return -1;
        }
        if (!slots_[chosen].filed && file_values(list, key_of(chosen), chosen) < 0) {
            return -2;
        }
        PyObject* positions = PyDict_GetItemWithError(slots_[chosen].by_value.get(), chosen_value);
        if (positions == nullptr) {
            // every item has the key, none this value
            return PyErr_Occurred() ? -2 : -1;
        }
        Ref held = Ref::borrow(positions);
        for (Py_ssize_t i = 0; i < positions_size(held.get()); ++i) {
            const Py_ssize_t rc = check_candidate(list, source_map, position_at(held.get(), i));
            if (rc != -1) {
                return rc;
            }
        }
        return -1;
    }

    // After `source` was merged into the item at `position`: the keys in
    // `added` are new to that item.
    int note_merged(PyObject* item, Py_ssize_t position, PyObject* added) noexcept {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(added); ++i) {
            PyObject* key = PyList_GET_ITEM(added, i);
            Ref value;
            const int present = Mapping(item).lookup(key, value);
            if (present < 0 || (present > 0 && add_entry(key, value.get(), position) < 0)) {
                return -1;
            }
        }
        return 0;
    }

  private:
    // What the index knows of one key: how many indexed mapping items have
    // it, and the positions of those items by the plain value they hold.
    struct Slot {
        Ref key;
        Py_ssize_t count;
        Ref by_value;  // value -> positions, once filed
        bool filed;
    };
    static constexpr Py_ssize_t absent = -1;
    static constexpr Py_ssize_t no_slot = -2;  // error set

    static Py_ssize_t check_candidate(PyObject* list, const Mapping& source,
                                      Py_ssize_t at) noexcept {
        if (at < 0 || at >= PyList_GET_SIZE(list)) {
            return PyErr_Occurred() ? -2 : -1;
        }
        Ref item = Ref::borrow(PyList_GET_ITEM(list, at));
        if (!PyDict_CheckExact(item.get())) {
            return -1;
        }
        const int same = equivalent(source, Mapping(item.get()));
        return same < 0 ? -2 : (same > 0 ? at : -1);
    }

    [[nodiscard]] Py_ssize_t slot_of(PyObject* key) const noexcept {
        PyObject* slot = PyDict_GetItemWithError(keys_.get(), key);
        if (slot == nullptr) {
            return PyErr_Occurred() ? no_slot : absent;
        }
        return PyLong_AsSsize_t(slot);
    }

    Py_ssize_t new_slot(PyObject* key) noexcept {
        Ref number = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(slots_.size())));
        Ref by_value = Ref::steal(PyDict_New());
        if (!number || !by_value) {
            return no_slot;
        }
        try {
            slots_.push_back(Slot{Ref::borrow(key), 0, std::move(by_value), false});
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return no_slot;
        }
        if (PyDict_SetItem(keys_.get(), key, number.get()) < 0) {
            slots_.pop_back();
            return no_slot;
        }
        return static_cast<Py_ssize_t>(slots_.size()) - 1;
    }

    // Counts `key` for the item at `position`, and files it under `value`
    // once the key's values are filed.
    int add_entry(PyObject* key, PyObject* value, Py_ssize_t position) noexcept {
        Py_ssize_t slot = slot_of(key);
        if (slot == absent) {
            slot = new_slot(key);
        }
        if (slot == no_slot) {
            return -1;
        }
        ++slots_[slot].count;
        return slots_[slot].filed ? file_value(slot, value, position) : 0;
    }

    [[nodiscard]] PyObject* key_of(Py_ssize_t slot) const noexcept {
        return slots_[slot].key.get();
    }

    // Files the values of every indexed item under the key of `slot`.
    int file_values(PyObject* list, PyObject* key, Py_ssize_t slot) noexcept {
        Ref held_key = Ref::borrow(key);
        slots_[slot].filed = true;
        for (Py_ssize_t at = 0; at < PyList_GET_SIZE(list); ++at) {
            PyObject* item = PyList_GET_ITEM(list, at);
            if (!PyDict_CheckExact(item)) {
                continue;
            }
            Ref value;
            const int present = Mapping(item).lookup(key, value);
            if (present < 0 || (present > 0 && file_value(slot, value.get(), at) < 0)) {
                return -1;
            }
        }
        return 0;
    }

    // Notes the item at `position` among those holding `value`, keeping
    // each list of positions ascending, as the scan meets them.
    int file_value(Py_ssize_t slot, PyObject* value, Py_ssize_t position) noexcept {
        if (!is_plain_scalar(value)) {
            return 0;
        }
        Ref number = Ref::steal(PyLong_FromSsize_t(position));
        if (!number) {
            return -1;
        }
        // Plain values: their == cannot touch the dict under SetDefault.
        PyObject* by_value = slots_[slot].by_value.get();
        PyObject* present = PyDict_SetDefault(by_value, value, number.get());
        if (present == nullptr) {
            return -1;
        }
        if (present == number.get()) {
            return 0;
        }
        if (PyList_CheckExact(present)) {
            Py_ssize_t at = PyList_GET_SIZE(present);
            while (at > 0 && PyLong_AsSsize_t(PyList_GET_ITEM(present, at - 1)) > position) {
                --at;
            }
            return PyList_Insert(present, at, number.get());
        }
        Ref earlier = Ref::borrow(present);
        Ref pair = Ref::steal(PyList_New(2));
        if (!pair) {
            return -1;
        }
        const bool swap = PyLong_AsSsize_t(earlier.get()) > position;
        PyList_SET_ITEM(pair.get(), 0, Py_NewRef(swap ? number.get() : earlier.get()));
        PyList_SET_ITEM(pair.get(), 1, Py_NewRef(swap ? earlier.get() : number.get()));
        return PyDict_SetItem(by_value, value, pair.get());
    }

    Ref keys_;                 // key -> its slot's number
    std::vector<Slot> slots_;  // by number
    Ref scalars_;              // the plain scalar items
    Py_ssize_t mappings_ = 0;
    bool mappings_ok_ = true;
    bool scalars_ok_ = true;
};

// The items of one source sequence merged into one destination list, in
// order, each as `merge_list_item(item, list, merge_list_items)`.
class ItemBatch {
  public:
    // `count` items are to come.
    ItemBatch(PyObject* globals, PyObject* list, PyObject* merge_list_items,
              Py_ssize_t count) noexcept
        : globals_(globals),
          list_(list),
          merge_list_items_(merge_list_items),
          // A flag whose truth runs no code; the index is for item merging,
          // and for batches where scanning would cost more than indexing.
          indexable_(PyList_CheckExact(list) && merge_list_items == Py_True &&
                     worth_indexing(PyList_GET_SIZE(list), count)) {}

    int merge(PyObject* item) noexcept {
        Ref callee = global_lookup(globals_, names::merge_list_item);
        if (!callee) {
            return -1;
        }
        if (indexable_ && function_spec(callee.get()) == &merge_list_item_spec) {
            const int done = merge_indexed(item);
            if (done != 0) {
                return done < 0 ? -1 : 0;
            }
        }
        // The ordinary way may run any code: the index no longer holds.
        index_.drop();
        PyObject* args[] = {item, list_, merge_list_items_};
        return call_function(callee.get(), args, 3) ? 0 : -1;
    }

  private:
    // The scan compares each item with every item before it, those it
    // appends included; the index touches each item a few times.
    static bool worth_indexing(Py_ssize_t size, Py_ssize_t count) noexcept {
        constexpr Py_ssize_t index_cost = 8;
        return count * (size + count / 2) > index_cost * (size + count);
    }

    // Rebuilding after every item would cost what the scan costs; after a
    // few drops the batch keeps to the ordinary way.
    static constexpr int max_builds = 4;
    // Nodes checked before a nested merge may keep the index: enough for
    // items with a few small lists or mappings, small beside the scans
    // the index saves.
    static constexpr int plain_tree_budget = 256;

    // 1 merged, 0 not for the index, -1 on error.
    int merge_indexed(PyObject* item) noexcept {
        // The same depth accounting as merge_list_item's own.
        const RecursionGuard guard(recursion_where);
        if (!guard.ok()) {
            return -1;
        }
        CollectorPause pause;
        bool nested = false;
        const bool scalar = is_plain_scalar(item);
        if (!scalar && !is_plain_mapping(item, nested)) {
            return 0;
        }
        if (!index_.built()) {
            if (builds_ == max_builds) {
                indexable_ = false;
                return 0;
            }
            ++builds_;
            if (index_.build(list_) < 0) {
                return -1;
            }
        }
        if (scalar) {
            if (!index_.scalars_usable()) {
                return 0;
            }
            const int present = index_.contains_scalar(item);
            if (present != 0) {
                return present;
            }
            return append(item);
        }
        if (!index_.mappings_usable()) {
            return 0;
        }
        const Py_ssize_t at = index_.find_equivalent(list_, item);
        if (at == -2) {
            return -1;
        }
        if (at == -1) {
            return append(item);
        }
        return merge_into(item, PyList_GET_ITEM(list_, at), at, nested, pause);
    }

    int append(PyObject* item) noexcept {
        if (PyList_Append(list_, item) < 0) {
            return -1;
        }
        return index_.add(item, PyList_GET_SIZE(list_) - 1) < 0 ? -1 : 1;
    }

    int merge_into(PyObject* item, PyObject* target, Py_ssize_t at, bool nested,
                   CollectorPause& pause) noexcept {
        Ref hold = Ref::borrow(target);
        Ref added = Ref::steal(PyList_New(0));
        if (!added) {
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(item, &pos, &key, &value)) {
            const int present = PyDict_Contains(target, key);
            if (present < 0 || (present == 0 && PyList_Append(added.get(), key) < 0)) {
                return -1;
            }
        }
        Ref merge = global_lookup(globals_, names::merge_dict);
        if (!merge) {
            return -1;
        }
        // A rebound merge_dict, or nested values that are not plain, can run
        // code that changes the list or its items.
        bool keeps_index = function_spec(merge.get()) == &merge_dict_spec;
        if (keeps_index && nested) {
            Ref item_merge = global_lookup(globals_, names::merge_list_item);
            if (!item_merge) {
                return -1;
            }
            int budget = plain_tree_budget;
            keeps_index = function_spec(item_merge.get()) == &merge_list_item_spec &&
                          is_plain_tree(item, budget) && is_plain_tree(target, budget);
        }
        if (!keeps_index) {
            pause.resume();  // that code runs as it would anywhere else
        }
        PyObject* args[] = {item, target, merge_list_items_};
        if (!call_function(merge.get(), args, 3)) {
            index_.drop();
            return -1;
        }
        if (!keeps_index) {
            index_.drop();
            return 1;
        }
        return index_.note_merged(target, at, added.get()) < 0 ? -1 : 1;
    }

    PyObject* globals_;
    PyObject* list_;
    PyObject* merge_list_items_;
    bool indexable_;
    int builds_ = 0;
    ItemIndex index_;
};

int merge_entry(PyObject* globals, const Mapping& destination, PyObject* key, PyObject* value,
                PyObject* merge_list_items) noexcept {
    if (is_mapping(value)) {
        Ref node = destination.setdefault_mapping(key);
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
        ItemBatch batch(globals, existing.get(), merge_list_items, PyList_GET_SIZE(items.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
            if (batch.merge(item.get()) < 0) {
                return -1;
            }
        }
        return 0;
    }
    return destination.set(key, value);
}

// A plain dict merged into an empty plain dict, with no mapping among its
// values, ends as `destination.update(source)` would: every key new, every
// value stored as it is, in source order.  The update copies the source's
// table instead of inserting key by key; with plain keys, whose hashing
// runs no code, nothing else can tell the two apart.
bool merges_as_update(PyObject* source, PyObject* destination) noexcept {
    if (!PyDict_CheckExact(source) || !PyDict_CheckExact(destination) ||
        PyDict_GET_SIZE(destination) != 0 || source == destination) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(source, &pos, &key, &value)) {
        if (is_mapping(value) || !is_plain_scalar(key)) {
            return false;
        }
    }
    return true;
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
    if (non_empty > 0 && merges_as_update(source.get(), destination.get())) {
        return PyDict_Update(destination.get(), source.get()) < 0 ? nullptr
                                                                  : Py_NewRef(destination.get());
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
