"""The examples: the generated shop data, the demo's seed tree, and that the scripts run."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import corvane
from conftest import UNDER_SANITIZER
from corvane_data import MiniBatch, sampling_request

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import demo  # noqa: E402
import ecommerce  # noqa: E402


@pytest.fixture(scope="module")
def shop():
    return ecommerce.generate(scale=0.02, seed=3)


def test_generated_orders_come_after_signup_and_listing(shop):
    time, colptr, row = shop.node_time, shop.arguments["colptr"], shop.arguments["row"]
    for key, earlier in (("customer__places__order", "customer"), ("product__in__order", "product")):
        orders = np.repeat(np.arange(colptr[key].size - 1), np.diff(colptr[key]))
        assert np.all(time[earlier][row[key]] <= time["order"][orders]), key
    assert np.all(np.diff(colptr["customer__places__order"]) == 1)  # one customer per order


@pytest.mark.parametrize("window", [None, [60, 60, 5]])
def test_seed_tree_holds_each_node_of_a_seed_once_below_a_node_of_the_hop_before(shop, window):
    arguments = demo.parse_args(["--fanout", "4,3,2"] + (["--window", ",".join(map(str, window))] if window else []))
    edge_types = shop.graph.edge_types
    sampler = corvane.NeighborSampler(**shop.arguments, seed=1)
    seeds, times = np.arange(12, dtype=np.int64), np.full(12, ecommerce.END, dtype=np.int64)
    num_neighbors, offsets = sampling_request(edge_types, **demo.request(arguments, edge_types))
    batch = MiniBatch.from_result(sampler.sample(num_neighbors, offsets, "customer", seeds, times),
                                  edge_types, "customer", seeds, times)
    hop = {t: np.repeat(np.arange(counts.size), counts) for t, counts in batch.num_nodes_per_hop.items()}
    edges_of = {b: sum(int(np.sum(batch.node_seed[destination][index[1]] == b))
                       for (_, _, destination), index in batch.edge_index.items())
                for b in range(12)}
    for seed in range(12):
        children, other_edges = demo.seed_tree(batch, seed)
        placed = [child for kids in children.values() for child in kids]
        expected = {(t, int(local)) for t in batch.node_seed
                    for local in np.flatnonzero(batch.node_seed[t] == seed)}
        assert sorted(placed + [("customer", seed)]) == sorted(expected)
        for (parent_type, parent), kids in children.items():
            assert all(hop[t][local] == hop[parent_type][parent] + 1 for t, local in kids)
        assert len(placed) + other_edges == edges_of[seed]
    shown = demo.tree_to_show(batch)
    assert shown is not None and len(demo.seed_tree(batch, shown)[0]) > 0  # never a lone seed


@pytest.mark.parametrize("script, options, expected", [
    ("demo.py", ["--scale", "0.02", "--batches", "3", "--no-progress"], "One seed's tree"),
    ("demo.py", ["--scale", "0.02", "--batches", "4", "--window", "30,30,3", "--no-progress",
                 "--workers", "0"], "Layer output for the first batch's seeds: 512 x 16"),
    ("dask_cluster.py", ["--batches", "6"], "Same batches as 2 local worker processes: yes"),
    ("interactions_csv.py", ["--users", "u001,u055", "--at", "2025-06-30"], "u055 as of 2025-06-30:"),
    ("git_history.py", ["--workers", "2"], "test AUC: model"),
    ("git_history.py", ["--workers", "auto"], "with 0 worker processes"),  # batches too short to move
])
def test_example_runs(script, options, expected):
    ran = subprocess.run([sys.executable, str(EXAMPLES / script), *options], capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    assert expected in ran.stdout


@pytest.mark.skipif(UNDER_SANITIZER, reason="torch's import leaves objects for the leak check")
def test_link_example_learns_on_real_history():
    ran = subprocess.run([sys.executable, str(EXAMPLES / "git_links.py"), "--short"], capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    losses = [float(line.split("loss ")[1].split(",")[0]) for line in ran.stdout.splitlines()
              if line.startswith("epoch ")]
    mrr = {line.split(":")[0].strip(): float(line.split("MRR ")[1].split(",")[0])
           for line in ran.stdout.splitlines() if "MRR" in line}
    assert len(losses) == 3 and losses[-1] < losses[0]
    random_mrr = next(value for name, value in mrr.items() if name.startswith("test"))
    assert mrr["model"] > random_mrr, ran.stdout
