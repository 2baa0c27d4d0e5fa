"""The de-duplication index and the per-call books, compiled on their own:
every key colliding, and allocations that fail midway."""

import os
import subprocess

import pytest

from conftest import compile_cxx

SOURCES = ["tests/cpp/node_index_checks.cpp", "src/sampling/node_hash.cpp",
           "src/sampling/node_book.cpp", "src/sampling/taken_set.cpp"]
CHECKS = ["colliding_hash_matches_a_map", "failed_allocations_leave_the_book_sound",
          "failed_take_leaves_nothing_marked", "taken_forms_answer_as_a_set"]


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    # The checks replace operator new themselves: no sanitizer runtime preloaded.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    binary = compile_cxx(SOURCES, tmp_path_factory.mktemp("index") / "node_index_checks",
                         env=environment)
    lines = subprocess.run([binary], check=True, capture_output=True, text=True,
                           env=environment).stdout.split("\n")
    return dict(line.split() for line in lines if line)


@pytest.mark.parametrize("check", CHECKS)
def test_index_check(outcomes, check):
    assert outcomes.get(check) == "pass"
