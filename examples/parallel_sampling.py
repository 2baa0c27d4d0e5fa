"""Several worker processes sampling one memory-mapped graph, with their memory.

    python examples/parallel_sampling.py --workers 4

The graph is written once as .npy files; every worker maps them read-only
(`corvane_data.load_graph`, which maps them by default) and builds its own sampler with its own seed.
The sampler reads contiguous int64 arrays in place, so the graph's pages sit
once in the page cache and all workers share them: each worker's private
memory holds only the interpreter and its own results. The report shows, per
worker, its resident memory (RSS), how much of that is the graph, the graph's
proportional share (PSS: a page shared by N processes counts 1/N in each),
and the private memory that the worker added while sampling. Each worker's
results are checked against a sampler with the same seed in this process.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import psutil

import corvane
from corvane_data import load_graph, save_graph

MB = 1 << 20


def memory(directory: str) -> dict[str, int]:
    """This process's memory, and the part of it that maps files below `directory`."""
    maps = psutil.Process().memory_maps(grouped=True)
    graph = [region for region in maps if region.path.startswith(directory)]
    return {"rss": sum(region.rss for region in maps),
            "anonymous": sum(region.anonymous for region in maps),
            "graph_rss": sum(region.rss for region in graph),
            "graph_pss": sum(region.pss for region in graph),
            "graph_private_dirty": sum(region.private_dirty for region in graph)}


def same_results(first: list[tuple], second: list[tuple]) -> bool:
    """Whether two runs gave the same six dictionaries for every batch."""
    return len(first) == len(second) and all(
        a.keys() == b.keys() and all(np.array_equal(a[key], b[key]) for key in a)
        for one, other in zip(first, second) for a, b in zip(one, other))


def batches(seed: int, num_batches: int, batch_size: int, num_seeds: int,
            seed_time: int | None = None) -> list[tuple[np.ndarray, np.ndarray]]:
    """Seed nodes (and seed times, all `seed_time`, if given) of each batch."""
    rng = np.random.default_rng(seed)
    times = np.full(batch_size if seed_time is not None else 0, seed_time or 0, dtype=np.int64)
    return [(rng.integers(0, num_seeds, batch_size), times) for _ in range(num_batches)]


def sample_all(sampler: corvane.NeighborSampler, request: dict[str, Any],
               seed_batches: list[tuple[np.ndarray, np.ndarray]]) -> list[tuple]:
    return [sampler.sample(request["num_neighbors"], {}, request["entity_table"], seeds, times)
            for seeds, times in seed_batches]


def worker(directory: str, seed: int, request: dict[str, Any], sampled: Any, measured: Any,
           reports: Any, keep_results: bool) -> None:
    """Runs in its own process: map the graph, sample, measure while all workers live."""
    graph = load_graph(directory)
    before = memory(directory)
    sampler = corvane.NeighborSampler(*graph.arguments(), seed=seed)
    results = sample_all(sampler, request, batches(seed, **request["batches"]))
    for part in ("colptr", "row", "node_time"):  # read every page, as a long run of batches would
        for array in getattr(graph, part).values():
            array.sum()
    sampled.wait()  # every worker holds the whole graph now: shared pages count as shared
    after = memory(directory)
    reports.put({"seed": seed, "pid": os.getpid(), "before": before, "after": after,
                 "nodes": sum(int(nodes.size) for result in results for nodes in result[2].values()),
                 "results": results if keep_results else None})
    measured.wait()  # nobody leaves before all have measured


def run_workers(directory: str, seeds: list[int], request: dict[str, Any],
                keep_results: bool = False) -> list[dict[str, Any]]:
    """Starts one spawned process per seed and returns their reports, in seed order."""
    context = multiprocessing.get_context("spawn")  # fresh interpreters: nothing inherited from here
    sampled, measured = context.Barrier(len(seeds)), context.Barrier(len(seeds))
    reports = context.Queue()
    processes = [context.Process(target=worker, args=(directory, seed, request, sampled, measured,
                                                      reports, keep_results)) for seed in seeds]
    for process in processes:
        process.start()
    collected = [reports.get(timeout=300) for _ in processes]
    for process in processes:
        process.join(timeout=60)
        if process.exitcode != 0:
            raise RuntimeError(f"worker {process.pid} ended with exit code {process.exitcode}")
    return sorted(collected, key=lambda report: report["seed"])


def graph_bytes(directory: str) -> int:
    return sum(path.stat().st_size for path in Path(directory).glob("*.npy"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=4, help="number of worker processes (default 4)")
    parser.add_argument("--scale", type=float, default=5.0,
                        help="size of the generated e-commerce graph, as in demo.py (default 5)")
    parser.add_argument("--batches", type=int, default=20, help="batches per worker (default 20)")
    parser.add_argument("--batch-size", type=int, default=512, help="seed customers per batch (default 512)")
    parser.add_argument("--seed", type=int, default=0, help="seed of worker 0; worker i uses seed + i")
    args = parser.parse_args()

    import ecommerce

    shop = ecommerce.generate(args.scale, args.seed)
    request: dict[str, Any] = {
        "entity_table": "customer",
        "num_neighbors": {key: np.array([8, 4], dtype=np.int64) for key in shop.graph.colptr},
        "batches": {"num_batches": args.batches, "batch_size": args.batch_size,
                    "num_seeds": shop.num_nodes["customer"], "seed_time": ecommerce.END}}
    with tempfile.TemporaryDirectory(prefix="corvane-graph-") as directory:
        save_graph(directory, shop.graph)
        size = graph_bytes(directory)
        print(f"Graph: {size / MB:.1f} MB in .npy files, mapped read-only by {args.workers} workers")
        seeds = [args.seed + number for number in range(args.workers)]
        reports = run_workers(directory, seeds, request, keep_results=True)

        local = load_graph(directory, mmap=False)
        print(f"\n{'worker':>6} {'seed':>5} {'RSS':>9} {'graph RSS':>10} {'graph PSS':>10} "
              f"{'added private':>14} {'sampled nodes':>14}  same as one process")
        for number, report in enumerate(reports):
            before, after = report["before"], report["after"]
            single = sample_all(corvane.NeighborSampler(*local.arguments(), seed=report["seed"]), request,
                                batches(report["seed"], **request["batches"]))
            same = same_results(report["results"], single)
            print(f"{number:>6} {report['seed']:>5} {after['rss'] / MB:>7.1f}MB {after['graph_rss'] / MB:>8.1f}MB "
                  f"{after['graph_pss'] / MB:>8.1f}MB {(after['anonymous'] - before['anonymous']) / MB:>12.1f}MB "
                  f"{report['nodes']:>14,}  {'yes' if same else 'NO'}")
        total_pss = sum(report["after"]["graph_pss"] for report in reports)
        total_rss = sum(report["after"]["rss"] for report in reports)
        print(f"\nAll workers: RSS {total_rss / MB:.1f} MB summed, of which the graph's PSS "
              f"{total_pss / MB:.1f} MB: one copy of the {size / MB:.1f} MB graph, not {args.workers}.")


if __name__ == "__main__":
    main()
