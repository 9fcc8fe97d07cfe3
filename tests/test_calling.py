"""The calling convention and the function attributes shared by every
exported callable and every method of the tag classes."""

import inspect
import pydoc
import types

import pytest

import tolvek_yaml as ty
from tolvek_yaml import EnvTag, VaultTag, load_yaml_files, merge_dict, merge_list_item

TAG = EnvTag("HOME")


@pytest.mark.parametrize(
    "call, message",
    [
        # arity: N is the number of positional arguments
        (lambda: merge_dict({}), "merge_dict() takes at least 2 positional arguments (1 given)"),
        (lambda: merge_dict(), "merge_dict() takes at least 2 positional arguments (0 given)"),
        (
            lambda: merge_dict({}, {}, True, True),
            "merge_dict() takes at most 3 positional arguments (4 given)",
        ),
        (
            lambda: merge_dict({}, {}, True, True, source={}),
            "merge_dict() takes at most 3 positional arguments (4 given)",
        ),
        (
            lambda: merge_list_item(1),
            "merge_list_item() takes at least 2 positional arguments (1 given)",
        ),
        (
            lambda: load_yaml_files(),
            "load_yaml_files() takes exactly 1 positional argument (0 given)",
        ),
        (
            lambda: load_yaml_files([], []),
            "load_yaml_files() takes exactly 1 positional argument (2 given)",
        ),
        (lambda: EnvTag(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: VaultTag("a", "b"), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: EnvTag.from_yaml(None), "from_yaml() takes exactly 3 positional arguments (2 given)"),
        (lambda: TAG.__repr__(1), "__repr__() takes exactly 1 positional argument (2 given)"),
        (lambda: EnvTag.__repr__(), "__repr__() takes exactly 1 positional argument (0 given)"),
        # with keywords: N counts the parameters before the first missing one
        (
            lambda: merge_dict(source={}, merge_list_items=False),
            "merge_dict() takes at least 2 positional arguments (1 given)",
        ),
        (
            lambda: merge_dict(destination={}),
            "merge_dict() takes at least 2 positional arguments (0 given)",
        ),
        # the missing destination is reported before the duplicate source
        (
            lambda: merge_dict({}, source={}),
            "merge_dict() takes at least 2 positional arguments (1 given)",
        ),
        (
            lambda: load_yaml_files(path=[]),
            "load_yaml_files() takes exactly 1 positional argument (0 given)",
        ),
        # keyword errors, the first offending keyword in call order decides
        (
            lambda: merge_dict({}, {}, source={}),
            "merge_dict() got multiple values for keyword argument 'source'",
        ),
        (
            lambda: merge_dict({}, {}, merge_list_item=False),
            "merge_dict() got an unexpected keyword argument 'merge_list_item'",
        ),
        (
            lambda: merge_dict({}, {}, bogus=1, source={}),
            "merge_dict() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: merge_dict({}, {}, source={}, bogus=1),
            "merge_dict() got multiple values for keyword argument 'source'",
        ),
        (
            lambda: load_yaml_files([], paths=[]),
            "load_yaml_files() got multiple values for keyword argument 'paths'",
        ),
        (
            lambda: TAG.__repr__(self=TAG),
            "__repr__() got multiple values for keyword argument 'self'",
        ),
        # type tests, in parameter order
        (
            lambda: merge_dict(None, {}),
            "Argument 'source' has incorrect type (expected dict, got NoneType)",
        ),
        (
            lambda: merge_dict({}, []),
            "Argument 'destination' has incorrect type (expected dict, got list)",
        ),
        (
            lambda: merge_dict([], 5),
            "Argument 'source' has incorrect type (expected dict, got list)",
        ),
        (
            lambda: merge_list_item(1, (1,)),
            "Argument 'destination' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: merge_list_item(1, None),
            "Argument 'destination' has incorrect type (expected list, got NoneType)",
        ),
        (
            lambda: load_yaml_files(("a.yaml",)),
            "Argument 'paths' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: load_yaml_files(type("Paths", (list,), {})()),
            "Argument 'paths' has incorrect type (expected list, got Paths)",
        ),
        (lambda: EnvTag(5), "Argument 'v' has incorrect type (expected str, got int)"),
        (
            lambda: VaultTag(type("Text", (str,), {})("x")),
            "Argument 'v' has incorrect type (expected str, got Text)",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_long_names_are_cut_as_the_interpreter_cuts_them():
    long_type = type("T" * 300, (), {})
    with pytest.raises(TypeError) as excinfo:
        merge_dict(long_type(), {})
    assert str(excinfo.value) == (
        "Argument 'source' has incorrect type (expected dict, got %s)" % ("T" * 200)
    )


def test_an_argument_error_changes_nothing():
    destination = {"a": 1}
    with pytest.raises(TypeError):
        merge_dict({"b": 2}, destination, source={})
    with pytest.raises(TypeError):
        merge_list_item(1, [1], True, extra=1)
    assert destination == {"a": 1}


@pytest.mark.parametrize(
    "call",
    [
        lambda: merge_dict(destination={"a": 1}, source={"b": 2}),
        lambda: merge_dict({"b": 2}, merge_list_items=False, destination={"a": 1}),
        lambda: merge_dict({"b": 2}, {"a": 1}, False),
    ],
)
def test_arguments_bind_by_position_and_keyword(call):
    assert call() == {"a": 1, "b": 2}


def test_merge_list_items_defaults_to_true():
    destination = [{"name": "x"}]
    merge_list_item({"name": "x", "port": 1}, destination)
    assert destination == [{"name": "x", "port": 1}]
    merge_list_item(source_item={"name": "x"}, destination=destination, merge_list_items=0)
    assert destination == [{"name": "x", "port": 1}, {"name": "x"}]


def test_subclasses_of_dict_and_list_are_accepted_where_the_kind_is_tested():
    class Mapping(dict):
        pass

    class Sequence(list):
        pass

    assert merge_dict(Mapping(a=1), Mapping()) == {"a": 1}
    items = Sequence()
    merge_list_item(1, items)
    assert items == [1]


def test_methods_bind_by_keyword_too():
    assert EnvTag.__repr__(self=EnvTag("TOLVEK_SURELY_UNSET")) == ""
    node = types.SimpleNamespace(value="TOLVEK_SURELY_UNSET")
    assert EnvTag.from_yaml(node=node, loader=None) == ""


FUNCTIONS = {
    "load_yaml_files": (
        load_yaml_files,
        "load_yaml_files",
        "Load all yaml files from a provided directory.",
        {"paths": "List[str]", "return": "Dict[str, Any]"},
        None,
    ),
    "merge_list_item": (
        merge_list_item,
        "merge_list_item",
        "Merge item into list.",
        {
            "source_item": "Any",
            "destination": "List[Any]",
            "merge_list_items": "bool",
            "return": "None",
        },
        (True,),
    ),
    "merge_dict": (
        merge_dict,
        "merge_dict",
        "Merge two nested dict/list structures.",
        {
            "source": "Dict[Any, Any]",
            "destination": "Dict[Any, Any]",
            "merge_list_items": "bool",
            "return": "Dict[Any, Any]",
        },
        (True,),
    ),
}
for _cls in (VaultTag, EnvTag):
    _name = _cls.__name__
    FUNCTIONS.update(
        {
            _name + ".__init__": (_cls.__dict__["__init__"], "__init__", None, {"v": "str"}, None),
            _name + ".__repr__": (
                _cls.__dict__["__repr__"],
                "__repr__",
                None,
                {"return": "str"},
                None,
            ),
            _name + ".from_yaml": (
                _cls.__dict__["from_yaml"].__func__,
                "from_yaml",
                None,
                {"loader": "Any", "node": "Any", "return": "str"},
                None,
            ),
        }
    )


@pytest.mark.parametrize("qualname", sorted(FUNCTIONS))
def test_function_attributes(qualname):
    function, name, doc, annotations, defaults = FUNCTIONS[qualname]
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == "tolvek_yaml"
    assert function.__doc__ == doc
    assert function.__annotations__ == annotations
    assert list(function.__annotations__) == list(annotations)  # "return" last
    assert all(type(text) is str for text in function.__annotations__.values())
    assert function.__defaults__ == defaults


def test_signatures_show_the_real_parameters():
    assert str(inspect.signature(merge_dict)) == (
        "(source: 'Dict[Any, Any]', destination: 'Dict[Any, Any]',"
        " merge_list_items: 'bool' = True) -> 'Dict[Any, Any]'"
    )
    assert str(inspect.signature(load_yaml_files)) == "(paths: 'List[str]') -> 'Dict[str, Any]'"
    assert str(inspect.signature(EnvTag)) == "(v: 'str')"
    assert str(inspect.signature(VaultTag.from_yaml)) == "(loader: 'Any', node: 'Any') -> 'str'"
    assert str(inspect.signature(TAG.__repr__)) == "() -> 'str'"


def test_help_lists_the_functions_with_their_signatures():
    text = pydoc.render_doc(ty, renderer=pydoc.plaintext)
    # newer interpreters wrap long signatures over several lines
    flat = " ".join(text.split()).replace("( ", "(").replace(" )", ")")
    assert (
        "merge_list_item(source_item: 'Any', destination: 'List[Any]',"
        " merge_list_items: 'bool' = True) -> 'None'" in flat
    )
    assert "Merge two nested dict/list structures." in flat
    assert "load_yaml_files(paths: 'List[str]') -> 'Dict[str, Any]'" in flat


def test_functions_bind_as_methods_like_python_functions():
    class Holder:
        merge = merge_dict

    holder = Holder()
    bound = holder.merge
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is holder and bound.__func__ is merge_dict
    assert Holder.__dict__["merge"].__get__(None, Holder) is merge_dict
    with pytest.raises(TypeError) as excinfo:
        bound({})  # the instance is the source, the dict the destination
    assert str(excinfo.value) == (
        "Argument 'source' has incorrect type (expected dict, got Holder)"
    )
    assert isinstance(TAG.__repr__, types.MethodType)
    assert isinstance(EnvTag.from_yaml, types.MethodType)
    assert EnvTag.from_yaml.__self__ is EnvTag


def test_function_objects_carry_their_own_attributes():
    assert repr(merge_dict).startswith("<function merge_dict at 0x")
    merge_dict.note = "kept"
    try:
        assert merge_dict.__dict__["note"] == "kept"
    finally:
        del merge_dict.note
    with pytest.raises(TypeError):
        type(merge_dict)()
