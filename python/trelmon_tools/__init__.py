"""Companion tools for trelmon: synthetic events with Monte Carlo truth, event files and the
``trelmon`` command line (also ``python -m trelmon_tools``)."""

from . import finders, generate, io, truth
from ._version import version
from .finders import ScatterWindowFollowing

__version__ = version()

__all__ = ["ScatterWindowFollowing", "__version__", "finders", "generate", "io", "truth"]
