"""The validator against a plain rendering of its rules.

The model below keeps the full tracks x particles weight matrix and Python dicts (which iterate in
insertion order) for every map; the extension keeps a sparse matrix and flat arrays. On random
events full of the awkward cases (shared hits, repeated keys and hit positions, electrons,
duplicate and one-hit tracks) every figure must agree exactly, bit for bit.
"""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from trelmon import DetectorEvent, Validator

CATEGORIES = [
    ("velo", lambda m: m["hasVelo"]),
    ("long", lambda m: m["isLong"]),
    ("long>5GeV", lambda m: m["isLong"] and m["over5GeV"]),
    ("long_strange", lambda m: m["isLong"] and m["fromStrangeDecay"]),
    ("long_strange>5GeV", lambda m: m["isLong"] and m["over5GeV"] and m["fromStrangeDecay"]),
    ("long_fromb", lambda m: m["isLong"] and m["fromBeautyDecay"]),
    ("long_fromb>5GeV", lambda m: m["isLong"] and m["over5GeV"] and m["fromBeautyDecay"]),
]
FLAGS = [
    "isLong",
    "isDown",
    "hasUT",
    "hasScifi",
    "fromBeautyDecay",
    "fromCharmDecay",
    "fromStrangeDecay",
]


def predicate(label):
    for name, rule in CATEGORIES:
        if name == label:
            return lambda m: abs(m["pid"]) != 11 and bool(rule(m))
    return lambda m: False


# ---- the model ---------------------------------------------------------------------------------


def model_event(event):
    """Validator event from a well-formed dictionary: hits are ids, particles dicts."""
    n = min(len(event["x"]), len(event["y"]), len(event["z"]))
    particles, mcp_to_hits = [], {}
    if "montecarlo" in event:
        mc = event["montecarlo"]
        where = {name: i for i, name in enumerate(mc["description"])}
        for row in mc["particles"]:

            def cell(name, default, row=row):
                i = where.get(name)
                return row[i] if i is not None and i < len(row) else default

            m = {
                "key": cell("key", 0),
                "pid": cell("pid", 0),
                "p": float(cell("p", 0.0)),
                "hasVelo": bool(cell("hasVelo", 1)),
            }
            for flag in FLAGS:
                m[flag] = bool(cell(flag, 0))
            m["over5GeV"] = abs(m["p"]) > 5000.0
            m["hits"] = [h for h in cell("hits", []) if h < n]
            particles.append(m)
            if m["key"] in mcp_to_hits:
                mcp_to_hits[m["key"]] = (mcp_to_hits[m["key"]][0], m["hits"])
            else:
                mcp_to_hits[m["key"]] = (m, m["hits"])
    hit_to_mcp = {h: [] for h in range(n)}
    for particle, hits in mcp_to_hits.values():
        for h in hits:
            if h in hit_to_mcp:
                hit_to_mcp[h].append(particle)
    return {"particles": particles, "mcp_to_hits": mcp_to_hits, "hit_to_mcp": hit_to_mcp}


def comp_weights(tracks, event):
    particles = event["particles"]
    weights = [[0.0] * len(particles) for _ in tracks]
    if not particles:
        return [[] for _ in tracks]
    column = {}
    for i, m in enumerate(particles):
        column[m["key"]] = i
    for t, track in enumerate(tracks):
        if len(track) < 2:
            continue
        count = [0] * len(particles)
        for h in track:
            if h not in event["hit_to_mcp"]:
                raise RuntimeError(f"Error: hit with id {h} not found in hit_to_mcp mapping")
            columns = []
            for m in event["hit_to_mcp"][h]:
                c = column.get(m["key"])
                if c is not None and c not in columns:
                    columns.append(c)
            for c in columns:
                count[c] += 1
        weights[t] = [c / len(track) for c in count]
    return weights


def hit_purity(tracks, particles, weights):
    track_to_particle = {}
    for t, track in enumerate(tracks):
        row = weights[t]
        if not row:
            continue
        best, best_column = row[0], 0
        for c in range(1, len(row)):
            if row[c] >= best:
                best, best_column = row[c], c
        track_to_particle[tuple(track)] = (best, particles[best_column] if best > 0.7 else None)
    particle_to_track = {}
    for c, m in enumerate(particles):
        best, best_track = 0.0, None
        for t in range(len(tracks)):
            if weights[t][c] > best:
                best, best_track = weights[t][c], t
        particle_to_track[m["key"]] = (best, tracks[best_track] if best > 0.7 else None)
    return track_to_particle, particle_to_track


def ghost_rate(track_to_particle):
    ghosts = sum(1 for _, m in track_to_particle.values() if m is None)
    return ghosts, (ghosts / len(track_to_particle) if track_to_particle else 0.0)


def add_event(e, track_to_particle, particle_to_track, category_particles, event):
    e["n_particles"] += len(category_particles)
    e["n_reco"] += sum(1 for _, t in particle_to_track.values() if t is not None)
    e["avg_recoeff"] = e["n_reco"] / e["n_particles"] * 100 if e["n_particles"] else 0.0
    groups = {}
    for track, (_, m) in track_to_particle.items():
        if m is not None:
            groups.setdefault(m["key"], []).append(track)
    e["n_clones"] += sum(len(g) - 1 for g in groups.values() if len(g) >= 2)
    efficiencies = []
    for track, (_, m) in track_to_particle.items():
        if m is None:
            continue
        ids = set(event["mcp_to_hits"][m["key"]][1])
        if ids:
            efficiencies.append(sum(1 for h in track if h in ids) / len(ids))
    purity, matched = 0.0, 0
    for weight, m in track_to_particle.values():
        if m is not None:
            purity += weight
            matched += 1
    e["purity_sum"] += purity
    hit_eff = 0.0
    for value in efficiencies:
        hit_eff += value
    e["hiteff_sum"] += hit_eff
    e["n_hiteff"] += len(efficiencies)
    e["avg_hiteff"] = hit_eff / len(efficiencies) * 100 if efficiencies else 0.0
    e["avg_purity"] = purity / matched * 100 if matched else 0.0
    if e["n_particles"]:
        e["recoeffT"] = 100 * e["n_reco"] / e["n_particles"]
    if e["n_reco"]:
        e["purityT"] = e["purity_sum"] * 100 / (e["n_reco"] + e["n_clones"])


def update_efficiencies(e, event, tracks, weights, label, verbose, out):
    rule = predicate(label)
    selected = [i for i, m in enumerate(event["particles"]) if rule(m)]
    if not selected:
        if verbose:
            out.append(f"update_efficiencies: No particles match condition for '{label}'\n")
        return e
    cut = [[row[i] for i in selected] for row in weights]
    particles = [event["particles"][i] for i in selected]
    track_to_particle, particle_to_track = hit_purity(tracks, particles, cut)
    if e is None:
        e = {
            "label": label,
            "n_particles": 0,
            "n_reco": 0,
            "purity_sum": 0.0,
            "n_clones": 0,
            "hiteff_sum": 0.0,
            "n_hiteff": 0,
            "recoeffT": 0.0,
            "purityT": 0.0,
            "avg_recoeff": 0.0,
            "avg_purity": 0.0,
            "avg_hiteff": 0.0,
        }
    add_event(e, track_to_particle, particle_to_track, particles, event)
    return e


def entry(e):
    return {
        "label": e["label"],
        "n_reco": e["n_reco"],
        "n_particles": e["n_particles"],
        "recoeffT": e["recoeffT"],
        "avg_recoeff": e["avg_recoeff"],
        "n_clones": e["n_clones"],
        "clone_percentage": e["n_clones"] * 100 / e["n_reco"] if e["n_reco"] else 0.0,
        "purityT": e["purityT"],
        "avg_purity": e["avg_purity"],
        "avg_hiteff": e["avg_hiteff"],
        "hit_eff_percentage": e["hiteff_sum"] * 100 / e["n_hiteff"] if e["n_hiteff"] else 0.0,
    }


def line(e):
    v = entry(e)
    return (
        f"{v['label']:<20} {v['n_reco']:>6} from {v['n_particles']:>6} "
        f"({v['recoeffT']:>5.1f}%, {v['avg_recoeff']:>5.1f}%) {v['n_clones']:>4} clones "
        f"({v['clone_percentage']:>5.2f}%), purity: ({v['purityT']:>6.2f}%, "
        f"{v['avg_purity']:>6.2f}%), hitEff: ({v['avg_hiteff']:>6.2f}%, "
        f"{v['hit_eff_percentage']:>6.2f}%)"
    )


def model_run(events, tracks, verbose):
    """(detailed export, printed text) of one run."""
    out = []
    total_tracks = total_ghosts = 0
    ghost_sum = 0.0
    efficiencies = [None] * len(CATEGORIES)
    per_event = {}
    for i in range(min(len(events), len(tracks))):
        event = model_event(events[i])
        total_tracks += len(tracks[i])
        weights = comp_weights(tracks[i], event)
        ghosts, fraction = ghost_rate(hit_purity(tracks[i], event["particles"], weights)[0])
        total_ghosts += ghosts
        ghost_sum += fraction
        for c, (label, _) in enumerate(CATEGORIES):
            efficiencies[c] = update_efficiencies(
                efficiencies[c], event, tracks[i], weights, label, verbose, out
            )
        per_event[str(i + 1)] = [entry(e) for e in efficiencies if e is not None]
    overall = total_ghosts * 100 / total_tracks if total_tracks else 0.0
    average = ghost_sum * 100 / len(events) if events else 0.0
    result = {
        "total_tracks": total_tracks,
        "total_ghosts": total_ghosts,
        "overall_ghost_rate": overall,
        "event_avg_ghost_rate": average,
        "categories": [entry(e) for e in efficiencies if e is not None],
        "events": per_event,
    }
    if not events:
        out.append("No events found.\n")
    else:
        out.append(
            f"{total_tracks} tracks including {total_ghosts} ghosts ({overall:.1f}%). "
            f"Event average ghost rate: {average:.1f}%\n"
        )
        out.extend(line(e) + "\n" for e in efficiencies if e is not None)
    return result, "".join(out)


def model_efficiency(events, tracks, label):
    out = []
    e = None
    for i in range(min(len(events), len(tracks))):
        event = model_event(events[i])
        e = update_efficiencies(
            e, event, tracks[i], comp_weights(tracks[i], event), label, True, out
        )
    return (e["recoeffT"] / 100.0 if e else 0.0), "".join(out)


# ---- random runs -------------------------------------------------------------------------------

DESCRIPTION = [
    "key",
    "pid",
    "p",
    "hits",
    "isLong",
    "hasVelo",
    "fromBeautyDecay",
    "fromStrangeDecay",
]


def random_event(rng):
    n = rng.randint(0, 30)
    coordinates = [rng.uniform(-10, 10) for _ in range(n)]
    event = {
        "module_prefix_sum": [0] * 53,
        "x": coordinates,
        "y": coordinates[::-1],
        "z": [float(i) for i in range(n)],
    }
    if rng.random() < 0.1:
        return event, n  # no Monte Carlo table at all
    rows = []
    for _ in range(rng.randint(0, 10)):
        hits = rng.sample(range(n), rng.randint(0, min(n, 8))) if n else []
        if hits and rng.random() < 0.2:
            hits.append(hits[0])  # a position listed twice
        if rng.random() < 0.1:
            hits.append(n + rng.randint(0, 5))  # beyond the event: skipped
        rows.append(
            [
                rng.randint(0, 8),
                rng.choice([211, -211, 13, 11, -11, 321]),
                rng.choice([1000.0, 4999.9, 5000.0, 5000.5, -6000.0, 12000.0]),
                hits,
                rng.randint(0, 1),
                rng.choice([0, 1, 1, 1]),
                rng.randint(0, 1),
                rng.randint(0, 1),
            ]
        )
    # Columns in any order, now and then a repeated name (its last position counts) and rows
    # cut short (the missing columns take their defaults).
    order = rng.sample(range(len(DESCRIPTION)), len(DESCRIPTION))
    description = [DESCRIPTION[i] for i in order]
    rows = [[row[i] for i in order] for row in rows]
    if rng.random() < 0.2:
        description.append("isLong")
        for row in rows:
            row.append(rng.randint(0, 1))
    if rng.random() < 0.2:
        rows = [row[: rng.randint(0, len(row))] if rng.random() < 0.3 else row for row in rows]
    event["montecarlo"] = {"description": description, "particles": rows}
    return event, n


def random_tracks(rng, event, n):
    mc = event.get("montecarlo", {"description": ["hits"], "particles": []})
    column = mc["description"].index("hits")
    own_hits = [row[column] for row in mc["particles"] if column < len(row)]
    tracks = []
    for _ in range(rng.randint(0, 12)):
        roll = rng.random()
        if tracks and roll < 0.15:
            tracks.append(list(rng.choice(tracks)))  # duplicate of an earlier track
        elif own_hits and roll < 0.8:
            own = [h for h in rng.choice(own_hits) if h < n]
            track = rng.sample(own, rng.randint(0, len(own))) if own else []
            for _ in range(rng.randint(0, 3)):
                if n:
                    track.insert(rng.randint(0, len(track)), rng.randrange(n))
            tracks.append(track)
        elif n:
            tracks.append([rng.randrange(n) for _ in range(rng.randint(1, 6))])
    return tracks


def random_run(seed):
    rng = random.Random(seed)
    events, ids = [], []
    for _ in range(rng.randint(0, 4)):
        event, n = random_event(rng)
        events.append(event)
        ids.append(random_tracks(rng, event, n))
    # Surplus events or surplus track lists, now and then.
    if rng.random() < 0.2 and ids:
        ids.pop()
    elif rng.random() < 0.2:
        ids.append([[0, 1]])
    return events, ids


def as_tracks(ids):
    return [
        [
            DetectorEvent.Track([DetectorEvent.Hit(0.0, 0.0, 0.0, h) for h in track])
            for track in tracks
        ]
        for tracks in ids
    ]


# capfd is drained at the start of every example.
@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.integers(0, 2**32 - 1), st.booleans())
def test_reports_equal_the_dense_model(capfd, seed, verbose):
    events, ids = random_run(seed)
    expected, text = model_run(events, ids, verbose)
    tracks = as_tracks(ids)
    capfd.readouterr()

    detailed = Validator.export_detailed_metrics_json(events, tracks, verbose)
    assert detailed == expected
    assert list(detailed) == list(expected)  # key order too
    captured = capfd.readouterr().out
    assert captured == "".join(line for line in text.splitlines(True) if line.startswith("update_"))

    plain = Validator.export_validation_to_json(events, tracks, False)
    del expected["events"]
    assert plain == expected

    Validator.print_validation_summary(events, tracks, verbose)
    assert capfd.readouterr().out == text


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.integers(0, 2**32 - 1), st.sampled_from([c for c, _ in CATEGORIES] + ["Long", ""]))
def test_tracking_efficiency_equals_the_dense_model(capfd, seed, label):
    events, ids = random_run(seed)
    expected, text = model_efficiency(events, ids, label)
    capfd.readouterr()
    assert Validator.compute_tracking_efficiency(events, as_tracks(ids), label) == expected
    assert capfd.readouterr().out == text


def test_the_model_meets_the_hand_worked_weights():
    # Guards the model itself: 3 of 4 hits from A, 7 of 10 (exactly 0.7, a ghost).
    event = model_event(
        {
            "x": [0.0] * 12,
            "y": [0.0] * 12,
            "z": [0.0] * 12,
            "montecarlo": {
                "description": ["key", "hits"],
                "particles": [[1, list(range(9))], [2, [9, 10, 11]]],
            },
        }
    )
    weights = comp_weights([[0, 1, 2, 9], [0, 1, 2, 3, 4, 5, 6, 9, 10, 11]], event)
    assert weights == [[0.75, 0.25], [0.7, 0.3]]
    track_to_particle, _ = hit_purity(
        [[0, 1, 2, 9], [0, 1, 2, 3, 4, 5, 6, 9, 10, 11]], event["particles"], weights
    )
    assert [m and m["key"] for _, m in track_to_particle.values()] == [1, None]


@pytest.mark.parametrize("seed", range(3))
def test_generated_events_equal_the_dense_model(seed):
    generate = pytest.importorskip("trelmon_tools.generate")
    events = [generate.generate_event(seed * 10 + k) for k in range(2)]
    ids = []
    rng = random.Random(seed)
    for event in events:
        rows = event["montecarlo"]["particles"]
        hits_column = event["montecarlo"]["description"].index("hits")
        tracks = [list(row[hits_column]) for row in rows if len(row[hits_column]) >= 3]
        for track in tracks:  # spoil some: drop hits, swap in foreign ones
            if rng.random() < 0.3 and len(track) > 3:
                track.pop(rng.randrange(len(track)))
            if rng.random() < 0.3:
                track[rng.randrange(len(track))] = rng.randrange(len(event["x"]))
        tracks += [list(t) for t in tracks[:5]]
        ids.append(tracks)
    expected, _ = model_run(events, ids, False)
    assert Validator.export_detailed_metrics_json(events, as_tracks(ids), False) == expected
