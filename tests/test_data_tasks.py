"""Task tables: keys and datetimes to seeds, labels with their seeds, cuts by time, no future."""

from pathlib import Path

import numpy as np
import pytest

from corvane_data import Database, NodeTask, SeedLoader

pd = pytest.importorskip("pandas")

SAMPLE = Path(__file__).resolve().parent / "data" / "git-history-2005"


@pytest.fixture(scope="module")
def shop():
    db = Database(time_unit="s")
    customers = pd.DataFrame({"id": [f"c{i:03}" for i in range(40)][::-1],
                              "joined": pd.Timestamp("2024-01-01", tz="UTC")
                              + pd.to_timedelta(np.arange(40), unit="D")})
    db.table("customer", customers, key="id", time="joined")
    orders = pd.DataFrame({"order": [f"o{i}" for i in range(120)],
                           "customer": [f"c{i % 40:03}" for i in range(120)],
                           "at": pd.Timestamp("2024-03-01", tz="UTC") + pd.to_timedelta(np.arange(120), unit="h")})
    db.table("order", orders, key="order", time="at")
    db.foreign_key("order", "customer", refers_to="customer")
    return db.build(add_reverse=True)


def test_task_rows_by_key_and_datetime_reach_their_seeds_with_their_labels(shop):
    table = pd.DataFrame({"who": [f"c{i:03}" for i in range(39, -1, -1)],
                          "when": pd.Timestamp("2024-03-02 00:00:30", tz="Europe/Paris")
                          + pd.to_timedelta(np.arange(40), unit="D"),
                          "spent": np.arange(40) * 1.5})
    task = NodeTask.from_table(shop, "customer", table, key="who", time="when")
    assert list(task.labels) == ["spent"]
    loader = SeedLoader.from_task(shop, task, num_neighbors=[3, 2], batch_size=16, shuffle=True, seed=4)
    spent = dict(zip(table["who"], table["spent"]))
    when = dict(zip(table["who"], (table["when"] - pd.Timestamp(0, tz="UTC")) // pd.Timedelta(seconds=1)))
    for batch in loader:
        keys = batch.keys("customer")[:len(batch.seed_ids)]
        assert batch.labels["spent"].tolist() == [spent[key] for key in keys]
        assert batch.seed_time.tolist() == [when[key] for key in keys]
    early, middle, late = task.split_by_time(pd.Timestamp("2024-03-12", tz="UTC"), np.datetime64("2024-04-01"))
    assert (len(early), len(middle), len(late)) == (11, 20, 9)  # 00:00:30 in Paris is 23:00:30 UTC
    assert early.time.max() < middle.time.min() and middle.time.max() < late.time.min()
    gapped = task.split_by_time(pd.Timestamp("2024-03-12", tz="UTC"), np.datetime64("2024-04-01"),
                                gap=pd.Timedelta(days=2))
    assert [len(part) for part in gapped] == [9, 18, 9]


@pytest.mark.parametrize("table, options, message", [
    ({"who": ["c001", "nobody"]}, {"key": "who"}, r"column 'who'.* row 1.*'nobody'"),
    ({"who": ["c001"]}, {"key": "customer"}, r"no column 'customer'; it has columns \['who'\] \(choose another with key="),
    ({"who": ["c001"], "at": [1.5]}, {"key": "who", "time": "at"}, r"column 'at' .*float64"),
    ({"who": ["c001"], "y": [1, 2]}, {"key": "who"}, r"column 'y' has 2 rows, the keys 1"),
])
def test_bad_task_tables_are_refused_naming_column_and_row(shop, table, options, message):
    with pytest.raises(ValueError, match=message):
        NodeTask.from_table(shop, "customer", table, **options)


def test_no_tree_of_real_history_holds_a_commit_after_its_seed_time():
    tables = {name: pd.read_parquet(SAMPLE / f"{name}.parquet") for name in ("authors", "commits", "files", "touches")}
    db = Database(time_unit="s")
    db.table("author", tables["authors"], key="key", time="first_commit")
    db.table("commit", tables["commits"], key="hash", time="time")
    db.table("file", tables["files"], key="path")
    db.foreign_key("commit", "author", refers_to="author")
    db.link("touches", tables["touches"], source=("commit", "commit"), destination=("path", "file"))
    graph = db.build(add_reverse=True)
    commits = tables["commits"].iloc[::25]
    task = NodeTask.from_table(graph, "commit", commits, key="hash", time="time", labels=["is_merge"])
    for batch in SeedLoader.from_task(graph, task, num_neighbors=[4, 4, 4], batch_size=32):
        seen = graph.node_time["commit"][batch.node_ids["commit"]]
        assert np.all(seen <= batch.seed_time[batch.node_seed["commit"]])
        assert batch.keys("commit")[:len(batch.seed_ids)].tolist() == \
            tables["commits"]["hash"].iloc[batch.seed_ids].tolist()
