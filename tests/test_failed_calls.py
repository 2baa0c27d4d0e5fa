"""A call that ends in an exception midway (memory exhausted, a signal) leaves
the sampler answering exactly as one that never saw it."""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from conftest import (
    UNDER_SANITIZER,
    as_lists,
    compile_cxx,
    empty_i64,
    i64,
    single_edge_type_sampler,
)

ROOT = Path(__file__).resolve().parent.parent
KEY = "b__to__a"


def run_python(code, timeout=120, **environment):
    """Runs `code` in a fresh interpreter; its stdout."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
        timeout=timeout, cwd=ROOT / "tests", env={**os.environ, **environment})
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


@pytest.fixture(scope="module")
def failing_allocator(tmp_path_factory):
    return compile_cxx(["tests/cpp/failing_allocator.cpp"],
                       tmp_path_factory.mktemp("allocator") / "failing_allocator.so", "-shared", "-fPIC")


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer runtime owns operator new")
def test_memory_error_at_any_growth_leaves_no_trace(failing_allocator):
    # One seed whose column holds 30,000 distinct neighbours, all taken (no
    # draws): its lists and index grow past 2^12 ... 2^15 entries. Each
    # allocation of 64 KiB or more of the call fails in turn, on a sampler of
    # its own: all stay alive, so that none gives storage back for the next
    # one's call to reuse. Then each answers as a fresh sampler does, or,
    # dropped, its state (left by the failed call) serves a new sampler that
    # must.
    output = run_python(f"""
        import ctypes
        import numpy as np
        from conftest import as_lists, i64, single_edge_type_sampler
        hook = ctypes.CDLL({str(failing_allocator)!r}).fail_large_allocation
        hook.argtypes = [ctypes.c_long, ctypes.c_size_t]
        count = 30_000
        def build():
            row = np.random.default_rng(1).permutation(count).astype(np.int64)
            return single_edge_type_sampler(i64(0, count), row)
        request = ({{{KEY!r}: i64(-1)}}, {{}}, "a", i64(0), i64())
        reference = build()
        expected = as_lists(reference.sample(*request))
        failures = 0
        samplers = [build() for _ in range(40)]
        for before, sampler in enumerate(samplers):
            hook(before, 1 << 16)
            try:
                sampler.sample(*request)
            except MemoryError:
                failures += 1
            hook(-1, 0)
        for number in range(len(samplers)):
            if number % 2:
                samplers[number] = None  # given back, taken up by the next sampler built
                samplers[number] = build()
            assert as_lists(samplers[number].sample(*request)) == expected, number
        print(failures)
        """, LD_PRELOAD=str(failing_allocator))
    assert int(output) >= 6  # list, edge and table growths were all made to fail


def interrupted(sampler, request):
    """Calls sample with a SIGALRM armed by the first time-window row read
    (after the hop's own look for signals), whose handler raises
    KeyboardInterrupt; whether the handler ran inside the call, which then
    refuses a nested one."""
    ran_inside = []

    def handler(signum, frame):
        try:
            sampler.sample(*request)
            ran_inside.append(False)
        except RuntimeError as error:
            ran_inside.append("has not returned yet" in str(error))
        raise KeyboardInterrupt

    class ArmingRows(list):
        def __getitem__(self, hop):
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            return super().__getitem__(hop)

    num_neighbors, offsets, *rest = request
    armed = {key: ArmingRows(rows) for key, rows in offsets.items()}
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            sampler.sample(num_neighbors, armed, *rest)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return ran_inside == [True]


@pytest.mark.parametrize("seeds, column", [(1, 4_000_000), (1_000_000, 4)],
                         ids=["one long column", "many frontier nodes"])
def test_a_signal_ends_a_long_hop(seeds, column):
    # Every neighbour inside the window: one hop admits 4,000,000 of them.
    neighbors = np.arange(column, dtype=np.int64)
    colptr = np.arange(0, column * seeds + 1, column, dtype=np.int64)

    def build():
        return single_edge_type_sampler(
            colptr, np.tile(neighbors, seeds), {"a": np.zeros(seeds, np.int64), "b": neighbors})

    request = ({}, {KEY: [[None, column]]}, "a",
               np.arange(seeds, dtype=np.int64), empty_i64())
    sampler = build()
    assert interrupted(sampler, request)
    small = ({}, request[1], "a", i64(0, 1)[:min(seeds, 2)], empty_i64())
    assert as_lists(sampler.sample(*small)) == as_lists(build().sample(*small))


def test_a_signal_ends_a_call_of_endless_hops():
    # 2 * 10^7 hops of windows that admit nothing, seconds of work (their
    # counters fit in memory); interrupted at once, it must not run on.
    output = run_python("""
        import signal
        import numpy as np
        from conftest import as_lists, i64, single_edge_type_sampler
        build = lambda: single_edge_type_sampler(i64(0, 0), i64(), {"a": i64(0), "b": i64()})
        rows = np.broadcast_to(np.array([[0, 1]]), (2 * 10**7, 2))
        signal.signal(signal.SIGALRM, signal.default_int_handler)  # as Ctrl-C
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        sampler = build()
        try:
            sampler.sample({}, {"b__to__a": rows}, "a", i64(0), i64())
        except KeyboardInterrupt:
            print("interrupted")
        small = ({}, {"b__to__a": rows[:2]}, "a", i64(0), i64())
        print(as_lists(sampler.sample(*small)) == as_lists(build().sample(*small)))
        """, timeout=30)
    assert output.split() == ["interrupted", "True"]


@pytest.mark.parametrize("hops", [
    pytest.param(10**12, marks=pytest.mark.skipif(UNDER_SANITIZER, reason="ASan aborts on a block this large")),
    pytest.param(5 * 10**7, marks=pytest.mark.skipif(UNDER_SANITIZER, reason="ASan's shadow memory exceeds any limit")),
    2**61,
], ids=["beyond memory", "beyond memory after some counters fit", "beyond any vector"])
def test_more_hops_than_memory_counts_fail_before_the_first(hops):
    # Offsets of 2 bytes (int8, so that numpy allows 2^61 rows) that claim
    # `hops` rows. Under a limit of 1 GiB more address space, the counters of
    # 5 * 10^7 hops fit for two of the three lists (400 MB each), not for the
    # third. No row may be read, what was reserved is given back, and the
    # sampler then answers as a fresh one.
    output = run_python(f"""
        import resource
        import numpy as np
        from conftest import as_lists, i64, single_edge_type_sampler

        class UnreadRows(np.ndarray):
            def __getitem__(self, hop):
                raise AssertionError(f"hop {{hop}} ran")

        def address_space():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[0]) * resource.getpagesize()

        build = lambda: single_edge_type_sampler(i64(0, 4), i64(0, 1, 2, 3), {{"a": i64(9), "b": i64(1, 2, 3, 4)}})
        rows = np.broadcast_to(np.array([[0, 1]], np.int8), ({hops}, 2)).view(UnreadRows)
        sampler = build()
        before = address_space()
        if {not UNDER_SANITIZER}:
            resource.setrlimit(resource.RLIMIT_AS, (before + 2**30, resource.RLIM_INFINITY))
        try:
            sampler.sample({{}}, {{"b__to__a": rows}}, "a", i64(0), i64())
        except MemoryError:
            print("MemoryError")
        print(address_space() - before < 2**28)  # glibc may map one 64 MiB arena
        small = ({{"b__to__a": i64(2, 1)}}, {{}}, "a", i64(0), i64())
        print(as_lists(sampler.sample(*small)) == as_lists(build().sample(*small)))
        """, timeout=60)
    assert output.split() == ["MemoryError", "True", "True"]
