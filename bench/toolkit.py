"""Figures of the corvane_data toolkit on one generated graph.

    python bench/toolkit.py            # 10^6 users, 10^5 items, 5*10^7 purchases
    python bench/toolkit.py --quick    # 10^5 users, 10^4 items, 10^6 purchases, fewer calls
    python bench/toolkit.py --only storage workers   # some sections only

Users buy items; every purchase is stored in both directions, as
``("user", "buys", "item")`` (an item's column: its buyers) and
``("item", "bought_by", "user")`` (a user's column: the items bought), so
two hops from users reach items, then other users. Users and items have
times, so the graph check runs its order check on both edge types.

Sections, each printed with the command line that reproduces it:

1. check: seconds of ``find_faults`` over the built graph.
2. storage: ``load_graph`` with and without ``mmap``, and ``sample`` over the
   mapped and the in-memory arrays, alternated call by call.
3. overhead: a sampler per batch, built as the loader builds it (construction,
   its one call, dropping it), and ``MiniBatch.from_result``, against the
   calls of one long-lived sampler on the same seeds.
4. workers: ``SeedLoader`` throughput with 0, 1 and 2 worker processes over
   the saved folder; where a batch's time goes (sampling, building it,
   moving it, waiting) in the workers and in this process; this process's
   resident memory over 10 epochs; the memory the workers hold of the files.
5. pyg: ``MiniBatch.to_pyg`` without and with features, beside the call that
   sampled the batch (needs torch and torch_geometric).
6. links: a ``LinkLoader`` batch (negatives, labels, a sampler, its calls,
   merging) against the bare calls it makes, alternated batch by batch.

Every ratio compares figures of this run; medians throughout.
"""

from __future__ import annotations

import os

# numpy's BLAS threads are never used here; idle, they would compete with the
# measured code for this machine's cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import resource
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import psutil

import corvane
from corvane_data import (
    GraphArrays,
    LinkLoader,
    LinkTask,
    MiniBatch,
    SeedLoader,
    build_graph,
    find_faults,
    load_graph,
    save_graph,
)
from corvane_data.workers import SPARE_SLOTS, Timings

SECTIONS = ("check", "storage", "overhead", "workers", "pyg", "links")
BUYS, BOUGHT_BY = ("user", "buys", "item"), ("item", "bought_by", "user")
FAN_OUT = [15, 10]
TIME_SPAN = 10**8


STEP_MS = 10.0  # the stand-in training step per batch
FEATURES = 64  # float32 features per user and per item, for to_pyg


def options(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a graph of 10^6 purchases and fewer calls (under a minute)")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, default=list(SECTIONS))
    parser.add_argument("--seeds", type=int, default=1024, help="seeds per call or batch")
    parser.add_argument("--folder", help="where to save the graph (default: a temporary folder)")
    args = parser.parse_args(argv)
    # Quick mode keeps the degrees in proportion (10 items a user, 100 users an item).
    args.users, args.items = (100_000, 10_000) if args.quick else (1_000_000, 100_000)
    args.purchases = 1_000_000 if args.quick else 50_000_000
    args.calls = 40 if args.quick else 200        # sample calls per variant
    args.repeats = 1 if args.quick else 3         # of find_faults and load_graph
    args.batches = 20 if args.quick else 200      # loader batches per epoch
    args.rounds = 2 if args.quick else 3          # timed epochs per worker count
    return args


def command(args: argparse.Namespace, section: str) -> str:
    return f"python bench/toolkit.py{' --quick' if args.quick else ''} --only {section}"


def generated_graph(args: argparse.Namespace) -> GraphArrays:
    rng = np.random.default_rng(0)
    users = rng.integers(0, args.users, args.purchases)
    items = rng.integers(0, args.items, args.purchases)
    node_time = {"user": rng.integers(0, TIME_SPAN, args.users),
                 "item": rng.integers(0, TIME_SPAN, args.items)}
    start = time.perf_counter()
    graph = build_graph({"user": args.users, "item": args.items},
                        {BUYS: (users, items), BOUGHT_BY: (items, users)}, node_time=node_time)
    print(f"graph: {args.users:,} users, {args.items:,} items, {args.purchases:,} purchases "
          f"stored both ways ({stored_edges(graph):,} edges), with user and item times; "
          f"build_graph {time.perf_counter() - start:.1f} s\n")
    return graph


def stored_edges(graph: GraphArrays) -> int:
    return sum(len(row) for row in graph.row.values())


def median_seconds(run, repeats: int) -> float:
    seconds = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds)


def check_section(args: argparse.Namespace, graph: GraphArrays) -> None:
    print(f"1. graph check  ({command(args, 'check')})")
    faults = find_faults(graph)
    if faults:
        raise SystemExit(f"the generated graph has faults: {faults}")
    seconds = median_seconds(lambda: find_faults(graph), args.repeats)
    edges = stored_edges(graph)
    print(f"   find_faults over {edges:,} edges (colptr, row and order checks): {seconds:.2f} s "
          f"(median of {args.repeats}), {edges / seconds / 1e6:.1f} M edges/s\n")


def sampler(graph: GraphArrays, timed: bool) -> corvane.NeighborSampler:
    """Without node times every edge type is sampled uniformly; with them, by time."""
    node_time = graph.node_time if timed else {}
    return corvane.NeighborSampler(graph.node_types, graph.edge_types, graph.colptr, graph.row,
                                   node_time, seed=1)


def fan_out(graph: GraphArrays) -> dict[str, np.ndarray]:
    return {"__".join(edge_type): np.array(FAN_OUT, np.int64) for edge_type in graph.edge_types}


def seed_batches(args: argparse.Namespace, count: int) -> list[np.ndarray]:
    rng = np.random.default_rng(1)
    return [rng.integers(0, args.users, args.seeds) for _ in range(count)]


def call_ms(sampler_: corvane.NeighborSampler, request: dict, seeds: np.ndarray) -> float:
    no_times = np.empty(0, np.int64)  # by time, the seeds' times are the users' own
    start = time.perf_counter()
    sampler_.sample(request, {}, "user", seeds, no_times)
    return (time.perf_counter() - start) * 1e3


def storage_section(args: argparse.Namespace, graph: GraphArrays, folder: Path) -> None:
    print(f"2. storage  ({command(args, 'storage')})")
    start = time.perf_counter()
    save_graph(folder, graph)
    print(f"   save_graph: {time.perf_counter() - start:.2f} s, "
          f"{folder_bytes(folder) / 2**20:,.0f} MiB in {folder}")
    for mmap in (True, False):
        seconds = median_seconds(lambda mmap=mmap: load_graph(folder, mmap=mmap), args.repeats)
        print(f"   load_graph(mmap={mmap}): {seconds * 1e3:.1f} ms (median of {args.repeats})")
    before = anon_huge_pages_kib()
    mapped, in_memory = load_graph(folder, mmap=True), load_graph(folder, mmap=False)
    print(f"   transparent huge pages: {thp_setting()}; the in-memory load added "
          f"{(anon_huge_pages_kib() - before) / 1024:,.0f} MiB of AnonHugePages to this process "
          f"(smaps_rollup: {anon_huge_pages_kib() / 1024:,.0f} MiB in all)")
    request = fan_out(graph)
    print(f"   sample: {args.seeds} seeds, fan-out {FAN_OUT}, {args.calls} calls per variant, "
          "mapped and in-memory alternated (A B A B) on the same seeds")
    print(f"   {'variant':<30} {'mapped ms':>10} {'in-memory ms':>13} {'mapped/in-memory':>17}")
    for label, timed in (("uniform, no times", False), ("by time (most recent)", True)):
        on_mapped, on_memory = sampler(mapped, timed), sampler(in_memory, timed)
        seeds = seed_batches(args, args.calls + 5)
        for batch in seeds[:5]:  # first touches of the mapped pages
            call_ms(on_mapped, request, batch), call_ms(on_memory, request, batch)
        times = [(call_ms(on_mapped, request, batch), call_ms(on_memory, request, batch))
                 for batch in seeds[5:]]
        a, b = (statistics.median(column) for column in zip(*times))
        print(f"   {label:<30} {a:>10.2f} {b:>13.2f} {a / b:>16.2f}x")
    print()


def folder_bytes(folder: Path) -> int:
    return sum(path.stat().st_size for path in folder.iterdir())


def thp_setting() -> str:
    try:
        return Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text().strip()
    except OSError:
        return "unknown"


def anon_huge_pages_kib() -> int:
    try:
        for line in Path("/proc/self/smaps_rollup").read_text().splitlines():
            if line.startswith("AnonHugePages:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def overhead_section(args: argparse.Namespace, graph: GraphArrays) -> None:
    """A sampler per batch, built as the loader builds it, against one long-lived sampler."""
    print(f"3. loader overhead  ({command(args, 'overhead')})")
    untimed = GraphArrays(graph.node_types, graph.edge_types, graph.colptr, graph.row, {},
                          graph.num_nodes)  # uniform, as in section 4
    long_lived, request = corvane.NeighborSampler(*untimed.arguments(), seed=1), fan_out(graph)
    batches = seed_batches(args, args.calls + 5)
    bare: list[float] = []
    phases: dict[str, list[float]] = {phase: [] for phase in PER_BATCH_PHASES}
    for number, seeds in enumerate(batches):
        if number % 2 == 0:
            long_ms = bare_ms(long_lived, request, seeds)
            batch_ms = per_batch_ms(untimed, request, seeds, number)
        else:
            batch_ms = per_batch_ms(untimed, request, seeds, number)
            long_ms = bare_ms(long_lived, request, seeds)
        if number < 5:  # warm-up: first touches of the seeds' columns
            continue
        bare.append(long_ms)
        for phase, ms in zip(PER_BATCH_PHASES, batch_ms):
            phases[phase].append(ms)
    call, split = statistics.median(bare), {k: statistics.median(v) for k, v in phases.items()}
    built_and_called = [c + s for c, s in zip(phases["construction"], phases["sample"])]
    fresh = [b + d for b, d in zip(built_and_called, phases["dropping it"])]
    whole = [f + w for f, w in zip(fresh, phases["from_result"])]
    print(f"   {args.seeds} seeds, fan-out {FAN_OUT}, uniform, in memory, {args.calls} batches; "
          "the two kinds alternated (A B B A) on the same seeds; medians")
    print(f"   long-lived sampler: sample {call:.2f} ms")
    print("   a sampler per batch, NeighborSampler(*graph.arguments(), seed=s), one call, dropped: "
          + ", ".join(f"{phase} {split[phase]:.3f} ms" for phase in PER_BATCH_PHASES[:3]))
    print(f"   sampler per batch / long-lived call: construction + sample "
          f"{statistics.median(built_and_called) / call:.3f}x, and dropping it "
          f"{statistics.median(fresh) / call:.3f}x")
    print(f"   MiniBatch.from_result {split['from_result']:.3f} ms: {split['from_result'] / call:.1%} "
          f"of the long-lived call")
    print(f"   (sampler per batch + from_result) / bare calls: {statistics.median(whole) / call:.3f}x")
    loader_against_bare_calls(args, untimed, long_lived, request)


def loader_against_bare_calls(args: argparse.Namespace, graph: GraphArrays,
                              long_lived: corvane.NeighborSampler, request: dict) -> None:
    """A whole in-process epoch of the loader against the bare calls of one sampler on its batches."""
    count = 20 if args.quick else 50
    seeds = np.concatenate(seed_batches(args, count))
    loader = SeedLoader(graph, "user", seeds, num_neighbors=FAN_OUT, batch_size=args.seeds,
                        labels={"y": np.zeros(len(seeds))})
    batches = [seeds[start:start + args.seeds] for start in range(0, len(seeds), args.seeds)]
    ratios = []
    for _ in range(args.rounds * 2):
        start = time.perf_counter()
        for batch in loader:
            del batch
        epoch = time.perf_counter() - start
        bare = sum(bare_ms(long_lived, request, seeds) for seeds in batches) / 1e3
        ratios.append(epoch / bare)
    print(f"   SeedLoader, in this process, one epoch of {count} batches (a sampler per batch, "
          f"MiniBatch, labels) / the bare calls of one long-lived sampler on the same batches: "
          f"{statistics.median(ratios):.3f}x (median of {len(ratios)} alternated pairs; "
          f"{', '.join(f'{ratio:.3f}' for ratio in ratios)})\n")


PER_BATCH_PHASES = ("construction", "sample", "dropping it", "from_result")


def bare_ms(sampler_: corvane.NeighborSampler, request: dict, seeds: np.ndarray) -> float:
    """Milliseconds of one call; its result is freed after the timed part, as per_batch_ms's."""
    no_times = np.empty(0, np.int64)
    start = time.perf_counter()
    result = sampler_.sample(request, {}, "user", seeds, no_times)
    elapsed = time.perf_counter() - start
    del result
    return elapsed * 1e3


def per_batch_ms(graph: GraphArrays, request: dict, seeds: np.ndarray,
                 seed: int) -> tuple[float, ...]:
    """Milliseconds of each of PER_BATCH_PHASES for one batch on a sampler of its own."""
    no_times = np.empty(0, np.int64)
    start = time.perf_counter()
    per_batch = corvane.NeighborSampler(*graph.arguments(), seed=seed)
    built = time.perf_counter()
    result = per_batch.sample(request, {}, "user", seeds, no_times)
    called = time.perf_counter()
    del per_batch
    dropped = time.perf_counter()
    batch = MiniBatch.from_result(result, graph.edge_types, "user", seeds, no_times)
    wrapped = time.perf_counter()
    del batch, result  # as the bare call's result, freed outside the timed parts
    marks = (start, built, called, dropped, wrapped)
    return tuple((b - a) * 1e3 for a, b in zip(marks, marks[1:]))


def training_step(milliseconds: float):
    """A stand-in for a training step: fixed numpy work of about ``milliseconds`` here."""
    x, w = np.ones((512, 256)), np.full((256, 256), 1e-3)

    def work(repeats: int) -> None:
        for _ in range(repeats):
            x @ w

    once = median_seconds(lambda: work(1), 20)
    repeats = max(1, round(milliseconds / 1e3 / once))
    return lambda: work(repeats)


def workers_section(args: argparse.Namespace, graph: GraphArrays, folder: Path) -> None:
    print(f"4. workers  ({command(args, 'workers')})")
    save_graph(folder, GraphArrays(graph.node_types, graph.edge_types, graph.colptr, graph.row,
                                   {}, graph.num_nodes))  # no times: uniform, as in section 2
    seeds = np.random.default_rng(2).integers(0, args.users, args.batches * args.seeds)
    loaders = {count: SeedLoader(folder, "user", seeds, num_neighbors=FAN_OUT,
                                 batch_size=args.seeds, num_workers=count)
               for count in (0, 1, 2)}
    for loader in loaders.values():  # starts the workers; they map and touch the graph
        sum(1 for _ in loader)
    step = training_step(STEP_MS)
    kinds = {"alone": lambda: None, "with step": step}
    seconds: dict[tuple[str, int], list[float]] = {(k, c): [] for k in kinds for c in loaders}
    phases: dict[int, list[dict[str, float]]] = {count: [] for count in loaders}
    for _ in range(args.rounds):
        for kind, work in kinds.items():
            for count, loader in loaders.items():
                timings = loader._workers.timings  # type: ignore[union-attr]
                timings.clear()
                start = time.perf_counter()
                for _batch in loader:
                    work()
                seconds[kind, count].append(time.perf_counter() - start)
                if kind == "alone":
                    phases[count].append(timings.median())
    print(f"   SeedLoader over the mapped folder: {args.batches} batches of {args.seeds} seeds "
          f"per epoch, fan-out {FAN_OUT}, uniform, forkserver; epoch after a warm-up one, "
          f"worker counts alternated, median of {args.rounds}; 'with step': this process "
          f"also spends ~{STEP_MS:.0f} ms of numpy work on each batch, as training would")
    print(f"   {'workers':>7} {'batches/s alone':>16} {'vs 0':>6} {'batches/s with step':>20} "
          f"{'vs 0':>6}")
    for count in loaders:
        cells = []
        for kind in kinds:
            base, epoch = (statistics.median(seconds[kind, c]) for c in (0, count))
            cells.append(f"{args.batches / epoch:>{16 if kind == 'alone' else 20}.1f} "
                         f"{base / epoch:>5.2f}x")
        print(f"   {count:>7} " + " ".join(cells))
    time_split(args, loaders, seconds, phases)
    batch = next(iter(loaders[0]))
    pools = loaders[2]._workers.pools  # type: ignore[union-attr]
    slots = [len(pool.slots) for pool in pools]
    slot_mib = sum(len(slot) for pool in pools for slot in pool.slots.values()) / 2**20
    print(f"   a worker's batch ({batch_mib(batch):.1f} MiB of arrays) reaches this process in a "
          f"shared-memory slot of its worker's: slots per worker now {slots} (bound: prefetch "
          f"+ {SPARE_SLOTS} = {pools[0].bound}), {slot_mib:.1f} MiB in all")
    loaders.pop(0).close()
    loaders.pop(1).close()
    resident_over_epochs(args, loaders[2])
    graph_memory(folder, loaders[2])
    loaders[2].close()
    print()


PHASES = Timings.PHASES


def time_split(args: argparse.Namespace, loaders: dict[int, SeedLoader],
               seconds: dict[tuple[str, int], list[float]],
               phases: dict[int, list[dict[str, float]]]) -> None:
    """Milliseconds of each phase of the median batch, in the epochs without a step."""
    print(f"   where a batch's time goes, without a step (ms; each phase's median batch, median of "
          f"{args.rounds} epochs; wall: this process's time per batch; moving: worker sends + "
          f"parent receives, against sampling):")
    print("   workers " + " ".join(f"{phase:>15}" for phase in PHASES) + f" {'wall':>6} "
          f"{'moving':>7}")
    for count in loaders:
        split = {phase: statistics.median(epoch.get(phase, 0.0) for epoch in phases[count]) * 1e3
                 for phase in PHASES}
        wall = statistics.median(seconds["alone", count]) / args.batches * 1e3
        moving = (split["worker sends"] + split["parent receives"]) / split["sampling"]
        cells = " ".join(f"{split[phase]:>15.3f}" if count or phase in ("sampling", "building")
                         else f"{'-':>15}" for phase in PHASES)
        print(f"   {count:>7} {cells} {wall:>6.3f} " + (f"{moving:>6.1%}" if count else f"{'-':>7}"))


def resident_over_epochs(args: argparse.Namespace, loader: SeedLoader, epochs: int = 10) -> None:
    """This process's resident memory after each of ``epochs`` epochs with 2 workers, no step."""
    me = psutil.Process()
    resident = []
    for _ in range(epochs):
        for _batch in loader:
            pass
        del _batch
        resident.append(me.memory_info().rss / 2**20)
    print(f"   this process's RSS after each of {epochs} epochs of {args.batches} batches, 2 "
          f"workers: first {resident[0]:,.1f} MiB, last {resident[-1]:,.1f} MiB, most "
          f"{max(resident):,.1f} MiB (growth from the first {resident[-1] - resident[0]:+,.1f} MiB)")


def batch_mib(batch: MiniBatch) -> float:
    arrays = [batch.seed_ids, batch.seed_time, batch.seed_positions]
    for part in (batch.node_ids, batch.node_seed, batch.edge_index, batch.num_nodes_per_hop,
                 batch.num_edges_per_hop):
        arrays.extend(part.values())
    return sum(array.nbytes for array in arrays) / 2**20


def graph_memory(folder: Path, loader: SeedLoader) -> None:
    """RSS and PSS of the graph's files per process: PSS adds up to one copy of the pages."""
    workers = loader._workers
    assert workers is not None and hasattr(workers, "processes")
    processes = [("loader (this process)", os.getpid())]
    processes += [(f"worker {i}", process.pid) for i, process in enumerate(workers.processes)]
    size = folder_bytes(folder) / 2**20
    print(f"   memory of the graph's files ({size:,.0f} MiB), 2 workers alive, after the epochs:")
    print(f"   {'process':<22} {'pid':>8} {'RSS MiB':>9} {'PSS MiB':>9}")
    total_pss = 0.0
    for label, pid in processes:
        rss, pss = file_memory(pid, folder)
        total_pss += pss
        print(f"   {label:<22} {pid:>8} {rss:>9,.0f} {pss:>9,.0f}")
    print(f"   {'total PSS':<22} {'':>8} {'':>9} {total_pss:>9,.0f}  "
          f"({total_pss / size:.2f} copies of the files)")


def file_memory(pid: int, folder: Path) -> tuple[float, float]:
    """MiB of resident and proportional-share memory of ``pid``'s maps of files in ``folder``."""
    prefix = str(folder.resolve()) + os.sep
    rows = [row for row in psutil.Process(pid).memory_maps(grouped=True)
            if row.path.startswith(prefix)]
    return sum(row.rss for row in rows) / 2**20, sum(row.pss for row in rows) / 2**20


def pyg_section(args: argparse.Namespace, graph: GraphArrays) -> None:
    """A batch as PyG's HeteroData, without and with features, against the call that sampled it."""
    print(f"5. batches for PyG  ({command(args, 'pyg')})")
    try:
        with warnings.catch_warnings():  # torch_geometric's own, on import
            warnings.simplefilter("ignore", FutureWarning)
            import torch_geometric  # noqa: F401  (imported once, outside the timed parts)
    except ImportError:
        print("   skipped: needs torch and torch_geometric (pip install 'corvane[pyg]')\n")
        return
    rng = np.random.default_rng(2)
    features = {node_type: rng.standard_normal((count, FEATURES), dtype=np.float32)
                for node_type, count in graph.num_nodes.items()}
    untimed = GraphArrays(graph.node_types, graph.edge_types, graph.colptr, graph.row, {},
                          graph.num_nodes)  # uniform, as in sections 3 and 4
    long_lived, request, no_times = sampler(untimed, False), fan_out(graph), np.empty(0, np.int64)
    variants = ("to_pyg()", "gather(features)", "to_pyg(features)")
    figures: dict[str, list[float]] = {name: [] for name in ("sample", *variants)}
    batch_rows: list[int] = []
    for number, seeds in enumerate(seed_batches(args, args.calls + 5)):
        start = time.perf_counter()
        result = long_lived.sample(request, {}, "user", seeds, no_times)
        sampled = (time.perf_counter() - start) * 1e3
        batch = MiniBatch.from_result(result, untimed.edge_types, "user", seeds, no_times)
        turn = number % len(variants)  # each variant first, second and last in turn
        converted = {name: conversion_ms(batch, name, features)
                     for name in variants[turn:] + variants[:turn]}
        if number >= 5:  # warm-up: first touches of the seeds' columns and feature rows
            figures["sample"].append(sampled)
            batch_rows.append(sum(batch.num_nodes.values()))
            for name, ms in converted.items():
                figures[name].append(ms)
        del batch, result
    ms = {name: statistics.median(values) for name, values in figures.items()}
    print(f"   {args.seeds} seeds, fan-out {FAN_OUT}, uniform, {args.calls} batches, "
          f"{FEATURES} float32 features per node; the three conversions rotated; medians")
    rows = statistics.median(batch_rows)
    print(f"   sample {ms['sample']:.2f} ms per batch, {rows:,.0f} nodes ({rows * FEATURES * 4 / 2**20:.1f} "
          "MiB of features)")
    print("   " + "; ".join(f"{name} {ms[name]:.3f} ms ({ms[name] / ms['sample']:.1%} of the call)"
                           for name in variants) + "\n")


def conversion_ms(batch: MiniBatch, name: str, features: dict[str, np.ndarray]) -> float:
    """Milliseconds of one conversion; what it made is freed after the timed part."""
    start = time.perf_counter()
    if name == "to_pyg()":
        made = batch.to_pyg()
    elif name == "gather(features)":
        made = batch.gather(features)
    else:
        made = batch.to_pyg(features)
    elapsed = time.perf_counter() - start
    del made
    return elapsed * 1e3


def links_section(args: argparse.Namespace, graph: GraphArrays) -> None:
    """Link batches from the loader against the bare calls they make, on the same pairs."""
    print(f"6. link batches  ({command(args, 'links')})")
    untimed = GraphArrays(graph.node_types, graph.edge_types, graph.colptr, graph.row, {},
                          graph.num_nodes)  # uniform, as in sections 3 and 4
    count = 10 if args.quick else 30
    rng = np.random.default_rng(2)
    pairs = count * args.seeds
    print(f"   {args.seeds} positive pairs + 1 negative each, fan-out {FAN_OUT}, uniform, in this "
          f"process, {count * max(args.rounds, 1)} batches, the two kinds alternated; medians")
    for edge_type, count_of_destinations in ((BUYS, args.items), (("user", "follows", "user"), args.users)):
        task = LinkTask(edge_type, rng.integers(0, args.users, pairs),
                        rng.integers(0, count_of_destinations, pairs),
                        rng.integers(0, TIME_SPAN, pairs), labels={"weight": rng.random(pairs)})
        loader = LinkLoader(untimed, task, num_neighbors=FAN_OUT, neg_ratio=1, avoid_positives=True,
                            batch_size=args.seeds)
        ratios, loader_ms, calls_ms = [], [], []
        FAULTS["loader"].clear()
        FAULTS["calls"].clear()
        for number, index in enumerate(list(range(count)) * max(args.rounds, 1)):
            if number % 2 == 0:
                whole, calls = link_batch_ms(loader, index), link_calls_ms(loader, index)
            else:
                calls, whole = link_calls_ms(loader, index), link_batch_ms(loader, index)
            loader_ms.append(whole)
            calls_ms.append(calls)
            ratios.append(whole / calls)
        kind = "one call, nothing to merge" if edge_type[0] == edge_type[2] else "two calls, merged"
        print(f"   {edge_type} ({kind}): LinkLoader.batch {statistics.median(loader_ms):.2f} ms, "
              f"its calls alone {statistics.median(calls_ms):.2f} ms; overhead beyond the calls "
              f"(negatives avoiding known pairs, labels, merging) {statistics.median(ratios) - 1:.1%}; "
              f"page faults per batch {statistics.median(FAULTS['loader']):,.0f} against "
              f"{statistics.median(FAULTS['calls']):,.0f}")
    print()


def link_batch_ms(loader: LinkLoader, index: int) -> float:
    faults = minor_faults()
    start = time.perf_counter()
    batch = loader.batch(0, index)
    elapsed = time.perf_counter() - start
    FAULTS["loader"].append(minor_faults() - faults)
    del batch
    return elapsed * 1e3


FAULTS: dict[str, list[int]] = {"loader": [], "calls": []}


def minor_faults() -> int:
    """Page faults that found no page (first touches of new memory) of this process so far."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def link_calls_ms(loader: LinkLoader, index: int) -> float:
    """The batch's own calls, on the same inputs, on a sampler of its own; results kept to the end."""
    sources, destinations, pair_time, _ = loader._rows_of(0, index, loader._positions(loader.order(0), index))
    request, _ = loader.request
    source_type, _, destination_type = loader.task.edge_type
    before = pair_time - 1
    calls = [(source_type, sources, before[:len(sources)]), (destination_type, destinations, before)]
    if source_type == destination_type:
        calls = [(source_type, np.concatenate([sources, destinations]),
                  np.concatenate([before[:len(sources)], before]))]
    faults = minor_faults()
    start = time.perf_counter()
    per_batch = corvane.NeighborSampler(*loader.graph.arguments(), seed=index)
    kept = [per_batch.sample(request, {}, *call) for call in calls]
    elapsed = time.perf_counter() - start
    FAULTS["calls"].append(minor_faults() - faults)
    del kept, per_batch
    return elapsed * 1e3


def main(argv: list[str] | None = None) -> None:
    args = options(argv)
    print(f"numpy {np.__version__}, Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}")
    graph = generated_graph(args)
    with tempfile.TemporaryDirectory(dir=args.folder) as scratch:
        folder = Path(scratch)
        if "check" in args.only:
            check_section(args, graph)
        if "storage" in args.only:
            storage_section(args, graph, folder / "timed")
        if "overhead" in args.only:
            overhead_section(args, graph)
        if "workers" in args.only:
            workers_section(args, graph, folder / "untimed")
        if "pyg" in args.only:
            pyg_section(args, graph)
        if "links" in args.only:
            links_section(args, graph)


if __name__ == "__main__":
    main()
