"""A graph as a folder: one ``.npy`` file per array and a JSON manifest.

Files are named by position (``colptr_3.npy``), never by type name, so any
name is safe; the manifest ``graph.json`` maps names to files and carries a
format version. Loading maps the files read-only by default: worker processes
that load one folder share its pages instead of holding a copy each.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, Literal

import numpy as np

from corvane_data.tables import EdgeType, GraphArrays, Int64Array, edge_type_key

MANIFEST = "graph.json"
FORMAT = "corvane-graph"
VERSION = 1


def save_graph(folder: str | os.PathLike[str], graph: GraphArrays) -> Path:
    """Writes ``graph`` into ``folder`` (created if missing) and returns its path.

    The manifest is written last, so a folder without one is an unfinished save.

    Examples
    --------
    >>> import tempfile, numpy as np
    >>> from corvane_data import build_graph
    >>> graph = build_graph({"a": 2}, {("a", "r", "a"): (np.array([0, 1]), np.array([1, 1]))})
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     _ = save_graph(folder, graph)
    ...     load_graph(folder).row["a__r__a"].tolist()
    [0, 1]
    """
    path = Path(folder)
    path.mkdir(parents=True, exist_ok=True)
    (path / MANIFEST).unlink(missing_ok=True)
    files: dict[str, dict[str, str]] = {"colptr": {}, "row": {}, "node_time": {}}
    for part, arrays in (("colptr", graph.colptr), ("row", graph.row),
                         ("node_time", graph.node_time)):
        for number, (name, array) in enumerate(arrays.items()):
            file = f"{part}_{number}.npy"
            np.save(path / file, np.ascontiguousarray(array, dtype=np.int64))
            files[part][name] = file
    manifest = {"format": FORMAT, "version": VERSION, "node_types": graph.node_types,
                "edge_types": [list(edge_type) for edge_type in graph.edge_types],
                "num_nodes": graph.num_nodes, "files": files}
    (path / MANIFEST).write_text(json.dumps(manifest, indent=1) + "\n", encoding="utf-8")
    return path


def load_graph(folder: str | os.PathLike[str], *, mmap: bool = True) -> GraphArrays:
    """Reads a folder written by :func:`save_graph`.

    Parameters
    ----------
    folder : path
        The graph's folder.
    mmap : bool
        Map the files read-only (the default: loading is instant, and the
        pages are shared between processes and read from disk as sampling
        first touches them), or read them into memory (private to this
        process, backed by transparent huge pages where the kernel grants
        them). Once the pages are resident, sampling runs at the same speed
        over both (``bench/toolkit.py`` measures it).

    Raises
    ------
    ValueError
        For a folder without a manifest, another format or a newer version,
        or a missing array file.
    """
    path = Path(folder)
    manifest = _manifest(path)
    mode: Literal["r"] | None = "r" if mmap else None

    def arrays(part: str) -> dict[str, Int64Array]:
        loaded = {}
        for name, file in manifest["files"][part].items():
            if not (path / file).is_file():
                raise ValueError(f"{path}: {part} {name!r} has no file {file!r}")
            loaded[name] = np.load(path / file, mmap_mode=mode, allow_pickle=False)
        return loaded

    edge_types: list[EdgeType] = [(s, r, d) for s, r, d in manifest["edge_types"]]
    graph = GraphArrays(list(manifest["node_types"]), edge_types, arrays("colptr"), arrays("row"),
                        arrays("node_time"), dict(manifest["num_nodes"]))
    missing = [key for key in map(edge_type_key, edge_types) if key not in graph.colptr]
    if missing:
        raise ValueError(f"{path}: the manifest lists edge type {missing[0]!r} but no arrays")
    return graph


def _manifest(path: Path) -> dict[str, Any]:
    try:
        manifest: dict[str, Any] = json.loads((path / MANIFEST).read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise ValueError(f"{path}: no {MANIFEST}; not a saved graph, or an unfinished save") from None
    if manifest.get("format") != FORMAT:
        raise ValueError(f"{path}: {MANIFEST} is not a {FORMAT} manifest")
    if not isinstance(manifest.get("version"), int) or manifest["version"] > VERSION:
        raise ValueError(f"{path}: format version {manifest.get('version')!r} is newer than "
                         f"this corvane_data reads ({VERSION})")
    return manifest
