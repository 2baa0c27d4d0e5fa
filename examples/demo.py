"""Tables to a training step: a generated shop, sampled by worker processes, fed to a layer.

Run with `make demo`, or `python examples/demo.py --help` for the options.

The toolkit end to end: the shop's tables (pandas DataFrames) become the
sampler's arrays (`corvane_data.build_graph`), pass the full graph check
(`check_graph`), are saved as a graph folder (`save_graph`) that worker
processes map once, and a `SeedLoader` samples batches of customers in those
workers. Each mini-batch's node features are gathered by global id and go
through one step of a small numpy message-passing layer (the mean of each
node's neighbours' features), to show the batches are what a GNN consumes.

Seeds are customers, each with a seed time in the last six months of the data:
every seed's tree holds only what happened up to its seed time. By default each
hop takes the most recent neighbours (fan-out per hop); with --window, orders
are taken by time window instead (every order in the last N days).
"""

from __future__ import annotations

import argparse
import datetime
import tempfile
import time
from typing import Any

import numpy as np

import ecommerce
from corvane_data import GraphArrays, MiniBatch, SeedLoader, check_graph, save_graph

ORDER_SOURCED = (("order", "placed_by", "customer"), ("order", "contains", "product"))
FEATURES = 16  # per node, generated: the layer's input width


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
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes that sample (0: sample in this process; default 2)")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    args = parser.parse_args(argv)
    if args.scale <= 0 or args.batches < 1 or args.batch_size < 1 or args.workers < 0:
        parser.error("--scale, --batches and --batch-size must be positive, --workers not negative")
    if args.window is not None and min(args.window) <= 0:
        parser.error("--window needs positive numbers of days")
    return args


def request(args: argparse.Namespace, edge_types: list) -> dict[str, Any]:
    """The loader's num_neighbors and time_offsets for every edge type."""
    num_neighbors = {edge_type: args.fanout for edge_type in edge_types}
    offsets = {}
    if args.window is not None:
        for edge_type in ORDER_SOURCED:
            del num_neighbors[edge_type]
            offsets[edge_type] = [(-days * ecommerce.DAY, 0) for days in args.window]
    return {"num_neighbors": num_neighbors, "time_offsets": offsets}


def date(timestamp: int) -> str:
    return datetime.datetime.fromtimestamp(int(timestamp), datetime.UTC).strftime("%Y-%m-%d")


def report_graph(shop: ecommerce.Shop) -> None:
    print("Graph: generated e-commerce data, "
          f"{date(ecommerce.START)} to {date(ecommerce.END)}")
    print("  nodes  " + "  ".join(f"{node_type} {count:,}" for node_type, count in shop.num_nodes.items()))
    width = max(map(len, shop.num_edges))
    for key, count in shop.num_edges.items():
        print(f"  edges  {key:<{width}}  {count:,}")


def report_batch(batch: MiniBatch) -> None:
    num_nodes, num_edges = batch.num_nodes_per_hop, batch.num_edges_per_hop
    hops = len(next(iter(num_nodes.values()))) - 1
    names: dict[Any, str] = {t: t for t in num_nodes}
    names.update({e: "__".join(e) for e in num_edges})
    width = max(map(len, names.values()))
    print(f"\nFirst batch ({len(batch.seed_ids)} seeds), added per hop:")
    columns = ["seeds"] + [f"hop {hop}" for hop in range(1, hops + 1)]
    print(f"  {'':<{width}}" + "".join(f"{column:>8}" for column in columns))
    for name, counts in [*num_nodes.items(), *num_edges.items()]:
        cells = [""] * (len(columns) - len(counts)) + counts.tolist()  # edges have no seed column
        print(f"  {names[name]:<{width}}" + "".join(f"{cell:>8}" for cell in cells))


def seed_tree(batch: MiniBatch, seed: int) -> tuple[dict, int]:
    """The children of every node of one seed's tree, and how many edges close a cycle.

    Nodes are (node type, local index). Edges are recorded hop by hop, edge types in
    order, in admission order: a node admitted in hop h hangs below the destination of
    the first edge recorded for it in hop h. Every other edge of the tree leads to a
    node that is already in it (such as the seed itself).
    """
    hop_start = {node_type: np.cumsum(np.concatenate([[0], counts]))
                 for node_type, counts in batch.num_nodes_per_hop.items()}
    children: dict[tuple[str, int], list[tuple[str, int]]] = {}
    placed: set[tuple[str, int]] = set()
    other_edges = 0
    for edge_type, (rows, cols) in batch.edge_index.items():  # an edge type's hops, then the next
        source, _, destination = edge_type
        edge_start = np.cumsum(np.concatenate([[0], batch.num_edges_per_hop[edge_type]]))
        for hop in range(len(edge_start) - 1):
            new_first, new_end = hop_start[source][hop + 1], hop_start[source][hop + 2]
            span = slice(edge_start[hop], edge_start[hop + 1])
            for r, c in zip(rows[span].tolist(), cols[span].tolist()):
                if batch.node_seed[destination][c] != seed:
                    continue
                node = (source, r)
                if new_first <= r < new_end and node not in placed:
                    placed.add(node)
                    children.setdefault((destination, c), []).append(node)
                else:
                    other_edges += 1
    return children, other_edges


def tree_to_show(batch: MiniBatch) -> int | None:
    """A seed of typical tree size among those whose tree holds more than the seed."""
    sizes = np.bincount(np.concatenate(list(batch.node_seed.values())), minlength=len(batch.seed_ids))
    grown = np.flatnonzero(sizes > 1)
    if not grown.size:
        return None
    return int(grown[np.argmin(np.abs(sizes[grown] - np.median(sizes[grown])))])


def print_tree(batch: MiniBatch, graph: GraphArrays, max_children: int = 2,
               max_lines: int = 12) -> None:
    seed = tree_to_show(batch)
    if seed is None:
        print("\nNo seed of the first batch has a neighbour to show (fan-out 0 or no history).")
        return
    children, other_edges = seed_tree(batch, seed)
    root = (batch.seed_type, seed)  # seeds come first, so seed i has local index i

    def label(node: tuple[str, int]) -> str:
        node_type, local = node
        global_id = int(batch.node_ids[node_type][local])
        return f"{node_type} {global_id} ({date(graph.node_time[node_type][global_id])})"

    lines = [f"{label(root)}, seed time {date(batch.seed_time[seed])}"]

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

    walk(root, "  ")
    size = 1 + sum(len(kids) for kids in children.values())
    print(f"\nOne seed's tree ({size} nodes; {other_edges} more edges lead back to nodes already in it):")
    for line in lines[:max_lines]:
        print("  " + line)
    if len(lines) > max_lines:
        print(f"    … {len(lines) - max_lines} more lines")


def mean_layer(batch: MiniBatch, features: dict[str, np.ndarray],
               weights: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """One message-passing step: per node, ReLU(mean of its neighbours' features @ W_type).

    Messages flow along ``edge_index`` from sources (row 0) to destinations (row 1);
    a node's mean runs over its incoming edges of every edge type.
    """
    sums = {t: np.zeros((len(ids), FEATURES)) for t, ids in batch.node_ids.items()}
    degree = {t: np.zeros(len(ids)) for t, ids in batch.node_ids.items()}
    for (source, _, destination), (rows, cols) in batch.edge_index.items():
        count = len(degree[destination])
        slots = (cols[:, None] * FEATURES + np.arange(FEATURES)).ravel()  # one bincount for all columns
        sums[destination] += np.bincount(slots, features[source][rows].ravel(),
                                         minlength=count * FEATURES).reshape(count, FEATURES)
        degree[destination] += np.bincount(cols, minlength=count)
    return {t: np.maximum((sums[t] / np.maximum(degree[t], 1)[:, None]) @ weights[t], 0.0)
            for t in sums}


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    started = time.perf_counter()
    shop = ecommerce.generate(args.scale, args.seed)
    try:
        import pandas as pd  # the demo extra; the toolkit takes plain dicts of columns as well

        tables: dict[str, Any] = {name: pd.DataFrame(columns) for name, columns in shop.tables.items()}
    except ImportError:
        tables = shop.tables
    generated = time.perf_counter() - started
    report_graph(shop)
    print(f"  tables generated in {generated:.2f} s ({type(tables['orders']).__name__}s)")

    started = time.perf_counter()
    graph = ecommerce.build(tables)
    built = time.perf_counter() - started
    started = time.perf_counter()
    check_graph(graph)
    print(f"  tables to arrays in {built:.2f} s; full graph check passed in "
          f"{time.perf_counter() - started:.2f} s")

    rng = np.random.default_rng(args.seed)
    num_seeds = args.batches * args.batch_size
    seeds = rng.integers(0, graph.num_nodes["customer"], num_seeds)
    seed_times = ecommerce.END - rng.integers(0, 180 * ecommerce.DAY, num_seeds)
    features = {t: rng.standard_normal((count, FEATURES), dtype=np.float32)
                for t, count in graph.num_nodes.items()}
    weights = {t: rng.standard_normal((FEATURES, FEATURES)) / FEATURES**0.5 for t in graph.node_types}
    how = (f"time windows of {args.window} days for orders, fan-out {args.fanout} otherwise"
           if args.window else f"fan-out {args.fanout}, most recent first")
    where = f"{args.workers} worker processes" if args.workers else "this process"
    print(f"\nSampling {args.batches} batches of {args.batch_size} customers in {where}: {how}",
          flush=True)

    with tempfile.TemporaryDirectory(prefix="corvane-demo-") as folder:
        save_graph(folder, graph)
        with SeedLoader(folder, "customer", seeds, seed_times, batch_size=args.batch_size,
                        seed=args.seed, num_workers=args.workers, **request(args, graph.edge_types)) as loader:
            first, timing, sampled = run_steps(loader, features, weights, args.no_progress)

    total = sum(timing.values())
    print(f"Throughput: {args.batches / total:,.0f} steps/s, {num_seeds / total:,.0f} seeds/s, "
          f"{sampled[0] / total:,.0f} nodes/s, {sampled[1] / total:,.0f} edges/s")
    print("  per step: " + ", ".join(f"{name} {1000 * seconds / args.batches:.2f} ms"
                                     for name, seconds in timing.items()))
    print(f"  per batch on average: {sampled[0] / args.batches:,.0f} nodes, "
          f"{sampled[1] / args.batches:,.0f} edges")
    batch, output = first
    report_batch(batch)
    seed_output = output["customer"][batch.seed_positions]
    print(f"\nLayer output for the first batch's seeds: {seed_output.shape[0]} x {seed_output.shape[1]}, "
          f"mean {seed_output.mean():.3f}, {np.mean(seed_output > 0):.0%} positive")
    print_tree(batch, graph)


def run_steps(loader: SeedLoader, features: dict[str, np.ndarray], weights: dict[str, np.ndarray],
              quiet: bool) -> tuple[tuple[MiniBatch, dict], dict[str, float], tuple[int, int]]:
    """Every batch through gather and the layer; the first batch and output, times, sizes."""
    timing = {"waiting for the loader": 0.0, "gathering features": 0.0, "layer": 0.0}
    first: tuple[MiniBatch, dict] | None = None
    nodes = edges = 0
    batches: Any = loader
    if not quiet:
        from tqdm import tqdm  # the demo extra: pip install corvane[demo]

        batches = tqdm(loader, unit="step", ncols=80)  # len(loader) gives the bar its end
    mark = time.perf_counter()
    for batch in batches:
        now = time.perf_counter()
        timing["waiting for the loader"] += now - mark
        gathered = batch.gather(features)
        mark, now = now, time.perf_counter()
        timing["gathering features"] += now - mark
        output = mean_layer(batch, gathered, weights)
        mark = time.perf_counter()
        timing["layer"] += mark - now
        nodes += sum(batch.num_nodes.values())
        edges += sum(batch.num_edges.values())
        if first is None:
            first = (batch, output)
    assert first is not None  # at least one batch ran
    return first, timing, (nodes, edges)


if __name__ == "__main__":
    main()
