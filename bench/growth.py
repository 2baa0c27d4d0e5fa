"""ns per sampled edge against graph size: W1 and W2 on user-item graphs from
about 1e6 to 2e8 edges, each against the three floors.

The graphs keep the default's shape (5 users per item, 20 edges per user each
way), so only their size changes: what grows is the share of a call's reads
that miss the caches and the TLB.
"""

from __future__ import annotations

import corvane
import graph as graph_module

DEFAULT_SIZES = (1e6, 4e6, 1.6e7, 8e7, 2e8)
QUICK_SIZES = (1e6, 4e6)
EDGES_AT_SCALE_1 = 8e7  # both directions


def run(floor, measure, standard_workloads, sizes, calls, seed, cache):
    rows = []
    print(f"\ngrowth (user-item graph, {calls} calls per point):")
    print(f"{'edges':>13} {'workload':24} {'ns/edge':>8} {'plain ns':>8} {'m-p ns':>7} "
          f"{'ratio to m-p':>12} {'l-w ns':>7} {'ratio to l-w':>12}")
    for size in sizes:
        graph = graph_module.load_or_generate(size / EDGES_AT_SCALE_1, seed, cache, "user-item")
        untimed = corvane.NeighborSampler(*graph.constructor_args(with_times=False), seed=seed)
        timed = corvane.NeighborSampler(*graph.constructor_args(), seed=seed)
        for workload in standard_workloads(graph)[:2]:
            row = measure(timed if workload.temporal else untimed, floor, graph, workload, calls,
                          seed)
            row["graph_edges"] = graph.num_edges
            rows.append(row)
            print(f"{graph.num_edges:13,} {workload.name:24} {row['ns_per_edge']:8.1f} "
                  f"{row['floor_ns_per_edge']:8.1f} {row['parallel_floor_ns_per_edge']:7.1f} "
                  f"{row['ratio_to_parallel_floor']:11.2f}x {row['least_work_ns_per_edge']:7.1f} "
                  f"{row['ratio_to_least_work']:11.2f}x")
        del graph, untimed, timed
    return rows
