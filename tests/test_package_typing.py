"""The package is typed: py.typed is installed, mypy --strict passes on its source, and
every public name is in __all__."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import korvanta

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["cli", "covariance", "csvio", "dates", "estimate", "forecasting", "names", "roots",
           "optimize", "plot", "problem", "results", "scores", "start", "summary"]


def test_py_typed_is_installed():
    assert (Path(korvanta.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_all_lists_existing_names(name):
    module = importlib.import_module(f"korvanta.{name}")
    assert module.__all__, name
    for public in module.__all__:
        assert hasattr(module, public), f"korvanta.{name}.{public}"


def test_top_level_exports():
    for public in korvanta.__all__:
        assert hasattr(korvanta, public), public


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_passes(tmp_path):
    # The configuration ([tool.mypy] in pyproject.toml) sets strict mode and the files.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), "--strict", str(ROOT / "src" / "korvanta")],
        cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout
