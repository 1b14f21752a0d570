"""Synthetic events with Monte Carlo truth.

``generate_event(seed, **knobs)`` simulates one bunch crossing in the pixel vertex detector of
:mod:`trelmon_tools.detector` and returns it as an event dictionary: hits laid out module by
module (shuffled within each module) and a Monte Carlo table with one row per charged particle
that left a trace in the detector or is reconstructible downstream. Units are mm, MeV and ns.

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

The same seed and knobs always give the same event: every random number comes from one
``numpy.random.Generator`` seeded with ``seed``, drawn in a fixed order.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, fields
from typing import Any

import numpy as np

from . import detector as det
from .particle_data import BEAUTY, CHARM, DECAYS, SPECIES, STRANGE, TRACKED, conjugate

__all__ = ["MC_COLUMNS", "generate_event", "generate_events"]

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


@dataclass
class _Particles:
    """Struct of arrays: one entry per particle."""

    pid: np.ndarray
    px: np.ndarray
    py: np.ndarray
    pz: np.ndarray
    ox: np.ndarray  # origin vertex
    oy: np.ndarray
    oz: np.ndarray
    ot: np.ndarray  # origin time
    flags: np.ndarray  # _FROM_* bits

    def __len__(self) -> int:
        return len(self.pid)

    def take(self, index) -> _Particles:
        return _Particles(*(getattr(self, f.name)[index] for f in fields(self)))

    @staticmethod
    def concat(parts: list[_Particles]) -> _Particles:
        return _Particles(
            *(np.concatenate([getattr(p, f.name) for p in parts]) for f in fields(_Particles))
        )


def _masses(pid: np.ndarray) -> np.ndarray:
    codes = np.abs(pid)
    out = np.empty(len(pid))
    for code in np.unique(codes):
        out[codes == code] = SPECIES[int(code)].mass
    return out


def _charges(pid: np.ndarray) -> np.ndarray:
    codes = np.abs(pid)
    out = np.zeros(len(pid), dtype=np.int64)
    for code in np.unique(codes):
        out[codes == code] = SPECIES[int(code)].charge
    return np.where(pid > 0, out, -out)


@functools.cache
def _pt_table(mass: float, temperature: float, exponent: float) -> tuple[np.ndarray, np.ndarray]:
    """Inverse-CDF table of f(pT) ~ pT (1 + (mT - m) / (n T))^-n."""
    pt = np.concatenate([[0.0], np.geomspace(1.0, 2.0e5, 4000)])
    mt = np.sqrt(pt * pt + mass * mass)
    density = pt * (1.0 + (mt - mass) / (exponent * temperature)) ** (-exponent)
    cdf = np.concatenate([[0.0], np.cumsum(0.5 * (density[1:] + density[:-1]) * np.diff(pt))])
    return cdf / cdf[-1], pt


def _sample_pt(rng: np.random.Generator, pid: np.ndarray, spectrum: tuple[float, float]):
    u = rng.random(len(pid))
    pt = np.empty(len(pid))
    codes = np.abs(pid)
    for code in np.unique(codes):
        cdf, grid = _pt_table(SPECIES[int(code)].mass, *spectrum)
        sel = codes == code
        pt[sel] = np.interp(u[sel], cdf, grid)
    return pt


def _sample_eta(rng: np.random.Generator, n: int, ranges) -> np.ndarray:
    (flo, fhi), (blo, bhi), forward_share = ranges
    forward = rng.random(n) < forward_share
    u = rng.random(n)
    return np.where(forward, flo + u * (fhi - flo), blo + u * (bhi - blo))


def _produce(rng, pid, vertex, pv, spectrum, eta_ranges) -> _Particles:
    """Particles of the given codes made at the given primary vertices."""
    n = len(pid)
    pt = _sample_pt(rng, pid, spectrum)
    eta = _sample_eta(rng, n, eta_ranges)
    phi = rng.uniform(-math.pi, math.pi, n)
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
    )


def _random_signs(rng, n: int) -> np.ndarray:
    return np.where(rng.random(n) < 0.5, 1, -1)


def _isotropic(rng, n: int):
    cos_theta = rng.uniform(-1.0, 1.0, n)
    sin_theta = np.sqrt(1.0 - cos_theta * cos_theta)
    phi = rng.uniform(0.0, 2.0 * math.pi, n)
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


def _decay_at_rest(rng, mass: float, daughters: np.ndarray, n: int):
    """Momenta of ``daughters`` (masses) in the rest frame of ``n`` parents of ``mass``.

    Sequential two-body splits with intermediate masses drawn uniformly between their
    kinematic limits; returns arrays of shape (n, k) for e, px, py, pz.
    """
    k = len(daughters)
    spare = mass - daughters.sum()
    cum = np.cumsum(daughters)
    sub = np.empty((n, k))  # sub[:, j]: mass of the system of daughters 0..j
    sub[:, 0] = daughters[0]
    sub[:, k - 1] = mass
    if k > 2:
        u = np.sort(rng.random((n, k - 2)), axis=1)
        sub[:, 1 : k - 1] = cum[1 : k - 1] + u * spare
    out = np.zeros((4, n, k))
    # The system of daughters 0..j in the parent frame, starting from the parent at rest.
    se, sx, sy, sz = np.full(n, mass), np.zeros(n), np.zeros(n), np.zeros(n)
    for j in range(k - 1, 0, -1):
        q = _two_body_momentum(sub[:, j], sub[:, j - 1], daughters[j])
        ux, uy, uz = _isotropic(rng, n)
        de = np.sqrt(q * q + daughters[j] ** 2)
        re = np.sqrt(q * q + sub[:, j - 1] ** 2)
        out[:, :, j] = _boost(de, q * ux, q * uy, q * uz, se, sx, sy, sz, sub[:, j])
        se, sx, sy, sz = _boost(re, -q * ux, -q * uy, -q * uz, se, sx, sy, sz, sub[:, j])
    out[:, :, 0] = se, sx, sy, sz
    return out


def _decay(rng, parents: _Particles) -> _Particles:
    """Decay every particle of ``parents`` once; returns all daughters."""
    codes = np.abs(parents.pid)
    results = []
    for code in np.unique(codes):
        code = int(code)
        species = SPECIES[code]
        modes = DECAYS[code]
        of_code = np.flatnonzero(codes == code)
        weights = np.array([w for w, _ in modes])
        mode = rng.choice(len(modes), size=len(of_code), p=weights / weights.sum())
        for m, (_, daughter_codes) in enumerate(modes):
            idx = of_code[mode == m]
            if len(idx) == 0:
                continue
            par = parents.take(idx)
            n, k = len(idx), len(daughter_codes)
            dmass = np.array([SPECIES[abs(d)].mass for d in daughter_codes])
            e, px, py, pz = _decay_at_rest(rng, species.mass, dmass, n)
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
            proper = species.ctau * rng.standard_exponential(n)
            flight_x = par.px / species.mass * proper
            flight_y = par.py / species.mass * proper
            flight_z = par.pz / species.mass * proper
            flight_t = pe / species.mass * proper / _C_LIGHT
            sign = np.where(par.pid > 0, 1, 0)[:, None]
            pids = np.array(daughter_codes)[None, :]
            conj = np.array([conjugate(d) for d in daughter_codes])[None, :]
            bit = (
                (_FROM_BEAUTY if code in BEAUTY else 0)
                | (_FROM_CHARM if code in CHARM else 0)
                | (_FROM_STRANGE if code in STRANGE else 0)
            )
            results.append(
                _Particles(
                    pid=np.where(sign == 1, pids, conj).ravel(),
                    px=dpx,
                    py=dpy,
                    pz=dpz,
                    ox=rep(par.ox + flight_x),
                    oy=rep(par.oy + flight_y),
                    oz=rep(par.oz + flight_z),
                    ot=rep(par.ot + flight_t),
                    flags=rep(par.flags | bit),
                )
            )
    return _Particles.concat(results)


def _propagate(rng, particles: _Particles, hit_efficiency, hit_resolution, faces):
    """Follow tracked particles through the modules.

    Works on (particle, module) matrices, modules in each particle's flight order. The
    crossings of the unscattered line decide where a particle meets material; the kicks it
    gets there move its later crossings by kick * (z_later - z_kick); the scattered positions
    decide the hits. (A kick at a module the scattered track just misses, or the reverse,
    changes nothing measurable.)

    Returns the hits as arrays (particle index, module, x, y, z, t, crossing order) and the
    state after the detector (x, y, z, tx, ty) for the downstream acceptance.
    """
    n, nmod = len(particles), det.NUMBER_OF_MODULES
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
    forward = (particles.pz >= 0.0)[:, None]
    steps = np.arange(nmod)
    module = np.where(forward, steps, nmod - 1 - steps)  # (n, nmod), in flight order
    ox, oy, oz = particles.ox[:, None], particles.oy[:, None], particles.oz[:, None]
    txc, tyc = tx[:, None], ty[:, None]

    zp = det.MODULE_Z[module]
    if faces == 2:
        zp = zp + np.where(oy + tyc * (zp - oz) >= 0.0, -det.FACE_OFFSET, det.FACE_OFFSET)
    ahead = np.where(forward, zp > oz, zp < oz)
    dz = zp - oz
    x = ox + txc * dz
    y = oy + tyc * dz

    def accepted(x, y):
        return ahead & det.in_acceptance(module, x, y)

    slope2 = 1.0 + tx * tx + ty * ty
    material = det.MODULE_MATERIAL * np.sqrt(slope2)
    theta0 = ms_scale * np.sqrt(material) * (1.0 + 0.038 * np.log(material))
    crossed = accepted(x, y)
    kicks = np.where(crossed, theta0[:, None], 0.0) * rng.standard_normal((2, n, nmod))
    # Exclusive running sums along the flight: kicks before each module.
    sum_k = np.cumsum(kicks, axis=2) - kicks
    sum_kz = np.cumsum(kicks * zp, axis=2) - kicks * zp
    x = x + zp * sum_k[0] - sum_kz[0]
    y = y + zp * sum_k[1] - sum_kz[1]

    seen = accepted(x, y) & (rng.random((n, nmod)) < hit_efficiency)
    part, step = np.nonzero(seen)
    count = len(part)
    smear = rng.normal(0.0, hit_resolution, (2, count))
    path = np.abs(dz[part, step]) * np.sqrt(slope2[part])
    t = particles.ot[part] + path * inv_speed[part] + rng.normal(0.0, _TIME_RESOLUTION, count)
    hits = (
        part,
        module[part, step],
        x[part, step] + smear[0],
        y[part, step] + smear[1],
        zp[part, step],
        t,
        step,
    )

    last = ahead[:, -1]
    state = (
        np.where(last, x[:, -1], particles.ox),
        np.where(last, y[:, -1], particles.oy),
        np.where(last, zp[:, -1], particles.oz),
        tx + kicks[0].sum(axis=1),
        ty + kicks[1].sum(axis=1),
    )
    return hits, state


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
        & (np.abs(x_ut) < det.UT_HALF_WIDTH[0])
        & (np.abs(y_ut) < det.UT_HALF_WIDTH[1])
        & (x_ut**2 + y_ut**2 > det.UT_BEAM_HOLE**2)
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
        & (np.abs(x_t) < det.SCIFI_HALF_WIDTH[0])
        & (np.abs(y_t) < det.SCIFI_HALF_WIDTH[1])
        & (x_t**2 + y_t**2 > det.SCIFI_BEAM_HOLE**2)
    )
    return has_ut, has_scifi


def _check_seed(seed) -> None:
    # None would let numpy draw a fresh seed: an event nobody could make again.
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an integer, not {type(seed).__name__}")
    if seed < 0:
        raise ValueError(f"seed must be non-negative, got {seed}")


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
):
    def count(name, value):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
            raise ValueError(f"{name} must be a non-negative integer, got {value!r}")

    def rate(name, value):
        if not (isinstance(value, (int, float, np.number)) and math.isfinite(value) and value >= 0):
            raise ValueError(f"{name} must be a non-negative number, got {value!r}")

    count("n_collisions", n_collisions)
    count("beauty_pairs", beauty_pairs)
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


def generate_event(
    seed: int,
    *,
    n_collisions: int = 5,
    particles_per_collision: float = 50.0,
    strange_per_collision: float = 3.0,
    charm_per_collision: float = 0.3,
    beauty_pairs: int = 1,
    noise_fraction: float = 0.03,
    hit_efficiency: float = 0.985,
    hit_resolution: float = 0.010,
    sensor_faces: int = 2,
    with_time: bool = False,
) -> dict:
    """Simulate one event and return its event dictionary.

    Args:
        seed: seed of the random number generator (a non-negative integer); the same seed and
            knobs give the same event.
        n_collisions: number of proton-proton collisions (primary vertices) in the event.
        particles_per_collision: mean number of charged primaries per collision, over the
            pseudorapidity ranges 1.5..5.5 (70%) and -5..-1.5 (30%); Poisson distributed.
        strange_per_collision: mean number of K0S and Lambda hadrons per collision.
        charm_per_collision: mean number of charm hadrons per collision.
        beauty_pairs: number of beauty hadron pairs, made at the first collision (none in an
            event without collisions).
        noise_fraction: expected fraction of all hits that are noise (0 <= f < 1).
        hit_efficiency: probability that a particle crossing a sensor leaves a hit.
        hit_resolution: Gaussian resolution of each hit coordinate, in mm.
        sensor_faces: 2 puts each half module's hits on two z planes (sensors on both faces
            of the substrate), 1 on a single plane.
        with_time: add the "t" list (hit times in ns). Times are simulated either way, so the
            event with times equals the event without them plus "t".

    Returns:
        The event dictionary: "description", "montecarlo" (with "description", the column
        names of ``MC_COLUMNS``, and "particles"), "module_prefix_sum" (53 entries),
        "x", "y", "z" and, with ``with_time``, "t". Every module holds at least one hit.
    """
    _check_seed(seed)
    _check_knobs(
        n_collisions,
        particles_per_collision,
        strange_per_collision,
        charm_per_collision,
        beauty_pairs,
        noise_fraction,
        hit_efficiency,
        hit_resolution,
        sensor_faces,
    )
    rng = np.random.default_rng(seed)

    # Primary vertices.
    pv = (
        rng.normal(0.0, _BEAM_SPOT_XY, n_collisions),
        rng.normal(0.0, _BEAM_SPOT_XY, n_collisions),
        rng.normal(0.0, _BEAM_SPOT_Z, n_collisions),
        rng.normal(0.0, _BEAM_SPOT_T, n_collisions),
    )
    collisions = np.arange(n_collisions)

    # Prompt charged particles.
    vertex = np.repeat(collisions, rng.poisson(particles_per_collision, n_collisions))
    pid = rng.choice(_PRIMARY_CODES, size=len(vertex), p=_PRIMARY_SHARES)
    pid = pid * _random_signs(rng, len(pid))
    prompt = _produce(rng, pid, vertex, pv, _LIGHT_SPECTRUM, _LIGHT_ETA)

    # Unstable hadrons.
    vertex = np.repeat(collisions, rng.poisson(strange_per_collision, n_collisions))
    pid = np.where(rng.random(len(vertex)) < 0.65, 310, 3122 * _random_signs(rng, len(vertex)))
    strange = _produce(rng, pid, vertex, pv, _LIGHT_SPECTRUM, _LIGHT_ETA)
    vertex = np.repeat(collisions, rng.poisson(charm_per_collision, n_collisions))
    pid = rng.choice([421, 411, 431, 4122], size=len(vertex), p=[0.55, 0.25, 0.12, 0.08])
    pid = pid * _random_signs(rng, len(pid))
    charm = _produce(rng, pid, vertex, pv, _CHARM_SPECTRUM, _LIGHT_ETA)
    pairs = beauty_pairs if n_collisions else 0
    pid = rng.choice([511, 521, 531, 5122], size=2 * pairs, p=[0.4, 0.4, 0.1, 0.1])
    pid = pid * np.tile([1, -1], pairs)
    beauty = _produce(
        rng, pid, np.zeros(len(pid), dtype=np.int64), pv, _BEAUTY_SPECTRUM, _BEAUTY_ETA
    )

    tracked = [prompt]
    pending = _Particles.concat([strange, charm, beauty])
    while len(pending):
        daughters = _decay(rng, pending)
        codes = np.abs(daughters.pid)
        tracked.append(daughters.take(np.isin(codes, _TRACKED_CODES)))
        pending = daughters.take(np.isin(codes, _UNSTABLE_CODES))
    particles = _Particles.concat(tracked)
    charge = _charges(particles.pid)

    (h_part, h_module, h_x, h_y, h_z, h_t, h_step), state = _propagate(
        rng, particles, hit_efficiency, hit_resolution, sensor_faces
    )

    # Reconstructibility.
    n_hits = np.bincount(h_part, minlength=len(particles))
    has_velo = n_hits >= 3
    has_ut, has_scifi = _downstream_flags(particles, state, charge)
    keep = (n_hits > 0) | has_ut | has_scifi
    row_of = np.cumsum(keep) - 1

    # Noise, then one noise hit on each module still empty.
    n_noise = rng.poisson(noise_fraction / (1.0 - noise_fraction) * len(h_part))
    noise_module = rng.integers(0, det.NUMBER_OF_MODULES, n_noise)
    empty = np.flatnonzero(
        np.bincount(np.concatenate([h_module, noise_module]), minlength=det.NUMBER_OF_MODULES) == 0
    )
    noise_module = np.concatenate([noise_module, empty])
    n_noise = len(noise_module)
    r = np.sqrt(rng.uniform(det.INNER_RADIUS**2, det.OUTER_RADIUS**2, n_noise))
    phi = rng.uniform(0.5 * math.pi, 1.5 * math.pi, n_noise)
    phi = np.where(noise_module % 2 == 0, phi, phi - math.pi)
    noise_x, noise_y = r * np.cos(phi), r * np.sin(phi)

    module = np.concatenate([h_module, noise_module])
    xs = np.concatenate([h_x, noise_x])
    ys = np.concatenate([h_y, noise_y])
    zs = np.concatenate([h_z, det.face_z(noise_module, noise_y, sensor_faces)])
    ts = np.concatenate([h_t, rng.uniform(-_NOISE_TIME_SPREAD, _NOISE_TIME_SPREAD, n_noise)])

    # Lay the hits out module by module, shuffled within each module.
    order = np.lexsort((rng.permutation(len(module)), module))
    position = np.empty(len(module), dtype=np.int64)
    position[order] = np.arange(len(module))
    prefix = np.concatenate([[0], np.cumsum(np.bincount(module, minlength=det.NUMBER_OF_MODULES))])

    # Each particle's hits, in the order it crossed the modules.
    by_particle = np.lexsort((h_step, h_part))
    hit_positions = position[by_particle].tolist()
    bounds = np.concatenate([[0], np.cumsum(n_hits)]).tolist()
    kept = np.flatnonzero(keep)
    hit_lists = [hit_positions[bounds[i] : bounds[i + 1]] for i in kept.tolist()]

    p_vec = particles.take(kept)
    pt = np.hypot(p_vec.px, p_vec.py)
    p = np.sqrt(pt * pt + p_vec.pz**2)
    eta = np.arcsinh(np.divide(p_vec.pz, pt, out=np.full(len(pt), np.inf), where=pt > 0))
    phi = np.arctan2(p_vec.py, p_vec.px)
    flags = p_vec.flags
    is_long = has_velo & has_scifi
    is_down = has_ut & has_scifi
    columns = (
        (row_of[kept] + 1).tolist(),
        p_vec.pid.tolist(),
        p.tolist(),
        pt.tolist(),
        eta.tolist(),
        phi.tolist(),
        charge[kept].tolist(),
        hit_lists,
        *(
            a[kept].astype(np.int64).tolist()
            for a in (is_long, is_down, has_velo, has_ut, has_scifi)
        ),
        *(
            (flags & bit != 0).astype(np.int64).tolist()
            for bit in (_FROM_BEAUTY, _FROM_CHARM, _FROM_STRANGE)
        ),
    )
    rows = [list(row) for row in zip(*columns, strict=True)]

    event = {
        "description": f"trelmon_tools synthetic event: seed {seed}, {n_collisions} collisions",
        "montecarlo": {"description": list(MC_COLUMNS), "particles": rows},
        "module_prefix_sum": prefix.tolist(),
        "x": xs[order].tolist(),
        "y": ys[order].tolist(),
        "z": zs[order].tolist(),
    }
    if with_time:
        event["t"] = ts[order].tolist()
    return event


def generate_events(n: int, seed: int, **knobs: Any) -> list[dict[str, Any]]:
    """``n`` events; event ``i`` is ``generate_event(seed + i, **knobs)``.

    Consecutive seeds keep any one event of a sample reproducible on its own.
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
        raise ValueError(f"n must be a non-negative integer, got {n!r}")
    _check_seed(seed)
    return [generate_event(seed + i, **knobs) for i in range(n)]
