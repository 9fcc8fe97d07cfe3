"""Hostile inputs never crash the interpreter.

Every case runs in a forked child, so that a crash shows as the signal that
killed it instead of taking the whole run down.  Each must end in the
described result or in a Python exception, and leave in the destination
only what the merge rules put there.
"""

import codecs
import gc
import locale
import math
import os
import pickle
import select
import signal
import time
import types
import weakref

import pytest
from ruamel.yaml import YAML

import tolvek_yaml
from tolvek_yaml import load_yaml_files, merge_dict, merge_list_item

CHANGED_SIZE = "dictionary changed size during iteration"
TOO_DEEP = "maximum recursion depth exceeded while merging"
DEEP = 100_000  # levels: far beyond the recursion limit
NAN = float("nan")


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("boom")


class Anything:
    """Equal to any exception message (where only the type is fixed)."""

    def __eq__(self, other):
        return True

    def __repr__(self):
        return "<any message>"


class StartsWith(str):
    def __eq__(self, other):
        return isinstance(other, str) and other.startswith(self)

    __hash__ = str.__hash__


ANY = Anything()
# where comparisons run at each level too, either guard may trip first
RECURSION = StartsWith("maximum recursion depth exceeded")


def returned(value=None):
    return ("returned", value)


def raised(exc_type, message=ANY):
    return ("raised", exc_type.__name__, message)


def outcome(call):
    """("returned", value) or ("raised", type name, message) of call()."""
    try:
        return ("returned", call())
    except BaseException as exc:  # noqa: B036  (KeyboardInterrupt included)
        return ("raised", type(exc).__name__, str(exc))


def in_child(function, timeout=60):
    """Runs function() in a forked child and returns outcome(function), sent
    back pickled.  A child killed by a signal, or still running after
    `timeout` seconds, fails the test."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never back into pytest
        status = 0
        try:
            os.close(read_end)
            result = outcome(function)
            try:
                data = pickle.dumps(result)
            except Exception as exc:
                data = pickle.dumps(("unpicklable", result[0], repr(exc)))
            with os.fdopen(write_end, "wb") as pipe:
                pipe.write(data)
        except BaseException:
            status = 70
        finally:
            os._exit(status)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + timeout
    with os.fdopen(read_end, "rb") as pipe:
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([pipe], [], [], left)[0]:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                pytest.fail(f"the child still ran after {timeout} s")
            chunk = os.read(pipe.fileno(), 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        pytest.fail(f"the child died by {signal.Signals(os.WTERMSIG(status)).name}")
    assert os.WEXITSTATUS(status) == 0, "the child could not report its outcome"
    return pickle.loads(b"".join(chunks))


class Hook:
    """A scalar whose ==, hash, truth test or membership test (those named
    in `on`) runs `action` once, the first time while armed, and answers
    `answer`.  It hashes like `hash_as` when given, so that it meets that key
    in a dict."""

    def __init__(self, action, answer=True, hash_as=None, armed=True,
                 on=("eq", "hash", "bool", "contains")):
        self.action, self.answer, self.hash_as = action, answer, hash_as
        self.armed, self.on = armed, on

    def fire(self, operation):
        if self.armed and operation in self.on:
            self.armed = False
            self.action()

    def __eq__(self, other):
        self.fire("eq")
        return self.answer

    def __hash__(self):
        if self.hash_as is None:
            return id(self) >> 4
        self.fire("hash")
        return hash(self.hash_as)

    def __bool__(self):
        self.fire("bool")
        return self.answer

    def __contains__(self, item):
        self.fire("contains")
        return self.answer


def odd_dict(data=(), **methods):
    """A dict subclass instance with the given methods overridden."""
    return type("OddDict", (dict,), methods)(data)


def odd_list(data=(), **methods):
    return type("OddList", (list,), methods)(data)


def plain(tree):
    """The tree as plain dicts and lists (picklable, comparable)."""
    if isinstance(tree, dict):
        return {key: plain(value) for key, value in dict.items(tree)}
    if isinstance(tree, list):
        return [plain(item) for item in list.__iter__(tree)]
    return tree


def load_yaml(text):
    yaml = YAML()
    yaml.preserve_quotes = True
    return yaml.load(text)


def register(table, expected, state=None):
    """Adds the decorated case (run in a child; it returns the outcome of the
    hostile call and the state left behind) to `table`."""

    def add(case):
        table.append(pytest.param(case, (expected, state), id=case.__name__))
        return case

    return add


# ---- containers changed by the very comparisons that scan them -----------------

SCANS = []


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), [{"name": "x"}])
def source_item_value_clears_the_source_item():
    item = {"name": Hook(lambda: item.clear())}
    destination = [{"name": "x"}]
    return outcome(lambda: merge_list_item(item, destination)), destination


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), (1, 1, True))
def destination_item_value_clears_the_source_item():
    item = {"name": "x"}
    destination = [{"name": Hook(lambda: item.clear())}]
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (len(destination), len(destination[0]), item == {})


@register(SCANS, returned(), (1, True, True))
def source_item_value_clears_the_destination_item():
    # the emptied item still answers: equal on the one shared key
    first = {"name": "x"}
    item = {"name": Hook(lambda: first.clear())}
    destination = [first]
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (len(destination), destination[0] is first, first["name"] is item["name"])


@register(SCANS, returned(), ([], 2))
def source_item_value_drops_the_destination_item_from_the_list():
    # the item being compared loses its last reference outside the merge,
    # which then merges into it and appends nothing
    item = {"name": Hook(lambda: destination.clear()), "port": 1}
    destination = [{"name": "x"}]
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (destination, len(item))


@register(SCANS, returned(), (1, True))
def destination_item_value_clears_the_destination_list():
    item = {"name": "x"}
    destination = [{"name": Hook(lambda: destination.clear(), answer=False)}, {"name": "x"}]
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (len(destination), destination[0] is item)


@register(SCANS, returned(), (2, {}, True))
def key_hash_clears_the_destination_item_being_looked_up():
    key = Hook(lambda: destination[0].clear(), hash_as="name", armed=False)
    item = {key: 1}
    destination = [{"name": 1}]
    key.armed = True
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (len(destination), destination[0], destination[1] is item)


@register(SCANS, returned(), (2, {}, True))
def key_eq_clears_the_destination_item_being_looked_up():
    key = Hook(lambda: destination[0].clear(), hash_as="name", on=("eq",))
    item = {key: 1}
    destination = [{"name": 1}]
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (len(destination), destination[0], destination[1] is item)


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), [{"name": 1}])
def key_hash_clears_the_source_item_being_walked():
    key = Hook(lambda: item.clear(), hash_as="name", armed=False)
    item = {key: 1}
    destination = [{"name": 1}]
    key.armed = True
    return outcome(lambda: merge_list_item(item, destination)), destination


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), [{"name": "x"}])
def destination_item_membership_clears_the_source_item():
    item = {"name": "x"}
    fired = []

    def contains(self, key):
        if not fired:
            fired.append(item.clear())
        return dict.__contains__(self, key)

    destination = [odd_dict({"name": "x"}, __contains__=contains)]
    return outcome(lambda: merge_list_item(item, destination)), plain(destination)


@register(SCANS, raised(KeyError, "'name'"), [{}])
def destination_item_membership_empties_itself_and_says_yes():
    def contains(self, key):
        self.clear()
        return True

    destination = [odd_dict({"name": "x"}, __contains__=contains)]
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SCANS, returned(), (1, True))
def item_merging_flag_clears_the_destination_when_tested():
    item = {"name": "x"}
    destination = [{"name": "x"}]
    result = outcome(lambda: merge_list_item(item, destination, Hook(destination.clear)))
    return result, (len(destination), destination[0] is item)


@register(SCANS, returned(), (2, True, {}))
def item_merging_flag_clears_the_source_item_when_tested():
    item = {"name": "x"}
    destination = [{"name": "x"}]
    result = outcome(lambda: merge_list_item(item, destination, Hook(item.clear)))
    return result, (len(destination), destination[1] is item, item)


@register(SCANS, returned(), (1, True))
def scalar_item_eq_clears_the_destination_during_the_membership_test():
    item = Hook(lambda: destination.clear(), answer=False)
    destination = ["a", "b"]
    result = outcome(lambda: merge_list_item(item, destination))
    return result, (len(destination), destination[0] is item)


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), (2, "1", True))
def key_hash_clears_the_source_mapping_being_walked():
    key = Hook(lambda: source.clear(), hash_as="k", armed=False)
    source = {"a": "1", key: "2"}
    destination = {}
    key.armed = True
    result = outcome(lambda: merge_dict(source, destination))
    # what was assigned before the failure stays
    return result, (len(destination), destination["a"], source == {})


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), (["a", "k", "pre"], False))
def key_hash_grows_the_source_mapping_being_walked():
    key = Hook(lambda: source.update(new="3"), hash_as="k", armed=False)
    source = {"a": "1", key: "2"}
    destination = {"pre": 0}
    key.armed = True
    result = outcome(lambda: merge_dict(source, destination))
    return result, (sorted(str(k) if k is not key else "k" for k in destination),
                    "new" in destination)


@register(SCANS, raised(RuntimeError, CHANGED_SIZE), (True, {"a": {"b": 1}, "b": 1}))
def source_grows_through_the_destination_that_holds_it():
    source = {"a": {"b": 1}}
    destination = {"a": source}
    result = outcome(lambda: merge_dict(source, destination))
    return result, (destination["a"] is source, source)


@register(SCANS, raised(RuntimeError), (True, {"a": {"b": 1}, "z": 0, "b": 1}))
def yaml_source_grows_through_the_destination_that_holds_it():
    # the reader's mapping reports the change when its walk goes on
    source = load_yaml("a: {b: 1}\nz: 0\n")
    destination = {"a": source}
    result = outcome(lambda: merge_dict(source, destination))
    return result, (destination["a"] is source, plain(source))


@register(SCANS, returned(True), ([{"x": 1}], False))
def setdefault_key_hash_clears_the_destination():
    key = Hook(lambda: destination.clear(), hash_as="k", armed=False)
    source = {key: {"x": 1}}
    destination = {"old": 0}
    key.armed = True
    result = outcome(lambda: merge_dict(source, destination) is destination)
    return result, (list(destination.values()), "old" in destination)


@register(SCANS, returned(True), [{"z": 3}, {"x": 1}])
def setdefault_key_eq_replaces_the_destination_entries():
    def replace():
        destination.clear()
        destination["other"] = {"z": 3}

    key = Hook(replace, hash_as="name", on=("eq",))
    source = {key: {"x": 1}}
    destination = {"name": {"y": 2}}
    result = outcome(lambda: merge_dict(source, destination) is destination)
    return result, list(destination.values())


@register(SCANS, returned(True), ({"k": {}}, True))
def setdefault_replaces_the_node_it_hands_back():
    # the node handed back is held by the merge alone
    def setdefault(self, key, default):
        node = dict.__getitem__(self, key)
        dict.__setitem__(self, key, {})
        return node

    node = odd_dict({"y": 2})
    gone = weakref.ref(node)
    destination = odd_dict({"k": node}, setdefault=setdefault)
    del node
    result = outcome(lambda: merge_dict({"k": {"x": 1}}, destination) is destination)
    return result, (plain(destination), gone() is None)


@register(SCANS, returned(True), (["z", "b", "c"], True, []))
def scalar_item_eq_clears_the_source_sequence_being_walked():
    # the walk goes over a snapshot of the source sequence
    first = Hook(lambda: source["k"].clear(), answer=False)
    source = {"k": [first, "b", "c"]}
    destination = {"k": ["z"]}
    result = outcome(lambda: merge_dict(source, destination) is destination)
    listed = destination["k"]
    return result, ([listed[0]] + listed[2:], listed[1] is first, source["k"])


@pytest.mark.parametrize("case, expected", SCANS)
def test_containers_changed_during_a_scan(case, expected):
    assert in_child(case) == returned(expected)


class Finalizer:
    """Cyclic garbage: only the collector frees it, whenever some allocation
    triggers a collection.  Its finalizer calls `action` at the `at`-th run
    and leaves a fresh one behind for the next collection, until `stop`."""

    def __init__(self, state):
        self.state, self.cycle = state, self

    def __del__(self):
        state = self.state
        if state["stop"]:
            return
        state["runs"] += 1
        if state["runs"] == state["at"]:
            state["action"]()
        Finalizer(state)


@pytest.mark.parametrize(
    "clear",
    [list.clear, lambda items: [item.clear() for item in items]],
    ids=["the_list", "its_items"],
)
def test_a_finalizer_run_by_the_collector_clears_the_destination_mid_merge(clear):
    # any allocation inside the merge may run such code; sweep where it hits
    def case():
        outcomes = []
        saved = gc.get_threshold()
        for at in range(1, 41):
            items = [{"id": str(i) * 3, f"name{i}": f"v{i}"} for i in range(20)]
            destination = {"k": items}
            source = {"k": [{"id": str(i) * 3, "x": "y"} for i in range(20)]}
            state = {"runs": 0, "at": at, "stop": False, "action": lambda: clear(items)}
            Finalizer(state)
            gc.set_threshold(1)
            try:
                outcomes.append(outcome(lambda: merge_dict(source, destination) is destination))
            finally:
                gc.set_threshold(*saved)
                state["stop"] = True
                gc.collect()
        return outcomes

    assert in_child(case) == returned([returned(True)] * 40)


# Enough items after the first few that the list is indexed.
PADDING = [{"p": i} for i in range(30)]


def test_a_replaced_value_whose_finalizer_clears_the_list_is_seen_by_later_items():
    # merging {"a": 1, "b": 3} replaces the I(1) of the second item; its
    # finalizer empties the list before the scalar 5 is looked for
    def case():
        items = [{"a": 1, "b": 2}]

        class I(int):
            def __del__(self):
                items.clear()

        items += [{"a": I(1)}, 5]
        destination = {"k": items}
        merge_dict({"k": [{"a": 1, "b": 3}, 5, {"q": 1}, *PADDING]}, destination)
        return destination

    assert in_child(case) == returned({"k": [5, {"q": 1}, *PADDING]})


def test_code_run_inside_an_items_nested_merge_that_changes_the_list_is_seen_by_later_items():
    # the first item's tags hold a value whose == puts a copy of s5 at the
    # front: s5 from the source then merges into that copy, the first
    # equivalent item, and the old s5 stays as it was
    def case():
        items = [{"name": f"s{i}", "port": i} for i in range(40)]

        class Inserting:
            __hash__ = None

            def __eq__(self, other):
                items.insert(0, {"name": "s5", "port": 5})
                return False

        items[0]["tags"] = [Inserting()]
        later = [{"name": f"s{i}", "port": i, "seen": True} for i in range(1, 40)]
        merge_dict({"k": [{"name": "s0", "tags": ["t"]}, *later]}, {"k": items})
        return items[0], items[6], len(items)

    assert in_child(case) == returned(({"name": "s5", "port": 5, "seen": True}, {"name": "s5", "port": 5}, 41))


def test_a_collector_callback_that_changes_the_source_item_during_the_merge():
    # the hook adds a key whose hash clears the very item being merged
    def case():
        outcomes = []
        for armed_at in range(1, 6):
            item = {}
            state = {"armed": armed_at, "hashes": 0}

            class Key:
                def __hash__(self):
                    state["hashes"] += 1
                    if state["hashes"] == 2:
                        item.clear()
                    return 12345

            def hook(phase, info):
                if phase == "start" and state["armed"]:
                    state["armed"] -= 1
                    if state["armed"] == 0:
                        item[Key()] = 1

            gc.callbacks.append(hook)
            saved = gc.get_threshold()
            gc.collect()
            gc.set_threshold(1)
            try:
                outcomes.append(outcome(lambda: merge_dict({"k": [item]}, {"k": []}) is not None))
            finally:
                gc.set_threshold(*saved)
                gc.callbacks.remove(hook)
        return outcomes

    assert in_child(case) == returned([returned(True)] * 5)


def test_a_plain_source_whose_keys_change_during_the_walk():
    def case():
        source = {}
        armed = []

        class Key(str):
            def __hash__(self):
                if armed and "b" in source:
                    del source["b"]
                    source["c"] = 3
                return str.__hash__(self)

            __eq__ = str.__eq__

        source["b"] = 2
        source[Key("a")] = 1
        destination = {}
        armed.append(True)
        result = outcome(lambda: merge_dict(source, destination))
        return result, sorted((str(key), value) for key, value in destination.items())

    assert in_child(case) == returned(
        (raised(RuntimeError, "dictionary keys changed during iteration"), [("a", 1), ("b", 2)])
    )


# ---- container subtypes whose own operations misbehave --------------------------

SUBTYPES = []


class RaisingIter:
    __iter__ = boom


def source_with_items(items, data=(("a", 1),)):
    return odd_dict(data, items=items)


def wrong_type(parameter, expected, got):
    return f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


ITEMS_CASES = [
    ("non_pairs", lambda self: [1], raised(TypeError, "cannot unpack non-iterable int object"), {}),
    ("triples", lambda self: [("a", 1, 2)],
     raised(ValueError, "too many values to unpack (expected 2)"), {}),
    ("singles", lambda self: [("a",)],
     raised(ValueError, "not enough values to unpack (expected 2, got 1)"), {}),
    ("not_iterable", lambda self: 42, raised(TypeError, "'int' object is not iterable"), {}),
    ("none", lambda self: None, raised(TypeError, "'NoneType' object is not iterable"), {}),
    ("raising", boom, raised(Boom, "boom"), {}),
    ("failing_half_way", lambda self: (boom() if key == "b" else (key, 1) for key in "ab"),
     raised(Boom, "boom"), {"a": 1}),
    ("pair_failing_to_unpack", lambda self: [RaisingIter()], raised(Boom, "boom"), {}),
    ("unhashable_key", lambda self: [(["k"], 1)], raised(TypeError, "unhashable type: 'list'"), {}),
    ("lists_as_pairs", lambda self: [["a", 1], ["b", 2]], returned(True), {"a": 1, "b": 2}),
    ("not_callable", None, raised(TypeError, "'NoneType' object is not callable"), {}),
]


@pytest.mark.parametrize(
    "items, expected, state", [case[1:] for case in ITEMS_CASES], ids=[c[0] for c in ITEMS_CASES]
)
def test_a_source_whose_items_misbehave(items, expected, state):
    def case():
        destination = {}
        result = outcome(lambda: merge_dict(source_with_items(items), destination) is destination)
        return result, destination

    assert in_child(case) == returned((expected, state))


@register(SUBTYPES, raised(Boom, "boom"), {})
def source_truth_test_raises():
    destination = {}
    return outcome(lambda: merge_dict(odd_dict({"a": 1}, __len__=boom), destination)), destination


@register(SUBTYPES, raised(ValueError, "__len__() should return >= 0"), {})
def source_length_is_negative():
    destination = {}
    source = odd_dict({"a": 1}, __len__=lambda self: -1)
    return outcome(lambda: merge_dict(source, destination)), destination


@register(SUBTYPES, returned(True), {})
def source_that_calls_itself_empty_merges_nothing():
    destination = {}
    source = odd_dict({"a": 1}, __bool__=lambda self: False)
    return outcome(lambda: merge_dict(source, destination) is destination), destination


@register(SUBTYPES, raised(Boom, "boom"), [{"name": "x"}])
def destination_item_lookup_raises():
    destination = [odd_dict({"name": "x"}, __getitem__=boom)]
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, raised(KeyError, "'name'"), [{"name": "x"}])
def destination_item_lookup_misses_a_present_key():
    def getitem(self, key):
        raise KeyError(key)

    destination = [odd_dict({"name": "x"}, __getitem__=getitem)]
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), [{"name": "x"}])
def destination_item_membership_raises():
    destination = [odd_dict({"name": "x"}, __contains__=boom)]
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), [{"name": "x"}])
def destination_item_membership_answer_has_no_truth():
    destination = [odd_dict({"name": "x"}, __contains__=lambda self, key: Hook(boom))]
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, raised(TypeError, "cannot unpack non-iterable int object"), [{"name": "x"}])
def destination_item_items_yields_non_pairs():
    destination = [odd_dict({"name": "x"}, items=lambda self: [1])]
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, returned(True), True)
def setdefault_answering_none_stores_the_source_mapping():
    destination = odd_dict(setdefault=lambda self, key, default: None)
    source = {"k": {"x": 1}}
    result = outcome(lambda: merge_dict(source, destination) is destination)
    return result, dict.__getitem__(destination, "k") is source["k"]


@pytest.mark.parametrize("answer, got", [(5, "int"), ([], "list"), ("text", "str")])
def test_a_setdefault_answering_a_non_mapping(answer, got):
    def case():
        destination = odd_dict(setdefault=lambda self, key, default: answer)
        return outcome(lambda: merge_dict({"k": {"x": 1}}, destination)), plain(destination)

    expected = raised(TypeError, wrong_type("destination", "dict", got))
    assert in_child(case) == returned((expected, {}))


@register(SUBTYPES, raised(Boom, "boom"), {})
def setdefault_raises():
    destination = odd_dict(setdefault=boom)
    return outcome(lambda: merge_dict({"k": {"x": 1}}, destination)), plain(destination)


@register(SUBTYPES, returned(True), ({}, {"x": 1}))
def setdefault_answering_an_unstored_mapping():
    handed = {}
    destination = odd_dict(setdefault=lambda self, key, default: handed)
    result = outcome(lambda: merge_dict({"k": {"x": 1}}, destination) is destination)
    return result, (plain(destination), handed)


@register(SUBTYPES, raised(Boom, "boom"), {"a": 1})
def assignment_raises_part_way():
    def setitem(self, key, value):
        if key == "b":
            boom()
        dict.__setitem__(self, key, value)

    destination = odd_dict(__setitem__=setitem)
    result = outcome(lambda: merge_dict({"a": 1, "b": 2, "c": 3}, destination))
    return result, plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), {"k": [0]})
def destination_membership_raises_for_a_sequence_value():
    destination = odd_dict({"k": [0]}, __contains__=boom)
    return outcome(lambda: merge_dict({"k": [1]}, destination)), plain(destination)


@register(SUBTYPES, returned(True), {"k": [0]})
def destination_lookup_answering_a_non_sequence_drops_the_source_sequence():
    destination = odd_dict({"k": [0]}, __getitem__=lambda self, key: 5)
    result = outcome(lambda: merge_dict({"k": [1]}, destination) is destination)
    return result, plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), ["a"])
def append_raises():
    destination = odd_list(["a"], append=boom)
    return outcome(lambda: merge_list_item("x", destination)), plain(destination)


@register(SUBTYPES, returned(), ["a"])
def append_that_appends_nothing():
    destination = odd_list(["a"], append=lambda self, item: "ignored")
    return outcome(lambda: merge_list_item("x", destination)), plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), [{"name": "y"}])
def destination_sequence_iteration_raises():
    destination = odd_list([{"name": "y"}], __iter__=boom)
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, raised(TypeError, "iter() returned non-iterator of type 'int'"),
          [{"name": "y"}])
def destination_sequence_iteration_is_no_iterator():
    destination = odd_list([{"name": "y"}], __iter__=lambda self: 5)
    return outcome(lambda: merge_list_item({"name": "x"}, destination)), plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), ["a"])
def destination_sequence_membership_raises():
    destination = odd_list(["a"], __contains__=boom)
    return outcome(lambda: merge_list_item("x", destination)), plain(destination)


@register(SUBTYPES, raised(Boom, "boom"), {"k": [0]})
def source_sequence_iteration_raises():
    destination = {"k": [0]}
    source = {"k": odd_list([1], __iter__=boom)}
    return outcome(lambda: merge_dict(source, destination)), destination


@pytest.mark.parametrize("case, expected", SUBTYPES)
def test_container_subtypes_that_misbehave(case, expected):
    assert in_child(case) == returned(expected)


# ---- the flag's truth test raises ---------------------------------------------


@pytest.mark.parametrize(
    "call, expected, state",
    [
        (lambda dest, flag: merge_list_item({"name": "x"}, dest["k"], flag),
         raised(Boom, "boom"), {"k": [{"name": "x", "port": 1}]}),
        (lambda dest, flag: merge_dict({"k": [{"name": "x"}]}, dest, flag),
         raised(Boom, "boom"), {"k": [{"name": "x", "port": 1}]}),
        # only mapping items test the flag
        (lambda dest, flag: merge_dict({"k": ["s"]}, dest, flag) is dest,
         returned(True), {"k": [{"name": "x", "port": 1}, "s"]}),
    ],
    ids=["merge_list_item", "merge_dict", "scalar_items_do_not_test_it"],
)
def test_an_item_merging_flag_whose_truth_test_raises(call, expected, state):
    class Flag:
        __bool__ = boom

    def case():
        destination = {"k": [{"name": "x", "port": 1}]}
        return outcome(lambda: call(destination, Flag())), destination

    assert in_child(case) == returned((expected, state))


# ---- nesting beyond the recursion limit ----------------------------------------


def chain(depth, make):
    """make(make(...make(leaf)...)), `depth` levels, built without recursion."""
    tree = "leaf"
    for _ in range(depth):
        tree = make(tree)
    return tree


def nested_mappings(depth=DEEP):
    return chain(depth, lambda inner: {"k": inner})


def nested_items(depth=DEEP):
    # a sequence of mapping items, each equivalent to its counterpart
    return chain(depth, lambda inner: {"id": 1, "k": [inner] if isinstance(inner, dict) else []})


def nested_sequences(depth=DEEP):
    return chain(depth, lambda inner: [inner])


def nested_tuples(depth=DEEP):
    return chain(depth, lambda inner: (inner,))


def countdown(n):
    return 0 if n == 0 else countdown(n - 1)


DEPTHS = [
    ("mappings_into_empty", lambda: merge_dict(nested_mappings(), {}), TOO_DEEP),
    ("mappings_into_mappings", lambda: merge_dict(nested_mappings(), nested_mappings()), TOO_DEEP),
    ("sequences_of_mappings", lambda: merge_dict(nested_items(), nested_items()), RECURSION),
    ("mapping_item_into_a_sequence",
     lambda: merge_list_item(nested_items(), [nested_items()]), RECURSION),
    ("mappings_inside_sequences_inside_mappings",
     lambda: merge_dict({"s": [nested_items()]}, {"s": [nested_items()]}), RECURSION),
    ("sequences_in_sequences", lambda: merge_dict({"k": [nested_sequences()]},
                                                   {"k": [nested_sequences()]}),
     "maximum recursion depth exceeded in comparison"),
    ("tuple_values_of_mapping_items",
     lambda: merge_list_item({"id": nested_tuples()}, [{"id": nested_tuples()}]),
     "maximum recursion depth exceeded in comparison"),
    ("sequence_items_without_item_merging",
     lambda: merge_dict({"k": [nested_items()]}, {"k": [nested_items()]}, False),
     "maximum recursion depth exceeded in comparison"),
]


@pytest.mark.parametrize("merge, message", [d[1:] for d in DEPTHS], ids=[d[0] for d in DEPTHS])
def test_nesting_beyond_the_limit_raises_and_the_interpreter_goes_on(merge, message):
    def case():
        result = outcome(merge)
        # the same interpreter still merges, and still recurses in Python
        after = merge_dict({"a": {"b": [1], "c": {"d": 1}}}, {"a": {"b": [2]}})
        return result, after, countdown(500)

    expected = raised(RecursionError, message)
    assert in_child(case) == returned((expected, {"a": {"b": [2, 1], "c": {"d": 1}}}, 0))


def test_a_deep_destination_takes_a_shallow_source():
    def case():
        destination = nested_mappings()
        destination["s"] = nested_sequences()
        source = {"k": {"k": {"x": 1}}, "s": ["new"], "taken": [nested_mappings()]}
        result = outcome(lambda: merge_dict(source, destination) is destination)
        inner = destination["k"]["k"]
        return (result, sorted(inner), destination["s"][-1],
                destination["taken"] is source["taken"])

    assert in_child(case) == returned((returned(True), ["k", "x"], "new", True))


# ---- self-containing trees -----------------------------------------------------

SELF = []


def self_containing():
    tree = {"name": "x"}
    tree["self"] = tree
    return tree


@register(SELF, raised(RecursionError, TOO_DEEP), (True, 2))
def mapping_containing_itself_into_an_empty_one():
    tree = self_containing()
    return outcome(lambda: merge_dict(tree, {})), (tree["self"] is tree, len(tree))


@register(SELF, raised(RecursionError, TOO_DEEP), (True, 2))
def mapping_containing_itself_into_itself():
    tree = self_containing()
    return outcome(lambda: merge_dict(tree, tree)), (tree["self"] is tree, len(tree))


@register(SELF, raised(RecursionError, TOO_DEEP), None)
def source_containing_its_destination():
    destination = {}
    source = {"s": destination}
    return outcome(lambda: merge_dict(source, destination)), None


def looped_list():
    items = []
    items.append(items)
    return items


@pytest.mark.parametrize("merge_list_items", [True, False])
def test_a_sequence_containing_itself(merge_list_items):
    def case():
        looped, other = looped_list(), looped_list()
        into_new = {"k": []}
        merge_dict({"k": looped}, into_new, merge_list_items)
        into_itself = {"k": looped}
        merge_dict({"k": looped}, into_itself, merge_list_items)
        return (
            len(into_new["k"]) == 1 and into_new["k"][0] is looped,
            into_itself["k"] is looped and len(looped) == 1 and looped[0] is looped,
            # two such sequences can only be told apart by comparing forever
            outcome(lambda: merge_dict({"k": looped}, {"k": [other]}, merge_list_items)),
        )

    in_comparison = "maximum recursion depth exceeded in comparison"
    assert in_child(case) == returned((True, True, raised(RecursionError, in_comparison)))


@register(SELF, raised(RecursionError, RECURSION), None)
def mapping_item_whose_sequence_holds_it_merged_into_itself():
    item = {"n": 1}
    item["k"] = [item]
    return outcome(lambda: merge_dict({"k": item["k"]}, {"k": item["k"]})), None


@register(SELF, returned(True), (1, True))
def mapping_item_whose_sequence_holds_it_without_item_merging():
    item = {"n": 1}
    item["k"] = [item]
    destination = {"k": item["k"]}
    result = outcome(lambda: merge_dict({"k": item["k"]}, destination, False) is destination)
    return result, (len(item["k"]), item["k"][0] is item)


@register(SELF, returned(True), (2, True, True))
def mapping_item_without_scalars_merged_into_its_own_sequence():
    # the walk goes over a snapshot, so the appended item is not met again
    item = {}
    items = [item]
    destination = {"k": items}
    result = outcome(lambda: merge_dict({"k": items}, destination) is destination)
    return result, (len(items), items[0] is item, items[1] is item)


ROOT_ALIAS = "&top\nname: x\nme: *top\n"
ROOT_IN_SEQUENCE = "&top\nlist:\n- *top\n"
ROOT_IN_ITEM = "&top\nk:\n- n: 1\n  k: *top\n"


@register(SELF, raised(RecursionError, RECURSION), True)
def yaml_alias_to_the_root_mapping():
    tree = load_yaml(ROOT_ALIAS)
    return outcome(lambda: merge_dict(tree, {})), tree["me"] is tree


@register(SELF, raised(RecursionError, RECURSION), True)
def yaml_alias_to_the_root_merged_into_itself():
    tree = load_yaml(ROOT_ALIAS)
    return outcome(lambda: merge_dict(tree, tree)), tree["me"] is tree


@register(SELF, returned(True), (2, True, True))
def yaml_root_in_its_own_sequence_merged_into_itself():
    tree = load_yaml(ROOT_IN_SEQUENCE)
    listed = tree["list"]
    result = outcome(lambda: merge_dict(tree, tree) is tree)
    return result, (len(listed), listed[0] is tree, listed[1] is tree)


@register(SELF, raised(RecursionError, RECURSION), 1)
def yaml_root_in_an_item_merged_into_itself():
    tree = load_yaml(ROOT_IN_ITEM)
    return outcome(lambda: merge_dict(tree, tree)), len(tree["k"])


@register(SELF, returned(True), 1)
def yaml_root_in_an_item_merged_into_itself_without_item_merging():
    tree = load_yaml(ROOT_IN_ITEM)
    return outcome(lambda: merge_dict(tree, tree, False) is tree), len(tree["k"])


@pytest.mark.parametrize("case, expected", SELF)
def test_self_containing_trees(case, expected):
    assert in_child(case) == returned(expected)


@pytest.mark.parametrize(
    "text, twice, expected",
    [
        (ROOT_ALIAS, False, raised(RecursionError, RECURSION)),
        # the first load takes the sequence whole; the second walks it
        (ROOT_IN_ITEM, False, returned(True)),
        (ROOT_IN_ITEM, True, raised(RecursionError, RECURSION)),
        (ROOT_IN_SEQUENCE, True, returned(True)),
    ],
    ids=["alias_to_root", "root_in_item_once", "root_in_item_twice", "root_in_sequence_twice"],
)
def test_loading_a_self_containing_file(write, tmp_path, warnings_logged, text, twice, expected):
    path = write("tree/looped.yaml", text)
    write("tree/other.yaml", "other: 1\n")

    def case():
        named = outcome(lambda: isinstance(load_yaml_files([path] * (1 + twice)), dict))
        walked = load_yaml_files([str(tmp_path / "tree")] * (1 + twice))
        return named, walked["other"], warnings_logged

    failed = expected[0] == "raised"
    logged = ["Could not load file: looped.yaml"] * failed
    assert in_child(case) == returned((expected, 1, logged))


# ---- keys that are not strings -------------------------------------------------


def test_keys_that_are_not_strings_merge_like_any_key():
    def case():
        source = {1: "a", (1, 2): {"x": 1}, None: [1], frozenset({1}): "d", 1.5: "e", 2.0: "f"}
        destination = {1: "z", (1, 2): {"y": 2}, None: [2], 1.5: None, 2: {"old": 1}}
        merge_dict(source, destination)
        return destination, [type(key).__name__ for key in destination]

    assert in_child(case) == returned((
        {1: "a", (1, 2): {"y": 2, "x": 1}, None: [2, 1], 1.5: "e", 2: "f", frozenset({1}): "d"},
        ["int", "tuple", "NoneType", "float", "int", "frozenset"],
    ))


def test_nan_keys_match_only_themselves():
    def case():
        other_nan = float("nan")
        same = merge_dict({NAN: "new"}, {NAN: "old"})
        different = merge_dict({other_nan: "new"}, {NAN: "old"})
        return [(math.isnan(k), v) for k, v in same.items()], sorted(different.values())

    assert in_child(case) == returned(([(True, "new")], ["new", "old"]))


@pytest.mark.parametrize(
    "item, present, merge_list_items, items_after",
    [
        ({1: "a", None: "n"}, {1: "a", None: "n", (1, 2): "t", frozenset({3}): "f"}, True, 1),
        ({1.0: "a", (2,): "t"}, {True: "a", (2,): "t"}, True, 1),
        ({NAN: 1}, {NAN: 1}, True, 1),  # the same NaN object as key
        ({float("nan"): 1}, {NAN: 1}, True, 2),  # another NaN: a key of its own
        ({"v": NAN}, {"v": NAN}, True, 2),  # a NaN value equals nothing
        ({"v": NAN}, {"v": NAN}, False, 1),  # membership: the same object
        ({None: 1, 2: 2}, {None: 1, 2: 3}, True, 2),
    ],
    ids=["mixed", "equal_numbers", "same_nan_key", "other_nan_key", "nan_value", "nan_value_off",
         "unequal"],
)
def test_mapping_items_with_keys_that_are_not_strings(item, present, merge_list_items, items_after):
    def case():
        destination = {"k": [present]}
        merge_dict({"k": [item]}, destination, merge_list_items)
        listed = destination["k"]
        return len(listed), listed[0] is present, listed[-1] is item or len(listed) == 1

    assert in_child(case) == returned((items_after, True, True))


# ---- loading: files that change between the walk and the open ----------------


def vanish(path):
    os.remove(path)


def into_directory(path):
    os.remove(path)
    os.mkdir(path)


def into_fifo(path):
    os.remove(path)
    os.mkfifo(path)


def into_broken_link(path):
    os.remove(path)
    os.symlink(path + ".gone", path)


def lock(path):
    os.chmod(path, 0)


def no_such_file(path):
    return f"[Errno 2] No such file or directory: '{path}'"


AS_ROOT = pytest.mark.skipif(os.geteuid() == 0, reason="root opens files whatever their mode")
CHANGES = [
    pytest.param(vanish, FileNotFoundError, no_such_file, id="vanishes"),
    pytest.param(into_directory, IsADirectoryError, "[Errno 21] Is a directory: '{}'".format,
                 id="turns_into_a_directory"),
    pytest.param(into_broken_link, FileNotFoundError, no_such_file, id="turns_into_a_broken_link"),
    pytest.param(lock, PermissionError, "[Errno 13] Permission denied: '{}'".format,
                 id="loses_its_permissions", marks=AS_ROOT),
]


def stand_in_os(walk=os.walk, isfile=os.path.isfile, sep=os.sep):
    """An `os` for the module, with its walk and path tests replaced."""
    path = types.SimpleNamespace(isfile=isfile, sep=sep, join=os.path.join)
    return types.SimpleNamespace(walk=walk, path=path)


def walk_changing(change, name):
    """os.walk that applies `change` to the file `name` just before handing
    over the entry listing it."""

    def walk(top):
        for dirpath, dirnames, filenames in os.walk(top):
            if name in filenames:
                change(os.path.join(dirpath, name))
            yield dirpath, dirnames, filenames

    return walk


@pytest.fixture
def tree(write, tmp_path):
    write("tree/keep.yaml", "keep: 1\n")
    write("tree/victim.yaml", "victim: 1\n")
    return tmp_path / "tree"


@pytest.mark.parametrize("change, exc_type, message", CHANGES)
def test_a_walked_file_that_changes_before_the_open_is_logged(tree, warnings_logged, change,
                                                              exc_type, message):
    def case():
        tolvek_yaml.os = stand_in_os(walk=walk_changing(change, "victim.yaml"))
        return load_yaml_files([str(tree)]), warnings_logged

    assert in_child(case) == returned(({"keep": 1}, ["Could not load file: victim.yaml"]))


def test_a_walked_file_that_turns_into_a_pipe_is_passed_over(tree, warnings_logged):
    def case():
        tolvek_yaml.os = stand_in_os(walk=walk_changing(into_fifo, "victim.yaml"))
        return load_yaml_files([str(tree)]), warnings_logged

    assert in_child(case, timeout=30) == returned(({"keep": 1}, []))


@pytest.mark.parametrize("change, exc_type, message", CHANGES)
def test_a_named_file_that_changes_before_the_open_raises(tree, warnings_logged, change,
                                                          exc_type, message):
    victim = str(tree / "victim.yaml")

    def isfile(path):
        answer = os.path.isfile(path)
        if path == victim:
            change(path)
        return answer

    def case():
        tolvek_yaml.os = stand_in_os(isfile=isfile)
        return load_yaml_files([str(tree / "keep.yaml"), victim]), warnings_logged

    assert in_child(case) == raised(exc_type, message(victim))


def test_a_tree_removed_while_it_is_walked(tree, warnings_logged):
    def walk(top):
        for entry in os.walk(top):
            for name in entry[2]:
                os.remove(os.path.join(entry[0], name))
            yield entry

    def case():
        tolvek_yaml.os = stand_in_os(walk=walk)
        return load_yaml_files([str(tree)]), sorted(warnings_logged)

    logged = ["Could not load file: keep.yaml", "Could not load file: victim.yaml"]
    assert in_child(case) == returned(({}, logged))


@pytest.mark.parametrize(
    "change",
    [lambda path: os.rename(path, path + ".moved"),
     lambda path: (os.rename(path, path + ".moved"), open(path, "w").close())],
    ids=["vanishes", "turns_into_a_file"],
)
def test_a_named_directory_that_changes_before_the_walk(tree, warnings_logged, change):
    def isfile(path):
        answer = os.path.isfile(path)
        change(path)
        return answer

    def case():
        tolvek_yaml.os = stand_in_os(isfile=isfile)
        return load_yaml_files([str(tree)]), warnings_logged

    assert in_child(case) == returned(({}, []))


def test_paths_emptied_while_they_are_tested(tree):
    paths = [str(tree / "keep.yaml"), str(tree / "victim.yaml")]

    def isfile(path):
        paths.clear()
        return os.path.isfile(path)

    def case():
        tolvek_yaml.os = stand_in_os(isfile=isfile)
        return load_yaml_files(paths)

    assert in_child(case) == returned({"keep": 1})


def test_broken_links_named_and_walked(tmp_path, warnings_logged):
    (tmp_path / "tree").mkdir()
    link = tmp_path / "tree" / "dangling.yaml"
    link.symlink_to(tmp_path / "gone.yaml")

    def case():
        named = load_yaml_files([str(link)])
        return named, load_yaml_files([str(tmp_path / "tree")]), warnings_logged

    assert in_child(case) == returned(({}, {}, ["Could not load file: dangling.yaml"]))


# ---- loading: texts the reader cannot take -------------------------------------


def reader_outcome(data):
    """What reading `data` in the default encoding and parsing it by hand gives."""
    encoding = locale.getpreferredencoding(False)

    def parse():
        return dict(load_yaml(data.decode(encoding)))

    return outcome(parse)


UTF8_DEFAULT = codecs.lookup(locale.getpreferredencoding(False)).name == "utf-8"
TEXTS = {
    "invalid_utf8": pytest.param(
        b"a: \xff\xfe\n", marks=pytest.mark.skipif(not UTF8_DEFAULT, reason="needs UTF-8")
    ),
    "utf8_bom": b"\xef\xbb\xbfa: 1\n",
    "utf16_with_bom": "a: 1\n".encode("utf-16"),
    "bom_inside": b"a: 1\n\xef\xbb\xbfb: 2\n",
    "syntax_error": b"a: [1, 2\n",
    "bad_indentation": b"a:\n  b: 1\n c: 2\n",
    "two_documents": b"a: 1\n---\nb: 2\n",
    "document_end_then_more": b"a: 1\n...\nb: 2\n",
    "tab_indentation": b"a:\n\tb: 1\n",
    "control_character": b"a: \x01\n",
}


@pytest.mark.parametrize("data", TEXTS.values(), ids=TEXTS)
def test_texts_the_reader_may_refuse(tmp_path, warnings_logged, data):
    (tmp_path / "tree").mkdir()
    path = tmp_path / "tree" / "text.yaml"
    path.write_bytes(data)
    (tmp_path / "tree" / "other.yaml").write_text("other: 1\n")
    by_hand = reader_outcome(data)

    def case():
        named = outcome(lambda: load_yaml_files([str(path)]))
        return named, load_yaml_files([str(tmp_path / "tree")]), warnings_logged

    if by_hand[0] == "returned":
        expected = (by_hand, by_hand[1] | {"other": 1}, [])
    else:
        expected = (by_hand, {"other": 1}, ["Could not load file: text.yaml"])
    assert in_child(case) == returned(expected)


def test_a_utf8_byte_order_mark_is_read_past():
    assert reader_outcome(b"\xef\xbb\xbfa: 1\n") == returned({"a": 1})


# ---- loading: a walk that yields nonsense --------------------------------------


def walk_yielding(*entries):
    def walk(top):
        yield from entries

    return walk


def failing_files():
    yield "a.yaml"
    boom()


class BadFormat:
    __format__ = boom


WALKS = [
    ("not_a_tuple", [5], raised(TypeError, "cannot unpack non-iterable int object")),
    ("two_parts", [("d", [])],
     raised(ValueError, "not enough values to unpack (expected 3, got 2)")),
    ("four_parts", [("d", [], [], 4)],
     raised(ValueError, "too many values to unpack (expected 3)")),
    ("files_not_iterable", [("d", [], 5)], raised(TypeError, "'int' object is not iterable")),
    ("files_failing_half_way", [("{tree}", [], failing_files())], raised(Boom, "boom")),
    ("name_that_cannot_be_shown", [("{tree}", [], [BadFormat()])], raised(Boom, "boom")),
    ("int_name", [("{tree}", [], [5])], returned(({}, ["5"]))),
    ("none_name", [("{tree}", [], [None])], returned(({}, ["None"]))),
    ("bytes_name", [("{tree}", [], [b"keep.yaml"])], returned(({}, ["b'keep.yaml'"]))),
    ("int_directory", [(5, [], ["keep.yaml"])], returned(({}, ["keep.yaml"]))),
    ("nul_in_name", [("{tree}", [], ["keep\0.yaml", "keep.yaml"])],
     returned(({"keep": 1}, ["keep\0.yaml"]))),
    ("lone_surrogate_name", [("{tree}", [], ["\ud800.yaml", "keep.yaml"])],
     returned(({"keep": 1}, ["\ud800.yaml"]))),
]


@pytest.mark.parametrize("entries, expected", [w[1:] for w in WALKS], ids=[w[0] for w in WALKS])
def test_a_walk_yielding_malformed_entries(tree, warnings_logged, entries, expected):
    def fill(part):
        return str(tree) if part == "{tree}" else part

    def case():
        filled = [tuple(fill(p) for p in entry) if isinstance(entry, tuple) else entry
                  for entry in entries]
        tolvek_yaml.os = stand_in_os(walk=walk_yielding(*filled))
        result = load_yaml_files([str(tree)])
        return result, [m.removeprefix("Could not load file: ") for m in warnings_logged]

    assert in_child(case) == expected


@pytest.mark.parametrize(
    "walk, expected",
    [
        (lambda top: 5, raised(TypeError, "'int' object is not iterable")),
        (lambda top: boom(), raised(Boom, "boom")),
        (lambda top: iter([(top, [], ["keep.yaml"]), 7]),
         raised(TypeError, "cannot unpack non-iterable int object")),
    ],
    ids=["not_iterable", "raising", "failing_after_a_good_entry"],
)
def test_a_walk_that_is_no_walk(tree, walk, expected):
    def case():
        tolvek_yaml.os = stand_in_os(walk=walk)
        return load_yaml_files([str(tree)])

    assert in_child(case) == expected


@pytest.mark.parametrize("sep", [5, None, b"/", object()], ids=["int", "None", "bytes", "object"])
def test_a_separator_that_is_not_a_str(tree, warnings_logged, sep):
    def case():
        tolvek_yaml.os = stand_in_os(sep=sep)
        return load_yaml_files([str(tree)]), sorted(warnings_logged)

    logged = ["Could not load file: keep.yaml", "Could not load file: victim.yaml"]
    assert in_child(case) == returned(({}, logged))


def test_a_path_module_without_a_separator(tree, warnings_logged):
    def case():
        stand_in = stand_in_os()
        del stand_in.path.sep
        tolvek_yaml.os = stand_in
        return load_yaml_files([str(tree)]), sorted(warnings_logged)

    logged = ["Could not load file: keep.yaml", "Could not load file: victim.yaml"]
    assert in_child(case) == returned(({}, logged))
