"""Keys and times of a described database: keys of every kind survive a saved folder, bad keys
are refused naming their row, and datetimes give the graph their integer counts give."""

import datetime
import doctest
import json
import pickle
import re
import uuid
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import corvane_data.database
import corvane_data.keys
import corvane_data.times
from corvane_data import Database, check_graph, load_graph, save_graph
from corvane_data.times import time_array, time_delta, time_value

GIT_HISTORY = Path(__file__).resolve().parent / "data" / "git-history-2005"  # the year 2005 of the tables
STRINGS = np.dtypes.StringDType()


@pytest.fixture(params=["pyarrow", "numpy"])
def engine(request, monkeypatch):
    """Text keys looked up by pyarrow's hash tables, or by numpy's sort where pyarrow is missing."""
    if request.param == "numpy":
        monkeypatch.setattr(corvane_data.keys, "_arrow", lambda: None)
    return request.param


KEYS = {  # kind, keys as users hold them, the same keys as Python objects
    "negative ints": ("int64", np.array([7, -3, 2**40]), [7, -3, 2**40]),
    "text, NUL, accents": ("str", np.array(["a\0", "a", "", "é"], dtype=STRINGS), ["a\0", "a", "", "é"]),
    "pandas category": ("str", pd.Series(["x", "y"], dtype="category"), ["x", "y"]),
    "arrow dictionary": ("str", pa.chunked_array([pa.array(["p", "q"]).dictionary_encode(),
                                                  pa.array(["r"]).dictionary_encode()]), ["p", "q", "r"]),
    "bytes": ("bytes", np.array([b"x\0", b"x", b""], dtype=object), [b"x\0", b"x", b""]),
    "uuid": ("uuid", [uuid.UUID(int=9), uuid.UUID(int=2**127)], [uuid.UUID(int=9), uuid.UUID(int=2**127)]),
}


@pytest.mark.parametrize("kind, keys, expected", KEYS.values(), ids=KEYS.keys())
def test_keys_of_every_kind_round_trip_through_a_saved_folder(tmp_path, engine, kind, keys, expected):
    db = Database()
    db.table("a", {"k": keys}, key="k")
    save_graph(tmp_path, db.build())
    key_map = load_graph(tmp_path).keys["a"]
    assert (key_map.kind, key_map.keys_of(np.arange(len(expected))).tolist()) == (kind, expected)
    order = np.arange(len(expected))[::-1]
    queries = np.empty(len(order), dtype=object)
    queries[:] = [expected[i] for i in order]
    assert key_map.ids("q", queries).tolist() == order.tolist()
    assert pickle.loads(pickle.dumps(key_map)).ids("q", queries).tolist() == order.tolist()


@pytest.mark.parametrize("keys, shown", [
    (np.array([4, 1, 9, 1, 4]), "1 of row 1"),
    (np.array(["b", "a", "c", "a", "b"], dtype=object), "'a' of row 1"),
    (pa.array(["b", "a", "c", "a", "b"]), "'a' of row 1"),
    ([uuid.UUID(int=i) for i in (4, 1, 9, 1, 4)], "UUID('00000000-0000-0000-0000-000000000001') of row 1"),
])
def test_a_duplicate_primary_key_is_refused_naming_its_row(engine, keys, shown):
    db = Database()
    db.table("a", {"k": keys}, key="k")
    with pytest.raises(ValueError, match=rf"^table 'a': column 'k' row 3 repeats the key {re.escape(shown)}$"):
        db.build()


AUTHORS = ["ada", "bob", "cy"]
FOREIGN = {  # the column 'author' of four commits: nulls and one key no author has
    "object": np.array(["cy", None, "zed", "ada"], dtype=object),
    "pandas str": pd.array(["cy", None, "zed", "ada"], dtype="str"),
    "arrow": pa.array(["cy", None, "zed", "ada"]),
}


@pytest.mark.parametrize("column", FOREIGN.values(), ids=FOREIGN.keys())
def test_dangling_foreign_keys_are_refused_or_dropped_and_nulls_counted(engine, column):
    def database():
        db = Database()
        db.table("author", {"key": np.array(AUTHORS)}, key="key")
        db.table("commit", pd.DataFrame({"hash": ["c0", "c1", "c2", "c3"], "author": column},
                                        index=[10, 11, 12, 13]), key="hash")
        db.foreign_key("commit", "author", refers_to="author")
        return db

    with pytest.raises(ValueError, match=r"^table 'commit': column 'author' row 2 holds 'zed', "
                                         r"which is not a key of 'author' \(dangling='drop'"):
        database().build()
    db = database()
    graph = db.build(dangling="drop")
    assert graph.row["commit__author__author"].tolist() == [3, 0]  # ada <- c3, cy <- c0
    assert graph.colptr["commit__author__author"].tolist() == [0, 1, 1, 2]
    assert (db.report.null, db.report.dangling) == ({("commit", "author"): 1},
                                                    {("commit", "author"): 1})


def test_integer_foreign_keys_with_missing_values_are_nulls_not_floats():
    db = Database()
    db.table("user", {"id": np.array([10, 20])}, key="id")
    db.link("follows", pd.DataFrame({"a": [10, 20, None], "b": [20.0, 10.0, 10.0]}),
            source=("a", "user"), destination=("b", "user"))
    graph = db.build()
    assert graph.row["user__follows__user"].tolist() == [1, 0] and db.report.null == {("follows", "a"): 1}
    db.link("blocks", {"a": np.array([10.5]), "b": np.array([10])},
            source=("a", "user"), destination=("b", "user"))
    with pytest.raises(ValueError, match=r"^table 'blocks': column 'a' row 0 holds 10.5, not an integer"):
        db.build()


def event_database(times, unit):
    rng = np.random.default_rng(0)
    db = Database(time_unit=unit)
    db.table("user", {"id": np.arange(100, 120), "joined": times(rng.integers(-10**6, 10**6, 20))},
             key="id", time="joined")
    db.table("item", {"sku": np.array([f"s{i}" for i in range(8)])}, key="sku")
    db.link("rates", {"u": rng.integers(100, 120, 300), "i": np.array([f"s{i}" for i in rng.integers(0, 8, 300)]),
                      "at": times(rng.integers(-10**6, 10**6, 300))},
            source=("u", "user"), destination=("i", "item"), time="at")
    return db.build(add_reverse=True)


SECONDS = {  # integer seconds as each kind of datetime column holds them, finer where it can be
    "numpy ms": lambda s: (s * 1000 + 999).astype("datetime64[ms]"),
    "pandas, Berlin": lambda s: pd.Series(pd.to_datetime(s, unit="s", utc=True)).dt.tz_convert("Europe/Berlin"),
    "arrow ns, UTC": lambda s: pa.array(s * 10**9 + 1, pa.timestamp("ns", tz="UTC")),
    "arrow s, naive": lambda s: pa.chunked_array([pa.array(s, pa.timestamp("s"))]),
}


@pytest.mark.parametrize("times", SECONDS.values(), ids=SECONDS.keys())
def test_datetime_times_give_the_graph_their_integer_seconds_give(times):
    plain, dated = event_database(lambda s: s, None), event_database(times, "s")
    assert (plain.edge_types, plain.num_nodes, dated.time_unit) == (dated.edge_types, dated.num_nodes, "s")
    for part in ("colptr", "row", "node_time"):
        ours, theirs = getattr(plain, part), getattr(dated, part)
        assert ours.keys() == theirs.keys() and all(np.array_equal(ours[k], theirs[k]) for k in ours)


@pytest.mark.parametrize("call, message", [
    (lambda: time_array("c", np.array(["2020-01-01", "NaT"], "datetime64[s]"), "s"), r"^c row 1 is missing \(NaT\)"),
    (lambda: time_array("c", pd.Series(["2020-01-01"]), "s"), r"^c must hold integers or datetimes, not str objects: convert with pandas.to_datetime"),
    (lambda: time_array("c", np.array([1.0]), "s"), r"^c must hold integers or datetimes, not float64"),
    (lambda: time_array("c", np.array(["2020"], "datetime64[s]"), None), r"pass time_unit"),
    (lambda: time_array("c", np.array([2**62], "datetime64[s]"), "ns"), r"^c row 0 does not fit"),
    (lambda: time_value("seed", "2020-01-01", "s"), r"^seed must hold .* not '2020-01-01' \(str\)"),
    (lambda: time_delta("lag", np.timedelta64(1500, "ms"), "s"), r"^lag is 1500 ms, not a whole number of s"),
    (lambda: time_delta("lag", np.timedelta64(1, "M"), "s"), r"^lag is in 'M', which has no fixed length"),
])
def test_times_that_are_not_counts_of_the_unit_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_scalar_times_count_as_their_columns_do():
    moment = datetime.datetime(1969, 12, 31, 23, 59, 59, 500_000)
    assert time_value("t", moment, "s") == time_array("t", np.array([moment], "datetime64[us]"), "s")[0] == -1
    assert time_value("t", pd.Timestamp("1970-01-01 01:00:00.000000001", tz="Europe/Berlin"), "ns") == 1
    assert time_delta("w", pd.Timedelta(days=1), "ms") == time_delta("w", datetime.timedelta(days=1), "ms") == 86_400_000


def test_a_missing_column_is_named_with_the_columns_present_and_the_option():
    db = Database()
    db.table("file", pa.table({"path": ["a"], "seen": [1]}), key="name")
    with pytest.raises(ValueError, match=r"^table 'file': no column 'name'; it has columns \['path', "
                                         r"'seen'\] \(choose another with key=\.\.\.\)$"):
        db.build()


def saved_keys(folder):
    db = Database(time_unit="ms")
    db.table("a", {"k": np.array(["x", "yy", "zzz"])}, key="k")
    db.table("b", {"k": np.array([5, 6])}, key="k")
    save_graph(folder, db.build())
    return json.loads((folder / "graph.json").read_text())


@pytest.mark.parametrize("tamper, message", [
    (lambda f, m: np.save(f / m["keys"]["a"]["files"]["offsets"], np.array([0, 2, 1, 6])),
     r"keys 'a': the offsets do not divide the data into keys"),
    (lambda f, m: np.save(f / m["keys"]["a"]["files"]["data"], np.zeros(6)), r"holds a 1-D float64 array, not a 1-D uint8"),
    (lambda f, m: np.save(f / m["keys"]["b"]["files"]["values"], np.arange(3)), r"keys 'b' has 3 keys for 2 nodes"),
    (lambda f, m: m["keys"]["b"].update(kind="float"), r"key 'keys.b' must be a mapping with a 'kind'"),
    (lambda f, m: m["keys"]["a"]["files"].pop("offsets"), r"key 'keys.a' must be a mapping with a 'kind'"),
    (lambda f, m: m["keys"].update(c=m["keys"]["a"]), r"key 'keys.c' must be a node type of the graph"),
    (lambda f, m: m.update(time_unit="days"), r"key 'time_unit' must be null or one of s, ms, us, ns"),
])
def test_a_tampered_key_file_or_entry_is_refused_naming_the_folder(tmp_path, tamper, message):
    manifest = saved_keys(tmp_path)
    tamper(tmp_path, manifest)
    (tmp_path / "graph.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match=rf"^{tmp_path}: .*{message}"):
        load_graph(tmp_path)


def test_the_git_history_tables_build_with_their_keys(tmp_path):
    tables = {name: pd.read_parquet(GIT_HISTORY / f"{name}.parquet")
              for name in ("commits", "authors", "files", "parents", "touches")}
    db = Database(time_unit="s")
    db.table("commit", tables["commits"], key="hash", time="time")
    db.table("author", tables["authors"], key="key", time="first_commit")
    db.table("file", tables["files"], key="path", time="first_touched")
    db.foreign_key("commit", "author", refers_to="author")
    db.link("parent", tables["parents"], source=("parent", "commit"), destination=("commit", "commit"))
    db.link("touches", tables["touches"], source=("commit", "commit"), destination=("path", "file"), time="time")
    check_graph(db.build(add_reverse=True))
    save_graph(tmp_path, db.build(add_reverse=True))
    graph = load_graph(tmp_path)
    commit = tables["commits"].iloc[1234]
    node = graph.keys["commit"].ids("seed", [commit["hash"]])[0]
    authors = graph.row["author__rev_author__commit"][graph.colptr["author__rev_author__commit"][node:node + 2]]
    assert graph.keys["author"].keys_of(authors[:1]).tolist() == [commit["author"]]
    assert graph.node_time["commit"][node] == commit["time"].timestamp()
    assert graph.origins[("commit", "rev_parent", "commit")].endswith("made by add_reverse")
    assert db.report.null == db.report.dangling == {}


@pytest.mark.parametrize("module", [corvane_data.keys, corvane_data.times, corvane_data.database])
def test_docstring_examples_run(module):
    assert doctest.testmod(module).failed == 0
