"""The default run's physics against the stored reference (see physics.py): a change to any
finder's tracks or figures fails here, listing what moved. After an intended change:

    python tests/physics.py --update
"""

import json

import physics
import pytest


@pytest.fixture(scope="module")
def reference():
    return json.loads(physics.REFERENCE.read_text(encoding="utf-8"))


def test_the_default_run_matches_the_reference(reference):
    moved = physics.differences(reference, physics.default_run())
    assert not moved, (
        "the default run's physics moved (intended? then run `python tests/physics.py "
        "--update` and commit tests/reference/physics.json):\n  " + "\n  ".join(moved)
    )


def test_a_perturbed_parameter_is_reported_with_its_finder(reference):
    fresh = physics.default_run(["TrackFollowing"], ["max_tolerance=(0.3, 0.3)"])
    moved = physics.differences(reference, fresh)
    assert any(line.startswith("TrackFollowing: tracks_sha256:") for line in moved)
    assert any(line.startswith("TrackFollowing: velo recoeffT:") for line in moved)
    # the finders this run left out are named, not compared
    assert {line for line in moved if "not in this run" in line} == {
        f"{name}: in the reference, not in this run"
        for name in reference["finders"]
        if name != "TrackFollowing"
    }
