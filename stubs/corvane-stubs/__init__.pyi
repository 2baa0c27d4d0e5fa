"""Types of the corvane extension module.

A sampler holds a heterogeneous graph in compressed sparse column form (one
`colptr`/`row` pair per edge type, keyed by "source__relation__destination")
and draws one sampled tree per seed node.
"""

from collections.abc import Iterable, Mapping, Sequence
from typing import TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

_Int64Array: TypeAlias = npt.NDArray[np.int64]
_NodeTypes: TypeAlias = list[str] | tuple[str, ...]
_EdgeType: TypeAlias = tuple[str, str, str] | list[str]
_OffsetRows: TypeAlias = npt.ArrayLike | Sequence[Sequence[int | None]]

# One type variable per dictionary: dict is invariant in its values, so a
# dict[str, NDArray[int64]] must match the parameter as it is.
_Colptr = TypeVar("_Colptr", bound=npt.ArrayLike)
_Row = TypeVar("_Row", bound=npt.ArrayLike)
_Counts = TypeVar("_Counts", bound=npt.ArrayLike)
_Offsets = TypeVar("_Offsets", bound=_OffsetRows)

class NeighborSampler:
    def __init__(
        self,
        node_types: _NodeTypes,
        edge_types: Sequence[_EdgeType],
        colptr: dict[str, _Colptr],
        row: dict[str, _Row],
        node_time: Mapping[str, npt.ArrayLike] | Iterable[tuple[str, npt.ArrayLike]],
        seed: int = 123,
    ) -> None:
        """Holds the graph; `seed` seeds the random engine (same seed, same draws)."""

    def sample(
        self,
        num_neighbors: dict[str, _Counts],
        sampling_time_offsets: dict[str, _Offsets],
        entity_table: str,
        seed_node: _Int64Array,
        seed_time: _Int64Array,
    ) -> tuple[
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
    ]:
        """One sampled tree per seed.

        Returns (rows, cols, nodes, batches, num_nodes, num_edges): sampled edges as
        local indices of their source and destination nodes per edge-type key; global
        ids of the sampled nodes and the seed each belongs to, per node type; and the
        nodes and edges added per hop.
        """
