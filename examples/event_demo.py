"""Builds an Event from a small hand-made dictionary and prints what it holds."""

import trelmon

Event = trelmon.DetectorEvent.Event


def straight_line_event():
    """Three straight tracks crossing the first six modules, one hit per module each."""
    module_zs = [-280.0 + 25.0 * m for m in range(52)]
    tracks = [(0.0, 0.0, 0.02, 0.01), (5.0, -3.0, -0.01, 0.03), (-8.0, 4.0, 0.015, -0.02)]
    prefix, xs, ys, zs = [0], [], [], []
    for m, z in enumerate(module_zs):
        if m < 6:
            for x0, y0, tx, ty in tracks:
                xs.append(x0 + tx * (z - module_zs[0]))
                ys.append(y0 + ty * (z - module_zs[0]))
                zs.append(z)
        prefix.append(len(xs))
    return {"description": "three straight tracks", "montecarlo": None, "module_prefix_sum": prefix, "x": xs, "y": ys, "z": zs}


if __name__ == "__main__":
    event = Event(straight_line_event())
    print(f"{event.description}: {event.number_of_hits} hits in {len(event.modules)} modules")
    for module in event.modules[:6]:
        print(module)
