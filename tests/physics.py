"""The default run's physics, kept as a reference so that no change to a finder's results
goes unnoticed.

For every finder, the figures of the validator's export on the default run (the built-in
sample, default parameters: what ``python -m trelmon_tools run`` prints) and a hash of every
track it found. ``test_physics_reference.py`` compares a fresh run with the stored file and
lists what moved. After an intended change, regenerate the reference and commit it:

    python tests/physics.py --update
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import sys
from pathlib import Path

import numpy as np

REFERENCE = Path(__file__).with_name("reference") / "physics.json"
#: The figures compared per category, as the validator's export names them.
CATEGORY_FIGURES = (
    "n_particles",
    "n_reco",
    "n_clones",
    "recoeffT",
    "clone_percentage",
    "purityT",
    "hit_eff_percentage",
)
TOTAL_FIGURES = ("total_tracks", "total_ghosts", "overall_ghost_rate", "event_avg_ghost_rate")


def tracks_hash(tracks) -> str:
    """SHA-256 of every event's track list: hit ids in order and both module-miss flags."""
    digest = hashlib.sha256()
    for event_tracks in tracks:
        digest.update(np.int64(len(event_tracks)).tobytes())
        for track in event_tracks:
            ids = np.array([h.id for h in track.hits], dtype=np.int32)
            flags = (track.missed_last_module, track.missed_penultimate_module)
            digest.update(np.int64(len(ids)).tobytes() + ids.tobytes() + bytes(flags))
    return digest.hexdigest()


def figures(metrics: dict) -> dict:
    """The compared figures of one export of the validator."""
    return {
        **{name: metrics[name] for name in TOTAL_FIGURES},
        "categories": {
            c["label"]: {name: c[name] for name in CATEGORY_FIGURES} for c in metrics["categories"]
        },
    }


def default_run(finder_names=None, params=()) -> dict:
    """The record of the default run (optionally some finders only, or other parameters)."""
    from trelmon_tools import run

    sample = run.generated_sample(run.DEFAULT_EVENTS, run.DEFAULT_SEED)
    finders = run.configure_finders(finder_names, params)
    results = run.run_finders(sample, finders)
    return {
        "sample": sample.source,
        "finders": {
            r.name: {"tracks_sha256": tracks_hash(r.tracks), **figures(r.metrics)} for r in results
        },
    }


def _moved(name: str, old, new) -> str:
    if isinstance(old, (int, float)) and isinstance(new, (int, float)):
        change = new - old
        relative = f", {change / old:+.2%}" if old and math.isfinite(change / old) else ""
        return f"{name}: {old!r} -> {new!r} ({change:+.6g}{relative})"
    return f"{name}: {old!r} -> {new!r}"


def differences(reference: dict, fresh: dict) -> list:
    """One line per figure that moved, naming the finder; empty when the runs agree."""
    lines = []
    if reference["sample"] != fresh["sample"]:
        lines.append(_moved("sample", reference["sample"], fresh["sample"]))
    old_finders, new_finders = reference["finders"], fresh["finders"]
    for finder in old_finders.keys() - new_finders.keys():
        lines.append(f"{finder}: in the reference, not in this run")
    for finder in new_finders.keys() - old_finders.keys():
        lines.append(f"{finder}: in this run, not in the reference")
    for finder in [f for f in old_finders if f in new_finders]:
        old, new = old_finders[finder], new_finders[finder]
        for name in ("tracks_sha256", *TOTAL_FIGURES):
            if old.get(name) != new.get(name):
                lines.append(f"{finder}: " + _moved(name, old.get(name), new.get(name)))
        for label in dict.fromkeys([*old["categories"], *new["categories"]]):
            a, b = old["categories"].get(label, {}), new["categories"].get(label, {})
            for name in CATEGORY_FIGURES:
                if a.get(name) != b.get(name):
                    lines.append(f"{finder}: {label} " + _moved(name, a.get(name), b.get(name)))
    return lines


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--update", action="store_true", help=f"rewrite {REFERENCE}")
    args = parser.parse_args(argv)
    fresh = default_run()
    if args.update:
        REFERENCE.parent.mkdir(exist_ok=True)
        REFERENCE.write_text(json.dumps(fresh, indent=1) + "\n", encoding="utf-8")
        print(f"wrote {REFERENCE}")
        return 0
    moved = differences(json.loads(REFERENCE.read_text(encoding="utf-8")), fresh)
    print("\n".join(moved) if moved else "no figure moved")
    return 1 if moved else 0


if __name__ == "__main__":
    sys.exit(main())
