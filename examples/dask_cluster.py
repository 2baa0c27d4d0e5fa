"""Sample on a Dask cluster: one sampling actor per Dask worker over one saved graph.

    python examples/dask_cluster.py                          # a local cluster of 2 workers
    python examples/dask_cluster.py --scheduler tcp://host:8786 --folder /shared/shop-graph

Each Dask worker maps the graph folder once and samples the batches sent to
it, in order, with its own seed derived from the loader's; the batches are the
ones `SeedLoader(..., num_workers=n)` gives with n worker processes, and the
script checks that. On a real cluster, every machine needs this Python with
corvane installed (the same wheel) and the graph folder at the same path
(a shared file system, or a copy per machine); `--folder` names it and the
script writes it there once.
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
from dask.distributed import Client, LocalCluster

import ecommerce
from corvane_data import SeedLoader, save_graph
from corvane_data.dask import DaskWorkers


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scheduler", default=None, help="address of a running scheduler "
                        "(default: start a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="workers of the local cluster (default 2)")
    parser.add_argument("--folder", type=Path, default=None,
                        help="where to save the graph, seen by every worker (default: a temporary folder)")
    parser.add_argument("--scale", type=float, default=0.2, help="shop size, as in demo.py (default 0.2)")
    parser.add_argument("--batches", type=int, default=40, help="batches to sample (default 40)")
    parser.add_argument("--batch-size", type=int, default=512)
    args = parser.parse_args(argv)

    shop = ecommerce.generate(args.scale, seed=0)
    with tempfile.TemporaryDirectory(prefix="corvane-dask-") as scratch:
        folder = save_graph(args.folder or scratch, shop.graph)
        rng = np.random.default_rng(0)
        seeds = rng.integers(0, shop.num_nodes["customer"], args.batches * args.batch_size)
        times = np.full(seeds.size, ecommerce.END)
        options = {"num_neighbors": [8, 4], "batch_size": args.batch_size, "seed": 1}
        cluster = None if args.scheduler else LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
        with Client(args.scheduler or cluster) as client:
            count = len(client.scheduler_info()["workers"])
            started = time.perf_counter()
            with SeedLoader(folder, "customer", seeds, times, workers=DaskWorkers.on(client),
                            **options) as loader:
                on_dask = list(loader)
            elapsed = time.perf_counter() - started
        if cluster is not None:
            cluster.close()
        print(f"Dask: {len(on_dask)} batches of {args.batch_size} on {count} workers in "
              f"{elapsed:.2f} s (actors started included), "
              f"{sum(sum(b.num_edges.values()) for b in on_dask):,} edges")
        with SeedLoader(folder, "customer", seeds, times, num_workers=count, **options) as local:
            same = all(np.array_equal(a.edge_index[e], b.edge_index[e])
                       for a, b in zip(on_dask, local, strict=True) for e in a.edge_index)
        print(f"Same batches as {count} local worker processes: {'yes' if same else 'NO'}")


if __name__ == "__main__":
    main()
