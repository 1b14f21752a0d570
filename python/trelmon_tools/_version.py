from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _distribution_version


def version() -> str:
    """The installed trelmon distribution's version, which the extension module and these tools
    share."""
    try:
        return _distribution_version("trelmon")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"
