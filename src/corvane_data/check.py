"""A full check of a graph's arrays, in one linear pass over each.

The sampler checks what it can afford per call: the arrays' kinds when it is
built, and the first and last neighbour of a time window when it samples. A
column that is out of time order only in its interior, a row id past its
source type or a ``colptr`` that steps backwards go unnoticed there; this
check finds them before a training run does.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import TypeGuard

import numpy as np

from corvane_data.tables import GraphArrays, Int64Array, edge_type_key

CHUNK = 1 << 22  # elements per step: bounds the temporaries on graphs of any size


@dataclass(frozen=True)
class GraphFault:
    """One fault: its kind, where (an edge-type key or a node type) and at which position."""

    kind: str
    where: str
    position: int
    message: str

    def __str__(self) -> str:
        return f"{self.kind} {self.where!r} at {self.position}: {self.message}"


class GraphCheckError(ValueError):
    """The graph has faults; ``faults`` holds the first of each kind."""

    def __init__(self, faults: list[GraphFault]) -> None:
        super().__init__("graph check failed:\n" + "\n".join(f"  {fault}" for fault in faults))
        self.faults = faults


KINDS = ("edge_type", "array", "node_time", "colptr", "row", "order")


def find_faults(graph: GraphArrays) -> list[GraphFault]:
    """The first fault of each kind, in the order of :data:`KINDS`; empty for a sound graph.

    Kinds: ``edge_type`` (a source or destination type that is not in
    ``node_types``), ``array`` (a missing, non-int64, non-1-D or
    non-contiguous array, or anything else where an array belongs),
    ``node_time`` (a length other than the node count), ``colptr`` (not one
    entry per destination node plus one, not from 0 to ``len(row)``, or
    decreasing), ``row`` (a negative id, or one past the source type's count
    or its ``node_time``, where either is known) and ``order`` (a column not
    sorted by its sources' times). A ``row`` or ``order`` fault is looked for
    only where the edge type's ``colptr`` is sound.

    Examples
    --------
    >>> import numpy as np
    >>> from corvane_data import GraphArrays
    >>> graph = GraphArrays(["a"], [("a", "r", "a")], {"a__r__a": np.array([0, 2, 1])},
    ...                     {"a__r__a": np.array([0, 1])}, num_nodes={"a": 2})
    >>> [str(fault) for fault in find_faults(graph)]
    ["colptr 'a__r__a' at 2: decreases from 2 to 1"]
    """
    first: dict[str, GraphFault] = {}
    for fault in _all_faults(graph):
        first.setdefault(fault.kind, fault)
    return [first[kind] for kind in KINDS if kind in first]


def check_graph(graph: GraphArrays) -> None:
    """Raises :class:`GraphCheckError` listing the first fault of each kind, if there is any."""
    faults = find_faults(graph)
    if faults:
        raise GraphCheckError(faults)


def _all_faults(graph: GraphArrays) -> Iterator[GraphFault]:
    listed = set(graph.node_types)
    for edge_type in graph.edge_types:
        unlisted = [node_type for node_type in (edge_type[0], edge_type[2]) if node_type not in listed]
        if unlisted:
            yield GraphFault("edge_type", edge_type_key(edge_type), 0,
                             f"node type {unlisted[0]!r} is not in node_types")
    counts = _node_counts(graph)
    for node_type, times in graph.node_time.items():
        time_faults = list(_array_faults(times, "node_time", node_type))
        yield from time_faults
        if not time_faults and node_type in counts and len(times) != counts[node_type]:
            yield GraphFault("node_time", node_type, len(times),
                             f"{len(times)} times for {counts[node_type]} nodes")
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        colptr, row = graph.colptr.get(key), graph.row.get(key)
        if colptr is None or row is None:
            yield GraphFault("array", key, 0, "no " + ("colptr" if colptr is None else "row"))
            continue
        array_faults = [*_array_faults(colptr, "colptr", key), *_array_faults(row, "row", key)]
        yield from array_faults
        if array_faults:
            continue
        colptr_fault = _colptr_fault(key, colptr, len(row), counts.get(edge_type[2]))
        if colptr_fault is not None:
            yield colptr_fault
            continue
        source_time = graph.node_time.get(edge_type[0])
        if not _is_sound(source_time):
            source_time = None
        row_faults = list(_row_faults(key, row, counts.get(edge_type[0]),
                                      None if source_time is None else len(source_time)))
        yield from row_faults
        # An order read against times of the wrong length means nothing; the
        # node_time fault says why.
        if (source_time is not None and not row_faults
                and len(source_time) == counts.get(edge_type[0], len(source_time))):
            yield from _order_faults(key, colptr, row, source_time)


def _node_counts(graph: GraphArrays) -> dict[str, int]:
    """Given counts, else what a ``node_time`` or a destination's ``colptr`` implies."""
    counts = {name: len(times) for name, times in graph.node_time.items() if _is_sound(times)}
    for edge_type in graph.edge_types:
        colptr = graph.colptr.get(edge_type_key(edge_type))
        if _is_sound(colptr) and len(colptr):
            counts.setdefault(edge_type[2], len(colptr) - 1)
    counts.update(graph.num_nodes)
    return counts


def _is_sound(array: object) -> TypeGuard[Int64Array]:
    return next(_array_faults(array, "", ""), None) is None


def _array_faults(array: object, part: str, where: str) -> Iterator[GraphFault]:
    if not isinstance(array, np.ndarray):
        yield GraphFault("array", where, 0, f"{part} is {type(array).__name__}, not a numpy array")
    elif array.dtype != np.int64 or array.ndim != 1 or not array.flags.c_contiguous:
        yield GraphFault("array", where, 0, f"{part} must be a contiguous 1-D int64 array, not "
                                            f"{array.ndim}-D {array.dtype}")


def _colptr_fault(key: str, colptr: Int64Array, num_edges: int,
                  num_destinations: int | None) -> GraphFault | None:
    if num_destinations is not None and len(colptr) != num_destinations + 1:
        return GraphFault("colptr", key, len(colptr), f"{len(colptr)} entries for "
                          f"{num_destinations} destination nodes (needs one more than nodes)")
    if len(colptr) == 0 or colptr[0] != 0:
        return GraphFault("colptr", key, 0, "does not start at 0")
    for start, chunk in _chunks(colptr, overlap=1):
        steps = np.flatnonzero(chunk[1:] < chunk[:-1])
        if steps.size:
            at = start + int(steps[0]) + 1
            return GraphFault("colptr", key, at, f"decreases from {colptr[at - 1]} to {colptr[at]}")
    if colptr[-1] != num_edges:
        return GraphFault("colptr", key, len(colptr) - 1,
                          f"ends at {colptr[-1]}, not at len(row) = {num_edges}")
    return None


def _row_faults(key: str, row: Int64Array, num_sources: int | None,
                num_times: int | None) -> Iterator[GraphFault]:
    """The first id that is negative, past the source count or past its times, where known.

    Sampling without time returns a negative id as it is, and a feature
    array indexed with it reads from its end; an id without a time has no
    place in a temporal sample.
    """
    known = [bound for bound in (num_sources, num_times) if bound is not None]
    limit = min(known) if known else None
    for start, chunk in _chunks(row):
        outside = np.flatnonzero(chunk < 0 if limit is None else (chunk < 0) | (chunk >= limit))
        if outside.size:
            at = start + int(outside[0])
            if limit is None:
                message = f"id {row[at]} is negative"
            elif row[at] < 0 or limit == num_sources:
                message = f"id {row[at]} is outside 0..{limit - 1}"
            else:
                message = f"id {row[at]} has no time (node_time holds {num_times})"
            yield GraphFault("row", key, at, message)
            return


def _order_faults(key: str, colptr: Int64Array, row: Int64Array,
                  times: Int64Array) -> Iterator[GraphFault]:
    """A step back in time between two neighbours of one column."""
    column_starts = colptr[1:-1]
    for start, chunk in _chunks(row, overlap=1):
        earlier = times[chunk[1:]] < times[chunk[:-1]]
        # A step from the last neighbour of one column to the first of the next is no fault.
        lo, hi = np.searchsorted(column_starts, [start + 1, start + len(chunk)])
        earlier[column_starts[lo:hi] - start - 1] = False
        back = np.flatnonzero(earlier)
        if back.size:
            at = start + int(back[0]) + 1
            column = int(np.searchsorted(colptr, at, side="right")) - 1
            yield GraphFault("order", key, at,
                             f"column {column}: source {row[at]} (time {times[row[at]]}) comes "
                             f"after source {row[at - 1]} (time {times[row[at - 1]]})")
            return


def _chunks(array: Int64Array, overlap: int = 0) -> Iterator[tuple[int, Int64Array]]:
    """Consecutive slices of ``CHUNK`` elements, each also holding the next ``overlap``."""
    for start in range(0, max(len(array) - overlap, 1), CHUNK):
        yield start, array[start:start + CHUNK + overlap]
