"""The same user-item graph held four ways, sampled call by call in turn:

- in memory, as numpy allocates it (large arrays are given transparent huge
  pages where the kernel's setting is "madvise" or "always");
- in memory without huge pages (numpy told not to ask for them);
- mapped from the .npy files (the page cache's 4 KiB pages);
- mapped, with the kernel asked for huge pages on the maps (MADV_HUGEPAGE).

Every kind is read once before timing, so no call waits for the disk.
"""

from __future__ import annotations

import mmap
import statistics
import time

import numpy as np

import corvane
import graph as graph_module


def huge_page_kib():
    """AnonHugePages and FilePmdMapped of this process, in KiB."""
    fields = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            name, _, rest = line.partition(":")
            if name in ("AnonHugePages", "FilePmdMapped"):
                fields[name] = int(rest.split()[0])
    return fields


def in_memory_copies(graph, huge_pages):
    setter = np._core.multiarray._set_madvise_hugepage
    previous = setter(huge_pages)
    try:
        copy = {part: {name: np.array(array) for name, array in getattr(graph, part).items()}
                for part in ("colptr", "row", "node_time")}
    finally:
        setter(previous)
    return graph_module.Graph(graph.sizes, copy["colptr"], copy["row"], copy["node_time"],
                              graph.kind)


def advise_huge_pages(graph):
    for part in ("colptr", "row", "node_time"):
        for array in getattr(graph, part).values():
            array._mmap.madvise(mmap.MADV_HUGEPAGE)


def touch(graph):
    return sum(int(np.asarray(a).sum()) for part in ("colptr", "row", "node_time")
               for a in getattr(graph, part).values())


def run(workloads, scale, seed, cache, calls):
    mapped = graph_module.load_or_generate(scale, seed, cache, "user-item", mmap=True)
    advised = graph_module.load_or_generate(scale, seed, cache, "user-item", mmap=True)
    kinds = {}
    before = huge_page_kib()
    kinds["in memory, huge pages"] = in_memory_copies(mapped, True)
    after_huge = huge_page_kib()
    kinds["in memory, 4 KiB pages"] = in_memory_copies(mapped, False)
    kinds["file-mapped"] = mapped
    advise_huge_pages(advised)
    kinds["file-mapped, MADV_HUGEPAGE"] = advised
    for graph in kinds.values():
        touch(graph)
    after_all = huge_page_kib()
    print(f"\nmemory kinds (user-item graph, {mapped.num_edges:,} edges, {calls} rounds of "
          f"calls in turn):")
    print(f"  huge pages: {(after_huge['AnonHugePages'] - before['AnonHugePages']) // 1024} MiB "
          f"given to the in-memory copy; file-mapped huge pages after MADV_HUGEPAGE and a full "
          f"read: {after_all['FilePmdMapped'] // 1024} MiB")
    rows = []
    for workload in workloads(mapped)[:2]:
        samplers = {name: corvane.NeighborSampler(
            *graph.constructor_args(with_times=workload.temporal), seed=seed)
            for name, graph in kinds.items()}
        rng = np.random.default_rng(seed)
        times = {name: [] for name in kinds}
        edges = []
        for number, request in enumerate(workload.requests(mapped, rng, calls + 3)):
            args = workload.sample_args(*request)
            names = list(kinds)
            names = names[number % len(names):] + names[:number % len(names)]  # rotate the order
            for name in names:
                started = time.perf_counter()
                result = samplers[name].sample(*args)
                times[name].append(time.perf_counter() - started)
            edges.append(sum(int(v.sum()) for v in result[5].values()))
        per_edge = statistics.median(edges[3:])
        base = None
        for name in kinds:
            ns = statistics.median(times[name][3:]) / per_edge * 1e9
            base = base or ns
            rows.append({"workload": workload.name, "kind": name, "ns_per_edge": ns,
                         "vs_first": ns / base})
            print(f"  {workload.name:24} {name:28} {ns:7.1f} ns/edge  {ns / base:5.2f}x")
    return {"huge_pages_mib": (after_huge["AnonHugePages"] - before["AnonHugePages"]) // 1024,
            "file_pmd_mapped_mib": after_all["FilePmdMapped"] // 1024, "rows": rows}
