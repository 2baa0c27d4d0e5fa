"""corvane.NeighborSampler against the plain-Python model of its rules (model.py).

The first tests pin the model (and the module with it) to the documented
examples: the engine's test vectors, the worked draws of Floyd's method, the
two-hop example and the time-window cases.  The differential test then builds
many small random heterogeneous graphs, runs a sequence of requests on each,
and asks the module and the model for identical results, or for the same
exception at the same point.
"""

import random

import numpy as np
import pytest

import corvane
from comparison import assert_same_failure, assert_same_results, outcome
from conftest import as_lists
from model import MT19937, UNSORTED_MESSAGE, ModelSampler

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


IMPLEMENTATIONS = {"model": ModelSampler, "corvane": corvane.NeighborSampler}


@pytest.fixture(params=list(IMPLEMENTATIONS))
def sampler_class(request):
    return IMPLEMENTATIONS[request.param]


def ints(values):
    return np.array(values, dtype=np.int64)


NO_TIMES = ints([])


# ---------------------------------------------------------------------------
# The random engine.


def test_engine_first_outputs_for_seed_123():
    engine = MT19937(123)
    assert [engine.next() for _ in range(5)] == [2991312382, 3062119789, 1228959102, 1840268610, 974319580]


def test_engine_10000th_output_for_seed_5489():
    engine = MT19937(5489)
    for _ in range(9999):
        engine.next()
    assert engine.next() == 4123659995


def test_engine_takes_negative_seed_as_its_32_bit_pattern():
    assert MT19937(-1).next() == 419326371
    assert MT19937(4294967295).next() == 419326371


# ---------------------------------------------------------------------------
# Floyd's method: which positions a seeded sampler draws, and in which order.


@pytest.mark.parametrize(
    ("n", "k", "offsets"),
    [
        (10, 3, [6, 1, 2]),  # 2991312382 % 8, 3062119789 % 9, 1228959102 % 10
        (5, 4, [0, 1, 2, 4]),  # the last draw (0 mod 5) is taken already, so offset 4
    ],
)
def test_floyd_draws_with_seed_123(sampler_class, n, k, offsets):
    # Paper 1's column starts at position 3 of `row`, which holds ids 10, 11, ...
    row = ints([0, 1, 2] + [10 + i for i in range(n)])
    sampler = sampler_class(
        ["paper", "author"],
        [("author", "writes", "paper")],
        {"author__writes__paper": ints([0, 3, 3 + n])},
        {"author__writes__paper": row},
        {},
        seed=123,
    )
    rows, cols, nodes, batches, num_nodes, num_edges = as_lists(
        sampler.sample({"author__writes__paper": ints([k])}, {}, "paper", ints([1]), NO_TIMES)
    )
    assert nodes["author"] == [10 + offset for offset in offsets]
    assert rows["author__writes__paper"] == list(range(k))
    assert cols["author__writes__paper"] == [0] * k
    assert num_edges["author__writes__paper"] == [k]


@pytest.mark.parametrize("k", [-1, 5, 7])
def test_taking_the_whole_column_draws_nothing(sampler_class, k):
    def build():
        return sampler_class(
            ["paper", "author"],
            [("author", "writes", "paper")],
            {"author__writes__paper": ints([0, 5])},
            {"author__writes__paper": ints([4, 3, 2, 1, 0])},
            {},
        )

    def request(count):
        return ({"author__writes__paper": ints([count])}, {}, "paper", ints([0]), NO_TIMES)

    used, fresh = build(), build()
    assert as_lists(used.sample(*request(k)))[2]["author"] == [4, 3, 2, 1, 0]
    # An engine that had moved would now draw differently from a fresh one.
    assert as_lists(used.sample(*request(3))) == as_lists(fresh.sample(*request(3)))


# ---------------------------------------------------------------------------
# The two-hop example over papers and authors.


def test_two_hop_example_without_time(sampler_class):
    writes, written_by = "author__writes__paper", "paper__written_by__author"
    sampler = sampler_class(
        ["paper", "author"],
        [("author", "writes", "paper"), ("paper", "written_by", "author")],
        {writes: ints([0, 2, 4]), written_by: ints([0, 1, 3, 4])},
        {writes: ints([0, 1, 1, 2]), written_by: ints([0, 0, 1, 1])},
        {},
    )
    result = as_lists(sampler.sample({writes: ints([-1, -1]), written_by: ints([-1, -1])}, {}, "paper", ints([0]), NO_TIMES))
    assert result == (
        {writes: [0, 1], written_by: [0, 0, 1]},
        {writes: [0, 0], written_by: [0, 1, 1]},
        {"paper": [0, 1], "author": [0, 1]},
        {"paper": [0, 0], "author": [0, 0]},
        {"paper": [1, 0, 1], "author": [0, 2, 0]},
        {writes: [2, 0], written_by: [0, 3]},
    )


# ---------------------------------------------------------------------------
# Recency and time windows over one column of users rating item 0.


def rated_sampler(sampler_class, user_times, row):
    return sampler_class(
        ["item", "user"],
        [("user", "rated", "item")],
        {"user__rated__item": ints([0, len(row)])},
        {"user__rated__item": ints(row)},
        {"user": ints(user_times)},
    )


def sample_rated(sampler, parameter, seed_time):
    """Sample item 0 for one hop, by count when `parameter` is an int, else by one window row."""
    if isinstance(parameter, int):
        by_count, by_window = {"user__rated__item": ints([parameter])}, {}
    else:
        by_count, by_window = {}, {"user__rated__item": np.array([parameter], dtype=object)}
    return as_lists(sampler.sample(by_count, by_window, "item", ints([0]), ints([seed_time])))


# Users 0..4 have times 10, 20, 20, 30, 40 and appear in this order in the column.
WINDOW_CASES = [
    pytest.param((-15, 0), 30, [1, 2, 3], id="lower-bound-excluded-upper-included"),
    pytest.param((-10, 0), 30, [3], id="lower-bound-skips-equal-times"),
    pytest.param((None, 0), 30, [0, 1, 2, 3], id="no-lower-bound"),
    pytest.param((5, -5), 30, [], id="lower-above-upper-is-empty"),
    pytest.param(2, 30, [2, 3], id="most-recent-two"),
    pytest.param(-1, 30, [0, 1, 2, 3], id="most-recent-all"),
    pytest.param(10, 30, [0, 1, 2, 3], id="most-recent-more-than-past"),
    pytest.param(0, 30, [], id="most-recent-none"),
    pytest.param(-1, 5, [], id="most-recent-before-all-times"),
    pytest.param((None, 0), 5, [], id="window-before-all-times"),
    pytest.param((None, 1), INT64_MAX, [0, 1, 2, 3, 4], id="upper-sum-beyond-int64"),
    pytest.param((25 - INT64_MAX, 1), INT64_MAX, [3, 4], id="window-sum-beyond-int64"),
    pytest.param((-10, INT64_MAX), INT64_MIN + 5, [], id="lower-sum-below-int64"),
]


@pytest.mark.parametrize(("parameter", "seed_time", "users"), WINDOW_CASES)
def test_time_window_cases(sampler_class, parameter, seed_time, users):
    sampler = rated_sampler(sampler_class, [10, 20, 20, 30, 40], [0, 1, 2, 3, 4])
    rows, cols, nodes, *_ = sample_rated(sampler, parameter, seed_time)
    assert nodes["user"] == users
    assert rows["user__rated__item"] == list(range(len(users)))
    assert cols["user__rated__item"] == [0] * len(users)


@pytest.mark.parametrize("parameter", [-1, 2, (None, 0), (-40, 10)])
def test_column_with_first_time_after_last_is_rejected(sampler_class, parameter):
    sampler = rated_sampler(sampler_class, [30, 10, 20], [0, 1, 2])
    with pytest.raises(RuntimeError) as caught:
        sample_rated(sampler, parameter, 40)
    assert str(caught.value) == UNSORTED_MESSAGE


def test_zero_count_reads_nothing_of_an_unsorted_column(sampler_class):
    sampler = rated_sampler(sampler_class, [30, 10, 20], [0, 1, 2])
    assert sample_rated(sampler, 0, 40)[2]["user"] == []


@pytest.mark.parametrize("parameter", [-1, (None, 0)])
def test_interior_disorder_gives_what_the_probes_find(sampler_class, parameter):
    # Times 10, 30, 20, 40: the search for 25 probes positions 2 and 3 only.
    sampler = rated_sampler(sampler_class, [10, 30, 20, 40], [0, 1, 2, 3])
    assert sample_rated(sampler, parameter, 25)[2]["user"] == [0, 1, 2]


@pytest.mark.parametrize("parameter", [-1, (None, 0)])
def test_times_are_read_only_where_probed_or_checked(sampler_class, parameter):
    # User 99 at position 1 has no time, but no probe and no check looks at position 1.
    sampler = rated_sampler(sampler_class, [10, 20, 40], [0, 99, 1, 2])
    assert sample_rated(sampler, parameter, 25)[2]["user"] == [0, 99, 1]


@pytest.mark.parametrize("parameter", [-1, (None, 0)])
def test_probed_neighbour_without_time_is_rejected(sampler_class, parameter):
    sampler = rated_sampler(sampler_class, [10, 20, 40], [0, 1, 99, 2])
    with pytest.raises(RuntimeError) as caught:
        sample_rated(sampler, parameter, 25)
    assert str(caught.value) != UNSORTED_MESSAGE


# Ids and offsets outside their arrays are rejected exactly where they would be
# read, and nowhere else.  One item, one edge type from users; item 0's column
# is given by `colptr`, and `seed` is the item that is sampled.
ID_RANGE_CASES = [
    # (colptr, row, user times, item times, seed, seed time, parameter, users or None for an error)
    pytest.param([0, 2], [0, 1], None, None, 5, [], 0, [], id="count-zero-reads-no-column"),
    pytest.param([0, 2], [0, 1], [1, 2], None, 5, [10], 0, [], id="recency-zero-reads-no-column"),
    pytest.param([0, 2], [0, 1], None, None, 5, [], -1, None, id="count-on-item-without-column"),
    pytest.param([0, 2], [0, 1], None, None, -1, [], -1, None, id="count-on-negative-item"),
    pytest.param([0, 2], [0, 1], [1, 2], None, 5, [10], -1, None, id="recency-on-item-without-column"),
    pytest.param([0, 2], [0, 1], [1, 2], None, 1, [10], (None, 100), None, id="window-on-item-without-column"),
    pytest.param([0, 2], [0, 1], [1, 2], [4], 3, [], 1, None, id="seed-without-time"),
    pytest.param([7, 7], [], None, None, 0, [], -1, [], id="empty-column-beyond-row"),
    pytest.param([3, 1], [0, 1], [1, 2], None, 0, [10], -1, [], id="decreasing-colptr-is-empty"),
    pytest.param([0, 3], [0, 1], None, None, 0, [], -1, None, id="column-past-end-of-row"),
    pytest.param([-1, 1], [0, 1], None, None, 0, [], -1, None, id="column-before-start-of-row"),
    pytest.param([0, 2], [0, 99], [1, 2], None, 0, [], -1, [0, 99], id="times-unread-without-seed-times"),
    pytest.param([0, 2], [0, 99], [1, 2], None, 0, [10], -1, None, id="probed-user-without-time"),
]


@pytest.mark.parametrize(
    ("colptr", "row", "user_times", "item_times", "seed", "seed_time", "parameter", "users"), ID_RANGE_CASES
)
def test_ids_outside_their_arrays(sampler_class, colptr, row, user_times, item_times, seed, seed_time, parameter, users):
    node_time = {}
    if user_times is not None:
        node_time["user"] = ints(user_times)
    if item_times is not None:
        node_time["item"] = ints(item_times)
    sampler = sampler_class(
        ["item", "user"],
        [("user", "rated", "item")],
        {"user__rated__item": ints(colptr)},
        {"user__rated__item": ints(row)},
        node_time,
    )
    if isinstance(parameter, int):
        by_count, by_window = {"user__rated__item": ints([parameter])}, {}
    else:
        by_count, by_window = {}, {"user__rated__item": np.array([parameter], dtype=object)}
    request = (by_count, by_window, "item", ints([seed]), ints(seed_time))
    if users is None:
        with pytest.raises(RuntimeError) as caught:
            sampler.sample(*request)
        assert str(caught.value) != UNSORTED_MESSAGE
    else:
        assert as_lists(sampler.sample(*request))[2]["user"] == users


def test_failed_call_keeps_its_draws_and_leaves_nothing_behind(sampler_class):
    # Tags of item 0 are drawn first; the users' column (times 30, 10, 20) then fails the call.
    on, rated = "tag__on__item", "user__rated__item"

    def build():
        return sampler_class(
            ["item", "user", "tag"],
            [("tag", "on", "item"), ("user", "rated", "item")],
            {on: ints([0, 10]), rated: ints([0, 3])},
            {on: np.arange(10, dtype=np.int64), rated: ints([0, 1, 2])},
            {"user": ints([30, 10, 20])},
        )

    def request(users):
        return ({on: ints([3]), rated: ints([users])}, {}, "item", ints([0]), ints([40]))

    failed, succeeded, fresh = build(), build(), build()
    with pytest.raises(RuntimeError, match=UNSORTED_MESSAGE):
        failed.sample(*request(-1))
    succeeded.sample(*request(0))  # the same draws, without the failure
    after_failure = as_lists(failed.sample(*request(0)))
    assert after_failure == as_lists(succeeded.sample(*request(0)))
    assert after_failure != as_lists(fresh.sample(*request(0)))


def test_edge_types_sharing_a_key_are_rejected(sampler_class):
    edge_types = [("a", "b__c", "d"), ("a__b", "c", "d")]
    with pytest.raises(RuntimeError) as caught:
        sampler_class(["a", "d", "a__b"], edge_types, {"a__b__c__d": ints([0])}, {"a__b__c__d": ints([])}, {})
    assert str(caught.value) == "Edge types ('a', 'b__c', 'd') and ('a__b', 'c', 'd') share the key 'a__b__c__d'."


# ---------------------------------------------------------------------------
# Random graphs and requests.

NODE_NAMES = ["paper", "author", "venue", "user", "item", "a"]
RELATIONS = ["cites", "writes", "rates", "r", "to"]
OUTSIDE = "ghost"  # a node type that edge types may use but node_types never lists
KS = [-1, -1, 0, 1, 1, 2, 2, 3, 5, 100, INT64_MAX, -(2**40)]


class Case:
    """One sampler and its sequence of requests, kept as data so a failure can be replayed."""

    def __init__(self, node_types, edge_types, colptr, row, node_time, seed):
        self.constructor = dict(node_types=node_types, edge_types=edge_types, colptr=colptr, row=row, node_time=node_time)
        if seed is not None:
            self.constructor["seed"] = seed
        self.requests = []
        self.sizes = {}  # node type -> number of nodes, for drawing valid seeds
        self.times = {}  # node type -> node times, as lists

    def reproducer(self, upto=None):
        lines = ["import numpy as np, corvane", f"s = corvane.NeighborSampler(**{_code(self.constructor)})"]
        for request in self.requests[:upto]:
            lines.append(f"s.sample(*{_code(request)})")
        return "\n".join(lines)


def _code(value):
    """Python source that rebuilds `value`, numpy arrays included."""
    if isinstance(value, np.ndarray):
        dtype = "object" if value.dtype == object else f"np.{value.dtype.name}"
        return f"np.array({value.tolist()!r}, dtype={dtype})"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{key!r}: {_code(item)}" for key, item in value.items()) + "}"
    if isinstance(value, tuple):
        return "(" + "".join(f"{_code(item)}, " for item in value) + ")"
    if isinstance(value, list):
        return "[" + ", ".join(_code(item) for item in value) + "]"
    return repr(value)


def random_graph(rng, family):
    faulty = family == "faulty"
    node_types = rng.sample(NODE_NAMES, rng.randint(2, 4))
    largest = 30 if family == "wide" else 6
    sizes = {node_type: rng.randint(0, largest) for node_type in node_types}
    sizes[OUTSIDE] = 4

    timed_share = {"plain": 0.0, "wide": 0.3}.get(family, 0.7)
    timed = [t for t in node_types if rng.random() < timed_share]
    times = {t: [rng.randint(0, 12) for _ in range(sizes[t])] for t in timed}
    if timed and rng.random() < 0.1:
        t = rng.choice(timed)
        times[t] = [rng.choice([INT64_MIN, INT64_MAX, rng.randint(0, 12)]) for _ in range(sizes[t])]

    edge_types = []
    for _ in range(rng.randint(2, 5)):
        source, destination = rng.choice(node_types), rng.choice(node_types)
        if rng.random() < 0.08:
            source = OUTSIDE
        if faulty and rng.random() < 0.04:
            destination = OUTSIDE
        edge_types.append((source, rng.choice(RELATIONS), destination))
    if rng.random() < 0.5:
        loop = rng.choice(node_types)
        edge_types.insert(rng.randint(0, len(edge_types)), (loop, "r", loop))
    if rng.random() < 0.3:
        edge_types.insert(rng.randint(0, len(edge_types)), rng.choice(edge_types))
    if rng.random() < 0.15:
        node_types.insert(rng.randint(0, len(node_types)), rng.choice(node_types))

    colptr, row = {}, {}
    for source, relation, destination in edge_types:
        key = f"{source}__{relation}__{destination}"
        if key in colptr:
            continue
        columns = []
        for _ in range(sizes[destination]):
            degree = rng.randint(0, 5 * largest) if sizes[source] else 0
            column = [rng.randrange(sizes[source]) for _ in range(degree)]
            if source in times:
                column.sort(key=lambda node: times[source][node])
            columns.append(column)
        if faulty:
            _spoil_columns(rng, columns)
        colptr[key] = [0]
        row[key] = []
        for column in columns:
            row[key].extend(column)
            colptr[key].append(len(row[key]))
        if faulty and rng.random() < 0.3:
            _spoil_csc(rng, colptr[key], row[key], sizes[source])

    if faulty and timed and rng.random() < 0.2:
        times[rng.choice(timed)][-1:] = []  # the last node of the type loses its time

    colptr = {key: ints(values) for key, values in colptr.items()}
    row = {key: ints(values) for key, values in row.items()}
    node_time = {t: ints(values) for t, values in times.items()}
    if faulty and rng.random() < 0.1:
        _spoil_graph_dicts(rng, colptr, row, node_time)
    seed = rng.choice([None, None, -1, 0, 7, 2**31 - 1, rng.randint(-(2**31), 2**31 - 1)])
    case = Case(node_types, edge_types, colptr, row, node_time, seed)
    case.sizes, case.times = sizes, times
    return case


def _spoil_columns(rng, columns):
    """Put a column out of time order, at its ends or only inside."""
    candidates = [column for column in columns if len(column) >= 2]
    if candidates and rng.random() < 0.5:
        column = rng.choice(candidates)
        if rng.random() < 0.6:
            column.reverse()
        else:
            inside = column[1:-1]
            rng.shuffle(inside)
            column[1:-1] = inside


def _spoil_csc(rng, colptr, row, num_sources):
    """Ids or offsets that point outside their arrays, or a decreasing colptr."""
    fault = rng.choice(["row_id", "row_id", "short_colptr", "decreasing", "negative_start", "past_row", "empty_outside"])
    if fault == "row_id" and row:
        row[rng.randrange(len(row))] = rng.choice([-1, num_sources, num_sources + 3])
    elif fault == "short_colptr":
        colptr.pop()
    elif fault == "decreasing" and len(colptr) >= 3:
        i = rng.randint(1, len(colptr) - 2)
        colptr[i] = colptr[i - 1] - rng.randint(1, 2)
    elif fault == "negative_start" and len(colptr) >= 2:
        colptr[rng.randrange(len(colptr) - 1)] = -1
    elif fault == "past_row":
        colptr[-1] += rng.randint(1, 3)
    elif fault == "empty_outside" and len(colptr) >= 2:
        i = rng.randrange(len(colptr) - 1)
        colptr[i] = colptr[i + 1] = rng.choice([-3, len(row) + 2])


def _spoil_graph_dicts(rng, colptr, row, node_time):
    """Constructor faults: unknown keys, wrong shapes or dtypes, missing entries."""
    target = rng.choice([colptr, row, node_time]) if node_time else rng.choice([colptr, row])
    fault = rng.choice(["unknown", "2d", "int32", "missing"])
    if fault == "unknown":
        target["nobody"] = ints([0])
    elif target and fault == "2d":
        key = rng.choice(list(target))
        target[key] = target[key].reshape(1, -1)
    elif target and fault == "int32":
        key = rng.choice(list(target))
        target[key] = np.array(target[key], dtype=np.int32) if target[key].size else np.array([1], dtype=np.int32)
    elif target is not node_time and target:
        del target[rng.choice(list(target))]


def random_request(rng, case, family):
    faulty = family == "faulty"
    node_types, edge_types = case.constructor["node_types"], case.constructor["edge_types"]
    times = case.times
    expanded = [d for _, _, d in edge_types if d in node_types and case.sizes[d]]
    entity = rng.choice(expanded if expanded and rng.random() < 0.8 else node_types)
    size = case.sizes[entity]
    num_seeds = 0 if rng.random() < 0.1 else rng.randint(1, 4)
    seeds = [rng.randrange(size) for _ in range(num_seeds)] if size else []
    if faulty and rng.random() < 0.2:
        seeds.append(rng.choice([-1, size, size + 2]))

    if not times:
        seed_time = rng.choice([[], [], seeds, seeds[:-1]])
        seed_time = [rng.randint(-5, 15) for _ in seed_time]
    elif rng.random() < 0.4:
        seed_time = []  # taken from the entity table's node times, if it has them
    else:
        seed_time = [rng.choice([rng.randint(-2, 14), rng.randint(-2, 14), INT64_MIN, INT64_MAX]) for _ in seeds]
    seed_time = ints(seed_time) if seed_time or rng.random() < 0.5 else np.array([])

    hops = 0 if rng.random() < 0.1 else rng.randint(1, 3)
    num_neighbors, offsets = {}, {}
    keys = {f"{s}__{r}__{d}": s for s, r, d in edge_types}
    for key in rng.sample(list(keys), len(keys)):
        source = keys[key]
        by_window = family in ("window", "faulty") and rng.random() < 0.5
        if by_window and (source in times or (faulty and rng.random() < 0.03)):
            offsets[key] = random_offsets(rng, hops)
        else:
            length = hops if rng.random() < 0.7 else rng.randint(0, hops)  # short lists give k = 0
            counts = [0 if faulty and rng.random() < 0.3 else rng.choice(KS) for _ in range(length)]
            if family == "wide":
                counts = [rng.randint(-1, 20) for _ in range(length)]
            num_neighbors[key] = ints(counts) if rng.random() < 0.8 else counts

    request = [num_neighbors, offsets, entity, ints(seeds), seed_time]
    if faulty and rng.random() < 0.3:
        _spoil_request(rng, request, keys, hops)
    return tuple(request)


def random_offsets(rng, hops):
    rows = []
    for _ in range(hops):
        lower = None if rng.random() < 0.3 else rng.randint(-10, 4)
        upper = rng.randint(-3, 10)
        if rng.random() < 0.05:
            lower, upper = rng.choice([(None, INT64_MAX), (INT64_MIN, INT64_MAX), (-INT64_MAX, 0), (0, INT64_MIN)])
        rows.append([lower, upper])
    if rows and rng.random() < 0.1:
        return rows  # a plain list of rows is indexed as it is
    if any(lower is None for lower, _ in rows):
        return np.array(rows, dtype=object).reshape(hops, 2)
    return ints(rows).reshape(hops, 2)


def _spoil_request(rng, request, keys, hops):
    """One fault in an otherwise valid request."""
    num_neighbors, offsets, entity, seeds, seed_time = request
    fault = rng.choice(
        ["missing", "both", "unknown", "counts_2d", "counts_int32", "seed_int32", "seed_2d",
         "entity", "offsets_3_columns", "offsets_none_upper", "offsets_short", "seed_time_size"]
    )
    key = rng.choice(list(keys))
    if fault == "missing":
        num_neighbors.pop(key, None)
        offsets.pop(key, None)
    elif fault == "both":
        num_neighbors[key] = ints([1])
        offsets[key] = ints([[0, 1]])
    elif fault == "unknown":
        num_neighbors["nobody__r__a"] = ints([1])
    elif fault == "counts_2d":
        num_neighbors[key] = ints([[1, 2]])
        offsets.pop(key, None)
    elif fault == "counts_int32":
        num_neighbors[key] = np.array([1, 2], dtype=np.int32)
        offsets.pop(key, None)
    elif fault == "seed_int32":
        request[3] = np.array([0], dtype=np.int32)
    elif fault == "seed_2d":
        request[3] = seeds.reshape(1, -1)
    elif fault == "entity":
        request[2] = entity.upper()
    elif fault == "offsets_3_columns":
        num_neighbors.pop(key, None)
        offsets[key] = ints([[0, 1, 2]] * max(hops, 1))
    elif fault == "offsets_none_upper":
        num_neighbors.pop(key, None)
        offsets[key] = np.array([[0, None]] * max(hops, 1), dtype=object)
    elif fault == "offsets_short" and hops:
        num_neighbors.pop(key, None)
        offsets[key] = ints([[-5, 5]] * (hops - 1)).reshape(hops - 1, 2)
        other = [k for k in keys if k != key]
        if other:  # make sure the call still has `hops` hops
            offsets.pop(other[0], None)
            num_neighbors[other[0]] = ints([1] * hops)
    elif fault == "seed_time_size":
        request[4] = ints(list(range(seeds.size + 1)))


def run_case(case, requests):
    module_sampler, error = outcome(lambda: corvane.NeighborSampler(**case.constructor))
    model_sampler, expected_error = outcome(lambda: ModelSampler(**case.constructor))
    if expected_error is not None:
        assert_same_failure(error, expected_error, "constructor\n" + case.reproducer(0))
        return
    assert error is None, f"constructor raised {error!r}\n" + case.reproducer(0)

    for number, request in enumerate(requests):
        case.requests.append(request)
        where = f"call {number}\n" + case.reproducer()
        # outcome calls each lambda before the loop moves on.
        expected, expected_error = outcome(lambda: model_sampler.sample(*request))  # noqa: B023
        actual, error = outcome(lambda: module_sampler.sample(*request))  # noqa: B023
        if expected_error is not None:
            assert_same_failure(error, expected_error, where)
        else:
            assert error is None, f"{where}\nmodule raised {error!r}"
            assert_same_results(actual, expected, where)


FAMILIES = {
    "plain": 150,  # no node times: counts only, drawn at random
    "temporal": 150,  # node times on some types: most recent by count
    "window": 200,  # node times, with time windows on some edge types
    "wide": 100,  # larger graphs, mostly without times: many draws per call
    "faulty": 400,  # all of the above with out-of-range ids, unsorted columns and bad requests
}


@pytest.mark.parametrize(
    ("family", "number"), [(family, number) for family, count in FAMILIES.items() for number in range(count)]
)
def test_module_matches_model(family, number):
    rng = random.Random(f"corvane-{family}-{number}")
    case = random_graph(rng, family)
    requests = [random_request(rng, case, family) for _ in range(rng.randint(2, 6))]
    run_case(case, requests)


@pytest.mark.parametrize("n", [99_999, 100_000, 100_001])
@pytest.mark.parametrize("k", [3, 40, 70_000, -1])
def test_module_matches_model_on_one_long_column(n, k):
    # Around 100000 candidates the set of taken offsets changes representation;
    # the draws and their order must not change with it. Selections of more
    # than 65,536 neighbours (k = 70,000, or all of them) go in pieces between
    # looks for signals, with the same answers.
    key = "author__writes__paper"
    case = Case(
        ["paper", "author"],
        [("author", "writes", "paper")],
        {key: ints([0, 2, 2 + n])},
        {key: np.arange(n + 2, dtype=np.int64)},
        {},
        seed=5,
    )
    request = ({key: ints([k])}, {}, "paper", ints([1, 0, 1]), NO_TIMES)
    run_case(case, [request, request])


@pytest.mark.parametrize("copies", [1, 4])
def test_module_matches_model_on_books_large_enough_to_go_by_tree(copies):
    # 300 seeds (some repeated) whose first hop admits about 18,000 items:
    # more than a book admits through the index of the whole call, so these
    # go tree by tree. With four copies of each direction of the relation,
    # every hop admits into a type four times over (each pass refilling the
    # trees the passes before admitted into) and the next hop's frontier lists
    # each tree four times, until the books move to the whole call's index.
    rng = np.random.default_rng(3)
    forward, backward = ("item", "r", "user"), ("user", "r", "item")
    colptr, row = {}, {}
    for source, relation, destination in (forward, backward):
        key = f"{source}__{relation}__{destination}"
        colptr[key] = np.arange(0, 60 * 4000 + 1, 60, dtype=np.int64)
        row[key] = rng.integers(0, 4000, 60 * 4000, dtype=np.int64)
    case = Case(["user", "item"], [forward, backward] * copies, colptr, row, {}, seed=11)
    counts = {f"{s}__{r}__{d}": ints([-1, 1]) for s, r, d in (forward, backward)}
    requests = [(counts, {}, "user", rng.integers(0, 4000, 300, dtype=np.int64), NO_TIMES)
                for _ in range(2)]
    run_case(case, requests)


@pytest.mark.parametrize("fault", [None, "a neighbour without a time"])
def test_most_recent_over_books_that_go_by_tree_matches_the_model(fault):
    # 1,100 seeds taking their 15 most recent of 60 items admit more than a
    # book takes through the whole call's index: these passes go tree by
    # tree, and their long columns are searched a chunk at a time, together.
    # A probe that meets a neighbour without a time must fail as the
    # node-by-node search does, at the same node.
    rng = np.random.default_rng(5)
    times = {"user": rng.integers(0, 1000, 4000), "item": rng.integers(0, 1000, 4000)}
    colptr, row = {}, {}
    for source, destination in (("item", "user"), ("user", "item")):
        key = f"{source}__r__{destination}"
        neighbours = rng.integers(0, 4000, (4000, 60))
        order = np.argsort(times[source][neighbours], axis=1, kind="stable")
        colptr[key] = np.arange(0, 60 * 4000 + 1, 60, dtype=np.int64)
        row[key] = np.take_along_axis(neighbours, order, axis=1).ravel().astype(np.int64)
    node_time = {node_type: ints(values) for node_type, values in times.items()}
    if fault:
        node_time["item"] = node_time["item"][:3999]
        row["item__r__user"][60 * 700 + 30] = 3999  # the first probe of user 700's column
    case = Case(["user", "item"], [("item", "r", "user"), ("user", "r", "item")], colptr, row,
                node_time, seed=13)
    counts = {key: ints([15, 15]) for key in colptr}
    seeds = rng.permutation(4000)[:1100].astype(np.int64)
    seeds[:16] = 700  # the faulty column sits in a chunk of long ones
    requests = [(counts, {}, "user", seeds, rng.integers(500, 1000, 1100).astype(np.int64))
                for _ in range(2)]
    run_case(case, requests)


@pytest.mark.parametrize("family", list(FAMILIES))
def test_a_sampler_per_call_matches_the_model(family):
    # As a loader builds them: a new sampler for each call, built once the
    # one before it is gone, whose call state it takes up (grown for another
    # graph, or left by a failed call). Each must answer as a new model does.
    rng = random.Random(f"corvane-per-call-{family}")
    for _ in range(20):
        case = random_graph(rng, family)
        for request in [random_request(rng, case, family) for _ in range(3)]:
            case.requests = []
            run_case(case, [request])
