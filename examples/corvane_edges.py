"""From edge lists to the arrays that `corvane.NeighborSampler` takes.

Graph data usually comes as tables: one table of nodes per node type (perhaps
with a timestamp column) and edge lists of (source id, destination id) pairs.
`NeighborSampler` wants each edge type in compressed sparse column form, stored
by destination, with every column ordered by the source nodes' times when
sampling by time. This module builds that form and checks ids on the way:

    graph = GraphBuilder()
    graph.add_nodes("user", 3, time=user_signup)
    graph.add_nodes("item", 4, time=item_listed)
    graph.add_edges(("user", "bought", "item"), buyer_ids, item_ids, reverse="bought_by")
    sampler = corvane.NeighborSampler(**graph.arguments(), seed=42)

`save_graph` and `load_graph` keep the arrays as .npy files, so that several
processes can map one copy of the graph (`np.load(..., mmap_mode="r")`).

Pure Python and numpy: copy it into a project as it is.
"""

from __future__ import annotations

import json
import os
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]

__all__ = ["GraphBuilder", "edge_type_key", "load_graph", "save_graph", "to_csc"]


def edge_type_key(edge_type: tuple[str, str, str]) -> str:
    """The key under which dictionaries hold an edge type: source__relation__destination."""
    return "__".join(edge_type)


def _ids(values: npt.ArrayLike, what: str, name: str) -> Int64Array:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name}: {what} must be one-dimensional, got shape {array.shape}.")
    if array.size and array.dtype.kind not in "iu":
        raise TypeError(f"{name}: {what} must hold integers, got dtype {array.dtype}.")
    if array.dtype.kind == "u" and array.size and array.max() > np.iinfo(np.int64).max:
        raise ValueError(f"{name}: {what} holds {array.max()}, beyond the int64 range.")
    return array.astype(np.int64, copy=False)


def _check_range(ids: Int64Array, count: int, what: str, name: str) -> None:
    bad = np.flatnonzero((ids < 0) | (ids >= count))
    if bad.size:
        position = int(bad[0])
        raise ValueError(
            f"{name}: {what} {int(ids[position])} at position {position} is outside 0..{count - 1} "
            f"({count} nodes); {bad.size} id(s) out of range in all.")


def to_csc(src: npt.ArrayLike, dst: npt.ArrayLike, num_src: int, num_dst: int,
           src_time: npt.ArrayLike | None = None, *, name: str = "edges") -> tuple[Int64Array, Int64Array]:
    """Compressed sparse column form of the edges src[i] -> dst[i].

    Returns (colptr, row): colptr has num_dst + 1 offsets, and row[colptr[d]:colptr[d + 1]]
    holds the sources of the edges into destination d. With `src_time` (one time per
    source node) each column is ordered by the sources' times, as sampling by time
    requires; edges with equal times, and all edges without `src_time`, keep their input
    order. `name` is used in error messages (for example the edge-type key).
    """
    src_ids = _ids(src, "source ids", name)
    dst_ids = _ids(dst, "destination ids", name)
    if src_ids.shape != dst_ids.shape:
        raise ValueError(f"{name}: {src_ids.size} source ids but {dst_ids.size} destination ids.")
    for count, what in ((num_src, "number of source nodes"), (num_dst, "number of destination nodes")):
        if not isinstance(count, (int, np.integer)) or count < 0:
            raise ValueError(f"{name}: the {what} must be a non-negative integer, got {count!r}.")
    _check_range(src_ids, int(num_src), "source id", name)
    _check_range(dst_ids, int(num_dst), "destination id", name)

    if src_time is None:
        order = np.argsort(dst_ids, kind="stable")
    else:
        times = _ids(src_time, "source times", name)
        if times.size != num_src:
            raise ValueError(f"{name}: {times.size} source times for {num_src} source nodes.")
        order = np.lexsort((times[src_ids], dst_ids))  # by destination, then time; stable
    colptr = np.zeros(int(num_dst) + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst_ids, minlength=int(num_dst)), out=colptr[1:])
    return colptr, src_ids[order]


class GraphBuilder:
    """Collects node types and edge lists and gives the constructor's arguments."""

    def __init__(self) -> None:
        self.num_nodes: dict[str, int] = {}
        self.node_time: dict[str, Int64Array] = {}
        self.edge_types: list[tuple[str, str, str]] = []
        self.colptr: dict[str, Int64Array] = {}
        self.row: dict[str, Int64Array] = {}

    def add_nodes(self, node_type: str, count: int, time: npt.ArrayLike | None = None) -> None:
        """Declares `count` nodes (ids 0..count-1), with one timestamp each if `time` is given."""
        if node_type in self.num_nodes:
            raise ValueError(f"Node type '{node_type}' was added already.")
        if not isinstance(count, (int, np.integer)) or count < 0:
            raise ValueError(f"Node type '{node_type}': count must be a non-negative integer, got {count!r}.")
        if time is not None:
            times = _ids(time, "times", f"node type '{node_type}'")
            if times.size != count:
                raise ValueError(f"Node type '{node_type}': {times.size} times for {count} nodes.")
            self.node_time[node_type] = times
        self.num_nodes[node_type] = int(count)

    def add_edges(self, edge_type: tuple[str, str, str], src: npt.ArrayLike, dst: npt.ArrayLike,
                  *, reverse: str | None = None) -> None:
        """Adds the edge type (source, relation, destination) with edges src[i] -> dst[i].

        With `reverse`, also adds (destination, reverse, source) with every edge turned
        round, so that sampling can walk the relation both ways.
        """
        source, _, destination = edge_type
        key = edge_type_key(edge_type)
        for node_type in (source, destination):
            if node_type not in self.num_nodes:
                raise ValueError(f"Edge type '{key}': add node type '{node_type}' with add_nodes first.")
        keys = [key] if reverse is None else [key, edge_type_key((destination, reverse, source))]
        for new_key in keys:
            if new_key in self.colptr or keys.count(new_key) > 1:
                raise ValueError(f"Edge type '{new_key}' was added already.")
        self.colptr[key], self.row[key] = to_csc(
            src, dst, self.num_nodes[source], self.num_nodes[destination],
            self.node_time.get(source), name=f"edge type '{key}'")
        self.edge_types.append((source, edge_type[1], destination))
        if reverse is not None:
            self.add_edges((destination, reverse, source), dst, src)

    def arguments(self) -> dict[str, Any]:
        """node_types, edge_types, colptr, row and node_time, as keyword arguments."""
        return {"node_types": list(self.num_nodes), "edge_types": list(self.edge_types),
                "colptr": dict(self.colptr), "row": dict(self.row), "node_time": dict(self.node_time)}


def save_graph(directory: str | os.PathLike[str], arguments: dict[str, Any]) -> None:
    """Writes the constructor's arguments as .npy files and a graph.json index."""
    os.makedirs(directory, exist_ok=True)
    files: dict[str, dict[str, str]] = {"colptr": {}, "row": {}, "node_time": {}}
    for part, arrays in files.items():
        for number, (key, array) in enumerate(arguments[part].items()):
            arrays[key] = f"{part}_{number}.npy"
            np.save(os.path.join(directory, arrays[key]), np.ascontiguousarray(array, dtype=np.int64))
    index = {"node_types": arguments["node_types"],
             "edge_types": [list(edge_type) for edge_type in arguments["edge_types"]], **files}
    with open(os.path.join(directory, "graph.json"), "w", encoding="utf-8") as file:
        json.dump(index, file, indent=1)


def load_graph(directory: str | os.PathLike[str],
               mmap_mode: Literal["r+", "r", "w+", "c"] | None = "r") -> dict[str, Any]:
    """Reads what `save_graph` wrote; by default the arrays are memory-mapped, read-only."""
    with open(os.path.join(directory, "graph.json"), encoding="utf-8") as file:
        index = json.load(file)
    arguments: dict[str, Any] = {"node_types": index["node_types"],
                                 "edge_types": [tuple(edge_type) for edge_type in index["edge_types"]]}
    for part in ("colptr", "row", "node_time"):
        arguments[part] = {key: np.load(os.path.join(directory, name), mmap_mode=mmap_mode)
                           for key, name in index[part].items()}
    return arguments
