"""Graph folders: a save replaces a graph whole, beside the processes that map it, and a
folder is read only within itself; feature rows are gathered only for ids they hold."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from corvane_data import GraphArrays, MiniBatch, build_graph, load_graph, save_graph

PARTS = ("colptr", "row", "node_time")


def graph_of(num_nodes, num_edges, seed):
    rng = np.random.default_rng(seed)
    pair = (rng.integers(0, num_nodes, num_edges), rng.integers(0, num_nodes, num_edges))
    return build_graph({"a": num_nodes}, {("a", "r", "a"): pair},
                       node_time={"a": rng.integers(0, 100, num_nodes)})


def assert_same(one, other):
    assert (one.edge_types, one.num_nodes) == (other.edge_types, other.num_nodes)
    for a, b in ((getattr(one, part), getattr(other, part)) for part in PARTS):
        assert a.keys() == b.keys() and all(np.array_equal(a[key], b[key]) for key in a)


def manifest_files(folder):
    files = json.loads((folder / "graph.json").read_text())["files"]
    return {"graph.json", *(file for part in PARTS for file in files[part].values())}


def save_as_the_first_version_did(folder, graph):  # each file named by part and position alone
    files = {part: {name: f"{part}_{n}.npy" for n, name in enumerate(getattr(graph, part))}
             for part in PARTS}
    for part in PARTS:
        for name, file in files[part].items():
            np.save(folder / file, getattr(graph, part)[name])
    (folder / "graph.json").write_text(json.dumps({
        "format": "corvane-graph", "version": 1, "node_types": graph.node_types,
        "edge_types": graph.edge_types, "num_nodes": graph.num_nodes, "files": files}))


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("save", [save_graph, save_as_the_first_version_did])
def test_a_graph_saved_over_the_folder_it_was_loaded_from(tmp_path, mmap, save):
    graph = graph_of(50, 400, 0)
    save(tmp_path, graph)
    loaded = load_graph(tmp_path, mmap=mmap)
    numpy_counts = {node_type: np.int64(count) for node_type, count in loaded.num_nodes.items()}
    save_graph(tmp_path, GraphArrays(*loaded.arguments(), numpy_counts))
    assert_same(load_graph(tmp_path), graph)
    assert_same(loaded, graph)  # what it had mapped is whole still
    assert set(os.listdir(tmp_path)) == manifest_files(tmp_path)  # the old files are gone


@pytest.mark.parametrize("module, name", [(np, "save"), (os, "replace")])  # the third array; the switch
def test_a_save_that_fails_late_leaves_the_old_graph_whole(tmp_path, monkeypatch, module, name):
    old = graph_of(50, 400, 0)
    save_graph(tmp_path, old)
    before, real, calls = set(os.listdir(tmp_path)), getattr(module, name), []

    def fail_late(*args):
        calls.append(args)
        if module is os or len(calls) == 3:
            raise OSError("disk full")
        return real(*args)

    monkeypatch.setattr(module, name, fail_late)
    with pytest.raises(OSError, match="disk full"):
        save_graph(tmp_path, graph_of(30, 100, 1))
    monkeypatch.undo()
    assert set(os.listdir(tmp_path)) == before
    assert_same(load_graph(tmp_path), old)
    leftovers = {"row_0.0123456789abcdef.npy", "graph.json.0123456789abcdef.tmp", "colptr_7.npy"}
    for leftover in leftovers:  # as a save killed half-way leaves them: loads keep them, saves clear them
        (tmp_path / leftover).write_bytes(b"")
    load_graph(tmp_path)
    assert set(os.listdir(tmp_path)) == before | leftovers
    save_graph(tmp_path, old)
    assert set(os.listdir(tmp_path)) == manifest_files(tmp_path)


def test_a_load_that_meets_a_save_reads_the_new_graph(tmp_path, monkeypatch):
    save_graph(tmp_path, graph_of(50, 400, 0))
    new, real_load = graph_of(30, 100, 1), np.load

    def save_in_between(*args, **kwargs):  # the save unlinks the file this load is opening
        monkeypatch.setattr(np, "load", real_load)
        save_graph(tmp_path, new)
        return real_load(*args, **kwargs)

    monkeypatch.setattr(np, "load", save_in_between)
    assert_same(load_graph(tmp_path), new)


READER = """
import sys, numpy as np, corvane
from corvane_data import load_graph
graph = load_graph(sys.argv[1])
sampler = corvane.NeighborSampler(*graph.arguments(), seed=1)
def read():
    sums = [int(a.sum()) for part in (graph.colptr, graph.row, graph.node_time) for a in part.values()]
    nodes = sampler.sample({"a__r__a": np.array([-1, -1])}, {}, "a", np.arange(100), np.full(100, 50))[2]
    return sums, nodes["a"].tolist()
before = read()
print("mapped", flush=True)
sys.stdin.readline()
print("same" if read() == before else "changed", flush=True)
"""


def test_a_process_that_maps_the_folder_reads_on_through_a_save(tmp_path):
    save_graph(tmp_path, graph_of(20_000, 200_000, 0))
    with subprocess.Popen([sys.executable, "-c", READER, str(tmp_path)], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as reader:
        assert reader.stdout.readline() == "mapped\n"
        save_graph(tmp_path, graph_of(20, 50, 1))  # smaller: truncated files would end early
        output, _ = reader.communicate("read again\n", timeout=120)
    assert (reader.returncode, output) == (0, "same\n")  # not -7, SIGBUS


DELETE = object()


@pytest.mark.parametrize("key, value, message", [
    (None, b"\xff{}", r"graph.json is not valid JSON \(UnicodeDecodeError"),
    (None, b"[" * 100_000, r"graph.json is not valid JSON \(RecursionError"),
    (None, b"[]", r"graph.json is not a corvane-graph manifest"),
    ("node_types", DELETE, r"key 'node_types' must be a list of str; it is missing"),
    ("edge_types", [["a", "r"]], r"key 'edge_types' must be a list of \[source, "),
    ("num_nodes", None, r"key 'num_nodes' must be a mapping .*; it is not None"),
    ("num_nodes", {"a": -1}, r"key 'num_nodes' must be a mapping of node types to non-negative"),
    ("files", {"row": {}}, r"key 'files' must be a mapping with the parts"),
    ("files.row", None, r"key 'files.row' must be a mapping of names to file names"),
    ("files.row.a__r__a", "../outside.npy", r"'\.\./outside\.npy' is not a plain file name"),
    ("files.row.a__r__a", "{outside}", r"outside\.npy' is not a plain file name"),
    ("files.row.a__r__a", "link.npy", r"'link\.npy' leads outside the folder"),
    ("files.row.a__r__a", "objects.npy", r"'objects\.npy' is not a \.npy file of plain numbers"),
    ("files.row.a__r__a", "floats.npy", r"'floats\.npy' holds a 1-D float64 array"),
    ("files.row.a__r__a", "fifo.npy", r"'fifo\.npy' is not a regular file"),  # not a load that hangs
    ("files.row.a__r__a", "row_9.npy", r"row 'a__r__a' has no file 'row_9\.npy'"),
])
def test_a_tampered_folder_is_refused_naming_the_key_or_file(tmp_path, key, value, message):
    folder, outside = tmp_path / "graph", tmp_path / "outside.npy"
    save_graph(folder, graph_of(5, 10, 0))
    np.save(outside, np.arange(3))  # a sound array, but not the folder's
    (folder / "link.npy").symlink_to(outside)
    np.save(folder / "objects.npy", np.array([None, 1]), allow_pickle=True)
    np.save(folder / "floats.npy", np.arange(3.0))
    os.mkfifo(folder / "fifo.npy")
    if key is not None:
        node = manifest = json.loads((folder / "graph.json").read_text())
        *steps, last = key.split(".")
        for step in steps:
            node = node[step]
        if value is DELETE:
            del node[last]
        else:
            node[last] = value.format(outside=outside) if isinstance(value, str) else value
        value = json.dumps(manifest).encode()
    (folder / "graph.json").write_bytes(value)
    with pytest.raises(ValueError, match=f"^{re.escape(str(folder))}: .*{message}"):
        load_graph(folder)


@pytest.mark.parametrize("ids, num_nodes, message", [
    ([0, 4], None, r"local node 1 has id 4, outside the array's 4 rows"),
    ([0, -1], None, r"local node 1 has id -1, outside"),  # would read the last row
    ([0, 1], {"a": 5}, r"4 rows for 5 nodes"),
])
def test_gather_refuses_feature_arrays_without_a_row_for_each_node(ids, num_nodes, message):
    result = ({}, {}, {"a": np.array(ids)}, {"a": np.zeros(len(ids), np.int64)}, {}, {})
    batch = MiniBatch.from_result(result, [], "a", np.array([0]), np.empty(0, np.int64))
    with pytest.raises(ValueError, match=r"^features 'a': " + message):
        batch.gather({"a": np.zeros((4, 2))}, **({"num_nodes": num_nodes} if num_nodes else {}))
