"""A generated e-commerce graph: customers, products and orders, with timestamps.

Times are seconds since the Unix epoch, spanning two years. The data is skewed
the way shop data is: a few customers place most orders (log-normal activity),
a few products sell most (Zipf-like popularity), and orders hold one to eight
products. Every order comes after its customer's sign-up and after its
products' listing. Four edge types connect the three node types both ways:

    order    placed_by  customer   a customer's orders
    customer places     order      an order's customer
    product  in         order      an order's products
    order    contains   product    a product's orders

Each column is ordered by the source nodes' times, so all four can be sampled
by time.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from corvane_data import GraphArrays, build_graph

DAY = 86_400
START = 1_704_067_200  # 2024-01-01T00:00:00Z
END = START + 730 * DAY

BASE_CUSTOMERS, BASE_PRODUCTS, BASE_ORDERS = 20_000, 4_000, 100_000


@dataclass
class Shop:
    """The generated tables and the sampler's arrays built from them."""

    tables: dict[str, dict[str, np.ndarray]]
    graph: GraphArrays

    @property
    def arguments(self) -> dict[str, Any]:
        """The constructor's arguments, by keyword."""
        names = ("node_types", "edge_types", "colptr", "row", "node_time")
        return dict(zip(names, self.graph.arguments()))

    @property
    def num_nodes(self) -> dict[str, int]:
        return self.graph.num_nodes

    @property
    def node_time(self) -> dict[str, np.ndarray]:
        return self.graph.node_time

    @property
    def num_edges(self) -> dict[str, int]:
        return {key: int(row.size) for key, row in self.graph.row.items()}


def build(tables: dict[str, Any]) -> GraphArrays:
    """The shop's tables (dicts of columns or pandas DataFrames) as the sampler's arrays."""
    orders, lines = tables["orders"], tables["order_lines"]
    return build_graph(
        {"customer": len(tables["customers"]["signup"]), "product": len(tables["products"]["listed"]),
         "order": len(orders["placed"])},
        {("order", "placed_by", "customer"): (orders["order"], orders["customer"]),
         ("customer", "places", "order"): (orders["customer"], orders["order"]),
         ("product", "in", "order"): (lines["product"], lines["order"]),
         ("order", "contains", "product"): (lines["order"], lines["product"])},
        node_time={"customer": tables["customers"]["signup"], "product": tables["products"]["listed"],
                   "order": orders["placed"]})


def generate(scale: float = 1.0, seed: int = 0) -> Shop:
    """20,000 customers, 4,000 products and 100,000 orders at scale 1; counts grow linearly."""
    rng = np.random.default_rng(seed)
    num_customers = max(1, round(BASE_CUSTOMERS * scale))
    num_products = max(1, round(BASE_PRODUCTS * scale))
    num_orders = max(1, round(BASE_ORDERS * scale))

    signup = rng.integers(START, END - 30 * DAY, num_customers)
    listed = rng.integers(START - 365 * DAY, END - 60 * DAY, num_products)

    activity = rng.lognormal(0.0, 1.2, num_customers)
    buyer = rng.choice(num_customers, num_orders, p=activity / activity.sum())
    placed = signup[buyer] + (rng.random(num_orders) * (END - signup[buyer])).astype(np.int64)
    by_time = np.argsort(placed, kind="stable")  # order ids follow time, as in a shop database
    buyer, placed = buyer[by_time], placed[by_time]

    popularity = 1.0 / np.arange(1, num_products + 1) ** 1.1
    popularity = rng.permutation(popularity / popularity.sum())
    items_per_order = np.minimum(rng.geometric(0.45, num_orders), 8)
    line_order = np.repeat(np.arange(num_orders), items_per_order)
    line_product = rng.choice(num_products, line_order.size, p=popularity)
    for _ in range(8):  # a product cannot be bought before it is listed: draw again
        early = np.flatnonzero(listed[line_product] > placed[line_order])
        if not early.size:
            break
        line_product[early] = rng.choice(num_products, early.size, p=popularity)
    keep = listed[line_product] <= placed[line_order]
    lines = np.unique(np.stack([line_order[keep], line_product[keep]]), axis=1)

    tables = {
        "customers": {"signup": signup},
        "products": {"listed": listed},
        "orders": {"order": np.arange(num_orders), "customer": buyer, "placed": placed},
        "order_lines": {"order": lines[0], "product": lines[1]},
    }
    return Shop(tables=tables, graph=build(tables))
