"""The installed type stub: it matches the module, and a type checker finds and uses it."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvane

pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    bool(os.environ.get("CORVANE_SANITIZED")),
    reason="typing checks import the module in subprocesses; the sanitizer run covers memory only")]

STUB = Path(corvane.__file__).parent / "corvane-stubs" / "__init__.pyi"


def run(*command, cwd=None):
    return subprocess.run([sys.executable, *command], capture_output=True, text=True, cwd=cwd)


def test_stubtest_finds_no_difference_between_stub_and_module(tmp_path):
    # pybind11 classes have their own metaclass, which a stub cannot name.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("corvane.NeighborSampler\n")
    checked = run("-m", "mypy.stubtest", "corvane", "--allowlist", str(allowlist), cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def parameters(function):
    """(name, default or None) of every parameter, in order; `self` and annotations aside."""
    arguments = function.args
    defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + arguments.defaults
    return [(argument.arg, None if default is None else ast.literal_eval(default))
            for argument, default in zip(arguments.args, defaults)][1:]


@pytest.mark.parametrize("method", ["__init__", "sample"])
def test_stub_signatures_match_the_generated_ones(method):
    # stubtest cannot read signatures of compiled methods; pybind11 writes them as the
    # first line of the docstring, which parses as a Python function header.
    header = getattr(corvane.NeighborSampler, method).__doc__.strip().splitlines()[0]
    runtime = ast.parse(f"def {header}: ...").body[0]
    stub_class = next(node for node in ast.parse(STUB.read_text()).body
                      if isinstance(node, ast.ClassDef) and node.name == "NeighborSampler")
    stub = next(node for node in stub_class.body if isinstance(node, ast.FunctionDef) and node.name == method)
    assert parameters(stub) == parameters(runtime)
    assert not (stub.args.kwonlyargs or stub.args.vararg or stub.args.kwarg or stub.args.posonlyargs)
    if method == "sample":  # a tuple of six dictionaries
        assert len(runtime.returns.slice.elts) == len(stub.returns.slice.elts) == 6


GOOD = '''
import numpy as np
import corvane

colptr = {"b__to__a": np.array([0, 2, 4], dtype=np.int64)}
row = {"b__to__a": np.arange(4, dtype=np.int64)}
sampler = corvane.NeighborSampler(["a", "b"], [("b", "to", "a")], colptr, row, {}, seed=7)
rows, cols, nodes, batches, num_nodes, num_edges = sampler.sample(
    {"b__to__a": [2, 1]}, {}, "a", np.array([0, 1]), np.array([], dtype=np.int64))
reveal_type(nodes)
'''

BAD = '''
import corvane

sampler = corvane.NeighborSampler(["a"], [], {}, {}, {}, seed=1.5)
sampler.sample({}, {}, "a", [0, 1], seed_time=None)
'''


def test_mypy_finds_the_stub_and_checks_calls_against_it(tmp_path):
    # Without the stub mypy knows nothing of corvane ("missing library stubs"), and
    # with a stub that is too loose it lets the bad calls through.
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    checked = run("-m", "mypy", "--strict", "--no-incremental", "--no-error-summary", "--hide-error-context",
                  "good.py", "bad.py", cwd=tmp_path)
    report = checked.stdout + checked.stderr
    messages = [line.split(": ", 2) for line in checked.stdout.splitlines()]
    assert [(place, kind) for place, kind, _ in messages] == [
        ("bad.py:4", "error"), ("bad.py:5", "error"), ("bad.py:5", "error"), ("good.py:10", "note")], report
    assert 'Argument "seed"' in messages[0][2] and '"float"' in messages[0][2]
    assert {'Argument 4 to "sample"', 'Argument "seed_time" to "sample"'} == {
        text.split(" of ")[0] for _, _, text in messages[1:3]}
    assert messages[3][2].startswith('Revealed type is "dict[str, numpy.ndarray[') and "64Bit" in messages[3][2]
