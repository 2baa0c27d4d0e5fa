"""What one worker does: hold the graph, build a sampler per batch, turn seeds into mini-batches.

The same :class:`BatchSampler` runs in this process, in a loader's worker
processes and in a Dask actor, so all three give the same batches for the same
seed, whatever the worker count.
"""

from __future__ import annotations

import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

import numpy as np

import corvane
from corvane_data.arguments import integer_array
from corvane_data.batches import MiniBatch
from corvane_data.storage import load_graph
from corvane_data.tables import EdgeType, GraphArrays, Int64Array, edge_type_key
from corvane_data.times import time_delta

GraphSource = GraphArrays | str | os.PathLike[str]
Request = tuple[dict[str, Int64Array], dict[str, Any]]


def derived_seed(seed: int, *path: int) -> int:
    """A seed for the sampler (0 to 2**31 - 1) derived from ``seed`` and a path of numbers.

    Distinct paths give independent engines: batch ``i`` of epoch ``e`` is
    sampled with ``derived_seed(seed, 1, e, i)``, the shuffle's generator is
    seeded with ``(0, e)``.
    """
    state = np.random.SeedSequence(seed, spawn_key=path).generate_state(1, np.uint32)
    return int(state[0] >> 1)


def sampling_request(edge_types: Sequence[EdgeType],
                     num_neighbors: Sequence[int] | Mapping[Any, Sequence[int]] | None,
                     time_offsets: Mapping[Any, Sequence[tuple[Any, Any]]] | None, *,
                     time_unit: str | None = None,
                     origins: Mapping[EdgeType, str] | None = None) -> Request:
    """``num_neighbors`` and ``sampling_time_offsets`` for ``NeighborSampler.sample``.

    Keys may be edge-type triples or their ``"__"``-joined keys. A plain
    sequence of counts applies to every edge type that has no time window.
    Window bounds are integers, or durations (``timedelta``, numpy
    ``timedelta64``, pandas ``Timedelta``) where the graph has a
    ``time_unit``. ``origins`` (a graph's) lets a message say which edge types
    the graph's builder made, such as the reverses of ``add_reverse``.

    Raises
    ------
    ValueError
        For a key that is not an edge type of the graph; an edge type with
        neither a count list nor windows, or with both; counts or window
        bounds that are not integers (a lower bound may be ``None``); or
        fewer windows than the request has hops. Each message names the
        edge type.
    """
    keys = [edge_type_key(edge_type) for edge_type in edge_types]
    offsets = {_key(edge): _windows(edge, windows, time_unit)
               for edge, windows in (time_offsets or {}).items()}
    if num_neighbors is None:
        counts: dict[str, Int64Array] = {}
    elif isinstance(num_neighbors, Mapping):
        counts = {_key(edge): integer_array(f"num_neighbors {edge!r}", values)
                  for edge, values in num_neighbors.items()}
    else:
        fan_out = integer_array("num_neighbors", num_neighbors)
        counts = {key: fan_out for key in keys if key not in offsets}
    unknown = sorted((set(counts) | set(offsets)) - set(keys))
    if unknown:
        raise ValueError(f"edge type {unknown[0]!r} is not in the graph")
    _check_each_edge_type_once(edge_types, counts, offsets, origins or {})
    num_hops = max((len(values) for values in (*counts.values(), *offsets.values())), default=0)
    for edge_type, key in zip(edge_types, keys):
        if key in offsets and len(offsets[key]) < num_hops:
            raise ValueError(f"time_offsets {edge_type!r}: {len(offsets[key])} windows for "
                             f"{num_hops} hops")
    return counts, offsets


def _check_each_edge_type_once(edge_types: Sequence[EdgeType], counts: Mapping[str, Any],
                               offsets: Mapping[str, Any], origins: Mapping[EdgeType, str]) -> None:
    for edge_type in edge_types:
        key = edge_type_key(edge_type)
        made = f" ({origins[edge_type]})" if edge_type in origins else ""
        if key in counts and key in offsets:
            raise ValueError(f"edge type {edge_type!r}{made} has both num_neighbors and time_offsets")
        if key not in counts and key not in offsets:
            raise ValueError(f"edge type {edge_type!r}{made} has neither num_neighbors nor "
                             "time_offsets: every edge type of the graph needs one")


def _key(edge: Any) -> str:
    return edge if isinstance(edge, str) else edge_type_key(tuple(edge))


def _windows(edge: Any, windows: Sequence[tuple[Any, Any]], unit: str | None) -> Any:
    """Rows of (lower, upper) as an int64 array, or an object array where a lower bound is None."""
    name = f"time_offsets {edge!r}"
    rows = [tuple(window) for window in windows]
    if any(len(window) != 2 for window in rows):
        raise ValueError(f"{name}: every window is a pair (lower, upper)")
    bounds = [(None if lower is None else time_delta(f"{name} hop {hop} lower bound", lower, unit),
               time_delta(f"{name} hop {hop} upper bound", upper, unit))
              for hop, (lower, upper) in enumerate(rows)]
    if all(lower is not None for lower, _ in bounds):
        return np.array(bounds, dtype=np.int64).reshape(len(bounds), 2)
    with_open_lower = np.empty((len(bounds), 2), dtype=object)
    for hop, bound in enumerate(bounds):
        with_open_lower[hop] = bound
    return with_open_lower


class Sampler(Protocol):
    """What a worker runs: one batch per call, from its index, its sampler seed and its task's rows.

    A sampler may also say where its last call's time went, as seconds per
    phase in a ``timings`` dict: ``sampling`` (the native calls) and
    ``building`` (the batch made of their results), as those here do.
    """

    def sample(self, index: int, seed: int, *rows: Any) -> Any: ...


@dataclass(frozen=True)
class Recipe:
    """How a worker makes its :class:`Sampler`: ``kind(graph, *arguments)``.

    It crosses to worker processes and Dask actors by pickle, so ``kind`` is
    a class of a module and ``arguments`` are plain data.
    """

    kind: type
    arguments: tuple[Any, ...]

    def make(self, graph: GraphSource) -> Sampler:
        sampler: Sampler = self.kind(graph, *self.arguments)
        return sampler


class BatchSampler:
    """A graph and a request; every batch is sampled by a sampler of its own, seeded for that batch.

    A batch's result depends on its seed ids, seed times and sampler seed, and
    on nothing else: not on which process samples it, nor on what was sampled
    before. Building a sampler reads no array data, so a sampler per batch
    costs little beside the call it serves.
    """

    def __init__(self, graph: GraphSource, seed_type: str, request: Request) -> None:
        self.graph = graph if isinstance(graph, GraphArrays) else load_graph(Path(graph))
        self.seed_type = seed_type
        self.request = request
        self.timings: dict[str, float] = {}

    def sample(self, index: int, seed: int, seed_ids: Int64Array, seed_time: Int64Array) -> MiniBatch:
        """Samples batch ``index`` with a new sampler whose engine starts from ``seed``."""
        start = time.perf_counter()
        sampler = corvane.NeighborSampler(*self.graph.arguments(), seed=seed)
        num_neighbors, offsets = self.request
        result = sampler.sample(num_neighbors, offsets, self.seed_type, seed_ids, seed_time)
        sampled = time.perf_counter()
        batch = MiniBatch.from_result(result, self.graph.edge_types, self.seed_type, seed_ids,
                                      seed_time, index)
        self.timings = {"sampling": sampled - start, "building": time.perf_counter() - sampled}
        return batch
