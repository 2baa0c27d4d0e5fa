"""Times as the sampler compares them: int64 counts of one unit since the Unix epoch.

A graph records its time unit (``"s"``, ``"ms"``, ``"us"`` or ``"ns"``), or
None where its times are plain integers with a meaning of the user's own.
Everything that takes a time (node and edge times, seed times, bounds and
offsets) goes through this module, so a datetime means the same count
everywhere: numpy ``datetime64`` of any unit, pandas columns and scalars with
or without a time zone (an aware time counts from the epoch in UTC) and
pyarrow timestamp arrays. A time finer than the unit is floored (toward the
past); an offset must be a whole number of units.
"""

from __future__ import annotations

import datetime
from typing import Any

import numpy as np

from corvane_data.arguments import INT64_MAX, Int64Array, integer, integer_array

UNITS = ("s", "ms", "us", "ns")
# Attoseconds per numpy time unit: every unit is a whole multiple of the finer ones.
_ATTOSECONDS = {"W": 604_800 * 10**18, "D": 86_400 * 10**18, "h": 3_600 * 10**18,
                "m": 60 * 10**18, "s": 10**18, "ms": 10**15, "us": 10**12, "ns": 10**9,
                "ps": 10**6, "fs": 10**3, "as": 1}
_CONVERT = "pandas.to_datetime(...) for dates and times as text, or integers"


def time_unit(unit: object) -> str | None:
    """``unit`` checked: one of :data:`UNITS`, or None."""
    if unit is None or (isinstance(unit, str) and unit in UNITS):
        return unit
    raise ValueError(f"time_unit must be one of {', '.join(UNITS)} or None, not {unit!r}")


def time_array(name: str, values: Any, unit: str | None) -> Int64Array:
    """Times as int64 counts of ``unit`` since the Unix epoch (integers pass as they are).

    Parameters
    ----------
    name : str
        What the values are, for messages (say ``"table 'commit': column 'time'"``).
    values : array-like
        Integers; numpy ``datetime64`` of any unit; a pandas Series or
        DatetimeIndex, time zone or not; a pyarrow timestamp Array or
        ChunkedArray, time zone or not.
    unit : {"s", "ms", "us", "ns"} or None
        The graph's time unit; None takes integers only.

    Returns
    -------
    int64 ndarray
        Datetimes finer than ``unit`` are floored.

    Raises
    ------
    ValueError
        For a missing time (NaT, null), naming ``name`` and its first row;
        datetimes where ``unit`` is None; values that are neither integers
        nor datetimes (text, floats), saying how to convert them; a time that
        does not fit in int64 counts of ``unit``.

    Examples
    --------
    >>> import numpy as np
    >>> time_array("t", np.array(["1970-01-01T00:00:01.9", "1969-12-31T23:59:59.5"],
    ...                          dtype="datetime64[ms]"), "s").tolist()
    [1, -1]
    >>> time_array("t", [5, 7], None).tolist()
    [5, 7]
    """
    time_unit(unit)
    array = _numpy(name, values)
    if array.dtype.kind == "M":
        if unit is None:
            raise ValueError(f"{name} holds datetimes ({array.dtype}) but the graph's times are "
                             "plain integers: pass time_unit ('s', 'ms', 'us' or 'ns')")
        nat = np.isnat(array)
        if nat.any():
            raise ValueError(f"{name} row {int(np.flatnonzero(nat)[0])} is missing (NaT)")
        return _in_unit(name, array, unit)
    if array.dtype.kind in "iu" or not array.size:
        return integer_array(name, array, position="row")
    found = f"{type(array[0]).__name__} objects" if array.dtype.kind == "O" else f"{array.dtype} values"
    raise ValueError(_not_times(name, found, array.dtype.kind == "m"))


def time_value(name: str, value: Any, unit: str | None) -> int:
    """One time (a seed's time, a bound) as a count of ``unit`` since the epoch.

    ``value`` is an integer (numpy's too), a numpy ``datetime64``, a
    ``datetime.datetime`` or ``datetime.date``, or a pandas Timestamp; aware
    times count in UTC, finer times are floored.

    Examples
    --------
    >>> import datetime
    >>> time_value("seed time", datetime.datetime(1970, 1, 2, tzinfo=datetime.timezone.utc), "s")
    86400
    >>> time_value("seed time", 12, None)
    12
    """
    time_unit(unit)
    if _is_integer(value):
        return integer(name, value)
    if isinstance(value, datetime.datetime) and hasattr(value, "to_datetime64"):
        value = value.to_datetime64()  # pandas: UTC where aware, nanoseconds kept
    elif isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(datetime.UTC).replace(tzinfo=None)
        value = np.datetime64(value, "us")
    elif isinstance(value, datetime.date):
        value = np.datetime64(value, "D")
    if not isinstance(value, np.datetime64):
        raise ValueError(_not_times(name, f"{value!r} ({type(value).__name__})",
                                    isinstance(value, datetime.timedelta | np.timedelta64)))
    if np.isnat(value):
        raise ValueError(f"{name} is missing (NaT)")
    return int(time_array(name, np.array([value]), unit)[0])


def time_delta(name: str, value: Any, unit: str | None) -> int:
    """An offset (a window, a lag) as a whole number of ``unit``.

    ``value`` is an integer (numpy's too), a numpy ``timedelta64``, a
    ``datetime.timedelta`` or a pandas Timedelta.

    Raises
    ------
    ValueError
        For an offset that is not a whole number of ``unit`` (naming both),
        a missing one (NaT), months or years (no fixed length), a timedelta
        where ``unit`` is None, or any other kind of value.

    Examples
    --------
    >>> import datetime
    >>> time_delta("window", datetime.timedelta(minutes=2), "s")
    120
    >>> time_delta("window", datetime.timedelta(milliseconds=1), "s")
    Traceback (most recent call last):
    ...
    ValueError: window is 1000 us, not a whole number of s
    """
    time_unit(unit)
    if _is_integer(value):
        return integer(name, value)
    if isinstance(value, datetime.timedelta) and hasattr(value, "to_timedelta64"):
        value = value.to_timedelta64()  # pandas
    elif isinstance(value, datetime.timedelta):
        value = np.timedelta64(value, "us")
    if not isinstance(value, np.timedelta64):
        raise ValueError(f"{name} must be an integer or a timedelta, not {value!r} "
                         f"({type(value).__name__})")
    if unit is None:
        raise ValueError(f"{name} is a timedelta ({value!r}) but the graph's times are plain "
                         "integers: pass time_unit ('s', 'ms', 'us' or 'ns')")
    if np.isnat(value):
        raise ValueError(f"{name} is missing (NaT)")
    base, count = np.datetime_data(value.dtype)
    if base not in _ATTOSECONDS:
        raise ValueError(f"{name} is in {base!r}, which has no fixed length: give days or finer")
    attoseconds = int(value.astype(np.int64)) * count * _ATTOSECONDS[base]
    units, rest = divmod(attoseconds, _ATTOSECONDS[unit])
    if rest:
        raise ValueError(f"{name} is {value.astype(np.int64) * count} {base}, not a whole number "
                         f"of {unit}")
    return integer(name, units)


def _is_integer(value: object) -> bool:
    # numpy counts timedelta64 among its signed integers
    return isinstance(value, int | np.integer) and not isinstance(value, bool | np.timedelta64)


def _not_times(name: str, found: str, offsets: bool) -> str:
    if offsets:
        return f"{name} holds offsets ({found}), not times: add them to a start time first"
    return f"{name} must hold integers or datetimes, not {found}: convert with {_CONVERT}"


def _numpy(name: str, values: Any) -> np.ndarray[Any, Any]:
    """``values`` as a 1-D numpy array: integers or ``datetime64`` where the input held times."""
    if type(values).__module__.startswith("pyarrow"):
        return _from_arrow(name, values)
    dtype = getattr(values, "dtype", None)
    if hasattr(dtype, "pyarrow_dtype"):  # a pandas column backed by pyarrow
        import pyarrow

        return _from_arrow(name, pyarrow.array(values))
    if getattr(dtype, "tz", None) is not None and hasattr(values, "to_numpy"):
        values = values.to_numpy(dtype=f"datetime64[{dtype.unit}]")  # type: ignore[union-attr]
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not {array.ndim}-D")
    return array


def _from_arrow(name: str, values: Any) -> np.ndarray[Any, Any]:
    import pyarrow

    if values.null_count:
        first = int(np.flatnonzero(np.asarray(values.is_null()))[0])
        raise ValueError(f"{name} row {first} is missing (null)")
    if pyarrow.types.is_timestamp(values.type):  # counts since the epoch in UTC, aware or not
        counts = np.asarray(values.cast(pyarrow.int64()), dtype=np.int64)
        return counts.view(f"datetime64[{values.type.unit}]")
    return np.asarray(values)


def _in_unit(name: str, array: np.ndarray[Any, Any], unit: str) -> Int64Array:
    base, count = np.datetime_data(array.dtype)
    if base in ("Y", "M"):  # calendar units: numpy counts their days exactly
        array, base, count = array.astype("datetime64[D]"), "D", 1
    counts = array.view(np.int64)
    if count != 1:
        counts = _scaled(name, counts, count)
    finer = _ATTOSECONDS[base] < _ATTOSECONDS[unit]
    if finer:
        return np.ascontiguousarray(counts // (_ATTOSECONDS[unit] // _ATTOSECONDS[base]))
    return _scaled(name, counts, _ATTOSECONDS[base] // _ATTOSECONDS[unit])


def _scaled(name: str, counts: Int64Array, factor: int) -> Int64Array:
    if factor == 1:
        return np.ascontiguousarray(counts, dtype=np.int64)
    limit = INT64_MAX // factor
    bad = (counts > limit) | (counts < -limit)
    if bad.any():
        first = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{name} row {first} does not fit in int64 counts of the graph's unit")
    return counts * np.int64(factor)

