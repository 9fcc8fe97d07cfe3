"""The "!env" and "!vault" tag classes: resolution while a file is parsed,
decryption through the real ansible-vault and the stand-in password script,
the exact child command, the class shape and late binding of the modules
the methods use."""

import importlib.util
import json
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest
import ruamel.yaml
from ruamel.yaml.constructor import Constructor
from ruamel.yaml.scalarstring import DoubleQuotedScalarString

import tolvek_yaml
from tolvek_yaml import EnvTag, VaultTag

# The password source that every "!vault" decryption names.
VAULT_SCRIPT = importlib.util.find_spec("tolvek_validate.ansible_vault").origin
PASSWORD = "correct horse"
SECRETS = {"password": "s3cret välue", "motd": "line one\nline two\n"}
TAG_CLASSES = [VaultTag, EnvTag]


# ---- helpers ---------------------------------------------------------------------

FAKE_ANSIBLE_VAULT = """\
#!{python}
import json, sys
data = sys.stdin.buffer.read()
with open({log!r}, "a") as log:
    log.write(json.dumps({{"argv": sys.argv, "stdin": data.hex()}}) + "\\n")
sys.stdout.buffer.write({stdout!r})
sys.exit({status})
"""


def write_fake_ansible_vault(directory, stdout=b"", status=0):
    """Writes an executable `ansible-vault` into directory that records its
    argument vector and standard input, prints stdout and exits with status."""
    directory.mkdir(parents=True, exist_ok=True)
    script = directory / "ansible-vault"
    script.write_text(
        FAKE_ANSIBLE_VAULT.format(
            python=sys.executable, log=str(directory / "calls.jsonl"), stdout=stdout, status=status
        )
    )
    script.chmod(0o755)
    return script


def recorded_calls(directory):
    """(argv, stdin bytes) of every run of the fake in directory, in order."""
    log = directory / "calls.jsonl"
    if not log.exists():
        return []
    records = [json.loads(line) for line in log.read_text().splitlines()]
    return [(record["argv"], bytes.fromhex(record["stdin"])) for record in records]


def set_vault_id(monkeypatch, label):
    if label is None:
        monkeypatch.delenv("ANSIBLE_VAULT_ID", raising=False)
    else:
        monkeypatch.setenv("ANSIBLE_VAULT_ID", label)


def run_password_script(env, *args):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("TOLVEK_VAULT_")}
    full_env.update(env)
    return subprocess.run(
        [VAULT_SCRIPT, *args], env=full_env, capture_output=True, text=True, timeout=60
    )


# ---- fixtures --------------------------------------------------------------------


@pytest.fixture(autouse=True)
def clean_vault_environment(monkeypatch):
    for name in ("ANSIBLE_VAULT_ID", "TOLVEK_VAULT_PASSWORD", "TOLVEK_VAULT_PASSWORD_FILE"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(scope="module")
def vault_blocks():
    """name -> the `name: !vault |` block that `ansible-vault encrypt_string`
    prints for that secret, encrypted once for the module with PASSWORD."""
    env = {k: v for k, v in os.environ.items() if k != "TOLVEK_VAULT_PASSWORD_FILE"}
    env["TOLVEK_VAULT_PASSWORD"] = PASSWORD
    names = [option for name in SECRETS for option in ("--name", name)]
    printed = subprocess.run(
        ["ansible-vault", "encrypt_string", "--vault-id", VAULT_SCRIPT, *names, *SECRETS.values()],
        env=env,
        capture_output=True,
        text=True,
        check=True,
        timeout=120,
    ).stdout
    blocks = {}
    for line in printed.splitlines():
        if not line.startswith(" "):
            lines = blocks.setdefault(line.split(":")[0], [])
        lines.append(line)
    assert list(blocks) == list(SECRETS)
    assert all(lines[0].endswith(": !vault |") for lines in blocks.values())
    return {name: "\n".join(lines) + "\n" for name, lines in blocks.items()}


@pytest.fixture
def fake_vault(tmp_path, monkeypatch):
    """install(stdout=b"", status=0) puts a recording fake `ansible-vault`
    first on PATH and returns its directory (for recorded_calls)."""

    def install(stdout=b"", status=0):
        directory = tmp_path / "fake-bin"
        write_fake_ansible_vault(directory, stdout, status)
        monkeypatch.setenv("PATH", str(directory) + os.pathsep + os.environ["PATH"])
        return directory

    return install


# ---- the real ansible-vault -------------------------------------------------------


@pytest.mark.parametrize("label", [None, "prod", ""], ids=["no-label", "label", "empty-label"])
def test_encrypted_strings_decrypt_in_named_file_and_walked_directory(
    write, tmp_path, monkeypatch, vault_blocks, warnings_logged, label
):
    named = write("named.yaml", vault_blocks["password"])
    write("walked/more.yaml", vault_blocks["motd"])
    monkeypatch.setenv("TOLVEK_VAULT_PASSWORD", PASSWORD)
    set_vault_id(monkeypatch, label)

    result = tolvek_yaml.load_yaml_files([named, str(tmp_path / "walked")])

    # The plaintext comes back whole: non-ASCII text and the final line feed.
    assert result == SECRETS
    assert [type(value) for value in result.values()] == [str, str]
    assert warnings_logged == []


@pytest.mark.parametrize("password", ["wrong password", None], ids=["wrong", "no-source"])
def test_undecryptable_secret_in_named_file_raises(write, monkeypatch, vault_blocks, password):
    named = write("named.yaml", vault_blocks["password"])
    if password is not None:
        monkeypatch.setenv("TOLVEK_VAULT_PASSWORD", password)

    with pytest.raises(subprocess.CalledProcessError) as excinfo:
        tolvek_yaml.load_yaml_files([named])

    assert excinfo.value.returncode != 0
    assert excinfo.value.cmd == ["ansible-vault", "decrypt", "--vault-id", VAULT_SCRIPT]
    assert excinfo.value.output == b""


def test_wrong_password_in_walked_file_is_logged_and_skipped(
    write, tmp_path, monkeypatch, vault_blocks, warnings_logged
):
    write("walked/secret.yaml", "before: 1\n" + vault_blocks["password"])
    write("walked/plain.yaml", "plain: kept\n")
    monkeypatch.setenv("TOLVEK_VAULT_PASSWORD", "wrong password")

    result = tolvek_yaml.load_yaml_files([str(tmp_path / "walked")])

    assert result == {"plain": "kept"}
    assert warnings_logged == ["Could not load file: secret.yaml"]


# ---- the password script ---------------------------------------------------------------


@pytest.mark.parametrize(
    "env, args, printed",
    [
        ({"TOLVEK_VAULT_PASSWORD": "from env"}, [], "from env\n"),
        # a client script is run with the label of the identity
        ({"TOLVEK_VAULT_PASSWORD": "from env"}, ["--vault-id", "prod"], "from env\n"),
        ({"TOLVEK_VAULT_PASSWORD_FILE": "{file}"}, [], "from file\n"),
        ({"TOLVEK_VAULT_PASSWORD": "from env", "TOLVEK_VAULT_PASSWORD_FILE": "{file}"}, [], "from env\n"),
    ],
    ids=["env", "env-with-label", "file", "env-before-file"],
)
def test_password_script_prints_the_password(tmp_path, env, args, printed):
    password_file = tmp_path / "password"
    password_file.write_text("from file\n")
    env = {name: value.format(file=password_file) for name, value in env.items()}

    completed = run_password_script(env, *args)

    assert (completed.returncode, completed.stdout, completed.stderr) == (0, printed, "")


@pytest.mark.parametrize("env", [{}, {"TOLVEK_VAULT_PASSWORD_FILE": "/nonexistent/password"}])
def test_password_script_without_a_password_fails_with_a_message(env):
    completed = run_password_script(env)

    assert completed.returncode != 0
    assert completed.stdout == ""
    assert "TOLVEK_VAULT_PASSWORD" in completed.stderr
    assert "Traceback" not in completed.stderr


def test_password_script_is_executable_and_importing_it_runs_nothing(run_python):
    assert os.access(VAULT_SCRIPT, os.X_OK)
    assert Path(VAULT_SCRIPT).read_text().startswith("#!/usr/bin/env python3\n")

    completed = run_python(
        "import tolvek_validate.ansible_vault; print('imported')",
        env={"PYTHONPATH": str(Path(VAULT_SCRIPT).parents[1])},
    )

    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "imported\n", "")


# ---- the child command (a fake ansible-vault) --------------------------------------------


@pytest.mark.parametrize(
    "label, identity",
    [(None, VAULT_SCRIPT), ("prod", "prod@" + VAULT_SCRIPT), ("", "@" + VAULT_SCRIPT)],
    ids=["no-label", "label", "empty-label"],
)
def test_child_gets_decrypt_argv_and_scalar_text_on_stdin(
    write, monkeypatch, fake_vault, label, identity
):
    bin_dir = fake_vault(stdout="plain välue\n".encode())
    set_vault_id(monkeypatch, label)
    named = write(
        "named.yaml",
        """\
        key: !vault |
          $ANSIBLE_VAULT;1.1;AES256
          6162 é
        """,
    )

    assert tolvek_yaml.load_yaml_files([named]) == {"key": "plain välue\n"}
    # A script sees as argv[0] the path where "ansible-vault" was found on PATH.
    assert recorded_calls(bin_dir) == [
        (
            [str(bin_dir / "ansible-vault"), "decrypt", "--vault-id", identity],
            "$ANSIBLE_VAULT;1.1;AES256\n6162 é\n".encode("utf-8"),
        )
    ]


def test_directly_built_vault_tag_decrypts_anew_at_each_format(monkeypatch, fake_vault):
    bin_dir = fake_vault(stdout=b"plain")
    tag = VaultTag("cipher\r\ntext")
    assert recorded_calls(bin_dir) == []  # building decrypts nothing

    results = [repr(tag), str(tag)]
    monkeypatch.setenv("ANSIBLE_VAULT_ID", "late")
    results += [format(tag), f"{tag}"]

    assert results == ["plain"] * 4
    calls = recorded_calls(bin_dir)
    assert [argv[3] for argv, _ in calls] == [VAULT_SCRIPT] * 2 + ["late@" + VAULT_SCRIPT] * 2
    assert {stdin for _, stdin in calls} == {b"cipher\r\ntext"}


@pytest.mark.parametrize(
    "text, stdins",
    [
        ('a: !vault "same"\nb: !vault "same"\n', [b"same", b"same"]),
        ('a: !vault ""\n', [b""]),
    ],
    ids=["same-text-twice", "empty-scalar"],
)
def test_each_vault_scalar_starts_its_own_child(write, fake_vault, text, stdins):
    bin_dir = fake_vault(stdout=b"out")

    result = tolvek_yaml.load_yaml_files([write("named.yaml", text)])

    assert set(result.values()) == {"out"}
    assert [stdin for _, stdin in recorded_calls(bin_dir)] == stdins


@pytest.mark.parametrize("status", [1, 3])
def test_child_exit_status_raises_called_process_error(write, fake_vault, status):
    fake_vault(stdout=b"partial", status=status)

    with pytest.raises(subprocess.CalledProcessError) as excinfo:
        tolvek_yaml.load_yaml_files([write("named.yaml", 'key: !vault "cipher"\n')])

    error = excinfo.value
    assert (error.returncode, error.cmd, error.output) == (
        status,
        ["ansible-vault", "decrypt", "--vault-id", VAULT_SCRIPT],
        b"partial",
    )


def test_non_utf8_output_raises_unicode_decode_error(fake_vault):
    fake_vault(stdout=b"caf\xe9")

    with pytest.raises(UnicodeDecodeError) as excinfo:
        repr(VaultTag("cipher"))

    assert excinfo.value.encoding == "utf-8"


def test_missing_ansible_vault_raises_file_not_found(write, tmp_path, monkeypatch):
    (tmp_path / "empty-bin").mkdir()
    monkeypatch.setenv("PATH", str(tmp_path / "empty-bin"))

    with pytest.raises(FileNotFoundError):
        tolvek_yaml.load_yaml_files([write("named.yaml", 'key: !vault "cipher"\n')])


def test_validate_package_without_password_module_gives_empty_text(
    write, tmp_path, monkeypatch, fake_vault
):
    bin_dir = fake_vault(stdout=b"never")
    package = tmp_path / "packages" / "tolvek_validate"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    monkeypatch.syspath_prepend(str(tmp_path / "packages"))
    monkeypatch.delitem(sys.modules, "tolvek_validate")
    monkeypatch.delitem(sys.modules, "tolvek_validate.ansible_vault", raising=False)

    result = tolvek_yaml.load_yaml_files([write("named.yaml", 'key: !vault "cipher"\n')])

    assert result == {"key": ""}
    assert repr(VaultTag("cipher")) == ""
    assert sys.modules["tolvek_validate"].__file__ == str(package / "__init__.py")
    assert recorded_calls(bin_dir) == []


def test_missing_validate_package_raises_module_not_found(monkeypatch, fake_vault):
    bin_dir = fake_vault()
    host_dir = str(Path(VAULT_SCRIPT).parents[1])
    monkeypatch.setattr(sys, "path", [p for p in sys.path if os.path.abspath(p) != host_dir])
    monkeypatch.delitem(sys.modules, "tolvek_validate")

    with pytest.raises(ModuleNotFoundError) as excinfo:
        repr(VaultTag("cipher"))

    assert str(excinfo.value) == "No module named 'tolvek_validate'"
    assert recorded_calls(bin_dir) == []


# ---- "!env" ----------------------------------------------------------------------------


def test_env_scalars_resolve_to_plain_strings_while_loading(write, monkeypatch):
    monkeypatch.setenv("TOLVEK_T_NAME", "upper")
    monkeypatch.setenv("tolvek_t_name", "lower")
    monkeypatch.setenv("TOLVEK_T_NAME ", "trailing space")
    monkeypatch.setenv("TOLVEK_T_EMPTY", "")
    monkeypatch.delenv("TOLVEK_T_UNSET", raising=False)
    named = write(
        "named.yaml",
        """\
        set: !env TOLVEK_T_NAME
        quoted: !env 'TOLVEK_T_NAME'
        lower: !env tolvek_t_name
        spaced: !env "TOLVEK_T_NAME "
        leading: !env " TOLVEK_T_NAME"
        empty: !env TOLVEK_T_EMPTY
        unset: !env TOLVEK_T_UNSET
        no_name: !env ""
        nested: [!env TOLVEK_T_NAME, {inner: !env tolvek_t_name}]
        """,
    )

    result = tolvek_yaml.load_yaml_files([named])

    assert result == {
        "set": "upper",
        "quoted": "upper",
        "lower": "lower",
        "spaced": "trailing space",
        "leading": "",
        "empty": "",
        "unset": "",
        "no_name": "",
        "nested": ["upper", {"inner": "lower"}],
    }
    scalars = [v for k, v in result.items() if k != "nested"] + result["nested"][:1]
    assert {type(value) for value in scalars} == {str}


@pytest.mark.parametrize("tag", ["!env", "!vault"])
@pytest.mark.parametrize("node", ["[A, B]", "{a: 1}"], ids=["sequence", "mapping"])
def test_tag_on_a_collection_fails_the_load(write, fake_vault, tag, node):
    bin_dir = fake_vault(stdout=b"never")

    with pytest.raises(TypeError) as excinfo:
        tolvek_yaml.load_yaml_files([write("named.yaml", f"x: {tag} {node}\n")])

    # the reader hands over the node's list of child nodes
    assert str(excinfo.value) == "Argument 'v' has incorrect type (expected str, got list)"
    assert recorded_calls(bin_dir) == []


@pytest.mark.parametrize(
    "render", [repr, str, format, lambda tag: f"{tag}"], ids=["repr", "str", "format", "f-string"]
)
def test_env_tag_renders_the_variable_at_each_call(monkeypatch, render):
    monkeypatch.delenv("TOLVEK_T_LIVE", raising=False)
    tag = EnvTag("TOLVEK_T_LIVE")
    seen = [render(tag)]
    monkeypatch.setenv("TOLVEK_T_LIVE", "first")
    seen.append(render(tag))
    monkeypatch.setenv("TOLVEK_T_LIVE", "second")
    seen.append(render(tag))

    assert seen == ["", "first", "second"]


class Name(str):
    pass


@pytest.mark.parametrize("cls", TAG_CLASSES)
@pytest.mark.parametrize(
    "value, type_name",
    [
        (5, "int"),
        (None, "NoneType"),
        (b"HOME", "bytes"),
        (Name("HOME"), "Name"),
        (DoubleQuotedScalarString("HOME"), "DoubleQuotedScalarString"),
    ],
)
def test_tag_refuses_anything_but_exact_str(cls, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        cls(value)

    assert str(excinfo.value) == f"Argument 'v' has incorrect type (expected str, got {type_name})"


# ---- class shape ----------------------------------------------------------------------------


def reference_class(name, tag):
    """The class a Python class statement makes from the same members."""

    def __init__(self, v):
        self.value = v

    def __repr__(self):
        return ""

    def from_yaml(cls, loader, node):
        return str(cls(node.value))

    namespace = {"__module__": "tolvek_yaml", "__qualname__": name, "yaml_tag": tag}
    namespace.update(__init__=__init__, __repr__=__repr__, from_yaml=classmethod(from_yaml))
    metaclass = type(ruamel.yaml.YAMLObject)
    return type.__new__(metaclass, name, (ruamel.yaml.YAMLObject,), namespace)


@pytest.mark.parametrize("cls, tag", [(VaultTag, "!vault"), (EnvTag, "!env")])
def test_tag_class_shape(cls, tag):
    name = cls.__name__
    assert cls.__bases__ == (ruamel.yaml.YAMLObject,)
    assert type(cls) is type(ruamel.yaml.YAMLObject)
    assert (cls.yaml_tag, cls.__module__, cls.__qualname__, cls.__doc__) == (
        tag, "tolvek_yaml", name, None,
    )
    assert list(vars(cls)) == list(vars(reference_class(name, tag)))
    # (type() moves __qualname__ out of the class dict into the class itself)
    members = ["__module__", "yaml_tag", "__init__", "__repr__", "from_yaml"]
    assert [key for key in vars(cls) if key in members] == members
    assert "__str__" not in vars(cls)
    assert isinstance(vars(cls)["from_yaml"], classmethod)
    # The base's metaclass ran at creation and bound the tag for its loader.
    assert Constructor.yaml_constructors[tag] == cls.from_yaml


@pytest.mark.parametrize("cls", TAG_CLASSES)
def test_tag_object_holds_the_text(cls):
    text = "SOME_TEXT"
    tag = cls(text)

    assert tag.value is text
    assert vars(tag) == {"value": text}


def test_from_yaml_takes_any_node_with_a_value(monkeypatch):
    monkeypatch.setenv("TOLVEK_T_NODE", "node value")

    class Loud(EnvTag):
        def __repr__(self):
            return "loud " + self.value

    result = EnvTag.from_yaml(object(), types.SimpleNamespace(value="TOLVEK_T_NODE"))

    assert type(result) is str and result == "node value"
    assert Loud.from_yaml(None, types.SimpleNamespace(value="X")) == "loud X"


# ---- late binding of os, subprocess and importlib --------------------------------------------


class Recorder:
    """A callable that records its calls and returns (or raises) result."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class Output(bytes):
    """Captured output whose decode gives a chosen object."""

    def decode(self, *args):
        return self.decoded


class FalseSpec:
    """A spec that is false in a truth test although it has an origin."""

    origin = "/never"

    def __bool__(self):
        return False


def output_decoding_to(value):
    output = Output(b"")
    output.decoded = value
    return output


def test_env_tag_uses_the_module_os_at_each_call(monkeypatch):
    tag = EnvTag("TOLVEK_T_ANY")
    getenv = Recorder("from fake os")
    monkeypatch.setattr(tolvek_yaml, "os", types.SimpleNamespace(getenv=getenv))

    assert repr(tag) == "from fake os"
    assert getenv.calls == [(("TOLVEK_T_ANY",), {})]

    getenv.result = 5
    with pytest.raises(TypeError) as excinfo:
        repr(tag)
    assert str(excinfo.value) == "Expected unicode, got int"


def test_vault_tag_uses_the_module_subprocess_and_os_at_each_call(monkeypatch):
    tag = VaultTag("cipher é")
    check_output = Recorder(b"plain\n")
    monkeypatch.setattr(tolvek_yaml, "subprocess", types.SimpleNamespace(check_output=check_output))

    assert repr(tag) == "plain\n"
    monkeypatch.setattr(tolvek_yaml, "os", types.SimpleNamespace(environ={"ANSIBLE_VAULT_ID": "fake"}))
    assert repr(tag) == "plain\n"
    assert check_output.calls == [
        ((["ansible-vault", "decrypt", "--vault-id", identity],), {"input": "cipher é".encode()})
        for identity in (VAULT_SCRIPT, "fake@" + VAULT_SCRIPT)
    ]

    check_output.result = output_decoding_to(5)
    with pytest.raises(TypeError) as excinfo:
        repr(tag)
    assert str(excinfo.value) == "Expected unicode, got int"


@pytest.mark.parametrize(
    "spec, identity",
    [
        (types.SimpleNamespace(origin="/elsewhere/password.py"), "/elsewhere/password.py"),
        (types.SimpleNamespace(origin=None), "None"),
        (None, None),
        (FalseSpec(), None),
    ],
    ids=["origin", "origin-none", "not-found", "false-result"],
)
def test_vault_tag_uses_the_module_importlib_at_each_call(monkeypatch, spec, identity):
    tag = VaultTag("cipher")
    find_spec = Recorder(spec)
    check_output = Recorder(b"plain")
    monkeypatch.setattr(
        tolvek_yaml, "importlib", types.SimpleNamespace(util=types.SimpleNamespace(find_spec=find_spec))
    )
    monkeypatch.setattr(tolvek_yaml, "subprocess", types.SimpleNamespace(check_output=check_output))

    assert repr(tag) == ("" if identity is None else "plain")
    assert find_spec.calls == [(("tolvek_validate.ansible_vault",), {})]
    assert [args[0][3] for args, _ in check_output.calls] == ([] if identity is None else [identity])
