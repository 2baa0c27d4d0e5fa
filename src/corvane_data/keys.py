"""The keys of one node type by dense id: the user's primary keys to the sampler's ids and back.

Node ``i`` of a type is row ``i`` of the table that gave its keys, so arrays
in that table's order (features, labels) line up with the ids. Keys are
integers (kind ``"int64"``), text (``"str"``), binary strings (``"bytes"``)
or :class:`uuid.UUID` (``"uuid"``).

Layout: integer keys are one int64 array. The others are held as pyarrow
lays out a binary column: the keys' bytes end to end in one uint8 array
(UTF-8 for text, the 16 bytes of each UUID) and int64 offsets, key ``i``
being ``data[offsets[i]:offsets[i + 1]]``; that is also how a graph folder
stores them, so a loaded map reads its keys from the mapped files.

Lookups go through an index built on first use: for integers and, without
pyarrow, for the others, the keys sorted once and searched (``searchsorted``);
for text, bytes and UUIDs with pyarrow installed, its hash tables
(``dictionary_encode``, ``index_in``), which are many times faster on text.
Both give the same ids.
"""

from __future__ import annotations

import operator
import types
import uuid
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from corvane_data.arguments import Int64Array, integer_array

KINDS = ("int64", "str", "bytes", "uuid")
NULL = -1  # the id of a null key, where lookups mark instead of raising
UNKNOWN = -2  # the id of a key that is not in the map
UUID_BYTES = 16
UInt8Array = npt.NDArray[np.uint8]


class KeyMap:
    """The keys of one node type, by dense id.

    Build one with :meth:`from_keys`; ``len(key_map)`` is the number of
    nodes, :attr:`kind` the kind of key. :meth:`keys_of` turns ids into keys
    and :meth:`ids` keys into ids. UUID keys are kept as their 16 bytes and
    given back as :class:`uuid.UUID` objects (their text form is a ``"str"``
    key like any other); converting UUID objects costs one attribute read
    per key, the one step that is not vectorised.

    Examples
    --------
    >>> import numpy as np
    >>> authors = KeyMap.from_keys("table 'author': column 'key'", np.array(["ada", "bob", "cy"]))
    >>> len(authors), authors.kind
    (3, 'str')
    >>> authors.ids("commits: column 'author'", ["cy", "ada", "cy"]).tolist()
    [2, 0, 2]
    >>> authors.keys_of(np.array([1, 2])).tolist()
    ['bob', 'cy']
    """

    __slots__ = ("_data", "_index", "_kind", "_offsets", "_values")

    def __init__(self, kind: str, *, values: Int64Array | None = None,
                 data: UInt8Array | None = None, offsets: Int64Array | None = None) -> None:
        """Use :meth:`from_keys` or :meth:`from_arrays`, which check what this takes as given."""
        self._kind = kind
        self._values = values
        self._data = data
        self._offsets = offsets
        self._index: _SortedIndex | _ArrowIndex | None = None

    @classmethod
    def from_keys(cls, name: str, values: Any) -> KeyMap:
        """The map of ``values``, one distinct key per node: node ``i`` has key ``values[i]``.

        Parameters
        ----------
        name : str
            What the keys are, for messages (say ``"table 'author': column 'key'"``).
        values : array-like
            Integers; text (numpy ``str`` or ``StringDType``, an object array of
            ``str``, a pandas string or categorical column, a pyarrow string,
            large_string or dictionary array); bytes; :class:`uuid.UUID` objects.

        Raises
        ------
        ValueError
            For a duplicate key (naming ``name``, the first row that repeats
            an earlier one and the key), a null key (naming its row), or values
            of no supported kind.

        Examples
        --------
        >>> KeyMap.from_keys("table 'a': column 'id'", [7, 3, 7])
        Traceback (most recent call last):
        ...
        ValueError: table 'a': column 'id' row 2 repeats the key 7 of row 0
        """
        kind, column = _column(name, values)
        if kind == "int64":
            codes, nulls = _integers(name, column)
            _refuse_nulls(name, nulls)
            key_map = cls(kind, values=codes)
        else:
            data, offsets, nulls = _encoded(name, kind, column)
            _refuse_nulls(name, nulls)
            key_map = cls(kind, data=data, offsets=offsets)
        repeat = key_map._lookup().first_repeat()
        if repeat is not None:
            row, earlier = repeat
            raise ValueError(f"{name} row {row} repeats the key {key_map._key(row)!r} of row {earlier}")
        return key_map

    @classmethod
    def from_arrays(cls, name: str, kind: str, arrays: dict[str, npt.NDArray[Any]]) -> KeyMap:
        """A map from its storage form (:meth:`to_arrays`), checked: a ValueError names ``name``.

        The keys are taken to be distinct, as the map that was saved had them.
        """
        if kind not in KINDS:
            raise ValueError(f"{name}: unknown kind of key {kind!r}")
        expected = {"values": np.int64} if kind == "int64" else {"data": np.uint8, "offsets": np.int64}
        if set(arrays) != set(expected):
            raise ValueError(f"{name}: a {kind} key map has the arrays {sorted(expected)}, "
                             f"not {sorted(arrays)}")
        for part, dtype in expected.items():
            if arrays[part].dtype != dtype or arrays[part].ndim != 1:
                raise ValueError(f"{name}: {part} holds a {arrays[part].ndim}-D "
                                 f"{arrays[part].dtype} array, not a 1-D {np.dtype(dtype)} one")
        if kind == "int64":
            return cls(kind, values=arrays["values"])
        offsets = arrays["offsets"]
        steps = np.diff(offsets)
        if (not len(offsets) or offsets[0] != 0 or offsets[-1] != len(arrays["data"])
                or (steps < 0).any() or (kind == "uuid" and (steps != UUID_BYTES).any())):
            raise ValueError(f"{name}: the offsets do not divide the data into keys")
        return cls(kind, data=arrays["data"], offsets=offsets)

    def to_arrays(self) -> dict[str, npt.NDArray[Any]]:
        """The storage form: ``{"values": int64}`` for integers, else ``{"data": uint8, "offsets": int64}``."""
        if self._values is not None:
            return {"values": self._values}
        assert self._data is not None and self._offsets is not None
        return {"data": self._data, "offsets": self._offsets}

    @property
    def kind(self) -> str:
        """``"int64"``, ``"str"``, ``"bytes"`` or ``"uuid"``."""
        return self._kind

    def __len__(self) -> int:
        if self._values is not None:
            return len(self._values)
        assert self._offsets is not None
        return len(self._offsets) - 1

    def __repr__(self) -> str:
        return f"KeyMap({self._kind}, {len(self)} keys)"

    def __getstate__(self) -> tuple[Any, ...]:
        """The keys without their index, which the receiving process builds when it looks up."""
        return self._kind, self._values, self._data, self._offsets

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        self._kind, self._values, self._data, self._offsets = state
        self._index = None

    def keys_of(self, ids: Any) -> npt.NDArray[Any]:
        """The keys of dense ``ids``: an int64 array for integer keys, else an object array.

        Raises
        ------
        ValueError
            For ids that are not integers, or lie outside ``0..len - 1``
            (naming the first bad position).

        Examples
        --------
        >>> import uuid
        >>> tags = KeyMap.from_keys("tags", [uuid.UUID(int=5), uuid.UUID(int=9)])
        >>> tags.keys_of([1, 0]).tolist() == [uuid.UUID(int=9), uuid.UUID(int=5)]
        True
        """
        positions = integer_array("ids", ids)
        bad = (positions < 0) | (positions >= len(self))
        if bad.any():
            first = int(np.flatnonzero(bad)[0])
            raise ValueError(f"ids position {first} holds {positions[first]}, outside "
                             f"0..{len(self) - 1}")
        if self._values is not None:
            return self._values[positions]
        assert self._data is not None and self._offsets is not None
        data = self._data[_gathered(self._offsets, positions)].tobytes()
        lengths = self._offsets[positions + 1] - self._offsets[positions]
        ends = np.cumsum(lengths).tolist()
        pieces = map(data.__getitem__, map(slice, [0, *ends[:-1]], ends))
        keys = np.empty(len(positions), dtype=object)
        keys[:] = list(map(_DECODE[self._kind], pieces))
        return keys

    def ids(self, name: str, values: Any,
            *, missing: Literal["raise", "mark"] = "raise") -> Int64Array:
        """The dense ids of keys ``values`` (of this map's kind).

        Parameters
        ----------
        name : str
            What the values are, for messages (a table and column).
        values : array-like
            Keys, in any form :meth:`from_keys` takes; may hold nulls.
        missing : {"raise", "mark"}
            ``"raise"``: a null or a key not in the map is a ValueError.
            ``"mark"``: their ids are :data:`NULL` (-1) and :data:`UNKNOWN` (-2).

        Raises
        ------
        ValueError
            For values of another kind of key, and with ``missing="raise"``
            a null or unknown key, naming ``name``, the first bad row and the
            value.

        Examples
        --------
        >>> users = KeyMap.from_keys("users", [10, 30, 20])
        >>> users.ids("ratings: column 'user'", [20, None, 99], missing="mark").tolist()
        [2, -1, -2]
        >>> users.ids("ratings: column 'user'", [20, 99])
        Traceback (most recent call last):
        ...
        ValueError: ratings: column 'user' row 1 holds 99, which is not a key of this node type
        """
        if missing not in ("raise", "mark"):
            raise ValueError(f"missing must be 'raise' or 'mark', not {missing!r}")
        kind, column = _column(name, values, self._kind)
        if kind != self._kind and len(column):
            raise ValueError(f"{name} holds {kind} keys, but the keys of this node type are "
                             f"{self._kind}")
        index = self._lookup()
        if self._values is not None:
            codes, nulls = _integers(name, column)
            found = index.find(codes)
        else:
            data, offsets, nulls = _encoded(name, self._kind, column)
            found = index.find(_TextKeys(self._kind, data, offsets))
        if nulls is not None:
            found[nulls] = NULL
        if missing == "raise":
            _refuse_nulls(name, nulls)
            unknown = found == UNKNOWN
            if unknown.any():
                row = int(np.flatnonzero(unknown)[0])
                raise ValueError(f"{name} row {row} holds {key_at(column, row)!r}, "
                                 "which is not a key of this node type")
        return found

    def _key(self, node: int) -> Any:
        key = self.keys_of(np.array([node]))[0]
        return key.item() if isinstance(key, np.generic) else key

    def _lookup(self) -> _SortedIndex | _ArrowIndex:
        if self._index is None:
            if self._values is not None:
                self._index = _SortedIndex(self._values)
            else:
                assert self._data is not None and self._offsets is not None
                keys = _TextKeys(self._kind, self._data, self._offsets)
                arrow = _arrow()
                self._index = (_ArrowIndex(keys.arrow(arrow)) if arrow is not None
                               else _SortedIndex(keys.sortable(keys.width())))
        return self._index


_DECODE: dict[str, Any] = {"str": operator.methodcaller("decode", "utf-8"), "bytes": bytes,
                           "uuid": lambda raw: uuid.UUID(bytes=raw)}


def _arrow() -> types.ModuleType | None:
    """pyarrow where installed (its hash tables look up text keys), else None."""
    try:
        import pyarrow
    except ImportError:
        return None
    module: types.ModuleType = pyarrow
    return module


class _TextKeys:
    """Keys as bytes end to end with offsets; views over them for either index."""

    def __init__(self, kind: str, data: UInt8Array, offsets: Int64Array) -> None:
        self.kind, self.data, self.offsets = kind, data, offsets

    def width(self) -> int:
        return int(np.diff(self.offsets).max(initial=0))

    def sortable(self, width: int) -> npt.NDArray[np.bytes_]:
        """Fixed-width byte strings that compare as the keys do for equality.

        numpy drops trailing zero bytes of fixed-width strings, so each key
        ends in a byte 1 after its own bytes: ``b"a"`` and ``b"a\\0"`` stay
        apart.
        """
        count = len(self.offsets) - 1
        lengths = np.diff(self.offsets)
        table = np.zeros((count, width + 1), dtype=np.uint8)
        columns = np.arange(width + 1)
        table[columns < lengths[:, None]] = self.data[self.offsets[0]:self.offsets[-1]]
        table[np.arange(count), lengths] = 1
        return table.view(f"S{width + 1}").reshape(count)

    def arrow(self, pyarrow: types.ModuleType) -> Any:
        """A zero-copy pyarrow view (large_string or large_binary)."""
        kind = pyarrow.large_string() if self.kind == "str" else pyarrow.large_binary()
        return pyarrow.Array.from_buffers(kind, len(self.offsets) - 1,
                                          [None, pyarrow.py_buffer(self.offsets),
                                           pyarrow.py_buffer(self.data)])


class _SortedIndex:
    """Keys sorted once (stably); ids found by binary search."""

    def __init__(self, keys: npt.NDArray[Any]) -> None:
        self.size = len(keys)
        self.dense = keys.dtype == np.int64 and bool((keys == np.arange(len(keys))).all())
        self.order = np.argsort(keys, kind="stable")
        self.sorted = keys[self.order]

    def first_repeat(self) -> tuple[int, int] | None:
        """The first row whose key an earlier row has, and that earlier row."""
        repeats = np.flatnonzero(self.sorted[1:] == self.sorted[:-1])
        if not len(repeats):
            return None
        rows = self.order[repeats + 1]  # the later of each equal pair: the sort is stable
        first = int(np.argmin(rows))
        start = np.searchsorted(self.sorted, self.sorted[repeats[first]])
        return int(rows[first]), int(self.order[start])

    def find(self, query: Any) -> Int64Array:
        if isinstance(query, _TextKeys):
            query = query.sortable(max(query.width(), self.sorted.itemsize - 1))
        if self.dense:
            return np.where((query >= 0) & (query < self.size), query, UNKNOWN).astype(np.int64)
        positions = np.searchsorted(self.sorted, query)
        np.minimum(positions, max(self.size - 1, 0), out=positions)
        if not self.size:
            return np.full(len(query), UNKNOWN, dtype=np.int64)
        hit = self.sorted[positions] == query
        return np.where(hit, self.order[positions], UNKNOWN).astype(np.int64)


class _ArrowIndex:
    """pyarrow's hash tables over a zero-copy view of the keys."""

    def __init__(self, keys: Any) -> None:
        self.keys = keys

    def first_repeat(self) -> tuple[int, int] | None:
        codes = np.asarray(self.keys.dictionary_encode().indices, dtype=np.int64)
        _, first_rows = np.unique(codes, return_index=True)
        if len(first_rows) == len(codes):
            return None
        repeats = np.flatnonzero(first_rows[codes] != np.arange(len(codes)))
        row = int(repeats[0])
        return row, int(first_rows[codes[row]])

    def find(self, query: Any) -> Int64Array:
        import pyarrow
        import pyarrow.compute

        found = pyarrow.compute.index_in(query.arrow(pyarrow), value_set=self.keys)
        ids: Int64Array = np.asarray(found.fill_null(UNKNOWN), dtype=np.int64)
        return ids


def _gathered(offsets: Int64Array, positions: Int64Array) -> Int64Array:
    """The positions in the data of the bytes of keys ``positions``, key after key."""
    starts = offsets[positions]
    lengths = offsets[positions + 1] - starts
    total = int(lengths.sum())
    shift: Int64Array = np.repeat(starts - (np.cumsum(lengths) - lengths), lengths)
    return np.arange(total, dtype=np.int64) + shift


def _refuse_nulls(name: str, nulls: npt.NDArray[np.bool_] | None) -> None:
    if nulls is not None and nulls.any():
        raise ValueError(f"{name} row {int(np.flatnonzero(nulls)[0])} is null: every row needs a key")


def key_at(column: Any, row: int) -> Any:
    """The value at position ``row`` of a numpy, pandas or pyarrow column, as a Python object."""
    value = column.iloc[row] if hasattr(column, "iloc") else column[row]
    if hasattr(value, "as_py"):
        value = value.as_py()
    return value.item() if isinstance(value, np.generic) else value


# Reading columns -------------------------------------------------------------------------


def _column(name: str, values: Any, expected: str | None = None) -> tuple[str, Any]:
    """The kind of key ``values`` hold and the values as a numpy or pyarrow array."""
    module = type(values).__module__
    if module.startswith("pandas") and _arrow() is not None:
        values = _pandas_to_arrow(values)
    if type(values).__module__.startswith("pyarrow"):
        return _arrow_kind(name, values, expected), values
    if module.startswith("pandas"):
        values = values.to_numpy(dtype=object) if values.dtype.kind not in "iuf" else np.asarray(values)
    array = np.asarray(values)
    if array.dtype.kind == "S" and not isinstance(values, np.ndarray):  # keep trailing zero bytes
        array = _objects(list(values))
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {array.ndim}-D")
    if array.dtype.kind in "iuf":
        return "int64", array
    if array.dtype.kind in "UT":
        return "str", array
    if array.dtype.kind == "S":
        return "bytes", array
    if array.dtype.kind == "O":
        return _object_kind(name, array, expected), array
    raise ValueError(f"{name} holds {array.dtype} values; keys are integers, text, bytes or UUIDs")


def _objects(values: list[Any]) -> npt.NDArray[Any]:
    """An object array of ``values`` (numpy would make bytes fixed-width, dropping trailing zeros)."""
    array = np.empty(len(values), dtype=object)
    array[:] = values
    return array


def _pandas_to_arrow(values: Any) -> Any:
    """A pandas column as pyarrow sees it (zero-copy where pyarrow backs it); as given if it cannot."""
    import pyarrow

    try:
        return pyarrow.array(values, from_pandas=True)
    except (pyarrow.ArrowInvalid, pyarrow.ArrowTypeError, pyarrow.ArrowNotImplementedError):
        return values  # UUID objects, mixed kinds: read as objects


def _arrow_kind(name: str, values: Any, expected: str | None) -> str:
    import pyarrow

    kind = values.type
    if pyarrow.types.is_dictionary(kind):
        kind = kind.value_type
    if getattr(kind, "extension_name", None) == "arrow.uuid":
        return "uuid"
    if pyarrow.types.is_null(kind):
        return expected or "int64"
    if pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind):  # floats: see _integers
        return "int64"
    if pyarrow.types.is_string(kind) or pyarrow.types.is_large_string(kind) \
            or pyarrow.types.is_string_view(kind):
        return "str"
    if pyarrow.types.is_binary(kind) or pyarrow.types.is_large_binary(kind) \
            or pyarrow.types.is_fixed_size_binary(kind) or pyarrow.types.is_binary_view(kind):
        return "bytes"
    raise ValueError(f"{name} holds pyarrow {values.type} values; keys are integers, text, "
                     "bytes or UUIDs")


_OBJECT_KINDS = ((str, "str"), (bytes, "bytes"), (uuid.UUID, "uuid"), (int, "int64"))


def _object_kind(name: str, array: npt.NDArray[Any], expected: str | None) -> str:
    """The kind of an object array: that of its first key that is not null."""
    for value in array:  # stops at the first key that is not null
        if _is_null(value):
            continue
        for python_type, kind in _OBJECT_KINDS:
            if isinstance(value, python_type) and not isinstance(value, bool):
                return kind
        raise ValueError(f"{name} holds {type(value).__name__} values; keys are integers, "
                         "text, bytes or UUIDs")
    return expected or "str"


def _is_null(value: Any) -> bool:
    return value is None or type(value).__name__ in ("NAType", "NaTType") \
        or (isinstance(value, float) and value != value)


def _integers(name: str, column: Any) -> tuple[Int64Array, npt.NDArray[np.bool_] | None]:
    """Integer keys and where they are null (None for no nulls); floats only as integers with NaN."""
    if type(column).__module__.startswith("pyarrow"):
        nulls = np.asarray(column.is_null()) if column.null_count else None
        column = np.asarray(column.fill_null(0) if nulls is not None else column)
    elif column.dtype.kind == "O":
        nulls = np.fromiter(map(_is_null, column), dtype=bool, count=len(column))
        column = np.where(nulls, 0, column)
        try:
            column = column.astype(np.int64)
        except (TypeError, ValueError, OverflowError):
            raise ValueError(f"{name} mixes integer keys with other values") from None
    else:
        nulls = None
    if column.dtype.kind == "f":  # a pandas column of integers with missing values
        nulls = np.isnan(column) if nulls is None else nulls | np.isnan(column)
        whole = nulls | ((column == np.round(column)) & (np.abs(column) < 2.0**63))
        if not whole.all():
            row = int(np.flatnonzero(~whole)[0])
            raise ValueError(f"{name} row {row} holds {column[row]}, not an integer key")
        column = np.where(nulls, 0, column).astype(np.int64)
    codes = integer_array(name, column, position="row")
    return codes, (nulls if nulls is not None and nulls.any() else None)


def _encoded(name: str, kind: str, column: Any) -> tuple[UInt8Array, Int64Array,
                                                          npt.NDArray[np.bool_] | None]:
    """Text, bytes or UUID keys as bytes end to end with offsets, and where they are null."""
    if type(column).__module__.startswith("pyarrow"):
        return _arrow_encoded(kind, column)
    pyarrow = _arrow()
    if pyarrow is not None and kind != "uuid":
        target = pyarrow.large_string() if kind == "str" else pyarrow.large_binary()
        try:
            return _arrow_encoded(kind, pyarrow.array(column, target, from_pandas=True))
        except (pyarrow.ArrowInvalid, pyarrow.ArrowTypeError):
            pass  # a value of another kind: found and named below
    items = column.tolist()
    nulls: npt.NDArray[np.bool_] | None = None
    try:
        pieces = list(map(_ENCODE[kind], items))
    except (TypeError, AttributeError, UnicodeEncodeError):
        flags = list(map(_is_null, items))
        nulls = np.array(flags, dtype=bool)
        pieces = []
        for row, (value, null) in enumerate(zip(items, flags)):  # only where nulls or bad values are
            try:
                pieces.append(b"" if null else _ENCODE[kind](value))
            except (TypeError, AttributeError, UnicodeEncodeError):
                raise ValueError(f"{name} row {row} holds {value!r}, not a {kind} key") from None
    offsets = np.zeros(len(pieces) + 1, dtype=np.int64)
    np.cumsum(np.fromiter(map(len, pieces), dtype=np.int64, count=len(pieces)), out=offsets[1:])
    data = np.frombuffer(b"".join(pieces), dtype=np.uint8)
    return data, offsets, (nulls if nulls is not None and nulls.any() else None)


def _uuid_bytes(value: Any) -> bytes:
    if not isinstance(value, uuid.UUID):
        raise TypeError(value)
    return value.bytes


def _str_bytes(value: Any) -> bytes:
    if not isinstance(value, str):
        raise TypeError(value)
    return value.encode("utf-8")


def _bytes_bytes(value: Any) -> bytes:
    if not isinstance(value, bytes):
        raise TypeError(value)
    return value


_ENCODE = {"str": _str_bytes, "bytes": _bytes_bytes, "uuid": _uuid_bytes}


def _arrow_encoded(kind: str, column: Any) -> tuple[UInt8Array, Int64Array,
                                                     npt.NDArray[np.bool_] | None]:
    import pyarrow

    if pyarrow.types.is_dictionary(column.type):
        column = column.dictionary_decode() if isinstance(column, pyarrow.Array) \
            else column.cast(column.type.value_type)
    if getattr(column.type, "extension_name", None) == "arrow.uuid":
        column = column.storage if isinstance(column, pyarrow.Array) \
            else pyarrow.chunked_array([chunk.storage for chunk in column.chunks],
                                       column.type.storage_type)
    nulls = np.asarray(column.is_null()) if column.null_count else None
    target = pyarrow.large_string() if kind == "str" else pyarrow.large_binary()
    column = column.cast(target)
    if isinstance(column, pyarrow.ChunkedArray):
        column = column.combine_chunks() if column.num_chunks else pyarrow.array([], target)
    count = len(column)
    _, offset_buffer, data_buffer = column.buffers()
    if offset_buffer is None:
        offsets = np.zeros(count + 1, dtype=np.int64)
    else:
        offsets = np.frombuffer(offset_buffer, dtype=np.int64)[column.offset:column.offset + count + 1]
    data = np.frombuffer(data_buffer, dtype=np.uint8) if data_buffer is not None \
        else np.empty(0, np.uint8)
    data = data[int(offsets[0]):int(offsets[-1])] if count else data[:0]
    offsets = offsets - offsets[0] if count else offsets
    if kind == "uuid" and (np.diff(offsets)[nulls is None or ~nulls] != UUID_BYTES).any():
        raise ValueError("UUID keys have 16 bytes each")
    return data, offsets, nulls

