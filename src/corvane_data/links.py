"""Link-level batches: the trees of both ends of every pair, with negatives, merged into one batch.

A :class:`LinkLoader` runs a :class:`~corvane_data.LinkTask` over the same
machinery as the seed loader (:class:`~corvane_data.loader.BatchLoader`):
the same shuffles, per-batch sampler seeds and workers, so its batches are
the same for any number of worker processes or Dask actors. Its workers run
a :class:`LinkSampler`: one ``sample`` call when both ends have the same node
type, one per end otherwise, on the batch's own sampler, merged into one
:class:`~corvane_data.LinkBatch`.

Both trees of a pair at time ``t`` are sampled at ``t - 1``; the task
module's docstring says what that keeps out and what it cannot.
"""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import corvane
from corvane_data.arguments import integer
from corvane_data.batches import LinkBatch, SampleResult, edge_pairs
from corvane_data.loader import BatchLoader, check_ids, check_windows_have_times
from corvane_data.negatives import Negatives
from corvane_data.sampling import GraphSource, Recipe, Request, sampling_request
from corvane_data.storage import load_graph
from corvane_data.tables import EdgeType, GraphArrays, Int64Array, edge_type_key
from corvane_data.tasks import LinkTask
from corvane_data.workers import Workers

_NONE = np.empty(0, dtype=np.int64)  # no times, or no negatives


class LinkSampler:
    """What a link loader's worker runs: pairs in, one merged :class:`LinkBatch` out."""

    def __init__(self, graph: GraphSource, edge_type: EdgeType, request: Request) -> None:
        self.graph = graph if isinstance(graph, GraphArrays) else load_graph(Path(graph))
        self.edge_type = edge_type
        self.request = request
        self.timings: dict[str, float] = {}

    def sample(self, index: int, seed: int, sources: Int64Array, destinations: Int64Array,
               pair_time: Int64Array, edge_label: npt.NDArray[Any]) -> LinkBatch:
        """Batch ``index``: a tree for each of the B ``sources`` and each of the P pairs' destinations.

        Pair ``j`` has source ``sources[j % B]`` and destination
        ``destinations[j]``; ``pair_time`` holds P times, or none.
        """
        source_type, _, destination_type = self.edge_type
        start = time.perf_counter()
        sampler = corvane.NeighborSampler(*self.graph.arguments(), seed=seed)
        num_sources, num_pairs = len(sources), len(destinations)
        before = pair_time - 1 if pair_time.size else _NONE  # strictly the past of each pair
        source_time = before[:num_sources]
        if source_type == destination_type:
            results = [self._call(sampler, source_type, np.concatenate((sources, destinations)),
                                  np.concatenate((source_time, before)))]
            first_destination = num_sources
        else:
            results = [self._call(sampler, source_type, sources, source_time),
                       self._call(sampler, destination_type, destinations, before)]
            first_destination = 0
        sampled = time.perf_counter()
        pairs = np.arange(num_pairs, dtype=np.int64)
        label_index = np.stack((pairs % max(num_sources, 1), pairs + first_destination))
        merged = merge_results(results, [0, num_sources], self.graph.edge_types)
        batch = LinkBatch(self.edge_type, *merged, edge_label_index=label_index,
                          edge_label=edge_label, edge_label_time=pair_time,
                          num_positives=num_sources, index=index)
        self.timings = {"sampling": sampled - start, "building": time.perf_counter() - sampled}
        return batch

    def _call(self, sampler: corvane.NeighborSampler, seed_type: str, seeds: Int64Array,
              seed_time: Int64Array) -> SampleResult:
        num_neighbors, offsets = self.request
        result: SampleResult = sampler.sample(num_neighbors, offsets, seed_type, seeds, seed_time)
        return result


Merged = tuple[dict[str, Int64Array], dict[str, Int64Array], dict[EdgeType, Int64Array],
               dict[str, Int64Array], dict[EdgeType, Int64Array]]


def merge_results(results: Sequence[SampleResult], first_tree: Sequence[int],
                  edge_types: Sequence[EdgeType]) -> Merged:
    """The results of several calls as one: node ids, node seeds, edges and per-hop counts.

    Within each node type and edge type the merged order is by hop, and
    within a hop by call, so that every hop's nodes and edges stay
    contiguous, as one call's are (what layer-wise trimming relies on). The
    trees of call ``c`` are numbered from ``first_tree[c]``.

    Each block (one call's nodes or edges of one hop) is moved by one slice
    copy or one shifted copy, never by a gather over every element: a node
    keeps its place within its block, so its new local index is the old one
    plus its block's shift. An edge of hop ``h`` joins a neighbour, admitted
    by that hop or earlier (a node already in the tree), to a frontier node,
    which hop ``h - 1`` admitted: so destinations shift with one block, and
    sources too but for the few already in the tree, which a search over the
    block starts places.
    """
    if len(results) == 1:
        rows, cols, nodes, trees, num_nodes, num_edges = results[0]
        return (nodes, trees, {edge_type: edge_pairs(rows[edge_type_key(edge_type)],
                                                     cols[edge_type_key(edge_type)])
                               for edge_type in edge_types},
                num_nodes, {edge_type: num_edges[edge_type_key(edge_type)] for edge_type in edge_types})
    node_ids, node_seed, layouts = {}, {}, {}
    for node_type in results[0][2]:
        layout = layouts[node_type] = _HopMajor.of([result[4][node_type] for result in results])
        node_ids[node_type] = ids = np.empty(layout.total, dtype=np.int64)
        node_seed[node_type] = tree_of = np.empty(layout.total, dtype=np.int64)
        for _, call, source, target in layout.blocks():
            ids[target] = results[call][2][node_type][source]
            np.add(results[call][3][node_type][source], first_tree[call], out=tree_of[target])
    edge_index, num_edges_per_hop = {}, {}
    for edge_type in edge_types:
        key = edge_type_key(edge_type)
        source_type, _, destination_type = edge_type
        layout = _HopMajor.of([result[5][key] for result in results])
        num_edges_per_hop[edge_type] = layout.per_hop
        pairs = edge_index[edge_type] = np.empty((2, layout.total), dtype=np.int64)
        for hop, call, source, target in layout.blocks():  # edge counts start at hop 1
            layouts[source_type].shift(call, hop + 1, results[call][0][key][source], pairs[0, target])
            frontier = layouts[destination_type]
            np.add(results[call][1][key][source],
                   frontier.merged_starts[call, hop] - frontier.starts[call, hop], out=pairs[1, target])
    return (node_ids, node_seed, edge_index,
            {node_type: layout.per_hop for node_type, layout in layouts.items()}, num_edges_per_hop)


@dataclasses.dataclass(frozen=True)
class _HopMajor:
    """Where each call's per-hop block goes when blocks are ordered by hop, then by call.

    ``counts[c, h]`` is the size of call ``c``'s block of hop ``h``; within a
    call, blocks are contiguous and in hop order (``starts``); merged, block
    (c, h) starts at ``merged_starts[c, h]``.
    """

    counts: Int64Array
    starts: Int64Array
    merged_starts: Int64Array

    @classmethod
    def of(cls, per_call: Sequence[Int64Array]) -> _HopMajor:
        counts = np.stack(per_call)
        by_hop = counts.T.reshape(-1)
        merged = (np.cumsum(by_hop) - by_hop).reshape(counts.T.shape).T
        return cls(counts, np.cumsum(counts, axis=1) - counts, merged)

    @property
    def total(self) -> int:
        return int(self.counts.sum())

    @property
    def per_hop(self) -> Int64Array:
        return self.counts.sum(axis=0)

    def blocks(self) -> Iterator[tuple[int, int, slice, slice]]:
        """(hop, call, the call's slice, the merged slice) of every non-empty block."""
        calls, hops = self.counts.shape
        for hop in range(hops):
            for call in range(calls):
                count, start, merged = (int(self.counts[call, hop]), int(self.starts[call, hop]),
                                        int(self.merged_starts[call, hop]))
                if count:
                    yield hop, call, slice(start, start + count), slice(merged, merged + count)

    def shift(self, call: int, hop: int, local: Int64Array, out: Int64Array) -> None:
        """Writes the merged indices of call ``call``'s ``local`` indices of ``hop`` (or earlier)."""
        begin = self.starts[call, hop]
        np.add(local, self.merged_starts[call, hop] - begin, out=out)
        if local.min() >= begin:  # one reduction: no mask in the common case
            return
        earlier = np.flatnonzero(local < begin)
        stray = local[earlier]
        hops = np.searchsorted(self.starts[call], stray, side="right") - 1
        out[earlier] = stray + (self.merged_starts[call] - self.starts[call])[hops]


class LinkLoader(BatchLoader[LinkBatch]):
    """Iterates over the pairs of a link task in batches, with negatives, one epoch per iteration.

    Parameters
    ----------
    graph : GraphArrays or path
        The graph, or its saved folder (which worker processes need).
    task : LinkTask
        The pairs: each row a positive.
    num_neighbors, time_offsets
        As for :class:`~corvane_data.SeedLoader`; both ends use them.
    neg_ratio : int
        Negatives per positive: each keeps its positive's source and time,
        with a destination drawn uniformly among the destination type's
        nodes that exist at that time (node time at or before it, where the
        type has times).
    negatives : {"random", "fixed"}
        ``"random"``: drawn afresh for every batch from the loader's seed,
        the epoch and the batch index (for training). ``"fixed"``: drawn once
        per task row from the loader's seed, so each positive has the same
        negatives in every epoch and run, whatever the batch size, shuffle or
        worker count (for ranking metrics: MRR, hits@k).
    avoid_positives : bool or LinkTask
        Redraw negatives that are known positives of their source: the pairs
        of ``task`` (``True``) or of the given task (say, the whole task
        before it was split). The :class:`~corvane_data.negatives.Negatives`
        docstring says what this guarantees.
    batch_size, shuffle, drop_last, seed, num_workers, start_method, prefetch, workers
        As for :class:`~corvane_data.SeedLoader`; ``batch_size`` counts
        positives.

    Examples
    --------
    >>> import numpy as np
    >>> from corvane_data import LinkTask, build_graph
    >>> graph = build_graph({"user": 3, "item": 4},
    ...                     {("user", "rates", "item"): (np.array([0, 1, 2]), np.array([1, 2, 3]))},
    ...                     add_reverse=True)
    >>> task = LinkTask(("user", "rates", "item"), np.array([0, 1]), np.array([1, 2]), np.empty(0, np.int64))
    >>> loader = LinkLoader(graph, task, num_neighbors=[2], neg_ratio=1, batch_size=2)
    >>> batch = next(iter(loader))
    >>> batch.edge_label.tolist(), batch.edge_label_index.shape
    ([1.0, 1.0, 0.0, 0.0], (2, 4))
    """

    def __init__(self, graph: GraphSource, task: LinkTask, *,
                 num_neighbors: Sequence[int] | Mapping[Any, Sequence[int]] | None = None,
                 time_offsets: Mapping[Any, Sequence[tuple[int | None, int]]] | None = None,
                 neg_ratio: int = 0, negatives: str = "random",
                 avoid_positives: bool | LinkTask = False,
                 batch_size: int = 512, shuffle: bool = False, drop_last: bool = False,
                 seed: int = 0, num_workers: int | str = 0, start_method: str = "forkserver",
                 prefetch: int = 2,
                 workers: Callable[[LinkLoader], Workers] | None = None) -> None:
        super().__init__(graph, batch_size=batch_size, shuffle=shuffle, drop_last=drop_last,
                         seed=seed, num_workers=num_workers, start_method=start_method,
                         prefetch=prefetch, workers=workers)
        if not isinstance(task, LinkTask):
            raise TypeError(f"task must be a LinkTask, not {type(task).__name__}")
        if negatives not in ("random", "fixed"):
            raise ValueError(f"negatives must be 'random' or 'fixed', not {negatives!r}")
        _check_task(self.graph, task)
        self.task = task
        self.labels = task.labels
        self.neg_ratio = integer("neg_ratio", neg_ratio, minimum=0)
        self.request: Request = sampling_request(self.graph.edge_types, num_neighbors, time_offsets,
                                                 time_unit=self.graph.time_unit,
                                                 origins=self.graph.origins)
        check_windows_have_times(self.graph, self.request)
        self.recipe = Recipe(LinkSampler, (task.edge_type, self.request))
        known = task if avoid_positives is True else avoid_positives or None
        if isinstance(known, LinkTask) and known.edge_type[::2] != task.edge_type[::2]:
            raise ValueError(f"avoid_positives: its pairs are {known.edge_type!r}, not pairs of "
                             f"the task's end types {task.edge_type[::2]!r}")
        self.negatives = Negatives(self.graph, task, known) if self.neg_ratio else None
        self._positive_label = (task.label if task.label.size else
                                np.ones(len(task), dtype=np.float32))
        self._fixed = (self.negatives.draw(np.arange(len(task)), self.neg_ratio,
                                           np.random.SeedSequence(self.seed, spawn_key=(2,)))
                       if self.negatives is not None and negatives == "fixed" else None)

    def _num_rows(self) -> int:
        return len(self.task)

    def _rows_of(self, epoch: int, index: int, positions: Int64Array) -> tuple[Any, ...]:
        task = self.task
        if self._fixed is not None:
            drawn = self._fixed[:, positions].reshape(-1)
        elif self.negatives is not None:
            seed = np.random.SeedSequence(self.seed, spawn_key=(2, epoch, index))
            drawn = self.negatives.draw(positions, self.neg_ratio, seed).reshape(-1)
        else:
            drawn = _NONE
        rounds = 1 + self.neg_ratio
        positive_label = self._positive_label[positions]
        edge_label = np.zeros(rounds * len(positions), dtype=positive_label.dtype)
        edge_label[:len(positions)] = positive_label
        pair_time = np.tile(task.time[positions], rounds) if task.time.size else _NONE
        return (task.sources[positions], np.concatenate((task.destinations[positions], drawn)),
                pair_time, edge_label)


def _check_task(graph: GraphArrays, task: LinkTask) -> None:
    """A task made by hand is held to what ``LinkTask.from_table`` makes: ends in the graph, one row each."""
    source_type, _, destination_type = task.edge_type
    for node_type in (source_type, destination_type):
        if node_type not in graph.node_types:
            raise ValueError(f"task: {node_type!r} of {task.edge_type!r} is not a node type of the graph")
    rows = {"sources": task.sources, "destinations": task.destinations, "time": task.time,
            "label": task.label, **{f"labels {name!r}": values for name, values in task.labels.items()}}
    for name, values in rows.items():
        if len(values) != len(task.sources) and not (name in ("time", "label") and not len(values)):
            raise ValueError(f"task: {name} has {len(values)} rows for {len(task.sources)} pairs")
    check_ids(graph, source_type, task.sources, "task sources")
    check_ids(graph, destination_type, task.destinations, "task destinations")
