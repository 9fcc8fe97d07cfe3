"""Start-up of the module: what it binds, the log sink, once per process,
and how a failed start-up leaves the next import free to try again."""

import sys

import pytest

import tolvek_yaml

IMPORTED_NAMES = [
    "os",
    "subprocess",
    "importlib",
    "Any",
    "Dict",
    "List",
    "yaml",
    "logger",
    "settings",
    "VaultTag",
    "EnvTag",
    "load_yaml_files",
    "merge_list_item",
    "merge_dict",
]


def test_namespace_holds_the_imports_and_definitions_in_order():
    import importlib
    import os
    import subprocess
    import typing

    import ruamel.yaml
    from loguru import logger
    from tolvek_init.conf import settings

    names = [name for name in vars(tolvek_yaml) if not name.startswith("__")]
    assert names == IMPORTED_NAMES
    ns = vars(tolvek_yaml)
    assert ns["os"] is os and ns["subprocess"] is subprocess
    assert ns["importlib"] is importlib and "importlib.util" in sys.modules
    assert (ns["Any"], ns["Dict"], ns["List"]) == (typing.Any, typing.Dict, typing.List)
    assert ns["yaml"] is ruamel.yaml
    assert ns["logger"] is logger
    assert ns["settings"] is settings
    assert tolvek_yaml.__doc__ is None
    assert not hasattr(tolvek_yaml, "_load_file")


def test_imports_run_in_order_with_the_module_namespace_as_globals(run_python):
    result = run_python(
        """
        import builtins
        original = builtins.__import__
        calls = []
        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "tolvek_yaml":
                calls.append((name, fromlist, level))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        import tolvek_yaml
        builtins.__import__ = original
        for call in calls:
            print(call)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "('os', None, 0)",
        "('subprocess', None, 0)",
        "('importlib.util', None, 0)",
        "('typing', ('Any', 'Dict', 'List'), 0)",
        "('ruamel', ('yaml',), 0)",
        "('loguru', ('logger',), 0)",
        "('tolvek_init.conf', ('settings',), 0)",
    ]


def test_log_sink_takes_info_and_above_from_every_module(run_python, tmp_path):
    result = run_python(
        """
        import tolvek_yaml
        from loguru import logger
        logger.debug("not this")
        logger.info("hello from elsewhere")
        logger.warning("and a warning")
        """,
        env={"TOLVEK_OUTPUT_BASE_DIR": str(tmp_path / "var" / "out")},
    )
    assert result.returncode == 0, result.stderr
    log = tmp_path / "var" / "out" / "tolvek_init_log" / "tolvek-init-main.log"
    lines = log.read_text().splitlines()
    assert [line.split(" ", 1)[1] for line in lines] == [
        "INFO hello from elsewhere",
        "WARNING and a warning",
    ]
    # "{time}" comes first, as loguru writes it
    assert lines[0][:4].isdigit() and "T" in lines[0].split(" ")[0]
    # the library's default sink is left in place
    assert "hello from elsewhere" in result.stderr


def test_startup_runs_once_per_process(run_python):
    result = run_python(
        """
        import importlib, sys
        import tolvek_init.conf as conf

        reads = []
        class Settings:
            @property
            def OUTPUT_BASE_DIR(self):
                reads.append(1)
                return "%s"
        conf.settings = Settings()

        from loguru import logger
        before = len(logger._core.handlers)
        import tolvek_yaml
        first = tolvek_yaml
        del sys.modules["tolvek_yaml"]
        import tolvek_yaml
        assert tolvek_yaml is first
        assert importlib.reload(tolvek_yaml) is first
        assert tolvek_yaml.merge_dict({"a": 1}, {}) == {"a": 1}
        print(len(logger._core.handlers) - before, len(reads))
        """
        % "out"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "1"]


FAILING_STARTUPS = {
    "configuration module missing": (
        "sys.modules['tolvek_init.conf'] = None",
        "ModuleNotFoundError",
        0,
    ),
    "no settings in it": (
        "sys.modules['tolvek_init.conf'] = types.ModuleType('tolvek_init.conf')",
        "ImportError: cannot import name 'settings' from 'tolvek_init.conf' (unknown location)",
        0,
    ),
    "settings without OUTPUT_BASE_DIR": (
        "conf.settings = types.SimpleNamespace()",
        "AttributeError",
        0,
    ),
    "OUTPUT_BASE_DIR refused by os.path.join": (
        "conf.settings = types.SimpleNamespace(OUTPUT_BASE_DIR=5)",
        "TypeError",
        0,
    ),
    "yaml without YAMLObject, after the sink was added": (
        "import ruamel, ruamel.yaml; real_yaml = ruamel.yaml;"
        " ruamel.yaml = types.ModuleType('ruamel.yaml')",
        "AttributeError",
        1,
    ),
}


@pytest.mark.parametrize("case", sorted(FAILING_STARTUPS))
def test_failed_startup_is_discarded_and_the_next_import_starts_again(run_python, case):
    breakage, error, sinks_left = FAILING_STARTUPS[case]
    result = run_python(
        f"""
        import sys, types
        import tolvek_init.conf as conf
        from loguru import logger
        real_settings = conf.settings
        before = len(logger._core.handlers)
        {breakage}
        try:
            import tolvek_yaml
        except BaseException as error:
            print(type(error).__name__ + ": " + str(error))
        assert "tolvek_yaml" not in sys.modules
        print(len(logger._core.handlers) - before)
        sys.modules.pop("tolvek_init.conf", None)
        sys.modules["tolvek_init.conf"] = conf
        conf.settings = real_settings
        if "real_yaml" in dir():
            ruamel.yaml = real_yaml
        import tolvek_yaml
        print(len(logger._core.handlers) - before, sorted(tolvek_yaml.merge_dict({{"a": 1}}, {{}})))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(error)
    assert lines[1:] == [str(sinks_left), f"{sinks_left + 1} ['a']"]


def test_second_interpreter_is_refused(run_python):
    result = run_python(
        """
        import tolvek_yaml
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("unavailable")
            raise SystemExit
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import tolvek_yaml")
        except Exception as error:
            print(error)
        else:
            print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("this interpreter offers no subinterpreters")
    assert "ImportError" in result.stdout
    # from 3.12 on the import system itself refuses, with its own words
    assert "one interpreter per process" in result.stdout or "subinterpreters" in result.stdout
