"""Training tables: the seeds of a task with their times and labels, and cuts of them by time.

A node task is what users of relational data hold: a table of (entity key,
time, label columns, ...), one row per prediction to make. Each row becomes a
seed: its key through the graph's key map, its time in the graph's time unit,
and every other column it carries (labels, weights, any payload) travels with
the seed into its batch.

**The rule that keeps a time split free of leakage.** A seed at time ``t`` is
sampled with ``t`` as its seed time, and the sampler admits only neighbours
whose time is at or before ``t``: nothing a seed sees lies in its future, so
training on rows before a cut never shows the model anything of the rows
after it. Two things remain the user's: node types without times are seen
whole, whatever the seed's time (give every type whose rows appear over time
a time column), and a label that describes a period after ``t`` (``will this
customer buy in the next 30 days``) must end before the next split begins:
``split_by_time(..., gap=...)`` leaves out the rows that close to a cut.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from corvane_data.arguments import integer_array
from corvane_data.tables import GraphArrays, Int64Array, column_names, read_column
from corvane_data.times import time_array, time_delta, time_value


@dataclass(frozen=True)
class NodeTask:
    """The seeds of one node type, with one time and one row of labels each.

    Attributes
    ----------
    node_type : str
        The node type of the seeds.
    ids : int64 array
        The seeds' dense node ids.
    time : int64 array
        One time per seed in the graph's time unit, or empty: the seeds are
        then sampled without a time of their own.
    labels : dict of str to array
        Per-seed arrays, one row per seed: labels, weights, any payload.
    time_unit : str or None
        The unit of ``time``: the graph's.
    """

    node_type: str
    ids: Int64Array
    time: Int64Array
    labels: dict[str, npt.NDArray[Any]] = field(default_factory=dict)
    time_unit: str | None = None

    @classmethod
    def from_table(cls, graph: GraphArrays, node_type: str, table: Any, *, key: str,
                   time: str | None = None, labels: Sequence[str] | None = None) -> NodeTask:
        """Reads a task table: a key column, an optional time column and label columns.

        Parameters
        ----------
        graph : GraphArrays
            The graph the task runs on: its key map of ``node_type`` turns
            keys into ids (without one, the key column holds the ids), and its
            ``time_unit`` says how datetimes become times.
        node_type : str
            The node type the keys belong to.
        table : dict of arrays, pandas DataFrame or pyarrow Table
            One row per seed.
        key, time : str
            The columns of the keys and of the times.
        labels : sequence of str, optional
            The columns that travel with the seeds; by default every column
            besides ``key`` and ``time``.

        Raises
        ------
        ValueError
            For a missing column (listing the columns present), a key that is
            not in the graph or an id outside the node type, or times of a
            kind the graph's unit cannot take; each names the column and the
            first bad row.

        Examples
        --------
        >>> import numpy as np
        >>> from corvane_data import build_graph
        >>> graph = build_graph({"user": 3}, {("user", "follows", "user"): (np.array([0]), np.array([1]))})
        >>> task = NodeTask.from_table(graph, "user", {"id": [2, 0], "at": [5, 7], "churned": [1, 0]},
        ...                            key="id", time="at")
        >>> task.ids.tolist(), task.time.tolist(), task.labels["churned"].tolist()
        ([2, 0], [5, 7], [1, 0])
        """
        name = f"task table of {node_type!r}"
        if node_type not in graph.node_types:
            raise ValueError(f"{name}: {node_type!r} is not a node type of the graph")
        keys = read_column(name, table, key, "key")
        key_map = graph.keys.get(node_type)
        if key_map is not None:
            ids = key_map.ids(f"{name}: column {key!r}", keys)
        else:
            ids = integer_array(f"{name}: column {key!r}", keys, position="row")
            _check_in_range(name, key, ids, graph.num_nodes.get(node_type))
        times = (np.empty(0, dtype=np.int64) if time is None else
                 time_array(f"{name}: column {time!r}", read_column(name, table, time, "time"),
                            graph.time_unit))
        if labels is None:
            labels = [column for column in column_names(table) or [] if column not in (key, time)]
        carried = {column: np.asarray(read_column(name, table, column, "labels"))
                   for column in labels}
        for column, values in carried.items():
            if values.ndim == 0 or len(values) != len(ids):
                raise ValueError(f"{name}: column {column!r} has {values.size} rows, "
                                 f"the keys {len(ids)}")
        return cls(node_type, ids, times, carried, graph.time_unit)

    def __len__(self) -> int:
        return len(self.ids)

    def take(self, positions: npt.ArrayLike) -> NodeTask:
        """The rows at ``positions`` (or where a boolean mask is true), in that order."""
        chosen = np.asarray(positions)
        return NodeTask(self.node_type, self.ids[chosen],
                        self.time[chosen] if self.time.size else self.time,
                        {name: values[chosen] for name, values in self.labels.items()},
                        self.time_unit)

    def split_by_time(self, validation_from: Any, test_from: Any, *,
                      gap: Any = 0) -> tuple[NodeTask, NodeTask, NodeTask]:
        """Cuts the rows by time: training before ``validation_from``, validation up to
        ``test_from`` (excluded), test from ``test_from`` on.

        The bounds are times in the graph's unit, or datetimes where it has
        one. Sampled with their times, the three parts see no row of a later
        part (the module docstring says what that rests on).

        Parameters
        ----------
        validation_from, test_from
            Where validation and test begin.
        gap : int or duration
            Rows this close before a cut are left out (training rows before
            ``validation_from``, validation rows before ``test_from``): a
            label that looks ``gap`` ahead of its row's time then never
            reaches into the next part.

        Examples
        --------
        >>> import numpy as np
        >>> task = NodeTask("user", np.arange(5), np.array([1, 5, 9, 3, 7]))
        >>> [part.ids.tolist() for part in task.split_by_time(4, 8)]
        [[0, 3], [1, 4], [2]]
        >>> [part.ids.tolist() for part in task.split_by_time(4, 8, gap=2)]
        [[0], [1], [2]]
        """
        if not self.time.size and len(self):
            raise ValueError("split_by_time: the task has no times (give from_table a time column)")
        lower = time_value("split_by_time: validation_from", validation_from, self.time_unit)
        upper = time_value("split_by_time: test_from", test_from, self.time_unit)
        margin = time_delta("split_by_time: gap", gap, self.time_unit)
        if lower > upper:
            raise ValueError(f"split_by_time: validation_from ({lower}) is after test_from ({upper})")
        if margin < 0:
            raise ValueError(f"split_by_time: gap must not be negative, not {margin}")
        return (self.take(self.time < lower - margin),
                self.take((self.time >= lower) & (self.time < upper - margin)),
                self.take(self.time >= upper))


def _check_in_range(name: str, column: str, ids: Int64Array, count: int | None) -> None:
    bad = ids < 0 if count is None else (ids < 0) | (ids >= count)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        valid = "not negative" if count is None else f"in 0..{count - 1}"
        raise ValueError(f"{name}: column {column!r} row {first} holds id {ids[first]}; ids are {valid}")
