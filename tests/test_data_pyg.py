"""Batches as PyG's heterogeneous models take them: a real model on them, trimming, names, the extra."""

import dataclasses
import doctest
import sys

import numpy as np
import pytest

import corvane_data.pyg
from conftest import UNDER_SANITIZER, rated
from corvane_data import SeedLoader, build_graph
from corvane_data.batches import LinkBatch

if UNDER_SANITIZER:  # torch's extension leaves objects of its import for the leak check to report
    pytest.skip("the adapter is pure Python; the plain run covers it", allow_module_level=True)
torch = pytest.importorskip("torch")
nn = pytest.importorskip("torch_geometric.nn")
trim_to_layer = pytest.importorskip("torch_geometric.utils").trim_to_layer


def numpy_sage(x, edge_index, convs):
    """One layer of mean SAGEConvs, one per edge type, summed into each destination type."""
    out = {}
    for (src, rel, dst), (source, destination) in edge_index.items():
        mean = np.zeros((len(x[dst]), x[src].shape[1]))
        np.add.at(mean, destination, x[src][source])
        mean /= np.maximum(np.bincount(destination, minlength=len(x[dst])), 1)[:, None]
        conv = convs[f"{src}__{rel}__{dst}"]
        out[dst] = out.get(dst, 0) + sum(inputs @ lin.weight.detach().numpy().T + (
            0 if lin.bias is None else lin.bias.detach().numpy()) for lin, inputs in
            ((conv.lin_l, mean), (conv.lin_r, x[dst])))
    return out


def test_a_hetero_sage_model_computes_on_the_batch_what_numpy_computes_from_its_arrays():
    rng = np.random.default_rng(3)
    no_edges = (np.empty(0, np.int64),) * 2  # shops sell nothing: no batch reaches them
    graph = build_graph({"user": 40, "item": 12, "shop": 2}, {
        ("user", "rates", "item"): (rng.integers(0, 40, 300), rng.integers(0, 12, 300)),
        ("shop", "sells", "item"): no_edges}, add_reverse=True)
    batch = next(iter(SeedLoader(graph, "user", np.arange(40), num_neighbors=[3, 2], batch_size=8)))
    features = {t: rng.normal(size=(n, 5)).astype(np.float32) for t, n in graph.num_nodes.items()}
    data, seeds = batch.to_pyg(features), len(batch.seed_ids)
    torch.manual_seed(0)

    class Sage(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1, self.conv2 = nn.SAGEConv((-1, -1), 6), nn.SAGEConv((-1, -1), 3)

        def forward(self, x, edge_index):
            return self.conv2(self.conv1(x, edge_index).relu(), edge_index)

    model = nn.to_hetero(Sage(), data.metadata())
    out = model(data.x_dict, data.edge_index_dict)["user"][:data["user"].batch_size]
    expected = {t: features[t][ids] for t, ids in batch.node_ids.items()}
    for convs, last in ((model.conv1, False), (model.conv2, True)):
        expected = {t: v if last else np.maximum(v, 0)
                    for t, v in numpy_sage(expected, batch.edge_index, convs).items()}
    np.testing.assert_allclose(out.detach().numpy(), expected["user"][:seeds], atol=1e-5)

    x, edge_index = data.x_dict, data.edge_index_dict  # the same layers, each on what it still needs
    for layer, convs in enumerate((model.conv1, model.conv2)):
        x, edge_index, _ = trim_to_layer(layer, data.num_sampled_nodes_dict, data.num_sampled_edges_dict,
                                         x, edge_index)
        assert {t: len(v) for t, v in x.items()} == {t: sum(data[t].num_sampled_nodes[:3 - layer]) for t in x}
        x = nn.HeteroConv({t: convs["__".join(t)] for t in data.edge_types})(x, edge_index)
        x = {t: v.relu() if layer == 0 else v for t, v in x.items()}
    torch.testing.assert_close(x["user"][:seeds], out)
    assert data["shop"].n_id.numel() == 0 and data["shop", "sells", "item"].edge_index.shape == (2, 0)


def test_node_seed_and_label_attributes_carry_the_batch_without_copies():
    labels = {"label": np.arange(60) % 3, "weight": np.arange(60) / 2}
    batch = next(iter(SeedLoader(rated()[1], "user", np.arange(60), np.full(60, 700), num_neighbors=[2, 2],
                                 batch_size=8, shuffle=True, labels=labels)))
    data = batch.to_pyg(y="label")
    user = data["user"]
    assert "label" not in user  # it is y
    assert (user.batch_size, user.input_id.tolist(), user.seed_time.tolist(), user.y.tolist(),
            user.weight.tolist()) == (8, batch.input_id.tolist(), [700] * 8, batch.labels["label"].tolist(),
                                      batch.labels["weight"].tolist())
    for t, ids in batch.node_ids.items():
        assert np.shares_memory(data[t].n_id.numpy(), ids)
        assert (data[t].batch.tolist(), data[t].num_sampled_nodes) == (batch.node_seed[t].tolist(),
                                                                        batch.num_nodes_per_hop[t].tolist())
    for t, index in batch.edge_index.items():
        assert index.size == 0 or np.shares_memory(data[t].edge_index.numpy(), index)
        assert data[t].num_sampled_edges == batch.num_edges_per_hop[t].tolist()
    assert dataclasses.replace(batch, labels={"one": np.ones(8)}).to_pyg()["user"].y.tolist() == [1] * 8
    for bad_labels, y, name in [({"label", "x"}, "label", "'x'"), ({"label"}, "grade", "'grade'"),
                                ({"label", "y"}, "label", "'y'")]:
        with pytest.raises(ValueError, match=name):
            dataclasses.replace(batch, labels={k: np.ones(8) for k in bad_labels}).to_pyg(y=y)


def test_link_attributes_land_on_the_target_edge_type():
    rates, one, two = ("user", "rates", "item"), np.array([4]), np.array([1, 2])
    link = LinkBatch(rates, {"user": one, "item": two}, {"user": one * 0, "item": two},
                     {rates: np.empty((2, 0), np.int64)}, {"user": np.array([1, 0]), "item": np.array([2, 0])},
                     {rates: np.array([0])}, edge_label_index=np.array([[0, 0], [0, 1]]),
                     edge_label=np.array([1.0, 0.0]), edge_label_time=np.array([50, 50]), num_positives=1,
                     input_id=np.array([7]), labels={"weight": np.array([0.5])})
    store = link.to_pyg()[rates]
    assert (store.edge_label_index.tolist(), store.edge_label.tolist(), store.edge_label_time.tolist(),
            store.input_id.tolist(), store.weight.tolist()) == ([[0, 0], [0, 1]], [1, 0], [50, 50], [7], [0.5])
    assert "edge_label_time" not in dataclasses.replace(link, edge_label_time=one[:0]).to_pyg()[rates]
    with pytest.raises(ValueError, match="'edge_label'"):
        dataclasses.replace(link, labels={"edge_label": np.ones(1)}).to_pyg()
    with pytest.raises(ValueError, match="y: a link batch"):
        corvane_data.pyg.to_hetero_data(link, y="weight")


def test_without_the_extra_the_error_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch_geometric", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'corvane\[pyg\]'"):
        LinkBatch(("a", "r", "a"), {}, {}, {}, {}, {}, np.empty((2, 0)), np.empty(0), np.empty(0), 0).to_pyg()


def test_docstring_examples_run():
    assert doctest.testmod(corvane_data.pyg).failed == 0
