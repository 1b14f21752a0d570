"""Companion tools for trelmon: synthetic events with Monte Carlo truth, event files and the
``python -m trelmon_tools`` command line."""

from . import generate, io, truth

__all__ = ["generate", "io", "truth"]
