"""Benchmarks of NeighborSampler.sample against three floors.

    python bench/run.py            # default scale: about 5e7 and 8e7 edges
    python bench/run.py --quick    # small graphs and fewer calls
    python bench/run.py --growth --memory-kinds --processes   # what make bench runs

Measures two generated graphs (bench/graph.py: "shop" and "user-item") and
prints a table for each; every workload is timed against the plain floor and
the memory-parallel floor (bench/floor.cpp, bench/parallel_floor.h), two
traversals without de-duplication, and against the least-work floor
(bench/dedup_floor.h), which computes the sampler's exact result (checked
draw for draw, bench/floor_check.py), on the same arrays, seeds and
fan-outs. --growth adds ns per edge against graph size (bench/growth.py),
--memory-kinds in-memory against file-mapped arrays (bench/memory_kinds.py),
--processes one against two sampling processes (bench/processes.py).
Writes results.json and ns_per_edge.png to --out (build/bench by default).
Every number comes from this run.
"""

from __future__ import annotations

import os

# numpy's BLAS threads are never used here; idle, they would compete with the
# measured code for this machine's cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
import platform
import resource
import statistics
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np

import corvane

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import attacks  # noqa: E402
import floor_check  # noqa: E402
import graph as graph_module  # noqa: E402
from graph import key  # noqa: E402

DAY = 86_400
BATCH = 1024


def build_floor(out: Path):
    """Compiles the floor module next to the results, when it is out of date."""
    target = out / f"corvane_floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    source = HERE / "floor.cpp"
    src = ROOT / "src"
    newest = max(path.stat().st_mtime for path in (
        source, HERE / "parallel_floor.h", HERE / "dedup_floor.h", HERE / "floor_inputs.h",
        src / "base" / "prefetch.h",
        src / "random" / "random_engine.h", src / "random" / "mt19937.h"))
    if not target.exists() or target.stat().st_mtime < newest:
        out.mkdir(parents=True, exist_ok=True)
        includes = subprocess.run([sys.executable, "-m", "pybind11", "--includes"], check=True,
                                  capture_output=True, text=True).stdout.split()
        subprocess.run(["c++", "-O3", "-std=c++17", "-shared", "-fPIC", "-Wall", "-Wextra",
                        *includes, f"-I{HERE}", f"-I{ROOT / 'src'}", str(source), "-o", str(target)], check=True)
    sys.path.insert(0, str(out))
    import corvane_floor
    return corvane_floor


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class Workload:
    """One kind of request: per edge type a count list or a window list."""

    def __init__(self, name, entity, hops, *, counts=None, windows=None, temporal=False,
                 seeds=None, batch=BATCH):
        self.name, self.entity, self.temporal, self.batch = name, entity, temporal, batch
        self.counts = counts or {}
        self.windows = windows or {}
        self.hops = hops
        self.fixed_seeds = seeds

    def requests(self, graph, rng, calls):
        for _ in range(calls):
            if self.fixed_seeds is not None:
                seeds = self.fixed_seeds
            else:
                seeds = rng.integers(0, graph.sizes[self.entity], self.batch, dtype=np.int64)
            times = (rng.integers(graph_module.TIME_SPAN // 2, graph_module.TIME_SPAN, len(seeds),
                                  dtype=np.int64) if self.temporal else np.empty(0, np.int64))
            yield seeds, times

    def sample_args(self, seeds, times):
        num_neighbors = {key(e): np.array(c, dtype=np.int64) for e, c in self.counts.items()}
        offsets = {key(e): np.array(w, dtype=object) for e, w in self.windows.items()}
        return num_neighbors, offsets, self.entity, seeds, times

    def floor_args(self, graph, seeds, times, seed):
        node_types = graph.node_types
        edge_types = []
        for e in graph.edge_types:
            selection = ("count", self.counts[e]) if e in self.counts else ("window", self.windows[e])
            edge_types.append((node_types.index(e[0]), node_types.index(e[2]),
                               graph.colptr[key(e)], graph.row[key(e)], selection))
        node_times = [graph.node_time.get(t) if self.temporal else None for t in node_types]
        return (edge_types, node_times, node_types.index(self.entity), seeds, times, self.hops, seed)


def fan_out(graph, per_hop):
    return {e: list(per_hop) for e in graph.edge_types}


def standard_workloads(graph):
    seeds = graph.seed_type
    return [
        Workload("W1 uniform [15,10]", seeds, 2, counts=fan_out(graph, [15, 10])),
        Workload("W2 most recent [15,10]", seeds, 2, counts=fan_out(graph, [15, 10]),
                 temporal=True),
        Workload("W3 windows 1y/2y", seeds, 2, temporal=True, windows={
            e: [(-365 * DAY, 0), (-730 * DAY, 0)] for e in graph.edge_types}),
        Workload("W5 uniform [10,10,10]", seeds, 3, counts=fan_out(graph, [10, 10, 10])),
    ]


def hub_workloads(graph):
    """k = 10 from one column of about 1e3, 1e5 and 1e6 candidates (a product's
    orders, an item's users), for 1024 seeds.

    On a small graph several targets pick the same, largest column: it is
    measured once.
    """
    hub = graph.hub_edge_type
    degrees = graph.degrees(hub)
    workloads = []
    chosen = set()
    for target in (10**3, 10**5, 10**6):
        product = int(np.argmin(np.abs(degrees - target)))
        if int(degrees[product]) in chosen:
            continue
        chosen.add(int(degrees[product]))
        counts = {e: [0] for e in graph.edge_types}
        counts[hub] = [10]
        w = Workload(f"W4 hub k=10 of {int(degrees[product]):,}", hub[2], 1, counts=counts,
                     seeds=np.full(BATCH, product, dtype=np.int64))
        w.degree = int(degrees[product])
        workloads.append(w)
    return workloads


def paired_cost_ratio(sampler, graph, small, large, calls, seed):
    """Median over alternating calls of (time of a `large` call) / (time of a `small` call).

    Calls of the two workloads alternate, so that each pair sees the same
    machine state; measured one after the other, a change of load between
    them would move the ratio.
    """
    rng = np.random.default_rng(seed)
    pairs = zip([small.sample_args(*r) for r in small.requests(graph, rng, calls + 3)],
                [large.sample_args(*r) for r in large.requests(graph, rng, calls + 3)])
    ratios = []
    for number, (small_args, large_args) in enumerate(pairs):
        started = time.perf_counter()
        sampler.sample(*small_args)
        between = time.perf_counter()
        sampler.sample(*large_args)
        ended = time.perf_counter()
        if number >= 3:  # warm-up
            ratios.append((ended - between) / (between - started))
    return statistics.median(ratios)


def summarize(times):
    q = statistics.quantiles(times, n=10) if len(times) >= 10 else [min(times), max(times)]
    return statistics.median(times), q[0], q[-1]


def edge_count(result):
    """The edges a sample result holds, from its num_sampled_edges."""
    return sum(int(v.sum()) for v in result[5].values())


def measure(sampler, floor, graph, workload, calls, seed, checks=3):
    """Times the sampler and the three floors on requests of their own, drawn
    alike. Had they served the same request one after the other, the later
    ones would find its columns in the caches that the first had filled.
    The first `checks` requests are served by all four, untimed: a warm-up,
    and a check that the two traversal floors agree with each other (and,
    where selection is deterministic, with the sampler), and that the
    least-work floor gives a fresh sampler's six results, draw for draw."""
    rng = np.random.default_rng(seed)
    requests = list(workload.requests(graph, rng, checks + 4 * calls))
    rss_before = rss_bytes()
    matched = []  # [sampler edges, floor edges] of the shared requests
    for seeds, times in requests[:checks]:
        result = sampler.sample(*workload.sample_args(seeds, times))
        floor_args = workload.floor_args(graph, seeds, times, seed)
        floor_count, _ = floor.traverse(*floor_args)
        parallel_count, _ = floor.traverse(*floor_args, parallel=True)
        if parallel_count != floor_count:
            raise SystemExit(f"{workload.name}: the two floors disagree ({floor_count} edges, "
                             f"{parallel_count} memory-parallel)")
        matched.append([edge_count(result), floor_count])
        del result
    difference, _ = floor_check.check(floor, graph, workload, requests[:checks], seed)
    if difference is not None:
        raise SystemExit(f"{workload.name}: the least-work floor differs from the sampler at "
                         f"{difference}")
    sampler_times, floor_times, parallel_times, least_work_times = [], [], [], []
    edges, floor_edges, parallel_edges, least_work_edges, assembly = [], [], [], [], []
    timed = requests[checks:]
    for number in range(calls):
        (seeds, times), plain_request, parallel_request, least_work_request = \
            timed[4 * number:4 * number + 4]
        args = workload.sample_args(seeds, times)
        started = time.perf_counter()
        result = sampler.sample(*args)
        sampler_times.append(time.perf_counter() - started)
        edges.append(edge_count(result))
        del result
        count, elapsed = floor.traverse(*workload.floor_args(graph, *plain_request, seed))
        floor_times.append(elapsed)
        floor_edges.append(count)
        count, elapsed = floor.traverse(*workload.floor_args(graph, *parallel_request, seed),
                                        parallel=True)
        parallel_times.append(elapsed)
        parallel_edges.append(count)
        count, elapsed, _ = floor.least_work(*workload.floor_args(graph, *least_work_request, seed))
        least_work_times.append(elapsed)
        least_work_edges.append(count)
    # The result-building share: the same dictionaries and arrays built again
    # right after a call (of a request the sampler served above), in a pass
    # of its own so that the floor's memory traffic does not change what the
    # allocator finds.
    for seeds, times in timed[0:48:4]:
        started = time.perf_counter()
        result = sampler.sample(*workload.sample_args(seeds, times))
        elapsed = time.perf_counter() - started
        assembly.append(floor.assemble_like(result) / elapsed)
        del result
    median, low, high = summarize(sampler_times)
    floor_median, _, _ = summarize(floor_times)
    parallel_median, _, _ = summarize(parallel_times)
    ns_edge = median / max(statistics.median(edges), 1) * 1e9
    floor_ns_edge = floor_median / max(statistics.median(floor_edges), 1) * 1e9
    parallel_ns_edge = parallel_median / max(statistics.median(parallel_edges), 1) * 1e9
    least_work_ns_edge = (statistics.median(least_work_times)
                          / max(statistics.median(least_work_edges), 1) * 1e9)
    return {
        "workload": workload.name,
        "calls": len(sampler_times),
        "median_ms": median * 1e3,
        "p10_ms": low * 1e3,
        "p90_ms": high * 1e3,
        "edges_per_call": statistics.median(edges),
        "floor_edges_per_call": statistics.median(floor_edges),
        "parallel_floor_edges_per_call": statistics.median(parallel_edges),
        "shared_request_edges": matched,
        "edges_per_s": statistics.median(edges) / median,
        "ns_per_edge": ns_edge,
        "floor_ns_per_edge": floor_ns_edge,
        "ratio_to_floor": ns_edge / floor_ns_edge,
        "parallel_floor_ns_per_edge": parallel_ns_edge,
        "ratio_to_parallel_floor": ns_edge / parallel_ns_edge,
        "least_work_edges_per_call": statistics.median(least_work_edges),
        "least_work_ns_per_edge": least_work_ns_edge,
        "ratio_to_least_work": ns_edge / least_work_ns_edge,
        "result_share": statistics.median(assembly) if assembly else None,
        "rss_growth_mb": (rss_bytes() - rss_before) / 2**20,
        "peak_rss_mb": peak_rss_bytes() / 2**20,
        "ns_per_seed": median / len(requests[0][0]) * 1e9,
    }


def construction_ms(graph, repeats=50):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        corvane.NeighborSampler(*graph.constructor_args())
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e3


def sweep(sampler, floor, graph, calls, seed):
    """ns per edge against batch size and against fan-out, for the plot."""
    points = {"batch": [], "fan_out": []}
    for batch in (64, 256, 1024, 4096):
        w = Workload(f"batch {batch}", graph.seed_type, 2, counts=fan_out(graph, [15, 10]),
                     batch=batch)
        points["batch"].append((batch, measure(sampler, floor, graph, w, calls, seed)))
    for per_hop in ([5, 5], [10, 10], [15, 10], [25, 20], [50, 50]):
        w = Workload(f"fan-out {per_hop}", graph.seed_type, 2, counts=fan_out(graph, per_hop))
        points["fan_out"].append((str(per_hop), measure(sampler, floor, graph, w, calls, seed)))
    return points


def machine_name():
    """The CPU's model name, as Linux reports it, else what platform knows."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def plot_lines(ax, xs, rows):
    """The sampler and the three floors, in ns per sampled edge, against `xs`."""
    for field, style, label in [("ns_per_edge", "o-", "sampler"),
                                ("floor_ns_per_edge", "s--", "plain floor"),
                                ("parallel_floor_ns_per_edge", "^:", "memory-parallel floor"),
                                ("least_work_ns_per_edge", "d-.", "least-work floor")]:
        ax.plot(xs, [r[field] for r in rows], style, label=label)
    ax.set_ylabel("ns per sampled edge")
    ax.set_ylim(bottom=0)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)


def plot(points, growth, path, caption):
    """Batch size and fan-out (W1), and, when measured, graph size (W1 and W2)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels = 2 + (2 if growth else 0)
    fig, axes = plt.subplots(1, panels, figsize=(5.5 * panels, 4))
    for ax, (name, label) in zip(axes, [("batch", "seeds per call"), ("fan_out", "fan-out per hop")]):
        xs = [x for x, _ in points[name]]
        plot_lines(ax, range(len(xs)), [r for _, r in points[name]])
        ax.set_xticks(range(len(xs)), [str(x) for x in xs])
        ax.set_xlabel(label)
    axes[0].set_title("W1 ([15, 10]) by batch size", fontsize=10)
    axes[1].set_title("W1 (1024 seeds) by fan-out", fontsize=10)
    for ax, name in zip(axes[2:], ("W1", "W2")):
        rows = [r for r in growth if r["workload"][:2] == name]
        plot_lines(ax, [r["graph_edges"] for r in rows], rows)
        ax.set_xscale("log")
        ax.set_xlabel("edges in the graph (user-item)")
        ax.set_title(f"{rows[0]['workload']} by graph size", fontsize=10)
    fig.suptitle(caption, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def print_table(graph, rows, hub_ratio, construct_ms):
    print(f"\n{graph.kind} graph: {graph.num_edges:,} edges; nodes {graph.sizes}")
    header = (f"{'workload':28} {'median ms':>9} {'p10-p90 ms':>13} {'edges/call':>10} "
              f"{'Medges/s':>8} {'ns/edge':>8} {'plain ns':>8} {'ratio':>6} {'m-p ns':>7} "
              f"{'ratio':>6} {'l-w ns':>7} {'ratio':>6} {'results':>7} {'peak RSS MB':>11}")
    print(header)
    print("-" * len(header))
    for r in rows:
        share = f"{r['result_share'] * 100:.1f}%" if r["result_share"] is not None else "-"
        print(f"{r['workload']:28} {r['median_ms']:9.3f} {r['p10_ms']:6.2f}-{r['p90_ms']:<6.2f} "
              f"{r['edges_per_call']:10.0f} {r['edges_per_s'] / 1e6:8.1f} {r['ns_per_edge']:8.1f} "
              f"{r['floor_ns_per_edge']:8.1f} {r['ratio_to_floor']:5.2f}x "
              f"{r['parallel_floor_ns_per_edge']:7.1f} {r['ratio_to_parallel_floor']:5.2f}x "
              f"{r['least_work_ns_per_edge']:7.1f} {r['ratio_to_least_work']:5.2f}x "
              f"{share:>7} {r['peak_rss_mb']:11.0f}")
    print("(plain: the floor that walks the columns one after the other; m-p: the memory-parallel "
          "floor; l-w: the least-work floor, which computes the sampler's exact result with its "
          "draws; results: the share of a call spent building the six result dictionaries; peak "
          "RSS: of this process, so far)")
    if hub_ratio is not None:
        small, large, ratio = hub_ratio
        print(f"W4: one k=10 selection from {large:,} candidates costs {ratio:.2f}x one from "
              f"{small:,} (median over alternating calls)")
    print(f"constructing a sampler over the whole graph: {construct_ms:.3f} ms (median of 50)")


def measure_graph(floor, graph, calls, seed):
    """The table's rows for one graph, with the hub ratio and the construction time."""
    # Without node times counts are drawn at random; with them, seeds have
    # times and counts take the most recent neighbours.
    untimed = corvane.NeighborSampler(*graph.constructor_args(with_times=False), seed=seed)
    timed = corvane.NeighborSampler(*graph.constructor_args(), seed=seed)
    rows = [measure(timed if w.temporal else untimed, floor, graph, w, calls, seed)
            for w in standard_workloads(graph)]
    hub_runs = hub_workloads(graph)
    rows[3:3] = [measure(untimed, floor, graph, w, calls, seed) for w in hub_runs]
    # Every hub call makes 1024 selections of k = 10, so the ratio of call
    # times is the ratio of one selection's cost.
    hub_ratio = None if len(hub_runs) < 2 else (
        hub_runs[0].degree, hub_runs[-1].degree,
        paired_cost_ratio(untimed, graph, hub_runs[0], hub_runs[-1], calls, seed))
    return rows, hub_ratio, construction_ms(graph), untimed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="graph size (1.0: ~5e7 edges)")
    parser.add_argument("--quick", action="store_true", help="scale 0.05 and fewer calls")
    parser.add_argument("--calls", type=int, default=None, help="calls per workload")
    parser.add_argument("--seed", type=int, default=0, help="seed of the graph and the requests")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--no-sweep", action="store_true", help="skip the batch/fan-out sweep")
    parser.add_argument("--graphs", nargs="+", choices=graph_module.KINDS,
                        default=list(graph_module.KINDS), help="the generated graphs to measure")
    parser.add_argument("--growth", type=float, nargs="*", default=None, metavar="EDGES",
                        help="graph sizes (edges) of the user-item graph to measure W1 and W2 on "
                             "(given alone: 1e6 to 2e8)")
    parser.add_argument("--memory-kinds", action="store_true",
                        help="in-memory against file-mapped arrays, with and without huge pages")
    parser.add_argument("--processes", action="store_true",
                        help="one against two sampling processes over one mapped graph")
    args = parser.parse_args(argv)
    scale = 0.05 if args.quick else args.scale
    calls = args.calls or (30 if args.quick else 200)
    args.out.mkdir(parents=True, exist_ok=True)

    floor = build_floor(args.out)
    cache = ROOT / "build" / "bench-cache"
    report = {
        "machine": {"platform": platform.platform(), "processor": machine_name(),
                    "cpus": os.cpu_count(), "python": platform.python_version()},
        "graphs": {},
    }
    points = None
    for kind in args.graphs:
        graph = graph_module.load_or_generate(scale, args.seed, cache, kind)
        rows, hub_ratio, construct, untimed = measure_graph(floor, graph, calls, args.seed)
        print_table(graph, rows, hub_ratio, construct)
        report["graphs"][kind] = {
            "scale": scale, "edges": graph.num_edges, "nodes": graph.sizes, "workloads": rows,
            "hub_ratio": None if hub_ratio is None else dict(zip(("small", "large", "ratio"),
                                                                  hub_ratio)),
            "construction_ms": construct}
        if kind == args.graphs[0] and not args.no_sweep:
            points = sweep(untimed, floor, graph, max(calls // 4, 10), args.seed)
            report["sweep"] = {name: [(x, r) for x, r in values] for name, values in points.items()}
        del graph, untimed
    print("\nchosen inputs (bench/attacks.py):")
    report["chosen_inputs"] = attacks.run()
    growth_rows = []
    if args.growth is not None:
        import growth
        growth_rows = growth.run(floor, measure, standard_workloads,
                                 args.growth or (growth.QUICK_SIZES if args.quick
                                                 else growth.DEFAULT_SIZES), max(calls // 4, 10),
                                 args.seed, cache)
        report["growth"] = growth_rows
    if args.memory_kinds:
        import memory_kinds
        report["memory_kinds"] = memory_kinds.run(standard_workloads, scale, args.seed, cache,
                                                  max(calls // 4, 10))
    if args.processes:
        import processes
        report["processes"] = processes.run(scale, args.seed, cache, max(calls // 2, 20))
    if points is not None:
        plot(points, growth_rows, args.out / "ns_per_edge.png",
             f"{'quick' if args.quick else 'full'} run, scale {scale}, {args.graphs[0]} graph; "
             f"{machine_name()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")
        print(f"plot: {args.out / 'ns_per_edge.png'}")
    (args.out / "results.json").write_text(json.dumps(report, indent=2))
    print(f"json: {args.out / 'results.json'}")


if __name__ == "__main__":
    main()
