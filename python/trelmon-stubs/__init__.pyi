# The submodules are attributes of trelmon, built by the extension; they are not importable as
# dotted paths (``import trelmon.DetectorEvent`` fails at run time).
from . import DetectorEvent as DetectorEvent
from . import ReconstructionAlgorithms as ReconstructionAlgorithms
from . import Validator as Validator

__all__ = ["ReconstructionAlgorithms", "Validator", "DetectorEvent"]
