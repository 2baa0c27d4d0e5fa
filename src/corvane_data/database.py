"""A relational database, described as it is, to the sampler's graph, keeping its keys.

The user names each table's role: a table of entities (a node type, its
primary key and perhaps a time column), a foreign key (an edge from each row
to the row it refers to) or a link table (an edge per row, between the rows
its two foreign keys refer to; with times, an event per row). The keys become
:class:`KeyMap` objects, the times int64 counts of one unit (:mod:`corvane_data.times`),
and the edges go through :func:`build_graph`.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from corvane_data import times
from corvane_data.keys import NULL, UNKNOWN, KeyMap, key_at
from corvane_data.tables import EdgeType, GraphArrays, Int64Array, build_graph, read_column

Column = tuple[str, str]  # (table, column)


@dataclass
class BuildReport:
    """What :meth:`Database.build` left out, per (table, column), where anything was.

    Attributes
    ----------
    null : dict of (table, column) to int
        Rows whose foreign key is null: they make no edge (the database says
        the row refers to nothing).
    dangling : dict of (table, column) to int
        Rows dropped because their foreign key matches no primary key
        (only with ``dangling="drop"``; otherwise such a row is an error).
    """

    null: dict[Column, int] = field(default_factory=dict)
    dangling: dict[Column, int] = field(default_factory=dict)


@dataclass
class _Table:
    table: Any
    key: str
    time: str | None


@dataclass
class _Edges:
    """A foreign key (``source`` is None: the table's own rows) or a link table."""

    relation: str
    table_name: str
    table: Any
    source: tuple[str | None, str]  # (column, node type)
    destination: tuple[str, str]
    time: str | None = None


class Database:
    """Tables with primary and foreign keys, to a :class:`GraphArrays` with the keys kept.

    Node ``i`` of a type is row ``i`` of its table, so per-row arrays of that
    table (features, labels) line up with the node ids; ``graph.keys[t]``
    turns ids into keys and keys into ids.

    Edges point toward the seeds: a seed's neighbours are the sources of the
    edges into it. A foreign key ``commit.author -> author`` makes edges from
    commits to authors, so an author seed reaches its commits, and a commit
    seed reaches its author only through the reverse edges: build with
    ``add_reverse=True`` unless one direction is all a model needs.

    Parameters
    ----------
    time_unit : {"s", "ms", "us", "ns"} or None
        The unit of the graph's times. Datetime columns (numpy, pandas,
        pyarrow; aware ones in UTC) become counts of it since the Unix epoch,
        floored; None takes integer times only, as they are.

    Attributes
    ----------
    report : BuildReport or None
        What the last :meth:`build` left out (null and dangling foreign keys).

    Examples
    --------
    >>> import numpy as np
    >>> db = Database(time_unit="s")
    >>> db.table("author", {"key": np.array(["ada", "bob"])}, key="key")
    >>> db.table("commit", {"hash": np.array(["c1", "c2", "c3"]),
    ...                     "author": np.array(["bob", "ada", None], dtype=object),
    ...                     "time": np.array(["2024-01-01", "2024-01-02", "2024-01-03"],
    ...                                      dtype="datetime64[D]")}, key="hash", time="time")
    >>> db.foreign_key("commit", "author", refers_to="author")
    >>> graph = db.build(add_reverse=True)
    >>> graph.edge_types
    [('commit', 'author', 'author'), ('author', 'rev_author', 'commit')]
    >>> graph.row["author__rev_author__commit"].tolist()   # each commit's author
    [1, 0]
    >>> graph.node_time["commit"].tolist()
    [1704067200, 1704153600, 1704240000]
    >>> graph.keys["commit"].ids("seeds", ["c2"]).tolist(), db.report.null
    ([1], {('commit', 'author'): 1})
    """

    def __init__(self, *, time_unit: str | None = None) -> None:
        self.time_unit = times.time_unit(time_unit)
        self.report: BuildReport | None = None
        self._tables: dict[str, _Table] = {}
        self._edges: list[_Edges] = []

    def table(self, node_type: str, table: Any, *, key: str, time: str | None = None) -> None:
        """Adds a node type: one node per row of ``table``, keyed by its column ``key``.

        ``table`` is a dict of arrays, a pandas DataFrame or a pyarrow Table;
        ``time`` names a column with each node's time (integers or datetimes).
        """
        if node_type in self._tables:
            raise ValueError(f"table {node_type!r} is already added")
        self._tables[node_type] = _Table(table, key, time)

    def foreign_key(self, node_type: str, column: str, *, refers_to: str,
                    relation: str | None = None) -> None:
        """Adds edges ``(node_type, relation, refers_to)``, from each row of ``node_type``'s
        table to the row of ``refers_to``'s table whose key its ``column`` holds.

        ``relation`` defaults to the column's name. A null in ``column``
        makes no edge.
        """
        if node_type not in self._tables:
            raise ValueError(f"foreign_key {column!r}: no table {node_type!r} yet; add it with "
                             "table() first")
        self._edges.append(_Edges(relation or column, node_type, self._tables[node_type].table,
                                  (None, node_type), (column, refers_to)))

    def link(self, relation: str, table: Any, *, source: tuple[str, str],
             destination: tuple[str, str], time: str | None = None) -> None:
        """Adds a link table: an edge ``(source type, relation, destination type)`` per row.

        Parameters
        ----------
        relation : str
            The edge type's relation, and the table's name in messages.
        table : dict of arrays, pandas DataFrame or pyarrow Table
            One row per edge.
        source, destination : (column, node type)
            The foreign-key column at each end and the node type it refers to.
        time : str, optional
            A column of times: each row becomes an event, a node of type
            ``relation`` with that time between its two ends, as
            :func:`build_graph`'s ``edge_time`` makes them.
        """
        self._edges.append(_Edges(relation, relation, table, source, destination, time))

    def build(self, *, add_reverse: bool = False, reverse_prefix: str = "rev_",
              dangling: Literal["raise", "drop"] = "raise") -> GraphArrays:
        """The graph of the described tables, with their keys, time unit and edge origins.

        Parameters
        ----------
        add_reverse, reverse_prefix
            As :func:`build_graph` takes them.
        dangling : {"raise", "drop"}
            What a foreign key that matches no primary key does: raise a
            ValueError, or drop its row (counted in :attr:`report`).

        Raises
        ------
        ValueError
            For a missing column (listing the columns the table has and the
            option that names another), a duplicate or null primary key
            (naming table, column, first bad row and key), a dangling foreign
            key with ``dangling="raise"`` (naming table, column, first bad
            row and value), a foreign key to a node type with no table, times
            that are neither integers nor datetimes, and whatever
            :func:`build_graph` refuses.
        """
        if dangling not in ("raise", "drop"):
            raise ValueError(f"dangling must be 'raise' or 'drop', not {dangling!r}")
        report = BuildReport()
        keys = {node_type: KeyMap.from_keys(f"table {node_type!r}: column {entry.key!r}",
                                            read_column(f"table {node_type!r}", entry.table, entry.key, "key"))
                for node_type, entry in self._tables.items()}
        node_time = {node_type: self._times(node_type, entry.table, entry.time)
                     for node_type, entry in self._tables.items() if entry.time is not None}
        edges: dict[EdgeType, tuple[Int64Array, Int64Array]] = {}
        edge_time: dict[EdgeType, Int64Array] = {}
        origins: dict[EdgeType, str] = {}
        for entry in self._edges:
            edge_type = (entry.source[1], entry.relation, entry.destination[1])
            kept, ends = self._ends(entry, keys, dangling, report)
            edges[edge_type] = ends
            if entry.time is not None:
                edge_time[edge_type] = self._times(entry.table_name, entry.table, entry.time)[kept]
            origins[edge_type] = (f"link table {entry.table_name!r}" if entry.source[0] is not None
                                  else f"foreign key {entry.destination[0]!r} of table "
                                       f"{entry.table_name!r}")
        graph = build_graph({node_type: len(key_map) for node_type, key_map in keys.items()},
                            edges, node_time=node_time, edge_time=edge_time,
                            add_reverse=add_reverse, reverse_prefix=reverse_prefix)
        self.report = report
        described = {edge_type: origin for edge_type, origin in origins.items()
                     if edge_type in graph.origins}
        return dataclasses.replace(graph, keys=keys, time_unit=self.time_unit,
                                   origins={**graph.origins, **described})

    def _times(self, table_name: str, table: Any, column: str) -> Int64Array:
        return times.time_array(f"table {table_name!r}: column {column!r}",
                          read_column(f"table {table_name!r}", table, column, "time"), self.time_unit)

    def _ends(self, entry: _Edges, keys: dict[str, KeyMap], dangling: str,
              report: BuildReport) -> tuple[Int64Array, tuple[Int64Array, Int64Array]]:
        """The rows that make edges, and their source and destination ids."""
        ids = []
        for (column, node_type), option in ((entry.source, "source"),
                                            (entry.destination, "destination")):
            if column is None:  # a foreign key: the table's own rows are the sources
                ids.append(np.arange(len(keys[entry.table_name]), dtype=np.int64))
                continue
            if node_type not in keys:
                raise ValueError(f"table {entry.table_name!r}: column {column!r} refers to "
                                 f"{node_type!r}, which has no table; tables: "
                                 f"{', '.join(map(repr, keys)) or 'none'}")
            name = f"table {entry.table_name!r}: column {column!r}"
            values = read_column(f"table {entry.table_name!r}", entry.table, column, option)
            found = keys[node_type].ids(name, values, missing="mark")
            _count(report.null, (entry.table_name, column), found == NULL)
            unknown = found == UNKNOWN
            if dangling == "raise" and unknown.any():
                row = int(np.flatnonzero(unknown)[0])
                raise ValueError(f"{name} row {row} holds {key_at(values, row)!r}, which is not a "
                                 f"key of {node_type!r} (dangling='drop' drops such rows)")
            _count(report.dangling, (entry.table_name, column), unknown)
            ids.append(found)
        kept = np.flatnonzero((ids[0] >= 0) & (ids[1] >= 0))
        return kept, (ids[0][kept], ids[1][kept])


def _count(counts: dict[Column, int], where: Column, rows: Any) -> None:
    number = int(np.count_nonzero(rows))
    if number:
        counts[where] = counts.get(where, 0) + number
