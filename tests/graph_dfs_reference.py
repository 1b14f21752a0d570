"""Straightforward rendering of the segment graph search, step by step, for comparison.

Works on an event dictionary (hit ids are positions, modules are the prefix-sum ranges) and
returns each track as a list of hit ids. Linear look-ups and full enumeration of every chain
below a root: fine for small events, exponential on dense ones.
"""

import math

MODULES = 52


def _inside(a, b, slope):
    return abs(a[2] - b[2]) * slope > abs(a[0] - b[0])


def _x_key(hit):
    # NaN x sorts after every number, keeping its place among other NaNs.
    x = hit[1][0]
    return (1, 0.0) if math.isnan(x) else (0, x)


def _window(hits, begin, end, h, max_slope_x):
    """[first, end) of the hits of range [begin, end) inside the x window of h, or (-1, -1)."""
    window = [-1, -1]
    for q in range(begin, end):
        inside = _inside(hits[q][1], h, max_slope_x)
        if window[0] == -1:
            if inside:
                window = [q, q + 1]
        elif not inside:
            window[1] = q
            return tuple(window)
    if window[0] != -1:
        window[1] = end
    return tuple(window)


def _windows(hits, ranges, n, max_slopes, allowed_skip_modules, allow_cross_track):
    windows = [dict() for _ in range(n)]
    if MODULES < 3 or allowed_skip_modules < 0:
        return windows
    for j in range(MODULES - 1, 1, -1):
        for g in range(*ranges[j]):
            for k in range(allowed_skip_modules + 1):
                t = j - (k + 1) if allow_cross_track else j - 2 * (k + 1)
                if t >= 0:
                    windows[g][t] = _window(hits, *ranges[t], hits[g][1], max_slopes[0])
    return windows


def _segments(hits, windows, n, max_slope_y):
    segments = []  # [h0 position, h1 position]
    ends_at = [[] for _ in range(n)]
    for g in range(n):
        for first, end in windows[g].values():
            for q in range(first, end):
                a, b = hits[q][1], hits[g][1]
                if abs(a[2] - b[2]) * max_slope_y > abs(a[1] - b[1]):
                    ends_at[q].append(len(segments))
                    segments.append((g, q))
    return segments, ends_at


def _continues(p0, p1, s1, max_tolerance, max_scatter):
    """Whether the segment ending at s1 continues the segment (p0, p1)."""
    dz0 = p1[2] - p0[2]
    if dz0 == 0:
        return False
    r = 1 / dz0
    tx = (p1[0] - p0[0]) * r
    ty = (p1[1] - p0[1]) * r
    d = s1[2] - p0[2]
    dx = tx * d + p0[0] - s1[0]
    if abs(dx) >= max_tolerance[0]:
        return False
    dy = ty * d + p0[1] - s1[1]
    if abs(dy) >= max_tolerance[1]:
        return False
    dz1 = s1[2] - p1[2]
    if dz1 == 0:
        return False
    scatter = (dx * dx + dy * dy) * (1 / dz1) * (1 / dz1)
    return scatter < max_scatter


def _roots(segments, successors, weight_assignment_iterations, minimum_root_weight):
    weights = [0] * len(segments)
    with_successors = [s for s in range(len(segments)) if successors[s]]
    for _ in range(weight_assignment_iterations):
        for s in with_successors:
            weights[s] = 1 + max(weights[n] for n in successors[s])
    root = [False] * len(segments)
    for s in with_successors:
        root[s] = True
    for s in with_successors:
        for n in successors[s]:
            root[n] = False
    return [s for s in with_successors if root[s] and weights[s] >= minimum_root_weight]


def solve(
    event,
    max_slopes=(0.7, 0.7),
    max_tolerance=(0.4, 0.4),
    max_scatter=0.4,
    minimum_root_weight=1,
    weight_assignment_iterations=2,
    allowed_skip_modules=1,
    allow_cross_track=True,
    clone_ghost_killing=True,
):
    prefix = event["module_prefix_sum"]
    n = prefix[MODULES]
    # (id, (x, y, z)) in hit-list order; then each module's range sorted by x, stably.
    hits = [(i, (event["x"][i], event["y"][i], event["z"][i])) for i in range(n)]
    ranges = [(prefix[m], prefix[m + 1]) for m in range(MODULES)]
    for begin, end in ranges:
        hits[begin:end] = sorted(hits[begin:end], key=_x_key)

    windows = _windows(hits, ranges, n, max_slopes, allowed_skip_modules, allow_cross_track)
    segments, ends_at = _segments(hits, windows, n, max_slopes[1])

    successors = [[] for _ in segments]
    for index, (g, q) in enumerate(segments):
        upper_id = hits[g][0]
        position = next(i for i, hit in enumerate(hits) if hit[0] == upper_id)
        for p in ends_at[position]:
            p0 = hits[segments[p][0]][1]
            p1 = hits[segments[p][1]][1]
            if _continues(p0, p1, hits[q][1], max_tolerance, max_scatter):
                successors[p].append(index)

    roots = _roots(segments, successors, weight_assignment_iterations, minimum_root_weight)

    def paths(s):
        if not successors[s]:
            return [[segments[s][1]]]
        return [[segments[s][1]] + tail for n in successors[s] for tail in paths(n)]

    tracks = []
    for r in roots:
        shortest = sorted(paths(r), key=len)[0]
        tracks.append([hits[segments[r][0]][0]] + [hits[q][0] for q in shortest])

    if clone_ghost_killing:
        long_ids = {i for track in tracks if len(track) > 3 for i in track}
        tracks = [t for t in tracks if len(t) > 3 or not any(i in long_ids for i in t)]
    return tracks
