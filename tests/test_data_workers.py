"""The loader's promises: it refuses what it would cast or fail on mid-epoch, runs one epoch at
a time, and its workers end with it, with their parent, or when one dies, leaving nothing behind."""

import multiprocessing.context
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import psutil
import pytest

from conftest import rated, same_batches
from corvane_data import BatchSampler, SeedLoader, save_graph
from corvane_data.workers import InProcess, auto_workers

BY_USER, OF_USER = ("rates", "from", "user"), ("user", "rev_from", "rates")
BY_ITEM, OF_ITEM = ("rates", "to", "item"), ("item", "rev_to", "rates")


def rating_events():
    return rated()[1]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return save_graph(tmp_path_factory.mktemp("graph"), rating_events())


OTHERS = {OF_USER: [2, 2], BY_ITEM: [2, 2], OF_ITEM: [2, 2]}


@pytest.mark.parametrize("change, message", [
    ({"seeds": [0.5, 1.9]}, r"seeds must hold integers, not float64"),
    ({"seeds": [0, 60]}, r"seeds: position 1 holds id 60, but ids of node type 'user' are in 0\.\.59"),
    ({"seed_time": [1.0, np.nan]}, r"seed_time must hold integers or datetimes, not float64"),
    ({"seed_time": np.array(["2024-01-01", "NaT"], "datetime64[s]")}, r"seed_time holds datetimes .* the graph's times are plain integers"),
    ({"num_neighbors": [2.5]}, r"num_neighbors must hold integers"),
    ({"num_neighbors": {BY_USER: [2]}}, r"edge type \('user', 'rev_from', 'rates'\) \(the reverse of .*, made by add_reverse\) has neither"),
    ({"num_neighbors": {**OTHERS, BY_USER: [1]}, "time_offsets": {BY_USER: [(0, 1)]}}, r"has both"),
    ({"num_neighbors": OTHERS, "time_offsets": {BY_USER: [(0, 1.5), (0, 1)]}},
     r"time_offsets \('rates', 'from', 'user'\) hop 0 upper bound must be an integer or a timedelta, not 1\.5"),
    ({"num_neighbors": OTHERS, "time_offsets": {BY_USER: [(-10, 0)]}}, r"1 windows for 2 hops"),
    ({"num_neighbors": {BY_USER: [2, 2], BY_ITEM: [2, 2], OF_ITEM: [2, 2]},
      "time_offsets": {OF_USER: [(-9, 0)] * 2}}, r"source type 'user' has no node_time"),
    ({"batch_size": 2.0}, r"batch_size must be an integer, not 2\.0"),
    ({"num_workers": "two"}, r"num_workers must be a non-negative integer or 'auto', not 'two'"),
])
def test_the_loader_refuses_what_it_would_cast_or_fail_on_mid_epoch(change, message):
    arguments = {"seeds": np.arange(10), "seed_time": None, "num_neighbors": [2, 2], **change}
    with pytest.raises(ValueError, match=message):
        SeedLoader(rating_events(), "user", **arguments)


@pytest.mark.parametrize("num_workers", [0, 2])
def test_a_new_iteration_ends_the_live_one_and_takes_none_of_its_batches(folder, num_workers):
    options = {"num_neighbors": [3, 2], "batch_size": 4, "shuffle": True, "seed": 3}
    with SeedLoader(folder, "user", np.arange(40), num_workers=num_workers, **options) as loader:
        first = iter(loader)
        next(first)
        second = list(loader)
        with pytest.raises(StopIteration):
            next(first)
    with SeedLoader(folder, "user", np.arange(40), num_workers=num_workers, **options) as reference:
        reference.epoch = 1
        same_batches(second, list(reference))


def test_batches_kept_from_workers_stay_their_own_and_writable_while_the_slots_are_reused(folder):
    torch = pytest.importorskip("torch")
    options = {"num_neighbors": [3, 2], "batch_size": 4, "shuffle": True, "seed": 5}
    others = mapped_slots()
    with SeedLoader(folder, "user", np.arange(60), num_workers=2, prefetch=1, **options) as loader:
        kept = list(loader)  # more batches than the slots' bound: the rest came by pipe
        for _ in range(2):  # epochs that reuse every slot the kept batches do not hold
            for batch in loader:
                torch.from_numpy(batch.edge_index[BY_USER]).add_(1)  # writable, as documented
        assert len(mapped_slots() - others) <= 2 * (1 + 2)
        del batch
    same_batches(kept, list(SeedLoader(folder, "user", np.arange(60), **options)))
    assert mapped_slots() - others  # kept batches hold their slots after the loader closed ...
    del kept
    assert not mapped_slots() - others  # ... and release them with the last of their arrays


class Untimed:
    """A sampler of a loader's own recipe, which says nothing of where its time goes."""

    def __init__(self, graph, *arguments):
        self.inner = BatchSampler(graph, *arguments)

    def sample(self, *task):
        return self.inner.sample(*task)


def test_a_sampler_that_does_not_time_its_calls_still_serves_a_loader(folder):
    loader = SeedLoader(folder, "user", np.arange(8), num_neighbors=[2], batch_size=4,
                        workers=lambda loader: InProcess(Untimed(loader.graph, "user", loader.request)))
    assert [batch.seed_ids.tolist() for batch in loader] == [[0, 1, 2, 3], [4, 5, 6, 7]]


def mapped_slots():
    with open("/proc/self/maps", encoding="utf-8") as maps:
        return {line.split()[4] for line in maps if "/memfd:corvane-batch-slot" in line}


def test_a_failing_worker_raises_in_the_parent_and_the_next_epoch_starts_afresh(tmp_path):
    graph = rating_events()
    # An id past the user type that no count names: the loader cannot see it, the second hop fails.
    graph.row["rates__from__user"][0] = 10**6
    del graph.num_nodes["rates"], graph.node_time["rates"]
    broken = save_graph(tmp_path, graph)
    with SeedLoader(broken, "user", np.arange(60), num_neighbors=[-1, -1], batch_size=30,
                    num_workers=2) as loader:
        with pytest.raises(RuntimeError, match=r"worker 0 failed:(.|\n)*out of range"):
            list(loader)


def test_workers_that_fail_to_start_end_those_started(folder, monkeypatch):
    started = []
    real_start = multiprocessing.context.ForkServerProcess.start

    def start_one_then_fail(process):
        if started:
            raise OSError("no more processes")
        real_start(process)
        started.append(process.pid)

    monkeypatch.setattr(multiprocessing.context.ForkServerProcess, "start", start_one_then_fail)
    loader = SeedLoader(folder, "user", np.arange(10), num_neighbors=[2], num_workers=2)
    with pytest.raises(OSError, match="no more processes"):
        next(iter(loader))
    assert len(started) == 1 and not psutil.pid_exists(started[0])


# A training process: 2 workers, batches of 8,192 seeds with times (each task more than a
# pipe's default buffer), each worker 8 batches ahead. It prints its workers' pids, and then
# what the scenario does. Its first batches have made the workers' slots.
TRAINING = """
import os, signal, sys, time
import numpy as np, psutil
from corvane_data import SeedLoader
folder, scenario = sys.argv[1], sys.argv[2]
seeds = np.arange(8192 * 40) % 60
with SeedLoader(folder, "user", seeds, np.full(seeds.size, 900), num_neighbors=[5, 5],
                batch_size=8192, num_workers=2, prefetch=8) as loader:
    batches = iter(loader)
    for _ in range(8):
        next(batches)
    me = psutil.Process()
    print(*[c.pid for c in me.children(recursive=True) if c.ppid() != me.pid], flush=True)
    if scenario == "worker killed":
        try:
            list(batches)
        except RuntimeError as error:
            slots = [m.path for m in me.memory_maps() if "corvane-batch-slot" in m.path]
            print("raised", error, "and maps", len(slots), "slots", flush=True)
    elif scenario == "idle":
        batches.close()
        time.sleep(600)
    else:
        for batch in batches:
            time.sleep(0.05)
"""


@pytest.mark.parametrize("scenario, signal_to_parent", [
    ("worker killed", None),   # SIGKILL to a worker: the parent raises, closes and exits
    ("busy", "SIGINT"),        # Ctrl-C: KeyboardInterrupt, and the workers are ended at once
    ("busy", "SIGKILL"),       # the parent dies mid-epoch
    ("idle", "SIGTERM"),       # the parent ends between epochs, its workers waiting for tasks
])
def test_no_worker_or_shared_memory_outlives_its_loader_or_its_parent(folder, scenario,
                                                                       signal_to_parent):
    shm_before = set(os.listdir("/dev/shm"))
    with subprocess.Popen([sys.executable, "-c", TRAINING, str(folder), scenario],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as parent:
        output, errors = ended(parent, signal_to_parent)
    if scenario == "worker killed":  # the dead worker's slots are unmapped with the other's
        assert re.search(r"raised worker \d \(pid \d+\) ended with exit code -9 and maps 0 "
                         r"slots", output), errors
    if signal_to_parent == "SIGINT":
        assert "KeyboardInterrupt" in errors
    assert set(os.listdir("/dev/shm")) <= shm_before  # slots are never named there


def ended(parent, signal_to_parent):
    """Signals the training process, and checks that it and its workers end."""
    try:
        workers = [psutil.Process(int(pid)) for pid in parent.stdout.readline().split()]
        assert len(workers) == 2
        if signal_to_parent:
            parent.send_signal(getattr(signal, signal_to_parent))
        else:
            workers[0].kill()
        # Bounds far above what each takes (well under a second), far below a hang.
        parent.wait(timeout=8)
        _, alive = psutil.wait_procs(workers, timeout=8)
        assert not alive, f"workers left behind: {alive}"
    finally:
        parent.kill()
        parent.wait()
    return parent.stdout.read(), parent.stderr.read()


class ClusterThatLostItsWorker:
    """A Dask client whose one worker dies once its actor is placed: the actor's key is lost,
    and calls to the actor never answer."""

    status = "lost"

    def scheduler_info(self):
        return {"workers": {"tcp://127.0.0.1:9": {}}}

    def submit(self, *args, **kwargs):  # the actor's key, whose result is the actor
        return self

    def result(self, timeout=None):
        return self

    def sample(self, *task):
        return NeverAnswered()

    def release(self):
        pass


class NeverAnswered:
    def result(self, timeout=None):
        if timeout is None:
            raise AssertionError("an answer awaited without a bound never comes")
        time.sleep(timeout)
        raise TimeoutError


def test_a_lost_dask_actor_surfaces_instead_of_being_awaited_forever(folder):
    from corvane_data.dask import DaskWorkers

    loader = SeedLoader(folder, "user", np.arange(10), num_neighbors=[2],
                        workers=DaskWorkers.on(ClusterThatLostItsWorker()))
    with pytest.raises(RuntimeError, match=r"actor of worker 0 on tcp://127.0.0.1:9 is lost"):
        list(loader)


@pytest.mark.parametrize("batch_seconds, num_batches, cores, expected", [
    (0.005, 1000, 2, 2),     # long batches, a long epoch: a process per core
    (0.005, 1000, 64, 8),    # at most eight
    (0.005, 1000, 1, 0),     # one core: nothing to run them on
    (0.0005, 100_000, 4, 0),  # short batches: moving them costs more than they gain
    (0.005, 100, 4, 0),      # a short epoch never repays starting them
])
def test_auto_starts_workers_only_where_they_pay_off(batch_seconds, num_batches, cores, expected):
    assert auto_workers(batch_seconds, num_batches, cores) == expected


def test_auto_on_a_small_graph_samples_here_and_gives_the_same_batches(folder):
    options = {"num_neighbors": [3, 2], "batch_size": 4, "shuffle": True, "seed": 3}
    with SeedLoader(folder, "user", np.arange(40), num_workers="auto", **options) as auto:
        batches = list(auto)
        assert auto.num_workers == 0 and isinstance(auto._workers, InProcess)
    in_memory = SeedLoader(rating_events(), "user", np.arange(40), num_workers="auto", **options)
    assert in_memory.num_workers == 0  # no folder to map: no workers, and no error
    same_batches(batches, list(in_memory))
