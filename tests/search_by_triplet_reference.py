"""A literal pure-Python rendering of the search-by-triplet finder, written for clarity rather
than speed: every third hit of every pair is scored, maps are keyed by hit id and iterate in
insertion order, and nothing is indexed. Tests compare the module's finder with it.

Input is a module list: ``RefModule(number, start, end, hits)`` where ``hits`` is the module's
global hit list of ``RefHit``. Tracks come back as ``(ids, missed_last_module,
missed_penultimate_module, missed_count)``.
"""

import math
from dataclasses import dataclass, field


@dataclass(frozen=True)
class RefHit:
    id: int
    x: float
    y: float
    z: float


@dataclass(frozen=True)
class RefModule:
    number: int
    start: int
    end: int
    hits: tuple


@dataclass
class RefTrack:
    hits: list
    missed_last: bool = False
    missed_penultimate: bool = False
    missed_count: int = 0

    def result(self):
        return (
            tuple(h.id for h in self.hits),
            self.missed_last,
            self.missed_penultimate,
            self.missed_count,
        )


def modules_from_event_dict(data):
    """The module list that Event(data) builds from a well-formed event dictionary."""
    prefix = data["module_prefix_sum"]
    hits = tuple(
        RefHit(i, float(data["x"][i]), float(data["y"][i]), float(data["z"][i]))
        for i in range(prefix[52])
    )
    return [RefModule(m, prefix[m], prefix[m + 1], hits) for m in range(52)]


def _reciprocal(v):
    # IEEE division: 1/+0 is +inf, 1/-0 is -inf.
    return math.copysign(math.inf, v) if v == 0.0 else 1.0 / v


def scatter(p, q, h):
    r = _reciprocal(q.z - p.z)
    tx = (q.x - p.x) * r
    ty = (q.y - p.y) * r
    d = h.z - p.z
    px = p.x + tx * d
    py = p.y + ty * d
    dx = px - h.x
    dy = py - h.y
    return dx * dx + dy * dy


def stations_of(modules):
    stations = []
    for k in range(len(modules) // 2):
        first, second = modules[2 * k], modules[2 * k + 1]
        end = max(first.start, second.end)
        stations.append((first.number >> 1, first.hits[first.start : end]))
    return stations


def build_tries(modules, max_scatter):
    """The 26 trie slots: None, or {a.id: (a, {b.id: (b, c, scatter)})} in insertion order."""
    stations = stations_of(modules)
    h = len(stations)
    slots = [None] * 26
    for s in range(h - 1, 1, -1):
        a_number, a_hits = stations[s]
        b_number, b_hits = stations[s - 1]
        c_position = b_number - 1 if b_number != 0 else 0
        if c_position >= h:
            continue
        c_hits = stations[c_position][1]
        triplets = []
        for a in a_hits:
            for b in b_hits:
                best, best_scatter = None, max_scatter
                for c in c_hits:
                    value = scatter(a, b, c)
                    if value < best_scatter:
                        best, best_scatter = c, value
                if best is not None:
                    triplets.append((a, b, best, best_scatter))
        trie = {}
        for a, b, c, value in triplets:
            inner = trie.setdefault(a.id, (a, {}))[1]
            key_hit = inner[b.id][0] if b.id in inner else b
            inner[b.id] = (key_hit, c, value)
        if a_number < 26:
            slots[a_number] = trie
    return slots


def trie_rows(slots):
    """Slots as lists of (a id, b id, c id, scatter) in iteration order, None where empty."""
    return [
        None
        if trie is None
        else [
            (a.id, b.id, c.id, value)
            for a, inner in trie.values()
            for b, c, value in inner.values()
        ]
        for trie in slots
    ]


def tries_from_rows(rows, hits_by_id):
    """Slots rebuilt from rows, for events whose ids are unique."""
    slots = []
    for trie_rows_ in rows:
        if trie_rows_ is None:
            slots.append(None)
            continue
        trie = {}
        for a, b, c, value in trie_rows_:
            trie.setdefault(a, (hits_by_id[a], {}))[1][b] = (hits_by_id[b], hits_by_id[c], value)
        slots.append(trie)
    return slots


@dataclass
class _Walk:
    modules: list
    max_scatter: float
    min_strong: int
    allowed: int
    used: set = field(default_factory=set)
    output: list = field(default_factory=list)
    weak: list = field(default_factory=list)

    def claim(self, track):
        if len(track.hits) >= self.min_strong:
            count = len(track.hits) if self.min_strong == 0 else self.min_strong - 1
            self.used.update(h.id for h in track.hits[:count])

    def close(self, track):
        (self.output if len(track.hits) >= self.min_strong else self.weak).append(track)

    def module_search(self, module, p, q):
        best, best_scatter = RefHit(-1, 0.0, 0.0, 0.0), self.max_scatter
        for hit in module.hits[module.start : module.end]:
            if hit.id in self.used:
                continue
            value = scatter(p, q, hit)
            if value < best_scatter:
                best, best_scatter = hit, value
        return None if best.id == -1 else best


def _extend(walk, track, trie, modules, below):
    """Extend one open track on the station at hand; return whether it stays open."""
    p, q = track.hits[-2], track.hits[-1]
    found = None
    if trie and p.id in trie and trie[p.id][1] and q.id in trie[p.id][1]:
        found = trie[p.id][1][q.id][1]
    else:
        m = below - 1 if below != 0 else 0
        if m < len(modules):
            found = walk.module_search(modules[m], p, q)
    if found is not None:
        track.hits.append(found)
        walk.used.add(found.id)
        walk.claim(track)
        track.missed_penultimate = track.missed_last
        track.missed_last = False
        track.missed_count = 0
        return True
    before = track.missed_count
    track.missed_count = (before + 1) % 256
    if before == 0:
        track.missed_last = True
    elif track.missed_count == 2:
        track.missed_penultimate = True
    if track.missed_count <= walk.allowed % 256:
        return True
    walk.close(track)
    return False


def _seeds(walk, trie, max_scatter):
    """The new three-hit tracks of one station's trie."""
    seeds = []
    for a, inner in trie.values():
        best, best_scatter = None, max_scatter
        for b, c, value in inner.values():
            if walk.used and (a.id in walk.used or b.id in walk.used or c.id in walk.used):
                continue
            if value < best_scatter:
                best, best_scatter = (b, c), value
        if best is not None:
            seeds.append(RefTrack([a, best[0], best[1]]))
    return seeds


def solve(
    modules, max_scatter=0.1, min_strong_track_length=4, allowed_missed_modules=2, tries=None
):
    """Tracks of a module list. ``tries`` may supply the slots (as build_tries returns them)."""
    stations = stations_of(modules)
    h = len(stations)
    if h < 3:
        return []
    slots = build_tries(modules, max_scatter) if tries is None else tries
    walk = _Walk(modules, max_scatter, min_strong_track_length, allowed_missed_modules)
    open_tracks = []
    for i in range(h - 1, 1, -1):
        number = stations[i][0]
        trie = slots[number] if number < 26 else None
        below = stations[i - 2][0]
        open_tracks = [
            track
            for track in open_tracks
            if len(track.hits) >= 2 and _extend(walk, track, trie, modules, below)
        ]
        if trie:
            open_tracks += _seeds(walk, trie, max_scatter)
    for track in open_tracks:
        walk.close(track)
    for track in walk.weak:
        if not any(hit.id in walk.used for hit in track.hits[:3]):
            walk.output.append(track)
    return [track.result() for track in walk.output]
