"""The comparison CI uses between two bitcheck.py outputs (.ci/bitdiff.py): ulp distances and
what it reports."""

import importlib.util
import math
import sys
from pathlib import Path

import numpy as np
import pytest

_path = Path(__file__).resolve().parent.parent / ".ci" / "bitdiff.py"
_spec = importlib.util.spec_from_file_location("bitdiff", _path)
bitdiff = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bitdiff)

TINY = 5e-324  # the smallest subnormal


@pytest.mark.parametrize("a, b, expected", [
    (1.0, np.nextafter(1.0, 2.0), 1),
    (1.0, 1.0 + 4 * 2.0**-52, 4),
    (-1.0, np.nextafter(-1.0, -2.0), 1),
    (0.0, TINY, 1),
    (-TINY, TINY, 2),                      # across zero: -tiny, 0, +tiny
    (-0.0, 0.0, 0),
    (1.0, 2.0, 2**52),                     # one binade
    (sys.float_info.max, math.inf, math.inf),
    (math.nan, 1.0, math.inf),
], ids=["adjacent", "four", "negative", "first-subnormal", "across-zero", "signed-zeros",
        "binade", "overflow", "nan"])
def test_ulp_distance(a, b, expected):
    assert bitdiff.ulps(float(a).hex(), float(b).hex()) == expected
    assert bitdiff.ulps(float(b).hex(), float(a).hex()) == expected


def test_integers_are_no_floats():
    assert bitdiff.ulps("27", "28") == math.inf


def _write(tmp_path, name, lines):
    path = tmp_path / name
    path.write_text("".join(line + "\n" for line in lines))
    return path


def test_identical_files_pass(tmp_path, capsys, monkeypatch):
    lines = ["m loglike: 0x1.0000000000000p+0", "m spec_dims: 2 | 1 | 1 | 0 | 3"]
    a, b = _write(tmp_path, "a", lines), _write(tmp_path, "b", lines)
    monkeypatch.setattr(sys, "argv", ["bitdiff.py", str(a), str(b)])
    assert bitdiff.main() == 0
    assert "all 2 calls identical" in capsys.readouterr().out


def test_differences_are_named_and_measured(tmp_path, capsys, monkeypatch):
    one, next_up = (1.0).hex(), float(np.nextafter(1.0, 2.0)).hex()
    expected = _write(tmp_path, "expected", [
        f"m loglike: {one}", f"m paths: {one} {one} | {one}", "m gone: 0x0.0p+0", "m short: 0x0.0p+0 0x0.0p+0"])
    actual = _write(tmp_path, "actual", [
        f"m loglike: {one}", f"m paths: {one} {next_up} | {next_up}", "m short: 0x0.0p+0", "m new: 0x0.0p+0"])
    monkeypatch.setattr(sys, "argv", ["bitdiff.py", str(expected), str(actual)])
    assert bitdiff.main() == 1
    out = capsys.readouterr().out.splitlines()
    assert sorted(out[:-1]) == sorted([
        "m gone: missing",
        "m new: not expected",
        f"m paths: 2 of 3 values differ, at most 1 ulp (first: expected {one}, got {next_up})",
        "m short: 1 values instead of 2",
    ])
    assert out[-1].startswith("4 of 4 calls differ")
