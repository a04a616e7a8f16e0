"""Calls leave reference counts and allocated memory as they found them.

Every public callable of every built native module is looped with a valid
argument list and with up to four invalid ones (each raising a different
TypeError, ValueError or OverflowError), in a child process.  Methods run on a
fresh instance per call, dropped afterwards, so state a method legitimately
keeps (push, store...) is released again.  After a warm-up, several rounds
are measured; only growth in every round counts as a leak, since interpreter
caches grow once and then stay.  Growth of allocated blocks is confirmed with
longer rounds and a full collection before each reading, which empties the
interpreter's free lists (a free list filling up looks like a leak in short
rounds).  Under PYTHONMALLOC=malloc the interpreter does not count blocks and
only reference counts are checked.
"""

from __future__ import annotations

import textwrap

import _hostile
import _surface
import pytest

BUILT = _surface.discover().built


def leak_report(leaks: list[dict]) -> str:
    return "\n".join(
        f"{x['callable']}{x['call']} [{x['case']}]: growth per round: allocated blocks "
        f"{x['blocks']} ({x['block_loops']} calls a round), argument references "
        f"{x['refs']} ({x['ref_loops']} calls a round)"
        for x in leaks
    )


@pytest.mark.slow
@pytest.mark.parametrize("module", BUILT)
def test_reference_counts_are_neutral(module: str, tmp_path) -> None:
    child = _hostile.run_child(["leaks", module], str(tmp_path), 300)
    _hostile.expect_ok(child, "reference counts")
    if child.result["leaks"]:
        pytest.fail(f"{module} leaks:\n{leak_report(child.result['leaks'])}", pytrace=False)


LEAKY = textwrap.dedent('''
    """Functions that leak, for checking that the leak check sees leaks."""
    _kept = []

    def keeps_a_reference(value):
        _kept.append(value)

    def keeps_a_new_object(value):
        _kept.append([value])

    def neutral(value):
        return [value]

    def raises_and_keeps(value):
        _kept.append(value)
        raise TypeError("refused")
''')


def test_the_leak_check_sees_leaks(tmp_path) -> None:
    (tmp_path / "leaky_module.py").write_text(LEAKY)
    child = _hostile.run_child(
        ["leaks", "leaky_module"], str(tmp_path), 120, env_extra={"PYTHONPATH": str(tmp_path)}
    )
    _hostile.expect_ok(child, "reference counts")
    found = {(x["callable"], x["case"].split()[0]) for x in child.result["leaks"]}
    assert ("leaky_module.keeps_a_reference", "valid") in found
    assert ("leaky_module.keeps_a_new_object", "valid") in found
    assert ("leaky_module.raises_and_keeps", "invalid") in found
    assert not any(name == "leaky_module.neutral" for name, _ in found)
