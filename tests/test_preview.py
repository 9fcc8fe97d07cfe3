"""bin/tolvek-yaml-show: the merged result as YAML or JSON, the file each
leaf came from, and how failures are reported."""

import json
import shutil
from pathlib import Path

import pytest
from ruamel.yaml import YAML

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "bin" / "tolvek-yaml-show"
# The demo's secret is encrypted with this password.
DEMO_ENV = {"INVENTORY_DB_USER": "inventory_app", "TOLVEK_VAULT_PASSWORD": "tolvek-demo"}
EXAMPLE_PATHS = ["config/base.yaml", "config/site.yml", "config/overrides"]

EXAMPLE_RESULT = {
    "app": {
        "name": "inventory",
        "log_level": "warning",
        "listen": {"host": "0.0.0.0", "port": 9090},
        "data_dirs": ["/var/lib/inventory", "/srv/inventory"],
        "limits": {"requests_per_minute": 1200},
    },
    "services": [
        {"name": "db", "host": "db.internal", "port": 5432, "options": {"pool": 20}},
        {"name": "cache", "host": "cache.internal", "port": 6379},
        {"name": "queue", "host": "mq.internal", "port": 5672},
        {"name": "cache", "port": 6380},
    ],
    "features": ["search", "export", "audit"],
    "database": {"user": "inventory_app", "password": "s3cr3t-demo-password"},
}

BASE, SITE = "config/base.yaml", "config/site.yml"
TUNING, SECRETS = "config/overrides/production/tuning.yaml", "config/overrides/secrets.yaml"
# Merged scalars are the later file's objects even when equal: site.yml's
# db entry is merged into base.yaml's, so its `name` is site.yml's.
EXAMPLE_ORIGINS = {
    ("app", "name"): BASE,
    ("app", "log_level"): SITE,
    ("app", "listen", "host"): BASE,
    ("app", "listen", "port"): SITE,
    ("app", "data_dirs", 0): BASE,
    ("app", "data_dirs", 1): SITE,
    ("app", "limits", "requests_per_minute"): TUNING,
    ("services", 0, "name"): SITE,
    ("services", 0, "host"): BASE,
    ("services", 0, "port"): BASE,
    ("services", 0, "options", "pool"): SITE,
    ("services", 1, "name"): BASE,
    ("services", 1, "host"): BASE,
    ("services", 1, "port"): BASE,
    ("services", 2, "name"): SITE,
    ("services", 2, "host"): SITE,
    ("services", 2, "port"): SITE,
    ("services", 3, "name"): TUNING,
    ("services", 3, "port"): TUNING,
    ("features", 0): BASE,
    ("features", 1): BASE,
    ("features", 2): SITE,
    ("database", "user"): SECRETS,
    ("database", "password"): SECRETS,
}


@pytest.fixture
def show(run_child):
    """show(*args, env=...) runs the command in tmp_path; returns the
    completed process (text output captured)."""

    def run(*args, env=None):
        return run_child(str(SCRIPT), *args, env=env)

    return run


@pytest.fixture
def example(tmp_path):
    """A copy of the example configuration at tmp_path/config."""
    shutil.copytree(ROOT / "examples" / "config", tmp_path / "config")
    return tmp_path / "config"


def leaves(node, path=()):
    """{path: (value, origin)} of the JSON that --origin --json prints."""
    if isinstance(node, dict) and isinstance(node.get("origin"), str):
        return {path: (node["value"], node["origin"])}
    found = {}
    for key, value in node.items() if isinstance(node, dict) else enumerate(node):
        found.update(leaves(value, path + (key,)))
    return found


def shown_origins(process):
    assert process.returncode == 0, process.stderr
    return leaves(json.loads(process.stdout))


@pytest.mark.parametrize("json_output", [False, True], ids=["yaml", "json"])
def test_example_prints_the_merged_result(show, example, json_output):
    shown = show(*(["--json"] if json_output else []), *EXAMPLE_PATHS, env=DEMO_ENV)
    assert shown.returncode == 0 and shown.stderr == ""
    if json_output:
        data = json.loads(shown.stdout)
    else:
        data = YAML(typ="safe").load(shown.stdout)
        lines = shown.stdout.splitlines()
        assert '  name: "inventory"' in lines and "  log_level: 'warning'" in lines
    assert data == EXAMPLE_RESULT
    assert list(data) == list(EXAMPLE_RESULT) and list(data["app"]) == list(EXAMPLE_RESULT["app"])


def test_changing_one_file_moves_only_its_leaves(show, example):
    before = shown_origins(show("--origin", "--json", *EXAMPLE_PATHS, env=DEMO_ENV))
    assert {path: origin for path, (_, origin) in before.items()} == EXAMPLE_ORIGINS
    site = example / "site.yml"
    text = site.read_text()
    text = text.replace("app:\n", "app:\n  name: 'stock'\n", 1)
    text = text.replace("features: [export, audit]", "features: [export, audit, metrics]")
    site.write_text(text)

    after = shown_origins(show("--origin", "--json", *EXAMPLE_PATHS, env=DEMO_ENV))
    moved = {path for path in after if before.get(path) != after[path]}
    assert moved == {("app", "name"), ("features", 3)}
    assert after[("app", "name")] == ("stock", SITE) and after[("features", 3)] == ("metrics", SITE)
    assert set(before) <= set(after)


# A tree of two files and a directory.  The walked broken.yaml fails at
# `port` (a mapping merged into the scalar 8080): what it merged before that
# stays, named after it; `flag: true`, the same object as a.yaml's, is
# never reached and stays a.yaml's.
OWN_TREE = {
    "a.yaml": """\
        name: "demo"
        port: 80
        flag: true
        tags: [x, y]
        servers:
          - {name: web, port: 80}
          - {name: db}
        block: |
          line one
          line two
        empty: {}
        nothing: null
        """,
    "b.yml": """\
        port: 8080
        tags: [y, z]
        servers:
          - {name: db, port: 5432}
          - {name: web, port: 81}
        nothing: {fresh: 1, inner: [1, 2]}
        """,
    "conf.d/broken.yaml": """\
        extra: {k: 'v'}
        tags: [w]
        early: broken
        only: broken
        port: {nested: 1}
        flag: true
        late: never
        """,
    "conf.d/notes.txt": "not: yaml\n",
    "conf.d/sub/last.yml": "early: last\n",
}
OWN_ORIGINS = {
    ("name",): ("demo", "a.yaml"),
    ("port",): (8080, "b.yml"),
    ("flag",): (True, "a.yaml"),
    ("tags", 0): ("x", "a.yaml"),
    ("tags", 1): ("y", "a.yaml"),
    ("tags", 2): ("z", "b.yml"),
    ("tags", 3): ("w", "conf.d/broken.yaml"),
    ("servers", 0, "name"): ("web", "a.yaml"),
    ("servers", 0, "port"): (80, "a.yaml"),
    ("servers", 1, "name"): ("db", "b.yml"),
    ("servers", 1, "port"): (5432, "b.yml"),
    ("servers", 2, "name"): ("web", "b.yml"),
    ("servers", 2, "port"): (81, "b.yml"),
    ("block",): ("line one\nline two\n", "a.yaml"),
    ("empty",): ({}, "a.yaml"),
    ("nothing", "fresh"): (1, "b.yml"),
    ("nothing", "inner", 0): (1, "b.yml"),
    ("nothing", "inner", 1): (2, "b.yml"),
    ("extra", "k"): ("v", "conf.d/broken.yaml"),
    ("early",): ("last", "conf.d/sub/last.yml"),
    ("only",): ("broken", "conf.d/broken.yaml"),
}
OWN_YAML = """\
name: "demo" # a.yaml
port: 8080 # b.yml
flag: true # a.yaml
tags:
- x # a.yaml
- y # a.yaml
- z # b.yml
- w # conf.d/broken.yaml
servers:
- name: web # a.yaml
  port: 80 # a.yaml
- name: db # b.yml
  port: 5432 # b.yml
- name: web # b.yml
  port: 81 # b.yml
# a.yaml
block: |
  line one
  line two
empty: {} # a.yaml
nothing:
  fresh: 1 # b.yml
  inner:
  - 1 # b.yml
  - 2 # b.yml
extra:
  k: 'v' # conf.d/broken.yaml
early: last # conf.d/sub/last.yml
only: broken # conf.d/broken.yaml
"""


def test_origin_names_the_file_of_every_leaf(show, write):
    for name, text in OWN_TREE.items():
        write(name, text)
    paths = ["a.yaml", "b.yml", "conf.d"]
    as_json = show("--origin", "--json", *paths)
    assert shown_origins(as_json) == OWN_ORIGINS
    [skipped] = as_json.stderr.splitlines()
    assert skipped.startswith("tolvek-yaml-show: skipped conf.d/broken.yaml: TypeError: ")

    as_yaml = show("--origin", *paths)
    assert as_yaml.returncode == 0 and as_yaml.stdout == OWN_YAML
    assert as_yaml.stderr == as_json.stderr


FAILURES = [
    # options, paths, exit status, last line of stderr, traceback shown
    ([], ["good.yaml", "bad.yaml"], 1, "tolvek-yaml-show: bad.yaml: ScannerError: mapping values", False),
    (["--traceback"], ["bad.yaml"], 1, "tolvek-yaml-show: bad.yaml: ScannerError: mapping values", True),
    ([], ["walked"], 0, "tolvek-yaml-show: WARNING: Could not load file: bad.yaml", False),
    ([], [], 2, "tolvek-yaml-show: error: ", False),
]


@pytest.mark.parametrize("options, paths, status, last_line, with_traceback", FAILURES)
def test_failures(show, write, options, paths, status, last_line, with_traceback):
    write("good.yaml", "a: 1\n")
    for name in ("bad.yaml", "walked/bad.yaml"):
        write(name, "a: b: c\n")
    shown = show(*options, *paths)
    assert shown.returncode == status
    lines = shown.stderr.splitlines()
    assert lines[-1].startswith(last_line)
    assert ("Traceback (most recent call last):" in lines) == with_traceback
    if not with_traceback:
        assert len(lines) == (2 if status == 2 else 1)  # argparse adds its usage line
    if status:
        assert shown.stdout == ""
