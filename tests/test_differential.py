"""The module's merge against the plain-Python model of its rules
(tests/merge_model.py), on random data trees.

Each example is deep-copied twice, sharing kept, and merged once by
`tolvek_yaml` and once by the model.  The two sides must raise the same
exception (type, and message where it is fixed text) or both succeed, and
leave the same trees behind: equal values of the same types, and the same
objects in the same places: every object is either one of the inputs' own,
named by its position in the inputs, or a plain dict that the merge made.

The data leans towards what makes merging hard: keys that collide, mapping
items that are equivalent to several others, values equal across types
(1, 1.0 and true, but not "1"), NaN, the reader's scalar subtypes, objects with
their own == and hash, unhashable values, and sub-objects reachable twice,
within one tree and between a source and the destination.
"""

import copy
import datetime
import io
import math
from contextlib import contextmanager

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from ruamel.yaml import YAML
from ruamel.yaml.comments import CommentedMap, CommentedSeq
from ruamel.yaml.scalarbool import ScalarBoolean
from ruamel.yaml.scalarfloat import ExponentialFloat, ScalarFloat
from ruamel.yaml.scalarint import BinaryInt, DecimalInt, HexCapsInt, HexInt, OctalInt, ScalarInt
from ruamel.yaml.scalarstring import (
    DoubleQuotedScalarString,
    FoldedScalarString,
    LiteralScalarString,
    PlainScalarString,
    SingleQuotedScalarString,
)

import merge_model
import tolvek_yaml

SIDES = [tolvek_yaml, merge_model]

checks = settings(
    max_examples=50,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# --- scalars with their own idea of equality --------------------------------

class Parity:
    """Equal to every int (bools included) and Parity of the same parity;
    its hash cannot agree with that, which a hashing shortcut would trip on."""

    def __init__(self, number):
        self.number = number

    def __eq__(self, other):
        if isinstance(other, Parity):
            other = other.number
        if isinstance(other, int):
            return other % 2 == self.number % 2
        return NotImplemented

    def __hash__(self):
        return hash(self.number)

    def __repr__(self):
        return f"Parity({self.number})"


class Caseless(str):
    """A string subtype equal to any string of the same letters, any case."""

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()

    def __hash__(self):
        return hash(self.lower())


class OffsetHash(int):
    """An int with the built-in == but a hash of its own."""

    def __hash__(self):
        return int(self) + 1000


class Token:
    """Equal only to itself (object's own ==)."""

    def __init__(self, serial):
        self.serial = serial

    def __repr__(self):
        return f"Token({self.serial})"


class Unhashable:
    """Equal by value, not hashable."""

    __hash__ = None

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, Unhashable) and self.value == other.value

    def __repr__(self):
        return f"Unhashable({self.value!r})"


class Grumpy:
    """A scalar whose == always fails."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        raise ValueError("cannot compare")

    def __repr__(self):
        return "Grumpy()"


GRUMPY = Grumpy()


class Undecided:
    """A merge_list_items value whose truth test fails."""

    def __bool__(self):
        raise ValueError("no truth value")

    def __repr__(self):
        return "Undecided()"


def scalar_float(value):
    return ScalarFloat(value, width=len(repr(value)), prec=repr(value).find("."), m_sign=False,
                       m_lead0=0, exp=None, e_width=None, e_sign=None)


NAN = float("nan")
TEXTS = ["x", "y", "1", "80", "s1", "S1"]
QUOTED = [DoubleQuotedScalarString, SingleQuotedScalarString, PlainScalarString,
          LiteralScalarString, FoldedScalarString]
SCALAR_INTS = [ScalarInt, HexInt, HexCapsInt, OctalInt, BinaryInt, DecimalInt]

texts = st.sampled_from(TEXTS)
small_ints = st.integers(-1, 3)
# What the round-trip reader returns for scalars, and what it can write back.
yaml_scalars = st.one_of(
    texts,
    st.builds(lambda kind, text: kind(text), st.sampled_from(QUOTED), texts),
    small_ints,
    st.builds(lambda kind, n: kind(n), st.sampled_from(SCALAR_INTS[:5]), st.integers(0, 3)),
    st.sampled_from([0.0, -0.0, 1.0, 2.5, math.inf, NAN]),
    st.builds(scalar_float, st.sampled_from([1.0, 2.5])),
    st.booleans(),
    st.none(),
    st.sampled_from([datetime.date(2024, 1, 1), datetime.date(2024, 1, 2),
                     datetime.datetime(2024, 1, 1, 12, 0)]),
)
scalars = st.one_of(
    yaml_scalars,
    st.builds(DecimalInt, st.integers(0, 3)),
    st.builds(ScalarBoolean, st.booleans()),
    st.builds(ExponentialFloat, st.sampled_from([1.0, 10.0])),
    st.builds(Parity, small_ints),
    st.builds(Caseless, texts),
    st.builds(OffsetHash, small_ints),
    st.builds(Token, st.integers(0, 2)),
    st.builds(Unhashable, small_ints),
    st.sampled_from([(1, 2), frozenset({"x"})]),
    st.builds(set, st.lists(small_ints, max_size=2)),
)

KEYS = ["name", "port", "host", "tags", "srv"]
plain_keys = st.sampled_from(KEYS)
keys = st.one_of(plain_keys, st.builds(DoubleQuotedScalarString, plain_keys),
                 st.sampled_from([1, 1.0, True]))


# --- trees --------------------------------------------------------------------

def as_mapping(entries, commented):
    return CommentedMap(entries) if commented else dict(entries)


def as_sequence(items, commented):
    return CommentedSeq(items) if commented else list(items)


def mappings(keys, values, max_size=4, min_size=0):
    return st.builds(as_mapping, st.dictionaries(keys, values, min_size=min_size, max_size=max_size),
                     st.booleans())


def sequences(items, max_size=4):
    return st.builds(as_sequence, st.lists(items, max_size=max_size), st.booleans())


def service_items(values, hosts=st.sampled_from(["h", None, Unhashable(1)]), named=False):
    """Mapping items describing one object: few keys, few values, so that
    items are often equivalent."""
    entries = {"name": st.sampled_from(["a", "b", DoubleQuotedScalarString("a")]),
               "port": st.sampled_from([1, 1.0, 2, "1"]),
               "host": hosts,
               "tags": values}
    required = {"name": entries.pop("name")} if named else {}
    return st.builds(as_mapping, st.fixed_dictionaries(required, optional=entries), st.booleans())


def trees(leaves, keys, hosts=st.sampled_from(["h", None, Unhashable(1)])):
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            mappings(keys, children),
            sequences(st.one_of(children, service_items(children, hosts))),
        ),
        max_leaves=6,
    )


def with_services(document, services):
    if services is not None:
        document["srv"] = services
    return document


def documents(leaves, keys, hosts=st.sampled_from(["h", None, Unhashable(1)])):
    """Top-level mappings; most hold a list of service items under srv, so
    that lists of mapping items meet often."""
    values = trees(leaves, keys, hosts)
    services = sequences(service_items(values, hosts, named=True), max_size=4)
    return st.builds(with_services, mappings(keys, values, max_size=4), st.none() | services | services)


data_trees = trees(scalars, keys)
any_documents = documents(scalars, keys)
yaml_documents = documents(yaml_scalars, plain_keys, hosts=st.sampled_from(["h", None]))


def walk(root):
    """Every object reachable from root, each once, in a fixed order (keys
    before their values)."""
    seen = {}
    pending = [root]
    while pending:
        obj = pending.pop()
        if id(obj) in seen:
            continue
        seen[id(obj)] = obj
        if isinstance(obj, dict):
            for key, value in reversed(list(obj.items())):
                pending += [value, key]
        elif isinstance(obj, (list, tuple)):
            pending += reversed(obj)
    return list(seen.values())


def share(draw, roots, allow_cycles=False):
    """Stores objects already in the trees at further places, so that some
    are reachable twice, inside one tree or from a source and the destination."""
    for _ in range(draw(st.integers(0, 4))):
        objects = walk(roots)[1:]
        containers = [obj for obj in objects if isinstance(obj, (dict, list))]
        if not containers:
            return
        obj = draw(st.sampled_from(objects))
        target = draw(st.sampled_from(containers))
        if not allow_cycles and any(x is target for x in walk(obj)):
            continue
        if isinstance(target, dict):
            target[draw(keys)] = obj
        else:
            target.insert(draw(st.integers(0, len(target))), obj)


def reread(tree):
    """The tree written as YAML and read back by the round-trip reader:
    CommentedMap, CommentedSeq, the reader's scalar types, and anchors and
    aliases for shared sub-objects."""
    text = io.StringIO()
    YAML().dump(tree, text)
    reader = YAML()
    reader.preserve_quotes = True
    return reader.load(text.getvalue())


@st.composite
def folds(draw, documents=any_documents, allow_cycles=False):
    """(sources, destination): documents merged in order into one destination."""
    destination = draw(documents)
    sources = draw(st.lists(documents, min_size=1, max_size=4))
    share(draw, [*sources, destination], allow_cycles)
    return sources, destination


@st.composite
def yaml_folds(draw):
    """Like folds, of documents as the reader returns them; the shared
    sub-objects are those behind aliases, within one document."""
    def document():
        tree = draw(yaml_documents)
        share(draw, [tree])
        return reread(tree)

    return [document() for _ in range(draw(st.integers(1, 4)))], document()


# --- running both sides and describing what they left ---------------------------

def origins(root):
    """Names every object of the inputs by its position in walk order; the
    objects are kept alive, so that no new object can take over an id."""
    return {id(obj): (position, obj) for position, obj in enumerate(walk(root))}


def describe(obj, names, seen):
    """The tree as comparable data: types, values (NaN as its text), and for
    every object where it comes from: ("input", position) or "new"; a
    container met again is ("again", n), n counting containers in the order
    first met."""
    origin = ("input", names[id(obj)][0]) if id(obj) in names else "new"
    if not isinstance(obj, (dict, list, tuple)):
        return type(obj), origin, repr(obj)
    if id(obj) in seen:
        return "again", seen[id(obj)]
    seen[id(obj)] = len(seen)
    if isinstance(obj, dict):
        body = [(describe(key, names, seen), describe(value, names, seen)) for key, value in obj.items()]
    else:
        body = [describe(item, names, seen) for item in obj]
    return type(obj), origin, body


def outcome(error):
    if error is None:
        return None
    if isinstance(error, RecursionError):  # the depth reached differs
        return RecursionError
    return type(error), str(error)


def merge_on_both_sides(inputs, run, track_objects=True):
    """run(side, *copied_inputs) on a copy of the inputs per side; returns
    per side the exception (described) and the described inputs after it
    (None after a RecursionError, whose partial state depends on depth).
    Without track_objects, objects are not named by their origin: naming
    keeps every input object referenced, and a merge may treat an object
    referenced from one place only differently."""
    results = []
    for side in SIDES:
        copied = copy.deepcopy(inputs)
        names = origins(copied) if track_objects else {}
        try:
            run(side, *copied)
        except Exception as exc:  # noqa: BLE001  (compared between the sides)
            error = exc
        else:
            error = None
        state = None if isinstance(error, RecursionError) else describe(copied, names, {})
        results.append((outcome(error), state))
    return results


def folding(merge_list_items):
    """A run for merge_on_both_sides: each source merged in turn into the
    destination, as the loader folds its documents."""
    def run(side, sources, destination):
        for source in sources:
            side.merge_dict(source, destination, merge_list_items)
    return run


def assert_same(inputs, run, track_objects=True):
    module_result, model_result = merge_on_both_sides(inputs, run, track_objects)
    assert module_result[0] == model_result[0], "different exceptions"
    assert module_result[1] == model_result[1], "different trees after the merge"
    return model_result


flags = pytest.mark.parametrize("merge_list_items", [True, False])


# --- whole merges -----------------------------------------------------------------

@flags
@checks
@given(inputs=folds())
def test_folding_documents_agrees_with_the_model(inputs, merge_list_items):
    assert_same(inputs, folding(merge_list_items))


@flags
@settings(checks, max_examples=20)
@given(inputs=yaml_folds())
def test_folding_yaml_documents_agrees_with_the_model(inputs, merge_list_items):
    assert_same(inputs, folding(merge_list_items))


@flags
@settings(checks, max_examples=35)
@given(inputs=folds(allow_cycles=True))
def test_self_containing_trees_fail_or_merge_alike(inputs, merge_list_items):
    assert_same(inputs, folding(merge_list_items))


# Items whose host may be a Grumpy, facing an Unhashable (whose == answers
# without asking the other side): only comparisons made in both directions,
# in the order of the rules, show the same exceptions.
touchy_items = service_items(scalars, hosts=st.sampled_from(["h", None, Unhashable(1), GRUMPY]), named=True)


def weighted(*choices):
    """Draws from one of the (weight, strategy) choices, picked in proportion
    to its weight (st.one_of weighs every branch of a nested one_of alike)."""
    return st.sampled_from([strategy for weight, strategy in choices for _ in range(weight)]).flatmap(
        lambda strategy: strategy)


@st.composite
def item_merges(draw):
    """(source_item, destination, merge_list_items) for one merge_list_item
    call; the destination is mostly a list holding variants of the source
    item: some of its scalar entries kept, dropped or changed, one added."""
    source_item = draw(weighted((3, touchy_items), (1, scalars), (1, data_trees)))

    def variant():
        if not isinstance(source_item, dict):
            return draw(st.sampled_from([source_item, copy.copy(source_item)]))
        item = {}
        for key, value in source_item.items():
            change = draw(st.sampled_from(["keep", "keep", "drop", "change"]))
            if change == "keep":
                item[key] = value
            elif change == "change":
                item[key] = draw(st.sampled_from([1, "h", Unhashable(1), GRUMPY, GRUMPY, [1], {"x": 1}]))
        if draw(st.booleans()):
            item[draw(plain_keys)] = draw(scalars)
        return as_mapping(item, draw(st.booleans()))

    others = weighted((2, touchy_items), (1, data_trees), (1, scalars))
    items = [variant() if draw(st.booleans()) else draw(others) for _ in range(draw(st.integers(0, 6)))]
    destination = draw(weighted((4, st.builds(as_sequence, st.just(items), st.booleans())),
                                (1, scalars), (1, mappings(keys, scalars))))
    merge_list_items = draw(st.sampled_from([True, True, True, False, 1, 0, "", "no", None, [], [0],
                                             Undecided()]))
    return source_item, destination, merge_list_items


@settings(checks, max_examples=120)
@given(inputs=item_merges())
def test_merging_one_item_agrees_with_the_model(inputs):
    assert_same(inputs, lambda side, *args: side.merge_list_item(*args))


COMPARE_FAILS = (ValueError, "cannot compare")


@pytest.mark.parametrize("source_item, dest_items, expected", [
    # the source walk finds an unequal value; the walk of the destination
    # item must still run, and its Grumpy on the left fails
    pytest.param({"name": "a", "port": 2, "host": Unhashable(1)},
                 [{"name": "a", "port": 1, "host": GRUMPY}], COMPARE_FAILS, id="both-walks-run"),
    # Unhashable answers without asking the other side: only the walked
    # item's value on the left reaches the Grumpy
    pytest.param({"name": "a", "host": GRUMPY}, [{"name": "a", "host": Unhashable(1)}],
                 COMPARE_FAILS, id="walked-value-on-the-left"),
    pytest.param({"name": "a", "host": Unhashable(1)}, [{"name": "a", "host": GRUMPY}],
                 COMPARE_FAILS, id="destination-walk-compares-too"),
    pytest.param({"name": "a", "port": Parity(1)}, [{"name": "a", "port": 2}, {"name": "a", "port": 3}],
                 None, id="own-eq-picks-the-second"),
    pytest.param({"name": "a", "port": NAN}, [{"name": "a", "port": NAN}], None, id="nan-never-equivalent"),
    pytest.param(NAN, [NAN], None, id="the-same-nan-is-present"),
])
def test_comparisons_run_in_the_order_of_the_rules(source_item, dest_items, expected):
    error, _ = assert_same((source_item, dest_items, True), lambda side, *args: side.merge_list_item(*args))
    assert error == expected


@checks
@given(source=st.one_of(scalars, data_trees), destination=st.one_of(scalars, data_trees))
def test_argument_types_are_refused_alike(source, destination):
    assert_same((source, destination), lambda side, *args: side.merge_dict(*args))


# --- failing merges -----------------------------------------------------------

blockers = st.one_of(sequences(scalars, max_size=2), scalars.filter(lambda value: value is not None))


@st.composite
def failing_folds(draw):
    """A source mapping meets a sequence or a non-null scalar of the
    destination, directly under a chain of keys or inside an equivalent
    list item, amid other entries that merge before and after it."""
    path = draw(st.lists(plain_keys, min_size=1, max_size=3))
    through_item = draw(st.booleans())
    destination = draw(any_documents)
    source = draw(any_documents)
    blocked = draw(st.builds(as_mapping, st.dictionaries(plain_keys, scalars, min_size=1, max_size=2),
                             st.booleans()))

    def plant(tree, value):
        for key in path:
            if not isinstance(tree.get(key), dict):
                tree[key] = as_mapping({}, draw(st.booleans()))
            tree = tree[key]
        if through_item:
            tree["srv"] = as_sequence([as_mapping({"name": "a", "opts": value}, draw(st.booleans()))],
                                      draw(st.booleans()))
        else:
            tree["opts"] = value

    plant(destination, draw(sequences(scalars, max_size=2) if through_item else blockers))
    plant(source, blocked)
    before = draw(st.lists(any_documents, max_size=1))
    after = draw(st.lists(any_documents, max_size=1))
    sources = [*before, source, *after]
    share(draw, [*sources, destination])
    return sources, destination


@flags
@settings(checks, max_examples=40)
@given(inputs=failing_folds())
def test_failing_merges_fail_alike_and_leave_the_same_partial_state(inputs, merge_list_items):
    assert_same(inputs, folding(merge_list_items))


# --- long lists of service items -----------------------------------------------
#
# Aimed at any shortcut for finding equivalent items: the same winner among
# several equivalent items, the same order of appended items and the same
# == outcomes, whatever the values' types.

# Values of service ports: equal across types (1, 1.0, true, 0x1, a Parity),
# equal with their own hash (OffsetHash), never equal (the one NaN object,
# which membership finds by identity while == refuses it), equal only to
# themselves (Token), unhashable, and the reader's scalar subtypes.
PORTS = [1, 1.0, True, "1", ScalarInt(1), HexInt(1), ScalarBoolean(True), DoubleQuotedScalarString("1"),
         PlainScalarString("1"), scalar_float(1.0), 2, 2.5, scalar_float(2.5), 0, 0.0, -0.0, False, None,
         NAN, Parity(0), Parity(1), Parity(3), OffsetHash(1), OffsetHash(2), Token(0), Token(1),
         Unhashable(1), Unhashable(2), {1}, set(), "2"]


def equal_ports(port, pool):
    """The ports of the pool that == finds equal to port."""
    return [other for other in pool if other == port] or [port]


def service_name(index, kind):
    text = f"s{index}"
    return [text, DoubleQuotedScalarString(text), Caseless(text.upper()), PlainScalarString(text)][kind]


name_kinds = st.sampled_from([0, 0, 0, 1, 2, 3])
ports = st.sampled_from(PORTS)
nested_values = st.one_of(sequences(ports, max_size=2), mappings(plain_keys, ports, max_size=2))


ABSENT = object()  # a port left out
# now and then a host whose == fails: every comparison the rules make shows
service_hosts = st.sampled_from(["h", DoubleQuotedScalarString("h"), NAN] * 20 + [GRUMPY])


# Nested values of only built-in types, down to lists of named items: what
# configuration files hold, and what a merge can pass through without
# running code of the user's.
PLAIN_PORTS = [1, 1.0, True, "1", 2, 2.5, 0, False, None, NAN, "2"]
plain_ports = st.sampled_from(PLAIN_PORTS)
plain_nested_values = st.recursive(
    plain_ports,
    lambda children: st.one_of(
        st.lists(children, max_size=3),
        st.dictionaries(plain_keys, children, max_size=3),
        st.lists(st.fixed_dictionaries({"name": st.sampled_from(["a", "b"])},
                                       optional={"port": plain_ports, "tags": children}), max_size=3),
    ),
    max_leaves=5,
)


@st.composite
def service(draw, index, port, kind):
    """A mapping item named after index, with the given port (absent when
    ABSENT), now and then a host and a nested value, all drawn as the
    ServiceKind says."""
    item = {"name": service_name(index, draw(kind.names))}
    if port is not ABSENT:
        item["port"] = port
    if not draw(st.integers(0, 3)):
        item["host"] = draw(kind.hosts)
    if not draw(st.integers(0, kind.nested_odds)):
        item[draw(st.sampled_from(kind.nested_keys))] = draw(kind.nested)
    return as_mapping(item, draw(kind.commented))


class ServiceKind:
    """What the items of service_lists are made of."""

    def __init__(self, ports, hosts, names, nested, nested_odds, nested_keys, commented):
        self.pool = ports
        ports = st.sampled_from(ports)
        self.ports = ports
        self.maybe_ports = st.one_of(ports, ports, ports, st.just(ABSENT))
        self.hosts = hosts
        self.names = names
        self.nested = nested
        self.nested_odds = nested_odds
        self.nested_keys = nested_keys
        self.commented = commented


ANY_SERVICES = ServiceKind(PORTS, service_hosts, name_kinds, nested_values, 5, ["tags", "port"], st.booleans())
# Only built-in types and the reader's plain subtypes, nested values often.
PLAIN_SERVICES = ServiceKind(PLAIN_PORTS, st.sampled_from(["h", DoubleQuotedScalarString("h"), NAN]),
                             st.sampled_from([0, 0, 1, 3]), plain_nested_values, 1, ["tags", "opts"],
                             st.just(False))


@st.composite
def service_lists(draw, kind=ANY_SERVICES):
    """Under the key srv, a destination list of many items with unique
    names, a few more items repeating names (so that several items can be
    equivalent) and some scalars; and a source list of items mostly for
    names already there, with ports equal by == in another type, absent or
    different, new names, and scalars, equal or not to those present."""
    pool = kind.pool
    count = draw(st.integers(0, 120))
    dest_ports = [draw(kind.maybe_ports) for _ in range(count)]
    destination = [draw(service(index, port, kind)) for index, port in enumerate(dest_ports)]
    for _ in range(draw(st.integers(0, 4)) if count else 0):
        index = draw(st.integers(0, count - 1))
        destination.insert(draw(st.integers(0, len(destination))),
                           draw(service(index, draw(kind.maybe_ports), kind)))
    for _ in range(draw(st.integers(0, 3))):
        destination.insert(draw(st.integers(0, len(destination))), draw(kind.ports))
    source = []
    for _ in range(draw(st.integers(0, 25))):
        origin = draw(st.sampled_from(["known", "known", "known", "new", "scalar"]))
        if origin == "scalar":
            source.append(draw(kind.ports))
        elif origin == "new" or not count:
            source.append(draw(service(count + draw(st.integers(0, 3)), draw(kind.maybe_ports), kind)))
        else:
            index = draw(st.integers(0, count - 1))
            port = dest_ports[index]
            port = draw(st.sampled_from(equal_ports(port, pool))) \
                if port is not ABSENT and draw(st.booleans()) else draw(kind.maybe_ports)
            source.append(draw(service(index, port, kind)))
    sources = [{"srv": as_sequence(source, draw(kind.commented))}]
    destination = {"srv": as_sequence(destination, draw(kind.commented))}
    share(draw, [*sources, destination])
    return sources, destination


@contextmanager
def recording_calls(calls, names):
    """Rebinds both merge functions of both sides to recorders that note in
    calls[side] every call: its first two arguments by their names in
    names[side] ("new" for others), how many positional arguments and which
    keywords it had; then they go on to the real function."""
    saved = [(side, name, getattr(side, name))
             for side in SIDES for name in ("merge_dict", "merge_list_item")]

    def recorder(side, name, real):
        def record(*args, **keywords):
            named = tuple(names[side].get(id(arg), ("new",))[0] for arg in args[:2])
            calls[side].append((name, named, len(args), sorted(keywords)))
            return real(*args, **keywords)
        return record

    for side, name, real in saved:
        setattr(side, name, recorder(side, name, real))
    try:
        yield
    finally:
        for side, name, real in saved:
            setattr(side, name, real)


@flags
@settings(checks, max_examples=30)
@given(inputs=service_lists())
def test_long_lists_of_items_merge_alike(inputs, merge_list_items):
    assert_same(inputs, folding(merge_list_items))


# Objects are not tracked here: holding every input object would make each
# nested value look shared, and these lists are about values met once.
@flags
@settings(checks, max_examples=30)
@given(inputs=service_lists(PLAIN_SERVICES))
def test_long_lists_of_plain_items_with_nested_values_merge_alike(inputs, merge_list_items):
    assert_same(inputs, folding(merge_list_items), track_objects=False)


def test_an_item_changed_through_another_items_nested_value_is_found_by_its_new_value():
    # The item {"port": 1} sits in the list and inside "a" too: merging into
    # "a" sets its port to 2, and then it is the first item equivalent to
    # {"port": 2, "seen": True}, ahead of "x".
    def inputs():
        shared = {"port": 1}
        items = [{"name": f"s{i}", "port": 10 + i} for i in range(40)]
        destination = {"srv": [{"name": "a", "port": 0, "sub": shared}, shared, {"name": "x", "port": 2}, *items]}
        source = {"srv": [{"name": "a", "port": 0, "sub": {"port": 2}}, {"port": 2, "seen": True}, *items]}
        return [source], destination

    assert_same(inputs(), folding(True), track_objects=False)
    sources, destination = inputs()
    tolvek_yaml.merge_dict(sources[0], destination)
    assert destination["srv"][1] == {"port": 2, "seen": True}
    assert len(destination["srv"]) == 43


@settings(checks, max_examples=15)
@given(inputs=service_lists())
def test_every_item_goes_through_a_rebound_merge_list_item(inputs):
    calls = {side: [] for side in SIDES}
    names = {}

    def run(side, sources, destination):
        names[side] = origins((sources, destination))
        with recording_calls(calls, names):
            folding(True)(side, sources, destination)

    assert_same(inputs, run)
    assert calls[SIDES[0]] == calls[SIDES[1]]
