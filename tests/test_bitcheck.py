"""The fixed set of calls gives exactly the recorded bits (see bitcheck.py)."""

from pathlib import Path

import bitcheck

EXPECTED = Path(__file__).parent / "data" / "bitcheck.txt"


def test_results_are_the_recorded_bits():
    expected = EXPECTED.read_text().splitlines()
    actual = list(bitcheck.lines())
    assert [line.split(":")[0] for line in actual] == [line.split(":")[0] for line in expected]
    changed = [a.split(":")[0] for a, e in zip(actual, expected) if a != e]
    assert not changed, f"results differ from {EXPECTED.name} in: {', '.join(changed)}"
