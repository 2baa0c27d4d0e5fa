"""Checks of integer arguments: what should be an integer is one, never silently cast.

``numpy.asarray(values, dtype=numpy.int64)`` turns ``[0.5, 1.9]`` into
``[0, 1]`` and a ``NaN`` into an arbitrary integer; the toolkit refuses such
values instead, naming the argument.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]

INT64_MAX = int(np.iinfo(np.int64).max)
INT64_MIN = int(np.iinfo(np.int64).min)


def integer(argument: str, value: object, *, minimum: int | None = None) -> int:
    """``value`` as an int: any integer (numpy's too, anything with ``__index__``), never a bool.

    Anything else, a value below ``minimum`` or past int64 is a ValueError
    naming ``argument``.
    """
    kind = "a non-negative integer" if minimum == 0 else "an integer"
    if isinstance(value, bool | np.bool_):  # a flag given for a number is a mistake
        raise ValueError(f"{argument} must be {kind}, not {value!r}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise ValueError(f"{argument} must be {kind}, not {value!r} "
                         f"({type(value).__name__})") from None
    if minimum is not None and number < minimum:
        bound = kind if minimum == 0 else f"at least {minimum}"
        raise ValueError(f"{argument} must be {bound}, not {number}")
    if not INT64_MIN <= number <= INT64_MAX:
        raise ValueError(f"{argument} is {number}, which does not fit in int64")
    return number


def integer_array(argument: str, values: Any, *, position: str = "position") -> Int64Array:
    """A contiguous one-dimensional int64 copy or view of integer ``values``.

    Empty input of any dtype is an empty array; floats (``NaN`` and ``NaT``
    included), bools, datetimes, objects and unsigned values past int64 are
    refused with a ValueError naming ``argument`` (and the first bad
    ``position``, a word such as "row").
    """
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{argument} must be one-dimensional, not {array.ndim}-D")
    if not array.size:
        return np.empty(0, np.int64)
    if array.dtype.kind not in "iu":
        raise ValueError(f"{argument} must hold integers, not {array.dtype}: {_advice(array)}")
    if array.dtype.kind == "u" and int(array.max()) > INT64_MAX:
        first = int(np.flatnonzero(array > INT64_MAX)[0])
        raise ValueError(f"{argument} {position} {first} holds {array[first]}, "
                         "which does not fit in int64")
    return np.ascontiguousarray(array, dtype=np.int64)


def _advice(array: npt.NDArray[Any]) -> str:
    """What was found instead of integers, and how to turn it into them."""
    kind = array.dtype.kind
    if kind == "f":
        if np.isnan(array).any():
            return ("it has missing values (NaN); drop or fill them, then convert with "
                    ".astype('int64')")
        return "if they are whole numbers, convert with .astype('int64')"
    if kind == "b":
        return "if the flags are meant as numbers, convert with .astype('int64')"
    if kind in "Mm":
        return ("datetimes and durations become integers in a time unit: describe the tables "
                "with corvane_data.Database(time_unit=...), or convert with .astype('int64')")
    first = array.flat[0]
    if kind in "USTO" and isinstance(first, str | bytes):
        return (f"it holds keys such as {first!r}; ids are integers 0..n-1: describe the tables "
                "with corvane_data.Database, which maps keys to ids")
    return f"its first value is {first!r} ({type(first).__name__}); missing values make a column object"
