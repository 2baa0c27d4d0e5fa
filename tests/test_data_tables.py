"""Tables to the sampler's arrays: the compressed columns against a plain
per-edge construction, the input kinds, and the errors that name the bad row."""

import doctest

import numpy as np
import pytest

import corvane
import corvane_data.tables
from corvane_data import build_graph


def plain_columns(sources, destinations, num_destinations, times=None):
    """Per destination, its sources in table order, then stably by source time."""
    columns = [[] for _ in range(num_destinations)]
    for s, d in zip(sources.tolist(), destinations.tolist()):
        columns[d].append(s)
    if times is not None:
        columns = [sorted(c, key=lambda s: times[s]) for c in columns]
    return np.cumsum([0] + [len(c) for c in columns]).tolist(), sum(columns, [])


@pytest.mark.parametrize("key_bits", [63, 8])  # 8: the keys do not fit, the fallback sorts
@pytest.mark.parametrize("timed", [False, True])
def test_columns_match_a_plain_construction(timed, key_bits, monkeypatch):
    monkeypatch.setattr(corvane_data.tables, "KEY_BITS", key_bits)
    rng = np.random.default_rng(3)
    sources, destinations = rng.integers(0, 50, 2000), rng.integers(0, 30, 2000)
    times = rng.integers(0, 5, 50)  # few values: ties keep the table's order
    graph = build_graph({"u": 50, "i": 30}, {("u", "r", "i"): {"source": sources,
                                                              "destination": destinations}},
                        node_time={"u": times} if timed else None, add_reverse=True)
    assert graph.edge_types == [("u", "r", "i"), ("i", "rev_r", "u")]
    expected = plain_columns(sources, destinations, 30, times if timed else None)
    assert (graph.colptr["u__r__i"].tolist(), graph.row["u__r__i"].tolist()) == expected
    assert graph.row["i__rev_r__u"].tolist() == plain_columns(destinations, sources, 50)[1]
    sampler = corvane.NeighborSampler(*graph.arguments())
    _, _, nodes, *_ = sampler.sample({"u__r__i": np.array([-1], np.int64),
                                      "i__rev_r__u": np.array([-1], np.int64)},
                                     {}, "i", np.array([7], np.int64), np.empty(0, np.int64))
    assert sorted(nodes["u"].tolist()) == sorted(set(sources[destinations == 7].tolist()))


def test_pandas_and_pyarrow_tables_give_the_same_arrays():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    columns = {"source": [0, 2, 1], "destination": [1, 1, 0]}
    built = [build_graph({"a": 3}, {("a", "r", "a"): table})
             for table in (columns, pd.DataFrame(columns), pa.table(columns))]
    assert all(b.row["a__r__a"].tolist() == [1, 0, 2] for b in built)


@pytest.mark.parametrize("table, message", [
    ({"source": [0, 5], "destination": [0, 0]}, r"'source' row 1 holds id 5, outside 0\.\.2"),
    ({"source": [0, 1], "destination": [-1, 0]}, r"'destination' row 0 holds id -1"),
    ({"source": [0.0], "destination": [0]}, r"'source' must hold integers, not float64: if they are whole"),
    ({"source": [np.nan], "destination": [0]}, r"not float64: it has missing values \(NaN\); drop or fill"),
    ({"source": np.array(["u1"], dtype=object), "destination": [0]},
     r"not object: it holds keys such as 'u1'; .*corvane_data\.Database"),
    ({"source": [0, 1], "destination": [0]}, r"'source' has 2 rows but 'destination' has 1"),
    ({"source": [0]}, r"no column 'destination'; it has columns \['source'\] \(choose another with destination_column="),
])
def test_bad_tables_name_table_column_and_row(table, message):
    with pytest.raises(ValueError, match=r"^edges \('a', 'r', 'a'\): .*" + message):
        build_graph({"a": 3}, {("a", "r", "a"): table})


def test_bad_node_times_and_types():
    with pytest.raises(ValueError, match=r"^node_time 'a': 2 times for 3 nodes"):
        build_graph({"a": 3}, {}, node_time={"a": [1, 2]})
    with pytest.raises(ValueError, match=r"destination type 'b' is not in num_nodes"):
        build_graph({"a": 3}, {("a", "r", "b"): ([0], [0])})


@pytest.mark.parametrize("timed", [False, True])
def test_a_numpy_count_does_not_wrap_the_guard_of_the_sort_key(timed):
    """2**61 destinations and 8 edges need a 64-bit key, which int64 arithmetic wraps to 0."""
    destinations = np.array([2**61 - 1, 0, 5, 0, 2**61 - 1, 3, 5, 1])
    sources, times = np.arange(8) % 3, np.array([2, 1, 0]) if timed else None
    order = corvane_data.tables._column_order(sources, destinations, np.int64(2**61), times)
    expected = (np.lexsort((times[sources], destinations)) if timed
                else np.argsort(destinations, kind="stable"))
    assert order.tolist() == expected.tolist()


PAIR = ([0, 1], [1, 0])
RATED = {"source": [0, 1], "destination": [1, 0], "time": [5, 6]}


@pytest.mark.parametrize("edges, options, message", [
    ({("user", "buys", "item"): PAIR, ("item", "rev_buys", "user"): PAIR}, {"add_reverse": True},
     r"edge type \('item', 'rev_buys', 'user'\) comes from the reverse of \('user', 'buys', "
     r"'item'\), made by add_reverse and from edges \('item', 'rev_buys', 'user'\)"),
    ({("user", "knows", "user"): PAIR}, {"add_reverse": True, "reverse_prefix": ""},
     r"edge type \('user', 'knows', 'user'\) comes from edges .* and from the reverse of"),
    ({("user", "rates", "item"): RATED, ("rates", "from", "user"): PAIR},
     {"edge_time": {("user", "rates", "item"): "time"}},
     r"\('rates', 'from', 'user'\) comes from the events of edges \('user', 'rates', 'item'\) "
     r"and from edges \('rates', 'from', 'user'\)"),
    ({("a__b", "c", "d"): PAIR, ("a", "b__c", "d"): PAIR}, {},
     r"edge types \('a__b', 'c', 'd'\) .* and \('a', 'b__c', 'd'\) .* share the key 'a__b__c__d'"),
], ids=["explicit reverse", "self-reverse without prefix", "event edge given too", "shared key"])
def test_an_edge_type_made_twice_is_refused_naming_both_origins(edges, options, message):
    counts = {"user": 2, "item": 2, "a__b": 2, "a": 2, "d": 2}
    with pytest.raises(ValueError, match=message):
        build_graph(counts, edges, **options)


@pytest.mark.parametrize("count", [-1, 2.5, "3", None, True, np.float64(3)])
def test_a_count_must_be_a_non_negative_integer(count):
    with pytest.raises(ValueError, match=r"^num_nodes 'item': the count must be a non-negative"):
        build_graph({"user": 2, "item": count}, {("user", "buys", "item"): ([0], [0])})
    assert type(build_graph({"item": np.uint8(3)}, {}).num_nodes["item"]) is int


def test_docstring_examples_run():
    assert doctest.testmod(corvane_data.tables).failed == 0
