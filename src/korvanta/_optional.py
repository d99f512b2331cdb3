"""The one place where optional dependencies are imported.

pandas and matplotlib are extras: a user who never passes a Series and never draws a
chart needs neither.  Asking for one that is missing raises an ImportError that names
the extra to install.
"""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Any

__all__ = ["pandas", "pandas_if_loaded", "pyplot"]

_EXTRAS = {"pandas": "pandas", "matplotlib": "plot"}


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
