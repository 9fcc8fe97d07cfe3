"""pip's build of the module: the same sources and flags as the Makefile,
read from build.mk, plus the type stub installed twice (see build_stubs).

    pip install --no-build-isolation .
"""

import os
import re

from setuptools import Command, Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = "tolvek_yaml.pyi"
# Type checkers look beside the module (pyright, editors) or, for a module
# that is not a package, only in a stub-only package (mypy).
STUB_TARGETS = ("tolvek_yaml.pyi", os.path.join("tolvek_yaml-stubs", "__init__.pyi"))
# Python's own flags are the C compiler's; these would make g++ warn, and
# -Werror turn the warning into a failed build.
C_ONLY_FLAGS = {"-Wstrict-prototypes", "-Wimplicit-function-declaration", "-Werror=implicit-function-declaration"}


def read_build_settings(path):
    """The `NAME := words` lines of build.mk, as lists of words."""
    settings = {}
    with open(path, encoding="utf-8") as file:
        for line in file:
            match = re.match(r"([A-Za-z_][A-Za-z0-9_]*)\s*:=(.*)$", line)
            if match:
                settings[match.group(1)] = match.group(2).split()
    return settings


BUILD = read_build_settings(os.path.join(HERE, "build.mk"))
# setuptools' own work files go below build/, beside the Makefile's
# per-interpreter folders, not into the tree.
WORK_DIR = os.path.join("build", "setuptools")


class build_cxx_ext(build_ext):
    """Compiles and links with build.mk's compiler, whatever compiler
    Python itself was built with."""

    def build_extensions(self):
        cxx = BUILD["CXX"]
        compiler = self.compiler
        if compiler.compiler_type == "unix":
            compile_args = [arg for arg in compiler.compiler_so[1:] if arg not in C_ONLY_FLAGS]
            compiler.set_executable("compiler_so", cxx + compile_args)
            compiler.set_executable("compiler_cxx", cxx)
            compiler.set_executable("linker_so", cxx + compiler.linker_so[1:])
        super().build_extensions()

    def get_source_files(self):
        # what the source archive needs besides the .cpp files
        return super().get_source_files() + ["build.mk", *BUILD["HEADERS"]]


class build_stubs(Command):
    """Puts the one stub file in git at each place a type checker looks."""

    description = "copy the type stub into the build folder"
    user_options = []

    def initialize_options(self):
        self.build_lib = None

    def finalize_options(self):
        self.set_undefined_options("build", ("build_lib", "build_lib"))

    def run(self):
        for target in STUB_TARGETS:
            destination = os.path.join(self.build_lib, target)
            self.mkpath(os.path.dirname(destination))
            self.copy_file(os.path.join(HERE, STUB), destination)

    def get_outputs(self):
        return [os.path.join(self.build_lib, target) for target in STUB_TARGETS]

    def get_source_files(self):
        return [STUB]


class build_with_stubs(build):
    sub_commands = build.sub_commands + [("build_stubs", None)]


os.makedirs(WORK_DIR, exist_ok=True)  # egg_info wants its folder to exist
setup(
    # no Python packages: only the extension module and its stub
    packages=[],
    py_modules=[],
    ext_modules=[
        Extension(
            "tolvek_yaml",
            sources=BUILD["SOURCES"],
            depends=BUILD["HEADERS"],
            extra_compile_args=BUILD["CXXFLAGS"],
            language="c++",
        )
    ],
    cmdclass={
        "build": build_with_stubs,
        "build_ext": build_cxx_ext,
        "build_stubs": build_stubs,
    },
    options={"build": {"build_base": WORK_DIR}, "egg_info": {"egg_base": WORK_DIR}},
)
