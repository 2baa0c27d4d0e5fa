"""Comparing the module's outcomes with the model's, shared by the suites that do."""

import numpy as np

from model import UNSORTED_MESSAGE, SamplerError

RESULT_NAMES = (
    "sampled_rows",
    "sampled_cols",
    "sampled_nodes",
    "sampled_batches",
    "num_sampled_nodes",
    "num_sampled_edges",
)


def outcome(call):
    try:
        return call(), None
    except Exception as error:  # noqa: BLE001 - every failure is compared below
        return None, error


def builtin_type(error):
    """The standard exception class behind the model's own error classes."""
    return next(cls for cls in type(error).__mro__ if cls.__module__ == "builtins")


def assert_same_failure(actual, expected, where):
    assert actual is not None, f"{where}: the model raised {expected!r}, the module returned normally"
    assert builtin_type(actual) is builtin_type(expected), f"{where}: module raised {actual!r}, model {expected!r}"
    if isinstance(expected, (SamplerError, KeyError)) or str(actual) == UNSORTED_MESSAGE:
        assert str(actual) == str(expected), where


def assert_same_results(actual, expected, where):
    assert type(actual) is tuple and len(actual) == 6, where
    for name, got, want in zip(RESULT_NAMES, actual, expected):
        assert type(got) is dict, f"{where}: {name}"
        assert list(got) == list(want), f"{where}: keys of {name}"
        for key, values in want.items():
            array = got[key]
            assert isinstance(array, np.ndarray) and array.dtype == np.int64 and array.ndim == 1, f"{where}: {name}[{key!r}]"
            assert array.tolist() == values, f"{where}: {name}[{key!r}]"
