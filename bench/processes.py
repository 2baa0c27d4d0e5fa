"""Throughput of one and of two sampling processes over one memory-mapped
graph (W1 on the user-item graph): two processes share the graph's pages and
this machine's memory bandwidth, so their summed throughput against one's
shows how far sampling scales with cores here.
"""

from __future__ import annotations

import multiprocessing
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent


def worker(scale, seed, cache, calls, start, results):
    sys.path.insert(0, str(HERE))
    import corvane
    import graph as graph_module
    import run
    graph = graph_module.load_or_generate(scale, seed, cache, "user-item", mmap=True)
    workload = run.standard_workloads(graph)[0]
    sampler = corvane.NeighborSampler(*graph.constructor_args(with_times=False), seed=seed)
    requests = [workload.sample_args(*r)
                for r in workload.requests(graph, np.random.default_rng(seed), calls)]
    for args in requests[:5]:
        sampler.sample(*args)  # warm-up: the pages these calls need become resident
    start.wait()
    started = time.perf_counter()
    for args in requests:
        sampler.sample(*args)
    results.put(calls / (time.perf_counter() - started))


def throughput(count, scale, seed, cache, calls):
    context = multiprocessing.get_context("spawn")
    start = context.Barrier(count)
    results = context.Queue()
    processes = [context.Process(target=worker, args=(scale, seed, cache, calls, start, results))
                 for _ in range(count)]
    for process in processes:
        process.start()
    total = sum(results.get() for _ in processes)
    for process in processes:
        process.join()
    return total


def run(scale, seed, cache, calls, repeats=3):
    single, double = [], []
    for _ in range(repeats):  # alternated, so that both see the same machine
        single.append(throughput(1, scale, seed, cache, calls))
        double.append(throughput(2, scale, seed, cache, calls))
    one, two = statistics.median(single), statistics.median(double)
    print(f"\nprocesses (W1 on the mapped user-item graph, {calls} calls each, median of "
          f"{repeats}): 1 process {one:.1f} calls/s, 2 processes {two:.1f} calls/s in all: "
          f"{two / one:.2f}x")
    return {"one_process_calls_per_s": one, "two_processes_calls_per_s": two, "ratio": two / one}
