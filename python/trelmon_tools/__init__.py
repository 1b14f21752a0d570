"""Companion tools for trelmon: event generation, event files and the command line."""
