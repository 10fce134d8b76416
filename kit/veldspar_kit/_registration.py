"""Adds the `.veldspar` accessor to pandas and namespaces to polars without importing either.

A library the program has imported already gets them at once. For one it imports later, a finder
at the front of `sys.meta_path` lets the other finders find it, then has its loader announce the end
of its execution, when the library is whole; it adds the namespace then and leaves the loader as it
was. A library that is never imported costs nothing but that finder's look at each top-level import.
"""
from __future__ import annotations

import importlib
import sys
import threading
import warnings
from types import ModuleType
from typing import Any, Optional, Sequence

from . import _messages as msg
from ._inputs import FRAME_KINDS


def register(library: str) -> None:
    """Imports the module handling `library` (which registers the namespace); a failure only warns."""
    try:
        importlib.import_module(FRAME_KINDS[library])
    except Exception as error:  # the caller's import of the library itself must go on
        warnings.warn(msg.REGISTRATION.format(library=library, error=f"{type(error).__name__}: {error}"),
                      RuntimeWarning, stacklevel=2)


class _Announcing:
    """Runs a module through its own loader, then calls `then`; otherwise the loader it wraps."""

    def __init__(self, loader: Any, then: Any) -> None:
        self._loader = loader
        self._then = then

    def create_module(self, found: Any, /) -> Optional[ModuleType]:
        create = getattr(self._loader, "create_module", None)
        return create(found) if create is not None else None

    def exec_module(self, module: ModuleType) -> None:
        try:
            self._loader.exec_module(module)
        finally:
            # Afterwards the library shows its own loader, as if nobody had watched.
            module.__loader__ = self._loader
            if module.__spec__ is not None:
                module.__spec__.loader = self._loader
        self._then()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._loader, name)


class Watcher:
    """The finder: announces the end of the import of each library it waits for."""

    def __init__(self, libraries: Sequence[str]) -> None:
        self.waiting = set(libraries)
        self._searching = threading.local()
        self._lock = threading.Lock()  # two threads may finish importing the two libraries at once

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        if name not in self.waiting or getattr(self._searching, "active", False):
            return None
        self._searching.active = True
        try:
            found = self._find_elsewhere(name, path, target)
        finally:
            self._searching.active = False
        if found is None or not hasattr(found.loader, "exec_module"):
            return found  # not found, or an old-style loader: imported as usual, without the namespace
        found.loader = _Announcing(found.loader, lambda: self._imported(name))
        return found

    def _find_elsewhere(self, name: str, path: Any, target: Any) -> Any:
        for finder in list(sys.meta_path):
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            found = finder.find_spec(name, path, target)
            if found is not None:
                return found
        return None

    def _imported(self, library: str) -> None:
        with self._lock:
            self.waiting.discard(library)
            if not self.waiting and self in sys.meta_path:
                sys.meta_path.remove(self)
        register(library)

    def invalidate_caches(self) -> None:
        pass


def watch() -> None:
    """Registers now for the libraries already imported, on import for the others (once per process)."""
    if any(isinstance(finder, Watcher) for finder in sys.meta_path):
        return
    later = []
    for library in FRAME_KINDS:
        if sys.modules.get(library) is not None:
            register(library)
        else:
            later.append(library)
    if later:
        sys.meta_path.insert(0, Watcher(later))
