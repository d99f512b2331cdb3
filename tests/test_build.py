"""The build's own rules: one version, formatted sources, a kernel without Python."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import _korvanta_rs as kr

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted((ROOT / "src").rglob("*.[ch]pp"))
KERNEL = ("common", "poly", "ssm", "filter", "objective", "pool")


def test_version_is_the_one_in_pyproject():
    text = (ROOT / "pyproject.toml").read_text()
    assert kr.__version__ == re.search(r'(?m)^version = "([^"]+)"', text).group(1)


@pytest.mark.parametrize("folder", KERNEL)
def test_kernel_has_no_python_header(folder):
    offenders = [p.name for p in (ROOT / "src" / folder).glob("*.[ch]pp")
                 if re.search(r'#include\s*[<"](Python|numpy)', p.read_text())]
    assert not offenders


def test_sources_are_formatted():
    tool = shutil.which("clang-format")
    if tool is None:
        if os.environ.get("KORVANTA_REQUIRE_TOOLS") == "1":
            pytest.fail("clang-format is not installed")
        pytest.skip("clang-format is not installed")
    proc = subprocess.run([tool, "--dry-run", "--Werror", *map(str, SOURCES)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr[-3000:]
