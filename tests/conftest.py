"""Shared fixtures: a private log directory, captured log records, files on
disk and fresh interpreters for start-up behaviour."""

import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

# The module adds its log sink when first imported; keep it out of the
# user's own log directory.
LOG_BASE_DIR = tempfile.mkdtemp(prefix="tolvek-test-log-")
os.environ["TOLVEK_OUTPUT_BASE_DIR"] = LOG_BASE_DIR

import tolvek_yaml  # noqa: E402  (after the environment is set)
from loguru import logger  # noqa: E402


@pytest.fixture
def warnings_logged():
    """Messages of the WARNING records logged while the test runs."""
    messages = []
    handler = logger.add(
        lambda message: messages.append(message.record["message"]),
        level="WARNING",
        format="{message}",
    )
    yield messages
    logger.remove(handler)


@pytest.fixture
def write(tmp_path):
    """write("dir/a.yaml", text) creates the file below tmp_path and returns its path."""

    def write_file(relative, text=""):
        path = tmp_path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
        return str(path)

    return write_file


@pytest.fixture
def run_child(tmp_path):
    """run_child(*argv, env=..., cwd=...) runs the interpreter with argv in a
    fresh process with the test's module path and a private log directory;
    returns the completed process (text output captured)."""

    def run(*argv, env=None, cwd=None):
        full_env = dict(os.environ)
        # the child runs elsewhere: keep the module path valid there
        full_env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry
        )
        full_env["TOLVEK_OUTPUT_BASE_DIR"] = str(tmp_path / "out")
        full_env.update(env or {})
        return subprocess.run(
            [sys.executable, *argv],
            env=full_env,
            cwd=cwd or tmp_path,
            capture_output=True,
            text=True,
            timeout=120,
        )

    return run


@pytest.fixture
def run_python(run_child):
    """Runs code in a fresh interpreter with the test's module path; returns
    the completed process (text output captured)."""

    def run(code, env=None, cwd=None):
        return run_child("-c", textwrap.dedent(code), env=env, cwd=cwd)

    return run
