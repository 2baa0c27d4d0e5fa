"""Two builds of the module in one process, call by call: old, new, new, old, ...

    python bench/compare_builds.py OLD.so NEW.so [--calls N]

Both samplers get the same seed. First both serve the same requests, whose
results must be identical. Then they are timed on requests of their own,
drawn alike, in pairs whose order alternates: had both builds served the same
request one after the other, the second would find the seeds' columns in the
caches that the first had filled, which on small calls moves the ratio by
tens of percent. The figure is the median of the pairs' time ratios. Load on
the machine moves both builds alike.

Where a call's index and results run to hundreds of megabytes (W3 on the
user-item graph), the sampler made second measured about 1.3x slower
whichever build it was (memory placement, not code): compare such
workloads in separate processes, taken in turn.

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


def compare(old, new, graph, workload, calls, checks=40):
    samplers = [build.NeighborSampler(*graph.constructor_args(with_times=workload.temporal), 5)
                for build in (old, new)]
    rng = np.random.default_rng(1)
    for call, (seeds, times) in enumerate(workload.requests(graph, rng, checks)):
        args = workload.sample_args(seeds, times)
        old_result, new_result = (sampler.sample(*args) for sampler in samplers)
        for old_dict, new_dict in zip(old_result, new_result):
            if old_dict.keys() != new_dict.keys() or not all(
                    np.array_equal(old_dict[k], new_dict[k]) for k in old_dict):
                raise SystemExit(f"{workload.name}: the builds disagree at call {call}")
    requests = [workload.sample_args(*r) for r in workload.requests(graph, rng, 2 * calls)]
    ratios = ([], [])  # by which build ran first
    for pair in range(calls):
        elapsed = [0.0, 0.0]
        order = (0, 1) if pair % 2 == 0 else (1, 0)
        for which, args in zip(order, requests[2 * pair:2 * pair + 2]):
            start = time.perf_counter()
            samplers[which].sample(*args)
            elapsed[which] = time.perf_counter() - start
        ratios[pair % 2].append(elapsed[1] / elapsed[0])
    old_first, new_first = (statistics.median(r) for r in ratios)
    return statistics.median(ratios[0] + ratios[1]), old_first, new_first


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--calls", type=int, default=800, help="timed pairs per workload")
    parser.add_argument("--checks", type=int, default=40,
                        help="shared requests whose results must be identical")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--graph", default="shop", help="shop or user-item")
    parser.add_argument("--only", nargs="*", default=None, metavar="PREFIX",
                        help="the workloads whose names start so (W1, W4, ...)")
    args = parser.parse_args(argv)
    old, new = load_build(args.old), load_build(args.new)
    sys.modules["corvane"] = new  # for the benchmark modules' own import
    import graph as graph_module
    import run
    graph = graph_module.load_or_generate(args.scale, 0, HERE.parent / "build" / "bench-cache",
                                          args.graph)
    print(f"{args.graph} graph, {graph.num_edges:,} edges")
    print(f"{'workload':28s} {'new/old':>8s} {'old first':>10s} {'new first':>10s}")
    for workload in run.standard_workloads(graph) + run.hub_workloads(graph):
        if args.only and not any(workload.name.startswith(p) for p in args.only):
            continue
        ratio, old_first, new_first = compare(old, new, graph, workload, args.calls,
                                              args.checks)
        print(f"{workload.name:28s} {ratio:8.3f} {old_first:10.3f} {new_first:10.3f}")
    print("results identical on every call")


if __name__ == "__main__":
    main()
