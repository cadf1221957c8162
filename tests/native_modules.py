"""The package's extension modules, found by walking it."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import pkgutil


def extension_modules() -> list[str]:
    import tolvane

    names = []
    for info in pkgutil.walk_packages(tolvane.__path__, "tolvane."):
        origin = importlib.util.find_spec(info.name).origin or ""
        if origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            names.append(info.name)
    return names
