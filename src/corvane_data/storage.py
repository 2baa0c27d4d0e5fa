"""A graph as a folder: one ``.npy`` file per array and a JSON manifest.

Files are named by position, never by type name, so any name is safe; the
manifest ``graph.json`` maps names to files and carries a format version.
Loading maps the files read-only by default: worker processes that load one
folder share its pages instead of holding a copy each.

A save is atomic. It writes its arrays under names no earlier save used
(``colptr_3.<generation>.npy``), then a new manifest under a temporary name,
and switches by renaming that over ``graph.json``: a reader sees the whole old
graph or the whole new one. Files are never truncated or written over, only
unlinked once the new manifest is in place, so a process that mapped the old
graph keeps reading its pages. A folder received from elsewhere is read only
within itself: the manifest may name plain files in the folder, nothing else.

Format version 2 adds a graph's node keys (``keys_<n>_<part>.<generation>.npy``:
int64 ``values`` for integer keys, else uint8 ``data`` and int64 ``offsets``,
as :class:`corvane_data.KeyMap` holds them), its time unit and the origin of
each edge type; folders of version 1 load as graphs without them.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import re
import reprlib
import secrets
import stat
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Literal, TypeGuard

import numpy as np

from corvane_data.keys import KINDS, KeyMap
from corvane_data.tables import EdgeType, GraphArrays, edge_type_key, node_count
from corvane_data.times import UNITS, time_unit

MANIFEST = "graph.json"
FORMAT = "corvane-graph"
VERSION = 2
PARTS = ("colptr", "row", "node_time")
KEY_PARTS: dict[str, type[np.generic]] = {"values": np.int64, "data": np.uint8, "offsets": np.int64}
# What a save may have left behind: arrays (those of this version and the
# generation-less names the first version wrote) and temporary manifests.
OWN_FILE = re.compile(r"(colptr|row|node_time)_\d+(\.[0-9a-f]{16})?\.npy|graph\.json\.[0-9a-f]{16}\.tmp"
                      r"|keys_\d+_(values|data|offsets)\.[0-9a-f]{16}\.npy")
LOAD_ATTEMPTS = 8  # a load that meets this many saves under way gives up
_MISSING = object()


def save_graph(folder: str | os.PathLike[str], graph: GraphArrays) -> Path:
    """Writes ``graph`` into ``folder`` (created if missing) and returns its path.

    The save replaces the folder's graph atomically: until it completes, the
    folder holds the old graph, whole, and if it fails it still does. Arrays
    already mapped from the old graph (by this process or others, say a
    graph loaded from this very folder) stay readable. Once the new manifest
    is in place, the files of the old graph and any left by an interrupted
    save are removed; saves into one folder wait for each other.

    Raises
    ------
    ValueError
        For a node count that is not a non-negative integer, naming the node
        type; keys of a node type the graph lacks, or not one per node; an
        unknown time unit.
    OSError
        Where the folder cannot be written; the folder keeps its old graph.

    Examples
    --------
    >>> import tempfile, numpy as np
    >>> from corvane_data import build_graph
    >>> graph = build_graph({"a": 2}, {("a", "r", "a"): (np.array([0, 1]), np.array([1, 1]))})
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     _ = save_graph(folder, graph)
    ...     _ = save_graph(folder, load_graph(folder))   # over the arrays it maps
    ...     load_graph(folder).row["a__r__a"].tolist()
    [0, 1]
    """
    path = Path(folder)
    path.mkdir(parents=True, exist_ok=True)
    generation = secrets.token_hex(8)
    arrays = {"colptr": graph.colptr, "row": graph.row, "node_time": graph.node_time}
    files = {part: {name: f"{part}_{number}.{generation}.npy"
                    for number, name in enumerate(arrays[part])} for part in PARTS}
    num_nodes = {name: node_count(name, count) for name, count in graph.num_nodes.items()}
    key_arrays = _key_arrays(graph, num_nodes)
    key_files = {name: {part: f"keys_{number}_{part}.{generation}.npy" for part in parts}
                 for number, (name, parts) in enumerate(key_arrays.items())}
    keys = {name: {"kind": graph.keys[name].kind, "files": key_files[name]} for name in key_files}
    manifest = {"format": FORMAT, "version": VERSION, "node_types": list(graph.node_types),
                "edge_types": [list(edge_type) for edge_type in graph.edge_types],
                "num_nodes": num_nodes, "files": files, "keys": keys,
                "time_unit": time_unit(graph.time_unit),
                "origins": {edge_type_key(edge_type): origin
                            for edge_type, origin in graph.origins.items()}}
    written = [path / files[part][name] for part in PARTS for name in arrays[part]]
    written += [path / file for files_of_map in key_files.values() for file in files_of_map.values()]
    text = (json.dumps(manifest, indent=1) + "\n").encode()  # before any file is written
    temporary = f"{MANIFEST}.{generation}.tmp"
    created: list[Path] = []
    with _locked(path) as folder_descriptor:
        try:
            for part in PARTS:
                for name, array in arrays[part].items():
                    with _new_file(path / files[part][name], created) as file:
                        np.save(file, np.ascontiguousarray(array, dtype=np.int64))
            for name, parts in key_arrays.items():
                for part, array in parts.items():
                    with _new_file(path / key_files[name][part], created) as file:
                        np.save(file, np.ascontiguousarray(array))
            with _new_file(path / temporary, created) as file:
                file.write(text)
            os.fsync(folder_descriptor)  # the new names are on disk before the manifest names them
            os.replace(path / temporary, path / MANIFEST)
        except BaseException:
            if _read(path / MANIFEST) != text:  # the switch has not happened
                for file in created:
                    with contextlib.suppress(OSError):
                        file.unlink(missing_ok=True)
            raise
        os.fsync(folder_descriptor)  # the rename itself lasts
        _remove_leftovers(path, {MANIFEST, *(file.name for file in written)})
    return path


def _key_arrays(graph: GraphArrays, num_nodes: dict[str, int]) -> dict[str, dict[str, Any]]:
    """The storage form of each key map, checked against the graph's node types and counts."""
    arrays = {}
    for name, key_map in graph.keys.items():
        if name not in graph.node_types:
            raise ValueError(f"keys {name!r}: {name!r} is not a node type of the graph")
        if name in num_nodes and len(key_map) != num_nodes[name]:
            raise ValueError(f"keys {name!r}: {len(key_map)} keys for {num_nodes[name]} nodes")
        arrays[name] = key_map.to_arrays()
    return arrays


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
        For a folder without a manifest, another format or a newer version; a
        manifest that is not valid UTF-8 JSON or whose keys are missing or of
        the wrong kind (naming the key); a file name that is not a plain name
        of a regular file inside the folder (a separator, ``..``, a symbolic
        link leading out); a missing array file, or one that does not hold a
        1-D int64 array (uint8 for the bytes of keys), naming the file; key
        arrays that do not make one key per node. Loading never changes the
        folder.
    """
    path = Path(folder)
    for _attempt in range(LOAD_ATTEMPTS):
        text = _read(_inside(path, path.resolve(), MANIFEST))
        if text is None:
            raise ValueError(f"{path}: no {MANIFEST}; not a saved graph, or an unfinished save")
        manifest = _manifest(path, text)
        try:
            return _graph(path, manifest, mmap)
        except _Missing as missing:
            if _read(path / MANIFEST) == text:  # not replaced by a save meanwhile
                raise ValueError(str(missing)) from None
    raise ValueError(f"{path}: saves kept replacing the graph while it was read")


def _graph(path: Path, manifest: dict[str, Any], mmap: bool) -> GraphArrays:
    mode: Literal["r"] | None = "r" if mmap else None
    root = path.resolve()
    loaded = {part: {name: _array(path, root, f"{part} {name!r}", file, mode)
                     for name, file in manifest["files"][part].items()} for part in PARTS}
    edge_types: list[EdgeType] = [(s, r, d) for s, r, d in manifest["edge_types"]]
    missing = [key for key in map(edge_type_key, edge_types) if key not in loaded["colptr"]]
    if missing:
        raise ValueError(f"{path}: the manifest lists edge type {missing[0]!r} but no arrays")
    keys = {name: _key_map(path, root, manifest, name, mode) for name in manifest["keys"]}
    origins = {edge_type: manifest["origins"][edge_type_key(edge_type)] for edge_type in edge_types
               if edge_type_key(edge_type) in manifest["origins"]}
    return GraphArrays(manifest["node_types"], edge_types, loaded["colptr"], loaded["row"],
                       loaded["node_time"], manifest["num_nodes"], keys, manifest["time_unit"],
                       origins)


def _key_map(path: Path, root: Path, manifest: dict[str, Any], name: str,
             mode: Literal["r"] | None) -> KeyMap:
    entry = manifest["keys"][name]
    arrays = {part: _array(path, root, f"keys {name!r} {part}", file, mode, KEY_PARTS[part])
              for part, file in entry["files"].items()}
    key_map = KeyMap.from_arrays(f"{path}: keys {name!r}", entry["kind"], arrays)
    if len(key_map) != manifest["num_nodes"].get(name):
        raise ValueError(f"{path}: keys {name!r} has {len(key_map)} keys for "
                         f"{manifest['num_nodes'].get(name)} nodes")
    return key_map


class _Missing(Exception):
    """A file the manifest names is missing: a save may have replaced the graph meanwhile."""


def _array(path: Path, root: Path, what: str, file: str, mode: Literal["r"] | None,
           dtype: type[np.generic] = np.int64) -> Any:
    """The 1-D ``dtype`` array in ``file``, which holds ``what`` (a part and a name)."""
    target = _inside(path, root, file)
    missing = _Missing(f"{path}: {what} has no file {file!r}")
    try:
        if not stat.S_ISREG(target.stat().st_mode):  # a FIFO would block the load for ever
            raise ValueError(f"{path}: {file!r} is not a regular file")
    except FileNotFoundError:
        raise missing from None
    try:
        array = np.load(target, mmap_mode=mode, allow_pickle=False)
    except FileNotFoundError:  # unlinked since, by a save
        raise missing from None
    except (ValueError, OSError, EOFError) as error:
        raise ValueError(f"{path}: {file!r} is not a .npy file of plain numbers: {error}") from None
    if not isinstance(array, np.ndarray):  # an .npz archive
        array.close()
        raise ValueError(f"{path}: {file!r} is an archive, not a .npy file")
    if array.dtype != dtype or array.ndim != 1:
        raise ValueError(f"{path}: {file!r} holds a {array.ndim}-D {array.dtype} array, not a 1-D "
                         f"{np.dtype(dtype)} array")
    return array


def _inside(path: Path, root: Path, file: str) -> Path:
    """``path / file``, for a plain name whose target lies in the folder (``root``, resolved).

    A plain name leads out only through a symbolic link, so only a link is resolved.
    """
    if file in ("", ".", "..") or "/" in file or "\0" in file or (os.altsep and os.altsep in file):
        raise ValueError(f"{path}: {file!r} is not a plain file name inside the folder")
    target = path / file
    if target.is_symlink():
        target = target.resolve()
        if not target.is_relative_to(root):
            raise ValueError(f"{path}: {file!r} leads outside the folder, to {target}")
    return target


def _manifest(path: Path, text: bytes) -> dict[str, Any]:
    """The manifest, every key checked; a ValueError names the folder and the key."""
    try:
        manifest = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
        raise ValueError(f"{path}: {MANIFEST} is not valid JSON ({type(error).__name__}: "
                         f"{str(error)[:200]})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise ValueError(f"{path}: {MANIFEST} is not a {FORMAT} manifest")
    version = manifest.get("version")
    if not _is_int(version) or version < 1:
        raise ValueError(f"{path}: {MANIFEST} key 'version' must be a positive integer, "
                         f"not {version!r}")
    if version > VERSION:
        raise ValueError(f"{path}: format version {version!r} is newer than "
                         f"this corvane_data reads ({VERSION})")

    def field(key: str, value: Any, sound: bool, expected: str) -> None:
        if not sound:
            found = "missing" if value is _MISSING else f"not {reprlib.repr(value)}"
            raise ValueError(f"{path}: {MANIFEST} key {key!r} must be {expected}; it is {found}")

    def get(key: str) -> Any:
        return manifest.get(key, _MISSING)

    field("node_types", get("node_types"), _is_list(get("node_types"), _is_str), "a list of str")
    field("edge_types", get("edge_types"),
          _is_list(get("edge_types"), lambda e: _is_list(e, _is_str) and len(e) == 3),
          "a list of [source, relation, destination] lists of str")
    field("num_nodes", get("num_nodes"),
          _is_mapping(get("num_nodes"), lambda count: _is_int(count) and count >= 0),
          "a mapping of node types to non-negative integers")
    files = get("files")
    field("files", files, isinstance(files, dict) and all(part in files for part in PARTS),
          f"a mapping with the parts {', '.join(PARTS)}")
    for part in PARTS:
        field(f"files.{part}", files[part], _is_mapping(files[part], _is_str),
              "a mapping of names to file names")
    if version == 1:
        manifest.update(keys={}, time_unit=None, origins={})
    field("time_unit", get("time_unit"), get("time_unit") is None or get("time_unit") in UNITS,
          f"null or one of {', '.join(UNITS)}")
    field("origins", get("origins"), _is_mapping(get("origins"), _is_str),
          "a mapping of edge type keys to str")
    field("keys", get("keys"), _is_mapping(get("keys"), lambda entry: isinstance(entry, dict)),
          "a mapping of node types to key entries")
    for name, entry in manifest["keys"].items():
        field(f"keys.{name}", entry, _is_key_entry(entry),
              f"a mapping with a 'kind' ({', '.join(KINDS)}) and the 'files' of its parts")
        field(f"keys.{name}", name, name in manifest["node_types"], "a node type of the graph")
    return manifest


def _is_key_entry(entry: dict[str, Any]) -> bool:
    kind, files = entry.get("kind"), entry.get("files")
    parts = {"values"} if kind == "int64" else {"data", "offsets"}
    return (kind in KINDS and isinstance(files, dict) and set(files) == parts
            and all(map(_is_str, files.values())))


def _is_int(value: object) -> TypeGuard[int]:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_str(value: object) -> bool:
    return isinstance(value, str)


def _is_list(value: object, item: Callable[[Any], bool]) -> bool:
    return isinstance(value, list) and all(item(element) for element in value)


def _is_mapping(value: object, item: Callable[[Any], bool]) -> bool:
    return isinstance(value, dict) and all(item(element) for element in value.values())


def _read(file: Path) -> bytes | None:
    try:
        return file.read_bytes()
    except OSError:
        return None


@contextlib.contextmanager
def _new_file(file: Path, created: list[Path]) -> Iterator[Any]:
    """A file created for this save alone (never an existing one), on disk when the block ends."""
    with open(file, "xb") as handle:
        created.append(file)
        yield handle
        handle.flush()
        os.fsync(handle.fileno())


@contextlib.contextmanager
def _locked(path: Path) -> Iterator[int]:
    """The folder opened and locked against other saves (readers take no lock)."""
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield descriptor
    finally:
        os.close(descriptor)


def _remove_leftovers(path: Path, keep: set[str]) -> None:
    """Unlinks (never truncates) the files of earlier saves that the manifest does not name.

    A file that cannot be removed now stays for the next save to try again:
    the save itself has succeeded.
    """
    for entry in os.scandir(path):
        if entry.name not in keep and OWN_FILE.fullmatch(entry.name):
            with contextlib.suppress(OSError):
                os.unlink(entry.path)
