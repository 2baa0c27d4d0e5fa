"""Worker processes over one memory-mapped graph: shared memory, and the same results."""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

import corvane
from corvane_data import GraphArrays, save_graph

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from parallel_sampling import batches, graph_bytes, run_workers, sample_all  # noqa: E402

pytestmark = pytest.mark.skipif(not Path("/proc/self/smaps").exists(), reason="needs /proc/<pid>/smaps")

WORKERS = [10, 11, 12]  # their seeds


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """Three workers over a 56 MB graph: the in-memory arguments, the request, the graph's size, reports."""
    rng = np.random.default_rng(0)
    num_nodes = 1_000_000
    colptr = np.concatenate([[0], np.cumsum(rng.poisson(6, num_nodes))]).astype(np.int64)
    arguments = {"node_types": ["n"], "edge_types": [("n", "to", "n")],
                 "colptr": {"n__to__n": colptr},
                 "row": {"n__to__n": rng.integers(0, num_nodes, int(colptr[-1]), dtype=np.int64)},
                 "node_time": {}}
    directory = str(tmp_path_factory.mktemp("graph"))
    save_graph(directory, GraphArrays(**arguments))
    request = {"entity_table": "n", "num_neighbors": {"n__to__n": np.array([5, 5])},
               "batches": {"num_batches": 4, "batch_size": 256, "num_seeds": num_nodes}}
    return arguments, request, graph_bytes(directory), run_workers(directory, WORKERS, request, keep_results=True)


def test_each_worker_samples_as_one_process_with_its_seed(run):
    arguments, request, _, reports = run
    assert [report["seed"] for report in reports] == WORKERS
    for report in reports:
        expected = sample_all(corvane.NeighborSampler(**arguments, seed=report["seed"]), request,
                              batches(report["seed"], **request["batches"]))
        for got_batch, expected_batch in zip(report["results"], expected, strict=True):
            for got, wanted in zip(got_batch, expected_batch, strict=True):
                assert got.keys() == wanted.keys()
                for key in got:
                    np.testing.assert_array_equal(got[key], wanted[key])


@pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")),
                    reason="the sanitizer's shadow memory hides what the workers themselves hold")
def test_workers_share_one_copy_of_the_graph(run):
    _, _, size, reports = run
    for report in reports:
        before, after = report["before"], report["after"]
        assert after["graph_rss"] > 0.9 * size  # every page of the graph is resident in every worker
        assert after["graph_private_dirty"] == 0  # and none of it was copied or written
        assert after["anonymous"] - before["anonymous"] < size / 4  # the worker's own memory: its results
    assert sum(report["after"]["graph_pss"] for report in reports) < 1.1 * size  # one copy for all
