"""Link-level batches: merged trees, no leakage on real history, negatives, workers."""

import dataclasses
import doctest
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import corvane
import corvane_data.links
import corvane_data.negatives
from conftest import rated
from corvane_data import Database, LinkLoader, LinkTask, build_graph, sampling_request, save_graph
from corvane_data.links import LinkSampler

SAMPLE = Path(__file__).parent / "data" / "git-history-2005"


def same_type_graph(num_nodes=40, num_edges=300, seed=1):
    rng = np.random.default_rng(seed)
    table = {"source": rng.integers(0, num_nodes, num_edges),
             "destination": rng.integers(0, num_nodes, num_edges), "time": rng.integers(0, 1000, num_edges)}
    return table, build_graph({"a": num_nodes}, {("a", "r", "a"): table},
                              edge_time={("a", "r", "a"): "time"}, add_reverse=True)


def trees(node_ids, node_seed, num_nodes_per_hop, edge_index, tree_of_seed):
    """Per tree: its (hop, node) sequence per type and its edges as global ids, in batch order."""
    found = {}
    for node_type, ids in node_ids.items():
        hops = np.repeat(np.arange(len(num_nodes_per_hop[node_type])), num_nodes_per_hop[node_type])
        for hop, node, seed in zip(hops, ids, node_seed[node_type]):
            found.setdefault((tree_of_seed(seed), node_type), []).append((hop, node))
    for (source, relation, destination), pairs in edge_index.items():
        for row, col in pairs.T:
            tree = tree_of_seed(node_seed[destination][col])
            found.setdefault((tree, relation), []).append((node_ids[source][row], node_ids[destination][col]))
    return found


@pytest.mark.parametrize("same_type", [False, True])
def test_a_merged_batch_holds_each_tree_as_its_own_call_made_it(same_type):
    table, graph = same_type_graph() if same_type else rated()
    edge_type = ("a", "r", "a") if same_type else ("user", "rates", "item")
    task = LinkTask(edge_type, table["source"][:12], table["destination"][:12], table["time"][:12])
    request = sampling_request(graph.edge_types, [3, 2], None)
    sources, destinations, pair_time = task.sources[:4], task.destinations, task.time
    batch = LinkSampler(graph, edge_type, request).sample(0, 9, sources, destinations, pair_time,
                                                          np.ones(12))
    sampler = corvane.NeighborSampler(*graph.arguments(), seed=9)
    calls = [(edge_type[0], sources, pair_time[:4] - 1), (edge_type[2], destinations, pair_time - 1)]
    if same_type:
        calls = [(edge_type[0], np.concatenate([sources, destinations]), np.concatenate([pair_time[:4], pair_time]) - 1)]
    expected, first = {}, 0
    for seed_type, seeds, times in calls:
        rows, cols, nodes, seeds_of, num_nodes, _ = sampler.sample(*request, seed_type, seeds, times)
        edge_index = {edge: np.stack([rows[corvane_data.edge_type_key(edge)], cols[corvane_data.edge_type_key(edge)]])
                      for edge in graph.edge_types}
        expected.update(trees(nodes, seeds_of, num_nodes, edge_index, lambda s, first=first: s + first))
        first += len(seeds)
    assert trees(batch.node_ids, batch.node_seed, batch.num_nodes_per_hop, batch.edge_index, int) == expected
    for node_type, counts in batch.num_nodes_per_hop.items():  # each hop contiguous: trimming works
        assert counts.sum() == len(batch.node_ids[node_type])
    source_ids, destination_ids = batch.pair_ids
    assert source_ids.tolist() == np.tile(sources, 3).tolist() and destination_ids.tolist() == destinations.tolist()


@pytest.fixture(scope="module")
def history():
    tables = {name: pd.read_parquet(SAMPLE / f"{name}.parquet") for name in ("authors", "commits", "files", "touches")}
    db = Database(time_unit="s")
    db.table("author", tables["authors"], key="key", time="first_commit")
    db.table("commit", tables["commits"], key="hash", time="time")
    db.table("file", tables["files"], key="path", time="first_touched")
    db.foreign_key("commit", "author", refers_to="author", relation="wrote")
    db.link("touches", tables["touches"], source=("commit", "commit"), destination=("path", "file"), time="time")
    graph = db.build(add_reverse=True)
    task = LinkTask.from_table(graph, ("commit", "touches", "file"), tables["touches"], source="commit",
                               destination="path", time="time", labels=["change"])
    return graph, task


def test_no_tree_of_real_history_sees_its_pair_or_later_and_negatives_exist_at_their_time(history):
    graph, task = history
    loader = LinkLoader(graph, task, num_neighbors=[4, 4, 4], neg_ratio=3, avoid_positives=True,
                        batch_size=256, shuffle=True)
    known = set(zip(task.sources.tolist(), task.destinations.tolist()))
    file_time = graph.node_time["file"]
    for batch in loader:
        pair_time = batch.edge_label_time
        tree_time = np.concatenate([pair_time[:batch.num_positives], pair_time])
        for node_type, ids in batch.node_ids.items():
            hops = np.repeat(np.arange(len(batch.num_nodes_per_hop[node_type])), batch.num_nodes_per_hop[node_type])
            later = graph.node_time[node_type][ids] >= tree_time[batch.node_seed[node_type]]
            assert not np.any(later & (hops > 0)), node_type  # nothing at or after the pair's time
        sources, destinations = batch.pair_ids
        negative = slice(batch.num_positives, None)
        assert np.all(graph.node_time["file"][destinations] <= pair_time)
        for pair in range(batch.num_positives, len(sources)):  # a known pair only where all are known
            if (sources[pair], destinations[pair]) in known:
                existing = np.flatnonzero(file_time <= pair_time[pair])
                assert all((sources[pair], file) in known for file in existing)
        assert batch.edge_label[negative].sum() == 0 and batch.edge_label[:batch.num_positives].min() == 1
        assert batch.labels["change"].tolist() == task.labels["change"][batch.input_id].tolist()


def test_fixed_negatives_belong_to_their_rows_and_random_ones_to_their_batch(history):
    graph, task = history
    task = task.take(np.arange(0, len(task), 7))

    def negatives_by_row(loader, epoch=0):
        found = {}
        for index in range(len(loader)):
            batch = loader.batch(epoch, index)
            rows = np.tile(batch.input_id, loader.neg_ratio)
            for row, node in zip(rows, batch.pair_ids[1][batch.num_positives:]):
                found.setdefault(int(row), []).append(int(node))
        return found

    options = {"num_neighbors": [2], "neg_ratio": 2}
    fixed = negatives_by_row(LinkLoader(graph, task, negatives="fixed", batch_size=50, **options))
    assert fixed == negatives_by_row(LinkLoader(graph, task, negatives="fixed", batch_size=64,
                                                shuffle=True, **options), epoch=3)
    random = LinkLoader(graph, task, batch_size=50, shuffle=True, **options)
    assert negatives_by_row(random, 1) == negatives_by_row(random, 1) != negatives_by_row(random, 2)
    assert negatives_by_row(random, 1) != fixed


def test_worker_processes_give_the_batches_of_this_process(tmp_path):
    table, graph = rated()
    task = LinkTask(("user", "rates", "item"), table["source"], table["destination"], table["time"])
    folder = save_graph(tmp_path / "graph", graph)
    options = {"num_neighbors": [3, 2], "neg_ratio": 1, "batch_size": 64, "shuffle": True, "seed": 4}
    with LinkLoader(folder, task, num_workers=2, **options) as loader:
        in_workers = list(loader)
    for mine, theirs in zip(LinkLoader(graph, task, **options), in_workers, strict=True):
        assert np.array_equal(mine.edge_label_index, theirs.edge_label_index)
        assert all(np.array_equal(mine.node_ids[t], theirs.node_ids[t]) for t in mine.node_ids)
        assert all(np.array_equal(mine.edge_index[e], theirs.edge_index[e]) for e in mine.edge_index)


@pytest.mark.parametrize("make, message", [
    (lambda graph, task: LinkTask.from_table(graph, ("user", "r", "shop"), {}, source="s", destination="d"),
     "'shop' is not a node type"),
    (lambda graph, task: LinkTask.from_table(graph, ("user", "r", "item"), {"s": [0, 99], "d": [1, 1]},
                                             source="s", destination="d"), "column 's' row 1 holds id 99"),
    (lambda graph, task: LinkLoader(graph, task, num_neighbors=[2], neg_ratio=1),
     "at row 0's time (-5) no node of 'item' exists yet"),
    (lambda graph, task: LinkLoader(graph, task, num_neighbors=[2], negatives="hard"), "'random' or 'fixed'"),
    (lambda graph, task: LinkLoader(graph, task, num_neighbors=[2], avoid_positives=dataclasses.replace(
        task, edge_type=("item", "r", "user"))), "avoid_positives: its pairs are ('item', 'r', 'user')"),
    (lambda graph, task: LinkLoader(graph, dataclasses.replace(task, destinations=np.array([2])),
                                    num_neighbors=[2]), "task destinations: position 0 holds id 2"),
    (lambda graph, task: LinkLoader(graph, dataclasses.replace(task, time=np.array([1, 2])),
                                    num_neighbors=[2]), "task: time has 2 rows for 1 pairs"),
])
def test_bad_link_tasks_and_options_are_refused(make, message):
    graph = build_graph({"user": 3, "item": 2}, {("user", "r", "item"): (np.array([0]), np.array([1]))},
                        node_time={"user": np.zeros(3, np.int64), "item": np.zeros(2, np.int64)})
    task = LinkTask(("user", "r", "item"), np.array([0]), np.array([1]), np.array([-5]))
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        make(graph, task)


@pytest.mark.parametrize("module", [corvane_data.links, corvane_data.negatives])
def test_docstring_examples_run(module):
    assert doctest.testmod(module).failed == 0
