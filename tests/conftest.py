"""Small graphs shared by the test files, and the suite's run settings."""

import builtins
import collections
import os
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import corvane
from corvane_data import build_graph

# Set by `make test-sanitize`, which runs this interpreter with the ASan
# runtime preloaded. Programs that tests start inherit the runtime, so a child
# interpreter can import the instrumented module, but not the leak check: a
# compiler, for one, leaks by design. This process's own leak check stays on.
UNDER_SANITIZER = os.environ.get("CORVANE_SANITIZED") == "1"
if UNDER_SANITIZER:
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"

# Property-based tests run a fixed set of examples on every run, and nothing
# in them depends on timing.
settings.register_profile("corvane", derandomize=True, deadline=None, max_examples=500, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("corvane")

# Figures that tests measure, reported at the end of the run: examples run per
# property-based test, and named measurements.
EXAMPLES_RUN = collections.Counter()
FIGURES = {}


def pytest_terminal_summary(terminalreporter):
    if EXAMPLES_RUN:
        counts = ", ".join(f"{name} {count}" for name, count in sorted(EXAMPLES_RUN.items()))
        terminalreporter.write_line(f"hostile-input examples run: {sum(EXAMPLES_RUN.values())} ({counts})")
    for name, value in FIGURES.items():
        terminalreporter.write_line(f"{name}: {value}")


WRITES = "author__writes__paper"
WRITTEN_BY = "paper__written_by__author"
PAPER_AUTHOR_EDGE_TYPES = [("author", "writes", "paper"), ("paper", "written_by", "author")]


def compile_cxx(sources, output, *flags, env=None):
    """Builds `sources` (paths under the checkout) into `output` with the warnings as errors."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    assert compiler, "a C++ compiler is needed for this check"
    root = Path(__file__).resolve().parent.parent
    subprocess.run([compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror", *flags,
                    f"-I{root / 'src'}", *(str(root / s) for s in sources), "-o", str(output)],
                   check=True, env=env)
    return output


def documented_errors():
    """The README's error table, one (bad input, exception class, message regex) per row.

    In a message, `<...>` stands for a value (an integer where it names an id, a
    count or a position) and `…` for any further text.
    """
    integers = {"<id>", "<n>", "<start>", "<end>", "<hop>", "<rows>"}
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    block = readme.split("<!-- error-table:start -->")[1].split("<!-- error-table:end -->")[0]
    rows = []
    for line in block.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 3 or not cells[1].startswith("`"):
            continue  # prose, header or separator
        bad_input, exception, message = cells[0], cells[1].strip("`"), cells[2].strip("`")
        pattern = "".join(
            r"-?\d+" if piece in integers else ".+?" if re.fullmatch(r"<[^<>]*>", piece)
            else ".*" if piece == "…" else re.escape(piece)
            for piece in re.split(r"(<[^<>]*>|…)", message)
        )
        rows.append((bad_input, getattr(builtins, exception), re.compile(pattern, re.DOTALL)))
    return rows


def message(text):
    """A pattern that matches exactly `text`."""
    return "^" + re.escape(text) + "$"


def as_lists(result):
    """The six result dicts with plain lists, whichever implementation made them."""
    return tuple({key: np.asarray(value).tolist() for key, value in part.items()} for part in result)


def i64(*values):
    return np.array(values, dtype=np.int64)


def empty_i64():
    return np.array([], dtype=np.int64)


def paper_author_arrays():
    """Papers 0 and 1; paper 0 by authors 0 and 1, paper 1 by authors 1 and 2."""
    colptr = {WRITES: i64(0, 2, 4), WRITTEN_BY: i64(0, 1, 3, 4)}
    row = {WRITES: i64(0, 1, 1, 2), WRITTEN_BY: i64(0, 0, 1, 1)}
    return colptr, row


def paper_author_sampler(node_time=None, seed=123):
    colptr, row = paper_author_arrays()
    return corvane.NeighborSampler(
        ["paper", "author"], PAPER_AUTHOR_EDGE_TYPES, colptr, row, node_time or {}, seed
    )


def single_edge_type_sampler(colptr, row, node_time=None, seed=123, node_types=("a", "b")):
    """One edge type b -> a ('b__to__a'): expanding an 'a' node admits 'b' neighbours."""
    return corvane.NeighborSampler(
        list(node_types), [("b", "to", "a")], {"b__to__a": colptr}, {"b__to__a": row},
        node_time or {}, seed,
    )


@pytest.fixture
def paper_author():
    return paper_author_sampler()


def rated(num_users=60, num_items=20, num_ratings=600, seed=0):
    """Users rate items at times: rating events between them, both ways."""
    rng = np.random.default_rng(seed)
    table = {"source": rng.integers(0, num_users, num_ratings),
             "destination": rng.integers(0, num_items, num_ratings),
             "time": rng.integers(0, 1000, num_ratings)}
    graph = build_graph({"user": num_users, "item": num_items}, {("user", "rates", "item"): table},
                        edge_time={("user", "rates", "item"): "time"}, add_reverse=True)
    return table, graph


def same_batches(first, second):
    """Two epochs' batches are the same, batch by batch: their indices, nodes and edges."""
    assert [batch.index for batch in first] == [batch.index for batch in second]
    for a, b in zip(first, second):
        for one, other in ((a.node_ids, b.node_ids), (a.edge_index, b.edge_index)):
            assert one.keys() == other.keys()
            assert all(np.array_equal(one[key], other[key]) for key in one)
