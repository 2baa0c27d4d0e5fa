"""The sampling and graph-store code below the binding builds without Python:
no file of it may reach for pybind11 or Python.h, directly or through a header."""

from pathlib import Path

import pytest

from conftest import compile_cxx

ROOT = Path(__file__).resolve().parent.parent
# The files that turn Python objects into the call's plain values and back.
AT_THE_EDGE = {"edge_type_requests.cpp", "request_validation.cpp", "result_assembly.cpp",
               "sample.cpp", "signal_poll.cpp"}
PLAIN = sorted(["src/graph/graph_store.cpp", "src/graph/edge_type.cpp"] + [
    f"src/sampling/{path.name}" for path in (ROOT / "src/sampling").glob("*.cpp")
    if path.name not in AT_THE_EDGE])


@pytest.mark.parametrize("source", PLAIN)
def test_builds_without_python_headers(source, tmp_path):
    compile_cxx([source], tmp_path / "unused", "-fsyntax-only")
