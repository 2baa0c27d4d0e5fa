"""sample end to end: hops, selection, time windows and the six results."""

import gc
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import corvane
from conftest import (
    PAPER_AUTHOR_EDGE_TYPES,
    WRITES,
    WRITTEN_BY,
    as_lists,
    empty_i64,
    i64,
    paper_author_arrays,
    paper_author_sampler,
    single_edge_type_sampler,
)

INT64_MAX = np.iinfo(np.int64).max
INT64_MIN = np.iinfo(np.int64).min
KEY = "b__to__a"


class Index:
    """An integer-like value known only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def both_minus_one(hops=2):
    return {WRITES: i64(*[-1] * hops), WRITTEN_BY: i64(*[-1] * hops)}


def sample_column(neighbors, k, seed=123, times=None, seed_time=None, offsets=None):
    """Samples node 0 of type 'a' whose column holds `neighbors` (ids of type 'b')."""
    node_time = {} if times is None else {"b": i64(*times), "a": i64(0)}
    sampler = single_edge_type_sampler(i64(0, len(neighbors)), i64(*neighbors), node_time, seed)
    if offsets is not None:
        request = ({}, {KEY: np.array([offsets], dtype=object)})
    else:
        request = ({KEY: i64(k)}, {})
    seed_times = empty_i64() if seed_time is None else i64(seed_time)
    return sampler.sample(*request, "a", i64(0), seed_times)[2]["b"].tolist()


class TestWorkedExample:
    def test_graph_given_as_lists_outlives_them(self):
        colptr, row = paper_author_arrays()
        colptr = {key: value.tolist() for key, value in colptr.items()}
        row = {key: value.tolist() for key, value in row.items()}
        sampler = corvane.NeighborSampler(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, {})
        del colptr, row
        gc.collect()
        assert as_lists(sampler.sample(both_minus_one(), {}, "paper", i64(0), empty_i64()))[0] == {
            WRITES: [0, 1], WRITTEN_BY: [0, 0, 1]}

    def test_strided_and_byte_swapped_inputs_are_read_by_value(self):
        colptr, row = paper_author_arrays()
        colptr[WRITES] = np.array([0, 99, 2, 99, 4])[::2]
        row[WRITES] = row[WRITES].astype(">i8")
        row[WRITTEN_BY] = row[WRITTEN_BY][::-1][::-1].copy()[::-1][::-1]
        sampler = corvane.NeighborSampler(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, {})
        request = {WRITES: i64(-1, 99, -1)[::2], WRITTEN_BY: i64(-1, -1).astype(">i8")}
        seeds = i64(5, 0, 5)[1::2]
        assert as_lists(sampler.sample(request, {}, "paper", seeds, empty_i64())) == as_lists(
            paper_author_sampler().sample(both_minus_one(), {}, "paper", i64(0), empty_i64()))


class TestTrees:
    def test_parallel_edges_give_two_edges_to_one_node(self):
        sampler = single_edge_type_sampler(i64(0, 3), i64(7, 7, 8))
        rows, _, nodes, *_ = as_lists(sampler.sample({KEY: i64(-1)}, {}, "a", i64(0), empty_i64()))
        assert nodes["b"] == [7, 8]
        assert rows[KEY] == [0, 0, 1]

    def test_trees_are_per_seed(self):
        sampler = single_edge_type_sampler(i64(0, 1, 2), i64(5, 5))
        _, cols, nodes, batches, *_ = as_lists(
            sampler.sample({KEY: i64(-1)}, {}, "a", i64(0, 1, 0), empty_i64()))
        assert nodes == {"a": [0, 1, 0], "b": [5, 5, 5]}
        assert batches == {"a": [0, 1, 2], "b": [0, 1, 2]}
        assert cols[KEY] == [0, 1, 2]


class TestReproducibility:
    def args(self):
        return ({WRITES: i64(1, 1), WRITTEN_BY: i64(1, 1)}, {}, "paper", i64(0, 1, 1, 0),
                empty_i64())

    def test_same_seed_same_sequence(self):
        first, second = paper_author_sampler(seed=7), paper_author_sampler(seed=7)
        for _ in range(5):
            assert as_lists(first.sample(*self.args())) == as_lists(second.sample(*self.args()))

    def test_default_seed_is_123(self):
        colptr, row = paper_author_arrays()
        default = corvane.NeighborSampler(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, {})
        assert as_lists(default.sample(*self.args())) == as_lists(
            paper_author_sampler(seed=123).sample(*self.args()))

    def test_calls_continue_the_engine_sequence(self):
        sampler = paper_author_sampler(seed=7)
        results = [as_lists(sampler.sample(*self.args()))[2] for _ in range(8)]
        assert len({repr(r) for r in results}) > 1

    def test_temporal_and_take_all_calls_do_not_draw(self):
        times = {"paper": i64(10, 20), "author": i64(1, 2, 3)}
        temporal = paper_author_sampler(node_time=times, seed=7)
        request = ({WRITES: i64(1, 1), WRITTEN_BY: i64(1, 1)}, {}, "paper", i64(0, 1), i64(30, 30))
        assert as_lists(temporal.sample(*request)) == as_lists(temporal.sample(*request))
        untimed = paper_author_sampler(seed=7)
        untimed.sample(both_minus_one(), {}, "paper", i64(0, 1), empty_i64())
        assert as_lists(untimed.sample(*self.args())) == as_lists(
            paper_author_sampler(seed=7).sample(*self.args()))


class TestTimeWindows:
    def test_every_hop_compares_with_the_seed_time(self):
        # a <- b <- a: the b neighbour at time 5 is expanded in hop 2 and its
        # own neighbours are still compared with the seed's time 6.
        sampler = corvane.NeighborSampler(
            ["a", "b"], [("b", "to", "a"), ("a", "to", "b")],
            {"b__to__a": i64(0, 1), "a__to__b": i64(0, 2)},
            {"b__to__a": i64(0), "a__to__b": i64(1, 2)},
            {"a": i64(6, 4, 7), "b": i64(5)})
        nodes = sampler.sample({"b__to__a": i64(-1, -1), "a__to__b": i64(-1, -1)}, {}, "a",
                               i64(0), empty_i64())[2]
        assert nodes["a"].tolist() == [0, 1]

    @pytest.mark.parametrize("offsets", [(None, 1.5), (0, None), (2**63, 0)])
    def test_offsets_that_do_not_convert(self, offsets):
        with pytest.raises(RuntimeError, match="Unable to cast"):
            sample_column(range(5), 0, times=[10, 20, 20, 30, 40], seed_time=30, offsets=offsets)

    @pytest.mark.parametrize("value, as_int", [
        (True, 1), (np.int8(-3), -3), (Index(2), 2), (np.float32(2.7), 2), (np.float16(-2.5), -2),
        (Decimal("2.9"), 2), (Fraction(-5, 2), -2),
    ])
    def test_offsets_with_an_integer_conversion_are_converted(self, value, as_int):
        window = dict(times=[10, 20, 20, 30, 40], seed_time=30)
        assert (sample_column(range(5), 0, offsets=(-25, value), **window)
                == sample_column(range(5), 0, offsets=(-25, as_int), **window))

    @pytest.mark.parametrize("value", [
        2.0, np.float64(2.0), None, "2", 2 + 0j, object(), 2**63, np.uint64(2**63), Index(-2**63 - 1),
    ])
    def test_offsets_without_one_get_the_cast_error(self, value):
        with pytest.raises(RuntimeError, match=r"Unable to cast Python instance of type"):
            sample_column(range(5), 0, times=[10, 20], seed_time=30, offsets=(0, value))

    @pytest.mark.parametrize("error", [
        KeyboardInterrupt, MemoryError, SystemExit, ZeroDivisionError, RecursionError])
    @pytest.mark.parametrize("method", ["__index__", "__int__"])
    def test_errors_of_an_offsets_own_conversion_pass_through(self, method, error):
        calls = []

        def convert(self):
            calls.append(method)
            if len(calls) == 1:
                raise error("from the offset")  # once only: a retry would succeed
            return 1

        offset = type("Offset", (), {method: convert})()
        with pytest.raises(error, match="from the offset"):
            sample_column(range(5), 0, times=[10, 20], seed_time=30, offsets=(offset, 5))
        assert calls == [method]

    def test_missing_offset_row_fails_at_its_hop(self):
        sampler = single_edge_type_sampler(i64(0, 1), i64(0), {"b": i64(1), "a": i64(0)})
        sampler.sample({}, {KEY: np.zeros((1, 2), np.int64)}, "a", i64(0), i64(5))
        sampler2 = corvane.NeighborSampler(
            ["a", "b"], [("b", "to", "a"), ("b", "again", "a")],
            {"b__to__a": i64(0, 1), "b__again__a": i64(0, 1)}, {"b__to__a": i64(0), "b__again__a": i64(0)},
            {"b": i64(1), "a": i64(0)})
        with pytest.raises(IndexError):
            sampler2.sample({"b__to__a": i64(-1, -1)}, {"b__again__a": np.zeros((1, 2), np.int64)},
                            "a", i64(0), i64(5))


class TestResults:
    def test_shapes_dtypes_and_order(self, paper_author):
        result = paper_author.sample({WRITES: i64(1), WRITTEN_BY: i64(0)}, {}, "paper", i64(1),
                                     empty_i64())
        assert isinstance(result, tuple) and len(result) == 6
        for position, d in enumerate(result):
            assert type(d) is dict
            assert list(d) == ([WRITES, WRITTEN_BY] if position in (0, 1, 5) else ["paper", "author"])
            for array in d.values():
                assert array.dtype == np.int64 and array.ndim == 1
                assert array.flags.c_contiguous and array.flags.owndata

    def test_zero_hops(self, paper_author):
        rows, cols, nodes, batches, num_nodes, num_edges = as_lists(
            paper_author.sample({WRITES: empty_i64(), WRITTEN_BY: []}, {}, "paper", i64(1, 1, 0),
                                empty_i64()))
        assert nodes == {"paper": [1, 1, 0], "author": []}
        assert batches == {"paper": [0, 1, 2], "author": []}
        assert num_nodes == {"paper": [3], "author": [0]}
        assert num_edges == rows == cols == {WRITES: [], WRITTEN_BY: []}

    def test_empty_seeds(self, paper_author):
        *_, num_nodes, num_edges = as_lists(
            paper_author.sample(both_minus_one(), {}, "paper", empty_i64(), empty_i64()))
        assert num_nodes == {"paper": [0, 0, 0], "author": [0, 0, 0]}
        assert num_edges == {WRITES: [0, 0], WRITTEN_BY: [0, 0]}

    def test_results_do_not_change_with_later_calls(self, paper_author):
        first = paper_author.sample(both_minus_one(), {}, "paper", i64(0), empty_i64())
        snapshot = as_lists(first)
        paper_author.sample(both_minus_one(), {}, "paper", i64(1, 0), empty_i64())
        del paper_author
        gc.collect()
        assert as_lists(first) == snapshot

    def test_a_kept_sampler_answers_as_a_fresh_one(self):
        # The sampler reuses its de-duplication storage from call to call;
        # nothing an earlier call entered may count as seen in a later one.
        # Whole columns take no draws, so every call can be compared with a
        # fresh sampler. Large, small and repeated seed lists make the
        # storage grow, shrink in use and meet old entries again.
        rng = np.random.default_rng(7)
        colptr = np.concatenate([[0], np.cumsum(rng.integers(0, 6, 300))]).astype(np.int64)
        row = rng.integers(0, 300, int(colptr[-1])).astype(np.int64)
        graph = (["a", "b"], [("b", "to", "a"), ("a", "back", "b")],
                 {KEY: colptr, "a__back__b": colptr}, {KEY: row, "a__back__b": row}, {})
        request = {KEY: i64(-1, -1), "a__back__b": i64(-1, -1)}
        kept = corvane.NeighborSampler(*graph)
        for seeds in (rng.integers(0, 300, 2000), [5], rng.integers(0, 300, 2000), np.arange(300),
                      [5, 5, 5]):
            args = (request, {}, "a", i64(*seeds), empty_i64())
            assert as_lists(kept.sample(*args)) == as_lists(corvane.NeighborSampler(*graph).sample(*args))

    def test_short_count_lists_sample_nothing_past_their_end(self, paper_author):
        request = {WRITES: i64(-1, -1, -1), WRITTEN_BY: i64(-1)}
        *_, num_edges = as_lists(paper_author.sample(request, {}, "paper", i64(0), empty_i64()))
        assert num_edges == {WRITES: [2, 0, 0], WRITTEN_BY: [0, 0, 0]}

    def test_listed_twice(self):
        colptr, row = paper_author_arrays()
        sampler = corvane.NeighborSampler(["paper", "author", "paper"],
                                          PAPER_AUTHOR_EDGE_TYPES + PAPER_AUTHOR_EDGE_TYPES[:1],
                                          colptr, row, {})
        request = {WRITES: i64(-1), WRITTEN_BY: i64(-1)}
        rows, cols, nodes, _, num_nodes, num_edges = as_lists(
            sampler.sample(request, {}, "paper", i64(0), empty_i64()))
        assert num_nodes == {"paper": [1, 0, 0], "author": [0, 2]}
        assert num_edges == {WRITES: [2, 2], WRITTEN_BY: [0]}
        assert rows[WRITES] == [0, 1, 0, 1] and cols[WRITES] == [0, 0, 0, 0]
        assert nodes["author"] == [0, 1]

    def test_self_loop_edge_type_expands_new_nodes_next_hop(self):
        sampler = corvane.NeighborSampler(["u"], [("u", "follows", "u")],
                                          {"u__follows__u": i64(0, 1, 2, 3)},
                                          {"u__follows__u": i64(1, 2, 0)}, {})
        _, _, nodes, _, num_nodes, _ = as_lists(
            sampler.sample({"u__follows__u": i64(-1, -1, -1)}, {}, "u", i64(0), empty_i64()))
        assert nodes["u"] == [0, 1, 2]
        assert num_nodes["u"] == [1, 1, 1, 0]

    def test_neighbours_of_a_type_outside_node_types_are_edges_only(self):
        sampler = corvane.NeighborSampler(["a"], [("x", "to", "a")], {"x__to__a": i64(0, 2)},
                                          {"x__to__a": i64(3, 4)}, {})
        rows, cols, nodes, *_ = as_lists(sampler.sample({"x__to__a": i64(-1)}, {}, "a", i64(0),
                                                        empty_i64()))
        assert rows["x__to__a"] == [0, 1] and cols["x__to__a"] == [0, 0]
        assert nodes == {"a": [0]}


class TestBadIdsAreRejected:
    def sampler(self, colptr=(0, 2, 3), row=(0, 1, 0), times=None):
        return single_edge_type_sampler(i64(*colptr), i64(*row), times)

    @pytest.mark.parametrize("seed", [-1, 2, 2**62, INT64_MIN, INT64_MAX])
    def test_seed_outside_colptr(self, seed):
        with pytest.raises(RuntimeError, match=rf"^Node {seed} is out of range for edge type "
                                                r"'b__to__a': .* valid ids are in \[0, 2\)\.$"):
            self.sampler().sample({KEY: i64(1)}, {}, "a", i64(0, seed), empty_i64())

    @pytest.mark.parametrize("colptr", [(0, 2, 9), (-1, 2, 3), (0, 4, 3)])
    def test_column_outside_row(self, colptr):
        with pytest.raises(RuntimeError, match=r"in edge type 'b__to__a' spans positions .* of row, "
                                               r"outside its valid range \[0, 3\]\.$"):
            self.sampler(colptr=colptr).sample({KEY: i64(-1)}, {}, "a", i64(0, 1), empty_i64())

    def test_neighbour_outside_node_time(self):
        sampler = self.sampler(row=(0, 5, 0), times={"b": i64(1, 2), "a": i64(9, 9)})
        with pytest.raises(RuntimeError, match=r"^Node 5 of type 'b' is out of range for its "
                                               r"node_time: valid ids are in \[0, 2\)\.$"):
            sampler.sample({KEY: i64(-1)}, {}, "a", i64(0), empty_i64())

    def test_seed_outside_its_node_time(self):
        sampler = self.sampler(times={"b": i64(1, 2), "a": i64(9)})
        with pytest.raises(RuntimeError, match=r"^Node 1 of type 'a' is out of range"):
            sampler.sample({KEY: i64(-1)}, {}, "a", i64(0, 1), empty_i64())

    def test_destination_that_is_not_a_node_type(self):
        sampler = corvane.NeighborSampler(["a"], [("a", "to", "venue")], {"a__to__venue": i64(0)},
                                          {"a__to__venue": empty_i64()}, {})
        sampler.sample({"a__to__venue": empty_i64()}, {}, "a", i64(0), empty_i64())
        with pytest.raises(IndexError, match="'a__to__venue'.*'venue'"):
            sampler.sample({"a__to__venue": i64(0)}, {}, "a", i64(0), empty_i64())

    def test_sampler_recovers_after_a_failed_call(self):
        sampler = self.sampler()
        good = as_lists(sampler.sample({KEY: i64(-1)}, {}, "a", i64(1, 0), empty_i64()))
        with pytest.raises(RuntimeError):
            sampler.sample({KEY: i64(-1)}, {}, "a", i64(0, 1, 2), empty_i64())
        assert as_lists(sampler.sample({KEY: i64(-1)}, {}, "a", i64(1, 0), empty_i64())) == good

    def test_reentrant_call_is_refused(self):
        sampler = self.sampler(times={"b": i64(1, 2), "a": i64(9, 9)})

        class Offsets(dict):
            def __getitem__(self, key):
                sampler.sample({KEY: i64(-1)}, {}, "a", i64(0), empty_i64())
                return super().__getitem__(key)

        with pytest.raises(RuntimeError, match="has not returned yet"):
            sampler.sample({}, Offsets({KEY: np.zeros((1, 2), np.int64)}), "a", i64(0), i64(5))
        sampler.sample({KEY: i64(-1)}, {}, "a", i64(0), empty_i64())
