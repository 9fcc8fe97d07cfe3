"""pip builds and installs the module with its type stub into a fresh virtual
environment of the system interpreter, and type checkers see the stub.

One install (from a copy of the tree, so that the build leaves nothing in
the working tree) serves every test here."""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path
from types import SimpleNamespace

import pytest

SYSTEM_PYTHON = "/usr/bin/python3"
REPO = Path(__file__).resolve().parent.parent
# Debian packages, installed by scripts/setup: pip, python3-venv (ensurepip),
# setuptools, wheel, mypy.
TOOLS = ("pip", "ensurepip", "setuptools", "wheel", "mypy")

pytestmark = [
    pytest.mark.skipif(
        os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON),
        reason="about installing into a virtual environment of the system interpreter only",
    ),
    pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", ""),
        reason="the install is checked in the plain system interpreter's run, not under the sanitizer",
    ),
]

INSTALLED_ENTRIES = {
    "tolvek_yaml" + sysconfig.get_config_var("EXT_SUFFIX"),
    "tolvek_yaml.pyi",
    "tolvek_yaml-stubs",
}

HELP_LINES = [
    "load_yaml_files(paths: 'List[str]') -> 'Dict[str, Any]'",
    "merge_dict(source: 'Dict[Any, Any]', destination: 'Dict[Any, Any]', "
    "merge_list_items: 'bool' = True) -> 'Dict[Any, Any]'",
    "merge_list_item(source_item: 'Any', destination: 'List[Any]', merge_list_items: 'bool' = True) -> 'None'",
    "__init__(self, v: 'str')",
    "from_yaml(loader: 'Any', node: 'Any') -> 'str'",
]

# Each line is a mistake the stub must let mypy see: with no stub found, the
# module would be Any (or missing) and none of these would be reported.
WRONG_CALLS = [
    (
        'tolvek_yaml.load_yaml_files("conf/base.yaml")',
        'Argument 1 to "load_yaml_files" has incompatible type "str"; expected "List[str]"',
    ),
    (
        "tolvek_yaml.merge_dict(1, {})",
        'Argument 1 to "merge_dict" has incompatible type "int"; expected "Dict[Any, Any]"',
    ),
    ("tolvek_yaml.merge_list_item({}, [], merge_list_item=False)", 'Unexpected keyword argument "merge_list_item"'),
    ("tolvek_yaml.merge_dict({}, {}, False, 1)", 'Too many arguments for "merge_dict"'),
    (
        "count: int = tolvek_yaml.load_yaml_files([])",
        'Incompatible types in assignment (expression has type "Dict[str, Any]", variable has type "int")',
    ),
    ("tolvek_yaml.EnvTag(1)", 'Argument 1 to "EnvTag" has incompatible type "int"; expected "str"'),
    ("tolvek_yaml.load_yaml_file([])", 'Module has no attribute "load_yaml_file"'),
]


def run(args, cwd, env, check=True):
    result = subprocess.run(
        [str(arg) for arg in args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )
    if check:
        assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    missing = [name for name in TOOLS if importlib.util.find_spec(name) is None]
    if missing:
        message = f"needs {', '.join(missing)} for the system interpreter: scripts/setup installs them"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)

    root = tmp_path_factory.mktemp("install")
    source = root / "source"
    shutil.copytree(
        REPO,
        source,
        ignore=shutil.ignore_patterns(".git", "build", "__pycache__", ".pytest_cache", ".mypy_cache", "*.egg-info"),
    )
    copied = set(os.listdir(source))
    (root / "mypy.ini").write_text("[mypy]\n")  # read instead of the user's own mypy settings

    # Offline, and blind to the test run's module path, the user's pip
    # settings and packages in ~/.local.
    env = {
        name: value
        for name, value in os.environ.items()
        if name not in ("PYTHONPATH", "MYPYPATH") and not name.startswith("PIP_")
    }
    env.update(
        PIP_NO_INDEX="1",
        PIP_DISABLE_PIP_VERSION_CHECK="1",
        PIP_NO_CACHE_DIR="1",
        PIP_CONFIG_FILE=os.devnull,
        PYTHONNOUSERSITE="1",
        MYPY_CACHE_DIR=str(root / "mypy-cache"),
        TOLVEK_OUTPUT_BASE_DIR=str(root / "out"),
    )

    venv = root / "venv"
    run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", venv], cwd=root, env=env)
    python = venv / "bin" / "python"
    where = run([python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"], root, env)
    site = Path(where.stdout.strip())
    before = set(os.listdir(site))
    run([python, "-m", "pip", "install", "--no-build-isolation", "."], cwd=source, env=env)
    wheels = root / "wheels"
    run(
        [python, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", wheels, "."],
        cwd=source,
        env=env,
    )
    return SimpleNamespace(
        root=root,
        env=env,
        python=python,
        site=site,
        added=set(os.listdir(site)) - before,
        left_in_tree=set(os.listdir(source)) - copied,
        wheels=sorted(wheels.iterdir()),
    )


def top_level(names):
    """Top-level entries other than the distribution's metadata folder."""
    return {name.split("/")[0] for name in names if not name.split("/")[0].endswith(".dist-info")}


def test_installs_the_module_and_its_stub_and_nothing_else(installed):
    assert top_level(installed.added) == INSTALLED_ENTRIES
    assert [name for name in installed.added if name.endswith(".dist-info")] == [
        "tolvek_yaml-0.1.0.dist-info"
    ]
    assert os.listdir(installed.site / "tolvek_yaml-stubs") == ["__init__.pyi"]
    stub = (REPO / "tolvek_yaml.pyi").read_text()
    assert (installed.site / "tolvek_yaml.pyi").read_text() == stub
    assert (installed.site / "tolvek_yaml-stubs" / "__init__.pyi").read_text() == stub
    # setuptools' work files stay below build/
    assert installed.left_in_tree == {"build"}

    [wheel] = installed.wheels
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert top_level(names) == INSTALLED_ENTRIES
    assert "tolvek_yaml-stubs/__init__.pyi" in names


def test_host_modules_are_not_installed(installed):
    result = run([installed.python, "-c", "import tolvek_yaml"], installed.root, installed.env, check=False)
    assert result.returncode == 1
    assert "No module named 'tolvek_init'" in result.stderr


def test_installed_module_imports_and_shows_its_signatures(installed):
    env = dict(installed.env, PYTHONPATH=str(REPO / "host"))
    code = (
        "import pydoc, tolvek_yaml; print(tolvek_yaml.__file__); "
        "print(pydoc.render_doc(tolvek_yaml, renderer=pydoc.plaintext))"
    )
    location, text = run([installed.python, "-c", code], installed.root, env).stdout.split("\n", 1)
    assert Path(location).parent == installed.site
    for line in HELP_LINES:
        assert line in text


def test_stub_matches_the_runtime_module(installed):
    env = dict(installed.env, PYTHONPATH=str(REPO / "host"))
    args = [installed.python, "-m", "mypy.stubtest", "--mypy-config-file", installed.root / "mypy.ini", "tolvek_yaml"]
    result = run(args, installed.root, env, check=False)
    assert result.returncode == 0, result.stdout + result.stderr


def mypy(installed, path):
    # run from its own folder: mypy also looks in the current directory,
    # and the working tree's stub there would hide the installed one
    args = [installed.python, "-m", "mypy", "--config-file", installed.root / "mypy.ini", path.name]
    return run(args, path.parent, installed.env, check=False)


def test_mypy_accepts_a_typed_caller(installed, tmp_path):
    caller = tmp_path / "typed_caller.py"
    shutil.copy(REPO / "tests" / "typed_caller.py", caller)
    result = mypy(installed, caller)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_wrong_calls(installed, tmp_path):
    caller = tmp_path / "wrong.py"
    caller.write_text("import tolvek_yaml\n" + "".join(code + "\n" for code, _ in WRONG_CALLS))
    result = mypy(installed, caller)
    assert result.returncode == 1, result.stdout + result.stderr
    for line, (code, message) in enumerate(WRONG_CALLS, start=2):
        assert f"wrong.py:{line}: error: {message}" in result.stdout, (code, result.stdout)
