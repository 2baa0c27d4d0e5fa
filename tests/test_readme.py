"""The README's examples give the output it shows."""

import doctest
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"


def test_readme_examples_give_the_output_shown():
    result = doctest.testfile(str(README), module_relative=False, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
