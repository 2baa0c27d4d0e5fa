"""Link prediction on a real history: which files will this commit touch?

    python examples/git_links.py ../shared/data/git-history     # the whole history
    python examples/git_links.py --short                         # the test sample (2005), quickly

The git-history tables become a graph as they are (commits, authors, files,
and every touch as an event at its commit's time). Each touch is a pair
(commit, file) at the commit's time; the pairs are cut by time into training,
validation and test. A small heterogeneous GNN from PyG (``to_hetero`` over
``SAGEConv``) reads both ends' trees, which hold strictly the past of the
pair, and scores the pair; it trains with one random negative per positive
(files that exist at the commit's time) and is evaluated on the later pairs
against a fixed set of negatives per positive: mean reciprocal rank (MRR) and
hits@10, beside the same metrics for file popularity (touches so far).

Needs the ``pyg`` extra: ``pip install 'corvane[pyg]'``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import torch
from torch import nn
from torch_geometric.nn import SAGEConv, to_hetero

from corvane_data import GraphArrays, LinkBatch, LinkLoader, LinkTask

sys.path.insert(0, str(Path(__file__).resolve().parent))
from git_history import SAMPLE, database  # noqa: E402

TARGET = ("commit", "will_touch", "file")
CHANGES = ["A", "M", "D", "R"]  # the kinds of touch; anything else is a fifth column


def features(graph: GraphArrays, folder: Path) -> dict[str, np.ndarray]:
    """Per node type, what is known of a node when it appears: no counts that grow with time."""
    commits = pd.read_parquet(folder / "commits.parquet", columns=["is_merge"])
    change = pd.read_parquet(folder / "touches.parquet", columns=["change"])["change"].str[:1]
    if len(change) != graph.num_nodes["touches"]:  # event i is row i while no row is dropped
        raise SystemExit(f"{len(change)} touches but {graph.num_nodes['touches']} touch events")
    kind = np.array([CHANGES.index(c) if c in CHANGES else len(CHANGES) for c in change])
    return {"author": np.ones((graph.num_nodes["author"], 1), np.float32),
            "file": np.ones((graph.num_nodes["file"], 1), np.float32),
            "commit": np.column_stack([np.ones(len(commits)), commits["is_merge"]]).astype(np.float32),
            "touches": np.eye(len(CHANGES) + 1, dtype=np.float32)[kind]}


class Encoder(nn.Module):
    """SAGE layers, one per hop; ``to_hetero`` makes one per edge type and sums them per node type."""

    def __init__(self, hidden: int, layers: int) -> None:
        super().__init__()
        self.layers = nn.ModuleList(SAGEConv((-1, -1), hidden) for _ in range(layers))

    def forward(self, x, edge_index):
        for number, layer in enumerate(self.layers):
            x = layer(x, edge_index)
            x = x.relu() if number + 1 < len(self.layers) else x
        return x


class LinkModel(nn.Module):
    """Node inputs (features, plus a learned vector per file and author), the GNN, a dot product."""

    def __init__(self, graph: GraphArrays, layers: int, hidden: int = 32) -> None:
        super().__init__()
        self.remembered = nn.ModuleDict({node_type: nn.Embedding(graph.num_nodes[node_type], hidden)
                                         for node_type in ("file", "author")})
        self.inputs = nn.ModuleDict({node_type: nn.LazyLinear(hidden) for node_type in graph.node_types})
        metadata = (graph.node_types, graph.edge_types)
        self.encoder = to_hetero(Encoder(hidden, layers), metadata, aggr="sum")

    def forward(self, data) -> torch.Tensor:
        x = {node_type: self.inputs[node_type](store.x) for node_type, store in data.node_items()}
        for node_type, table in self.remembered.items():
            x[node_type] = x[node_type] + table(data[node_type].n_id)
        h = self.encoder(x, data.edge_index_dict)
        source, destination = data[TARGET].edge_label_index
        return (h["commit"][source] * h["file"][destination]).sum(-1)


def link_task(graph: GraphArrays, folder: Path) -> LinkTask:
    touches = pd.read_parquet(folder / "touches.parquet", columns=["commit", "path", "time"])
    return LinkTask.from_table(graph, TARGET, touches, source="commit", destination="path",
                               time="time", labels=[])


def popularity(task: LinkTask, sources: np.ndarray, destinations: np.ndarray,
               times: np.ndarray) -> np.ndarray:
    """Touches of each destination strictly before the pair's time, from the task's own pairs."""
    order = np.lexsort((task.time, task.destinations))
    keys = task.destinations[order] * (1 << 40) + task.time[order]
    return (np.searchsorted(keys, destinations * (1 << 40) + times)
            - np.searchsorted(keys, destinations * (1 << 40)))


def ranks(scores: np.ndarray, num_positives: int, per_positive: int) -> np.ndarray:
    """Each positive's rank among itself and its negatives (ties count half)."""
    positive = scores[:num_positives]
    negatives = scores[num_positives:].reshape(per_positive, num_positives)
    return 1 + (negatives > positive).sum(0) + 0.5 * (negatives == positive).sum(0)


def epoch(model, loader: LinkLoader, x: dict, optimizer=None) -> tuple[float, float, float, list]:
    """One pass: mean loss, seconds, seconds waiting for batches, and the ranks (evaluation)."""
    losses, found, waited = [], [], 0.0
    started = time.perf_counter()
    batches = iter(loader)
    while True:
        before = time.perf_counter()
        batch: LinkBatch | None = next(batches, None)
        waited += time.perf_counter() - before
        if batch is None:
            break
        data = batch.to_pyg(x)
        with torch.set_grad_enabled(optimizer is not None):
            logits = model(data)
            loss = nn.functional.binary_cross_entropy_with_logits(logits, data[TARGET].edge_label)
        if optimizer is not None:
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
        else:
            found.append(ranks(logits.numpy(), batch.num_positives, loader.neg_ratio))
        losses.append(float(loss.detach()))
    return float(np.mean(losses)), time.perf_counter() - started, waited, found


def report(name: str, rank: np.ndarray) -> str:
    return f"{name}: MRR {np.mean(1 / rank):.3f}, hits@10 {np.mean(rank <= 10):.3f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", type=Path, default=SAMPLE)
    parser.add_argument("--short", action="store_true", help="a few small epochs, for a quick check")
    parser.add_argument("--epochs", type=int, default=None)
    parser.add_argument("--train-pairs", type=int, default=None,
                        help="train on this many of the latest training pairs")
    parser.add_argument("--negatives", type=int, default=49, help="fixed negatives per evaluated pair")
    args = parser.parse_args()
    epochs = args.epochs or (3 if args.short else 8)
    per_epoch = args.train_pairs or (2_000 if args.short else 20_000)
    torch.manual_seed(0)

    started = time.perf_counter()
    graph = database(args.folder).build(add_reverse=True)
    task = link_task(graph, args.folder)
    x = features(graph, args.folder)
    cuts = np.quantile(task.time, [0.8, 0.9]).astype(np.int64)
    train, validation, test = task.split_by_time(*cuts)
    train = train.take(np.argsort(train.time, kind="stable")[-per_epoch:])
    test = test.take(np.random.default_rng(0).permutation(len(test))[:2_000 if args.short else 5_000])
    print(f"graph: {sum(graph.num_nodes.values()):,} nodes in {len(graph.node_types)} types, built in "
          f"{time.perf_counter() - started:.1f} s; pairs: train {len(train):,} (the latest) / validation "
          f"{len(validation):,} / test {len(test):,} (cut at {pd.to_datetime(cuts, unit='s')[0]:%Y-%m-%d} "
          f"and {pd.to_datetime(cuts, unit='s')[1]:%Y-%m-%d})")

    fan_out = [8, 4, 4]  # a commit, its parents, their touches, the files touched
    model = LinkModel(graph, layers=len(fan_out))
    training = LinkLoader(graph, train, num_neighbors=fan_out, neg_ratio=1, avoid_positives=task,
                          batch_size=256, shuffle=True, seed=1)
    model(training.batch(0, 0).to_pyg(x))  # sizes the lazy layers
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    for number in range(epochs):
        loss, seconds, waited, _ = epoch(model.train(), training, x, optimizer)
        print(f"epoch {number + 1}: loss {loss:.4f}, {seconds:.1f} s, waiting for batches "
              f"{waited / seconds:.0%}")

    evaluation = LinkLoader(graph, test, num_neighbors=fan_out, neg_ratio=args.negatives,
                            negatives="fixed", avoid_positives=task, batch_size=64, seed=7)
    _, seconds, waited, found = epoch(model.eval(), evaluation, x)
    model_ranks = np.concatenate(found)
    popular = []
    for index in range(len(evaluation)):
        batch = evaluation.batch(0, index)
        sources, destinations = batch.pair_ids
        scores = popularity(task, sources, destinations, batch.edge_label_time).astype(float)
        popular.append(ranks(scores, batch.num_positives, args.negatives))
    print(f"test, each pair against {args.negatives} fixed negatives (random ranking: MRR "
          f"{np.mean(1 / np.arange(1, args.negatives + 2)):.3f}, hits@10 {10 / (args.negatives + 1):.3f}):")
    print("  " + report("model", model_ranks))
    print("  " + report("popularity (touches so far)", np.concatenate(popular)))
    print(f"evaluation {seconds:.1f} s, waiting for batches {waited / seconds:.0%}; "
          f"{time.perf_counter() - started:.0f} s in all")


if __name__ == "__main__":
    main()
