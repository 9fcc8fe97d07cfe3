"""Reference and memory-block leak checks, run under a debug interpreter
(one that has sys.gettotalrefcount): every exported callable, many times,
on its success paths and on each of its error paths."""

import gc
import inspect
import os
import stat
import sys
import types

import pytest
from ruamel.yaml import YAML

import tolvek_yaml as ty

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter"
)

WARMUP_ROUNDS = 3
MEASURED_ROUNDS = 4
CALLS_PER_ROUND = 20


def growth(scenario):
    """Per-round growth of the total reference count and of the allocated
    blocks, after warm-up rounds (caches that fill once are not leaks)."""
    for _ in range(WARMUP_ROUNDS):
        for _ in range(CALLS_PER_ROUND):
            scenario()
    refs, blocks = [], []
    for _ in range(MEASURED_ROUNDS + 1):
        for _ in range(CALLS_PER_ROUND):
            scenario()
        gc.collect()
        refs.append(sys.gettotalrefcount())
        blocks.append(sys.getallocatedblocks())
    return (
        [b - a for a, b in zip(refs, refs[1:])],
        [b - a for a, b in zip(blocks, blocks[1:])],
    )


def assert_no_leak(scenario):
    """Fails when references grow in every measured round beyond what the
    measuring itself costs, or blocks by at least one per call: a steady
    leak.  Block counts wander by a few per round (free lists, caches of
    the libraries), references do not."""
    base_refs, base_blocks = growth(lambda: None)
    refs, blocks = growth(scenario)
    ref_excess = [delta - max(base_refs) for delta in refs]
    block_excess = [delta - max(base_blocks) for delta in blocks]
    assert not all(delta > 0 for delta in ref_excess), f"references grow: {refs}"
    assert not all(delta >= CALLS_PER_ROUND for delta in block_excess), f"blocks grow: {blocks}"


def raises(exception, call, *args, **kwargs):
    def scenario():
        with pytest.raises(exception):
            call(*args, **kwargs)

    return scenario


def yaml_tree(text):
    return YAML().load(text)


def merge_yaml_trees():
    destination = {}
    ty.merge_dict(yaml_tree("a: {x: 1}\nl: [1, {name: n, p: 1}]\nq: 'quoted'"), destination)
    ty.merge_dict(yaml_tree("a: {y: 2}\nl: [2, {name: n}, {name: m}]\nq: null"), destination)


def merge_plain_trees():
    destination = {"n": None, "s": [1], "m": {"k": [{"name": 1, "v": 2}]}}
    source = {"n": {"x": 1}, "s": [1, 2, [3]], "m": {"k": [{"name": 1}, {"name": 2}]}, "z": 5}
    ty.merge_dict(source, destination, False)
    ty.merge_dict(source, destination, True)
    ty.merge_dict({}, destination)
    ty.merge_list_item({"name": 1}, destination["m"]["k"])
    ty.merge_list_item(3, destination["s"])


class Mapping(dict):
    pass


class Sequence(list):
    pass


def merge_subtypes():
    destination = Mapping(a=Sequence([Mapping(name=1)]), b=Mapping())
    ty.merge_dict(Mapping(a=Sequence([Mapping(name=1, x=2), 5]), b=Mapping(c=1)), destination)


class BadEq:
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = object.__hash__


class BadBool:
    def __bool__(self):
        raise ValueError("no truth")


def grows_while_walked():
    source = {"a": 1}

    class Grow:
        def __eq__(self, other):
            source["new%d" % len(source)] = 1
            return True

        __hash__ = object.__hash__

    source["b"] = [Grow()]
    # a destination list holding an item the Grow value is compared with
    with pytest.raises(RuntimeError):
        ty.merge_dict(source, {"b": [0]})


def self_containing():
    tree = {}
    tree["x"] = tree
    with pytest.raises(RecursionError):
        ty.merge_dict(tree, {})


def signature_and_binding():
    inspect.signature(ty.merge_dict)
    inspect.signature(ty.EnvTag.from_yaml)
    ty.merge_dict.__get__(object(), object)
    ty.merge_dict.__annotations__
    ty.merge_dict.__defaults__
    repr(ty.load_yaml_files)


SCENARIOS = {
    "merge yaml trees": merge_yaml_trees,
    "merge plain trees": merge_plain_trees,
    "merge subtypes": merge_subtypes,
    "keywords": lambda: ty.merge_dict(destination={}, source={"a": 1}, merge_list_items=False),
    "arity": raises(TypeError, ty.merge_dict, {}),
    "arity with keywords": raises(TypeError, ty.merge_dict, source={}),
    "too many": raises(TypeError, ty.merge_dict, {}, {}, 1, 2),
    "duplicate keyword": raises(TypeError, ty.merge_dict, {}, {}, source={}),
    "unexpected keyword": raises(TypeError, ty.merge_dict, {}, {}, nope=1),
    "source type": raises(TypeError, ty.merge_dict, None, {}),
    "destination type": raises(TypeError, ty.merge_list_item, 1, ()),
    "paths type": raises(TypeError, ty.load_yaml_files, ("a",)),
    "tag value type": raises(TypeError, ty.EnvTag, 5),
    "mapping meets sequence": raises(TypeError, ty.merge_dict, {"a": {"x": 1}}, {"a": [1]}),
    "eq raises": raises(ValueError, ty.merge_list_item, {"k": BadEq()}, [{"k": 1}]),
    "truth raises": raises(ValueError, ty.merge_list_item, {"k": 1}, [], BadBool()),
    "membership raises": raises(ValueError, ty.merge_list_item, BadEq(), [1]),
    "grows while walked": grows_while_walked,
    "self-containing": self_containing,
    "signature and binding": signature_and_binding,
    "env tag": lambda: (str(ty.EnvTag("HOME")), ty.EnvTag.from_yaml(None, types.SimpleNamespace(value="X"))),
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_no_leak(name):
    assert_no_leak(SCENARIOS[name])


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "good.yaml").write_text("a: {x: 1}\nl: [1, 2]\ne: !env HOME\n")
    (tmp_path / "bad.yaml").write_text("a: [unclosed\n")
    (tmp_path / "empty.yml").write_text("")
    (tmp_path / "notes.txt").write_text("not yaml")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "list.yaml").write_text("- 1\n")
    os.mkfifo(tmp_path / "sub" / "pipe.yaml")
    return tmp_path


def test_no_leak_loading(tree, monkeypatch):
    # the warnings of the walk are expected; keep them off the terminal
    monkeypatch.setattr(ty, "logger", types.SimpleNamespace(warning=lambda message: None))
    good = str(tree / "good.yaml")
    assert_no_leak(lambda: ty.load_yaml_files([good, str(tree), str(tree / "missing")]))
    assert_no_leak(raises(Exception, ty.load_yaml_files, [str(tree / "bad.yaml")]))
    assert_no_leak(raises(TypeError, ty.load_yaml_files, [str(tree / "empty.yml")]))


def test_no_leak_vault(tmp_path, monkeypatch):
    fake = tmp_path / "ansible-vault"
    fake.write_text("#!/bin/sh\ncat >/dev/null\nexit 3\n")
    fake.chmod(fake.stat().st_mode | stat.S_IEXEC)
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("ANSIBLE_VAULT_ID", "label")
    import subprocess

    monkeypatch.setattr(sys.modules[__name__], "CALLS_PER_ROUND", 2)
    assert_no_leak(raises(subprocess.CalledProcessError, str, ty.VaultTag("ciphertext")))
    monkeypatch.setattr(ty, "os", types.SimpleNamespace(getenv=lambda name: 5))
    assert_no_leak(raises(TypeError, repr, ty.EnvTag("X")))
