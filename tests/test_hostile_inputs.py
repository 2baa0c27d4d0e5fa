"""Hostile graphs and requests, drawn by hypothesis.

Every call must end in the result of the plain-Python model (model.py) or in
an error of the README's error table, with the model's type and message, and
the sampler must then answer a valid request exactly as the model does.
"""

import copy
from collections import OrderedDict

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import corvane
from comparison import assert_same_failure, assert_same_results, outcome
from conftest import EXAMPLES_RUN, documented_errors
from model import ModelSampler

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
LIMITS = [INT64_MIN, INT64_MIN + 1, -INT64_MAX, INT64_MAX - 1, INT64_MAX]
DOCUMENTED = documented_errors()

TIMES = st.integers(-3, 12) | st.sampled_from(LIMITS)
COUNTS = st.sampled_from([-1, 1, 2, 3, 0, 4, -2, 2**32, -(2**32)] + LIMITS)
OFFSETS = st.integers(-6, 6) | st.sampled_from(LIMITS)
# Offsets that no 64-bit integer holds.
UNCASTABLE = st.sampled_from([None, 2**63, INT64_MIN - 1, 1.5, np.float64(2.0)])


def outside(size):
    """Ids that lie outside an array of `size` elements."""
    return st.sampled_from([-1, size, size + 1, size + 1000, INT64_MAX, INT64_MIN])


class SubDict(dict):
    pass


class SubArray(np.ndarray):
    pass


class KeyText:
    """A non-str key whose str() is a valid key: it passes every check but no lookup finds it."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"KeyText({self.text!r})"


DICTS = st.sampled_from([dict, SubDict, OrderedDict])
ARRAY_LAYOUTS = ["contiguous", "reversed", "strided", "byte-swapped", "byte-swapped strided", "read-only", "subclass",
                 "misaligned"]
EMPTY_DTYPES = ["float64", "uint8", "int32", "bool", "object", "U3", "complex128"]


def misaligned(array):
    """The same values, C-contiguous but one byte off an 8-byte boundary."""
    buffer = np.zeros(array.size * 8 + 1, dtype=np.uint8)
    moved = np.ndarray(array.shape, dtype=np.int64, buffer=buffer, offset=1)
    moved[...] = array
    return moved


def read_only(array):
    array.flags.writeable = False
    return array


@st.composite
def int64_values(draw, values, layouts=ARRAY_LAYOUTS):
    """`values` as an int64 array of a drawn memory layout, or as a list where `layouts` allows."""
    layout = draw(st.sampled_from(layouts))
    if not values and draw(st.booleans()):
        return np.array([], dtype=draw(st.sampled_from(EMPTY_DTYPES)))
    array = np.array(values, dtype=np.int64)
    return {
        "list": lambda: list(values),
        "contiguous": lambda: array,
        "reversed": lambda: array[::-1].copy()[::-1],
        "strided": lambda: np.repeat(array, 2)[::2],
        "byte-swapped": lambda: array.astype(">i8"),
        "byte-swapped strided": lambda: np.repeat(array.astype(">i8"), 2)[::2],
        "read-only": lambda: read_only(array),
        "subclass": lambda: array.view(SubArray),
        "misaligned": lambda: misaligned(array),
    }[layout]()


@st.composite
def offset_rows(draw, rows, hostile):
    """Rows (lower or None, upper) as an array of a drawn layout, or as a list of rows."""
    if hostile and rows and draw(st.integers(0, 9)) == 9:
        rows[draw(st.integers(0, len(rows) - 1))][draw(st.integers(0, 1))] = draw(UNCASTABLE)
    if draw(st.integers(0, 5)) == 5:
        return [list(r) for r in rows]
    if any(not isinstance(v, int) or not INT64_MIN <= v <= INT64_MAX for r in rows for v in r):
        return np.array(rows, dtype=object).reshape(len(rows), 2)
    array = np.array(rows, dtype=np.int64).reshape(len(rows), 2)
    layout = draw(st.sampled_from(["contiguous", "fortran", "reversed", "byte-swapped"]))
    return {
        "contiguous": lambda: array,
        "fortran": lambda: np.asfortranarray(array),
        "reversed": lambda: array[::-1].copy()[::-1],
        "byte-swapped": lambda: array.astype(">i8"),
    }[layout]()


class Graph:
    def __init__(self, node_types, edge_types, sizes, times):
        self.node_types, self.edge_types, self.sizes, self.times = node_types, edge_types, sizes, times
        self.sources = {f"{s}__{r}__{d}": s for s, r, d in edge_types}
        self.destinations = {f"{s}__{r}__{d}": d for s, r, d in edge_types}
        self.constructor = {}

    def __repr__(self):
        return f"Graph({self.constructor!r})"


@st.composite
def graphs(draw, hostile):
    node_types = draw(st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=3, unique=True))
    sizes = {t: 0 if draw(st.integers(0, 9)) == 9 else draw(st.integers(1, 4)) for t in node_types}
    edge_types = draw(st.lists(
        st.tuples(st.sampled_from(node_types), st.sampled_from(["r", "s"]), st.sampled_from(node_types)),
        min_size=1, max_size=3))
    times = {t: draw(st.lists(TIMES, min_size=sizes[t], max_size=sizes[t]))
             for t in node_types if draw(st.booleans())}
    graph = Graph(node_types, edge_types, sizes, times)

    colptr, row = {}, {}
    for key, source in graph.sources.items():
        colptr[key], row[key] = [0], []
        for _ in range(sizes[graph.destinations[key]]):
            column = []
            if sizes[source] and draw(st.integers(0, 4)) < 4:
                column = draw(st.lists(st.integers(0, sizes[source] - 1), min_size=1, max_size=4))
            if source in times:
                column.sort(key=lambda node: times[source][node])
            row[key].extend(column)
            colptr[key].append(len(row[key]))
    if hostile:
        for fault in draw(st.lists(st.sampled_from(GRAPH_FAULTS), min_size=1, max_size=2)):
            fault(draw, graph, colptr, row)
    elif draw(st.integers(0, 4)) == 4:
        empty_extreme_columns(draw, graph, colptr, row)  # still valid

    constructor = graph.constructor
    constructor["node_types"], constructor["edge_types"] = node_types, edge_types
    for name, arrays in (("colptr", colptr), ("row", row), ("node_time", times)):
        constructor[name] = draw(DICTS)((key, draw(int64_values(values, ARRAY_LAYOUTS + ["list"])))
                                        for key, values in arrays.items())
    if hostile and draw(st.integers(0, 4)) == 4:
        name = draw(st.sampled_from(["colptr", "row", "node_time"]))
        if constructor[name]:
            key = draw(st.sampled_from(sorted(constructor[name])))
            other = draw(st.sampled_from([KeyText(key), key.encode(), 5]))
            constructor[name][other] = constructor[name].pop(key)
    if draw(st.booleans()):
        constructor["node_time"] = list(constructor["node_time"].items())  # dict() takes pairs
    constructor["seed"] = draw(st.integers(-(2**31), 2**31 - 1))
    return graph


def spoil_row_id(draw, graph, colptr, row):
    key = draw(st.sampled_from(sorted(row)))
    if row[key]:
        row[key][draw(st.integers(0, len(row[key]) - 1))] = draw(outside(graph.sizes[graph.sources[key]]))


def spoil_colptr(draw, graph, colptr, row):
    key = draw(st.sampled_from(sorted(colptr)))
    values = colptr[key]
    if not values:
        return
    i = draw(st.integers(0, len(values) - 1))
    change = draw(st.sampled_from(["decrease", "past row", "negative", "shorten", "empty"]))
    if change == "decrease" and i > 0:
        values[i] = values[i - 1] - draw(st.integers(1, 3))
    elif change == "past row":
        values[i] = draw(st.sampled_from([len(row[key]) + 1, len(row[key]) + 7, INT64_MAX]))
    elif change == "negative":
        values[i] = draw(st.sampled_from([-1, -5, INT64_MIN]))
    elif change == "shorten":
        del values[i:]
    elif change == "empty":
        values.clear()


# Entries at the 64-bit limits, within a look-ahead distance of them and
# beyond it: such a position plus a distance, or one such entry minus
# another, overflows.
HIGH = st.sampled_from([INT64_MAX, INT64_MAX - 1, INT64_MAX - 8, INT64_MAX - 40])
LOW = st.sampled_from([INT64_MIN, INT64_MIN + 1, INT64_MIN + 8, -INT64_MAX])


def empty_extreme_columns(draw, graph, colptr, row):
    """Empty columns at the 64-bit limits, which the rules accept as nothing is read: every
    column up to some node's starts near INT64_MAX, or every column from some node's on ends
    near INT64_MIN."""
    ends = colptr[draw(st.sampled_from(sorted(colptr)))]
    if ends:
        i = draw(st.integers(0, len(ends) - 1))
        if draw(st.booleans()):
            ends[:i + 1] = sorted(draw(st.lists(HIGH, min_size=i + 1, max_size=i + 1)), reverse=True)
        else:
            ends[i:] = sorted(draw(st.lists(LOW, min_size=len(ends) - i, max_size=len(ends) - i)), reverse=True)


def extreme_entry(draw, graph, colptr, row):
    """One colptr entry (the columns on either side, unless empty, then lie outside row) or
    neighbour id near a 64-bit limit."""
    key = draw(st.sampled_from(sorted(colptr)))
    values = draw(st.sampled_from([colptr[key], row[key]]))
    if values:
        values[draw(st.integers(0, len(values) - 1))] = draw(HIGH | LOW)


def shorten_node_time(draw, graph, colptr, row):
    if graph.times:
        values = graph.times[draw(st.sampled_from(sorted(graph.times)))]
        del values[draw(st.integers(0, max(len(values) - 1, 0))):]


def unsort_column(draw, graph, colptr, row):
    key = draw(st.sampled_from(sorted(colptr)))
    ends = colptr[key]
    columns = [(start, end) for start, end in zip(ends, ends[1:]) if end - start >= 2]
    if columns:
        start, end = draw(st.sampled_from(columns))
        row[key][start:end] = row[key][start:end][::-1]


GRAPH_FAULTS = [spoil_row_id, spoil_colptr, shorten_node_time, unsort_column, empty_extreme_columns,
                extreme_entry]


@st.composite
def requests(draw, graph, hostile):
    entity = draw(st.sampled_from(graph.node_types))
    if hostile and draw(st.integers(0, 19)) == 19:
        entity = "z"
    size = graph.sizes.get(entity, 0)
    ids = st.integers(0, size - 1) if size else st.nothing()
    if hostile:
        ids = ids | outside(size)
    seeds = draw(st.lists(ids, min_size=1, max_size=4)) if size or hostile else []
    seed_time = draw(st.lists(TIMES, min_size=len(seeds), max_size=len(seeds)) | st.just([]))
    if hostile and draw(st.integers(0, 9)) == 9:
        seed_time = draw(st.lists(TIMES, max_size=5))
    hops = 0 if draw(st.integers(0, 9)) == 9 else draw(st.integers(1, 3))

    num_neighbors, offsets = draw(DICTS)(), draw(DICTS)()
    for key, source in graph.sources.items():
        if (source in graph.times or hostile and draw(st.integers(0, 9)) == 9) and draw(st.booleans()):
            count = draw(st.integers(0, hops)) if hostile else hops
            rows = [[draw(st.none() | OFFSETS), draw(OFFSETS)] for _ in range(count)]
            offsets[key] = draw(offset_rows(rows, hostile))
        else:
            counts = draw(st.lists(COUNTS, min_size=hops, max_size=hops))
            if draw(st.integers(0, 4)) == 4:
                del counts[draw(st.integers(0, hops)):]  # no count for the later hops
            num_neighbors[key] = draw(int64_values(counts, ARRAY_LAYOUTS + ["list"]))
    if hostile and draw(st.integers(0, 4)) == 4:
        key = draw(st.sampled_from(sorted(graph.sources)))
        change = draw(st.sampled_from(["drop", "both", "key text"]))
        target = num_neighbors if key in num_neighbors else offsets
        if change == "drop":
            del target[key]
        elif change == "both":
            num_neighbors[key], offsets[key] = np.array([1]), np.zeros((1, 2), np.int64)
        else:
            target[KeyText(key)] = target.pop(key)

    request = [num_neighbors, offsets, entity, draw(int64_values(seeds)), draw(int64_values(seed_time))]
    if hostile and draw(st.integers(0, 9)) == 9:
        position = draw(st.sampled_from([3, 4]))
        request[position] = [int(v) for v in request[position]]  # the binding takes arrays only
    return tuple(request)


def model_sample(model, request):
    """The model's sample, refusing what the binding refuses before any check runs."""
    if not all(isinstance(array, np.ndarray) for array in request[3:]):
        raise TypeError("sample(): incompatible function arguments")
    return model.sample(*request)


def assert_same_documented_failure(error, expected_error, where):
    assert_same_failure(error, expected_error, where)
    assert any(type(error) is cls and pattern.fullmatch(str(error)) for _, cls, pattern in DOCUMENTED), (
        f"{where}: {error!r} is not in the README's error table")


def assert_agrees(module_call, model_call, where):
    """True when both returned equal results, False when both failed alike."""
    expected, expected_error = outcome(model_call)
    actual, error = outcome(module_call)
    if expected_error is not None:
        assert_same_documented_failure(error, expected_error, where)
        return False
    assert error is None, f"{where}: the module raised {error!r}"
    assert_same_results(actual, expected, where)
    return True


def assert_valid_request_still_works(data, graph, module, model, graph_is_valid):
    """After hostile calls, the sampler answers a valid request exactly as the model does."""
    entity = data.draw(st.sampled_from(graph.node_types))
    size = graph.sizes[entity]
    seeds = data.draw(st.lists(st.integers(0, size - 1), min_size=1, max_size=3)) if size else []
    counts = {key: np.array(data.draw(st.lists(st.sampled_from([-1, 1, 2]), min_size=1, max_size=2)), np.int64)
              for key in graph.sources}
    request = (counts, {}, entity, np.array(seeds, dtype=np.int64), np.array([], dtype=np.int64))
    _, failure = outcome(lambda: copy.deepcopy(model).sample(*request))
    assert failure is None or not graph_is_valid, f"valid request refused by the model: {failure!r}"
    if failure is not None:  # the graph is broken wherever this request reaches: no seeds, no hops
        request = ({key: request[4] for key in graph.sources}, {}, entity, request[4], request[4])
    assert assert_agrees(lambda: module.sample(*request), lambda: model.sample(*request), "valid request")


def build_both(graph):
    module, error = outcome(lambda: corvane.NeighborSampler(**graph.constructor))
    model, expected_error = outcome(lambda: ModelSampler(**graph.constructor))
    if expected_error is not None:
        assert_same_documented_failure(error, expected_error, "constructor")
        return None, None
    assert error is None, f"constructor raised {error!r}"
    return module, model


@given(data=st.data())
def test_hostile_graph(data):
    graph = data.draw(graphs(hostile=True), label="graph")
    module, model = build_both(graph)
    if module is not None:
        for number in range(data.draw(st.integers(1, 2))):
            request = data.draw(requests(graph, hostile=False), label=f"request {number}")
            # assert_agrees calls both lambdas before the loop moves on.
            assert_agrees(lambda: module.sample(*request), lambda: model_sample(model, request),  # noqa: B023
                          f"request {number}")
        assert_valid_request_still_works(data, graph, module, model, graph_is_valid=False)
    EXAMPLES_RUN["hostile graphs"] += 1


@given(data=st.data())
def test_hostile_request(data):
    graph = data.draw(graphs(hostile=False), label="graph")
    module, model = build_both(graph)
    assert module is not None
    for number in range(data.draw(st.integers(1, 2))):
        request = data.draw(requests(graph, hostile=True), label=f"request {number}")
        assert_agrees(lambda: module.sample(*request), lambda: model_sample(model, request),  # noqa: B023
                      f"request {number}")
    assert_valid_request_still_works(data, graph, module, model, graph_is_valid=True)
    EXAMPLES_RUN["hostile requests"] += 1
