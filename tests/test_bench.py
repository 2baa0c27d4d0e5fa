"""The benchmark runs end to end on a small graph, and its floors do the sampler's work."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")),
                                reason="timings are taken once, in the plain run")


@pytest.fixture(scope="module")
def bench():
    """bench/run.py and bench/floor_check.py as modules, with the floors built
    where the benchmark keeps them."""
    sys.path.insert(0, str(ROOT / "bench"))
    import floor_check
    import run
    return run, floor_check, run.build_floor(ROOT / "build" / "bench")


DAY = 86_400

# Requests that take each branch of the sampler's selection: every neighbour
# (k = -1) and k at or above a column's size; more than 32 draws (the taken
# set); k = 0; most recent k with node times on orders only, so that the other
# edge types draw; windows with and without a lower end beside counts drawn
# from orders, which have no times. From order seeds, customers and products
# each admit orders in the second hop, so the third meets the trees twice
# over in one pass.
LEAST_WORK_CASES = {
    "all, k >= size": ("user-item", "user", None, {0: [-1, 3], 1: [2, 1000]}, 2),
    "taken set, k = 0": ("user-item", "user", None, {0: [40, 0, 2], 1: [0, 40, 1]}, 3),
    "most recent, mixed": ("shop", "order", ["order"], {e: [-1, 4, 2] for e in range(4)}, 3),
    "windows beside counts": ("shop", "customer", ["customer", "product"],
                              {0: [3, 2, 2], 1: [(None, 0), (-365 * DAY, -DAY), (None, 0)],
                               2: [(-730 * DAY, 0), (None, -DAY), (None, 0)], 3: [5, -1, 2]}, 3),
}


@pytest.mark.parametrize("case", LEAST_WORK_CASES)
def test_least_work_floor_gives_the_samplers_result(bench, case):
    run, floor_check, floor = bench
    kind, entity, timed_types, selections, hops = LEAST_WORK_CASES[case]
    graph = run.graph_module.load_or_generate(0.002, 0, ROOT / "build" / "bench-cache", kind)
    if timed_types is not None:
        graph.node_time = {t: graph.node_time[t] for t in timed_types}
    counts, windows = {}, {}
    for index, selection in selections.items():
        edge_type = graph.edge_types[index]
        (windows if isinstance(selection[0], tuple) else counts)[edge_type] = selection
    workload = run.Workload(case, entity, hops, counts=counts, windows=windows,
                            temporal=timed_types is not None, batch=64)
    for seed in (0, 7):
        requests = list(workload.requests(graph, np.random.default_rng(seed), 4))
        difference, edges = floor_check.check(floor, graph, workload, requests, seed)
        assert difference is None and edges > 0, difference
        # Another sampler seed draws other neighbours: the check must see it.
        difference, _ = floor_check.check(floor, graph, workload, requests, seed, seed + 1)
        assert difference is not None


@pytest.mark.slow
def test_small_benchmark_run(tmp_path):
    printed = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "run.py"), "--scale", "0.01", "--calls", "5",
         "--no-sweep", "--out", str(tmp_path)],
        check=True, capture_output=True, text=True).stdout
    report = json.loads((tmp_path / "results.json").read_text())
    assert list(report["graphs"]) == ["shop", "user-item"]
    for graph in report["graphs"].values():
        names = [row["workload"][:2] for row in graph["workloads"]]
        hubs = [row for row in graph["workloads"] if row["workload"][:2] == "W4"]
        assert names == ["W1", "W2", "W3"] + ["W4"] * len(hubs) + ["W5"] and 1 <= len(hubs) <= 3
        degrees = [int(row["workload"].rsplit(" ", 1)[1].replace(",", "")) for row in hubs]
        assert degrees == sorted(set(degrees))  # each column once, smallest first
        for row in graph["workloads"]:
            assert row["edges_per_call"] > 0 and row["ns_per_edge"] > 0
            assert row["floor_ns_per_edge"] > 0 and row["parallel_floor_ns_per_edge"] > 0
            assert row["least_work_ns_per_edge"] > 0
        # Where the number of edges does not depend on which neighbours the
        # draws pick (most recent, time windows, one hop of k = 10), the
        # floors record exactly the sampler's edges on the shop graph, for the
        # untimed requests that all three serve: they make the same
        # selections. (Their engines are not at the sampler's position, so
        # random subsets differ; W5's third hop, and the second hop on the
        # user-item graph, where a user may choose an item twice, expand nodes
        # that the sampler de-duplicates.) The run itself stops if the two
        # floors ever disagree, or if the least-work floor differs from a fresh
        # sampler.
        for row in graph["workloads"]:
            assert row["shared_request_edges"]
            if row["workload"][:2] in ("W2", "W3", "W4") and graph is report["graphs"]["shop"]:
                for sampled, floor in row["shared_request_edges"]:
                    assert floor == sampled, row["workload"]
        assert graph["hub_ratio"] is None if len(hubs) == 1 else graph["hub_ratio"]["ratio"] > 0
    assert [row["ids"] for row in report["chosen_inputs"]["flooding"]] == [131_072, 262_144]
    assert "W1 uniform [15,10]" in printed and "constructing a sampler" in printed


@pytest.mark.slow
def test_quick_toolkit_run():
    printed = subprocess.run([sys.executable, str(ROOT / "bench" / "toolkit.py"), "--quick"],
                             check=True, capture_output=True, text=True).stdout
    for section in ("1. graph check", "2. storage", "3. loader overhead", "4. workers", "5. batches for PyG",
                    "6. link batches"):
        assert section in printed
    # Two workers map one folder: their proportional shares add up to one copy of its pages.
    assert "(1.00 copies of the files)" in printed
