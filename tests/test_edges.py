"""The edge-list helper of examples/: column form, time order, id checks, saved graphs."""

import sys
from pathlib import Path

import numpy as np
import pytest

import corvane

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from corvane_edges import GraphBuilder, load_graph, save_graph, to_csc  # noqa: E402


def columns(colptr, row):
    return [row[colptr[d]:colptr[d + 1]].tolist() for d in range(colptr.size - 1)]


class TestColumnForm:
    def test_small_graph_by_hand(self):
        # edges 0->1, 2->0, 1->1, 2->1 over 3 sources and 3 destinations
        colptr, row = to_csc([0, 2, 1, 2], [1, 0, 1, 1], 3, 3)
        assert colptr.dtype == row.dtype == np.int64
        assert columns(colptr, row) == [[2], [0, 1, 2], []]

    def test_columns_follow_source_times_and_keep_input_order_on_ties(self):
        colptr, row = to_csc([0, 1, 2, 3, 1], [0, 0, 0, 0, 1], 4, 2, src_time=[30, 10, 30, 20])
        assert columns(colptr, row) == [[1, 3, 0, 2], [1]]

    @pytest.mark.parametrize("timed", [False, True])
    def test_random_edge_lists_keep_every_edge_in_its_column(self, timed):
        rng = np.random.default_rng(5)
        src, dst = rng.integers(0, 50, 2000), rng.integers(0, 40, 2000)
        times = rng.integers(0, 20, 50) if timed else None
        colptr, row = to_csc(src, dst, 50, 40, src_time=times)
        for d, column in enumerate(columns(colptr, row)):
            expected = src[dst == d]
            if timed:  # stable by time: the input order among equal times
                expected = expected[np.argsort(times[expected], kind="stable")]
            assert column == expected.tolist()

    def test_unsigned_and_list_inputs_convert(self):
        colptr, row = to_csc(np.array([1, 0], dtype=np.uint32), [0, 0], 2, 1)
        assert columns(colptr, row) == [[1, 0]] and row.dtype == np.int64


class TestChecks:
    @pytest.mark.parametrize("src, dst, message", [
        ([0, 3], [0, 0], "source id 3 at position 1 is outside 0..2 (3 nodes)"),
        ([0, -1], [0, 0], "source id -1 at position 1 is outside 0..2"),
        ([0, 1], [2, 0], "destination id 2 at position 0 is outside 0..1 (2 nodes)"),
        ([0, 1, 2], [0, 1], "3 source ids but 2 destination ids"),
        ([[0, 1]], [[0, 1]], "source ids must be one-dimensional"),
    ])
    def test_bad_ids_name_the_edge_type_and_the_id(self, src, dst, message):
        with pytest.raises(ValueError, match="^knows: " + message.replace("(", r"\(").replace(")", r"\)")):
            to_csc(src, dst, 3, 2, name="knows")

    def test_float_ids_and_too_few_times_are_refused(self):
        with pytest.raises(TypeError, match="source ids must hold integers, got dtype float64"):
            to_csc([0.0, 1.0], [0, 0], 2, 1)
        with pytest.raises(ValueError, match="2 source times for 3 source nodes"):
            to_csc([0], [0], 3, 1, src_time=[1, 2])
        with pytest.raises(ValueError, match="number of destination nodes must be a non-negative"):
            to_csc([0], [0], 1, -1)

    def test_builder_refuses_unknown_types_repeats_and_wrong_time_counts(self):
        graph = GraphBuilder()
        graph.add_nodes("user", 2)
        with pytest.raises(ValueError, match="Node type 'user' was added already"):
            graph.add_nodes("user", 3)
        with pytest.raises(ValueError, match="'item': 1 times for 2 nodes"):
            graph.add_nodes("item", 2, time=[5])
        with pytest.raises(ValueError, match="'user__likes__item': add node type 'item' with add_nodes"):
            graph.add_edges(("user", "likes", "item"), [0], [0])
        graph.add_nodes("item", 2)
        graph.add_edges(("user", "likes", "item"), [0], [1], reverse="liked_by")
        with pytest.raises(ValueError, match="Edge type 'item__liked_by__user' was added already"):
            graph.add_edges(("item", "liked_by", "user"), [0], [0])
        with pytest.raises(ValueError, match="Edge type 'user__knows__user' was added already"):
            graph.add_edges(("user", "knows", "user"), [0], [1], reverse="knows")
        with pytest.raises(ValueError, match="edge type 'user__rates__item': destination id 5"):
            graph.add_edges(("user", "rates", "item"), [0], [5])
        assert graph.edge_types == [("user", "likes", "item"), ("item", "liked_by", "user")]


def timed_graph():
    """Users with timed events (each event by one user), linked both ways."""
    rng = np.random.default_rng(11)
    event_time, event_user = rng.integers(0, 1000, 600), rng.integers(0, 30, 600)
    graph = GraphBuilder()
    graph.add_nodes("user", 30)
    graph.add_nodes("event", 600, time=event_time)
    graph.add_edges(("event", "by", "user"), np.arange(600), event_user, reverse="made")
    return graph.arguments(), event_time, event_user


class TestWithTheSampler:
    def test_temporal_sampling_takes_the_latest_events_before_the_seed_time(self):
        arguments, event_time, event_user = timed_graph()
        sampler = corvane.NeighborSampler(**arguments)
        seeds = np.arange(30, dtype=np.int64)
        seed_times = np.full(30, 500, dtype=np.int64)
        _, _, nodes, batches, *_ = sampler.sample(
            {"event__by__user": np.array([3]), "user__made__event": np.array([0])}, {}, "user",
            seeds, seed_times)
        for user in range(30):
            mine = nodes["event"][batches["event"] == user]
            past = np.flatnonzero((event_user == user) & (event_time <= 500))
            latest = past[np.argsort(event_time[past], kind="stable")][-3:]
            assert sorted(mine.tolist()) == sorted(latest.tolist())

    def test_saved_graph_maps_read_only_and_samples_as_the_original(self, tmp_path):
        arguments = timed_graph()[0]
        save_graph(tmp_path, arguments)
        loaded = load_graph(tmp_path)
        assert loaded["edge_types"] == arguments["edge_types"]
        for part in ("colptr", "row", "node_time"):
            for key, array in loaded[part].items():
                assert isinstance(array, np.memmap) and not array.flags.writeable
                np.testing.assert_array_equal(array, arguments[part][key])
        request = ({"event__by__user": np.array([2, 2]), "user__made__event": np.array([1, 1])}, {}, "user",
                   np.arange(30, dtype=np.int64), np.full(30, 800, dtype=np.int64))
        for first, second in zip(corvane.NeighborSampler(**loaded, seed=4).sample(*request),
                                 corvane.NeighborSampler(**arguments, seed=4).sample(*request)):
            assert first.keys() == second.keys()
            for key in first:
                np.testing.assert_array_equal(first[key], second[key])

