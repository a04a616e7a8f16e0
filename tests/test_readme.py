"""The README's examples, run as doctests so that they stay true."""

from __future__ import annotations

import doctest
import pathlib
import re
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```pycon\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
PROGRAMS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
EXAMPLES = sorted((README.parent / "examples").glob("*.py"))


def test_readme_has_examples() -> None:
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_readme_shows_each_example_program_as_it_is(path: pathlib.Path) -> None:
    assert path.read_text(encoding="utf-8") in PROGRAMS


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example(index: int, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(README.parent)  # the examples import from examples/
    monkeypatch.setattr("sys.path", list(sys.path))
    # Blocks share names in order, as a reader runs them one after another.
    globs: dict = {}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    parser = doctest.DocTestParser()
    for i, block in enumerate(BLOCKS[: index + 1]):
        text = "\n".join(line.strip() for line in block.splitlines())
        test = parser.get_doctest(text, globs, f"README block {i}", str(README), 0)
        result = runner.run(test, clear_globs=False)
        assert result.failed == 0, f"README block {i} failed"
        globs.update(test.globs)
