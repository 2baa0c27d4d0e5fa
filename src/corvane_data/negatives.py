"""Negative destinations for link tasks: uniform among the nodes that exist at the pair's time.

A negative keeps its positive's source and time and takes a destination
drawn uniformly, with replacement, among the destination type's nodes that
exist at that time: whose node time is at or before it, where the type has
node times; all of them otherwise. Draws come from a ``SeedSequence`` the
caller gives (the loader derives it from its seed and the batch, or from its
seed alone for fixed negatives), so they are reproducible.

**Known positives.** Given a task of known pairs, a negative that is one of
them is redrawn, up to ``RETRIES`` times, then kept. So a negative is a
known pair only where that pair's source has nearly every candidate as a
known destination: if a share ``q`` of the candidates at its time are known
destinations of the source, a clash survives with chance ``q ** (RETRIES + 1)``.
Known pairs count whatever their time (a pair known only later is avoided
too). Not guaranteed: that negatives differ from one another, or from the
positives of other sources.
"""

from __future__ import annotations

import numpy as np

from corvane_data.tables import GraphArrays, Int64Array
from corvane_data.tasks import LinkTask

RETRIES = 16


class Negatives:
    """Draws negative destinations for the rows of a link task.

    Raises
    ------
    ValueError
        If the destination type has no nodes, or if at some row's time none
        of them exists yet (naming the first such row).
    """

    def __init__(self, graph: GraphArrays, task: LinkTask, known: LinkTask | None = None) -> None:
        _, _, destination_type = task.edge_type
        times = graph.node_time.get(destination_type)
        self.task = task
        self.count = len(times) if times is not None else graph.num_nodes.get(destination_type, 0)
        if self.count == 0:
            raise ValueError(f"negatives: the destination type {destination_type!r} has no nodes")
        if times is not None and task.time.size:
            self.order: Int64Array | None = np.argsort(times, kind="stable").astype(np.int64)
            self.available = np.searchsorted(times[self.order], task.time, side="right")
            if not self.available.all():
                first = int(np.flatnonzero(self.available == 0)[0])
                raise ValueError(f"negatives: at row {first}'s time ({task.time[first]}) no node of "
                                 f"{destination_type!r} exists yet to draw from")
        else:
            self.order = None
            self.available = np.full(len(task), self.count, dtype=np.int64)
        self.known = (np.unique(self._pair_keys(known.sources, known.destinations))
                      if known is not None else None)

    def draw(self, positions: Int64Array, per_row: int, seed: np.random.SeedSequence) -> Int64Array:
        """``per_row`` destinations for each of the task rows ``positions``, shape (per_row, rows)."""
        generator = np.random.default_rng(seed)
        available = np.broadcast_to(self.available[positions], (per_row, len(positions)))
        drawn = self._destinations(generator, available)
        if self.known is not None:
            sources = np.broadcast_to(self.task.sources[positions], drawn.shape)
            for _ in range(RETRIES):
                clash = self._is_known(sources, drawn)
                if not clash.any():
                    break
                drawn[clash] = self._destinations(generator, available[clash])
        return drawn

    def _destinations(self, generator: np.random.Generator, available: Int64Array) -> Int64Array:
        picks = np.minimum((generator.random(available.shape) * available).astype(np.int64),
                           available - 1)
        return self.order[picks] if self.order is not None else picks

    def _pair_keys(self, sources: Int64Array, destinations: Int64Array) -> Int64Array:
        return sources.astype(np.int64) * self.count + destinations

    def _is_known(self, sources: Int64Array, destinations: Int64Array) -> np.ndarray:
        assert self.known is not None
        keys = self._pair_keys(sources, destinations)
        slots = np.minimum(np.searchsorted(self.known, keys), max(len(self.known) - 1, 0))
        return self.known[slots] == keys if len(self.known) else np.zeros(keys.shape, dtype=bool)
