"""The loader's workers as actors on a Dask cluster.

Each Dask worker holds one sampling actor (what the loader's recipe makes,
such as a :class:`~corvane_data.BatchSampler`): it maps
the graph folder once (the path must name the same saved graph on every
machine: a shared file system or a copy per machine) and samples the batches
it is sent. Worker ``w`` of ``n`` gets batches ``w, w + n, ...``, each with
the sampler seed the loader derived for it, so a cluster of any size gives
the batches the loader gives in-process or with any number of worker
processes. Each actor has one call in flight at a time, which is what keeps
its batches in order.

A worker that dies takes its actor with it, and a call to a dead actor may
never answer; so every answer is awaited in slices of ``POLL`` seconds, and
between them the actor's key is asked whether it is still held. A lost actor
raises a ``RuntimeError`` within seconds; the loader then closes these
workers, and its next epoch places new actors on the workers the cluster has
by then.

Needs ``dask.distributed`` (``pip install distributed``); nothing else here does.

Examples
--------
>>> from dask.distributed import Client                        # doctest: +SKIP
>>> client = Client("tcp://scheduler:8786")                     # doctest: +SKIP
>>> loader = SeedLoader("/shared/graph", "user", seeds, num_neighbors=[15, 10],
...                     workers=DaskWorkers.on(client))            # doctest: +SKIP
"""

from __future__ import annotations

import functools
import os
from collections import deque
from collections.abc import Callable
from pathlib import Path
from typing import Any

from corvane_data.sampling import Recipe

POLL = 0.5  # seconds between two looks at whether an awaited actor still lives


class DaskWorkers:
    """One sampling actor per worker of a ``dask.distributed.Client``'s cluster.

    Parameters
    ----------
    client : dask.distributed.Client
        The cluster to sample on; one actor goes to each of its workers at the
        time of the call (``limit`` of them, if given).
    folder : path
        The saved graph, as every worker sees it.
    recipe : Recipe
        What each actor is: ``recipe.kind(folder, *recipe.arguments)``.
        :meth:`for_loader` takes it from a loader.
    """

    def __init__(self, client: Any, folder: str | os.PathLike[str], recipe: Recipe,
                 limit: int | None = None, timeout: float = 600.0) -> None:
        addresses = sorted(client.scheduler_info()["workers"])[:limit]
        if not addresses:
            raise ValueError("the Dask cluster has no workers")
        self.client = client
        self.addresses = addresses
        self.timeout = timeout
        self.count = len(addresses)
        futures = [client.submit(recipe.kind, str(Path(folder)), *recipe.arguments, actor=True,
                                 workers=[address], allow_other_workers=False, pure=False)
                   for address in addresses]
        self.actors = [future.result() for future in futures]
        self._futures = futures  # the actors live as long as these futures
        self.in_flight: list[Any] = [None] * self.count
        self.waiting: list[deque[tuple[Any, ...]]] = [deque() for _ in range(self.count)]

    @classmethod
    def on(cls, client: Any, limit: int | None = None) -> Callable[[Any], DaskWorkers]:
        """For ``SeedLoader(..., workers=DaskWorkers.on(client))``: actors on ``client``'s workers."""
        return functools.partial(cls.for_loader, client, limit=limit)

    @classmethod
    def for_loader(cls, client: Any, loader: Any, limit: int | None = None) -> DaskWorkers:
        """Actors for the graph folder and the recipe of ``loader``."""
        if loader.folder is None:
            raise ValueError("the loader's graph must be a saved folder")
        return cls(client, loader.folder, loader.recipe, limit)

    def submit(self, worker: int, index: int, seed: int, *rows: Any) -> None:
        self.waiting[worker].append((index, seed, *rows))
        if self.in_flight[worker] is None:
            self._send_next(worker)

    def receive(self, worker: int) -> Any:
        batch = self._answer(worker, self.in_flight[worker])
        self.in_flight[worker] = None
        if self.waiting[worker]:
            self._send_next(worker)
        return batch

    def close(self) -> None:
        for future in self._futures:
            future.release()
        self.actors, self._futures = [], []

    def _answer(self, worker: int, call: Any) -> Any:
        """The answer of an actor call, awaited while the actor lives (and ``timeout`` at most)."""
        waited = 0.0
        while True:
            try:
                return call.result(timeout=POLL)
            except TimeoutError:
                waited += POLL
            status = self._futures[worker].status
            if status != "finished":
                raise RuntimeError(f"the sampling actor of worker {worker} on "
                                   f"{self.addresses[worker]} is lost (its key is {status}): "
                                   "its Dask worker has died or left")
            if waited >= self.timeout:
                raise TimeoutError(f"the sampling actor of worker {worker} on "
                                   f"{self.addresses[worker]} answered nothing for {waited:.0f} s")

    def _send_next(self, worker: int) -> None:
        self.in_flight[worker] = self.actors[worker].sample(*self.waiting[worker].popleft())
