"""The de-duplication index and the per-call books, compiled on their own:
every key colliding, and allocations that fail midway."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["tests/cpp/node_index_checks.cpp", "src/sampling/node_hash.cpp",
           "src/sampling/node_book.cpp", "src/sampling/taken_set.cpp"]
CHECKS = ["colliding_hash_matches_a_map", "failed_allocations_leave_the_book_sound",
          "failed_take_leaves_nothing_marked"]


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    assert compiler, "a C++ compiler is needed to build the index checks"
    binary = tmp_path_factory.mktemp("index") / "node_index_checks"
    # The checks replace operator new themselves: no sanitizer runtime preloaded.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, "-std=c++17", "-O1", "-Wall", "-Wextra", "-Werror",
                    f"-I{ROOT / 'src'}", *(str(ROOT / s) for s in SOURCES), "-o", str(binary)],
                   check=True, env=environment)
    lines = subprocess.run([binary], check=True, capture_output=True, text=True,
                           env=environment).stdout.split("\n")
    return dict(line.split() for line in lines if line)


@pytest.mark.parametrize("check", CHECKS)
def test_index_check(outcomes, check):
    assert outcomes.get(check) == "pass"
