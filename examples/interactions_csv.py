"""Sample a graph read from a CSV of timestamped user-item interactions.

    python examples/interactions_csv.py [path.csv] [--at 2025-05-01] [--users u001,u002]

The CSV has a header and the columns user, item, event and timestamp (ISO 8601),
in any row order, as exported from a shop's event log. Every row becomes an
`interaction` node whose time is the row's timestamp, linked to its user and its
item; users and items get dense ids from their names. A sample around a user at
a point in time then sees only the interactions before it: the user's latest
interactions, their items, and who else interacted with those items lately.
"""

from __future__ import annotations

import argparse
import csv
import datetime
from pathlib import Path

import numpy as np

import corvane
from corvane_data import GraphArrays, build_graph

DEFAULT_CSV = Path(__file__).parent / "data" / "interactions.csv"


def seconds(text: str) -> int:
    return int(datetime.datetime.fromisoformat(text).timestamp())


def read_interactions(path: Path) -> dict[str, np.ndarray]:
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    return {"user": np.array([row["user"] for row in rows]),
            "item": np.array([row["item"] for row in rows]),
            "event": np.array([row["event"] for row in rows]),
            "time": np.array([seconds(row["timestamp"]) for row in rows], dtype=np.int64)}


def interaction_graph(table: dict[str, np.ndarray]) -> tuple[GraphArrays, np.ndarray, np.ndarray]:
    """The graph, and the names of users and items in id order.

    Each row is a timed (user, interaction, item) edge; ``edge_time`` makes it an
    ``interaction`` node with the row's time (node i is row i), joined to its user by
    ``interaction__from__user`` and to its item by ``interaction__to__item``, and
    ``add_reverse`` adds ``user__rev_from__interaction`` and ``item__rev_to__interaction``.
    """
    user_names, user_ids = np.unique(table["user"], return_inverse=True)
    item_names, item_ids = np.unique(table["item"], return_inverse=True)
    interactions = {"source": user_ids, "destination": item_ids, "time": table["time"]}
    graph = build_graph({"user": user_names.size, "item": item_names.size},
                        {("user", "interaction", "item"): interactions},
                        edge_time={("user", "interaction", "item"): "time"}, add_reverse=True)
    return graph, user_names, item_names


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("csv", nargs="?", type=Path, default=DEFAULT_CSV, help="interactions CSV")
    parser.add_argument("--at", default="2025-05-01", help="seed time for every user (default 2025-05-01)")
    parser.add_argument("--users", default=None, help="comma-separated user names (default: the three busiest)")
    args = parser.parse_args()

    table = read_interactions(args.csv)
    graph, user_names, item_names = interaction_graph(table)
    print(f"{args.csv.name}: {table['time'].size} interactions by {user_names.size} users "
          f"on {item_names.size} items")

    if args.users:
        wanted = args.users.split(",")
        missing = sorted(set(wanted) - set(user_names.tolist()))
        if missing:
            parser.error(f"no interactions by {', '.join(missing)}")
        seeds = np.searchsorted(user_names, wanted)
    else:
        seeds = np.argsort(-np.bincount(np.searchsorted(user_names, table["user"])), kind="stable")[:3]
    at = seconds(args.at + ("T00:00:00+00:00" if "T" not in args.at else ""))

    sampler = corvane.NeighborSampler(*graph.arguments(), seed=1)
    # Hop 1: each user's 4 latest interactions. Hop 2: their items (and the user again).
    # Hop 3: the 3 latest interactions on each of those items. Hop 4: who made them.
    num_neighbors = {"interaction__from__user": np.array([4, 0, 0, 0]),
                     "user__rev_from__interaction": np.array([0, 1, 0, 1]),
                     "interaction__to__item": np.array([0, 0, 3, 0]),
                     "item__rev_to__interaction": np.array([0, 1, 0, 0])}
    _, _, nodes, batches, num_nodes, _ = sampler.sample(
        num_neighbors, {}, "user", seeds.astype(np.int64), np.full(seeds.size, at, dtype=np.int64))

    hop_of = {t: np.repeat(np.arange(counts.size), counts) for t, counts in num_nodes.items()}
    for batch, seed in enumerate(seeds):
        mine = {t: batches[t] == batch for t in nodes}
        latest = nodes["interaction"][mine["interaction"] & (hop_of["interaction"] == 1)]
        items = item_names[nodes["item"][mine["item"]]]
        others = user_names[nodes["user"][mine["user"] & (hop_of["user"] > 0)]]
        print(f"\n{user_names[seed]} as of {args.at}:")
        for interaction in latest:
            when = datetime.datetime.fromtimestamp(int(table["time"][interaction]), datetime.UTC)
            print(f"  {when:%Y-%m-%d %H:%M}  {table['event'][interaction]:<8} {table['item'][interaction]}")
        print(f"  items reached: {', '.join(items)}")
        print(f"  others with recent interactions on them: {', '.join(others) or 'none'}")


if __name__ == "__main__":
    main()
