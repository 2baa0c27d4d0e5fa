"""How fast the loader's worker processes answer an interrupt, a dead worker and a dead parent.

    python bench/loader_lifecycle.py             # 10^5 users, 10^6 purchases, 8,192 seeds a batch
    python bench/loader_lifecycle.py --repeats 5

A training process (a child of this script) iterates a ``SeedLoader`` with 2
worker processes over a saved graph, as a training loop would, and this
script then does one of:

- interrupt: SIGINT to the training process while it waits for a batch;
- worker killed: SIGKILL to one of its workers mid-epoch;
- parent killed: SIGKILL to the training process itself mid-epoch;
- parent ended idle: SIGTERM to the training process between epochs, its
  workers idle.

For each it prints, medians over the repeats, the seconds from the signal
until the training process has surfaced the error and ended, and until the
last of its workers has ended (``inf`` when one was still alive after
``--patience`` seconds; such a worker is then killed by this script).
"""

from __future__ import annotations

import argparse
import math
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import psutil

from corvane_data import build_graph, save_graph

SCENARIOS = ("interrupt", "worker killed", "parent killed", "parent ended idle")

TRAINING = """
import sys, time, numpy as np
from corvane_data import SeedLoader
folder, seeds, idle = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "idle"
times = np.full(10**5, 10**9)
with SeedLoader(folder, "user", np.arange(10**5), times, num_neighbors=[15, 10], batch_size=seeds,
                num_workers=2, shuffle=True) as loader:
    try:
        for epoch in range(1000):
            for number, batch in enumerate(loader):
                print("batch", flush=True)
                if idle and number == 2:
                    break
            if idle:
                print("idle", flush=True)
                time.sleep(3600)
    except BaseException as error:
        print("raised", type(error).__name__, flush=True)
"""


def options(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seeds", type=int, default=8192, help="seeds per batch")
    parser.add_argument("--patience", type=float, default=30.0,
                        help="seconds to wait for a process to end before calling it stuck")
    return parser.parse_args(argv)


def saved_graph(folder: Path) -> Path:
    rng = np.random.default_rng(0)
    purchases = {"source": rng.integers(0, 10**5, 10**6), "destination": rng.integers(0, 10**4, 10**6)}
    graph = build_graph({"user": 10**5, "item": 10**4}, {("user", "buys", "item"): purchases},
                        node_time={"user": rng.integers(0, 10**9, 10**5),
                                   "item": rng.integers(0, 10**9, 10**4)},
                        add_reverse=True)
    return save_graph(folder / "graph", graph)


def stuck_after(processes: list[psutil.Process], patience: float) -> float:
    """0 once every process has ended, or ``inf`` if one is still alive after ``patience`` (then killed).

    A process has ended once it is a zombie: what remains is for whoever
    adopted it to reap, which here can take seconds and is no work of the loader's.
    """
    deadline = time.perf_counter() + patience
    while any(map(alive, processes)):
        if time.perf_counter() > deadline:
            for process in filter(alive, processes):
                process.kill()
            return math.inf
        time.sleep(0.002)
    return 0.0


def alive(process: psutil.Process) -> bool:
    try:
        return process.status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


def run(folder: Path, args: argparse.Namespace, scenario: str) -> tuple[float, float]:
    idle = scenario == "parent ended idle"
    training = subprocess.Popen([sys.executable, "-c", TRAINING, str(folder), str(args.seeds),
                                 "idle" if idle else "busy"], stdout=subprocess.PIPE, text=True)
    assert training.stdout is not None
    seen = 0  # until the workers are up and sampling, or idle between epochs
    while seen < (1 if idle else 3):
        line = training.stdout.readline()
        assert line, "the training process ended early"
        seen += line.startswith("idle" if idle else "batch")
    parent = psutil.Process(training.pid)
    # The workers are the forkserver's children, the training process's grandchildren.
    workers = [child for child in parent.children(recursive=True) if child.ppid() != parent.pid]
    assert len(workers) == 2, workers
    start = time.perf_counter()
    if scenario == "interrupt":
        training.send_signal(signal.SIGINT)
    elif scenario == "worker killed":
        workers[0].kill()
    elif scenario == "parent killed":
        training.kill()
    else:
        training.terminate()
    try:
        training.wait(timeout=args.patience)
        surfaced = time.perf_counter() - start
    except subprocess.TimeoutExpired:
        training.kill()
        training.wait()
        surfaced = math.inf
    stuck = stuck_after(workers, args.patience)
    return surfaced, stuck + time.perf_counter() - start


def main(argv: list[str] | None = None) -> None:
    args = options(argv)
    print(f"# {' '.join([Path(sys.executable).name, *sys.argv])}")
    with tempfile.TemporaryDirectory() as temporary:
        folder = saved_graph(Path(temporary))
        print(f"{'scenario':<15} {'ended (s)':>10} {'last worker gone (s)':>21}")
        for scenario in SCENARIOS:
            figures = [run(folder, args, scenario) for _ in range(args.repeats)]
            ended = statistics.median(figure[0] for figure in figures)
            gone = statistics.median(figure[1] for figure in figures)
            print(f"{scenario:<15} {ended:>10.2f} {gone:>21.2f}", flush=True)


if __name__ == "__main__":
    main()
