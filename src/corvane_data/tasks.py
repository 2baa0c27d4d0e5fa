"""Training tables: the seeds of a task with their times and labels, and cuts of them by time.

A node task is what users of relational data hold: a table of (entity key,
time, label columns, ...), one row per prediction to make. Each row becomes a
seed: its key through the graph's key map, its time in the graph's time unit,
and every other column it carries (labels, weights, any payload) travels with
the seed into its batch. A link task is the same with two keys per row, a
source and a destination: will this commit touch this file, at this time.

**The rule that keeps a time split free of leakage.** A seed at time ``t`` is
sampled with ``t`` as its seed time, and the sampler admits only neighbours
whose time is at or before ``t``: nothing a seed sees lies in its future, so
training on rows before a cut never shows the model anything of the rows
after it. Two things remain the user's: node types without times are seen
whole, whatever the seed's time (give every type whose rows appear over time
a time column), and a label that describes a period after ``t`` (``will this
customer buy in the next 30 days``) must end before the next split begins:
``split_by_time(..., gap=...)`` leaves out the rows that close to a cut.

**Links add one rule.** The pair being predicted is often in the graph
itself: the interaction at time ``t`` is an edge, or an event node at ``t``.
Both trees of a pair at ``t`` are therefore sampled at ``t - 1`` (times are
integers in the graph's unit): they hold strictly the past of ``t``, so
neither the pair's own interaction nor anything after it is visible. Edges
without times are not covered by this: a link task whose relation is in the
graph as untimed edges sees its answers; give that relation times, or leave
it out of the graph.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Self

import numpy as np
import numpy.typing as npt

from corvane_data.arguments import integer_array
from corvane_data.tables import EdgeType, GraphArrays, Int64Array, column_names, read_column
from corvane_data.times import time_array, time_delta, time_value


class _TaskRows:
    """Row operations every task shares: its length, a selection of rows, cuts by time.

    A task names its per-row arrays in ``_ROWS``; ``time`` and the per-row
    ``labels`` are cut with them, and so is any other array attribute named
    there that holds one row per task row (one left empty stays empty).
    """

    _ROWS: tuple[str, ...]
    time: Int64Array
    time_unit: str | None
    labels: dict[str, npt.NDArray[Any]]

    def __len__(self) -> int:
        return len(self.time) if self.time.size else len(getattr(self, self._ROWS[0]))

    def take(self, positions: npt.ArrayLike) -> Self:
        """The rows at ``positions`` (or where a boolean mask is true), in that order."""
        chosen = np.asarray(positions)
        rows = {name: getattr(self, name) for name in (*self._ROWS, "time")}
        task: Any = self  # a dataclass: every task is one
        return dataclasses.replace(  # type: ignore[no-any-return]
            task, **{name: values[chosen] for name, values in rows.items() if len(values) == len(self)},
            labels={name: values[chosen] for name, values in self.labels.items()})

    def split_by_time(self, validation_from: Any, test_from: Any, *,
                      gap: Any = 0) -> tuple[Self, Self, Self]:
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


@dataclass(frozen=True)
class NodeTask(_TaskRows):
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
    _ROWS = ("ids",)

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
        ids = _ids(graph, node_type, name, table, key, "key")
        times = _times(graph, name, table, time)
        carried = _carried(name, table, labels, (key, time), len(ids))
        return cls(node_type, ids, times, carried, graph.time_unit)


@dataclass(frozen=True)
class LinkTask(_TaskRows):
    """Pairs to predict: a source and a destination per row, with a time and labels.

    Attributes
    ----------
    edge_type : (str, str, str)
        (source type, relation, destination type): the link being predicted.
        The relation names the target in batches; it need not be an edge
        type of the graph.
    sources, destinations : int64 arrays
        The pairs' dense node ids.
    time : int64 array
        One time per pair in the graph's time unit, or empty.
    label : array
        One label per pair (a batch's ``edge_label`` for its positives), or
        empty: every row is then a positive, labelled 1.
    labels : dict of str to array
        Other per-pair arrays that travel with the rows.
    time_unit : str or None
        The unit of ``time``: the graph's.
    """

    edge_type: EdgeType
    sources: Int64Array
    destinations: Int64Array
    time: Int64Array
    label: npt.NDArray[Any] = field(default_factory=lambda: np.empty(0))
    labels: dict[str, npt.NDArray[Any]] = field(default_factory=dict)
    time_unit: str | None = None
    _ROWS = ("sources", "destinations", "label")

    @classmethod
    def from_table(cls, graph: GraphArrays, edge_type: EdgeType, table: Any, *, source: str,
                   destination: str, time: str | None = None, label: str | None = None,
                   labels: Sequence[str] | None = None) -> LinkTask:
        """Reads a link table: source and destination key columns, a time, a label, other columns.

        Keys go through the graph's key maps of the two end types (without
        one, the column holds dense ids); times through its ``time_unit``.

        Parameters
        ----------
        graph : GraphArrays
            The graph the task runs on.
        edge_type : (str, str, str)
            (source type, relation, destination type).
        table : dict of arrays, pandas DataFrame or pyarrow Table
            One row per pair.
        source, destination, time : str
            The columns of the two keys and of the times.
        label : str, optional
            The column of the pairs' labels; without it every row is a
            positive.
        labels : sequence of str, optional
            Other columns that travel with the rows; by default every column
            not named above.

        Raises
        ------
        ValueError
            As :meth:`NodeTask.from_table`, for either end.

        Examples
        --------
        >>> import numpy as np
        >>> from corvane_data import build_graph
        >>> graph = build_graph({"user": 2, "item": 3}, {("user", "rates", "item"): (np.array([0]), np.array([2]))})
        >>> task = LinkTask.from_table(graph, ("user", "buys", "item"),
        ...                            {"user": [1, 0], "item": [2, 2], "at": [9, 4]},
        ...                            source="user", destination="item", time="at")
        >>> task.sources.tolist(), task.destinations.tolist(), task.time.tolist()
        ([1, 0], [2, 2], [9, 4])
        """
        edge_type = tuple(edge_type)  # type: ignore[assignment]
        if len(edge_type) != 3:
            raise ValueError(f"edge_type must be (source type, relation, destination type), "
                             f"not {edge_type!r}")
        source_type, _, destination_type = edge_type
        name = f"link table of {edge_type!r}"
        for node_type in (source_type, destination_type):
            if node_type not in graph.node_types:
                raise ValueError(f"{name}: {node_type!r} is not a node type of the graph")
        sources = _ids(graph, source_type, name, table, source, "source")
        destinations = _ids(graph, destination_type, name, table, destination, "destination")
        times = _times(graph, name, table, time)
        label_values = (np.empty(0) if label is None else
                        _carried(name, table, [label], (), len(sources))[label])
        carried = _carried(name, table, labels, (source, destination, time, label), len(sources))
        return cls(edge_type, sources, destinations, times, label_values, carried, graph.time_unit)


def _ids(graph: GraphArrays, node_type: str, name: str, table: Any, column: str,
         option: str) -> Int64Array:
    """A key column as dense ids of ``node_type``: through its key map, or read as ids."""
    keys = read_column(name, table, column, option)
    key_map = graph.keys.get(node_type)
    if key_map is not None:
        return key_map.ids(f"{name}: column {column!r}", keys)
    ids = integer_array(f"{name}: column {column!r}", keys, position="row")
    _check_in_range(name, column, ids, graph.num_nodes.get(node_type))
    return ids


def _times(graph: GraphArrays, name: str, table: Any, column: str | None) -> Int64Array:
    if column is None:
        return np.empty(0, dtype=np.int64)
    return time_array(f"{name}: column {column!r}", read_column(name, table, column, "time"),
                      graph.time_unit)


def _carried(name: str, table: Any, columns: Sequence[str] | None, named: Sequence[str | None],
             num_rows: int) -> dict[str, npt.NDArray[Any]]:
    """The columns that travel with the rows: ``columns``, or by default all not in ``named``."""
    if columns is None:
        columns = [column for column in column_names(table) or [] if column not in named]
    carried = {column: np.asarray(read_column(name, table, column, "labels")) for column in columns}
    for column, values in carried.items():
        if values.ndim == 0 or len(values) != num_rows:
            raise ValueError(f"{name}: column {column!r} has {values.size} rows, the keys {num_rows}")
    return carried


def _check_in_range(name: str, column: str, ids: Int64Array, count: int | None) -> None:
    bad = ids < 0 if count is None else (ids < 0) | (ids >= count)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        valid = "not negative" if count is None else f"in 0..{count - 1}"
        raise ValueError(f"{name}: column {column!r} row {first} holds id {ids[first]}; ids are {valid}")
