"""Track following written out step by step in plain Python, to check the native solver against.

Floats are Python floats (IEEE doubles), and every expression keeps the native operation order,
so the two agree bit for bit. Nothing here is optimised beyond keeping the used hits as a set
of ids, which answers membership exactly as a list searched by id would.
"""

from dataclasses import dataclass


@dataclass(frozen=True)
class Params:
    max_slopes: tuple = (0.7, 0.7)
    max_tolerance: tuple = (0.4, 0.4)
    max_scatter: float = 0.4
    min_track_length: int = 3
    min_strong_track_length: int = 4


def are_compatible(p, h0, h1):
    dz = abs(h0.z - h1.z)
    return abs(h1.x - h0.x) < p.max_slopes[0] * dz and abs(h1.y - h0.y) < p.max_slopes[1] * dz


def check_tolerance(p, h0, h1, h2):
    if h1.z - h0.z == 0 or h2.z - h1.z == 0:
        return False
    r = 1.0 / (h1.z - h0.z)
    tx = r * (h1.x - h0.x)
    ty = r * (h1.y - h0.y)
    d = h2.z - h0.z
    px = d * tx + h0.x
    py = d * ty + h0.y
    dx = abs(px - h2.x)
    dy = abs(py - h2.y)
    r2 = 1.0 / (h2.z - h1.z)
    scatter = ((dy * dy + dx * dy) * r2) * r2
    return dx < p.max_tolerance[0] and dy < p.max_tolerance[1] and scatter < p.max_scatter


def _first_passing(p, hits, a, b):
    for hit in hits:
        if check_tolerance(p, a, b, hit):
            return hit
    return None


def _follow(p, modules, j, h0, h1):
    """The finished track seeded by h0 and h1 (on module j), or None without a third hit."""
    track = [h0, h1]
    found = None
    for module in (j - 1, j - 2, j - 3):
        if module < 0:
            break
        third = _first_passing(p, modules[module], h0, h1)
        if third is not None:
            track.append(third)
            found = module
            break
    if found is None:
        return None
    misses = 0
    for module in range(found - 1, -1, -1):
        misses += 1
        hit = _first_passing(p, modules[module], track[-2], track[-1])
        if hit is not None:
            track.append(hit)
            misses = 0
        if misses == 3:
            break
    return track


def solve(p, modules):
    """modules: one list of hits per module, in stored order. Returns tracks as lists of hits."""
    result = []
    weak = []
    used = set()

    def is_used(hit):
        return hit.id in used

    def mark_used(track):
        for hit in track:
            used.add(hit.id)

    count = len(modules)
    if count < 3:
        return []
    for k in range(count - 3):
        i = count - 1 - k
        j = i - 2
        for h0 in modules[i]:
            if is_used(h0):
                continue
            for h1 in modules[j]:
                if is_used(h1) or not are_compatible(p, h0, h1):
                    continue
                track = _follow(p, modules, j, h0, h1)
                if track is None:
                    continue
                if len(track) == p.min_track_length:
                    weak.append(track)
                elif len(track) >= p.min_strong_track_length:
                    result.append(track)
                    mark_used(track)
    for track in weak:
        if not any(is_used(hit) for hit in track):
            mark_used(track)
            result.append(track)
    return result
