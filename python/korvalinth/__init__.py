"""korvalinth: a reactive dataflow-graph runtime whose engine is C++."""

from korvalinth import _native
from korvalinth._native import *  # noqa: F401,F403

__all__ = list(getattr(_native, "__all__", ()))
__version__ = _native.version()
