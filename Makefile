# tolvek_yaml: build, test and demo.
#
#   make              build the module for every supported interpreter found
#   make test         ...and run the test suite under each
#   make demo         load the example configuration and print the result
#   make PYTHON=/path/to/python3.10 test    just that interpreter
#   make debug        build against the debug interpreter (build/py311d/)
#   make asan         build with AddressSanitizer and UBSan (build/py311-asan/)
#   make stubtest     check the type stub tolvek_yaml.pyi against the built module
#
# pip builds it too (pyproject.toml, setup.py), from the same sources and
# flags: build.mk.
#
# `make test` also runs the suite under the debug interpreter (whose
# assertions catch refcount underflows; its leak tests run only there) and
# against the sanitizer build.
#
# Each interpreter gets its own folder, build/py310/, build/py311/, ...
# Interpreters other than the system one import Debian's pure-Python
# packages through build/debian-packages/, a folder of links to just those.

SYSTEM_PYTHON := /usr/bin/python3
DEBUG_PYTHON := /usr/bin/python3.11-dbg
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo "$$HOME/.pyenv")
PY310 := $(firstword $(wildcard $(PYENV_ROOT)/versions/3.10.*/bin/python3.10))
PY312 := $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12))
PY313 := $(firstword $(wildcard $(PYENV_ROOT)/versions/3.13.*/bin/python3.13))
PYTHONS := $(SYSTEM_PYTHON) $(PY310) $(PY312) $(PY313)
ifdef PYTHON
PYTHONS := $(PYTHON)
endif

# CXX, CXXFLAGS, SOURCES, HEADERS: shared with the pip build (setup.py)
include build.mk
LINKS := build/debian-packages

.PHONY: all setup build debug asan test demo clean build-one test-one demo-one bench-one

all: build

setup:
	@scripts/setup

build: setup
	@for py in $(PYTHONS); do $(MAKE) --no-print-directory build-one PY=$$py || exit 1; done

debug: setup
	@$(MAKE) --no-print-directory build-one PY=$(DEBUG_PYTHON)

asan: setup
	@$(MAKE) --no-print-directory build-one PY=$(SYSTEM_PYTHON) VARIANT=asan

test: build debug asan
	@for py in $(PYTHONS); do $(MAKE) --no-print-directory test-one PY=$$py || exit 1; done
	@$(MAKE) --no-print-directory test-one PY=$(DEBUG_PYTHON)
	@$(MAKE) --no-print-directory test-one PY=$(SYSTEM_PYTHON) VARIANT=asan

demo: build
	@$(MAKE) --no-print-directory demo-one PY=$(firstword $(PYTHONS))

clean:
	rm -rf build

# ---- one interpreter, PY=... ---------------------------------------------------
ifdef PY
TAG := $(shell $(PY) -c 'import sys; print("py%d%d%s" % (*sys.version_info[:2], sys.abiflags))')
EXT := $(shell $(PY) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
INCLUDE := $(shell $(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
# The sanitizer build runs under the plain interpreter with the runtime
# preloaded; the interpreter's own allocations go through malloc so that
# the sanitizer sees every object, and its leak report (the interpreter
# frees little at exit) is off: only the module's own faults count.
ifeq ($(VARIANT),asan)
TAG := $(TAG)-asan
VARIANT_FLAGS := -O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
RUN_ENV := LD_PRELOAD=$(shell $(CXX) -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	PYTHONMALLOC=malloc
endif
TARGET := build/$(TAG)/tolvek_yaml$(EXT)
# The system interpreter sees Debian's packages itself.
ifeq ($(realpath $(PY)),$(realpath $(SYSTEM_PYTHON)))
PYPATH := build/$(TAG):host
else
PYPATH := build/$(TAG):host:$(LINKS)
endif

build-one: $(TARGET)
	@case "$(PYPATH)" in *$(LINKS)) scripts/link-debian-packages $(LINKS);; esac

$(TARGET): $(SOURCES) $(HEADERS) Makefile build.mk
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) $(VARIANT_FLAGS) -I$(INCLUDE) -shared -o $@ $(SOURCES)

test-one: build-one
	@echo "== tests under $(PY) ($(TAG))"
	$(RUN_ENV) PYTHONPATH=$(PYPATH) $(PY) -m pytest -q -p no:cacheprovider tests

# mypy takes the stub from the current directory, the top folder.
stubtest-one: build-one
	TOLVEK_OUTPUT_BASE_DIR=$$(mktemp -d) PYTHONPATH=$(PYPATH) \
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml tolvek_yaml

# The demo's secret is encrypted with the password "tolvek-demo".
bench-one: build-one
	TOLVEK_OUTPUT_BASE_DIR=$$(mktemp -d) PYTHONPATH=$(PYPATH):tests $(PY) bench/bench.py

demo-one: build-one
	INVENTORY_DB_USER=inventory_app TOLVEK_VAULT_PASSWORD=tolvek-demo \
	PYTHONPATH=$(PYPATH) $(PY) bin/tolvek-yaml-show examples/config/base.yaml examples/config/site.yml examples/config/overrides
endif

# ---- type stub ---------------------------------------------------------------------
# tolvek_yaml.pyi against the module built for the system interpreter: names,
# parameters, defaults.  The pip install itself is tested in tests/test_install.py.
.PHONY: stubtest
stubtest: setup
	@$(MAKE) --no-print-directory stubtest-one PY=$(SYSTEM_PYTHON)

# ---- static checks ---------------------------------------------------------------
.PHONY: lint
lint:
	clang-format --dry-run -Werror yaml_conf/*.cpp yaml_conf/*.h
	@# The null-dereference check cannot follow the binding's invariant
	@# (every parameter filled before the type tests) and reports it falsely.
	clang-tidy --quiet --warnings-as-errors='*' \
	    --checks='-*,clang-analyzer-*,bugprone-*,performance-*,-bugprone-easily-swappable-parameters,-clang-analyzer-core.NullDereference' \
	    $(SOURCES) -- -std=c++17 -I$(shell $(SYSTEM_PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
	cppcheck --quiet --error-exitcode=1 --std=c++17 --enable=warning,performance,portability \
	    --suppress=missingIncludeSystem --suppress=missingReturn -I yaml_conf $(SOURCES)

# ---- benchmark ---------------------------------------------------------------------
# Ratios measured side by side; exits non-zero when a figure misses its
# target.  Not part of `make test`: timings belong to the benchmark.
.PHONY: bench
bench: build
	@for py in $(PYTHONS); do $(MAKE) --no-print-directory bench-one PY=$$py || status=1; done; exit $${status:-0}
