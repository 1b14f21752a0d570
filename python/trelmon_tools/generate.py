"""Synthetic events with Monte Carlo truth.

``generate_event(seed, index, **knobs)`` simulates one bunch crossing in the pixel vertex
detector of :mod:`trelmon_tools.detector` and returns it as an event dictionary: hits laid out
module by module (shuffled within each module) and a Monte Carlo table with one row per charged
particle that left a trace in the detector or is reconstructible downstream. Units are mm, MeV
and ns.

The simulation, in order:

* primary vertices in a luminous region of about 40 mm along z and 40 um across;
* charged primaries (pions, kaons, protons, electrons, muons) with a Tsallis transverse
  momentum spectrum, mostly forward (pseudorapidity 1.5 to 5.5) and some backward;
* long-lived strange hadrons (K0S, Lambda) and charm hadrons per collision, and beauty hadron
  pairs per event, decayed with their lifetimes into charged and neutral daughters, chains
  included (B -> D -> K0S -> pi pi);
* straight-line propagation through the modules with momentum-dependent multiple scattering
  at each module crossed, per-hit efficiency and Gaussian hit resolution;
* noise hits spread uniformly over the sensors, and at least one hit on every module.

Event ``index`` of the sample with seed ``seed`` draws every random number from its own
``numpy.random.Generator``, seeded with ``SeedSequence(seed, spawn_key=(index,))`` and read in
a fixed order: the event depends on the pair (seed, index) and the knobs alone, never on the
events generated beside it, and samples of different seeds share no event. The arithmetic runs
over many events at once (:func:`generate_columns`), which is where the speed comes from; the
random draws stay per event.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Iterator
from dataclasses import dataclass, fields
from typing import Any

import numpy as np

from . import _native
from . import detector as det
from .files import int_list, no_collection
from .particle_data import BEAUTY, CHARM, DECAYS, SPECIES, STRANGE, TRACKED, conjugate

__all__ = [
    "MC_COLUMNS",
    "EventColumns",
    "generate_columns",
    "generate_columns_parallel",
    "generate_event",
    "generate_events",
]

#: Columns of the Monte Carlo table, in the order of each particle row.
MC_COLUMNS = (
    "key",
    "pid",
    "p",
    "pt",
    "eta",
    "phi",
    "charge",
    "hits",
    "isLong",
    "isDown",
    "hasVelo",
    "hasUT",
    "hasScifi",
    "fromBeautyDecay",
    "fromCharmDecay",
    "fromStrangeDecay",
)

_C_LIGHT = 299.792458  # mm/ns

# Origin flags carried by decay products.
_FROM_BEAUTY = 1
_FROM_CHARM = 2
_FROM_STRANGE = 4

# Primary charged species and their shares.
_PRIMARY_CODES = np.array([211, 321, 2212, 11, 13])
_PRIMARY_SHARES = np.array([0.74, 0.13, 0.08, 0.035, 0.015])

# Luminous region.
_BEAM_SPOT_XY = 0.040
_BEAM_SPOT_Z = 40.0
_BEAM_SPOT_T = 0.19

_TIME_RESOLUTION = 0.050
_NOISE_TIME_SPREAD = 2.0

# Tsallis spectra (temperature in MeV, exponent) by kind of hadron.
_LIGHT_SPECTRUM = (130.0, 7.0)
_CHARM_SPECTRUM = (450.0, 6.0)
_BEAUTY_SPECTRUM = (1100.0, 6.0)

# Pseudorapidity ranges: forward, backward, and the share of forward particles.
_LIGHT_ETA = ((1.5, 5.5), (-5.0, -1.5), 0.7)
_BEAUTY_ETA = ((1.8, 5.2), (-4.5, -1.8), 1.0)

_UNSTABLE = frozenset(code for code, s in SPECIES.items() if s.ctau is not None)
_UNSTABLE_CODES = np.array(sorted(_UNSTABLE))
_TRACKED_CODES = np.array(sorted(TRACKED))


# Per-code lookups: index by absolute code.
_CODE_LIMIT = max(SPECIES) + 1
_MASS = np.zeros(_CODE_LIMIT)
_CHARGE = np.zeros(_CODE_LIMIT, dtype=np.int64)
for _code, _species in SPECIES.items():
    _MASS[_code] = _species.mass
    _CHARGE[_code] = _species.charge

# Uniforms each decaying particle draws: the mode, the intermediate masses of up to four
# daughters, a direction per two-body split, and the proper decay length.
_MAX_DAUGHTERS = max(len(d) for modes in DECAYS.values() for _, d in modes)
_U_MODE = 0
_U_MASSES = 1
_U_DIRECTIONS = _U_MASSES + _MAX_DAUGHTERS - 2
_U_LIFETIME = _U_DIRECTIONS + 2 * (_MAX_DAUGHTERS - 1)
_DECAY_UNIFORMS = _U_LIFETIME + 1

# Uniforms each produced particle draws: species, sign, pT, forward or backward, eta, phi.
_PRODUCTION_UNIFORMS = 6


@dataclass
class _Particles:
    """Struct of arrays: one entry per particle, grouped by event."""

    pid: np.ndarray
    px: np.ndarray
    py: np.ndarray
    pz: np.ndarray
    ox: np.ndarray  # origin vertex
    oy: np.ndarray
    oz: np.ndarray
    ot: np.ndarray  # origin time
    flags: np.ndarray  # _FROM_* bits
    event: np.ndarray  # index of the event in its batch

    def __len__(self) -> int:
        return len(self.pid)

    def take(self, index) -> _Particles:
        return _Particles(*(getattr(self, f.name)[index] for f in fields(self)))

    @staticmethod
    def concat(parts: list[_Particles]) -> _Particles:
        return _Particles(
            *(np.concatenate([getattr(p, f.name) for p in parts]) for f in fields(_Particles))
        )

    def by_event(self) -> _Particles:
        """Grouped by event, keeping the order within each event."""
        return self.take(np.argsort(self.event, kind="stable"))


def _masses(pid: np.ndarray) -> np.ndarray:
    return _MASS[np.abs(pid)]


def _charges(pid: np.ndarray) -> np.ndarray:
    out = _CHARGE[np.abs(pid)]
    return np.where(pid > 0, out, -out)


def _per_event(rngs, counts, draw) -> np.ndarray:
    """``draw(rng, count)`` for each event's generator, concatenated along the first axis."""
    return np.concatenate([draw(rng, int(c)) for rng, c in zip(rngs, counts, strict=True)])


def _uniforms(rngs, counts, width: int) -> np.ndarray:
    return _per_event(rngs, counts, lambda rng, c: rng.random((c, width)))


@functools.cache
def _pt_table(mass: float, temperature: float, exponent: float) -> tuple[np.ndarray, np.ndarray]:
    """Inverse-CDF table of f(pT) ~ pT (1 + (mT - m) / (n T))^-n."""
    pt = np.concatenate([[0.0], np.geomspace(1.0, 2.0e5, 4000)])
    mt = np.sqrt(pt * pt + mass * mass)
    density = pt * (1.0 + (mt - mass) / (exponent * temperature)) ** (-exponent)
    cdf = np.concatenate([[0.0], np.cumsum(0.5 * (density[1:] + density[:-1]) * np.diff(pt))])
    return cdf / cdf[-1], pt


def _sample_pt(u: np.ndarray, pid: np.ndarray, spectrum: tuple[float, float]) -> np.ndarray:
    pt = np.empty(len(pid))
    codes = np.abs(pid)
    for code in np.unique(codes):
        cdf, grid = _pt_table(SPECIES[int(code)].mass, *spectrum)
        sel = codes == code
        pt[sel] = np.interp(u[sel], cdf, grid)
    return pt


def _choose(u: np.ndarray, codes, shares) -> np.ndarray:
    """Codes drawn with the given shares, by inverting the cumulative shares."""
    cum = np.cumsum(shares)
    index = np.searchsorted(cum / cum[-1], u, side="right")
    return np.asarray(codes)[np.minimum(index, len(codes) - 1)]


def _signs(u: np.ndarray) -> np.ndarray:
    return np.where(u < 0.5, 1, -1)


def _produce(u, pid, vertex, pv, event, spectrum, eta_ranges) -> _Particles:
    """Particles of the given codes made at the given primary vertices; ``u`` holds each
    particle's production uniforms."""
    n = len(pid)
    pt = _sample_pt(u[:, 2], pid, spectrum)
    (flo, fhi), (blo, bhi), forward_share = eta_ranges
    v = u[:, 4]
    eta = np.where(u[:, 3] < forward_share, flo + v * (fhi - flo), blo + v * (bhi - blo))
    phi = -math.pi + u[:, 5] * (2.0 * math.pi)
    return _Particles(
        pid=pid,
        px=pt * np.cos(phi),
        py=pt * np.sin(phi),
        pz=pt * np.sinh(eta),
        ox=pv[0][vertex],
        oy=pv[1][vertex],
        oz=pv[2][vertex],
        ot=pv[3][vertex],
        flags=np.zeros(n, dtype=np.int64),
        event=event,
    )


def _isotropic(u1: np.ndarray, u2: np.ndarray):
    cos_theta = 2.0 * u1 - 1.0
    sin_theta = np.sqrt(1.0 - cos_theta * cos_theta)
    phi = 2.0 * math.pi * u2
    return sin_theta * np.cos(phi), sin_theta * np.sin(phi), cos_theta


def _two_body_momentum(m, m1, m2):
    arg = (m * m - (m1 + m2) ** 2) * (m * m - (m1 - m2) ** 2)
    return np.sqrt(np.maximum(arg, 0.0)) / (2.0 * m)


def _boost(e, px, py, pz, pe, ppx, ppy, ppz, pm):
    """Four-momenta (e, p) given in the rest frame of a system with four-momentum
    (pe, pp) and mass pm, expressed in the frame where the system has that momentum."""
    gamma = pe / pm
    bx, by, bz = ppx / pe, ppy / pe, ppz / pe
    b2 = bx * bx + by * by + bz * bz
    bp = bx * px + by * py + bz * pz
    with np.errstate(invalid="ignore", divide="ignore"):
        g2 = np.where(b2 > 0.0, (gamma - 1.0) / b2, 0.0)
    k = g2 * bp + gamma * e
    return gamma * (e + bp), px + k * bx, py + k * by, pz + k * bz


def _decay_at_rest(u: np.ndarray, mass: float, daughters: np.ndarray):
    """Momenta of ``daughters`` (masses) in the rest frame of parents of ``mass``, one per row
    of the decay uniforms ``u``.

    Sequential two-body splits with intermediate masses drawn uniformly between their
    kinematic limits; returns arrays of shape (n, k) for e, px, py, pz.
    """
    n, k = len(u), len(daughters)
    spare = mass - daughters.sum()
    cum = np.cumsum(daughters)
    sub = np.empty((n, k))  # sub[:, j]: mass of the system of daughters 0..j
    sub[:, 0] = daughters[0]
    sub[:, k - 1] = mass
    if k > 2:
        ordered = np.sort(u[:, _U_MASSES : _U_MASSES + k - 2], axis=1)
        sub[:, 1 : k - 1] = cum[1 : k - 1] + ordered * spare
    out = np.zeros((4, n, k))
    # The system of daughters 0..j in the parent frame, starting from the parent at rest.
    se, sx, sy, sz = np.full(n, mass), np.zeros(n), np.zeros(n), np.zeros(n)
    for j in range(k - 1, 0, -1):
        q = _two_body_momentum(sub[:, j], sub[:, j - 1], daughters[j])
        column = _U_DIRECTIONS + 2 * (k - 1 - j)
        ux, uy, uz = _isotropic(u[:, column], u[:, column + 1])
        de = np.sqrt(q * q + daughters[j] ** 2)
        re = np.sqrt(q * q + sub[:, j - 1] ** 2)
        out[:, :, j] = _boost(de, q * ux, q * uy, q * uz, se, sx, sy, sz, sub[:, j])
        se, sx, sy, sz = _boost(re, -q * ux, -q * uy, -q * uz, se, sx, sy, sz, sub[:, j])
    out[:, :, 0] = se, sx, sy, sz
    return out


@functools.cache
def _mode_table(code: int):
    """Cumulative weights of the decay modes and, per mode, the daughters' codes, their
    conjugates, their masses and the origin bit they carry."""
    modes = DECAYS[code]
    weights = np.cumsum([w for w, _ in modes])
    bit = (
        (_FROM_BEAUTY if code in BEAUTY else 0)
        | (_FROM_CHARM if code in CHARM else 0)
        | (_FROM_STRANGE if code in STRANGE else 0)
    )
    daughters = [
        (
            np.array(d),
            np.array([conjugate(c) for c in d]),
            np.array([SPECIES[abs(c)].mass for c in d]),
        )
        for _, d in modes
    ]
    return weights / weights[-1], daughters, bit


def _decay(rng, parents: _Particles) -> _Particles:
    """Decay every particle of ``parents`` once with uniforms from ``rng``."""
    return _decay_with(rng.random((len(parents), _DECAY_UNIFORMS)), parents)


def _decay_with(u: np.ndarray, parents: _Particles) -> _Particles:
    """Decay every particle of ``parents`` once, with one row of ``u`` per parent; returns
    all daughters, grouped by event."""
    codes = np.abs(parents.pid)
    results = []
    for code in np.unique(codes):
        code = int(code)
        species = SPECIES[code]
        cumulative, modes, bit = _mode_table(code)
        of_code = np.flatnonzero(codes == code)
        mode = np.minimum(
            np.searchsorted(cumulative, u[of_code, _U_MODE], side="right"), len(modes) - 1
        )
        for m, (pids, conj, dmass) in enumerate(modes):
            idx = of_code[mode == m]
            if len(idx) == 0:
                continue
            par = parents.take(idx)
            pu = u[idx]
            k = len(pids)
            e, px, py, pz = _decay_at_rest(pu, species.mass, dmass)
            pe = np.sqrt(par.px**2 + par.py**2 + par.pz**2 + species.mass**2)
            rep = functools.partial(np.repeat, repeats=k)  # one value per daughter
            _, dpx, dpy, dpz = _boost(
                e.ravel(),
                px.ravel(),
                py.ravel(),
                pz.ravel(),
                rep(pe),
                rep(par.px),
                rep(par.py),
                rep(par.pz),
                species.mass,
            )
            # Flight: L = (p / m) c tau * Exp(1); time of flight L / (beta c) = (E / m) c tau ...
            proper = species.ctau * -np.log1p(-pu[:, _U_LIFETIME])
            flight_x = par.px / species.mass * proper
            flight_y = par.py / species.mass * proper
            flight_z = par.pz / species.mass * proper
            flight_t = pe / species.mass * proper / _C_LIGHT
            particle = (par.pid > 0)[:, None]
            results.append(
                _Particles(
                    pid=np.where(particle, pids[None, :], conj[None, :]).ravel(),
                    px=dpx,
                    py=dpy,
                    pz=dpz,
                    ox=rep(par.ox + flight_x),
                    oy=rep(par.oy + flight_y),
                    oz=rep(par.oz + flight_z),
                    ot=rep(par.ot + flight_t),
                    flags=rep(par.flags | bit),
                    event=rep(par.event),
                )
            )
    return _Particles.concat(results).by_event()


def _propagate(particles: _Particles, rngs, hit_efficiency, faces):
    """Follow tracked particles through the modules.

    The crossings of the unscattered line decide where a particle meets material; the kicks it
    gets there move its later crossings by kick * (z_later - z_kick); the scattered positions
    decide the hits. (A kick at a module the scattered track just misses, or the reverse,
    changes nothing measurable.) Each event's generator in ``rngs`` draws two normal kicks
    per crossing of its particles, then a uniform per accepted scattered position for the hit
    efficiency. The flights themselves, particle by particle and module by module, run in
    ``trelmon_tools._native``.

    Returns the crossings that leave a hit, as (particle index, step) arrays in particle order,
    their positions, and the state after the detector (x, y, z, tx, ty) for the downstream
    acceptance.
    """
    p2 = particles.px**2 + particles.py**2 + particles.pz**2
    p = np.sqrt(p2)
    mass = _masses(particles.pid)
    energy = np.sqrt(p2 + mass * mass)
    with np.errstate(divide="ignore", invalid="ignore"):
        pz = np.where(np.abs(particles.pz) > 1e-9 * p, particles.pz, 1e-9 * p + 1e-300)
        tx = particles.px / pz
        ty = particles.py / pz
        # Multiple scattering angle per unit sqrt(material): 13.6 MeV / (beta c p).
        ms_scale = np.where(p > 0.0, 13.6 * energy / np.maximum(p2, 1e-300), 0.0)
        inv_speed = np.where(p > 0.0, energy / (np.maximum(p, 1e-300) * _C_LIGHT), 0.0)
    lines = (particles.ox, particles.oy, particles.oz, tx, ty, particles.pz)
    geometry = (
        faces,
        det.INNER_RADIUS**2,
        det.OUTER_RADIUS**2,
        det.OVERLAP,
        det.FACE_OFFSET,
    )

    def per_event(part):
        return np.bincount(part_event[part], minlength=len(rngs))

    part_event = particles.event
    slope2 = 1.0 + tx * tx + ty * ty
    material = det.MODULE_MATERIAL * np.sqrt(slope2)
    theta0 = ms_scale * np.sqrt(material) * (1.0 + 0.038 * np.log(material))
    part, step = _int64s(*_native.flight_crossings(*lines, det.MODULE_Z, geometry))
    normals = _per_event(rngs, per_event(part), lambda rng, c: rng.standard_normal((c, 2)))
    kicks = theta0[part] * normals.T
    out = _native.flight_hits(
        *lines,
        det.MODULE_Z,
        geometry,
        part,
        step,
        kicks[0],
        kicks[1],
        slope2,
        inv_speed,
        particles.ot,
    )
    part, step, module = _int64s(*out[:3])
    x, y, z, t, *state = (np.frombuffer(b, dtype=np.float64) for b in out[3:])
    seen = _per_event(rngs, per_event(part), lambda rng, c: rng.random(c)) < hit_efficiency
    crossings = tuple(column[seen] for column in (part, step, module, x, y, z, t))
    return crossings, tuple(state)


def _int64s(*columns) -> list[np.ndarray]:
    return [np.frombuffer(b, dtype=np.int64) for b in columns]


def _downstream_flags(particles: _Particles, state, charge):
    """(hasUT, hasScifi) from a straight line to the UT and a kick in the magnet."""
    x, y, z, tx, ty = state
    p = np.sqrt(particles.px**2 + particles.py**2 + particles.pz**2)
    forward = particles.pz > 0.0
    x_ut = x + tx * (det.UT_Z - z)
    y_ut = y + ty * (det.UT_Z - z)
    has_ut = (
        forward
        & (particles.oz < det.UT_Z - 100.0)
        & (p > 300.0)
        & _in_station(x_ut, y_ut, det.UT_HALF_WIDTH, det.UT_BEAM_HOLE)
    )
    with np.errstate(divide="ignore"):
        tx_after = tx + charge * det.MAGNET_PT_KICK / np.maximum(p, 1e-300)
    before_magnet = particles.oz < det.MAGNET_Z
    x_mag = x + tx * (det.MAGNET_Z - z)
    x_t = np.where(
        before_magnet, x_mag + tx_after * (det.SCIFI_Z - det.MAGNET_Z), x + tx * (det.SCIFI_Z - z)
    )
    y_t = y + ty * (det.SCIFI_Z - z)
    has_scifi = (
        forward
        & (particles.oz < det.SCIFI_Z - 1000.0)
        & (p > 1000.0)
        & _in_station(x_t, y_t, det.SCIFI_HALF_WIDTH, det.SCIFI_BEAM_HOLE)
    )
    return has_ut, has_scifi


def _in_station(x, y, half_width, beam_hole):
    """Whether points (x, y) fall on a downstream station: inside its frame, outside its hole."""
    return (np.abs(x) < half_width[0]) & (np.abs(y) < half_width[1]) & (x**2 + y**2 > beam_hole**2)


def _check_seed(seed) -> None:
    # None would let numpy draw a fresh seed: an event nobody could make again.
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an integer, not {type(seed).__name__}")
    if seed < 0:
        raise ValueError(f"seed must be non-negative, got {seed}")


def _check_count(name: str, value) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {value!r}")


def _check_knobs(
    n_collisions,
    particles_per_collision,
    strange_per_collision,
    charm_per_collision,
    beauty_pairs,
    noise_fraction,
    hit_efficiency,
    hit_resolution,
    sensor_faces,
    with_time,
):
    def rate(name, value):
        if not (isinstance(value, (int, float, np.number)) and math.isfinite(value) and value >= 0):
            raise ValueError(f"{name} must be a non-negative number, got {value!r}")

    _check_count("n_collisions", n_collisions)
    _check_count("beauty_pairs", beauty_pairs)
    rate("particles_per_collision", particles_per_collision)
    rate("strange_per_collision", strange_per_collision)
    rate("charm_per_collision", charm_per_collision)
    rate("hit_resolution", hit_resolution)
    rate("noise_fraction", noise_fraction)
    if not noise_fraction < 1.0:
        raise ValueError(f"noise_fraction must be below 1, got {noise_fraction!r}")
    rate("hit_efficiency", hit_efficiency)
    if not hit_efficiency <= 1.0:
        raise ValueError(f"hit_efficiency must be between 0 and 1, got {hit_efficiency!r}")
    if sensor_faces not in (1, 2):
        raise ValueError(f"sensor_faces must be 1 or 2, got {sensor_faces!r}")


@dataclass(frozen=True)
class _Knobs:
    n_collisions: int = 5
    particles_per_collision: float = 50.0
    strange_per_collision: float = 3.0
    charm_per_collision: float = 0.3
    beauty_pairs: int = 1
    noise_fraction: float = 0.03
    hit_efficiency: float = 0.985
    hit_resolution: float = 0.010
    sensor_faces: int = 2
    with_time: bool = False

    def __post_init__(self):
        _check_knobs(**{f.name: getattr(self, f.name) for f in fields(self)})


@dataclass
class EventColumns:
    """Consecutive events as flat columns: what the Parquet writer stores, with no Python
    lists on the way.

    Per event ``e``: hits ``hit_offsets[e]:hit_offsets[e + 1]`` of ``x``, ``y``, ``z``, ``t``
    (``t`` is None for events without times), prefix sums ``module_prefix_sum[e]`` (53 each),
    Monte Carlo rows ``particle_offsets[e]:particle_offsets[e + 1]`` of ``mc`` (one array per
    name of ``MC_COLUMNS`` but "hits"), and for particle ``r`` the hit positions
    ``mc_hits[mc_hit_offsets[r]:mc_hit_offsets[r + 1]]``.
    """

    descriptions: list[str]
    module_prefix_sum: np.ndarray  # (events, 53) int64
    hit_offsets: np.ndarray
    x: np.ndarray
    y: np.ndarray
    z: np.ndarray
    t: np.ndarray | None
    particle_offsets: np.ndarray
    mc: dict[str, np.ndarray]
    mc_hit_offsets: np.ndarray
    mc_hits: np.ndarray

    def __len__(self) -> int:
        return len(self.descriptions)

    def to_dicts(self) -> list[dict]:
        """The events as event dictionaries of plain Python lists (JSON-ready)."""
        with no_collection():
            return self._dicts()

    def _dicts(self) -> list[dict]:
        hit_bounds = self.hit_offsets.tolist()
        prefixes = self.module_prefix_sum.tolist()
        particle_bounds = self.particle_offsets.tolist()
        positions = int_list(self.mc_hits)
        hb = self.mc_hit_offsets.tolist()
        hit_lists = list(map(positions.__getitem__, map(slice, hb[:-1], hb[1:])))
        columns = [hit_lists if name == "hits" else self.mc[name].tolist() for name in MC_COLUMNS]
        rows = list(map(list, zip(*columns, strict=True)))
        names = list(MC_COLUMNS)
        x, y, z, t = self.x, self.y, self.z, self.t
        events = []
        for e, description in enumerate(self.descriptions):
            lo, hi = hit_bounds[e], hit_bounds[e + 1]
            event = {
                "description": description,
                "montecarlo": {
                    "description": names.copy(),
                    "particles": rows[particle_bounds[e] : particle_bounds[e + 1]],
                },
                "module_prefix_sum": prefixes[e],
                "x": x[lo:hi].tolist(),
                "y": y[lo:hi].tolist(),
                "z": z[lo:hi].tolist(),
            }
            if t is not None:
                event["t"] = t[lo:hi].tolist()
            events.append(event)
        return events


def _offsets(counts) -> np.ndarray:
    return np.concatenate([[0], np.cumsum(counts, dtype=np.int64)])


def _generate(seed: int, start: int, count: int, knobs: _Knobs) -> EventColumns:
    """Events ``start`` to ``start + count - 1`` of the sample with ``seed``."""
    nmod = det.NUMBER_OF_MODULES
    rngs = [
        np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(start + i,)))
        for i in range(count)
    ]
    ncol = knobs.n_collisions
    events = np.arange(count)

    # Per event: primary vertices, then the particle counts of each collision.
    pv_draws = np.array([rng.standard_normal((4, ncol)) for rng in rngs]).reshape(count, 4, ncol)
    scale = np.array([_BEAM_SPOT_XY, _BEAM_SPOT_XY, _BEAM_SPOT_Z, _BEAM_SPOT_T])
    pv = (pv_draws * scale[None, :, None]).transpose(1, 0, 2).reshape(4, count * ncol)
    means = np.array(
        [knobs.particles_per_collision, knobs.strange_per_collision, knobs.charm_per_collision]
    )
    per_collision = np.array([rng.poisson(means[:, None], (3, ncol)) for rng in rngs]).reshape(
        count, 3, ncol
    )
    pairs = knobs.beauty_pairs if ncol else 0
    vertex_ids = np.arange(count * ncol)
    groups = []  # (kind, vertex index) per produced particle, kinds 0..3 in event order
    for k in range(3):
        vertex = np.repeat(vertex_ids, per_collision[:, k, :].ravel())
        groups.append((k, vertex))
    groups.append((3, np.repeat(events * ncol, 2 * pairs)))
    kind = np.concatenate([np.full(len(v), k) for k, v in groups])
    vertex = np.concatenate([v for _, v in groups]).astype(np.int64)
    event = vertex // max(ncol, 1)
    order = np.argsort(event, kind="stable")
    kind, vertex, event = kind[order], vertex[order], event[order]
    u = _uniforms(rngs, np.bincount(event, minlength=count), _PRODUCTION_UNIFORMS)

    pid = np.zeros(len(kind), dtype=np.int64)
    sel = kind == 0
    pid[sel] = _choose(u[sel, 0], _PRIMARY_CODES, _PRIMARY_SHARES) * _signs(u[sel, 1])
    sel = kind == 1
    pid[sel] = np.where(u[sel, 0] < 0.65, 310, 3122 * _signs(u[sel, 1]))
    sel = kind == 2
    pid[sel] = _choose(u[sel, 0], [421, 411, 431, 4122], [0.55, 0.25, 0.12, 0.08]) * _signs(
        u[sel, 1]
    )
    sel = kind == 3
    # Beauty comes in pairs of a particle and an antiparticle.
    pair_sign = np.where(np.arange(sel.sum()) % 2 == 0, 1, -1)
    pid[sel] = _choose(u[sel, 0], [511, 521, 531, 5122], [0.4, 0.4, 0.1, 0.1]) * pair_sign

    produced = []
    for k, spectrum, eta_ranges in (
        (0, _LIGHT_SPECTRUM, _LIGHT_ETA),
        (1, _LIGHT_SPECTRUM, _LIGHT_ETA),
        (2, _CHARM_SPECTRUM, _LIGHT_ETA),
        (3, _BEAUTY_SPECTRUM, _BEAUTY_ETA),
    ):
        sel = np.flatnonzero(kind == k)
        produced.append(
            (sel, _produce(u[sel], pid[sel], vertex[sel], pv, event[sel], spectrum, eta_ranges))
        )
    # Back in production order: prompt particles are tracked, the others decay.
    index = np.concatenate([s for s, _ in produced])
    all_particles = _Particles.concat([p for _, p in produced]).take(np.argsort(index))
    prompt = all_particles.take(kind == 0)
    tracked = [prompt]
    pending = all_particles.take(kind != 0)
    while len(pending):
        decay_u = _uniforms(rngs, np.bincount(pending.event, minlength=count), _DECAY_UNIFORMS)
        daughters = _decay_with(decay_u, pending)
        codes = np.abs(daughters.pid)
        tracked.append(daughters.take(np.isin(codes, _TRACKED_CODES)))
        pending = daughters.take(np.isin(codes, _UNSTABLE_CODES))
    particles = _Particles.concat(tracked).by_event()
    charge = _charges(particles.pid)

    (h_part, h_step, h_module, h_x, h_y, h_z, h_t), state = _propagate(
        particles, rngs, knobs.hit_efficiency, knobs.sensor_faces
    )
    h_event = particles.event[h_part]
    track_hits = np.bincount(h_event, minlength=count)
    smear = _per_event(rngs, track_hits, lambda rng, c: rng.standard_normal((c, 3)))
    h_x = h_x + knobs.hit_resolution * smear[:, 0]
    h_y = h_y + knobs.hit_resolution * smear[:, 1]
    h_t = h_t + _TIME_RESOLUTION * smear[:, 2]

    # Reconstructibility.
    n_hits = np.bincount(h_part, minlength=len(particles))
    has_velo = n_hits >= 3
    has_ut, has_scifi = _downstream_flags(particles, state, charge)
    keep = (n_hits > 0) | has_ut | has_scifi

    # Noise, then one noise hit on each module still empty, per event.
    occupied = np.bincount(h_event * nmod + h_module, minlength=count * nmod).reshape(count, nmod)
    ratio = knobs.noise_fraction / (1.0 - knobs.noise_fraction)
    noise_modules = []
    for e, rng in enumerate(rngs):
        drawn = rng.integers(0, nmod, rng.poisson(ratio * int(track_hits[e])))
        empty = np.flatnonzero(occupied[e] + np.bincount(drawn, minlength=nmod) == 0)
        noise_modules.append(np.concatenate([drawn, empty]))
    noise_counts = np.array([len(m) for m in noise_modules], dtype=np.int64)
    noise_module = np.concatenate(noise_modules).astype(np.int64)
    noise_event = np.repeat(events, noise_counts)
    nu = _uniforms(rngs, noise_counts, 3)
    r = np.sqrt(det.INNER_RADIUS**2 + nu[:, 0] * (det.OUTER_RADIUS**2 - det.INNER_RADIUS**2))
    phi = 0.5 * math.pi + nu[:, 1] * math.pi
    phi = np.where(noise_module % 2 == 0, phi, phi - math.pi)
    noise_x, noise_y = r * np.cos(phi), r * np.sin(phi)
    noise_t = -_NOISE_TIME_SPREAD + nu[:, 2] * (2.0 * _NOISE_TIME_SPREAD)

    hit_event = np.concatenate([h_event, noise_event])
    module = np.concatenate([h_module, noise_module])
    xs = np.concatenate([h_x, noise_x])
    ys = np.concatenate([h_y, noise_y])
    zs = np.concatenate([h_z, det.face_z(noise_module, noise_y, knobs.sensor_faces)])
    ts = np.concatenate([h_t, noise_t])

    # Lay each event's hits out module by module, shuffled within each module.
    hit_counts = track_hits + noise_counts
    hit_offsets = _offsets(hit_counts)
    # Each event's permutation keys its own hits, taken in the order above: list the hits by
    # (event, key), then a stable sort by (event, module) keeps that order within a module.
    shuffle = _per_event(rngs, hit_counts, lambda rng, c: rng.permutation(c))
    order, position = _int64s(*_native.hit_layout(hit_event, module, shuffle, hit_offsets))
    per_module = np.bincount(hit_event * nmod + module, minlength=count * nmod)
    prefix = np.zeros((count, nmod + 1), dtype=np.int64)
    prefix[:, 1:] = np.cumsum(per_module.reshape(count, nmod), axis=1)

    # Each kept particle's hits, in the order it crossed the modules.
    by_particle = np.arange(len(h_part))  # crossings come in particle and flight order
    kept = np.flatnonzero(keep)
    kept_hits = keep[h_part[by_particle]]
    mc_hits = position[by_particle][kept_hits]
    mc_hit_offsets = _offsets(n_hits[kept])

    p_vec = particles.take(kept)
    kept_event = p_vec.event
    particle_offsets = _offsets(np.bincount(kept_event, minlength=count))
    # Keys count from 1 within each event.
    mc_key = np.arange(len(kept)) - particle_offsets[kept_event] + 1
    pt = np.hypot(p_vec.px, p_vec.py)
    p = np.sqrt(pt * pt + p_vec.pz**2)
    eta = np.arcsinh(np.divide(p_vec.pz, pt, out=np.full(len(pt), np.inf), where=pt > 0))
    flags = p_vec.flags
    as_int = lambda a: a.astype(np.int64)  # noqa: E731
    mc = {
        "key": mc_key.astype(np.int64),
        "pid": p_vec.pid.astype(np.int64),
        "p": p,
        "pt": pt,
        "eta": eta,
        "phi": np.arctan2(p_vec.py, p_vec.px),
        "charge": charge[kept].astype(np.int64),
        "isLong": as_int(has_velo[kept] & has_scifi[kept]),
        "isDown": as_int(has_ut[kept] & has_scifi[kept]),
        "hasVelo": as_int(has_velo[kept]),
        "hasUT": as_int(has_ut[kept]),
        "hasScifi": as_int(has_scifi[kept]),
        "fromBeautyDecay": as_int(flags & _FROM_BEAUTY != 0),
        "fromCharmDecay": as_int(flags & _FROM_CHARM != 0),
        "fromStrangeDecay": as_int(flags & _FROM_STRANGE != 0),
    }
    return EventColumns(
        descriptions=[
            f"trelmon_tools synthetic event: seed {seed}, event {start + i}, {ncol} collisions"
            for i in range(count)
        ],
        module_prefix_sum=prefix,
        hit_offsets=hit_offsets,
        x=xs[order],
        y=ys[order],
        z=zs[order],
        t=ts[order] if knobs.with_time else None,
        particle_offsets=particle_offsets,
        mc=mc,
        mc_hit_offsets=mc_hit_offsets,
        mc_hits=mc_hits,
    )


#: Events generated together: enough to spread numpy's per-call cost over many events, few
#: enough that the arrays of a batch stay in cache.
BATCH_EVENTS = 128


def generate_columns(
    n: int, seed: int, *, start: int = 0, batch: int = BATCH_EVENTS, **knobs: Any
) -> Iterator[EventColumns]:
    """Events ``start`` to ``start + n - 1`` of the sample with ``seed``, as
    :class:`EventColumns` of up to ``batch`` events each (the Parquet writer's input)."""
    _check_count("n", n)
    _check_count("start", start)
    _check_seed(seed)
    settings = _Knobs(**knobs)
    if isinstance(batch, bool) or not isinstance(batch, int) or batch < 1:
        raise ValueError(f"batch must be a positive integer, got {batch!r}")

    def batches():
        for first in range(start, start + n, batch):
            yield _generate(seed, first, min(batch, start + n - first), settings)

    return batches()


def generate_event(seed: int, index: int = 0, **knobs: Any) -> dict[str, Any]:
    """Simulate event ``index`` of the sample with ``seed`` and return its event dictionary.

    Args:
        seed: seed of the sample (a non-negative integer).
        index: position of the event in the sample; the event depends on (seed, index) and
            the knobs alone.
        n_collisions: number of proton-proton collisions (primary vertices) in the event
            (default 5).
        particles_per_collision: mean number of charged primaries per collision, over the
            pseudorapidity ranges 1.5..5.5 (70%) and -5..-1.5 (30%); Poisson distributed
            (default 50).
        strange_per_collision: mean number of K0S and Lambda hadrons per collision (3).
        charm_per_collision: mean number of charm hadrons per collision (0.3).
        beauty_pairs: number of beauty hadron pairs, made at the first collision (none in an
            event without collisions) (1).
        noise_fraction: expected fraction of all hits that are noise (0 <= f < 1) (0.03).
        hit_efficiency: probability that a particle crossing a sensor leaves a hit (0.985).
        hit_resolution: Gaussian resolution of each hit coordinate, in mm (0.010).
        sensor_faces: 2 puts each half module's hits on two z planes (sensors on both faces
            of the substrate), 1 on a single plane (2).
        with_time: add the "t" list (hit times in ns). Times are simulated either way, so the
            event with times equals the event without them plus "t".

    Returns:
        The event dictionary: "description", "montecarlo" (with "description", the column
        names of ``MC_COLUMNS``, and "particles"), "module_prefix_sum" (53 entries),
        "x", "y", "z" and, with ``with_time``, "t". Every module holds at least one hit.
    """
    _check_seed(seed)
    _check_count("index", index)
    settings = _Knobs(**knobs)
    return _generate(seed, int(index), 1, settings).to_dicts()[0]


def generate_events(n: int, seed: int, *, start: int = 0, **knobs: Any) -> list[dict[str, Any]]:
    """Events ``start`` to ``start + n - 1`` of the sample with ``seed``: event ``i`` equals
    ``generate_event(seed, i, **knobs)``, however the sample is cut."""
    batches = generate_columns(n, seed, start=start, **knobs)
    with no_collection():  # many containers, no cycles
        return [event for batch in batches for event in batch._dicts()]


def _generate_task(task) -> EventColumns:
    seed, start, count, settings = task
    return _generate(seed, start, count, settings)


def generate_columns_parallel(
    n: int,
    seed: int,
    *,
    start: int = 0,
    processes: int | None = None,
    batch: int = BATCH_EVENTS,
    **knobs: Any,
) -> Iterator[EventColumns]:
    """What :func:`generate_columns` yields, in the same order, made by ``processes`` worker
    processes (default: every processor this process may run on). Every event has its own
    random stream, so the events do not depend on the number of processes."""
    from .progress import available_processors

    _check_count("n", n)
    _check_count("start", start)
    _check_seed(seed)
    settings = _Knobs(**knobs)
    if isinstance(batch, bool) or not isinstance(batch, int) or batch < 1:
        raise ValueError(f"batch must be a positive integer, got {batch!r}")
    tasks = [
        (seed, first, min(batch, start + n - first), settings)
        for first in range(start, start + n, batch)
    ]
    workers = min(available_processors() if processes is None else processes, len(tasks))
    if workers <= 1:
        return map(_generate_task, tasks)

    def in_workers():
        import multiprocessing

        # A fresh server process forks the workers: never a copy of a threaded parent.
        context = multiprocessing.get_context("forkserver")
        with context.Pool(workers) as pool:
            yield from pool.imap(_generate_task, tasks)

    return in_workers()
