"""Inputs chosen to make the sampler slow: node ids that collide in a fixed
hash, and graphs with tens of thousands of edge types.

    python bench/attacks.py

Each figure is a median over calls, and the flooding cost is the median
ratio over alternating calls of chosen and random ids of the same count, so
that both see the same machine.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import corvane

# The multiplicative hash the de-duplication index once used: the home slot
# of (batch 0, node) was the top bits of node * FIXED modulo 2^64.
FIXED = (0x9E3779B97F4A7C15 * 0xD6E8FEB86659FD93) % 2**64


def colliding_ids(count):
    """`count` distinct non-negative ids (count < 2^18) whose products with
    FIXED share their top 25 bits, so under the fixed hash they all share one
    home slot at any table size up to 2^25."""
    inverse = pow(FIXED, -1, 2**64)
    j = np.arange(2 * count + 64, dtype=np.uint64)
    with np.errstate(over="ignore"):
        ids = ((j << np.uint64(20)) * np.uint64(inverse)).view(np.int64)
    return ids[ids >= 0][:count]


def random_ids(count, rng):
    return rng.choice(2**62, size=count, replace=False).astype(np.int64)


def one_column_sampler(neighbors):
    """Node 0 of type 'a' whose column holds `neighbors`, ids of type 'b'."""
    key = "b__to__a"
    return corvane.NeighborSampler(["a", "b"], [("b", "to", "a")],
                                   {key: np.array([0, len(neighbors)], np.int64)},
                                   {key: neighbors}, {})


def timed_call(sampler):
    started = time.perf_counter()
    sampler.sample({"b__to__a": np.array([-1], np.int64)}, {}, "a",
                   np.zeros(1, np.int64), np.zeros(0, np.int64))
    return time.perf_counter() - started


def flooding(count, pairs, seed=0):
    """Median seconds of one call taking `count` chosen ids and `count` random
    ids, and the median of their ratio over alternating calls."""
    chosen = one_column_sampler(colliding_ids(count))
    spread = one_column_sampler(random_ids(count, np.random.default_rng(seed)))
    timed_call(chosen), timed_call(spread)  # warm-up: storage grown once
    times = [(timed_call(chosen), timed_call(spread)) for _ in range(pairs)]
    return (statistics.median(c for c, _ in times), statistics.median(s for _, s in times),
            statistics.median(c / s for c, s in times))


def many_edge_types(count, repeats):
    """Median seconds to construct a sampler with `count` edge types into one
    node type, and of one call sampling one neighbour through each."""
    edge_types = [(f"s{i}", "r", "hub") for i in range(count)]
    keys = [f"s{i}__r__hub" for i in range(count)]
    colptr = {k: np.array([0, 1], np.int64) for k in keys}
    row = {k: np.array([0], np.int64) for k in keys}
    counts = {k: np.array([1], np.int64) for k in keys}
    construct, call = [], []
    for _ in range(repeats):
        started = time.perf_counter()
        sampler = corvane.NeighborSampler(["hub"], edge_types, colptr, row, {})
        between = time.perf_counter()
        sampler.sample(counts, {}, "hub", np.zeros(1, np.int64), np.zeros(0, np.int64))
        construct.append(between - started)
        call.append(time.perf_counter() - between)
    return statistics.median(construct), statistics.median(call)


def run(counts=(131_072, 262_144), pairs=5, edge_types=48_000, repeats=3):
    report = {"flooding": [], "edge_types": None}
    for count in counts:
        chosen, spread, ratio = flooding(count, pairs)
        report["flooding"].append({"ids": count, "chosen_s": chosen, "random_s": spread,
                                   "ratio": ratio})
        print(f"{count:,} ids: chosen {chosen * 1e3:.2f} ms, random {spread * 1e3:.2f} ms, "
              f"ratio {ratio:.2f}x (median over {pairs} alternating pairs)")
    construct, call = many_edge_types(edge_types, repeats)
    report["edge_types"] = {"count": edge_types, "construct_s": construct, "call_s": call}
    print(f"{edge_types:,} edge types: construct {construct * 1e3:.1f} ms, "
          f"one call {call * 1e3:.1f} ms (median of {repeats})")
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=5, help="alternating call pairs")
    parser.add_argument("--edge-types", type=int, default=48_000)
    args = parser.parse_args(argv)
    run(pairs=args.pairs, edge_types=args.edge_types)


if __name__ == "__main__":
    main()
