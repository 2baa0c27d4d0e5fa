"""sample: argument conversion and request checks, and their order."""

import numpy as np
import pytest

import corvane
from conftest import WRITES, WRITTEN_BY, empty_i64, i64, message, paper_author_sampler


def counts(writes=(-1,), written_by=(-1,)):
    return {WRITES: i64(*writes), WRITTEN_BY: i64(*written_by)}


@pytest.fixture
def timed():
    """The paper/author graph with times for both node types."""
    return paper_author_sampler(node_time={"paper": i64(10, 20), "author": i64(1, 2, 3)})


class TestConversion:
    def test_signature(self):
        assert corvane.NeighborSampler.sample.__doc__.splitlines()[0] == (
            "sample(self: corvane.NeighborSampler, num_neighbors: dict, "
            "sampling_time_offsets: dict, entity_table: str, seed_node: numpy.ndarray, "
            "seed_time: numpy.ndarray) -> tuple[dict, dict, dict, dict, dict, dict]"
        )

    @pytest.mark.parametrize("seed_node, seed_time", [([0], empty_i64()), (i64(0), [])])
    def test_lists_are_refused_for_seed_arrays(self, paper_author, seed_node, seed_time):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            paper_author.sample(counts(), {}, "paper", seed_node, seed_time)

    def test_all_parameters_by_keyword(self, paper_author):
        result = paper_author.sample(seed_time=empty_i64(), seed_node=i64(0), entity_table="paper",
                                     sampling_time_offsets={}, num_neighbors=counts())
        assert len(result) == 6

    def test_bytes_entity_table(self, paper_author):
        paper_author.sample(counts(), {}, b"paper", i64(0), empty_i64())


class TestMessages:
    @pytest.mark.parametrize("num_neighbors, offsets, table, seed_node, seed_time, error", [
        ({"x": i64(1)}, {}, "paper", i64(0), empty_i64(), "Invalid type 'x' found in num_neighbors."),
        ({WRITES: np.zeros((1, 1), np.int64)}, {}, "paper", i64(0), empty_i64(),
         f"Type '{WRITES}' in num_neighbors is not 1D."),
        ({WRITES: np.array([1.0])}, {}, "paper", i64(0), empty_i64(),
         f"Type '{WRITES}' in num_neighbors must have dtype int64."),
        ({}, {"x": np.zeros((1, 2))}, "paper", i64(0), empty_i64(),
         "Invalid type 'x' found in sampling_time_offsets."),
        ({}, {WRITES: i64(1, 2)}, "paper", i64(0), empty_i64(),
         f"Type '{WRITES}' in sampling_time_offsets is not 2D."),
        (counts(), {}, "paper", np.zeros((1, 1), np.int64), empty_i64(), "seed_node is not 1D."),
        (counts(), {}, "paper", i64(0).astype(np.int32), empty_i64(),
         "seed_node must have dtype int64."),
        (counts(), {}, "paper", i64(0), np.zeros((0, 1)), "seed_time is not 1D."),
        (counts(), {}, "paper", i64(0), np.array([1.5]), "seed_time must have dtype int64."),
        (counts(), {}, "Paper", i64(0), empty_i64(), "Invalid entity table 'Paper'."),
        (counts(), {WRITES: np.zeros((1, 2), np.int64)}, "paper", i64(0), empty_i64(),
         f"'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "
         f"'{WRITES}' appears in both."),
        ({WRITTEN_BY: i64(1)}, {WRITES: np.zeros((1, 2), np.int64)}, "paper", i64(0), empty_i64(),
         f"'sampling_time_offsets' contains '{WRITES}' but author is not included in 'node_time'."),
    ])
    def test_messages(self, paper_author, num_neighbors, offsets, table, seed_node, seed_time, error):
        with pytest.raises(RuntimeError, match=message(error)):
            paper_author.sample(num_neighbors, offsets, table, seed_node, seed_time)

    @pytest.mark.parametrize("num_neighbors, table, error", [
        (counts(), "x\0y", "Invalid entity table 'x\0y'."),
        (counts(), b"\xffx", "Invalid entity table '\\xffx'."),
        ({"x\0y": i64(1)}, "paper", "Invalid type 'x\0y' found in num_neighbors."),
        ({"x\ud800": i64(1)}, "paper", "Invalid type 'x\\ud800' found in num_neighbors."),
    ])
    def test_odd_names_appear_whole(self, paper_author, num_neighbors, table, error):
        # NUL bytes kept, bytes and characters without UTF-8 form escaped.
        with pytest.raises(RuntimeError) as raised:
            paper_author.sample(num_neighbors, {}, table, i64(0), empty_i64())
        assert str(raised.value) == error

    def test_odd_node_type_names_appear_whole(self):
        sampler = corvane.NeighborSampler(["a"], [("a", "to", "b\0c")], {"a__to__b\0c": i64(0)},
                                          {"a__to__b\0c": i64()}, {})
        with pytest.raises(IndexError) as raised:
            sampler.sample({"a__to__b\0c": i64(1)}, {}, "a", i64(0), empty_i64())
        assert str(raised.value) == ("Edge type 'a__to__b\0c' leads to node type 'b\0c', which is "
                                     "not one of the node types.")

    def test_offsets_need_two_columns(self, timed):
        with pytest.raises(RuntimeError, match=message(
                f"'sampling_time_offsets' at '{WRITES}' does not have shape (N, 2).")):
            timed.sample({WRITTEN_BY: i64(1)}, {WRITES: np.zeros((3, 3), np.int64)}, "paper",
                         i64(0), empty_i64())

    def test_seed_size_mismatch_only_with_node_times(self, timed, paper_author):
        with pytest.raises(RuntimeError, match=message("'seed_node' and 'seed_time' size mismatch.")):
            timed.sample(counts(), {}, "paper", i64(0, 1, 0, 1), i64(5, 5, 5))
        timed.sample(counts(), {}, "paper", i64(0, 1, 0, 1), empty_i64())
        paper_author.sample(counts(), {}, "paper", i64(0, 1, 0, 1), i64(5, 5, 5))

    def test_edge_type_in_neither_dictionary_is_a_key_error(self, paper_author):
        with pytest.raises(KeyError) as raised:
            paper_author.sample({}, {}, "paper", i64(0), empty_i64())
        assert raised.value.args == (WRITES,)

    def test_first_failing_step_is_reported(self, paper_author):
        # seed_node dtype (step 3) before entity table (step 5) before edge types (step 7)
        with pytest.raises(RuntimeError, match="seed_node must have dtype int64"):
            paper_author.sample({}, {}, "nope", i64(0).astype(np.int32), empty_i64())
        with pytest.raises(RuntimeError, match="Invalid entity table"):
            paper_author.sample({}, {}, "nope", i64(0), empty_i64())

    def test_first_edge_type_in_both_dictionaries_is_named(self, timed):
        both = {WRITES: i64(1), WRITTEN_BY: i64(1)}
        offsets = {WRITTEN_BY: np.zeros((1, 2), np.int64), WRITES: np.zeros((1, 2), np.int64)}
        with pytest.raises(RuntimeError, match=f"'{WRITES}' appears in both"):
            timed.sample(both, offsets, "paper", i64(0), empty_i64())

    def test_empty_values_pass_and_add_no_hops(self, timed):
        result = timed.sample({WRITES: []}, {WRITTEN_BY: np.zeros((0, 2))}, "paper", i64(0),
                              np.array([]))
        assert result[5][WRITES].tolist() == []
        assert result[4]["paper"].tolist() == [1]

    def test_hops_are_the_longest_list_or_row_count(self, timed):
        offsets = {WRITTEN_BY: np.array([[None, 0]] * 4, dtype=object)}
        result = timed.sample({WRITES: i64(10, 5)}, offsets, "paper", i64(0), i64(100))
        assert len(result[4]["paper"]) == 5
        assert len(result[5][WRITES]) == 4

    def test_failed_checks_leave_the_engine_alone(self):
        reference, probed = paper_author_sampler(seed=3), paper_author_sampler(seed=3)
        with pytest.raises(RuntimeError):
            probed.sample(counts(), {}, "nope", i64(0), empty_i64())
        with pytest.raises(KeyError):
            probed.sample({WRITES: i64(1)}, {}, "paper", i64(0), empty_i64())
        args = (counts((1,), (1,)), {}, "paper", i64(0, 1, 0, 1), empty_i64())
        for expected, got in zip(reference.sample(*args), probed.sample(*args)):
            assert {k: v.tolist() for k, v in expected.items()} == {k: v.tolist() for k, v in got.items()}
