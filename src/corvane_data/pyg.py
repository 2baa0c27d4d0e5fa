"""Batches as PyG's heterogeneous models take them: one ``HeteroData`` per batch.

An adapter at the edge of the toolkit: nothing else in ``corvane_data`` needs
torch. Every store carries what PyG's own loaders put in a heterogeneous batch,
under the names its models and utilities read:

- every node type: ``x`` (where features are given), ``n_id``, ``batch``
  (the tree each node belongs to) and ``num_sampled_nodes`` (per hop, the
  seeds first);
- every edge type: ``edge_index`` and ``num_sampled_edges`` (per hop), so that
  ``torch_geometric.utils.trim_to_layer`` can drop what a layer no longer
  needs;
- a mini-batch's seed type: ``batch_size``, ``input_id``, ``seed_time`` and
  its labels (``y`` and the other columns by name);
- a link batch's target edge type: ``edge_label_index``, ``edge_label``,
  ``edge_label_time``, ``input_id`` and the task's other columns by name.

Types without sampled nodes or edges are there too, empty, so a model made by
``to_hetero`` finds every type of its metadata. Integer arrays become tensors
without a copy (``torch.from_numpy``): the tensors share memory with the batch.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, TypeIs

import numpy as np
import numpy.typing as npt

from corvane_data.tables import EdgeType

if TYPE_CHECKING:  # the batches call this module, which reads them by their fields alone
    from types import ModuleType

    from torch_geometric.data import HeteroData

    from corvane_data.batches import LinkBatch, MiniBatch

INSTALL = "pip install 'corvane[pyg]'"

# What this module writes on a store; a label column of the same name is refused.
NODE_ATTRIBUTES = ("x", "n_id", "batch", "num_sampled_nodes", "num_nodes", "batch_size", "input_id",
                   "seed_time")
EDGE_ATTRIBUTES = ("edge_index", "num_sampled_edges", "num_edges", "edge_label_index", "edge_label",
                   "edge_label_time", "input_id")


def to_hetero_data(batch: MiniBatch | LinkBatch,
                   features: Mapping[str, npt.NDArray[Any]] | None = None, *,
                   y: str | None = None) -> HeteroData:
    """A batch as a ``torch_geometric.data.HeteroData`` that PyG models take as it is.

    Parameters
    ----------
    batch : MiniBatch or LinkBatch
        The batch.
    features : mapping of node type to array, optional
        One row per node of the type (numpy arrays or memmaps); the sampled
        rows become the type's ``x`` (:meth:`~corvane_data.MiniBatch.gather`).
    y : str, optional
        The label column of a mini-batch that becomes the seed type's ``y``;
        without it, the one column where there is only one. The other
        columns keep their names.

    Returns
    -------
    HeteroData

    Raises
    ------
    ModuleNotFoundError
        Without torch or torch_geometric; the message names the extra to install.
    ValueError
        For a ``y`` that is not a label column (or any ``y`` for a link
        batch, whose labels are ``edge_label``), or a label column whose name
        PyG reads as something else (``x``, ``n_id``, ``batch``, ...).

    Examples
    --------
    >>> import numpy as np
    >>> from corvane_data import SeedLoader, build_graph
    >>> graph = build_graph({"a": 4}, {("a", "r", "a"): (np.array([1, 2, 3]), np.array([0, 0, 1]))})
    >>> loader = SeedLoader(graph, "a", np.arange(4), num_neighbors=[2], batch_size=2,
    ...                     labels={"label": np.arange(4) * 10})
    >>> data = to_hetero_data(next(iter(loader)), {"a": np.eye(4, dtype=np.float32)})
    >>> data["a"].n_id.tolist(), data["a"].batch.tolist(), data["a"].num_sampled_nodes
    ([0, 1, 1, 2, 3], [0, 1, 0, 0, 1], [2, 3])
    >>> data["a", "r", "a"].edge_index.tolist(), data["a", "r", "a"].num_sampled_edges
    ([[2, 3, 4], [0, 0, 1]], [3])
    >>> data["a"].x[2].tolist(), data["a"].y.tolist(), data["a"].batch_size
    ([0.0, 1.0, 0.0, 0.0], [0, 10], 2)
    """
    torch, hetero_data = _import_pyg()
    y, columns = _label_columns(batch, y)
    data = hetero_data()
    _add_sampled(torch, data, batch, batch.gather(features) if features else {})
    if _of_seeds(batch):
        store = data[batch.seed_type]
        store.batch_size = len(batch.seed_ids)
    else:
        store = data[batch.edge_type]
    for name, values in {**_task_arrays(batch, y), **columns}.items():
        setattr(store, name, _tensor(torch, values))
    return data


def _add_sampled(torch: ModuleType, data: HeteroData, batch: MiniBatch | LinkBatch,
                 x: Mapping[str, npt.NDArray[Any]]) -> None:
    """Every node and edge type's sampled part, even where nothing was sampled."""
    num_hops = _num_hops(batch)
    for node_type in _node_types(batch):
        store = data[node_type]
        if node_type in x:
            store.x = _tensor(torch, x[node_type])
        store.n_id = _tensor(torch, batch.node_ids.get(node_type, _empty()))
        store.batch = _tensor(torch, batch.node_seed.get(node_type, _empty()))
        store.num_sampled_nodes = _per_hop(batch.num_nodes_per_hop.get(node_type), num_hops + 1)
    for edge_type in _edge_types(batch):
        store = data[edge_type]
        store.edge_index = _tensor(torch, batch.edge_index.get(edge_type, np.empty((2, 0), np.int64)))
        store.num_sampled_edges = _per_hop(batch.num_edges_per_hop.get(edge_type), num_hops)


def _task_arrays(batch: MiniBatch | LinkBatch, y: str | None) -> dict[str, npt.NDArray[Any]]:
    """The seeds' (or pairs') part: on the seed type of a mini-batch, the target edge type of a link batch."""
    if _of_seeds(batch):
        arrays = {"input_id": batch.input_id, "seed_time": batch.seed_time}
        return {**_not_empty(arrays), **({} if y is None else {"y": batch.labels[y]})}
    arrays = {"edge_label_time": batch.edge_label_time, "input_id": batch.input_id}
    return {"edge_label_index": batch.edge_label_index, "edge_label": batch.edge_label,
            **_not_empty(arrays)}


def _not_empty(arrays: dict[str, npt.NDArray[Any]]) -> dict[str, npt.NDArray[Any]]:
    """Times and input ids where the batch has them: a batch made without a loader has none."""
    return {name: values for name, values in arrays.items() if values.size}


def _import_pyg() -> tuple[ModuleType, type[HeteroData]]:
    try:
        import torch
        import torch_geometric.data
    except ImportError as error:
        raise ModuleNotFoundError(f"to_pyg needs torch and torch_geometric ({error}): {INSTALL}",
                                  name=error.name) from error
    return torch, torch_geometric.data.HeteroData


def _label_columns(batch: MiniBatch | LinkBatch,
                   y: str | None) -> tuple[str | None, dict[str, npt.NDArray[Any]]]:
    """The column that becomes ``y``, and the others, which keep their names."""
    columns = dict(batch.labels)
    if not _of_seeds(batch) and y is not None:
        raise ValueError(f"y: a link batch's labels are its edge_label, not {y!r}; its other "
                         "columns keep their names")
    if y is not None and y not in columns:
        raise ValueError(f"y: {y!r} is not a label column of the batch (columns: "
                         f"{sorted(columns) or 'none'})")
    if _of_seeds(batch) and y is None and len(columns) == 1:
        y = next(iter(columns))
    if y is not None:
        del columns[y]
    taken = NODE_ATTRIBUTES + ("y",) if _of_seeds(batch) else EDGE_ATTRIBUTES
    for name in columns:
        if name in taken:
            raise ValueError(f"labels: the column {name!r} would overwrite PyG's {name!r} of the "
                             "batch; rename it")
    return y, columns


def _tensor(torch: ModuleType, values: npt.NDArray[Any]) -> Any:
    """A tensor sharing ``values``' memory, where torch has its dtype; other columns stay numpy."""
    values = np.asarray(values)
    if values.dtype.kind not in "biufc":
        return values
    # torch.from_numpy warns on a read-only array and refuses negative strides:
    # such an array is copied once.
    if not values.flags.writeable or any(stride < 0 for stride in values.strides):
        values = values.copy()
    return torch.from_numpy(values)


def _node_types(batch: MiniBatch | LinkBatch) -> list[str]:
    ends = [node_type for edge_type in _edge_types(batch) for node_type in (edge_type[0], edge_type[2])]
    return list(dict.fromkeys([*batch.node_ids, *batch.num_nodes_per_hop, *ends]))


def _edge_types(batch: MiniBatch | LinkBatch) -> list[EdgeType]:
    return list(dict.fromkeys([*batch.edge_index, *batch.num_edges_per_hop]))


def _num_hops(batch: MiniBatch | LinkBatch) -> int:
    """Node counts start with the seeds' hop; edge counts with the first hop, as PyG's do."""
    return max([len(count) - 1 for count in batch.num_nodes_per_hop.values()]
               + [len(count) for count in batch.num_edges_per_hop.values()], default=0)


def _per_hop(counts: npt.NDArray[np.int64] | None, length: int) -> list[int]:
    """Counts per hop as plain ints (zeros for a type the batch never reached)."""
    return [0] * length if counts is None else [int(count) for count in counts]


def _empty() -> npt.NDArray[np.int64]:
    return np.empty(0, dtype=np.int64)


def _of_seeds(batch: MiniBatch | LinkBatch) -> TypeIs[MiniBatch]:
    """A mini-batch of seeds, rather than a link batch of pairs."""
    return hasattr(batch, "seed_type")
