"""Memory and references: what the sampler keeps, releases and hands out."""

import gc
import resource
import sys
import weakref

import numpy as np
import pytest

import corvane
from comparison import assert_same_results
from conftest import (
    FIGURES,
    PAPER_AUTHOR_EDGE_TYPES,
    UNDER_SANITIZER,
    WRITES,
    WRITTEN_BY,
    as_lists,
    empty_i64,
    i64,
    paper_author_arrays,
    single_edge_type_sampler,
)
from model import ModelSampler

NODE_TYPES = ["paper", "author"]
CALLS = 100_000


def requests():
    """Calls on a graph with times for papers only: authors are drawn at random, papers by recency."""
    return [
        ({WRITES: i64(1, 2), WRITTEN_BY: i64(1, -1)}, {}, "paper", i64(0, 1, 0), empty_i64()),
        ({WRITES: i64(-1)}, {WRITTEN_BY: np.array([[None, 5], [-9, 0]], dtype=object)}, "paper", i64(1), i64(25)),
        ({WRITES: i64(2), WRITTEN_BY: i64(1)}, {}, "author", i64(1, 2), empty_i64()),
    ]


def failing_requests():
    return [
        ({WRITES: i64(1), WRITTEN_BY: i64(1)}, {}, "paper", i64(0, 7), empty_i64()),  # id outside colptr
        ({WRITES: i64(1)}, {}, "paper", i64(0), empty_i64()),  # edge type in neither dictionary
        ({WRITES: i64(1)}, {WRITTEN_BY: np.array([[0.5, 1]])}, "paper", i64(0), i64(5)),  # offset is no integer
        ({WRITES: i64(1), WRITTEN_BY: i64(1)}, {}, "venue", i64(0), empty_i64()),  # not a node type
        ({WRITES: i64(1), WRITTEN_BY: i64(1)}, {}, "paper", [0], empty_i64()),  # binding refuses a list
    ]


def graph():
    colptr, row = paper_author_arrays()
    return dict(node_types=NODE_TYPES, edge_types=PAPER_AUTHOR_EDGE_TYPES, colptr=colptr, row=row,
                node_time={"paper": i64(10, 20)}, seed=5)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan's quarantine and shadow memory grow by design; "
                                            "its leak check covers the sanitizer run")
def test_resident_memory_does_not_grow_over_many_calls():
    sampler = corvane.NeighborSampler(**graph())
    unsorted = single_edge_type_sampler(i64(0, 3), i64(0, 1, 2), {"a": i64(9), "b": i64(5, 1, 2)})
    calls = [(sampler, request) for request in requests() + failing_requests()]
    calls.append((unsorted, ({"b__to__a": i64(-1)}, {}, "a", i64(0), empty_i64())))

    def run(count):
        for number in range(count):
            sampler, request = calls[number % len(calls)]
            try:
                sampler.sample(*request)
            except Exception:  # noqa: BLE001 - the failing calls are part of the load
                pass

    run(CALLS // 10)  # let the allocators reach their working size
    gc.collect()
    before = resident_bytes()
    run(CALLS)
    gc.collect()
    growth = resident_bytes() - before
    FIGURES[f"resident memory growth over {CALLS} calls"] = f"{growth / 1024:.0f} KiB"
    assert growth < 512 * 1024, f"resident memory grew by {growth} bytes"


def test_references_are_back_when_the_sampler_is_gone():
    arguments = graph()
    colptr, row, node_time = arguments["colptr"], arguments["row"], arguments["node_time"]
    colptr[WRITES] = np.repeat(colptr[WRITES], 2)[::2]  # strided and byte-swapped arrays are copied,
    row[WRITTEN_BY] = row[WRITTEN_BY].astype(">i8")     # the others used in place
    calls = requests() + failing_requests()
    tracked = [colptr, row, node_time, *colptr.values(), *row.values(), *node_time.values()]
    for request in calls:
        tracked += [part for part in request if not isinstance(part, str)]
        tracked += [value for part in request[:2] for value in part.values()]
    in_place, copied = [colptr[WRITTEN_BY], row[WRITES], node_time["paper"]], [colptr[WRITES], row[WRITTEN_BY]]
    counts = [sys.getrefcount(array) for array in in_place + copied]
    before = [sys.getrefcount(item) for item in tracked]

    sampler = corvane.NeighborSampler(**arguments)
    # While it lives, the sampler holds the arrays it reads in place, and only those.
    assert [sys.getrefcount(array) for array in in_place + copied] == [n + 1 for n in counts[:3]] + counts[3:]
    for request in calls * 3:
        try:
            sampler.sample(*request)
        except Exception:  # noqa: BLE001
            pass
    del sampler
    gc.collect()
    assert [sys.getrefcount(item) for item in tracked] == before


def test_results_own_their_data_and_outlive_the_sampler():
    sampler = corvane.NeighborSampler(**graph())
    first = sampler.sample(*requests()[0])
    expected = as_lists(first)
    arrays = [array for part in first for array in part.values()]
    assert all(a.flags.owndata and a.base is None and a.flags.writeable and a.flags.c_contiguous for a in arrays)

    for _ in range(20):
        for part in sampler.sample(*requests()[0]):
            for array in part.values():
                array.fill(-1)  # later results share nothing with the first
    del sampler
    gc.collect()
    assert as_lists(first) == expected

    # Nothing but the caller holds the results.
    dead = [weakref.ref(array) for array in arrays]
    del first, arrays, array
    assert all(ref() is None for ref in dead)


@pytest.mark.parametrize("handed_over", ["lists", "arrays", "strided arrays"])
def test_graph_held_only_by_the_sampler(handed_over):
    arguments = graph()
    model = ModelSampler(**arguments)
    convert = {"lists": lambda a: a.tolist(), "arrays": lambda a: a.copy(),
               "strided arrays": lambda a: np.repeat(a, 2)[::2]}[handed_over]
    for name in ("colptr", "row", "node_time"):
        arguments[name] = {key: convert(value) for key, value in arguments[name].items()}
    sampler = corvane.NeighborSampler(**arguments)
    del arguments
    gc.collect()
    reuse = [np.full(size, -1, dtype=np.int64) for size in range(1, 64) for _ in range(20)]  # take the freed memory

    for request in requests() * 5:
        assert_same_results(sampler.sample(*request), model.sample(*request), handed_over)
    assert all(int(block[0]) == -1 for block in reuse)
