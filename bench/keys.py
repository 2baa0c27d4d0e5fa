"""Seconds per stage to turn a database with text keys into a saved graph, against plain numpy.

    python bench/keys.py [--users N] [--items N] [--rows N] [--repeats N] [--form arrow|numpy]
                         [--without-pyarrow]

A user table (N string primary keys), an item table, and a link table of
``--rows`` ratings: a user key, an item key and a datetime each (timed, so
every rating becomes an event node). Stages: key encoding (the primary keys
to key maps, the foreign keys to ids, the datetimes to seconds), build_graph
on those ids, save_graph; then Database.build end to end. The baseline is the
numpy way to the same ids: ``np.unique(..., return_inverse=True)`` over the
same strings (as a numpy ``StringDType`` array) and over their integer ids,
so "numpy speed" reads as a ratio. Medians of ``--repeats`` runs.
``--without-pyarrow`` looks text keys up as an installation without pyarrow
does (numpy's sort and binary search); the tables are still made with it.
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import corvane_data.keys
from corvane_data import Database, KeyMap, build_graph, save_graph
from corvane_data.times import time_array


def tables(users: int, items: int, rows: int, form: str) -> dict[str, Any]:
    import pyarrow as pa

    rng = np.random.default_rng(0)
    user_keys = np.char.add("user-", rng.permutation(users).astype(str)).astype(np.dtypes.StringDType())
    item_keys = np.char.add("item-", rng.permutation(items).astype(str)).astype(np.dtypes.StringDType())
    start = np.datetime64("2020-01-01T00:00:00", "us")
    ratings = {"user": user_keys[rng.integers(0, users, rows)], "item": item_keys[rng.integers(0, items, rows)],
               "at": start + rng.integers(0, 5 * 365 * 86_400 * 10**6, rows).astype("timedelta64[us]")}
    found = {"user": {"key": user_keys}, "item": {"key": item_keys}, "rates": ratings}
    if form == "arrow":  # as pyarrow.parquet.read_table gives them
        found = {name: pa.table({column: pa.array(values) for column, values in table.items()})
                 for name, table in found.items()}
    return found


def staged(data: dict[str, Any], folder: str) -> dict[str, float]:
    """The stages Database.build runs, each timed; save_graph after them."""
    seconds = {}
    start = time.perf_counter()
    users = KeyMap.from_keys("user", data["user"]["key"])
    items = KeyMap.from_keys("item", data["item"]["key"])
    sources = users.ids("rates: user", data["rates"]["user"])
    destinations = items.ids("rates: item", data["rates"]["item"])
    times = time_array("rates: at", data["rates"]["at"], "s")
    seconds["key encoding"] = time.perf_counter() - start
    start = time.perf_counter()
    graph = build_graph({"user": len(users), "item": len(items)},
                        {("user", "rates", "item"): (sources, destinations)},
                        edge_time={("user", "rates", "item"): times}, add_reverse=True)
    seconds["build_graph"] = time.perf_counter() - start
    start = time.perf_counter()
    save_graph(folder, graph)
    seconds["save_graph"] = time.perf_counter() - start
    start = time.perf_counter()
    db = Database(time_unit="s")
    db.table("user", data["user"], key="key")
    db.table("item", data["item"], key="key")
    db.link("rates", data["rates"], source=("user", "user"), destination=("item", "item"), time="at")
    db.build(add_reverse=True)
    seconds["Database.build"] = time.perf_counter() - start
    return seconds


def baseline(data: dict[str, Any]) -> dict[str, float]:
    """numpy's own way to dense ids of the same keys, and the same over integers."""
    strings = {column: np.asarray(data["rates"][column]).astype(np.dtypes.StringDType())
               for column in ("user", "item")}
    integers = {column: np.unique(values, return_inverse=True)[1] for column, values in strings.items()}
    seconds = {}
    for label, columns in (("np.unique strings", strings), ("np.unique int64", integers)):
        start = time.perf_counter()
        for values in columns.values():
            np.unique(values, return_inverse=True)
        seconds[label] = time.perf_counter() - start
    return seconds


def medians(run: Callable[[], dict[str, float]], repeats: int) -> dict[str, float]:
    runs = [run() for _ in range(repeats)]
    return {stage: statistics.median(r[stage] for r in runs) for stage in runs[0]}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--users", type=int, default=1_000_000)
    parser.add_argument("--items", type=int, default=100_000)
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--form", choices=("arrow", "numpy"), default="arrow")
    parser.add_argument("--without-pyarrow", action="store_true")
    args = parser.parse_args(argv)
    if args.without_pyarrow:
        corvane_data.keys._arrow = lambda: None
    data = tables(args.users, args.items, args.rows, args.form)
    with tempfile.TemporaryDirectory() as folder:
        ours = medians(lambda: staged(data, folder), args.repeats)
    theirs = medians(lambda: baseline(data), args.repeats)
    print(f"{args.users:,} users, {args.items:,} items, {args.rows:,} timed link rows with text "
          f"keys ({args.form} columns{', without pyarrow' if args.without_pyarrow else ''}); "
          f"medians of {args.repeats}")
    for stage, value in {**ours, **theirs}.items():
        print(f"  {stage:<18} {value:7.2f} s")
    for label in theirs:
        print(f"  key encoding / {label}: {ours['key encoding'] / theirs[label]:.2f}")


if __name__ == "__main__":
    main()
