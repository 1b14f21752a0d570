"""Companion tools for trelmon: synthetic events with Monte Carlo truth, event files and the
``python -m trelmon_tools`` command line."""

from . import finders, generate, io, truth
from .finders import ScatterWindowFollowing

__all__ = ["ScatterWindowFollowing", "finders", "generate", "io", "truth"]
