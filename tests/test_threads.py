"""Python threads calling sample, on one shared sampler and on samplers of their own.

Each thread's results are compared with results computed on one thread,
chosen so that they do not depend on how the threads interleave.
"""

import sys
import threading
import time

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
)

THREADS = 4
ROUNDS = 150


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def new_sampler(seed=123):
    colptr, row = paper_author_arrays()
    return corvane.NeighborSampler(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row,
                                   {"paper": i64(10, 20), "author": i64(1, 2, 3)}, seed)


def outcomes(sampler, requests):
    """The results of each request in turn, or the type and text of its error."""
    seen = []
    for request in requests:
        try:
            seen.append(as_lists(sampler.sample(*request)))
        except Exception as error:  # noqa: BLE001 - failures are compared too
            seen.append((type(error), str(error)))
    return seen


def in_threads(work):
    """work(i) on THREADS threads started together; their return values."""
    results = [None] * THREADS
    start = threading.Barrier(THREADS)

    def body(i):
        start.wait()
        results[i] = work(i)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def request_without_draws(i):
    """One request per thread that takes no random draws, so its result is fixed."""
    seeds = i64(*[(i + j) % 2 for j in range(i + 1)])
    return [
        ({WRITES: i64(-1, -1), WRITTEN_BY: i64(-1, -1)}, {}, "paper", seeds, empty_i64()),  # by recency
        ({WRITES: i64(1)}, {WRITTEN_BY: np.array([[None, 2 * i]], dtype=object)}, "paper", seeds,
         np.full(seeds.size, 15 + i, dtype=np.int64)),
        ({WRITES: i64(-1), WRITTEN_BY: i64(-1)}, {}, "author", i64(i % 3, 9), empty_i64()),  # id 9: refused
    ]


def test_shared_sampler_gives_each_thread_its_own_results():
    sampler = new_sampler()
    expected = [outcomes(new_sampler(), request_without_draws(i)) for i in range(THREADS)]
    seen = in_threads(lambda i: outcomes(sampler, request_without_draws(i) * ROUNDS))
    for i in range(THREADS):
        assert not any("has not returned yet" in str(outcome) for outcome in seen[i])
        assert seen[i] == expected[i] * ROUNDS, f"thread {i}"


def drawing_requests():
    return [
        ({WRITES: i64(1, 2), WRITTEN_BY: i64(1, 1)}, {}, "paper", i64(0, 1, 1), empty_i64()),
        ({WRITES: i64(1), WRITTEN_BY: i64(2)}, {}, "author", i64(2, 1, 0), empty_i64()),
        ({WRITES: i64(1), WRITTEN_BY: i64(1)}, {}, "paper", i64(5), empty_i64()),  # refused, after no draw
    ]


def untimed_sampler(seed):
    colptr, row = paper_author_arrays()
    return corvane.NeighborSampler(["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, {}, seed)


def test_samplers_of_their_own_give_each_thread_its_seeds_sequence():
    seeds = [7, 7, 8, 8]
    requests = drawing_requests() * ROUNDS
    expected = {seed: outcomes(untimed_sampler(seed), requests) for seed in set(seeds)}
    assert expected[7] != expected[8]
    samplers = [untimed_sampler(seed) for seed in seeds]
    seen = in_threads(lambda i: outcomes(samplers[i], requests))
    for i, seed in enumerate(seeds):
        assert seen[i] == expected[seed], f"thread {i}"


class YieldingRows(list):
    """Time-window rows whose reading, inside a call, lets the other threads run."""

    def __getitem__(self, hop):
        time.sleep(0)
        return super().__getitem__(hop)


def test_samplers_built_per_call_never_share_a_call_state():
    # Each thread builds a sampler for every call and drops it after, so call
    # states pass from thread to thread through the process's pool; other
    # threads run in the middle of each call, where a state held by two
    # samplers at once would be refused or emptied under the call.
    def yielding(request):
        num_neighbors, offsets, *rest = request
        return (num_neighbors, {key: YieldingRows(rows) for key, rows in offsets.items()}, *rest)

    rounds = ROUNDS // 5
    expected = [outcomes(new_sampler(), request_without_draws(i)) for i in range(THREADS)]
    seen = in_threads(lambda i: [outcome for _ in range(rounds) for request in request_without_draws(i)
                                 for outcome in outcomes(new_sampler(), [yielding(request)])])
    for i in range(THREADS):
        assert seen[i] == expected[i] * rounds, f"thread {i}"
