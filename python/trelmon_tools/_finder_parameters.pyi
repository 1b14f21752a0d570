from typing import Any

def finder_parameters() -> dict[str, tuple[tuple[str, Any], ...]]:
    """Per finder class name, its keyword parameters and their defaults, in constructor order."""
