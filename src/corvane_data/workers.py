"""Where batches are sampled: in this process or in worker processes, behind one small interface.

A loader hands each worker its batches, each with its own sampler seed, in
order, and takes the batches back in the same order (:class:`Workers`). Worker processes are
owned by their :class:`ProcessWorkers` and end with it, or with the process
that started them:

- ``close()`` ends every worker at once (SIGTERM, then SIGKILL for one that
  has not ended within ``GRACE`` seconds), whatever it is doing: a worker
  holds nothing that needs a clean exit.
- Only the parent holds the writing end of a worker's task pipe and the
  reading end of its result pipe. When the parent dies, however it dies, the
  worker reads the end of its tasks or fails to write its result, and ends.
- A worker ignores SIGINT: Ctrl-C in a terminal reaches the whole process
  group, and the parent decides what an interrupt ends.
- Tasks are written by a thread of the parent's own, so the parent never
  blocks on a worker that is still writing a batch the parent has not read;
  a dead worker's task pipe fails to write instead of filling up.
- Batches cross in shared memory without names (:mod:`corvane_data.transport`):
  a slot lives as long as the mappings of the processes that use it, so
  nothing of it outlives them, however they end; the parent unmaps its own
  when the workers close.
"""

from __future__ import annotations

import multiprocessing
import os
import queue
import signal
import socket
import threading
import time
import traceback
from collections import deque
from collections.abc import Mapping
from multiprocessing.connection import Connection, wait
from pathlib import Path
from typing import Any, Protocol

import numpy as np

from corvane_data import transport
from corvane_data.sampling import Recipe, Sampler

GRACE = 1.0  # seconds a terminated worker gets before it is killed
# Slots per worker beyond its prefetch: one for the batch a loop holds while the next
# arrives, one for a release still on its way back to the worker.
SPARE_SLOTS = 2


# num_workers="auto": when worker processes pay off, from bench/toolkit.py's
# worker figures on a 2-core machine. Below about 2 ms of sampling a batch
# in this process, moving it costs more than a second core gains (128 seeds:
# 2 workers 0.24-0.38x in-process with an idle loop, 0.88-0.93x beside a
# 10 ms step); from there on they gain beside a step (2.4 ms: 1.13x; 4.7 ms:
# 1.35x). Starting workers takes about a second (a process per worker, each
# mapping the graph), which an epoch shorter than a few seconds never
# repays.
AUTO_BATCH_SECONDS = 0.002
AUTO_EPOCH_SECONDS = 3.0
AUTO_MOST_WORKERS = 8


def usable_cores() -> int:
    """The cores this process may run on (its affinity where the system tells it)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def auto_workers(batch_seconds: float, num_batches: int, cores: int) -> int:
    """How many worker processes ``num_workers="auto"`` starts: one per core, or none.

    None where a batch takes under ``AUTO_BATCH_SECONDS`` to sample in this
    process, where an epoch takes under ``AUTO_EPOCH_SECONDS`` in all, or
    on a single core; one per core otherwise (at most
    ``AUTO_MOST_WORKERS``): the sampler is single-threaded and memory-bound,
    so a process per core is what scales, and the training loop waits on
    them more than it computes beside them.

    >>> auto_workers(0.005, 1000, cores=2), auto_workers(0.0005, 1000, cores=2)
    (2, 0)
    """
    if (cores < 2 or batch_seconds < AUTO_BATCH_SECONDS
            or batch_seconds * num_batches < AUTO_EPOCH_SECONDS):
        return 0
    return min(cores, AUTO_MOST_WORKERS)


class Timings:
    """Seconds spent per phase of the last ``KEPT`` batches received, for benchmarks.

    Phases (those a setting has): ``worker waits`` for a task, ``sampling``
    (the sampler's calls), ``building`` the batch of their results,
    ``worker sends`` (reading the parent's messages, pickling the batch's
    header and laying its arrays into shared memory; not the pipe's writes),
    ``parent waits`` for it, ``parent receives`` it (reads the header and
    makes the views, or reads the arrays from the pipe). They are kept in a
    table made once, so that timing adds nothing to memory batch by batch.
    """

    KEPT = 4096
    PHASES = ("worker waits", "sampling", "building", "worker sends", "parent waits",
              "parent receives")

    def __init__(self) -> None:
        self._table = np.full((self.KEPT, len(self.PHASES)), np.nan)
        self._added = 0

    def add(self, phases: Mapping[str, float]) -> None:
        row = self._table[self._added % self.KEPT]
        row[:] = np.nan
        for column, phase in enumerate(self.PHASES):
            if phase in phases:
                row[column] = phases[phase]
        self._added += 1

    def median(self) -> dict[str, float]:
        """The median batch's seconds in each phase that the batches have."""
        rows = self._table[:min(self._added, self.KEPT)]
        return {phase: float(np.median(values[~np.isnan(values)]))
                for phase, values in zip(self.PHASES, rows.T) if (~np.isnan(values)).any()}

    def clear(self) -> None:
        self._added = 0


def timings_of(sampler: Sampler) -> dict[str, float]:
    """What a sampler says of its last call's phases (nothing, for one that does not time them)."""
    timings: dict[str, float] = getattr(sampler, "timings", {})
    return timings


class Workers(Protocol):
    """Where batches are sampled: this process, worker processes or a cluster's actors."""

    count: int

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        """Queues batch ``index`` on ``worker``: its sampler seed and its task's rows."""

    def receive(self, worker: int) -> Any:
        """The next batch of ``worker``, in the order submitted."""

    def close(self) -> None: ...


class InProcess:
    """Samples in this process, as worker 0."""

    count = 1

    def __init__(self, sampler: Sampler) -> None:
        self.sampler = sampler
        self.pending: list[tuple[Any, ...]] = []
        self.timings = Timings()

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        self.pending.append((index, seed, *rows))

    def receive(self, worker: int) -> Any:
        batch = self.sampler.sample(*self.pending.pop(0))
        self.timings.add(timings_of(self.sampler))
        return batch

    def close(self) -> None:
        self.pending.clear()


class ProcessWorkers:
    """Worker processes, each with its own task pipe and result pipe, so that results come in order.

    Starting them is all or nothing: if one fails to start, those already
    started are ended before the error propagates.

    A batch's arrays are views of one of its worker's shared-memory slots
    until the batch is released; each worker has up to ``prefetch +
    SPARE_SLOTS`` slots, and while the batches kept alive fill them all, the
    next ones come through the pipe, in memory of their own. Either way a
    batch's arrays are its own: no later batch ever writes into them.
    """

    def __init__(self, folder: Path, recipe: Recipe, count: int, start_method: str,
                 timeout: float = 600.0, prefetch: int = 2) -> None:
        context: Any = multiprocessing.get_context(start_method)
        self.count = count
        self.timeout = timeout
        self.processes: list[Any] = []
        self.tasks: list[Connection] = []
        self.results: list[Connection] = []
        self.pools: list[transport.SlotPool] = []
        self.timings = Timings()
        self._slots = prefetch + SPARE_SLOTS
        self._closed = False
        self._sender = _TaskSender(self.tasks)
        try:
            for _ in range(count):
                self._start_one(context, (str(folder), recipe))
        except BaseException:
            self.close()
            raise

    def _start_one(self, context: Any, arguments: tuple[str, Recipe]) -> None:
        task_reader, task_writer = context.Pipe(duplex=False)
        result_reader, result_writer = context.Pipe(duplex=False)
        grants, worker_grants = socket.socketpair()
        worker, sender = len(self.tasks), self._sender
        self.tasks.append(task_writer)
        self.results.append(result_reader)
        self.pools.append(transport.SlotPool(
            lambda message: sender.send(worker, message), grants, self._slots))
        transport.widen(result_reader)
        try:
            process = context.Process(target=_worker_main, daemon=True,
                                      args=(*arguments, task_reader, result_writer, worker_grants))
            process.start()
            self.processes.append(process)
        finally:  # the worker holds these ends now; only it may read tasks and write results
            task_reader.close()
            result_writer.close()
            worker_grants.close()

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        self._sender.send(worker, ("task", (index, seed, *rows)))

    def receive(self, worker: int) -> Any:
        results = self.results[worker]
        start = time.perf_counter()
        waited = 0.0
        while not results.poll(1.0):
            waited += 1.0
            if waited >= self.timeout:
                raise TimeoutError(f"worker {worker} sent nothing for {waited:.0f} s")
        arrived = time.perf_counter()
        try:
            received, timings = self.pools[worker].receive(results)
        except (EOFError, OSError):
            process = self.processes[worker]
            process.join(timeout=GRACE)
            raise RuntimeError(f"worker {worker} (pid {process.pid}) ended with exit code "
                               f"{process.exitcode}") from None
        if isinstance(received, transport.Failure):
            raise RuntimeError(f"worker {worker} failed:\n{received}")
        self.timings.add({**timings, "parent waits": arrived - start,
                          "parent receives": time.perf_counter() - arrived})
        return received

    def close(self) -> None:
        """Ends every worker now; takes at most about ``2 * GRACE`` seconds. Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._sender.stop()
        for process in self.processes:
            if process.is_alive():
                process.terminate()
        _join_all(self.processes, GRACE)
        for process in self.processes:
            if process.is_alive():
                process.kill()
        _join_all(self.processes, GRACE)
        self._sender.join(GRACE)  # its pipes have no readers left, so a write fails at once
        for connection in (*self.tasks, *self.results):
            connection.close()
        for pool in self.pools:
            pool.close()
        for process in self.processes:
            if process.exitcode is not None:
                process.close()


def _join_all(processes: list[Any], timeout: float) -> None:
    """Waits up to ``timeout`` seconds in all for the processes to end."""
    alive = [process.sentinel for process in processes if process.is_alive()]
    if alive:
        wait(alive, timeout)
    for process in processes:
        if not process.is_alive():
            process.join()


class _TaskSender:
    """Writes tasks into the workers' pipes from a thread, in the order they were sent.

    In order, one thread is enough: the loader waits for batch ``i`` only
    after sending every task up to ``i``, so the task this thread is blocked
    on is never one that the awaited batch depends on.
    """

    def __init__(self, pipes: list[Connection]) -> None:
        self._pipes = pipes
        self._queue: queue.SimpleQueue[tuple[int, Any] | None] = queue.SimpleQueue()
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name="corvane-task-sender", daemon=True)
        self._thread.start()

    def send(self, worker: int, task: Any) -> None:
        self._queue.put((worker, task))

    def stop(self) -> None:
        """Sends nothing more; what is queued is dropped."""
        self._stopped = True
        self._queue.put(None)

    def join(self, timeout: float) -> None:
        self._thread.join(timeout)

    def _run(self) -> None:
        broken: set[int] = set()
        while (item := self._queue.get()) is not None and not self._stopped:
            worker, task = item
            if worker in broken:
                continue
            try:
                self._pipes[worker].send(task)
            except (OSError, ValueError):  # the worker is gone: its result pipe tells the loader
                broken.add(worker)


def _worker_main(folder: str, recipe: Recipe, tasks: Connection, results: Connection,
                 grants: socket.socket) -> None:
    """A worker process: maps the graph once and samples the batches it is sent, in order.

    Its task pipe brings tasks and the parent's messages about its slots (a
    new slot, whose descriptor comes through ``grants``; a slot freed); the
    worker reads what has come before it sends each batch, so that a slot
    freed while it sampled serves that batch.

    It ends when its task pipe ends (the parent closed it, or died) or its
    result pipe has no reader left.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        _serve(folder, recipe, tasks, results, grants)
    except (ConnectionError, EOFError):  # the parent is gone or stopped reading: nobody to tell
        return


def _serve(folder: str, recipe: Recipe, tasks: Connection, results: Connection,
           grants: socket.socket) -> None:
    try:
        sampler = recipe.make(folder)
    except Exception:  # noqa: BLE001 - reported to the parent, which raises it
        transport.send_error(results, _report())
        return
    slots = transport.WorkerSlots(grants)
    pending: deque[tuple[Any, ...]] = deque()

    def take(message: tuple[Any, ...]) -> None:
        if message[0] == "task":
            pending.append(message[1])
        else:
            slots.take(message)

    while True:
        start = time.perf_counter()
        while not pending:
            take(tasks.recv())
        waited = time.perf_counter() - start
        try:
            batch = sampler.sample(*pending.popleft())
            start = time.perf_counter()
            while tasks.poll():
                take(tasks.recv())
            slots.send(results, batch, {"worker waits": waited, **timings_of(sampler)}, start)
        except (ConnectionError, EOFError):
            raise
        except Exception:  # noqa: BLE001 - reported to the parent, which raises it
            transport.send_error(results, _report())


def _report() -> str:
    return f"{traceback.format_exc()}(in process {os.getpid()})"
