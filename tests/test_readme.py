"""The README's examples give the output it shows."""

import doctest
from pathlib import Path

from conftest import UNDER_SANITIZER

README = Path(__file__).resolve().parents[1] / "README.md"


def test_readme_examples_give_the_output_shown():
    text = README.read_text(encoding="utf-8")
    if UNDER_SANITIZER:  # importing torch leaves its own objects for the leak check: the plain run has it
        before, rest = text.split("<!-- pyg-example:start -->")
        text = before + rest.split("<!-- pyg-example:end -->")[1]
    examples = doctest.DocTestParser().get_doctest(text, {"__name__": "__main__"}, README.name, str(README), 0)
    result = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE).run(examples)
    assert result.attempted > 0 and result.failed == 0
