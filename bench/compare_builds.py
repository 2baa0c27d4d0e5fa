"""Two builds of the module in one process, call by call: old, new, new, old, ...

    python bench/compare_builds.py OLD.so NEW.so [--calls N]

Both samplers get the same seed and the same requests, so their results must
be identical; each request is timed on both, the order alternating, and the
figure is the geometric mean of the two orders' median time ratios (the
second call of a pair runs on caches the first warmed, and the two orders
cancel that out). Load on the machine moves both builds alike.

pybind11 refuses a second module that registers the same class, so one of the
two builds must use its own pybind11 registry: configure it with
    -DCMAKE_CXX_FLAGS='-DPYBIND11_COMPILER_TYPE=\\"_isolated\\"'
(only the registry's name changes, not the code).
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def load_build(path):
    loader = importlib.machinery.ExtensionFileLoader("corvane", path)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location("corvane", path, loader=loader))
    loader.exec_module(module)
    sys.modules.pop("corvane", None)
    return module


def compare(old, new, graph, workload, calls):
    import graph as graph_module
    samplers = [build.NeighborSampler(graph_module.NODE_TYPES, graph_module.EDGE_TYPES,
                                      graph.colptr, graph.row, graph.node_time, 5)
                for build in (old, new)]
    ratios = ([], [])  # by which build ran first
    rng = np.random.default_rng(1)
    for call, (seeds, times) in enumerate(workload.requests(graph, rng, calls)):
        args = workload.sample_args(seeds, times)
        elapsed, results = [0.0, 0.0], [None, None]
        for which in ((0, 1) if call % 2 == 0 else (1, 0)):
            start = time.perf_counter()
            results[which] = samplers[which].sample(*args)
            elapsed[which] = time.perf_counter() - start
        for old_dict, new_dict in zip(*results):
            if old_dict.keys() != new_dict.keys() or not all(
                    np.array_equal(old_dict[k], new_dict[k]) for k in old_dict):
                raise SystemExit(f"{workload.name}: the builds disagree at call {call}")
        ratios[call % 2].append(elapsed[1] / elapsed[0])
    old_first, new_first = (statistics.median(r) for r in ratios)
    return (old_first * new_first) ** 0.5, old_first, new_first


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--calls", type=int, default=800)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args(argv)
    old, new = load_build(args.old), load_build(args.new)
    sys.modules["corvane"] = new  # for the benchmark modules' own import
    import graph as graph_module
    import run
    graph = graph_module.load_or_generate(args.scale, 0, HERE.parent / "build" / "bench-cache")
    print(f"{'workload':28s} {'new/old':>8s} {'old first':>10s} {'new first':>10s}")
    for workload in run.standard_workloads() + run.hub_workloads(graph):
        ratio, old_first, new_first = compare(old, new, graph, workload, args.calls)
        print(f"{workload.name:28s} {ratio:8.3f} {old_first:10.3f} {new_first:10.3f}")
    print("results identical on every call")


if __name__ == "__main__":
    main()
