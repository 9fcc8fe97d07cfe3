"""Recursive merge of data trees: merge_dict and merge_list_item.

The merge works in place, copies nothing and goes through each container's
own operations, so trees from the round-trip YAML reader (CommentedMap,
CommentedSeq, quoted-string scalars) keep their bookkeeping.
"""

import io
import sys
import threading
import textwrap

import pytest
from ruamel.yaml import YAML
from ruamel.yaml.comments import CommentedMap, CommentedSeq
from ruamel.yaml.scalarstring import DoubleQuotedScalarString, SingleQuotedScalarString

import tolvek_yaml
from tolvek_yaml import merge_dict, merge_list_item

ABSENT = object()  # marks a key the destination lacks
NAN = float("nan")


def fold(*trees, merge_list_items=True):
    """Merges the trees, in order, into a new empty mapping."""
    result = {}
    for tree in trees:
        merge_dict(tree, result, merge_list_items)
    return result


def load(text):
    yaml = YAML()
    yaml.preserve_quotes = True
    return yaml.load(textwrap.dedent(text))


def dump(tree):
    stream = io.StringIO()
    YAML().dump(tree, stream)
    return stream.getvalue()


def wrong_type(parameter, expected, got):
    return f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


class Boom(Exception):
    pass


class RaisingEq:
    """A scalar whose == fails."""

    def __eq__(self, other):
        raise Boom("no comparing")

    __hash__ = object.__hash__


class Untouchable:
    """A sequence item that fails on any membership test, lookup, walk or ==."""

    def _fail(self, *args):
        raise AssertionError("the item was touched")

    __contains__ = __getitem__ = __iter__ = __eq__ = items = _fail
    __hash__ = object.__hash__


# --- one key: kind of source value x kind of destination value -------------

OUTCOMES = [
    # source value, destination value, resulting value or TypeError, object held
    pytest.param({"x": 1}, ABSENT, {"x": 1}, "new", id="mapping-into-absent"),
    pytest.param({"x": 1}, {"y": 2}, {"y": 2, "x": 1}, "destination", id="mapping-into-mapping"),
    pytest.param({"x": 1}, [1], TypeError(wrong_type("destination", "dict", "list")), None,
                 id="mapping-into-sequence"),
    pytest.param({"x": 1}, None, {"x": 1}, "source", id="mapping-into-null"),
    pytest.param({"x": 1}, 5, TypeError(wrong_type("destination", "dict", "int")), None,
                 id="mapping-into-int"),
    pytest.param({"x": 1}, "s", TypeError(wrong_type("destination", "dict", "str")), None,
                 id="mapping-into-str"),
    pytest.param([1, 1], ABSENT, [1, 1], "source", id="sequence-into-absent"),
    pytest.param([1], {"y": 2}, {"y": 2}, "destination", id="sequence-into-mapping"),
    pytest.param([2, 3, 3], [1, 2], [1, 2, 3], "destination", id="sequence-into-sequence"),
    pytest.param([1], None, None, "destination", id="sequence-into-null"),
    pytest.param([1], 5, 5, "destination", id="sequence-into-scalar"),
    pytest.param("new", ABSENT, "new", "source", id="scalar-into-absent"),
    pytest.param("new", {"y": 2}, "new", "source", id="scalar-into-mapping"),
    pytest.param((1, 2), [1, 2], (1, 2), "source", id="tuple-into-sequence"),
    pytest.param(None, {"y": 2}, None, "source", id="null-into-mapping"),
    pytest.param(None, [1], None, "source", id="null-into-sequence"),
    pytest.param({1}, None, {1}, "source", id="set-into-null"),
    pytest.param(8080, 80, 8080, "source", id="scalar-into-scalar"),
]


@pytest.mark.parametrize("source_value, dest_value, expected, held", OUTCOMES)
def test_outcome_for_one_key(source_value, dest_value, expected, held):
    source = {"k": source_value}
    destination = {} if dest_value is ABSENT else {"k": dest_value}
    if isinstance(expected, TypeError):
        with pytest.raises(TypeError) as excinfo:
            merge_dict(source, destination)
        assert str(excinfo.value) == str(expected)
        assert destination == {"k": dest_value}
        return
    assert merge_dict(source, destination) is destination
    assert destination == {"k": expected}
    value = destination["k"]
    if held == "new":
        assert type(value) is dict and value is not source_value
    else:
        assert value is (source_value if held == "source" else dest_value)


def test_replaced_keys_keep_their_place_and_new_keys_follow_in_source_order():
    destination = {"a": 1, "b": {"x": 1}, "c": 3}
    source = {"z": 0, "b": None, "y": {"q": 1}, "a": "one", "x": 2}
    merge_dict(source, destination)
    assert list(destination.items()) == [
        ("a", "one"), ("b", None), ("c", 3), ("z", 0), ("y", {"q": 1}), ("x", 2)]


# --- sharing --------------------------------------------------------------------

def test_result_holds_the_sources_own_objects():
    big, text = 10**30, "".join(["sh", "ared"])
    first = {"tags": [1], "srv": [{"name": "a"}], "opt": None}
    second = {"n": big, "s": text, "tags": [2], "srv": [{"name": "b"}],
              "opt": {"on": True}, "new": ["x"]}
    result = fold(first, second)
    assert result["n"] is big and result["s"] is text
    assert result["new"] is second["new"]
    assert result["opt"] is second["opt"]
    assert result["tags"] is first["tags"] and first["tags"] == [1, 2]
    assert result["srv"][1] is second["srv"][0]
    assert second == {"n": big, "s": text, "tags": [2], "srv": [{"name": "b"}],
                      "opt": {"on": True}, "new": ["x"]}


def test_mappings_new_to_the_destination_are_plain_dicts():
    source = load("""\
        a:
          b:
            c: 1
        """)
    assert type(source["a"]) is CommentedMap
    result = fold(source, {"a": {"d": 2}})
    assert result == {"a": {"b": {"c": 1}, "d": 2}}
    assert type(result["a"]) is dict and type(result["a"]["b"]) is dict
    assert result["a"] is not source["a"] and result["a"]["b"] is not source["a"]["b"]


@pytest.mark.parametrize("empty", [{}, CommentedMap()], ids=["dict", "CommentedMap"])
def test_empty_source_returns_the_destination_unchanged(empty):
    destination = {"a": [1], "b": {"c": None}}
    assert merge_dict(empty, destination) is destination
    assert destination == {"a": [1], "b": {"c": None}}


# --- sequence items ---------------------------------------------------------------

@pytest.mark.parametrize("dest_items, source_items, expected", [
    pytest.param(["a", "b"], ["b", "c", "c", "d"], ["a", "b", "c", "d"], id="repeats-added-once"),
    pytest.param([1], [1.0, True], [1], id="1-1.0-true-equal"),
    pytest.param([True], [1, 1.0, 2], [True, 2], id="true-equals-1"),
    pytest.param([float("nan")], [float("nan")], [NAN, NAN], id="distinct-nans-unequal"),
    pytest.param([NAN], [NAN], [NAN], id="same-nan-object-present"),
    pytest.param([[1]], [[1], [2]], [[1], [2]], id="nested-sequences-by-equality"),
    pytest.param([{"a": 1}, "s"], ["s", "t"], [{"a": 1}, "s", "t"], id="scalars-in-mixed-list"),
])
def test_scalar_and_sequence_items_added_unless_present(dest_items, source_items, expected):
    result = fold({"l": dest_items}, {"l": source_items})
    assert result["l"] is dest_items
    assert repr(dest_items) == repr(expected)  # repr: tells 1 from True, and nan is never ==


EQUIVALENCE = [
    # destination items, source mapping item, resulting items, index merged into (None: appended)
    pytest.param([{"name": "x", "port": 1}], {"name": "x"}, [{"name": "x", "port": 1}], 0,
                 id="source-keys-all-in-destination"),
    pytest.param([{"name": "x"}], {"name": "x", "port": 2}, [{"name": "x", "port": 2}], 0,
                 id="destination-keys-all-in-source"),
    pytest.param([{"name": "x", "port": 1}], {"name": "x", "port": 2},
                 [{"name": "x", "port": 1}, {"name": "x", "port": 2}], None,
                 id="shared-key-unequal"),
    pytest.param([{"name": "x", "port": 1}], {"name": "x", "host": "h"},
                 [{"name": "x", "port": 1}, {"name": "x", "host": "h"}], None,
                 id="each-has-a-scalar-the-other-lacks"),
    pytest.param([{"a": 1}], {"b": 2}, [{"a": 1}, {"b": 2}], None, id="no-shared-key"),
    pytest.param([{"name": "x", "vlans": [1]}], {"name": "x", "vlans": [2]},
                 [{"name": "x", "vlans": [1, 2]}], 0, id="nested-sequences-merge"),
    pytest.param([{"name": "x", "opt": {"a": 1}}], {"name": "x", "opt": {"b": 2}},
                 [{"name": "x", "opt": {"a": 1, "b": 2}}], 0, id="nested-mappings-merge"),
    pytest.param([{"name": "x", "port": {"n": 1}}], {"name": "x", "port": 1},
                 [{"name": "x", "port": {"n": 1}}, {"name": "x", "port": 1}], None,
                 id="source-scalar-facing-mapping-unequal"),
    pytest.param([{"name": "x", "port": 1}], {"name": "x", "port": [1]},
                 [{"name": "x", "port": 1}, {"name": "x", "port": [1]}], None,
                 id="destination-scalar-facing-sequence-unequal"),
    pytest.param([{"id": 1, "a": 1}], {"id": True}, [{"id": True, "a": 1}], 0,
                 id="true-equals-1"),
    pytest.param([{"id": NAN}], {"id": NAN}, [{"id": NAN}, {"id": NAN}], None,
                 id="nan-never-equal"),
    pytest.param([{}], {}, [{}, {}], None, id="empty-items-never-equivalent"),
    pytest.param([{"members": ["a"]}], {"members": ["a"]},
                 [{"members": ["a"]}, {"members": ["a"]}], None,
                 id="items-without-scalar-entries-never-equivalent"),
    pytest.param([{"name": "x", "a": 1}, {"name": "x", "b": 2}], {"name": "x", "opt": {"z": 1}},
                 [{"name": "x", "a": 1, "opt": {"z": 1}}, {"name": "x", "b": 2}], 0,
                 id="first-equivalent-wins"),
    pytest.param(["a", {"name": "x"}], {"name": "x", "port": 1}, ["a", {"name": "x", "port": 1}], 1,
                 id="string-item-skipped"),
    pytest.param(["username", None, 5, ["name"], {"name": "x"}], {"name": "x", "p": 1},
                 ["username", None, 5, ["name"], {"name": "x", "p": 1}], 4,
                 id="non-mapping-items-skipped"),
    pytest.param(["a"], {"name": "x"}, ["a", {"name": "x"}], None, id="only-non-mappings"),
]


@pytest.mark.parametrize("dest_items, source_item, expected, merged_into", EQUIVALENCE)
def test_mapping_items_merge_into_the_first_equivalent_item(
        dest_items, source_item, expected, merged_into):
    destination = list(dest_items)
    assert merge_list_item(source_item, destination) is None
    assert destination == expected
    assert all(got is was for got, was in zip(destination, dest_items))
    if merged_into is None:
        assert destination[-1] is source_item
    else:
        assert len(destination) == len(dest_items)


def test_mended_mixed_list_accepts_later_mapping_items():
    result = fold({"vols": ["/data", {"name": "c", "size": 1}]},
                  {"vols": [{"name": "c", "size": 1}, {"name": "d"}, "/data"]})
    assert result == {"vols": ["/data", {"name": "c", "size": 1}, {"name": "d"}]}


def test_skipped_non_mapping_item_is_not_touched():
    skipped = Untouchable()
    destination = [skipped, {"name": "x"}]
    merge_list_item({"name": "x", "p": 1}, destination)
    merge_list_item({"name": "y"}, destination)
    assert destination[0] is skipped
    assert destination[1:] == [{"name": "x", "p": 1}, {"name": "y"}]


def test_without_item_merging_equal_items_are_skipped_and_others_appended():
    first = {"srv": [{"name": "x"}], "deep": {"srv": [{"name": "x"}]}}
    second = {"srv": [{"name": "x"}, {"name": "x", "port": 2}],
              "deep": {"srv": [{"name": "x", "port": 2}]}}
    result = fold(first, second, merge_list_items=False)
    assert result == {"srv": [{"name": "x"}, {"name": "x", "port": 2}],
                      "deep": {"srv": [{"name": "x"}, {"name": "x", "port": 2}]}}
    assert first["srv"][0] == {"name": "x"}
    assert result["deep"]["srv"][1] is second["deep"]["srv"][0]


# --- the same sequence object on both sides (mended) -----------------------------

@pytest.mark.parametrize("items, expected", [
    pytest.param([{"members": ["a"]}], [{"members": ["a"]}] * 2, id="item-without-scalars"),
    pytest.param(["a", {"name": "x"}, {}], ["a", {"name": "x"}, {}, {}], id="mixed"),
])
def test_tree_merged_into_itself_walks_a_snapshot_of_each_sequence(items, expected):
    tree = {"l": items}
    assert merge_dict(tree, tree) is tree
    assert tree == {"l": expected}
    assert tree["l"] is items and tree["l"][-1] is items[-2]


def test_same_source_merged_twice_ends():
    source = load("""\
        groups:
        - members: [a]
        """)
    result = fold(source, source)
    assert result["groups"] is source["groups"]
    assert result["groups"] == [{"members": ["a"]}, {"members": ["a"]}]
    assert result["groups"][0] is result["groups"][1]


# --- recursion bound (mended) ---------------------------------------------------

@pytest.fixture
def recursion_limit():
    saved = sys.getrecursionlimit()
    yield sys.setrecursionlimit
    sys.setrecursionlimit(saved)


def nested_mappings(depth):
    tree = {"leaf": 1}
    for _ in range(depth):
        tree = {"k": tree}
    return tree


def nested_items(depth):
    tree = {"id": 1}
    for _ in range(depth):
        tree = {"id": 1, "l": [tree]}
    return tree


def test_self_containing_tree_raises_recursion_error():
    tree = {}
    tree["x"] = tree
    with pytest.raises(RecursionError):
        merge_dict(tree, {})
    with pytest.raises(RecursionError):
        merge_dict(tree, tree)


@pytest.mark.parametrize("build", [nested_mappings, nested_items])
def test_nesting_deeper_than_the_recursion_limit_raises(recursion_limit, build):
    recursion_limit(300)
    with pytest.raises(RecursionError):
        merge_dict(build(1000), build(1000))
    # the depth count is unwound: a tree that fits still merges
    result = merge_dict(build(60), build(60))
    assert result == build(60)


@pytest.mark.parametrize("build", [nested_mappings, nested_items])
def test_a_raised_recursion_limit_does_not_exhaust_the_c_stack(recursion_limit, build):
    # the limit allows far more levels than a small thread stack holds
    recursion_limit(10**6)
    source, destination = build(100_000), build(100_000)
    outcome = []

    def merge():
        try:
            merge_dict(source, destination)
        except RecursionError as error:
            outcome.append(str(error))

    saved = threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=merge)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(saved)
    assert outcome == ["maximum recursion depth exceeded while merging"]


# --- subtypes ------------------------------------------------------------------

def test_yaml_trees_merge_through_their_own_containers():
    destination = load("""\
        # service settings
        name: web   # the service
        ports:
        - 80
        env:
          mode: prod
        """)
    source = load("""\
        ports: [443, 80]
        env:
          level: "debug"
        owner: 'ops'
        """)
    merge_dict(source, destination)
    assert type(destination["ports"]) is CommentedSeq
    assert list(destination) == ["name", "ports", "env", "owner"]
    assert dump(destination) == textwrap.dedent("""\
        # service settings
        name: web   # the service
        ports:
        - 80
        - 443
        env:
          mode: prod
          level: "debug"
        owner: 'ops'
        """)


def test_quoted_strings_keep_their_type_in_the_result():
    source = load("""\
        owner: 'ops'
        env:
          level: "debug"
        tags: ["a", b]
        """)
    result = fold({"tags": ["a"]}, source)
    assert type(result["owner"]) is SingleQuotedScalarString
    assert result["owner"] is source["owner"]
    assert type(result["env"]["level"]) is DoubleQuotedScalarString
    # a quoted "a" equals the plain "a" already present
    assert result["tags"] == ["a", "b"] and type(result["tags"][0]) is str


class RecordingDict(dict):
    def __init__(self, log, tag, *args):
        super().__init__(*args)
        self.log, self.tag = log, tag

    def setdefault(self, key, default=None):
        self.log.append((self.tag, "setdefault", key))
        return super().setdefault(key, default)

    def __setitem__(self, key, value):
        self.log.append((self.tag, "__setitem__", key))
        super().__setitem__(key, value)

    def __contains__(self, key):
        self.log.append((self.tag, "__contains__", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append((self.tag, "__getitem__", key))
        return super().__getitem__(key)

    def items(self):
        self.log.append((self.tag, "items"))
        return super().items()


class RecordingList(list):
    def __init__(self, log, tag, *args):
        super().__init__(*args)
        self.log, self.tag = log, tag

    def __contains__(self, item):
        self.log.append((self.tag, "__contains__", item))
        return super().__contains__(item)

    def append(self, item):
        self.log.append((self.tag, "append", item))
        super().append(item)


def test_subtypes_are_read_and_written_through_their_own_methods():
    log = []
    items = RecordingList(log, "list", [1, 3])
    source = RecordingDict(log, "src", {"m": {"x": 1}, "s": 5, "l": [2, 3]})
    destination = RecordingDict(log, "dst", {"l": items})
    merge_dict(source, destination)
    assert destination == {"l": [1, 3, 2], "m": {"x": 1}, "s": 5}
    lookup = ("dst", "__getitem__", "l")  # how often the sequence is fetched is free
    assert lookup in log
    assert [entry for entry in log if entry != lookup] == [
        ("src", "items"),
        ("dst", "setdefault", "m"),
        ("dst", "__setitem__", "s"),
        ("dst", "__contains__", "l"),
        ("list", "__contains__", 2),
        ("list", "append", 2),
        ("list", "__contains__", 3),
    ]


def test_subtype_items_are_compared_through_their_own_methods():
    log = []
    dest_item = RecordingDict(log, "dst", {"name": "x"})
    source_item = RecordingDict(log, "src", {"name": "x", "port": 1})
    destination = [dest_item]
    merge_list_item(source_item, destination)
    assert destination == [{"name": "x", "port": 1}] and destination[0] is dest_item
    assert {("src", "items"), ("dst", "__contains__", "name"), ("dst", "__contains__", "port"),
            ("dst", "items"), ("src", "__contains__", "name"),
            ("dst", "__setitem__", "port")} <= set(log)


# --- failures ------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    pytest.param(lambda: merge_dict(None, {}), wrong_type("source", "dict", "NoneType"),
                 id="source-null"),
    pytest.param(lambda: merge_dict([], {}), wrong_type("source", "dict", "list"),
                 id="source-list"),
    pytest.param(lambda: merge_dict({"a": 1}, CommentedSeq()),
                 wrong_type("destination", "dict", "CommentedSeq"), id="destination-seq"),
    pytest.param(lambda: merge_list_item(1, (1,)), wrong_type("destination", "list", "tuple"),
                 id="item-destination-tuple"),
    pytest.param(lambda: merge_list_item({}, {}), wrong_type("destination", "list", "dict"),
                 id="item-destination-dict"),
])
def test_refused_argument_types(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_mapping_meeting_a_yaml_sequence_names_its_type():
    earlier = load("a: [1]\n")
    with pytest.raises(TypeError) as excinfo:
        fold(earlier, {"a": {"x": 1}})
    assert str(excinfo.value) == wrong_type("destination", "dict", "CommentedSeq")


def test_type_error_inside_an_equivalent_item_propagates():
    destination = [{"name": "x", "opt": [1]}]
    with pytest.raises(TypeError) as excinfo:
        merge_list_item({"name": "x", "opt": {"a": 1}}, destination)
    assert str(excinfo.value) == wrong_type("destination", "dict", "list")


def test_nothing_is_rolled_back_after_a_failure():
    destination = {"a": 0, "l": [1], "srv": [{"name": "x"}], "bad": [0]}
    source = {"a": 1, "l": [2], "srv": [{"name": "x", "port": 8}], "new": {"deep": 1},
              "bad": {"x": 1}, "after": 3}
    with pytest.raises(TypeError):
        merge_dict(source, destination)
    assert list(destination.items()) == [
        ("a", 1), ("l", [1, 2]), ("srv", [{"name": "x", "port": 8}]), ("bad", [0]),
        ("new", {"deep": 1})]


def test_empty_mapping_stored_for_a_new_key_stays_after_a_failure():
    class FailingWalk(dict):
        def items(self):
            raise Boom("no walking")

    destination = {"a": 0}
    with pytest.raises(Boom):
        merge_dict({"a": 1, "new": FailingWalk(x=1)}, destination)
    assert destination == {"a": 1, "new": {}}


@pytest.mark.parametrize("source_item, dest_items", [
    pytest.param(RaisingEq(), [1], id="scalar-presence"),
    pytest.param({"id": 1}, [{"id": RaisingEq()}], id="source-entries-walk"),
    pytest.param({"id": 1, "v": [2]}, [{"id": 1, "v": RaisingEq()}], id="destination-entries-walk"),
    pytest.param({"id": 1, "v": 3}, [{"id": 2, "v": RaisingEq()}], id="walk-goes-on-after-a-mismatch"),
])
def test_error_from_a_values_own_eq_propagates_and_leaves_the_list(source_item, dest_items):
    destination = list(dest_items)
    with pytest.raises(Boom):
        merge_list_item(source_item, destination)
    assert len(destination) == len(dest_items)
    assert all(got is was for got, was in zip(destination, dest_items))


def test_plain_dict_source_changing_size_during_the_walk():
    source = {"k": {"z": 1}}
    destination = {"k": source}
    with pytest.raises(RuntimeError) as excinfo:
        merge_dict(source, destination)
    assert str(excinfo.value) == "dictionary changed size during iteration"
    assert source == {"k": {"z": 1}, "z": 1}


# --- nested calls go through the module attributes -------------------------------

class Flag:
    """A truthy merge_list_items value, to follow the very object through."""

    def __bool__(self):
        return True


def test_nested_calls_look_up_the_module_functions_at_each_call(monkeypatch):
    calls = []
    for name in ("merge_dict", "merge_list_item"):
        def wrapper(*args, _name=name, _original=getattr(tolvek_yaml, name), **kwargs):
            calls.append((_name, args, kwargs))
            return _original(*args, **kwargs)
        monkeypatch.setattr(tolvek_yaml, name, wrapper)

    flag = Flag()
    item = {"name": "x", "m": {"q": 1}}
    source = {"a": {"l": [item, "b"]}}
    dest_item = {"name": "x"}
    destination = {"a": {"l": [dest_item]}}
    merge_dict(source, destination, flag)

    assert destination == {"a": {"l": [{"name": "x", "m": {"q": 1}}, "b"]}}
    sequence = destination["a"]["l"]
    expected = [
        ("merge_dict", (source["a"], destination["a"], flag)),
        ("merge_list_item", (item, sequence, flag)),
        ("merge_dict", (item, dest_item, flag)),
        ("merge_dict", (item["m"], dest_item["m"], flag)),
        ("merge_list_item", ("b", sequence, flag)),
    ]
    assert len(calls) == len(expected)
    for (name, args, kwargs), (want_name, want_args) in zip(calls, expected):
        assert (name, kwargs, len(args)) == (want_name, {}, 3)
        assert all(got is want for got, want in zip(args, want_args))
