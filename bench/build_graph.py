"""Seconds to turn edge tables into the sampler's arrays with corvane_data.build_graph.

    python bench/build_graph.py [--edges N]

One edge type of N random (source, destination) pairs between 10^6 users and
10^5 items, with and without source times (which add the stable sort by time).
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from corvane_data import build_graph


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--edges", type=int, default=50_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)
    users, items = 1_000_000, 100_000
    table = {"source": rng.integers(0, users, args.edges), "destination": rng.integers(0, items, args.edges)}
    times = rng.integers(0, 10**9, users)
    for label, node_time in (("without times", None), ("with source times", {"user": times})):
        seconds = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            build_graph({"user": users, "item": items}, {("user", "buys", "item"): table},
                        node_time=node_time)
            seconds.append(time.perf_counter() - start)
        median = statistics.median(seconds)
        print(f"{args.edges:,} edges, {label}: {median:.2f} s (median of {args.repeats}), "
              f"{args.edges / median / 1e6:.1f} M edges/s")


if __name__ == "__main__":
    main()
