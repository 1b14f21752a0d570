import os

import pytest
import trelmon
from hypothesis import HealthCheck, settings

# The tests drive test-only extensions that a plain install leaves out.
try:
    from trelmon_tools import _gdfs_probe, _sbt_probe, _selftest, _tf_probe  # noqa: F401
except ImportError as error:
    raise ImportError(
        "the test-only extensions are missing: install with "
        'TRELMON_TESTS=ON pip install ".[test]" (see the README)'
    ) from error

# CI runs the suite a second time under AddressSanitizer, several times slower: no per-example
# deadline there, and a fixed example sequence so a red run can be rerun as it was.
settings.register_profile(
    "ci", deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow]
)
# Elsewhere too no per-example deadline: on a busy machine it fails examples for being slow,
# which is a timing, not a fault.
settings.register_profile("local", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "local")

DE = trelmon.DetectorEvent


def event_dict(module_hits, *, with_t=False, montecarlo=None, description="test event"):
    """An event dictionary from {module: [(x, y, z), ...]}; modules not named hold no hits."""
    prefix, xs, ys, zs = [0], [], [], []
    for m in range(52):
        for x, y, z in module_hits.get(m, []):
            xs.append(float(x))
            ys.append(float(y))
            zs.append(float(z))
        prefix.append(len(xs))
    data = {
        "description": description,
        "montecarlo": montecarlo,
        "module_prefix_sum": prefix,
        "x": xs,
        "y": ys,
        "z": zs,
    }
    if with_t:
        data["t"] = [0.5 * i for i in range(len(xs))]
    return data


@pytest.fixture
def make_event_dict():
    return event_dict
