"""load_yaml_files: which files are read, in what order, how failures are
handled, and how each file is opened, parsed and merged."""

import builtins
import gc
import os
import pathlib
import socket
import threading
import types
import warnings

import pytest
import ruamel.yaml
from ruamel.yaml.comments import CommentedMap
from ruamel.yaml.scalarstring import DoubleQuotedScalarString, SingleQuotedScalarString

import tolvek_yaml

load = tolvek_yaml.load_yaml_files
real_merge_dict = tolvek_yaml.merge_dict


def fds_open_to(path):
    """Descriptors of this process currently open on `path`."""
    target = os.path.realpath(path)
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == target:
                found.append(fd)
        except OSError:  # the descriptor of the listing itself
            pass
    return found


def reader_error(path):
    """(type, text) of the error that reading and parsing `path` by hand raises."""
    try:
        with open(path) as file:
            ruamel.yaml.YAML().load(file.read())
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError(f"{path} reads and parses fine")


# ---- what is loaded --------------------------------------------------------------


def test_every_call_returns_a_new_plain_dict(write):
    assert load([]) == {} and type(load([])) is dict
    assert load([]) is not load([])
    path = write("a.yaml", "a: {x: 1}\n")
    first, second = load([path]), load([path])
    assert type(first) is dict and first == second == {"a": {"x": 1}}
    assert first is not second and first["a"] is not second["a"]


YAML_NAMES = [
    ("conf.yaml", True),
    ("conf.yml", True),
    ("conf.yaml.bak", True),
    ("app.yml.orig", True),
    ("group.yml.d/notes.txt", True),
    ("group.yaml.d/deeper/README", True),
    ("config.YAML", False),
    ("conf.Yml", False),
    ("README.md", False),
    ("confyaml", False),
    ("yml/conf", False),
]


@pytest.mark.parametrize("named", ["directly", "by_walk"])
@pytest.mark.parametrize("relpath, parsed", YAML_NAMES, ids=[r for r, _ in YAML_NAMES])
def test_a_file_is_parsed_when_its_whole_path_contains_a_yaml_suffix(
    write, tmp_path, warnings_logged, relpath, parsed, named
):
    path = write("tree/" + relpath, "parsed: 1\n")
    result = load([path] if named == "directly" else [str(tmp_path / "tree")])
    assert result == ({"parsed": 1} if parsed else {})
    assert warnings_logged == []


@pytest.mark.parametrize("kind", ["missing", "broken_link"])
def test_a_path_naming_nothing_is_passed_over_silently(write, tmp_path, warnings_logged, kind):
    nothing = tmp_path / "nothing.yaml"
    if kind == "broken_link":
        nothing.symlink_to(tmp_path / "gone.yaml")
    a = write("a.yaml", "a: 1\n")
    write("tree/b.yaml", "b: 2\n")
    assert load([a, str(nothing), str(tmp_path / "tree")]) == {"a": 1, "b": 2}
    assert warnings_logged == []


def test_the_later_file_wins_and_swapping_the_order_swaps_the_outcome(write):
    first = write("first.yaml", "port: 80\nonly_first: 1\n")
    second = write("second.yml", "port: 8080\n")
    assert load([first, second]) == {"port": 8080, "only_first": 1}
    assert load([second, first]) == {"port": 80, "only_first": 1}


def test_the_same_file_listed_twice_is_merged_twice(write):
    # An item without scalar entries is never taken for an earlier one, so
    # every merge of this file appends one more.
    path = write("runs.yaml", "runs: [{}]\n")
    assert load([path]) == {"runs": [{}]}
    assert load([path, path]) == {"runs": [{}, {}]}


def test_a_tree_is_visited_in_the_order_os_walk_lists_it(write, tmp_path):
    top_names = ["m", "c", "x", "a", "q", "e", "k", "b"]
    for name in top_names:
        write(f"tree/{name}.yaml", f"seen: [{name}]\n")
    for sub in ["sub", "other"]:
        for name in top_names[:4]:
            write(f"tree/{sub}/{name}.yml", f"seen: [{sub}/{name}]\n")
    write("tree/sub/deeper/z.yaml", "seen: [sub/deeper/z]\n")
    write("tree/notes.txt", "seen: [notes]\n")
    tree = str(tmp_path / "tree")

    seen = load([tree])["seen"]

    listed = [
        os.path.relpath(os.path.join(d, f), tree).rsplit(".", 1)[0]
        for d, _, files in os.walk(tree)
        for f in files
        if f != "notes.txt"
    ]
    assert seen == listed
    # all files of a directory are merged before anything below it
    assert sorted(seen[: len(top_names)]) == sorted(top_names)
    assert seen.index("sub/deeper/z") > max(seen.index(f"sub/{n}") for n in top_names[:4])


def test_links_in_a_walked_tree(write, tmp_path, warnings_logged):
    target = write("elsewhere/target.txt", "linked: 1\n")
    write("elsewhere/dir/inside.yaml", "inside: 1\n")
    write("tree/plain.yaml", "plain: 1\n")
    tree = tmp_path / "tree"
    (tree / "link.yaml").symlink_to(target)
    (tree / "dangling.txt").symlink_to(tmp_path / "gone.yaml")
    (tree / "linked_dir.yaml.d").symlink_to(tmp_path / "elsewhere" / "dir")

    assert load([str(tree)]) == {"plain": 1, "linked": 1}
    # opened before its name is looked at, so even a .txt name is reported;
    # a link to a directory is not descended into
    assert warnings_logged == ["Could not load file: dangling.txt"]
    assert load([str(tree / "link.yaml")]) == {"linked": 1}


def run_with_timeout(function, fifo, timeout=30):
    outcome = {}

    def target():
        try:
            outcome["result"] = function()
        except BaseException as exc:
            outcome["error"] = exc

    worker = threading.Thread(target=target, daemon=True)
    worker.start()
    worker.join(timeout)
    if worker.is_alive():
        try:  # release the loader stuck opening the pipe
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass
        worker.join(5)
        pytest.fail("the load blocked on a named pipe")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def test_pipes_and_sockets_in_a_walked_tree_are_passed_over_unopened(
    write, tmp_path, warnings_logged
):
    write("tree/a.yaml", "a: 1\n")
    write("tree/sub/b.yml", "b: 2\n")
    tree = tmp_path / "tree"
    fifo = tree / "pipe.yaml"
    os.mkfifo(fifo)
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(tree / "sub" / "sock.yaml"))
        result = run_with_timeout(lambda: load([str(tree), str(fifo)]), fifo)
    assert result == {"a": 1, "b": 2}
    assert warnings_logged == []


# ---- failures --------------------------------------------------------------------

NOT_A_MAPPING = "Argument 'source' has incorrect type (expected dict, got {})"
NOT_LOADABLE = {
    # file bytes, exact message of the TypeError (None: whatever reading and
    # parsing the text by hand raises)
    "syntax_error": (b"a: [1, 2\n", None),
    "two_documents": (b"a: 1\n---\nb: 2\n", None),
    "invalid_utf8": (b"a: \xff\xfe\n", None),
    "empty": (b"", NOT_A_MAPPING.format("NoneType")),
    "comments_only": (b"# nothing here\n", NOT_A_MAPPING.format("NoneType")),
    "sequence": (b"- 1\n- 2\n", NOT_A_MAPPING.format("CommentedSeq")),
    "string": (b"just text\n", NOT_A_MAPPING.format("str")),
    "number": (b"42\n", NOT_A_MAPPING.format("int")),
}


@pytest.mark.parametrize("data, message", NOT_LOADABLE.values(), ids=NOT_LOADABLE)
def test_a_file_named_directly_raises_its_error(tmp_path, warnings_logged, data, message):
    path = tmp_path / "bad.yaml"
    path.write_bytes(data)
    with pytest.raises(Exception) as excinfo:
        load([str(path)])
    expected = (TypeError, message) if message else reader_error(path)
    assert (type(excinfo.value), str(excinfo.value)) == expected
    assert warnings_logged == []


@pytest.mark.parametrize("data", [d for d, _ in NOT_LOADABLE.values()], ids=NOT_LOADABLE)
def test_a_walked_file_that_fails_is_logged_and_the_walk_goes_on(
    write, tmp_path, warnings_logged, data
):
    write("tree/good.yaml", "good: 1\n")
    write("tree/sub/also.yml", "also: 2\n")
    (tmp_path / "tree" / "bad.yaml").write_bytes(data)
    assert load([str(tmp_path / "tree")]) == {"good": 1, "also": 2}
    assert warnings_logged == ["Could not load file: bad.yaml"]


@pytest.mark.parametrize(
    "name", ["a{b}.yaml", "{}.yaml", "{0}.yml", "%s.yaml", "ünï cødé.yaml"]
)
def test_the_warning_names_the_bare_file_name_literally(write, tmp_path, warnings_logged, name):
    write(f"tree/one/{name}", "- not a mapping\n")
    write(f"tree/two/{name}", "")
    assert load([str(tmp_path / "tree")]) == {}
    assert warnings_logged == [f"Could not load file: {name}"] * 2


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
@pytest.mark.parametrize("name", ["locked.yaml", "locked.txt"])
def test_an_unreadable_walked_file_is_reported_whatever_its_name(
    write, tmp_path, warnings_logged, name
):
    write("tree/good.yaml", "good: 1\n")
    locked = write(f"tree/{name}", "a: 1\n")
    os.chmod(locked, 0)
    assert load([str(tmp_path / "tree")]) == {"good": 1}
    assert warnings_logged == [f"Could not load file: {name}"]
    with pytest.raises(PermissionError):
        load([locked])


def test_a_merge_that_fails_part_way_is_not_rolled_back(write, tmp_path, warnings_logged):
    first = write("one/first.yaml", "b: [1]\n")
    partial = write("two/partial.yaml", "a: 1\nnew: {x: 1}\nb: {x: 1}\nafter: 0\n")
    write("three/later.yaml", "new: {y: 2}\n")

    result = load([str(tmp_path / d) for d in ("one", "two", "three")])

    # a and new were merged before b failed; the later file merges into new
    assert result == {"b": [1], "a": 1, "new": {"x": 1, "y": 2}}
    assert warnings_logged == ["Could not load file: partial.yaml"]
    with pytest.raises(TypeError) as excinfo:
        load([first, partial])
    assert str(excinfo.value) == (
        "Argument 'destination' has incorrect type (expected dict, got CommentedSeq)"
    )


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, ValueError])
def test_the_walk_catches_every_exception(write, tmp_path, monkeypatch, warnings_logged, exc_type):
    def merge_dict(source, destination, *rest):
        if "boom" in source:
            raise exc_type("boom")
        return real_merge_dict(source, destination, *rest)

    write("tree/good.yaml", "good: 1\n")
    boom = write("tree/boom.yaml", "boom: 1\n")
    monkeypatch.setattr(tolvek_yaml, "merge_dict", merge_dict)
    assert load([str(tmp_path / "tree")]) == {"good": 1}
    assert warnings_logged == ["Could not load file: boom.yaml"]
    with pytest.raises(exc_type):
        load([boom])


def test_an_error_raised_while_logging_propagates(write, tmp_path, monkeypatch):
    class BrokenLogger:
        def warning(self, message):
            raise RuntimeError("log sink is gone")

    monkeypatch.setattr(tolvek_yaml, "logger", BrokenLogger())
    write("tree/good.yaml", "good: 1\n")
    assert load([str(tmp_path / "tree")]) == {"good": 1}
    write("tree/bad.yaml", "")
    with pytest.raises(RuntimeError) as excinfo:
        load([str(tmp_path / "tree")])
    assert str(excinfo.value) == "log sink is gone"


# ---- paths -----------------------------------------------------------------------


class PathList(list):
    pass


@pytest.mark.parametrize(
    "make, type_name",
    [(lambda p: (p,), "tuple"), (lambda p: None, "NoneType"), (lambda p: PathList([p]), "PathList"),
     (lambda p: p, "str")],
    ids=["tuple", "None", "list_subclass", "str"],
)
def test_paths_must_be_exactly_a_list(write, monkeypatch, make, type_name):
    merged = []
    monkeypatch.setattr(tolvek_yaml, "merge_dict", lambda *args: merged.append(args))
    paths = make(write("a.yaml", "a: 1\n"))
    with pytest.raises(TypeError) as excinfo:
        load(paths)
    assert str(excinfo.value) == (
        f"Argument 'paths' has incorrect type (expected list, got {type_name})"
    )
    assert merged == []


@pytest.mark.parametrize("make, type_name", [(pathlib.Path, "PosixPath"), (os.fsencode, "bytes")])
def test_a_file_path_that_is_not_a_str_is_refused(write, make, type_name):
    path = write("a.yaml", "a: 1\n")
    with pytest.raises(TypeError) as excinfo:
        load([write("first.yaml", "first: 1\n"), make(path)])
    assert str(excinfo.value) == f"Expected unicode, got {type_name}"


def test_a_walked_path_that_cannot_be_built_as_a_str_is_logged(write, tmp_path, warnings_logged):
    write("tree/a.yaml", "a: 1\n")
    assert load([os.fsencode(tmp_path / "tree")]) == {}
    assert warnings_logged == ["Could not load file: b'a.yaml'"]


# ---- one file: open, parse, merge, close -----------------------------------------


def test_quoted_strings_keep_their_quoting_and_env_tags_resolve(write, monkeypatch):
    monkeypatch.setenv("TOLVEK_TEST_HOME", "/home/tester")
    path = write(
        "a.yaml",
        """\
        double: "x"
        single: 'y'
        plain: z
        home: !env TOLVEK_TEST_HOME
        """,
    )
    result = load([path])
    assert result == {"double": "x", "single": "y", "plain": "z", "home": "/home/tester"}
    assert type(result["double"]) is DoubleQuotedScalarString
    assert type(result["single"]) is SingleQuotedScalarString
    assert type(result["plain"]) is str and type(result["home"]) is str


def test_each_yaml_file_gets_a_fresh_reader_set_up_before_it_loads(write, monkeypatch):
    calls = []

    class Reader:
        def __init__(self):
            calls.append(("YAML", self))

        def __setattr__(self, name, value):
            calls.append(("set", self, name, value))

        def register_class(self, cls):
            calls.append(("register_class", self, cls))

        def load(self, text):
            calls.append(("load", self, text))
            return {"text": text}

    stand_in = types.ModuleType("ruamel.yaml")
    stand_in.YAML = Reader
    monkeypatch.setattr(tolvek_yaml, "yaml", stand_in)
    paths = [write("a.yaml", "a: 1\n"), write("notes.txt", "n: 1\n"), write("b.yml", "b: [2]\n")]

    assert load(paths) == {"text": "b: [2]\n"}

    readers = [call[1] for call in calls if call[0] == "YAML"]
    assert len(readers) == 2 and readers[0] is not readers[1]
    assert calls == [
        step
        for reader, text in zip(readers, ["a: 1\n", "b: [2]\n"])
        for step in [
            ("YAML", reader),
            ("set", reader, "preserve_quotes", True),
            ("register_class", reader, tolvek_yaml.VaultTag),
            ("register_class", reader, tolvek_yaml.EnvTag),
            ("load", reader, text),
        ]
    ]
    assert calls[1][3] is True


def test_each_document_is_merged_into_the_result_while_its_file_is_open(write, monkeypatch):
    path = write("a.yaml", "a: {x: 1}\n")
    calls = []

    def merge_dict(*args, **kwargs):
        calls.append((args, kwargs, fds_open_to(path)))
        return real_merge_dict(*args, **kwargs)

    monkeypatch.setattr(tolvek_yaml, "merge_dict", merge_dict)
    result = load([path])

    (source, destination), kwargs, open_during_merge = calls[0]
    assert kwargs == {}
    assert type(source) is CommentedMap and source == {"a": {"x": 1}}
    assert destination is result
    assert open_during_merge != []
    assert fds_open_to(path) == []


@pytest.mark.parametrize("named", ["directly", "by_walk"])
@pytest.mark.parametrize(
    "name, text",
    [
        ("ok.yaml", "a: 1\n"),
        ("notes.txt", "a: 1\n"),
        ("broken.yaml", "a: [1\n"),
        ("list.yaml", "- 1\n"),
    ],
    ids=["loaded", "not_yaml", "parse_error", "merge_error"],
)
def test_the_file_is_closed_on_every_path(tmp_path, warnings_logged, name, text, named):
    path = tmp_path / "tree" / name
    path.parent.mkdir()
    path.write_text(text)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            load([str(path) if named == "directly" else str(path.parent)])
        except Exception:
            pass
        gc.collect()
    assert fds_open_to(path) == []
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


# ---- names looked up at each call ------------------------------------------------


def test_the_module_logger_is_looked_up_at_each_call(write, tmp_path, monkeypatch, warnings_logged):
    class Recorder:
        def __init__(self):
            self.calls = []

        def warning(self, *args, **kwargs):
            self.calls.append((args, kwargs))

    recorder = Recorder()
    monkeypatch.setattr(tolvek_yaml, "logger", recorder)
    write("tree/bad.yaml", "")
    load([str(tmp_path / "tree")])
    assert recorder.calls == [(("Could not load file: bad.yaml",), {})]
    assert type(recorder.calls[0][0][0]) is str
    assert warnings_logged == []


@pytest.mark.parametrize(
    "listing, winner", [(["a.yaml", "b.yaml"], "b"), (["b.yaml", "a.yaml"], "a")]
)
def test_the_module_os_is_looked_up_at_each_call(write, tmp_path, monkeypatch, listing, winner):
    write("tree/a.yaml", "who: a\n")
    write("tree/b.yaml", "who: b\n")
    tree = str(tmp_path / "tree")
    calls = []

    def isfile(path):
        calls.append(("isfile", path))
        return os.path.isfile(path)

    def walk(*args, **kwargs):
        calls.append(("walk", args, kwargs))
        yield tree, [], listing

    path = types.SimpleNamespace(isfile=isfile, sep=os.sep)
    stand_in = types.SimpleNamespace(walk=walk, path=path)
    monkeypatch.setattr(tolvek_yaml, "os", stand_in)
    assert load([tree]) == {"who": winner}
    assert calls == [("isfile", tree), ("walk", (tree,), {})]


def test_the_open_found_at_import_is_kept(write, monkeypatch):
    path = write("a.yaml", "a: 1\n")

    def no_open(*args, **kwargs):
        raise AssertionError("the rebound open was used")

    monkeypatch.setattr(builtins, "open", no_open)
    result = load([path])
    monkeypatch.undo()
    assert result == {"a": 1}


def test_the_per_file_loader_is_not_exported():
    assert not hasattr(tolvek_yaml, "_load_file")
