#!/usr/bin/env python3
"""Side-by-side figures for tolvek_yaml, each a ratio measured in this run
under this interpreter: medians of several rounds after a warm-up.  Exits
non-zero when a figure misses its target.

    PYTHONPATH=build/py311:host:tests /usr/bin/python3 bench/bench.py

The plain-Python baseline of the merge is the reference model the
differential tests use (tests/merge_model.py).
"""

import gc
import os
import platform
import statistics
import sys
import tempfile
import time
import tracemalloc

from ruamel.yaml import YAML

import merge_model
import tolvek_yaml

ROUNDS = 7
WARMUP = 2


def timed_once(run, prepare=lambda: None):
    """Seconds of one `run(prepared)`, with `prepare()` outside the clock
    and the collector held off while it runs."""
    prepared = prepare()
    gc.collect()
    gc.disable()
    start = time.perf_counter()
    run(prepared)
    elapsed = time.perf_counter() - start
    gc.enable()
    return elapsed


def median_time(run, prepare=lambda: None, rounds=ROUNDS):
    """Median seconds of `run(prepared)` after a warm-up."""
    for _ in range(WARMUP):
        timed_once(run, prepare)
    return statistics.median(timed_once(run, prepare) for _ in range(rounds))


def side_by_side(first, second, prepare=lambda: None, rounds=ROUNDS):
    """Median times of two runs, after a warm-up of both, taken in
    alternating rounds so that drift of the machine hits both alike."""
    for _ in range(WARMUP):
        timed_once(first, prepare)
        timed_once(second, prepare)
    a, b = [], []
    for _ in range(rounds):
        a.append(timed_once(first, prepare))
        b.append(timed_once(second, prepare))
    return statistics.median(a), statistics.median(b)


# ---- data -----------------------------------------------------------------------


def wide_tree():
    source = {f"key{i}": i for i in range(100_000)}
    destination = {f"key{i}": -i for i in range(0, 100_000, 2)}
    return source, destination


def deep_tree():
    def nest(depth, leaf):
        tree = {"leaf": leaf, "level": depth}
        for level in range(depth):
            tree = {"level": level, "child": tree, "note": f"n{level}"}
        return tree

    return nest(500, 1), nest(500, 2)


def service(index, site):
    return {
        "name": f"svc{index}",
        "host": f"svc{index}.{site}.internal",
        "port": 8000 + index,
        "tags": [f"t{index % 5}", "managed"],
    }


def realistic_documents():
    documents = []
    for doc in range(50):
        documents.append(
            {
                "app": {
                    "name": "inventory",
                    "log_level": ["info", "warning", "debug"][doc % 3],
                    "limits": {"rpm": 100 * doc, "burst": doc},
                    f"layer{doc}": {"enabled": True, "weight": doc / 10},
                },
                "services": [service(i, "site") for i in range(doc % 7, doc % 7 + 20)],
                "features": [f"feature{(doc + k) % 30}" for k in range(10)],
                "hosts": {f"host{h}": {"ip": f"10.0.{doc}.{h}", "roles": ["web"]} for h in range(10)},
            }
        )
    return documents


def list_heavy_tree():
    source = {f"list{k}": [f"item{(k * 7 + i) % 400}" for i in range(600)] for k in range(20)}
    destination = {f"list{k}": [f"item{(k * 3 + i) % 400}" for i in range(300)] for k in range(20)}
    return source, destination


def equivalent_items(count):
    def items():
        return [{"name": f"svc{i}", "port": 8000 + i, "host": "shared.internal"} for i in range(count)]

    return {"services": items()}, {"services": items()}


def write_tree(root, files=200):
    """A directory tree of realistic configuration files."""
    documents = realistic_documents()
    paths = []
    for index in range(files):
        folder = os.path.join(root, f"group{index % 8}", f"part{index % 3}")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, f"conf{index}.yaml")
        with open(path, "w") as file:
            YAML().dump(documents[index % len(documents)], file)
        paths.append(path)
    return paths


# ---- figures --------------------------------------------------------------------


def figure_merge(name, make):
    # merging changes the destination: fresh trees for every round
    model, module = side_by_side(
        lambda pair: merge_model.merge_dict(*pair),
        lambda pair: tolvek_yaml.merge_dict(*pair),
        make,
    )
    return f"merge_dict vs Python model, {name}", model / module, ">=", 20


def figure_realistic():
    def fold(merge):
        def run(docs):
            result = {}
            for doc in docs:
                merge(doc, result)

        return run

    model, module = side_by_side(
        fold(merge_model.merge_dict), fold(tolvek_yaml.merge_dict), realistic_documents
    )
    return "merge_dict vs Python model, realistic (50 documents)", model / module, ">=", 20


def figure_floor():
    source = {f"key{i}": i for i in range(100_000)}
    update, merge = side_by_side(lambda _: {}.update(source), lambda _: tolvek_yaml.merge_dict(source, {}))
    return "merge_dict / dict.update, 100,000 new keys", merge / update, "<=", 2


def figure_loading(paths, root):
    def bare(_):
        for path in paths:
            with open(path) as file:
                YAML().load(file.read())

    bare_time, load_time = side_by_side(bare, lambda _: tolvek_yaml.load_yaml_files([root]), rounds=9)
    return "load_yaml_files / bare parse, 200 files", load_time / bare_time, "<=", 1.05


def figure_scaling():
    # Alternating rounds, and more of them: the small case takes about a
    # millisecond, where the machine's jitter shows most.
    merge = lambda pair: tolvek_yaml.merge_dict(*pair)  # noqa: E731
    small, large = [], []
    for _ in range(WARMUP):
        timed_once(merge, lambda: equivalent_items(1_000))
        timed_once(merge, lambda: equivalent_items(10_000))
    for _ in range(3 * ROUNDS):
        small.append(timed_once(merge, lambda: equivalent_items(1_000)))
        large.append(timed_once(merge, lambda: equivalent_items(10_000)))
    small, large = statistics.median(small), statistics.median(large)
    return "list items N=10,000 / N=1,000", large / small, "<=", 15


def peak(run):
    gc.collect()
    tracemalloc.start()
    kept = run()
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del kept
    return top


def figure_memory(paths, root):
    def documents_alone():
        documents = []
        for path in paths:
            with open(path) as file:
                reader = YAML()
                reader.preserve_quotes = True
                documents.append(reader.load(file.read()))
        return documents

    alone = peak(documents_alone)
    loaded = peak(lambda: tolvek_yaml.load_yaml_files([root]))
    return "peak memory load_yaml_files / documents alone", loaded / alone, "<=", 1.1


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{platform.node()}: {model}, {os.cpu_count()} cores, {platform.platform()}"


def main():
    print(f"machine: {machine()}")
    print(f"interpreter: {sys.executable} {platform.python_version()}")
    with tempfile.TemporaryDirectory() as root:
        paths = write_tree(root)
        figures = [
            figure_scaling(),  # first, before the other figures grow the heap
            figure_merge("wide (100,000 keys)", wide_tree),
            figure_merge("deep (500 levels)", deep_tree),
            figure_realistic(),
            figure_merge("list-heavy", list_heavy_tree),
            figure_floor(),
            figure_loading(paths, root),
            figure_memory(paths, root),
        ]
    missed = 0
    for name, ratio, relation, target in figures:
        met = ratio >= target if relation == ">=" else ratio <= target
        missed += not met
        print(f"{name:55} {ratio:8.2f}   target {relation} {target:<5} {'ok' if met else 'MISSED'}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
