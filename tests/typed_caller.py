"""Code that uses the module the way its type stub says: tests/test_install.py
runs mypy on it against the installed stub (never imported by the suite)."""

from typing import Any, Dict, List

import tolvek_yaml


def load_site(paths: List[str], extra: Dict[str, Any]) -> Dict[str, Any]:
    config = tolvek_yaml.load_yaml_files(paths)
    merged: Dict[Any, Any] = tolvek_yaml.merge_dict(extra, config, merge_list_items=False)
    return merged


def add_mount(mounts: List[Any], mount: Dict[str, str]) -> List[Any]:
    tolvek_yaml.merge_list_item(mount, mounts)
    tolvek_yaml.merge_list_item(source_item="/data", destination=mounts, merge_list_items=True)
    return mounts


def describe(tag: tolvek_yaml.EnvTag) -> str:
    tolvek_yaml.logger.info("resolving {}", tag.value)
    return tag.yaml_tag + " " + repr(tag) + tolvek_yaml.os.sep


def env_tag_for(name: str) -> tolvek_yaml.EnvTag:
    return tolvek_yaml.EnvTag(name)


def reader() -> tolvek_yaml.yaml.YAML:
    return tolvek_yaml.yaml.YAML(typ="rt")
