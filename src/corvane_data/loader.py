"""A seed-batch loader: seeds in batches, sampled in this process or in worker processes.

Batch ``i`` of an epoch goes to worker ``i % num_workers``; every worker
samples its batches in order with a sampler of its own, built for the epoch
with the seed ``derived_seed(seed, 1, epoch, worker)``. Results therefore
depend on the loader's seed, the epoch and the number of workers, and on
nothing else (not on timing): the same seed and worker count give the same
batches, and no two workers ever share an engine state. With no workers the
loader samples in this process as worker 0 would, so 0 and 1 workers agree.
"""

from __future__ import annotations

import fcntl
import multiprocessing
import os
import pickle
from collections.abc import Callable, Iterator, Mapping, Sequence
from multiprocessing.connection import Connection
from pathlib import Path
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from corvane_data.batches import MiniBatch
from corvane_data.sampling import BatchSampler, GraphSource, Request, derived_seed, sampling_request
from corvane_data.storage import load_graph
from corvane_data.tables import GraphArrays, Int64Array


class Workers(Protocol):
    """Where batches are sampled: this process, worker processes or a cluster's actors."""

    count: int

    def start_epoch(self, seeds: list[int]) -> None: ...

    def submit(self, worker: int, index: int, seed_ids: Int64Array, seed_time: Int64Array) -> None: ...

    def receive(self, worker: int) -> MiniBatch: ...

    def close(self) -> None: ...


class SeedLoader:
    """Iterates over seeds in mini-batches, one epoch per iteration.

    Parameters
    ----------
    graph : GraphArrays or path
        The graph, or the folder :func:`~corvane_data.save_graph` wrote.
        Worker processes need the folder: each maps it read-only, so the
        graph's pages are held once for all of them.
    seed_type : str
        The node type of the seeds.
    seeds : array of int
        The seed ids of one epoch.
    seed_time : array of int, optional
        One time per seed; without it, sampling by time uses the seed type's
        ``node_time`` where it has one.
    num_neighbors : sequence of int, or mapping of edge type to sequence of int
        Neighbours per hop; a plain sequence applies to every edge type
        without a time window.
    time_offsets : mapping of edge type to sequence of (lower, upper), optional
        Time windows per hop for the edge types sampled by window.
    batch_size : int
        Seeds per batch.
    shuffle : bool
        Shuffle the seeds each epoch with the loader's own generator, seeded
        from ``seed`` and the epoch.
    drop_last : bool
        Leave out a last batch smaller than ``batch_size``.
    seed : int
        The one seed that the shuffle and every worker's sampler derive from.
    num_workers : int
        Worker processes (0: sample in this process).
    start_method : str
        ``"forkserver"`` or ``"spawn"``; workers never inherit this process's
        state (and its samplers' engines) by ``fork``.
    prefetch : int
        Batches each worker samples ahead of the one being consumed.
    workers : callable, optional
        Makes the workers from the loader, to sample somewhere else:
        ``corvane_data.dask.DaskWorkers.on(client)`` samples on a Dask
        cluster. Overrides ``num_workers``.

    Examples
    --------
    >>> import numpy as np
    >>> from corvane_data import build_graph
    >>> graph = build_graph({"a": 4}, {("a", "r", "a"): (np.array([1, 2, 3]), np.array([0, 0, 1]))})
    >>> loader = SeedLoader(graph, "a", np.arange(4), num_neighbors=[2], batch_size=3)
    >>> len(loader), [batch.seed_ids.tolist() for batch in loader]
    (2, [[0, 1, 2], [3]])
    """

    def __init__(self, graph: GraphSource, seed_type: str, seeds: npt.ArrayLike,
                 seed_time: npt.ArrayLike | None = None, *,
                 num_neighbors: Sequence[int] | Mapping[Any, Sequence[int]] | None = None,
                 time_offsets: Mapping[Any, Sequence[tuple[int | None, int]]] | None = None,
                 batch_size: int = 512, shuffle: bool = False, drop_last: bool = False,
                 seed: int = 0, num_workers: int = 0, start_method: str = "forkserver",
                 prefetch: int = 2,
                 workers: Callable[[SeedLoader], Workers] | None = None) -> None:
        if batch_size < 1 or num_workers < 0 or prefetch < 1 or seed < 0:
            raise ValueError("batch_size and prefetch must be positive, num_workers and seed "
                             "not negative")
        if start_method not in ("forkserver", "spawn"):
            raise ValueError(f"start_method must be 'forkserver' or 'spawn', not {start_method!r}")
        self.seeds = np.ascontiguousarray(seeds, dtype=np.int64)
        self.seed_time = np.ascontiguousarray([] if seed_time is None else seed_time, dtype=np.int64)
        if self.seeds.ndim != 1 or (self.seed_time.size and self.seed_time.shape != self.seeds.shape):
            raise ValueError("seeds must be 1-D and seed_time empty or one time per seed")
        self.graph = graph if isinstance(graph, GraphArrays) else load_graph(Path(graph))
        if seed_type not in self.graph.node_types:
            raise ValueError(f"seed type {seed_type!r} is not a node type of the graph")
        self.folder = None if isinstance(graph, GraphArrays) else Path(graph)
        if num_workers and workers is None and self.folder is None:
            raise ValueError("workers map the graph from its folder: save_graph it and pass the folder")
        self.seed_type = seed_type
        self.request: Request = sampling_request(self.graph.edge_types, num_neighbors, time_offsets)
        self.batch_size, self.shuffle, self.drop_last = batch_size, shuffle, drop_last
        self.seed, self.num_workers, self.start_method = seed, num_workers, start_method
        self.prefetch = prefetch
        self.epoch = 0  # the epoch the next iteration runs; set it to resume elsewhere
        self._make_workers = workers
        self._workers: Workers | None = None

    def __len__(self) -> int:
        """Batches per epoch."""
        full, rest = divmod(len(self.seeds), self.batch_size)
        return full + (1 if rest and not self.drop_last else 0)

    def __iter__(self) -> Iterator[MiniBatch]:
        epoch, self.epoch = self.epoch, self.epoch + 1
        return self._epoch(epoch)

    def order(self, epoch: int) -> Int64Array:
        """The positions of the seeds in the order epoch ``epoch`` visits them."""
        if not self.shuffle:
            return np.arange(len(self.seeds), dtype=np.int64)
        generator = np.random.default_rng(np.random.SeedSequence(self.seed, spawn_key=(0, epoch)))
        return generator.permutation(len(self.seeds)).astype(np.int64)

    def close(self) -> None:
        """Stops the worker processes (a new iteration starts them again)."""
        if self._workers is not None:
            self._workers.close()
            self._workers = None

    def __enter__(self) -> SeedLoader:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - interpreter shutdown may have torn down the pool
            pass

    def _epoch(self, epoch: int) -> Iterator[MiniBatch]:
        workers = self._started()
        order = self.order(epoch)
        batches = [order[start:start + self.batch_size] for start in range(0, len(order), self.batch_size)]
        batches = batches[:len(self)]
        workers.start_epoch([derived_seed(self.seed, 1, epoch, number) for number in range(workers.count)])
        ahead = workers.count * self.prefetch
        submitted = 0
        received = 0
        try:
            for index in range(len(batches)):
                while submitted < min(len(batches), index + ahead):
                    self._submit(workers, submitted, batches[submitted])
                    submitted += 1
                try:
                    batch = workers.receive(index % workers.count)
                except BaseException:  # a failed worker: start afresh next time
                    self.close()
                    raise
                received += 1
                yield batch
        except GeneratorExit:  # an epoch left early: take what the workers still owe
            for index in range(received, submitted):
                workers.receive(index % workers.count)
            raise

    def _submit(self, workers: Workers, index: int, positions: Int64Array) -> None:
        seed_time = self.seed_time[positions] if self.seed_time.size else self.seed_time
        workers.submit(index % workers.count, index, self.seeds[positions], seed_time)

    def _started(self) -> Workers:
        if self._workers is None:
            if self._make_workers is not None:
                self._workers = self._make_workers(self)
            elif self.num_workers == 0:
                self._workers = _InProcess(BatchSampler(self.graph, self.seed_type, self.request))
            else:
                assert self.folder is not None
                self._workers = ProcessWorkers(self.folder, self.seed_type, self.request,
                                               self.num_workers, self.start_method)
        return self._workers


class _InProcess:
    """Samples in this process, as worker 0."""

    count = 1

    def __init__(self, sampler: BatchSampler) -> None:
        self.sampler = sampler
        self.pending: list[tuple[int, Int64Array, Int64Array]] = []

    def start_epoch(self, seeds: list[int]) -> None:
        self.sampler.start_epoch(seeds[0])

    def submit(self, worker: int, index: int, seed_ids: Int64Array, seed_time: Int64Array) -> None:
        self.pending.append((index, seed_ids, seed_time))

    def receive(self, worker: int) -> MiniBatch:
        return self.sampler.sample(*self.pending.pop(0))

    def close(self) -> None:
        self.pending.clear()


class ProcessWorkers:
    """Worker processes, each with its own task queue and result pipe so that results come in order.

    A batch's arrays cross the pipe as raw bytes beside a small pickled header
    (pickle's out-of-band buffers), straight from the worker's arrays into the
    parent's: no pickled copy on either side. The pipe's kernel buffer is
    widened to ``PIPE_BYTES``, so that megabytes cross in a few writes instead
    of one context switch per 64 KiB.
    """

    def __init__(self, folder: Path, seed_type: str, request: Request, count: int,
                 start_method: str, timeout: float = 600.0) -> None:
        context: Any = multiprocessing.get_context(start_method)
        self.count = count
        self.timeout = timeout
        self.tasks = [context.Queue() for _ in range(count)]
        pipes = [context.Pipe(duplex=False) for _ in range(count)]
        self.results: list[Connection] = [reader for reader, _ in pipes]
        for reader in self.results:
            _widen(reader)
        self.processes = [context.Process(target=_worker_main, daemon=True,
                                          args=(str(folder), seed_type, request, tasks, writer))
                          for tasks, (_, writer) in zip(self.tasks, pipes)]
        for process in self.processes:
            process.start()
        for _, writer in pipes:
            writer.close()  # the workers hold their ends; a dead worker's pipe then reads EOF

    def start_epoch(self, seeds: list[int]) -> None:
        for tasks, seed in zip(self.tasks, seeds):
            tasks.put(("epoch", seed))

    def submit(self, worker: int, index: int, seed_ids: Int64Array, seed_time: Int64Array) -> None:
        self.tasks[worker].put(("batch", index, seed_ids, seed_time))

    def receive(self, worker: int) -> MiniBatch:
        results = self.results[worker]
        waited = 0.0
        while not results.poll(1.0):
            waited += 1.0
            if waited >= self.timeout:
                raise TimeoutError(f"worker {worker} sent nothing for {waited:.0f} s")
        try:
            kind, payload, sizes = results.recv()
            buffers = [bytearray(size) for size in sizes]
            for buffer in buffers:
                results.recv_bytes_into(buffer)
        except (EOFError, OSError):
            process = self.processes[worker]
            process.join(timeout=5)
            raise RuntimeError(f"worker {worker} (pid {process.pid}) ended with exit code "
                               f"{process.exitcode}") from None
        if kind == "error":
            raise RuntimeError(f"worker {worker} failed:\n{payload}")
        batch: MiniBatch = pickle.loads(payload, buffers=buffers)
        return batch

    def close(self) -> None:
        for tasks in self.tasks:
            tasks.put(None)
        for process in self.processes:
            process.join(timeout=10)
            if process.is_alive():
                process.kill()
                process.join()
        for tasks in self.tasks:
            tasks.close()
            tasks.join_thread()
        for results in self.results:
            results.close()


PIPE_BYTES = 1 << 20


def _widen(connection: Connection) -> None:
    """Asks for a ``PIPE_BYTES`` kernel buffer (Linux); elsewhere, or if refused, keeps the default."""
    try:
        fcntl.fcntl(connection.fileno(), fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    except (AttributeError, OSError):
        pass


def _send_batch(results: Connection, batch: MiniBatch) -> None:
    buffers: list[pickle.PickleBuffer] = []
    header = pickle.dumps(batch, protocol=5, buffer_callback=buffers.append)
    raw = [buffer.raw() for buffer in buffers]
    results.send(("batch", header, [view.nbytes for view in raw]))
    for view in raw:
        results.send_bytes(view)


def _worker_main(folder: str, seed_type: str, request: Request, tasks: Any,
                 results: Connection) -> None:
    """A worker process: maps the graph once and samples the batches it is sent, in order."""
    import traceback

    sampler = BatchSampler(folder, seed_type, request)
    while (task := tasks.get()) is not None:
        try:
            if task[0] == "epoch":
                sampler.start_epoch(task[1])
            else:
                _send_batch(results, sampler.sample(*task[1:]))
        except Exception:  # noqa: BLE001 - reported to the parent, which raises it
            results.send(("error", f"{traceback.format_exc()}(in process {os.getpid()})", []))
