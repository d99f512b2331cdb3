"""examples/airline.py: the short script on top of the package prints the estimates,
the forecast table and saves the chart."""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "airline.py"


def test_example_is_short():
    assert len(EXAMPLE.read_text().splitlines()) < 100


def test_example_prints_summary_forecast_and_saves_chart(tmp_path):
    proc = subprocess.run([sys.executable, str(EXAMPLE)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, env={**os.environ, "MPLBACKEND": "Agg"})
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert proc.stderr == ""
    estimates = {m[0]: float(m[1]) for m in re.findall(r"^(ma\.L1|ma\.S\.L12|sigma2)\s+(\S+)",
                                                        out, re.M)}
    assert abs(estimates["ma.L1"] + 0.402) < 1e-3 and abs(estimates["ma.S.L12"] + 0.557) < 1e-3
    assert abs(estimates["sigma2"] - 0.00135) < 1e-5
    assert re.search(r"Log-likelihood:\s+244\.69[67]", out)
    rows = re.findall(r"^(19\d\d-\d\d)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)$", out, re.M)
    assert [r[0] for r in rows] == [f"{1961 + i // 12}-{i % 12 + 1:02d}" for i in range(24)]
    assert "chart saved to airline_forecast.png" in out
    assert (tmp_path / "airline_forecast.png").read_bytes()[:4] == b"\x89PNG"
