"""Every ```python block of the README is a doctest, so the guide cannot
drift from the code."""

import doctest
import pathlib
import re

import pytest

import quelm
import quelm.ext

README = pathlib.Path(__file__).parents[1] / "README.md"
FENCE = re.compile(r"^```(\w*)\s*$")


def python_only(text):
    """The README with every line outside ```python blocks blanked, so that
    doctest sees only the examples and reports README line numbers."""
    kept, inside = [], False
    for line in text.splitlines():
        fence = FENCE.match(line)
        if fence:
            inside = not inside and fence.group(1) == "python"
            kept.append("")
        else:
            kept.append(line if inside else "")
    return "\n".join(kept) + "\n"


def blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)


needs_readme = pytest.mark.skipif(not README.exists(), reason="not run from a source tree")


@pytest.mark.parametrize("module", [quelm, quelm.ext], ids=["quelm", "quelm.ext"])
def test_docstring_examples(module):
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


@needs_readme
def test_every_python_block_is_a_doctest():
    found = blocks(README.read_text(encoding="utf-8"))
    assert found
    for block in found:
        assert block.lstrip().startswith(">>>"), block[:60]


@needs_readme
def test_readme_examples():
    text = python_only(README.read_text(encoding="utf-8"))
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {}, "README.md", str(README), 0)
    runner = doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS)
    runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 20
    assert result.failed == 0
