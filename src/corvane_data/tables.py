"""Node and edge tables to the compressed-sparse-column arrays the sampler takes.

Tables are what users hold: numpy arrays, dicts of them, pandas DataFrames or
pyarrow Tables. Each is read once, by column name, through ``numpy.asarray``,
so pandas and pyarrow are never imported here.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

EdgeType = tuple[str, str, str]
Int64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class GraphArrays:
    """The arguments of :class:`corvane.NeighborSampler`, in its order.

    ``colptr[key]`` and ``row[key]`` hold one edge type in compressed sparse
    column form: the sources of destination node ``v`` are
    ``row[key][colptr[key][v]:colptr[key][v + 1]]``, ordered by the sources'
    times (stably) where the source type has times.
    """

    node_types: list[str]
    edge_types: list[EdgeType]
    colptr: dict[str, Int64Array]
    row: dict[str, Int64Array]
    node_time: dict[str, Int64Array] = field(default_factory=dict)

    def arguments(self) -> tuple[Any, ...]:
        """``(node_types, edge_types, colptr, row, node_time)``, for ``NeighborSampler(*...)``."""
        return self.node_types, self.edge_types, self.colptr, self.row, self.node_time


def edge_type_key(edge_type: EdgeType) -> str:
    """The name the sampler's dictionaries use for an edge type."""
    return "__".join(edge_type)


def build_graph(
    num_nodes: Mapping[str, int],
    edges: Mapping[EdgeType, Any],
    *,
    node_time: Mapping[str, Any] | None = None,
    source_column: str = "source",
    destination_column: str = "destination",
    add_reverse: bool = False,
    reverse_prefix: str = "rev_",
) -> GraphArrays:
    """Builds the sampler's arrays from node counts and edge tables.

    Parameters
    ----------
    num_nodes : mapping of str to int
        The number of nodes of each node type; ids run from 0 to count - 1.
    edges : mapping of (source type, relation, destination type) to table
        Per edge type, a table with a source-id and a destination-id column
        (a dict of arrays, a pandas DataFrame or a pyarrow Table), or a pair
        ``(source_ids, destination_ids)``.
    node_time : mapping of str to array, optional
        Per node type, one integer time per node.
    source_column, destination_column : str
        The columns of every edge table that hold the ids.
    add_reverse : bool
        Also add, for every edge type ``(s, r, d)``, the edge type
        ``(d, reverse_prefix + r, s)`` with every edge reversed.

    Returns
    -------
    GraphArrays
        Ready for ``corvane.NeighborSampler(*graph.arguments())``.

    Raises
    ------
    ValueError
        For an unknown node type, ids that are not integers or lie outside
        their type, columns of different lengths, or a node_time array of the
        wrong length; the message names the table, the column and the first
        bad row.

    Examples
    --------
    >>> import numpy as np
    >>> graph = build_graph({"user": 3, "item": 2},
    ...                     {("user", "buys", "item"): (np.array([0, 2, 1]), np.array([1, 1, 0]))})
    >>> graph.colptr["user__buys__item"].tolist(), graph.row["user__buys__item"].tolist()
    ([0, 1, 3], [1, 0, 2])
    """
    times = {name: _node_times(name, values, num_nodes) for name, values in (node_time or {}).items()}
    edge_types: list[EdgeType] = []
    colptr: dict[str, Int64Array] = {}
    row: dict[str, Int64Array] = {}
    for edge_type, table in edges.items():
        source, destination = _edge_ids(edge_type, table, num_nodes, source_column,
                                        destination_column)
        pairs = [(edge_type, source, destination)]
        if add_reverse:
            reverse = (edge_type[2], reverse_prefix + edge_type[1], edge_type[0])
            pairs.append((reverse, destination, source))
        for kind, sources, destinations in pairs:
            key = edge_type_key(kind)
            colptr[key], row[key] = _compressed_columns(
                sources, destinations, num_nodes[kind[2]], times.get(kind[0]))
            edge_types.append(kind)
    return GraphArrays(list(num_nodes), edge_types, colptr, row, times)


def _compressed_columns(sources: Int64Array, destinations: Int64Array, num_destinations: int,
                        source_time: Int64Array | None) -> tuple[Int64Array, Int64Array]:
    if source_time is None:
        order = np.argsort(destinations, kind="stable")
    else:  # by destination, then by source time; lexsort is stable
        order = np.lexsort((source_time[sources], destinations))
    counts = np.bincount(destinations, minlength=num_destinations)
    colptr = np.zeros(num_destinations + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    return colptr, sources[order]


def _edge_ids(edge_type: EdgeType, table: Any, num_nodes: Mapping[str, int], source_column: str,
              destination_column: str) -> tuple[Int64Array, Int64Array]:
    name = f"edges {edge_type!r}"
    for role, node_type in (("source", edge_type[0]), ("destination", edge_type[2])):
        if node_type not in num_nodes:
            raise ValueError(f"{name}: {role} type {node_type!r} is not in num_nodes")
    if isinstance(table, tuple):
        if len(table) != 2:
            raise ValueError(f"{name}: a pair (source ids, destination ids) has 2 items, "
                             f"not {len(table)}")
        columns = dict(zip((source_column, destination_column), table))
    else:
        columns = {}
        for column in (source_column, destination_column):
            try:
                columns[column] = table[column]
            except (KeyError, IndexError, TypeError) as missing:
                raise ValueError(f"{name}: no column {column!r}") from missing
    source = _ids(name, source_column, columns[source_column], num_nodes[edge_type[0]])
    destination = _ids(name, destination_column, columns[destination_column],
                       num_nodes[edge_type[2]])
    if len(source) != len(destination):
        raise ValueError(f"{name}: column {source_column!r} has {len(source)} rows but "
                         f"{destination_column!r} has {len(destination)}")
    return source, destination


def _integers(name: str, column: str, values: Any) -> Int64Array:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name}: column {column!r} must be one-dimensional, not {array.ndim}-D")
    if array.size and array.dtype.kind not in "iu":
        raise ValueError(f"{name}: column {column!r} must hold integers, not {array.dtype}"
                         " (missing values make a column float or object)")
    if array.dtype.kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
        first = int(np.flatnonzero(array > np.iinfo(np.int64).max)[0])
        raise ValueError(f"{name}: column {column!r} row {first} holds {array[first]}, "
                         "which does not fit in int64")
    return array.astype(np.int64, copy=False)


def _ids(name: str, column: str, values: Any, count: int) -> Int64Array:
    ids = _integers(name, column, values)
    bad = (ids < 0) | (ids >= count)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{name}: column {column!r} row {first} holds id {ids[first]}, "
                         f"outside 0..{count - 1}")
    return ids


def _node_times(node_type: str, values: Any, num_nodes: Mapping[str, int]) -> Int64Array:
    name = f"node_time {node_type!r}"
    if node_type not in num_nodes:
        raise ValueError(f"{name}: {node_type!r} is not in num_nodes")
    times = _integers(name, "time", values)
    if len(times) != num_nodes[node_type]:
        raise ValueError(f"{name}: {len(times)} times for {num_nodes[node_type]} nodes")
    return np.ascontiguousarray(times)
