# Interface of the extension module, for type checkers and editors.  The
# build installs it beside the module and as the stub-only package
# tolvek_yaml-stubs (see setup.py).

import importlib as importlib
import os as os
import subprocess as subprocess
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List

from loguru import logger as logger
from ruamel import yaml as yaml
from ruamel.yaml.main import YAMLObjectMetaclass

# The host tool's tolvek_init.conf.settings; only OUTPUT_BASE_DIR is read.
settings: Any

class VaultTag(yaml.YAMLObject, metaclass=YAMLObjectMetaclass):
    yaml_tag: str
    value: str
    def __init__(self, v: str) -> None: ...
    @classmethod
    def from_yaml(cls, loader: Any, node: Any) -> str: ...
    def __repr__(self) -> str: ...

class EnvTag(yaml.YAMLObject, metaclass=YAMLObjectMetaclass):
    yaml_tag: str
    value: str
    def __init__(self, v: str) -> None: ...
    @classmethod
    def from_yaml(cls, loader: Any, node: Any) -> str: ...
    def __repr__(self) -> str: ...

def load_yaml_files(paths: List[str]) -> Dict[str, Any]: ...
def merge_list_item(source_item: Any, destination: List[Any], merge_list_items: bool = True) -> None: ...
def merge_dict(source: Dict[Any, Any], destination: Dict[Any, Any], merge_list_items: bool = True) -> Dict[Any, Any]: ...
