"""The engine against the published MT19937 sequence, compiled on its own."""

import subprocess

import pytest

from conftest import compile_cxx


@pytest.fixture(scope="module")
def engine_outputs(tmp_path_factory):
    binary = compile_cxx(["tests/cpp/random_engine_vectors.cpp"],
                         tmp_path_factory.mktemp("engine") / "random_engine_vectors")
    return subprocess.run([binary], check=True, capture_output=True, text=True).stdout.splitlines()


def test_first_outputs_for_the_default_seed(engine_outputs):
    assert engine_outputs[:5] == ["2991312382", "3062119789", "1228959102", "1840268610", "974319580"]


def test_published_check_value(engine_outputs):
    assert engine_outputs[5] == "4123659995"


def test_negative_seed_is_taken_as_its_unsigned_pattern(engine_outputs):
    assert engine_outputs[6] == "419326371"


def test_reseeding_restarts_the_sequence(engine_outputs):
    assert engine_outputs[7] == "2991312382"


def test_draw_below_is_one_output_reduced_by_remainder(engine_outputs):
    # 2991312382 % 8, 3062119789 % 9, 1228959102 % 10; a bound above 2**32
    # returns the raw output.
    assert engine_outputs[8].split() == ["6", "1", "2", "1840268610"]


def test_draw_below_at_the_edges_of_32_bits(engine_outputs):
    outputs = [2991312382, 3062119789, 1228959102, 1840268610, 974319580]
    bounds = [2991312381, 3062119789, 2**32 - 1, 2**32, 2**32 + 1]
    # The sixth draw is below 1.
    assert engine_outputs[9].split() == [str(o % b) for o, b in zip(outputs, bounds)] + ["0"]
