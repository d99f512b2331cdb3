"""Compare two outputs of tests/bitcheck.py bit for bit.

    python .ci/bitdiff.py EXPECTED ACTUAL

Exit status 0 when the files are identical. Otherwise it prints, for every call whose
result differs, how many values differ and by how many units in the last place (ulp) at most,
with the first differing pair, then a summary line, and exits with 1. Lines are matched by
their "case function" label, so a missing or extra call is reported as such.
"""

from __future__ import annotations

import math
import struct
import sys
from pathlib import Path


def ordinal(x: float) -> int:
    """Position of x on the line of doubles, so that adjacent doubles differ by 1."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return bits if bits >= 0 else -(bits & 0x7FFFFFFFFFFFFFFF)


def values(text: str) -> list[str]:
    return text.replace("|", " ").split()


def ulps(a: str, b: str) -> float:
    """Distance of two printed results in ulp; inf when not both are finite floats."""
    if "p" not in a or "p" not in b:  # not both float.hex() output (an int, nan, inf)
        return math.inf
    x, y = float.fromhex(a), float.fromhex(b)
    if not (math.isfinite(x) and math.isfinite(y)):
        return math.inf
    return float(abs(ordinal(x) - ordinal(y)))


def parse(path: Path) -> dict[str, str]:
    out = {}
    for line in path.read_text().splitlines():
        label, _, rest = line.partition(": ")
        out[label] = rest
    return out


def compare(expected: dict[str, str], actual: dict[str, str]) -> list[str]:
    report = []
    for label in expected.keys() - actual.keys():
        report.append(f"{label}: missing")
    for label in actual.keys() - expected.keys():
        report.append(f"{label}: not expected")
    for label, want in expected.items():
        got = actual.get(label)
        if got is None or got == want:
            continue
        a, b = values(want), values(got)
        if len(a) != len(b):
            report.append(f"{label}: {len(b)} values instead of {len(a)}")
            continue
        pairs = [(x, y) for x, y in zip(a, b) if x != y]
        worst = max(ulps(x, y) for x, y in pairs)
        first = pairs[0]
        report.append(f"{label}: {len(pairs)} of {len(a)} values differ, at most {worst:.0f} ulp"
                      f" (first: expected {first[0]}, got {first[1]})")
    return report


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    expected, actual = parse(Path(sys.argv[1])), parse(Path(sys.argv[2]))
    report = compare(expected, actual)
    for line in report:
        print(line)
    if report:
        print(f"{len(report)} of {len(expected)} calls differ between {sys.argv[1]} and {sys.argv[2]}")
        return 1
    print(f"all {len(expected)} calls identical bit for bit")
    return 0


if __name__ == "__main__":
    sys.exit(main())
