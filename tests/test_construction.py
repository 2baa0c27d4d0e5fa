"""Constructor: argument conversion, input checks and their order."""

from collections import OrderedDict

import numpy as np
import pytest

import corvane
from conftest import PAPER_AUTHOR_EDGE_TYPES, WRITES, WRITTEN_BY, i64, message, paper_author_arrays


def build(node_types=("paper", "author"), edge_types=PAPER_AUTHOR_EDGE_TYPES, colptr=None,
          row=None, node_time=None, **kwargs):
    default_colptr, default_row = paper_author_arrays()
    return corvane.NeighborSampler(
        list(node_types), edge_types,
        default_colptr if colptr is None else colptr,
        default_row if row is None else row,
        {} if node_time is None else node_time,
        **kwargs,
    )


class TestModuleSurface:
    def test_module_holds_only_the_sampler_class(self):
        public = [name for name in dir(corvane) if not name.startswith("__")]
        assert public == ["NeighborSampler"]
        assert corvane.__doc__ is None

    def test_constructor_signature(self):
        assert corvane.NeighborSampler.__init__.__doc__.splitlines()[0] == (
            "__init__(self: corvane.NeighborSampler, node_types: list[str], "
            "edge_types: list[tuple[str, str, str]], colptr: dict, row: dict, "
            "node_time: object, seed: int = 123) -> None"
        )

    def test_class_has_only_sample_beside_the_conduit(self):
        # pybind11 2.13.6 gives every class its conduit method first.
        own = [name for name in vars(corvane.NeighborSampler) if not name.startswith("__")]
        assert own == ["_pybind11_conduit_v1_", "sample"]

    def test_instances_take_no_new_attributes(self):
        with pytest.raises(AttributeError):
            build().extra = 1

    def test_python_subclasses_are_allowed(self):
        class Sub(corvane.NeighborSampler):
            pass

        colptr, row = paper_author_arrays()
        assert isinstance(Sub(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, {}),
                          corvane.NeighborSampler)

    def test_methods_refuse_an_instance_whose_init_never_ran(self):
        arguments = ({WRITES: i64(0), WRITTEN_BY: i64(0)}, {}, "paper", i64(0), i64())
        colptr, row = paper_author_arrays()

        class SamplesTooEarly(corvane.NeighborSampler):
            def __init__(self):
                with pytest.raises(TypeError, match=r"__init__\(\) has not run"):
                    self.sample(*arguments)
                super().__init__(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, {})

        with pytest.raises(TypeError, match=r"__init__\(\) has not run"):
            corvane.NeighborSampler.__new__(corvane.NeighborSampler).sample(*arguments)
        assert SamplesTooEarly().sample(*arguments)[2]["paper"].tolist() == [0]

    def test_all_parameters_by_keyword_in_any_order(self):
        colptr, row = paper_author_arrays()
        corvane.NeighborSampler(seed=5, node_time={}, row=row, colptr=colptr,
                                edge_types=PAPER_AUTHOR_EDGE_TYPES, node_types=["paper", "author"])


class TestArgumentConversion:
    @pytest.mark.parametrize("seed", [-1, 0, 2147483647, -2147483648, True, np.int32(9), np.int64(9)])
    def test_seeds_in_the_32_bit_range_are_accepted(self, seed):
        build(seed=seed)

    @pytest.mark.parametrize("seed", [2147483648, -2147483649, 1.5, "1", None])
    def test_seeds_that_do_not_convert_are_refused(self, seed):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            build(seed=seed)

    def test_node_time_none_is_refused_by_dict(self):
        with pytest.raises(TypeError, match="not iterable"):
            corvane.NeighborSampler(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES,
                                    *paper_author_arrays(), None)

    @pytest.mark.parametrize("node_time", [
        [("paper", i64(1, 2))],
        OrderedDict(paper=i64(1, 2)),
        (("paper", i64(1, 2)),),
    ])
    def test_node_time_accepts_whatever_dict_accepts(self, node_time):
        build(node_time=node_time)

    def test_node_time_that_dict_refuses_raises_its_error(self):
        with pytest.raises(ValueError):
            build(node_time=["paper"])

    def test_edge_types_as_lists_or_tuples(self):
        build(edge_types=[list(e) for e in PAPER_AUTHOR_EDGE_TYPES])

    @pytest.mark.parametrize("edge_types", [
        [("author", "writes")],
        [("author", "writes", "paper", "x")],
        "author",
        [("author", "writes", 5)],
    ])
    def test_malformed_edge_types_are_refused(self, edge_types):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            build(edge_types=edge_types, colptr={}, row={})

    @pytest.mark.parametrize("node_types", ["paper", {"paper"}, [1]])
    def test_node_types_must_be_a_sequence_of_strings(self, node_types):
        colptr, row = paper_author_arrays()
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            corvane.NeighborSampler(node_types, PAPER_AUTHOR_EDGE_TYPES, colptr, row, {})

    def test_bytes_names_are_accepted(self):
        colptr, row = paper_author_arrays()
        corvane.NeighborSampler([b"paper", bytearray(b"author")],
                                [(b"author", "writes", b"paper"), ("paper", b"written_by", "author")],
                                colptr, row, {})

    def test_mappings_other_than_dict_are_refused_for_colptr(self):
        colptr, row = paper_author_arrays()
        with pytest.raises(TypeError):
            build(colptr=list(colptr.items()), row=row)

    def test_dict_subclasses_are_accepted(self):
        class Sub(dict):
            pass

        colptr, row = paper_author_arrays()
        build(colptr=Sub(colptr), row=Sub(row), node_time=Sub())


class TestInputChecks:
    def test_empty_graph_is_valid(self):
        corvane.NeighborSampler([], [], {}, {}, {})

    @pytest.mark.parametrize("colptr, row, node_time, error", [
        ({WRITES: i64(0), WRITTEN_BY: i64(0), "x__y__z": i64(0)}, None, None,
         "Invalid type 'x__y__z' found in colptr."),
        ({("author", "writes", "paper"): i64(0)}, None, None,
         "Invalid type '('author', 'writes', 'paper')' found in colptr."),
        ({WRITES: np.zeros((2, 2), np.int64)}, None, None,
         f"Type '{WRITES}' in colptr is not 1D."),
        ({WRITES: np.zeros((), np.int64)}, None, None, f"Type '{WRITES}' in colptr is not 1D."),
        ({WRITES: np.zeros((0, 3))}, None, None, f"Type '{WRITES}' in colptr is not 1D."),
        ({WRITES: i64(0, 1).astype(np.int32)}, None, None,
         f"Type '{WRITES}' in colptr must have dtype int64."),
        ({WRITES: i64(0, 1).astype(np.uint64)}, None, None,
         f"Type '{WRITES}' in colptr must have dtype int64."),
        ({WRITES: np.array([0.0, 1.0])}, None, None,
         f"Type '{WRITES}' in colptr must have dtype int64."),
        (None, {WRITTEN_BY: np.array([0.5])}, None,
         f"Type '{WRITTEN_BY}' in row must have dtype int64."),
        (None, {"bogus": i64(0)}, None, "Invalid type 'bogus' found in row."),
        (None, None, {"venue": i64(1)}, "Invalid type 'venue' found in node_time."),
        (None, None, {"paper": np.zeros((1, 1), np.int64)}, "Type 'paper' in node_time is not 1D."),
        (None, None, {"paper": np.array([1.0])}, "Type 'paper' in node_time must have dtype int64."),
    ])
    def test_messages(self, colptr, row, node_time, error):
        with pytest.raises(RuntimeError, match=message(error)):
            build(colptr=colptr, row=row, node_time=node_time)

    def test_unknown_key_is_reported_before_its_value_is_looked_at(self):
        with pytest.raises(RuntimeError, match=message("Invalid type 'x' found in colptr.")):
            build(colptr={"x": object()})

    def test_first_bad_entry_in_dictionary_order_is_reported(self):
        colptr = {WRITES: np.array([1.0]), WRITTEN_BY: np.zeros((1, 1), np.int64)}
        with pytest.raises(RuntimeError, match="in colptr must have dtype int64"):
            build(colptr=colptr)

    def test_colptr_is_checked_before_row_and_row_before_node_time(self):
        with pytest.raises(RuntimeError, match="found in colptr"):
            build(colptr={"x": i64(0)}, row={"y": i64(0)}, node_time={"z": i64(0)})
        with pytest.raises(RuntimeError, match="found in row"):
            build(row={"y": i64(0)}, node_time={"z": i64(0)})

    @pytest.mark.parametrize("dtype", [np.float64, np.int32, np.uint8, object, "U3"])
    def test_empty_arrays_pass_whatever_their_dtype(self, dtype):
        colptr, row = paper_author_arrays()
        colptr[WRITES] = np.array([], dtype=dtype)
        build(colptr=colptr, row=row)

    def test_non_str_keys_are_checked_by_their_text(self):
        colptr, row = paper_author_arrays()
        corvane.NeighborSampler(["5"], [], {}, {}, {5: i64(1)})
        with pytest.raises(RuntimeError, match=message("Invalid type '5' found in node_time.")):
            corvane.NeighborSampler(["paper"], [], {}, {}, {5: i64(1)})

    def test_byte_swapped_and_list_values_pass_the_checks(self):
        colptr, row = paper_author_arrays()
        colptr[WRITES] = colptr[WRITES].astype(">i8")
        row[WRITES] = [0, 1, 1, 2]
        build(colptr=colptr, row=row)

    def test_failed_conversion_passes_numpy_error_through(self):
        with pytest.raises(ValueError):
            build(colptr={WRITES: [[0, 1], [2]]})

    def test_failing_str_of_a_key_passes_its_error_through(self):
        class BadKey:
            def __str__(self):
                raise ZeroDivisionError("no text")

        with pytest.raises(ZeroDivisionError, match="no text"):
            build(colptr={BadKey(): i64(0)})


class TestRecordingArrays:
    def test_missing_row_entry_is_a_key_error_after_all_checks(self):
        colptr, row = paper_author_arrays()
        del row[WRITTEN_BY]
        with pytest.raises(KeyError, match=WRITTEN_BY):
            build(colptr=colptr, row=row)
        # A node_time fault comes first: recording starts after every check.
        with pytest.raises(RuntimeError, match="node_time"):
            build(colptr=colptr, row=row, node_time={"x": i64(0)})

    def test_colptr_is_missed_before_row_of_the_same_edge_type(self):
        colptr, row = paper_author_arrays()
        del colptr[WRITTEN_BY], row[WRITTEN_BY]
        with pytest.raises(KeyError, match=WRITTEN_BY) as raised:
            build(colptr=colptr, row=row)
        assert raised.value.args == (WRITTEN_BY,)

    def test_first_edge_type_with_a_missing_entry_is_reported(self):
        colptr, row = paper_author_arrays()
        del row[WRITES], row[WRITTEN_BY]
        with pytest.raises(KeyError) as raised:
            build(colptr=colptr, row=row)
        assert raised.value.args == (WRITES,)

    def test_non_str_key_matching_an_edge_type_key_is_missing_when_recorded(self):
        class Key:
            def __str__(self):
                return WRITES

        colptr, row = paper_author_arrays()
        colptr[Key()] = colptr.pop(WRITES)
        with pytest.raises(KeyError):
            build(colptr=colptr, row=row)

    def test_array_without_a_buffer_view_is_refused_when_recorded(self):
        colptr, row = paper_author_arrays()
        colptr[WRITES] = np.array([], dtype="datetime64[s]")
        with pytest.raises((ValueError, BufferError)):
            build(colptr=colptr, row=row)

    def test_edge_type_whose_types_are_not_node_types_is_accepted(self):
        corvane.NeighborSampler(["paper"], [("venue", "hosts", "talk")],
                                {"venue__hosts__talk": i64(0)}, {"venue__hosts__talk": i64()}, {})

    def test_same_edge_type_listed_twice_is_accepted(self):
        colptr, row = paper_author_arrays()
        build(edge_types=PAPER_AUTHOR_EDGE_TYPES * 2, colptr=colptr, row=row)


class TestSharedEdgeTypeKeys:
    @pytest.mark.parametrize("first, second, key", [
        (("a", "b__c", "d"), ("a__b", "c", "d"), "a__b__c__d"),
        (("a", "b", "c__d"), ("a", "b__c", "d"), "a__b__c__d"),
    ])
    def test_different_triples_with_one_key_are_refused(self, first, second, key):
        expected = (f"Edge types ('{first[0]}', '{first[1]}', '{first[2]}') and "
                    f"('{second[0]}', '{second[1]}', '{second[2]}') share the key '{key}'.")
        with pytest.raises(RuntimeError, match=message(expected)):
            # Reported before any dictionary is looked at.
            corvane.NeighborSampler(["a", "d"], [first, ("x", "y", "z"), second],
                                    {"bogus": i64(0)}, {}, {})

    def test_names_with_separators_that_do_not_collide(self):
        sampler = corvane.NeighborSampler(
            ["a__b", "c"], [("a__b", "r__s", "c")], {"a__b__r__s__c": i64(0, 1)},
            {"a__b__r__s__c": i64(0)}, {})
        rows = sampler.sample({"a__b__r__s__c": i64(-1)}, {}, "c", i64(0), np.array([]))[0]
        assert list(rows) == ["a__b__r__s__c"] and rows["a__b__r__s__c"].tolist() == [0]
