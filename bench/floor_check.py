"""Checks that the least-work floor (bench/dedup_floor.h) computes the
sampler's exact result: for each workload, a fresh sampler and the floor,
seeded alike, serve the same requests one after the other, and their six
results are compared array by array (so every draw, in order, must agree).

    python bench/floor_check.py                    # small graphs, 5 calls a workload
    python bench/floor_check.py --sampler-seed 1   # must fail: checks the check

Exits 1 at the first difference. bench/run.py makes the same check on the
first requests of every workload it times.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

import corvane

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from graph import key  # noqa: E402

RESULT_NAMES = ("sampled rows", "sampled cols", "sampled nodes", "sampled batches",
                "num_sampled_nodes", "num_sampled_edges")


def floor_result(floor, graph, workload, seeds, times, seed):
    """The floor's six lists for one request, as the sampler's dictionaries;
    seed None: its engine goes on from the last call."""
    _, _, lists = floor.least_work(*workload.floor_args(graph, seeds, times, seed),
                                   keep_result=True)
    edge_keys = [key(e) for e in graph.edge_types]
    by_type = [edge_keys, edge_keys, graph.node_types, graph.node_types, graph.node_types,
               edge_keys]
    return tuple(dict(zip(keys, arrays)) for keys, arrays in zip(by_type, lists))


def first_difference(sampled, floored):
    """Where two sample results first differ, in words; None when equal."""
    for name, theirs, mine in zip(RESULT_NAMES, sampled, floored):
        if list(theirs) != list(mine):
            return f"{name}: keys {list(theirs)} against {list(mine)}"
        for k, array in theirs.items():
            if array.shape != mine[k].shape:
                return f"{name}[{k}]: {array.size} values against {mine[k].size}"
            unequal = np.flatnonzero(array != mine[k])
            if unequal.size:
                at = int(unequal[0])
                return (f"{name}[{k}]: {unequal.size} values differ, the first at {at} "
                        f"(sampler {array[at]}, floor {mine[k][at]})")
    return None


def check(floor, graph, workload, requests, seed, sampler_seed=None):
    """Serves `requests` by a sampler built afresh with sampler_seed (default:
    seed) and by the floor seeded with `seed`, in turn. Returns the first
    difference, with the number of its request, or None; and the edges that
    the sampler recorded up to there."""
    sampler = corvane.NeighborSampler(*graph.constructor_args(with_times=workload.temporal),
                                      seed=seed if sampler_seed is None else sampler_seed)
    edges = 0
    for number, (seeds, times) in enumerate(requests):
        sampled = sampler.sample(*workload.sample_args(seeds, times))
        edges += sum(len(rows) for rows in sampled[0].values())
        floored = floor_result(floor, graph, workload, seeds, times, seed if number == 0 else None)
        difference = first_difference(sampled, floored)
        if difference is not None:
            return f"request {number}: {difference}", edges
    return None, edges


def main(argv=None):
    import graph as graph_module
    import run

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.01)
    parser.add_argument("--calls", type=int, default=5, help="requests compared per workload")
    parser.add_argument("--seed", type=int, default=0, help="seed of the graph, requests and floor")
    parser.add_argument("--sampler-seed", type=int, default=None,
                        help="the sampler's seed (default --seed); any other must fail")
    parser.add_argument("--out", type=Path, default=run.ROOT / "build" / "bench")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    floor = run.build_floor(args.out)
    for kind in graph_module.KINDS:
        graph = graph_module.load_or_generate(args.scale, args.seed, run.ROOT / "build" / "bench-cache",
                                              kind)
        for workload in run.standard_workloads(graph) + run.hub_workloads(graph):
            rng = np.random.default_rng(args.seed)
            requests = list(workload.requests(graph, rng, args.calls))
            difference, edges = check(floor, graph, workload, requests, args.seed,
                                      args.sampler_seed)
            if difference is not None:
                print(f"MISMATCH {kind} {workload.name}: {difference}")
                return 1
            print(f"equal: {kind} {workload.name}, {args.calls} calls, {edges:,} edges")
    return 0


if __name__ == "__main__":
    sys.exit(main())
