"""The toolkit around the sampler: event nodes, the full graph check, storage, mini-batches,
the seed-batch loader with its worker processes, and the same workers on a Dask cluster."""

import doctest
import os
import signal

import numpy as np
import pytest

import corvane
import corvane_data
import corvane_data.batches
import corvane_data.check
import corvane_data.loader
import corvane_data.storage
import corvane_data.tasks
from conftest import rated, same_batches
from corvane_data import (
    BatchSampler,
    GraphArrays,
    MiniBatch,
    SeedLoader,
    build_graph,
    check_graph,
    derived_seed,
    find_faults,
    load_graph,
    save_graph,
)

NO_TIME = np.empty(0, np.int64)


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    _, graph = rated()
    return save_graph(tmp_path_factory.mktemp("graph"), graph), graph


def test_timed_edges_become_events_that_no_seed_sees_past_its_time():
    table, graph = rated()
    assert graph.edge_types == [("rates", "from", "user"), ("user", "rev_from", "rates"),
                                ("rates", "to", "item"), ("item", "rev_to", "rates")]
    assert graph.node_time["rates"].tolist() == table["time"].tolist()
    assert find_faults(graph) == []
    sampler = corvane.NeighborSampler(*graph.arguments(), seed=1)
    _, _, nodes, batches, *_ = sampler.sample(
        {key: np.array([-1, -1]) for key in graph.colptr}, {}, "user", np.arange(60), np.full(60, 500))
    events = nodes["rates"]
    assert np.all(table["time"][events] <= 500)
    owner = batches["rates"][np.isin(batches["rates"], np.arange(60))]  # events of each user's tree
    assert {int(e) for e in events[owner == 7]} >= {
        e for e in np.flatnonzero(table["source"] == 7).tolist() if table["time"][e] <= 500}
    with pytest.raises(ValueError, match=r"event type 'item' is already a node type"):
        build_graph({"user": 1, "item": 1}, {("user", "item", "item"): {
            "source": [0], "destination": [0], "time": [1]}}, edge_time={("user", "item", "item"): "time"})


def timed_graph():
    """The rating events, and users with times too: every column is ordered by time."""
    return build_graph({"user": 60, "item": 20}, {("user", "rates", "item"): rated()[0]},
                       node_time={"user": np.arange(60)},
                       edge_time={("user", "rates", "item"): "time"}, add_reverse=True)


def corrupt(graph, part, key, change):
    arrays = {name: dict(getattr(graph, name)) for name in ("colptr", "row", "node_time")}
    arrays[part][key] = change(arrays[part][key].copy())
    return GraphArrays(graph.node_types, graph.edge_types, arrays["colptr"], arrays["row"],
                       arrays["node_time"], graph.num_nodes)


def swap_first_two_events_of_user_5(row):
    """Out of order inside a column only: the sampler's end checks pass it."""
    start = int(timed_graph().colptr["rates__from__user"][5])
    row[[start, start + 1]] = row[[start + 1, start]]
    return row


@pytest.mark.parametrize("chunk", [3, corvane_data.check.CHUNK])
@pytest.mark.parametrize("part, key, change, fault", [
    ("row", "rates__from__user", swap_first_two_events_of_user_5, "order"),
    ("row", "user__rev_from__rates", lambda r: np.where(np.arange(r.size) >= 9, 60, r),
     ("row", "user__rev_from__rates", 9)),
    ("colptr", "rates__to__item", lambda c: np.where(np.arange(c.size) == 4, 0, c),
     ("colptr", "rates__to__item", 4)),
    ("colptr", "rates__to__item", lambda c: c[:-1], ("colptr", "rates__to__item", 20)),
    ("node_time", "user", lambda t: t, None),
    ("node_time", "rates", lambda t: t[:-1], [("node_time", "rates", 599),
                                              ("row", "rates__from__user", 482)]),  # event 599 has no time
    ("row", "rates__to__item", lambda r: r.astype(np.int32), ("array", "rates__to__item", 0)),
    ("node_time", "user", lambda t: None, ("array", "user", 0)),
    ("node_time", "rates", lambda t: np.array(5), ("array", "rates", 0)),
    ("colptr", "rates__to__item", lambda c: c.tolist(), ("array", "rates__to__item", 0)),
    ("graph", "a__r__b", lambda g: GraphArrays(["a", "b"], [("a", "r", "b")], {"a__r__b": np.arange(6)},
                                               {"a__r__b": np.array([0, 1, 2, 3, -1])}),
     ("row", "a__r__b", 4)),  # no count of 'a' is known: a negative id is a fault still
    ("graph", "rates__from__user", lambda g: GraphArrays(g.node_types[:2], g.edge_types, g.colptr, g.row),
     ("edge_type", "rates__from__user", 0)),
])
def test_the_check_reports_the_first_fault_of_each_kind(monkeypatch, chunk, part, key, change, fault):
    graph = timed_graph()
    monkeypatch.setattr(corvane_data.check, "CHUNK", chunk)
    broken = change(graph) if part == "graph" else corrupt(graph, part, key, change)
    if fault == "order":
        start = int(graph.colptr[key][5])
        assert graph.node_time["rates"][graph.row[key][start]] < graph.node_time["rates"][graph.row[key][start + 1]]
        fault = ("order", key, start + 1)
    expected = fault if isinstance(fault, list) else [fault] if fault else []
    assert [(f.kind, f.where, f.position) for f in find_faults(broken)] == expected
    if fault:
        with pytest.raises(corvane_data.GraphCheckError, match=expected[0][1]):
            check_graph(broken)


def test_saved_graphs_load_mapped_or_in_memory_and_sample_alike(tmp_path, saved):
    folder, graph = saved
    mapped, in_memory = load_graph(folder), load_graph(folder, mmap=False)
    assert isinstance(mapped.row["rates__to__item"], np.memmap)
    assert not isinstance(in_memory.row["rates__to__item"], np.memmap)
    results = [corvane.NeighborSampler(*g.arguments(), seed=4).sample(
        {key: np.array([3, 2]) for key in g.colptr}, {}, "user", np.arange(30), np.full(30, 700))
        for g in (graph, mapped, in_memory)]
    for other in results[1:]:
        assert all(np.array_equal(a[key], b[key]) for x, y in zip(results[0], other)
                   for a, b in [(x, y)] for key in a)
    (tmp_path / "graph.json").write_text('{"format": "corvane-graph", "version": 99}')
    with pytest.raises(ValueError, match="version 99 is newer"):
        load_graph(tmp_path)
    with pytest.raises(ValueError, match="no graph.json"):
        load_graph(tmp_path / "missing")


def test_mini_batch_edges_and_features_agree_with_the_raw_result(tmp_path, saved):
    _, graph = saved
    sampler = corvane.NeighborSampler(*graph.arguments(), seed=2)
    seeds = np.array([3, 3, 9])
    result = sampler.sample({key: np.array([4, 4]) for key in graph.colptr}, {}, "user", seeds,
                            np.full(3, 800))
    batch = MiniBatch.from_result(result, graph.edge_types, "user", seeds, np.full(3, 800))
    for source, relation, destination in graph.edge_types:
        key = f"{source}__{relation}__{destination}"
        index = batch.edge_index[(source, relation, destination)]
        assert index.shape == (2, result[0][key].size) and index.dtype == np.int64
        assert np.array_equal(index, [result[0][key], result[1][key]])
        assert index.flags.c_contiguous and index.flags.writeable and index.flags.owndata
        assert np.array_equal(batch.node_ids[source][index[0]], result[2][source][result[0][key]])
        assert np.array_equal(batch.node_seed[destination][index[1]],
                              batch.node_seed[source][index[0]])  # an edge lies in one tree
    assert batch.node_ids["user"][batch.seed_positions].tolist() == [3, 3, 9]
    features = np.lib.format.open_memmap(tmp_path / "items.npy", "w+", np.float32, (20, 3))
    features[:] = np.arange(60).reshape(20, 3)
    gathered = batch.gather({"item": features, "shop": np.zeros((1, 1))})
    assert list(gathered) == ["item"]
    assert np.array_equal(gathered["item"][:, 0], 3 * batch.node_ids["item"])


def test_loader_epochs_cover_every_seed_and_repeat_from_the_seed(saved):
    folder, graph = saved
    seeds = np.arange(50) % 60
    options = {"num_neighbors": [3, 2], "batch_size": 16, "shuffle": True, "seed": 7}
    loader = SeedLoader(graph, "user", seeds, np.arange(50) * 20, **options)
    first, second = list(loader), list(loader)
    assert len(loader) == len(first) == 4 and [b.index for b in first] == [0, 1, 2, 3]
    assert sorted(np.concatenate([b.seed_ids for b in first]).tolist()) == sorted(seeds.tolist())
    assert [b.seed_time.tolist() for b in first][0] == (first[0].seed_ids * 20).tolist()
    assert not np.array_equal(first[0].seed_ids, second[0].seed_ids)  # a new order each epoch
    again = SeedLoader(folder, "user", seeds, np.arange(50) * 20, **options)
    same_batches(first, list(again))
    again.epoch = 1
    same_batches(second, list(again))
    dropped = SeedLoader(graph, "user", seeds, drop_last=True, **options)
    assert len(dropped) == len(list(dropped)) == 3


@pytest.mark.parametrize("start_method", ["forkserver", "spawn"])
def test_batches_are_the_same_for_any_worker_count_and_alone(saved, start_method):
    folder, graph = saved
    options = {"num_neighbors": [4, 3], "batch_size": 8, "seed": 5, "shuffle": True}
    seeds, times = np.arange(60), np.full(60, 900)
    labels = {"y": seeds * 10, "weight": np.stack([seeds, -seeds], axis=1)}
    with SeedLoader(folder, "user", seeds, times, num_workers=2, start_method=start_method,
                    labels=labels, **options) as loader:
        for _batch in loader:  # leave the first epoch early
            break
        epoch_one = list(loader)
        alone = [loader.batch(1, index) for index in range(len(loader))]
    for batch in epoch_one:
        assert batch.labels["y"].tolist() == (batch.seed_ids * 10).tolist()
        assert batch.labels["weight"].tolist() == np.stack([batch.seed_ids, -batch.seed_ids], 1).tolist()
    order = SeedLoader(graph, "user", seeds, **options).order(1)
    request = corvane_data.sampling_request(graph.edge_types, [4, 3], None)
    sampler = BatchSampler(graph, "user", request)
    expected = [sampler.sample(i, derived_seed(5, 1, 1, i), seeds[order[8 * i:8 * i + 8]],
                               times[:8 if i < 7 else 4]) for i in range(8)]
    same_batches(epoch_one, expected)
    same_batches(epoch_one, alone)
    for num_workers in (0, 1):
        other = SeedLoader(folder, "user", seeds, times, num_workers=num_workers, **options)
        other.epoch = 1
        same_batches(list(other), epoch_one)
        other.close()


def test_dask_actors_give_the_batches_of_as_many_worker_processes(saved):
    distributed = pytest.importorskip("distributed")
    from corvane_data.dask import DaskWorkers

    folder, _ = saved
    options = {"num_neighbors": [4, 3], "batch_size": 8, "seed": 2, "shuffle": True}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        loader = SeedLoader(folder, "user", np.arange(60), workers=DaskWorkers.on(client), **options)
        on_dask = list(loader)
        batches = iter(loader)
        next(batches)
        os.kill(min(client.run(os.getpid).values()), signal.SIGKILL)
        with pytest.raises((RuntimeError, OSError)):  # a lost actor surfaces, whenever it is lost
            list(batches)
        client.wait_for_workers(2)
        after_a_loss = list(loader)
    with SeedLoader(folder, "user", np.arange(60), num_workers=2, **options) as processes:
        same_batches(on_dask, list(processes))
        processes.epoch = 2
        same_batches(after_a_loss, list(processes))


@pytest.mark.parametrize("module", [corvane_data.batches, corvane_data.check, corvane_data.loader,
                                    corvane_data.storage, corvane_data.tasks, corvane_data.workers])
def test_docstring_examples_run(module):
    assert doctest.testmod(module).failed == 0
