"""The examples: the generated shop data, the demo's seed tree, and that the scripts run."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import corvane

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
    edge_keys = list(shop.arguments["colptr"])
    sampler = corvane.NeighborSampler(**shop.arguments, seed=1)
    seeds = np.arange(12, dtype=np.int64)
    result = sampler.sample(*demo.request(arguments, edge_keys), "customer", seeds,
                            np.full(12, ecommerce.END, dtype=np.int64))
    _, _, _, batches, num_nodes, _ = result
    hop = {t: np.repeat(np.arange(counts.size), counts) for t, counts in num_nodes.items()}
    edges_of = {b: sum(int(np.sum(batches[destination][result[1][key]] == b))
                       for (_, _, destination), key in zip(shop.arguments["edge_types"], edge_keys))
                for b in range(12)}
    for batch in range(12):
        children, other_edges = demo.seed_tree(result, shop.arguments["edge_types"], batch)
        placed = [child for kids in children.values() for child in kids]
        expected = {(t, int(local)) for t in batches for local in np.flatnonzero(batches[t] == batch)}
        assert sorted(placed + [("customer", batch)]) == sorted(expected)
        for (parent_type, parent), kids in children.items():
            assert all(hop[t][local] == hop[parent_type][parent] + 1 for t, local in kids)
        assert len(placed) + other_edges == edges_of[batch]


@pytest.mark.parametrize("script, options, expected", [
    ("demo.py", ["--scale", "0.02", "--batches", "3", "--no-progress"], "One seed's tree"),
    ("demo.py", ["--scale", "0.02", "--batches", "2", "--window", "30,30,3", "--no-progress"], "Throughput"),
    ("interactions_csv.py", ["--users", "u001,u055", "--at", "2025-06-30"], "u055 as of 2025-06-30:"),
])
def test_example_runs(script, options, expected):
    ran = subprocess.run([sys.executable, str(EXAMPLES / script), *options], capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    assert expected in ran.stdout
