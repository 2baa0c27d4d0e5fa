"""Generated graphs for the benchmarks. Degrees follow power laws, every node
has a time, and every column is sorted by its source nodes' times.

"shop" (relational): customers place orders, orders contain products; the most
popular product sits in more than a million orders at the default scale. At
scale 1: 2e6 customers, 2e5 products, 1e7 orders and about 5e7 edges over four
edge types (both directions of both relations). Its columns are short, and
most of a call's reads fall in few pages.

"user-item" (interactions): users and items joined by one relation stored both
ways. At scale 1: 2e6 users, 4e5 items and 4e7 edges each way (8e7 in all),
20 items per user and 100 users per item on average: long columns spread
over the whole row array, so a call's reads are memory-bound.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

NODE_TYPES = ["customer", "product", "order"]  # the shop graph's
EDGE_TYPES = [
    ("order", "placed_by", "customer"),   # column of a customer: its orders
    ("customer", "places", "order"),      # column of an order: its customer
    ("product", "contained_in", "order"),  # column of an order: its products
    ("order", "contains", "product"),     # column of a product: orders holding it
]
USER_ITEM_NODE_TYPES = ["user", "item"]
USER_ITEM_EDGE_TYPES = [
    ("item", "chosen_by", "user"),  # column of a user: the items it chose
    ("user", "chose", "item"),      # column of an item: the users that chose it
]
KINDS = ("shop", "user-item")
TIME_SPAN = 10**8  # seconds, about 3 years


def key(edge_type):
    return "__".join(edge_type)


@dataclass
class Graph:
    sizes: dict
    colptr: dict
    row: dict
    node_time: dict
    kind: str = "shop"

    @property
    def node_types(self):
        return NODE_TYPES if self.kind == "shop" else USER_ITEM_NODE_TYPES

    @property
    def edge_types(self):
        return EDGE_TYPES if self.kind == "shop" else USER_ITEM_EDGE_TYPES

    @property
    def seed_type(self):
        """The node type the standard workloads start from."""
        return "customer" if self.kind == "shop" else "user"

    @property
    def hub_edge_type(self):
        """The edge type whose columns the hub workloads select from."""
        return self.edge_types[-1]

    @property
    def num_edges(self):
        return sum(len(r) for r in self.row.values())

    def constructor_args(self, with_times=True):
        return self.node_types, self.edge_types, self.colptr, self.row, self.node_time if with_times else {}

    def degrees(self, edge_type):
        return np.diff(self.colptr[key(edge_type)])


def power_law_ids(rng, count, size, exponent):
    """`size` ids below `count`, id popularity following rank**-exponent, ranks shuffled."""
    weights = np.arange(1, count + 1, dtype=np.float64) ** -exponent
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    ranks = np.searchsorted(cdf, rng.random(size), side="right")
    return rng.permutation(count)[np.minimum(ranks, count - 1)]


def by_destination(destination, source, source_time, num_destinations):
    """colptr over destinations and row of sources, each column ordered by source time."""
    order = np.argsort(destination * np.int64(TIME_SPAN) + source_time[source], kind="stable")
    colptr = np.zeros(num_destinations + 1, dtype=np.int64)
    np.cumsum(np.bincount(destination, minlength=num_destinations), out=colptr[1:])
    return colptr, np.ascontiguousarray(source[order])


def generate_user_item(scale: float = 1.0, seed: int = 0) -> Graph:
    rng = np.random.default_rng(seed)
    sizes = {"user": max(int(2_000_000 * scale), 10), "item": max(int(400_000 * scale), 10)}
    node_time = {t: rng.integers(0, TIME_SPAN, sizes[t], dtype=np.int64)
                 for t in USER_ITEM_NODE_TYPES}
    num_edges = max(int(40_000_000 * scale), 100)
    users = power_law_ids(rng, sizes["user"], num_edges, 0.5)
    items = power_law_ids(rng, sizes["item"], num_edges, 0.7)
    colptr, row = {}, {}
    for edge_type, destination, source in [
        (USER_ITEM_EDGE_TYPES[0], users, items),
        (USER_ITEM_EDGE_TYPES[1], items, users),
    ]:
        source_type, _, destination_type = edge_type
        colptr[key(edge_type)], row[key(edge_type)] = by_destination(
            destination, source, node_time[source_type], sizes[destination_type])
    return Graph(sizes, colptr, row, node_time, "user-item")


def generate(scale: float = 1.0, seed: int = 0, kind: str = "shop") -> Graph:
    if kind == "user-item":
        return generate_user_item(scale, seed)
    rng = np.random.default_rng(seed)
    sizes = {
        "customer": max(int(2_000_000 * scale), 10),
        "product": max(int(200_000 * scale), 10),
        "order": max(int(10_000_000 * scale), 10),
    }
    node_time = {t: rng.integers(0, TIME_SPAN, sizes[t], dtype=np.int64) for t in NODE_TYPES}

    orders = np.arange(sizes["order"], dtype=np.int64)
    customer_of_order = power_law_ids(rng, sizes["customer"], sizes["order"], 0.9)
    items_per_order = 1 + rng.poisson(0.5, sizes["order"])
    item_order = np.repeat(orders, items_per_order)
    item_product = power_law_ids(rng, sizes["product"], len(item_order), 1.05)

    colptr, row = {}, {}
    for edge_type, destination, source in [
        (EDGE_TYPES[0], customer_of_order, orders),
        (EDGE_TYPES[1], orders, customer_of_order),
        (EDGE_TYPES[2], item_order, item_product),
        (EDGE_TYPES[3], item_product, item_order),
    ]:
        source_type, _, destination_type = edge_type
        colptr[key(edge_type)], row[key(edge_type)] = by_destination(
            destination, source, node_time[source_type], sizes[destination_type])
    return Graph(sizes, colptr, row, node_time)


def load_or_generate(scale: float, seed: int, cache: Path, kind: str = "shop",
                     mmap: bool = False) -> Graph:
    """The graph for (scale, seed), generated once and kept as .npy files;
    mmap: its arrays mapped from those files rather than read into memory."""
    prefix = "graph" if kind == "shop" else kind
    folder = cache / f"{prefix}-scale{scale:g}-seed{seed}"
    empty = Graph({}, {}, {}, {}, kind)
    names = [f"colptr.{key(e)}" for e in empty.edge_types] + [
        f"row.{key(e)}" for e in empty.edge_types] + [f"node_time.{t}" for t in empty.node_types]
    if not all((folder / f"{name}.npy").exists() for name in names):
        started = time.perf_counter()
        graph = generate(scale, seed, kind)
        folder.mkdir(parents=True, exist_ok=True)
        for part in ("colptr", "row", "node_time"):
            for name, array in getattr(graph, part).items():
                np.save(folder / f"{part}.{name}.npy", array)
        print(f"generated the graph in {time.perf_counter() - started:.1f} s ({folder})")
    arrays = {part: {} for part in ("colptr", "row", "node_time")}
    for name in names:
        part, _, rest = name.partition(".")
        arrays[part][rest] = np.load(folder / f"{name}.npy", mmap_mode="r" if mmap else None)
    sizes = {t: len(arrays["node_time"][t]) for t in empty.node_types}
    return Graph(sizes, arrays["colptr"], arrays["row"], arrays["node_time"], empty.kind)
