"""The README's error table: every row is raised, as written, by a small case."""

import numpy as np
import pytest

import corvane
from conftest import (
    PAPER_AUTHOR_EDGE_TYPES,
    WRITES,
    WRITTEN_BY,
    documented_errors,
    empty_i64,
    i64,
    paper_author_arrays,
    paper_author_sampler,
    single_edge_type_sampler,
)

KEY = "b__to__a"


def paper_author():
    return paper_author_sampler()


def timed():
    return paper_author_sampler(node_time={"paper": i64(10, 20), "author": i64(1, 2, 3)})


def take_all(sampler, seed_node, seed_time=None, num_neighbors=None, offsets=None, entity="paper"):
    counts = {WRITES: i64(-1), WRITTEN_BY: i64(-1)} if num_neighbors is None else num_neighbors
    return sampler.sample(counts, offsets or {}, entity, seed_node,
                          empty_i64() if seed_time is None else seed_time)


def build(node_time, colptr=None, row=None, edge_types=PAPER_AUTHOR_EDGE_TYPES, **kwargs):
    default_colptr, default_row = paper_author_arrays()
    return corvane.NeighborSampler(["paper", "author"], edge_types, colptr or default_colptr,
                                   row or default_row, node_time, **kwargs)


def reentrant_call():
    sampler = paper_author()

    class CallsBack(dict):
        def __getitem__(self, key):
            take_all(sampler, i64(0))

    take_all(sampler, i64(0), num_neighbors=CallsBack({WRITES: i64(1), WRITTEN_BY: i64(1)}))


CASES = {
    "Two different edge types with the same edge-type key":
        lambda: build({}, edge_types=[("a", "b__c", "d"), ("a__b", "c", "d")]),
    "A dictionary key that is not an edge-type key (a node type for `node_time`), compared as its `str()`":
        lambda: build({5: i64(1)}),
    "A dictionary value that is not one-dimensional (two-dimensional for `sampling_time_offsets`)":
        lambda: take_all(timed(), i64(0), num_neighbors={WRITES: i64(1)}, offsets={WRITTEN_BY: i64(0, 1)}),
    "A non-empty dictionary value whose dtype is not int64 (any dtype for `sampling_time_offsets`)":
        lambda: build({}, row={WRITES: np.array([0, 1], np.uint64)}),
    "A dictionary value that numpy cannot turn into an array":
        lambda: build({}, colptr={WRITES: [[0], [1, 2]]}),
    "A graph array that has no buffer view, such as a datetime array":
        lambda: build({}, colptr={WRITES: np.array([], "datetime64[s]"), WRITTEN_BY: i64(0)}),
    "An edge type missing from `colptr` or `row`, or from both `num_neighbors` and `sampling_time_offsets`":
        lambda: take_all(paper_author(), i64(0), num_neighbors={WRITES: i64(1)}),
    "A constructor argument of the wrong type: a list for a dictionary, a `seed` outside 32 bits":
        lambda: build({}, seed=2**31),
    "A `node_time` that `dict()` refuses":
        lambda: build(None),
    "A `sample` argument of the wrong type: a list for `seed_node` or `seed_time`":
        lambda: take_all(paper_author(), [0]),
    "`seed_node` or `seed_time` not one-dimensional":
        lambda: take_all(paper_author(), i64(0), np.zeros((1, 1), np.int64)),
    "`seed_node` or `seed_time` non-empty and not int64":
        lambda: take_all(paper_author(), i64(0).astype(">i4")),
    "An `entity_table` that is not a node type":
        lambda: paper_author().sample({}, {}, "Paper", i64(0), empty_i64()),
    "A non-empty `seed_time` of another length than `seed_node`, on a graph with node times":
        lambda: take_all(timed(), i64(0, 1), i64(5)),
    "An edge type in both `num_neighbors` and `sampling_time_offsets`":
        lambda: take_all(timed(), i64(0), offsets={WRITES: np.zeros((1, 2), np.int64)}),
    "A time window for an edge type whose source type has no `node_time`":
        lambda: take_all(paper_author(), i64(0), num_neighbors={WRITES: i64(1)},
                         offsets={WRITTEN_BY: np.zeros((1, 2), np.int64)}),
    "Time windows that are not rows of two offsets":
        lambda: take_all(timed(), i64(0), num_neighbors={WRITES: i64(1)},
                         offsets={WRITTEN_BY: np.zeros((1, 3), np.int64)}),
    "Fewer time-window rows than the call has hops":
        lambda: take_all(timed(), i64(0), num_neighbors={WRITES: i64(1, 1)},
                         offsets={WRITTEN_BY: np.zeros((1, 2), np.int64)}),
    "Fewer time-window rows than hops, given as a list":
        lambda: take_all(timed(), i64(0), num_neighbors={WRITES: i64(1, 1)}, offsets={WRITTEN_BY: [[0, 0]]}),
    "An offset with no integer conversion, or outside 64 bits: a float (`numpy.float64` included), `None` as "
    "upper bound, a str, 2**63":
        lambda: take_all(timed(), i64(0), num_neighbors={WRITES: i64(1)},
                         offsets={WRITTEN_BY: np.array([[0, 2**63]], dtype=object)}),
    "A column whose first eligible neighbour is later than its last, when sampling by time":
        lambda: take_all(single_edge_type_sampler(i64(0, 3), i64(0, 1, 2), {"a": i64(9), "b": i64(5, 1, 2)}),
                         i64(0), num_neighbors={KEY: i64(-1)}, entity="a"),
    "A seed or sampled node id with no column in `colptr` (negative, at or past its end)":
        lambda: take_all(paper_author(), i64(2)),
    "A column whose `colptr` entries point outside `row`":
        lambda: take_all(build({}, colptr={WRITES: i64(0, 5, 4), WRITTEN_BY: i64(0, 1, 3, 4)}), i64(0)),
    "A seed or neighbour id with no entry in its type's `node_time`":
        lambda: take_all(paper_author_sampler(node_time={"paper": i64(10), "author": i64(1, 2, 3)}), i64(1)),
    "An edge type whose destination is not a node type, reached by a hop":
        lambda: corvane.NeighborSampler(["a"], [("a", "to", "z")], {"a__to__z": i64(0)}, {"a__to__z": empty_i64()},
                                        {}).sample({"a__to__z": i64(1)}, {}, "a", i64(0), empty_i64()),
    "A `sample` call on a sampler whose previous call has not returned (from Python code run inside it)":
        reentrant_call,
    "A method called on an instance whose `__init__` has not run: made by `__new__` alone, or used by a "
    "subclass's `__init__` before it calls the base one":
        lambda: take_all(corvane.NeighborSampler.__new__(corvane.NeighborSampler), i64(0)),
}

ROWS = documented_errors()


@pytest.mark.parametrize("bad_input, exception, message", ROWS, ids=[row[0] for row in ROWS])
def test_row_is_what_its_case_raises(bad_input, exception, message):
    assert bad_input in CASES, "no case for this row of the README's error table"
    with pytest.raises(Exception) as raised:
        CASES[bad_input]()
    assert type(raised.value) is exception
    assert message.fullmatch(str(raised.value)), str(raised.value)


def test_every_case_has_a_row():
    assert sorted(CASES) == sorted(row[0] for row in ROWS)
