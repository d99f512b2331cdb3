"""The one place where optional dependencies are imported.

pandas, matplotlib, Dask (with distributed) and tqdm are extras: a user who never passes a
Series, never draws a chart and fits one series at a time needs none of them.  Asking for one that is missing raises an ImportError that names
the extra to install.
"""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any

__all__ = ["pandas", "pandas_if_loaded", "pandas_if_installed", "pyplot", "distributed",
           "tqdm", "has_tqdm"]

_EXTRAS = {"pandas": "pandas", "matplotlib": "plot", "distributed": "dask", "tqdm": "progress"}


def _require(module: str, extra: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"this needs {module.split('.')[0]}, which is not installed: "
            f'pip install "korvanta-rs[{extra}]"') from exc


def pandas() -> Any:
    """The pandas module, or an ImportError naming the `pandas` extra."""
    return _require("pandas", _EXTRAS["pandas"])


def pandas_if_loaded() -> Any | None:
    """pandas if the user has already imported it, else None.

    An object can only be a pandas Series or DataFrame if pandas is loaded, so the input
    checks never import it themselves (that would cost a quarter of a second per process).
    """
    import sys

    return sys.modules.get("pandas")


def pyplot() -> Any:
    """matplotlib.pyplot, or an ImportError naming the `plot` extra."""
    return _require("matplotlib.pyplot", _EXTRAS["matplotlib"])


def pandas_if_installed() -> Any | None:
    """pandas if it can be imported, else None (tables then come back as plain arrays)."""
    try:
        return importlib.import_module("pandas")
    except ImportError:
        return None


def distributed() -> Any:
    """dask.distributed, or an ImportError naming the `dask` extra."""
    return _require("distributed", _EXTRAS["distributed"])


def tqdm() -> Any:
    """The tqdm progress-bar class, or an ImportError naming the `progress` extra."""
    return _require("tqdm", _EXTRAS["tqdm"]).tqdm


def has_tqdm() -> bool:
    """Whether tqdm can be imported (an unasked-for progress bar is drawn only then)."""
    import importlib.util

    return importlib.util.find_spec("tqdm") is not None
