"""A real temporal database to a trained model: will an author commit again within 90 days?

    python examples/git_history.py                      # the test sample (the year 2005)
    python examples/git_history.py ../shared/data/git-history --workers 2   # or auto

The tables are a public project's git history (commits keyed by hash, authors
by a hashed e-mail, files by path, UTC datetimes), described as they are:
primary keys, a foreign key, link tables. The task table holds, at the end of
every month, each author active in the year before it, labelled with
whether they commit in the 90 days after it. It is cut by time into training,
validation and test rows; each seed is sampled at its row's time, so its tree
holds only commits up to that time. Two features per seed come from its tree
(its commits in the last year, the days since the newest), a logistic
regression learns from the training rows, and its AUC on the test rows is
printed for the validation and test rows beside that of recency alone.
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from corvane_data import Database, NodeTask, SeedLoader, save_graph

SAMPLE = Path(__file__).resolve().parents[1] / "tests" / "data" / "git-history-2005"
DAY = 86_400  # seconds: the graph's time unit is "s"
HORIZON = pd.Timedelta(days=90)


def database(folder: Path) -> Database:
    """The five tables as they are, their keys and times untouched."""
    read = {name: pd.read_parquet(folder / f"{name}.parquet")
            for name in ("authors", "commits", "files", "parents", "touches")}
    db = Database(time_unit="s")
    db.table("author", read["authors"], key="key", time="first_commit")
    db.table("commit", read["commits"], key="hash", time="time")
    db.table("file", read["files"], key="path", time="first_touched")
    db.foreign_key("commit", "author", refers_to="author", relation="wrote")
    db.link("parent", read["parents"], source=("parent", "commit"), destination=("commit", "commit"))
    db.link("touches", read["touches"], source=("commit", "commit"), destination=("path", "file"),
            time="time")
    return db


def task_table(commits: pd.DataFrame) -> pd.DataFrame:
    """(author, time, label) at each month's end: authors active in the year before it."""
    ends = pd.date_range(commits["time"].min().ceil("D"), commits["time"].max() - HORIZON,
                         freq="ME", tz="UTC")
    rows = []
    for end in ends:  # one vectorised step per month, not a loop over rows
        before = commits[(commits["time"] > end - pd.Timedelta(days=365)) & (commits["time"] <= end)]
        after = commits[(commits["time"] > end) & (commits["time"] <= end + HORIZON)]
        active = before["author"].unique()
        rows.append(pd.DataFrame({"author": active, "time": end,
                                  "active_next": np.isin(active, after["author"].unique())}))
    return pd.concat(rows, ignore_index=True)


def features(batch, commit_time: np.ndarray) -> np.ndarray:
    """Per seed: log of its commits in the last year, log of the days since its newest."""
    mine = batch.node_seed["commit"]
    count = np.bincount(mine, minlength=len(batch.seed_ids))
    newest = np.full(len(batch.seed_ids), np.iinfo(np.int64).min)
    np.maximum.at(newest, mine, commit_time[batch.node_ids["commit"]])
    days = np.where(count > 0, (batch.seed_time - newest) / DAY, 365.0)
    return np.column_stack([np.log1p(count), np.log1p(days)])


def table_of(loader: SeedLoader, commit_time: np.ndarray) -> tuple[np.ndarray, np.ndarray, float]:
    """Features and labels of every seed of one epoch, and the seconds spent waiting for batches."""
    rows, labels, waited = [], [], 0.0
    started = time.perf_counter()
    for batch in loader:
        waited += time.perf_counter() - started
        rows.append(features(batch, commit_time))
        labels.append(batch.labels["active_next"])
        started = time.perf_counter()
    if not rows:
        return np.empty((0, 2)), np.empty(0), waited
    return np.concatenate(rows), np.concatenate(labels).astype(float), waited


def logistic_regression(x: np.ndarray, y: np.ndarray, steps: int = 500) -> np.ndarray:
    """Weights (bias last) by gradient descent on the mean log-loss of standardised features."""
    design = np.column_stack([x, np.ones(len(x))])
    weights = np.zeros(design.shape[1])
    for _ in range(steps):
        predicted = 1 / (1 + np.exp(-design @ weights))
        weights -= 0.5 * design.T @ (predicted - y) / len(y)
    return weights


def auc(score: np.ndarray, label: np.ndarray) -> float:
    """The chance that a positive scores above a negative (ties count half)."""
    ranks = pd.Series(score).rank().to_numpy()
    positives = label.sum()
    return float((ranks[label == 1].sum() - positives * (positives + 1) / 2)
                 / (positives * (len(label) - positives)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", type=Path, default=SAMPLE,
                        help="the git-history tables (default: the test sample, the year 2005)")
    parser.add_argument("--workers", type=lambda value: value if value == "auto" else int(value),
                        default=0, help="worker processes, or auto")
    parser.add_argument("--batch-size", type=int, default=256)
    args = parser.parse_args()

    started = time.perf_counter()
    db = database(args.folder)
    graph = db.build(add_reverse=True)
    print(f"graph: {sum(graph.num_nodes.values()):,} nodes, "
          f"{sum(len(row) for row in graph.row.values()):,} edges in {len(graph.edge_types)} edge types, "
          f"built in {time.perf_counter() - started:.2f} s; null or dropped foreign keys: {db.report}")

    commits = pd.read_parquet(args.folder / "commits.parquet", columns=["author", "time"])
    table = task_table(commits)
    task = NodeTask.from_table(graph, "author", table, key="author", time="time", labels=["active_next"])
    times = table["time"].sort_values()
    validation_from, test_from = times.quantile(0.6), times.quantile(0.8)
    # a label looks HORIZON ahead: rows that close to a cut would see into the next part
    train, validation, test = task.split_by_time(validation_from, test_from, gap=HORIZON)
    print(f"task: {len(task):,} rows, {table['active_next'].mean():.0%} positive; "
          f"train {len(train):,} / validation {len(validation):,} / test {len(test):,} "
          f"(cut at {validation_from:%Y-%m-%d} and {test_from:%Y-%m-%d})")

    with tempfile.TemporaryDirectory() as folder:
        save_graph(folder, graph)
        options = {"num_neighbors": [8], "batch_size": args.batch_size, "num_workers": args.workers,
                   "time_offsets": {("commit", "wrote", "author"): [(-pd.Timedelta(days=365), 0)]}}
        commit_time = graph.node_time["commit"]
        with SeedLoader.from_task(folder, train, shuffle=True, **options) as loader:
            first = loader.batch(0, 0)
            print(f"batch 0: {len(first.seed_ids)} authors, first keys {first.keys('author')[:2].tolist()}, "
                  f"{first.num_nodes['commit']} commits in their last year")
            x_train, y_train, waited_train = table_of(loader, commit_time)
            workers = loader.num_workers  # what auto chose, if asked to
        with SeedLoader.from_task(folder, validation, **options) as loader:
            x_valid, y_valid, waited_valid = table_of(loader, commit_time)
        with SeedLoader.from_task(folder, test, **options) as loader:
            x_test, y_test, waited_test = table_of(loader, commit_time)

    mean, spread = x_train.mean(axis=0), x_train.std(axis=0) + 1e-9
    weights = logistic_regression((x_train - mean) / spread, y_train)
    for name, x, y in (("validation", x_valid, y_valid), ("test", x_test, y_test)):
        if len(np.unique(y)) == 2:  # a cut without both labels has no AUC
            score = np.column_stack([(x - mean) / spread, np.ones(len(x))]) @ weights
            print(f"{name} AUC: model {auc(score, y):.3f}, recency alone {auc(-x[:, 1], y):.3f}")
    print(f"waited for batches {waited_train + waited_valid + waited_test:.2f} s "
          f"of {time.perf_counter() - started:.2f} s in all, with {workers} worker processes")


if __name__ == "__main__":
    main()
