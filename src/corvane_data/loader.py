"""Loaders: a task's rows in batches, sampled in this process or in worker processes.

:class:`BatchLoader` is the machinery every loader shares (epochs, shuffles,
workers); a loader over it says what a batch's rows are and what a worker
makes of them: :class:`SeedLoader` for seed nodes, and
:class:`~corvane_data.links.LinkLoader` for pairs.

Batch ``i`` of epoch ``e`` is sampled by a sampler of its own, seeded with
``derived_seed(seed, 1, e, i)``, wherever it is sampled. A batch therefore
depends on the loader's seed, the epoch and its index, and on nothing else:
not on timing, not on the number of worker processes, not on the size of a
Dask cluster. In-process, 1 or N workers and a cluster of any size give the
same batches, and :meth:`SeedLoader.batch` gives any one of them alone.

One epoch runs at a time per loader: starting a new iteration ends the live
one, whose iterator then stops, and every batch goes to the iterator of its
own epoch.
"""

from __future__ import annotations

import dataclasses
import inspect
import time
from collections.abc import Callable, Generator, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, Self

import numpy as np
import numpy.typing as npt

from corvane_data.arguments import integer, integer_array
from corvane_data.batches import MiniBatch
from corvane_data.sampling import (
    BatchSampler,
    GraphSource,
    Recipe,
    Request,
    derived_seed,
    sampling_request,
)
from corvane_data.storage import load_graph
from corvane_data.tables import GraphArrays, Int64Array, edge_type_key
from corvane_data.tasks import NodeTask
from corvane_data.times import time_array
from corvane_data.workers import InProcess, ProcessWorkers, Workers, auto_workers, usable_cores


class BatchLoader[Batch]:
    """Iterates over a task's rows in batches, one epoch per iteration; what loaders share.

    A loader says how many rows its task has (:meth:`_num_rows`), what a
    worker makes (``recipe``), what a batch's rows are (:meth:`_rows_of`) and
    which per-row arrays travel with them (``labels``).
    Everything else is here: the seeded shuffle, ``drop_last``, per-batch
    sampler seeds, :meth:`batch`, and the workers (in-process, processes, or
    any :class:`~corvane_data.workers.Workers`).
    """

    recipe: Recipe
    labels: dict[str, npt.NDArray[Any]]  # per-row arrays that travel with the rows

    def __init__(self, graph: GraphSource, *, batch_size: int, shuffle: bool, drop_last: bool,
                 seed: int, num_workers: int | str, start_method: str, prefetch: int,
                 workers: Callable[[Any], Workers] | None) -> None:
        self.batch_size = integer("batch_size", batch_size, minimum=1)
        self.auto_workers = isinstance(num_workers, str) and num_workers == "auto"
        if isinstance(num_workers, str) and not self.auto_workers:
            raise ValueError(f"num_workers must be a non-negative integer or 'auto', not {num_workers!r}")
        self.num_workers = 0 if self.auto_workers else integer("num_workers", num_workers,
                                                               minimum=0)
        self.prefetch = integer("prefetch", prefetch, minimum=1)
        self.seed = integer("seed", seed, minimum=0)
        if start_method not in ("forkserver", "spawn"):
            raise ValueError(f"start_method must be 'forkserver' or 'spawn', not {start_method!r}")
        self.graph = graph if isinstance(graph, GraphArrays) else load_graph(Path(graph))
        self.folder = None if isinstance(graph, GraphArrays) else Path(graph)
        if self.num_workers and workers is None and self.folder is None:
            raise ValueError("workers map the graph from its folder: save_graph it and pass the folder")
        self.shuffle, self.drop_last, self.start_method = shuffle, drop_last, start_method
        self.epoch = 0  # the epoch the next iteration runs; set it to resume elsewhere
        self._make_workers = workers
        self._workers: Workers | None = None
        self._live: Generator[Batch] | None = None
        self._own_worker: InProcess | None = None

    def _num_rows(self) -> int:
        raise NotImplementedError

    def _rows_of(self, epoch: int, index: int, positions: Int64Array) -> tuple[Any, ...]:
        """What a worker needs of batch ``index``'s rows, after its index and sampler seed."""
        raise NotImplementedError

    def _finished(self, batch: Any, positions: Int64Array) -> Batch:
        """The batch as it came from its worker, with its rows' positions, labels and the key maps."""
        finished: Batch = dataclasses.replace(
            batch, labels={name: values[positions] for name, values in self.labels.items()},
            key_maps=self.graph.keys, input_id=positions.copy())
        return finished

    def __len__(self) -> int:
        """Batches per epoch."""
        full, rest = divmod(self._num_rows(), self.batch_size)
        return full + (1 if rest and not self.drop_last else 0)

    def __iter__(self) -> Iterator[Batch]:
        """The next epoch's batches; a live iterator of an earlier epoch ends first."""
        self._end_live_epoch()
        epoch, self.epoch = self.epoch, self.epoch + 1
        self._live = self._epoch(epoch)
        return self._live

    def order(self, epoch: int) -> Int64Array:
        """The positions of the rows in the order epoch ``epoch`` visits them."""
        if not self.shuffle:
            return np.arange(self._num_rows(), dtype=np.int64)
        generator = np.random.default_rng(np.random.SeedSequence(self.seed, spawn_key=(0, epoch)))
        return generator.permutation(self._num_rows()).astype(np.int64)

    def batch(self, epoch: int, index: int) -> Batch:
        """Batch ``index`` of epoch ``epoch``, sampled alone in this process.

        It equals the batch that iterating over that epoch gives, with any
        number of workers: to look at one bad batch, reproduce it here.
        """
        epoch = integer("epoch", epoch, minimum=0)
        index = integer("index", index, minimum=0)
        if index >= len(self):
            raise IndexError(f"batch {index} of an epoch of {len(self)} batches")
        if self._own_worker is None:
            self._own_worker = InProcess(self.recipe.make(self.graph))
        positions = self._positions(self.order(epoch), index)
        self._submit(self._own_worker, epoch, index, positions)
        return self._finished(self._own_worker.receive(0), positions)

    def close(self) -> None:
        """Ends the live epoch and stops the worker processes (a new iteration starts them again)."""
        self._stop_workers()
        self._end_live_epoch()

    def _stop_workers(self) -> None:
        if self._workers is not None:
            workers, self._workers = self._workers, None
            workers.close()

    def _end_live_epoch(self) -> None:
        live, self._live = self._live, None
        if live is not None and inspect.getgeneratorstate(live) != inspect.GEN_RUNNING:
            live.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - interpreter shutdown may have torn down the pool
            pass

    def _epoch(self, epoch: int) -> Generator[Batch]:
        workers = self._started()
        order = self.order(epoch)
        batches = [self._positions(order, index) for index in range(len(self))]
        ahead = workers.count * self.prefetch
        submitted = 0
        received = 0
        try:
            for index in range(len(batches)):
                while submitted < min(len(batches), index + ahead):
                    self._submit(workers, epoch, submitted, batches[submitted])
                    submitted += 1
                try:
                    batch = workers.receive(index % workers.count)
                except BaseException:  # a failed worker or an interrupt: start afresh next time
                    self._stop_workers()
                    raise
                received += 1
                yield self._finished(batch, batches[index])
        except GeneratorExit:  # an epoch left early: take what the workers still owe
            self._drain(workers, range(received, submitted))
            raise

    def _choose_workers(self) -> int:
        """For ``num_workers="auto"``: times the first batch here, twice, and follows the rule.

        Sets ``num_workers`` to the choice (0 without a folder to map).
        """
        self.auto_workers = False
        if self.folder is None or not len(self):
            return 0
        seconds = []
        for _ in range(2):  # the first call also warms the sampler's storage
            start = time.perf_counter()
            self.batch(0, 0)
            seconds.append(time.perf_counter() - start)
        self.num_workers = auto_workers(min(seconds), len(self), usable_cores())
        return self.num_workers

    def _positions(self, order: Int64Array, index: int) -> Int64Array:
        return order[index * self.batch_size:(index + 1) * self.batch_size]

    def _drain(self, workers: Workers, indices: range) -> None:
        """Receives and drops the batches ``indices``, so the next epoch starts from none owed.

        Workers that the loader has stopped owe nothing; workers that fail
        here are stopped, and the next epoch starts new ones.
        """
        if workers is not self._workers:
            return
        try:
            for index in indices:
                workers.receive(index % workers.count)
        except Exception:  # noqa: BLE001 - the error belongs to an epoch that was given up
            self._stop_workers()

    def _submit(self, workers: Workers, epoch: int, index: int, positions: Int64Array) -> None:
        workers.submit(index % workers.count, index, derived_seed(self.seed, 1, epoch, index),
                       *self._rows_of(epoch, index, positions))

    def _started(self) -> Workers:
        if self._workers is None:
            if self._make_workers is not None:
                self._workers = self._make_workers(self)
            elif self.auto_workers and not self._choose_workers():
                self._workers = InProcess(self.recipe.make(self.graph))
            elif self.num_workers == 0:
                self._workers = InProcess(self.recipe.make(self.graph))
            else:
                assert self.folder is not None
                self._workers = ProcessWorkers(self.folder, self.recipe, self.num_workers,
                                               self.start_method, prefetch=self.prefetch)
        return self._workers


class SeedLoader(BatchLoader[MiniBatch]):
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
    seed_time : array of int or datetimes, optional
        One time per seed (datetimes where the graph has a ``time_unit``);
        without it, sampling by time uses the seed type's ``node_time`` where
        it has one.
    num_neighbors : sequence of int, or mapping of edge type to sequence of int
        Neighbours per hop; a plain sequence applies to every edge type
        without a time window.
    time_offsets : mapping of edge type to sequence of (lower, upper), optional
        Time windows per hop for the edge types sampled by window: integers,
        or durations (``timedelta``) where the graph has a ``time_unit``.
    batch_size : int
        Seeds per batch.
    shuffle : bool
        Shuffle the seeds each epoch with the loader's own generator, seeded
        from ``seed`` and the epoch.
    drop_last : bool
        Leave out a last batch smaller than ``batch_size``.
    labels : mapping of str to array, optional
        Per-seed arrays (labels, weights, any payload with one row per seed)
        that travel with the seeds: a batch's ``labels[name]`` holds the rows
        of its seeds, in the batch's seed order.
    seed : int
        The one seed that the shuffle and every batch's sampler derive from.
    num_workers : int or "auto"
        Worker processes (0: sample in this process). ``"auto"`` times the
        first batch in this process when the first epoch starts and starts
        one worker per core where that pays off
        (:func:`corvane_data.workers.auto_workers`: batches of 2 ms or more,
        epochs of 3 s or more, at least two cores), none otherwise;
        ``num_workers`` then holds the choice. A worker's batch
        arrives without a copy: its arrays are views of shared memory of
        that worker's, which goes back to the worker once every array of
        the batch (and every view of one) is released. While
        ``prefetch + 2`` batches of a worker are kept alive at once (an
        epoch kept in a list, say), its next ones arrive copied into memory
        of their own. Either way a batch's arrays are its own, writable and
        never written into by the loader.
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
                 labels: Mapping[str, npt.ArrayLike] | None = None,
                 batch_size: int = 512, shuffle: bool = False, drop_last: bool = False,
                 seed: int = 0, num_workers: int | str = 0, start_method: str = "forkserver",
                 prefetch: int = 2,
                 workers: Callable[[SeedLoader], Workers] | None = None) -> None:
        super().__init__(graph, batch_size=batch_size, shuffle=shuffle, drop_last=drop_last,
                         seed=seed, num_workers=num_workers, start_method=start_method,
                         prefetch=prefetch, workers=workers)
        self.seeds = integer_array("seeds", seeds)
        self.seed_time = time_array("seed_time", [] if seed_time is None else seed_time,
                                    self.graph.time_unit)
        if self.seed_time.size and len(self.seed_time) != len(self.seeds):
            raise ValueError(f"seed_time has {len(self.seed_time)} times for {len(self.seeds)} "
                             "seeds: give one time per seed, or none")
        self.labels = _per_seed_arrays(labels or {}, len(self.seeds))
        if seed_type not in self.graph.node_types:
            raise ValueError(f"seed type {seed_type!r} is not a node type of the graph")
        self.seed_type = seed_type
        check_ids(self.graph, seed_type, self.seeds, "seeds")
        self.request: Request = sampling_request(self.graph.edge_types, num_neighbors, time_offsets,
                                                 time_unit=self.graph.time_unit,
                                                 origins=self.graph.origins)
        check_windows_have_times(self.graph, self.request)
        self.recipe = Recipe(BatchSampler, (seed_type, self.request))

    @classmethod
    def from_task(cls, graph: GraphSource, task: NodeTask, **options: Any) -> SeedLoader:
        """A loader over the seeds of a task table, its labels travelling with them.

        ``options`` are those of the constructor (``num_neighbors``,
        ``batch_size``, ...). Each batch's ``labels`` holds its seeds' rows of
        the task's label columns; the seeds are sampled at their task times.

        Examples
        --------
        >>> import numpy as np
        >>> from corvane_data import NodeTask, build_graph
        >>> graph = build_graph({"a": 4}, {("a", "r", "a"): (np.array([1, 2, 3]), np.array([0, 0, 1]))})
        >>> task = NodeTask.from_table(graph, "a", {"id": [3, 0, 1], "y": [1, 0, 1]}, key="id")
        >>> loader = SeedLoader.from_task(graph, task, num_neighbors=[2], batch_size=2)
        >>> [(batch.seed_ids.tolist(), batch.labels["y"].tolist()) for batch in loader]
        [([3, 0], [1, 0]), ([1], [1])]
        """
        return cls(graph, task.node_type, task.ids, task.time if task.time.size else None,
                   labels={**task.labels, **options.pop("labels", {})}, **options)

    def _num_rows(self) -> int:
        return len(self.seeds)

    def _rows_of(self, epoch: int, index: int, positions: Int64Array) -> tuple[Any, ...]:
        seed_time = self.seed_time[positions] if self.seed_time.size else self.seed_time
        return self.seeds[positions], seed_time


def check_ids(graph: GraphArrays, seed_type: str, seeds: Int64Array, name: str) -> None:
    """Every id is a node of its type, as far as the graph tells the type's count."""
    bounds = [max(len(graph.colptr[edge_type_key(edge_type)]) - 1, 0) for edge_type in graph.edge_types
              if edge_type[2] == seed_type and edge_type_key(edge_type) in graph.colptr]
    if seed_type in graph.node_time:
        bounds.append(len(graph.node_time[seed_type]))
    if seed_type in graph.num_nodes:
        bounds.append(graph.num_nodes[seed_type])
    count = min(bounds, default=None)
    bad = (seeds < 0) if count is None else (seeds < 0) | (seeds >= count)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        valid = "not negative" if count is None else f"in 0..{count - 1}"
        raise ValueError(f"{name}: position {first} holds id {seeds[first]}, but ids of node type "
                         f"{seed_type!r} are {valid}")


def check_windows_have_times(graph: GraphArrays, request: Request) -> None:
    """Windows select by the source's times, so their edge types need them."""
    _, offsets = request
    for edge_type in graph.edge_types:
        if edge_type_key(edge_type) in offsets and edge_type[0] not in graph.node_time:
            raise ValueError(f"time_offsets {edge_type!r}: its source type {edge_type[0]!r} has "
                             "no node_time to compare with a window")


def _per_seed_arrays(labels: Mapping[str, npt.ArrayLike], num_seeds: int) -> dict[str, npt.NDArray[Any]]:
    """Each payload as a numpy array with one row per seed."""
    arrays = {}
    for name, values in labels.items():
        array = np.asarray(values)
        if array.ndim == 0 or len(array) != num_seeds:
            rows = "no rows" if array.ndim == 0 else f"{len(array)} rows"
            raise ValueError(f"labels {name!r}: {rows} for {num_seeds} seeds: give one row per seed")
        arrays[name] = array
    return arrays
