"""The type stubs installed beside the extension module describe what it really exports."""

import ast
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _korvanta_rs as kr

STUB = Path(kr.__file__).resolve().parent / "_korvanta_rs.pyi"


def _stub_names(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names


def test_stub_is_installed_and_declares_every_export():
    assert STUB.is_file(), f"no stub file beside {kr.__file__}"
    names = _stub_names(ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB)))
    missing = [n for n in kr.__all__ if n not in names]
    assert not missing, f"names in __all__ without a stub declaration: {missing}"
    assert "__all__" in names


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_finds_no_discrepancies(tmp_path):
    # mypy does not look for a bare top-level stub inside site-packages, and stubtest then
    # reports success without having compared anything.  A copy of the installed stub on
    # MYPYPATH is what makes the comparison with the runtime module actually happen.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / STUB.name)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MYPYPATH"] = str(stubs)
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    # Run from an empty directory: mypy's cache lands there and nothing in the source
    # tree can shadow the installed module.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_korvanta_rs",
         "--mypy-config-file", str(config)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout
