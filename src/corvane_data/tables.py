"""Node and edge tables to the compressed-sparse-column arrays the sampler takes.

Tables are what users hold: numpy arrays, dicts of them, pandas DataFrames or
pyarrow Tables. Each is read once, by column name, through ``numpy.asarray``,
so pandas and pyarrow are never imported here.
"""

from __future__ import annotations

import operator
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from corvane_data.arguments import integer, integer_array
from corvane_data.keys import KeyMap

EdgeType = tuple[str, str, str]
Int64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class GraphArrays:
    """The arguments of :class:`corvane.NeighborSampler`, in its order.

    ``colptr[key]`` and ``row[key]`` hold one edge type in compressed sparse
    column form: the sources of destination node ``v`` are
    ``row[key][colptr[key][v]:colptr[key][v + 1]]``, ordered by the sources'
    times (stably) where the source type has times.

    A graph built from a described database (:class:`corvane_data.Database`)
    also holds its node types' keys, the unit of its times, and where each
    edge type came from; all three are saved with the graph.
    """

    node_types: list[str]
    edge_types: list[EdgeType]
    colptr: dict[str, Int64Array]
    row: dict[str, Int64Array]
    node_time: dict[str, Int64Array] = field(default_factory=dict)
    num_nodes: dict[str, int] = field(default_factory=dict)
    """The number of nodes of each node type, where known (not a constructor argument)."""
    keys: dict[str, KeyMap] = field(default_factory=dict)
    """Per node type with keys, its :class:`KeyMap`: node ``i``'s key is ``keys[t].keys_of([i])``."""
    time_unit: str | None = None
    """The unit of the times (``"s"``, ``"ms"``, ``"us"``, ``"ns"``), or None for plain integers."""
    origins: dict[EdgeType, str] = field(default_factory=dict)
    """Per edge type, where it came from (a table, the reverse of one, an event table)."""

    def arguments(self) -> tuple[list[str], list[EdgeType], dict[str, Int64Array],
                                 dict[str, Int64Array], dict[str, Int64Array]]:
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
    edge_time: Mapping[EdgeType, Any] | None = None,
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
        A count is a non-negative ``int`` or numpy integer (``bool`` is
        refused: a flag given for a count is a mistake).
    edges : mapping of (source type, relation, destination type) to table
        Per edge type, a table with a source-id and a destination-id column
        (a dict of arrays, a pandas DataFrame or a pyarrow Table), or a pair
        ``(source_ids, destination_ids)``.
    node_time : mapping of str to array, optional
        Per node type, one integer time per node.
    edge_time : mapping of edge type to column name or array, optional
        Edge types whose edges carry times. The sampler compares node times,
        so each such edge type ``(s, r, d)`` becomes a node type ``r`` of
        events, one per table row (event ``i`` is row ``i``, its time the
        row's time), joined to its ends by the edge types ``(r, "from", s)``
        and ``(r, "to", d)``. A string names a column of the edge table.
    source_column, destination_column : str
        The columns of every edge table that hold the ids.
    add_reverse : bool
        Also add, for every edge type ``(s, r, d)``, the edge type
        ``(d, reverse_prefix + r, s)`` with every edge reversed (for event
        types, the reverses of the two event edge types).

    Returns
    -------
    GraphArrays
        Ready for ``corvane.NeighborSampler(*graph.arguments())``.

    Raises
    ------
    ValueError
        For a count that is not a non-negative integer (naming the node
        type); an unknown node type, ids that are not integers or lie outside
        their type, columns of different lengths, or a node_time array of the
        wrong length (naming the table, the column and the first bad row);
        an edge type that two tables, reverses or event tables produce
        (naming both origins), or two edge types whose keys collide through
        ``"__"`` (naming both).

    Examples
    --------
    >>> import numpy as np
    >>> graph = build_graph({"user": 3, "item": 2},
    ...                     {("user", "buys", "item"): (np.array([0, 2, 1]), np.array([1, 1, 0]))})
    >>> graph.colptr["user__buys__item"].tolist(), graph.row["user__buys__item"].tolist()
    ([0, 1, 3], [1, 0, 2])

    Ratings with a time each become rating events between users and items:

    >>> rated = {"source": np.array([0, 0, 2]), "destination": np.array([1, 0, 1]),
    ...          "time": np.array([30, 10, 20])}
    >>> events = build_graph({"user": 3, "item": 2}, {("user", "rates", "item"): rated},
    ...                      edge_time={("user", "rates", "item"): "time"}, add_reverse=True)
    >>> events.node_types, events.num_nodes["rates"], events.node_time["rates"].tolist()
    (['user', 'item', 'rates'], 3, [30, 10, 20])
    >>> events.edge_types[:2]
    [('rates', 'from', 'user'), ('user', 'rev_from', 'rates')]
    >>> events.row["rates__from__user"].tolist()   # user 0's ratings, oldest first
    [1, 0, 2]
    """
    counts = {name: node_count(name, count) for name, count in num_nodes.items()}
    times = {name: _node_times(name, values, counts) for name, values in (node_time or {}).items()}
    timed = dict(edge_time or {})
    unknown = [edge_type for edge_type in timed if edge_type not in edges]
    if unknown:
        raise ValueError(f"edge_time {unknown[0]!r}: no such edge type in edges")
    claims: dict[str, tuple[EdgeType, str]] = {}
    colptr: dict[str, Int64Array] = {}
    row: dict[str, Int64Array] = {}
    for edge_type, table in edges.items():
        source, destination = _edge_ids(edge_type, table, counts, source_column,
                                        destination_column)
        if edge_type in timed:
            forward = _event_edges(edge_type, table, timed[edge_type], source, destination,
                                   counts, times)
            origin = f"the events of edges {edge_type!r}"
        else:
            forward = [(edge_type, source, destination)]
            origin = f"edges {edge_type!r}"
        for kind, sources, destinations in forward:
            pairs = [(kind, sources, destinations, origin)]
            if add_reverse:
                pairs.append(((kind[2], reverse_prefix + kind[1], kind[0]), destinations, sources,
                              f"the reverse of {kind!r}, made by add_reverse"))
            for built, built_sources, built_destinations, built_origin in pairs:
                _claim(claims, built, built_origin)
                key = edge_type_key(built)
                colptr[key], row[key] = _compressed_columns(
                    built_sources, built_destinations, counts[built[2]], times.get(built[0]))
    edge_types = [edge_type for edge_type, _ in claims.values()]
    return GraphArrays(list(counts), edge_types, colptr, row, times, counts,
                       origins=dict(claims.values()))


def node_count(node_type: str, count: Any) -> int:
    """``count`` as an ``int``: a non-negative integer (numpy's too), never a ``bool``."""
    return integer(f"num_nodes {node_type!r}: the count", count, minimum=0)


def _claim(claims: dict[str, tuple[EdgeType, str]], edge_type: EdgeType, origin: str) -> None:
    """Records where ``edge_type`` comes from, by its key; refuses a second origin or a shared key.

    A second set of arrays would replace the first one's (its edges lost) and
    the sampler would expand the type twice; two types with one key are
    refused by the sampler itself, so they are refused here, at build time.
    """
    key = edge_type_key(edge_type)
    if key in claims:
        other, first = claims[key]
        if other == edge_type:
            raise ValueError(f"edge type {edge_type!r} comes from {first} and from {origin}")
        raise ValueError(f"edge types {other!r} (from {first}) and {edge_type!r} (from {origin}) "
                         f"share the key {key!r}")
    claims[key] = (edge_type, origin)


EdgePair = tuple[EdgeType, Int64Array, Int64Array]


def _event_edges(edge_type: EdgeType, table: Any, time: Any, source: Int64Array,
                 destination: Int64Array, counts: dict[str, int],
                 times: dict[str, Int64Array]) -> list[EdgePair]:
    """Adds the event type of a timed edge type and returns its two edge types."""
    name = f"edges {edge_type!r}"
    event_type = edge_type[1]
    if event_type in counts:
        raise ValueError(f"{name}: its event type {event_type!r} is already a node type")
    column = time if isinstance(time, str) else "time"
    if isinstance(time, str):
        time = read_column(name, table, column, "edge_time")
    event_time = np.ascontiguousarray(_integers(name, column, time))
    if len(event_time) != len(source):
        raise ValueError(f"{name}: column {column!r} has {len(event_time)} rows but the ids "
                         f"have {len(source)}")
    counts[event_type] = len(source)
    times[event_type] = event_time
    events = np.arange(len(source), dtype=np.int64)
    return [((event_type, "from", edge_type[0]), events, source),
            ((event_type, "to", edge_type[2]), events, destination)]


def _compressed_columns(sources: Int64Array, destinations: Int64Array, num_destinations: int,
                        source_time: Int64Array | None) -> tuple[Int64Array, Int64Array]:
    counts = np.bincount(destinations, minlength=num_destinations)
    colptr = np.zeros(num_destinations + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    return colptr, sources[_column_order(sources, destinations, num_destinations, source_time)]


KEY_BITS = 63  # the bits of a non-negative int64 sort key


def _column_order(sources: Int64Array, destinations: Int64Array, num_destinations: int,
                  source_time: Int64Array | None) -> Int64Array:
    """The edges' positions by destination, then by source time, then by position.

    Every edge gets one int64 key: its destination, the dense rank of its
    source's time (ranks come from the nodes, far fewer than the edges) and
    its position, in that order of significance. The keys are distinct, so
    numpy's fast unstable sort gives the stable order, many times faster than
    a stable argsort or a lexsort; the low bits of the sorted keys are the
    positions. Where the key would not fit in int64, a stable argsort (or a
    lexsort with times) does the same.
    """
    # Python ints throughout: a numpy integer count would wrap in int64 here
    # and let keys that do not fit pass the guard.
    num_destinations = operator.index(num_destinations)
    position_bits = max(len(destinations) - 1, 0).bit_length()
    rank: Int64Array | None = None
    num_ranks = 1
    if source_time is not None:
        distinct, rank = np.unique(source_time, return_inverse=True)
        num_ranks = int(len(distinct))
    if (num_destinations * num_ranks) << position_bits > 1 << KEY_BITS:
        if source_time is None:
            return np.argsort(destinations, kind="stable")
        return np.lexsort((source_time[sources], destinations))
    key = destinations * num_ranks
    if rank is not None:
        key += rank.astype(np.int64, copy=False)[sources]
    key <<= position_bits
    key |= np.arange(len(key), dtype=np.int64)
    key.sort()
    key &= (1 << position_bits) - 1
    return key


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
        columns = {column: read_column(name, table, column, option) for column, option in
                   ((source_column, "source_column"), (destination_column, "destination_column"))}
    source = _ids(name, source_column, columns[source_column], num_nodes[edge_type[0]])
    destination = _ids(name, destination_column, columns[destination_column],
                       num_nodes[edge_type[2]])
    if len(source) != len(destination):
        raise ValueError(f"{name}: column {source_column!r} has {len(source)} rows but "
                         f"{destination_column!r} has {len(destination)}")
    return source, destination


def read_column(name: str, table: Any, column: str, option: str) -> Any:
    """``table[column]`` of a dict, DataFrame or pyarrow Table.

    A missing column is a ValueError that lists the columns present and names
    ``option``, the argument that selects another.
    """
    try:
        return table[column]
    except (KeyError, IndexError, TypeError) as missing:
        names = column_names(table)
        present = "no columns" if names is None else f"columns {names}"
        raise ValueError(f"{name}: no column {column!r}; it has {present} "
                         f"(choose another with {option}=...)") from missing


def column_names(table: Any) -> list[str] | None:
    """The column names of a dict, DataFrame or pyarrow Table, or None for anything else."""
    names = getattr(table, "column_names", None)  # a pyarrow Table
    if names is None:
        names = getattr(table, "columns", None)   # a DataFrame
    if names is None and isinstance(table, Mapping):
        names = list(table)
    return None if names is None else [str(name) for name in names]


def _integers(name: str, column: str, values: Any) -> Int64Array:
    return integer_array(f"{name}: column {column!r}", values, position="row")


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
