"""Sample a generated e-commerce graph batch by batch and report what came out.

Run with `make demo`, or `python examples/demo.py --help` for the options.

Seeds are customers, each with a seed time in the last six months of the data:
every seed's tree holds only what happened up to its seed time. By default each
hop takes the most recent neighbours (fan-out per hop); with --window, orders
are taken by time window instead (every order in the last N days).
"""

from __future__ import annotations

import argparse
import datetime
import time
from typing import Any

import numpy as np

import corvane
import ecommerce
from corvane_edges import edge_type_key

ORDER_SOURCED = ("order__placed_by__customer", "order__contains__product")


def per_hop_list(text: str) -> list[int]:
    try:
        values = [int(value) for value in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated integers, got {text!r}") from None
    return values


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Example: python examples/demo.py --scale 0.2 --batches 50 --window 90,90,7")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="dataset size: 1.0 is 20,000 customers, 4,000 products and 100,000 "
                             "orders (default 1.0)")
    parser.add_argument("--batches", type=int, default=1000, help="number of batches to sample (default 1000)")
    parser.add_argument("--batch-size", type=int, default=512, help="seed customers per batch (default 512)")
    parser.add_argument("--fanout", type=per_hop_list, default=[8, 4, 2], metavar="K1,K2,...",
                        help="neighbours per hop for every edge type, the most recent before the "
                             "seed time; -1 takes all (default 8,4,2)")
    parser.add_argument("--window", type=per_hop_list, default=None, metavar="DAYS1,DAYS2,...",
                        help="sample orders by time window instead: at hop h, every order placed in "
                             "the DAYS_h days up to the seed time; wide windows at hop 3 take many "
                             "orders (the other edge types keep --fanout)")
    parser.add_argument("--seed", type=int, default=0,
                        help="seed of the dataset, the seed choice and the sampler (default 0)")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    args = parser.parse_args(argv)
    if args.scale <= 0 or args.batches < 1 or args.batch_size < 1:
        parser.error("--scale, --batches and --batch-size must be positive")
    if args.window is not None and min(args.window) <= 0:
        parser.error("--window needs positive numbers of days")
    return args


def request(args: argparse.Namespace, edge_keys: list[str]) -> tuple[dict, dict]:
    """num_neighbors and sampling_time_offsets for every edge type."""
    num_neighbors = {key: np.array(args.fanout, dtype=np.int64) for key in edge_keys}
    offsets = {}
    if args.window is not None:
        for key in ORDER_SOURCED:
            del num_neighbors[key]
            offsets[key] = np.array([(-days * ecommerce.DAY, 0) for days in args.window], dtype=np.int64)
    return num_neighbors, offsets


def date(timestamp: int) -> str:
    return datetime.datetime.fromtimestamp(int(timestamp), datetime.UTC).strftime("%Y-%m-%d")


def report_graph(shop: ecommerce.Shop) -> None:
    print("Graph: generated e-commerce data, "
          f"{date(ecommerce.START)} to {date(ecommerce.END)}")
    print("  nodes  " + "  ".join(f"{node_type} {count:,}" for node_type, count in shop.num_nodes.items()))
    width = max(map(len, shop.num_edges))
    for key, count in shop.num_edges.items():
        print(f"  edges  {key:<{width}}  {count:,}")


def report_batch(result: tuple, num_seeds: int, edge_keys: list[str]) -> None:
    num_nodes, num_edges = result[4], result[5]
    hops = len(next(iter(num_nodes.values()))) - 1
    width = max(map(len, edge_keys))
    print(f"\nFirst batch ({num_seeds} seeds), added per hop:")
    columns = ["seeds"] + [f"hop {hop}" for hop in range(1, hops + 1)]
    print(f"  {'':<{width}}" + "".join(f"{column:>8}" for column in columns))
    for name, counts in [*num_nodes.items(), *num_edges.items()]:
        cells = [""] * (len(columns) - len(counts)) + counts.tolist()  # edges have no seed column
        print(f"  {name:<{width}}" + "".join(f"{cell:>8}" for cell in cells))


def seed_tree(result: tuple, edge_types: list, batch: int) -> tuple[dict, int]:
    """The children of every node of one seed's tree, and how many edges close a cycle.

    Nodes are (node type, local index). Edges are recorded hop by hop, edge types in
    order, in admission order: a node admitted in hop h hangs below the destination of
    the first edge recorded for it in hop h. Every other edge of the tree leads to a
    node that is already in it (such as the seed itself).
    """
    rows, cols, _, batches, num_nodes, num_edges = result
    hop_start = {node_type: np.cumsum(np.concatenate([[0], counts])) for node_type, counts in num_nodes.items()}
    children: dict[tuple[str, int], list[tuple[str, int]]] = {}
    placed: set[tuple[str, int]] = set()
    other_edges = 0
    for edge_type in edge_types:  # all hops of one edge type, then the next: edges carry their hop
        source, _, destination = edge_type
        key = edge_type_key(edge_type)
        edge_start = np.cumsum(np.concatenate([[0], num_edges[key]]))
        for hop in range(len(num_edges[key])):
            new_first, new_end = hop_start[source][hop + 1], hop_start[source][hop + 2]
            span = slice(edge_start[hop], edge_start[hop + 1])
            for r, c in zip(rows[key][span].tolist(), cols[key][span].tolist()):
                if batches[destination][c] != batch:
                    continue
                node = (source, r)
                if new_first <= r < new_end and node not in placed:
                    placed.add(node)
                    children.setdefault((destination, c), []).append(node)
                else:
                    other_edges += 1
    return children, other_edges


def print_tree(result: tuple, shop: ecommerce.Shop, seed_times: np.ndarray, batch: int,
               max_children: int = 2, max_lines: int = 12) -> None:
    children, other_edges = seed_tree(result, shop.arguments["edge_types"], batch)
    nodes = result[2]
    entity = shop.arguments["node_types"][0]
    seed = (entity, batch)  # seeds come first, so seed i has local index i

    def label(node: tuple[str, int]) -> str:
        node_type, local = node
        global_id = int(nodes[node_type][local])
        return f"{node_type} {global_id} ({date(shop.node_time[node_type][global_id])})"

    lines = [f"{label(seed)}, seed time {date(seed_times[batch])}"]

    def walk(node: tuple[str, int], prefix: str) -> None:
        kids = children.get(node, [])
        shown = kids[:max_children]
        for number, kid in enumerate(shown):
            last = number == len(shown) - 1 and len(kids) == len(shown)
            lines.append(f"{prefix}{'└─ ' if last else '├─ '}{label(kid)}")
            walk(kid, prefix + ("   " if last else "│  "))
        if len(kids) > len(shown):
            rest = kids[len(shown):]
            kinds = sorted({node_type for node_type, _ in rest})
            lines.append(f"{prefix}└─ … {len(rest)} more ({', '.join(kinds)})")

    walk(seed, "  ")
    size = 1 + sum(len(kids) for kids in children.values())
    print(f"\nOne seed's tree ({size} nodes; {other_edges} more edges lead back to nodes already in it):")
    for line in lines[:max_lines]:
        print("  " + line)
    if len(lines) > max_lines:
        print(f"    … {len(lines) - max_lines} more lines")


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    started = time.perf_counter()
    shop = ecommerce.generate(args.scale, args.seed)
    generated = time.perf_counter() - started
    report_graph(shop)
    print(f"  generated in {generated:.1f} s")

    edge_keys = [edge_type_key(edge_type) for edge_type in shop.arguments["edge_types"]]
    num_neighbors, offsets = request(args, edge_keys)
    sampler = corvane.NeighborSampler(**shop.arguments, seed=args.seed)
    rng = np.random.default_rng(args.seed)
    num_customers = shop.num_nodes["customer"]
    how = (f"time windows of {args.window} days for orders, fan-out {args.fanout} otherwise"
           if args.window else f"fan-out {args.fanout}, most recent first")
    print(f"\nSampling {args.batches} batches of {args.batch_size} customers: {how}", flush=True)

    first: tuple[Any, Any] | None = None  # the first batch's result and seed times
    sampled_nodes = sampled_edges = 0
    elapsed = 0.0
    if args.no_progress:
        steps = range(args.batches)
    else:
        from tqdm import tqdm  # the demo extra: pip install corvane[demo]

        steps = tqdm(range(args.batches), unit="batch", ncols=80)
    for _ in steps:
        seeds = rng.integers(0, num_customers, args.batch_size)
        seed_times = ecommerce.END - rng.integers(0, 180 * ecommerce.DAY, args.batch_size)
        started = time.perf_counter()
        result = sampler.sample(num_neighbors, offsets, "customer", seeds, seed_times)
        elapsed += time.perf_counter() - started
        sampled_nodes += sum(int(values.size) for values in result[2].values())
        sampled_edges += sum(int(values.size) for values in result[0].values())
        if first is None:
            first = (result, seed_times)

    seeds_total = args.batches * args.batch_size
    print(f"Throughput: {args.batches / elapsed:,.0f} batches/s, {seeds_total / elapsed:,.0f} seeds/s, "
          f"{sampled_nodes / elapsed:,.0f} nodes/s, {sampled_edges / elapsed:,.0f} edges/s "
          f"({elapsed:.2f} s in sample)")
    print(f"  per batch on average: {sampled_nodes / args.batches:,.0f} nodes, "
          f"{sampled_edges / args.batches:,.0f} edges")

    assert first is not None  # at least one batch ran
    result, seed_times = first
    report_batch(result, args.batch_size, edge_keys)
    sizes = np.bincount(np.concatenate(list(result[3].values())), minlength=args.batch_size)
    print_tree(result, shop, seed_times, int(np.argmax(sizes >= np.median(sizes))))


if __name__ == "__main__":
    main()
