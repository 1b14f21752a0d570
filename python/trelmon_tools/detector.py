"""Geometry of the pixel vertex detector that the generator simulates.

Units are mm. The 52 modules are numbered along z and paired into 26 stations: module
``2 * s`` is the half of station ``s`` on the x < 0 side of the beam, module ``2 * s + 1`` the
half on the x > 0 side, a few mm further downstream. The halves overlap by a narrow band around
x = 0 so that tracks close to the vertical plane are still seen. Each half carries sensors on
both faces of its substrate, so its hits lie on two z planes just under a millimetre apart.
"""

from __future__ import annotations

import numpy as np

NUMBER_OF_MODULES = 52
NUMBER_OF_STATIONS = NUMBER_OF_MODULES // 2

#: Station centres along z: widely spaced upstream of the interaction region (for backward
#: tracks and vertexing), every 25 mm across it, and sparser again downstream.
STATION_Z = np.array(
    [
        -287.5,
        -262.5,
        -237.5,
        -212.5,
        -137.5,
        -62.5,
        -37.5,
        -12.5,
        12.5,
        37.5,
        62.5,
        87.5,
        112.5,
        137.5,
        162.5,
        187.5,
        212.5,
        237.5,
        262.5,
        325.0,
        400.0,
        495.0,
        600.0,
        650.0,
        700.0,
        750.0,
    ]
)

#: The two halves of a station sit this far either side of the station centre.
HALF_OFFSET = 2.5

#: The two sensor faces of a half module sit this far either side of its centre.
FACE_OFFSET = 0.35

#: Sensitive area of a half module: an annulus around the beam...
INNER_RADIUS = 5.1
OUTER_RADIUS = 40.0
#: ...cut at x = +OVERLAP (x < 0 half) and x = -OVERLAP (x > 0 half).
OVERLAP = 1.5

#: Centre of each module along z.
MODULE_Z = np.repeat(STATION_Z, 2) + np.tile([-HALF_OFFSET, HALF_OFFSET], NUMBER_OF_STATIONS)

#: Radiation length fraction a track crosses at each module it passes through (sensor,
#: readout chip, substrate and a share of the shielding foil).
MODULE_MATERIAL = 0.011

# Downstream trackers, used only to decide the reconstructibility flags.
UT_Z = 2500.0
UT_HALF_WIDTH = (750.0, 650.0)
UT_BEAM_HOLE = 35.0
MAGNET_Z = 5300.0
MAGNET_PT_KICK = 1200.0  # MeV
SCIFI_Z = 8500.0
SCIFI_HALF_WIDTH = (3000.0, 2400.0)
SCIFI_BEAM_HOLE = 110.0


def face_z(module: np.ndarray, y: np.ndarray, faces: int) -> np.ndarray:
    """z of the sensor face that a point at height ``y`` on ``module`` lies on.

    With two faces the sensors covering y >= 0 sit on the upstream face and those covering
    y < 0 on the downstream face.
    """
    z = MODULE_Z[module]
    if faces == 1:
        return z
    return z + np.where(y >= 0.0, -FACE_OFFSET, FACE_OFFSET)


def in_acceptance(module: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Whether the points (x, y) lie on the sensitive area of the given modules."""
    r2 = x * x + y * y
    on_annulus = (r2 >= INNER_RADIUS**2) & (r2 <= OUTER_RADIUS**2)
    on_side = np.where(np.asarray(module) % 2 == 0, x < OVERLAP, x > -OVERLAP)
    return on_annulus & on_side
