"""Companion tools for trelmon: synthetic events with Monte Carlo truth, event files and the
``trelmon`` command line (also ``python -m trelmon_tools``)."""

from . import generate, io, truth
from ._version import version

__version__ = version()

__all__ = ["__version__", "generate", "io", "truth"]
